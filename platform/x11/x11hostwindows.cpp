#include "x11hostwindows.h"

#include <QEventLoop>
#include <QGuiApplication>
#include <QLoggingCategory>
#include <QStringDecoder>
#include <QThread>
#include <QTimer>

// Xlib's macros (None, Bool, Status...) clash with Qt's headers; keep it below them.
#include "xerrortrap.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include <dlfcn.h>
#include <unistd.h>

namespace platform {

namespace {

Q_LOGGING_CATEGORY(lcHostWindows, "dovrax.hostwindows")

using Clock = std::chrono::steady_clock;

// X resource ids have 29 significant bits; anything larger cannot name a window.
constexpr HostWindow largestXid = 0x1fffffff;
// Deeper than any real window tree; only guards the parent walks against a looping server.
constexpr int maxTreeDepth = 64;

constexpr auto focusWait = std::chrono::milliseconds(300);
// A manager answers every move request with a ConfigureNotify to the client, once it has moved
// the frame or decided not to; the bound only matters for one that never answers.
constexpr auto moveWait = std::chrono::seconds(5);
// Restoring an iconic window is animated by some managers (openbox: about 200 ms).
constexpr auto settleWait = std::chrono::milliseconds(1000);
constexpr auto pollInterval = std::chrono::milliseconds(5);

// Waits between two looks at the window manager's work. On the program's own thread its event
// loop goes on meanwhile, so its windows keep painting and its timers and sockets keep being
// served; the operator's input to them waits until the action is done, so nothing starts a
// second one half-way through. The deadlines are the callers', kept on the steady clock.
void pause(std::chrono::milliseconds interval)
{
    const auto until = Clock::now() + interval;
    QCoreApplication *app = QCoreApplication::instance();
    if (app && QThread::currentThread() == app->thread()) {
        QEventLoop loop;
        QTimer::singleShot(interval, Qt::PreciseTimer, &loop, &QEventLoop::quit);
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    }
    // Also when the application is quitting, which ends every event loop at once.
    std::this_thread::sleep_until(until);
}

// EWMH source indication for requests made on the user's behalf by a tool such as a pager:
// window managers carry these out without applying focus-stealing prevention.
constexpr long sourcePager = 2;
constexpr long netWmStateRemove = 0;

struct XFreeDeleter
{
    void operator()(void *data) const
    {
        if (data)
            XFree(data);
    }
};
template <typename T> using XData = std::unique_ptr<T, XFreeDeleter>;

struct Property
{
    ::Atom type = None;
    int format = 0;
    unsigned long count = 0;
    XData<unsigned char> data;
};

Property readProperty(Display *display, Window window, ::Atom name, ::Atom type = AnyPropertyType)
{
    Property property;
    unsigned long bytesAfter = 0;
    unsigned char *data = nullptr;
    if (XGetWindowProperty(display, window, name, 0, 0x10000, False, type, &property.type,
                           &property.format, &property.count, &bytesAfter, &data) != Success) {
        return {};
    }
    property.data.reset(data);
    if (type != AnyPropertyType && property.type != type)
        return {};
    return property;
}

// Xlib hands format-32 items over as longs, whatever the server's word size.
std::vector<unsigned long> longsIn(const Property &property)
{
    if (property.format != 32 || !property.data)
        return {};
    const auto *items = reinterpret_cast<const unsigned long *>(property.data.get());
    return {items, items + property.count};
}

// ICCCM says STRING is Latin-1, yet plenty of programs put UTF-8 there; take it as UTF-8 when
// it is valid UTF-8.
QString fromUtf8OrLatin1(const QByteArray &bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder(bytes);
    return decoder.hasError() ? QString::fromLatin1(bytes) : text;
}

QString decodeText(Display *display, const Property &property, ::Atom utf8String,
                   ::Atom compoundText)
{
    if (property.format != 8 || !property.data)
        return {};
    if (property.type == compoundText) {
        XTextProperty text{property.data.get(), property.type, property.format, property.count};
        char **list = nullptr;
        int count = 0;
        if (Xutf8TextPropertyToTextList(display, &text, &list, &count) >= Success && list) {
            const QString decoded = count > 0 ? QString::fromUtf8(list[0]) : QString();
            XFreeStringList(list);
            return decoded;
        }
    }
    QByteArray bytes(reinterpret_cast<const char *>(property.data.get()),
                     static_cast<qsizetype>(property.count));
    // A text property may hold a NUL-separated list; a name is its first item.
    if (const qsizetype nul = bytes.indexOf('\0'); nul >= 0)
        bytes.truncate(nul);
    return property.type == utf8String ? QString::fromUtf8(bytes) : fromUtf8OrLatin1(bytes);
}

// ICCCM reads the position of a configure request as where the reference point chosen by the
// window's gravity goes: a corner or edge middle of the frame, or the client itself for static
// gravity. Requesting "reference point now + delta" therefore moves the frame by exactly delta.
QPoint referencePoint(int gravity, const QRect &frame, const QRect &client)
{
    if (gravity == StaticGravity)
        return client.topLeft();
    int x = frame.x();
    int y = frame.y();
    switch (gravity) {
    case NorthGravity:
    case CenterGravity:
    case SouthGravity:
        x += (frame.width() - client.width()) / 2;
        break;
    case NorthEastGravity:
    case EastGravity:
    case SouthEastGravity:
        x += frame.width() - client.width();
        break;
    default:
        break;
    }
    switch (gravity) {
    case WestGravity:
    case CenterGravity:
    case EastGravity:
        y += (frame.height() - client.height()) / 2;
        break;
    case SouthWestGravity:
    case SouthGravity:
    case SouthEastGravity:
        y += frame.height() - client.height();
        break;
    default:
        break;
    }
    return {x, y};
}

KeySym keysymForCharacter(char16_t character)
{
    switch (character) {
    case u'\b':
        return XK_BackSpace;
    case u'\t':
        return XK_Tab;
    case u'\n':
    case u'\r':
        return XK_Return;
    case 0x1b:
        return XK_Escape;
    default:
        break;
    }
    if (character < 0x20 || character == 0x7f || (character >= 0xd800 && character <= 0xdfff))
        return NoSymbol;
    // Latin-1 keysyms equal their code points; the rest of the BMP has a keysym of its own.
    if (character < 0x100)
        return character;
    return 0x01000000 | character;
}

// XTest's library, loaded the first time a key is sent: a start that sends none (most of them)
// maps neither it nor the X extension library it needs.
constexpr char kXTestLibrary[] = "libXtst.so.6";
using FakeKeyEvent = decltype(&XTestFakeKeyEvent);

FakeKeyEvent xtestFakeKeyEvent()
{
    static const FakeKeyEvent function = [] {
        void *library = dlopen(kXTestLibrary, RTLD_NOW | RTLD_LOCAL);
        return library ? reinterpret_cast<FakeKeyEvent>(dlsym(library, "XTestFakeKeyEvent"))
                       : nullptr;
    }();
    return function;
}

} // namespace

std::unique_ptr<X11HostWindows> X11HostWindows::open()
{
    // Talk to the server Qt uses, which a -display argument may have chosen over $DISPLAY.
    const char *name = nullptr;
#if QT_CONFIG(xcb)
    if (auto *x11 =
            qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr) {
        if (Display *qtDisplay = x11->display())
            name = DisplayString(qtDisplay);
    }
#endif
    auto windows = open(name);
    if (!windows)
        qCWarning(lcHostWindows) << "cannot connect to the X display"
                                 << (name ? QString::fromLocal8Bit(name)
                                          : qEnvironmentVariable("DISPLAY"));
    return windows;
}

std::unique_ptr<X11HostWindows> X11HostWindows::open(const char *name)
{
    Display *display = XOpenDisplay(name);
    if (!display)
        return nullptr;
    return std::unique_ptr<X11HostWindows>(new X11HostWindows(display));
}

X11HostWindows::X11HostWindows(Display *display) : display_(display)
{
    // In AtomId order.
    static const char *const names[AtomCount] = {"WM_STATE",
                                                 "WM_NAME",
                                                 "_NET_WM_NAME",
                                                 "UTF8_STRING",
                                                 "COMPOUND_TEXT",
                                                 "_NET_SUPPORTED",
                                                 "_NET_SUPPORTING_WM_CHECK",
                                                 "_NET_CLIENT_LIST",
                                                 "_NET_CLIENT_LIST_STACKING",
                                                 "_NET_ACTIVE_WINDOW",
                                                 "_NET_WM_STATE",
                                                 "_NET_WM_STATE_MAXIMIZED_VERT",
                                                 "_NET_WM_STATE_MAXIMIZED_HORZ",
                                                 "_NET_WM_STATE_HIDDEN",
                                                 "_DOVRAX_MAIN_WINDOW"};
    // One round trip for all of them, the window manager's selection of this screen last.
    char selection[32];
    std::snprintf(selection, sizeof selection, "WM_S%d", DefaultScreen(display_));
    std::array<char *, AtomCount + 1> all{};
    std::array<Atom, AtomCount + 1> interned{};
    // XInternAtoms only reads the names.
    std::transform(std::begin(names), std::end(names), all.begin(),
                   [](const char *name) { return const_cast<char *>(name); });
    all[AtomCount] = selection;
    XInternAtoms(display_, all.data(), AtomCount + 1, False, interned.data());
    std::copy_n(interned.begin(), AtomCount, atoms_.begin());
    managerSelection_ = interned[AtomCount];

    // Asked of the server alone: the XTest library's own question adds a second round trip.
    int opcode = 0;
    int event = 0;
    int error = 0;
    hasXTest_ = XQueryExtension(display_, "XTEST", &opcode, &event, &error);
}

X11HostWindows::~X11HostWindows()
{
    XCloseDisplay(display_);
}

unsigned long X11HostWindows::root() const
{
    return DefaultRootWindow(display_);
}

bool X11HostWindows::validWindow(HostWindow window) const
{
    return window != 0 && window <= largestXid && window != root();
}

void X11HostWindows::warnGone(const char *action, HostWindow window, int errorCode) const
{
    if (window == 0) {
        qCWarning(lcHostWindows, "%s: no window given", action);
    } else if (errorCode == 0) {
        qCWarning(lcHostWindows, "%s: 0x%llx is not a window that can be driven", action,
                  static_cast<unsigned long long>(window));
    } else if (errorCode == BadWindow) {
        qCWarning(lcHostWindows, "%s: window 0x%llx is gone", action,
                  static_cast<unsigned long long>(window));
    } else {
        // BadMatch, typically: focus asked for a window that is not shown.
        qCWarning(lcHostWindows, "%s: the X server refused it for window 0x%llx (X error %d)",
                  action, static_cast<unsigned long long>(window), errorCode);
    }
}

bool X11HostWindows::windowManagerRunning()
{
    XErrorTrap trap(display_);
    // The EWMH check window names itself; a stale id left by a manager that died does not.
    const auto check =
        longsIn(readProperty(display_, root(), atom(NetSupportingWmCheck), XA_WINDOW));
    if (!check.empty()) {
        const auto self =
            longsIn(readProperty(display_, check.front(), atom(NetSupportingWmCheck), XA_WINDOW));
        if (!self.empty() && self.front() == check.front())
            return true;
    }
    // A manager without EWMH still owns the ICCCM manager selection.
    return XGetSelectionOwner(display_, managerSelection_) != None;
}

bool X11HostWindows::windowManagerSupports(AtomId which)
{
    if (!windowManagerRunning())
        return false;
    XErrorTrap trap(display_);
    const auto supported = longsIn(readProperty(display_, root(), atom(NetSupported), XA_ATOM));
    return std::find(supported.begin(), supported.end(), atom(which)) != supported.end();
}

bool X11HostWindows::hasWmState(unsigned long window)
{
    return readProperty(display_, window, atom(WmState), atom(WmState)).count > 0;
}

bool X11HostWindows::isIconic(unsigned long window)
{
    const auto state = longsIn(readProperty(display_, window, atom(WmState), atom(WmState)));
    if (!state.empty() && state.front() == IconicState)
        return true;
    const auto netState = longsIn(readProperty(display_, window, atom(NetWmState), XA_ATOM));
    return std::find(netState.begin(), netState.end(), atom(NetWmStateHidden)) != netState.end();
}

bool X11HostWindows::isMarkedAsMainWindow(unsigned long window)
{
    const auto mark = longsIn(readProperty(display_, window, atom(DovraxMainWindow), XA_CARDINAL));
    return !mark.empty() && mark.front() == static_cast<unsigned long>(getuid());
}

std::vector<unsigned long> X11HostWindows::clientWindows()
{
    XErrorTrap trap(display_);
    const bool managed = windowManagerRunning();
    if (managed) {
        auto stacking =
            longsIn(readProperty(display_, root(), atom(NetClientListStacking), XA_WINDOW));
        if (!stacking.empty()) {
            std::reverse(stacking.begin(), stacking.end());
            return stacking;
        }
        auto mapped = longsIn(readProperty(display_, root(), atom(NetClientList), XA_WINDOW));
        if (!mapped.empty())
            return mapped;
    }

    Window rootReturn = None;
    Window parent = None;
    Window *children = nullptr;
    unsigned count = 0;
    if (!XQueryTree(display_, root(), &rootReturn, &parent, &children, &count))
        return {};
    const XData<Window> ownedChildren(children);

    std::vector<unsigned long> clients;
    for (unsigned i = count; i-- > 0;) {
        const Window child = children[i];
        if (hasWmState(child)) {
            clients.push_back(child);
        } else if (managed) {
            // A reparenting manager's frame holds the client one level down; anything deeper
            // belongs to the application.
            Window *grandchildren = nullptr;
            unsigned grandCount = 0;
            if (XQueryTree(display_, child, &rootReturn, &parent, &grandchildren, &grandCount)) {
                const XData<Window> ownedGrandchildren(grandchildren);
                for (unsigned j = 0; j < grandCount; ++j) {
                    if (hasWmState(grandchildren[j])) {
                        clients.push_back(grandchildren[j]);
                        break;
                    }
                }
            }
        } else {
            // With nobody managing, the clients are the shown root children; a window never
            // shown (or hidden again) is not one, nor is a menu or tooltip.
            XWindowAttributes attributes;
            if (XGetWindowAttributes(display_, child, &attributes) &&
                !attributes.override_redirect && attributes.map_state != IsUnmapped) {
                clients.push_back(child);
            }
        }
    }
    return clients;
}

HostWindow X11HostWindows::findClient(const std::function<bool(unsigned long)> &matches)
{
    XErrorTrap trap(display_);
    // A client destroyed while we look simply fails to match.
    for (const unsigned long client : clientWindows()) {
        if (matches(client))
            return client;
    }
    return 0;
}

QString X11HostWindows::title(unsigned long window)
{
    const Property netName = readProperty(display_, window, atom(NetWmName), atom(Utf8String));
    if (netName.count > 0)
        return decodeText(display_, netName, atom(Utf8String), atom(CompoundText));
    return decodeText(display_, readProperty(display_, window, atom(WmName)), atom(Utf8String),
                      atom(CompoundText));
}

QString X11HostWindows::classOf(unsigned long window)
{
    XClassHint hint{nullptr, nullptr};
    if (!XGetClassHint(display_, window, &hint))
        return {};
    const XData<char> name(hint.res_name);
    const XData<char> windowClass(hint.res_class);
    return windowClass ? fromUtf8OrLatin1(QByteArray(windowClass.get())) : QString();
}

HostWindow X11HostWindows::findByTitle(const QString &text)
{
    if (text.isEmpty())
        return 0;
    return findClient([&](unsigned long window) { return title(window) == text; });
}

HostWindow X11HostWindows::findByClass(const QString &windowClass)
{
    if (windowClass.isEmpty())
        return 0;
    return findClient([&](unsigned long window) { return classOf(window) == windowClass; });
}

HostWindow X11HostWindows::findMainWindow(const QString &windowClass)
{
    if (windowClass.isEmpty())
        return 0;
    return findClient([&](unsigned long window) {
        return classOf(window) == windowClass && isMarkedAsMainWindow(window);
    });
}

HostWindow X11HostWindows::findChildByClass(HostWindow parent, const QString &windowClass)
{
    if (windowClass.isEmpty())
        return 0;
    if (!validWindow(parent)) {
        warnGone("findChildByClass", parent, 0);
        return 0;
    }
    XErrorTrap trap(display_);
    Window rootReturn = None;
    Window parentReturn = None;
    Window *children = nullptr;
    unsigned count = 0;
    if (!XQueryTree(display_, parent, &rootReturn, &parentReturn, &children, &count)) {
        warnGone("findChildByClass", parent, trap.failed() ? trap.errorCode() : 0);
        return 0;
    }
    const XData<Window> ownedChildren(children);
    for (unsigned i = 0; i < count; ++i) {
        if (classOf(children[i]) == windowClass)
            return children[i];
    }
    return 0;
}

unsigned long X11HostWindows::frameOf(unsigned long window)
{
    unsigned long current = window;
    for (int depth = 0; depth < maxTreeDepth; ++depth) {
        Window rootReturn = None;
        Window parent = None;
        Window *children = nullptr;
        unsigned count = 0;
        if (!XQueryTree(display_, current, &rootReturn, &parent, &children, &count))
            return 0;
        XFree(children);
        if (parent == rootReturn || parent == None)
            return current;
        current = parent;
    }
    return 0;
}

std::optional<QRect> X11HostWindows::outerGeometry(unsigned long window)
{
    Window rootReturn = None;
    int x = 0;
    int y = 0;
    unsigned width = 0;
    unsigned height = 0;
    unsigned border = 0;
    unsigned depth = 0;
    if (!XGetGeometry(display_, window, &rootReturn, &x, &y, &width, &height, &border, &depth))
        return std::nullopt;
    return QRect(x, y, static_cast<int>(width + 2 * border), static_cast<int>(height + 2 * border));
}

std::optional<QRect> X11HostWindows::frameGeometry(HostWindow window)
{
    if (!validWindow(window)) {
        warnGone("frameGeometry", window, 0);
        return std::nullopt;
    }
    XErrorTrap trap(display_);
    const unsigned long frame = frameOf(window);
    if (frame && windowManagerRunning())
        waitUntilSettled(window, frame, false);
    std::optional<QRect> geometry = frame ? outerGeometry(frame) : std::nullopt;
    if (trap.failed() || !geometry) {
        warnGone("frameGeometry", window, trap.errorCode());
        return std::nullopt;
    }
    return geometry;
}

bool X11HostWindows::focusIsWithin(unsigned long window)
{
    Window focus = None;
    int revertTo = 0;
    XGetInputFocus(display_, &focus, &revertTo);
    for (int depth = 0; depth < maxTreeDepth && focus != None && focus != PointerRoot; ++depth) {
        if (focus == window)
            return true;
        Window rootReturn = None;
        Window parent = None;
        Window *children = nullptr;
        unsigned count = 0;
        if (!XQueryTree(display_, focus, &rootReturn, &parent, &children, &count))
            return false;
        XFree(children);
        if (parent == rootReturn)
            return false;
        focus = parent;
    }
    return false;
}

void X11HostWindows::sendToRoot(unsigned long window, AtomId message, long l0, long l1, long l2,
                                long l3)
{
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = atom(message);
    event.xclient.format = 32;
    event.xclient.data.l[0] = l0;
    event.xclient.data.l[1] = l1;
    event.xclient.data.l[2] = l2;
    event.xclient.data.l[3] = l3;
    XSendEvent(display_, root(), False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
}

void X11HostWindows::removeMaximizedFromProperty(unsigned long window)
{
    auto states = longsIn(readProperty(display_, window, atom(NetWmState), XA_ATOM));
    const auto kept = std::remove_if(states.begin(), states.end(), [this](unsigned long state) {
        return state == atom(NetWmStateMaximizedVert) || state == atom(NetWmStateMaximizedHorz);
    });
    if (kept == states.end())
        return;
    states.erase(kept, states.end());
    if (states.empty()) {
        XDeleteProperty(display_, window, atom(NetWmState));
    } else {
        XChangeProperty(display_, window, atom(NetWmState), XA_ATOM, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char *>(states.data()),
                        static_cast<int>(states.size()));
    }
}

void X11HostWindows::showNormal(HostWindow window)
{
    if (!validWindow(window)) {
        warnGone("showNormal", window, 0);
        return;
    }
    XErrorTrap trap(display_);
    const bool managed = windowManagerRunning();
    const bool iconic = isIconic(window);
    // Mapping an iconic client is how ICCCM asks for it back; some managers leave the client
    // mapped inside a hidden frame and only listen to an activation request.
    XMapWindow(display_, window);
    if (iconic && windowManagerSupports(NetActiveWindow))
        sendToRoot(window, NetActiveWindow, sourcePager, CurrentTime);

    // A managed window's state belongs to its manager, which has to be asked; otherwise the
    // property is only a hint for whoever manages it later, so edit it in place.
    if (managed && hasWmState(window)) {
        sendToRoot(window, NetWmState, netWmStateRemove,
                   static_cast<long>(atom(NetWmStateMaximizedVert)),
                   static_cast<long>(atom(NetWmStateMaximizedHorz)), sourcePager);
    } else {
        removeMaximizedFromProperty(window);
    }
    if (trap.failed())
        warnGone("showNormal", window, trap.errorCode());
}

void X11HostWindows::activate(HostWindow window)
{
    if (!validWindow(window)) {
        warnGone("activate", window, 0);
        return;
    }
    XErrorTrap trap(display_);
    // The manager takes a request for a window that is gone without a word; find out here.
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(display_, window, &attributes) || trap.failed()) {
        warnGone("activate", window, trap.errorCode());
        return;
    }
    if (windowManagerSupports(NetActiveWindow)) {
        sendToRoot(window, NetActiveWindow, sourcePager, CurrentTime);
    } else {
        XRaiseWindow(display_, window);
        XSetInputFocus(display_, window, RevertToParent, CurrentTime);
    }
    if (trap.failed()) {
        warnGone("activate", window, trap.errorCode());
        return;
    }
    // The manager acts when it gets to it; key strokes sent before then would go elsewhere.
    const auto deadline = Clock::now() + focusWait;
    while (!focusIsWithin(window) && Clock::now() < deadline)
        pause(pollInterval);
}

bool X11HostWindows::hasSettled(unsigned long window, unsigned long frame, bool shown)
{
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(display_, window, &attributes))
        return false;
    if (isIconic(window)) {
        // An iconic window's frame keeps its normal place once the manager has hidden it.
        XWindowAttributes frameAttributes;
        return !shown && frame != window &&
               XGetWindowAttributes(display_, frame, &frameAttributes) &&
               frameAttributes.map_state == IsUnmapped;
    }
    if (attributes.map_state != IsViewable)
        return !shown;
    if (frame == window)
        return true;
    const std::optional<QRect> outer = outerGeometry(frame);
    int x = 0;
    int y = 0;
    Window child = None;
    if (!outer || !XTranslateCoordinates(display_, window, root(), 0, 0, &x, &y, &child))
        return false;
    const int border = attributes.border_width;
    return outer->contains(QRect(x - border, y - border, attributes.width + 2 * border,
                                 attributes.height + 2 * border));
}

