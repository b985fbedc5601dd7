#include "Common/ArucoCompat.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace vantiro::aruco {

cv::Ptr<Dictionary> getPredefinedDictionary(int id)
{
    if (id < 0 || id >= kPredefinedDictionaryCount)
        CV_Error(cv::Error::StsOutOfRange,
                 cv::format("Predefined dictionary %d is not available in OpenCV %s (ids 0..%d are)", id, CV_VERSION,
                            kPredefinedDictionaryCount - 1));
    return cv::aruco::getPredefinedDictionary(id);
}

// ---------------------------------------------------------------------------------------------
// Board

CharucoBoard::CharucoBoard(cv::Size squares, float squareLength, float markerLength,
                           const cv::Ptr<Dictionary>& dictionary)
{
    CV_Assert(!dictionary.empty());
    // Only when the library itself would accept the parameters: otherwise its own assertion
    // below is the better message.
    const bool libraryAccepts =
        squares.width > 1 && squares.height > 1 && markerLength > 0 && squareLength > markerLength;
    if (libraryAccepts) {
        const double markers = 0.5 * double(squares.width) * double(squares.height);
        if (std::floor(markers) > double(dictionary->bytesList.rows))
            CV_Error(cv::Error::StsOutOfRange,
                     cv::format("A board of %d x %d squares needs %.0f markers, the dictionary holds only %d",
                                squares.width, squares.height, std::floor(markers), dictionary->bytesList.rows));
    }
    m_board = cv::aruco::CharucoBoard::create(squares.width, squares.height, squareLength, markerLength, dictionary);
}

std::vector<cv::Point> CharucoBoard::layoutSquares(cv::Size squares, bool legacy)
{
    // Standard: the top-left square is black, markers sit where column and row parities differ.
    // Legacy boards with an even row count are that pattern shifted by one row.
    const bool shifted = legacy && squares.height % 2 == 0;
    std::vector<cv::Point> result;
    for (int y = 0; y < squares.height; ++y)
        for (int x = 0; x < squares.width; ++x) {
            const bool marker = shifted ? ((y + 1) % 2 != x % 2) : (y % 2 != x % 2);
            if (marker)
                result.emplace_back(x, y);
        }
    return result;
}

std::vector<cv::Point> CharucoBoard::markerSquares() const
{
    return layoutSquares(getChessboardSize(), m_legacy);
}

void CharucoBoard::setLegacyPattern(bool legacy)
{
    if (legacy == m_legacy)
        return;
    m_legacy = legacy;
    applyLayout();
}

void CharucoBoard::applyLayout()
{
    // Ids and inner corners stay; the markers move to the layout's squares (both layouts have
    // the same number of markers, with ids in row-major square order).
    const float L = getSquareLength();
    const float m = getMarkerLength();
    const float inset = (L - m) / 2.f;
    const std::vector<cv::Point> squares = markerSquares();
    CV_Assert(squares.size() == m_board->ids.size());
    std::vector<std::vector<cv::Point3f>> objPoints;
    objPoints.reserve(squares.size());
    for (const cv::Point& s : squares) {
        const cv::Point3f tl(s.x * L + inset, s.y * L + inset, 0.f);
        objPoints.push_back({tl, tl + cv::Point3f(m, 0, 0), tl + cv::Point3f(m, m, 0), tl + cv::Point3f(0, m, 0)});
    }
    m_board->objPoints = std::move(objPoints);
    nearestMarkers(m_board->chessboardCorners, m_board->objPoints, L, m_board->nearestMarkerIdx,
                   m_board->nearestMarkerCorners);
}

