#include "CliTestSupport.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QCoreApplication>
#include <QDateTime>

#include <gtest/gtest.h>

#include "support/TestSupport.h"

namespace cli_test {

QString binary()
{
    return QStringLiteral(VANTIRO_BUILD_DIR) + "/vantiro-cli";
}

CliRun run(const QStringList& arguments, const QString& cwd)
{
    QProcess p;
    p.setWorkingDirectory(cwd); // empty: inherited
    p.start(binary(), arguments);
    CliRun r;
    if (!p.waitForStarted(10000) || !p.waitForFinished(60000)) {
        p.kill();
        p.waitForFinished();
        r.err = "could not start or timed out: " + binary();
        return r;
    }
    r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromLocal8Bit(p.readAllStandardOutput());
    r.err = QString::fromLocal8Bit(p.readAllStandardError());
    return r;
}

const QString& dataSet()
{
    // Made once per build of the tool and shared by the test processes (ctest runs each test in a
    // process of its own, several at a time): generated beside, then renamed into place.
    static const QString folder = [] {
        const QString root = vantiro::test::artefactDir();
        const QString path = root + "/cli-data-" + QString::number(QFileInfo(binary()).lastModified().toMSecsSinceEpoch());
        if (QFileInfo::exists(path + "/truth.yml"))
            return path;
        const QString scratch = root + QString("/cli-data-scratch-%1").arg(QCoreApplication::applicationPid());
        QDir(scratch).removeRecursively();
        const CliRun r = run({"synth", "--output", scratch, "--target", kTarget, "--poses", "5", "--camera",
                              "size=480x360", "--projector", "64x48", "--seed", "3"});
        EXPECT_EQ(r.code, 0) << r.err.toStdString();
        if (!QDir().rename(scratch, path))
            QDir(scratch).removeRecursively(); // another process was first
        // Data sets of earlier builds of the tool.
        for (const QString& old : QDir(root).entryList({"cli-data-*"}, QDir::Dirs | QDir::NoDotAndDotDot))
            if (root + "/" + old != path && !old.startsWith("cli-data-scratch-"))
                QDir(root + "/" + old).removeRecursively();
        return path;
    }();
    return folder;
}

QStringList filesIn(const QString& folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden, QDir::Name);
}

} // namespace cli_test
