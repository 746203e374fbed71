// First show, the message log, renewal and destruction of the control form.
#include "formfixture.h"

#include "res/ids.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

namespace {

const QString kFound = QStringLiteral("DOV-RAX adapter found on the system.");
const QString kNotFound = QStringLiteral("No DOV-RAX Adapter found on the system ! ");
const QString kBanner = QStringLiteral("Velmora Technologies CO. LTD.");

class FirstShow : public FormFixture
{
};

TEST_F(FirstShow, AdapterFoundLogsAndEnablesAllButNotepadAndStart)
{
    writeSetupIni("[OPEN_APP]\nNAME=Host\n");
    makeForm();
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(logLines(), QStringList({kFound, kBanner}));
    EXPECT_EQ(form->messageList()->selectedRow(), 0);
    EXPECT_NE(form->adapterHandle(), 0u);
    EXPECT_EQ(fake::callNames(), std::vector<std::string>{"open"});
    EXPECT_EQ(fake::calls()[0].arg1, 0u) << "adapter 0 is always the one opened";

    for (int id = res::IDC_BIT0; id <= res::IDC_PRINT_SYSTEM_BUTTON; ++id) {
        QWidget *widget = control(id);
        if (!widget)
            continue;
        const bool expectDisabled = id == res::IDC_NOTEPAD_BUTTON || id == res::IDC_START_BUTTON;
        EXPECT_EQ(widget->isEnabled(), !expectDisabled) << "control " << id;
    }
    EXPECT_EQ(control<QComboBox>(res::IDC_OUTPUT_COMBO)->currentText(), "0x55");
    EXPECT_EQ(control<QComboBox>(res::IDC_DEVICE_COMBO)->currentText(), "0");
    EXPECT_EQ(form->appName(), "Host");
}

TEST_F(FirstShow, NoAdapterShowsStopBoxThenLogsAndDisablesControls)
{
    fake::reset(false);
    makeForm();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text, kNotFound);
    EXPECT_EQ(boxes[0].caption, "Confirm DOV-RAX Exist");
    EXPECT_EQ(boxes[0].icon, platform::MessageIcon::Stop);
    EXPECT_EQ(boxes[0].owner, form.get());
    EXPECT_EQ(boxLogCounts[0], 0) << "the stop box comes before any log line";
    // No setup.ini: the warning comes after the log lines.
    EXPECT_EQ(boxes[1].text, "Failed to open setup.ini file ! ");
    EXPECT_EQ(boxes[1].caption, "Confirm Setup.ini Setting");
    EXPECT_EQ(boxes[1].icon, platform::MessageIcon::Exclamation);
    EXPECT_EQ(boxLogCounts[1], 2);

    EXPECT_EQ(logLines(), QStringList({kNotFound, kBanner}));
    EXPECT_EQ(form->messageList()->selectedRow(), 0);
    EXPECT_FALSE(control(res::IDC_OUTPUT_BUTTON)->isEnabled());
    EXPECT_FALSE(control(res::IDC_INPUT_BUTTON)->isEnabled());
    EXPECT_FALSE(control(res::IDC_DEVICE_COMBO)->isEnabled());
    EXPECT_TRUE(control(res::IDC_OUTPUT_COMBO)->isEnabled());
    EXPECT_TRUE(control(res::IDC_MOVE_BUTTON)->isEnabled());
    EXPECT_EQ(control<QComboBox>(res::IDC_OUTPUT_COMBO)->currentText(), "0x55");
    EXPECT_EQ(control<QComboBox>(res::IDC_DEVICE_COMBO)->currentText(), "0");
}

TEST_F(FirstShow, LibraryNotLoadableBehavesAsNoAdapterAndSaysWhy)
{
    makeForm(nullptr, QStringLiteral("/opt/x/libmulvo.so.1: missing function mulvo_connect"));
    ASSERT_FALSE(boxes.empty());
    EXPECT_EQ(boxes[0].text, kNotFound);
    EXPECT_EQ(logLines(),
              QStringList({"Adapter library: /opt/x/libmulvo.so.1: missing function mulvo_connect",
                           kNotFound, kBanner}));
    EXPECT_EQ(form->messageList()->selectedRow(), 1);
    EXPECT_FALSE(control(res::IDC_INPUT_BUTTON)->isEnabled());
    EXPECT_TRUE(fake::calls().empty());
    form.reset(); // destruction without a library calls nothing and does not crash
}

