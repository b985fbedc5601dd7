#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <memory>

#include "CamProjScene.h"
#include "app/LogSink.h"
#include "projector/GrayCodeSets.h"
#include "projector/ProjectorCorners.h"
#include "targets/DetectionPool.h"
#include "targets/TargetDetection.h"

using namespace camproj;
using namespace camproj_test;
using vantiro::RecordingLogSink;

namespace {

const float kNan = std::numeric_limits<float>::quiet_NaN();

// What a camera sees of the projector through H: each pixel holds the rounded projector pixel.
cv::Mat decodedThrough(const cv::Matx33d& H, cv::Size camera = {200, 150})
{
    cv::Mat decoded(camera, CV_32FC2);
    decoded.forEach<cv::Vec2f>([&H](cv::Vec2f& p, const int* at) {
        const cv::Vec3d q = H * cv::Vec3d(at[1], at[0], 1.0);
        p = cv::Vec2f(float(std::round(q[0] / q[2])), float(std::round(q[1] / q[2])));
    });
    return decoded;
}

cv::Point2d apply(const cv::Matx33d& H, cv::Point2d p)
{
    const cv::Vec3d q = H * cv::Vec3d(p.x, p.y, 1.0);
    return {q[0] / q[2], q[1] / q[2]};
}

const cv::Matx33d kH(0.8, 0.05, 10.0, -0.03, 0.75, 5.0, 2e-4, -1e-4, 1.0);
const cv::Size kBig(1000, 1000);

CornerVerdict verdict(const cv::Mat& decoded, cv::Point2f corner, int radius = 10, const cv::Mat& mask = cv::Mat(),
                      cv::Size projector = kBig, cv::Point2f* out = nullptr)
{
    RecordingLogSink log;
    cv::Point2f p(-1, -1);
    const CornerVerdict v = projectCorner(decoded, mask, corner, radius, projector, p, log);
    if (out)
        *out = p;
    EXPECT_TRUE(log.segments.empty());
    return v;
}

// Changes the decoded pixels of the 10 x 10 window around (50, 50) that 'pick' selects, row by row.
template <class Pick, class Change> void inWindow(cv::Mat& decoded, Pick pick, Change change)
{
    for (int y = 45; y < 55; ++y)
        for (int x = 45; x < 55; ++x)
            if (pick(x, y))
                change(decoded.at<cv::Vec2f>(y, x));
}

} // namespace

TEST(ProjectCorner, LocalHomographyRecoversTheSubpixelPosition)
{
    const cv::Mat decoded = decodedThrough(kH);
    for (const cv::Point2f corner : {cv::Point2f(80.37f, 61.81f), cv::Point2f(150.5f, 30.25f), cv::Point2f(40, 120)}) {
        for (int radius : {10, 20}) {
            cv::Point2f p;
            ASSERT_EQ(verdict(decoded, corner, radius, {}, kBig, &p), CornerVerdict::Accepted);
            // Rounding to whole projector pixels averages out over the window.
            EXPECT_LT(cv::norm(cv::Point2d(p) - apply(kH, corner)), radius == 10 ? 0.08 : 0.04)
                << corner << " radius " << radius;
        }
    }
}

