#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include <opencv2/imgproc.hpp>

#include "GrayCodeSequence.h"
#include "app/LogSink.h"
#include "projector/GrayCodeSets.h"
#include "synth/ProjectorCapture.h"

const cv::Vec3b kFill(230, 153, 76); // kFillColour as stored in 8 bits

TEST(ProjectionMask, RatioThresholdCleanUpAndOverlay)
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
    EXPECT_EQ(cv::countNonZero(mask(cv::Rect(42, 32, 76, 56)) != 255), 0);
    // The speck and the ambient area stay outside.
    EXPECT_EQ(cv::countNonZero(mask(cv::Rect(37, 27, 86, 66))), cv::countNonZero(mask));
    EXPECT_EQ(cv::countNonZero((mask != 0) & (mask != 255)), 0);
    // Threshold 0 keeps everything, even where the white frame is darker; 0.5 drops exactly
    // the pixels with W < B (s < 0.5) and their blurred border.
    EXPECT_EQ(cv::countNonZero(camproj::projectionMask(white, black, 0.0)), white.rows * white.cols);
    const cv::Mat half = camproj::projectionMask(white, black, 0.5);
    EXPECT_EQ(cv::Vec2i(half.at<uint8_t>(10, 145), half.at<uint8_t>(60, 10)), cv::Vec2i(0, 255));

    // Colour frames are taken as grey; frames of different sizes or missing give nothing.
    cv::Mat colourWhite;
    cv::cvtColor(white, colourWhite, cv::COLOR_GRAY2BGR);
    EXPECT_EQ(cv::norm(camproj::projectionMask(colourWhite, black, 0.6), mask, cv::NORM_INF), 0.0);
    EXPECT_TRUE(camproj::projectionMask(white, black(cv::Rect(0, 0, 10, 10)), 0.6).empty());
    EXPECT_TRUE(camproj::projectionMask(cv::Mat(), black, 0.6).empty());
    EXPECT_TRUE(camproj::maskOverlay(cv::Mat(), black, 0.6).empty());
    // 0.4 x (255, 255, 0) + 0.6 x 200 inside, 0.4 x (0, 0, 255) + 0.6 x 60 outside.
    const cv::Mat overlay = camproj::maskOverlay(white, black, 0.6);
    ASSERT_EQ(overlay.type(), CV_8UC3);
    EXPECT_EQ(overlay.at<cv::Vec3b>(60, 80), cv::Vec3b(222, 222, 120));
    EXPECT_EQ(overlay.at<cv::Vec3b>(60, 10), cv::Vec3b(36, 36, 138));
}

TEST(DecodedColourImages, ColourMapOverValidRangeAndFillElsewhere)
{
    const float nan = NAN;
    // Either NaN loses both channels.
    cv::Mat pattern = (cv::Mat_<cv::Vec2f>(2, 3) << cv::Vec2f(10, 100), cv::Vec2f(20, 50), cv::Vec2f(30, 0),
                       cv::Vec2f(nan, 60), cv::Vec2f(5, nan), cv::Vec2f(15, 75));
    cv::Mat x, y;
    camproj::decodedColourImages(pattern, cv::Size(64, 128), x, y);
    const auto hsv = [](int v) {
        cv::Mat colour;
        cv::applyColorMap(cv::Mat(1, 1, CV_8UC1, cv::Scalar(v)), colour, cv::COLORMAP_HSV);
        return colour.at<cv::Vec3b>(0, 0);
    };
    // x spans 10..30 over the valid pixels, y 0..100; 127.5 rounds to even.
    const cv::Mat wantX = (cv::Mat_<cv::Vec3b>(2, 3) << hsv(0), hsv(128), hsv(255), kFill, kFill, hsv(64));
    const cv::Mat wantY = (cv::Mat_<cv::Vec3b>(2, 3) << hsv(255), hsv(128), hsv(0), kFill, kFill, hsv(191));
    EXPECT_EQ(cv::norm(x, wantX, cv::NORM_INF), 0);
    EXPECT_EQ(cv::norm(y, wantY, cv::NORM_INF), 0);
    // Values beyond the projector are invalid too: 20 becomes the largest valid x.
    pattern.at<cv::Vec2f>(0, 2) = cv::Vec2f(65, 0);
    camproj::decodedColourImages(pattern, cv::Size(64, 128), x, y);
    EXPECT_EQ(x.at<cv::Vec3b>(0, 2), kFill);
    EXPECT_EQ(x.at<cv::Vec3b>(0, 1), hsv(255));
    camproj::decodedColourImages(cv::Mat(2, 2, CV_32FC1), cv::Size(64, 128), x, y);
    EXPECT_TRUE(x.empty() && y.empty());
}

