// The control form: the one window in which the operator works with the adapter.
#pragma once

#include "butstyle.h"
#include "dialogtemplate.h"
#include "doctemplate.h"
#include "hostwindows.h"
#include "mulvoloader.h"

#include <QBasicTimer>
#include <QEvent>
#include <QString>
#include <QWidget>

#include <atomic>
#include <cstdint>
#include <memory>

class CCButton;
class CCPGroup;
class QComboBox;
class QLabel;
class QPushButton;

namespace platform {
class MessageList;
class SortedComboBox;
} // namespace platform

// What the form hands the adapter library while the interrupt is armed. The library keeps its
// address with the handle; the callback updates it and the form's timer reads it.
struct InterruptRecord
{
    std::atomic<std::uint32_t> count{0};    // callbacks since Start
    std::atomic<std::uint32_t> value{0};    // second argument of the latest callback
    std::atomic<std::uint8_t> triggered{0}; // 1: an interrupt not yet shown in the log
};

// The record of the running monitoring, or null.
extern std::atomic<InterruptRecord *> g_interruptRecord;

// Called by the adapter library on its own thread for each interrupt. It answers the adapter
// and marks the record: no allocation, no lock, no window.
extern "C" void InterruptCallback(std::uint32_t handle, std::uint32_t value);

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
    // `adapter` is the table of the loaded adapter library, or null when it could not be loaded,
    // in which case `loadError` says why. The table must outlive the form.
    explicit CDovraxDlg(const mulvo::Api *adapter, const QString &loadError = QString(),
                        QWidget *parent = nullptr);
    ~CDovraxDlg() override;

    // Replaces how other programs' windows are found and driven (tests use a recorder).
    void setHostWindows(std::unique_ptr<platform::HostWindows> hostWindows);

    // The first-show sequence; it runs again at every renewal of the document.
    void onInitialUpdate() override;

    // Appends `text` to the message log, selects it and scrolls to it; with `separator` a line
    // of 70 hyphens follows.
    void LogMessage(bool separator, const QString &text);

    // Reads the host application's title from setup.ini in the current directory: 0 when
    // appName was set, 1 when it was not.
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

    std::uint32_t adapterHandle() const { return adapterHandle_; }
    bool isMonitoring() const { return monitoring_ != 0; }
    const QString &appName() const { return appName_; }
    platform::MessageList *messageList() const { return messageList_; }
    CButtonStyle &indicatorStyle() { return indicatorStyle_; }

    static const QString &separatorLine();

protected:
    bool event(QEvent *event) override;
    void timerEvent(QTimerEvent *event) override;

private:
    QWidget *createControl(const platform::ControlTemplate &control, QWidget *parent);
    void bindControls();
    void connectMessageTable();
    void ApplyIndicatorStyle();
    void applyGroupColors();
    void showIndicators(std::uint32_t value);
    void startMonitoring();
    void stopMonitoring();
    void releaseAdapter();
    void sendKeyStroke(platform::HostWindow window, bool ctrlP);

    const mulvo::Api *adapter_;
    QString loadError_;
    std::unique_ptr<platform::HostWindows> hostWindows_;
    bool bound_ = false;

    // Shared by the eight indicators, which only refer to it: declared before them.
    CButtonStyle indicatorStyle_;
    std::uint32_t adapterHandle_ = 0;
    std::uint8_t monitoring_ = 0;
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

    // Monitoring: the timer standing for timer id 0, and the handle the interrupt was armed on.
    QBasicTimer monitorTimer_;
    std::uint32_t armedHandle_ = 0;
};
