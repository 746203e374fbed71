// The message log at scale, through the form's own LogMessage: one million transfers' worth of
// lines (a data line and its separator each) on the shown form, then a double-click clear.
//
//   bench_form_log [calls=1000000]
#include "adapterlink.h"
#include "dovraxdlg.h"
#include "fonts.h"
#include "messagebox.h"
#include "messagelist.h"
#include "messagelistmodel.h"
#include "mulvoloader.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <cstdio>
#include <malloc.h>

namespace {
std::size_t heapInUse()
{
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}
} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    platform::loadFonts();
    const int calls = argc > 1 ? std::max(1, atoi(argv[1])) : 1000000;

    QTemporaryDir dir;
    QDir::setCurrent(dir.path());
    platform::setMessageBoxHook([](const platform::MessageBoxCall &) {});
    AdapterLink link(nullptr, QStringLiteral("not loaded"));
    CDovraxDlg form(link);
    form.show();
    form.onInitialUpdate();
    app.processEvents();
    platform::MessageList *list = form.messageList();
    const int before = list->count();

    // The texts are made up front so that only LogMessage is timed.
    QStringList texts;
    for (int v = 0; v < 256; ++v)
        texts << QStringLiteral("Output Data : [ 0x%1 ]").arg(v, 0, 16);

    const std::size_t heapBefore = heapInUse();
    const qint64 startMs = QDateTime::currentMSecsSinceEpoch();
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < calls; ++i)
        form.LogMessage(true, texts[i & 0xFF]);
    const qint64 logNs = timer.nsecsElapsed();
    const std::size_t heapAfter = heapInUse();
    const int rows = list->count() - before;
    // Every row remembers when it was logged: the first and the last lie inside the timed run.
    const qint64 endMs = QDateTime::currentMSecsSinceEpoch();
    const platform::MessageListModel *store = list->messageModel();
    const bool timed = store->loggedAt(before) >= startMs &&
                       store->loggedAt(list->count() - 1) >= store->loggedAt(before) &&
                       store->loggedAt(list->count() - 1) <= endMs;

    timer.restart();
    app.processEvents();
    const qint64 settleNs = timer.nsecsElapsed();
    const int selected = list->selectedRow();
    const bool selectedIsLastData =
        selected == list->count() - 2 && list->line(selected) == texts[(calls - 1) & 0xFF];
    const bool visibleAtBottom = list->lastFullyVisibleRow() == selected;

    timer.restart();
    form.OnMessageListDoubleClick();
    const qint64 clearNs = timer.nsecsElapsed();

    const double perCallUs = logNs / 1000.0 / calls;
    const double perRowBytes = double(heapAfter - heapBefore) / rows;
    std::printf("LogMessage(true, ...) x %d: %.3f us per call\n", calls, perCallUs);
    std::printf("rows %d, heap %.1f bytes per row\n", rows, perRowBytes);
    std::printf("first event-loop turn after: %.2f ms\n", settleNs / 1e6);
    std::printf("last data line selected: %s, bottom visible row: %s\n",
                selectedIsLastData ? "yes" : "NO", visibleAtBottom ? "yes" : "NO");
    std::printf("rows carry their times: %s\n", timed ? "yes" : "NO");
    std::printf("double-click clear of %d rows: %.2f ms\n", rows, clearNs / 1e6);
    const bool ok = selectedIsLastData && visibleAtBottom && timed && list->count() == 0 &&
                    perCallUs < 1.0 && perRowBytes < 24.0 && clearNs < 50'000'000;
    std::printf("%s\n", ok ? "PASS" : "FAIL");
    return ok ? 0 : 1;
}
