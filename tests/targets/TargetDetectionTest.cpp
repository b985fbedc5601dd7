#include <gtest/gtest.h>

#include "TargetTestSupport.h"
#include "synth/Renderer.h"
#include "targets/TargetDetection.h"

using namespace vantiro::synth;
using vantiro::test::settingsOf;

struct TiltedView { double tiltX, tiltY, roll; std::vector<double> distortion = {}; };

// Tilted views through an ideal lens, a barrel and a pincushion lens.
const std::vector<TiltedView> kViews = {{0, 0, 0}, {25, -10, 15}, {-15, 30, -40},
                                        {10, 20, 100, {-0.3, 0.1, 1e-3, -1e-3}}, {-20, -15, 200, {0.15, -0.05, 0, 0}}};

// The board in a 640 x 480 image: its grid spans 'coverage' of the image, then it is tilted,
// turned and shifted (mm) as viewPose does. The light is coloured, so that no single channel
// of the colour image is its grey image.
static Rendering view(const BoardPattern& board, const TiltedView& v, double coverage = 0.75, cv::Vec3d shift = {})
{
    CameraModel cam = CameraModel::ideal({640, 480}, 576);
    if (!v.distortion.empty())
        cam.setDistortion(v.distortion);
    RenderOptions options;
    options.effects.lightGain = cv::Vec3d(0.7, 1.0, 1.15);
    const double distance = distanceForCoverage(cam, board, coverage);
    return render(cam, board, viewPose(board, distance, v.tiltX, v.tiltY, v.roll, shift), options);
}

using TruthId = std::function<int(const TargetCorner&)>;

// Radon grids are turned to run their columns along the board's y axis (ny - 1 columns), and
// placed 'offset' cells off the board's own when the dots are off centre.
static TruthId radonTruthId(int nx, int ny, int offset = 0)
{
    return [=](const TargetCorner& c) { return (c.id % (ny - 1) + offset) * (nx - 1) + c.id / (ny - 1) + offset; };
}

// Image error of each detected corner against the truth corner that truthId names (by default
// the corner's own id): below maxError, and on average below meanError.
static void expectAccurate(const TargetCornerList& found, const Rendering& r, double maxError, double meanError = 1e9,
                           const TruthId& truthId = [](const TargetCorner& c) { return c.id; })
{
    double max = 0, sum = 0;
    for (const TargetCorner& c : found) {
        const auto t = std::find_if(r.corners.begin(), r.corners.end(), [&](auto& t) { return t.id == truthId(c); });
        const double e = t == r.corners.end() ? INFINITY : cv::norm(cv::Point2d(c.imagePoint) - t->image);
        max = std::max(max, e);
        sum += e;
    }
    EXPECT_LT(max, maxError);
    EXPECT_LT(sum / double(std::max<size_t>(found.size(), 1)), meanError);
}

// Every kind in tilted views through ideal and distorting lenses: object points on the kind's
// grid, image points on the rendered truth (so ids are unique). The colour image gives the same
// corners as the grey one, whatever the state of the caller's random generator; the marker
// detectors leave that generator alone (the library's chessboard detector draws from it).
TEST(TargetDetection, EveryKindFindsItsCornersAccurately)
{
    bool fromEnd = false; // a chessboard may be reported from either end (a symmetry of the grid)
    // minCorners of 72, 35 and 54 (strongly tilted Radon views may lose a column); object point =
    // (id % perRow + offset, id / perRow + offset) * square.
    struct Kind { MainWindowSettings s; size_t minCorners; int perRow, offset; double maxError; TruthId truthId; };
    const Kind kinds[] = {
        {settingsOf(Chessboard, 10, 9, 25), 72, 9, 0, 0.3,
         [&](const TargetCorner& c) { return fromEnd ? 71 - c.id : c.id; }},
        // The board's own corner table: x right, y down from the grid's top-left corner.
        {settingsOf(ChArUco, 8, 6, 40, 30), 30, 7, 1, 0.5, [](const TargetCorner& c) { return c.id; }},
        {settingsOf(RadonChessboardWithMarkers, 10, 7, 30), 48, 6, 0, 0.6, radonTruthId(10, 7)},
    };
    for (const Kind& k : kinds) {
        const BoardPattern board(k.s); // Radon: dots at the centred cell (4, 3)
        for (const TiltedView& v : kViews) {
            SCOPED_TRACE(testing::Message() << "kind " << k.s.targetType << ", roll " << v.roll);
            const Rendering r = view(board, v);
            TargetCornerList corners, fromColour;
            cv::theRNG().state = 12345;
            ASSERT_TRUE(detectTarget(r.grey, k.s, corners));
            EXPECT_TRUE(k.s.targetType == Chessboard || cv::theRNG().state == 12345u);
            cv::theRNG().next();
            ASSERT_TRUE(detectTarget(r.colour, k.s, fromColour));
            ASSERT_EQ(fromColour.size(), corners.size());
            EXPECT_GE(corners.size(), k.minCorners);
            for (size_t i = 0; i < corners.size(); ++i) {
                const TargetCorner& c = corners[i];
                const cv::Point3f grid(float(c.id % k.perRow + k.offset), float(c.id / k.perRow + k.offset), 0.f);
                EXPECT_EQ(c.objectPoint, grid * float(k.s.squareWidth)) << c.id;
                EXPECT_TRUE(fromColour[i].imagePoint == c.imagePoint && fromColour[i].id == c.id) << i;
                EXPECT_TRUE(k.s.targetType != Chessboard || c.id == int(i)) << i; // detector order
            }
            const cv::Point2d first(corners[0].imagePoint);
            fromEnd = cv::norm(first - r.corners.back().image) < cv::norm(first - r.corners.front().image);
            expectAccurate(corners, r, k.maxError, 0.1, k.truthId);
        }
    }
}

