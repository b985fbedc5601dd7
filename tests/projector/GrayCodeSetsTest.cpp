#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <limits>

#include "app/LogSink.h"
#include "projector/GrayCodePatternGenerator.h"
#include "projector/GrayCodeSets.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

const cv::Vec3b kFill(230, 153, 76); // kFillColour as stored in 8 bits

QStringList writeSet(const QString& folder, const std::vector<cv::Mat>& images)
{
    QDir().mkpath(folder);
    QStringList paths;
    for (size_t i = 0; i < images.size(); ++i) {
        paths << folder + QString("/%1.png").arg(i);
        EXPECT_TRUE(cv::imwrite(paths.back().toStdString(), images[i]));
    }
    return paths;
}

std::vector<cv::Mat> patternImages(const cv::Size& projector)
{
    GrayCodePatternGenerator generator(projector.height, projector.width);
    std::vector<cv::Mat> images;
    for (int i = 0; i < generator.imageCount(); ++i)
        images.push_back(generator.nextImage());
    return images;
}

// Camera -> projector for the warp tests.
cv::Point2d cameraToProjector(const cv::Matx33d& h, double c, double r)
{
    const cv::Vec3d p = h * cv::Vec3d(c, r, 1.0);
    return { p[0] / p[2], p[1] / p[2] };
}

} // namespace

TEST(ProjectionMask, RatioThresholdsAndCleanUp)
{
    // Lit rectangle (200 over a black frame of 50), ambient 60 elsewhere, one lit pixel,
    // and a spot darker in the white frame than in the black one.
    cv::Mat white(120, 160, CV_8UC1, cv::Scalar(60));
    white(cv::Rect(40, 30, 80, 60)).setTo(200);
    white.at<uint8_t>(100, 10) = 255;
    white(cv::Rect(140, 5, 10, 10)).setTo(30);
    const cv::Mat black(120, 160, CV_8UC1, cv::Scalar(50));

    // Threshold 0.6: r must exceed about 0.2; (200 - 50) / 200 does, (60 - 50) / 60 does not.
    const cv::Mat mask = camproj::projectionMask(white, black, 0.6);
    ASSERT_EQ(mask.type(), CV_8UC1);
    ASSERT_EQ(mask.size(), white.size());
    EXPECT_EQ(cv::countNonZero(mask(cv::Rect(42, 32, 76, 56)) != 255), 0);
    cv::Mat outside = mask.clone();
    outside(cv::Rect(37, 27, 86, 66)).setTo(0);
    EXPECT_EQ(cv::countNonZero(outside), 0) << "the speck and the ambient area stay outside";
    EXPECT_EQ(cv::countNonZero((mask != 0) & (mask != 255)), 0);

    // Threshold 0 keeps everything, even where the white frame is darker.
    const cv::Mat all = camproj::projectionMask(white, black, 0.0);
    EXPECT_EQ(cv::countNonZero(all), all.rows * all.cols);
    // 0.5 drops exactly the pixels with W < B (s < 0.5) and their blurred border.
    const cv::Mat half = camproj::projectionMask(white, black, 0.5);
    EXPECT_EQ(half.at<uint8_t>(10, 145), 0);
    EXPECT_EQ(half.at<uint8_t>(60, 10), 255);

    // Colour frames are taken as grey; frames of different sizes give no mask.
    cv::Mat colourWhite;
    cv::cvtColor(white, colourWhite, cv::COLOR_GRAY2BGR);
    EXPECT_EQ(cv::norm(camproj::projectionMask(colourWhite, black, 0.6), mask, cv::NORM_INF), 0.0);
    EXPECT_TRUE(camproj::projectionMask(white, black(cv::Rect(0, 0, 10, 10)), 0.6).empty());
    EXPECT_TRUE(camproj::projectionMask(cv::Mat(), black, 0.6).empty());
}

TEST(ProjectionMask, OverlayTintsInsideAndOutside)
{
    cv::Mat white(40, 40, CV_8UC1, cv::Scalar(60));
    white(cv::Rect(0, 0, 20, 40)).setTo(200);
    const cv::Mat black(40, 40, CV_8UC1, cv::Scalar(50));
    const cv::Mat overlay = camproj::maskOverlay(white, black, 0.6);
    ASSERT_EQ(overlay.type(), CV_8UC3);
    // 0.4 x (255, 255, 0) + 0.6 x 200 inside, 0.4 x (0, 0, 255) + 0.6 x 60 outside.
    EXPECT_EQ(overlay.at<cv::Vec3b>(20, 5), cv::Vec3b(222, 222, 120));
    EXPECT_EQ(overlay.at<cv::Vec3b>(20, 35), cv::Vec3b(36, 36, 138));
    EXPECT_TRUE(camproj::maskOverlay(cv::Mat(), black, 0.6).empty());
}

