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
void expectNoMargins(const QTransform& t, QSize view)
{
    const QPointF tl = t.map(QPointF(0.0, 0.0));
    const QPointF br = t.map(QPointF(view.width(), view.height()));
    EXPECT_LE(tl.x(), 1e-9);
    EXPECT_LE(tl.y(), 1e-9);
    EXPECT_GE(br.x(), view.width() - 1e-9);
    EXPECT_GE(br.y(), view.height() - 1e-9);
}

} // namespace

TEST(ViewZoom, NeverBelowScaleOne)
{
    QTransform t;
    EXPECT_FALSE(zoom(t, -1.0, QPoint(200, 150), kView));
    EXPECT_EQ(t, QTransform());
    EXPECT_FALSE(zoomFactor(1.0, -0.5).has_value());

    // From 1.05 one step out lands exactly on 1, keeping the image in place.
    t = scaled(1.05, -10.0, -5.0);
    ASSERT_TRUE(zoom(t, -1.0, QPoint(390, 290), kView));
    EXPECT_EQ(t.m11(), 1.0);
    EXPECT_EQ(t.m22(), 1.0);
    EXPECT_EQ(t.dx(), 0.0);
    EXPECT_EQ(t.dy(), 0.0);

    // A huge step out lands on 1 as well, never on 0 or below.
    t = scaled(49.0, -1000.0, -700.0); // 49 * (1 / 49) is not 1 in floating point
    ASSERT_TRUE(zoom(t, -50.0, QPoint(10, 10), kView));
    EXPECT_EQ(t.m11(), 1.0);
    expectNoMargins(t, kView);
}

TEST(ViewZoom, CappedAboveOneHundred)
{
    QTransform t = scaled(101.0, -20000.0, -15000.0);
    const QTransform before = t;
    EXPECT_FALSE(zoom(t, 1.0, QPoint(200, 150), kView));
    EXPECT_EQ(t, before);

    ASSERT_TRUE(zoom(t, -1.0, QPoint(200, 150), kView));
    EXPECT_NEAR(t.m11(), 101.0 * 0.8, 1e-9);

    // At exactly 100 one more step in is still taken.
    t = scaled(100.0, -20000.0, -15000.0);
    ASSERT_TRUE(zoom(t, 1.0, QPoint(200, 150), kView));
    EXPECT_NEAR(t.m11(), 120.0, 1e-9);
}

TEST(ViewZoom, KeepsThePointUnderTheCursor)
{
    QTransform t = scaled(2.0, -300.0, -200.0);
    const QPoint cursor(150, 120);
    const QPointF under = t.inverted().map(QPointF(cursor));
    ASSERT_TRUE(zoom(t, 1.0, cursor, kView));
    EXPECT_NEAR(t.m11(), 2.4, 1e-12);
    const QPointF after = t.map(under);
    EXPECT_NEAR(after.x(), cursor.x(), 1e-9);
    EXPECT_NEAR(after.y(), cursor.y(), 1e-9);
}

TEST(ViewZoom, ImgRegionGoesToThirtyFromAnyScale)
{
    for (double s : {1.0, 1.1, 2.5, 29.0, 30.0, 45.0, 100.0, 118.0})
    {
        QTransform t = scaled(s);
        keepInPlace(t, kView);
        ASSERT_TRUE(zoom(t, gridZoomStep(s), QPoint(kView.width() / 2, kView.height() / 2), kView)) << s;
        EXPECT_NEAR(t.m11(), kGridScale, 1e-9) << s;
        expectNoMargins(t, kView);
    }
}

TEST(ViewKeepInPlace, ClampsExactlyOntoTheBorders)
{
    // Dragged too far right and down: the left and top edges land on 0.
    QTransform t = scaled(3.0, 50.0, 20.0);
    QRect covered = keepInPlace(t, kView);
    EXPECT_DOUBLE_EQ(t.dx(), 0.0);
    EXPECT_DOUBLE_EQ(t.dy(), 0.0);
    EXPECT_EQ(covered.topLeft(), QPoint(0, 0));
    EXPECT_EQ(covered.bottomRight(), QPoint(1200, 900));

    // Too far left and up: the right and bottom edges land on the view border.
    t = scaled(3.0, -5000.0, -5000.0);
    covered = keepInPlace(t, kView);
    EXPECT_DOUBLE_EQ(t.dx(), -800.0);
    EXPECT_DOUBLE_EQ(t.dy(), -600.0);
    EXPECT_EQ(covered.topLeft(), QPoint(-800, -600));
    EXPECT_EQ(covered.bottomRight(), QPoint(400, 300));

    // Inside the allowed range nothing moves.
    t = scaled(3.0, -123.5, -77.25);
    keepInPlace(t, kView);
    EXPECT_DOUBLE_EQ(t.dx(), -123.5);
    EXPECT_DOUBLE_EQ(t.dy(), -77.25);
}