TEST(ProjectCorner, BorderWindowSizeAndEmptyWindows)
{
    const cv::Mat decoded = decodedThrough(kH);
    // Radius 10 and 11 both give h = 5: the corner must lie strictly more than 5 px inside.
    const cv::Point2f outside[] = {{5.0f, 50.0f}, {50.0f, 5.0f}, {195.0f, 50.0f}, {50.0f, 145.0f}};
    const cv::Point2f inside[] = {{5.01f, 50.0f}, {50.0f, 5.01f}, {194.99f, 50.0f}, {50.0f, 144.99f}};
    for (int radius : {10, 11})
        for (int k = 0; k < 4; ++k) {
            EXPECT_EQ(verdict(decoded, outside[k], radius), CornerVerdict::NearBorder) << outside[k] << radius;
            EXPECT_EQ(verdict(decoded, inside[k], radius), CornerVerdict::Accepted) << inside[k] << radius;
        }
    EXPECT_EQ(verdict(decoded, {kNan, 50.0f}), CornerVerdict::NearBorder);

    // Decodable only x = 15..19, y = 15..24: half of an integral corner's 10 x 10 window at
    // (20, 20), but less than half of the 11 x 11 window of a fractional corner there.
    cv::Mat holed(decoded.size(), CV_32FC2, cv::Scalar(kNan, kNan));
    decoded(cv::Rect(15, 15, 5, 10)).copyTo(holed(cv::Rect(15, 15, 5, 10)));
    cv::Point2f p;
    ASSERT_EQ(verdict(holed, {20.0f, 20.0f}, 10, {}, kBig, &p), CornerVerdict::Accepted);
    EXPECT_LT(cv::norm(cv::Point2d(p) - apply(kH, {20.0, 20.0})), 0.5);
    EXPECT_EQ(verdict(holed, {20.4f, 20.4f}), CornerVerdict::Unsupported);
    holed.at<cv::Vec2f>(24, 19) = cv::Vec2f(kNan, kNan);
    EXPECT_EQ(verdict(holed, {20.0f, 20.0f}), CornerVerdict::Unsupported);
    // x = 20.6 starts its window at column trunc(15.6) = 15: 55 of its 110 pixels are decodable
    // (from 16 it would be 45 of 100).
    holed.at<cv::Vec2f>(24, 19) = decoded.at<cv::Vec2f>(24, 19);
    decoded(cv::Rect(20, 15, 1, 5)).copyTo(holed(cv::Rect(20, 15, 1, 5)));
    EXPECT_EQ(verdict(holed, {20.6f, 20.0f}), CornerVerdict::Accepted);
    // Enough pixels, but a third of the window decoded wrongly (noise in an unlit area).
    cv::Mat noisy = decoded.clone();
    cv::RNG rng(1);
    const auto wrong = [&rng](cv::Vec2f& p) { p = cv::Vec2f(float(rng.uniform(0, 250)), float(rng.uniform(0, 190))); };
    inWindow(noisy, [](int x, int y) { return (x + 2 * y) % 3 == 0; }, wrong);
    EXPECT_EQ(verdict(noisy, {50.0f, 50.0f}), CornerVerdict::Accepted);
    inWindow(noisy, [](int x, int y) { return (x + y) % 2 == 0; }, wrong);
    EXPECT_EQ(verdict(noisy, {50.0f, 50.0f}), CornerVerdict::Unsupported);
    // More than half of the window decoded 2 px off, in all directions: no fit is supported.
    cv::Mat scattered = decoded.clone();
    const cv::Vec2f offsets[4] = {{2, 0}, {-2, 0}, {0, 2}, {0, -2}};
    int n = 0;
    inWindow(scattered, [](int x, int y) { return (x + 3 * y) % 9 < 5; }, [&](cv::Vec2f& p) { p += offsets[n++ % 4]; });
    ASSERT_EQ(n, 57);
    EXPECT_EQ(verdict(scattered, {50.0f, 50.0f}), CornerVerdict::Unsupported);
    // Pixels whose row did not decode are left out even when their column did.
    cv::Mat rowless = decoded.clone();
    const auto noRow = [](cv::Vec2f& p) { p[1] = kNan; };
    inWindow(rowless, [](int x, int y) { return (x + y) % 3 == 0; }, noRow);
    ASSERT_EQ(verdict(rowless, {50.3f, 50.6f}, 10, {}, kBig, &p), CornerVerdict::Accepted);
    EXPECT_LT(cv::norm(cv::Point2d(p) - apply(kH, {50.3, 50.6})), 0.1);
    inWindow(rowless, [](int x, int) { return x > 46; }, noRow);
    EXPECT_EQ(verdict(rowless, {50.0f, 50.0f}), CornerVerdict::Unsupported);
    // A window with nothing decodable.
    holed.setTo(cv::Scalar(kNan, kNan));
    EXPECT_EQ(verdict(holed, {20.0f, 20.0f}), CornerVerdict::NoHomography);
    EXPECT_EQ(verdict(cv::Mat(), {20.0f, 20.0f}), CornerVerdict::NoHomography);

    // One decodable pixel: the library refuses the fit; the corner is skipped with a red note.
    holed.at<cv::Vec2f>(20, 20) = decoded.at<cv::Vec2f>(20, 20);
    cv::Point2f p2;
    RecordingLogSink log;
    EXPECT_EQ(projectCorner(holed, {}, {20.0f, 20.0f}, 10, kBig, p2, log), CornerVerdict::LibraryError);
    ASSERT_EQ(log.segments.size(), 2u);
    EXPECT_TRUE(log.segments[0].text.startsWith("OpenCV exception caught: ")) << log.segments[0].text.toStdString();
    EXPECT_TRUE(log.segments[0].text.endsWith("\n"));
    EXPECT_EQ(log.segments[1].text, "Skipping...\n\n");
    EXPECT_EQ(log.segments[0].color, vantiro::logcolor::Red);
    EXPECT_EQ(log.segments[1].color, vantiro::logcolor::Red);
}

