// The lock keys on X11: read on Qt's own connection, and following the server's indicator
// events without being asked again.
#include "lockkeys.h"
#include "polling.h"

#include <QGuiApplication>
#include <gtest/gtest.h>

// Xlib's macros last: they clash with names in the headers above.
#include "testdisplay.h"

#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace {

TEST(X11LockKeys, StateFollowsCapsLockPressedOnTheDisplay)
{
    ASSERT_EQ(QGuiApplication::platformName(), QStringLiteral("xcb"));
    QObject owner;
    platform::LockKeyWatcher *watcher = platform::createLockKeyWatcher(&owner);
    ASSERT_FALSE(watcher->state().caps);
    TestDisplay x;
    const KeyCode caps = XKeysymToKeycode(x.display(), XK_Caps_Lock);
    auto press = [&] {
        XTestFakeKeyEvent(x.display(), caps, True, 0);
        XTestFakeKeyEvent(x.display(), caps, False, 0);
        XSync(x.display(), False);
    };
    press();
    EXPECT_TRUE(waitUntil([&] { return watcher->state().caps; }));
    press();
    EXPECT_TRUE(waitUntil([&] { return !watcher->state().caps; }));
    EXPECT_FALSE(watcher->state().num);
}

} // namespace