TEST_F(FirstShow, ComboBoxesAreSortedAndTypingAddsNoItem)
{
    makeForm();
    auto *output = control<QComboBox>(res::IDC_OUTPUT_COMBO);
    QStringList items;
    for (int i = 0; i < output->count(); ++i)
        items << output->itemText(i);
    EXPECT_EQ(items, QStringList({"0x00", "0x55", "0xAA", "0xFF"}));
    output->setFocus();
    output->lineEdit()->selectAll();
    QTest::keyClicks(output->lineEdit(), "0x12");
    QTest::keyClick(output->lineEdit(), Qt::Key_Return);
    EXPECT_EQ(output->count(), 4);
    EXPECT_EQ(output->currentText(), "0x12");

    // The template height sizes only the closed box: every item of both lists shows when open.
    for (auto *combo : {output, control<QComboBox>(res::IDC_DEVICE_COMBO)}) {
        combo->showPopup();
        QAbstractItemView *list = combo->view();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(list->window()));
        for (int row = 0; row < combo->count(); ++row) {
            EXPECT_TRUE(
                list->viewport()->rect().contains(list->visualRect(list->model()->index(row, 0))))
                << "row " << row << " of control " << platform::controlId(combo);
        }
        combo->hidePopup();
    }
}

TEST_F(FirstShow, ControlsFollowTheTemplateInTabOrder)
{
    makeForm();
    // 17 x 17 dialog units make a 25 x 27 pixel indicator.
    EXPECT_EQ(control(1007)->geometry(), QRect(24, 30, 25, 27));
    EXPECT_EQ(control(1000)->geometry().topLeft(), QPoint(270, 30));
    EXPECT_EQ(control<QPushButton>(res::IDC_START_BUTTON)->text(), "Start");
    EXPECT_EQ(form->size(), QSize(439, 370));
    // Tab order runs through the tab stops in template order.
    QWidget *w = control(1007);
    QList<int> order;
    for (int i = 0; i < 20 && w; ++i) {
        order << platform::controlId(w);
        w = w->nextInFocusChain();
        while (w && w != form.get() &&
               (platform::controlId(w) < 0 || !(w->focusPolicy() & Qt::TabFocus)))
            w = w->nextInFocusChain();
        if (w == control(1007) || w == form.get())
            break;
    }
    ASSERT_GE(order.size(), 9);
    EXPECT_EQ(order.mid(0, 9), QList<int>({1007, 1006, 1005, 1004, 1003, 1002, 1001, 1000, 1008}));
}

TEST_F(FirstShow, GroupFramesLetClicksThroughToTheControlsTheyEnclose)
{
    makeForm();
    for (int id : {res::IDC_OUTPUT_BUTTON, res::IDC_MESSAGE_LIST, res::IDC_BIT0, res::IDC_BIT7,
                   res::IDC_OUTPUT_COMBO}) {
        QWidget *target = control(id);
        QWidget *hit = form->childAt(target->geometry().center());
        while (hit && hit->parentWidget() != form.get())
            hit = hit->parentWidget();
        EXPECT_EQ(hit, target) << "control " << id;
    }
}

class MessageLog : public FormFixture
{
};

TEST_F(MessageLog, SeparatorFollowsTheSelectedLine)
{
    makeForm();
    form->OnMessageListDoubleClick();
    EXPECT_EQ(form->messageList()->count(), 0);
    form->LogMessage(true, QStringLiteral("hello"));
    EXPECT_EQ(logLines(), QStringList({"hello", QString(70, '-')}));
    EXPECT_EQ(form->messageList()->selectedRow(), 0);
    form->LogMessage(false, QStringLiteral("next"));
    EXPECT_EQ(form->messageList()->selectedRow(), 2);
}

TEST_F(MessageLog, FullListKeepsTheNewLineAtTheBottomAndSeparatorBelow)
{
    makeForm();
    for (int i = 0; i < 200; ++i)
        form->LogMessage(true, QStringLiteral("line %1").arg(i));
    QCoreApplication::processEvents();
    platform::MessageList *list = form->messageList();
    const int selected = list->selectedRow();
    EXPECT_EQ(list->line(selected), "line 199");
    EXPECT_EQ(list->lastFullyVisibleRow(), selected);
    EXPECT_EQ(selected + 1, list->count() - 1);
}

