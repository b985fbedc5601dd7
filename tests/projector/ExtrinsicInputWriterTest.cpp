#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <opencv2/imgcodecs.hpp>

#include "app/LogSink.h"
#include "projector/ExtrinsicInputWriter.h"
#include "projector/GrayCodeSets.h"

using namespace camproj;
using vantiro::RecordingLogSink;

namespace {

// Four sets of a 40 x 30 camera and a 32 x 24 projector that sees the camera image one to one:
// set 1 unchecked, set 3 without projector corners.
class ExtrinsicInput : public testing::Test
{
protected:
    void SetUp() override
    {
        std::vector<QStringList> files;
        for (int s = 0; s < 4; ++s) {
            const QString folder = dir.path() + QString("/set%1").arg(s);
            QDir().mkpath(folder);
            cv::Mat white(30, 40, CV_8UC3, cv::Scalar(200, 180 + s, 160));
            white.at<cv::Vec3b>(3, 4) = cv::Vec3b(1, 2, 3);
            const QString whitePath = folder + "/0.png", blackPath = folder + "/1.png";
            cv::imwrite(whitePath.toStdString(), white);
            cv::imwrite(blackPath.toStdString(), cv::Mat(30, 40, CV_8UC3, cv::Scalar(10, 10, 10)));
            files.push_back({whitePath, blackPath});
        }
        images.setSets(files);
        images.setProjectorSize({32, 24});
        cv::Mat identity(30, 40, CV_32FC2);
        identity.forEach<cv::Vec2f>([](cv::Vec2f& p, const int* at) { p = cv::Vec2f(float(at[1]), float(at[0])); });
        images.decodedPatterns().assign(4, identity);
        corners.resize(4);
        for (int s = 0; s < 4; ++s) {
            CornerSet& set = corners[size_t(s)];
            for (int i = 0; i < 5; ++i) {
                set.targetPoints.push_back({25.0f * float(i), 25.0f * float(s), 0.0f});
                set.cameraCorners.push_back({1.5f + float(i), 2.25f + float(s)});
                if (s != 3)
                    set.projectorCorners.push_back({0.5f * float(i), 10.125f - float(s)});
            }
        }
        corners[1].checked = false;
        corners[3].projectorCorners.clear();
        request.workingDirectory = dir.path() + "/work";
        request.cameraName = "Cam0";
        request.projectorName = "Proj";
        QDir().mkpath(request.workingDirectory);
    }

    ExtrinsicInputResult write(bool answer = true)
    {
        questions.clear();
        return writeExtrinsicInput(images, corners, request,
                                   [this, answer](const QString& title, const QString& text) {
                                       questions << title + "|" + text;
                                       return answer;
                                   },
                                   log);
    }

    QString file(const QString& object, const QString& name) const
    {
        return request.workingDirectory + "/ExtrinsicCalibrationData/" + object + "/" + name;
    }

    QTemporaryDir dir;
    GrayCodeSets images;
    std::vector<CornerSet> corners;
    ExtrinsicInputRequest request;
    RecordingLogSink log;
    QStringList questions;
};

template <typename T> std::vector<T> readPoints(const QString& path, const char* key, int type)
{
    cv::FileStorage fs(path.toStdString(), cv::FileStorage::READ);
    cv::Mat m;
    fs[key] >> m;
    EXPECT_EQ(m.type(), type) << key;
    EXPECT_EQ(m.cols, 1) << key;
    return m.empty() ? std::vector<T>() : std::vector<T>(m.begin<T>(), m.end<T>());
}

} // namespace

