#include "Common/TargetHelpers.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <iostream>
#include <limits>

namespace TNQ {

std::vector<cv::Point2f> imagePoints(const TargetCornerList& corners)
{
    std::vector<cv::Point2f> out;
    out.reserve(corners.size());
    for (const TargetCorner& c : corners)
        out.push_back(c.imagePoint);
    return out;
}

std::vector<cv::Point3f> objectPoints(const TargetCornerList& corners)
{
    std::vector<cv::Point3f> out;
    out.reserve(corners.size());
    for (const TargetCorner& c : corners)
        out.push_back(c.objectPoint);
    return out;
}

std::vector<int> cornerIds(const TargetCornerList& corners)
{
    std::vector<int> out;
    out.reserve(corners.size());
    for (const TargetCorner& c : corners)
        out.push_back(c.id);
    return out;
}

const TargetCorner* findCorner(const TargetCornerList& corners, int id)
{
    for (const TargetCorner& c : corners)
        if (c.id == id)
            return &c;
    return nullptr;
}

std::vector<double> gridResiduals(const std::vector<cv::Point2f>& corners, int rows, int cols)
{
    if (rows < 3 || cols < 3 || corners.size() != size_t(rows) * size_t(cols))
        return {};
    // Least median of squares rather than least squares: the corners a detector makes up sit
    // together at the grid's edge, up to a third of a window, and would drag a plain fit
    // towards them. A window is moved inwards rather than cut at the grid's edge, so that edge
    // corners are judged by as many neighbours as inner ones.
    const int wr = std::min(rows, 5), wc = std::min(cols, 5);
    std::vector<double> residuals(corners.size());
    std::vector<cv::Point2f> grid, image;
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c) {
            const int r0 = std::clamp(r - 2, 0, rows - wr);
            const int c0 = std::clamp(c - 2, 0, cols - wc);
            grid.clear();
            image.clear();
            for (int i = r0; i < r0 + wr; ++i)
                for (int j = c0; j < c0 + wc; ++j) {
                    grid.emplace_back(float(j), float(i));
                    image.push_back(corners[size_t(i) * size_t(cols) + size_t(j)]);
                }
            const cv::Mat H = cv::findHomography(grid, image, cv::LMEDS);
            double& residual = residuals[size_t(r) * size_t(cols) + size_t(c)];
            if (H.empty()) {
                residual = std::numeric_limits<double>::infinity();
                continue;
            }
            std::vector<cv::Point2f> mapped;
            cv::perspectiveTransform(std::vector<cv::Point2f>{cv::Point2f(float(c), float(r))}, mapped, H);
            residual = cv::norm(mapped[0] - corners[size_t(r) * size_t(cols) + size_t(c)]);
        }
    return residuals;
}

double markerLayoutResidual(const std::vector<std::vector<cv::Point2f>>& markerCorners,
                            const std::vector<int>& markerIds,
                            const std::vector<std::vector<cv::Point3f>>& objPoints)
{
    std::vector<cv::Point2f> board, image;
    for (size_t i = 0; i < markerIds.size() && i < markerCorners.size(); ++i) {
        const int id = markerIds[i];
        if (id < 0 || size_t(id) >= objPoints.size() || markerCorners[i].size() != objPoints[size_t(id)].size())
            continue;
        for (size_t k = 0; k < markerCorners[i].size(); ++k) {
            board.emplace_back(objPoints[size_t(id)][k].x, objPoints[size_t(id)][k].y);
            image.push_back(markerCorners[i][k]);
        }
    }
    if (board.size() < 12)
        return std::numeric_limits<double>::infinity();
    const cv::Mat H = cv::findHomography(board, image, 0);
    if (H.empty())
        return std::numeric_limits<double>::infinity();
    std::vector<cv::Point2f> mapped;
    cv::perspectiveTransform(board, mapped, H);
    double sum2 = 0.0;
    for (size_t i = 0; i < mapped.size(); ++i) {
        const cv::Point2f d = mapped[i] - image[i];
        sum2 += double(d.x) * d.x + double(d.y) * d.y;
    }
    return std::sqrt(sum2 / double(mapped.size()));
}