TEST(ProjectCorner, ProjectorBoundsAndMask)
{
    // Projector column = camera column + 100, then - 100.
    const cv::Mat right = decodedThrough(cv::Matx33d(1, 0, 100, 0, 1, 0, 0, 0, 1));
    EXPECT_EQ(verdict(right, {60.5f, 40.0f}, 10, {}, {160, 100}), CornerVerdict::OutsideProjector);
    EXPECT_EQ(verdict(right, {59.5f, 40.0f}, 10, {}, {160, 100}), CornerVerdict::Accepted);
    EXPECT_EQ(verdict(right, {59.5f, 100.5f}, 10, {}, {160, 100}), CornerVerdict::OutsideProjector);
    EXPECT_EQ(verdict(right, {59.5f, 99.5f}, 10, {}, {160, 100}), CornerVerdict::Accepted);
    const cv::Mat left = decodedThrough(cv::Matx33d(1, 0, -100, 0, 1, -30, 0, 0, 1));
    EXPECT_EQ(verdict(left, {99.5f, 60.0f}, 10, {}, {160, 100}), CornerVerdict::OutsideProjector);
    EXPECT_EQ(verdict(left, {100.5f, 60.0f}, 10, {}, {160, 100}), CornerVerdict::Accepted);
    EXPECT_EQ(verdict(left, {100.5f, 29.5f}, 10, {}, {160, 100}), CornerVerdict::OutsideProjector);
    // On the projector's edges: column and row 0 are in, column 160 and row 100 are out.
    cv::Point2f onEdge;
    EXPECT_EQ(verdict(left, {100.0f, 30.0f}, 10, {}, {160, 100}, &onEdge), CornerVerdict::Accepted);
    EXPECT_EQ(onEdge.x, 0.0f); // the fit is exact to the last bit in x, not quite in y
    EXPECT_NEAR(onEdge.y, 0.0f, 1e-4);
    EXPECT_EQ(verdict(right, {60.0f, 40.0f}, 10, {}, {160, 100}), CornerVerdict::OutsideProjector);
    EXPECT_EQ(verdict(right, {50.0f, 100.0f}, 10, {}, {160, 100}), CornerVerdict::OutsideProjector);

    // The mask is read at the pixel the corner lies in, whatever the homography says.
    cv::Mat mask(right.size(), CV_8UC1, cv::Scalar(255));
    mask.at<uint8_t>(40, 51) = 0;
    EXPECT_EQ(verdict(right, {50.7f, 40.9f}, 10, mask), CornerVerdict::Accepted);
    mask.at<uint8_t>(40, 50) = 0;
    EXPECT_EQ(verdict(right, {50.7f, 40.9f}, 10, mask), CornerVerdict::OutsideMask);
}

namespace {

// Rendered capture sets, made once for the suite. Set 2 is lit only in part, set 3 shows no
// target, set 4 is outside the beam altogether.
class CornerJob : public testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        s_dir = std::make_unique<QTemporaryDir>();
        const BoardPattern board(boardSettings());
        const cv::Vec3d aim(0, 0, 550);
        s_sets.push_back(renderSet(s_dir->path() + "/a", viewPose(board, 550.0, 15, -10, 3), aim, 11));
        s_sets.push_back(renderSet(s_dir->path() + "/b", viewPose(board, 600.0, -20, 20, -8, {10, -5, 0}), aim, 12));
        s_sets.push_back(renderSet(s_dir->path() + "/c", viewPose(board, 550.0, 5, 10, 0), {215, 0, 550}, 13, 50.0));
        RenderedSet empty;
        empty.files = writeCaptureSet(s_dir->path() + "/d", std::vector<cv::Mat>(s_sets[0].files.size(),
                                                                                   cv::Mat(240, 320, CV_8UC1, cv::Scalar(40))));
        s_sets.push_back(empty);
        s_sets.push_back(renderSet(s_dir->path() + "/e", viewPose(board, 550.0, 0, 0, 0), {900, 0, 550}, 14, 80.0));
    }
    static void TearDownTestSuite()
    {
        s_sets.clear();
        s_dir.reset();
    }

    void SetUp() override
    {
        std::vector<QStringList> files;
        for (const RenderedSet& s : s_sets)
            files.push_back(s.files);
        images.setSets(files);
        images.setProjectorSize(kProjector);
        options.target = boardSettings();
    }

    CornerJobStatus run(const vantiro::AbortCheck& abort = {})
    {
        log.segments.clear();
        return estimateProjectorCorners(images, corners, options, abort, log);
    }

    // The colour of set s's token in the part of the log after 'heading'.
    QString tokenColour(const QString& heading, int s) const
    {
        bool inPhase = false;
        for (const auto& segment : log.segments) {
            if (segment.bold)
                inPhase = segment.text == heading;
            else if (inPhase && segment.text == QString("%1 ").arg(s))
                return segment.color;
        }
        return "none";
    }

    static std::unique_ptr<QTemporaryDir> s_dir;
    static std::vector<RenderedSet> s_sets;
    GrayCodeSets images;
    std::vector<CornerSet> corners;
    CornerJobOptions options;
    RecordingLogSink log;
};

