#include "dovraxdlg.h"

#include "adapterlink.h"
#include "cbutton.h"
#include "cgroup.h"
#include "fonts.h"
#include "messagebox.h"
#include "messagelist.h"
#include "outputvalue.h"
#include "profile.h"
#include "res/ids.h"
#include "res/resources.h"
#include "sortedcombobox.h"

#include <QCoreApplication>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QStandardPaths>
#include <QStatusTipEvent>

#include <algorithm>
#include <utility>

namespace {

// setup.ini holds at most this many characters, the terminating one included.
constexpr int kAppNameSize = 80;

} // namespace

QEvent::Type FormMessageEvent::eventType()
{
    static const QEvent::Type type = QEvent::Type(QEvent::registerEventType(QEvent::User + 0x0658));
    return type;
}

const QString &CDovraxDlg::separatorLine()
{
    static const QString line(70, QLatin1Char('-'));
    return line;
}

CDovraxDlg::CDovraxDlg(AdapterLink &link, QWidget *parent,
                       std::shared_ptr<platform::HostWindows> hostWindows)
    : QWidget(parent), link_(link),
      hostWindows_(hostWindows ? std::move(hostWindows) : platform::createHostWindows())
{
    // The form draws its own background; no border, as a child form without a frame.
    setAutoFillBackground(true);
    setFont(platform::dialogFont());
    platform::buildDialog(this, res::formTemplate(),
                          [this](const dialogdata::ControlTemplate &control, QWidget *parent) {
                              return createControl(control, parent);
                          });
    for (const char *item : res::deviceComboItems())
        static_cast<platform::SortedComboBox *>(platform::controlById(this, res::IDC_DEVICE_COMBO))
            ->addSortedItem(QString::fromLatin1(item));
    for (const char *item : res::outputComboItems())
        static_cast<platform::SortedComboBox *>(platform::controlById(this, res::IDC_OUTPUT_COMBO))
            ->addSortedItem(QString::fromLatin1(item));
    connect(&link_, &AdapterLink::monitoringStarted, this, &CDovraxDlg::onMonitoringStarted);
    connect(&link_, &AdapterLink::startFailed, this, &CDovraxDlg::onStartFailed);
    connect(&link_, &AdapterLink::interruptTriggered, this,
            [this] { LogMessage(false, QStringLiteral("Trig INT")); });
    connect(&link_, &AdapterLink::interruptCount, this, &CDovraxDlg::showInterruptCount);
    connect(&link_, &AdapterLink::monitoringStopped, this,
            [this](quint32 count) { showStatus(QStringLiteral("INT %1").arg(count)); });
}

CDovraxDlg::~CDovraxDlg()
{
    OnFormDestroy();
    // The indicators refer to the style, a member that goes before the base class deletes the
    // children: they go first.
    for (CCButton *indicator : indicators())
        delete indicator;
}

std::uint32_t CDovraxDlg::adapterHandle() const
{
    return link_.handle();
}

bool CDovraxDlg::isMonitoring() const
{
    return link_.isMonitoring();
}

void CDovraxDlg::setHostWindows(std::unique_ptr<platform::HostWindows> hostWindows)
{
    hostWindows_ = std::move(hostWindows);
}

QWidget *CDovraxDlg::createControl(const dialogdata::ControlTemplate &control, QWidget *parent)
{
    const QString caption = QString::fromUtf8(control.caption ? control.caption : "");
    if (control.id >= res::IDC_BIT0 && control.id <= res::IDC_BIT7) {
        auto *button = new CCButton(parent);
        button->setText(caption);
        button->setShowsBit(true);
        button->setAccessibleName(QStringLiteral("Bit %1").arg(control.id - res::IDC_BIT0));
        return button;
    }
    if (control.id >= res::IDC_IO_GROUP && control.id <= res::IDC_OUTPUT_GROUP) {
        auto *group = new CCPGroup(parent);
        group->setTitle(caption);
        return group;
    }
    return nullptr;
}

