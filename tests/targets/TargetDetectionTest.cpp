#include <gtest/gtest.h>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include <functional>
#include <set>

#include "Common/TargetHelpers.h"
#include "synth/Renderer.h"
#include "targets/TargetDetection.h"

using namespace vantiro::synth;

namespace {

MainWindowSettings settingsOf(TargetType kind, int nx, int ny, double square, int marker = 0, bool legacy = false)
{
    MainWindowSettings s;
    s.targetType = kind;
    s.numSquaresX = nx;
    s.numSquaresY = ny;
    s.squareWidth = s.squareHeight = square;
    s.markerSize = marker;
    s.dictionary = 10;
    s.legacyPattern = legacy;
    return s;
}

struct View
{
    double tiltX, tiltY, roll;
    std::vector<double> distortion;
};

// Tilted views through an ideal lens, a barrel and a pincushion lens.
const std::vector<View> kViews = {{0, 0, 0, {}},
                                  {25, -10, 15, {}},
                                  {-15, 30, -40, {}},
                                  {10, 20, 100, {-0.3, 0.1, 0.001, -0.001, 0}},
                                  {-20, -15, 200, {0.15, -0.05, 0, 0, 0}}};

Rendering renderView(const BoardPattern& board, const View& v, double coverage = 0.7,
                     const RenderOptions& options = RenderOptions(), cv::Size size = {640, 480})
{
    CameraModel cam = CameraModel::ideal(size, 0.9 * size.width);
    if (!v.distortion.empty())
        cam.setDistortion(v.distortion);
    return render(cam, board, viewPose(board, distanceForCoverage(cam, board, coverage), v.tiltX, v.tiltY, v.roll),
                  options);
}

struct Errors
{
    double mean = 0;
    double max = 0;
};

// Image errors of detected corners against truth corners given by id.
Errors errorsAgainst(const TargetCornerList& found, const std::vector<TruthCorner>& truth,
                     const std::function<int(const TargetCorner&)>& truthIdOf)
{
    Errors e;
    for (const TargetCorner& c : found) {
        const int id = truthIdOf(c);
        const auto it = std::find_if(truth.begin(), truth.end(), [id](const TruthCorner& t) { return t.id == id; });
        if (it == truth.end()) {
            ADD_FAILURE() << "no truth for corner " << c.id;
            continue;
        }
        const double d = cv::norm(cv::Point2d(c.imagePoint) - it->image);
        e.mean += d;
        e.max = std::max(e.max, d);
    }
    e.mean /= double(std::max<size_t>(found.size(), 1));
    return e;
}

} // namespace

TEST(ChessboardDetection, CornersIdsAndObjectPoints)
{
    const MainWindowSettings s = settingsOf(Chessboard, 10, 9, 25);
    const BoardPattern board(s);
    for (const View& v : kViews) {
        const Rendering r = renderView(board, v);
        TargetCornerList corners;
        ASSERT_TRUE(detectTarget(r.grey, s, corners)) << "roll " << v.roll;
        ASSERT_EQ(corners.size(), 72u);
        for (int k = 0; k < 72; ++k) {
            EXPECT_EQ(corners[size_t(k)].id, k);
            EXPECT_EQ(corners[size_t(k)].objectPoint, cv::Point3f(float(k % 9) * 25.f, float(k / 9) * 25.f, 0.f));
        }
        // The detector may start at any of the four board corners: its order is one of the
        // grid's symmetries. Find which one from the first corner and hold every corner to it.
        const auto nearestTruth = [&](const cv::Point2f& p) {
            int best = -1;
            double bestD = 1e9;
            for (const TruthCorner& t : r.corners)
                if (cv::norm(cv::Point2d(p) - t.image) < bestD) {
                    bestD = cv::norm(cv::Point2d(p) - t.image);
                    best = t.id;
                }
            return best;
        };
        const int first = nearestTruth(corners.front().imagePoint);
        const bool fromEnd = first == 71;
        ASSERT_TRUE(first == 0 || fromEnd) << "first corner is truth corner " << first;
        const Errors e = errorsAgainst(corners, r.corners, [&](const TargetCorner& c) {
            return fromEnd ? 71 - c.id : c.id;
        });
        EXPECT_LT(e.mean, 0.1) << "roll " << v.roll;
        EXPECT_LT(e.max, 0.3) << "roll " << v.roll;
    }
}

