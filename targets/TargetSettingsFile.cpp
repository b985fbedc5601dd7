#include "targets/TargetSettingsFile.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>

#include <optional>

QString targetSettingsFilePath(const QString& workingDirectory)
{
    return workingDirectory + QLatin1Char('/') + kTargetSettingsFileName;
}

namespace {

const QString kGroup = QStringLiteral("MainWindowSettings/");

// Reads keys of one file; the first problem ends the read with its message.
class KeyReader
{
public:
    KeyReader(const QSettings& settings, const QString& path) : m_settings(settings), m_path(path) {}

    std::optional<bool> boolean(const QString& name)
    {
        const auto text = raw(name);
        if (!text)
            return std::nullopt;
        const QString v = text->trimmed().toLower();
        if (v == QLatin1String("true") || v == QLatin1String("1"))
            return true;
        if (v == QLatin1String("false") || v == QLatin1String("0"))
            return false;
        return fail(name, *text, QStringLiteral("true or false"));
    }

    std::optional<int> integer(const QString& name, int min, int max)
    {
        const auto text = raw(name);
        if (!text)
            return std::nullopt;
        bool ok = false;
        const int v = text->trimmed().toInt(&ok);
        if (!ok || v < min || v > max)
            return fail(name, *text, QStringLiteral("a whole number from %1 to %2").arg(min).arg(max));
        return v;
    }

    std::optional<double> real(const QString& name, double min, double max)
    {
        const auto text = raw(name);
        if (!text)
            return std::nullopt;
        bool ok = false;
        const double v = text->trimmed().toDouble(&ok);
        if (!ok || !(v >= min && v <= max))
            return fail(name, *text, QStringLiteral("a number from %1 to %2").arg(min).arg(max));
        return v;
    }

    bool has(const QString& name) const { return m_settings.contains(kGroup + name); }
    const QString& error() const { return m_error; }

private:
    std::optional<QString> raw(const QString& name)
    {
        if (!m_error.isEmpty())
            return std::nullopt;
        const QVariant value = m_settings.value(kGroup + name);
        if (!value.isValid()) {
            m_error = QStringLiteral("%1: key \"%2\" is missing").arg(m_path, kGroup + name);
            return std::nullopt;
        }
        // A list (a value with commas) is not a single number or switch.
        if (value.typeId() == QMetaType::QStringList) {
            m_error = QStringLiteral("%1: key \"%2\" holds a list").arg(m_path, kGroup + name);
            return std::nullopt;
        }
        return value.toString();
    }

    std::nullopt_t fail(const QString& name, const QString& text, const QString& expected)
    {
        m_error = QStringLiteral("%1: key \"%2\" has the value \"%3\", expected %4")
                      .arg(m_path, kGroup + name, text, expected);
        return std::nullopt;
    }

    const QSettings& m_settings;
    QString m_path;
    QString m_error;
};

constexpr double kMaxLength = 999999.0;

} // namespace

