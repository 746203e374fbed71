// Drives real windows on a private X server: run once with no window manager and once under
// openbox, whose frames and asynchronous handling are what make the X11 code non-trivial.
#include "hostwindows.h"
#include "x11/x11hostwindows.h"

#include "hostdemoprocess.h"
#include "polling.h"

#include <QGuiApplication>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <gtest/gtest.h>

// Xlib's macros clash with Qt's headers; keep it below them.
#include "testdisplay.h"

#include <X11/Xutil.h>

using platform::HostWindow;
using platform::VirtualKey;

namespace {

constexpr QPoint demoPosition(100, 120);
constexpr QPoint otherDemoPosition(600, 120);

class X11HostWindowsTest : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(QGuiApplication::platformName(), QStringLiteral("xcb"));
        hosts = platform::createHostWindows();
        ASSERT_NE(dynamic_cast<platform::X11HostWindows *>(hosts.get()), nullptr);
        managed = x.windowManagerRunning();
        if (managed) {
            ASSERT_TRUE(x.waitForWindowManager());
        }
    }

    void TearDown() override
    {
        x.destroyWindows();
        if (managed) {
            EXPECT_TRUE(x.waitUntilNoClients());
        }
    }

    // The demo's window once it is shown (and managed) where it was asked to be; 0 otherwise.
    HostWindow waitForDemo(const HostDemoProcess &demo, QPoint position)
    {
        HostWindow window = 0;
        const bool shown = waitUntil([&] {
            window = hosts->findByTitle(demo.title());
            if (!window || !x.isViewable(window) || (managed && x.wmState(window) != NormalState))
                return false;
            const auto frame = hosts->frameGeometry(window);
            return frame && frame->topLeft() == position;
        });
        return shown ? window : 0;
    }

    bool waitForFrame(HostWindow window, const QRect &expected)
    {
        return waitUntil([&] { return hosts->frameGeometry(window) == expected; });
    }

    std::unique_ptr<platform::HostWindows> hosts;
    TestDisplay x;
    bool managed = false;
};

TEST_F(X11HostWindowsTest, ThreeMovesPlaceTheFrameExactly)
{
    HostDemoProcess demo(QStringLiteral("Move Host"), demoPosition);
    const HostWindow qtWindow = waitForDemo(demo, demoPosition);
    ASSERT_NE(qtWindow, 0u);
    // A window manager reads a move request differently for these two gravities.
    const Window northWest =
        x.createTopLevel("Move North-West", "DovraxMove", {300, 500, 200, 150}, NorthWestGravity);
    const Window staticGravity =
        x.createTopLevel("Move Static", "DovraxMove", {700, 500, 200, 150}, StaticGravity);
    ASSERT_TRUE(x.waitUntilShown(northWest));
    ASSERT_TRUE(x.waitUntilShown(staticGravity));

    for (const HostWindow window : {qtWindow, HostWindow(northWest), HostWindow(staticGravity)}) {
        SCOPED_TRACE(testing::Message() << "window 0x" << std::hex << window);
        const auto before = hosts->frameGeometry(window);
        ASSERT_TRUE(before);
        const QSize clientSize = x.clientSize(window);

        // Each move is complete when moveTo returns, so the next one starts from there.
        for (int i = 1; i <= 3; ++i) {
            hosts->moveTo(window, before->topLeft() + QPoint(50 * i, 0));
            EXPECT_EQ(hosts->frameGeometry(window), before->translated(50 * i, 0)) << "move " << i;
        }
        const QRect moved = before->translated(150, 0);
        EXPECT_TRUE(waitForFrame(window, moved));
        EXPECT_EQ(x.clientSize(window), clientSize);

        hosts->moveTo(window, moved.topLeft() + QPoint(-20, -30));
        EXPECT_TRUE(waitForFrame(window, moved.translated(-20, -30)));
    }
}

