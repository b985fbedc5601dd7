#include "widgets/ImageLabelWidget.h"

#include <QApplication>
#include <QMouseEvent>
#include <QSettings>
#include <QTemporaryDir>
#include <QWheelEvent>
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <thread>

namespace {

const QRgb kRed = qRgb(255, 0, 0), kGreen = qRgb(0, 255, 0), kBlue = qRgb(0, 0, 255), kCyan = qRgb(0, 255, 255);
const QRgb kBlack = qRgb(0, 0, 0), kWhite = qRgb(255, 255, 255), kGrey = qRgb(127, 127, 127);

void settle()
{
    for (int i = 0; i < 5; ++i)
        QApplication::processEvents();
}

// A shown widget of a given size holding a solid BGR image.
struct Shown
{
    Shown(QSize size, QSize imageSize, cv::Scalar bgr = cv::Scalar::all(0))
    {
        widget.resize(size);
        widget.show();
        widget.setImage(cv::Mat(imageSize.height(), imageSize.width(), CV_8UC3, bgr));
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

// Pixels of region whose colour channels all lie within tolerance of color.
int countNear(const QImage& image, QRect region, QColor color, int tolerance)
{
    int n = 0;
    region &= image.rect();
    for (int y = region.top(); y <= region.bottom(); ++y)
        for (int x = region.left(); x <= region.right(); ++x)
        {
            const QColor c = image.pixelColor(x, y);
            n += std::max({std::abs(c.red() - color.red()), std::abs(c.green() - color.green()),
                           std::abs(c.blue() - color.blue())}) <= tolerance;
        }
    return n;
}

bool uniform(const QImage& image, QRgb color)
{
    return countNear(image, image.rect(), color, 0) == image.width() * image.height();
}

void sendMouse(DefaultViewPort* view, QEvent::Type type, QPointF pos, Qt::MouseButton button, Qt::MouseButtons buttons)
{
    QMouseEvent event(type, pos, view->viewport()->mapToGlobal(pos), button, buttons, Qt::NoModifier);
    QApplication::sendEvent(view->viewport(), &event);
}

void drag(DefaultViewPort* view, QPointF from, QPointF to)
{
    sendMouse(view, QEvent::MouseButtonPress, from, Qt::LeftButton, Qt::LeftButton);
    sendMouse(view, QEvent::MouseMove, to, Qt::NoButton, Qt::LeftButton);
    sendMouse(view, QEvent::MouseButtonRelease, to, Qt::LeftButton, Qt::NoButton);
}

void sendWheel(DefaultViewPort* view, QPointF pos, int angle, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    QWheelEvent wheel(pos, view->viewport()->mapToGlobal(pos), QPoint(), QPoint(0, angle), Qt::NoButton, modifiers,
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(view->viewport(), &wheel);
}

} // namespace

TEST(ImageLabelWidget, ShowsImagesInScreenColoursAtTheirAspectRatioAndGuardsTheCopy)
{
    // The library's BGR and BGRA (blue here) become the screen's RGB; a type the view cannot show is
    // mid-grey, never leftover memory. The stored copy stays as given; the view keeps the aspect ratio.
    Shown s(QSize(400, 400), QSize(40, 20));
    const std::pair<cv::Mat, QRgb> cases[] = {{cv::Mat(20, 40, CV_8UC3, cv::Scalar(255, 0, 0)), kBlue},
                                              {cv::Mat(20, 40, CV_8UC4, cv::Scalar(255, 0, 0, 10)), kBlue},
                                              {cv::Mat(20, 40, CV_8UC1, cv::Scalar(200)), qRgb(200, 200, 200)},
                                              {cv::Mat(20, 40, CV_32FC2, cv::Scalar(0.3, 0.7)), kGrey}};
    for (const auto& [image, colour] : cases)
    {
        s.widget.setImage(image);
        EXPECT_TRUE(uniform(s.grab(), colour)) << image.type();
        EXPECT_EQ(s.widget.image().type(), image.type());
        EXPECT_EQ(s.view()->geometry(), QRect(0, 100, 400, 200));
    }

    // Portrait in a resized widget: centred across, the ratios follow the new size.
    s.widget.setImage(cv::Mat(200, 100, CV_8UC3, cv::Scalar::all(0)));
    s.widget.resize(200, 300);
    settle();
    EXPECT_EQ(s.view()->geometry(), QRect(25, 0, 150, 300));
    EXPECT_EQ(QPointF(s.view()->ratioX(), s.view()->ratioY()), QPointF(1.5, 1.5));

    // An empty image shows a 10 x 100 mid-grey strip; the minimum size survives layout passes.
    s.widget.setImage(cv::Mat());
    EXPECT_TRUE(uniform(s.grab(), kGrey));
    EXPECT_EQ(cv::norm(s.widget.image(), cv::Mat(10, 100, CV_8UC1, cv::Scalar(127)), cv::NORM_INF), 0.0);
    s.widget.resize(20, 20);
    settle();
    EXPECT_EQ(s.widget.size(), QSize(100, 100));

    // The stored image is replaced and copied only under the lock: a reader never sees a torn one.
    const cv::Mat small(10, 20, CV_8UC1, cv::Scalar(1)), large(40, 30, CV_8UC1, cv::Scalar(2));
    s.widget.setImage(small);
    std::atomic<bool> done{false};
    std::atomic<int> torn{0}, reads{0};
    std::thread reader([&] {
        for (; !done; ++reads)
        {
            const cv::Mat m = s.widget.image();
            torn += !(m.rows == 10 && cv::countNonZero(m != 1) == 0) && !(m.rows == 40 && cv::countNonZero(m != 2) == 0);
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

TEST(ImageLabelWidget, OverlaysAndMouseWorkInImagePixels)
{
    // Ratio 4: image pixel (x, y) is centred at (4x + 2, 4y + 2) on screen; r = 12.
    Shown s(QSize(400, 200), QSize(100, 50));
    s.widget.setLines({cv::Vec4f(10, 40, 90, 40)}, {OverlayColor(0, 0, 255)});
    s.widget.setAxes({10, 10}, {40, 10}, {10, 30}, 4.0f);
    s.widget.setLabels({{70, 20}}, {QStringLiteral("W")}, {5.0f}, {OverlayColor(255, 255, 0)});
    // An empty image keeps the stored one; circles and cyan crosses join the overlays set before.
    s.widget.setImageWithOverlays(cv::Mat(), {{20.0f, 20.0f}}, {OverlayColor(255, 0, 0)}, {{60.0f, 30.0f}});
    QImage shot = s.grab();
    EXPECT_EQ(s.widget.image().cols, 100);
    // The circle around (82, 82): unfilled, drawn at radius 12.
    EXPECT_GT(countNear(shot, QRect(93, 81, 3, 3), kRed, 40), 0);
    EXPECT_EQ(countNear(shot, QRect(77, 77, 11, 11), kBlack, 0), 121);
    // Crosses: one pixel wide, half-length r.
    for (QPoint p : {QPoint(242, 122), QPoint(252, 122), QPoint(242, 112)})
        EXPECT_EQ(shot.pixel(p), kCyan) << p.x() << "," << p.y();
    EXPECT_EQ(shot.pixel(247, 127), kBlack);
    // The line at y = 40.5 * 4 = 162 from x = 42 to 362.
    EXPECT_GT(countNear(shot, QRect(150, 160, 1, 5), kBlue, 30), 0);
    // Magenta axis from (42, 42) to (162, 42), "X" near its end; the label just right of and above (282, 82).
    EXPECT_GT(countNear(shot, QRect(100, 40, 1, 5), qRgb(255, 0, 255), 30), 0);
    EXPECT_GT(countNear(shot, QRect(163, 20, 20, 18), qRgb(255, 0, 255), 60), 0);
    EXPECT_GT(countNear(shot, QRect(282, 55, 30, 30), qRgb(255, 255, 0), 60), 3);

    // A new image through setImageWithOverlays keeps the overlays; zoomed, the marks follow
    // their pixels and grow with them.
    s.widget.setCrosses({{60.0f, 30.0f}}, {OverlayColor(0, 255, 0)});
    s.widget.setImageWithOverlays(cv::Mat(50, 100, CV_8UC3, cv::Scalar::all(255)), {}, {}, {});
    shot = s.grab();
    EXPECT_EQ(cv::countNonZero(s.widget.image().reshape(1) != 255), 0);
    EXPECT_EQ(shot.pixel(10, 10), kWhite);
    EXPECT_EQ(shot.pixel(242, 122), kGreen);
    s.view()->setViewTransform(QTransform(2.0, 0.0, 0.0, 2.0, -100.0, -50.0));
    shot = s.grab();
    EXPECT_EQ(shot.pixel(2 * 242 - 100, 2 * 122 - 50), kGreen);
    EXPECT_GT(countNear(shot, QRect(2 * 82 - 100 + 24 - 1, 2 * 82 - 50 - 1, 3, 3), kRed, 40), 0);

    // setImage drops every overlay; lists of different lengths are refused.
    s.widget.setImage(cv::Mat(50, 100, CV_8UC3, cv::Scalar::all(0)));
    s.view()->resetZoom();
    const std::vector<cv::Point2f> five{{10, 10}, {20, 10}, {30, 10}, {40, 10}, {50, 10}};
    const std::vector<OverlayColor> four(4, OverlayColor(255, 0, 0));
    s.widget.setCircles(five, four);
    s.widget.setCrosses(five, four);
    s.widget.setLines({cv::Vec4f(0, 0, 99, 49)}, {});
    EXPECT_FALSE(s.view()->hasActiveOverlays());
    EXPECT_TRUE(uniform(s.grab(), kBlack));

    // The wheel reports the image pixel under the cursor, then zooms around the cursor.
    std::vector<QPoint> sent;
    QObject::connect(&s.widget, &ImageLabelWidget::sendMouseCoord, [&sent](QPoint p) { sent.push_back(p); });
    sendWheel(s.view(), QPointF(41.0, 83.0), 120);
    EXPECT_EQ(sent, std::vector<QPoint>{QPoint(10, 20)});
    EXPECT_EQ(s.view()->lastMouseImagePosition(), QPointF(10.25, 20.75));
    EXPECT_NEAR(s.view()->scale(), 1.2, 1e-12);
    EXPECT_NEAR(QLineF(s.view()->viewTransform().map(QPointF(41.0, 83.0)), QPointF(41.0, 83.0)).length(), 0.0, 1e-9);

    // A mouse callback gets the event kind (10: vertical wheel, 4: left release), the image
    // pixel and the flags (8: Ctrl, the wheel angle in the upper 16 bits).
    std::array<int, 5> seen{}; // event, x, y, flags, calls
    s.view()->setMouseCallback(
        [](int event, int x, int y, int flags, void* data) {
            auto& r = *static_cast<std::array<int, 5>*>(data);
            r = {event, x, y, flags, r[4] + 1};
        },
        &seen);
    sendWheel(s.view(), QPointF(10.0, 10.0), -120, Qt::ControlModifier);
    EXPECT_EQ(seen, (std::array<int, 5>{10, 3, 5, 8 - (120 << 16), 1}));
    EXPECT_EQ(s.view()->scale(), 1.0);
    // Zoomed 4x at the top left, dragging moves the image with the mouse and stops at the edge.
    s.view()->setViewTransform(QTransform(4.0, 0.0, 0.0, 4.0, 0.0, 0.0));
    drag(s.view(), QPointF(200.0, 100.0), QPointF(170.0, 80.0));
    EXPECT_EQ(s.view()->viewTransform(), QTransform(4.0, 0.0, 0.0, 4.0, -30.0, -20.0));
    EXPECT_EQ(seen, (std::array<int, 5>{4, 12, 6, 0, 4}));
    drag(s.view(), QPointF(100.0, 100.0), QPointF(300.0, 150.0));
    EXPECT_EQ(s.view()->viewTransform(), QTransform(4.0, 0.0, 0.0, 4.0, 0.0, 0.0));
}

TEST(ImageLabelWidget, ZoomedViewShowsGridAndOverviewAndPersists)
{
    // Shown at its own size (ratio 1), imgRegion zooms to 30 around (100, 50): the transform
    // is 30x shifted by (-2900, -1450), pixel borders run at x = 10, 40, ... and y = 20, 50, 80.
    Shown s(QSize(200, 100), QSize(200, 100), cv::Scalar::all(255));
    s.view()->imgRegion();
    ASSERT_EQ(s.view()->viewTransform(), QTransform(30.0, 0.0, 0.0, 30.0, -2900.0, -1450.0));
    QImage shot = s.grab();
    // Below the overview box (50 high) the borders are black lines, the pixel interiors white.
    for (int x = 10; x < 200; x += 30)
    {
        EXPECT_EQ(shot.pixel(x, 85), kBlack) << x;
        EXPECT_TRUE(x + 15 >= 200 || shot.pixel(x + 15, 85) == kWhite) << x;
    }
    EXPECT_EQ(shot.pixel(25, 80), kBlack);
    // The overview: a 100 x 50 box at the top right outlined in green and darkened inside, the
    // visible part outlined in dark blue around (149, 25).
    EXPECT_GT(countNear(shot, QRect(98, 30, 3, 1), kGreen, 0), 0);
    EXPECT_GT(countNear(shot, QRect(197, 30, 3, 1), kGreen, 0), 0);
    EXPECT_GT(countNear(shot, QRect(150, 48, 1, 4), kGreen, 0), 0);
    EXPECT_EQ(countNear(shot, QRect(0, 0, 95, 100), kGreen, 60), 0);
    EXPECT_GT(countNear(shot, QRect(146, 22, 7, 7), qRgb(0, 0, 128), 0), 0);
    EXPECT_GT(countNear(shot, QRect(101, 2, 96, 46), qRgb(128, 128, 128), 2), 100);

    // The transform as nine keys, read back; a missing key keeps the current value, a damaged
    // one changes nothing.
    s.view()->siftWindowOnLeft();
    const QTransform zoomed = s.view()->viewTransform();
    QTemporaryDir dir;
    QSettings settings(dir.filePath(QStringLiteral("view.ini")), QSettings::IniFormat);
    s.widget.writeSettings(settings);
    EXPECT_EQ(settings.childKeys(), (QStringList{"matrix_view.m11", "matrix_view.m12", "matrix_view.m13",
                                                 "matrix_view.m21", "matrix_view.m22", "matrix_view.m23",
                                                 "matrix_view.m31", "matrix_view.m32", "matrix_view.m33"}));
    EXPECT_DOUBLE_EQ(settings.value(QStringLiteral("matrix_view.m11")).toDouble(), 30.0);
    EXPECT_DOUBLE_EQ(settings.value(QStringLiteral("matrix_view.m31")).toDouble(), zoomed.dx());
    s.view()->resetZoom();
    s.widget.readSettings(settings);
    EXPECT_EQ(s.view()->viewTransform(), zoomed);
    settings.remove(QStringLiteral("matrix_view.m31"));
    s.widget.readSettings(settings);
    EXPECT_EQ(s.view()->viewTransform(), zoomed);
    settings.setValue(QStringLiteral("matrix_view.m11"), QStringLiteral("abc"));
    s.view()->resetZoom();
    s.widget.readSettings(settings);
    EXPECT_EQ(s.view()->viewTransform(), QTransform());
    EXPECT_TRUE(uniform(s.grab(), kWhite));

    // Just above 1 the overview shows, the grid does not.
    s.view()->ZoomIn();
    shot = s.grab();
    EXPECT_GT(countNear(shot, QRect(98, 30, 3, 1), kGreen, 0), 0);
    EXPECT_EQ(countNear(shot, QRect(0, 60, 90, 40), kBlack, 0), 0);
}

