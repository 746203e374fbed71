// Mask rendering against the repaints it is meant to keep cheap.
#include "butstyle.h"
#include "cbutton.h"
#include "fonts.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QWindow>
#include <benchmark/benchmark.h>

namespace {

bool showExposed(QWidget &widget)
{
    widget.show();
    QElapsedTimer timer;
    timer.start();
    while (!(widget.windowHandle() && widget.windowHandle()->isExposed())) {
        if (timer.elapsed() > 5000)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

void BM_DrawMasks(benchmark::State &state)
{
    CButtonStyle style;
    for (auto _ : state) {
        benchmark::DoNotOptimize(style.DrawMasks());
    }
    state.counters["renders"] = style.renderCount();
}
BENCHMARK(BM_DrawMasks);

// mode 0: nothing changed, the repaint copies one cached frame.
// mode 1: the text changed, all five frames are stretched and captioned again.
// mode 2: the style was set again, which also allocates a new bitmap.
void BM_IndicatorRepaint(benchmark::State &state)
{
    const int mode = static_cast<int>(state.range(0));
    CButtonStyle style;
    CCButton button(QStringLiteral("0"));
    button.SetRoundButtonStyle(&style);
    button.resize(25, 27);
    if (!showExposed(button)) {
        state.SkipWithError("window never exposed");
        return;
    }
    button.repaint();
    const int rebuilds = button.rebuildCount();
    const QString texts[2] = {QStringLiteral("0"), QStringLiteral("1")};
    int n = 0;
    for (auto _ : state) {
        if (mode == 1)
            button.setText(texts[++n & 1]);
        else if (mode == 2)
            button.SetRoundButtonStyle(&style);
        button.repaint();
    }
    const int rebuilt = button.rebuildCount() - rebuilds;
    if (mode == 0 && rebuilt != 0)
        state.SkipWithError("an ordinary repaint rebuilt the frames");
    if (mode != 0 && rebuilt != static_cast<int>(state.iterations()))
        state.SkipWithError("a repaint after a change did not rebuild");
    if (style.renderCount() != 1)
        state.SkipWithError("the masks were rendered again");
    state.counters["rebuilds"] = rebuilt;
}
BENCHMARK(BM_IndicatorRepaint)->ArgName("mode")->Arg(0)->Arg(1)->Arg(2);

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    QApplication app(argc, argv);
    platform::loadFonts();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
