#pragma once
// Runs vantiro-cli as a process, and a small synthetic data set made by the tool itself once per
// test run.

#include <QString>
#include <QStringList>

namespace cli_test {

struct CliRun
{
    int code = -1;
    QString out;
    QString err;
};

QString binary();
// Runs the tool to its end (at most a minute) in the working directory cwd (empty: inherited).
CliRun run(const QStringList& arguments, const QString& cwd = QString());

// "synth --poses 5 --camera size=480x360 --projector 64x48" into a folder that lives for the
// whole test run; the data set every command test works on.
const QString& dataSet();
inline constexpr const char* kTarget = "chessboard:10x7:25";

// Files of folder (names only, sorted).
QStringList filesIn(const QString& folder);

} // namespace cli_test
