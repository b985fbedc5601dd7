#include "targets/TargetDetection.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <limits>

#include "Common/ArucoCompat.h"
#include "Common/TargetHelpers.h"

bool detectTarget(const cv::Mat& image, const MainWindowSettings& settings, TargetCornerList& corners)
{
    corners.clear();
    if (settings.targetType != Chessboard && settings.targetType != ChArUco &&
        settings.targetType != RadonChessboardWithMarkers)
        return false;
    // An unreadable file arrives as an empty image: report it as not found, so that a run over
    // many images goes on instead of aborting on the library's assertion.
    if (image.empty())
        return false;

    cv::Mat grey;
    if (image.channels() > 1)
        cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
    else
        grey = image;

    switch (settings.targetType) {
    case Chessboard:
        return detectChessboard(grey, settings, corners);
    case ChArUco:
        return detectCharuco(grey, settings, corners);
    case RadonChessboardWithMarkers:
        return detectRadonChessboard(grey, settings, corners);
    default:
        return false;
    }
}

bool detectChessboard(const cv::Mat& grey, const MainWindowSettings& settings, TargetCornerList& corners)
{
    const int perRow = settings.numSquaresX - 1;
    const cv::Size pattern(perRow, settings.numSquaresY - 1);
    std::vector<cv::Point2f> found;
    bool ok = cv::findChessboardCornersSB(grey, pattern, found, cv::CALIB_CB_EXHAUSTIVE, cv::noArray());
    if (!ok)
        ok = cv::findChessboardCornersSB(grey, pattern, found, cv::CALIB_CB_EXHAUSTIVE | cv::CALIB_CB_NORMALIZE_IMAGE,
                                         cv::noArray());
    // The classic detector is the slowest path and runs only on request. Bit 16 means nothing to it.
    if (!ok && settings.exhaustiveSearch)
        ok = cv::findChessboardCorners(grey, pattern, found,
                                       cv::CALIB_CB_ADAPTIVE_THRESH | cv::CALIB_CB_NORMALIZE_IMAGE | 16);
    if (!ok)
        return false;

    corners.reserve(corners.size() + found.size());
    for (int k = 0; k < int(found.size()); ++k) {
        TargetCorner c;
        c.imagePoint = found[size_t(k)];
        c.objectPoint = cv::Point3f(float((k % perRow) * settings.squareWidth),
                                    float((k / perRow) * settings.squareHeight), 0.f);
        c.id = k;
        corners.push_back(c);
    }
    return true;
}

namespace {

// A view is refused when its markers sit where the other ChArUco layout (standard vs legacy)
// puts them: interpolation would then place partially visible boards one square off, with
// nothing to show for it. The right layout fits within about a pixel, the wrong one by tens.
bool markersFitOtherLayout(const vantiro::aruco::CharucoBoard& board,
                           const std::vector<std::vector<cv::Point2f>>& markerCorners,
                           const std::vector<int>& markerIds)
{
    if (board.getChessboardSize().height % 2 != 0)
        return false; // both layouts are the same
    vantiro::aruco::CharucoBoard other(board.getChessboardSize(), board.getSquareLength(), board.getMarkerLength(),
                                       board.getDictionary());
    other.setLegacyPattern(!board.getLegacyPattern());
    const double own = TNQ::markerLayoutResidual(markerCorners, markerIds, board.getObjPoints());
    const double alternative = TNQ::markerLayoutResidual(markerCorners, markerIds, other.getObjPoints());
    return std::isfinite(own) && own > 2.0 && own > 4.0 * alternative;
}

} // namespace