void CDovraxDlg::bindControls()
{
    if (bound_)
        return;
    bound_ = true;
    auto find = [this](int id) { return platform::controlById(this, id); };
    indicatorBit7_ = static_cast<CCButton *>(find(1007));
    indicatorBit6_ = static_cast<CCButton *>(find(1006));
    indicatorBit5_ = static_cast<CCButton *>(find(1005));
    indicatorBit4_ = static_cast<CCButton *>(find(1004));
    indicatorBit3_ = static_cast<CCButton *>(find(1003));
    indicatorBit2_ = static_cast<CCButton *>(find(1002));
    indicatorBit1_ = static_cast<CCButton *>(find(1001));
    indicatorBit0_ = static_cast<CCButton *>(find(1000));
    inputDisplay_ = static_cast<QLabel *>(find(res::IDC_INPUT_DISPLAY));
    outputCombo_ = static_cast<platform::SortedComboBox *>(find(res::IDC_OUTPUT_COMBO));
    messageList_ = static_cast<platform::MessageList *>(find(res::IDC_MESSAGE_LIST));
    deviceCombo_ = static_cast<platform::SortedComboBox *>(find(res::IDC_DEVICE_COMBO));
    outputButton_ = static_cast<QPushButton *>(find(res::IDC_OUTPUT_BUTTON));
    inputButton_ = static_cast<QPushButton *>(find(res::IDC_INPUT_BUTTON));
    ioGroup_ = static_cast<CCPGroup *>(find(res::IDC_IO_GROUP));
    messageGroup_ = static_cast<CCPGroup *>(find(res::IDC_MESSAGE_GROUP));
    deviceGroup_ = static_cast<CCPGroup *>(find(res::IDC_DEVICE_GROUP));
    inputGroup_ = static_cast<CCPGroup *>(find(res::IDC_INPUT_GROUP));
    outputGroup_ = static_cast<CCPGroup *>(find(res::IDC_OUTPUT_GROUP));
    startButton_ = static_cast<QPushButton *>(find(res::IDC_START_BUTTON));
    connectMessageTable();
}

void CDovraxDlg::connectMessageTable()
{
    auto clicked = [this](int id, void (CDovraxDlg::*handler)()) {
        auto *button = static_cast<QPushButton *>(platform::controlById(this, id));
        connect(button, &QPushButton::clicked, this, handler);
    };
    clicked(res::IDC_INPUT_BUTTON, &CDovraxDlg::OnInputButton);
    clicked(res::IDC_OUTPUT_BUTTON, &CDovraxDlg::OnOutputButton);
    connect(messageList_, &platform::MessageList::listDoubleClicked, this,
            &CDovraxDlg::OnMessageListDoubleClick);
    // The log's context menu offers Clear as well: the same handler.
    connect(messageList_, &platform::MessageList::clearRequested, this,
            &CDovraxDlg::OnMessageListDoubleClick);
    clicked(res::IDC_NOTEPAD_BUTTON, &CDovraxDlg::OnNotepadButton);
    clicked(res::IDC_RIP_PRINT_BUTTON, &CDovraxDlg::OnRipPrintButton);
    clicked(res::IDC_MOVE_BUTTON, &CDovraxDlg::OnMoveButton);
    clicked(res::IDC_START_BUTTON, &CDovraxDlg::OnStartButton);
    clicked(res::IDC_PRINT_SYSTEM_BUTTON, &CDovraxDlg::OnPrintSystemButton);
}

