// Data input and output, and interrupt monitoring, on the fake adapter.
#include "formfixture.h"

#include "outputvalue.h"
#include "res/ids.h"

#include <QAccessible>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <thread>

namespace {

TEST(OutputValue, ConvertsTheWholeTextKeepingTheLastTwoDigits)
{
    const std::pair<const char *, int> cases[] = {
        {"0x55", 0x55},   {"0xAA", 0xAA}, {"0x00", 0x00}, {"0xFF", 0xFF},
        {"FF", 0xFF},     {"ff", 0xFF},   {"7", 0x07},    {"0x123", 0x23},
        {"-1", 0xFF},     {"0x7", 0x07},  {"12 ", 0x12},  {"  +1f", 0x1F},
        {"\t0X1a", 0x1A}, {"-0x2", 0xFE}, {"0x", 0x00},   {"123456789abcdef0123", 0x23},
        {"0xg", 0x00},    {"7z", 0x07},   {"0xx1", 0x00},
    };
    for (const auto &[text, expected] : cases) {
        const std::optional<std::uint8_t> value = parseOutputValue(QString::fromLatin1(text));
        ASSERT_TRUE(value.has_value()) << text;
        EXPECT_EQ(*value, expected) << text;
    }
    for (const char *text : {"zz", "x7", "-", "   ", "", "+", "\xC2\xB5"})
        EXPECT_FALSE(parseOutputValue(QString::fromUtf8(text)).has_value()) << text;
}

class Transfer : public FormFixture
{
protected:
    void SetUp() override
    {
        FormFixture::SetUp();
        makeForm();
        fake::clearCalls();
    }

    // Indicator states, bit 7 first: '1' disabled (green), '0' enabled (grey).
    std::string indicators() const
    {
        std::string bits;
        for (int n = 7; n >= 0; --n)
            bits += control(res::IDC_BIT0 + n)->isEnabled() ? '0' : '1';
        return bits;
    }

    void output(const QString &text)
    {
        control<QComboBox>(res::IDC_OUTPUT_COMBO)->setEditText(text);
        form->OnOutputButton();
    }
};

TEST_F(Transfer, OutputWritesLogsAndShowsTheByte)
{
    const std::pair<const char *, std::pair<const char *, const char *>> cases[] = {
        {"0x55", {"Output Data : [ 0x55 ]", "01010101"}},
        {"0xAA", {"Output Data : [ 0xaa ]", "10101010"}},
        {"0x00", {"Output Data : [ 0x0 ]", "00000000"}},
        {"0xFF", {"Output Data : [ 0xff ]", "11111111"}},
        {"7", {"Output Data : [ 0x7 ]", "00000111"}},
    };
    for (const auto &[text, expected] : cases) {
        form->OnMessageListDoubleClick();
        fake::clearCalls();
        output(QString::fromLatin1(text));
        const std::vector<fake::Call> calls = fake::calls();
        ASSERT_EQ(calls.size(), 1u) << text;
        EXPECT_EQ(calls[0].name, "mbout");
        EXPECT_EQ(calls[0].handle, form->adapterHandle());
        EXPECT_EQ(logLines(), QStringList({expected.first, QString(70, '-')})) << text;
        EXPECT_EQ(form->messageList()->selectedRow(), 0);
        EXPECT_EQ(indicators(), expected.second) << text;
    }
    EXPECT_EQ(control<QLabel>(res::IDC_INPUT_DISPLAY)->text(), "") << "output leaves it alone";

    // What a screen reader is told: each bit by name, on or off, never unavailable.
    output(QStringLiteral("0x55"));
    for (int n = 0; n < 8; ++n) {
        QAccessibleInterface *bit =
            QAccessible::queryAccessibleInterface(control(res::IDC_BIT0 + n));
        ASSERT_NE(bit, nullptr);
        const bool on = (0x55 >> n) & 1;
        EXPECT_EQ(bit->text(QAccessible::Name), QStringLiteral("Bit %1").arg(n));
        EXPECT_EQ(bit->role(), QAccessible::CheckBox) << n;
        EXPECT_EQ(bit->state().checked, on) << n;
        EXPECT_FALSE(bit->state().disabled) << n;
        ASSERT_NE(bit->valueInterface(), nullptr);
        EXPECT_EQ(bit->valueInterface()->currentValue().toInt(), on ? 1 : 0) << n;
    }
}

TEST_F(Transfer, FirstShowPresetWrites0x55)
{
    form->OnOutputButton();
    ASSERT_EQ(fake::calls().size(), 1u);
    EXPECT_EQ(fake::calls()[0].arg1, 0x55u);
}

TEST_F(Transfer, EmptyAndUnusableTextsWriteNothing)
{
    output(QStringLiteral("0xFF"));
    fake::clearCalls();
    const int lines = form->messageList()->count();
    control<QComboBox>(res::IDC_OUTPUT_COMBO)->setEditText(QString());
    EXPECT_EQ(form->TransferData(true), 1);
    EXPECT_EQ(form->messageList()->count(), lines);

    control<QComboBox>(res::IDC_OUTPUT_COMBO)->setEditText(QStringLiteral("zz"));
    EXPECT_EQ(form->TransferData(true), 1);
    EXPECT_TRUE(fake::calls().empty());
    EXPECT_EQ(indicators(), "11111111") << "indicators keep the last byte";
    EXPECT_EQ(form->messageList()->line(lines), "Output Data : [ zz ] is not a hexadecimal value");
    EXPECT_EQ(form->messageList()->line(lines + 1), QString(70, '-'));
    EXPECT_EQ(form->messageList()->selectedRow(), lines);
}

TEST_F(Transfer, InputReadsKeepsLowByteAndShowsIt)
{
    fake::state().inputValue = 0x3C;
    form->OnInputButton();
    const std::vector<fake::Call> calls = fake::calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].name, "mbin");
    EXPECT_EQ(logLines().mid(2), QStringList({"Input Data : [ 0x3c ]", QString(70, '-')}));
    EXPECT_EQ(control<QLabel>(res::IDC_INPUT_DISPLAY)->text(), "0x3c");
    EXPECT_EQ(indicators(), "00111100");

    fake::state().inputValue = 0x1FF;
    form->OnInputButton();
    EXPECT_EQ(control<QLabel>(res::IDC_INPUT_DISPLAY)->text(), "0xff");
    EXPECT_EQ(indicators(), "11111111");
    EXPECT_EQ(form->messageList()->line(form->messageList()->count() - 2), "Input Data : [ 0xff ]");
}