bool detectCharuco(const cv::Mat& grey, const MainWindowSettings& settings, TargetCornerList& corners)
{
    namespace aruco = vantiro::aruco;
    const cv::Ptr<aruco::Dictionary> dictionary = aruco::getPredefinedDictionary(settings.dictionary);
    aruco::CharucoBoard board(cv::Size(settings.numSquaresX, settings.numSquaresY), float(settings.squareWidth),
                              float(settings.markerSize), dictionary);
    board.setLegacyPattern(settings.legacyPattern);

    const aruco::DetectorParameters detectorParams;
    const aruco::RefineParameters refineParams{10.f, 3.f, true};
    std::vector<std::vector<cv::Point2f>> markerCorners;
    std::vector<int> markerIds;
    aruco::ArucoDetector(dictionary, detectorParams, refineParams).detectMarkers(grey, markerCorners, markerIds);
    if (markerIds.empty())
        return false;
    if (markersFitOtherLayout(board, markerCorners, markerIds))
        return false;

    aruco::CharucoParameters charucoParams; // no camera matrix, no distortion
    charucoParams.minMarkers = 2;
    const aruco::CharucoDetector detector(board, charucoParams, detectorParams, refineParams);
    std::vector<cv::Point2f> charucoCorners;
    std::vector<int> charucoIds;
    detector.detectBoard(grey, charucoCorners, charucoIds, markerCorners, markerIds);
    if (charucoCorners.size() < 4)
        return false;

    const std::vector<cv::Point3f>& table = board.getChessboardCorners();
    corners.reserve(corners.size() + charucoCorners.size());
    for (size_t i = 0; i < charucoCorners.size(); ++i) {
        TargetCorner c;
        c.imagePoint = charucoCorners[i];
        c.id = charucoIds[i];
        c.objectPoint = table[size_t(c.id)];
        corners.push_back(c);
    }
    return true;
}

