#include "TestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include "app/Settings.h"

namespace vantiro::test {

QString artefactDir()
{
#ifdef VANTIRO_BUILD_DIR
    const QString dir = QStringLiteral(VANTIRO_BUILD_DIR) + QStringLiteral("/test-artefacts");
#else
    const QString dir = QDir::tempPath() + QStringLiteral("/vantiro-test-artefacts");
#endif
    QDir().mkpath(dir);
    return dir;
}

void resetUserSettings()
{
    QFile::remove(userSettingsFile());
}

QString pathIn(const QTemporaryDir& dir, const QString& name)
{
    return dir.path() + QLatin1Char('/') + name;
}

QString textInColour(const RecordingLogSink& log, const QString& colour)
{
    QString out;
    for (const auto& segment : log.segments)
        if (segment.color == colour)
            out += segment.text;
    return out;
}

void writeFile(const QString& path, const QByteArray& data)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    ASSERT_EQ(f.write(data), data.size()) << path.toStdString();
}

} // namespace vantiro::test