TEST(ViewPan, MovesTwoPercentOfTheViewAndStopsAtEdges)
{
    QTransform t = scaled(4.0, -600.0, -450.0);
    pan(t, kView, PanDirection::Left);
    EXPECT_NEAR(t.dx(), -600.0 + 8.0, 1e-4); // 2 % of 400 on screen
    pan(t, kView, PanDirection::Right);
    EXPECT_NEAR(t.dx(), -600.0, 1e-4);
    pan(t, kView, PanDirection::Up);
    EXPECT_NEAR(t.dy(), -450.0 + 6.0, 1e-4);
    pan(t, kView, PanDirection::Down);
    EXPECT_NEAR(t.dy(), -450.0, 1e-4);

    // At scale 1 there is nothing to pan to.
    QTransform one;
    for (PanDirection d : {PanDirection::Left, PanDirection::Right, PanDirection::Up, PanDirection::Down})
    {
        pan(one, kView, d);
        EXPECT_EQ(one, QTransform());
    }

    // Panning left from the left edge and right from the right edge shows no margin.
    t = scaled(2.0, -2.0, 0.0);
    for (int i = 0; i < 10; ++i)
        pan(t, kView, PanDirection::Left);
    EXPECT_DOUBLE_EQ(t.dx(), 0.0);
    t = scaled(2.0, -395.0, -295.0);
    for (int i = 0; i < 10; ++i)
    {
        pan(t, kView, PanDirection::Right);
        pan(t, kView, PanDirection::Down);
        expectNoMargins(t, kView);
    }
    EXPECT_DOUBLE_EQ(t.dx(), -400.0);
    EXPECT_DOUBLE_EQ(t.dy(), -300.0);
}

TEST(ViewGrid, AppearsAtThirtyScreenPixelsPerImagePixel)
{
    const QSize view(200, 100);
    EXPECT_TRUE(pixelGrid(view, scaled(29.9), 1.0, 1.0).xs.empty());
    EXPECT_TRUE(pixelGrid(view, scaled(29.9), 1.0, 1.0).ys.empty());
    // Both directions must reach the threshold.
    EXPECT_TRUE(pixelGrid(view, scaled(30.0), 1.0, 0.9).xs.empty());

    const PixelGrid grid = pixelGrid(view, scaled(30.0, -45.0, -20.0), 1.0, 1.0);
    ASSERT_EQ(grid.xs.size(), 7u); // borders at 15, 45, ..., 195
    EXPECT_DOUBLE_EQ(grid.xs.front(), 15.0);
    EXPECT_DOUBLE_EQ(grid.xs.back(), 195.0);
    ASSERT_EQ(grid.ys.size(), 3u); // 10, 40, 70; 100 is outside
    EXPECT_DOUBLE_EQ(grid.ys.front(), 10.0);
    EXPECT_DOUBLE_EQ(grid.ys.back(), 70.0);

    // A tiny image blown up to the view shows its grid without zooming.
    const PixelGrid big = pixelGrid(QSize(400, 400), QTransform(), 40.0, 40.0);
    EXPECT_EQ(big.xs.size(), 10u);
    EXPECT_DOUBLE_EQ(big.xs[1], 40.0);
}

TEST(ViewOverview, BoxAndVisibleWindow)
{
    const QSize view(400, 200);
    // Zoomed 2x and scrolled fully to the right and bottom.
    const Overview o = overview(view, 2.0, QRect(QPoint(-400, -200), QPoint(400, 200)));
    EXPECT_EQ(o.box, QRect(299, 0, 100, 50));
    EXPECT_DOUBLE_EQ(o.visible.x(), 299.0 + 400.0 * 0.5 * 0.25);
    EXPECT_DOUBLE_EQ(o.visible.y(), 200.0 * 0.5 * 0.25);
    EXPECT_DOUBLE_EQ(o.visible.width(), 99.0 / 2.0);
    EXPECT_DOUBLE_EQ(o.visible.height(), 49.0 / 2.0);

    // Portrait view: the box is 100 high.
    const Overview p = overview(QSize(100, 300), 4.0, QRect(QPoint(0, 0), QPoint(400, 1200)));
    EXPECT_EQ(p.box.size(), QSize(33, 100));
    EXPECT_DOUBLE_EQ(p.visible.x(), 100.0 - 33.0 - 1.0);
    EXPECT_DOUBLE_EQ(p.visible.y(), 0.0);
}

TEST(ViewSettings, OnlyPlausibleTransformsAreAccepted)
{
    EXPECT_TRUE(isValidViewTransform(QTransform()));
    EXPECT_TRUE(isValidViewTransform(scaled(30.0, -1000.0, -200.0)));
    EXPECT_FALSE(isValidViewTransform(scaled(0.5)));
    EXPECT_FALSE(isValidViewTransform(QTransform(2.0, 0.0, 0.0, 3.0, 0.0, 0.0)));
    EXPECT_FALSE(isValidViewTransform(QTransform(2.0, 0.5, 0.0, 2.0, 0.0, 0.0)));
    EXPECT_FALSE(isValidViewTransform(scaled(2.0, std::nan(""), 0.0)));
    EXPECT_FALSE(isValidViewTransform(scaled(kMaxValidScale * 2.0)));
}