// A window manager slow to answer: the test's own connection takes the manager's place and
// carries out the move request only from a timer of this thread. The move completes only if
// the program's event loop keeps running while moveTo waits.
TEST_F(X11HostWindowsTest, MoveKeepsTheEventLoopRunningWhileTheManagerIsSlow)
{
    if (managed)
        GTEST_SKIP() << "the test plays the window manager itself";
    const Window window = x.createTopLevel("Slow Move", "DovraxMove", {300, 500, 200, 150});
    ASSERT_TRUE(x.waitUntilShown(window));
    Display *wm = x.display();
    const Window owner = XCreateSimpleWindow(wm, x.root(), 0, 0, 1, 1, 0, 0, 0);
    XSetSelectionOwner(wm, XInternAtom(wm, "WM_S0", False), owner, CurrentTime);
    XSelectInput(wm, x.root(), SubstructureRedirectMask);
    XSync(wm, False);

    int ticks = 0;
    int ticksAtAnswer = -1;
    QTimer manager;
    QObject::connect(&manager, &QTimer::timeout, [&] {
        ++ticks;
        XEvent event;
        if (ticks < 15 || !XCheckTypedEvent(wm, ConfigureRequest, &event))
            return;
        XMoveWindow(wm, event.xconfigurerequest.window, event.xconfigurerequest.x,
                    event.xconfigurerequest.y);
        XSync(wm, False);
        ticksAtAnswer = ticks;
    });
    manager.start(20);
    hosts->moveTo(window, {350, 500});
    const int ticksInMove = ticks;
    manager.stop();
    EXPECT_GE(ticksAtAnswer, 15) << "the manager's timer did not run while moveTo waited";
    EXPECT_LT(ticksInMove, 200) << "moveTo waited out its deadline";
    EXPECT_EQ(hosts->frameGeometry(window), QRect(350, 500, 200, 150));
    XSelectInput(wm, x.root(), NoEventMask);
    XDestroyWindow(wm, owner);
    XSync(wm, False);
}

TEST_F(X11HostWindowsTest, KeyStrokesGoToTheActivatedWindow)
{
    HostDemoProcess first(QStringLiteral("Keys Host One"), demoPosition);
    HostDemoProcess second(QStringLiteral("Keys Host Two"), otherDemoPosition);
    const HostWindow one = waitForDemo(first, demoPosition);
    const HostWindow two = waitForDemo(second, otherDemoPosition);
    ASSERT_NE(one, 0u);
    ASSERT_NE(two, 0u);

    hosts->activate(one);
    ASSERT_TRUE(waitUntil([&] { return x.focusIsWithin(one); }));
    hosts->keyDown(VirtualKey::F5);
    hosts->keyUp(VirtualKey::F5);
    EXPECT_TRUE(first.waitForLine(QStringLiteral("Key: F5")));

    // Control is let go before P, as the program does it.
    hosts->keyDown(VirtualKey::Control);
    hosts->keyDown(VirtualKey::P);
    hosts->keyUp(VirtualKey::Control);
    hosts->keyUp(VirtualKey::P);
    EXPECT_TRUE(first.waitForLine(QStringLiteral("Key: Ctrl+P")));
    // Had Control stayed down, this would be Ctrl+P again.
    hosts->keyDown(VirtualKey::P);
    hosts->keyUp(VirtualKey::P);
    EXPECT_TRUE(first.waitForLine(QStringLiteral("Char: p")));

    hosts->activate(two);
    ASSERT_TRUE(waitUntil([&] { return x.focusIsWithin(two); }));
    hosts->keyDown(VirtualKey::F5);
    hosts->keyUp(VirtualKey::F5);
    EXPECT_TRUE(second.waitForLine(QStringLiteral("Key: F5")));
    // A posted character goes to its window whatever has the focus.
    hosts->postChar(one, u'H');
    EXPECT_TRUE(first.waitForLine(QStringLiteral("Char: H")));

    const QStringList expectedFirst{QStringLiteral("Key: F5"), QStringLiteral("Key: Ctrl+P"),
                                    QStringLiteral("Char: p"), QStringLiteral("Char: H")};
    EXPECT_EQ(first.lines(), expectedFirst);
    EXPECT_EQ(second.lines(), QStringList{QStringLiteral("Key: F5")});
}