TEST(WarpToProjector, TiesLastWinsAndBadInput)
{
    // Rounding ties to even (2.5 -> 2, 3.5 -> 4, -0.5 -> 0), and a later camera pixel
    // overwrites an earlier one.
    const cv::Mat ties = (cv::Mat_<cv::Vec2f>(2, 2) << cv::Vec2f(2.5f, 0), cv::Vec2f(3.5f, 0.4f), cv::Vec2f(4, -0.5f),
                          cv::Vec2f(NAN, NAN));
    const cv::Mat tiesColour = (cv::Mat_<cv::Vec3b>(2, 2) << cv::Vec3b::all(10), cv::Vec3b::all(20), cv::Vec3b::all(30),
                                cv::Vec3b::all(40));
    const cv::Mat tiesView = camproj::warpToProjector(ties, tiesColour, cv::Size(6, 1), camproj::kFillColour);
    ASSERT_EQ(tiesView.size(), cv::Size(6, 1));
    EXPECT_EQ(tiesView.at<cv::Vec3b>(0, 2), cv::Vec3b::all(10));
    EXPECT_EQ(tiesView.at<cv::Vec3b>(0, 4), cv::Vec3b::all(30));

    const cv::Mat colour(4, 4, CV_8UC3, cv::Scalar(1, 2, 3)), pattern(4, 4, CV_32FC2, cv::Scalar(1, 1));
    for (const auto& [p, c] : { std::pair(cv::Mat(4, 4, CV_32FC1), colour), std::pair(pattern, cv::Mat(4, 4, CV_8UC1)),
                                std::pair(cv::Mat(), colour), std::pair(pattern, cv::Mat()) })
        EXPECT_TRUE(camproj::warpToProjector(p, c, cv::Size(100, 80), camproj::kFillColour).empty());
}

TEST(GrayCodeSetOps, LightEstimateUsesTheMediumStripes)
{
    QTemporaryDir dir;
    // 42 images (10 + 10 bits): only rows 14-17 and 34-37 enter the estimate.
    std::vector<cv::Mat> images(42, cv::Mat(3, 4, CV_8UC1, cv::Scalar(0)));
    for (int row = 14; row <= 17; ++row) {
        images[row] = cv::Mat(3, 4, CV_8UC1, cv::Scalar(row == 17 ? 201 : 200));
        images[row + 20] = cv::Mat(3, 4, CV_8UC1, cv::Scalar(row == 17 ? 189 : 190));
    }
    const QStringList set = vantiro::synth::writeCaptureSet(dir.path() + "/set", images);
    vantiro::RecordingLogSink log;
    const cv::Mat light = camproj::directLightForSet(set, 4, 4, 0.7f, &log);
    // min 189, max 201: Ld = trunc(12 / 0.3) = 39, Lg = trunc((189 - 140.7) * 2 / 0.51) = 189.
    EXPECT_EQ(cv::norm(light, cv::Mat(3, 4, CV_8UC2, cv::Scalar(39, 189)), cv::NORM_INF), 0);
    EXPECT_TRUE(log.segments.empty());

    // Fewer than count + offset pattern pairs ...
    EXPECT_TRUE(camproj::directLightForSet(set.mid(0, 16), 4, 4, 0.7f, &log).empty());
    ASSERT_EQ(log.segments.size(), 1u);
    EXPECT_EQ(log.segments[0].text, "ERROR! At least 8 images are required for the estimation of direct and global light\n\n");
    EXPECT_EQ(log.segments[0].color, vantiro::logcolor::Red);
    // ... which then fails decoding, with the same error in the log.
    cv::Mat decoded(1, 1, CV_32FC2);
    testing::internal::CaptureStdout();
    const QStringList small = vantiro::synth::writeCaptureSet(dir.path() + "/small", graySequence(cv::Size(8, 8)));
    EXPECT_FALSE(camproj::decodeSet(small, decoded, cv::Size(8, 8), &log));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[decode_pattern]  --> Direct Component image has different size: \n");
    EXPECT_TRUE(decoded.empty() && log.segments.size() == 2u && log.segments[1].text == log.segments[0].text);

    // An unreadable image among those used gives no estimate rather than a partial one.
    QFile::remove(set[35]);
    EXPECT_TRUE(camproj::directLightForSet(set, 4, 4, 0.7f, nullptr).empty());
}