TargetSettingsFileResult readTargetSettingsFile(const QString& path)
{
    TargetSettingsFileResult result;
    const QFileInfo info(path);
    if (!info.exists()) {
        result.error = QStringLiteral("%1: no such file").arg(path);
        return result;
    }
    if (!info.isFile()) {
        result.error = QStringLiteral("%1: not a file").arg(path);
        return result;
    }
    {
        QFile probe(path);
        if (!probe.open(QIODevice::ReadOnly)) {
            result.error = QStringLiteral("%1: cannot be read (%2)").arg(path, probe.errorString());
            return result;
        }
    }
    // The panel's keys take a few kilobytes; a settings file is read whole.
    if (info.size() > kMaxTargetSettingsFileBytes) {
        result.error = QStringLiteral("%1: larger than %2 KB, not a settings file").arg(path).arg(kMaxTargetSettingsFileBytes / 1024);
        return result;
    }
    const QSettings settings(path, QSettings::IniFormat);
    if (settings.status() != QSettings::NoError) {
        result.error = QStringLiteral("%1: not a settings file (%2)")
                           .arg(path, settings.status() == QSettings::FormatError ? QStringLiteral("format error")
                                                                                  : QStringLiteral("access error"));
        return result;
    }

    KeyReader keys(settings, path);
    MainWindowSettings& s = result.settings;
    // The record as the intrinsic module starts it; fields of other kinds stay like this.
    s.dictionary = 10;
    auto done = [&result, &keys]() -> TargetSettingsFileResult& {
        result.error = keys.error();
        result.ok = result.error.isEmpty();
        return result;
    };

    const auto chessboard = keys.boolean(QStringLiteral("radioButton_TargetChessboard"));
    if (!chessboard)
        return done();
    if (*chessboard) {
        s.targetType = Chessboard;
        const auto x = keys.integer(QStringLiteral("spinBox_ChessboardNumSquaresX"), 3, 99);
        const auto y = keys.integer(QStringLiteral("spinBox_ChessboardNumSquaresY"), 3, 999);
        const auto w = keys.real(QStringLiteral("spinBox_ChessboardSquareWidth"), 0.001, kMaxLength);
        const auto h = keys.real(QStringLiteral("spinBox_ChessboardSquareHeight"), 0.001, kMaxLength);
        const auto exhaustive = keys.boolean(QStringLiteral("checkBox_ChessboardExhaustiveSearch"));
        if (!exhaustive)
            return done();
        s.numSquaresX = *x;
        s.numSquaresY = *y;
        s.squareWidth = *w;
        s.squareHeight = *h;
        s.exhaustiveSearch = *exhaustive;
    } else {
        const auto charuco = keys.boolean(QStringLiteral("radioButton_TargetChArUco"));
        if (!charuco)
            return done();
        if (*charuco) {
            s.targetType = ChArUco;
            const auto x = keys.integer(QStringLiteral("spinBox_ChArUcoWidth"), 2, 999);
            const auto y = keys.integer(QStringLiteral("spinBox_ChArUcoHeight"), 2, 999);
            const auto square = keys.real(QStringLiteral("doubleSpinBox_ChArUcoSquareSize"), 7.0, kMaxLength);
            const auto marker = keys.real(QStringLiteral("doubleSpinBox_ArUcoMarkerSize"), 7.0, kMaxLength);
            const auto dictionary =
                keys.integer(QStringLiteral("comboBox_ChArUcoDictionary"), 0, int(dictionaryNames().size()) - 1);
            const auto legacy = keys.boolean(QStringLiteral("checkBox_CharucoLegacy"));
            if (!legacy)
                return done();
            s.numSquaresX = *x;
            s.numSquaresY = *y;
            s.squareWidth = s.squareHeight = *square;
            // The panel hands the marker on in whole millimetres, truncated. The panel lets it
            // reach the square size; a board needs it smaller.
            s.markerSize = int32_t(*marker);
            if (s.markerSize >= *square) {
                result.error = QStringLiteral("%1: key \"%2\" (%3 mm) must be smaller than key \"%4\" (%5 mm)")
                                   .arg(path, kGroup + QStringLiteral("doubleSpinBox_ArUcoMarkerSize"))
                                   .arg(s.markerSize)
                                   .arg(kGroup + QStringLiteral("doubleSpinBox_ChArUcoSquareSize"))
                                   .arg(*square);
                return result;
            }
            s.dictionary = *dictionary;
            s.legacyPattern = *legacy;
        } else {
            const auto radon = keys.boolean(QStringLiteral("radioButton_TargetRadonChessboardWithMarkers"));
            if (!radon)
                return done();
            if (!*radon) {
                result.error = QStringLiteral("%1: none of the target kinds is checked").arg(path);
                return result;
            }
            s.targetType = RadonChessboardWithMarkers;
            const auto x = keys.integer(QStringLiteral("spinBox_RadonChessboardNumSquaresX"), 3, 99);
            const auto y = keys.integer(QStringLiteral("spinBox_RadonChessboardNumSquaresY"), 3, 999);
            const auto square = keys.real(QStringLiteral("spinBox_RadonChessboardSquareSize"), 0.001, kMaxLength);
            const auto dictionary =
                keys.integer(QStringLiteral("comboBox_ChArUcoDictionary"), 0, int(dictionaryNames().size()) - 1);
            if (!dictionary)
                return done();
            s.numSquaresX = *x;
            s.numSquaresY = *y;
            s.squareWidth = s.squareHeight = *square;
            s.dictionary = *dictionary;
        }
    }

    s.projectorWidth = 1024;
    s.projectorHeight = 768;
    for (const auto& [name, field] : {std::pair{QStringLiteral("spin_proj_width"), &s.projectorWidth},
                                      std::pair{QStringLiteral("spin_proj_height"), &s.projectorHeight}}) {
        if (!keys.has(name))
            continue;
        if (const auto v = keys.integer(name, 1, 999999))
            *field = *v;
    }
    return done();
}

bool writeTargetSettingsFile(const QString& path, const MainWindowSettings& s, QString* error)
{
    QSettings settings(path, QSettings::IniFormat);
    auto put = [&settings](const char* name, const QVariant& value) {
        settings.setValue(kGroup + QLatin1String(name), value);
    };
    const bool chessboard = s.targetType == Chessboard;
    const bool charuco = s.targetType == ChArUco;
    const bool radon = s.targetType == RadonChessboardWithMarkers;
    put("radioButton_TargetChessboard", chessboard);
    put("radioButton_TargetChArUco", charuco);
    put("radioButton_TargetRadonChessboardWithMarkers", radon);

    put("spinBox_ChessboardNumSquaresX", chessboard ? s.numSquaresX : 10);
    put("spinBox_ChessboardNumSquaresY", chessboard ? s.numSquaresY : 9);
    put("spinBox_ChessboardSquareWidth", chessboard ? s.squareWidth : 100.0);
    put("spinBox_ChessboardSquareHeight", chessboard ? s.squareHeight : 100.0);
    put("checkBox_ChessboardIndependentSquareHeight", chessboard && s.squareHeight != s.squareWidth);
    put("checkBox_ChessboardExhaustiveSearch", chessboard && s.exhaustiveSearch);

    put("spinBox_ChArUcoWidth", charuco ? s.numSquaresX : 10);
    put("spinBox_ChArUcoHeight", charuco ? s.numSquaresY : 9);
    put("doubleSpinBox_ChArUcoSquareSize", charuco ? s.squareWidth : 100.0);
    put("doubleSpinBox_ArUcoMarkerSize", charuco ? double(s.markerSize) : 75.0);
    put("checkBox_CharucoLegacy", charuco && s.legacyPattern);
    put("comboBox_ChArUcoDictionary", charuco || radon ? s.dictionary : 10);

    put("spinBox_RadonChessboardNumSquaresX", radon ? s.numSquaresX : 10);
    put("spinBox_RadonChessboardNumSquaresY", radon ? s.numSquaresY : 9);
    put("spinBox_RadonChessboardSquareSize", radon ? s.squareWidth : 100.0);

    put("spin_proj_width", s.projectorWidth > 0 ? s.projectorWidth : 1024);
    put("spin_proj_height", s.projectorHeight > 0 ? s.projectorHeight : 768);

    settings.sync();
    if (settings.status() != QSettings::NoError) {
        if (error)
            *error = QStringLiteral("%1: cannot be written").arg(path);
        return false;
    }
    return true;
}