bool X11HostWindows::waitUntilSettled(unsigned long window, unsigned long frame, bool shown)
{
    const auto deadline = Clock::now() + settleWait;
    std::optional<QRect> last;
    for (;;) {
        const std::optional<QRect> geometry = outerGeometry(frame);
        if (!geometry)
            return false;
        if (geometry == last && hasSettled(window, frame, shown))
            return true;
        if (Clock::now() >= deadline)
            return false;
        last = geometry;
        pause(pollInterval);
    }
}

std::optional<QPoint> X11HostWindows::waitForMove(unsigned long window, unsigned long frame,
                                                  QPoint from)
{
    // A busy manager may take far longer than usual; a frame read before it got to the request
    // would have the next move start from the old place.
    const auto deadline = Clock::now() + moveWait;
    for (;;) {
        // The answer is taken before the frame is read: the frame is in place by then.
        XEvent event;
        bool answered = false;
        while (XCheckTypedWindowEvent(display_, window, ConfigureNotify, &event))
            answered = true;
        const std::optional<QRect> geometry = outerGeometry(frame);
        if (!geometry)
            return std::nullopt;
        if (geometry->topLeft() != from && hasSettled(window, frame, true))
            return geometry->topLeft();
        if (answered || Clock::now() >= deadline)
            return std::nullopt;
        pause(pollInterval);
    }
}

