#pragma once
// Rendered hand-eye and tool-flange data with exact truth, and the run helpers of the robot tests.

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>

#include <cstdio>

#include "app/LogSink.h"
#include "robot/RobotCalibration.h"
#include "synth/RobotRig.h"

namespace robot_test {

using namespace vantiro;
using namespace vantiro::robot;
using vantiro::synth::Rigid;

// 1280 x 1024 with a mild barrel distortion; the runs get these true intrinsics.
inline const vantiro::synth::CameraModel kCamera{.K = cv::Matx33d(1400, 0, 645.3, 0, 1400, 508.1, 0, 0, 1),
                                                 .dist = {-0.12, 0.05, 0, 0, 0, 0, 0, 0}, .size = {1280, 1024}};
// 9 x 6 inner corners of 30 mm.
inline const MainWindowSettings kTarget{
    .numSquaresX = 10, .numSquaresY = 7, .squareWidth = 30.0, .squareHeight = 30.0, .dictionary = 10};

struct RigViews
{
    vantiro::synth::RobotRig rig;
    QStringList paths;
    // Exact corners per view, in the detection's target frame.
    std::vector<std::vector<cv::Point2f>> image;
    std::vector<std::vector<cv::Point3f>> object;
};

// Fifteen views of a rig, noise 1.5 grey values and blur 0.7 px. ctest starts one process per
// test, so they are rendered once into the build tree (bump the version when they change).
inline RigViews renderRig(bool handEye)
{
    const QString dir = QStringLiteral(VANTIRO_BUILD_DIR "/test-cache/robot-views-v1/") +
                        (handEye ? QStringLiteral("handeye") : QStringLiteral("toolflange"));
    QDir().mkpath(dir);
    const vantiro::synth::BoardPattern board(kTarget);
    RigViews out;
    out.rig = handEye ? vantiro::synth::makeHandEyeRig(kCamera, board, 15, 11)
                      : vantiro::synth::makeToolFlangeRig(kCamera, board, 15, 12);
    vantiro::synth::RenderOptions options{.supersampling = 3, .effects = {.blurSigma = 0.7, .noiseSigma = 1.5}};
    const Rigid boardToTarget = vantiro::synth::targetFrame(board).inverse();
    for (size_t i = 0; i < out.rig.target.size(); ++i) {
        const vantiro::synth::TargetPose pose = vantiro::synth::boardPose(board, out.rig.target[i]);
        const QString path = dir + QStringLiteral("/view_%1.png").arg(i, 2, 10, QLatin1Char('0'));
        if (!QFileInfo(path).isFile()) {
            // Parallel processes may render the same view: each writes its own copy and renames it.
            options.effects.noiseSeed = uint64_t(i + (handEye ? 1 : 101));
            const QString own = path + "." + QString::number(QCoreApplication::applicationPid()) + ".png";
            cv::imwrite(QFile::encodeName(own).toStdString(), render(kCamera, board, pose, options).colour);
            std::rename(QFile::encodeName(own).constData(), QFile::encodeName(path).constData());
        }
        out.paths << path;
        std::vector<cv::Point2f> image;
        std::vector<cv::Point3f> object;
        for (const auto& c : vantiro::synth::projectCorners(kCamera, board, pose)) {
            image.emplace_back(c.image);
            const cv::Vec3d p = boardToTarget.R * cv::Vec3d(c.board.x, c.board.y, 0.0) + boardToTarget.t;
            object.emplace_back(float(p[0]), float(p[1]), float(p[2]));
        }
        out.image.push_back(image);
        out.object.push_back(object);
    }
    return out;
}

inline const RigViews& handEyeViews()
{
    static const RigViews views = renderRig(true);
    return views;
}

inline const RigViews& toolFlangeViews()
{
    static const RigViews views = renderRig(false);
    return views;
}

// The rig's TCP poses as a pose file gives them: metres (or millimetres) and rotation vectors.
inline std::vector<TcpPose> tcpPoses(const vantiro::synth::RobotRig& rig, bool metres = true)
{
    std::vector<TcpPose> poses;
    for (size_t i = 0; i < rig.tcp.size(); ++i) {
        TcpPose p;
        p.id = int(i);
        p.name = "TCP_" + std::to_string(i);
        p.t = metres ? rig.tcp[i].t * 0.001 : rig.tcp[i].t;
        p.r = rig.tcp[i].rvec();
        poses.push_back(p);
    }
    return poses;
}

// The image rows: the files, or their exact corners in place of detection.
inline std::vector<RobotImage> imageRows(const RigViews& views, bool exactCorners, int count = -1)
{
    std::vector<RobotImage> rows;
    for (int i = 0; i < (count < 0 ? int(views.paths.size()) : count); ++i) {
        RobotImage row;
        row.path = views.paths[i];
        if (exactCorners) {
            row.imagePoints = views.image[size_t(i)];
            row.objectPoints = views.object[size_t(i)];
        }
        rows.push_back(row);
    }
    return rows;
}

inline RobotRequest request(RobotModule module, const QString& workingDirectory)
{
    RobotRequest r;
    r.module = module;
    r.target = kTarget;
    r.K = cv::Mat(kCamera.K, true);
    r.distortion = kCamera.distCoeffs();
    r.imageSize = kCamera.size;
    r.workingDirectory = workingDirectory;
    return r;
}

// Hooks with camera 3 "Cam3" and robot 5 "UR5", recording what is handed on.
struct Recorder
{
    bool cameraThere = true, robotThere = true;
    int stores = 0, aborts = 0, abortAt = -1;
    int cameraId = -1, robotId = -1;
    cv::Matx33d R;
    cv::Matx31d t;
    QStringList exceptions;

    RobotHooks hooks()
    {
        RobotHooks h;
        h.abort = [this] { return aborts++ == abortAt; };
        h.camera = [this] { return cameraThere ? std::optional<SensorRef>({3, "Cam3"}) : std::nullopt; };
        h.robot = [this] { return robotThere ? std::optional<SensorRef>({5, "UR5"}) : std::nullopt; };
        h.storeExtrinsics = [this](int c, int r, const cv::Matx33d& rot, const cv::Matx31d& tr) {
            ++stores;
            cameraId = c;
            robotId = r;
            R = rot;
            t = tr;
        };
        h.reportException = [this](const QString& m) { exceptions << m; };
        return h;
    }
};

// The colour of each row's number in the detection line, in log order.
inline std::vector<QString> rowColours(const RecordingLogSink& log)
{
    std::vector<QString> out;
    for (const auto& s : log.segments)
        if (s.text.size() == 2 && s.text[0].isDigit() && s.text[1] == ' ')
            out.push_back(s.color);
    return out;
}

inline double angleDeg(const cv::Matx33d& a, const cv::Matx33d& b)
{
    return rotationAngle(a, b);
}

} // namespace robot_test