void CDovraxDlg::onInitialUpdate()
{
    // A renewal waits for Start's output pulse to end: nothing may reach the adapter between
    // its two writes.
    if (link_.isStarting()) {
        renewAfterPulse_ = true;
        return;
    }

    // 1. Bind the controls (once).
    bindControls();

    // A renewal while the interrupt is armed disarms it first; opening the adapter again closes
    // the handle opened earlier.
    if (link_.isMonitoring())
        stopMonitoring();

    // 2. The frame fits itself to the form when it is activated.
    if (QWidget *frame = window(); frame && frame != this)
        frame->adjustSize();

    // 3. The indicators' shared style.
    ApplyIndicatorStyle();

    // 4. Adapter 0, whatever the device list shows.
    const bool found = link_.open();

    // 5. A renewal that finds the adapter makes the controls usable again.
    if (!found) {
        const QString text = QStringLiteral("No DOV-RAX Adapter found on the system ! ");
        platform::messageBox(this, text, QStringLiteral("Confirm DOV-RAX Exist"),
                             platform::MessageIcon::Stop);
        if (!link_.isLoaded())
            LogMessage(false, QStringLiteral("Adapter library: ") + link_.loadError());
        LogMessage(false, text);
        if (const QString problem = link_.openProblem(); !problem.isEmpty())
            LogMessage(false, problem);
    } else {
        LogMessage(false, QStringLiteral("DOV-RAX adapter found on the system."));
    }
    outputButton_->setEnabled(found);
    inputButton_->setEnabled(found);
    deviceCombo_->setEnabled(found);
    startButton_->setEnabled(interruptMonitoring_ && found);
    // Says why Start is greyed; with monitoring on it has nothing to say.
    startButton_->setToolTip(
        interruptMonitoring_
            ? QString()
            : QStringLiteral(
                  "Start DOVRAX with --interrupts, or set Settings/Interrupt Monitoring"));

    // 6. The banner goes in directly: no selection change, no scrolling, no separator.
    messageList_->appendLine(QStringLiteral("Velmora Technologies CO. LTD."));

    // 7. "0x55" and "0" in the sorted lists.
    outputCombo_->setCurrentIndex(1);
    deviceCombo_->setCurrentIndex(0);

    // 8. The log has the keyboard focus.
    messageList_->setFocus();

    // 9. The host application's title from setup.ini.
    if (ReadSetupIni() != 0)
        platform::messageBox(this, QStringLiteral("Failed to open setup.ini file ! "),
                             QStringLiteral("Confirm Setup.ini Setting"),
                             platform::MessageIcon::Exclamation);

    // 10. The group frames' colours.
    applyGroupColors();
}

void CDovraxDlg::ApplyIndicatorStyle()
{
    ButtonStyleParams params;
    indicatorStyle_.GetButtonStyle(&params);
    params.RingColors[0] = makeColorRef(255, 255, 255);
    params.FaceColors[0] = makeColorRef(0, 206, 52);
    params.RingColors[2] = makeColorRef(255, 255, 255);
    params.FaceColors[2] = makeColorRef(164, 164, 164);
    indicatorStyle_.SetButtonStyle(&params);
    for (CCButton *indicator : indicators())
        indicator->SetRoundButtonStyle(&indicatorStyle_);
}

void CDovraxDlg::applyGroupColors()
{
    for (CCPGroup *group : {ioGroup_, messageGroup_, deviceGroup_, inputGroup_, outputGroup_}) {
        group->SetBorderColor(makeColorRef(84, 146, 219));
        group->SetTitleColor(makeColorRef(16, 140, 231));
    }
}

void CDovraxDlg::LogMessage(bool separator, const QString &text)
{
    messageList_->appendAndSelect(text);
    if (separator)
        messageList_->appendLine(separatorLine());
}

int CDovraxDlg::ReadSetupIni()
{
    // Looked up at each call: in the current directory first, then in the user's configuration
    // folder, where a program started from the desktop menu (in the home folder) finds it.
    const QString folders[] = {
        QDir::currentPath(),
        QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
            QStringLiteral("/dovrax"),
    };
    for (const QString &folder : folders) {
        const QString value = platform::readProfileString(
            folder + QStringLiteral("/setup.ini"), QStringLiteral("OPEN_APP"),
            QStringLiteral("NAME"), QString(), kAppNameSize);
        if (!value.isEmpty()) {
            appName_ = value;
            return 0;
        }
    }
    return 1;
}

void CDovraxDlg::OnMessageListDoubleClick()
{
    messageList_->clear();
}