std::unique_ptr<QTemporaryDir> CornerJob::s_dir;
std::vector<RenderedSet> CornerJob::s_sets;

} // namespace

TEST_F(CornerJob, ProjectorCornersAgainstTheRenderedTruth)
{
    ASSERT_EQ(run(), CornerJobStatus::Finished);
    ASSERT_EQ(corners.size(), 5u);
    const QString text = log.text();
    EXPECT_TRUE(text.startsWith("Target settings:\n" + targetSettingsSummary(options.target) +
                                "\nProjector resolution: 256x192 px\n\nDetecting targets: 0 1 2 3 4 \n\n"
                                "Decoding image sets: 0 1 2 3 4 \n\nExtracting projector corners: 0 1 2 3 4 \n\n"))
        << text.toStdString();
    EXPECT_EQ(tokenColour("Detecting targets: ", 3), vantiro::logcolor::Red);
    EXPECT_EQ(tokenColour("Decoding image sets: ", 3), vantiro::logcolor::Grey);
    EXPECT_EQ(tokenColour("Extracting projector corners: ", 1), vantiro::logcolor::Green);

    // Error against the truth per group: the two clean sets, and the partly lit one under room light.
    auto errors = [&](std::initializer_list<int> sets) {
        double sum = 0.0, worst = 0.0;
        int count = 0;
        for (int s : sets) {
            const CornerSet& set = corners[size_t(s)];
            EXPECT_TRUE(set.checked) << s;
            EXPECT_EQ(set.projectorCorners.size(), set.cameraCorners.size()) << s;
            EXPECT_EQ(set.targetPoints.size(), set.cameraCorners.size()) << s;
            for (size_t i = 0; i < set.projectorCorners.size(); ++i) {
                const double e = cv::norm(cv::Point2d(set.projectorCorners[i]) -
                                          trueProjectorCorner(s_sets[size_t(s)], set.cameraCorners[i]));
                EXPECT_TRUE(std::isfinite(e)) << "set " << s << " corner " << i;
                sum += e;
                worst = std::max(worst, e);
                ++count;
            }
        }
        return std::pair(sum / std::max(count, 1), worst);
    };
    EXPECT_EQ(corners[0].cameraCorners.size(), 48u);
    EXPECT_EQ(corners[1].cameraCorners.size(), 48u);
    const auto [cleanMean, cleanWorst] = errors({0, 1});
    EXPECT_LT(cleanMean, 0.1);
    EXPECT_LT(cleanWorst, 0.3);
    // Set 2: the corners beyond the beam are gone from all three lists, the rest still in line.
    EXPECT_GT(corners[2].cameraCorners.size(), 12u);
    EXPECT_LT(corners[2].cameraCorners.size(), 40u);
    const auto [partMean, partWorst] = errors({2});
    EXPECT_LT(partMean, 0.3);
    EXPECT_LT(partWorst, 0.6);
    // No target, and no light on the target: both unchecked, the first greyed.
    EXPECT_FALSE(corners[3].checked);
    EXPECT_TRUE(corners[3].grey);
    EXPECT_FALSE(corners[4].checked);
    EXPECT_EQ(corners[4].projectorCorners.size(), 0u);
    EXPECT_FALSE(corners[0].grey || corners[1].grey || corners[2].grey);
}

