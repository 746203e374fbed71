// Group frame: layout maths, colours as painted, caption handling and immediate redraws.
#include "cgroup.h"

#include <QApplication>
#include <QFontMetrics>
#include <QPalette>
#include <QTest>
#include <gtest/gtest.h>

#include <memory>

namespace {

COLORREF systemRef(QPalette::ColorRole role)
{
    return refFromColor(QApplication::palette().color(role));
}

// A group inside a parent with a background unlike any colour the frame uses, so the grab
// shows exactly what the group drew. The font is aliased so caption pixels are pure.
class CCPGroupTest : public testing::Test
{
protected:
    void SetUp() override
    {
        parent.resize(260, 160);
        QPalette pal = parent.palette();
        pal.setColor(QPalette::Window, kBackground);
        parent.setPalette(pal);
        parent.setAutoFillBackground(true);
        font.setStyleStrategy(QFont::NoAntialias);
        group = new CCPGroup(QStringLiteral("Inputs"), &parent);
        group->setFont(font);
        group->setGeometry(20, 30, 200, 100);
    }

    QImage grabGroup()
    {
        return parent.grab(group->geometry()).toImage().convertToFormat(QImage::Format_RGB32);
    }

    GroupFrameGeometry expectedGeometry() const
    {
        const QFontMetrics metrics(font);
        const QString caption = group->caption();
        return groupFrameGeometry(group->size(),
                                  QSize(metrics.horizontalAdvance(caption), metrics.height()),
                                  group->captionAlignment());
    }

    static constexpr QRgb kBackground = qRgb(10, 20, 30);
    QFont font{QStringLiteral("Tahoma"), 8};
    QWidget parent;
    CCPGroup *group = nullptr; // owned by parent
};

} // namespace

TEST(GroupFrameGeometry, AlignsTheCaptionOnTheTopEdge)
{
    GroupFrameGeometry g = groupFrameGeometry(QSize(200, 100), QSize(51, 13), GroupCaptionLeft);
    EXPECT_EQ(g.client, QRect(1, 1, 198, 98));
    EXPECT_EQ(g.text, QRect(11, 1, 51, 13));
    EXPECT_EQ(g.frame, QRect(1, 7, 198, 92));

    EXPECT_EQ(groupFrameGeometry(QSize(200, 100), QSize(51, 13), GroupCaptionCentre).text.left(),
              74);
    EXPECT_EQ(groupFrameGeometry(QSize(200, 100), QSize(51, 13), GroupCaptionRight).text.left(),
              138);
    EXPECT_EQ(groupFrameGeometry(QSize(200, 100), QSize(51, 13), 9).text.left(), 11);

    // Truncated toward zero when the caption is wider than the client area.
    EXPECT_EQ(groupFrameGeometry(QSize(49, 40), QSize(60, 13), GroupCaptionCentre).text.left(), -5);

    g = groupFrameGeometry(QSize(200, 100), QSize(0, 0), GroupCaptionLeft);
    EXPECT_TRUE(g.text.isEmpty());
    EXPECT_EQ(g.frame, QRect(1, 1, 198, 98));
}

TEST(CCPGroup, StartsWithSystemColours)
{
    CCPGroup group;
    EXPECT_EQ(group.frameColor(), systemRef(QPalette::Dark));
    EXPECT_EQ(group.titleBackgroundColor(), systemRef(QPalette::Button));
    EXPECT_EQ(group.captionColor(), systemRef(QPalette::WindowText));
    EXPECT_EQ(group.captionAlignment(), GroupCaptionLeft);
    EXPECT_TRUE(group.caption().isEmpty());
}

TEST_F(CCPGroupTest, PaintsFrameCaptionAndBand)
{
    group->SetBorderColor(0xDB9254).SetTitleColor(0xE78C10);
    const QImage img = grabGroup();
    EXPECT_EQ(group->caption(), QStringLiteral(" Inputs "));
    const GroupFrameGeometry g = expectedGeometry();
    const QRgb frame = qRgb(84, 146, 219);
    const QRgb caption = qRgb(16, 140, 231);
    const QRgb band = colorFromRef(group->titleBackgroundColor()).rgb();

    // The line runs one pixel inside the widget; the outer pixels are left alone.
    const int mid = 60;
    EXPECT_EQ(img.pixel(1, mid), frame);
    EXPECT_EQ(img.pixel(198, mid), frame);
    EXPECT_EQ(img.pixel(100, 98), frame);
    EXPECT_EQ(img.pixel(150, g.frame.top()), frame);
    EXPECT_EQ(img.pixel(0, mid), kBackground);
    EXPECT_EQ(img.pixel(2, mid), kBackground);
    EXPECT_EQ(img.pixel(199, mid), kBackground);
    EXPECT_EQ(img.pixel(100, 99), kBackground);
    EXPECT_EQ(img.pixel(100, mid), kBackground);
    // Rounded corners: the corner pixel itself is not on the line.
    EXPECT_NE(img.pixel(1, 98), frame);

    int inked = 0;
    for (int y = g.text.top(); y <= g.text.bottom(); ++y) {
        for (int x = g.text.left(); x <= g.text.right(); ++x) {
            const QRgb px = img.pixel(x, y);
            ASSERT_TRUE(px == band || px == caption) << x << ',' << y;
            inked += px == caption;
        }
    }
    EXPECT_GT(inked, 20);
    // The band hides the frame line where the caption sits, but not beside it.
    EXPECT_EQ(img.pixel(g.text.left() + 2, g.frame.top()), band);
    EXPECT_EQ(img.pixel(g.text.left() - 1, g.frame.top()), frame);
    EXPECT_EQ(img.pixel(g.text.right() + 1, g.frame.top()), frame);
}

