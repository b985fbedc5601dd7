#include "stereo/StereoWorkflow.h"
#include "tests/stereo/StereoSynthetic.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>

#include "app/ProjectFile.h"
#include "intrinsic/IntrinsicFiles.h"
#include "synth/Renderer.h"

using namespace vantiro;
using namespace vantiro::stereo;

namespace {

// 10 x 7 squares of 25 mm: the 9 x 6 inner corners of stereo_synth::grid().
MainWindowSettings target()
{
    MainWindowSettings s;
    s.targetType = Chessboard;
    s.numSquaresX = 10;
    s.numSquaresY = 7;
    s.squareWidth = s.squareHeight = 25.0;
    s.dictionary = 10;
    return s;
}

void writeCorners(const QString& imagePath, const std::vector<cv::Point2f>& image,
                  const std::vector<cv::Point3f>& object)
{
    cv::FileStorage fs(intrinsic::cornerFilePath(imagePath).toStdString(), cv::FileStorage::WRITE);
    fs << "corners" << cv::Mat(image);
    fs << "obj" << cv::Mat(object);
}

// Pairs of blank images with corner files beside them, holding the exact projections (plus
// noise) of the grid through a known rig: the workflow reads the files instead of detecting.
struct CornerFileSet
{
    QTemporaryDir dir;
    stereo_synth::Rig rig = stereo_synth::defaultRig();
    stereo_synth::Views views;
    QStringList primary, secondary;

    explicit CornerFileSet(int pairs, double noise = 0.05, uint64_t seed = 7)
    {
        views = stereo_synth::makeViews(rig, pairs, noise, seed);
        const cv::Mat blank = cv::Mat::zeros(rig.cam[0].size, CV_8UC1);
        for (int i = 0; i < pairs; ++i) {
            primary << dir.path() + QString("/left_%1.png").arg(i);
            secondary << dir.path() + QString("/right_%1.png").arg(i);
            cv::imwrite(primary.last().toStdString(), blank);
            cv::imwrite(secondary.last().toStdString(), blank);
            writeCorners(primary.last(), views.image[0][size_t(i)], views.object[size_t(i)]);
            writeCorners(secondary.last(), views.image[1][size_t(i)], views.object[size_t(i)]);
        }
    }
};

StereoRequest request()
{
    StereoRequest r;
    r.target = target();
    r.primary.id = 3;
    r.primary.name = "Left";
    r.secondary.id = 5;
    r.secondary.name = "Right";
    r.options.maxIterations = 100;
    // The rig's cameras have fx != fy and tangential distortion.
    for (SensorOptions* o : {&r.options.primary, &r.options.secondary}) {
        o->fixAspectRatio = false;
        o->useTangentialDistortion = true;
    }
    return r;
}

StereoState loaded(const CornerFileSet& set)
{
    StereoState state;
    state.loadPrimary(set.primary);
    state.loadSecondary(set.secondary);
    return state;
}

// Texts of the segments in colour c, joined.
QString inColour(const RecordingLogSink& log, const QString& c)
{
    QString out;
    for (const auto& s : log.segments)
        if (s.color == c)
            out += s.text;
    return out;
}

double angleBetween(const cv::Matx33d& a, const cv::Matx33d& b)
{
    cv::Vec3d r;
    cv::Rodrigues(a.t() * b, r);
    return cv::norm(r);
}

} // namespace

