#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "CliTestSupport.h"

using namespace cli_test;

TEST(CliArguments, UsageHelpAndUnknownCommands)
{
    CliRun r = run({});
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(r.err.startsWith("Usage: vantiro-cli <command> [options]"));
    r = run({"calibrate"});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err, "vantiro-cli: unknown command \"calibrate\" (see vantiro-cli --help)\n");

    // The overview names every command; each command explains itself, options included.
    const QString overview = run({"--help"}).out;
    const std::pair<const char*, const char*> helps[] = {
        {"detect", "--write-corners"},   {"intrinsic", "--outlier-threshold PX"}, {"stereo", "--rectified-size WxH"},
        {"patterns", "--projector WxH"}, {"decode", "--float"},                   {"synth", "--secondary-camera MODEL"},
        {"demo", "--workdir DIR"},
    };
    for (const auto& [command, option] : helps) {
        EXPECT_TRUE(overview.contains(QString("\n  ") + command + " ")) << command;
        r = run({command, "--help"});
        EXPECT_EQ(r.code, 0) << command;
        EXPECT_TRUE(r.out.startsWith(QString("Usage: vantiro-cli ") + command + " [options]")) << r.out.toStdString();
        EXPECT_TRUE(r.out.contains(option)) << command;
        EXPECT_TRUE(r.err.isEmpty());
    }
}

TEST(CliArguments, UsageErrorsAreOneLineAndWriteNothing)
{
    // Every run starts in an empty working directory without a settings file, which must stay empty.
    QTemporaryDir work, bad;
    const QString image = dataSet() + "/intrinsic/view_00.png", set = dataSet() + "/projector/set_00";
    const QString primary = dataSet() + "/stereo/primary_*.png", secondary = dataSet() + "/stereo/secondary_*.png";
    QStringList shortSet = {"decode", "--projector", "64x48"};
    for (int i = 0; i < 25; ++i)
        shortSet << set + QString("/%1.png").arg(i);
    // A settings file with a broken value (the folder is not empty either).
    QFile in(dataSet() + "/MainWindowSettings.ini"), out(bad.filePath("MainWindowSettings.ini"));
    ASSERT_TRUE(in.open(QIODevice::ReadOnly) && out.open(QIODevice::WriteOnly));
    out.write(in.readAll().replace("spinBox_ChessboardNumSquaresX=10", "spinBox_ChessboardNumSquaresX=ten"));
    out.close();

    const std::pair<QStringList, QString> cases[] = {
        {{"detect", "--bogus"}, "unknown option --bogus (see vantiro-cli detect --help)"},
        {{"intrinsic", "--target", kTarget}, "missing IMAGE"},
        {{"intrinsic", "--max-iterations", "0", "--target", kTarget, image},
         "--max-iterations must be a whole number from 1 to 999, not \"0\""},
        {{"patterns", "--projector"}, "option --projector needs a value"},
        {{"stereo", "--target", kTarget, "--primary-images", "a.png"}, "give both --primary-images and --secondary-images"},
        // Targets.
        {{"detect", "--target", "hexagon:3x3:1", image}, "unknown target kind \"hexagon\" (chessboard, charuco or radon)"},
        {{"detect", "--target", "chessboard:10:25", image}, "squares must be given as XxY, for example 10x7, not \"10\""},
        {{"detect", "--target", "chessboard:100x7:25", image}, "squares X must be 3..99 and Y 3..999"},
        {{"detect", "--target", "chessboard:10x1000:25", image}, "squares X must be 3..99 and Y 3..999"},
        {{"detect", "--target", "chessboard:2x7:25", image}, "squares X must be 3..99 and Y 3..999"},
        {{"detect", "--target", "chessboard:10x2:25", image}, "squares X must be 3..99 and Y 3..999"},
        {{"detect", "--target", "charuco:10x1:20:10:DICT_6X6_250", image}, "squares X must be 2..999 and Y 2..999"},
        {{"detect", "--target", "chessboard:10x7:-1", image}, "square width must be from 0.001 to 999999 mm"},
        {{"detect", "--target", "chessboard:10x7:25:fast", image}, "unknown chessboard option \"fast\""},
        {{"detect", "--target", "charuco:10x9:50:60:DICT_6X6_250", image},
         "the marker (60 mm) must be smaller than the square (50 mm)"},
        {{"detect", "--target", "charuco:10x9:100:75:DICT_9X9_50", image}, "unknown dictionary \"DICT_9X9_50\""},
        {{"detect", "--target", "charuco:10x9:100:7.5:DICT_6X6_250", image}, "the marker size must be whole millimetres"},
        {{"detect", "--target", "radon:10x9", image}, "expected radon:XxY:SIZE"},
        // Where the target comes from.
        {{"detect", image}, "no target given: use --target KIND:... or --settings FILE (no MainWindowSettings.ini in"},
        {{"detect", "--settings", work.filePath("none.ini"), image}, work.filePath("none.ini") + ": no such file"},
        {{"detect", "--target", kTarget, "--settings", dataSet(), image}, "give either --target or --settings, not both"},
        {{"detect", "--workdir", image + "/results", "--target", kTarget, image},
         "cannot create the working directory " + image + "/results"},
        {{"detect", "--workdir", bad.path(), image},
         bad.filePath("MainWindowSettings.ini") + ": key \"MainWindowSettings/spinBox_ChessboardNumSquaresX\" has the value \"ten\""},
        {{"detect", "--settings", image, image}, image + ": not a settings file"},
        {{"detect", "--target", kTarget, work.filePath("*.jpg")}, "no file matches \"" + work.filePath("*.jpg") + "\""},
        // Calibration options.
        {{"intrinsic", "--target", kTarget, "--fix", "focal", image},
         "fixing the focal length or principal point needs start values: add --guess FILE"},
        {{"intrinsic", "--target", kTarget, "--fix", "k4", image}, "k4, k5 and k6 exist only in the rational model (add --rational)"},
        {{"intrinsic", "--target", kTarget, "--guess", image, image}, "intrinsics file " + image + ": "},
        {{"stereo", "--target", kTarget, "--primary-images", primary, "--secondary-images",
          dataSet() + "/stereo/secondary_0[0-3].png"},
         "5 primary images but 4 secondary images; the lists must pair up"},
        {{"stereo", "--target", kTarget, "--primary-images", primary, "--secondary-images", secondary, "--secondary-name", "Cam0"},
         "the primary and the secondary need different names"},
        {{"stereo", "--target", kTarget, "--primary-images", primary, "--secondary-images", secondary, "--alpha", "0.5"},
         "--alpha belongs to the rectification: add --rectify"},
        {{"stereo", "--target", kTarget, "--primary-images", primary, "--secondary-images", secondary, "--rectify",
          "--rectified-size", "640"},
         "--rectified-size must be WIDTHxHEIGHT in pixels"},
        // Structured light.
        {{"patterns", "--projector", "1024x0"}, "--projector must be WIDTHxHEIGHT in pixels (1..999999 each), not \"1024x0\""},
        {{"patterns"}, "no projector resolution given: use --projector WIDTHxHEIGHT"},
        {shortSet, "the set has 25 images, but a 64x48 projector needs 26"},
        {{"decode", "--projector", "1024x768", set}, "the set has 26 images, but a 1024x768 projector needs 42"},
        // Synthetic data: nothing that would fold over or not render; synth and demo never write into a
        // folder that holds something.
        {{"synth", "--output", "out", "--camera", "fisheye"}, "--camera \"fisheye\": \"fisheye\" is not a preset"},
        {{"synth", "--output", "out", "--camera", "k1=-3"}, "this distortion folds the image corners over"},
        {{"synth", "--output", "out", "--secondary-camera", "f=-5"}, "--secondary-camera \"f=-5\": f must be positive"},
        {{"synth", "--output", "out", "--sets", "intrinsic,mono"}, "--sets: unknown set \"mono\""},
        {{"synth", "--output", "out", "--projector", "8x8"}, "--projector must be from 16x16 to 4096x4096"},
        {{"synth", "--output", "out", "--target", "charuco:20x20:30:20:DICT_4X4_50"}, "this target cannot be rendered"},
        {{"synth", "--output", bad.path(), "--sets", "intrinsic"}, "the output folder " + bad.path() + " is not empty"},
        {{"demo", "--workdir", bad.path()}, "the demo needs a fresh folder; " + bad.path() + " is not empty"},
    };
    for (const auto& [args, reason] : cases) {
        const CliRun r = run(args, work.path());
        const std::string what = args.join(' ').toStdString() + "\n" + r.err.toStdString();
        EXPECT_EQ(r.code, 2) << what;
        EXPECT_TRUE(r.out.isEmpty()) << what << r.out.toStdString();
        EXPECT_TRUE(r.err.startsWith("vantiro-cli " + args[0] + ": ") && r.err.count('\n') == 1) << what;
        EXPECT_TRUE(r.err.contains(reason)) << what << " lacks " << reason.toStdString();
        EXPECT_TRUE(QDir(work.path()).isEmpty()) << what;
    }
}

