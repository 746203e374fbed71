// The main frame, the document template and the About box.
#include "../form/fakeadapter.h"

#include "adapterlink.h"
#include "dovrax.h"
#include "dovraxdlg.h"
#include "dovraxdoc.h"
#include "mainfrm.h"
#include "messagebox.h"
#include "messagelist.h"
#include "res/ids.h"
#include "res/resources.h"
#include "windowicon.h"

#include <QAction>
#include <QFile>
#include <QGuiApplication>
#include <QLabel>
#include <QLayout>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QTemporaryDir>
#include <QTest>
#include <QToolBar>
#include <gtest/gtest.h>

#include <functional>

namespace {

class Shell : public testing::Test
{
protected:
    void SetUp() override
    {
        fake::reset(true);
        // As the program's application object does: the frame shows the application's icon.
        platform::setApplicationIcon(&res::appIcon, res::appIconProperty());
        previousDir_ = QDir::currentPath();
        QDir::setCurrent(dir.path());
        QFile ini(dir.filePath("setup.ini"));
        ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
        ini.write("[OPEN_APP]\nNAME=Host\n");
        ini.close();
        platform::setMessageBoxHook(
            [this](const platform::MessageBoxCall &call) { boxes.push_back(call); });
        link = std::make_unique<AdapterLink>(fake::api(), QStringLiteral("fake"));
        docTemplate = std::make_unique<platform::SingleDocTemplate>(
            [] { return std::make_unique<CDovraxDoc>(); },
            [this]() -> std::unique_ptr<platform::FrameWindow> {
                auto frame = std::make_unique<CMainFrame>(
                    [this](QWidget *parent) { return new CDovraxDlg(*link, parent); });
                if (!frame->isCreated())
                    return nullptr;
                return frame;
            });
        docTemplate->setFileChooser([this](QWidget *, bool save) {
            chooserCalls << save;
            return chosenFile;
        });
        ASSERT_TRUE(docTemplate->newDocument());
        frame = static_cast<CMainFrame *>(docTemplate->frame());
        form = frame->form();
    }

    void TearDown() override
    {
        docTemplate.reset();
        platform::setMessageBoxHook({});
        QDir::setCurrent(previousDir_);
    }

    QStringList logLines() const
    {
        QStringList lines;
        for (int i = 0; i < form->messageList()->count(); ++i)
            lines << form->messageList()->line(i);
        return lines;
    }

