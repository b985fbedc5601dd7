// The hand-eye and tool-flange runs against rigs of known geometry: exact corners and poses give
// X and Y exactly, every stop and dropped view is told, the result files and the hand-over.

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <cfloat>
#include <map>

#include "RobotTestData.h"
#include "app/Settings.h"
#include "intrinsic/ErrorAnalysis.h"

using namespace robot_test;

namespace {

struct Outcome
{
    Outcome() = default;
    // The first n views with their exact corners.
    Outcome(const RigViews& views, int n) : rows(imageRows(views, true, n)) {}

    RobotResult result;
    RecordingLogSink log;
    Recorder recorder;
    std::vector<RobotImage> rows;
};

// One run over rows with the rig's poses, one per row (metres unless told otherwise).
void run(Outcome& r, const RigViews& views, RobotRequest request, std::vector<TcpPose> poses = {})
{
    if (poses.empty()) {
        poses = tcpPoses(views.rig, request.options.metres);
        poses.resize(r.rows.size());
    }
    r.result = calibrateRobot(r.rows, poses, request, r.recorder.hooks(), r.log);
}

RobotModule moduleOf(const RigViews& v)
{
    return v.rig.handEye ? RobotModule::HandEye : RobotModule::ToolFlange;
}

std::vector<bool> dropped(const std::vector<RobotImage>& rows)
{
    std::vector<bool> out;
    for (const RobotImage& r : rows)
        out.push_back(r.dropped);
    return out;
}

// The names and matrices of a result file, in the order written.
std::vector<std::pair<std::string, cv::Mat>> resultFile(const QString& path)
{
    cv::FileStorage fs(path.toStdString(), cv::FileStorage::READ);
    std::vector<std::pair<std::string, cv::Mat>> out;
    for (const cv::FileNode& n : fs.root())
        n >> out.emplace_back(n.name(), cv::Mat()).second;
    return out;
}

void expectNear(const Rigid& truth, const cv::Matx33d& R, const cv::Vec3d& t, double degrees, double mm,
                const char* what)
{
    EXPECT_LT(angleDeg(R, truth.R), degrees) << what;
    EXPECT_LT(cv::norm(t - truth.t), mm) << what << " " << t << " vs " << truth.t;
}

} // namespace

TEST(RobotRun, ExactDataGiveXExactlyAndEachMethodIsTheLibrarysOwn)
{
    // Exact corners and poses give X exactly with either solver; corners off by a few tenths of a
    // pixel tell the methods apart, and each result must be the library's for the method chosen.
    const RigViews& views = handEyeViews();
    cv::RNG rng(5);
    std::vector<RobotImage> noisy = imageRows(views, true, 6);
    for (RobotImage& row : noisy)
        for (cv::Point2f& p : row.imagePoints)
            p += cv::Point2f(float(rng.gaussian(0.3)), float(rng.gaussian(0.3)));
    const struct
    {
        PoseSolver solver;
        HandEyeMethod method;
        int library;
    } cases[] = {{PoseSolver::Iterative, HandEyeMethod::Park, cv::CALIB_HAND_EYE_PARK},
                 {PoseSolver::EPnP, HandEyeMethod::Horaud, cv::CALIB_HAND_EYE_HORAUD},
                 {PoseSolver::Iterative, HandEyeMethod::Andreff, cv::CALIB_HAND_EYE_ANDREFF}};
    std::map<HandEyeMethod, cv::Vec3d> tX;
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.method));
        QTemporaryDir wd;
        RobotRequest req = request(RobotModule::HandEye, wd.path());
        req.options.solver = c.solver;
        req.options.method = c.method;
        Outcome r(views, 6);
        run(r, views, req);
        ASSERT_EQ(r.result.status, RobotStatus::Calibrated) << r.log.text().toStdString();
        // EPnP has no refinement: exact to its own precision on corners rounded to float.
        const double scale = c.solver == PoseSolver::EPnP ? 20.0 : 1.0;
        expectNear(views.rig.X, r.result.RX, r.result.tX, 1e-5 * scale, 1e-4 * scale, "X");
        EXPECT_LT(r.result.rms3d, 1e-3 * scale);
        ASSERT_EQ(r.result.views.size(), 6u);
        for (const RobotView& v : r.result.views) {
            EXPECT_LT(v.rms, 1e-3 * scale);
            EXPECT_LT(v.translationDeviation, 1e-3 * scale);
            EXPECT_LT(v.rotationDeviation, 1e-4 * scale);
        }

        Outcome n;
        n.rows = noisy;
        run(n, views, req);
        ASSERT_EQ(n.result.status, RobotStatus::Calibrated);
        std::vector<cv::Mat> Rg, tg, Rc, tc;
        for (const RobotView& v : n.result.views) {
            Rg.push_back(cv::Mat(v.tcpR));
            tg.push_back(cv::Mat(v.tcpT));
            Rc.push_back(cv::Mat(v.targetR()));
            tc.push_back(cv::Mat(v.tvec));
        }
        cv::Mat R, t;
        cv::calibrateHandEye(Rg, tg, Rc, tc, R, t, cv::HandEyeCalibrationMethod(c.library));
        EXPECT_LT(cv::norm(cv::Vec3d(t) - n.result.tX), 1e-9);
        tX[c.method] = n.result.tX;
    }
    EXPECT_GT(cv::norm(tX[HandEyeMethod::Park] - tX[HandEyeMethod::Andreff]), 1e-6);
    EXPECT_GT(cv::norm(tX[HandEyeMethod::Park] - tX[HandEyeMethod::Horaud]), 1e-6);
}