namespace {

// Mean grey value of the cell spanned by grid corners (r, c) .. (r + 1, c + 1), sampled at
// 'radius' (in cells) around the cell centre; radius 0 samples a small disc at the centre.
double cellSample(const cv::Mat& grey, const std::vector<cv::Point2f>& corners, int cols, int r, int c, double radius)
{
    // The cell's corners, matched to the unit square's (0, 0), (1, 0), (0, 1) and (1, 1).
    const auto at = [&](int i, int j) { return corners[size_t(i * cols + j)]; };
    const std::vector<cv::Point2f> quad = {at(r, c), at(r, c + 1), at(r + 1, c), at(r + 1, c + 1)};
    const cv::Mat H = cv::getPerspectiveTransform(std::vector<cv::Point2f>{{0, 0}, {1, 0}, {0, 1}, {1, 1}}, quad);
    std::vector<cv::Point2f> local;
    const int n = 12;
    for (int k = 0; k < n; ++k) {
        const double a = 2.0 * CV_PI * k / n;
        const double rr = radius > 0 ? radius : 0.06 * (k % 2 + 1);
        local.emplace_back(float(0.5 + rr * std::cos(a)), float(0.5 + rr * std::sin(a)));
    }
    std::vector<cv::Point2f> pixels;
    cv::perspectiveTransform(local, pixels, H);
    double sum = 0.0;
    for (const cv::Point2f& p : pixels) {
        cv::Mat v;
        cv::getRectSubPix(grey, cv::Size(1, 1), p, v, CV_32F);
        sum += v.at<float>(0, 0);
    }
    return sum / double(pixels.size());
}

} // namespace

bool markerDotsVisible(const cv::Mat& grey, const std::vector<cv::Point2f>& corners, const cv::Mat& meta)
{
    if (grey.type() != CV_8UC1 || meta.type() != CV_8UC1 || corners.size() != meta.total())
        return false;
    const int rows = meta.rows, cols = meta.cols;
    cv::Point origin(-1, -1);
    for (int r = 0; r < rows && origin.x < 0; ++r)
        for (int c = 0; c < cols; ++c)
            if (meta.at<uchar>(r, c) == 4) {
                origin = {c, r};
                break;
            }
    // The origin cell and the cells right of and below it must lie inside the grid.
    if (origin.x < 0 || origin.x + 2 >= cols || origin.y + 2 >= rows)
        return false;
    const int r0 = origin.y, c0 = origin.x;
    // The dots have a radius of 0.17 cells: sample well inside them and on a ring well outside.
    const double dotO = cellSample(grey, corners, cols, r0, c0, 0.0);
    const double ringO = cellSample(grey, corners, cols, r0, c0, 0.32);
    const double dotR = cellSample(grey, corners, cols, r0, c0 + 1, 0.0);
    const double ringR = cellSample(grey, corners, cols, r0, c0 + 1, 0.32);
    const double dotB = cellSample(grey, corners, cols, r0 + 1, c0, 0.0);
    const double ringB = cellSample(grey, corners, cols, r0 + 1, c0, 0.32);
    const double contrast = ringO - 0.5 * (ringR + ringB); // white origin cell against black neighbours
    if (!(contrast > 10.0))
        return false;
    const double half = 0.5 * contrast;
    return dotO < ringO - half && dotR > ringR + half && dotB > ringB + half;
}

// The grid-placement rule below is shared by every module that reads chessboard-with-markers
// corners: ids must not change between releases, or stored corner files stop matching.
//
// Worked example. The full grid is 8 columns by 9 rows and the detector saw a sub-grid of
// 4 rows by 5 columns with the origin mark at row 1, column 2. The origin is put at the
// centre of the full grid, column 8 / 2 - 1 = 3 and row 9 / 2 - 1 = 3, so the column offset
// is 3 - 2 = 1 and the row offset 3 - 1 = 2: sub-grid corner (r, c) becomes grid corner
// (c + 1, r + 2) with id 8 * (r + 2) + (c + 1). Corners of a sub-grid reaching beyond the
// full grid (origin printed off centre, wrong settings) are dropped, never given ids out of range.
//
// Why the assertions: the detector's meta matrix is 8-bit and exactly as large as the corner
// grid; anything else means the caller mixed up outputs of different calls, and a silent
// mismatch would assign wrong ids to every corner.
TargetCornerList extractTargetCornerTripletsFromMeta(const std::vector<cv::Point2f>& corners, const cv::Mat& meta,
                                                     std::pair<int, int> fullGrid, float squareSize)
{
    const int subRows = meta.rows;
    const int subCols = meta.cols;
    // Both checks keep their place in this file: logs and bug reports refer to them by line.
    CV_Assert(meta.type() == CV_8UC1);
    CV_Assert((int)corners.size() == subRows * subCols);

    int r0 = -1, c0 = -1;
    for (int r = 0; r < subRows && r0 < 0; ++r)
        for (int c = 0; c < subCols; ++c)
            if (meta.at<uchar>(r, c) == 4) {
                r0 = r;
                c0 = c;
                break;
            }
    if (r0 < 0) {
        std::cerr << "Marker (meta == 4) not found. Cannot establish origin.\n";
        return {};
    }

    const int fullCols = fullGrid.first;
    const int fullRows = fullGrid.second;
    const int colOffset = fullCols / 2 - 1 - c0;
    const int rowOffset = fullRows / 2 - 1 - r0;
    // One write per line: detections run on several threads at once and must not interleave.
    std::cout << ("   meta.rows:   " + std::to_string(subRows) + "   meta.cols:   " + std::to_string(subCols) +
                  "   corners.size():   " + std::to_string(corners.size()) + "\n")
              << std::flush;

    TargetCornerList out;
    out.reserve(corners.size());
    for (int r = 0; r < subRows; ++r)
        for (int c = 0; c < subCols; ++c) {
            const int gx = c + colOffset;
            const int gy = r + rowOffset;
            if (gx < 0 || gx >= fullCols || gy < 0 || gy >= fullRows)
                continue;
            TargetCorner t;
            t.imagePoint = corners[size_t(r) * size_t(subCols) + size_t(c)];
            t.objectPoint = cv::Point3f(float(gx) * squareSize, float(gy) * squareSize, 0.f);
            t.id = fullCols * gy + gx;
            out.push_back(t);
        }
    return out;
}

