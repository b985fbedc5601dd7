#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <opencv2/imgcodecs.hpp>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Common/StructuredLight.h"
#include "projector/GrayCodePatternGenerator.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

// The pattern images themselves: a camera that sees the projector pixel for pixel.
std::vector<cv::Mat> idealCapture(const cv::Size& projector)
{
    GrayCodePatternGenerator generator(projector.height, projector.width);
    std::vector<cv::Mat> images;
    for (int i = 0; i < generator.imageCount(); ++i)
        images.push_back(generator.nextImage());
    return images;
}

cv::Mat lightFrom(const std::vector<cv::Mat>& images)
{
    return sl::estimate_direct_light({ images[2], images[3], images[4], images[5] }, 0.7f);
}

bool isQuietNan(float v)
{
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return bits == 0x7FC00000u;
}

int gray(int v)
{
    return v ^ (v >> 1);
}

} // namespace

TEST(StructuredLightDecode, IdealCaptureDecodesEveryPixelToItsOwnProjectorPixel)
{
    // 70000 columns need 17 bits: codes longer than two bytes.
    for (const cv::Size projector : { cv::Size(1024, 768), cv::Size(200, 150), cv::Size(70000, 2) }) {
        const std::vector<cv::Mat> images = idealCapture(projector);
        for (const unsigned flags : { sl::DECODE_GRAY, sl::DECODE_GRAY | sl::DECODE_ROBUST }) {
            cv::Mat decoded;
            ASSERT_TRUE(sl::decode_pattern(images, decoded, projector, flags, lightFrom(images), 5));
            ASSERT_EQ(decoded.type(), CV_32FC2);
            ASSERT_EQ(decoded.size(), projector);
            int wrong = 0;
            for (int y = 0; y < projector.height; ++y)
                for (int x = 0; x < projector.width; ++x)
                    wrong += decoded.at<cv::Vec2f>(y, x) != cv::Vec2f(float(x), float(y));
            EXPECT_EQ(wrong, 0) << projector << " flags " << flags;
            // The last column of a 1024-wide projector is 1023, the last row 767.
            EXPECT_EQ(decoded.at<cv::Vec2f>(projector.height - 1, projector.width - 1),
                      cv::Vec2f(float(projector.width - 1), float(projector.height - 1)));
        }
    }
}

TEST(StructuredLightDecode, WithoutGrayFlagTheRawCodesStay)
{
    const cv::Size projector(256, 192); // offsets 0 and 32
    const std::vector<cv::Mat> images = idealCapture(projector);
    cv::Mat decoded;
    ASSERT_TRUE(sl::decode_pattern(images, decoded, projector, 0, cv::Mat(), 5));
    EXPECT_EQ(decoded.at<cv::Vec2f>(3, 5), cv::Vec2f(float(gray(5)), float(gray(3 + 32))));
    EXPECT_EQ(decoded.at<cv::Vec2f>(191, 255), cv::Vec2f(float(gray(255)), float(gray(191 + 32))));
}

TEST(StructuredLightDecode, NonRobustEqualValuesGiveBitZero)
{
    const cv::Size projector(8, 6); // 3 + 3 bits, row offset 1
    std::vector<cv::Mat> flat(14, cv::Mat(4, 5, CV_8UC1, cv::Scalar(128)));
    cv::Mat decoded;
    ASSERT_TRUE(sl::decode_pattern(flat, decoded, projector, 0, cv::Mat(), 5));
    EXPECT_EQ(cv::countNonZero(decoded.reshape(1) != 0), 0);
    // Gray code 0 is column 0 and row 0 - offset, clamped to 0.
    ASSERT_TRUE(sl::decode_pattern(flat, decoded, projector, sl::DECODE_GRAY, cv::Mat(), 5));
    EXPECT_EQ(cv::countNonZero(decoded.reshape(1) != 0), 0);

    // One pair made equal at one pixel: only that bit drops out of the code.
    std::vector<cv::Mat> images = idealCapture(projector);
    for (cv::Mat& image : images)
        image = image.clone();
    const int x = 6; // g(6) = 5 = 0b101: the most significant column bit is set
    images[2].at<uint8_t>(0, x) = 90;
    images[3].at<uint8_t>(0, x) = 90;
    ASSERT_TRUE(sl::decode_pattern(images, decoded, projector, 0, cv::Mat(), 5));
    EXPECT_EQ(decoded.at<cv::Vec2f>(0, x)[0], float(gray(x) & ~4));
    EXPECT_EQ(decoded.at<cv::Vec2f>(0, x - 1)[0], float(gray(x - 1)));
}

