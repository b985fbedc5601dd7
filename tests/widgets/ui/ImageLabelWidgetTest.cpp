#include "widgets/ImageLabelWidget.h"
#include "widgets/ViewTransform.h"

#include <QApplication>
#include <QMouseEvent>
#include <QSettings>
#include <QTemporaryDir>
#include <QWheelEvent>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support/TestSupport.h"

namespace {

void settle()
{
    for (int i = 0; i < 5; ++i)
        QApplication::processEvents();
}

// A shown widget of a given size holding image.
struct Shown
{
    explicit Shown(QSize size, const cv::Mat& image = cv::Mat())
    {
        widget.resize(size);
        widget.show();
        if (!image.empty())
            widget.setImage(image);
        settle();
    }

    DefaultViewPort* view() const { return widget.viewPort(); }

    QImage grab()
    {
        settle();
        return view()->grab().toImage().convertToFormat(QImage::Format_RGB32);
    }

    ImageLabelWidget widget;
};

bool near(QColor a, QColor b, int tolerance)
{
    return std::max({std::abs(a.red() - b.red()), std::abs(a.green() - b.green()), std::abs(a.blue() - b.blue())})
        <= tolerance;
}

int countNear(const QImage& image, QRect region, QColor color, int tolerance)
{
    int n = 0;
    region = region.intersected(image.rect());
    for (int y = region.top(); y <= region.bottom(); ++y)
        for (int x = region.left(); x <= region.right(); ++x)
            n += near(image.pixelColor(x, y), color, tolerance) ? 1 : 0;
    return n;
}

QRect around(QPointF p, int radius)
{
    return QRect(int(p.x()) - radius, int(p.y()) - radius, 2 * radius + 1, 2 * radius + 1);
}

cv::Mat solid(int width, int height, cv::Scalar bgr)
{
    return cv::Mat(height, width, CV_8UC3, bgr);
}

struct MouseRecord
{
    int event = -1, x = -1, y = -1, flags = 0, calls = 0;
};

void recordMouse(int event, int x, int y, int flags, void* userData)
{
    auto* r = static_cast<MouseRecord*>(userData);
    *r = {event, x, y, flags, r->calls + 1};
}

void sendWheel(DefaultViewPort* view, QPointF pos, int angle, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    QWheelEvent wheel(pos, view->viewport()->mapToGlobal(pos), QPoint(), QPoint(0, angle), Qt::NoButton, modifiers,
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(view->viewport(), &wheel);
}

void sendMouse(DefaultViewPort* view, QEvent::Type type, QPointF pos, Qt::MouseButton button, Qt::MouseButtons buttons)
{
    QMouseEvent event(type, pos, view->viewport()->mapToGlobal(pos), button, buttons, Qt::NoModifier);
    QApplication::sendEvent(view->viewport(), &event);
}

const QColor kRed(255, 0, 0);
const QColor kBlack(0, 0, 0);
const QColor kWhite(255, 255, 255);

} // namespace

TEST(ImageLabelWidget, EmptyImageShowsGreyStrip)
{
    Shown s(QSize(300, 300), solid(50, 50, cv::Scalar(0, 0, 255)));
    s.widget.setImage(cv::Mat());
    settle();

    const cv::Mat stored = s.widget.image();
    ASSERT_EQ(stored.rows, 10);
    ASSERT_EQ(stored.cols, 100);
    EXPECT_EQ(stored.type(), CV_8UC1);
    EXPECT_EQ(cv::countNonZero(stored != 127), 0);

    // The view takes the strip's aspect ratio, centred.
    EXPECT_EQ(s.view()->size(), QSize(300, 30));
    EXPECT_EQ(s.view()->geometry().top(), 135);
    const QImage shot = s.grab();
    EXPECT_EQ(countNear(shot, shot.rect(), QColor(127, 127, 127), 0), shot.width() * shot.height());

    // The minimum size survives layout passes.
    s.widget.resize(20, 20);
    settle();
    EXPECT_EQ(s.widget.size(), QSize(100, 100));
}

TEST(ImageLabelWidget, ConvertsGreyBgrAndBgraToScreenColours)
{
    // Left half blue, right half red, in the library's BGR order.
    cv::Mat bgr = solid(40, 20, cv::Scalar(255, 0, 0));
    bgr.colRange(20, 40).setTo(cv::Scalar(0, 0, 255));
    Shown s(QSize(400, 200), bgr);
    QImage shot = s.grab();
    EXPECT_TRUE(near(shot.pixelColor(50, 100), QColor(0, 0, 255), 0));
    EXPECT_TRUE(near(shot.pixelColor(350, 100), kRed, 0));

    cv::Mat bgra(20, 40, CV_8UC4, cv::Scalar(0, 255, 0, 10));
    s.widget.setImage(bgra);
    shot = s.grab();
    EXPECT_TRUE(near(shot.pixelColor(200, 100), QColor(0, 255, 0), 0));

    s.widget.setImage(cv::Mat(20, 40, CV_8UC1, cv::Scalar(200)));
    shot = s.grab();
    EXPECT_TRUE(near(shot.pixelColor(200, 100), QColor(200, 200, 200), 0));

    // A type the view cannot show is mid-grey, never leftover memory.
    s.widget.setImage(cv::Mat(20, 40, CV_32FC2, cv::Scalar(0.3, 0.7)));
    shot = s.grab();
    EXPECT_EQ(countNear(shot, shot.rect(), QColor(127, 127, 127), 0), shot.width() * shot.height());
    // The stored copy is the caller's image, untouched.
    EXPECT_EQ(s.widget.image().type(), CV_32FC2);
}

TEST(ImageLabelWidget, FollowsTheImageAspectRatio)
{
    Shown s(QSize(400, 400), solid(200, 100, cv::Scalar::all(0)));
    EXPECT_EQ(s.view()->size(), QSize(400, 200));
    EXPECT_EQ(s.view()->pos(), QPoint(0, 100));
    EXPECT_FLOAT_EQ(s.view()->ratioX(), 2.0f);
    EXPECT_FLOAT_EQ(s.view()->ratioY(), 2.0f);

    s.widget.setImage(solid(100, 200, cv::Scalar::all(0)));
    settle();
    EXPECT_EQ(s.view()->size(), QSize(200, 400));
    EXPECT_EQ(s.view()->pos(), QPoint(100, 0));
    EXPECT_FLOAT_EQ(s.view()->ratioX(), 2.0f);

    s.widget.resize(200, 300);
    settle();
    EXPECT_EQ(s.view()->size(), QSize(150, 300));
    EXPECT_FLOAT_EQ(s.view()->ratioY(), 1.5f);
}

TEST(ImageLabelWidget, CirclesAndCrossesSitOnPixelCentres)
{
    // Ratio 4: image pixel (20, 10) is centred at (82, 42) on screen, r = 12.
    Shown s(QSize(400, 200), solid(100, 50, cv::Scalar::all(0)));
    const QPointF centre(82.0, 42.0);
    s.widget.setCircles({{20.0f, 10.0f}}, {OverlayColor(255, 0, 0)});
    QImage shot = s.grab();
    EXPECT_GT(countNear(shot, around(centre + QPointF(12, 0), 1), kRed, 40), 0);
    EXPECT_GT(countNear(shot, around(centre - QPointF(0, 12), 1), kRed, 40), 0);
    EXPECT_EQ(countNear(shot, around(centre, 5), kBlack, 0), 121); // no fill
    EXPECT_EQ(countNear(shot, QRect(0, 100, 400, 100), kRed, 100), 0);

    // Without colours the crosses are cyan, one pixel wide, half-length r.
    s.widget.setCrosses({{20.0f, 10.0f}});
    shot = s.grab();
    EXPECT_TRUE(near(shot.pixelColor(82, 42), QColor(0, 255, 255), 0));
    EXPECT_TRUE(near(shot.pixelColor(82 + 10, 42), QColor(0, 255, 255), 0));
    EXPECT_TRUE(near(shot.pixelColor(82, 42 - 10), QColor(0, 255, 255), 0));
    EXPECT_TRUE(near(shot.pixelColor(82 + 5, 42 + 5), kBlack, 0));

    s.widget.setCrosses({{60.0f, 30.0f}}, {OverlayColor(0, 255, 0)});
    shot = s.grab();
    EXPECT_TRUE(near(shot.pixelColor(242, 122), QColor(0, 255, 0), 0));
    EXPECT_FALSE(near(shot.pixelColor(82, 42), QColor(0, 255, 255), 0));

    // Zoomed in, the marks follow the pixel and grow with it.
    s.view()->setViewTransform(QTransform(2.0, 0.0, 0.0, 2.0, -100.0, -50.0));
    shot = s.grab();
    EXPECT_TRUE(near(shot.pixelColor(2 * 242 - 100, 2 * 122 - 50), QColor(0, 255, 0), 0));
    EXPECT_GT(countNear(shot, around(QPointF(2 * 82 - 100 + 24, 2 * 42 - 50), 1), kRed, 40), 0);

    // A new image drops every overlay; lists of different lengths are refused.
    s.widget.setImage(solid(100, 50, cv::Scalar::all(0)));
    s.view()->resetZoom();
    const std::vector<cv::Point2f> five{{10, 10}, {20, 10}, {30, 10}, {40, 10}, {50, 10}};
    const std::vector<OverlayColor> four(4, OverlayColor(255, 0, 0));
    s.widget.setCircles(five, four);
    s.widget.setCrosses(five, four);
    s.widget.setLines({cv::Vec4f(0, 0, 99, 49)}, {});
    EXPECT_FALSE(s.view()->hasActiveOverlays());
    shot = s.grab();
    EXPECT_EQ(countNear(shot, shot.rect(), kBlack, 0), shot.width() * shot.height());
}

TEST(ImageLabelWidget, LinesAxesAndLabelsDrawInTheirColours)
{
    Shown s(QSize(400, 200), solid(100, 50, cv::Scalar::all(0)));
    s.widget.setLines({cv::Vec4f(10, 40, 90, 40)}, {OverlayColor(0, 0, 255)});
    QImage shot = s.grab();
    // y = 40.5 * 4 = 162, from x = 42 to 362.
    EXPECT_GT(countNear(shot, QRect(150, 160, 1, 5), QColor(0, 0, 255), 30), 0);
    EXPECT_EQ(countNear(shot, QRect(0, 0, 400, 150), QColor(0, 0, 255), 100), 0);

    s.widget.setAxes({10, 10}, {40, 10}, {10, 30}, 4.0f);
    shot = s.grab();
    // Marker axis from (42, 42) to (162, 42); "X" near the x end.
    EXPECT_GT(countNear(shot, QRect(100, 40, 1, 5), QColor(255, 0, 255), 30), 0);
    EXPECT_GT(countNear(shot, QRect(163, 20, 20, 18), QColor(255, 0, 255), 60), 0);

    s.widget.setLabels({{70, 20}}, {QStringLiteral("W")}, {5.0f}, {OverlayColor(255, 255, 0)});
    shot = s.grab();
    // Text of 20 px just right of and above (282, 82).
    EXPECT_GT(countNear(shot, QRect(282, 55, 30, 30), QColor(255, 255, 0), 60), 3);
}

TEST(ImageLabelWidget, ImageWithOverlaysKeepsEarlierOverlays)
{
    Shown s(QSize(400, 200), solid(100, 50, cv::Scalar::all(0)));
    s.widget.setLines({cv::Vec4f(10, 40, 90, 40)}, {OverlayColor(0, 0, 255)});

    // An empty image keeps the stored one; circles and crosses are added.
    s.widget.setImageWithOverlays(cv::Mat(), {{20.0f, 10.0f}}, {OverlayColor(255, 0, 0)}, {{60.0f, 30.0f}});
    QImage shot = s.grab();
    EXPECT_EQ(s.widget.image().cols, 100);
    EXPECT_GT(countNear(shot, around(QPointF(94, 42), 1), kRed, 40), 0);
    EXPECT_TRUE(near(shot.pixelColor(242, 122), QColor(0, 255, 255), 0));
    EXPECT_GT(countNear(shot, QRect(150, 160, 1, 5), QColor(0, 0, 255), 30), 0);

    // A new image replaces the stored one without touching the overlays.
    s.widget.setImageWithOverlays(solid(100, 50, cv::Scalar::all(255)), {}, {}, {});
    shot = s.grab();
    EXPECT_EQ(cv::countNonZero(s.widget.image().reshape(1) != 255), 0);
    EXPECT_TRUE(near(shot.pixelColor(10, 10), kWhite, 0));
    EXPECT_TRUE(near(shot.pixelColor(242, 122), QColor(0, 255, 255), 0));
}

TEST(ImageLabelWidget, PixelGridAtScaleThirtyAndOverviewWhenZoomed)
{
    // Shown at its own size: ratio 1.
    Shown s(QSize(200, 100), solid(200, 100, cv::Scalar::all(255)));
    ASSERT_EQ(s.view()->size(), QSize(200, 100));
    QImage shot = s.grab();
    EXPECT_EQ(countNear(shot, shot.rect(), kWhite, 0), 200 * 100);

    s.view()->imgRegion();
    EXPECT_NEAR(s.view()->scale(), 30.0, 1e-9);
    shot = s.grab();
    const vantiro::view::PixelGrid grid =
        vantiro::view::pixelGrid(s.view()->size(), s.view()->viewTransform(), s.view()->ratioX(), s.view()->ratioY());
    ASSERT_GE(grid.xs.size(), 6u);
    ASSERT_GE(grid.ys.size(), 3u);
    // Below the overview box (50 high), every vertical border is a black line,
    // the pixel interiors stay white.
    const int y = int(grid.ys.back()) + 5;
    ASSERT_GT(y, 55);
    for (double x : grid.xs)
    {
        EXPECT_TRUE(near(shot.pixelColor(int(x), y), kBlack, 0)) << x;
        if (x + 15 < 200)
        {
            EXPECT_TRUE(near(shot.pixelColor(int(x) + 15, y), kWhite, 0)) << x;
        }
    }
    EXPECT_TRUE(near(shot.pixelColor(int(grid.xs[0]) + 10, int(grid.ys.back())), kBlack, 0));

    // The overview: green outline of a 100 x 50 box at the top right, darkened inside,
    // the visible part outlined in dark blue.
    const QColor green(0, 255, 0);
    EXPECT_GT(countNear(shot, QRect(98, 30, 3, 1), green, 0), 0);
    EXPECT_GT(countNear(shot, QRect(197, 30, 3, 1), green, 0), 0);
    EXPECT_GT(countNear(shot, QRect(150, 48, 1, 4), green, 0), 0);
    EXPECT_EQ(countNear(shot, QRect(0, 0, 95, 100), green, 60), 0);
    const vantiro::view::Overview o =
        vantiro::view::overview(s.view()->size(), s.view()->scale(), s.view()->coveredRect());
    EXPECT_GT(countNear(shot, around(o.visible.center(), 3), QColor(0, 0, 128), 0), 0);
    EXPECT_GT(countNear(shot, QRect(101, 2, 96, 46), QColor(128, 128, 128), 2), 100);

    s.view()->resetZoom();
    shot = s.grab();
    EXPECT_EQ(countNear(shot, shot.rect(), kWhite, 0), 200 * 100);

    // Just above 1 the overview shows, the grid does not.
    s.view()->ZoomIn();
    shot = s.grab();
    EXPECT_GT(countNear(shot, QRect(98, 30, 3, 1), green, 0), 0);
    EXPECT_EQ(countNear(shot, QRect(0, 60, 90, 40), kBlack, 0), 0);
}

TEST(ImageLabelWidget, WheelZoomsAroundTheCursorAndReportsTheEvent)
{
    Shown s(QSize(400, 200), solid(100, 50, cv::Scalar::all(0)));
    MouseRecord record;
    s.view()->setMouseCallback(&recordMouse, &record);

    sendWheel(s.view(), QPointF(300.0, 60.0), 120, Qt::ControlModifier);
    EXPECT_EQ(record.event, 10);
    EXPECT_EQ(record.x, 75);
    EXPECT_EQ(record.y, 15);
    EXPECT_EQ(record.flags, 8 + (120 << 16));
    EXPECT_NEAR(s.view()->scale(), 1.2, 1e-12);
    // The image point under the cursor stays there.
    const QPointF back = s.view()->viewTransform().map(QPointF(300.0, 60.0));
    EXPECT_NEAR(back.x(), 300.0, 1e-9);
    EXPECT_NEAR(back.y(), 60.0, 1e-9);

    // Out twice: lands on 1, then nothing more, but the event is still reported.
    sendWheel(s.view(), QPointF(300.0, 60.0), -120);
    EXPECT_EQ(s.view()->scale(), 1.0);
    sendWheel(s.view(), QPointF(10.0, 10.0), -120);
    EXPECT_EQ(s.view()->scale(), 1.0);
    EXPECT_EQ(record.calls, 3);
    EXPECT_EQ(record.flags >> 16, -120);

    // Far in: capped just above 100.
    for (int i = 0; i < 40; ++i)
        sendWheel(s.view(), QPointF(399.0, 199.0), 120);
    EXPECT_GT(s.view()->scale(), 100.0);
    EXPECT_LT(s.view()->scale(), 121.0);
    const QRect covered = s.view()->coveredRect();
    EXPECT_LE(covered.left(), 0);
    EXPECT_GE(covered.right(), 400);
    EXPECT_GE(covered.bottom(), 200);
}

TEST(ImageLabelWidget, MouseReportsImageCoordinatesAndDragPans)
{
    Shown s(QSize(400, 200), solid(100, 50, cv::Scalar::all(0)));
    std::vector<QPoint> sent;
    QObject::connect(&s.widget, &ImageLabelWidget::sendMouseCoord, [&sent](QPoint p) { sent.push_back(p); });

    sendMouse(s.view(), QEvent::MouseMove, QPointF(41.0, 83.0), Qt::NoButton, Qt::NoButton);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], QPoint(10, 20));
    EXPECT_EQ(s.view()->lastMouseImagePosition(), QPointF(10.25, 20.75));

    // Zoomed 4x at the top left, screen (41, 83) shows image pixel (2, 5).
    s.view()->setViewTransform(QTransform(4.0, 0.0, 0.0, 4.0, 0.0, 0.0));
    sendMouse(s.view(), QEvent::MouseMove, QPointF(41.0, 83.0), Qt::NoButton, Qt::NoButton);
    EXPECT_EQ(sent.back(), QPoint(2, 5));

    // Dragging left by 30 and up by 20 screen pixels moves the image with the mouse.
    sendMouse(s.view(), QEvent::MouseButtonPress, QPointF(200.0, 100.0), Qt::LeftButton, Qt::LeftButton);
    sendMouse(s.view(), QEvent::MouseMove, QPointF(170.0, 80.0), Qt::NoButton, Qt::LeftButton);
    sendMouse(s.view(), QEvent::MouseButtonRelease, QPointF(170.0, 80.0), Qt::LeftButton, Qt::NoButton);
    EXPECT_DOUBLE_EQ(s.view()->viewTransform().dx(), -30.0);
    EXPECT_DOUBLE_EQ(s.view()->viewTransform().dy(), -20.0);

    // Dragging back past the edge stops at the edge.
    sendMouse(s.view(), QEvent::MouseButtonPress, QPointF(100.0, 100.0), Qt::LeftButton, Qt::LeftButton);
    sendMouse(s.view(), QEvent::MouseMove, QPointF(300.0, 150.0), Qt::NoButton, Qt::LeftButton);
    sendMouse(s.view(), QEvent::MouseButtonRelease, QPointF(300.0, 150.0), Qt::LeftButton, Qt::NoButton);
    EXPECT_DOUBLE_EQ(s.view()->viewTransform().dx(), 0.0);
    EXPECT_DOUBLE_EQ(s.view()->viewTransform().dy(), 0.0);
}