void nearestMarkers(const std::vector<cv::Point3f>& chessboardCorners,
                    const std::vector<std::vector<cv::Point3f>>& markerObjPoints, float squareLength,
                    std::vector<std::vector<int>>& nearestMarkerIdx,
                    std::vector<std::vector<int>>& nearestMarkerCorners)
{
    // Distances are compared squared; markers whose centres are equally far (to within 1 % of
    // a square) all count as nearest.
    const double tolerance = std::pow(0.01 * squareLength, 2);
    std::vector<cv::Point2f> centres;
    centres.reserve(markerObjPoints.size());
    for (const auto& marker : markerObjPoints) {
        cv::Point2f c(0, 0);
        for (const cv::Point3f& p : marker)
            c += cv::Point2f(p.x, p.y);
        centres.push_back(c * (1.f / float(marker.size())));
    }
    nearestMarkerIdx.assign(chessboardCorners.size(), {});
    nearestMarkerCorners.assign(chessboardCorners.size(), {});
    for (size_t i = 0; i < chessboardCorners.size(); ++i) {
        const cv::Point2f corner(chessboardCorners[i].x, chessboardCorners[i].y);
        double best = std::numeric_limits<double>::infinity();
        auto& markers = nearestMarkerIdx[i];
        for (size_t j = 0; j < centres.size(); ++j) {
            const cv::Point2f d = corner - centres[j];
            const double d2 = double(d.x) * d.x + double(d.y) * d.y;
            if (markers.empty() || d2 < best - tolerance) {
                markers.assign(1, int(j));
                best = d2;
            } else if (std::abs(d2 - best) < tolerance) {
                markers.push_back(int(j));
            }
        }
        for (int j : markers) {
            const auto& marker = markerObjPoints[size_t(j)];
            int nearest = 0;
            double nearestD2 = std::numeric_limits<double>::infinity();
            for (int k = 0; k < int(marker.size()); ++k) {
                const cv::Point2f d = corner - cv::Point2f(marker[size_t(k)].x, marker[size_t(k)].y);
                const double d2 = double(d.x) * d.x + double(d.y) * d.y;
                if (d2 < nearestD2) {
                    nearestD2 = d2;
                    nearest = k;
                }
            }
            nearestMarkerCorners[i].push_back(nearest);
        }
    }
}

void CharucoBoard::generateImage(cv::Size outSize, cv::OutputArray img, int marginSize, int borderBits) const
{
    if (m_legacy && getChessboardSize().height % 2 == 0)
        drawCharucoBoard(*this, outSize, img, marginSize, borderBits);
    else
        m_board->draw(outSize, img, marginSize, borderBits);
}

void drawCharucoBoard(const CharucoBoard& board, cv::Size outSize, cv::OutputArray img, int marginSize, int borderBits)
{
    CV_Assert(!outSize.empty());
    CV_Assert(marginSize >= 0);
    img.create(outSize, CV_8UC1);
    cv::Mat out = img.getMat();
    out.setTo(255);
    cv::Mat inner = out(cv::Range(marginSize, out.rows - marginSize), cv::Range(marginSize, out.cols - marginSize));

    // The same arithmetic as the library's drawing, so both layouts come out pixel-identical
    // apart from the parity: the grid keeps its aspect ratio, centred in the free area.
    const cv::Size squares = board.getChessboardSize();
    const double L = board.getSquareLength();
    const double totalX = L * squares.width;
    const double totalY = L * squares.height;
    const double xReduction = totalX / double(inner.cols);
    const double yReduction = totalY / double(inner.rows);
    cv::Mat zone;
    if (xReduction > yReduction) {
        const int rows = int(totalY / xReduction);
        const int rowMargin = (inner.rows - rows) / 2;
        zone = inner.rowRange(rowMargin, inner.rows - rowMargin);
    } else {
        const int cols = int(totalX / yReduction);
        const int colMargin = (inner.cols - cols) / 2;
        zone = inner.colRange(colMargin, inner.cols - colMargin);
    }
    const double squarePx = std::min(double(zone.cols) / squares.width, double(zone.rows) / squares.height);
    const int insetPx = int((L - board.getMarkerLength()) / 2.0 * squarePx / L);

    cv::Mat markers;
    cv::aruco::drawPlanarBoard(board.legacyBoardObject(), zone.size(), markers, insetPx, borderBits);
    markers.copyTo(zone);

    std::vector<bool> hasMarker(size_t(squares.area()), false);
    for (const cv::Point& s : board.markerSquares())
        hasMarker[size_t(s.y) * squares.width + s.x] = true;
    for (int y = 0; y < squares.height; ++y)
        for (int x = 0; x < squares.width; ++x) {
            if (hasMarker[size_t(y) * squares.width + x])
                continue;
            const double x0 = squarePx * x;
            const double y0 = squarePx * y;
            zone.rowRange(int(y0), int(y0 + squarePx)).colRange(int(x0), int(x0 + squarePx)).setTo(0);
        }
}

