#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <opencv2/calib3d.hpp>

#include "CliTestSupport.h"

using namespace cli_test;

namespace {

// Five capture sets of a 320 x 240 camera and a 128 x 96 projector, made by the tool itself.
const QString& captures()
{
    static QTemporaryDir dir;
    static const QString data = [] {
        const QString out = dir.path() + "/data";
        const CliRun r = run({"synth", "--output", out, "--sets", "projector", "--projector-sets", "5", "--camera",
                              "ideal,size=320x240,f=300", "--projector", "128x96", "--seed", "5"});
        EXPECT_EQ(r.code, 0) << r.err.toStdString();
        return out;
    }();
    return data;
}

cv::Mat read(const QString& file, const char* key, const char* inner = nullptr)
{
    cv::FileStorage fs(file.toStdString(), cv::FileStorage::READ);
    cv::Mat m;
    if (inner)
        fs[key][inner] >> m;
    else
        fs[key] >> m;
    return m;
}

} // namespace

TEST(CliCamProj, CornersInputDataAndCalibration)
{
    QTemporaryDir copy;
    const QString w = copy.path() + "/work";
    // The sets, a stray folder of the wrong length and the settings file.
    QDir().mkpath(w);
    for (int s = 0; s < 5; ++s) {
        const QString from = captures() + QString("/projector/set_%1").arg(s, 2, 10, QLatin1Char('0'));
        const QString to = w + QString("/pose%1").arg(s);
        QDir().mkpath(to);
        for (const QString& f : filesIn(from))
            QFile::copy(from + "/" + f, to + "/" + f);
    }
    QDir().mkpath(w + "/stray");
    QFile::copy(captures() + "/projector/set_00/0.png", w + "/stray/0.png");
    QFile::copy(captures() + "/MainWindowSettings.ini", w + "/MainWindowSettings.ini");

    CliRun r = run({"camproj", "--workdir", w, "--camera-name", "Cam", "--projector-name", "Proj"});
    ASSERT_EQ(r.code, 0) << r.out.toStdString() << r.err.toStdString();
    EXPECT_TRUE(r.out.startsWith("5 capture set(s) in " + w + ": 0=pose0 1=pose1 2=pose2 3=pose3 4=pose4\n\n"
                                 "Target settings:\n"))
        << r.out.toStdString();
    for (const char* line : {"Projector resolution: 128x96 px\n\nDetecting targets: 0 1 2 3 4 \n\n",
                             "Extracting projector corners: 0 1 2 3 4 \n\n", "Finished writing."})
        EXPECT_TRUE(r.out.contains(line)) << line;
    const QString data = w + "/ExtrinsicCalibrationData/";
    EXPECT_EQ(filesIn(data + "Cam").size(), 10);
    EXPECT_EQ(filesIn(data + "Proj").last(), "proj_view_4.yml");
    EXPECT_EQ(read(data + "Proj/proj_view_2.yml", "corners").type(), CV_32FC2);
    EXPECT_FALSE(QFileInfo::exists(w + "/Cam.intrinsics.yml")) << "no calibration without --calibrate";

    // Calibrated as a stereo pair, with the stereo command's model options.
    r = run({"camproj", "--workdir", w, "--camera-name", "Cam", "--projector-name", "Proj", "--calibrate", "--fix",
             "k3", "--secondary-fix", "k2"});
    ASSERT_EQ(r.code, 0) << r.out.toStdString() << r.err.toStdString();
    EXPECT_TRUE(r.out.contains("Extrinsic calibration with 5/5 image sets...")) << r.out.toStdString();
    for (const char* file : {"Cam.intrinsics.yml", "Proj.intrinsics.yml", "Cam.project.yml", "Cam.project.json"})
        EXPECT_TRUE(QFileInfo::exists(w + "/" + file)) << file;
    const cv::Mat K = read(w + "/Proj.intrinsics.yml", "K"), kc = read(w + "/Proj.intrinsics.yml", "kc");
    const cv::Mat trueK = read(captures() + "/truth.yml", "projector", "K");
    ASSERT_EQ(K.size(), cv::Size(3, 3));
    EXPECT_NEAR(K.at<double>(0, 0) / trueK.at<double>(0, 0), 1.0, 0.01);
    EXPECT_NEAR(K.at<double>(0, 2), trueK.at<double>(0, 2), 2.0);
    EXPECT_EQ(kc.at<double>(1), 0.0) << "k2 was fixed at 0";
    EXPECT_EQ(kc.at<double>(4), 0.0) << "k3 was fixed at 0";
    // The projector's pose in the camera's frame against the truth (camera -> projector R, T).
    const cv::Mat R = read(captures() + "/truth.yml", "projectorPose", "R");
    const cv::Mat T = read(captures() + "/truth.yml", "projectorPose", "T");
    const cv::Mat trueCentre = -R.t() * T;
    const cv::Mat centre = read(w + "/Cam.project.yml", "T1");
    ASSERT_EQ(centre.total(), 3u);
    EXPECT_LT(cv::norm(centre.reshape(1, 3) - trueCentre), 0.02 * cv::norm(trueCentre));
}

TEST(CliCamProj, RefusesBadArgumentsBeforeWorking)
{
    QTemporaryDir empty;
    const QStringList base = {"camproj", "--workdir", empty.path(), "--projector", "128x96", "--target",
                              kTarget};
    struct Case
    {
        QStringList extra;
        QString message;
    };
    const Case cases[] = {
        {{}, "no capture set of 30 images (a 128x96 projector) in " + empty.path()},
        {{"--camera-name", "A", "--projector-name", "A"}, "the camera and the projector need different names"},
        {{"--projector-name", "a/b"}, "--projector-name must be a non-empty name without '/'"},
        {{"--radius", "1"}, "--radius"},
        {{"--mask-threshold", "1.5"}, "--mask-threshold"},
        {{"--calibrate", "--secondary-fix", "focal"}, "--secondary-guess"},
    };
    for (const Case& c : cases) {
        const CliRun r = run(base + c.extra);
        EXPECT_EQ(r.code, 2) << c.extra.join(' ').toStdString();
        EXPECT_TRUE(r.err.startsWith("vantiro-cli camproj: ")) << r.err.toStdString();
        EXPECT_TRUE(r.err.contains(c.message)) << r.err.toStdString();
        EXPECT_EQ(r.err.count('\n'), 1);
    }
    EXPECT_TRUE(filesIn(empty.path()).isEmpty());
}
