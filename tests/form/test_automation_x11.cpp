// The automation buttons of the form against a real host window on an X server, with and
// without a window manager.
#include "formfixture.h"

#include "../x11/hostdemoprocess.h"
#include "../x11/polling.h"
#include "hostwindows.h"

#include <QGuiApplication>
#include <QTest>

// Xlib's macros clash with Qt's headers; keep it below them.
#include "../x11/testdisplay.h"

#include <X11/Xutil.h>

namespace {

const QString kHostTitle = QStringLiteral("DOVRAX Form Host");

class AutomationX11 : public FormFixture
{
protected:
    void SetUp() override
    {
        FormFixture::SetUp();
        if (QGuiApplication::platformName() != QLatin1String("xcb"))
            GTEST_SKIP() << "needs an X server";
        writeSetupIni("[OPEN_APP]\nNAME=" + kHostTitle.toUtf8() + "\n");
        makeForm();
        windows = platform::createHostWindows();
    }

    // The host window's frame on screen, once it is there.
    std::optional<QRect> hostRect()
    {
        const platform::HostWindow host = windows->findByTitle(kHostTitle);
        return host ? windows->frameGeometry(host) : std::nullopt;
    }

    std::unique_ptr<platform::HostWindows> windows;
};

TEST_F(AutomationX11, MoveThreeTimesShiftsTheHostBy150)
{
    HostDemoProcess host(kHostTitle, QPoint(100, 500));
    ASSERT_TRUE(waitUntil([&] { return hostRect().has_value(); }));
    const QRect before = *hostRect();
    for (int i = 0; i < 3; ++i)
        form->OnMoveButton();
    ASSERT_TRUE(waitUntil([&] { return hostRect() && hostRect()->x() == before.x() + 150; }))
        << "from " << before.x() << " to " << (hostRect() ? hostRect()->x() : -1);
    const QRect after = *hostRect();
    EXPECT_EQ(after.size(), before.size());
    EXPECT_EQ(after.y(), before.y());
    EXPECT_EQ(logLines().count("Command : Move Window"), 3);
}

TEST_F(AutomationX11, MoveOnAnIconifiedHostShiftsItsNormalPlaceBy50)
{
    HostDemoProcess host(kHostTitle, QPoint(100, 500));
    TestDisplay x;
    const bool managed = x.windowManagerRunning();
    // Without a manager nobody iconifies: then this is a plain move.
    const auto inState = [&](long state) {
        const platform::HostWindow window = windows->findByTitle(kHostTitle);
        return window && hostRect() && (!managed || x.wmState(window) == state);
    };
    ASSERT_TRUE(waitUntil([&] { return inState(NormalState); }));
    const QRect before = *hostRect();
    x.iconify(windows->findByTitle(kHostTitle));
    ASSERT_TRUE(waitUntil([&] { return inState(IconicState); }));

    form->OnMoveButton();
    // Restoring is animated under openbox; the move is made once that is over and is complete
    // when the button returns.
    EXPECT_EQ(hostRect(), before.translated(50, 0));
    QTest::qWait(500);
    EXPECT_EQ(hostRect(), before.translated(50, 0));
}

TEST_F(AutomationX11, KeyStrokesReachTheHost)
{
    HostDemoProcess host(kHostTitle, QPoint(100, 500));
    ASSERT_TRUE(waitUntil([&] { return hostRect().has_value(); }));
    form->OnPrintSystemButton();
    EXPECT_TRUE(host.waitForLine(QStringLiteral("Key: F5")));
    form->OnRipPrintButton();
    EXPECT_TRUE(host.waitForLine(QStringLiteral("Key: Ctrl+P")));
    EXPECT_EQ(logLines().mid(2),
              QStringList({"Command : (Print_System) F5", "Command : (RIP) CTRL + P"}));
}

TEST_F(AutomationX11, VanishedHostCausesNoCrash)
{
    auto host = std::make_unique<HostDemoProcess>(kHostTitle, QPoint(100, 500));
    ASSERT_TRUE(waitUntil([&] { return hostRect().has_value(); }));
    const platform::HostWindow stale = windows->findByTitle(kHostTitle);
    host->kill();
    // Every action on the window that went away does nothing.
    windows->showNormal(stale);
    windows->activate(stale);
    windows->moveTo(stale, {50, 0});
    windows->postChar(stale, u'H');
    EXPECT_FALSE(windows->frameGeometry(stale).has_value());
    form->OnMoveButton();
    form->OnPrintSystemButton();
    EXPECT_EQ(logLines().mid(2),
              QStringList({"Command : Move Window", "Command : (Print_System) F5"}));
}

} // namespace