TEST_F(CornerJob, SecondRunReusesCornersAndDecodingButNotProjectorCorners)
{
    ASSERT_EQ(run(), CornerJobStatus::Finished);
    // Left without a corner: unchecked, but not greyed until a run passes it over.
    EXPECT_FALSE(corners[4].checked || corners[4].grey);
    // Three corners are not enough for a set (this one's are all kept, even near the light's edge).
    options.beamEdgeMargin = 0.0;
    corners[2].cameraCorners.resize(3);
    corners[2].targetPoints.resize(3);
    const std::vector<cv::Point2f> camera = corners[2].cameraCorners;
    // A set the user unchecks keeps its data but is left alone.
    corners[1].checked = false;
    // A corner the run must reject: its window leaves the image.
    corners[0].cameraCorners.push_back({2.0f, 2.0f});
    corners[0].targetPoints.push_back({999.0f, 999.0f, 0.0f});
    const cv::Point3f keptTarget = corners[0].targetPoints[5];
    ASSERT_EQ(run(), CornerJobStatus::Finished);
    for (const QString phase : {"Detecting targets: ", "Decoding image sets: "})
        EXPECT_EQ(tokenColour(phase, 0), vantiro::logcolor::Green) << phase.toStdString();
    EXPECT_EQ(tokenColour("Detecting targets: ", 1), vantiro::logcolor::Grey);
    EXPECT_EQ(tokenColour("Extracting projector corners: ", 1), vantiro::logcolor::Grey);
    EXPECT_TRUE(corners[1].grey);
    EXPECT_TRUE(corners[4].grey);
    // Set 2 was not detected again; its three corners reach the projector, too few to keep it.
    EXPECT_EQ(corners[2].cameraCorners, camera);
    EXPECT_EQ(corners[2].projectorCorners.size(), 3u);
    EXPECT_FALSE(corners[2].checked);
    // The planted corner went from all lists, the others stayed in order.
    ASSERT_EQ(corners[0].cameraCorners.size(), 48u);
    EXPECT_EQ(corners[0].targetPoints.size(), 48u);
    EXPECT_EQ(corners[0].projectorCorners.size(), 48u);
    EXPECT_EQ(corners[0].targetPoints[5], keptTarget);
    EXPECT_NE(corners[0].targetPoints.back(), cv::Point3f(999.0f, 999.0f, 0.0f));
}

TEST_F(CornerJob, AbortBetweenSetsKeepsWhatWasFound)
{
    // The abort check is asked between sets and, while white frames are searched, in between:
    // each abort below is tied to what the job has done, not to a number of calls.
    EXPECT_EQ(run([this] { return corners.size() > 1 && corners[1].detected(); }), CornerJobStatus::Aborted);
    EXPECT_EQ(log.segments.back().text, "Calibration aborted \n\n");
    EXPECT_EQ(log.segments.back().color, vantiro::logcolor::Red);
    EXPECT_EQ(corners[0].cameraCorners.size(), 48u);
    EXPECT_EQ(corners[1].cameraCorners.size(), 48u);
    EXPECT_TRUE(corners[2].cameraCorners.empty());
    EXPECT_EQ(log.text().count("Calibration aborted"), 1);
    EXPECT_FALSE(log.text().contains("Decoding"));
    // Aborted as the decoding begins: the set without a target is already unchecked and greyed.
    corners[4].checked = false;
    EXPECT_EQ(run([this] { return log.text().contains("Decoding image sets: "); }), CornerJobStatus::Aborted);
    EXPECT_TRUE(!corners[3].checked && corners[3].grey);
    EXPECT_TRUE(corners[4].grey) << "unchecked by the user";
    EXPECT_TRUE(log.text().endsWith("Decoding image sets: Calibration aborted \n\n"));
    corners[4].checked = true;
    // Aborted in the corner phase after set 0: every set is decoded, and the next run goes on from there.
    EXPECT_EQ(run([this] { return !corners[0].projectorCorners.empty(); }), CornerJobStatus::Aborted);
    EXPECT_FALSE(images.decodedPatterns()[4].empty());
    EXPECT_EQ(corners[0].projectorCorners.size(), 48u);
    EXPECT_TRUE(corners[1].projectorCorners.empty());
}

