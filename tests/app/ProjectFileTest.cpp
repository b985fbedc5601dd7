#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <opencv2/calib3d.hpp>

#include "app/ProjectFile.h"
#include "sensors/Pose.h"
#include "support/TestSupport.h"

using vantiro::test::pathIn;

namespace {

std::vector<ProjectObject> threeObjects()
{
    std::vector<ProjectObject> objects(3);
    objects[0].name = "Cam0";
    objects[0].K = (cv::Mat_<double>(3, 3) << 1000, 0, 640, 0, 1001, 480, 0, 0, 1);
    objects[0].kc = (cv::Mat_<double>(1, 5) << -0.1, 0.02, 0.001, -0.002, 0.003);
    objects[0].imgSize = cv::Size(1280, 960);
    cv::Rodrigues(cv::Vec3d(0.1, 0.2, -0.3), objects[0].R);
    objects[0].t = cv::Matx31d(5, 6, 7);
    objects[1].name = "Projector";
    objects[1].t = cv::Matx31d(0, 100, 0);
    objects[2].name = "Cam2";
    objects[2].K = (cv::Mat_<double>(3, 3) << 500, 0, 320, 0, 500, 240, 0, 0, 1);
    objects[2].kc = cv::Mat::zeros(1, 8, CV_64F);
    objects[2].kc.at<double>(5) = 0.5;
    objects[2].imgSize = cv::Size(640, 480);
    cv::Rodrigues(cv::Vec3d(-0.5, 0.0, 0.25), objects[2].R);
    objects[2].t = cv::Matx31d(300, -20, 15);
    return objects;
}

} // namespace

TEST(ProjectFile, NamesOfFiles)
{
    EXPECT_EQ(proposedProjectPath("/tmp/w", "Cam0"), "/tmp/w/Cam0.project.yml");
    EXPECT_EQ(projectJsonTwin("/a/A.project.yml"), "/a/A.project.json");
    EXPECT_EQ(projectJsonTwin("/a/noext"), "/a/noext.json");
}

TEST(ProjectFile, FirstWorldWritesOwnPosesWithKeysInOrderAndAJsonTwin)
{
    QTemporaryDir dir;
    const QString path = pathIn(dir, "B.project.yml");
    const auto objects = threeObjects();
    writeProjectFile(path, objects, 0, "2026-12-06T10:00:00");
    const ProjectReadResult r = readProjectFile(path);
    ASSERT_EQ(r.status, ProjectReadResult::Status::Ok) << r.message.toStdString();
    ASSERT_EQ(r.objects.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(r.objects[i].name, objects[i].name);
        EXPECT_LT(cv::norm(cv::Mat(r.objects[i].R), cv::Mat(objects[i].R)), 1e-12);
        EXPECT_LT(cv::norm(r.objects[i].t - objects[i].t), 1e-12);
    }
    EXPECT_EQ(r.objects[0].imgSize, cv::Size(1280, 960));
    EXPECT_EQ(r.objects[2].kc.cols, 8);
    EXPECT_TRUE(r.objects[1].K.empty());

    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QString yaml = QString::fromUtf8(f.readAll());
    EXPECT_TRUE(yaml.startsWith("%YAML:1.0"));
    QStringList order = {"ISODate:", "Sensors:", "World:", "imgSize0:", "K0:", "kc0:", "R0:", "T0:",
                         "R1:",      "T1:",      "imgSize2:", "K2:",   "kc2:", "R2:", "T2:"};
    int pos = 0;
    for (const QString& key : order) {
        const int at = yaml.indexOf("\n" + key, pos);
        ASSERT_GT(at, 0) << key.toStdString() << " missing or out of order";
        pos = at;
    }
    EXPECT_FALSE(yaml.contains("K1:"));
    EXPECT_TRUE(yaml.contains("ISODate: \"2026-12-06T10:00:00\""));

    cv::FileStorage a(path.toStdString(), cv::FileStorage::READ);
    cv::FileStorage b(projectJsonTwin(path).toStdString(), cv::FileStorage::READ);
    ASSERT_TRUE(b.isOpened());
    EXPECT_EQ(std::string(b["ISODate"]), std::string(a["ISODate"]));
    EXPECT_EQ(b["Sensors"].size(), 3u);
    EXPECT_EQ(std::string(b["World"][0]), "Cam0");
    for (const char* key : {"K0", "kc0", "R0", "T0", "R1", "T1", "K2", "kc2", "R2", "T2"}) {
        cv::Mat ma, mb;
        a[key] >> ma;
        b[key] >> mb;
        ASSERT_FALSE(mb.empty()) << key;
        EXPECT_EQ(cv::norm(ma, mb, cv::NORM_INF), 0) << key;
    }
}