TEST(TargetDetection, PartialViewsAndWrongSettings)
{
    // A cut-off chessboard and one of another size are not found, and the list is cleared.
    const MainWindowSettings chessboard = settingsOf(Chessboard, 10, 9, 25);
    const BoardPattern chess(chessboard);
    TargetCornerList corners{{{1, 1}, {1, 1, 0}, 5}};
    EXPECT_FALSE(detectTarget(view(chess, {0, 0, 0}, 0.7, {120, 0, 0}).grey, chessboard, corners));
    EXPECT_TRUE(corners.empty());
    EXPECT_FALSE(detectTarget(view(chess, kViews[1]).grey, settingsOf(Chessboard, 11, 9, 25), corners));

    // ChArUco close up on the top-left corner: 100 x 75 mm of the board around board point
    // (50, 39.5). Markers 0 and 4 are whole, inner corners (40, 40) and (80, 40) in view; only
    // the first has its two markers. Fewer than four corners: not found.
    const MainWindowSettings s = settingsOf(ChArUco, 8, 6, 40, 30);
    const BoardPattern board(s);
    const Rendering close = view(board, {0, 0, 0}, 3.2, {110, 80.5, 0});
    ASSERT_TRUE(!close.corners.empty() && close.corners.size() < 4);
    EXPECT_FALSE(detectTarget(close.grey, s, corners));
    EXPECT_TRUE(corners.empty());
    // A chessboard has no markers at all.
    EXPECT_FALSE(detectTarget(view(BoardPattern(settingsOf(Chessboard, 8, 6, 40)), kViews[1]).grey, s, corners));

    // Even row count: the legacy board starts with a white square carrying marker 0. Its markers
    // do not fit the standard layout: refused rather than corners a square off, also in a partial
    // view (which keeps the board's ids) where interpolation alone would land a square off; and
    // the other way round.
    const MainWindowSettings legacy = settingsOf(ChArUco, 8, 6, 40, 30, true);
    const BoardPattern legacyBoard(legacy);
    for (const auto& [r, minCorners] : std::vector<std::pair<Rendering, size_t>>{
             {view(legacyBoard, kViews[1]), 30}, {view(legacyBoard, kViews[3]), 30},
             {view(legacyBoard, {10, -10, 0}, 1.6, {-30, -25, 0}), 4}}) {
        EXPECT_FALSE(detectTarget(r.grey, s, corners));
        ASSERT_TRUE(detectTarget(r.grey, legacy, corners));
        EXPECT_GE(corners.size(), minCorners);
        expectAccurate(corners, r, 0.5);
    }
    EXPECT_FALSE(detectTarget(view(board, kViews[2]).grey, legacy, corners));
}