void X11HostWindows::moveTo(HostWindow window, QPoint topLeft)
{
    if (!validWindow(window)) {
        warnGone("moveTo", window, 0);
        return;
    }
    XErrorTrap trap(display_);
    const unsigned long frame = frameOf(window);
    // Without a manager every request is carried out as made. With one, a move worked out from
    // a frame it has not finished placing lands wrong.
    const bool managed = windowManagerRunning();
    const bool settled = !managed || (frame && waitUntilSettled(window, frame, true));
    const std::optional<QRect> before = frame ? outerGeometry(frame) : std::nullopt;
    XWindowAttributes attributes;
    int clientX = 0;
    int clientY = 0;
    Window child = None;
    if (!before || !XGetWindowAttributes(display_, window, &attributes) ||
        !XTranslateCoordinates(display_, window, root(), 0, 0, &clientX, &clientY, &child) ||
        trap.failed()) {
        warnGone("moveTo", window, trap.errorCode());
        return;
    }
    if (before->topLeft() == topLeft)
        return;

    XSizeHints *hints = XAllocSizeHints();
    long supplied = 0;
    int gravity = NorthWestGravity;
    if (hints && XGetWMNormalHints(display_, window, hints, &supplied) &&
        (hints->flags & PWinGravity)) {
        gravity = hints->win_gravity;
    }
    XFree(hints);

    const int border = attributes.border_width;
    const QRect client(clientX - border, clientY - border, attributes.width + 2 * border,
                       attributes.height + 2 * border);
    const QPoint request = referencePoint(gravity, *before, client) + (topLeft - before->topLeft());
    if (managed)
        XSelectInput(display_, window, StructureNotifyMask); // for the manager's answers
    XMoveWindow(display_, window, request.x(), request.y());
    XSync(display_, False);

    if (managed && !settled) {
        qCWarning(lcHostWindows,
                  "moveTo: window 0x%llx is not shown in its place yet; moved without checking",
                  static_cast<unsigned long long>(window));
    } else if (managed) {
        // Wait until the manager has placed the frame, so that the next move starts from there.
        const std::optional<QPoint> now = waitForMove(window, frame, before->topLeft());
        if (now && *now != topLeft) {
            // This manager reads requests with an offset of its own; it is the same for every
            // request, so one correction lands exactly.
            const QPoint corrected = request + (topLeft - *now);
            XMoveWindow(display_, window, corrected.x(), corrected.y());
            XSync(display_, False);
            waitForMove(window, frame, *now);
        }
    }
    if (managed) {
        XSelectInput(display_, window, NoEventMask);
        XSync(display_, False);
        XEvent event;
        while (XCheckWindowEvent(display_, window, StructureNotifyMask, &event)) {
        }
    }
    if (trap.failed())
        warnGone("moveTo", window, trap.errorCode());
}