TEST(ImageLabelWidget, SettingsRoundTripAndDamagedValues)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString file = vantiro::test::pathIn(dir, QStringLiteral("view.ini"));
    auto inGroup = [&file](const char* group) {
        auto settings = std::make_unique<QSettings>(file, QSettings::IniFormat);
        settings->beginGroup(QLatin1String(group));
        return settings;
    };
    Shown a(QSize(400, 200), solid(100, 50, cv::Scalar::all(0)));
    a.view()->imgRegion();
    a.view()->siftWindowOnLeft();
    const QTransform zoomed = a.view()->viewTransform();
    a.widget.writeSettings(*inGroup("Intrinsics"));

    auto written = inGroup("Intrinsics");
    QStringList keys = written->childKeys();
    keys.sort();
    EXPECT_EQ(keys, (QStringList{"matrix_view.m11", "matrix_view.m12", "matrix_view.m13", "matrix_view.m21",
                                 "matrix_view.m22", "matrix_view.m23", "matrix_view.m31", "matrix_view.m32",
                                 "matrix_view.m33"}));
    EXPECT_DOUBLE_EQ(written->value(QStringLiteral("matrix_view.m11")).toDouble(), 30.0);
    EXPECT_DOUBLE_EQ(written->value(QStringLiteral("matrix_view.m31")).toDouble(), zoomed.dx());

    Shown b(QSize(400, 200), solid(100, 50, cv::Scalar::all(0)));
    b.widget.readSettings(*inGroup("Intrinsics"));
    EXPECT_EQ(b.view()->viewTransform(), zoomed);
    // Missing keys keep the current value.
    b.widget.readSettings(*inGroup("Nothing"));
    EXPECT_EQ(b.view()->viewTransform(), zoomed);

    // A damaged file changes nothing.
    written->setValue(QStringLiteral("matrix_view.m11"), QStringLiteral("abc"));
    b.view()->resetZoom();
    b.widget.readSettings(*written);
    EXPECT_EQ(b.view()->viewTransform(), QTransform());
}

TEST(ImageLabelWidget, StoredImageIsReplacedUnderTheLock)
{
    Shown s(QSize(200, 200));
    const cv::Mat small(10, 20, CV_8UC1, cv::Scalar(1));
    const cv::Mat large(40, 30, CV_8UC1, cv::Scalar(2));
    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::atomic<int> reads{0};
    std::thread reader([&] {
        while (!done)
        {
            const cv::Mat m = s.widget.image();
            ++reads;
            if (m.empty())
                continue;
            const bool ok = (m.rows == 10 && cv::countNonZero(m != 1) == 0)
                || (m.rows == 40 && cv::countNonZero(m != 2) == 0);
            if (!ok)
                ++torn;
        }
    });
    // Until the reader has seen plenty of replacements.
    for (int i = 0; i < 400 || (reads < 20000 && i < 2000000); ++i)
        s.widget.setImage(i % 2 ? large : small);
    done = true;
    reader.join();
    EXPECT_EQ(torn, 0);
    EXPECT_GE(reads, 20000);
}