TEST(RobotRun, HandEyeLogWritesAXXBAndHandsOnTheTcpInTheCameraFrame)
{
    const RigViews& views = handEyeViews();
    QTemporaryDir wd;
    Outcome r(views, 5);
    r.rows[1].checked = false; // the sixth pose pairs with nothing
    run(r, views, request(RobotModule::HandEye, wd.path()));
    ASSERT_EQ(r.result.status, RobotStatus::Calibrated) << r.log.text().toStdString();
    EXPECT_EQ(dropped(r.rows), std::vector<bool>({false, true, false, false, false}));

    const QString file = wd.path() + "/AX-XB.yml";
    const QString log = r.log.text();
    const QString X = QString("Estimated X (Cam3 w.r.t. UR5 TCP coordinate system):\n\nTranslation tX:\n(%1, %2, %3) mm\n\n")
                          .arg(r.result.tX[0], 0, 'f', 4)
                          .arg(r.result.tX[1], 0, 'f', 4)
                          .arg(r.result.tX[2], 0, 'f', 4);
    EXPECT_TRUE(log.contains("Detecting targets: 0 2 3 4 \n\nHand/Eye-Calibration with 4/4 image/TCP coordinate sets"
                             "...\n\n" + X + "Rotation RX:\n"))
        << log.toStdString();
    const cv::Matx33d& R = r.result.RX;
    EXPECT_TRUE(log.contains(QString("%1  %2  %3\n").arg(R(1, 0), 0, 'f', 4).arg(R(1, 1), 0, 'f', 4).arg(R(1, 2), 0, 'f', 4)));
    EXPECT_TRUE(log.endsWith(" mm\n\nExtrinsics saved to:\n" + file + "\n\n")) << log.toStdString();
    EXPECT_TRUE(log.contains("\nRMS 3D-Error of all calibration points: "));
    for (const char* bold : {"Target settings:\n", "Detecting targets: ", "Estimated X ", "Translation tX:\n",
                             "Rotation RX:\n", "\nRMS 3D-Error of all calibration points: ", "Extrinsics saved to:\n"})
        EXPECT_TRUE(r.log.find(bold) && r.log.find(bold)->bold) << bold;
    EXPECT_EQ(r.log.find("0 ")->color, logcolor::Green);
    EXPECT_FALSE(r.log.find("(Cam3 w.r.t.")->bold);

    // The file: RX and tX, in this order.
    const auto saved = resultFile(file);
    ASSERT_EQ(saved.size(), 2u);
    const cv::Mat &RX = saved[0].second, &tX = saved[1].second;
    EXPECT_TRUE(saved[0].first == "RX" && saved[1].first == "tX");
    ASSERT_TRUE(RX.type() == CV_64F && RX.size() == cv::Size(3, 3) && tX.size() == cv::Size(1, 3));
    EXPECT_LT(cv::norm(cv::Matx33d(RX), r.result.RX), 1e-12);

    // The TCP in the camera frame, handed to camera 3 and robot 5.
    EXPECT_TRUE(r.recorder.stores == 1 && r.recorder.cameraId == 3 && r.recorder.robotId == 5);
    EXPECT_LT(angleDeg(r.recorder.R, views.rig.X.R.t()), 1e-5);
    EXPECT_LT(cv::norm(cv::Vec3d(r.recorder.t.val) + views.rig.X.R.t() * views.rig.X.t), 1e-4);
}