    QTemporaryDir dir;
    std::unique_ptr<AdapterLink> link;
    std::unique_ptr<platform::SingleDocTemplate> docTemplate;
    CMainFrame *frame = nullptr;
    CDovraxDlg *form = nullptr;
    std::vector<platform::MessageBoxCall> boxes;
    QList<bool> chooserCalls;
    QString chosenFile;

private:
    QString previousDir_;
};

TEST_F(Shell, FrameIsFixedCentredAndTitled)
{
    EXPECT_TRUE(frame->isVisible());
    EXPECT_EQ(frame->windowTitle(), "DOVRAX ( For Test)");
    EXPECT_EQ(frame->minimumSize(), frame->maximumSize()) << "no sizing";
    EXPECT_FALSE(frame->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(frame->windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_EQ(frame->centralWidget(), form);
    EXPECT_GE(frame->width(), form->width());
    const QSize screen = QGuiApplication::primaryScreen()->geometry().size();
    EXPECT_EQ(frame->frameGeometry().topLeft(),
              CMainFrame::centredPosition(frame->frameGeometry().size(), screen));
    EXPECT_EQ(CMainFrame::centredPosition(QSize(101, 51), QSize(800, 600)), QPoint(349, 274));
    EXPECT_EQ(CMainFrame::centredPosition(QSize(900, 700), QSize(800, 600)), QPoint(-50, -50));

    // Moved away, the next activation centres it again.
    frame->move(0, 0);
    ASSERT_TRUE(docTemplate->newDocument());
    EXPECT_EQ(frame->frameGeometry().topLeft(),
              CMainFrame::centredPosition(frame->frameGeometry().size(), screen));
    EXPECT_EQ(frame->windowTitle(), "DOVRAX ( For Test)");
}

TEST_F(Shell, MenuEntriesAndKeysIssueTheirCommands)
{
    ASSERT_TRUE(QTest::qWaitForWindowActive(frame));
    QSignalSpy issued(frame, &CMainFrame::commandIssued);
    const std::pair<const char *, int> keys[] = {
        {"Ctrl+N", res::ID_FILE_NEW}, {"Ctrl+O", res::ID_FILE_OPEN}, {"Ctrl+S", res::ID_FILE_SAVE}};
    for (const auto &[sequence, command] : keys) {
        QTest::keySequence(frame, QKeySequence(QString::fromLatin1(sequence)));
        ASSERT_EQ(issued.size(), 1) << sequence;
        EXPECT_EQ(issued.takeFirst().value(0).toInt(), command) << sequence;
    }
    // Nothing handles the Edit entries: shown disabled, and their keys do nothing.
    QMenu *edit = frame->menuBar()->actions().value(1)->menu();
    ASSERT_NE(edit, nullptr);
    for (QAction *action : edit->actions())
        EXPECT_TRUE(action->isSeparator() || !action->isEnabled()) << action->text().toStdString();
    for (const char *sequence : {"Ctrl+Z", "Alt+Backspace", "Shift+Del", "Ctrl+Ins", "Shift+Ins"})
        QTest::keySequence(frame, QKeySequence(QString::fromLatin1(sequence)));
    EXPECT_TRUE(issued.isEmpty());

    QMenu *help = frame->menuBar()->actions().value(3)->menu();
    ASSERT_NE(help, nullptr);
    help->actions().value(0)->trigger();
    ASSERT_EQ(issued.size(), 1);
    EXPECT_EQ(issued.takeFirst().value(0).toInt(), res::ID_APP_ABOUT);
    frame->menuBar()->actions().value(0)->menu()->actions().value(0)->trigger(); // Exit
    EXPECT_FALSE(frame->isVisible());
}

TEST_F(Shell, StatusBarPanesAndEmptyToolBar)
{
    auto *ready = frame->statusBar()->findChild<QLabel *>("0");
    ASSERT_NE(ready, nullptr);
    EXPECT_EQ(ready->text(), "Ready");
    // Message pane, the lock keys, then the adapter library's pane, side by side from the left
    // within the frame's fixed width, however long or short the library's name.
    for (const QString &name : {QStringLiteral("Virtual adapter"), QStringLiteral("none"),
                                QStringLiteral("libmulvo-of-a-maker-with-a-long-name.so.1")}) {
        frame->setAdapterLabel(name, QStringLiteral("/opt/maker/") + name);
        frame->statusBar()->layout()->activate();
        int right = 0;
        for (const char *id : {"0", "59137", "59138", "59139", "adapter"}) {
            auto *pane = frame->statusBar()->findChild<QLabel *>(id);
            ASSERT_NE(pane, nullptr) << id;
            EXPECT_GE(pane->x(), right) << id << " overlaps the pane before it";
            EXPECT_LE(pane->x(), right + 10) << id << " leaves a gap after the pane before it";
            right = pane->geometry().right() + 1;
        }
        EXPECT_LE(right, frame->statusBar()->width());
        EXPECT_EQ(frame->width(), form->width());
        EXPECT_LE(ready->width(), 295);
        auto *pane = frame->adapterPane();
        EXPECT_EQ(pane->toolTip(), QStringLiteral("/opt/maker/") + name);
        if (name.size() < 20)
            EXPECT_EQ(pane->text(), name);
        else
            EXPECT_TRUE(pane->text().startsWith(QStringLiteral("libmulvo-")) &&
                        pane->text().contains(QChar(0x2026)))
                << qPrintable(pane->text());
    }
    // A long instance name gives way to the interrupt count: the count whole, the name short
    // and whole in its tooltip.
    const QString instance = QStringLiteral("Virtual adapter: production-line-3-station-12");
    frame->setAdapterLabel(instance, QStringLiteral("/usr/lib/dovrax/libmulvo.so.1"));
    QStatusTipEvent count(QStringLiteral("INT 237727, 475454/s"));
    QCoreApplication::sendEvent(form, &count);
    frame->statusBar()->layout()->activate();
    ASSERT_EQ(ready->text(), "INT 237727, 475454/s");
    EXPECT_GE(ready->contentsRect().width(), ready->fontMetrics().horizontalAdvance(ready->text()));
    auto *pane = frame->adapterPane();
    EXPECT_TRUE(pane->text().contains(QChar(0x2026))) << qPrintable(pane->text());
    EXPECT_GT(pane->x(), ready->geometry().right());
    EXPECT_LE(pane->geometry().right(), frame->statusBar()->width());
    EXPECT_TRUE(pane->toolTip().contains(instance)) << qPrintable(pane->toolTip());
    auto *toolBar = frame->findChild<QToolBar *>("59392");
    ASSERT_NE(toolBar, nullptr);
    EXPECT_TRUE(toolBar->actions().isEmpty());
    EXPECT_TRUE(toolBar->isVisible());
}

TEST_F(Shell, HostNotFoundStaysInTheMessagePaneUntilTheNextPrompt)
{
    auto *pane = frame->statusBar()->findChild<QLabel *>("0");
    ASSERT_NE(pane, nullptr);
    // Plain calls rather than pointers to members: GCC 12's alignment sanitizer misreads
    // `(form->*button)()` in a loop over them.
    const std::function<void()> presses[] = {[this] { form->OnRipPrintButton(); },
                                             [this] { form->OnMoveButton(); },
                                             [this] { form->OnPrintSystemButton(); }};
    for (const std::function<void()> &press : presses) {
        press();
        EXPECT_EQ(pane->text(), "Window \"Host\" not found");
        frame->commandAction(res::ID_FILE_NEW)->showStatusText(frame);
        EXPECT_EQ(pane->text(), "Create a new document");
        QStatusTipEvent menuClosed{QString()};
        QCoreApplication::sendEvent(frame, &menuClosed);
        EXPECT_EQ(pane->text(), "Ready");
    }
    EXPECT_EQ(logLines().mid(2), QStringList({"Command : (RIP) CTRL + P", "Command : Move Window",
                                              "Command : (Print_System) F5"}));
}

TEST_F(Shell, NewRunsFirstShowAgainOnTheSameFormAndClosesTheEarlierHandle)
{
    const std::uint32_t first = form->adapterHandle();
    ASSERT_TRUE(docTemplate->newDocument());
    EXPECT_EQ(frame->form(), form) << "frame and form are reused";
    EXPECT_NE(form->adapterHandle(), first);
    EXPECT_EQ(fake::callNames(), (std::vector<std::string>{"open", "close", "open"}));
    EXPECT_EQ(logLines().count("DOV-RAX adapter found on the system."), 2);
}

TEST_F(Shell, OpenCancelledChangesNothingAndOpenChosenRenews)
{
    const QStringList before = logLines();
    fake::clearCalls();
    EXPECT_FALSE(docTemplate->openWithChooser());
    EXPECT_EQ(chooserCalls, QList<bool>({false}));
    EXPECT_EQ(logLines(), before);
    EXPECT_TRUE(fake::calls().empty());

    chosenFile = dir.filePath("setup.ini");
    EXPECT_TRUE(docTemplate->openWithChooser());
    EXPECT_EQ(fake::callNames(), (std::vector<std::string>{"close", "open"}));
    EXPECT_EQ(docTemplate->recentFiles().value(0), chosenFile);
    EXPECT_EQ(frame->windowTitle(), "DOVRAX ( For Test)");
}

TEST_F(Shell, SaveCreatesANewEmptyFileAndNeverEmptiesAnExistingOne)
{
    chosenFile = dir.filePath("new.dovrax");
    EXPECT_TRUE(docTemplate->save());
    EXPECT_EQ(chooserCalls, QList<bool>({true}));
    EXPECT_TRUE(QFile::exists(chosenFile));
    EXPECT_EQ(QFileInfo(chosenFile).size(), 0);
    EXPECT_TRUE(boxes.empty());

    // Failures say so with the stop icon; an existing file chosen to save over is kept, with
    // a word about it.
    // The caption is the application's name, as on the framework's own boxes.
    auto lastBox = [this] {
        return boxes.empty()
                   ? std::string()
                   : (boxes.back().caption == QGuiApplication::applicationName() ? "DOVRAX: "
                                                                                 : "?: ") +
                         boxes.back().text.toStdString() +
                         (boxes.back().icon == platform::MessageIcon::Stop ? " (stop)" : "");
    };
    EXPECT_FALSE(docTemplate->openDocument(dir.filePath("missing")));
    EXPECT_EQ(lastBox(), "DOVRAX: Failed to open document. (stop)");
    docTemplate->document()->setPathName(QString());
    chosenFile = dir.filePath("no-such-folder/new.dovrax");
    EXPECT_FALSE(docTemplate->save());
    EXPECT_EQ(lastBox(), "DOVRAX: Failed to save document. (stop)");
    chosenFile = dir.filePath("setup.ini");
    EXPECT_TRUE(docTemplate->save());
    EXPECT_EQ(lastBox(), "DOVRAX: " + chosenFile.toStdString() +
                             " was kept as it was: this document has no content to write.");
    boxes.clear();

    // Open a file with content, then save: the content stays.
    const QString existing = dir.filePath("setup.ini");
    ASSERT_TRUE(docTemplate->openDocument(existing));
    chooserCalls.clear();
    EXPECT_TRUE(docTemplate->save());
    EXPECT_TRUE(chooserCalls.isEmpty()) << "an opened document has its name";
    QFile file(existing);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), QByteArray("[OPEN_APP]\nNAME=Host\n"));
}

TEST_F(Shell, AboutBoxFollowsItsTemplate)
{
    CAboutDlg about(frame);
    EXPECT_EQ(about.windowTitle(), "About DOVRAX");
    EXPECT_EQ(about.size(), QSize(255, 100));
    QStringList texts;
    int icons = 0;
    for (QLabel *label : about.findChildren<QLabel *>()) {
        if (label->text().isEmpty()) {
            ++icons;
            EXPECT_FALSE(label->pixmap().isNull()) << "the program's icon is missing";
            continue;
        }
        texts << label->text();
        EXPECT_LE(label->fontMetrics().horizontalAdvance(label->text()), label->width())
            << label->text().toStdString() << " is cut off";
    }
    EXPECT_EQ(icons, 1);
    EXPECT_TRUE(texts.contains("DOVRAX, Version 1.0"));
    EXPECT_FALSE(frame->windowIcon().pixmap(32).isNull()) << "the frame has no icon";
    auto *ok = static_cast<QPushButton *>(platform::controlById(&about, res::IDOK));
    ASSERT_NE(ok, nullptr);
    EXPECT_TRUE(ok->isDefault());
    EXPECT_EQ(ok->geometry(), QRect(169, 66, 75, 22));
    about.show();
    ok->click();
    EXPECT_EQ(about.result(), QDialog::Accepted);
    EXPECT_FALSE(about.isVisible());
}

} // namespace
