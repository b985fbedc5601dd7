// Undistorted copies of the images and undistorted overlay points.

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>

#include "IntrinsicTestData.h"
#include "intrinsic/Undistortion.h"

using namespace vantiro;
using namespace vantiro::intrinsic;
using namespace intrinsic_test;

namespace {

cv::Mat read(const QString& path)
{
    return cv::imread(QFile::encodeName(path).toStdString(), cv::IMREAD_COLOR);
}

// Two images beside each other and one from another folder.
struct Folders
{
    QTemporaryDir first;
    QTemporaryDir second;
    QStringList paths;

    Folders()
    {
        for (int i = 0; i < 2; ++i) {
            paths << first.path() + QStringLiteral("/v%1.png").arg(i);
            QFile::copy(views()[size_t(i)].path, paths.back());
        }
        paths << second.path() + "/other.png";
        QFile::copy(views()[2].path, paths.back());
    }
};

const auto yes = [](const QString&) { return true; };

} // namespace

TEST(Undistortion, WritesEveryImageIntoTheFirstImagesFolder)
{
    Folders f;
    const auto cam = truthCamera();
    const cv::Mat K(cam.K), dist = cam.distCoeffs().colRange(0, 5).clone();
    QString asked;
    RecordingLogSink log;
    const auto confirm = [&asked](const QString& folder) {
        asked = folder;
        return true;
    };
    EXPECT_EQ(writeUndistortedImages(f.paths, K, dist, "Cam7", confirm, log), 3);
    const QString out = f.first.path() + "/Undistorted";
    EXPECT_EQ(asked, out + "/");
    EXPECT_EQ(QDir(out).entryList(QDir::Files), QStringList({"other.png", "v0.png", "v1.png"}));
    EXPECT_EQ(log.text(), "Undistorting Cam7 images...\nUndistorted images written to:\n" + out + "/\n\n");
    EXPECT_TRUE(log.segments[0].bold);
    // The written picture is the undistorted input, not a copy.
    const cv::Mat in = read(f.paths[0]);
    const cv::Mat written = read(out + "/v0.png");
    EXPECT_EQ(cv::norm(written, undistortImage(in, K, dist), cv::NORM_INF), 0.0);
    EXPECT_GT(cv::norm(written, in, cv::NORM_L1) / double(in.total()), 1.0);

    // Corners seen through the lens land where a distortion-free camera would see them.
    const View& v = views()[5];
    std::vector<cv::Point2f> seen;
    std::vector<cv::Point3f> board;
    for (const auto& c : v.corners) {
        seen.emplace_back(float(c.image.x), float(c.image.y));
        board.emplace_back(float(c.board.x), float(c.board.y), 0.f);
    }
    std::vector<cv::Point2f> pinhole;
    cv::projectPoints(board, cv::Vec3d(v.pose.rvec()), v.pose.t, K, cv::noArray(), pinhole);
    const std::vector<cv::Point2f> straight = undistortImagePoints(seen, K, dist);
    double before = 0, after = 0;
    for (size_t i = 0; i < seen.size(); ++i) {
        before = std::max(before, double(cv::norm(seen[i] - pinhole[i])));
        after = std::max(after, double(cv::norm(straight[i] - pinhole[i])));
    }
    EXPECT_GT(before, 2.0);
    EXPECT_LT(after, 0.01);
}

TEST(Undistortion, RefusalsAndBadFilesWriteNothingOrSkip)
{
    Folders f;
    const cv::Mat K = (cv::Mat_<double>(3, 3) << 500, 0, 320, 0, 500, 240, 0, 0, 1);
    const cv::Mat dist = (cv::Mat_<double>(1, 5) << -0.1, 0, 0, 0, 0);
    RecordingLogSink log;
    EXPECT_EQ(writeUndistortedImages(f.paths, K, dist, "Cam0", [](const QString&) { return false; }, log), 0);
    EXPECT_TRUE(log.segments.empty()) << "answering No writes and logs nothing";
    EXPECT_FALSE(QDir(f.first.path() + "/Undistorted").exists());

    EXPECT_EQ(writeUndistortedImages(f.paths, K, cv::Mat(), "Cam0", yes, log), 0);
    ASSERT_EQ(log.segments.size(), 1u);
    EXPECT_EQ(log.segments[0].text, "Warning: Calibration parameters for undistortion not available. Aborting.\n\n");
    EXPECT_EQ(log.segments[0].color, logcolor::Orange);

    // A file that is no image is skipped; the others are written.
    const QString junk = f.first.path() + "/junk.png";
    QFile j(junk);
    ASSERT_TRUE(j.open(QIODevice::WriteOnly));
    j.write("no pixels here");
    j.close();
    RecordingLogSink log2;
    EXPECT_EQ(writeUndistortedImages(QStringList{f.paths[0], junk, f.paths[1]}, K, dist, "Cam0", yes, log2), 2);
    EXPECT_EQ(textInColour(log2, logcolor::Orange), "Warning: Could not read " + junk + ", it was skipped.\n");
}