TEST(RobotRun, ToolFlangeRecoversXAndYExactlyWritesAXYBInOrderAndHandsOnTheBase)
{
    const RigViews& views = toolFlangeViews();
    for (PoseSolver solver : {PoseSolver::Iterative, PoseSolver::EPnP, PoseSolver::EP3P}) {
        SCOPED_TRACE(int(solver));
        QTemporaryDir wd;
        Outcome r(views, 6);
        RobotRequest req = request(RobotModule::ToolFlange, wd.path());
        req.options.solver = solver;
        run(r, views, req);
        ASSERT_EQ(r.result.status, RobotStatus::Calibrated) << r.log.text().toStdString();
        // Four corners carry less than 54: the four-corner solver is exact, but only to its own precision.
        const double scale = solver == PoseSolver::EP3P ? 100.0 : 1.0;
        expectNear(views.rig.X, r.result.RX, r.result.tX, 1e-5 * scale, 1e-4 * scale, "X");
        expectNear(views.rig.Y, r.result.RY, r.result.tY, 1e-5 * scale, 1e-4 * scale, "Y");
        EXPECT_FALSE(r.result.ryTransposed);
        EXPECT_LT(r.result.rms3d, 1e-3 * scale);

        const QString log = r.log.text();
        EXPECT_TRUE(log.contains("Tool/Flange-Calibration with 6/6 image/TCP sets...\n\nEstimated Y (Cam3 w.r.t UR5 "
                                 "coordinate system):\n\nTranslation tY:\n"));
        EXPECT_TRUE(log.contains("\n\nEstimated X (Calibration target w.r.t. TCP coordinate system)\n\nTranslation tX:\n"));
        EXPECT_TRUE(r.log.find("Tool/Flange-Calibration ")->bold && !r.log.find("with 6/6")->bold);
        const auto* rms = r.log.find("RMS 3D-Error of all calibration points: ");
        ASSERT_TRUE(rms && rms->bold);
        EXPECT_EQ(rms->text, "RMS 3D-Error of all calibration points: ") << "no leading line break";

        const auto saved = resultFile(wd.path() + "/AX-YB.yml");
        ASSERT_EQ(saved.size(), 4u);
        EXPECT_TRUE(saved[0].first == "RY" && saved[1].first == "tY" && saved[2].first == "RX" && saved[3].first == "tX");
        EXPECT_LT(cv::norm(cv::Vec3d(saved[1].second) - r.result.tY), 1e-12);
        // The base in the camera frame.
        EXPECT_LT(angleDeg(r.recorder.R, views.rig.Y.R.t()), 1e-5 * scale);
        EXPECT_LT(cv::norm(cv::Vec3d(r.recorder.t.val) + views.rig.Y.R.t() * views.rig.Y.t), 1e-4 * scale);
    }
}

TEST(RobotRun, MetresAndMillimetresGiveTheSameMillimetres)
{
    const RigViews& views = handEyeViews();
    RobotResult results[2];
    for (bool metres : {true, false}) {
        QTemporaryDir wd;
        Outcome r(views, 5);
        RobotRequest req = request(RobotModule::HandEye, wd.path());
        req.options.metres = metres;
        run(r, views, req);
        ASSERT_EQ(r.result.status, RobotStatus::Calibrated);
        results[metres] = r.result;
    }
    EXPECT_LT(cv::norm(results[0].tX - results[1].tX), 1e-6);
    EXPECT_LT(cv::norm(results[1].tX - views.rig.X.t), 1e-4);
    EXPECT_NEAR(results[1].views[2].tcpT[2], views.rig.tcp[2].t[2], 1e-9) << "TCP positions in mm";

    // Positions in millimetres read as metres: a thousand times too far, and the loop shows it.
    QTemporaryDir wd;
    Outcome wrong(views, 5);
    std::vector<TcpPose> poses = tcpPoses(views.rig, false);
    poses.resize(5);
    run(wrong, views, request(RobotModule::HandEye, wd.path()), poses);
    EXPECT_GT(wrong.result.rms3d, 100.0);

    // One TCP 10 mm off: the overall RMS is coloured by a fifth of itself, not of the worst view's.
    Outcome off(views, 5);
    poses = tcpPoses(views.rig);
    poses.resize(5);
    poses[2].t[0] += 0.01;
    run(off, views, request(RobotModule::HandEye, wd.path()), poses);
    double worst = 0.0;
    for (const RobotView& v : off.result.views)
        worst = std::max(worst, v.rms3d);
    const QString colour = intrinsic::colorName(intrinsic::errorColor(0.2 * off.result.rms3d));
    ASSERT_NE(colour, intrinsic::colorName(intrinsic::errorColor(0.2 * worst)));
    const auto* rms = off.log.find(QString::number(off.result.rms3d) + " mm\n\n");
    ASSERT_TRUE(rms);
    EXPECT_EQ(rms->color, colour);

    // With the dynamic colour range, the scale runs from a fifth of the best view's RMS to a fifth
    // of the worst one's.
    setDynamicMinMaxColorMapping(true);
    Outcome ranged(views, 5);
    run(ranged, views, request(RobotModule::HandEye, wd.path()), poses);
    setDynamicMinMaxColorMapping(false);
    double best = DBL_MAX;
    worst = 0.0;
    for (const RobotView& v : ranged.result.views) {
        best = std::min(best, v.rms3d);
        worst = std::max(worst, v.rms3d);
    }
    const QString rangedColour = intrinsic::colorName(
        intrinsic::errorColor(0.2 * ranged.result.rms3d, 0.2 * best, 0.2 * worst, true));
    ASSERT_NE(rangedColour, intrinsic::colorName(intrinsic::errorColor(0.2 * ranged.result.rms3d, 0.2 * best, 0.2 * best, true)));
    const auto* rangedRms = ranged.log.find(QString::number(ranged.result.rms3d) + " mm\n\n");
    ASSERT_TRUE(rangedRms);
    EXPECT_EQ(rangedRms->color, rangedColour);
}