TEST(StereoWorkflow, CornerFilePairsRecoverTheRigAndLogTheResult)
{
    CornerFileSet set(6);
    StereoState state = loaded(set);
    RecordingLogSink log;
    int primaryStores = 0, secondaryStores = 0, extrinsicStores = 0;
    cv::Matx33d storedR;
    cv::Matx31d storedT;
    StereoHooks hooks;
    hooks.storePrimaryIntrinsics = [&](int id, const cv::Mat& K, const cv::Mat&, cv::Size size) {
        EXPECT_EQ(id, 3);
        EXPECT_EQ(K.size(), cv::Size(3, 3));
        EXPECT_EQ(size, set.rig.cam[0].size);
        ++primaryStores;
    };
    hooks.storeSecondaryIntrinsics = [&](int id, const cv::Mat&, const cv::Mat&, cv::Size) {
        EXPECT_EQ(id, 5);
        ++secondaryStores;
    };
    hooks.storeSecondaryExtrinsics = [&](int a, int b, const cv::Matx33d& R, const cv::Matx31d& t) {
        EXPECT_EQ(a, 3);
        EXPECT_EQ(b, 5);
        storedR = R;
        storedT = t;
        ++extrinsicStores;
    };
    const StereoResult r = calibrateStereo(state, request(), hooks, log);
    ASSERT_EQ(r.status, StereoStatus::Calibrated) << log.text().toStdString();

    // The rig: camera 1 -> camera 2 as the adjustment estimates it.
    cv::Matx33d trueR;
    cv::Rodrigues(set.rig.om, trueR);
    EXPECT_LT(angleBetween(cv::Matx33d(r.R), trueR) * 180.0 / CV_PI, 0.05);
    EXPECT_LT(cv::norm(cv::Vec3d(r.T.reshape(1, 3)) - set.rig.T), 0.5);
    EXPECT_NEAR(r.K[0].at<double>(0, 0), set.rig.cam[0].K(0, 0), 2.0);
    EXPECT_NEAR(r.K[1].at<double>(1, 2), set.rig.cam[1].K(1, 2), 2.0);
    EXPECT_EQ(r.distortion[0].cols, 5);
    EXPECT_LT(r.rms, 0.1);
    EXPECT_GT(r.sensorRms[0], 0.0);
    EXPECT_EQ(r.usedPairs, std::vector<int>({0, 1, 2, 3, 4, 5}));

    // The secondary's pose in the primary's frame is the inverse: R^T and -R^T T.
    const cv::Matx33d Rt = cv::Matx33d(r.R).t();
    const cv::Matx31d expectedT = -(Rt * cv::Matx31d(r.T.reshape(1, 3)));
    EXPECT_LT(cv::norm(r.secondaryT - expectedT), 1e-9);
    EXPECT_LT(cv::norm(storedT - expectedT), 1e-9);
    EXPECT_LT(cv::norm(cv::Mat(storedR), cv::Mat(Rt)), 1e-9);
    EXPECT_EQ(primaryStores, 1);
    EXPECT_EQ(secondaryStores, 1);
    EXPECT_EQ(extrinsicStores, 1);

    // Per pair: both poses, composed through the rig, and the per-view errors.
    for (const StereoPair& pair : state.pairs) {
        ASSERT_TRUE(pair.hasPoses());
        EXPECT_GT(pair.primaryError, 0.0);
        EXPECT_NEAR(pair.meanError, 0.5 * (pair.primaryError + pair.secondaryError), 1e-12);
        EXPECT_GE(pair.epipolarRms, 0.0);
        EXPECT_LT(pair.epipolarRms, 0.5);
        EXPECT_EQ(pair.primaryColors.size(), pair.objectPoints.size());
    }
    cv::Mat om;
    cv::Rodrigues(r.R, om);
    cv::Mat r2, t2;
    cv::composeRT(state.pairs[2].primaryRvec, state.pairs[2].primaryTvec, om, r.T, r2, t2);
    EXPECT_LT(cv::norm(r2, state.pairs[2].secondaryRvec), 1e-9);
    EXPECT_LT(cv::norm(t2, state.pairs[2].secondaryTvec), 1e-9);

    // The log, as the module writes it.
    const auto* heading = log.find("Target settings:\n");
    ASSERT_TRUE(heading);
    EXPECT_TRUE(heading->bold);
    EXPECT_TRUE(log.text().contains("Target Type: Chessboard\nNum Squares X = 10\n"));
    EXPECT_EQ(inColour(log, logcolor::Green), "0 1 2 3 4 5 ");
    EXPECT_TRUE(log.text().contains("Extrinsic calibration with 6/6 image sets...\n\n"));
    EXPECT_TRUE(log.text().contains("Estimated extrinsics (Right w.r.t Left coordinate system):\n\n"));
    const QString translation = QString("x: %1\ny: %2\nz: %3\n\n")
                                    .arg(r.secondaryT(0), 0, 'f', 4)
                                    .arg(r.secondaryT(1), 0, 'f', 4)
                                    .arg(r.secondaryT(2), 0, 'f', 4);
    EXPECT_TRUE(log.text().contains("Translation vector:\n" + translation + "Rotation matrix:\n"))
        << log.text().toStdString();
    const QString firstRow = QString("%1  %2  %3\n").arg(Rt(0, 0), 0, 'f', 4).arg(Rt(0, 1), 0, 'f', 4).arg(Rt(0, 2), 0, 'f', 4);
    EXPECT_TRUE(log.text().contains(firstRow));
    const auto* rms = log.find(QString("%1 px\n\n").arg(QString::number(r.rms, 'g', 6)));
    ASSERT_TRUE(rms);
    EXPECT_TRUE(rms->bold);
    EXPECT_FALSE(rms->color.isEmpty());
    // Without outlier removal nothing about outliers is written.
    EXPECT_FALSE(log.text().contains("Detected outliers"));
}

