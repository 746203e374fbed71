// Host application automation through a recording stand-in for the window system.
#include "formfixture.h"

#include "hostwindows.h"

namespace {

// Records every window-system call as text; windows are found from a table.
class RecordingWindows : public platform::HostWindows
{
public:
    QStringList *calls;
    QMap<QString, platform::HostWindow> byTitle;
    QMap<QString, platform::HostWindow> byClass;
    QMap<platform::HostWindow, platform::HostWindow> editChild;
    bool vanishBeforeRect = false;

    explicit RecordingWindows(QStringList *log) : calls(log) {}

    platform::HostWindow findByTitle(const QString &title) override
    {
        *calls << "findByTitle " + title;
        return byTitle.value(title);
    }
    platform::HostWindow findByClass(const QString &windowClass) override
    {
        *calls << "findByClass " + windowClass;
        return byClass.value(windowClass);
    }
    platform::HostWindow findChildByClass(platform::HostWindow parent,
                                          const QString &windowClass) override
    {
        *calls << QStringLiteral("findChildByClass %1 %2").arg(parent).arg(windowClass);
        return windowClass == "Edit" ? editChild.value(parent) : 0;
    }
    void showNormal(platform::HostWindow w) override { *calls << QStringLiteral("show %1").arg(w); }
    void activate(platform::HostWindow w) override
    {
        *calls << QStringLiteral("activate %1").arg(w);
    }
    std::optional<QRect> frameGeometry(platform::HostWindow w) override
    {
        *calls << QStringLiteral("rect %1").arg(w);
        if (vanishBeforeRect)
            return std::nullopt;
        return QRect(100, 100, 300, 200);
    }
    void moveTo(platform::HostWindow w, QPoint topLeft) override
    {
        *calls << QStringLiteral("move %1 %2 %3").arg(w).arg(topLeft.x()).arg(topLeft.y());
    }
    void keyDown(platform::VirtualKey key) override
    {
        *calls << QStringLiteral("down %1").arg(int(key), 0, 16);
    }
    void keyUp(platform::VirtualKey key) override
    {
        *calls << QStringLiteral("up %1").arg(int(key), 0, 16);
    }
    void postChar(platform::HostWindow w, char16_t c) override
    {
        *calls << QStringLiteral("char %1 %2").arg(w).arg(QChar(c));
    }
    void bringToFront(platform::HostWindow w) override
    {
        *calls << QStringLiteral("front %1").arg(w);
    }
    QString windowClass(platform::HostWindow) override { return QString(); }
    platform::HostWindow findMainWindow(const QString &) override { return 0; }
    void markAsMainWindow(platform::HostWindow) override {}
};

class Automation : public FormFixture
{
protected:
    void start(const QByteArray &setupIni)
    {
        if (!setupIni.isNull())
            writeSetupIni(setupIni);
        makeForm();
        auto windows = std::make_unique<RecordingWindows>(&calls);
        this->windows = windows.get();
        form->setHostWindows(std::move(windows));
        form->OnMessageListDoubleClick();
    }

    QStringList calls;
    RecordingWindows *windows = nullptr;
};

TEST_F(Automation, EmptyAppNameLogsOnlyThatForEachHostButton)
{
    start(QByteArray());
    form->OnRipPrintButton();
    form->OnMoveButton();
    form->OnPrintSystemButton();
    EXPECT_EQ(logLines(),
              QStringList({"APP_Name : Empty", "APP_Name : Empty", "APP_Name : Empty"}));
    EXPECT_TRUE(calls.isEmpty()) << "no window is touched";
}

TEST_F(Automation, HostNotFoundLogsTheCommandOnly)
{
    start("[OPEN_APP]\nNAME=Host Demo\n");
    form->OnRipPrintButton();
    form->OnMoveButton();
    form->OnPrintSystemButton();
    EXPECT_EQ(logLines(), QStringList({"Command : (RIP) CTRL + P", "Command : Move Window",
                                       "Command : (Print_System) F5"}));
    EXPECT_EQ(calls, QStringList({"findByTitle Host Demo", "findByTitle Host Demo",
                                  "findByTitle Host Demo"}));
}

TEST_F(Automation, KeyStrokesGoToTheShownForegroundHost)
{
    start("[OPEN_APP]\nNAME=Host Demo\n");
    windows->byTitle.insert("Host Demo", 42);
    form->OnRipPrintButton();
    EXPECT_EQ(calls, QStringList({"findByTitle Host Demo", "show 42", "activate 42", "down 11",
                                  "down 50", "up 11", "up 50"}));
    calls.clear();
    form->OnPrintSystemButton();
    EXPECT_EQ(calls,
              QStringList({"findByTitle Host Demo", "show 42", "activate 42", "down 74", "up 74"}));
}

TEST_F(Automation, MoveShiftsRightWithoutShowing)
{
    start("[OPEN_APP]\nNAME=Host Demo\n");
    windows->byTitle.insert("Host Demo", 42);
    form->OnMoveButton();
    EXPECT_EQ(calls,
              QStringList({"findByTitle Host Demo", "rect 42", "activate 42", "move 42 150 100"}));
    calls.clear();
    windows->vanishBeforeRect = true;
    form->OnMoveButton();
    EXPECT_EQ(calls, QStringList({"findByTitle Host Demo", "rect 42"}));
}

TEST_F(Automation, NotepadPostsHelloThenSendsCtrlP)
{
    start(QByteArray());
    windows->byClass.insert("Notepad", 7);
    windows->editChild.insert(7, 8);
    form->OnNotepadButton();
    EXPECT_EQ(calls,
              QStringList({"findByClass Notepad", "findChildByClass 7 Edit", "char 8 H", "char 8 E",
                           "char 8 L", "char 8 L", "char 8 O", "findByClass Notepad", "show 7",
                           "activate 7", "down 11", "down 50", "up 11", "up 50"}));
    EXPECT_EQ(logLines(), QStringList({"Command : CTRL + P"}));
}

TEST_F(Automation, NotepadMissingLogsFailureAndSendsNoKey)
{
    start(QByteArray());
    form->OnNotepadButton();
    EXPECT_EQ(logLines(), QStringList({"Command : CTRL + P", "Status : Failed to open Notepad"}));
    EXPECT_EQ(calls, QStringList({"findByClass Notepad", "findByClass Notepad"}));
}

TEST_F(Automation, AppNameOf79CharactersIsLookedUpCut)
{
    start("[OPEN_APP]\nNAME=" + QByteArray(100, 'T') + "\n");
    form->OnMoveButton();
    EXPECT_EQ(calls, QStringList({"findByTitle " + QString(79, 'T')}));
}

} // namespace