TEST(DecodedColourImages, ColourMapOverValidRangeAndFillElsewhere)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    cv::Mat pattern(2, 3, CV_32FC2);
    pattern.at<cv::Vec2f>(0, 0) = cv::Vec2f(10, 100);
    pattern.at<cv::Vec2f>(0, 1) = cv::Vec2f(20, 50);
    pattern.at<cv::Vec2f>(0, 2) = cv::Vec2f(30, 0);
    pattern.at<cv::Vec2f>(1, 0) = cv::Vec2f(nan, 60); // either NaN loses both
    pattern.at<cv::Vec2f>(1, 1) = cv::Vec2f(5, nan);
    pattern.at<cv::Vec2f>(1, 2) = cv::Vec2f(15, 75);
    cv::Mat x;
    cv::Mat y;
    camproj::decodedColourImages(pattern, cv::Size(64, 128), x, y);
    ASSERT_EQ(x.type(), CV_8UC3);
    ASSERT_EQ(y.size(), pattern.size());

    const auto mapped = [](int v) {
        cv::Mat one(1, 1, CV_8UC1, cv::Scalar(v));
        cv::Mat colour;
        cv::applyColorMap(one, colour, cv::COLORMAP_HSV);
        return colour.at<cv::Vec3b>(0, 0);
    };
    // x spans 10..30 over the valid pixels, y 0..100.
    EXPECT_EQ(x.at<cv::Vec3b>(0, 0), mapped(0));
    EXPECT_EQ(x.at<cv::Vec3b>(0, 1), mapped(128)); // 127.5 rounds to even
    EXPECT_EQ(x.at<cv::Vec3b>(0, 2), mapped(255));
    EXPECT_EQ(x.at<cv::Vec3b>(1, 2), mapped(64));
    EXPECT_EQ(y.at<cv::Vec3b>(0, 0), mapped(255));
    EXPECT_EQ(y.at<cv::Vec3b>(0, 2), mapped(0));
    EXPECT_EQ(y.at<cv::Vec3b>(1, 2), mapped(191));
    for (const cv::Mat* image : { &x, &y }) {
        EXPECT_EQ(image->at<cv::Vec3b>(1, 0), kFill);
        EXPECT_EQ(image->at<cv::Vec3b>(1, 1), kFill);
    }

    // Values beyond the projector are invalid too.
    pattern.at<cv::Vec2f>(0, 2) = cv::Vec2f(65, 0);
    camproj::decodedColourImages(pattern, cv::Size(64, 128), x, y);
    EXPECT_EQ(x.at<cv::Vec3b>(0, 2), kFill);
    EXPECT_EQ(x.at<cv::Vec3b>(0, 1), mapped(255)); // 20 is now the largest valid x

    camproj::decodedColourImages(cv::Mat(2, 2, CV_32FC1), cv::Size(64, 128), x, y);
    EXPECT_TRUE(x.empty());
    EXPECT_TRUE(y.empty());
}

