// The finished look of the form, read from the shown form's pixels.
#include "formfixture.h"

#include "butstyle.h"
#include "cgroup.h"
#include "messagelist.h"
#include "res/ids.h"

#include <QComboBox>
#include <QImage>

#include <cmath>

namespace {

class Look : public FormFixture
{
protected:
    QImage grabControl(int id) { return control(id)->grab().toImage(); }

    // A face pixel left of the caption: column 6 of the middle row comes unscaled from the
    // mask's left edge (a 25 x 27 indicator keeps the 11 x 11 corners and stretches the rest).
    QRgb facePixel(int id) { return grabControl(id).pixel(6, 13); }

    QRgb maskPixel(int frame, int x, int y)
    {
        const QImage *mask = form->indicatorStyle().GetButtonBitmap();
        const int s = form->indicatorStyle().GetMaskSize().width();
        return mask->pixel(x, frame * s + y);
    }
};

TEST_F(Look, OutputOf0x55ShowsGreenAndGreyFaces)
{
    makeForm();
    control<QComboBox>(res::IDC_OUTPUT_COMBO)->setEditText(QStringLiteral("0x55"));
    form->OnOutputButton();
    const QRgb green = maskPixel(0, 6, 11);
    const QRgb grey = maskPixel(1, 6, 11);
    EXPECT_GT(qGreen(green), qRed(green) + 100) << "frame 0 has the form's green face";
    EXPECT_EQ(qRed(grey), qGreen(grey));
    EXPECT_EQ(qGreen(grey), qBlue(grey));
    for (int bit = 0; bit < 8; ++bit) {
        const QRgb expected = (0x55 >> bit) & 1 ? green : grey;
        EXPECT_EQ(facePixel(res::IDC_BIT0 + bit), expected) << "bit " << bit;
    }
    // The mask's centre carries the light spot: the colours the form is known for.
    EXPECT_EQ(maskPixel(0, 11, 11), qRgb(0, 247, 62));
    EXPECT_EQ(maskPixel(1, 11, 11), qRgb(196, 196, 196));
    // One rendering of the style serves all eight indicators.
    EXPECT_EQ(form->indicatorStyle().renderCount(), 1);
}

TEST_F(Look, GroupFramesAreBlueWithAndWithoutAdapter)
{
    for (bool present : {true, false}) {
        fake::reset(present);
        boxes.clear();
        makeForm();
        for (int id = res::IDC_IO_GROUP; id <= res::IDC_OUTPUT_GROUP; ++id) {
            const QImage image = grabControl(id);
            // The frame's left edge runs down column 1, below the caption's half height.
            EXPECT_EQ(image.pixel(1, image.height() / 2), qRgb(84, 146, 219))
                << "group " << id << " adapter " << present;
            // Inside the caption every pixel is the caption colour, the title background, or
            // an antialiased blend of the two: nothing is left of the default text colour.
            const QRgb background = form->palette().color(QPalette::Button).rgb();
            const QRgb caption = qRgb(16, 140, 231);
            auto between = [](int v, int a, int b) {
                return v >= std::min(a, b) - 2 && v <= std::max(a, b) + 2;
            };
            int exact = 0;
            int foreign = 0;
            for (int y = 1; y < 12; ++y) {
                for (int x = 12; x < 40; ++x) {
                    const QRgb p = image.pixel(x, y);
                    foreign += !(between(qRed(p), qRed(background), qRed(caption)) &&
                                 between(qGreen(p), qGreen(background), qGreen(caption)) &&
                                 between(qBlue(p), qBlue(background), qBlue(caption)));
                }
            }
            for (int y = 0; y < 16; ++y)
                for (int x = 0; x < image.width(); ++x)
                    exact += image.pixel(x, y) == caption;
            EXPECT_GT(exact, 0) << "group " << id << " adapter " << present;
            EXPECT_EQ(foreign, 0) << "group " << id << " adapter " << present;
        }
    }
}

// At the device pixel ratio the window is shown with: test_form_scale2 runs this under
// QT_SCALE_FACTOR=2, test_form at 1. Indicators are drawn with the ratio's detail, not their
// scale-1 pixels enlarged; group frames stay one crisp line; a log row holds its whole text.
TEST_F(Look, IndicatorsFramesAndLogRowsAtTheDevicePixelRatio)
{
    makeForm();
    control<QComboBox>(res::IDC_OUTPUT_COMBO)->setEditText(QStringLiteral("0x55"));
    form->OnOutputButton();
    const qreal ratio = form->devicePixelRatioF();
    if (qEnvironmentVariable("QT_SCALE_FACTOR") == QLatin1String("2")) {
        ASSERT_EQ(ratio, 2.0);
    }

    if (ratio == 2.0) {
        for (int id : {res::IDC_BIT0, res::IDC_BIT0 + 1}) {
            const QImage image = grabControl(id);
            ASSERT_EQ(image.size(), control(id)->size() * 2);
            // A scale-1 bitmap doubled makes every aligned 2 x 2 block one colour.
            int mixed = 0;
            int blocks = 0;
            for (int y = 0; y + 1 < image.height(); y += 2) {
                for (int x = 0; x + 1 < image.width(); x += 2) {
                    const QRgb p = image.pixel(x, y);
                    mixed += image.pixel(x + 1, y) != p || image.pixel(x, y + 1) != p ||
                             image.pixel(x + 1, y + 1) != p;
                    ++blocks;
                }
            }
            EXPECT_GT(mixed, blocks / 8) << "indicator " << id;
        }
        const QImage group = grabControl(res::IDC_IO_GROUP);
        for (int x : {2, 3})
            EXPECT_EQ(group.pixel(x, group.height() / 2), qRgb(84, 146, 219)) << x;
    }

    // A line with ascenders and descenders, below an empty one, keeps its ink inside its
    // row.
    platform::MessageList *log = form->messageList();
    log->clear();
    log->appendLine(QString());
    log->appendLine(QStringLiteral("DOV-RAX Xdgjpqy"));
    log->syncView();
    log->selectionModel()->clearCurrentIndex(); // no focus frame
    const QImage shown = log->viewport()->grab().toImage();
    const QRgb base = shown.pixel(shown.width() - 2, shown.height() - 2);
    int top = shown.height();
    int bottom = -1;
    for (int y = 0; y < shown.height(); ++y) {
        for (int x = 0; x < shown.width() / 2; ++x) {
            // Ink is what covers at least a third of a pixel; the faint edge of an
            // antialiased stroke may spill over.
            if (qGray(base) - qGray(shown.pixel(x, y)) > 80) {
                top = std::min(top, y);
                bottom = std::max(bottom, y);
            }
        }
    }
    const int height = log->rowHeight();
    ASSERT_GE(bottom, 0) << "the line left no ink";
    EXPECT_GE(top, int(std::floor(height * ratio))) << "the text reaches above its row";
    EXPECT_LT(bottom, int(std::ceil(2 * height * ratio))) << "the text reaches below its row";
}

} // namespace
