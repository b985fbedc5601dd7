// Files and arguments that once hung, fooled or half-wrote the tool: each is refused clearly and
// quickly, and nothing is left behind.

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <opencv2/imgcodecs.hpp>

#include "CliTestSupport.h"
#include "app/ProjectFile.h"
#include "intrinsic/IntrinsicFiles.h"
#include "support/TestSupport.h"
#include "targets/TargetSettingsFile.h"

using namespace cli_test;

namespace {

const QString kRegressions = QStringLiteral(VANTIRO_TEST_DATA_DIR "/regressions");

QStringList regressionFiles()
{
    return QDir(kRegressions).entryList(QDir::Files, QDir::Name);
}

void copyTo(const QString& from, const QString& to)
{
    QFile::remove(to);
    ASSERT_TRUE(QFile::copy(from, to)) << to.toStdString();
}

} // namespace

// Every regression file, fed to every reader of its kind, is refused within a second.
TEST(HostileFiles, EveryReaderRefusesEveryRegressionFileQuickly)
{
    const QStringList files = regressionFiles();
    ASSERT_EQ(files.size(), 9);
    for (const QString& name : files) {
        const QString path = kRegressions + "/" + name;
        QElapsedTimer clock;
        clock.start();
        const auto corners = vantiro::intrinsic::readCornerFile(path);
        EXPECT_EQ(corners.status, vantiro::intrinsic::CornerFileStatus::Invalid) << name.toStdString();
        EXPECT_FALSE(corners.error.isEmpty());
        const auto intrinsics = vantiro::intrinsic::readIntrinsicsFile(path);
        // The corner files are well-formed YAML without a camera matrix: nothing to use either way.
        EXPECT_TRUE(!intrinsics.ok || intrinsics.K.empty()) << name.toStdString();
        const ProjectReadResult project = readProjectFile(path);
        EXPECT_NE(project.status, ProjectReadResult::Status::Ok) << name.toStdString();
        EXPECT_TRUE(project.message.startsWith(name.startsWith("corners") ? "Invalid Vantiro data structure in "
                                                                         : "Couldn't open project file: " + path + "\n"))
            << project.message.toStdString();
        const TargetSettingsFileResult settings = readTargetSettingsFile(path);
        EXPECT_FALSE(settings.ok) << name.toStdString();
        EXPECT_LT(clock.elapsed(), 1000) << name.toStdString();
    }
}

// The same files through the command line: exit status 2, one line, nothing written.
TEST(HostileFiles, TheToolRefusesThemWithStatusTwoAndWritesNothing)
{
    QTemporaryDir work, shots;
    const QString image = dataSet() + "/intrinsic/view_00.png";
    for (const QString& name : regressionFiles()) {
        const QString file = work.filePath(name);
        copyTo(kRegressions + "/" + name, file);
        const QStringList before = filesIn(work.path());
        QElapsedTimer clock;
        clock.start();
        const CliRun guess = run({"intrinsic", "--target", kTarget, "--workdir", work.path(), "--guess", file, image});
        EXPECT_EQ(guess.code, 2) << name.toStdString() << guess.err.toStdString();
        EXPECT_TRUE(guess.err.startsWith("vantiro-cli intrinsic: intrinsics file " + file + ": ")) << guess.err.toStdString();
        EXPECT_EQ(guess.err.count('\n'), 1);
        const CliRun settings = run({"detect", "--settings", file, image});
        EXPECT_EQ(settings.code, 2) << name.toStdString();
        const CliRun project = run({"stereo", "--target", kTarget, "--workdir", work.path(), "--primary-images", image,
                                    "--secondary-images", image, "--secondary-name", "Cam1", "--extrinsic-guess", file});
        EXPECT_EQ(project.code, 2) << name.toStdString() << project.err.toStdString();
        EXPECT_EQ(project.err.count('\n'), 1) << project.err.toStdString();
        EXPECT_LT(clock.elapsed(), 15000) << name.toStdString();
        EXPECT_EQ(filesIn(work.path()), before) << name.toStdString();
    }

    // As a corner file beside an image: ignored with a warning, the image is detected instead,
    // and the result is the detected one (not NaN, not absurd).
    const QStringList views = QDir(dataSet() + "/intrinsic").entryList({"view_*.png"}, QDir::Files, QDir::Name);
    ASSERT_GE(views.size(), 5);
    for (int i = 0; i < views.size(); ++i)
        copyTo(dataSet() + "/intrinsic/" + views[i], shots.filePath(views[i]));
    const QString corner = shots.filePath(QFileInfo(views[0]).completeBaseName() + ".yml");
    copyTo(kRegressions + "/corners-identical.yml", corner);
    const CliRun r = run({"intrinsic", "--target", kTarget, "--workdir", work.path(), shots.filePath("view_*.png")});
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains("Warning: Corner file " + corner + " ignored: the image points lie on one line or one point."))
        << r.out.toStdString();
    const auto written = vantiro::intrinsic::readIntrinsicsFile(work.filePath("Cam0.intrinsics.yml"));
    ASSERT_TRUE(written.ok) << written.error.toStdString();
    EXPECT_GT(written.K.at<double>(0, 0), 100.0);
}