TEST(StructuredLightDecode, RobustClassification)
{
    // Projector 2 x 2: one bit per axis; images white, black, column pair, row pair.
    // Camera pixels (one row) probe the classification rules; the direct/global light image
    // is given directly.
    struct Probe
    {
        uint8_t ld, lg;
        uint8_t columnValue, columnInverse;
        uint8_t rowValue, rowInverse;
        float x, y; // expected, NaN = undecodable
    };
    const float nan = NAN;
    const std::vector<Probe> probes = {
        { 4, 0, 200, 10, 200, 10, nan, nan },    // too little direct light
        { 5, 0, 200, 10, 10, 200, 1, 0 },        // Ld = m is enough; Ld > Lg: plain comparison
        { 20, 100, 10, 120, 10, 100, 0, 0 },     // v1 <= Ld and v2 >= Lg: 0
        { 20, 100, 120, 10, 100, 20, 1, 1 },     // v1 >= Lg and v2 <= Ld: 1
        { 20, 100, 50, 60, 120, 10, nan, 1 },    // between the levels: that channel alone is lost
        { 30, 30, 30, 30, 31, 30, 0, 1 },        // Ld = Lg: 30 <= 30 and 30 >= 30 gives 0; 31/30 gives 1
    };
    const int n = static_cast<int>(probes.size());
    std::vector<cv::Mat> images(6);
    for (cv::Mat& image : images)
        image = cv::Mat(1, n, CV_8UC1, cv::Scalar(0));
    cv::Mat light(1, n, CV_8UC2);
    for (int i = 0; i < n; ++i) {
        light.at<cv::Vec2b>(0, i) = cv::Vec2b(probes[i].ld, probes[i].lg);
        images[2].at<uint8_t>(0, i) = probes[i].columnValue;
        images[3].at<uint8_t>(0, i) = probes[i].columnInverse;
        images[4].at<uint8_t>(0, i) = probes[i].rowValue;
        images[5].at<uint8_t>(0, i) = probes[i].rowInverse;
    }
    cv::Mat decoded;
    ASSERT_TRUE(sl::decode_pattern(images, decoded, cv::Size(2, 2), sl::DECODE_ROBUST, light, 5));
    for (int i = 0; i < n; ++i) {
        const cv::Vec2f got = decoded.at<cv::Vec2f>(0, i);
        for (int ch = 0; ch < 2; ++ch) {
            const float want = ch == 0 ? probes[i].x : probes[i].y;
            if (std::isnan(want))
                EXPECT_TRUE(isQuietNan(got[ch])) << "probe " << i << " channel " << ch << " = " << got[ch];
            else
                EXPECT_EQ(got[ch], want) << "probe " << i << " channel " << ch;
        }
    }

    // A channel once NaN stays NaN even when its later bits are certain: 4 x 4 projector,
    // first column bit uncertain, second certain.
    std::vector<cv::Mat> four(10, cv::Mat(1, 1, CV_8UC1, cv::Scalar(0)));
    for (cv::Mat& image : four)
        image = image.clone();
    four[2].at<uint8_t>(0, 0) = 50;
    four[3].at<uint8_t>(0, 0) = 60;
    four[4].at<uint8_t>(0, 0) = 120;
    cv::Mat oneLight(1, 1, CV_8UC2, cv::Scalar(20, 100));
    ASSERT_TRUE(sl::decode_pattern(four, decoded, cv::Size(4, 4), sl::DECODE_ROBUST | sl::DECODE_GRAY, oneLight, 5));
    EXPECT_TRUE(isQuietNan(decoded.at<cv::Vec2f>(0, 0)[0]));
}