TEST_F(X11HostWindowsTest, ShowNormalUndoesMaximisedAndIconic)
{
    if (!managed) {
        // Nobody acts on the state, so the hint itself must lose the maximised flags (only them).
        const Window plain = x.createTopLevel("Hint Host", "DovraxHint", {200, 200, 200, 100});
        x.setNetWmStateProperty(plain, {"_NET_WM_STATE_MAXIMIZED_VERT", "_NET_WM_STATE_ABOVE",
                                        "_NET_WM_STATE_MAXIMIZED_HORZ"});
        hosts->showNormal(plain);
        EXPECT_FALSE(x.hasNetWmState(plain, "_NET_WM_STATE_MAXIMIZED_VERT"));
        EXPECT_FALSE(x.hasNetWmState(plain, "_NET_WM_STATE_MAXIMIZED_HORZ"));
        EXPECT_TRUE(x.hasNetWmState(plain, "_NET_WM_STATE_ABOVE"));
        return;
    }

    HostDemoProcess demo(QStringLiteral("Maximised Host"), demoPosition);
    const HostWindow window = waitForDemo(demo, demoPosition);
    ASSERT_NE(window, 0u);
    const QRect normal = *hosts->frameGeometry(window);
    const auto isMaximised = [&] {
        const auto frame = hosts->frameGeometry(window);
        return frame && frame->width() > normal.width() + 200 &&
               x.hasNetWmState(window, "_NET_WM_STATE_MAXIMIZED_HORZ");
    };

    x.requestMaximized(window, true);
    ASSERT_TRUE(waitUntil(isMaximised));
    hosts->showNormal(window);
    EXPECT_TRUE(waitForFrame(window, normal));
    EXPECT_FALSE(x.hasNetWmState(window, "_NET_WM_STATE_MAXIMIZED_VERT"));

    x.requestMaximized(window, true);
    ASSERT_TRUE(waitUntil(isMaximised));
    x.iconify(window);
    ASSERT_TRUE(waitUntil([&] { return x.wmState(window) == IconicState; }));
    hosts->showNormal(window);
    EXPECT_TRUE(waitUntil([&] {
        return x.wmState(window) == NormalState && x.isViewable(window) &&
               hosts->frameGeometry(window) == normal;
    }));
}

TEST_F(X11HostWindowsTest, TitlesMatchExactlyAndOnlyTopLevelShownWindows)
{
    QString longTitle = QStringLiteral("DOVRAX Prüfstand – Host ");
    while (longTitle.size() < 100)
        longTitle += QLatin1Char(static_cast<char>('a' + longTitle.size() % 26));
    HostDemoProcess demo(longTitle, demoPosition);
    HostDemoProcess untitled(QStringLiteral("Untitled - Bench Host"), otherDemoPosition);
    const HostWindow window = waitForDemo(demo, demoPosition);
    ASSERT_NE(window, 0u);
    ASSERT_NE(waitForDemo(untitled, otherDemoPosition), 0u);

    EXPECT_EQ(hosts->findByTitle(longTitle), window);
    EXPECT_EQ(hosts->findByTitle(longTitle.left(79)), 0u);
    EXPECT_EQ(hosts->findByTitle(longTitle.left(99)), 0u);
    EXPECT_EQ(hosts->findByTitle(longTitle + QLatin1Char(' ')), 0u);
    EXPECT_EQ(hosts->findByTitle(longTitle.toUpper()), 0u);
    EXPECT_EQ(hosts->findByTitle(QStringLiteral("Bench Host")), 0u);
    EXPECT_EQ(hosts->findByTitle(QStringLiteral("untitled - bench host")), 0u);
    EXPECT_EQ(hosts->findByTitle(QString()), 0u);

    const Window latin1 = x.createTopLevel("Pr\xfc"
                                           "fung",
                                           "DovraxTitle", {100, 600, 120, 80});
    const Window renamed = x.createTopLevel("Old Name", "DovraxTitle", {300, 600, 120, 80});
    x.setNetWmName(renamed, QStringLiteral("Neuer Näme"));
    const Window parent = x.createTopLevel("Parent Host", "DovraxTitle", {500, 600, 120, 80});
    x.createChild(parent, "Edit", "Child Host");
    x.createTopLevel("Never Shown", "DovraxTitle", {700, 600, 120, 80}, NorthWestGravity, false);
    ASSERT_TRUE(x.waitUntilShown(latin1));
    ASSERT_TRUE(x.waitUntilShown(renamed));
    ASSERT_TRUE(x.waitUntilShown(parent));

    EXPECT_EQ(hosts->findByTitle(QStringLiteral("Prüfung")), latin1);
    EXPECT_EQ(hosts->findByTitle(QStringLiteral("Neuer Näme")), renamed);
    EXPECT_EQ(hosts->findByTitle(QStringLiteral("Old Name")), 0u);
    EXPECT_EQ(hosts->findByTitle(QStringLiteral("Parent Host")), parent);
    EXPECT_EQ(hosts->findByTitle(QStringLiteral("Child Host")), 0u);
    EXPECT_EQ(hosts->findByTitle(QStringLiteral("Never Shown")), 0u);
}