TEST_F(Transfer, ButtonsClickThroughTheMessageTable)
{
    QTest::mouseClick(control(res::IDC_OUTPUT_BUTTON), Qt::LeftButton);
    QTest::mouseClick(control(res::IDC_INPUT_BUTTON), Qt::LeftButton);
    EXPECT_EQ(fake::callNames(), (std::vector<std::string>{"mbout", "mbin"}));
}

class Monitoring : public Transfer
{
protected:
    // Runs the event loop until the monitor timer has ticked at least once more.
    void waitTick() { QTest::qWait(650); }
    // Start, and the event loop until its output pulse is over and the interrupt armed.
    void start()
    {
        form->OnStartButton();
        ASSERT_TRUE(QTest::qWaitFor([this] { return form->isMonitoring(); }, 3000));
    }
    int trigLines() const { return int(logLines().count(QStringLiteral("Trig INT"))); }
};

TEST_F(Monitoring, StartPulsesTheOutputThenArmsAndStopDisarms)
{
    auto *start = control<QPushButton>(res::IDC_START_BUTTON);
    EXPECT_FALSE(start->isEnabled()) << "Start stays disabled in the product";
    EXPECT_EQ(start->toolTip(),
              "Start DOVRAX with --interrupts, or set Settings/Interrupt Monitoring");
    form->setInterruptMonitoring(true);
    form->onInitialUpdate();
    EXPECT_TRUE(start->isEnabled());
    EXPECT_TRUE(start->toolTip().isEmpty());
    fake::clearCalls();
    form->OnStartButton();
    // The window's thread runs on during the pulse; nothing else reaches the adapter meanwhile.
    EXPECT_EQ(start->text(), "Stop");
    EXPECT_EQ(fake::callNames(), std::vector<std::string>{"mbout"});
    for (int id : {res::IDC_START_BUTTON, res::IDC_INPUT_BUTTON, res::IDC_OUTPUT_BUTTON})
        EXPECT_FALSE(control(id)->isEnabled()) << id;
    form->TransferData(false);
    EXPECT_EQ(form->messageList()->line(form->messageList()->selectedRow()),
              "Input Data : failed (adapter busy)");
    ASSERT_TRUE(QTest::qWaitFor([this] { return form->isMonitoring(); }, 3000));
    for (int id : {res::IDC_START_BUTTON, res::IDC_INPUT_BUTTON, res::IDC_OUTPUT_BUTTON})
        EXPECT_TRUE(control(id)->isEnabled()) << id;
    std::vector<fake::Call> calls = fake::calls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0].name, "mbout");
    EXPECT_EQ(calls[0].arg1, 0u);
    EXPECT_EQ(calls[1].name, "mbout");
    EXPECT_EQ(calls[1].arg1, 1u);
    const auto pause = calls[1].when - calls[0].when;
    EXPECT_GE(pause, std::chrono::milliseconds(1000));
    EXPECT_EQ(calls[2].name, "set_extension");
    EXPECT_EQ(reinterpret_cast<InterruptRecord *>(calls[2].arg1), g_interruptRecord.load());
    EXPECT_EQ(calls[3].name, "connect");
    EXPECT_EQ(calls[3].arg1, reinterpret_cast<std::uintptr_t>(&InterruptCallback));
    for (const fake::Call &call : calls)
        EXPECT_EQ(call.handle, form->adapterHandle());

    fake::clearCalls();
    const int lines = form->messageList()->count();
    form->OnStartButton();
    calls = fake::calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].name, "intcout");
    EXPECT_EQ(calls[0].arg1, 0xB0u);
    EXPECT_EQ(calls[1].name, "set_extension") << "the library lets go of the record";
    EXPECT_EQ(calls[1].arg1, 0u);
    EXPECT_EQ(start->text(), "Start");
    EXPECT_FALSE(form->isMonitoring());
    EXPECT_EQ(g_interruptRecord.load(), nullptr);
    EXPECT_EQ(form->messageList()->count(), lines) << "Start and Stop log nothing";
}

