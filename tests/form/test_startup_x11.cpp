// Start-up message boxes on an X server, with and without a window manager: they come before
// the main window is placed, and must stand where it will stand, centred on the screen.
#include "../x11/polling.h"
#include "dovraxdoc.h"
#include "formfixture.h"
#include "hostwindows.h"
#include "mainfrm.h"
#include "res/resources.h"
#include "windowicon.h"

#include <QApplication>
#include <QGuiApplication>
#include <QImage>
#include <QMessageBox>
#include <QScreen>
#include <QTimer>

#include <algorithm>

// Xlib's macros clash with Qt's headers; keep it below them.
#include "../x11/testdisplay.h"

namespace {

class StartupBoxesX11 : public FormFixture
{
protected:
    // The program's template on the fake adapter: its frame holds the control form.
    std::unique_ptr<platform::SingleDocTemplate> makeTemplate()
    {
        link = std::make_unique<AdapterLink>(fake::api(), QStringLiteral("fake"));
        return std::make_unique<platform::SingleDocTemplate>(
            [] { return std::make_unique<CDovraxDoc>(); },
            [this]() -> std::unique_ptr<platform::FrameWindow> {
                auto frame = std::make_unique<CMainFrame>(
                    [this](QWidget *parent) { return new CDovraxDlg(*link, parent); });
                return frame->isCreated() ? std::move(frame) : nullptr;
            });
    }
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

    const std::unique_ptr<platform::SingleDocTemplate> made = makeTemplate();
    platform::SingleDocTemplate &docTemplate = *made;
    ASSERT_TRUE(docTemplate.newDocument());
    // Within a pixel: the centre of an odd size lies between two pixels.
    for (QString &line : seen)
        line.replace(QRegularExpression(QStringLiteral("\\(-?[01], -?[01]\\)")),
                     QStringLiteral("(0, 0)"));
    EXPECT_EQ(seen.join(QStringLiteral("; ")).toStdString(),
              "Confirm DOV-RAX Exist off centre by (0, 0); "
              "Confirm Setup.ini Setting off centre by (0, 0)");
}

// The frame's icon reaches the window system without Qt converting it (the application's icon
// is not even made); what arrives must be what Qt would have sent for it: each size, in order,
// as width, height and pixels (ARGB, not premultiplied).
TEST_F(StartupBoxesX11, TheFrameCarriesTheApplicationIconAsQtWouldSendIt)
{
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        GTEST_SKIP() << "needs an X server";
    const QIcon icon = res::appIcon();
    int iconsMade = 0;
    platform::setApplicationIcon(
        [&iconsMade] {
            ++iconsMade;
            return res::appIcon();
        },
        res::appIconProperty());
    std::vector<unsigned long> expected;
    for (const QSize &size : icon.availableSizes()) {
        const QImage image = icon.pixmap(size).toImage().convertToFormat(QImage::Format_ARGB32);
        expected.push_back(ulong(image.width()));
        expected.push_back(ulong(image.height()));
        for (int y = 0; y < image.height(); ++y) {
            const auto *line = reinterpret_cast<const quint32 *>(image.constScanLine(y));
            expected.insert(expected.end(), line, line + image.width());
        }
    }
    ASSERT_EQ(expected.size(), res::appIconProperty().size());

    const std::unique_ptr<platform::SingleDocTemplate> made = makeTemplate();
    platform::SingleDocTemplate &docTemplate = *made;
    ASSERT_TRUE(docTemplate.newDocument());
    QWidget *frame = docTemplate.frame();
    EXPECT_EQ(iconsMade, 0) << "the application's icon was made (and so converted) for the frame";
    EXPECT_FALSE(frame->windowIcon().isNull()) << "the frame lost the application's icon";
    TestDisplay display;
    std::vector<unsigned long> sent;
    ASSERT_TRUE(waitUntil([&] {
        sent = display.netWmIcon(frame->winId());
        return !sent.empty();
    })) << "the frame has no icon property";
    ASSERT_EQ(sent.size(), expected.size());
    // Xlib hands 32-bit items over as longs, sign-extended.
    for (unsigned long &word : sent)
        word &= 0xffffffffUL;
    const auto differs = std::mismatch(sent.begin(), sent.end(), expected.begin());
    EXPECT_TRUE(differs.first == sent.end())
        << "first difference at word " << (differs.first - sent.begin());
}

} // namespace