TEST(ChessboardDetection, ColourInputGivesTheSameCornersAsGrey)
{
    const MainWindowSettings s = settingsOf(Chessboard, 7, 6, 30);
    RenderOptions o;
    o.effects.lightGain = cv::Vec3d(0.7, 1.0, 1.15);
    const Rendering r = renderView(BoardPattern(s), kViews[1], 0.7, o);
    TargetCornerList fromGrey, fromColour, fromBgra;
    ASSERT_TRUE(detectTarget(r.grey, s, fromGrey));
    ASSERT_TRUE(detectTarget(r.colour, s, fromColour));
    cv::Mat bgra;
    cv::cvtColor(r.colour, bgra, cv::COLOR_BGR2BGRA);
    ASSERT_TRUE(detectTarget(bgra, s, fromBgra));
    ASSERT_EQ(fromGrey.size(), 30u);
    ASSERT_EQ(fromColour.size(), fromGrey.size());
    for (size_t i = 0; i < fromGrey.size(); ++i) {
        EXPECT_EQ(fromColour[i].imagePoint, fromGrey[i].imagePoint);
        EXPECT_EQ(fromBgra[i].imagePoint, fromGrey[i].imagePoint);
    }
}

TEST(ChessboardDetection, PartialBoardAndWrongSizeAreNotFound)
{
    const MainWindowSettings s = settingsOf(Chessboard, 8, 7, 30);
    const BoardPattern board(s);
    const CameraModel cam = CameraModel::ideal({640, 480}, 576);
    const double d = distanceForCoverage(cam, board, 0.7);
    TargetCornerList corners{{{1, 1}, {1, 1, 0}, 5}};
    const Rendering cut = render(cam, board, viewPose(board, d, 0, 0, 0, cv::Vec3d(120, 0, 0)), RenderOptions());
    EXPECT_FALSE(detectTarget(cut.grey, s, corners));
    EXPECT_TRUE(corners.empty()); // cleared even when nothing is found
    const Rendering whole = render(cam, board, viewPose(board, d, 10, 5, 0), RenderOptions());
    EXPECT_FALSE(detectTarget(whole.grey, settingsOf(Chessboard, 9, 7, 30), corners));
    EXPECT_TRUE(detectTarget(whole.grey, s, corners));
}

TEST(CharucoDetection, CornersIdsAndObjectPoints)
{
    const MainWindowSettings s = settingsOf(ChArUco, 8, 6, 40, 30);
    const BoardPattern board(s);
    for (const View& v : kViews) {
        const Rendering r = renderView(board, v, 0.75);
        TargetCornerList corners;
        ASSERT_TRUE(detectTarget(r.grey, s, corners)) << "roll " << v.roll;
        EXPECT_GE(corners.size(), 30u); // of 35
        std::set<int> ids;
        for (const TargetCorner& c : corners) {
            ids.insert(c.id);
            // The board's own table: x right, y down from the grid's top-left corner.
            EXPECT_EQ(c.objectPoint, cv::Point3f(float(c.id % 7 + 1) * 40.f, float(c.id / 7 + 1) * 40.f, 0.f));
        }
        EXPECT_EQ(ids.size(), corners.size());
        const Errors e = errorsAgainst(corners, r.corners, [](const TargetCorner& c) { return c.id; });
        EXPECT_LT(e.mean, 0.1) << "roll " << v.roll;
        EXPECT_LT(e.max, 0.5) << "roll " << v.roll;
    }
}

TEST(CharucoDetection, PartialViewsKeepTheirIds)
{
    const MainWindowSettings s = settingsOf(ChArUco, 8, 6, 40, 30);
    const BoardPattern board(s);
    const CameraModel cam = CameraModel::ideal({640, 480}, 576);
    const double d = distanceForCoverage(cam, board, 1.6);
    for (const cv::Vec3d& shift : {cv::Vec3d(-60, -40, 0), cv::Vec3d(70, 35, 0)}) {
        const Rendering r = render(cam, board, viewPose(board, d, 8, -6, 10, shift), RenderOptions());
        TargetCornerList corners;
        ASSERT_TRUE(detectTarget(r.grey, s, corners));
        EXPECT_LT(corners.size(), 35u);
        EXPECT_GE(corners.size(), 4u);
        const Errors e = errorsAgainst(corners, r.corners, [](const TargetCorner& c) { return c.id; });
        EXPECT_LT(e.max, 0.5);
    }
}