TEST_F(ExtrinsicInput, ViewsAndCornerFilesOfTheCheckedSetsWithCorners)
{
    // Left from an earlier write of more sets, and files that are not ours.
    const QString camera = request.workingDirectory + "/ExtrinsicCalibrationData/Cam0/";
    QDir().mkpath(camera);
    for (const QString& name : {"cam_view_5.png", "cam_view_5.yml", "cam_view_x.png", "notes.yml"})
        QFile(camera + name).open(QIODevice::WriteOnly);

    const ExtrinsicInputResult result = write();
    ASSERT_EQ(result.status, ExtrinsicInputStatus::Written);
    EXPECT_EQ(result.sets, QList<int>({0, 2}));
    const QString root = request.workingDirectory + "/ExtrinsicCalibrationData/";
    ASSERT_EQ(questions.size(), 1);
    EXPECT_EQ(questions[0], "Writing extrinsic calibration data|Writing data for extrinsic camera-projector "
                            "calibration to:\n\n" + root + "\n\nContinue?");
    EXPECT_EQ(log.text(), "Writing data for extrinsic camera-projector calibration to:\n" + root + "\n. . \n\nFinished "
                          "writing. Use Extrinsic Stereo module for extrinsic camera-projector calibration.\n\n");

    EXPECT_EQ(QDir(camera).entryList(QDir::Files, QDir::Name),
              QStringList({"cam_view_0.png", "cam_view_0.yml", "cam_view_2.png", "cam_view_2.yml", "cam_view_x.png",
                           "notes.yml"}));
    EXPECT_EQ(QDir(root + "Proj").entryList(QDir::Files, QDir::Name),
              QStringList({"proj_view_0.png", "proj_view_0.yml", "proj_view_2.png", "proj_view_2.yml"}));
    EXPECT_EQ(extrinsicDataImages(request.workingDirectory, "Proj"),
              QStringList({root + "Proj/proj_view_0.png", root + "Proj/proj_view_2.png"}));

    for (int s : {0, 2}) {
        const CornerSet& set = corners[size_t(s)];
        const QString n = QString::number(s);
        EXPECT_EQ(readPoints<cv::Point2f>(file("Cam0", "cam_view_" + n + ".yml"), "corners", CV_32FC2), set.cameraCorners);
        EXPECT_EQ(readPoints<cv::Point2f>(file("Proj", "proj_view_" + n + ".yml"), "corners", CV_32FC2),
                  set.projectorCorners);
        for (const QString& yml : {file("Cam0", "cam_view_" + n + ".yml"), file("Proj", "proj_view_" + n + ".yml")})
            EXPECT_EQ(readPoints<cv::Point3f>(yml, "obj", CV_32FC3), set.targetPoints);
        // The white frame as it was captured, and the projector's view of it at its resolution.
        const cv::Mat view = cv::imread(file("Cam0", "cam_view_" + n + ".png").toStdString(), cv::IMREAD_UNCHANGED);
        EXPECT_EQ(cv::norm(view, images.loadSetImage(s, 0, true), cv::NORM_INF), 0.0);
        const cv::Mat projected = cv::imread(file("Proj", "proj_view_" + n + ".png").toStdString(), cv::IMREAD_UNCHANGED);
        ASSERT_EQ(projected.size(), cv::Size(32, 24));
        EXPECT_EQ(projected.at<cv::Vec3b>(3, 4), cv::Vec3b(1, 2, 3));
    }
    QFile text(file("Proj", "proj_view_2.yml"));
    ASSERT_TRUE(text.open(QIODevice::ReadOnly));
    const QByteArray yaml = text.readAll();
    EXPECT_TRUE(yaml.startsWith("%YAML:1.0\n---\n"));
    EXPECT_LT(yaml.indexOf("corners: !!opencv-matrix"), yaml.indexOf("obj: !!opencv-matrix"));
}

TEST_F(ExtrinsicInput, NothingWrittenWhenRefusedOrImpossible)
{
    EXPECT_EQ(write(false).status, ExtrinsicInputStatus::Declined);
    EXPECT_FALSE(QFileInfo::exists(request.workingDirectory + "/ExtrinsicCalibrationData"));
    EXPECT_TRUE(log.segments.empty());

    request.projectorName = "Cam0";
    EXPECT_EQ(write().status, ExtrinsicInputStatus::SameObjects);
    EXPECT_EQ(log.segments.back().text, "Selected camera and projector objects are identical. Please set distinct "
                                        "objects before writing input data for extrinsic calibration.\n\n");
    EXPECT_EQ(log.segments.back().color, vantiro::logcolor::Orange);
    for (const QString& name : {"", "..", "a/b"}) {
        request.projectorName = name;
        EXPECT_EQ(write().status, ExtrinsicInputStatus::UnusableName) << name.toStdString();
        EXPECT_EQ(log.segments.back().color, vantiro::logcolor::Red);
    }
    request.projectorName = "Proj";
    for (CornerSet& set : corners)
        set.projectorCorners.clear();
    EXPECT_EQ(write().status, ExtrinsicInputStatus::NothingToWrite);
    EXPECT_TRUE(log.segments.back().text.startsWith("No checked set has projector corners"));
    EXPECT_TRUE(questions.isEmpty());
    request.workingDirectory.clear();
    EXPECT_EQ(write().status, ExtrinsicInputStatus::NothingToWrite);
    EXPECT_FALSE(QFileInfo::exists(dir.path() + "/work/ExtrinsicCalibrationData"));
}

TEST_F(ExtrinsicInput, AFailedFileLeavesTheEarlierWriteWhole)
{
    ASSERT_EQ(write().status, ExtrinsicInputStatus::Written);
    const cv::Mat before = cv::imread(file("Cam0", "cam_view_0.png").toStdString());
    // Set 0 changes; set 2's projector file cannot be written.
    const cv::Mat decoded = images.decodedPatterns()[0];
    images.setSets({{dir.path() + "/set3/0.png", dir.path() + "/set3/1.png"}, images.sets()[1], images.sets()[2]});
    images.decodedPatterns().assign(3, decoded);
    corners.resize(3);
    // A folder where set 2's projector view belongs: set 0's files, replaced before it, get their old content back.
    QFile::remove(file("Proj", "proj_view_2.png"));
    QDir().mkpath(file("Proj", "proj_view_2.png"));
    const ExtrinsicInputResult result = write();
    EXPECT_EQ(result.status, ExtrinsicInputStatus::Failed);
    EXPECT_TRUE(result.error.contains("proj_view_2.png"));
    EXPECT_TRUE(log.segments.back().text.contains("nothing was written"));
    EXPECT_EQ(log.segments.back().color, vantiro::logcolor::Red);
    EXPECT_EQ(cv::norm(cv::imread(file("Cam0", "cam_view_0.png").toStdString()), before, cv::NORM_INF), 0.0);
    // No temporaries left behind, and the earlier set 2 files still there.
    EXPECT_EQ(QDir(file("Cam0", "")).entryList(QDir::Files | QDir::Hidden).size(), 4);
    EXPECT_EQ(QDir(file("Proj", "")).entryList(QDir::Files | QDir::Hidden).size(), 3);
}
