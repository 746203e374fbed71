#include "adapterlink.h"

#include "mulvoloader.h"
#include "resulttext.h"

#include <QStringList>
#include <QTimerEvent>

std::atomic<InterruptRecord *> g_interruptRecord{nullptr};

namespace {

// The table the interrupt callback calls through: its C signature carries no context. Set
// before the interrupt is armed; cleared only when the link goes, after its handle is closed.
std::atomic<const mulvo::Api *> g_callbackApi{nullptr};

} // namespace

extern "C" void InterruptCallback(std::uint32_t handle, std::uint32_t value)
{
    const mulvo::Api *api = g_callbackApi.load(std::memory_order_acquire);
    if (!api)
        return;
    auto *record = static_cast<InterruptRecord *>(api->get_extension(handle));
    // A handle without a record has nothing to mark, and must not be answered as ours.
    if (!record)
        return;
    api->mbout(handle, 0);
    record->count.fetch_add(1, std::memory_order_relaxed);
    record->value.store(value, std::memory_order_relaxed);
    record->triggered.store(1, std::memory_order_release);
    api->out2(handle, MULVO_PORT_ACK, 0);
    api->mbout(handle, 1);
}

AdapterLink::AdapterLink(std::unique_ptr<mulvo::Library> library, const QString &loadError,
                         QObject *parent)
    : QObject(parent), library_(std::move(library)), loadError_(loadError)
{
    if (library_) {
        api_ = &library_->api();
        libraryFile_ = QString::fromStdString(library_->file());
    }
}

AdapterLink::AdapterLink(const mulvo::Api &api, const QString &libraryFile, QObject *parent)
    : QObject(parent), api_(&api), libraryFile_(libraryFile)
{}

AdapterLink::~AdapterLink()
{
    close();
    const mulvo::Api *mine = api_;
    g_callbackApi.compare_exchange_strong(mine, nullptr);
}

bool AdapterLink::open()
{
    close();
    handle_ = api_ ? api_->open(0) : 0;
    return handle_ != 0;
}

void AdapterLink::close()
{
    // The window goes or the adapter is opened again within the pulse: the interrupt is not
    // armed, and the output stays at 0x00.
    pulseTimer_.stop();
    // A library whose close does not wait for running callbacks must not reach the record
    // after it is freed: disarm first, as Stop does.
    if (isMonitoring())
        disarm();
    if (handle_ != 0 && api_)
        api_->close(handle_);
    handle_ = 0;
    strandedRecords_.clear();
}

std::int32_t AdapterLink::read(std::uint8_t &value)
{
    if (isStarting())
        return kBusy;
    if (!api_)
        return MULVO_E_HANDLE;
    std::uint32_t input = 0;
    const std::int32_t result = api_->mbin(handle_, &input);
    if (result >= 0)
        value = std::uint8_t(input & 0xFF);
    return result;
}

std::int32_t AdapterLink::write(std::uint8_t value)
{
    if (isStarting())
        return kBusy;
    if (!api_)
        return MULVO_E_HANDLE;
    return api_->mbout(handle_, value);
}

QString AdapterLink::openProblem() const
{
    return library_ ? QString::fromStdString(mulvo::openProblem(library_->kind(), 0)) : QString();
}

QString AdapterLink::failureReason(std::int32_t result)
{
    if (result == kBusy)
        return QStringLiteral("adapter busy");
    return QString::fromStdString(mulvo::resultText(result));
}

void AdapterLink::startMonitoring()
{
    if (isStarting() || isMonitoring())
        return;
    // Nothing is armed yet: a first write that fails ends Start at once.
    if (const std::int32_t result = api_ ? api_->mbout(handle_, 0) : MULVO_E_HANDLE; result < 0) {
        Q_EMIT startFailed(failureReason(result));
        return;
    }
    // A precise timer, checked against its deadline: the pulse is never shorter than asked.
    pulseEnd_ = QDeadlineTimer(kStartPulseMs, Qt::PreciseTimer);
    pulseTimer_.start(kStartPulseMs, Qt::PreciseTimer, this);
}

void AdapterLink::finishStart()
{
    pulseTimer_.stop();
    QStringList failures;
    const auto succeeded = [&failures](std::int32_t result) {
        if (result < 0 && !failures.contains(failureReason(result)))
            failures << failureReason(result);
        return result >= 0;
    };
    if (!succeeded(api_->mbout(handle_, 1))) {
        Q_EMIT startFailed(failures.join(QStringLiteral(", ")));
        return;
    }
    record_ = std::make_unique<InterruptRecord>();
    g_interruptRecord.store(record_.get());
    g_callbackApi.store(api_, std::memory_order_release);
    const bool kept = succeeded(api_->set_extension(handle_, record_.get()));
    const bool armed = kept && succeeded(api_->connect(handle_, &InterruptCallback));
    if (armed) {
        monitorTimer_.start(kMonitorPeriodMs, this);
        Q_EMIT monitoringStarted();
        return;
    }
    // Undone in Stop's order. A connect that failed may still have armed part way.
    if (kept)
        succeeded(api_->intcout(handle_, MULVO_INT_DISARM));
    g_interruptRecord.store(nullptr);
    if (succeeded(api_->set_extension(handle_, nullptr)))
        record_.reset();
    else
        // The library may still hand the record out: it lives until the handle is closed.
        strandedRecords_.push_back(std::move(record_));
    Q_EMIT startFailed(failures.join(QStringLiteral(", ")));
}

void AdapterLink::stopMonitoring()
{
    if (!isMonitoring())
        return;
    disarm();
    Q_EMIT monitoringStopped(lastCount_);
}

void AdapterLink::disarm()
{
    // An interrupt that came after the last tick is not reported.
    record_->triggered.store(0);
    monitorTimer_.stop();
    if (api_) {
        api_->intcout(handle_, MULVO_INT_DISARM);
        // The library must not hand out the record once it is freed.
        api_->set_extension(handle_, nullptr);
    }
    // Disarmed: no callback can add to the count any more.
    lastCount_ = record_->count.load();
    g_interruptRecord.store(nullptr);
    record_.reset();
}

void AdapterLink::timerEvent(QTimerEvent *event)
{
    if (event->timerId() == pulseTimer_.timerId()) {
        if (pulseEnd_.hasExpired())
            finishStart();
        else
            pulseTimer_.start(int(pulseEnd_.remainingTime()) + 1, Qt::PreciseTimer, this);
        return;
    }
    if (event->timerId() == monitorTimer_.timerId() && record_) {
        // Interrupts between two ticks give one report; one that comes while this runs is
        // reported at the next tick. Read before telling anyone, who may stop monitoring.
        const bool triggered = record_->triggered.exchange(0, std::memory_order_acq_rel) != 0;
        const quint32 count = record_->count.load(std::memory_order_relaxed);
        if (triggered)
            Q_EMIT interruptTriggered();
        Q_EMIT interruptCount(count);
        return;
    }
    QObject::timerEvent(event);
}