TEST(CharucoDetection, FewerThanFourCornersOrNoMarkers)
{
    const MainWindowSettings s = settingsOf(ChArUco, 8, 6, 40, 30);
    const BoardPattern board(s);
    const CameraModel cam = CameraModel::ideal({640, 480}, 576);
    // Close up on the top-left corner: 100 x 75 mm of the board, around board point (50, 39.5).
    // Markers 0 and 4 are whole, inner corners (40, 40) and (80, 40) in view; only the first
    // has its two markers.
    const Rendering r = render(cam, board, viewPose(board, distanceForCoverage(cam, board, 3.2), 0, 0, 0,
                                                    cv::Vec3d(110, 80.5, 0)),
                               RenderOptions());
    ASSERT_GE(r.corners.size(), 1u);
    ASSERT_LT(r.corners.size(), 4u);
    TargetCornerList corners;
    EXPECT_FALSE(detectTarget(r.grey, s, corners));
    EXPECT_TRUE(corners.empty());
    // A chessboard has no markers at all.
    const Rendering plain = renderView(BoardPattern(settingsOf(Chessboard, 8, 6, 40)), kViews[1]);
    EXPECT_FALSE(detectTarget(plain.grey, s, corners));
}

TEST(CharucoDetection, LegacyBoards)
{
    // Even row count: the legacy board starts with a white square carrying marker 0.
    const MainWindowSettings legacy = settingsOf(ChArUco, 8, 6, 40, 30, true);
    const BoardPattern board(legacy);
    ASSERT_EQ(board.markerSquares().front(), cv::Point(0, 0));
    MainWindowSettings standard = legacy;
    standard.legacyPattern = false;
    for (const View& v : {kViews[1], kViews[3]}) {
        const Rendering r = renderView(board, v, 0.75);
        TargetCornerList corners;
        ASSERT_TRUE(detectTarget(r.grey, legacy, corners));
        EXPECT_GE(corners.size(), 30u);
        EXPECT_LT(errorsAgainst(corners, r.corners, [](const TargetCorner& c) { return c.id; }).max, 0.5);
        // Its markers do not fit the standard layout: refused rather than corners a square off.
        EXPECT_FALSE(detectTarget(r.grey, standard, corners));
    }
    // Partial view of the legacy board read as a standard one, where interpolation alone would
    // land a square off.
    const CameraModel cam = CameraModel::ideal({640, 480}, 576);
    const Rendering close = render(cam, board, viewPose(board, distanceForCoverage(cam, board, 1.6), 10, -10, 0,
                                                        cv::Vec3d(-30, -25, 0)),
                                   RenderOptions());
    TargetCornerList corners;
    EXPECT_FALSE(detectTarget(close.grey, standard, corners));
    ASSERT_TRUE(detectTarget(close.grey, legacy, corners));
    EXPECT_LT(errorsAgainst(corners, close.corners, [](const TargetCorner& c) { return c.id; }).max, 0.5);
    // A standard board read as legacy is refused the same way.
    const Rendering std8x6 = renderView(BoardPattern(standard), kViews[2], 0.75);
    EXPECT_FALSE(detectTarget(std8x6.grey, legacy, corners));
    EXPECT_TRUE(detectTarget(std8x6.grey, standard, corners));
}

TEST(CharucoDetection, SettingsTheLibraryRefusesReachTheCaller)
{
    const cv::Mat img(120, 160, CV_8UC1, cv::Scalar(255));
    TargetCornerList corners;
    MainWindowSettings s = settingsOf(ChArUco, 8, 6, 40, 40); // marker == square
    EXPECT_THROW(detectTarget(img, s, corners), cv::Exception);
    s = settingsOf(ChArUco, 8, 6, 40, 55); // marker > square
    EXPECT_THROW(detectTarget(img, s, corners), cv::Exception);
    s = settingsOf(ChArUco, 1, 6, 40, 30);
    EXPECT_THROW(detectTarget(img, s, corners), cv::Exception);
    s = settingsOf(ChArUco, 0, 0, 40, 30);
    EXPECT_THROW(detectTarget(img, s, corners), cv::Exception);
    s = settingsOf(ChArUco, 8, 6, 40, 30);
    s.dictionary = 99;
    EXPECT_THROW(detectTarget(img, s, corners), cv::Exception);
}