namespace {

// The marker detector draws random samples: from a fixed seed it gives the same grid for the
// same image every time. The caller's generator state is left as it was.
bool findMarkerBoard(const cv::Mat& grey, int flags, std::vector<cv::Point2f>& found, cv::Mat& meta)
{
    cv::RNG& rng = cv::theRNG();
    const uint64 saved = rng.state;
    rng.state = 0x5A17C0DEULL;
    bool ok = false;
    try {
        ok = cv::findChessboardCornersSB(grey, cv::Size(3, 3), found, flags, meta);
    } catch (...) {
        rng.state = saved;
        throw;
    }
    rng.state = saved;
    return ok;
}

// A corner further than this from where its neighbours put it is not part of the grid: a
// made-up corner a cell off, or a grid out of order. Real corners stay under a pixel under
// blur and noise; strong lens distortion, which grows with the squares' size in pixels, bends
// them up to a fifth of a spacing away from a 5 x 5 block's homography.
double maxCornerResidual(double spacing)
{
    return std::max(2.0, 0.3 * spacing);
}

// Which corners of a found grid to keep. The detector, asked for the largest board it can
// see, extends the grid of a partly visible board by corners it makes up at the edge (8 to
// 50 px off at 60 px spacing, some outside the image); it also reports boards without
// markers, or with markers on the outer ring, as found: small grids out of order, or real
// corners with an invented origin mark. A corner is kept when it lies in the image (clear of
// its edge), fits its neighbours and the image shows a corner there; a grid with a quarter
// or more of its corners dropped, or whose dots are not in the image, is refused as not
// found. Empty when refused.
std::vector<bool> plausibleCorners(const cv::Mat& grey, const std::vector<cv::Point2f>& found, const cv::Mat& meta)
{
    if (meta.type() != CV_8UC1 || found.size() != meta.total())
        return std::vector<bool>(found.size(), true); // let the conversion report the mismatch
    const std::vector<double> residuals = TNQ::gridResiduals(found, meta.rows, meta.cols);
    if (residuals.empty())
        return {};
    const double spacing = TNQ::gridSpacing(found, meta.rows, meta.cols);
    const double limit = maxCornerResidual(spacing);
    const std::vector<bool> seen = TNQ::cornersSeenInImage(grey, found, meta.rows, meta.cols);
    // Corners at the image's edge are located from a cut-off neighbourhood (1.7 px off at 3 px
    // from the edge): keep a tenth of a square clear.
    const float edge = float(std::max(2.0, 0.1 * spacing));
    const cv::Rect2f image(edge, edge, float(grey.cols - 1) - 2 * edge, float(grey.rows - 1) - 2 * edge);
    std::vector<bool> keep(found.size());
    size_t dropped = 0;
    for (size_t i = 0; i < found.size(); ++i) {
        keep[i] = image.contains(found[i]) && residuals[i] <= limit && seen[i];
        dropped += keep[i] ? 0 : 1;
    }
    if (dropped * 4 >= found.size())
        return {};
    cv::Point origin(-1, -1);
    cv::minMaxLoc(meta == 4, nullptr, nullptr, nullptr, &origin);
    if (meta.at<uchar>(origin) != 4)
        return keep; // no origin at all: the conversion reports it
    // The dots are judged by the cells' corners, so those must all be real ones.
    const int cols = meta.cols;
    for (const cv::Point d : {cv::Point(0, 0), cv::Point(1, 0), cv::Point(2, 0), cv::Point(0, 1), cv::Point(1, 1),
                              cv::Point(2, 1), cv::Point(0, 2), cv::Point(1, 2)}) {
        const cv::Point p = origin + d;
        if (p.x >= meta.cols || p.y >= meta.rows || !keep[size_t(p.y) * size_t(cols) + size_t(p.x)])
            return {};
    }
    if (!TNQ::markerDotsVisible(grey, found, meta))
        return {};
    return keep;
}

// The three dots are symmetric about the grid diagonal, so the detector returns some views
// transposed, which would give the same physical corner different ids in different views.
// Every grid is turned so that its columns run along the board's y axis (the full grid is
// handed over as numSquaresY - 1 columns by numSquaresX - 1 rows). The board's printed side
// faces the camera, so its x -> y turn keeps its sense in the image: a sub-grid whose
// column -> row turn has that sense (positive cross product in image coordinates) runs along
// the board's axes and is transposed.
void orientAlongBoardY(std::vector<cv::Point2f>& found, cv::Mat& meta)
{
    // Judged cell by cell over the corners that were kept (the others are NaN).
    int along = 0;
    for (int r = 0; r + 1 < meta.rows; ++r)
        for (int c = 0; c + 1 < meta.cols; ++c) {
            const cv::Point2f p = found[size_t(r) * size_t(meta.cols) + size_t(c)];
            const cv::Point2f right = found[size_t(r) * size_t(meta.cols) + size_t(c + 1)] - p;
            const cv::Point2f down = found[size_t(r + 1) * size_t(meta.cols) + size_t(c)] - p;
            const double turn = right.cross(down);
            if (std::isfinite(turn))
                along += turn > 0 ? 1 : -1;
        }
    if (along > 0)
        TNQ::transposeGrid(found, meta);
}

} // namespace

bool detectRadonChessboard(const cv::Mat& grey, const MainWindowSettings& settings, TargetCornerList& corners)
{
    const int base = cv::CALIB_CB_EXHAUSTIVE | cv::CALIB_CB_LARGER | cv::CALIB_CB_MARKER; // 208
    std::vector<cv::Point2f> found;
    cv::Mat meta;
    std::vector<bool> keep;
    for (const int flags : {base, base | cv::CALIB_CB_NORMALIZE_IMAGE}) {
        found.clear();
        meta.release();
        keep.clear();
        if (findMarkerBoard(grey, flags, found, meta))
            keep = plausibleCorners(grey, found, meta);
        if (!keep.empty())
            break;
    }
    if (keep.empty())
        return false;

    // Made-up corners go through the conversion as NaN, which marks them for removal.
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (size_t i = 0; i < found.size(); ++i)
        if (!keep[i])
            found[i] = cv::Point2f(nan, nan);
    if (meta.type() == CV_8UC1 && found.size() == meta.total())
        orientAlongBoardY(found, meta);
    const TargetCornerList list = TNQ::extractTargetCornerTripletsFromMeta(
        found, meta, {settings.numSquaresY - 1, settings.numSquaresX - 1}, float(settings.squareWidth));
    for (const TargetCorner& c : list)
        if (!std::isnan(c.imagePoint.x))
            corners.push_back(c);
    return true;
}