TEST(StructuredLightDecode, SequenceErrorsAreReportedOnStandardOutput)
{
    const cv::Size projector(64, 48); // 6 + 6 bits: 26 images
    std::vector<cv::Mat> images = idealCapture(projector);
    const cv::Mat light = lightFrom(images);
    cv::Mat decoded(2, 2, CV_32FC2, cv::Scalar(1, 1));

    std::vector<cv::Mat> shortSet(images.begin(), images.end() - 1);
    CaptureStdout();
    EXPECT_FALSE(sl::decode_pattern(shortSet, decoded, projector, 3, light, 5));
    EXPECT_EQ(GetCapturedStdout(), "Decoding error: Projector resolution does not correspond to the number of images "
                                   "in the Gray code sequence.\n");
    EXPECT_TRUE(decoded.empty());

    // The first pair fixes the size.
    std::vector<cv::Mat> mixed = images;
    mixed[3] = cv::Mat(24, 32, CV_8UC1, cv::Scalar(0));
    CaptureStdout();
    EXPECT_FALSE(sl::decode_pattern(mixed, decoded, projector, 3, light, 5));
    EXPECT_EQ(GetCapturedStdout(), "Decoding error: Images in the Gray code sequence must have the same size!\n");

    // Robust decoding without a light estimate of the camera's size.
    for (const cv::Mat& wrongLight : { cv::Mat(), cv::Mat(10, 10, CV_8UC2, cv::Scalar(0, 0)) }) {
        CaptureStdout();
        EXPECT_FALSE(sl::decode_pattern(images, decoded, projector, 3, wrongLight, 5));
        EXPECT_EQ(GetCapturedStdout(), "[decode_pattern]  --> Direct Component image has different size: \n");
        EXPECT_TRUE(decoded.empty());
    }
    // ... which the plain comparison does not need.
    CaptureStdout();
    EXPECT_TRUE(sl::decode_pattern(images, decoded, projector, sl::DECODE_GRAY, cv::Mat(), 5));
    EXPECT_EQ(GetCapturedStdout(), "");

    // Later pairs of another size are skipped and keep their bit 0: pair 10 is column bit 1.
    std::vector<cv::Mat> skipped = images;
    skipped[10] = cv::Mat(48, 63, CV_8UC1, cv::Scalar(255));
    skipped[23] = cv::Mat(47, 64, CV_8UC1, cv::Scalar(255));
    CaptureStdout();
    EXPECT_TRUE(sl::decode_pattern(skipped, decoded, projector, 0, light, 5));
    EXPECT_EQ(GetCapturedStdout(), "[decode_pattern]  --> Image 1 has different size, image pair 10 (skipped!)\n"
                                   "[decode_pattern]  --> Image 2 has different size, image pair 22 (skipped!)\n");
    // Pair 22 is the row bit 1 (rows start at image 14, offset 8).
    EXPECT_EQ(decoded.at<cv::Vec2f>(5, 7), cv::Vec2f(float(gray(7) & ~2), float(gray(5 + 8) & ~2)));

    // In memory, an empty image is an image that could not be loaded.
    std::vector<cv::Mat> hole = images;
    hole[17] = cv::Mat();
    CaptureStdout();
    EXPECT_FALSE(sl::decode_pattern(hole, decoded, projector, 3, light, 5));
    EXPECT_EQ(GetCapturedStdout(), "Decoding error: Couldn't load image 17\n");
    EXPECT_TRUE(decoded.empty());
}

