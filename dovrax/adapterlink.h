// The program's link to the adapter: the loaded access library, the adapter handle, interrupt
// monitoring with its record and callback. The form only asks and shows.
#pragma once

#include <QBasicTimer>
#include <QDeadlineTimer>
#include <QObject>
#include <QString>

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

namespace mulvo {
struct Api;
class Library;
} // namespace mulvo

// What the link hands the adapter library while the interrupt is armed. The library keeps its
// address with the handle; the callback updates it and the monitor tick reads it.
struct InterruptRecord
{
    std::atomic<std::uint32_t> count{0};    // callbacks since Start
    std::atomic<std::uint32_t> value{0};    // second argument of the latest callback
    std::atomic<std::uint8_t> triggered{0}; // 1: an interrupt not yet reported by a tick
};

// The record of the running monitoring, or null. One link monitors at a time.
extern std::atomic<InterruptRecord *> g_interruptRecord;

// Called by the adapter library on its own thread for each interrupt. It answers the adapter
// and marks the record: no allocation, no lock, no window.
extern "C" void InterruptCallback(std::uint32_t handle, std::uint32_t value);

// Lives on the window's thread and calls the library only from there (the callback aside).
// Calls that reach the adapter report the library's result: zero or positive is success, a
// negative MULVO_E_* value a failure.
class AdapterLink : public QObject
{
    Q_OBJECT
public:
    // Result of a transfer refused because Start's output pulse is under way.
    static constexpr std::int32_t kBusy = -1000;
    static constexpr int kMonitorPeriodMs = 500;
    static constexpr int kStartPulseMs = 1000;

    // `library` null: none could be loaded, and `loadError` says why.
    AdapterLink(std::unique_ptr<mulvo::Library> library, const QString &loadError,
                QObject *parent = nullptr);
    // A function table that is not a loaded file, such as a test's fake; it must outlive the
    // link. `libraryFile` names it.
    AdapterLink(const mulvo::Api &api, const QString &libraryFile, QObject *parent = nullptr);
    // Closes the adapter as close() does.
    ~AdapterLink() override;

    bool isLoaded() const { return api_ != nullptr; }
    // The file of the loaded library (empty when none), and why none could be loaded.
    const QString &libraryFile() const { return libraryFile_; }
    const QString &loadError() const { return loadError_; }
    // Why the adapter could not be opened, when the library's kind lets that be told from
    // outside; empty otherwise.
    QString openProblem() const;

    // Opens adapter 0, after closing the handle opened before (see close()). False when no
    // adapter was found or no library is loaded.
    bool open();
    // Abandons a Start pulse under way, disarms the interrupt if armed and closes the handle.
    void close();
    // The adapter handle; 0 when no adapter is open.
    std::uint32_t handle() const { return handle_; }

    // One input byte into `value` (left alone on failure), or one output byte.
    std::int32_t read(std::uint8_t &value);
    std::int32_t write(std::uint8_t value);
    // The operator's words for a failed result.
    static QString failureReason(std::int32_t result);

    // Start: output 0x00, and after kStartPulseMs output 0x01, hand over a new record and arm
    // the interrupt; monitoringStarted() follows. The window's thread keeps running meanwhile,
    // and transfers are refused with kBusy. When a step fails, what was done is undone
    // (disarmed, record taken back and released) and startFailed() follows instead, at once
    // when the first write fails. Nothing while starting or monitoring already.
    void startMonitoring();
    // Stop: disarms the interrupt, takes the record back from the library and releases it.
    // Nothing unless monitoring.
    void stopMonitoring();
    bool isStarting() const { return pulseTimer_.isActive(); }
    bool isMonitoring() const { return record_ != nullptr; }

Q_SIGNALS:
    // The Start pulse is over and the interrupt armed.
    void monitoringStarted();
    // Start did not arm the interrupt: the operator's words for each failed step, ", "
    // between them.
    void startFailed(const QString &reasons);
    // At a monitor tick: at least one interrupt came since the tick before.
    void interruptTriggered();
    // At every monitor tick: the interrupts counted since Start.
    void interruptCount(quint32 count);
    // Stop disarmed the interrupt: the interrupts counted from Start to Stop.
    void monitoringStopped(quint32 count);

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    void finishStart();
    void disarm();

    std::unique_ptr<mulvo::Library> library_;
    const mulvo::Api *api_ = nullptr;
    QString libraryFile_;
    QString loadError_;
    std::uint32_t handle_ = 0;
    QBasicTimer pulseTimer_;
    QDeadlineTimer pulseEnd_;
    QBasicTimer monitorTimer_;
    std::unique_ptr<InterruptRecord> record_;
    // Records of failed Starts that the library would not let go of; freed once the handle is
    // closed.
    std::vector<std::unique_ptr<InterruptRecord>> strandedRecords_;
    std::uint32_t lastCount_ = 0;
};
