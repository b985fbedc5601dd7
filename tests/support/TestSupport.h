#pragma once
#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

#include "app/LogSink.h"

namespace vantiro::test {

// Directory under the build tree where tests leave artefacts worth looking at (screenshots).
QString artefactDir();

// A fresh, empty per-user settings store for the current test.
void resetUserSettings();

// Absolute path of a file inside a temporary directory.
QString pathIn(const QTemporaryDir& dir, const QString& name);

// The texts a core routine logged in colour, joined.
QString textInColour(const RecordingLogSink& log, const QString& colour);
// Writes data to path (replacing it); the test fails at once when it cannot.
void writeFile(const QString& path, const QByteArray& data);

} // namespace vantiro::test