TEST_F(Monitoring, FailedStartUndoesWhatItDidAndSaysWhy)
{
    struct Case
    {
        const char *step;
        int nth;
        std::int32_t result;
        std::vector<std::string> calls;
        const char *line;
    };
    const Case cases[] = {
        {"mbout", 1, MULVO_E_ABSENT, {"mbout"}, "Start failed (adapter not present)"},
        {"mbout", 2, MULVO_E_ABSENT, {"mbout", "mbout"}, "Start failed (adapter not present)"},
        {"set_extension",
         1,
         MULVO_E_HANDLE,
         {"mbout", "mbout", "set_extension", "set_extension"},
         "Start failed (no adapter handle)"},
        {"connect",
         1,
         MULVO_E_SYSTEM,
         {"mbout", "mbout", "set_extension", "connect", "intcout", "set_extension"},
         "Start failed (adapter not reachable)"},
    };
    auto *button = control<QPushButton>(res::IDC_START_BUTTON);
    button->setEnabled(true);
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.step) + " #" + std::to_string(c.nth));
        fake::clearCalls();
        fake::state().failName = c.step;
        fake::state().failNth = c.nth;
        fake::state().failResult = c.result;
        const int lines = form->messageList()->count();
        form->OnStartButton();
        ASSERT_TRUE(QTest::qWaitFor([&] { return form->messageList()->count() > lines; }, 3000));
        EXPECT_EQ(logLines().mid(lines), QStringList{QString::fromLatin1(c.line)});
        EXPECT_EQ(fake::callNames(), c.calls);
        EXPECT_EQ(button->text(), "Start");
        for (int id : {res::IDC_START_BUTTON, res::IDC_INPUT_BUTTON, res::IDC_OUTPUT_BUTTON})
            EXPECT_TRUE(control(id)->isEnabled()) << id;
        EXPECT_FALSE(form->isMonitoring());
        EXPECT_FALSE(link->isStarting());
        EXPECT_EQ(g_interruptRecord.load(), nullptr);
        EXPECT_EQ(fake::api().get_extension(form->adapterHandle()), nullptr);
        EXPECT_FALSE(fake::raiseInterrupt(1)) << "nothing left armed";
    }
    // Once the adapter answers again, Start works and logs nothing.
    const int lines = form->messageList()->count();
    start();
    EXPECT_EQ(button->text(), "Stop");
    EXPECT_EQ(form->messageList()->count(), lines);
    form->OnStartButton();
}

TEST_F(Monitoring, InterruptsWithinOnePeriodGiveOneLine)
{
    start();
    QSignalSpy counts(link.get(), &AdapterLink::interruptCount);
    waitTick();
    EXPECT_EQ(trigLines(), 0) << "no interrupt, no line";
    fake::clearCalls();
    std::thread raiser([] {
        for (int i = 0; i < 3; ++i)
            fake::raiseInterrupt(100 + i);
    });
    raiser.join();
    InterruptRecord *record = g_interruptRecord.load();
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->count.load(), 3u);
    EXPECT_EQ(record->value.load(), 102u);
    // Each callback answers the adapter: 0x00, acknowledge, 0x01.
    const std::vector<std::string> names = fake::callNames();
    ASSERT_EQ(names.size(), 12u);
    EXPECT_EQ(std::vector<std::string>(names.begin(), names.begin() + 4),
              (std::vector<std::string>{"get_extension", "mbout", "out2", "mbout"}));
    waitTick();
    EXPECT_EQ(trigLines(), 1);
    EXPECT_EQ(form->messageList()->line(form->messageList()->selectedRow()), "Trig INT");
    EXPECT_EQ(counts.first().value(0), 0u);
    EXPECT_EQ(counts.last().value(0), 3u);
    waitTick();
    EXPECT_EQ(trigLines(), 1) << "the mark is cleared after its line";
    form->OnStartButton();
}