TEST(StereoWorkflow, SecondRunReusesCornersUncheckedAndShortPairsAreLeftOut)
{
    CornerFileSet set(6);
    StereoState state = loaded(set);
    RecordingLogSink first;
    ASSERT_EQ(calibrateStereo(state, request(), {}, first).status, StereoStatus::Calibrated);

    // Cached corners are used again: every index in the "reused" colour. Pair 3 keeps only five
    // common corners (as if outliers had been removed) and is then left out and unchecked.
    state.pairs[3].objectPoints.resize(5);
    state.pairs[3].primaryPoints.resize(5);
    state.pairs[3].secondaryPoints.resize(5);
    state.secondary[1].checked = false;
    state.pairs[1].clearCorners();
    RecordingLogSink second;
    const StereoResult r = calibrateStereo(state, request(), {}, second);
    ASSERT_EQ(r.status, StereoStatus::Calibrated) << second.text().toStdString();
    EXPECT_EQ(inColour(second, logcolor::Reused), "0 2 3 4 5 ");
    EXPECT_EQ(inColour(second, logcolor::Secondary), "1 ");
    EXPECT_TRUE(inColour(second, logcolor::Green).isEmpty());
    EXPECT_TRUE(second.text().contains("with 4/6 image sets"));
    EXPECT_EQ(r.usedPairs, std::vector<int>({0, 2, 4, 5}));
    EXPECT_FALSE(state.primary[3].checked);
    EXPECT_FALSE(state.secondary[3].checked);
    EXPECT_TRUE(state.pairs[3].objectPoints.empty());
    EXPECT_FALSE(state.pairs[3].hasPoses());
    EXPECT_DOUBLE_EQ(state.pairs[3].meanError, -1.0);
}

