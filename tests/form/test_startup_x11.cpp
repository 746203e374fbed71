// Start-up message boxes on an X server, with and without a window manager: they come before
// the main window is placed, and must stand where it will stand, centred on the screen.
#include "../x11/polling.h"
#include "dovraxdoc.h"
#include "formfixture.h"
#include "hostwindows.h"
#include "mainfrm.h"

#include <QApplication>
#include <QGuiApplication>
#include <QMessageBox>
#include <QScreen>
#include <QTimer>

namespace {

class StartupBoxesX11 : public FormFixture
{
};

TEST_F(StartupBoxesX11, BoxesBeforeTheFrameIsPlacedAreCentredOnTheScreen)
{
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        GTEST_SKIP() << "needs an X server";
    platform::setMessageBoxHook({}); // the real boxes
    fake::reset(false);              // no adapter and no setup.ini: two boxes at first show
    const std::unique_ptr<platform::HostWindows> windows = platform::createHostWindows();
    const QPoint screenCentre = QGuiApplication::primaryScreen()->geometry().center();

    // Each box is read on screen (frame included, as the X server has it) once it has stopped
    // moving, then closed.
    QStringList seen;
    QTimer watch;
    QRect last;
    int steady = 0;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        const std::optional<QRect> rect =
            box && box->isVisible() ? windows->frameGeometry(box->winId()) : std::nullopt;
        if (!rect)
            return;
        steady = *rect == last ? steady + 1 : 0;
        last = *rect;
        if (steady < 20)
            return;
        const QPoint offset = rect->center() - screenCentre;
        seen << QStringLiteral("%1 off centre by (%2, %3)")
                    .arg(box->windowTitle())
                    .arg(offset.x())
                    .arg(offset.y());
        last = QRect();
        box->accept();
    });
    watch.start(20);

    link = std::make_unique<AdapterLink>(fake::api(), QStringLiteral("fake"));
    platform::SingleDocTemplate docTemplate(
        [] { return std::make_unique<CDovraxDoc>(); },
        [this]() -> std::unique_ptr<platform::FrameWindow> {
            auto frame = std::make_unique<CMainFrame>(
                [this](QWidget *parent) { return new CDovraxDlg(*link, parent); });
            return frame->isCreated() ? std::move(frame) : nullptr;
        });
    ASSERT_TRUE(docTemplate.newDocument());
    // Within a pixel: the centre of an odd size lies between two pixels.
    for (QString &line : seen)
        line.replace(QRegularExpression(QStringLiteral("\\(-?[01], -?[01]\\)")),
                     QStringLiteral("(0, 0)"));
    EXPECT_EQ(seen.join(QStringLiteral("; ")).toStdString(),
              "Confirm DOV-RAX Exist off centre by (0, 0); "
              "Confirm Setup.ini Setting off centre by (0, 0)");
}

} // namespace