TEST(RobotRun, AViewWithoutTheTargetIsDroppedAndTheOthersKeepTheirPoses)
{
    const RigViews& views = toolFlangeViews();
    QTemporaryDir wd;
    const QString blank = wd.path() + "/blank.png";
    cv::imwrite(blank.toStdString(), cv::Mat(480, 640, CV_8UC3, cv::Scalar(90, 120, 140)));
    Outcome r(views, 7);
    r.rows[2] = RobotImage();
    r.rows[2].path = blank;
    r.rows[5].imagePoints.clear(); // detected in its image
    r.rows[5].objectPoints.clear();
    // A file that is no image: left out with the reason, the run goes on.
    const QString broken = wd.path() + "/broken.png";
    {
        QFile f(broken);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("\x89PNG\r\n\x1a\nnot really");
    }
    r.rows[6] = RobotImage();
    r.rows[6].path = broken;
    run(r, views, request(RobotModule::ToolFlange, wd.path()));
    ASSERT_EQ(r.result.status, RobotStatus::Calibrated) << r.log.text().toStdString();
    EXPECT_EQ(dropped(r.rows), std::vector<bool>({false, false, true, false, false, false, true}));
    EXPECT_FALSE(r.rows[2].checked);
    const QString g = logcolor::Green, red = logcolor::Red;
    EXPECT_EQ(rowColours(r.log), std::vector<QString>({g, g, red, g, g, g, red}));
    const auto warning = r.log.find("Warning: Image 6 could not be read: " + broken + " (");
    ASSERT_TRUE(warning) << r.log.text().toStdString();
    EXPECT_TRUE(warning->text.endsWith(")\n"));
    EXPECT_EQ(warning->color, logcolor::Orange);
    EXPECT_TRUE(r.log.text().contains("with 5/7 image/TCP sets"));
    std::vector<int> used;
    for (const RobotView& v : r.result.views)
        used.push_back(v.row);
    EXPECT_EQ(used, std::vector<int>({0, 1, 3, 4, 5}));
    // Had the pairing slipped by one, X and Y would be far off.
    expectNear(views.rig.X, r.result.RX, r.result.tX, 0.05, 0.5, "X");
    expectNear(views.rig.Y, r.result.RY, r.result.tY, 0.05, 0.5, "Y");
    EXPECT_EQ(r.result.imageSize, cv::Size(640, 480)) << "the first image read";
    EXPECT_TRUE(r.log.text().contains("Warning: blank.png is 640 x 480 px, the intrinsics of Cam3 are for 1280 x 1024 px.\n"));
}

TEST(RobotRun, StopsBeforeSolvingWithTheirMessagesAndLeaveThePreviousFile)
{
    const RigViews& views = handEyeViews();
    QTemporaryDir wd;
    const QString file = wd.path() + "/AX-XB.yml";
    {
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("previous");
    }
    auto attempt = [&](auto&& change, int rows = 5, int poseCount = 5) {
        Outcome r(views, rows);
        RobotRequest req = request(RobotModule::HandEye, wd.path());
        std::vector<TcpPose> poses = tcpPoses(views.rig);
        poses.resize(size_t(poseCount));
        change(r, req, poses);
        r.result = calibrateRobot(r.rows, poses, req, r.recorder.hooks(), r.log);
        EXPECT_FALSE(r.result.calibrated);
        EXPECT_EQ(r.recorder.stores, 0);
        // The closing lines are red.
        const auto& segs = r.log.segments;
        for (size_t k = segs.size() >= 2 ? segs.size() - 2 : 0; k < segs.size(); ++k)
            EXPECT_EQ(segs[k].color, logcolor::Red) << segs[k].text.toStdString();
        return std::make_pair(r.result.status, r.log.text());
    };
    const QString aborting = "Aborting.\n\n";
    auto none = [](Outcome&, RobotRequest&, std::vector<TcpPose>&) {};

    Outcome noCamera(views, 5);
    noCamera.recorder.cameraThere = false;
    run(noCamera, views, request(RobotModule::HandEye, wd.path()));
    EXPECT_EQ(noCamera.log.text(), "Please select a camera in the 'Select Sensor' combo box.\n\n");
    EXPECT_EQ(noCamera.result.status, RobotStatus::NoCamera);

    const QString intrinsics = "Intrinsic parameters for Camera 'Cam3' required. Please calibrate it with the 'Intrinsic "
                               "Calibration' module or load the parameters.\n\n";
    for (auto bad : {std::function<void(RobotRequest&)>([](RobotRequest& q) { q.K.at<double>(0, 0) = 0.0; }),
                     std::function<void(RobotRequest&)>([](RobotRequest& q) { q.distortion.release(); }),
                     std::function<void(RobotRequest&)>([](RobotRequest& q) { q.K.at<double>(1, 2) = std::nan(""); }),
                     std::function<void(RobotRequest&)>([](RobotRequest& q) { q.distortion = cv::Mat::zeros(1, 3, CV_64F); }),
                     std::function<void(RobotRequest&)>([](RobotRequest& q) { q.K = cv::Mat::eye(2, 2, CV_64F); })}) {
        const auto [status, log] = attempt([&](Outcome&, RobotRequest& q, std::vector<TcpPose>&) { bad(q); });
        EXPECT_EQ(status, RobotStatus::NoIntrinsics);
        EXPECT_EQ(log, intrinsics);
    }

    auto allUnchecked = [](Outcome& r, RobotRequest&, std::vector<TcpPose>&) {
        for (RobotImage& i : r.rows)
            i.checked = false;
    };
    EXPECT_EQ(attempt(allUnchecked).second, "Image list is empty or no images were selected.\n" + aborting);
    EXPECT_EQ(attempt(none, 0, 0).first, RobotStatus::NoImages);
    EXPECT_EQ(attempt(none, 5, 0).second, "Tool center point positions are empty.\n" + aborting);
    for (auto [images, poses] : {std::pair{5, 6}, std::pair{6, 5}})
        EXPECT_EQ(attempt(none, images, poses).second,
                  "Number of images differs from the number of tool center point positions.\n" + aborting);
    const auto [tooFew, tooFewLog] = attempt([](Outcome& r, RobotRequest&, std::vector<TcpPose>&) {
        r.rows[0].checked = false;
        r.rows[3].path = "/no/such/file.png"; // a file that is gone counts as unchecked
        r.rows[3].imagePoints.clear();
        r.rows[3].objectPoints.clear();
        r.rows[4].checked = false;
    });
    EXPECT_EQ(tooFew, RobotStatus::TooFewImages);
    EXPECT_EQ(tooFewLog, "At least 3 images have to be selected.\n" + aborting);

    // Three selected, one without a target: two views.
    const auto [twoViews, twoLog] = attempt([](Outcome& r, RobotRequest&, std::vector<TcpPose>&) {
        r.rows[1].checked = false;
        r.rows[3].checked = false;
        r.rows[4].imagePoints.resize(3); // corners that do not pair with their object points
    });
    EXPECT_EQ(twoViews, RobotStatus::TooFewViews);
    EXPECT_TRUE(twoLog.endsWith("Detecting targets: 0 2 4 \n\nHand/Eye-Calibration with 2/3 image/TCP coordinate "
                                "sets...\n\nAt least 3 targets have to be detected.\n" + aborting))
        << twoLog.toStdString();

    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), "previous");
}

