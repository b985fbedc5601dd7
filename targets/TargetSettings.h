#pragma once
#include <QString>

#include <cstdint>
#include <map>

enum TargetType : int32_t
{
    Chessboard = 0,
    ChArUco = 1,
    RadonChessboardWithMarkers = 2,
};

// The target description handed to every module; rebuilt from the target panel on each request.
struct MainWindowSettings
{
    int32_t targetType = Chessboard;
    int32_t numSquaresX = 0;
    int32_t numSquaresY = 0;
    double squareWidth = 0.0;
    double squareHeight = 0.0;
    int32_t markerSize = 0;
    int32_t dictionary = 0;
    bool legacyPattern = false;
    bool exhaustiveSearch = false;
    int32_t projectorWidth = 0;
    int32_t projectorHeight = 0;
};

// True when the fields detection depends on are equal (projector size and exhaustive search are not compared).
bool sameTargetGeometry(const MainWindowSettings& a, const MainWindowSettings& b);

// Predefined marker dictionaries by id (0..21), in id order.
const std::map<int, QString>& dictionaryNames();
// Empty for an id outside the table.
QString dictionaryName(int id);
// -1 for an unknown name.
int dictionaryId(const QString& name);

// The lines a module prints after its "Target settings:" heading.
QString targetSettingsSummary(const MainWindowSettings& settings);

// Validity of the current settings as shown beside "Target Status:".
enum class TargetStatus
{
    Valid,
    Ambiguous,
    Invalid,
};

struct TargetStatusInfo
{
    TargetStatus status = TargetStatus::Valid;
    QString text;       // "Valid", "Ambiguous", "Invalid"
    QString styleSheet; // for label_TargetStatus
};

// Chessboard and Radon targets are ambiguous when the square counts sum to an even number.
TargetStatusInfo chessboardStatus(int numSquaresX, int numSquaresY);
TargetStatusInfo targetStatus(TargetStatus status);

inline const QString kAmbiguityWarning = QStringLiteral(
    "Warning: The sum of Num Squares X and Num Squares Y is even which causes to rotation ambiuity during target "
    "detection.\n");
