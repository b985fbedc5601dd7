#include "stereo/StereoWorkflow.h"
#include "tests/stereo/StereoSynthetic.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>

#include "app/ProjectFile.h"
#include "sensors/Pose.h"
#include "intrinsic/IntrinsicFiles.h"
#include "synth/Renderer.h"
#include "targets/DetectionPool.h"

using namespace vantiro;
using namespace vantiro::stereo;

namespace {

// 10 x 7 squares of 25 mm: the 9 x 6 inner corners of the synthetic grid.
MainWindowSettings target()
{
    MainWindowSettings s;
    s.targetType = Chessboard;
    s.numSquaresX = 10;
    s.numSquaresY = 7;
    s.squareWidth = s.squareHeight = 25.0;
    return s;
}

StereoRequest request()
{
    StereoRequest r;
    r.target = target();
    r.primary = {3, "Left", {}, {}, {}};
    r.secondary = {5, "Right", {}, {}, {}};
    // The rigs' cameras have fx != fy and tangential distortion.
    for (SensorOptions* o : {&r.options.primary, &r.options.secondary}) {
        o->fixAspectRatio = false;
        o->useTangentialDistortion = true;
    }
    return r;
}

StereoState loaded(const QStringList (&paths)[2])
{
    StereoState s;
    s.loadPrimary(paths[0]);
    s.loadSecondary(paths[1]);
    return s;
}

// Pairs of blank images with corner files beside them, holding the projections (plus noise) of
// the grid through a known rig: the workflow reads the files instead of detecting.
struct CornerFileSet
{
    QTemporaryDir dir;
    stereo_synth::Views views;
    QStringList paths[2];

    // spoil edits the views before they are written.
    explicit CornerFileSet(int pairs, uint64_t seed = 7, const std::function<void(stereo_synth::Views&)>& spoil = {})
        : views(stereo_synth::makeViews(stereo_synth::defaultRig(), pairs, 0.05, seed))
    {
        if (spoil)
            spoil(views);
        for (int i = 0; i < pairs; ++i)
            for (int k = 0; k < 2; ++k) {
                paths[k] << dir.path() + QString("/%1_%2.png").arg(k ? "right" : "left").arg(i);
                cv::imwrite(paths[k].last().toStdString(), cv::Mat::zeros(960, 1280, CV_8UC1));
                cv::FileStorage fs(intrinsic::cornerFilePath(paths[k].last()).toStdString(), cv::FileStorage::WRITE);
                fs << "corners" << cv::Mat(views.image[k][size_t(i)]) << "obj" << cv::Mat(views.object[size_t(i)]);
            }
    }
    StereoState state() const { return loaded(paths); }
};


} // namespace

namespace {

// The rig of the rendered pairs: the secondary 100 mm to the right, turned 8 degrees towards
// the primary's axis.
cv::Matx33d rigRotation()
{
    cv::Matx33d R;
    cv::Rodrigues(cv::Vec3d(0.0, 8.0 * CV_PI / 180.0, 0.0), R);
    return R;
}

// Rendered pairs through that rig, one per (tilt x, tilt y, roll), as l<i>.png and r<i>.png.
void renderPairs(const QTemporaryDir& dir, const std::vector<cv::Vec3d>& tilts, QStringList (&paths)[2])
{
    using namespace vantiro::synth;
    const BoardPattern board(target());
    CameraModel cams[2] = {CameraModel::ideal({640, 480}, 560.0), CameraModel::ideal({640, 480}, 580.0)};
    cams[0].setDistortion({-0.15, 0.05, 0.0, 0.0, 0.0});
    cams[1].setDistortion({-0.1, 0.02, 0.0, 0.0, 0.0});
    const cv::Matx33d R = rigRotation();
    const cv::Vec3d T = -(R * cv::Vec3d(100.0, 0.0, 0.0));
    RenderOptions options;
    options.supersampling = 3;
    options.effects.noiseSigma = 1.0;
    for (const cv::Vec3d& p : tilts) {
        TargetPose pose[2] = {viewPose(board, 480.0, p[0], p[1], p[2], cv::Vec3d(45.0, 0.0, 0.0))};
        pose[1].R = R * pose[0].R;
        pose[1].t = R * pose[0].t + T;
        for (int k = 0; k < 2; ++k) {
            paths[k] << dir.path() + QString("/%1%2.png").arg(k ? "r" : "l").arg(paths[k].size());
            cv::imwrite(paths[k].last().toStdString(), render(cams[k], board, pose[k], options).colour);
        }
    }
}

} // namespace