TEST(TargetDetection, RadonCornersOffTheBoardAreDroppedAndBogusGridsRefused)
{
    // A board larger than the view: the library extends its 84 corners by 4 it makes up (one
    // beyond the image's right edge, others 8 to 50 px off). Those, and real ones too near the
    // image's edge to be located well, are dropped; the rest keep the ids of the full board (and
    // so lie on truth corners, all 2 px or more inside the image).
    const MainWindowSettings big = settingsOf(RadonChessboardWithMarkers, 14, 11, 30);
    const Rendering r = view(BoardPattern(big), {10, -8, 5}, 1.3);
    TargetCornerList corners;
    ASSERT_TRUE(detectTarget(r.grey, big, corners));
    EXPECT_TRUE(corners.size() >= 80 && corners.size() <= 84) << corners.size();
    expectAccurate(corners, r, 0.3, 1e9, radonTruthId(14, 11));

    // Dots one cell right of and one below the centred cell: the grid is placed one column and
    // one row off, so the last corner row and column fall outside and are dropped.
    const MainWindowSettings s = settingsOf(RadonChessboardWithMarkers, 10, 7, 30);
    const Rendering off = view(BoardPattern(s, {5, 4}), kViews[1]);
    testing::internal::CaptureStdout();
    ASSERT_TRUE(detectTarget(off.grey, s, corners));
    EXPECT_NE(testing::internal::GetCapturedStdout().find("   meta.rows:   "), std::string::npos);
    EXPECT_EQ(corners.size(), 40u); // 8 of 9 columns by 5 of 6 rows
    expectAccurate(corners, off, 0.6, 1e9, radonTruthId(10, 7, 1));

    // The library reports small bogus grids with an invented origin in these views: a plain
    // chessboard, and dots in the outer ring. Not found.
    for (const BoardPattern& bogus : {BoardPattern(settingsOf(Chessboard, 10, 7, 30)), BoardPattern(s, {0, 2})}) {
        EXPECT_FALSE(detectTarget(view(bogus, kViews[3]).grey, s, corners));
        EXPECT_TRUE(corners.empty());
    }
}

TEST(TargetDetection, BadInputFailsCleanly)
{
    TargetCornerList corners;
    for (const MainWindowSettings& s : {settingsOf(Chessboard, 10, 9, 25), settingsOf(ChArUco, 8, 6, 40, 30),
                                        settingsOf(RadonChessboardWithMarkers, 10, 7, 30)}) {
        // Empty and tiny images are not found, with the list cleared; 16-bit and float images
        // raise the library's exception for the caller.
        for (const cv::Mat& image : {cv::Mat(), cv::Mat(1, 1, CV_8UC1, 0.), cv::Mat(1, 1, CV_8UC3, 0.)}) {
            corners = {{{1, 1}, {1, 1, 0}, 5}};
            EXPECT_TRUE(!detectTarget(image, s, corners) && corners.empty()) << s.targetType << ": " << image.size;
        }
        EXPECT_THROW(detectTarget(cv::Mat(60, 80, CV_16UC1, cv::Scalar(0)), s, corners), cv::Exception);
        EXPECT_THROW(detectTarget(cv::Mat(60, 80, CV_32FC3, cv::Scalar(0, 0, 0)), s, corners), cv::Exception);
    }
    // Settings the library refuses reach the caller as well: chessboards of fewer than 3 inner
    // corners per side; ChArUco markers not smaller than the square (detection, unlike the
    // preview, does not shrink them), a dictionary the library does not have.
    const cv::Mat img(60, 80, CV_8UC1, cv::Scalar(128));
    for (const auto& [nx, ny] : std::vector<std::pair<int, int>>{{0, 0}, {1, 9}, {3, 3}})
        EXPECT_EQ(vantiro::test::raisedBy([&] { detectTarget(img, settingsOf(Chessboard, nx, ny, 25), corners); }).code,
                  cv::Error::StsOutOfRange);
    for (const MainWindowSettings& s : {settingsOf(ChArUco, 8, 6, 40, 40), settingsOf(ChArUco, 8, 6, 40, 55),
                                        MainWindowSettings{ChArUco, 8, 6, 40, 40, 30, 99}})
        EXPECT_THROW(detectTarget(img, s, corners), cv::Exception) << s.markerSize << " " << s.dictionary;
    corners = {{{1, 1}, {1, 1, 0}, 5}};
    EXPECT_TRUE(!detectTarget(img, MainWindowSettings{3, 10, 9, 25, 25}, corners) && corners.empty()); // no such kind
}
