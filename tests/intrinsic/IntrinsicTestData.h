#pragma once
// Rendered views of a chessboard through a known camera, shared by the intrinsic tests.

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <opencv2/core.hpp>

#include <vector>

#include "app/LogSink.h"
#include "intrinsic/IntrinsicCalibration.h"
#include "synth/Renderer.h"

namespace intrinsic_test {

// The camera every view is rendered with: 640 x 480, fx = fy = 560, barrel distortion.
struct Truth
{
    double fx = 560.0, fy = 560.0, cx = 323.5, cy = 236.25, k1 = -0.18, k2 = 0.06;
    cv::Size size{640, 480};
};
inline const Truth kTruth;
vantiro::synth::CameraModel truthCamera();
// Chessboard 10 x 7 squares of 25 mm.
MainWindowSettings target();

// Fifteen views at varied tilts, rolls and offsets, rendered on first use and kept in the build
// tree for later test processes (copy them before putting files beside them).
struct View
{
    QString path;
    vantiro::synth::TargetPose pose;
    std::vector<vantiro::synth::TruthCorner> corners; // exact projections
};
const std::vector<View>& views();
QStringList viewPaths();

// The first full calibration over all views, detection included, reporting object 7 "Cam7".
struct FirstRun
{
    vantiro::intrinsic::IntrinsicState state;
    vantiro::intrinsic::CalibrationResult result;
    vantiro::RecordingLogSink log;
    QTemporaryDir workingDirectory;
    int storedId = -1;
    cv::Mat storedK;
};
const FirstRun& firstRun();

// A state over all views with their corners already detected.
vantiro::intrinsic::IntrinsicState detectedState();

vantiro::intrinsic::CalibrationRequest requestFor(const QString& workingDirectory);

// Hooks reporting object 7 "Cam7" (or none), counting abort questions and stored results.
struct HookRecorder
{
    int stores = 0;
    int aborts = 0;
    int abortAtCall = 0; // the abort hook answers true from this call on; 0: never
    bool sensorPresent = true;
    vantiro::intrinsic::CalibrationHooks hooks();
};

// The texts of all segments in this colour, joined.
QString textInColour(const vantiro::RecordingLogSink& log, const QString& colour);

void writeCornerFile(const QString& path, const cv::Mat& corners, const cv::Mat& obj);

} // namespace intrinsic_test