TEST(StructuredLightDecode, FromFilesAndMissingFile)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const cv::Size projector(64, 48);
    const std::vector<cv::Mat> images = idealCapture(projector);
    std::vector<std::string> paths;
    for (size_t i = 0; i < images.size(); ++i) {
        paths.push_back(dir.path().toStdString() + "/" + std::to_string(i) + ".png");
        ASSERT_TRUE(cv::imwrite(paths.back(), images[i]));
    }
    const cv::Mat light = lightFrom(images);

    cv::Mat fromMemory;
    cv::Mat fromFiles;
    ASSERT_TRUE(sl::decode_pattern(images, fromMemory, projector, 3, light, 5));
    ASSERT_TRUE(sl::decode_pattern(paths, fromFiles, projector, 3, light, 5));
    EXPECT_EQ(cv::norm(fromMemory, fromFiles, cv::NORM_INF), 0.0);

    // The white and black frames are not read by the decoder.
    std::remove(paths[0].c_str());
    ASSERT_TRUE(sl::decode_pattern(paths, fromFiles, projector, 3, light, 5));

    std::remove(paths[9].c_str());
    CaptureStdout();
    EXPECT_FALSE(sl::decode_pattern(paths, fromFiles, projector, 3, light, 5));
    EXPECT_EQ(GetCapturedStdout(), "Decoding error: Couldn't load " + paths[9] + "\n");
    EXPECT_TRUE(fromFiles.empty());
}

TEST(StructuredLightConvert, GrayToProjectorCoordinatesWithOffsetsAndClamping)
{
    const cv::Size projector(1024, 768); // offsets 0 and 128
    cv::Mat codes(1, 6, CV_32FC2);
    codes.at<cv::Vec2f>(0, 0) = cv::Vec2f(float(gray(1023)), float(gray(5 + 128)));
    codes.at<cv::Vec2f>(0, 1) = cv::Vec2f(float(gray(0)), float(gray(10)));      // below the offset: 0
    codes.at<cv::Vec2f>(0, 2) = cv::Vec2f(float(gray(7)) + 0.25f, float(gray(1000))); // beyond the end: 767
    codes.at<cv::Vec2f>(0, 3) = cv::Vec2f(NAN, float(gray(128)));
    codes.at<cv::Vec2f>(0, 4) = cv::Vec2f(float(gray(512)), float(gray(895)));
    codes.at<cv::Vec2f>(0, 5) = cv::Vec2f(float(gray(513)), NAN);
    sl::convert_pattern(codes, projector, 0, 128, false);
    EXPECT_EQ(codes.at<cv::Vec2f>(0, 0), cv::Vec2f(1023, 5));
    EXPECT_EQ(codes.at<cv::Vec2f>(0, 1), cv::Vec2f(0, 0));
    EXPECT_EQ(codes.at<cv::Vec2f>(0, 2), cv::Vec2f(7.25f, 767));
    EXPECT_TRUE(std::isnan(codes.at<cv::Vec2f>(0, 3)[0]));
    EXPECT_EQ(codes.at<cv::Vec2f>(0, 3)[1], 0.0f);
    EXPECT_EQ(codes.at<cv::Vec2f>(0, 4), cv::Vec2f(512, 767));
    EXPECT_EQ(codes.at<cv::Vec2f>(0, 5)[0], 513.0f);
    EXPECT_TRUE(std::isnan(codes.at<cv::Vec2f>(0, 5)[1]));

    // binary = true is the inverse: coordinate + offset -> Gray code.
    cv::Mat coordinates(1, 2, CV_32FC2);
    coordinates.at<cv::Vec2f>(0, 0) = cv::Vec2f(300.5f, 17);
    coordinates.at<cv::Vec2f>(0, 1) = cv::Vec2f(0, 767);
    cv::Mat roundTrip = coordinates.clone();
    sl::convert_pattern(roundTrip, projector, 0, 128, true);
    EXPECT_EQ(roundTrip.at<cv::Vec2f>(0, 0), cv::Vec2f(float(gray(300)) + 0.5f, float(gray(17 + 128))));
    sl::convert_pattern(roundTrip, projector, 0, 128, false);
    EXPECT_EQ(cv::norm(roundTrip, coordinates, cv::NORM_INF), 0.0);

    // Other types and empty images are left alone.
    cv::Mat single(1, 1, CV_32FC1, cv::Scalar(3));
    sl::convert_pattern(single, projector, 0, 128, false);
    EXPECT_EQ(single.at<float>(0, 0), 3.0f);
    cv::Mat none;
    sl::convert_pattern(none, projector, 0, 128, false);
    EXPECT_TRUE(none.empty());
}