// Names that would leave the working directory or hide the result, and targets no board has.
TEST(HostileFiles, ArgumentsThatWouldWriteElsewhereOrDescribeNoBoard)
{
    QTemporaryDir work;
    const QString image = dataSet() + "/intrinsic/view_00.png";
    const std::pair<QStringList, QString> cases[] = {
        {{"intrinsic", "--target", kTarget, "--name", "..", image},
         "--name must be a non-empty name without '/' or '\\' that does not start with '.'"},
        {{"intrinsic", "--target", kTarget, "--name", ".hidden", image}, "--name must be"},
        {{"intrinsic", "--target", kTarget, "--name", "a\\b", image}, "--name must be"},
        {{"stereo", "--target", kTarget, "--primary-images", image, "--secondary-images", image, "--primary-name", "../x"},
         "--primary-name must be"},
        {{"detect", "--target", "charuco:10x9:50:50:DICT_6X6_250", image},
         "the marker (50 mm) must be smaller than the square (50 mm)"},
    };
    for (const auto& [args, reason] : cases) {
        const CliRun r = run(args, work.path());
        EXPECT_EQ(r.code, 2) << args.join(' ').toStdString();
        EXPECT_TRUE(r.err.contains(reason)) << r.err.toStdString();
    }
    EXPECT_TRUE(QDir(work.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).isEmpty());

    // An extrinsic guess whose pose is scaled is no rotation to start from.
    QTemporaryDir projects;
    std::vector<ProjectObject> objects(2);
    objects[0].name = "Cam0";
    objects[1].name = "Cam1";
    objects[1].R = cv::Matx33d::eye() * 2.0;
    const QString project = projects.filePath("Cam0.project.yml");
    writeProjectFile(project, objects, 0, "x");
    const CliRun guess = run({"stereo", "--target", kTarget, "--workdir", work.path(), "--primary-images", image,
                              "--secondary-images", image, "--extrinsic-guess", project});
    EXPECT_EQ(guess.code, 2);
    EXPECT_EQ(guess.err, "vantiro-cli stereo: project file " + project + ": the pose of Cam0 or Cam1 is not a rotation\n");

    // A settings file whose marker is as large as its square.
    QFile in(dataSet() + "/MainWindowSettings.ini");
    ASSERT_TRUE(in.open(QIODevice::ReadOnly));
    QByteArray ini = in.readAll();
    ini.replace("radioButton_TargetChessboard=true", "radioButton_TargetChessboard=false")
        .replace("radioButton_TargetChArUco=false", "radioButton_TargetChArUco=true");
    QString text = QString::fromUtf8(ini);
    text.replace(QRegularExpression("doubleSpinBox_ArUcoMarkerSize=[0-9.]+"), "doubleSpinBox_ArUcoMarkerSize=100");
    text.replace(QRegularExpression("doubleSpinBox_ChArUcoSquareSize=[0-9.]+"), "doubleSpinBox_ChArUcoSquareSize=100");
    vantiro::test::writeFile(work.filePath("MainWindowSettings.ini"), text.toUtf8());
    const TargetSettingsFileResult s = readTargetSettingsFile(work.filePath("MainWindowSettings.ini"));
    EXPECT_FALSE(s.ok);
    EXPECT_TRUE(s.error.endsWith("key \"MainWindowSettings/doubleSpinBox_ArUcoMarkerSize\" (100 mm) must be smaller "
                                 "than key \"MainWindowSettings/doubleSpinBox_ChArUcoSquareSize\" (100 mm)"))
        << s.error.toStdString();
}

