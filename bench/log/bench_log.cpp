// Message log benchmark: the form's LogMessage(true, text) one million times on a shown log the
// size of the form's, then the event loop, then clearing the two million lines.
//
//   bench_log [calls]        (default 1000000)
//
// Exit status: 0 when every check passes and every target is met, 1 when the log misbehaves,
// 2 when it behaves but misses a target.
#include "fonts.h"
#include "messagelist.h"
#include "messagelistmodel.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QScrollBar>
#include <QStringList>

#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace {

constexpr double TargetMicrosPerCall = 2.0;
constexpr double TargetBytesPerRow = 64.0;
constexpr double TargetClearMillis = 50.0;

int failures = 0;
int misses = 0;

// Heap in use: small allocations from the arenas plus the large ones glibc maps directly.
double heapBytes()
{
    const struct mallinfo2 info = mallinfo2();
    return double(info.uordblks) + double(info.hblkhd);
}

double rssBytes()
{
    long pages = 0;
    long resident = 0;
    std::ifstream statm("/proc/self/statm");
    statm >> pages >> resident;
    return double(resident) * double(sysconf(_SC_PAGESIZE));
}

void check(bool ok, const char *what)
{
    std::printf("  check %-58s %s\n", what, ok ? "ok" : "FAILED");
    if (!ok)
        ++failures;
}

void target(double value, double limit, const char *what, const char *unit)
{
    const bool met = value < limit;
    std::printf("  %-40s %10.3f %-6s (target < %g) %s\n", what, value, unit, limit,
                met ? "met" : "MISSED");
    if (!met)
        ++misses;
}

double millisSince(const QElapsedTimer &timer)
{
    return double(timer.nsecsElapsed()) / 1e6;
}

// Appends calls LogMessage(true, ...) pairs and reports time per call and memory per row.
void fill(QApplication &app, platform::MessageList &list, const QStringList &texts, int calls,
          const char *label)
{
    const QString separator(70, QLatin1Char('-'));
    app.processEvents();
    const double heapBefore = heapBytes();
    const double rssBefore = rssBytes();
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < calls; ++i) {
        list.appendAndSelect(texts[i % texts.size()]);
        list.appendLine(separator);
    }
    const double fillMillis = millisSince(timer);
    const double heapAfter = heapBytes();
    const double rssAfter = rssBytes();
    const double rows = list.count();

    timer.restart();
    app.processEvents();
    const double syncMillis = millisSince(timer);
    const double heapSynced = heapBytes();

    std::printf("%s: %d calls, %.0f rows\n", label, calls, rows);
    target(fillMillis * 1000.0 / calls, TargetMicrosPerCall, "time per call", "us");
    target((heapAfter - heapBefore) / rows, TargetBytesPerRow, "heap per row (mallinfo2)", "bytes");
    target((heapSynced - heapBefore) / rows, TargetBytesPerRow, "heap per row after event loop",
           "bytes");
    std::printf("  %-40s %10.3f bytes\n", "RSS per row", (rssAfter - rssBefore) / rows);
    std::printf("  %-40s %10.3f bytes\n", "store's own bytes per row",
                double(list.messageModel()->storageBytes()) / rows);
    std::printf("  %-40s %10.3f ms\n", "first event loop turn", syncMillis);
}

void checkBottom(platform::MessageList &list, const QString &lastText)
{
    const int rows = list.count();
    const int data = rows - 2;
    const QModelIndex separator = list.model()->index(rows - 1, 0);
    check(list.model()->rowCount() == rows, "view holds every line");
    check(list.selectedRow() == data, "last data line selected");
    check(list.currentIndex().row() == data, "last data line is the current row");
    check(list.line(data) == lastText, "last data line text");
    check(list.lastFullyVisibleRow() == data, "last data line is the bottom visible row");
    check(!list.viewport()->rect().contains(list.visualRect(separator)),
          "separator below it is not (fully) visible");
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    platform::loadFonts();
    const int calls = argc > 1 ? std::atoi(argv[1]) : 1000000;
    if (calls < 100) {
        std::fprintf(stderr, "bench_log: calls must be at least 100\n");
        return 1;
    }

    QStringList portTexts;
    for (int value = 0; value < 256; ++value)
        portTexts << QStringLiteral("Output Data : [ 0x%1 ]")
                         .arg(QString::number(value, 16).toUpper().rightJustified(2, u'0'));

    platform::MessageList list;
    list.setFont(platform::dialogFont());
    list.resize(282, 160);
    list.show();
    app.processEvents();

    fill(app, list, portTexts, calls, "LogMessage(true, \"Output Data : [ 0xNN ]\")");
    checkBottom(list, portTexts[(calls - 1) % portTexts.size()]);

    const int rows = list.count();
    const double heapBefore = heapBytes();
    QElapsedTimer timer;
    timer.start();
    list.clear();
    const double clearMillis = millisSince(timer);
    std::printf("clear of %d rows\n", rows);
    target(clearMillis, TargetClearMillis, "clear", "ms");
    std::printf("  %-40s %10.1f MB\n", "heap released", (heapBefore - heapBytes()) / 1e6);
    app.processEvents();
    check(list.count() == 0 && list.model()->rowCount() == 0 && list.selectedRow() == -1,
          "list is empty after clear");

    // Interactive use: one line per event loop turn, each turn repainting the view, on a log
    // that already holds two million lines. The cost must not grow with the log.
    fill(app, list, portTexts, calls, "refill");
    const int turns = 2000;
    timer.restart();
    for (int i = 0; i < turns; ++i) {
        list.appendAndSelect(portTexts[i % portTexts.size()]);
        list.appendLine(QString(70, QLatin1Char('-')));
        app.processEvents();
    }
    std::printf("interactive: %d turns at %d rows\n", turns, list.count());
    std::printf("  %-40s %10.3f us\n", "LogMessage + event loop turn (repaint)",
                millisSince(timer) * 1000.0 / turns);
    checkBottom(list, portTexts[(turns - 1) % portTexts.size()]);
    list.clear();

    // Worst case for sharing: every line different.
    QStringList unique;
    unique.reserve(calls);
    for (int i = 0; i < calls; ++i)
        unique << QStringLiteral("Output Data : [ 0x%1 ] #%2")
                      .arg(i & 0xff, 2, 16, QLatin1Char('0'))
                      .arg(i);
    fill(app, list, unique, calls, "unique texts");
    checkBottom(list, unique.last());
    timer.restart();
    list.clear();
    std::printf("clear of %d rows\n", 2 * calls);
    target(millisSince(timer), TargetClearMillis, "clear", "ms");

    const char *verdict = "all checks passed, all targets met";
    if (failures)
        verdict = "FAILED";
    else if (misses)
        verdict = "TARGETS MISSED";
    std::printf("%s\n", verdict);
    return failures ? 1 : misses ? 2 : 0;
}