TEST(StructuredLightLight, DirectAndGlobalComponents)
{
    // Pixels (min, max) over the images: (180, 200), (20, 200), (189, 201), (227, 231), (100, 100).
    const std::vector<uint8_t> low = { 180, 20, 189, 227, 100 };
    const std::vector<uint8_t> high = { 200, 200, 201, 231, 100 };
    std::vector<cv::Mat> images;
    for (int i = 0; i < 6; ++i) {
        cv::Mat image(1, 5, CV_8UC1);
        for (int x = 0; x < 5; ++x)
            image.at<uint8_t>(0, x) = i == 2 ? low[x] : (i == 4 ? high[x] : (low[x] + high[x]) / 2);
        images.push_back(image);
    }
    const cv::Mat light = sl::estimate_direct_light(images, 0.7f);
    ASSERT_EQ(light.type(), CV_8UC2);
    ASSERT_EQ(light.size(), cv::Size(5, 1));
    // Lg = trunc((min - 0.7 max) * 2 / 0.51), Ld = trunc((max - min) / 0.3).
    EXPECT_EQ(light.at<cv::Vec2b>(0, 0), cv::Vec2b(66, 156));
    // No global part: the brightest value is kept as the direct one.
    EXPECT_EQ(light.at<cv::Vec2b>(0, 1), cv::Vec2b(200, 0));
    EXPECT_EQ(light.at<cv::Vec2b>(0, 2), cv::Vec2b(39, 189));
    // Lg = 256 saturates to 255 (wrapping would store 0 and let Ld = 13 > Lg decide by noise).
    EXPECT_EQ(light.at<cv::Vec2b>(0, 3), cv::Vec2b(13, 255));
    EXPECT_EQ(light.at<cv::Vec2b>(0, 4), cv::Vec2b(0, 117));

    // Only the first ten images count.
    std::vector<cv::Mat> eleven(10, cv::Mat(1, 1, CV_8UC1, cv::Scalar(200)));
    eleven[3] = cv::Mat(1, 1, CV_8UC1, cv::Scalar(180));
    eleven.push_back(cv::Mat(1, 1, CV_8UC1, cv::Scalar(0)));
    EXPECT_EQ(sl::estimate_direct_light(eleven, 0.7f).at<cv::Vec2b>(0, 0), cv::Vec2b(66, 156));

    EXPECT_TRUE(sl::estimate_direct_light({}, 0.7f).empty());
    EXPECT_TRUE(sl::estimate_direct_light({ images[0], cv::Mat(1, 5, CV_8UC3) }, 0.7f).empty());
    EXPECT_TRUE(sl::estimate_direct_light({ images[0], cv::Mat(2, 5, CV_8UC1) }, 0.7f).empty());
    EXPECT_TRUE(sl::estimate_direct_light({ images[0], cv::Mat() }, 0.7f).empty());
    EXPECT_TRUE(sl::estimate_direct_light(images, 1.0f).empty());

    // In robust decoding such a nearly constant bright pixel is undecodable, not a guess.
    std::vector<cv::Mat> sequence(6, cv::Mat(1, 1, CV_8UC1, cv::Scalar(229)));
    for (cv::Mat& image : sequence)
        image = image.clone();
    sequence[2].at<uint8_t>(0, 0) = 231;
    sequence[3].at<uint8_t>(0, 0) = 227;
    cv::Mat decoded;
    const cv::Mat bright = sl::estimate_direct_light({ sequence[2], sequence[3] }, 0.7f);
    ASSERT_TRUE(sl::decode_pattern(sequence, decoded, cv::Size(2, 2), 3, bright, 5));
    EXPECT_TRUE(std::isnan(decoded.at<cv::Vec2f>(0, 0)[0]));
}

