// Corner files beside images, and undistorted copies of the images.

#include <gtest/gtest.h>

#include "IntrinsicTestData.h"
#include "intrinsic/IntrinsicFiles.h"
#include "intrinsic/Undistortion.h"

using namespace intrinsic_test;

TEST(CornerFile, PathAndWhatIsRefusedWithAReason)
{
    EXPECT_EQ(cornerFilePath("/data/set.1/cam.left_007.png"), "/data/set.1/cam.left_007.yml");
    // Good files are read in the calibration tests; here is what is refused, never half-read.
    QTemporaryDir dir;
    const auto points = [](int n, int dim) { return cv::Mat(n, 1, CV_32FC(dim), cv::Scalar::all(1)); };

    const struct { const char* name; cv::Mat corners, obj; QString error; } cases[] = {
        {"int", cv::Mat(6, 2, CV_32S, cv::Scalar(1)), points(6, 3), "\"corners\" is not a list of 2-D points"},
        {"threechannel", points(6, 3), points(6, 3), "\"corners\" is not a list of 2-D points"},
        {"objflat", points(6, 2), points(6, 2), "\"obj\" is not a list of 3-D points"},
        {"count", points(6, 2), points(7, 3), "\"corners\" has 6 points but \"obj\" has 7"},
        {"few", points(3, 2), points(3, 3), "3 corners; at least 4 are needed"}};
    for (const auto& c : cases) {
        writeCornerFile(dir.path() + "/" + c.name + ".yml", c.corners, c.obj);
        const CornerFile f = readCornerFile(dir.path() + "/" + c.name + ".yml");
        EXPECT_TRUE(f.status == CornerFileStatus::Invalid && f.error == c.error && f.imagePoints.empty() &&
                    f.objectPoints.empty())
            << c.name << ": " << f.error.toStdString();
    }
    const CornerFile broken = readCornerFile(writeText(dir.path() + "/bad.yml", "%YAML:1.0\n---\ncorners: [ 1, 2\n"));
    EXPECT_TRUE(broken.status == CornerFileStatus::Invalid && !broken.error.isEmpty());
}

// Values that would make the calibration yield NaN, or ask for absurd memory, never become corners.
TEST(CornerFile, DegenerateOverflowingAndHugeListsAreRefused)
{
    QTemporaryDir dir;
    cv::Mat grid(54, 1, CV_32FC2), obj(54, 1, CV_32FC3);
    for (int i = 0; i < 54; ++i) {
        grid.at<cv::Vec2f>(i) = cv::Vec2f(100.0f + 20.0f * float(i % 9), 50.0f + 20.0f * float(i / 9));
        obj.at<cv::Vec3f>(i) = cv::Vec3f(25.0f * float(i % 9), 25.0f * float(i / 9), 0.0f);
    }
    auto variant = [&](const std::function<void(cv::Mat& corners, cv::Mat& object)>& change) {
        cv::Mat c = grid.clone(), o = obj.clone();
        change(c, o);
        static int n = 0;
        const QString path = dir.path() + QString("/v%1.yml").arg(n++);
        writeCornerFile(path, c, o);
        return readCornerFile(path);
    };
    const CornerFile good = variant([](cv::Mat&, cv::Mat&) {});
    ASSERT_EQ(good.status, CornerFileStatus::Loaded) << good.error.toStdString();

    const struct { const char* name; CornerFile file; QString error; } cases[] = {
        {"one line", variant([](cv::Mat& c, cv::Mat&) { for (int i = 0; i < 54; ++i) c.at<cv::Vec2f>(i)[1] = 7.0f; }),
         "the image points lie on one line or one point"},
        {"board on a line", variant([](cv::Mat&, cv::Mat& o) { for (int i = 0; i < 54; ++i) o.at<cv::Vec3f>(i)[1] = 0.0f; }),
         "the target points lie on one line or one point"},
        {"outside", variant([](cv::Mat& c, cv::Mat&) { c.at<cv::Vec2f>(5)[0] = -100001.0f; }),
         "image point (-100001, 50) is not a finite coordinate within 100000 px"},
        {"far target", variant([](cv::Mat&, cv::Mat& o) { o.at<cv::Vec3f>(3)[2] = 2e9f; }),
         "target point (75, 0, 2e+09) is not a finite coordinate within 1e+09 mm"},
        {"double to float", [&] {
             cv::Mat c;
             grid.convertTo(c, CV_64FC2);
             c.at<cv::Vec2d>(0) = cv::Vec2d(1e300, 1e300);
             writeCornerFile(dir.path() + "/double.yml", c, obj);
             return readCornerFile(dir.path() + "/double.yml");
         }(),
         "image point (inf, inf) is not a finite coordinate within 100000 px"},
        {"too many", [&] {
             cv::Mat c(20001, 1, CV_32FC2), o(20001, 1, CV_32FC3);
             cv::randu(c, 0.0f, 600.0f);
             cv::randu(o, 0.0f, 600.0f);
             writeCornerFile(dir.path() + "/many.yml", c, o);
             return readCornerFile(dir.path() + "/many.yml");
         }(),
         "20001 corners; at most 20000 are read"},
    };
    for (const auto& c : cases)
        EXPECT_TRUE(c.file.status == CornerFileStatus::Invalid && c.file.error == c.error && c.file.imagePoints.empty())
            << c.name << ": " << c.file.error.toStdString();

    // The files that once gave NaN over a good result, or absurd corners.
    const QString data = VANTIRO_TEST_DATA_DIR "/regressions/";
    const std::pair<const char*, QString> regressions[] = {
        {"corners-identical.yml", "the image points lie on one line or one point"},
        {"corners-float-overflow.yml", "\"corners\" is not a list of 2-D points"},
        {"corners-far-outside.yml", "image point (4.09935e+07, 3.35666e+07) is not a finite coordinate within 100000 px"},
    };
    for (const auto& [name, error] : regressions) {
        const CornerFile f = readCornerFile(data + name);
        EXPECT_TRUE(f.status == CornerFileStatus::Invalid && f.error == error) << name << ": " << f.error.toStdString();
    }
}

