#include "cli/TargetArgument.h"

#include <QStringList>

#include <cmath>

#include "cli/ArgParser.h"

namespace cli {

namespace {

constexpr double kMaxLength = 999999.0;

[[noreturn]] void bad(const QString& text, const QString& why)
{
    throw UsageError(QStringLiteral("target \"%1\": %2").arg(text, why));
}

void parseSquares(const QString& text, const QString& part, int minX, int maxX, int minY, int maxY, int& x, int& y)
{
    const QStringList xy = part.split(QLatin1Char('x'));
    bool okX = false, okY = false;
    if (xy.size() == 2) {
        x = xy[0].toInt(&okX);
        y = xy[1].toInt(&okY);
    }
    if (!okX || !okY)
        bad(text, QStringLiteral("squares must be given as XxY, for example 10x7, not \"%1\"").arg(part));
    if (x < minX || x > maxX || y < minY || y > maxY)
        bad(text, QStringLiteral("squares X must be %1..%2 and Y %3..%4").arg(minX).arg(maxX).arg(minY).arg(maxY));
}

double parseLength(const QString& argument, const QString& text, const QString& what, double min)
{
    bool ok = false;
    const double v = text.toDouble(&ok);
    if (!ok || !std::isfinite(v))
        bad(argument, QStringLiteral("%1 must be a number of millimetres, not \"%2\"").arg(what, text));
    if (v < min || v > kMaxLength)
        bad(argument, QStringLiteral("%1 must be from %2 to %3 mm").arg(what).arg(min).arg(kMaxLength));
    return v;
}

QString number(double v)
{
    return QString::number(v, 'g', 10);
}

} // namespace

MainWindowSettings parseTargetArgument(const QString& text)
{
    const QStringList parts = text.trimmed().split(QLatin1Char(':'));
    const QString kind = parts.value(0).toLower();
    MainWindowSettings s;
    s.dictionary = 10;
    s.projectorWidth = 1024;
    s.projectorHeight = 768;

    if (kind == QLatin1String("chessboard")) {
        if (parts.size() < 3 || parts.size() > 4)
            bad(text, QStringLiteral("expected chessboard:XxY:SIZE[xHEIGHT][:exhaustive]"));
        s.targetType = Chessboard;
        parseSquares(text, parts[1], 3, 99, 3, 999, s.numSquaresX, s.numSquaresY);
        const QStringList size = parts[2].split(QLatin1Char('x'));
        if (size.size() > 2)
            bad(text, QStringLiteral("square size must be SIZE or WIDTHxHEIGHT, not \"%1\"").arg(parts[2]));
        s.squareWidth = parseLength(text, size[0], QStringLiteral("square width"), 0.001);
        s.squareHeight =
            size.size() == 2 ? parseLength(text, size[1], QStringLiteral("square height"), 0.001) : s.squareWidth;
        if (parts.size() == 4) {
            if (parts[3].toLower() != QLatin1String("exhaustive"))
                bad(text, QStringLiteral("unknown chessboard option \"%1\" (only \"exhaustive\")").arg(parts[3]));
            s.exhaustiveSearch = true;
        }
    } else if (kind == QLatin1String("charuco")) {
        if (parts.size() < 5 || parts.size() > 6)
            bad(text, QStringLiteral("expected charuco:XxY:SQUARE:MARKER:DICTIONARY[:legacy]"));
        s.targetType = ChArUco;
        parseSquares(text, parts[1], 2, 999, 2, 999, s.numSquaresX, s.numSquaresY);
        s.squareWidth = s.squareHeight = parseLength(text, parts[2], QStringLiteral("square size"), 7.0);
        bool ok = false;
        s.markerSize = parts[3].toInt(&ok);
        if (!ok)
            bad(text, QStringLiteral("the marker size must be whole millimetres, not \"%1\"").arg(parts[3]));
        if (s.markerSize < 7)
            bad(text, QStringLiteral("the marker size must be at least 7 mm"));
        // The board needs a white rim around each marker.
        if (s.markerSize >= s.squareWidth)
            bad(text, QStringLiteral("the marker (%1 mm) must be smaller than the square (%2 mm)")
                          .arg(s.markerSize)
                          .arg(number(s.squareWidth)));
        // By name (the names mix cases, as in DICT_APRILTAG_36h11, so without case) or by id.
        int id = -1;
        for (const auto& [candidate, name] : dictionaryNames())
            if (name.compare(parts[4], Qt::CaseInsensitive) == 0)
                id = candidate;
        if (id < 0) {
            bool numeric = false;
            const int n = parts[4].toInt(&numeric);
            if (numeric && !dictionaryName(n).isEmpty())
                id = n;
        }
        if (id < 0)
            bad(text, QStringLiteral("unknown dictionary \"%1\" (DICT_4X4_50 .. DICT_ARUCO_MIP_36h12 or 0..21)")
                          .arg(parts[4]));
        s.dictionary = id;
        if (parts.size() == 6) {
            if (parts[5].toLower() != QLatin1String("legacy"))
                bad(text, QStringLiteral("unknown ChArUco option \"%1\" (only \"legacy\")").arg(parts[5]));
            s.legacyPattern = true;
        }
    } else if (kind == QLatin1String("radon")) {
        if (parts.size() != 3)
            bad(text, QStringLiteral("expected radon:XxY:SIZE"));
        s.targetType = RadonChessboardWithMarkers;
        parseSquares(text, parts[1], 3, 99, 3, 999, s.numSquaresX, s.numSquaresY);
        s.squareWidth = s.squareHeight = parseLength(text, parts[2], QStringLiteral("square size"), 0.001);
    } else {
        bad(text, QStringLiteral("unknown target kind \"%1\" (chessboard, charuco or radon)").arg(parts.value(0)));
    }
    return s;
}

QString formatTargetArgument(const MainWindowSettings& s)
{
    const QString squares = QStringLiteral("%1x%2").arg(s.numSquaresX).arg(s.numSquaresY);
    switch (s.targetType) {
    case Chessboard: {
        QString out = QStringLiteral("chessboard:%1:%2").arg(squares, number(s.squareWidth));
        if (s.squareHeight != s.squareWidth)
            out += QLatin1Char('x') + number(s.squareHeight);
        if (s.exhaustiveSearch)
            out += QStringLiteral(":exhaustive");
        return out;
    }
    case ChArUco:
        return QStringLiteral("charuco:%1:%2:%3:%4%5")
            .arg(squares, number(s.squareWidth))
            .arg(s.markerSize)
            .arg(dictionaryName(s.dictionary), s.legacyPattern ? QStringLiteral(":legacy") : QString());
    case RadonChessboardWithMarkers:
        return QStringLiteral("radon:%1:%2").arg(squares, number(s.squareWidth));
    default:
        return QString();
    }
}

} // namespace cli
