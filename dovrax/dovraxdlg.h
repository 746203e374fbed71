// The control form: the one window in which the operator works with the adapter.
#pragma once

#include "butstyle.h"
#include "dialogtemplate.h"
#include "doctemplate.h"
#include "hostwindows.h"

#include <QElapsedTimer>
#include <QEvent>
#include <QString>
#include <QWidget>

#include <array>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

class AdapterLink;
class CCButton;
class CCPGroup;
class QComboBox;
class QLabel;
class QPushButton;

namespace platform {
class MessageList;
class SortedComboBox;
} // namespace platform

// The window message 0x0658 sent to the form; the form answers it with 1.
class FormMessageEvent : public QEvent
{
public:
    static QEvent::Type eventType();
    FormMessageEvent() : QEvent(eventType()) {}
    qintptr result = 0;
};

class CDovraxDlg : public QWidget, public platform::View
{
    Q_OBJECT
public:
    // `link` reaches the adapter; it must outlive the form.
    // Other programs' windows are found and driven through `hostWindows`, which the form may
    // share with its owner; without one the form opens its own.
    explicit CDovraxDlg(AdapterLink &link, QWidget *parent = nullptr,
                        std::shared_ptr<platform::HostWindows> hostWindows = nullptr);
    ~CDovraxDlg() override;

    // Replaces how other programs' windows are found and driven (tests use a recorder).
    void setHostWindows(std::unique_ptr<platform::HostWindows> hostWindows);

    // The first-show sequence; it runs again at every renewal of the document.
    void onInitialUpdate() override;

    // Appends `text` to the message log, selects it and scrolls to it; with `separator` a line
    // of 70 hyphens follows.
    void LogMessage(bool separator, const QString &text);

    // Reads the host application's title from setup.ini in the current directory, else from
    // $XDG_CONFIG_HOME/dovrax/ (~/.config/dovrax/): 0 when appName was set, 1 when it was not.
    int ReadSetupIni();

    // Data transfer: 1 when an output found nothing to write, otherwise 0.
    int TransferData(bool output);

    // Message handlers, in the order of the form's message table.
    void OnInputButton();
    void OnOutputButton();
    void OnMessageListDoubleClick();
    void OnFormDestroy();
    void OnNotepadButton();
    void OnRipPrintButton();
    void OnMoveButton();
    void OnStartButton();
    void OnPrintSystemButton();

    AdapterLink &link() const { return link_; }
    std::uint32_t adapterHandle() const;
    bool isMonitoring() const;

    // With `allowed`, Start is enabled whenever an adapter is open, so that the operator can
    // watch the interrupt; without it Start stays disabled, as the form's layout creates it.
    // Takes effect at the next first show.
    void setInterruptMonitoring(bool allowed) { interruptMonitoring_ = allowed; }

    const QString &appName() const { return appName_; }
    platform::MessageList *messageList() const { return messageList_; }
    CButtonStyle &indicatorStyle() { return indicatorStyle_; }

    static const QString &separatorLine();

protected:
    bool event(QEvent *event) override;

private:
    QWidget *createControl(const dialogdata::ControlTemplate &control, QWidget *parent);
    void bindControls();
    void connectMessageTable();
    void ApplyIndicatorStyle();
    void applyGroupColors();
    void showIndicators(std::uint32_t value);
    // The indicators by bit, bit 0 first; null before the controls are bound.
    std::array<CCButton *, 8> indicators() const
    {
        return {indicatorBit0_, indicatorBit1_, indicatorBit2_, indicatorBit3_,
                indicatorBit4_, indicatorBit5_, indicatorBit6_, indicatorBit7_};
    }
    void startMonitoring();
    void onMonitoringStarted();
    void onStartFailed(const QString &reasons);
    // Gives the buttons held during Start's output pulse their states back, and runs a renewal
    // that waited for the pulse.
    void endPulse();
    void showInterruptCount(quint32 count);
    void showStatus(const QString &text);
    void stopMonitoring();
    void sendKeyStroke(platform::HostWindow window, bool ctrlP);
    // The host window named in setup.ini; when there is none, the status bar says so.
    platform::HostWindow findHostWindow();

    AdapterLink &link_;
    std::shared_ptr<platform::HostWindows> hostWindows_;
    bool bound_ = false;

    // Shared by the eight indicators, which only refer to it: declared before them, and the
    // destructor removes them before it goes.
    CButtonStyle indicatorStyle_;
    CCButton *indicatorBit7_ = nullptr;
    CCButton *indicatorBit6_ = nullptr;
    CCButton *indicatorBit5_ = nullptr;
    CCButton *indicatorBit4_ = nullptr;
    CCButton *indicatorBit3_ = nullptr;
    CCButton *indicatorBit2_ = nullptr;
    CCButton *indicatorBit1_ = nullptr;
    CCButton *indicatorBit0_ = nullptr;
    QLabel *inputDisplay_ = nullptr;
    platform::SortedComboBox *outputCombo_ = nullptr;
    platform::MessageList *messageList_ = nullptr;
    platform::SortedComboBox *deviceCombo_ = nullptr;
    QPushButton *outputButton_ = nullptr;
    QPushButton *inputButton_ = nullptr;
    CCPGroup *ioGroup_ = nullptr;
    CCPGroup *messageGroup_ = nullptr;
    CCPGroup *deviceGroup_ = nullptr;
    CCPGroup *inputGroup_ = nullptr;
    CCPGroup *outputGroup_ = nullptr;
    QString appName_;
    QPushButton *startButton_ = nullptr;

    // The buttons held disabled during Start's output pulse, with the state each gets back.
    std::vector<std::pair<QWidget *, bool>> heldForPulse_;
    // A renewal came during the pulse and runs once it is over.
    bool renewAfterPulse_ = false;

    bool interruptMonitoring_ = false;
    // The count at the two monitor ticks before the latest, for the rate over the last second.
    struct CountSample
    {
        qint64 ms = 0;
        quint32 count = 0;
    };
    QElapsedTimer monitorClock_;
    std::array<CountSample, 2> recentCounts_{};
};