// Images that cannot be read stop the command before it starts (status 2); a set whose images
// differ in size is not decoded.
TEST(HostileFiles, UnreadableOversizedAndMismatchedImages)
{
    QTemporaryDir work;
    vantiro::test::writeFile(work.filePath("text.png"), "not an image");
    QFile png(dataSet() + "/intrinsic/view_00.png");
    ASSERT_TRUE(png.open(QIODevice::ReadOnly));
    QByteArray bomb = png.readAll();
    for (int at : {16, 20}) // width and height in the header: 20000 each
        bomb[at] = 0, bomb[at + 1] = 0, bomb[at + 2] = char(0x4e), bomb[at + 3] = char(0x20);
    vantiro::test::writeFile(work.filePath("bomb.png"), bomb);
    for (const QString& name : {QStringLiteral("text.png"), QStringLiteral("bomb.png")}) {
        QElapsedTimer clock;
        clock.start();
        const CliRun r = run({"intrinsic", "--target", kTarget, "--workdir", work.path(), work.filePath(name)});
        EXPECT_EQ(r.code, 2) << r.err.toStdString();
        EXPECT_TRUE(r.err.startsWith("vantiro-cli intrinsic: image " + work.filePath(name) + ": ")) << r.err.toStdString();
        EXPECT_LT(clock.elapsed(), 5000);
    }
    EXPECT_TRUE(run({"detect", "--target", kTarget, work.filePath("bomb.png")}).err.contains(
        "the header declares 20000 x 20000 px"));

    // A set with one image of another size.
    const QString set = work.filePath("set");
    QDir().mkpath(set);
    for (int i = 0; i < 26; ++i)
        copyTo(dataSet() + QString("/projector/set_00/%1.png").arg(i), set + QString("/%1.png").arg(i));
    cv::imwrite((set + "/7.png").toStdString(), cv::Mat(10, 10, CV_8UC1, cv::Scalar(0)));
    const CliRun r = run({"decode", "--projector", "64x48", "--output", work.filePath("out"), set});
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(r.err.contains(set + "/7.png is 10x10 px but " + set + "/0.png is")) << r.err.toStdString();
    EXPECT_FALSE(QFileInfo::exists(work.filePath("out")));
}

// A write error half-way leaves no partial output: no pattern images, no corner files.
TEST(HostileFiles, WriteErrorsLeaveNoPartialOutput)
{
    QTemporaryDir work;
    const QString folder = work.filePath("GrayCodeImages_40_20");
    ASSERT_TRUE(QDir().mkpath(folder + "/17.png")); // a folder where image 17 goes
    CliRun r = run({"patterns", "--projector", "40x20", "--workdir", work.path()});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.err.contains("cannot replace " + folder + "/17.png: it is a folder; nothing was written")) << r.err.toStdString();
    EXPECT_EQ(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList({"17.png"}));

    const QStringList views = QDir(dataSet() + "/intrinsic").entryList({"view_*.png"}, QDir::Files, QDir::Name);
    for (const QString& v : views)
        copyTo(dataSet() + "/intrinsic/" + v, work.filePath(v));
    const QString blocked = work.filePath(QFileInfo(views.last()).completeBaseName() + ".yml");
    ASSERT_TRUE(QDir().mkpath(blocked));
    r = run({"detect", "--target", kTarget, "--write-corners", work.filePath("view_*.png")});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.err.contains("cannot replace " + blocked + ": it is a folder; nothing was written")) << r.err.toStdString();
    EXPECT_TRUE(QDir(work.path()).entryList({"*.yml"}, QDir::Files | QDir::Hidden).isEmpty());
}
