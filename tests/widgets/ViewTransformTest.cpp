#include "widgets/ViewTransform.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace vantiro::view;

namespace {

const QSize kView(400, 300);

QTransform scaled(double s, double dx = 0.0, double dy = 0.0)
{
    return QTransform(s, 0.0, 0.0, s, dx, dy);
}

// The image covers [0, view] unzoomed; on screen it must cover the whole view.
void expectNoMargins(const QTransform& t, const std::string& where)
{
    const QPointF tl = t.map(QPointF(0.0, 0.0));
    const QPointF br = t.map(QPointF(kView.width(), kView.height()));
    EXPECT_TRUE(tl.x() <= 1e-9 && tl.y() <= 1e-9) << where;
    EXPECT_TRUE(br.x() >= kView.width() - 1e-9 && br.y() >= kView.height() - 1e-9) << where;
}

} // namespace

TEST(ViewZoom, StepsStayBetweenScaleOneAndOneHundred)
{
    // expected: the scale afterwards, 0 when the step is refused.
    auto check = [](const char* name, const QTransform& start, double step, QPoint cursor, double expected) {
        QTransform t = start;
        ASSERT_EQ(zoom(t, step, cursor, kView), expected > 0.0) << name;
        EXPECT_TRUE(expected > 0.0 || t == start) << name;
        if (expected == 0.0)
            return;
        // Scale 1 must be exact, or the next step out would not be refused.
        if (expected == 1.0)
            EXPECT_EQ(t, QTransform()) << name;
        else
            EXPECT_NEAR(t.m11(), expected, 1e-9) << name;
        EXPECT_TRUE(isValidViewTransform(t)) << name;
        expectNoMargins(t, name);
    };
    check("out at 1", QTransform(), -1.0, {200, 150}, 0.0);
    check("out from 1.05 lands exactly on 1", scaled(1.05, -10.0, -5.0), -1.0, {390, 290}, 1.0);
    // 49 * (1 / 49) is not 1 in floating point.
    check("far out from 49 lands on 1", scaled(49.0, -1000.0, -700.0), -50.0, {10, 10}, 1.0);
    check("in above 100", scaled(101.0, -20000.0, -15000.0), 1.0, {200, 150}, 0.0);
    check("out above 100", scaled(101.0, -20000.0, -15000.0), -1.0, {200, 150}, 101.0 * 0.8);
    check("in at exactly 100", scaled(100.0, -20000.0, -15000.0), 1.0, {200, 150}, 120.0);

    // Away from the borders the unzoomed point under the cursor, (225, 160), stays under it.
    QTransform t = scaled(2.0, -300.0, -200.0);
    zoom(t, 1.0, QPoint(150, 120), kView);
    EXPECT_NEAR(QLineF(t.map(QPointF(225.0, 160.0)), QPointF(150.0, 120.0)).length(), 0.0, 1e-9);

    // imgRegion: straight to scale 30 from any scale.
    for (double s : {1.0, 1.1, 2.5, 29.0, 30.0, 45.0, 100.0, 118.0})
    {
        t = scaled(s);
        ASSERT_TRUE(zoom(t, gridZoomStep(s), QPoint(kView.width() / 2, kView.height() / 2), kView)) << s;
        EXPECT_NEAR(t.m11(), kGridScale, 1e-9) << s;
    }
}

TEST(ViewKeepInPlace, ClampsExactlyOntoTheBordersAndPansTwoPercent)
{
    // Dragged too far left and up: the right and bottom edges land exactly on the view border;
    // the covered rectangle is the image's on screen.
    QTransform t = scaled(3.0, -5000.0, -5000.0);
    EXPECT_EQ(keepInPlace(t, kView), QRect(QPoint(-800, -600), QPoint(400, 300)));
    EXPECT_EQ(t, scaled(3.0, -800.0, -600.0));

    // Each pan moves 2 % of the 400 x 300 view on screen; at scale 1 there is nothing to pan to.
    const std::tuple<PanDirection, double, double> pans[] = {
        {PanDirection::Left, 8.0, 0.0}, {PanDirection::Right, -8.0, 0.0},
        {PanDirection::Up, 0.0, 6.0}, {PanDirection::Down, 0.0, -6.0}};
    for (const auto& [direction, dx, dy] : pans)
    {
        QTransform moved = scaled(4.0, -600.0, -450.0), one;
        pan(moved, kView, direction);
        EXPECT_NEAR(moved.dx(), -600.0 + dx, 1e-4) << int(direction);
        EXPECT_NEAR(moved.dy(), -450.0 + dy, 1e-4) << int(direction);
        pan(one, kView, direction);
        EXPECT_EQ(one, QTransform()) << int(direction);
    }
    // Panning on at the far corner shows no margin.
    t = scaled(2.0, -400.0, -300.0);
    pan(t, kView, PanDirection::Right);
    pan(t, kView, PanDirection::Down);
    EXPECT_EQ(t, scaled(2.0, -400.0, -300.0));
}

TEST(ViewGrid, GridOverviewAndPlausibleTransforms)
{
    // The grid needs 30 screen pixels per image pixel in both directions.
    const PixelGrid below = pixelGrid(QSize(200, 100), scaled(29.9), 1.0, 1.0);
    EXPECT_TRUE(below.xs.empty() && below.ys.empty());
    EXPECT_TRUE(pixelGrid(QSize(200, 100), scaled(30.0), 1.0, 0.9).xs.empty());
    // A tiny image blown up to the view shows its grid without zooming.
    const PixelGrid big = pixelGrid(QSize(400, 400), QTransform(), 40.0, 40.0);
    EXPECT_EQ(big.xs.size(), 10u);
    EXPECT_DOUBLE_EQ(big.xs[1], 40.0);

    // Overview zoomed 2x and scrolled fully to the right and bottom; a portrait view's box is 100 high.
    const Overview o = overview(QSize(400, 200), 2.0, QRect(QPoint(-400, -200), QPoint(400, 200)));
    EXPECT_DOUBLE_EQ(o.visible.x(), 299.0 + 400.0 * 0.5 * 0.25);
    EXPECT_DOUBLE_EQ(o.visible.y(), 200.0 * 0.5 * 0.25);
    EXPECT_DOUBLE_EQ(o.visible.width(), 99.0 / 2.0);
    EXPECT_DOUBLE_EQ(o.visible.height(), 49.0 / 2.0);
    const Overview p = overview(QSize(100, 300), 4.0, QRect(QPoint(0, 0), QPoint(400, 1200)));
    EXPECT_EQ(p.box.size(), QSize(33, 100));
    EXPECT_DOUBLE_EQ(p.visible.x(), 100.0 - 33.0 - 1.0);
    EXPECT_DOUBLE_EQ(p.visible.y(), 0.0);

    // Only transforms this view can have produced are taken from a settings file.
    EXPECT_TRUE(isValidViewTransform(QTransform()) && isValidViewTransform(scaled(30.0, -1000.0, -200.0)));
    for (const QTransform& bad : {scaled(0.5), QTransform(2.0, 0.0, 0.0, 3.0, 0.0, 0.0),
                                  QTransform(2.0, 0.5, 0.0, 2.0, 0.0, 0.0), scaled(2.0, std::nan(""), 0.0),
                                  scaled(kMaxValidScale * 2.0)})
        EXPECT_FALSE(isValidViewTransform(bad)) << bad.m11() << " " << bad.m12() << " " << bad.m22();
}