TEST(ProjectFile, OtherWorldWritesIdentityForItAndRelativePosesForTheRest)
{
    QTemporaryDir dir;
    const QString path = pathIn(dir, "C.project.yml");
    const auto objects = threeObjects();
    writeProjectFile(path, objects, 2, "x");
    const ProjectReadResult r = readProjectFile(path);
    ASSERT_EQ(r.status, ProjectReadResult::Status::Ok);
    EXPECT_EQ(r.world, 2);
    EXPECT_LT(cv::norm(cv::Mat(r.objects[2].R), cv::Mat(cv::Matx33d::eye())), 1e-15);
    EXPECT_EQ(cv::norm(r.objects[2].t), 0);
    // Placing every object relative to the world again gives back the original poses.
    for (int i : {0, 1}) {
        cv::Matx33d R;
        cv::Matx31d t;
        composePose(objects[2].R, objects[2].t, r.objects[size_t(i)].R, r.objects[size_t(i)].t, R, t);
        EXPECT_LT(cv::norm(cv::Mat(R), cv::Mat(objects[size_t(i)].R)), 1e-9) << i;
        EXPECT_LT(cv::norm(t - objects[size_t(i)].t), 1e-9) << i;
    }
}

TEST(ProjectFile, StructureErrorsCarryTheirMessages)
{
    QTemporaryDir dir;
    const QString path = pathIn(dir, "bad.yml");
    struct Case
    {
        QByteArray text;
        ProjectReadResult::Status status;
        QString message;
    } cases[] = {
        {"%YAML:1.0\nWorld: [ a ]\n", ProjectReadResult::Status::InvalidStructure, "Invalid Vantiro data structure in "},
        {"%YAML:1.0\nSensors: a\nWorld: [ a ]\n", ProjectReadResult::Status::InvalidStructure,
         "Invalid Vantiro data structure in "},
        {"%YAML:1.0\nSensors: []\nWorld: [ a ]\n", ProjectReadResult::Status::EmptySensors, "Sensors node in "},
        {"%YAML:1.0\nSensors: [ a ]\n", ProjectReadResult::Status::InvalidStructure, "Invalid Vantiro data structure"},
        {"%YAML:1.0\nSensors: [ a, b ]\nWorld: [ c ]\n", ProjectReadResult::Status::WorldNotFound,
         "Sensors node does not contain the world c"},
        {"%YAML:1.0\nSensors: [ a, B ]\nWorld: [ b ]\n", ProjectReadResult::Status::WorldNotFound,
         "Sensors node does not contain the world b"},
        {"%YAML:1.0\nSensors: [ a, 3 ]\nWorld: [ a ]\n", ProjectReadResult::Status::InvalidStructure,
         "Invalid Vantiro data structure"},
    };
    for (const auto& c : cases) {
        vantiro::test::writeFile(path, c.text);
        const ProjectReadResult r = readProjectFile(path);
        EXPECT_EQ(r.status, c.status) << c.text.toStdString();
        EXPECT_TRUE(r.message.startsWith(c.message)) << r.message.toStdString();
        EXPECT_TRUE(r.objects.empty());
    }
    const ProjectReadResult missing = readProjectFile(pathIn(dir, "nope.yml"));
    EXPECT_EQ(missing.status, ProjectReadResult::Status::CannotOpen);
    EXPECT_EQ(missing.message, "Couldn't open project file: " + pathIn(dir, "nope.yml"));
    EXPECT_EQ(readProjectFile(dir.path()).status, ProjectReadResult::Status::CannotOpen) << "a directory";
}

TEST(ProjectFile, MultipleWorldsUseTheFirstWithAWarning)
{
    QTemporaryDir dir;
    const QString path = pathIn(dir, "w.yml");
    vantiro::test::writeFile(path, "%YAML:1.0\nSensors: [ a, b ]\nWorld: [ b, a ]\n");
    const ProjectReadResult r = readProjectFile(path);
    ASSERT_EQ(r.status, ProjectReadResult::Status::Ok);
    EXPECT_EQ(r.world, 1);
    EXPECT_EQ(r.warning, "Project contains multiple worlds, using the first item b as the world");
    // Missing pose keys: identity and zero translation; missing intrinsics stay empty.
    EXPECT_EQ(r.objects[0].R, cv::Matx33d::eye());
    EXPECT_EQ(cv::norm(r.objects[0].t), 0);
    EXPECT_TRUE(r.objects[0].K.empty());
}