TEST(RobotRun, ObjectsGoneAtTheEndAbortAndLibraryErrorsWriteNothing)
{
    const RigViews& views = toolFlangeViews();
    QTemporaryDir wd;
    const QString file = wd.path() + "/AX-YB.yml";

    // The robot object was removed while the run went on: solved and shown, not written.
    Outcome gone(views, 4);
    gone.recorder.robotThere = false;
    run(gone, views, request(RobotModule::ToolFlange, wd.path()));
    EXPECT_EQ(gone.result.status, RobotStatus::NoSensor);
    EXPECT_TRUE(gone.result.calibrated && gone.result.views.size() == 4);
    EXPECT_TRUE(gone.log.text().endsWith(" mm\n\nNo robot present in the sensor list.\nAborting.\n\n"));
    EXPECT_EQ(gone.recorder.stores, 0);
    EXPECT_FALSE(QFileInfo::exists(file));

    // Abort before the third image.
    Outcome aborted(views, 4);
    aborted.recorder.abortAt = 2;
    run(aborted, views, request(RobotModule::ToolFlange, wd.path()));
    EXPECT_EQ(aborted.result.status, RobotStatus::Aborted);
    EXPECT_TRUE(aborted.log.text().endsWith("Detecting targets: 0 1 Calibration aborted \n\n"));
    EXPECT_EQ(aborted.log.find("Calibration aborted")->color, logcolor::Red);
    EXPECT_FALSE(aborted.result.calibrated || QFileInfo::exists(file));

    // Three corners cannot carry a pose: the library refuses, the run ends with its message.
    Outcome refused(views, 4);
    refused.rows[1].imagePoints.resize(3);
    refused.rows[1].objectPoints.resize(3);
    run(refused, views, request(RobotModule::ToolFlange, wd.path()));
    EXPECT_EQ(refused.result.status, RobotStatus::LibraryError);
    const QString log = refused.log.text();
    EXPECT_TRUE(log.contains("sets...\n\nOpenCV exception caught:\nOpenCV(")) << log.toStdString();
    EXPECT_TRUE(log.endsWith("\nAborting.\n\n"));
    EXPECT_EQ(refused.log.find("OpenCV exception caught:\n")->color, logcolor::Red);
    ASSERT_EQ(refused.recorder.exceptions.size(), 1);
    EXPECT_TRUE(log.contains(refused.recorder.exceptions[0]));
    EXPECT_FALSE(QFileInfo::exists(file));

    // Three images at one robot pose: no motion, and Park's method answers with NaN. Nothing is
    // written or handed on.
    const RigViews& eye = handEyeViews();
    Outcome still(eye, 3);
    still.rows[1] = still.rows[2] = still.rows[0];
    std::vector<TcpPose> same(3, tcpPoses(eye.rig)[0]);
    run(still, eye, request(RobotModule::HandEye, wd.path()), same);
    EXPECT_EQ(still.result.status, RobotStatus::InvalidResult) << still.log.text().toStdString();
    EXPECT_FALSE(still.result.calibrated);
    EXPECT_TRUE(still.log.text().endsWith("coordinate sets...\n\nError: The calibration gave an unusable result (X is "
                                          "not a finite transform); nothing was stored or written. Aborting.\n\n"))
        << still.log.text().toStdString();
    EXPECT_EQ(still.recorder.stores, 0);
    EXPECT_FALSE(QFileInfo::exists(wd.path() + "/AX-XB.yml"));
}