TEST(StereoWorkflow, RefusesToRunWithoutChangingTheResults)
{
    CornerFileSet set(3);
    struct Case
    {
        const char* what;
        std::function<void(StereoState&, StereoRequest&)> change;
        StereoStatus status;
        QString message;
    };
    const std::vector<Case> cases = {
        {"lists of different length", [](StereoState& s, StereoRequest&) { s.secondary.pop_back(); },
         StereoStatus::ListSizeMismatch, "Image list size mismatch. aborting.\n\n"},
        {"one object twice", [](StereoState&, StereoRequest& r) { r.secondary.id = r.primary.id; },
         StereoStatus::SameSensor, "Same sensor is selected twice in 'Select Sensors', aborting.\n\n"},
        {"no object", [](StereoState&, StereoRequest& r) { r.secondary.id = -1; }, StereoStatus::NoSensor,
         "No sensor present in the sensor list, aborting.\n\n"},
        {"guess without intrinsics",
         [](StereoState&, StereoRequest& r) {
             r.options.secondary.useIntrinsicGuess = true;
             r.secondary.K = cv::Mat::zeros(3, 3, CV_64F);
         },
         StereoStatus::MissingIntrinsics,
         "Use intrinsic guess for Right is set, but the Right does not have any intrinsics, aborting.\n\n"},
    };
    for (const Case& c : cases) {
        StereoState state = loaded(set);
        state.R = cv::Mat::eye(3, 3, CV_64F);
        state.T = (cv::Mat_<double>(3, 1) << 1, 2, 3);
        StereoRequest req = request();
        c.change(state, req);
        RecordingLogSink log;
        bool stored = false;
        StereoHooks hooks;
        hooks.storePrimaryIntrinsics = [&](int, const cv::Mat&, const cv::Mat&, cv::Size) { stored = true; };
        const StereoResult r = calibrateStereo(state, req, hooks, log);
        EXPECT_EQ(r.status, c.status) << c.what;
        ASSERT_EQ(log.segments.size(), 1u) << c.what;
        EXPECT_EQ(log.segments[0].text, c.message) << c.what;
        EXPECT_EQ(log.segments[0].color, logcolor::Red);
        EXPECT_FALSE(stored);
        EXPECT_EQ(state.T.at<double>(2), 3.0) << c.what;
        for (const StereoPair& p : state.pairs)
            EXPECT_TRUE(p.objectPoints.empty()) << c.what;
    }
}

TEST(StereoWorkflow, FailedDetectionDisablesPairsAndAbortStopsAtAnImage)
{
    // Blank images without corner files: nothing to detect.
    CornerFileSet set(3);
    for (const QString& p : set.primary + set.secondary)
        QFile::remove(intrinsic::cornerFilePath(p));
    StereoState state = loaded(set);
    RecordingLogSink log;
    StereoResult r = calibrateStereo(state, request(), {}, log);
    EXPECT_EQ(r.status, StereoStatus::NoPairs);
    EXPECT_EQ(inColour(log, logcolor::Red), "0 1 2 Target detection failed on all images or none were selected!\n\n");
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_FALSE(state.primary[i].checked);
        EXPECT_FALSE(state.secondary[i].checked);
    }

    // Abort: asked before each image; the third answer stops the run before pair 1's secondary.
    CornerFileSet good(3);
    StereoState fresh = loaded(good);
    int asked = 0;
    std::vector<int> progress;
    StereoHooks hooks;
    hooks.abort = [&asked] { return ++asked == 3; };
    hooks.progress = [&progress](int pair, int pairs) {
        EXPECT_EQ(pairs, 3);
        progress.push_back(pair);
    };
    bool stored = false;
    hooks.storeSecondaryExtrinsics = [&](int, int, const cv::Matx33d&, const cv::Matx31d&) { stored = true; };
    RecordingLogSink aborted;
    r = calibrateStereo(fresh, request(), hooks, aborted);
    EXPECT_EQ(r.status, StereoStatus::Aborted);
    EXPECT_EQ(inColour(aborted, logcolor::Red), "Calibration aborted \n\n");
    EXPECT_EQ(progress, std::vector<int>({0, 1}));
    EXPECT_FALSE(stored);
    EXPECT_TRUE(r.R.empty());
    // Pair 0 was done before the abort and is reused next time.
    EXPECT_EQ(fresh.pairs[0].objectPoints.size(), 54u);
    EXPECT_TRUE(fresh.pairs[1].objectPoints.empty());
}

