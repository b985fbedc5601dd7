#pragma once
// ArUco/ChArUco on OpenCV 4.6.
//
// 4.6 has ArUco only as the contrib module's free functions (cv::aruco::detectMarkers,
// interpolateCornersCharuco, CharucoBoard::create, CharucoBoard::draw) and no legacy
// ChArUco layout. Later versions have objdetect's ArucoDetector, CharucoDetector and
// CharucoBoard::generateImage/setLegacyPattern. The classes here mirror that later interface,
// so this header is the only place that knows which library version is underneath.

#include <opencv2/aruco/charuco.hpp>
#include <opencv2/core.hpp>

#include <vector>

namespace vantiro::aruco {

using Dictionary = cv::aruco::Dictionary;
using DetectorParameters = cv::aruco::DetectorParameters;

// Predefined dictionaries this library version has: ids 0 .. kPredefinedDictionaryCount - 1.
// 4.6 ends with DICT_APRILTAG_36h11 (20); DICT_ARUCO_MIP_36h12 (21) came later.
inline constexpr int kPredefinedDictionaryCount = 21;

// The predefined dictionary of an id. Ids the library does not have raise cv::Exception
// (StsOutOfRange): 4.6 would silently hand out DICT_4X4_50 for them.
cv::Ptr<Dictionary> getPredefinedDictionary(int id);

// Parameters of refineDetectedMarkers.
struct RefineParameters
{
    float minRepDistance = 10.f;
    float errorCorrectionRate = 3.f;
    bool checkAllOrders = true;
};

struct CharucoParameters
{
    cv::Mat cameraMatrix; // empty: interpolate by local homographies
    cv::Mat distCoeffs;
    int minMarkers = 2;   // a corner needs this many neighbouring markers
    // Detected markers are never refined against the board (refineDetectedMarkers is not run).
};

class CharucoBoard
{
public:
    // Raises the library's assertion error for fewer than 2 squares per side or a marker not
    // strictly between 0 and the square length, and cv::Exception (StsOutOfRange) when the
    // board needs more markers than the dictionary holds (4.6 would accept such a board,
    // then fail to draw it; at large sizes its set-up is quadratic and would not finish).
    CharucoBoard(cv::Size squares, float squareLength, float markerLength, const cv::Ptr<Dictionary>& dictionary);

    // Legacy layout: on boards with an even number of rows the top-left square is white and
    // carries marker 0 (boards from older library versions). Odd row counts are unaffected.
    void setLegacyPattern(bool legacy);
    bool getLegacyPattern() const { return m_legacy; }

    cv::Size getChessboardSize() const { return m_board->getChessboardSize(); }
    float getSquareLength() const { return m_board->getSquareLength(); }
    float getMarkerLength() const { return m_board->getMarkerLength(); }
    const cv::Ptr<Dictionary>& getDictionary() const { return m_board->dictionary; }
    // Inner corners in the board frame (mm, z = 0): x right, y down from the top-left outer corner.
    const std::vector<cv::Point3f>& getChessboardCorners() const { return m_board->chessboardCorners; }
    // Marker corners (top-left, top-right, bottom-right, bottom-left as printed), in getIds() order.
    const std::vector<std::vector<cv::Point3f>>& getObjPoints() const { return m_board->objPoints; }
    const std::vector<int>& getIds() const { return m_board->ids; }
    // The squares (column, row) that carry markers, in getIds() order, for either layout.
    std::vector<cv::Point> markerSquares() const;

    // The printed board: white background, black squares, markers with borderBits black cells.
    void generateImage(cv::Size outSize, cv::OutputArray img, int marginSize = 0, int borderBits = 1) const;

    // The 4.6 board object, with the legacy layout applied when set.
    const cv::Ptr<cv::aruco::CharucoBoard>& legacyBoardObject() const { return m_board; }

private:
    static std::vector<cv::Point> layoutSquares(cv::Size squares, bool legacy);
    void applyLayout();

    cv::Ptr<cv::aruco::CharucoBoard> m_board;
    bool m_legacy = false;
};

// Draws a ChArUco board the way 4.6's CharucoBoard::draw lays it out, but for the board's own
// layout (4.6's draw always paints the standard one). Exposed so that tests can hold it
// against the library's drawing.
void drawCharucoBoard(const CharucoBoard& board, cv::Size outSize, cv::OutputArray img, int marginSize, int borderBits);

// For each inner corner, the markers nearest to it (indices into getObjPoints()) and for each
// of them its corner nearest to the inner corner: what 4.6 fills privately in create().
void nearestMarkers(const std::vector<cv::Point3f>& chessboardCorners,
                    const std::vector<std::vector<cv::Point3f>>& markerObjPoints, float squareLength,
                    std::vector<std::vector<int>>& nearestMarkerIdx,
                    std::vector<std::vector<int>>& nearestMarkerCorners);

class ArucoDetector
{
public:
    explicit ArucoDetector(const cv::Ptr<Dictionary>& dictionary,
                           const DetectorParameters& detectorParams = DetectorParameters(),
                           const RefineParameters& refineParams = RefineParameters());

    void detectMarkers(cv::InputArray image, cv::OutputArrayOfArrays corners, cv::OutputArray ids,
                       cv::OutputArrayOfArrays rejectedImgPoints = cv::noArray()) const;

private:
    cv::Ptr<Dictionary> m_dictionary;
    cv::Ptr<DetectorParameters> m_params;
    RefineParameters m_refine;
};

class CharucoDetector
{
public:
    CharucoDetector(const CharucoBoard& board, const CharucoParameters& charucoParams = CharucoParameters(),
                    const DetectorParameters& detectorParams = DetectorParameters(),
                    const RefineParameters& refineParams = RefineParameters());

    // ChArUco corners and ids. Markers handed in are used as they are; when both are empty the
    // markers are detected first (and handed back). Corners follow the pixel-centre convention
    // of cv::projectPoints and the chessboard detectors: 4.6's interpolation reports them
    // half a pixel too far right and down, which is taken out here.
    void detectBoard(cv::InputArray image, cv::OutputArray charucoCorners, cv::OutputArray charucoIds,
                     cv::InputOutputArrayOfArrays markerCorners = cv::noArray(),
                     cv::InputOutputArray markerIds = cv::noArray()) const;

private:
    CharucoBoard m_board;
    CharucoParameters m_charucoParams;
    cv::Ptr<DetectorParameters> m_detectorParams;
    RefineParameters m_refine;
};

} // namespace vantiro::aruco