TEST_F(MessageLog, DoubleClickClearsBannerIncluded)
{
    makeForm();
    ASSERT_EQ(form->messageList()->count(), 2);
    Q_EMIT form->messageList()->listDoubleClicked();
    EXPECT_EQ(form->messageList()->count(), 0);
    form->LogMessage(false, QStringLiteral("first"));
    EXPECT_EQ(form->messageList()->line(0), "first");
}

class Renewal : public FormFixture
{
};

TEST_F(Renewal, RunsFirstShowAgainAndClosesTheEarlierHandle)
{
    makeForm();
    const std::uint32_t first = form->adapterHandle();
    fake::clearCalls();
    form->onInitialUpdate();
    const std::vector<fake::Call> calls = fake::calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].name, "close");
    EXPECT_EQ(calls[0].handle, first);
    EXPECT_EQ(calls[1].name, "open");
    EXPECT_NE(form->adapterHandle(), first);
    EXPECT_EQ(logLines(), QStringList({kFound, kBanner, kFound, kBanner}));
    EXPECT_EQ(form->messageList()->selectedRow(), 2);
    // Both first shows warned about the missing setup.ini.
    EXPECT_EQ(boxes.size(), 2u);
}

TEST_F(Renewal, ControlsFollowWhetherTheRenewedOpenFoundTheAdapter)
{
    fake::reset(false);
    makeForm();
    const int ids[] = {res::IDC_INPUT_BUTTON, res::IDC_OUTPUT_BUTTON, res::IDC_DEVICE_COMBO};
    fake::state().nextHandle = 0x7700; // plugged in
    form->onInitialUpdate();
    for (int id : ids)
        EXPECT_TRUE(control(id)->isEnabled()) << id;
    fake::state().nextHandle = 0; // unplugged again
    form->onInitialUpdate();
    for (int id : ids)
        EXPECT_FALSE(control(id)->isEnabled()) << id;
}

TEST_F(Renewal, SetupIniReadAgainKeepsEarlierValueOnFailure)
{
    writeSetupIni("[OPEN_APP]\nNAME=First Host\n");
    makeForm();
    EXPECT_EQ(form->appName(), "First Host");
    writeSetupIni("[OPEN_APP]\nNAME=\n");
    form->onInitialUpdate();
    EXPECT_EQ(form->appName(), "First Host");
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, "Confirm Setup.ini Setting");
}

TEST_F(Renewal, DestructionClosesTheHandleOnceAndWithoutAdapterCallsNothing)
{
    makeForm();
    const std::uint32_t handle = form->adapterHandle();
    fake::clearCalls();
    form.reset();
    const std::vector<fake::Call> calls = fake::calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].name, "close");
    EXPECT_EQ(calls[0].handle, handle);

    fake::reset(false);
    makeForm();
    fake::clearCalls();
    form.reset();
    EXPECT_TRUE(fake::calls().empty());
}

TEST_F(FirstShow, SetupIniInTheCurrentDirectoryElseInTheConfigurationFolder)
{
    // Started from the desktop menu: nothing in the working folder, the file in the user's
    // configuration folder.
    ASSERT_TRUE(QDir().mkpath(configDir() + "/dovrax"));
    QFile config(configDir() + "/dovrax/setup.ini");
    ASSERT_TRUE(config.open(QIODevice::WriteOnly));
    config.write("[OPEN_APP]\nNAME=Configured Host\n");
    config.close();
    makeForm();
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(form->appName(), "Configured Host");
    writeSetupIni("[OPEN_APP]\nNAME=Local Host\n");
    EXPECT_EQ(form->ReadSetupIni(), 0);
    EXPECT_EQ(form->appName(), "Local Host") << "the current directory comes first";
}

TEST_F(FirstShow, SetupIniValueCutTo79Characters)
{
    writeSetupIni("[open_app]\r\n  name = \"" + QByteArray(100, 'A') + "\"\r\n");
    makeForm();
    EXPECT_EQ(form->appName(), QString(79, 'A'));
    EXPECT_EQ(form->ReadSetupIni(), 0);
}

TEST_F(FirstShow, WindowMessageIsAnsweredWithOne)
{
    makeForm();
    const QStringList before = logLines();
    FormMessageEvent message;
    EXPECT_TRUE(QCoreApplication::sendEvent(form.get(), &message));
    EXPECT_EQ(message.result, 1);
    EXPECT_EQ(logLines(), before);
}

} // namespace