TEST(StereoWorkflow, OutliersByReprojectionAreReportedAndRemoved)
{
    CornerFileSet set(6, 0.05, 11);
    // One secondary corner of pair 2 is 6 px off, across the epipolar lines (the baseline is along x).
    std::vector<cv::Point2f> bad = set.views.image[1][2];
    bad[17].y += 6.0f;
    writeCorners(set.secondary[2], bad, set.views.object[2]);

    StereoState state = loaded(set);
    StereoRequest req = request();
    req.options.removeOutliers = true;
    req.options.maxErrorPrimary = req.options.maxErrorSecondary = req.options.maxErrorEpipolar = 2.0;
    RecordingLogSink log;
    const StereoResult r = calibrateStereo(state, req, {}, log);
    ASSERT_EQ(r.status, StereoStatus::Calibrated) << log.text().toStdString();
    EXPECT_TRUE(r.outliersFound);
    EXPECT_TRUE(log.text().contains("Detected outliers [Idx:Num]: 2:1 "));
    EXPECT_EQ(inColour(log, "orange"), "2:1 \n\nCalibrate again to exclude the detected outliers!\n\n");
    ASSERT_EQ(state.pairs[2].objectPoints.size(), 53u);
    EXPECT_EQ(state.pairs[2].secondaryPoints.size(), 53u);
    EXPECT_EQ(state.pairs[2].primaryProjected.size(), 53u);
    // The bad corner is the one that went.
    for (const cv::Point2f& p : state.pairs[2].secondaryPoints)
        EXPECT_NE(p, bad[17]);
    EXPECT_EQ(state.pairs[0].objectPoints.size(), 54u);

    // The next run works on what is left and finds nothing more.
    RecordingLogSink again;
    const StereoResult second = calibrateStereo(state, req, {}, again);
    ASSERT_EQ(second.status, StereoStatus::Calibrated);
    EXPECT_FALSE(second.outliersFound);
    EXPECT_TRUE(again.text().contains("Detected outliers [Idx:Num]: none\n\n"));
    EXPECT_LT(second.rms, r.rms);

    // With removal off the errors are still analysed, nothing is deleted.
    CornerFileSet clean(6, 0.05, 11);
    writeCorners(clean.secondary[2], bad, clean.views.object[2]);
    StereoState kept = loaded(clean);
    RecordingLogSink quiet;
    ASSERT_EQ(calibrateStereo(kept, request(), {}, quiet).status, StereoStatus::Calibrated);
    EXPECT_EQ(kept.pairs[2].objectPoints.size(), 54u);
    EXPECT_EQ(kept.pairs[2].secondaryColors.size(), 54u);
    EXPECT_GT(kept.pairs[2].secondaryMax, 2.0);
    EXPECT_GT(kept.pairs[2].epipolarMax, 2.0);
}

TEST(StereoWorkflow, LibraryErrorsEndTheRunWithTheModulesMessage)
{
    // A non-planar target without start values: the single-camera calibration refuses it.
    CornerFileSet set(4);
    for (int i = 0; i < 4; ++i) {
        std::vector<cv::Point3f> object = set.views.object[size_t(i)];
        for (size_t k = 0; k < object.size(); ++k)
            object[k].z = float(k % 3) * 10.0f;
        writeCorners(set.primary[i], set.views.image[0][size_t(i)], object);
        writeCorners(set.secondary[i], set.views.image[1][size_t(i)], object);
    }
    StereoState state = loaded(set);
    QString reported;
    bool stored = false;
    StereoHooks hooks;
    hooks.libraryError = [&reported](const QString& m) { reported = m; };
    hooks.storePrimaryIntrinsics = [&](int, const cv::Mat&, const cv::Mat&, cv::Size) { stored = true; };
    RecordingLogSink log;
    const StereoResult r = calibrateStereo(state, request(), hooks, log);
    EXPECT_EQ(r.status, StereoStatus::LibraryError);
    const QString red = inColour(log, logcolor::Red);
    EXPECT_TRUE(red.startsWith("OpenCV exception caught:\n")) << red.toStdString();
    EXPECT_TRUE(red.endsWith("Aborting.\n\n"));
    EXPECT_FALSE(reported.isEmpty());
    EXPECT_TRUE(red.contains(reported));
    EXPECT_FALSE(stored);
    EXPECT_TRUE(r.K[0].empty());
}

