#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "CliTestSupport.h"

using namespace cli_test;

namespace {

// A failure the user can act on: status 2, nothing on standard output, one line on standard
// error that starts with the command's name.
void expectUsageError(const CliRun& r, const QString& command, const QString& reason)
{
    EXPECT_EQ(r.code, 2) << r.err.toStdString();
    EXPECT_TRUE(r.out.isEmpty()) << r.out.toStdString();
    EXPECT_EQ(r.err.count('\n'), 1) << r.err.toStdString();
    EXPECT_TRUE(r.err.startsWith("vantiro-cli " + command + ": ")) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains(reason)) << r.err.toStdString() << " lacks " << reason.toStdString();
}

} // namespace

TEST(CliArguments, UsageHelpAndUnknownCommands)
{
    CliRun r = run({});
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(r.err.startsWith("Usage: vantiro-cli <command> [options]"));

    r = run({"--help"});
    EXPECT_EQ(r.code, 0);
    for (const char* command : {"detect", "intrinsic", "stereo", "patterns", "decode", "synth", "demo"})
        EXPECT_TRUE(r.out.contains(QString("\n  ") + command + " ")) << command;

    r = run({"calibrate"});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err, "vantiro-cli: unknown command \"calibrate\" (see vantiro-cli --help)\n");

    // Every command explains itself, options included.
    const std::pair<const char*, const char*> helps[] = {
        {"detect", "--write-corners"},   {"intrinsic", "--outlier-threshold PX"}, {"stereo", "--primary-images IMAGE..."},
        {"patterns", "--projector WxH"}, {"decode", "--float"},                   {"synth", "--secondary-camera MODEL"},
        {"demo", "--workdir DIR"},
    };
    for (const auto& [command, option] : helps) {
        r = run({command, "--help"});
        EXPECT_EQ(r.code, 0) << command;
        EXPECT_TRUE(r.out.startsWith(QString("Usage: vantiro-cli ") + command + " [options]")) << r.out.toStdString();
        EXPECT_TRUE(r.out.contains(option)) << command;
        EXPECT_TRUE(r.err.isEmpty());
    }

    expectUsageError(run({"detect", "--bogus"}), "detect", "unknown option --bogus (see vantiro-cli detect --help)");
    expectUsageError(run({"intrinsic", "--target", kTarget}), "intrinsic", "missing IMAGE");
    expectUsageError(run({"intrinsic", "--max-iterations", "0", "--target", kTarget,
                          dataSet() + "/intrinsic/view_00.png"}),
                     "intrinsic",
                     "--max-iterations must be a whole number from 1 to 999, not \"0\"");
    expectUsageError(run({"patterns", "--projector"}), "patterns", "option --projector needs a value");
    expectUsageError(run({"stereo", "--target", kTarget, "--primary-images", "a.png"}), "stereo",
                     "give both --primary-images and --secondary-images");
}

TEST(CliArguments, BadTargetsAreOneLineErrors)
{
    QTemporaryDir dir;
    const QString image = dataSet() + "/intrinsic/view_00.png";
    const std::pair<const char*, const char*> cases[] = {
        {"hexagon:3x3:1", "unknown target kind \"hexagon\" (chessboard, charuco or radon)"},
        {"chessboard:10:25", "squares must be given as XxY, for example 10x7, not \"10\""},
        {"chessboard:100x7:25", "squares X must be 3..99 and Y 3..999"},
        {"chessboard:10x7:-1", "square width must be from 0.001 to 999999 mm"},
        {"chessboard:10x7:25:fast", "unknown chessboard option \"fast\""},
        {"charuco:10x9:50:60:DICT_6X6_250", "the marker (60 mm) must not be larger than the square (50 mm)"},
        {"charuco:10x9:100:75:DICT_9X9_50", "unknown dictionary \"DICT_9X9_50\""},
        {"charuco:10x9:100:7.5:DICT_6X6_250", "the marker size must be whole millimetres"},
        {"radon:10x9", "expected radon:XxY:SIZE"},
    };
    for (const auto& [target, reason] : cases)
        expectUsageError(run({"detect", "--target", target, image}), "detect", reason);

    // Known kinds in the forms the help shows, including dictionary names in any case and ids: they
    // are accepted, and only the chessboard is found on the chessboard image.
    const std::pair<const char*, int> accepted[] = {{"chessboard:10x7:25x30:exhaustive", 0},
                                                    {"charuco:10x9:100:75:dict_apriltag_36h11:legacy", 1},
                                                    {"charuco:5x5:30:20:3", 1},
                                                    {"radon:10x9:100", 1}};
    for (const auto& [target, code] : accepted) {
        const CliRun r = run({"detect", "--target", target, image});
        EXPECT_EQ(r.code, code) << target << ": " << r.err.toStdString();
        EXPECT_TRUE(r.out.endsWith(QString("Target found in %1 of 1 images\n").arg(1 - code))) << r.out.toStdString();
    }
}

TEST(CliArguments, TargetFromSettingsFiles)
{
    QTemporaryDir dir;
    const QString image = dataSet() + "/intrinsic/view_00.png";
    // The data set's MainWindowSettings.ini, as a file, as its folder, and as the working directory's.
    for (const QStringList& args : {QStringList{"--settings", dataSet() + "/MainWindowSettings.ini"},
                                    QStringList{"--settings", dataSet()}, QStringList{"--workdir", dataSet()}}) {
        const CliRun r = run(QStringList{"detect"} + args + QStringList{image});
        EXPECT_EQ(r.code, 0) << r.err.toStdString();
        EXPECT_EQ(r.out, image + ": 54 corners\nTarget found in 1 of 1 images\n");
    }
    // ... and of the current directory.
    CliRun r = run({"detect", image}, dataSet());
    EXPECT_EQ(r.code, 0) << r.err.toStdString();

    expectUsageError(run({"detect", image}, dir.path()), "detect",
                     "no target given: use --target KIND:... or --settings FILE (no MainWindowSettings.ini in");
    expectUsageError(run({"detect", "--settings", dir.path() + "/none.ini", image}), "detect",
                     dir.path() + "/none.ini: no such file");
    expectUsageError(run({"detect", "--target", kTarget, "--settings", dataSet(), image}), "detect",
                     "give either --target or --settings, not both");
    expectUsageError(run({"detect", "--workdir", dir.path() + "/gone", "--target", kTarget, image}), "detect",
                     "working directory does not exist: " + dir.path() + "/gone");

    // A settings file with a broken value names the file and the key.
    const QString broken = dir.path() + "/MainWindowSettings.ini";
    QFile::copy(dataSet() + "/MainWindowSettings.ini", broken);
    QFile f(broken);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    QString text = QString::fromUtf8(f.readAll());
    f.close();
    text.replace("spinBox_ChessboardNumSquaresX=10", "spinBox_ChessboardNumSquaresX=ten");
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(text.toUtf8());
    f.close();
    expectUsageError(run({"detect", "--workdir", dir.path(), image}), "detect",
                     broken + ": key \"MainWindowSettings/spinBox_ChessboardNumSquaresX\" has the value \"ten\"");
    // Not a file at all.
    expectUsageError(run({"detect", "--settings", dataSet() + "/intrinsic/view_00.png", image}), "detect",
                     "view_00.png: ");
}