namespace {

// Radon ids and object points follow the grid turned to run its columns along the board's
// y axis: truth corner (column c, row r) of the board has id (numSquaresY - 1) * c + r.
int radonTruthId(const TargetCorner& c, int nx, double square)
{
    const int boardColumn = int(std::lround(c.objectPoint.y / square));
    const int boardRow = int(std::lround(c.objectPoint.x / square));
    return boardRow * (nx - 1) + boardColumn;
}

} // namespace

TEST(RadonDetection, IdsAndObjectPointsAreConsistentAcrossViews)
{
    const MainWindowSettings s = settingsOf(RadonChessboardWithMarkers, 10, 7, 30);
    const BoardPattern board(s); // dots at the centred cell (4, 3)
    for (const View& v : kViews) {
        const Rendering r = renderView(board, v, 0.75);
        TargetCornerList corners;
        testing::internal::CaptureStdout();
        ASSERT_TRUE(detectTarget(r.grey, s, corners)) << "roll " << v.roll;
        EXPECT_NE(testing::internal::GetCapturedStdout().find("   meta.rows:   "), std::string::npos);
        EXPECT_GE(corners.size(), 48u); // of 54: strongly tilted views may lose a column
        for (const TargetCorner& c : corners) {
            EXPECT_EQ(c.id, 6 * int(std::lround(c.objectPoint.y / 30)) + int(std::lround(c.objectPoint.x / 30)));
            EXPECT_EQ(c.objectPoint.z, 0.f);
        }
        const Errors e =
            errorsAgainst(corners, r.corners, [](const TargetCorner& c) { return radonTruthId(c, 10, 30); });
        EXPECT_LT(e.mean, 0.1) << "roll " << v.roll;
        EXPECT_LT(e.max, 0.6) << "roll " << v.roll;
    }
}

TEST(RadonDetection, PartialViewsDropMadeUpCorners)
{
    // A board larger than the view: the library extends the grid by corners it makes up
    // (one here lies beyond the image's right edge, others 8 to 50 px off); only real corners
    // come back, with the ids of the full board.
    const MainWindowSettings s = settingsOf(RadonChessboardWithMarkers, 14, 11, 30);
    const BoardPattern board(s); // dots at (6, 5)
    const CameraModel cam = CameraModel::ideal({640, 480}, 576);
    const Rendering r =
        render(cam, board, viewPose(board, distanceForCoverage(cam, board, 1.3), 10, -8, 5), RenderOptions());
    cv::theRNG().state = 0x5A17C0DEULL;
    std::vector<cv::Point2f> raw;
    cv::Mat meta;
    ASSERT_TRUE(cv::findChessboardCornersSB(r.grey, {3, 3}, raw, 208, meta));
    ASSERT_EQ(raw.size(), 88u);
    EXPECT_GT(raw[10].x, 639.f);
    TargetCornerList corners;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(detectTarget(r.grey, s, corners));
    testing::internal::GetCapturedStdout();
    // Four made up, and those too near the image's edge to be located well, are dropped.
    EXPECT_GE(corners.size(), 80u);
    EXPECT_LE(corners.size(), 84u);
    for (const TargetCorner& c : corners)
        EXPECT_TRUE(cv::Rect2f(2.f, 2.f, 635.f, 475.f).contains(c.imagePoint)) << c.imagePoint;
    const Errors e = errorsAgainst(corners, r.corners, [](const TargetCorner& c) { return radonTruthId(c, 14, 30); });
    EXPECT_LT(e.max, 0.3);
}

TEST(RadonDetection, OffCentreDotsDropCornersOutsideTheGrid)
{
    // Dots one cell right of and one below the centred cell: the grid is placed one column
    // and one row off, so the last corner row and column fall outside and are dropped.
    const MainWindowSettings s = settingsOf(RadonChessboardWithMarkers, 10, 7, 30);
    const BoardPattern board(s, RadonMarkerCell{5, 4});
    const Rendering r = renderView(board, kViews[1], 0.75);
    TargetCornerList corners;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(detectTarget(r.grey, s, corners));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(corners.size(), 40u); // 8 of 9 columns by 5 of 6 rows
    for (const TargetCorner& c : corners) {
        EXPECT_GE(c.id, 0);
        EXPECT_LT(c.id, 54);
    }
    // Shifted ids: board corner (column, row) = object point / square + (1, 1).
    const Errors e = errorsAgainst(corners, r.corners, [](const TargetCorner& c) {
        return (int(std::lround(c.objectPoint.x / 30)) + 1) * 9 + int(std::lround(c.objectPoint.y / 30)) + 1;
    });
    EXPECT_LT(e.max, 0.6);
}