void CDovraxDlg::OnFormDestroy()
{
    // Disarms a running monitoring before the handle is closed.
    link_.close();
}

// ---- data input and output -------------------------------------------------------------

void CDovraxDlg::OnInputButton()
{
    TransferData(false);
}

void CDovraxDlg::OnOutputButton()
{
    TransferData(true);
}

int CDovraxDlg::TransferData(bool output)
{
    std::uint32_t value = 0;
    QString text;
    if (output) {
        text = outputCombo_->currentText();
        if (text.isEmpty())
            return 1;
        const std::optional<std::uint8_t> parsed = parseOutputValue(text);
        if (!parsed) {
            // Writing 0 for a text that names no value would put a byte on the lines that the
            // operator never asked for.
            LogMessage(true,
                       QStringLiteral("Output Data : [ %1 ] is not a hexadecimal value").arg(text));
            return 1;
        }
        value = *parsed;
        text = QStringLiteral("Output Data : [ 0x%1 ]").arg(value, 0, 16);
        // A failed write leaves the indicators showing what the adapter last took.
        if (const std::int32_t result = link_.write(std::uint8_t(value)); result < 0) {
            LogMessage(true,
                       text +
                           QStringLiteral(" failed (%1)").arg(AdapterLink::failureReason(result)));
            return 0;
        }
        LogMessage(true, text);
    } else {
        std::uint8_t input = 0;
        if (const std::int32_t result = link_.read(input); result < 0) {
            LogMessage(
                true,
                QStringLiteral("Input Data : failed (%1)").arg(AdapterLink::failureReason(result)));
            return 0;
        }
        value = input;
        LogMessage(true, QStringLiteral("Input Data : [ 0x%1 ]").arg(value, 0, 16));
        inputDisplay_->setText(QStringLiteral("0x%1").arg(value, 0, 16));
    }
    showIndicators(value);
    return 0;
}

void CDovraxDlg::showIndicators(std::uint32_t value)
{
    const std::array<CCButton *, 8> bits = indicators();
    for (int n = 7; n >= 0; --n)
        bits[n]->setEnabled((value & (1u << n)) == 0);
}

// ---- interrupt monitoring --------------------------------------------------------------

void CDovraxDlg::OnStartButton()
{
    if (link_.isStarting())
        return;
    if (!link_.isMonitoring())
        startMonitoring();
    else
        stopMonitoring();
}

void CDovraxDlg::startMonitoring()
{
    startButton_->setText(QStringLiteral("Stop"));
    // The output pulses for a second while the window keeps running: the buttons that would
    // reach the adapter wait, disabled, until the interrupt is armed.
    for (QPushButton *button : {startButton_, inputButton_, outputButton_}) {
        heldForPulse_.emplace_back(button, button->isEnabled());
        button->setEnabled(false);
    }
    link_.startMonitoring();
}

void CDovraxDlg::onMonitoringStarted()
{
    monitorClock_.start();
    recentCounts_.fill(CountSample{});
    showInterruptCount(0);
    endPulse();
}

void CDovraxDlg::onStartFailed(const QString &reasons)
{
    startButton_->setText(QStringLiteral("Start"));
    LogMessage(false, QStringLiteral("Start failed (%1)").arg(reasons));
    endPulse();
}

void CDovraxDlg::endPulse()
{
    for (const auto &[button, enabled] : heldForPulse_)
        button->setEnabled(enabled);
    heldForPulse_.clear();
    if (std::exchange(renewAfterPulse_, false))
        onInitialUpdate();
}

void CDovraxDlg::showInterruptCount(quint32 count)
{
    // Ticks come every half second: the sample two ticks back is a second old (at the first
    // tick, Start itself).
    const qint64 now = monitorClock_.elapsed();
    const CountSample &base = recentCounts_[0];
    const qint64 span = std::max<qint64>(1, now - base.ms);
    const qint64 rate = now == 0 ? 0 : qint64(count - base.count) * 1000 / span;
    showStatus(QStringLiteral("INT %1, %2/s").arg(count).arg(rate));
    recentCounts_ = {recentCounts_[1], CountSample{now, count}};
}

