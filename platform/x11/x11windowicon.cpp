#include "x11windowicon.h"

#include <QGuiApplication>
#include <QLoggingCategory>
#include <QWindow>

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>

Q_LOGGING_CATEGORY(lcWindowIcon, "dovrax.windowicon")

namespace platform {

namespace {

xcb_atom_t netWmIcon(xcb_connection_t *connection)
{
    static xcb_atom_t atom = XCB_ATOM_NONE;
    if (atom != XCB_ATOM_NONE)
        return atom;
    static const char name[] = "_NET_WM_ICON";
    const std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(
        xcb_intern_atom_reply(connection, xcb_intern_atom(connection, 0, sizeof name - 1, name),
                              nullptr),
        &std::free);
    if (reply)
        atom = reply->atom;
    return atom;
}

} // namespace

bool x11SetIconProperty(QWindow *window, std::span<const uint32_t> property)
{
    auto *x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    xcb_connection_t *connection = x11 ? x11->connection() : nullptr;
    if (!connection || !window || !window->handle() || property.empty())
        return false;
    // One request, as Qt sends it: 6 of its words are the request's own.
    if (property.size() + 6 > xcb_get_maximum_request_length(connection)) {
        qCWarning(lcWindowIcon) << "the window's icon is larger than the X server takes in one"
                                << "request";
        return false;
    }
    const xcb_atom_t atom = netWmIcon(connection);
    if (atom == XCB_ATOM_NONE)
        return false;
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, xcb_window_t(window->winId()), atom,
                        XCB_ATOM_CARDINAL, 32, uint32_t(property.size()), property.data());
    xcb_flush(connection);
    return true;
}

} // namespace platform