void transposeGrid(std::vector<cv::Point2f>& corners, cv::Mat& meta)
{
    CV_Assert(corners.size() == meta.total());
    std::vector<cv::Point2f> out(corners.size());
    const int rows = meta.rows, cols = meta.cols;
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c)
            out[size_t(c * rows + r)] = corners[size_t(r * cols + c)];
    corners.swap(out);
    meta = meta.t();
}

double gridSpacing(const std::vector<cv::Point2f>& corners, int rows, int cols)
{
    if (rows < 1 || cols < 1 || corners.size() != size_t(rows) * size_t(cols))
        return 0.0;
    std::vector<double> d;
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c) {
            const cv::Point2f p = corners[size_t(r) * size_t(cols) + size_t(c)];
            if (c + 1 < cols)
                d.push_back(cv::norm(corners[size_t(r) * size_t(cols) + size_t(c + 1)] - p));
            if (r + 1 < rows)
                d.push_back(cv::norm(corners[size_t(r + 1) * size_t(cols) + size_t(c)] - p));
        }
    if (d.empty())
        return 0.0;
    std::nth_element(d.begin(), d.begin() + long(d.size() / 2), d.end());
    return d[d.size() / 2];
}

std::vector<bool> cornersSeenInImage(const cv::Mat& grey, const std::vector<cv::Point2f>& corners, int rows, int cols)
{
    std::vector<bool> seen(corners.size(), true);
    if (rows < 2 || cols < 2 || corners.size() != size_t(rows) * size_t(cols) || grey.type() != CV_8UC1)
        return seen;
    const double spacing = gridSpacing(corners, rows, cols);
    // The refinement window stays inside the corner's own four squares.
    const int half = std::clamp(int(0.2 * spacing), 2, 40);
    std::vector<cv::Point2f> refined = corners;
    cv::cornerSubPix(grey, refined, cv::Size(half, half), cv::Size(-1, -1),
                     cv::TermCriteria(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, 30, 0.01));
    const double maxMove = std::max(1.0, 0.03 * spacing);
    const cv::Rect2f inside(0.f, 0.f, float(grey.cols - 1), float(grey.rows - 1));
    const auto at = [&](int r, int c) {
        return corners[size_t(std::clamp(r, 0, rows - 1)) * size_t(cols) + size_t(std::clamp(c, 0, cols - 1))];
    };
    const auto value = [&](cv::Point2f p) {
        cv::Mat v;
        cv::getRectSubPix(grey, cv::Size(1, 1), p, v, CV_32F);
        return double(v.at<float>(0, 0));
    };
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c) {
            const size_t i = size_t(r) * size_t(cols) + size_t(c);
            if (cv::norm(refined[i] - corners[i]) > maxMove) {
                seen[i] = false;
                continue;
            }
            // Grid steps at this corner, from its neighbours (one-sided at the grid's edge).
            const float stepsU = float(std::min(c + 1, cols - 1) - std::max(c - 1, 0));
            const float stepsV = float(std::min(r + 1, rows - 1) - std::max(r - 1, 0));
            const cv::Point2f du = (at(r, c + 1) - at(r, c - 1)) / stepsU;
            const cv::Point2f dv = (at(r + 1, c) - at(r - 1, c)) / stepsV;
            const cv::Point2f p = corners[i];
            const cv::Point2f samples[4] = {p + 0.25f * (du + dv), p - 0.25f * (du + dv), p + 0.25f * (du - dv),
                                            p - 0.25f * (du - dv)};
            bool allInside = true;
            for (const cv::Point2f& q : samples)
                allInside = allInside && inside.contains(q);
            if (!allInside)
                continue; // judged by the refinement alone
            const double a = value(samples[0]), b = value(samples[1]), d = value(samples[2]), e = value(samples[3]);
            const double contrast = std::max(std::min(a, b) - std::max(d, e), std::min(d, e) - std::max(a, b));
            seen[i] = contrast > 10.0;
        }
    return seen;
}

} // namespace TNQ