TEST(RobotRun, EPnPChecksAndRansacDropOrTrimViews)
{
    const RigViews& views = handEyeViews();

    // Four views, one of them with its corners pulled 25 px back and forth, which no pose can
    // follow: its mean error exceeds 5 x 0.5 px, so three views remain and still calibrate.
    QTemporaryDir wd;
    Outcome epnp(views, 4);
    epnp.rows[3].text = "bad view";
    for (size_t k = 0; k < epnp.rows[3].imagePoints.size(); ++k)
        epnp.rows[3].imagePoints[k] += cv::Point2f(k % 2 ? 25.f : -25.f, k % 3 ? 25.f : -25.f);
    RobotRequest req = request(RobotModule::HandEye, wd.path());
    req.options.solver = PoseSolver::EPnP;
    req.options.maxReprojectionError = 0.5f;
    run(epnp, views, req);
    ASSERT_EQ(epnp.result.status, RobotStatus::Calibrated) << epnp.log.text().toStdString();
    const auto* high = epnp.log.find("EPNP solution for image bad view has high reprojection error: ");
    ASSERT_TRUE(high);
    EXPECT_EQ(high->color, logcolor::Red);
    EXPECT_TRUE(high->text.endsWith(" px\n"));
    // e = (L2 norm of all residuals) / (number of points), as the solver's own pose gives it.
    cv::Mat rvec, tvec;
    const RobotImage& bad = epnp.rows[3];
    cv::solvePnP(bad.objectPoints, bad.imagePoints, req.K, req.distortion, rvec, tvec, false, cv::SOLVEPNP_EPNP);
    std::vector<cv::Point2f> projected;
    cv::projectPoints(bad.objectPoints, rvec, tvec, req.K, req.distortion, projected);
    const double e = cv::norm(projected, bad.imagePoints, cv::NORM_L2) / double(bad.imagePoints.size());
    EXPECT_GT(e, 2.5);
    EXPECT_EQ(high->text.section(": ", 1).section(" ", 0, 0), QString::number(e));
    EXPECT_EQ(dropped(epnp.rows), std::vector<bool>({false, false, false, true}));
    EXPECT_EQ(epnp.result.views.size(), 3u);

    // The bound is five times the threshold: a threshold of e / 4.6 keeps the view.
    Outcome lenient;
    lenient.rows = epnp.rows;
    lenient.rows[3].checked = true;
    RobotRequest lenientReq = req;
    lenientReq.options.maxReprojectionError = float(e / 4.6);
    run(lenient, views, lenientReq);
    EXPECT_EQ(lenient.result.views.size(), 4u) << lenient.log.text().toStdString();
    EXPECT_FALSE(lenient.log.text().contains("high reprojection error"));

    // The same threshold without the EPnP solver keeps the view.
    Outcome iterative;
    iterative.rows = epnp.rows;
    iterative.rows[3].checked = true;
    req.options.solver = PoseSolver::Iterative;
    run(iterative, views, req);
    ASSERT_EQ(iterative.result.views.size(), 4u);
    // The view's labels: the smallest and largest corner error and their RMS.
    const RobotView& shaken = iterative.result.views[3];
    ASSERT_EQ(shaken.errors.size(), shaken.imagePoints.size());
    double lo = DBL_MAX, hi = 0.0, squares = 0.0;
    for (size_t k = 0; k < shaken.imagePoints.size(); ++k) {
        const double d = cv::norm(shaken.projected[k] - shaken.imagePoints[k]);
        lo = std::min(lo, d);
        hi = std::max(hi, d);
        squares += d * d;
    }
    EXPECT_LT(lo, hi - 1.0);
    EXPECT_DOUBLE_EQ(shaken.minError, lo);
    EXPECT_DOUBLE_EQ(shaken.maxError, hi);
    EXPECT_NEAR(shaken.rms, std::sqrt(squares / double(shaken.errors.size())), 1e-9);

    // RANSAC: three corners far off are left out and counted; a view of nonsense has no inliers.
    for (RobotModule module : {RobotModule::HandEye, RobotModule::ToolFlange}) {
        Outcome ransac(views, 4);
        ransac.rows[0].text = "outliers";
        ransac.rows[0].imagePoints[5].x += 40.f;
        ransac.rows[0].imagePoints[17].y -= 25.f;
        ransac.rows[0].imagePoints[40] += cv::Point2f(30.f, 30.f);
        ransac.rows[2].text = "nonsense";
        cv::RNG rng(3);
        for (cv::Point2f& p : ransac.rows[2].imagePoints)
            p = cv::Point2f(rng.uniform(0.f, 1280.f), rng.uniform(0.f, 1024.f));
        RobotRequest rreq = request(module, wd.path());
        rreq.options.useRansac = true;
        rreq.options.ransacIterations = 100;
        rreq.options.confidence = 0.99;
        run(ransac, views, rreq);
        const QString log = ransac.log.text();
        EXPECT_TRUE(log.contains("outliers inliers: 51\n")) << log.toStdString();
        EXPECT_TRUE(log.contains(module == RobotModule::HandEye ? "nonsense inliers: 0\n" : "nonsense inliers: none\n"))
            << log.toStdString();
        EXPECT_EQ(dropped(ransac.rows), std::vector<bool>({false, false, true, false}));
        ASSERT_EQ(ransac.result.views.size(), 3u);
        EXPECT_EQ(ransac.result.views[0].imagePoints.size(), 51u);
        EXPECT_EQ(ransac.result.views[0].objectPoints.size(), 51u);
        EXPECT_LT(ransac.result.views[0].maxError, 0.01) << "the outliers are gone from the view";
    }
}