TEST(WarpToProjector, KnownHomography)
{
    const cv::Size projector(100, 80);
    const cv::Matx33d h(0.55, 0.04, 6.0, -0.03, 0.58, 9.0, 0.0002, 0.0001, 1.0);

    // Camera denser than the projector (160 x 120, about 0.55 projector px per camera px)
    // and coarser (50 x 40 scaled up by 3.4, holes between the mapped pixels).
    struct Case
    {
        cv::Size camera;
        double scale;
        double tolerance; // camera pixels
    };
    for (const Case& test : { Case{ cv::Size(160, 120), 1.0, 1.5 }, Case{ cv::Size(50, 40), 3.2, 1.0 } }) {
        const cv::Matx33d hc = h * cv::Matx33d(test.scale, 0, 0, 0, test.scale, 0, 0, 0, 1);
        const cv::Matx33d hcInverse = hc.inv();
        cv::Mat pattern(test.camera, CV_32FC2);
        cv::Mat colour(test.camera, CV_8UC3);
        for (int r = 0; r < test.camera.height; ++r) {
            for (int c = 0; c < test.camera.width; ++c) {
                const cv::Point2d p = cameraToProjector(hc, c, r);
                pattern.at<cv::Vec2f>(r, c) = cv::Vec2f(float(std::round(p.x)), float(std::round(p.y)));
                colour.at<cv::Vec3b>(r, c) = cv::Vec3b(uint8_t(c), uint8_t(r), 50);
            }
        }
        // An undecoded corner of the camera leaves its projector area to the fill colour.
        pattern(cv::Rect(0, 0, test.camera.width / 4, test.camera.height / 4)).setTo(cv::Scalar(NAN, NAN));

        const cv::Mat view = camproj::warpToProjector(pattern, colour, projector, camproj::kFillColour);
        ASSERT_EQ(view.type(), CV_8UC3);
        ASSERT_EQ(view.size(), projector);
        int checked = 0;
        int filled = 0;
        for (int v = 0; v < projector.height; ++v) {
            for (int u = 0; u < projector.width; ++u) {
                const cv::Point2d cam = cameraToProjector(hcInverse, u, v);
                const bool inside = cam.x > test.camera.width / 4 + 6 && cam.y > test.camera.height / 4 + 6
                    && cam.x < test.camera.width - 6 && cam.y < test.camera.height - 6;
                const bool farOutside = cam.x < -10 || cam.y < -10 || cam.x > test.camera.width + 10
                    || cam.y > test.camera.height + 10
                    || (cam.x < test.camera.width / 4 - 10 && cam.y < test.camera.height / 4 - 10);
                const cv::Vec3b got = view.at<cv::Vec3b>(v, u);
                if (inside) {
                    ++checked;
                    EXPECT_NEAR(got[0], cam.x, test.tolerance) << "projector " << u << "," << v;
                    EXPECT_NEAR(got[1], cam.y, test.tolerance) << "projector " << u << "," << v;
                    EXPECT_EQ(got[2], 50);
                } else if (farOutside) {
                    ++filled;
                    EXPECT_EQ(got, kFill) << "projector " << u << "," << v;
                }
            }
        }
        EXPECT_GT(checked, 500) << test.camera;
        EXPECT_GT(filled, 50) << test.camera;
    }

    // Rounding ties to even, and a later camera pixel overwrites an earlier one.
    cv::Mat ties(2, 2, CV_32FC2, cv::Scalar(NAN, NAN));
    ties.at<cv::Vec2f>(0, 0) = cv::Vec2f(2.5f, 0.0f);  // -> 2
    ties.at<cv::Vec2f>(0, 1) = cv::Vec2f(3.5f, 0.4f);  // -> 4
    ties.at<cv::Vec2f>(1, 0) = cv::Vec2f(4.0f, -0.5f); // -> 4 (and row -0 = 0), wins
    cv::Mat tiesColour(2, 2, CV_8UC3);
    tiesColour.at<cv::Vec3b>(0, 0) = cv::Vec3b(10, 10, 10);
    tiesColour.at<cv::Vec3b>(0, 1) = cv::Vec3b(20, 20, 20);
    tiesColour.at<cv::Vec3b>(1, 0) = cv::Vec3b(30, 30, 30);
    tiesColour.at<cv::Vec3b>(1, 1) = cv::Vec3b(40, 40, 40);
    const cv::Mat tiesView = camproj::warpToProjector(ties, tiesColour, cv::Size(6, 1), camproj::kFillColour);
    ASSERT_EQ(tiesView.size(), cv::Size(6, 1));
    EXPECT_EQ(tiesView.at<cv::Vec3b>(0, 2), cv::Vec3b(10, 10, 10));
    EXPECT_EQ(tiesView.at<cv::Vec3b>(0, 4), cv::Vec3b(30, 30, 30));

    const cv::Mat someColour(4, 4, CV_8UC3, cv::Scalar(1, 2, 3));
    EXPECT_TRUE(camproj::warpToProjector(cv::Mat(4, 4, CV_32FC1), someColour, projector, camproj::kFillColour).empty());
    EXPECT_TRUE(
        camproj::warpToProjector(cv::Mat(4, 4, CV_32FC2), cv::Mat(4, 4, CV_8UC1), projector, camproj::kFillColour).empty());
    EXPECT_TRUE(camproj::warpToProjector(cv::Mat(), someColour, projector, camproj::kFillColour).empty());
}