TEST_F(CornerJob, WhiteFramesSearchedInParallelGiveTheCornersOfTheOneByOneSearch)
{
    // More workers than sets to search, so that results arrive out of order.
    vantiro::setDetectionWorkerCount(4);
    EXPECT_EQ(run([this] { return log.text().contains("Decoding image sets: "); }), CornerJobStatus::Aborted);
    vantiro::setDetectionWorkerCount(0);
    for (int s = 0; s < int(s_sets.size()); ++s) {
        TargetCornerList expected;
        const bool found = detectTarget(images.loadSetImage(s, 0, false), options.target, expected) && !expected.empty();
        const CornerSet& set = corners[size_t(s)];
        EXPECT_EQ(tokenColour("Detecting targets: ", s), found ? vantiro::logcolor::Green : vantiro::logcolor::Red) << s;
        EXPECT_EQ(set.checked, found) << s;
        ASSERT_EQ(set.cameraCorners.size(), expected.size()) << s;
        for (size_t i = 0; i < expected.size(); ++i) {
            EXPECT_EQ(set.cameraCorners[i], expected[i].imagePoint) << s << " " << i;
            EXPECT_EQ(set.targetPoints[i], expected[i].objectPoint) << s << " " << i;
        }
    }
    EXPECT_TRUE(corners[0].detected() && !corners[3].detected());
}

TEST_F(CornerJob, SizeMismatchStopsTheJob)
{
    // Set 1 at half the size.
    QTemporaryDir dir;
    QStringList small;
    for (const QString& file : s_sets[1].files) {
        cv::Mat image = cv::imread(file.toStdString(), cv::IMREAD_GRAYSCALE);
        cv::resize(image, image, {160, 120});
        small << dir.path() + "/" + QString::number(small.size()) + ".png";
        cv::imwrite(small.back().toStdString(), image);
    }
    images.setSets({s_sets[0].files, small, s_sets[2].files});
    // Lists left from a load of more sets are replaced by one per set.
    corners.assign(7, CornerSet());
    EXPECT_EQ(run(), CornerJobStatus::SizeMismatch);
    EXPECT_EQ(corners.size(), 3u);
    const auto* error = log.find("Error:");
    ASSERT_TRUE(error);
    EXPECT_EQ(error->text, "Error: Image 1 has different size 160x120 as the previous ones 320x240, aborting.\n\n");
    EXPECT_EQ(error->color, vantiro::logcolor::Red);
    EXPECT_FALSE(log.text().contains("Decoding"));
    EXPECT_FALSE(log.text().contains("Calibration aborted")) << "stopped by the error, not by the user";

    // Corners already known skip detection; the decoding then meets the other size.
    corners.assign(3, CornerSet());
    corners[1].cameraCorners = {{10, 10}};
    corners[1].targetPoints = {{0, 0, 0}};
    EXPECT_EQ(run(), CornerJobStatus::SizeMismatch);
    EXPECT_EQ(log.segments.back().text, "Error: Image 1 has different size as the previous ones, aborting.\n\n");
    EXPECT_TRUE(images.decodedPatterns()[1].empty());

    // An empty list of sets.
    images.setSets({});
    EXPECT_EQ(run(), CornerJobStatus::NoSets);
    EXPECT_EQ(log.text(), "Image list is empty, aborting.\n\n");
}

TEST_F(CornerJob, UnreadableImagesUncheckTheSet)
{
    // Set 0 without its white frame, set 1 without one of its patterns.
    QStringList files = s_sets[0].files;
    files[0] = "/nonexistent/white.png";
    QStringList pattern = s_sets[1].files;
    pattern[7] = "/nonexistent/7.png";
    images.setSets({files, pattern, s_sets[2].files});
    testing::internal::CaptureStdout();
    ASSERT_EQ(run(), CornerJobStatus::Finished);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Decoding error: Couldn't load /nonexistent/7.png\n");
    EXPECT_EQ(tokenColour("Detecting targets: ", 0), vantiro::logcolor::Grey);
    EXPECT_EQ(tokenColour("Decoding image sets: ", 0), vantiro::logcolor::Grey);
    EXPECT_FALSE(corners[0].checked);
    EXPECT_EQ(tokenColour("Detecting targets: ", 1), vantiro::logcolor::Green);
    EXPECT_EQ(tokenColour("Decoding image sets: ", 1), vantiro::logcolor::Red);
    EXPECT_EQ(tokenColour("Extracting projector corners: ", 1), vantiro::logcolor::Grey);
    EXPECT_FALSE(corners[1].checked);
    EXPECT_TRUE(corners[1].projectorCorners.empty());
    EXPECT_EQ(corners[1].cameraCorners.size(), 48u) << "kept for a later run";
    EXPECT_TRUE(corners[2].checked);
}