TEST_F(X11HostWindowsTest, FindsByClassAndPostsCharactersToAChild)
{
    const Window top = x.createTopLevel("Class Host", "DovraxProbe", {200, 600, 300, 100});
    const Window label = x.createChild(top, "Static");
    const Window edit = x.createChild(top, "Edit");
    const Window laterEdit = x.createChild(top, "Edit");
    ASSERT_TRUE(x.waitUntilShown(top));

    EXPECT_EQ(hosts->findByClass(QStringLiteral("DovraxProbe")), top);
    EXPECT_EQ(hosts->findByClass(QStringLiteral("dovraxtest")), 0u) << "that is the instance name";
    EXPECT_EQ(hosts->findByClass(QStringLiteral("dovraxprobe")), 0u);
    EXPECT_EQ(hosts->findByClass(QStringLiteral("Edit")), 0u) << "children are not top-level";
    EXPECT_EQ(hosts->findByClass(QString()), 0u);
    EXPECT_EQ(hosts->findChildByClass(top, QStringLiteral("Edit")), edit);
    EXPECT_EQ(hosts->findChildByClass(top, QStringLiteral("Static")), label);
    EXPECT_EQ(hosts->findChildByClass(top, QStringLiteral("Button")), 0u);
    EXPECT_EQ(hosts->findChildByClass(edit, QStringLiteral("Edit")), 0u);
    EXPECT_EQ(hosts->windowClass(top), QStringLiteral("DovraxProbe"));

    const QString text = QStringLiteral("Hello, World!");
    for (const QChar character : text)
        hosts->postChar(edit, character.unicode());

    std::vector<XKeyEvent> presses;
    std::vector<XKeyEvent> releases;
    ASSERT_TRUE(waitUntil([&] {
        for (XKeyEvent &event : x.takeKeyEvents(edit, KeyPress))
            presses.push_back(event);
        for (XKeyEvent &event : x.takeKeyEvents(edit, KeyRelease))
            releases.push_back(event);
        return presses.size() >= size_t(text.size()) && releases.size() >= size_t(text.size());
    }));
    QString typed;
    for (XKeyEvent &event : presses) {
        EXPECT_EQ(event.window, edit);
        EXPECT_EQ(event.subwindow, Window(None));
        EXPECT_TRUE(event.same_screen);
        EXPECT_TRUE(event.send_event);
        char buffer[8] = {};
        const int length = XLookupString(&event, buffer, sizeof buffer, nullptr, nullptr);
        typed += QString::fromLatin1(buffer, length);
    }
    EXPECT_EQ(typed, text);
    EXPECT_EQ(presses.size(), releases.size());
    EXPECT_TRUE(x.takeKeyEvents(laterEdit, KeyPress).empty());
}

TEST_F(X11HostWindowsTest, WindowClassOfQtWindows)
{
    HostDemoProcess demo(QStringLiteral("Class Demo"), demoPosition);
    const HostWindow demoWindow = waitForDemo(demo, demoPosition);
    ASSERT_NE(demoWindow, 0u);
    EXPECT_EQ(hosts->windowClass(demoWindow), QStringLiteral("dovrax-hostdemo"));
    EXPECT_EQ(hosts->findByClass(QStringLiteral("dovrax-hostdemo")), demoWindow);

    // The program looks for a running copy of itself by its own main window's class.
    QWidget own;
    own.setWindowTitle(QStringLiteral("Own Window"));
    own.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&own));
    const HostWindow ownId = own.winId();
    const QString ownClass = hosts->windowClass(ownId);
    EXPECT_FALSE(ownClass.isEmpty());
    EXPECT_NE(ownClass, QStringLiteral("dovrax-hostdemo"));
    EXPECT_TRUE(waitUntil([&] { return hosts->findByClass(ownClass) == ownId; }));
    EXPECT_EQ(hosts->findByTitle(QStringLiteral("Own Window")), ownId);
}

