#pragma once
// The target panel's state in a working directory's "MainWindowSettings.ini", read without the
// main window: for tools that run headless on what the GUI saved.

#include <QString>

#include "targets/TargetSettings.h"

inline const QString kTargetSettingsFileName = QStringLiteral("MainWindowSettings.ini");

// The panel's keys take a few kilobytes; a larger file is refused before it is parsed.
inline constexpr qint64 kMaxTargetSettingsFileBytes = 1024 * 1024;

// workingDirectory + "/MainWindowSettings.ini".
QString targetSettingsFilePath(const QString& workingDirectory);

struct TargetSettingsFileResult
{
    bool ok = false;
    MainWindowSettings settings; // valid when ok
    QString error;               // one line naming the file and the key, when not ok
};

// Fills the record as the main window does from its panel: the first checked kind (chessboard,
// ChArUco, chessboard with markers) decides which keys are read. Every key that is consulted must
// be present and hold a value the panel's widget accepts; anything else is an error, never a
// default. The projector resolution falls back to the panel's 1024 x 768 when its keys are absent.
// The file is only read (unlike readSetting, nothing is written back).
TargetSettingsFileResult readTargetSettingsFile(const QString& path);

// Writes the panel keys of every target kind (those of the kinds not selected keep the panel's
// defaults) and the projector resolution, so that the GUI and readTargetSettingsFile load the
// record back. Existing other keys of the file stay. False with a reason when it cannot be written.
bool writeTargetSettingsFile(const QString& path, const MainWindowSettings& settings, QString* error = nullptr);