void CDovraxDlg::stopMonitoring()
{
    startButton_->setText(QStringLiteral("Start"));
    link_.stopMonitoring();
}

bool CDovraxDlg::event(QEvent *event)
{
    if (event->type() == FormMessageEvent::eventType()) {
        static_cast<FormMessageEvent *>(event)->result = 1;
        return true;
    }
    return QWidget::event(event);
}

// ---- host application automation -------------------------------------------------------

void CDovraxDlg::sendKeyStroke(platform::HostWindow window, bool ctrlP)
{
    using platform::VirtualKey;
    hostWindows_->showNormal(window);
    hostWindows_->activate(window);
    if (ctrlP) {
        // Ctrl is released before P.
        hostWindows_->keyDown(VirtualKey::Control);
        hostWindows_->keyDown(VirtualKey::P);
        hostWindows_->keyUp(VirtualKey::Control);
        hostWindows_->keyUp(VirtualKey::P);
    } else {
        hostWindows_->keyDown(VirtualKey::F5);
        hostWindows_->keyUp(VirtualKey::F5);
    }
}

void CDovraxDlg::OnNotepadButton()
{
    const QString notepadClass = QStringLiteral("Notepad");
    if (platform::HostWindow notepad = hostWindows_->findByClass(notepadClass)) {
        if (platform::HostWindow edit =
                hostWindows_->findChildByClass(notepad, QStringLiteral("Edit"))) {
            for (char16_t c : {u'H', u'E', u'L', u'L', u'O'})
                hostWindows_->postChar(edit, c);
        }
    }
    LogMessage(false, QStringLiteral("Command : CTRL + P"));
    if (platform::HostWindow notepad = hostWindows_->findByClass(notepadClass))
        sendKeyStroke(notepad, true);
    else
        LogMessage(false, QStringLiteral("Status : Failed to open Notepad"));
}

platform::HostWindow CDovraxDlg::findHostWindow()
{
    const platform::HostWindow host = hostWindows_->findByTitle(appName_);
    // The log keeps only the command line, so the status bar says that nothing happened.
    showStatus(host ? QString() : QStringLiteral("Window \"%1\" not found").arg(appName_));
    return host;
}

void CDovraxDlg::showStatus(const QString &text)
{
    // A status tip goes up to whichever window holds the status bar; it stays until the next
    // menu prompt. An empty text brings back the idle message.
    QStatusTipEvent tip(text);
    QCoreApplication::sendEvent(this, &tip);
}

void CDovraxDlg::OnRipPrintButton()
{
    if (appName_.isEmpty()) {
        LogMessage(false, QStringLiteral("APP_Name : Empty"));
        return;
    }
    LogMessage(false, QStringLiteral("Command : (RIP) CTRL + P"));
    if (platform::HostWindow host = findHostWindow())
        sendKeyStroke(host, true);
}

void CDovraxDlg::OnPrintSystemButton()
{
    if (appName_.isEmpty()) {
        LogMessage(false, QStringLiteral("APP_Name : Empty"));
        return;
    }
    LogMessage(false, QStringLiteral("Command : (Print_System) F5"));
    if (platform::HostWindow host = findHostWindow())
        sendKeyStroke(host, false);
}

void CDovraxDlg::OnMoveButton()
{
    if (appName_.isEmpty()) {
        LogMessage(false, QStringLiteral("APP_Name : Empty"));
        return;
    }
    LogMessage(false, QStringLiteral("Command : Move Window"));
    const platform::HostWindow host = findHostWindow();
    if (!host)
        return;
    // Read before the window comes to the front: an iconic window's rectangle is where it will
    // be restored to, not a moment of the window manager's restoring.
    const std::optional<QRect> rect = hostWindows_->frameGeometry(host);
    if (!rect)
        return;
    hostWindows_->activate(host);
    hostWindows_->moveTo(host, rect->topLeft() + QPoint(50, 0));
}