TEST_F(X11HostWindowsTest, BringToFrontActivatesTheModalBoxOfTheWindow)
{
    HostDemoProcess running(QStringLiteral("Running Copy"), demoPosition);
    HostDemoProcess other(QStringLiteral("Other Program"), otherDemoPosition);
    const HostWindow window = waitForDemo(running, demoPosition);
    const HostWindow otherWindow = waitForDemo(other, otherDemoPosition);
    ASSERT_NE(window, 0u);
    ASSERT_NE(otherWindow, 0u);

    const Window modal =
        x.createTopLevel("Modal Box", "DovraxModal", {150, 200, 200, 100}, NorthWestGravity, false);
    XSetTransientForHint(x.display(), modal, window);
    XMapWindow(x.display(), modal);
    ASSERT_TRUE(x.waitUntilShown(modal));

    hosts->activate(otherWindow);
    ASSERT_TRUE(waitUntil([&] { return x.focusIsWithin(otherWindow); }));
    hosts->bringToFront(window);
    EXPECT_TRUE(waitUntil([&] { return x.focusIsWithin(modal); }));

    x.destroy(modal);
    hosts->activate(otherWindow);
    ASSERT_TRUE(waitUntil([&] { return x.focusIsWithin(otherWindow); }));
    hosts->bringToFront(window);
    EXPECT_TRUE(waitUntil([&] { return x.focusIsWithin(window); }));
}

TEST_F(X11HostWindowsTest, BringToFrontRestoresAnIconifiedWindow)
{
    if (!managed)
        GTEST_SKIP() << "only a window manager iconifies";
    HostDemoProcess demo(QStringLiteral("Iconified Copy"), demoPosition);
    const HostWindow window = waitForDemo(demo, demoPosition);
    ASSERT_NE(window, 0u);

    x.iconify(window);
    ASSERT_TRUE(waitUntil([&] { return x.wmState(window) == IconicState; }));
    hosts->bringToFront(window);
    EXPECT_TRUE(waitUntil([&] {
        return x.wmState(window) == NormalState && x.isViewable(window) && x.focusIsWithin(window);
    }));
}

TEST_F(X11HostWindowsTest, VanishedWindowsAreReportedNotFatal)
{
    const auto useStale = [&](HostWindow stale) {
        SCOPED_TRACE(testing::Message() << "window 0x" << std::hex << stale);
        hosts->showNormal(stale);
        hosts->activate(stale);
        hosts->moveTo(stale, {50, 0});
        hosts->postChar(stale, u'H');
        hosts->bringToFront(stale);
        EXPECT_FALSE(hosts->frameGeometry(stale));
        EXPECT_TRUE(hosts->windowClass(stale).isEmpty());
        EXPECT_EQ(hosts->findChildByClass(stale, QStringLiteral("Edit")), 0u);
    };

    const Window doomed = x.createTopLevel("Doomed", "DovraxDoomed", {200, 600, 200, 100});
    const Window child = x.createChild(doomed, "Edit");
    ASSERT_TRUE(x.waitUntilShown(doomed));
    ASSERT_EQ(hosts->findByTitle(QStringLiteral("Doomed")), doomed);
    x.destroy(doomed);
    useStale(doomed);
    useStale(child);

    HostDemoProcess demo(QStringLiteral("Doomed Demo"), demoPosition);
    const HostWindow demoWindow = waitForDemo(demo, demoPosition);
    ASSERT_NE(demoWindow, 0u);
    hosts->activate(demoWindow);
    demo.kill();
    ASSERT_TRUE(waitUntil([&] { return hosts->findByTitle(demo.title()) == 0; }));
    useStale(demoWindow);
    hosts->keyDown(VirtualKey::F5);
    hosts->keyUp(VirtualKey::F5);

    for (const HostWindow bogus : {HostWindow(0), HostWindow(x.root()), HostWindow(0x1ffffff0),
                                   HostWindow(0xffffffffffffull)}) {
        useStale(bogus);
    }

    // The connection has survived all of that.
    const Window survivor = x.createTopLevel("Survivor", "DovraxSurvivor", {200, 600, 200, 100});
    ASSERT_TRUE(x.waitUntilShown(survivor));
    EXPECT_EQ(hosts->findByTitle(QStringLiteral("Survivor")), survivor);
    EXPECT_TRUE(hosts->frameGeometry(survivor));
}

} // namespace