TEST(Undistortion, WritesEveryImageIntoTheFirstImagesFolder)
{
    // Two images beside each other, one from another folder, and a file that is no image.
    QTemporaryDir first, second;
    const QStringList paths{first.path() + "/v0.png", writeText(first.path() + "/junk.png", "no pixels here"),
                            first.path() + "/v1.png", second.path() + "/other.png"};
    for (int i : {0, 2, 3})
        QFile::copy(views()[size_t(i)].path, paths[i]);
    const cv::Mat K(kCamera.K), dist = kCamera.distCoeffs().colRange(0, 5).clone();
    const QString out = first.path() + "/Undistorted";
    QString asked;
    RecordingLogSink log, log2;
    EXPECT_EQ(writeUndistortedImages(paths, K, dist, "Cam7", [](const QString&) { return false; }, log), 0);
    EXPECT_TRUE(log.segments.empty()) << "answering No writes and logs nothing";
    EXPECT_EQ(writeUndistortedImages(paths, K, cv::Mat(), "Cam7", nullptr, log), 0);
    EXPECT_EQ(tagged(log), "<orange>Warning: Calibration parameters for undistortion not available. Aborting.\n\n</>");
    EXPECT_FALSE(QDir(out).exists());

    const auto yes = [&asked](const QString& folder) { return !(asked = folder).isEmpty(); };
    EXPECT_EQ(writeUndistortedImages(paths, K, dist, "Cam7", yes, log2), 3);
    EXPECT_EQ(asked, out + "/");
    EXPECT_EQ(QDir(out).entryList(QDir::Files), QStringList({"other.png", "v0.png", "v1.png"}));
    EXPECT_EQ(tagged(log2), "Undistorting Cam7 images...\n<orange>Warning: Could not read " + paths[1] +
                                ", it was skipped.\n</>Undistorted images written to:\n" + out + "/\n\n");
    EXPECT_TRUE(log2.segments[0].bold);
    // The written picture is the undistorted input, not a copy.
    const cv::Mat in = cv::imread(QFile::encodeName(paths[0]).toStdString());
    const cv::Mat written = cv::imread(QFile::encodeName(out + "/v0.png").toStdString());
    EXPECT_EQ(cv::norm(written, undistortImage(in, K, dist), cv::NORM_INF), 0.0);
    EXPECT_GT(cv::norm(written, in, cv::NORM_L1) / double(in.total()), 1.0);

    // Corners seen through the lens land where a distortion-free camera would see them.
    const View& v = views()[5];
    std::vector<cv::Point2f> seen, pinhole;
    for (const auto& c : v.corners) {
        const cv::Vec3d p = kCamera.K * (v.pose.R * cv::Vec3d(c.board.x, c.board.y, 0) + v.pose.t);
        seen.emplace_back(c.image), pinhole.emplace_back(p[0] / p[2], p[1] / p[2]);
    }
    EXPECT_GT(cv::norm(cv::Mat(seen), cv::Mat(pinhole), cv::NORM_INF), 2.0);
    EXPECT_LT(cv::norm(cv::Mat(undistortImagePoints(seen, K, dist)), cv::Mat(pinhole), cv::NORM_INF), 0.01);
}
