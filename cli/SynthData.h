#pragma once
// Synthetic data sets with their ground truth: rendered views of the target through known
// cameras (an intrinsic set, a stereo pair set) and Gray-code captures of a known
// camera-projector rig, robot set-ups for the hand-eye and tool-flange calibrations, written as
// image files, TCP pose files, a "MainWindowSettings.ini" and "truth.yml".

#include <QString>
#include <QStringList>

#include <opencv2/core.hpp>

#include <functional>
#include <vector>

#include "synth/CameraModel.h"
#include "synth/ProjectorCapture.h"
#include "synth/Renderer.h"
#include "synth/RobotRig.h"
#include "targets/TargetSettings.h"

namespace cli {

// A camera as one value: an optional preset (ideal, radial, wide, rational) followed by
// key=value items (size=WxH, f, fx, fy, cx, cy, k1..k6, p1, p2), comma separated, for example
// "wide,size=800x600,f=620". Items not given keep the values of 'base' (a preset replaces the
// distortion; a new size moves the default focal length and principal point along).
vantiro::synth::CameraModel parseCameraModel(const QString& model, const QString& option,
                                            const vantiro::synth::CameraModel& base);
// The defaults of the data sets.
vantiro::synth::CameraModel defaultPrimaryCamera(cv::Size size = cv::Size(640, 480));
vantiro::synth::CameraModel defaultSecondaryCamera(cv::Size size = cv::Size(640, 480));

struct SynthConfig
{
    MainWindowSettings target;
    vantiro::synth::CameraModel camera[2];
    double baseline = 120.0; // mm, the secondary to the right of the primary, aimed at the scene
    int poses = 10;          // views of the intrinsic set and pairs of the stereo set
    int projectorSets = 1;
    cv::Size projector{256, 192};
    double noise = 1.0;      // grey values
    // Light of the Gray-code captures; with partlyLit the beam may miss up to half of the
    // target's corners (the rest of the board is then seen by the room light alone).
    vantiro::synth::ProjectorLight projectorLight;
    double projectorBlur = 0.5; // px
    bool partlyLit = false;
    uint64_t seed = 1;
    bool intrinsic = true;
    bool stereo = true;
    bool structuredLight = true;
    bool handEye = true;    // camera on the tool, fixed target
    bool toolFlange = true; // fixed camera, target on the flange
};

// A robot set: views of the primary camera with the TCP pose of each, in two files (XML in
// metres, text in millimetres), and the rig's truth.
struct RobotTruth
{
    bool present = false;
    QString folder;      // relative to the data set
    QStringList images;  // relative to the data set
    QString tcpXml;      // relative; metres
    QString tcpText;     // relative; millimetres
    vantiro::synth::RobotRig rig;
};

// What the truth file holds.
struct Truth
{
    QString target; // compact target value
    vantiro::synth::CameraModel camera[2];
    bool hasStereo = false;
    cv::Matx33d R = cv::Matx33d::eye(); // primary -> secondary: X2 = R X1 + T (mm)
    cv::Vec3d T;
    bool hasProjector = false;
    // The camera of the Gray-code captures: the primary's matrix and size without distortion
    // (a distorted camera beside the projector's lens renders a hundred times slower).
    vantiro::synth::CameraModel captureCamera;
    vantiro::synth::CameraModel projector;
    cv::Matx33d projectorR = cv::Matx33d::eye(); // primary camera -> projector
    cv::Vec3d projectorT;
    QStringList intrinsicImages;                 // relative to the data set folder
    QStringList primaryImages, secondaryImages;
    // The target in the primary camera, per intrinsic view and per stereo pair.
    std::vector<vantiro::synth::TargetPose> intrinsicPoses, stereoPoses;
    std::vector<vantiro::synth::TargetPose> projectorPoses; // the target in the capture camera, per set
    QStringList projectorSets;                   // folders
    QStringList projectorTruthX, projectorTruthY; // float TIFF per set: true projector column / row
    RobotTruth handEye, toolFlange;
    // The primary camera as an intrinsics file (K, kc, imgSize), for the robot calibrations.
    QString cameraIntrinsics;
};

// The light of the captures by name: "dark" (the default: a dark room), "ambient" (room light of
// 40 grey values), "global" (35 % of the projected light scattered over the lit area), "hard"
// (both, more blur, and boards partly outside the beam). UsageError for other names.
void applyProjectorLight(const QString& preset, SynthConfig& config);

// Writes the data set into folder (which must be empty or missing). progress(done, total) is
// called before each rendered image and stops the run (RunError) when it returns false. Returns
// the truth that was written.
Truth writeSyntheticDataSet(const QString& folder, const SynthConfig& config,
                            const std::function<bool(int done, int total)>& progress);

// Throws RunError when the file cannot be read.
Truth readTruth(const QString& path);

// The robot parts (SynthRobot.cpp). A target the rigs cannot use is a UsageError.
vantiro::synth::RobotRig planRobotRig(bool handEye, const vantiro::synth::CameraModel& camera,
                                      const vantiro::synth::BoardPattern& board, int poses, uint64_t seed);
void writeTcpFiles(const QString& folder, const RobotTruth& robot);
void writeRobotTruth(cv::FileStorage& fs, const char* key, const RobotTruth& robot);
RobotTruth readRobotTruth(const cv::FileNode& node, bool handEye);

} // namespace cli