TEST(StereoWorkflow, RenderedPairsAreDetectedCalibratedLoggedReusedAndWritten)
{
    QTemporaryDir dir;
    const cv::Matx33d R = rigRotation();
    const cv::Vec3d T = -(R * cv::Vec3d(100.0, 0.0, 0.0));
    QStringList paths[2];
    renderPairs(dir, {{0, 0, 0}, {25, 0, 5}, {-25, 5, -5}, {0, 25, 10}, {5, -25, -10}, {15, 15, 20}}, paths);
    StereoState state = loaded(paths);
    RecordingLogSink log;
    QStringList calls; // what the hooks were told, in order
    cv::Matx33d storedR;
    cv::Matx31d storedT;
    const auto intrinsicsHook = [&calls](const QString& which) {
        return [&calls, which](int id, const cv::Mat&, const cv::Mat&, cv::Size s) {
            calls << QString("%1 %2 %3x%4").arg(which).arg(id).arg(s.width).arg(s.height);
        };
    };
    StereoHooks hooks;
    hooks.storePrimaryIntrinsics = intrinsicsHook("primary");
    hooks.storeSecondaryIntrinsics = intrinsicsHook("secondary");
    hooks.storeSecondaryExtrinsics = [&](int a, int b, const cv::Matx33d& R_, const cv::Matx31d& t_) {
        calls << QString("extrinsics %1 %2").arg(a).arg(b);
        storedR = R_;
        storedT = t_;
    };
    StereoResult r = calibrateStereo(state, request(), hooks, log);
    ASSERT_EQ(r.status, StereoStatus::Calibrated) << log.text().toStdString();
    cv::Vec3d angle;
    cv::Rodrigues(cv::Matx33d(r.R).t() * R, angle);
    EXPECT_LT(cv::norm(angle) * 180.0 / CV_PI, 0.2);
    EXPECT_LT(cv::norm(cv::Vec3d(r.T.reshape(1, 3)) - T), 1.5);
    EXPECT_LT(r.rms, 0.3);
    EXPECT_EQ(r.distortion[0].cols, 5);
    // Each sensor's RMS over its own corners; the overall RMS is their quadratic mean.
    EXPECT_NEAR(r.rms * r.rms, 0.5 * (r.sensorRms[0] * r.sensorRms[0] + r.sensorRms[1] * r.sensorRms[1]), 1e-12);
    EXPECT_EQ(r.usedPairs, std::vector<int>({0, 1, 2, 3, 4, 5}));
    // The secondary's pose in the primary's frame is the inverse: Rᵀ and -Rᵀ·T.
    const cv::Matx33d Rt = cv::Matx33d(r.R).t();
    EXPECT_LT(cv::norm(r.secondaryT + Rt * cv::Matx31d(r.T.reshape(1, 3))), 1e-9);
    EXPECT_EQ(calls, QStringList({"primary 3 640x480", "secondary 5 640x480", "extrinsics 3 5"}));
    EXPECT_LT(cv::norm(storedT - r.secondaryT), 1e-9);
    EXPECT_LT(cv::norm(cv::Mat(storedR), cv::Mat(Rt)), 1e-9);
    for (const StereoPair& pair : state.pairs) {
        ASSERT_TRUE(pair.hasPoses());
        EXPECT_GT(pair.primaryError, 0.0);
        EXPECT_NEAR(pair.meanError, 0.5 * (pair.primaryError + pair.secondaryError), 1e-12);
        EXPECT_TRUE(pair.epipolarRms >= 0.0 && pair.epipolarRms < 0.5) << pair.epipolarRms;
        EXPECT_EQ(pair.primaryColors.size(), pair.objectPoints.size());
    }
    const auto* heading = log.find("Target settings:\n");
    ASSERT_TRUE(heading);
    EXPECT_TRUE(heading->bold);
    EXPECT_TRUE(log.text().contains("Target Type: Chessboard\nNum Squares X = 10\n"));
    EXPECT_EQ(test::textInColour(log, logcolor::Green), "0 1 2 3 4 5 ");
    EXPECT_TRUE(log.text().contains("Extrinsic calibration with 6/6 image sets...\n\n"));
    const auto f4 = [](double v) { return QString::number(v, 'f', 4); };
    const QString expected = QString("Estimated extrinsics (Right w.r.t Left coordinate system):\n\nTranslation vector:\n"
                                     "x: %1\ny: %2\nz: %3\n\nRotation matrix:\n%4  %5  %6\n")
                                 .arg(f4(r.secondaryT(0)), f4(r.secondaryT(1)), f4(r.secondaryT(2)), f4(Rt(0, 0)),
                                      f4(Rt(0, 1)), f4(Rt(0, 2)));
    EXPECT_TRUE(log.text().contains(expected)) << log.text().toStdString();
    const auto* rms = log.find(QString("%1 px\n\n").arg(QString::number(r.rms, 'g', 6)));
    ASSERT_TRUE(rms);
    EXPECT_TRUE(rms->bold);
    EXPECT_FALSE(rms->color.isEmpty());
    EXPECT_FALSE(log.text().contains("Detected outliers")); // nothing about outliers without removal

    // Both intrinsics files and the project with the primary as the world; nothing without a
    // result or with one name for both objects.
    QString error;
    ASSERT_TRUE(writeStereoResultFiles(r, dir.path(), "Left", "Right", &error)) << error.toStdString();
    EXPECT_EQ(r.filesWritten, QStringList({dir.path() + "/Left.intrinsics.yml", dir.path() + "/Right.intrinsics.yml",
                                           dir.path() + "/Left.project.yml", dir.path() + "/Left.project.json"}));
    cv::FileStorage right(r.filesWritten[1].toStdString(), cv::FileStorage::READ);
    cv::Mat K;
    right["K"] >> K;
    EXPECT_LT(cv::norm(K, r.K[1]), 1e-9);
    EXPECT_NEAR(double(right["reprojErrRMS"]), r.sensorRms[1], 1e-12);
    const ProjectReadResult project = readProjectFile(r.filesWritten[2]);
    ASSERT_EQ(project.status, ProjectReadResult::Status::Ok) << project.message.toStdString();
    ASSERT_EQ(project.objects.size(), 2u);
    EXPECT_EQ(project.world, 0);
    EXPECT_EQ(QStringList({project.objects[0].name, project.objects[1].name}), QStringList({"Left", "Right"}));
    EXPECT_LT(cv::norm(project.objects[1].t - r.secondaryT), 1e-6);
    EXPECT_NEAR(project.objects[1].t(0), 100.0, 1.5); // 100 mm to the right of the primary
    EXPECT_FALSE(writeStereoResultFiles(r, dir.path(), "Same", "Same", &error));
    StereoResult none;
    EXPECT_FALSE(writeStereoResultFiles(none, dir.path(), "A", "B", &error));
    EXPECT_FALSE(QFileInfo::exists(dir.path() + "/Same.intrinsics.yml") || QFileInfo::exists(dir.path() + "/A.intrinsics.yml"));
    // The four files are one set: when the last cannot be written, the earlier results stay as
    // they were and no new file appears.
    QTemporaryDir set;
    for (const char* name : {"/Left.intrinsics.yml", "/Right.intrinsics.yml"}) {
        QFile old(set.path() + name);
        ASSERT_TRUE(old.open(QIODevice::WriteOnly) && old.write("old") == 3);
    }
    ASSERT_TRUE(QDir(set.path()).mkdir("Left.project.json"));
    EXPECT_FALSE(writeStereoResultFiles(r, set.path(), "Left", "Right", &error));
    EXPECT_TRUE(error.startsWith("cannot replace " + set.path() + "/Left.project.json")) << error.toStdString();
    for (const char* name : {"/Left.intrinsics.yml", "/Right.intrinsics.yml"}) {
        QFile old(set.path() + name);
        ASSERT_TRUE(old.open(QIODevice::ReadOnly));
        EXPECT_EQ(old.readAll(), "old") << name;
    }
    EXPECT_EQ(QDir(set.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList({"Left.intrinsics.yml", "Left.project.json", "Right.intrinsics.yml"}));

    // A second run reuses the corners. Pair 3 keeps only five common corners (as if outliers had
    // been removed): it is left out and unchecked. The primary without radial distortion keeps
    // its coefficients at zero.
    for (auto* points : {&state.pairs[3].primaryPoints, &state.pairs[3].secondaryPoints})
        points->resize(5);
    state.pairs[3].objectPoints.resize(5);
    state.secondary[1].checked = false;
    state.pairs[1].clearCorners();
    StereoRequest req = request();
    req.options.primary.useRadialDistortion = false;
    RecordingLogSink second;
    r = calibrateStereo(state, req, {}, second);
    ASSERT_EQ(r.status, StereoStatus::Calibrated) << second.text().toStdString();
    EXPECT_EQ(test::textInColour(second, logcolor::Reused), "0 2 3 4 5 none\n\n");
    EXPECT_EQ(test::textInColour(second, logcolor::Secondary), "1 ");
    EXPECT_TRUE(test::textInColour(second, logcolor::Green).isEmpty());
    EXPECT_TRUE(second.text().contains("with 4/6 image sets"));
    EXPECT_EQ(r.usedPairs, std::vector<int>({0, 2, 4, 5}));
    EXPECT_FALSE(state.primary[3].checked || state.secondary[3].checked);
    EXPECT_TRUE(state.pairs[3].objectPoints.empty());
    EXPECT_FALSE(state.pairs[3].hasPoses());
    EXPECT_EQ(state.pairs[3].meanError, -1.0);
    EXPECT_EQ(cv::countNonZero(r.distortion[0]), 0);
    EXPECT_NE(cv::countNonZero(r.distortion[1]), 0);
}

TEST(StereoWorkflow, RefusesToRunWithoutChangingTheResults)
{
    struct Case { std::function<void(StereoState&, StereoRequest&)> change; StereoStatus status; QString message; };
    const Case cases[] = {
        {[](StereoState& s, StereoRequest&) { s.secondary.pop_back(); }, StereoStatus::ListSizeMismatch,
         "Image list size mismatch. aborting.\n\n"},
        {[](StereoState&, StereoRequest& r) { r.secondary.id = r.primary.id; }, StereoStatus::SameSensor,
         "Same sensor is selected twice in 'Select Sensors', aborting.\n\n"},
        {[](StereoState&, StereoRequest& r) { r.secondary.id = -1; }, StereoStatus::NoSensor,
         "No sensor present in the sensor list, aborting.\n\n"},
        {[](StereoState&, StereoRequest& r) {
             r.options.secondary.useIntrinsicGuess = true;
             r.secondary.K = cv::Mat::zeros(3, 3, CV_64F);
         },
         StereoStatus::MissingIntrinsics,
         "Use intrinsic guess for Right is set, but the Right does not have any intrinsics, aborting.\n\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message.toStdString());
        StereoState state;
        state.loadPrimary({"a.png", "b.png"});
        state.loadSecondary({"c.png", "d.png"});
        state.T = (cv::Mat_<double>(3, 1) << 1, 2, 3);
        StereoRequest req = request();
        c.change(state, req);
        RecordingLogSink log;
        EXPECT_EQ(calibrateStereo(state, req, {}, log).status, c.status);
        ASSERT_EQ(log.segments.size(), 1u);
        EXPECT_EQ(log.segments[0].text, c.message);
        EXPECT_EQ(log.segments[0].color, logcolor::Red);
        EXPECT_EQ(state.T.at<double>(2), 3.0);
    }
}

TEST(StereoWorkflow, FailedDetectionDisablesPairsAndAbortStopsAtAnImage)
{
    // Blank images without corner files: nothing to detect.
    CornerFileSet blank(3), good(3);
    for (const QString& p : blank.paths[0] + blank.paths[1])
        QFile::remove(intrinsic::cornerFilePath(p));
    StereoState state = blank.state();
    RecordingLogSink log, aborted;
    EXPECT_EQ(calibrateStereo(state, request(), {}, log).status, StereoStatus::NoPairs);
    EXPECT_EQ(test::textInColour(log, logcolor::Red), "0 1 2 Target detection failed on all images or none were selected!\n\n");
    for (size_t i = 0; i < 3; ++i)
        EXPECT_FALSE(state.primary[i].checked || state.secondary[i].checked) << i;

    // Stopped as soon as pair 0 is in the log: pairs 1 and 2 may have been read meanwhile, but
    // nothing of them is logged or kept.
    state = good.state();
    std::vector<int> progress;
    StereoHooks hooks;
    hooks.abort = [&aborted] { return aborted.text().endsWith("Detecting targets: 0 "); };
    hooks.progress = [&progress](int done, int pairs) { progress.push_back(done * 10 + pairs); };
    const StereoResult r = calibrateStereo(state, request(), hooks, aborted);
    EXPECT_EQ(r.status, StereoStatus::Aborted);
    EXPECT_TRUE(aborted.text().endsWith("Detecting targets: 0 Calibration aborted \n\n")) << aborted.text().toStdString();
    EXPECT_EQ(test::textInColour(aborted, logcolor::Red), "Calibration aborted \n\n");
    ASSERT_GE(progress.size(), 2u);
    EXPECT_TRUE(progress.front() == 3 && std::is_sorted(progress.begin(), progress.end()) && progress.back() <= 33)
        << "done of 3 pairs, from 0, never backwards";
    EXPECT_TRUE(r.R.empty());
    // Pair 0 was done before the abort and is reused next time.
    EXPECT_EQ(state.pairs[0].objectPoints.size(), 54u);
    EXPECT_TRUE(state.pairs[1].objectPoints.empty());
}

TEST(StereoWorkflow, PairsDetectedOnManyWorkersLogAndKeepWhatOneWorkerDoes)
{
    // Pair 1's primary shows nothing and its secondary cannot be read (both are reported); pair 2's
    // secondary cannot be read; pair 4 is unchecked.
    QTemporaryDir dir;
    QStringList paths[2];
    renderPairs(dir, {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}, {25, 0, 5}, {0, 0, 0}, {-25, 5, -5}, {0, 25, 10}, {15, 15, 20}},
                paths);
    cv::imwrite(paths[0][1].toStdString(), cv::Mat(480, 640, CV_8UC1, cv::Scalar(128)));
    for (const QString& p : {paths[1][1], paths[1][2]})
        QFile(p).open(QIODevice::WriteOnly | QIODevice::Truncate);
    StereoState states[2] = {loaded(paths), loaded(paths)};
    RecordingLogSink logs[2];
    for (int k = 0; k < 2; ++k) {
        states[k].primary[4].checked = false;
        setDetectionWorkerCount(k == 0 ? 1 : 3);
        ASSERT_EQ(calibrateStereo(states[k], request(), {}, logs[k]).status, StereoStatus::Calibrated)
            << logs[k].text().toStdString();
    }
    setDetectionWorkerCount(0);
    EXPECT_EQ(test::textInColour(logs[1], logcolor::Green), "0 3 5 6 7 ");
    EXPECT_EQ(test::textInColour(logs[1], logcolor::Red), "1 2 ");
    EXPECT_EQ(test::textInColour(logs[1], logcolor::Secondary), "4 ");
    EXPECT_EQ(test::textInColour(logs[1], logcolor::Orange),
              "Warning: Image could not be read: " + paths[1][1] + " (not a PNG, JPEG, TIFF or BMP image)\n" +
                  "Warning: Image could not be read: " + paths[1][2] + " (not a PNG, JPEG, TIFF or BMP image)\n");
    EXPECT_EQ(logs[0].text(), logs[1].text());
    for (const QString& c : {logcolor::Green, logcolor::Red, logcolor::Secondary, logcolor::Orange})
        EXPECT_EQ(test::textInColour(logs[0], c), test::textInColour(logs[1], c));
    for (size_t i = 0; i < 8; ++i) {
        const StereoPair &a = states[0].pairs[i], &b = states[1].pairs[i];
        EXPECT_TRUE(a.primaryPoints == b.primaryPoints && a.secondaryPoints == b.secondaryPoints &&
                    a.objectPoints == b.objectPoints && b.hasCorners() == (i == 0 || i == 3 || i >= 5))
            << i;
    }
}

TEST(StereoWorkflow, OutliersAreReportedAndRemovedOnlyWhenAsked)
{
    // One secondary corner of pair 2 is 6 px off, across the epipolar lines (the baseline is along x).
    const auto spoil = [](stereo_synth::Views& v) { v.image[1][2][17].y += 6.0f; };
    CornerFileSet sets[2] = {CornerFileSet(6, 11, spoil), CornerFileSet(6, 11, spoil)};
    const cv::Point2f bad = sets[0].views.image[1][2][17];
    StereoState state = sets[0].state(), kept = sets[1].state();
    StereoRequest req = request();
    req.options.removeOutliers = true;
    req.options.maxErrorPrimary = req.options.maxErrorSecondary = req.options.maxErrorEpipolar = 2.0;
    RecordingLogSink log, again, quiet;
    const StereoResult r = calibrateStereo(state, req, {}, log);
    ASSERT_EQ(r.status, StereoStatus::Calibrated) << log.text().toStdString();
    EXPECT_TRUE(r.outliersFound);
    EXPECT_TRUE(log.text().contains("Detected outliers [Idx:Num]: 2:1 "));
    EXPECT_EQ(test::textInColour(log, "orange"), "2:1 \n\nCalibrate again to exclude the detected outliers!\n\n");
    const StereoPair& pair = state.pairs[2];
    EXPECT_EQ((std::vector<size_t>{pair.objectPoints.size(), pair.secondaryPoints.size(), pair.primaryProjected.size()}),
              std::vector<size_t>(3, 53));
    EXPECT_EQ(std::find(pair.secondaryPoints.begin(), pair.secondaryPoints.end(), bad), pair.secondaryPoints.end());
    EXPECT_EQ(state.pairs[0].objectPoints.size(), 54u);

    // The next run works on what is left and finds nothing more.
    const StereoResult second = calibrateStereo(state, req, {}, again);
    ASSERT_EQ(second.status, StereoStatus::Calibrated);
    EXPECT_FALSE(second.outliersFound);
    EXPECT_TRUE(again.text().contains("Detected outliers [Idx:Num]: none\n\n"));
    EXPECT_LT(second.rms, r.rms);

    // With removal off the errors are still analysed, nothing is deleted.
    ASSERT_EQ(calibrateStereo(kept, request(), {}, quiet).status, StereoStatus::Calibrated);
    EXPECT_EQ(kept.pairs[2].objectPoints.size(), 54u);
    EXPECT_EQ(kept.pairs[2].secondaryColors.size(), 54u);
    EXPECT_GT(kept.pairs[2].secondaryMax, 2.0);
    EXPECT_GT(kept.pairs[2].epipolarMax, 2.0);
}

TEST(StereoWorkflow, LibraryErrorsEndTheRunWithTheModulesMessage)
{
    // A non-planar target without start values: the single-camera calibration refuses it.
    const CornerFileSet set(4, 7, [](stereo_synth::Views& v) {
        for (auto& object : v.object)
            for (size_t k = 0; k < object.size(); ++k)
                object[k].z = float(k % 3) * 10.0f;
    });
    StereoState state = set.state();
    QString reported;
    StereoHooks hooks;
    hooks.libraryError = [&reported](const QString& m) { reported = m; };
    RecordingLogSink log;
    const StereoResult r = calibrateStereo(state, request(), hooks, log);
    EXPECT_EQ(r.status, StereoStatus::LibraryError);
    const QString red = test::textInColour(log, logcolor::Red);
    EXPECT_TRUE(red.startsWith("OpenCV exception caught:\n")) << red.toStdString();
    EXPECT_TRUE(red.endsWith("Aborting.\n\n"));
    EXPECT_FALSE(reported.isEmpty());
    EXPECT_TRUE(red.contains(reported));
    EXPECT_TRUE(r.K[0].empty());
}

TEST(StereoWorkflow, OptionFlagsFollowTheOptionsTab)
{
    SensorOptions s; // defaults: aspect ratio fixed, tangential distortion off
    EXPECT_EQ(s.flags(), cv::CALIB_FIX_ASPECT_RATIO | cv::CALIB_ZERO_TANGENT_DIST);
    s.useRadialDistortion = false;
    s.useRationalModel = s.fixK[4] = true; // no effect without radial distortion
    EXPECT_EQ(s.flags(), cv::CALIB_FIX_ASPECT_RATIO | cv::CALIB_FIX_K1 | cv::CALIB_FIX_K2 | cv::CALIB_FIX_K3 |
                             cv::CALIB_ZERO_TANGENT_DIST);
    EXPECT_EQ(s.coefficientCount(), 5);
    s = SensorOptions();
    s.useRationalModel = s.useTangentialDistortion = s.useIntrinsicGuess = s.fixFocalLength = s.fixPrincipalPoint = true;
    s.fixK = {false, true, false, false, false, true};
    s.fixAspectRatio = false;
    EXPECT_EQ(s.flags(), cv::CALIB_USE_INTRINSIC_GUESS | cv::CALIB_FIX_FOCAL_LENGTH | cv::CALIB_FIX_PRINCIPAL_POINT |
                             cv::CALIB_FIX_K2 | cv::CALIB_RATIONAL_MODEL | cv::CALIB_FIX_K6);
    EXPECT_EQ(s.coefficientCount(), 8);
    s.useRationalModel = false; // k4 .. k6 fixes count only with the rational model
    EXPECT_EQ(s.flags() & (cv::CALIB_FIX_K6 | cv::CALIB_RATIONAL_MODEL), 0);
    EXPECT_EQ(s.coefficientCount(), 5);

    // The shared options go into both words; the per-sensor ones stay with their sensor.
    StereoOptions o;
    o.sameFocalLength = o.useExtrinsicGuess = o.secondary.useTangentialDistortion = true;
    const int shared = cv::CALIB_SAME_FOCAL_LENGTH | cv::CALIB_USE_EXTRINSIC_GUESS;
    EXPECT_EQ(o.primaryFlags(), shared | cv::CALIB_FIX_ASPECT_RATIO | cv::CALIB_ZERO_TANGENT_DIST);
    EXPECT_EQ(o.secondaryFlags(), shared | cv::CALIB_FIX_ASPECT_RATIO);
}

TEST(StereoWorkflow, CornersPairByIdOrByTargetPosition)
{
    // Two views that each see part of the board; the object points differ between the sides only
    // to show whose are taken.
    TargetCornerList left, right;
    for (int id : {0, 1, 2, 5, 6, 7})
        left.push_back({cv::Point2f(float(id), 1.0f), cv::Point3f(float(id) * 10.0f, 0.0f, 0.0f), id});
    for (int id : {7, 6, 3, 2})
        right.push_back({cv::Point2f(float(id), 2.0f), cv::Point3f(float(id) * 10.0f, 1.0f, 0.0f), id});
    std::vector<cv::Point3f> object;
    std::vector<cv::Point2f> p1, p2;
    // In the primary's order, with the primary's object points.
    EXPECT_EQ(pairCornersById(left, right, object, p1, p2), 3);
    EXPECT_EQ(p1, (std::vector<cv::Point2f>{{2, 1}, {6, 1}, {7, 1}}));
    EXPECT_EQ(p2, (std::vector<cv::Point2f>{{2, 2}, {6, 2}, {7, 2}}));
    EXPECT_EQ(object, (std::vector<cv::Point3f>{{20, 0, 0}, {60, 0, 0}, {70, 0, 0}}));

    // A corner file has no ids: its rows meet the detection at equal target positions.
    const std::vector<cv::Point3f> fileObject = {{60, 0, 0}, {40, 0, 0}, {20.0004f, 0, 0}};
    const std::vector<cv::Point2f> fileImage = {{100, 5}, {101, 5}, {102, 5}};
    EXPECT_EQ(pairCornersByPosition(fileObject, fileImage, left, false, object, p1, p2), 2);
    EXPECT_EQ(p1, (std::vector<cv::Point2f>{{6, 1}, {2, 1}}));
    EXPECT_EQ(p2, (std::vector<cv::Point2f>{{100, 5}, {102, 5}}));
    EXPECT_EQ(pairCornersByPosition(fileObject, fileImage, left, true, object, p1, p2), 2);
    EXPECT_EQ(p1, (std::vector<cv::Point2f>{{100, 5}, {102, 5}}));
}

TEST(StereoWorkflow, SizesComeFromTheImagesANewTargetIsReadAgainAndBothSidesAreRead)
{
    CornerFileSet set(4);
    StereoState state = set.state();
    StereoRequest req = request();
    // Start values stored for another resolution.
    req.options.secondary.useIntrinsicGuess = true;
    req.secondary.K = cv::Mat(stereo_synth::defaultRig().cam[1].K, true);
    req.secondary.imageSize = cv::Size(640, 480);
    std::vector<cv::Size> handed;
    StereoHooks hooks;
    hooks.storeSecondaryIntrinsics = [&handed](int, const cv::Mat&, const cv::Mat&, cv::Size s) { handed.push_back(s); };
    RecordingLogSink log;
    const StereoResult r = calibrateStereo(state, req, hooks, log);
    ASSERT_EQ(r.status, StereoStatus::Calibrated) << log.text().toStdString();
    EXPECT_EQ(handed, std::vector<cv::Size>({cv::Size(1280, 960)}));
    EXPECT_EQ(r.imageSize[1], cv::Size(1280, 960));
    EXPECT_EQ(test::textInColour(log, "orange"), "Warning: The intrinsics of Right belong to images of 640x480 px, its images "
                                       "are 1280x960 px.\n\n");
    // Without removal the analysis still reports that nothing was removed.
    EXPECT_EQ(test::textInColour(log, logcolor::Reused), "none\n\n");

    // The same target reuses the corners; another square size reads every pair again.
    RecordingLogSink same, other;
    calibrateStereo(state, req, {}, same);
    EXPECT_EQ(test::textInColour(same, logcolor::Reused), "0 1 2 3 none\n\n");
    req.target.squareWidth = 30.0;
    calibrateStereo(state, req, {}, other);
    EXPECT_EQ(test::textInColour(other, logcolor::Green), "0 1 2 3 ");

    // A primary without its target: the secondary is read all the same.
    CornerFileSet broken(3);
    QFile::remove(intrinsic::cornerFilePath(broken.paths[0][0]));
    QFile::remove(broken.paths[1][0]);
    StereoState failing = broken.state();
    RecordingLogSink failed;
    calibrateStereo(failing, request(), {}, failed);
    EXPECT_TRUE(test::textInColour(failed, "orange").contains("Warning: Image could not be read: " + broken.paths[1][0]))
        << failed.text().toStdString();
}

// A guess that is not a rotation is not used; results that are not finite or plausible are named.
TEST(StereoWorkflow, BadGuessesAndUnusableResults)
{
    const CornerFileSet set(4);
    StereoState state = set.state();
    state.R = 2.0 * cv::Mat::eye(3, 3, CV_64F);
    state.T = (cv::Mat_<double>(3, 1) << -100, 0, 0);
    RecordingLogSink log;
    StereoResult r = calibrateStereo(state, request(), {}, log);
    ASSERT_EQ(r.status, StereoStatus::Calibrated) << log.text().toStdString();
    EXPECT_EQ(test::textInColour(log, logcolor::Orange),
              "Warning: The extrinsic guess is not a rotation and a finite translation; it is not used.\n\n");
    EXPECT_TRUE(isRotation(cv::Matx33d(state.R)));

    const std::array<cv::Mat, 2> K = {r.K[0], r.K[1]}, d = {r.distortion[0], r.distortion[1]};
    const std::array<cv::Size, 2> sizes = {r.imageSize[0], r.imageSize[1]};
    EXPECT_EQ(stereoResultProblem(K, d, r.rms, sizes, r.R, r.T, r.perViewErrors, r.E, r.F), "");
    cv::Mat nanK = K[1].clone(), nanT = r.T.clone(), nanF = r.F.clone(), nanErrors = r.perViewErrors.clone();
    nanK.at<double>(1, 1) = NAN;
    nanT.at<double>(2) = INFINITY;
    nanF.at<double>(0, 1) = NAN;
    nanErrors.at<double>(1, 0) = NAN;
    const cv::Mat scaled = r.R * 1.01;
    EXPECT_EQ(stereoResultProblem({K[0], nanK}, d, r.rms, sizes, r.R, r.T, r.perViewErrors, r.E, r.F),
              "secondary: the camera matrix holds a value that is not a finite number");
    EXPECT_EQ(stereoResultProblem(K, d, NAN, sizes, r.R, r.T, r.perViewErrors, r.E, r.F), "primary: the RMS error is nan");
    for (const auto& [R, T] : {std::pair{scaled, r.T}, std::pair{r.R, nanT}})
        EXPECT_EQ(stereoResultProblem(K, d, r.rms, sizes, R, T, r.perViewErrors, r.E, r.F),
                  "the relative pose is not a rotation and a finite translation");
    EXPECT_EQ(stereoResultProblem(K, d, r.rms, sizes, r.R, r.T, nanErrors, r.E, r.F),
              "an error or the epipolar geometry is not finite");
    EXPECT_EQ(stereoResultProblem(K, d, r.rms, sizes, r.R, r.T, r.perViewErrors, r.E, nanF),
              "an error or the epipolar geometry is not finite");
    // A result that never came does not become files.
    StereoResult none;
    none.status = StereoStatus::InvalidResult;
    QTemporaryDir dir;
    QString error;
    EXPECT_FALSE(writeStereoResultFiles(none, dir.path(), "Left", "Right", &error));
    EXPECT_TRUE(QDir(dir.path()).isEmpty());
}

// The camera-projector module writes both views of a set without the corners it could not map
// into the projector: such files are taken together, row by row. A partial file whose partner
// holds other rows, or holds every corner, does not stand in for detection.
TEST(StereoWorkflow, PartialCornerFilesAreTakenOnlyTogetherWithTheirSetsOther)
{
    const size_t dropped = 10;
    CornerFileSet set(5, 7, [dropped](stereo_synth::Views& v) {
        for (size_t i = 0; i < 3; ++i) {
            v.object[i].erase(v.object[i].begin(), v.object[i].begin() + dropped);
            for (auto& side : v.image)
                side[i].erase(side[i].begin(), side[i].begin() + dropped);
        }
    });
    auto rewrite = [&](int k, int i, size_t from, size_t to) {
        cv::FileStorage fs(intrinsic::cornerFilePath(set.paths[k][i]).toStdString(), cv::FileStorage::WRITE);
        const auto& image = set.views.image[k][size_t(i)];
        const auto& object = set.views.object[size_t(i)];
        fs << "corners" << cv::Mat(std::vector<cv::Point2f>(image.begin() + long(from), image.begin() + long(to)))
           << "obj" << cv::Mat(std::vector<cv::Point3f>(object.begin() + long(from), object.begin() + long(to)));
    };
    const size_t all = set.views.object[3].size();
    rewrite(0, 3, dropped, all); // pair 3: the two files hold different rows
    rewrite(1, 3, 0, all - dropped);
    rewrite(0, 4, 0, all - dropped); // pair 4: a partial primary beside a complete secondary

    StereoState state = set.state();
    RecordingLogSink log;
    const StereoResult r = calibrateStereo(state, request(), {}, log);
    ASSERT_EQ(r.status, StereoStatus::Calibrated) << log.text().toStdString();
    EXPECT_EQ(test::textInColour(log, logcolor::Green), "0 1 2 ");
    EXPECT_EQ(test::textInColour(log, logcolor::Red), "3 4 ");
    for (size_t i = 0; i < 3; ++i) {
        ASSERT_EQ(state.pairs[i].objectPoints, set.views.object[i]) << i;
        EXPECT_EQ(state.pairs[i].primaryPoints, set.views.image[0][i]);
        EXPECT_EQ(state.pairs[i].secondaryPoints, set.views.image[1][i]);
    }
    EXPECT_LT(r.rms, 0.2);
}
