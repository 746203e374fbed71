// The implementation for displays that are not X11: it must not reach into an X server that
// happens to be around (run once with none, once on Xvfb with Qt on the offscreen platform).
#include "hostwindows.h"

#include <QGuiApplication>
#include <QWidget>
#include <gtest/gtest.h>

#include "testdisplay.h"

using platform::HostWindow;

namespace {

void expectNothingFound(platform::HostWindows &hosts, HostWindow window, const QString &title,
                        const QString &windowClass)
{
    EXPECT_EQ(hosts.findByTitle(title), 0u);
    EXPECT_EQ(hosts.findByClass(windowClass), 0u);
    EXPECT_EQ(hosts.findChildByClass(window, windowClass), 0u);
    EXPECT_FALSE(hosts.frameGeometry(window));
    EXPECT_TRUE(hosts.windowClass(window).isEmpty());
    hosts.showNormal(window);
    hosts.activate(window);
    hosts.moveTo(window, {50, 0});
    hosts.keyDown(platform::VirtualKey::F5);
    hosts.keyUp(platform::VirtualKey::F5);
    hosts.postChar(window, u'H');
    hosts.bringToFront(window);
}

TEST(NullHostWindows, FindsNothingForQtsOwnWindows)
{
    ASSERT_NE(QGuiApplication::platformName(), QStringLiteral("xcb"));
    const auto hosts = platform::createHostWindows();
    ASSERT_TRUE(hosts);
    QWidget own;
    own.setWindowTitle(QStringLiteral("Offscreen Window"));
    own.show();
    expectNothingFound(*hosts, own.winId(), own.windowTitle(), QString());
}

TEST(NullHostWindows, IgnoresWindowsOnAnXServerItIsNotUsing)
{
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        GTEST_SKIP() << "no X server to ignore";
    ASSERT_NE(QGuiApplication::platformName(), QStringLiteral("xcb"));
    TestDisplay x;
    const Window window = x.createTopLevel("Null Probe", "DovraxNullProbe", {100, 100, 200, 100});
    x.createChild(window, "Edit");
    ASSERT_TRUE(x.waitUntilShown(window));

    const auto hosts = platform::createHostWindows();
    expectNothingFound(*hosts, window, QStringLiteral("Null Probe"),
                       QStringLiteral("DovraxNullProbe"));
    EXPECT_TRUE(x.isViewable(window)) << "actions must not have touched it";
}

} // namespace