TEST(StructuredLightInpaint, FillsIsolatedHolesWithTheGaussianMean)
{
    // No holes: an identical copy.
    cv::Mat full(6, 7, CV_32F);
    cv::randu(full, 0.0, 100.0);
    cv::Mat out;
    sl::inpaintInvalidWithGaussianBlur(full, out, 3);
    EXPECT_EQ(cv::norm(full, out, cv::NORM_INF), 0.0);
    EXPECT_NE(out.data, full.data);

    // Radius 1 (sigma 0.5): corner weights are e^-2 of the edge weights. Left column 10,
    // the rest 0: 10 (2 e^-2 + 1) / (4 e^-2 + 4).
    cv::Mat hole(3, 3, CV_32F, cv::Scalar(0));
    hole.col(0).setTo(10);
    hole.at<float>(1, 1) = -1;
    sl::inpaintInvalidWithGaussianBlur(hole, out, 1);
    EXPECT_NEAR(out.at<float>(1, 1), 2.7980073, 1e-5);
    EXPECT_EQ(out.at<float>(0, 0), 10.0f);

    // At the border only the neighbours inside the image count.
    cv::Mat corner(3, 3, CV_32F, cv::Scalar(-1));
    corner.at<float>(0, 1) = 4;
    corner.at<float>(1, 0) = 8;
    corner.at<float>(1, 1) = 100;
    sl::inpaintInvalidWithGaussianBlur(corner, out, 1);
    EXPECT_NEAR(out.at<float>(0, 0), 11.9576202, 1e-4);

    // Radius 3 (sigma 1.5): neighbours at (0, 1) = 0 and (3, 3) = 100; every other
    // pixel is a hole and contributes nothing, filled values do not spread.
    cv::Mat sparse(7, 7, CV_32F, cv::Scalar(-1));
    sparse.at<float>(3, 4) = 0;
    sparse.at<float>(6, 6) = 100;
    sl::inpaintInvalidWithGaussianBlur(sparse, out, 3);
    EXPECT_NEAR(out.at<float>(3, 3), 2.2361969, 1e-4);
    // Both valid pixels lie outside the 7 x 7 window of (0, 0).
    EXPECT_EQ(out.at<float>(0, 0), -1.0f);

    // In place gives the same as into a new image.
    cv::Mat inPlace = sparse.clone();
    sl::inpaintInvalidWithGaussianBlur(inPlace, inPlace, 3);
    EXPECT_EQ(cv::norm(inPlace, out, cv::NORM_INF), 0.0);
}

TEST(StructuredLightInpaint, RejectsOtherTypesWithTheLibraryAssertion)
{
    cv::Mat out;
    for (const cv::Mat& wrong : { cv::Mat(3, 3, CV_64F, cv::Scalar(0)), cv::Mat(3, 3, CV_32FC2), cv::Mat() }) {
        try {
            sl::inpaintInvalidWithGaussianBlur(wrong, out, 3);
            ADD_FAILURE() << "no exception for type " << wrong.type();
        } catch (const cv::Exception& e) {
            EXPECT_EQ(e.code, cv::Error::StsAssert);
            EXPECT_EQ(e.err, "input.type() == CV_32F");
            EXPECT_EQ(e.func, "sl::inpaintInvalidWithGaussianBlur");
        }
    }
}