TEST(GrayCodeSetOps, LightEstimateUsesTheMediumStripes)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    // 42 images (10 + 10 bits): only rows 14-17 and 34-37 enter the estimate.
    std::vector<cv::Mat> images(42, cv::Mat(3, 4, CV_8UC1, cv::Scalar(0)));
    for (int row = 14; row <= 16; ++row)
        images[row] = cv::Mat(3, 4, CV_8UC1, cv::Scalar(200));
    images[17] = cv::Mat(3, 4, CV_8UC1, cv::Scalar(201));
    for (int row = 34; row <= 36; ++row)
        images[row] = cv::Mat(3, 4, CV_8UC1, cv::Scalar(190));
    images[37] = cv::Mat(3, 4, CV_8UC1, cv::Scalar(189));
    const QStringList set = writeSet(dir.path() + "/set", images);

    vantiro::RecordingLogSink log;
    const cv::Mat light = camproj::directLightForSet(set, 4, 4, 0.7f, &log);
    ASSERT_EQ(light.type(), CV_8UC2);
    // min 189, max 201: Ld = trunc(12 / 0.3) = 39, Lg = trunc((189 - 140.7) * 2 / 0.51) = 189.
    cv::Mat parts[2];
    cv::split(light, parts);
    EXPECT_EQ(cv::countNonZero(parts[0] != 39), 0);
    EXPECT_EQ(cv::countNonZero(parts[1] != 189), 0);
    EXPECT_TRUE(log.segments.empty());

    // Fewer than count + offset pattern pairs.
    const QStringList shortSet = set.mid(0, 16);
    const cv::Mat none = camproj::directLightForSet(shortSet, 4, 4, 0.7f, &log);
    EXPECT_TRUE(none.empty());
    ASSERT_EQ(log.segments.size(), 1u);
    EXPECT_EQ(log.segments[0].text,
              "ERROR! At least 8 images are required for the estimation of direct and global light\n\n");
    EXPECT_EQ(log.segments[0].color, vantiro::logcolor::Red);

    // ... which then fails decoding on the missing light estimate.
    cv::Mat decoded(1, 1, CV_32FC2);
    vantiro::RecordingLogSink decodeLog;
    const QStringList small = writeSet(dir.path() + "/small", patternImages(cv::Size(8, 8)));
    CaptureStdout();
    EXPECT_FALSE(camproj::decodeSet(small, decoded, cv::Size(8, 8), &decodeLog));
    EXPECT_EQ(GetCapturedStdout(), "[decode_pattern]  --> Direct Component image has different size: \n");
    EXPECT_TRUE(decoded.empty());
    EXPECT_NE(decodeLog.find("At least 8 images"), nullptr);

    // An unreadable image among those used gives no estimate rather than a partial one.
    QFile::remove(set[35]);
    EXPECT_TRUE(camproj::directLightForSet(set, 4, 4, 0.7f, nullptr).empty());
}

TEST(GrayCodeSetOps, CachesDecodeOnDemandAndProjectorViewFollowsTheMask)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    // A camera that sees the projector pixel for pixel, with a textured white frame.
    const cv::Size projector(64, 48);
    std::vector<cv::Mat> images = patternImages(projector);
    cv::Mat white(projector, CV_8UC1);
    for (int r = 0; r < white.rows; ++r)
        for (int c = 0; c < white.cols; ++c)
            white.at<uint8_t>(r, c) = uint8_t(128 + c + r);
    images[0] = white;
    GrayCodeSets sets;
    sets.setProjectorSize(projector);
    sets.setSets({ writeSet(dir.path() + "/a", images) });
    ASSERT_EQ(sets.setCount(), 1);

    EXPECT_TRUE(sets.loadSetImage(0, 26, false).empty());
    EXPECT_TRUE(sets.loadSetImage(1, 0, false).empty());
    EXPECT_EQ(sets.loadSetImage(0, 0, true).type(), CV_8UC3);

    // Until a decoding run has sized the cache there is no Projector View.
    EXPECT_TRUE(sets.projectorView(0, false).empty());
    cv::Mat x;
    cv::Mat y;
    sets.decodedPatterns().resize(1);
    sets.decodedColourImages(0, x, y);
    EXPECT_TRUE(x.empty()) << "colour images never decode";

    const cv::Mat view = sets.projectorView(0, false);
    ASSERT_FALSE(sets.decodedPatterns()[0].empty()) << "the view decodes the set on demand";
    ASSERT_EQ(view.type(), CV_8UC3);
    cv::Mat expected;
    cv::cvtColor(white, expected, cv::COLOR_GRAY2BGR);
    EXPECT_EQ(cv::norm(view, expected, cv::NORM_INF), 0.0) << "identity correspondence";

    EXPECT_EQ(sets.projectorView(0, false).data, view.data) << "cached";
    // White over black gives s = 1 / (1 + e^-2) = 0.88: a threshold above leaves no mask.
    sets.setMaskThreshold(0.9);
    const cv::Mat rebuilt = sets.projectorView(0, true);
    ASSERT_EQ(rebuilt.size(), projector);
    EXPECT_EQ(cv::countNonZero(rebuilt.reshape(1) != cv::Mat(rebuilt.size(), CV_8UC3, cv::Scalar(230, 153, 76)).reshape(1)), 0);

    sets.decodedColourImages(0, x, y);
    ASSERT_EQ(x.type(), CV_8UC3);
    EXPECT_NE(x.at<cv::Vec3b>(0, 0), x.at<cv::Vec3b>(0, 32));

    const cv::Mat overlay = sets.maskOverlay(0);
    ASSERT_EQ(overlay.size(), projector);
    // Outside the mask at 0.9: red tint over the white frame.
    EXPECT_EQ(overlay.at<cv::Vec3b>(0, 0), cv::Vec3b(77, 77, 179));

    sets.clearCaches();
    EXPECT_TRUE(sets.decodedPatterns().empty());
    EXPECT_TRUE(sets.projectorView(0, false).empty());
    EXPECT_FALSE(sets.decodeSet(1, x));
    EXPECT_TRUE(sets.decodeSet(0, x));
}