void X11HostWindows::fakeKey(VirtualKey key, bool press)
{
    if (!hasXTest_) {
        if (!warnedNoXTest_)
            qCWarning(lcHostWindows, "the X server lacks the XTest extension; keys are not sent");
        warnedNoXTest_ = true;
        return;
    }
    const FakeKeyEvent sendKey = xtestFakeKeyEvent();
    if (!sendKey) {
        if (!warnedNoXTest_)
            qCWarning(lcHostWindows, "the XTest library %s cannot be loaded; keys are not sent",
                      kXTestLibrary);
        warnedNoXTest_ = true;
        return;
    }
    KeySym keysym = NoSymbol;
    switch (key) {
    case VirtualKey::Control:
        keysym = XK_Control_L;
        break;
    case VirtualKey::P:
        keysym = XK_p;
        break;
    case VirtualKey::F5:
        keysym = XK_F5;
        break;
    }
    const KeyCode keycode = keysym == NoSymbol ? 0 : XKeysymToKeycode(display_, keysym);
    if (keycode == 0) {
        qCWarning(lcHostWindows, "virtual key 0x%x has no key on this keyboard",
                  static_cast<unsigned>(key));
        return;
    }
    XErrorTrap trap(display_);
    sendKey(display_, keycode, press ? True : False, CurrentTime);
}

