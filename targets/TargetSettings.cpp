#include "targets/TargetSettings.h"


bool sameTargetGeometry(const MainWindowSettings& a, const MainWindowSettings& b)
{
    return a.targetType == b.targetType && a.numSquaresX == b.numSquaresX && a.numSquaresY == b.numSquaresY &&
           a.squareWidth == b.squareWidth && a.squareHeight == b.squareHeight && a.markerSize == b.markerSize &&
           a.dictionary == b.dictionary && a.legacyPattern == b.legacyPattern;
}

const std::map<int, QString>& dictionaryNames()
{
    static const std::map<int, QString> names = [] {
        const char* list[] = {"DICT_4X4_50",         "DICT_4X4_100",        "DICT_4X4_250",        "DICT_4X4_1000",
                              "DICT_5X5_50",         "DICT_5X5_100",        "DICT_5X5_250",        "DICT_5X5_1000",
                              "DICT_6X6_50",         "DICT_6X6_100",        "DICT_6X6_250",        "DICT_6X6_1000",
                              "DICT_7X7_50",         "DICT_7X7_100",        "DICT_7X7_250",        "DICT_7X7_1000",
                              "DICT_ARUCO_ORIGINAL", "DICT_APRILTAG_16h5",  "DICT_APRILTAG_25h9",  "DICT_APRILTAG_36h10",
                              "DICT_APRILTAG_36h11", "DICT_ARUCO_MIP_36h12"};
        std::map<int, QString> m;
        for (int id = 0; id < int(std::size(list)); ++id)
            m.emplace(id, QString::fromLatin1(list[id]));
        return m;
    }();
    return names;
}

QString dictionaryName(int id)
{
    const auto& names = dictionaryNames();
    const auto it = names.find(id);
    return it == names.end() ? QString() : it->second;
}

int dictionaryId(const QString& name)
{
    for (const auto& [id, n] : dictionaryNames())
        if (n == name)
            return id;
    return -1;
}

namespace {
// General format with 6 significant digits, as printf's %g.
QString g6(double v)
{
    return QString::number(v, 'g', 6);
}
QString boolLine(bool b)
{
    return b ? QStringLiteral("true\n") : QStringLiteral("false\n");
}
} // namespace

QString targetSettingsSummary(const MainWindowSettings& s)
{
    QString out = QStringLiteral("Target Type: ");
    switch (s.targetType) {
    case Chessboard:
        out += QStringLiteral("Chessboard\n");
        out += QStringLiteral("Num Squares X = %1\n").arg(s.numSquaresX);
        out += QStringLiteral("Num Squares Y = %1\n").arg(s.numSquaresY);
        out += QStringLiteral("Square Width = %1\n").arg(g6(s.squareWidth));
        out += QStringLiteral("Square Height = %1\n").arg(g6(s.squareHeight));
        out += QStringLiteral("Exhaustive Chessboard Search = ") + boolLine(s.exhaustiveSearch);
        break;
    case ChArUco:
        out += QStringLiteral("ChArUco\n");
        out += QStringLiteral("Num Squares X = %1\n").arg(s.numSquaresX);
        out += QStringLiteral("Num Squares Y = %1\n").arg(s.numSquaresY);
        out += QStringLiteral("Square Size = %1\n").arg(g6(s.squareWidth));
        out += QStringLiteral("ArUco Tag Size = %1\n").arg(s.markerSize);
        out += QStringLiteral("ChArUco Dictionary = %1\n").arg(dictionaryName(s.dictionary));
        out += QStringLiteral("Legacy ChArUco Pattern = ") + boolLine(s.legacyPattern);
        break;
    default:
        break;
    }
    return out;
}

TargetStatusInfo targetStatus(TargetStatus status)
{
    switch (status) {
    case TargetStatus::Valid:
        return {status, QStringLiteral("Valid"), QStringLiteral("QLabel { color : green; }")};
    case TargetStatus::Ambiguous:
        return {status, QStringLiteral("Ambiguous"), QStringLiteral("QLabel { color : orange; }")};
    case TargetStatus::Invalid:
        break;
    }
    return {TargetStatus::Invalid, QStringLiteral("Invalid"), QStringLiteral("QLabel { color : red; }")};
}

TargetStatusInfo chessboardStatus(int numSquaresX, int numSquaresY)
{
    return targetStatus((numSquaresX + numSquaresY) % 2 != 0 ? TargetStatus::Valid : TargetStatus::Ambiguous);
}