TEST(StereoWorkflow, OptionFlagsFollowTheOptionsTab)
{
    SensorOptions s;
    // Defaults: aspect ratio fixed, tangential distortion off.
    EXPECT_EQ(s.flags(), cv::CALIB_FIX_ASPECT_RATIO | cv::CALIB_ZERO_TANGENT_DIST);
    EXPECT_EQ(s.coefficientCount(), 5);
    s.useRadialDistortion = false;
    s.useRationalModel = true; // no effect without radial distortion
    s.fixK[4] = true;
    EXPECT_EQ(s.flags(), cv::CALIB_FIX_ASPECT_RATIO | 0xE8);
    EXPECT_EQ(s.coefficientCount(), 5);
    s = SensorOptions();
    s.useRationalModel = true;
    s.fixK = {false, true, false, false, false, true};
    s.useTangentialDistortion = true;
    s.useIntrinsicGuess = true;
    s.fixFocalLength = true;
    s.fixPrincipalPoint = true;
    s.fixAspectRatio = false;
    EXPECT_EQ(s.flags(), cv::CALIB_USE_INTRINSIC_GUESS | cv::CALIB_FIX_FOCAL_LENGTH | cv::CALIB_FIX_PRINCIPAL_POINT |
                             cv::CALIB_FIX_K2 | cv::CALIB_RATIONAL_MODEL | cv::CALIB_FIX_K6);
    EXPECT_EQ(s.coefficientCount(), 8);
    // k4..k6 fixes count only with the rational model.
    s.useRationalModel = false;
    EXPECT_EQ(s.flags() & (cv::CALIB_FIX_K6 | cv::CALIB_RATIONAL_MODEL), 0);

    StereoOptions o;
    o.sameFocalLength = true;
    o.useExtrinsicGuess = true;
    for (int f : {o.primaryFlags(), o.secondaryFlags()}) {
        EXPECT_TRUE(f & cv::CALIB_SAME_FOCAL_LENGTH);
        EXPECT_TRUE(f & cv::CALIB_USE_EXTRINSIC_GUESS);
    }
    o.secondary.useTangentialDistortion = true;
    EXPECT_TRUE(o.primaryFlags() & cv::CALIB_ZERO_TANGENT_DIST);
    EXPECT_FALSE(o.secondaryFlags() & cv::CALIB_ZERO_TANGENT_DIST);
}

TEST(StereoWorkflow, RadialDistortionOffKeepsTheCoefficientsAtZero)
{
    CornerFileSet set(6);
    StereoState state = loaded(set);
    StereoRequest req = request();
    req.options.primary.useRadialDistortion = false;
    RecordingLogSink log;
    const StereoResult r = calibrateStereo(state, req, {}, log);
    ASSERT_EQ(r.status, StereoStatus::Calibrated);
    EXPECT_EQ(cv::countNonZero(r.distortion[0]), 0);
    EXPECT_NE(cv::countNonZero(r.distortion[1]), 0);
    // The rig has distortion the primary now cannot model.
    EXPECT_GT(r.sensorRms[0], 1.0);
}