TEST(GrayCodeSetOps, CachesDecodeOnDemandAndProjectorViewFollowsTheMask)
{
    QTemporaryDir dir;
    // A camera that sees the projector pixel for pixel, with a textured white frame.
    const cv::Size projector(64, 48);
    std::vector<cv::Mat> images = graySequence(projector);
    for (int r = 0; r < projector.height; ++r)
        for (int c = 0; c < projector.width; ++c)
            images[0].at<uint8_t>(r, c) = uint8_t(128 + c + r);
    GrayCodeSets sets;
    sets.setProjectorSize(projector);
    sets.setSets({ vantiro::synth::writeCaptureSet(dir.path() + "/a", images) });
    EXPECT_TRUE(sets.loadSetImage(0, 26, false).empty() && sets.loadSetImage(1, 0, false).empty());

    // Until a decoding run has sized the cache there is no Projector View.
    EXPECT_TRUE(sets.projectorView(0, false).empty());
    cv::Mat x, y;
    sets.decodedPatterns().resize(1);
    sets.decodedColourImages(0, x, y);
    EXPECT_TRUE(x.empty()) << "colour images never decode";
    const cv::Mat view = sets.projectorView(0, false);
    ASSERT_FALSE(sets.decodedPatterns()[0].empty()) << "the view decodes the set on demand";
    cv::Mat expected;
    cv::cvtColor(images[0], expected, cv::COLOR_GRAY2BGR);
    EXPECT_EQ(cv::norm(view, expected, cv::NORM_INF), 0.0) << "identity correspondence";
    EXPECT_EQ(sets.projectorView(0, false).data, view.data) << "cached";
    // Isolated undecoded pixels are interpolated from their neighbours; inside a larger
    // undecoded area (more than the fill radius from data) the fill colour shows.
    cv::Mat& decoded = sets.decodedPatterns()[0];
    decoded.at<cv::Vec2f>(20, 30) = decoded.at<cv::Vec2f>(21, 33) = cv::Vec2f(NAN, NAN);
    decoded(cv::Rect(40, 10, 12, 12)).setTo(cv::Scalar(NAN, NAN));
    const cv::Mat holes = sets.projectorView(0, true);
    EXPECT_EQ(cv::norm(holes.colRange(0, 38), expected.colRange(0, 38), cv::NORM_INF), 0.0);
    EXPECT_EQ(holes.at<cv::Vec3b>(16, 46), kFill);

    // White over black gives s = 1 / (1 + e^-2) = 0.88: a threshold above leaves no mask,
    // and the overlay is the red tint over the white frame.
    sets.setMaskThreshold(0.9);
    EXPECT_EQ(cv::norm(sets.projectorView(0, true), cv::Mat(projector, CV_8UC3, cv::Scalar(kFill)), cv::NORM_INF), 0);
    EXPECT_EQ(sets.maskOverlay(0).at<cv::Vec3b>(0, 0), cv::Vec3b(77, 77, 179));

    sets.clearCaches();
    EXPECT_TRUE(sets.projectorView(0, false).empty()) << "nothing cached, not even the decoding";
    EXPECT_FALSE(sets.decodeSet(1, x));
    // The decoder never reads the black frame; a missing pattern file fails the set by name.
    QFile::remove(sets.sets()[0][1]);
    EXPECT_TRUE(sets.decodeSet(0, x));
    QFile::remove(sets.sets()[0][11]); // not among the light estimate's frames
    testing::internal::CaptureStdout();
    EXPECT_FALSE(sets.decodeSet(0, x));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Decoding error: Couldn't load " + sets.sets()[0][11].toStdString() + "\n");
}