TEST_F(Monitoring, InterruptThenStopBeforeTheTickGivesNoLine)
{
    start();
    fake::raiseInterrupt(1);
    form->OnStartButton();
    waitTick();
    EXPECT_EQ(trigLines(), 0);
}

TEST_F(Monitoring, RestartBeginsAtCountZero)
{
    start();
    fake::raiseInterrupt(1);
    fake::raiseInterrupt(2);
    EXPECT_EQ(g_interruptRecord.load()->count.load(), 2u);
    form->OnStartButton();
    start();
    EXPECT_EQ(control<QPushButton>(res::IDC_START_BUTTON)->text(), "Stop");
    EXPECT_EQ(g_interruptRecord.load()->count.load(), 0u);
    form->OnStartButton();
    EXPECT_EQ(control<QPushButton>(res::IDC_START_BUTTON)->text(), "Start");
}

TEST_F(Monitoring, CallbackWithoutRecordDoesNothing)
{
    start();
    const std::uint32_t handle = form->adapterHandle();
    fake::api().set_extension(handle, nullptr);
    fake::clearCalls();
    InterruptCallback(handle, 7);
    EXPECT_EQ(fake::callNames(), std::vector<std::string>{"get_extension"});
    fake::api().set_extension(handle, g_interruptRecord.load());
    form->OnStartButton();
}

TEST_F(Monitoring, RenewalStopsFirstAndDisarmsTheArmedHandle)
{
    start();
    const std::uint32_t armed = form->adapterHandle();
    fake::clearCalls();
    form->onInitialUpdate();
    const std::vector<fake::Call> calls = fake::calls();
    ASSERT_GE(calls.size(), 4u);
    EXPECT_EQ(calls[0].name, "intcout");
    EXPECT_EQ(calls[0].handle, armed);
    EXPECT_EQ(calls[1].name, "set_extension");
    EXPECT_EQ(calls[2].name, "close");
    EXPECT_EQ(calls[2].handle, armed);
    EXPECT_EQ(calls[3].name, "open");
    EXPECT_FALSE(form->isMonitoring());
    EXPECT_EQ(g_interruptRecord.load(), nullptr);
    EXPECT_EQ(control<QPushButton>(res::IDC_START_BUTTON)->text(), "Start");
}

TEST_F(Monitoring, RenewalDuringThePulseWaitsForIt)
{
    form->OnStartButton();
    form->onInitialUpdate();
    EXPECT_EQ(fake::callNames(), std::vector<std::string>{"mbout"});
    ASSERT_TRUE(QTest::qWaitFor([] { return fake::calls().size() >= 8; }, 3000));
    EXPECT_EQ(fake::callNames(),
              (std::vector<std::string>{"mbout", "mbout", "set_extension", "connect", "intcout",
                                        "set_extension", "close", "open"}));
    EXPECT_FALSE(form->isMonitoring());
    EXPECT_EQ(control<QPushButton>(res::IDC_START_BUTTON)->text(), "Start");
}

TEST_F(Monitoring, DestructionWhileMonitoringDisarmsClosesThenReleasesTheRecord)
{
    start();
    const std::uint32_t handle = form->adapterHandle();
    fake::clearCalls();
    form.reset();
    // A library whose close does not wait for running callbacks must not reach the record.
    EXPECT_EQ(fake::callNames(), (std::vector<std::string>{"intcout", "set_extension", "close"}));
    const std::vector<fake::Call> calls = fake::calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[2].handle, handle);
    EXPECT_EQ(g_interruptRecord.load(), nullptr);
    EXPECT_FALSE(fake::raiseInterrupt(1)) << "nothing armed after close";
}

TEST_F(Monitoring, OtherTimersGoOnToTheBaseClass)
{
    start();
    fake::raiseInterrupt(1);
    // A timer of another id must neither log nor clear the mark.
    QTimerEvent other(987654);
    QCoreApplication::sendEvent(form.get(), &other);
    EXPECT_EQ(trigLines(), 0);
    EXPECT_EQ(g_interruptRecord.load()->triggered.load(), 1);
    waitTick();
    EXPECT_EQ(trigLines(), 1);
    form->OnStartButton();
}

} // namespace