// ---------------------------------------------------------------------------------------------
// Detectors

ArucoDetector::ArucoDetector(const cv::Ptr<Dictionary>& dictionary, const DetectorParameters& detectorParams,
                             const RefineParameters& refineParams)
    : m_dictionary(dictionary)
    , m_params(cv::makePtr<DetectorParameters>(detectorParams))
    , m_refine(refineParams)
{
    CV_Assert(!m_dictionary.empty());
}

void ArucoDetector::detectMarkers(cv::InputArray image, cv::OutputArrayOfArrays corners, cv::OutputArray ids,
                                  cv::OutputArrayOfArrays rejectedImgPoints) const
{
    // The refine parameters only matter to refineDetectedMarkers, which detection alone never runs.
    cv::aruco::detectMarkers(image, m_dictionary, corners, ids, m_params, rejectedImgPoints);
}

CharucoDetector::CharucoDetector(const CharucoBoard& board, const CharucoParameters& charucoParams,
                                 const DetectorParameters& detectorParams, const RefineParameters& refineParams)
    : m_board(board)
    , m_charucoParams(charucoParams)
    , m_detectorParams(cv::makePtr<DetectorParameters>(detectorParams))
    , m_refine(refineParams)
{
}

void CharucoDetector::detectBoard(cv::InputArray image, cv::OutputArray charucoCorners, cv::OutputArray charucoIds,
                                  cv::InputOutputArrayOfArrays markerCorners, cv::InputOutputArray markerIds) const
{
    std::vector<std::vector<cv::Point2f>> ownCorners;
    std::vector<int> ownIds;
    cv::_InputArray cornersIn = markerCorners;
    cv::_InputArray idsIn = markerIds;
    if (markerCorners.empty() && markerIds.empty()) {
        const ArucoDetector detector(m_board.getDictionary(), *m_detectorParams, m_refine);
        if (markerCorners.needed() && markerIds.needed()) {
            detector.detectMarkers(image, markerCorners, markerIds);
        } else {
            detector.detectMarkers(image, ownCorners, ownIds);
            cornersIn = cv::_InputArray(ownCorners);
            idsIn = cv::_InputArray(ownIds);
        }
    }
    if (idsIn.total() == 0) {
        charucoCorners.release();
        charucoIds.release();
        return;
    }

    std::vector<cv::Point2f> corners;
    std::vector<int> ids;
    cv::aruco::interpolateCornersCharuco(cornersIn, idsIn, image, m_board.legacyBoardObject(), corners, ids,
                                         m_charucoParams.cameraMatrix, m_charucoParams.distCoeffs,
                                         m_charucoParams.minMarkers);
    // 4.6 places the corners half a pixel right of and below their true position (measured
    // against exactly rendered boards); the chessboard detectors and projectPoints put the
    // centre of pixel (0, 0) at (0, 0).
    for (cv::Point2f& p : corners)
        p -= cv::Point2f(0.5f, 0.5f);
    if (corners.empty()) {
        charucoCorners.release();
        charucoIds.release();
        return;
    }
    cv::Mat(corners).copyTo(charucoCorners);
    cv::Mat(ids).copyTo(charucoIds);
}

} // namespace vantiro::aruco