TEST(RobotRun, EP3PTakesTheFourOuterCornersOfACompleteView)
{
    // In detector order: row-major, 9 per row.
    const RigViews& views = toolFlangeViews();
    std::vector<cv::Point2f> image;
    std::vector<cv::Point3f> object;
    for (int r = 0; r < 6; ++r)
        for (int c = 0; c < 9; ++c) {
            image.emplace_back(float(100 * c), float(100 * r));
            object.emplace_back(30.f * float(c), 30.f * float(r), 0.f);
        }
    std::vector<cv::Point2f> image4;
    std::vector<cv::Point3f> object4;
    ASSERT_TRUE(outerCorners(image, object, kTarget, image4, object4));
    EXPECT_EQ(image4, std::vector<cv::Point2f>({{0, 0}, {800, 0}, {800, 500}, {0, 500}}));
    EXPECT_EQ(object4[2], cv::Point3f(240, 150, 0));
    // Any order of the corners: found by their target positions.
    std::reverse(image.begin(), image.end());
    std::reverse(object.begin(), object.end());
    ASSERT_TRUE(outerCorners(image, object, kTarget, image4, object4));
    EXPECT_EQ(image4, std::vector<cv::Point2f>({{0, 0}, {800, 0}, {800, 500}, {0, 500}}));
    image.pop_back();
    object.pop_back();
    EXPECT_FALSE(outerCorners(image, object, kTarget, image4, object4));

    // In a run an incomplete view is dropped with the reason.
    QTemporaryDir wd;
    Outcome r(views, 5);
    r.rows[4].text = "partial";
    r.rows[4].imagePoints.resize(50);
    r.rows[4].objectPoints.resize(50);
    RobotRequest req = request(RobotModule::ToolFlange, wd.path());
    req.options.solver = PoseSolver::EP3P;
    req.options.useRansac = true; // not used with four corners
    run(r, views, req);
    ASSERT_EQ(r.result.status, RobotStatus::Calibrated);
    EXPECT_TRUE(r.log.text().contains("EP3P needs every corner of the target: partial shows 50 of 54; view dropped.\n"));
    EXPECT_FALSE(r.log.text().contains("inliers"));
    EXPECT_EQ(dropped(r.rows), std::vector<bool>({false, false, false, false, true}));
    EXPECT_EQ(r.result.views[0].imagePoints.size(), 54u) << "errors over every corner of the view";
}

