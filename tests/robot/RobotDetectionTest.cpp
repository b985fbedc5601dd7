// The robot runs detecting on several workers: the same log, views and result as on one (whose
// order is the one-by-one loop's).

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <cstring>

#include "RobotTestData.h"
#include "targets/DetectionPool.h"

using namespace robot_test;

namespace {

// Nine hand-eye views detected in their images, with a blank image at row 2, a file that is no
// image at row 4, an unchecked row 5 and row 7 bringing its corners.
std::vector<RobotImage> mixedRows(const RigViews& views, const QTemporaryDir& dir)
{
    std::vector<RobotImage> rows = imageRows(views, false, 9);
    rows[2].path = dir.path() + "/blank.png";
    cv::imwrite(QFile::encodeName(rows[2].path).toStdString(), cv::Mat(1024, 1280, CV_8UC1, cv::Scalar(128)));
    rows[4].path = dir.path() + "/broken.png";
    QFile broken(rows[4].path);
    EXPECT_TRUE(broken.open(QIODevice::WriteOnly));
    broken.write("no image");
    rows[5].checked = false;
    rows[7].imagePoints = views.image[7];
    rows[7].objectPoints = views.object[7];
    return rows;
}

bool sameBits(const std::vector<cv::Point2f>& a, const std::vector<cv::Point2f>& b)
{
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(cv::Point2f)) == 0);
}

} // namespace

TEST(RobotDetection, ManyWorkersLogAndSolveExactlyAsOne)
{
    const RigViews& views = handEyeViews();
    std::vector<TcpPose> poses = tcpPoses(views.rig);
    poses.resize(9);
    QTemporaryDir dir, wd;
    std::vector<RobotImage> rows[2] = {mixedRows(views, dir), mixedRows(views, dir)};
    RecordingLogSink logs[2];
    RobotResult results[2];
    for (int k = 0; k < 2; ++k) {
        setDetectionWorkerCount(k == 0 ? 1 : 4);
        Recorder recorder;
        RobotHooks hooks = recorder.hooks();
        int last = -1;
        hooks.progress = [&last](int done, int total) {
            EXPECT_TRUE(done > last && total == 8) << done << "/" << total;
            last = done;
        };
        results[k] = calibrateRobot(rows[k], poses, request(RobotModule::HandEye, wd.path()), hooks, logs[k]);
        ASSERT_EQ(results[k].status, RobotStatus::Calibrated) << logs[k].text().toStdString();
        EXPECT_EQ(last, 8);
    }
    setDetectionWorkerCount(0);

    // What the list held shows in the log: rows in order, each in its colour, the unreadable file
    // named after the row line.
    const QString text = logs[1].text();
    EXPECT_TRUE(text.contains("Detecting targets: 0 1 2 3 4 6 7 8 \n\nWarning: Image 4 could not be read: " + rows[1][4].path +
                              " (not a PNG, JPEG, TIFF or BMP image)\n\nHand/Eye-Calibration with 6/8 image/TCP"))
        << text.toStdString();
    const QString g = logcolor::Green, red = logcolor::Red;
    EXPECT_EQ(rowColours(logs[1]), std::vector<QString>({g, g, red, g, red, g, g, g}));

    // Segment by segment, colour and weight included.
    ASSERT_EQ(logs[0].segments.size(), logs[1].segments.size());
    for (size_t i = 0; i < logs[0].segments.size(); ++i) {
        const auto &a = logs[0].segments[i], &b = logs[1].segments[i];
        EXPECT_TRUE(a.text == b.text && a.color == b.color && a.bold == b.bold) << i << ": " << a.text.toStdString();
    }
    ASSERT_EQ(results[0].views.size(), 6u);
    ASSERT_EQ(results[1].views.size(), 6u);
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(results[0].views[i].row, results[1].views[i].row);
        EXPECT_TRUE(sameBits(results[0].views[i].imagePoints, results[1].views[i].imagePoints)) << i;
    }
    EXPECT_EQ(results[0].views[4].row, 7);
    EXPECT_EQ(cv::norm(results[0].RX, results[1].RX, cv::NORM_INF), 0.0);
    EXPECT_EQ(cv::norm(results[0].tX, results[1].tX, cv::NORM_INF), 0.0);
    for (size_t i = 0; i < 9; ++i)
        EXPECT_EQ(rows[0][i].dropped, rows[1][i].dropped) << i;
    EXPECT_TRUE(rows[1][2].dropped && rows[1][4].dropped && rows[1][5].dropped && !rows[1][7].dropped);
    EXPECT_LT(rotationAngle(results[1].RX, views.rig.X.R), 0.05);
}