void X11HostWindows::keyDown(VirtualKey key)
{
    fakeKey(key, true);
}

void X11HostWindows::keyUp(VirtualKey key)
{
    fakeKey(key, false);
}

void X11HostWindows::postChar(HostWindow window, char16_t character)
{
    if (!validWindow(window)) {
        warnGone("postChar", window, 0);
        return;
    }
    const KeySym keysym = keysymForCharacter(character);
    const KeyCode keycode = keysym == NoSymbol ? 0 : XKeysymToKeycode(display_, keysym);
    if (keycode == 0) {
        qCWarning(lcHostWindows, "postChar: U+%04X has no key on this keyboard",
                  static_cast<unsigned>(character));
        return;
    }

    // The receiver turns keycode and modifiers back into a character through the same keyboard
    // map, so work out whether this keysym sits on the shifted level of its key.
    int perKeycode = 0;
    const XData<KeySym> keysyms(XGetKeyboardMapping(display_, keycode, 1, &perKeycode));
    KeySym plain = keysyms && perKeycode > 0 ? keysyms.get()[0] : NoSymbol;
    KeySym shifted = keysyms && perKeycode > 1 ? keysyms.get()[1] : NoSymbol;
    if (shifted == NoSymbol)
        XConvertCase(plain, &plain, &shifted);
    unsigned state = 0;
    if (keysym == shifted && keysym != plain) {
        state = ShiftMask;
    } else if (keysym != plain) {
        qCWarning(lcHostWindows, "postChar: U+%04X needs a key level other than Shift",
                  static_cast<unsigned>(character));
        return;
    }

    XEvent event{};
    XKeyEvent &key = event.xkey;
    key.display = display_;
    key.window = window;
    key.root = root();
    key.subwindow = None;
    key.time = CurrentTime;
    key.x = key.y = key.x_root = key.y_root = 1;
    key.state = state;
    key.keycode = keycode;
    key.same_screen = True;

    XErrorTrap trap(display_);
    key.type = KeyPress;
    XSendEvent(display_, window, False, KeyPressMask, &event);
    key.type = KeyRelease;
    XSendEvent(display_, window, False, KeyReleaseMask, &event);
    if (trap.failed())
        warnGone("postChar", window, trap.errorCode());
}