TEST(RobotConsistency, PerViewDeviationsAndTheOverallRms)
{
    // Hand-eye: X and the camera poses are identities, so the target in the base is G itself.
    // Three views: shifted by -d, 0 and +d along x, the outer two also turned by -a and +a about z.
    const double d = 2.0, a = 3.0;
    std::vector<RobotView> views(3);
    for (int i = 0; i < 3; ++i) {
        RobotView& v = views[size_t(i)];
        cv::Rodrigues(cv::Vec3d(0, 0, (i - 1) * a * CV_PI / 180.0), v.tcpR);
        v.tcpT = cv::Vec3d((i - 1) * d, 0, 0);
        v.objectPoints = {{0, 0, 0}};
    }
    const double rms = handEyeConsistency(views, cv::Matx33d::eye(), cv::Vec3d());
    EXPECT_NEAR(rms, d * std::sqrt(2.0 / 3.0), 1e-12);
    EXPECT_NEAR(views[0].rms3d, d, 1e-12);
    EXPECT_NEAR(views[1].rms3d, 0.0, 1e-12);
    EXPECT_NEAR(views[2].translationDeviation, d, 1e-12);
    EXPECT_NEAR(views[0].rotationDeviation, a, 1e-9);
    EXPECT_NEAR(views[1].rotationDeviation, 0.0, 1e-9);
    // A point away from the origin feels the turn: |R p - p| = 2 r sin(a / 2).
    views[0].objectPoints = {{100, 0, 0}, {0, 0, 0}};
    handEyeConsistency(views, cv::Matx33d::eye(), cv::Vec3d());
    const cv::Vec3d moved = views[0].tcpR * cv::Vec3d(100, 0, 0) + views[0].tcpT - cv::Vec3d(100, 0, 0);
    EXPECT_NEAR(views[0].rms3d, std::sqrt((moved.dot(moved) + d * d) / 2.0), 1e-9);

    // Tool-flange: G X against Y C; one TCP off by 1.5 mm along z and turned by 2 degrees.
    const Rigid X = Rigid::fromRvec({0.1, 0.2, 0.3}, {5, 6, 7}), Y = Rigid::fromRvec({-0.4, 0.1, 2}, {900, 50, 600});
    std::vector<RobotView> loop(3);
    for (int i = 0; i < 3; ++i) {
        RobotView& v = loop[size_t(i)];
        const Rigid C = Rigid::fromRvec({0.1 * i, -0.2, 0.05 * i}, {10.0 * i, 20, 500});
        Rigid G = Y * C * X.inverse();
        if (i == 1)
            G = Rigid{G.R, G.t + cv::Vec3d(0, 0, 1.5)} * Rigid::fromRvec({0, 0, 2 * CV_PI / 180}, {});
        v.tcpR = G.R;
        v.tcpT = G.t;
        v.rvec = C.rvec();
        v.tvec = C.t;
        v.objectPoints = {{0, 0, 0}, {300, 0, 0}};
    }
    toolFlangeConsistency(loop, X.R, X.t, Y.R, Y.t);
    EXPECT_NEAR(loop[0].rms3d, 0.0, 1e-9);
    EXPECT_NEAR(loop[0].translationDeviation, 0.0, 1e-9);
    EXPECT_NEAR(loop[1].rotationDeviation, 2.0, 1e-9);
    // The target's origin along both sides of the loop.
    const Rigid viaTcp = Rigid{loop[1].tcpR, loop[1].tcpT} * X;
    const Rigid viaCamera = Y * Rigid::fromRvec(loop[1].rvec, loop[1].tvec);
    EXPECT_NEAR(loop[1].translationDeviation, cv::norm(viaTcp.t - viaCamera.t), 1e-9);
    EXPECT_GT(loop[1].translationDeviation, 1.0);
    EXPECT_FALSE(yFitsBetterTransposed(loop, X.R, X.t, Y.R, Y.t));
    EXPECT_TRUE(yFitsBetterTransposed(loop, X.R, X.t, Y.R.t(), Y.t));

    // The mean of turns about one axis by -a, 0, +a is no turn; of 10 and 30 degrees, 20 degrees
    // the same way round.
    EXPECT_LT(rotationAngle(meanRotation({views[0].tcpR, views[1].tcpR, views[2].tcpR}), cv::Matx33d::eye()), 1e-9);
    auto turnZ = [](double degrees) {
        cv::Matx33d R;
        cv::Rodrigues(cv::Vec3d(0, 0, degrees * CV_PI / 180.0), R);
        return R;
    };
    EXPECT_LT(rotationAngle(meanRotation({turnZ(10.0), turnZ(30.0)}), turnZ(20.0)), 1e-9);
}

TEST(RobotAccuracy, RenderedViewsTrueAndSlightlyWrongIntrinsics)
{
    // 1280 x 1024, 9 x 6 corners, 15 views, noise 1.5 grey values, blur 0.7 px: the target is
    // found by the module itself. Aims with the true intrinsics: 0.02 degrees, 0.1 mm.
    for (const RigViews* views : {&handEyeViews(), &toolFlangeViews()}) {
        QTemporaryDir wd;
        Outcome r;
        r.rows = imageRows(*views, false);
        run(r, *views, request(moduleOf(*views), wd.path()));
        ASSERT_EQ(r.result.status, RobotStatus::Calibrated) << r.log.text().toStdString();
        ASSERT_EQ(r.result.views.size(), 15u);
        const char* name = views->rig.handEye ? "hand-eye" : "tool-flange";
        auto report = [&](const char* what, const RobotResult& res) {
            std::printf("%s %s: X %.4f deg %.4f mm", name, what, angleDeg(res.RX, views->rig.X.R),
                        cv::norm(res.tX - views->rig.X.t));
            if (!views->rig.handEye)
                std::printf(", Y %.4f deg %.4f mm", angleDeg(res.RY, views->rig.Y.R), cv::norm(res.tY - views->rig.Y.t));
            std::printf(", RMS 3D %.4f mm\n", res.rms3d);
        };
        report("true intrinsics", r.result);
        expectNear(views->rig.X, r.result.RX, r.result.tX, 0.02, 0.1, name);
        if (!views->rig.handEye)
            expectNear(views->rig.Y, r.result.RY, r.result.tY, 0.02, 0.1, name);
        EXPECT_LT(r.result.rms3d, 0.1);

        // The same corners with the focal length 0.3 % long and the principal point 2 px off.
        Outcome off;
        for (const RobotView& v : r.result.views) {
            off.rows.emplace_back();
            off.rows.back().path = views->paths[v.row];
            off.rows.back().imagePoints = v.imagePoints;
            off.rows.back().objectPoints = v.objectPoints;
        }
        RobotRequest req = request(moduleOf(*views), wd.path());
        req.K.at<double>(0, 0) *= 1.003;
        req.K.at<double>(1, 1) *= 1.003;
        req.K.at<double>(0, 2) += 2.0;
        req.K.at<double>(1, 2) -= 2.0;
        run(off, *views, req);
        ASSERT_EQ(off.result.status, RobotStatus::Calibrated);
        report("intrinsics 0.3 % off", off.result);
        EXPECT_GT(off.result.rms3d, r.result.rms3d) << "the loop shows the wrong intrinsics";
        expectNear(views->rig.X, off.result.RX, off.result.tX, 0.5, 5.0, name);
    }
}