TEST(RadonDetection, BoardsWithoutProperDotsAreNotFound)
{
    const MainWindowSettings s = settingsOf(RadonChessboardWithMarkers, 10, 7, 30);
    // Views in which the library reports small bogus grids with an invented origin: a plain
    // chessboard, and dots in the outer ring.
    for (const BoardPattern& board : {BoardPattern(settingsOf(Chessboard, 10, 7, 30)),
                                      BoardPattern(s, RadonMarkerCell{0, 2})}) {
        const Rendering r = renderView(board, kViews[3], 0.75);
        cv::theRNG().state = 0x5A17C0DEULL;
        std::vector<cv::Point2f> raw;
        cv::Mat meta;
        ASSERT_TRUE(cv::findChessboardCornersSB(r.grey, {3, 3}, raw, 208, meta));
        ASSERT_EQ(cv::countNonZero(meta == 4), 1);
        TargetCornerList corners;
        EXPECT_FALSE(detectTarget(r.grey, s, corners));
        EXPECT_TRUE(corners.empty());
    }
}

TEST(RadonDetection, RepeatableAndLeavesTheGeneratorAlone)
{
    const MainWindowSettings s = settingsOf(RadonChessboardWithMarkers, 10, 7, 30);
    const Rendering r = renderView(BoardPattern(s), kViews[2], 0.75);
    cv::theRNG().state = 12345;
    TargetCornerList a, b;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(detectTarget(r.grey, s, a));
    EXPECT_EQ(cv::theRNG().state, 12345u);
    cv::theRNG().next();
    ASSERT_TRUE(detectTarget(r.grey, s, b));
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(a.size(), b.size());
    for (size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(a[i].imagePoint, b[i].imagePoint);
        EXPECT_EQ(a[i].id, b[i].id);
    }
}

TEST(TargetDetection, BadInputFailsCleanly)
{
    const MainWindowSettings kinds[] = {settingsOf(Chessboard, 10, 9, 25), settingsOf(ChArUco, 8, 6, 40, 30),
                                        settingsOf(RadonChessboardWithMarkers, 10, 7, 30)};
    for (const MainWindowSettings& s : kinds) {
        TargetCornerList corners{{{1, 1}, {1, 1, 0}, 5}};
        EXPECT_FALSE(detectTarget(cv::Mat(), s, corners)) << s.targetType;
        EXPECT_TRUE(corners.empty());
        EXPECT_FALSE(detectTarget(cv::Mat(1, 1, CV_8UC1, cv::Scalar(0)), s, corners)) << s.targetType;
        EXPECT_FALSE(detectTarget(cv::Mat(1, 1, CV_8UC3, cv::Scalar(0, 0, 0)), s, corners)) << s.targetType;
        // 16-bit and float images: the library's message reaches the caller.
        EXPECT_THROW(detectTarget(cv::Mat(60, 80, CV_16UC1, cv::Scalar(0)), s, corners), cv::Exception);
        EXPECT_THROW(detectTarget(cv::Mat(60, 80, CV_32FC3, cv::Scalar(0, 0, 0)), s, corners), cv::Exception);
    }
    // Chessboards of fewer than 3 inner corners per side: the library refuses the pattern size.
    TargetCornerList corners;
    for (const auto& [nx, ny] : std::vector<std::pair<int, int>>{{0, 0}, {1, 9}, {3, 3}}) {
        try {
            detectTarget(cv::Mat(60, 80, CV_8UC1, cv::Scalar(128)), settingsOf(Chessboard, nx, ny, 25), corners);
            ADD_FAILURE() << nx << " x " << ny << ": no exception";
        } catch (const cv::Exception& e) {
            EXPECT_EQ(e.code, cv::Error::StsOutOfRange);
        }
    }
    MainWindowSettings unknown = kinds[0];
    unknown.targetType = 3;
    corners = {{{1, 1}, {1, 1, 0}, 5}};
    EXPECT_FALSE(detectTarget(cv::Mat(60, 80, CV_8UC1, cv::Scalar(128)), unknown, corners));
    EXPECT_TRUE(corners.empty());
}