void X11HostWindows::bringToFront(HostWindow window)
{
    if (!validWindow(window)) {
        warnGone("bringToFront", window, 0);
        return;
    }
    {
        XErrorTrap trap(display_);
        if (isIconic(window))
            XMapWindow(display_, window);
        if (trap.failed()) {
            warnGone("bringToFront", window, trap.errorCode());
            return;
        }
    }
    // A modal box of the running copy must come up in front of it, or the user faces a window
    // that ignores them.
    const HostWindow transient = findClient([&](unsigned long client) {
        Window owner = None;
        return client != window && XGetTransientForHint(display_, client, &owner) &&
               owner == window;
    });
    const HostWindow target = transient ? transient : window;
    activate(target);
}

void X11HostWindows::markAsMainWindow(HostWindow window)
{
    if (!validWindow(window)) {
        warnGone("markAsMainWindow", window, 0);
        return;
    }
    XErrorTrap trap(display_);
    // Whoever finds a window of our class can tell from this that it is ours, and this user's.
    const long uid = static_cast<long>(getuid());
    XChangeProperty(display_, window, atom(DovraxMainWindow), XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char *>(&uid), 1);
    XSync(display_, False);
    if (trap.failed())
        warnGone("markAsMainWindow", window, trap.errorCode());
}

QString X11HostWindows::windowClass(HostWindow window)
{
    if (!validWindow(window)) {
        warnGone("windowClass", window, 0);
        return {};
    }
    XErrorTrap trap(display_);
    const QString windowClass = classOf(window);
    if (trap.failed()) {
        warnGone("windowClass", window, trap.errorCode());
        return {};
    }
    return windowClass;
}

} // namespace platform