TEST(StereoWorkflow, CornersPairByIdOrByTargetPosition)
{
    // Two views of a board that each see part of it (as ChArUco views do).
    TargetCornerList left, right;
    for (int id : {0, 1, 2, 5, 6, 7})
        left.push_back({cv::Point2f(float(id), 1.0f), cv::Point3f(float(id) * 10.0f, 0.0f, 0.0f), id});
    // (The object points differ between the sides only to show whose are taken.)
    for (int id : {7, 6, 3, 2})
        right.push_back({cv::Point2f(float(id), 2.0f), cv::Point3f(float(id) * 10.0f, 1.0f, 0.0f), id});
    std::vector<cv::Point3f> object;
    std::vector<cv::Point2f> p1, p2;
    EXPECT_EQ(pairCornersById(left, right, object, p1, p2), 3);
    // In the primary's order, with the primary's object points.
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

TEST(StereoWorkflow, DetectsRenderedPairsAndWritesTheResultFiles)
{
    using namespace vantiro::synth;
    QTemporaryDir dir;
    const MainWindowSettings t = target();
    const BoardPattern board(t);
    CameraModel cams[2] = {CameraModel::ideal({640, 480}, 560.0), CameraModel::ideal({640, 480}, 580.0)};
    cams[0].setDistortion({-0.15, 0.05, 0.0, 0.0, 0.0});
    cams[1].setDistortion({-0.1, 0.02, 0.0, 0.0, 0.0});
    // The secondary 100 mm to the right, turned 8 degrees towards the primary's axis.
    const cv::Matx33d R = [] {
        cv::Matx33d m;
        cv::Rodrigues(cv::Vec3d(0.0, 8.0 * CV_PI / 180.0, 0.0), m);
        return m;
    }();
    const cv::Vec3d T = -(R * cv::Vec3d(100.0, 0.0, 0.0));
    const double poses[][3] = {{0, 0, 0}, {25, 0, 5}, {-25, 5, -5}, {0, 25, 10}, {5, -25, -10}, {15, 15, 20}};
    QStringList left, right;
    RenderOptions options;
    options.supersampling = 3;
    options.effects.noiseSigma = 1.0;
    int n = 0;
    for (const auto& p : poses) {
        const TargetPose pose = viewPose(board, 480.0, p[0], p[1], p[2], cv::Vec3d(45.0, 0.0, 0.0));
        TargetPose second;
        second.R = R * pose.R;
        second.t = R * pose.t + T;
        left << dir.path() + QString("/l%1.png").arg(n);
        right << dir.path() + QString("/r%1.png").arg(n++);
        cv::imwrite(left.last().toStdString(), render(cams[0], board, pose, options).colour);
        cv::imwrite(right.last().toStdString(), render(cams[1], board, second, options).colour);
    }
    StereoState state;
    state.loadPrimary(left);
    state.loadSecondary(right);
    RecordingLogSink log;
    StereoResult r = calibrateStereo(state, request(), {}, log);
    ASSERT_EQ(r.status, StereoStatus::Calibrated) << log.text().toStdString();
    EXPECT_EQ(inColour(log, logcolor::Green), "0 1 2 3 4 5 ");
    EXPECT_LT(angleBetween(cv::Matx33d(r.R), R) * 180.0 / CV_PI, 0.2);
    EXPECT_LT(cv::norm(cv::Vec3d(r.T.reshape(1, 3)) - T), 1.5);
    EXPECT_LT(r.rms, 0.3);

    // Result files: both intrinsics files and the project with the primary as the world.
    QString error;
    ASSERT_TRUE(writeStereoResultFiles(r, dir.path(), "Left", "Right", &error)) << error.toStdString();
    EXPECT_EQ(r.filesWritten, QStringList({dir.path() + "/Left.intrinsics.yml", dir.path() + "/Right.intrinsics.yml",
                                           dir.path() + "/Left.project.yml", dir.path() + "/Left.project.json"}));
    cv::FileStorage right0(r.filesWritten[1].toStdString(), cv::FileStorage::READ);
    cv::Mat K;
    right0["K"] >> K;
    EXPECT_LT(cv::norm(K, r.K[1]), 1e-9);
    EXPECT_NEAR(double(right0["reprojErrRMS"]), r.sensorRms[1], 1e-12);
    const ProjectReadResult project = readProjectFile(r.filesWritten[2]);
    ASSERT_EQ(project.status, ProjectReadResult::Status::Ok) << project.message.toStdString();
    ASSERT_EQ(project.objects.size(), 2u);
    EXPECT_EQ(project.world, 0);
    EXPECT_EQ(project.objects[0].name, "Left");
    EXPECT_EQ(project.objects[1].name, "Right");
    EXPECT_LT(cv::norm(project.objects[1].t - r.secondaryT), 1e-6);
    // The secondary sits 100 mm to the right of the primary.
    EXPECT_NEAR(project.objects[1].t(0), 100.0, 1.5);

    // Nothing to write without a result, or with one name for both objects.
    EXPECT_FALSE(writeStereoResultFiles(r, dir.path(), "Same", "Same", &error));
    EXPECT_FALSE(QFileInfo::exists(dir.path() + "/Same.intrinsics.yml"));
    StereoResult none;
    EXPECT_FALSE(writeStereoResultFiles(none, dir.path(), "A", "B", &error));
    EXPECT_FALSE(QFileInfo::exists(dir.path() + "/A.intrinsics.yml"));
}
