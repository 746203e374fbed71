// Floods the control form's interrupt callback through the virtual adapter while monitoring
// runs, and checks what the operator would see: the exact count, at most one "Trig INT" line
// per monitor tick, and ticks that keep their 500 ms period.
//
//   bench_interrupt_flood [--service] [seconds=10] [rate=120000, with --service 20000]
//
// With --service the form reaches the virtual adapter through mulvod, started here on a socket
// of its own, and the client library.
#include "adapterlink.h"
#include "dovraxdlg.h"
#include "fonts.h"
#include "messagebox.h"
#include "messagelist.h"
#include "mulvoloader.h"
#include "simsegment.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// Records the monitor ticks (timer events of the adapter link) and the form's log size at each.
class TickRecorder : public QObject
{
public:
    std::vector<qint64> tickMs;
    std::vector<int> trigLinesAfterTick;
    QElapsedTimer clock;
    CDovraxDlg *form = nullptr;
    QObject *ticker = nullptr;
    int trigLines = 0;

    // Only "Trig INT" lines are logged during the run, so the lines a tick added are the
    // growth of the log by the next tick.
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == ticker && event->type() == QEvent::Timer) {
            const int now = form->messageList()->count();
            if (!tickMs.empty())
                trigLinesAfterTick.push_back(now - lastCount);
            lastCount = now;
            tickMs.push_back(clock.elapsed());
        }
        return false;
    }

    void finish()
    {
        const int now = form->messageList()->count();
        if (!tickMs.empty())
            trigLinesAfterTick.push_back(now - lastCount);
        trigLines = now;
    }

    int lastCount = 0;
};

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    const std::string instance = "bench-flood-" + std::to_string(getpid());
    qputenv("MULVO_SIM_INSTANCE", instance.c_str());
    QApplication app(argc, argv);
    platform::loadFonts();
    const bool service = argc > 1 && std::strcmp(argv[1], "--service") == 0;
    if (service) {
        --argc;
        ++argv;
    }
    const int seconds = argc > 1 ? std::max(1, atoi(argv[1])) : 10;
    // Through the service each interrupt costs the form's answer three round trips, which
    // bounds the rate it can follow well below the direct library's.
    const int rate = argc > 2 ? std::max(1000, atoi(argv[2])) : service ? 20000 : 120000;

    std::string error;
    auto segment = mulvo::sim::SimSegment::open(instance, error);
    if (!segment) {
        std::fprintf(stderr, "bench_interrupt_flood: %s\n", error.c_str());
        return 1;
    }
    segment->reset();
    QTemporaryDir dir;
    QDir::setCurrent(dir.path());

    // The service holds the virtual adapter; the form talks to it through the client library.
    pid_t serviceProcess = -1;
    if (service) {
        const std::string socket = dir.path().toStdString() + "/mulvod.sock";
        qputenv("MULVO_SERVICE_SOCKET", socket.c_str());
        std::vector<std::string> args{MULVOD_PATH, "--adapter", MULVO_LIBRARY_PATH, "--socket",
                                      socket};
        std::vector<char *> argvService;
        for (std::string &a : args)
            argvService.push_back(a.data());
        argvService.push_back(nullptr);
        if (posix_spawn(&serviceProcess, MULVOD_PATH, nullptr, nullptr, argvService.data(),
                        environ) != 0) {
            std::fprintf(stderr, "bench_interrupt_flood: cannot start %s\n", MULVOD_PATH);
            return 1;
        }
        for (int i = 0; i < 500 && access(socket.c_str(), F_OK) != 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    auto library =
        mulvo::Library::loadFile(service ? MULVO_SERVICE_LIBRARY_PATH : MULVO_LIBRARY_PATH, error);
    if (!library) {
        std::fprintf(stderr, "bench_interrupt_flood: %s\n", error.c_str());
        return 1;
    }
    platform::setMessageBoxHook([](const platform::MessageBoxCall &) {});
    AdapterLink link(std::move(library), QString());
    CDovraxDlg form(link);
    form.show();
    form.onInitialUpdate();
    form.OnMessageListDoubleClick();

    TickRecorder recorder;
    recorder.form = &form;
    recorder.ticker = &link;

    form.OnStartButton(); // pulses the output for one second, then arms
    while (!form.isMonitoring())
        app.processEvents(QEventLoop::WaitForMoreEvents, 50);
    link.installEventFilter(&recorder);
    recorder.clock.start();

    std::atomic<bool> stop{false};
    std::atomic<std::uint64_t> raised{0};
    // Raise in small batches every millisecond to hold the rate without a busy core.
    std::thread raiser([&] {
        const auto start = std::chrono::steady_clock::now();
        const int perMs = rate / 1000;
        for (int ms = 0; !stop.load(); ++ms) {
            segment->raise(perMs);
            raised += perMs;
            std::this_thread::sleep_until(start + std::chrono::milliseconds(ms + 1));
        }
    });
    QTimer::singleShot(seconds * 1000, &app, [&] { stop = true; });
    while (!stop.load())
        app.processEvents(QEventLoop::WaitForMoreEvents, 50);
    raiser.join();

    // Let the last interrupts through, then read the count before Stop releases the record.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    InterruptRecord *record = g_interruptRecord.load();
    while (record->count.load() < raised.load() && std::chrono::steady_clock::now() < deadline)
        app.processEvents(QEventLoop::AllEvents, 10);
    const std::uint64_t counted = record->count.load();
    const qint64 elapsedMs = recorder.clock.elapsed();
    recorder.finish();
    form.OnStartButton();

    const auto status = segment->status();
    std::vector<qint64> periods;
    for (size_t i = 1; i < recorder.tickMs.size(); ++i)
        periods.push_back(recorder.tickMs[i] - recorder.tickMs[i - 1]);
    std::sort(periods.begin(), periods.end());
    const qint64 worst =
        periods.empty() ? 0 : std::max(500 - periods.front(), periods.back() - 500);
    const int maxPerTick = recorder.trigLinesAfterTick.empty()
                               ? 0
                               : *std::max_element(recorder.trigLinesAfterTick.begin(),
                                                   recorder.trigLinesAfterTick.end());

    std::printf("interrupts raised      %llu in %.1f s (%.0f per second)\n",
                (unsigned long long)raised.load(), elapsedMs / 1000.0,
                raised.load() * 1000.0 / std::max<qint64>(1, elapsedMs));
    std::printf("count in the record    %llu (%s)\n", (unsigned long long)counted,
                counted == raised.load() ? "exact" : "MISMATCH");
    std::printf("library delivered      %llu, missed %llu\n", (unsigned long long)status.delivered,
                (unsigned long long)status.missed);
    std::printf("monitor ticks          %zu, \"Trig INT\" lines %d, most in one tick %d\n",
                recorder.tickMs.size(), recorder.trigLines, maxPerTick);
    if (!periods.empty())
        std::printf("tick period            median %lld ms, min %lld, max %lld, worst deviation "
                    "%lld ms\n",
                    (long long)periods[periods.size() / 2], (long long)periods.front(),
                    (long long)periods.back(), (long long)worst);

    if (serviceProcess > 0) {
        kill(serviceProcess, SIGTERM);
        waitpid(serviceProcess, nullptr, 0);
    }
    mulvo::sim::SimSegment::remove(instance, error);
    const bool ok = counted == raised.load() && maxPerTick <= 1 && worst <= 50;
    std::printf("%s\n", ok ? "PASS" : "FAIL");
    return ok ? 0 : 1;
}