TEST(CliArguments, TargetsFromArgumentsAndSettingsFiles)
{
    // Known kinds in the forms the help shows, dictionary names in any case and ids included, are
    // accepted (only the chessboard is on the image); so is the data set's MainWindowSettings.ini
    // as a file, as its folder, as the working directory's and as the current directory's.
    const QString image = dataSet() + "/intrinsic/view_00.png";
    const std::tuple<QStringList, QString, int> runs[] = {
        {{"--target", "chessboard:10x7:25x30:exhaustive"}, {}, 0},
        {{"--target", "chessboard:5x150:1"}, {}, 1}, // Y may exceed the largest X
        {{"--target", "charuco:10x9:100:75:dict_apriltag_36h11:legacy"}, {}, 1},
        {{"--target", "charuco:5x5:30:20:3"}, {}, 1},
        {{"--target", "radon:10x9:100"}, {}, 1},
        {{"--settings", dataSet() + "/MainWindowSettings.ini"}, {}, 0},
        {{"--settings", dataSet()}, {}, 0},
        {{"--workdir", dataSet()}, {}, 0},
        {{}, dataSet(), 0},
    };
    for (const auto& [args, cwd, code] : runs) {
        const CliRun r = run(QStringList{"detect"} + args + QStringList{image}, cwd);
        EXPECT_EQ(r.code, code) << args.join(' ').toStdString() << ": " << r.err.toStdString();
        EXPECT_TRUE(code ? r.out.endsWith("Target found in 0 of 1 images\n")
                         : r.out == image + ": 54 corners\nTarget found in 1 of 1 images\n")
            << r.out.toStdString();
    }
}