TEST_F(CCPGroupTest, AlignmentMovesTheBand)
{
    group->SetAlignment(GroupCaptionRight);
    const QImage img = grabGroup();
    const GroupFrameGeometry g = expectedGeometry();
    EXPECT_EQ(g.text.right(), 199 - 10 - 1);
    const QRgb band = colorFromRef(group->titleBackgroundColor()).rgb();
    EXPECT_EQ(img.pixel(g.text.left(), g.text.top()), band);
    EXPECT_EQ(img.pixel(g.text.right(), g.text.top()), band);
    EXPECT_NE(img.pixel(g.text.right() + 1, g.text.top()), band);

    group->SetAlignment(7);
    EXPECT_EQ(group->captionAlignment(), GroupCaptionLeft);
    group->SetAlignment(GroupCaptionCentre);
    EXPECT_EQ(group->captionAlignment(), GroupCaptionCentre);
    group->SetAlignment(-1);
    EXPECT_EQ(group->captionAlignment(), GroupCaptionLeft);
}

TEST_F(CCPGroupTest, EmptyTitleIsLookedUpAgainOnEveryPaint)
{
    group->setTitle(QString());
    group->SetFrameColor(0x0000FF);
    QImage img = grabGroup();
    EXPECT_TRUE(group->caption().isEmpty());
    EXPECT_EQ(img.pixel(100, 1), qRgb(255, 0, 0)); // frame top on the client's top edge

    group->setTitle(QStringLiteral("Port"));
    img = grabGroup();
    EXPECT_EQ(group->caption(), QStringLiteral(" Port "));
    EXPECT_EQ(img.pixel(expectedGeometry().text.left(), 1),
              colorFromRef(group->titleBackgroundColor()).rgb());

    // Once taken, the caption no longer follows the title.
    group->setTitle(QStringLiteral("Other"));
    grabGroup();
    EXPECT_EQ(group->caption(), QStringLiteral(" Port "));
}

TEST_F(CCPGroupTest, SetTitlePadsAndReplaces)
{
    group->SetTitle(QString());
    EXPECT_EQ(group->caption(), QStringLiteral("  "));
    grabGroup();
    EXPECT_EQ(group->caption(), QStringLiteral("  ")); // not replaced by the title
    group->SetTitle(QStringLiteral("Outputs"));
    EXPECT_EQ(group->caption(), QStringLiteral(" Outputs "));
}

TEST(CCPGroup, SetTitleNeedsAWindow)
{
    CCPGroup group(QStringLiteral("Title"));
    group.SetTitle(QStringLiteral("Lost"));
    EXPECT_TRUE(group.caption().isEmpty());
    group.resize(100, 50);
    group.show();
    group.SetTitle(QStringLiteral("Kept"));
    EXPECT_EQ(group.caption(), QStringLiteral(" Kept "));
}

TEST_F(CCPGroupTest, FrameAndBorderColourShareOneField)
{
    group->SetFrameColor(0x112233).SetBorderColor(0x445566);
    EXPECT_EQ(group->frameColor(), 0x445566u);
    group->SetBorderColor(0x778899).SetFrameColor(0xAABBCC);
    EXPECT_EQ(group->frameColor(), 0xAABBCCu);
    EXPECT_EQ(grabGroup().pixel(1, 60), colorFromRef(0xAABBCC).rgb());
}

TEST_F(CCPGroupTest, SettersRedrawImmediatelyAndOnlyOnChange)
{
    parent.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&parent));
    const int renders = group->renderCount();
    group->SetFrameColor(0x010203);
    EXPECT_EQ(group->renderCount(), renders + 1); // no event loop needed
    group->SetFrameColor(0x010203);
    group->SetTitleColor(group->captionColor());
    group->SetAlignment(GroupCaptionLeft);
    EXPECT_EQ(group->renderCount(), renders + 1);
    group->SetTitle(QStringLiteral("New"));
    EXPECT_EQ(group->renderCount(), renders + 2);

    // An ordinary repaint reuses the cached frame; a font change does not.
    group->repaint();
    EXPECT_EQ(group->renderCount(), renders + 2);
    QFont bigger = font;
    bigger.setPointSize(12);
    group->setFont(bigger);
    group->repaint();
    EXPECT_EQ(group->renderCount(), renders + 3);

    // Resized, the frame is laid out again and runs along the new edges.
    group->resize(150, 80);
    const QImage img = grabGroup();
    EXPECT_EQ(group->renderCount(), renders + 4);
    EXPECT_EQ(img.pixel(148, 40), colorFromRef(0x010203).rgb());
    EXPECT_EQ(img.pixel(75, 78), colorFromRef(0x010203).rgb());
}