TEST(ProjectFile, BadValuesAreRejectedBeforeAnythingIsApplied)
{
    QTemporaryDir dir;
    const QString path = pathIn(dir, "v.yml");
    const QByteArray head = "%YAML:1.0\nSensors: [ a ]\nWorld: [ a ]\n";
    const QByteArray badK2x2 = "K0: !!opencv-matrix\n   rows: 2\n   cols: 2\n   dt: d\n   data: [ 1., 0., 0., 1. ]\n";
    const QByteArray nanK =
        "K0: !!opencv-matrix\n   rows: 3\n   cols: 3\n   dt: d\n   data: [ .nan, 0., 1., 0., 1., 1., 0., 0., 1. ]\n";
    const QByteArray textK = "K0: \"hello\"\n";
    const QByteArray badSize = "imgSize0: [ 640 ]\n";
    const QByteArray badT = "T0: !!opencv-matrix\n   rows: 2\n   cols: 1\n   dt: d\n   data: [ 1., 2. ]\n";
    for (const QByteArray& body : {badK2x2, nanK, textK, badSize, badT}) {
        vantiro::test::writeFile(path, head + body);
        const ProjectReadResult r = readProjectFile(path);
        EXPECT_EQ(r.status, ProjectReadResult::Status::InvalidValue) << body.toStdString();
        EXPECT_TRUE(r.message.startsWith("Invalid value of \"")) << r.message.toStdString();
        EXPECT_TRUE(r.objects.empty());
    }
    vantiro::test::writeFile(path, head + "R0: !!opencv-matrix\n   rows: 0\n   cols: 0\n   dt: d\n   data: []\n");
    const ProjectReadResult emptyR = readProjectFile(path);
    ASSERT_EQ(emptyR.status, ProjectReadResult::Status::Ok);
    EXPECT_EQ(emptyR.objects[0].R, cv::Matx33d::zeros()) << "a present but empty R reads as zeros";
}

TEST(ProjectFile, FailedSaveLeavesTheExistingProjectUntouched)
{
    QTemporaryDir dir;
    const QString path = pathIn(dir, "keep.project.yml");
    vantiro::test::writeFile(path, "original");
    // A directory where the JSON twin should go makes the save fail half way.
    ASSERT_TRUE(QDir(dir.path()).mkdir("keep.project.json"));
    EXPECT_THROW(writeProjectFile(path, threeObjects(), 0, "x"), cv::Exception);
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), "original");
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 1) << "temporaries removed";

    EXPECT_THROW(writeProjectFile(pathIn(dir, "missing/dir/p.yml"), threeObjects(), 0, "x"), cv::Exception);
}

// Names that look like YAML structure are written as strings and reopen, from YAML and JSON.
TEST(ProjectFile, AnyNameReopens)
{
    QTemporaryDir dir;
    const QString path = pathIn(dir, "n.project.yml");
    auto objects = threeObjects();
    const QStringList names = {"[Cam", "{P}", "]", "a: b #c", "\"q\"", "'", "- x", "123", "Kamera ä"};
    objects.resize(size_t(names.size()));
    for (qsizetype i = 0; i < names.size(); ++i)
        objects[size_t(i)].name = names[i];
    writeProjectFile(path, objects, 3, "x");
    for (const QString& file : {path, projectJsonTwin(path)}) {
        const ProjectReadResult r = readProjectFile(file);
        ASSERT_EQ(r.status, ProjectReadResult::Status::Ok) << file.toStdString() << r.message.toStdString();
        EXPECT_EQ(r.world, 3);
        ASSERT_EQ(r.objects.size(), size_t(names.size()));
        for (qsizetype i = 0; i < names.size(); ++i)
            EXPECT_EQ(r.objects[size_t(i)].name, names[i]);
    }
    // Malformed text is refused with the parser's reason, never thrown.
    vantiro::test::writeFile(path, "%YAML:1.0\nSensors: [ a\n");
    const ProjectReadResult bad = readProjectFile(path);
    EXPECT_EQ(bad.status, ProjectReadResult::Status::Malformed);
    EXPECT_TRUE(bad.message.startsWith("Couldn't open project file: " + path + "\n")) << bad.message.toStdString();
}
