#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "Common/StructuredLight.h"
#include "GrayCodeSequence.h"

// Images of their own (not one shared buffer), to be changed one by one.
static std::vector<cv::Mat> copies(int count, const cv::Size& size, int value)
{
    std::vector<cv::Mat> images(count);
    for (cv::Mat& image : images)
        image = cv::Mat(size, CV_8UC1, cv::Scalar(value));
    return images;
}

TEST(StructuredLightDecode, IdealCaptureDecodesEveryPixelToItsOwnProjectorPixelOrRawCode)
{
    // 70000 columns need 17 bits: codes longer than two bytes.
    for (const cv::Size projector : { cv::Size(1024, 768), cv::Size(200, 150), cv::Size(70000, 2) }) {
        const std::vector<cv::Mat> images = graySequence(projector);
        const int ox = sl::grayCodeOffset(projector.width), oy = sl::grayCodeOffset(projector.height);
        const cv::Mat light = sl::estimate_direct_light({ images[2], images[3], images[4], images[5] }, 0.7f);
        for (const unsigned flags : { 0u, sl::DECODE_GRAY, sl::DECODE_GRAY | sl::DECODE_ROBUST }) {
            cv::Mat decoded;
            ASSERT_TRUE(sl::decode_pattern(images, decoded, projector, flags, light, 5));
            ASSERT_TRUE(decoded.type() == CV_32FC2 && decoded.size() == projector);
            int wrong = 0;
            for (int y = 0; y < projector.height; ++y)
                for (int x = 0; x < projector.width; ++x)
                    wrong += decoded.at<cv::Vec2f>(y, x) != (flags ? cv::Vec2f(x, y) : cv::Vec2f(gray(x + ox), gray(y + oy)));
            EXPECT_EQ(wrong, 0) << projector << " flags " << flags;
        }
    }

    // Equal values give bit 0: Gray code 0 is column 0 and row 0 - offset, clamped to 0
    // (projector 8 x 6: 3 + 3 bits, row offset 1).
    cv::Mat decoded;
    ASSERT_TRUE(sl::decode_pattern(copies(14, cv::Size(5, 4), 128), decoded, cv::Size(8, 6), sl::DECODE_GRAY, cv::Mat(), 5));
    EXPECT_EQ(cv::countNonZero(decoded.reshape(1) != 0), 0);
}

TEST(StructuredLightDecode, RobustClassification)
{
    // Projector 2 x 2: one bit per axis; images white, black, column pair, row pair. Camera
    // pixels (one row) probe the rules; the direct/global light image is given directly.
    // Ld, Lg, column pair, row pair, expected column and row (-1: NaN).
    const int probes[][8] = {
        { 4, 0, 200, 10, 200, 10, -1, -1 },   // too little direct light
        { 5, 0, 200, 10, 10, 200, 1, 0 },     // Ld = m is enough; Ld > Lg: plain comparison
        { 20, 100, 10, 120, 10, 100, 0, 0 },  // v1 <= Ld and v2 >= Lg: 0
        { 20, 100, 120, 10, 100, 20, 1, 1 },  // v1 >= Lg and v2 <= Ld: 1
        { 20, 100, 50, 60, 120, 10, -1, 1 },  // between the levels: that channel alone is lost
        { 30, 30, 30, 30, 31, 30, 0, 1 },     // Ld = Lg: 30 <= 30 and 30 >= 30 gives 0; 31/30 gives 1
        { 13, 255, 231, 227, 229, 229, -1, -1 }, // nearly constant bright pixel (saturated Lg): lost, not a guess
        { 20, 100, 120, 50, 10, 50, -1, -1 }, // only one half of each rule holds: lost
    };
    const int count = int(std::size(probes));
    // Each probe once (the per-pixel path), then each repeated 17 times so that the vector path
    // sees every probe in every lane position, with a tail for the per-pixel path.
    for (const int repeat : { 1, 17 }) {
        const int width = count * repeat;
        std::vector<cv::Mat> images = copies(6, cv::Size(width, 1), 0);
        cv::Mat light(1, width, CV_8UC2);
        for (int x = 0; x < width; ++x) {
            const int* probe = probes[x / repeat];
            light.at<cv::Vec2b>(0, x) = cv::Vec2b(probe[0], probe[1]);
            for (int k = 0; k < 4; ++k)
                images[2 + k].at<uint8_t>(0, x) = probe[2 + k];
        }
        cv::Mat decoded;
        ASSERT_TRUE(sl::decode_pattern(images, decoded, cv::Size(2, 2), sl::DECODE_ROBUST, light, 5));
        cv::patchNaNs(decoded, -1);
        for (int x = 0; x < width; ++x)
            for (int ch = 0; ch < 2; ++ch)
                EXPECT_EQ(decoded.at<cv::Vec2f>(0, x)[ch], probes[x / repeat][6 + ch])
                    << "probe " << x / repeat << " pixel " << x << " channel " << ch;
    }
    // A channel once NaN stays NaN even when its later bits are certain: 4 x 4 projector,
    // first column bit uncertain, second certain.
    std::vector<cv::Mat> four = copies(10, cv::Size(1, 1), 0);
    four[2] = 50, four[3] = 60, four[4] = 120;
    cv::Mat decoded;
    ASSERT_TRUE(sl::decode_pattern(four, decoded, cv::Size(4, 4), 3, cv::Mat(1, 1, CV_8UC2, cv::Scalar(20, 100)), 5));
    EXPECT_TRUE(std::isnan(decoded.at<cv::Vec2f>(0, 0)[0]));
}

TEST(StructuredLightDecode, CodesBeyondTheProjectorClampInBothPaths)
{
    // A camera that sees the sequence of a 32 x 8 projector, decoded as a 20 x 8 projector (the same
    // 5 + 3 bits): column codes below the offset 6 must give 0, those past 6 + 19 give 19. Three
    // copies side by side and a 5-pixel tail run the vector path; single pixels the per-pixel one.
    const std::vector<cv::Mat> seen = graySequence(cv::Size(32, 8));
    const cv::Size projector(20, 8);
    ASSERT_EQ(sl::grayCodeOffset(projector.width), 6);
    std::vector<cv::Mat> wide(seen.size());
    for (size_t i = 0; i < seen.size(); ++i)
        cv::hconcat(std::vector<cv::Mat>{ seen[i], seen[i], seen[i], seen[i].colRange(0, 5) }, wide[i]);
    const cv::Mat light = sl::estimate_direct_light({ wide[2], wide[3], wide[4], wide[5] }, 0.7f);
    for (const unsigned flags : { sl::DECODE_GRAY, sl::DECODE_GRAY | sl::DECODE_ROBUST }) {
        cv::Mat decoded;
        ASSERT_TRUE(sl::decode_pattern(wide, decoded, projector, flags, light, 5));
        int wrong = 0;
        for (int y = 0; y < 8; ++y)
            for (int x = 0; x < decoded.cols; ++x)
                wrong += decoded.at<cv::Vec2f>(y, x) != cv::Vec2f(float(std::clamp(x % 32 - 6, 0, 19)), float(y));
        EXPECT_EQ(wrong, 0) << "flags " << flags;
        for (int x = 0; x < 32; ++x) {
            std::vector<cv::Mat> column(seen.size());
            for (size_t i = 0; i < seen.size(); ++i)
                column[i] = seen[i].col(x).clone();
            cv::Mat single;
            ASSERT_TRUE(sl::decode_pattern(column, single, projector, flags, light.col(x).clone(), 5));
            for (int y = 0; y < 8; ++y)
                EXPECT_EQ(single.at<cv::Vec2f>(y, 0), decoded.at<cv::Vec2f>(y, x)) << "column " << x << " flags " << flags;
        }
    }
}

TEST(StructuredLightDecode, SequenceErrorsAreReportedOnStandardOutput)
{
    const cv::Size projector(64, 48); // 6 + 6 bits: 26 images
    const std::vector<cv::Mat> images = graySequence(projector);
    const cv::Mat light = sl::estimate_direct_light({ images[2], images[3], images[4], images[5] }, 0.7f);
    const auto expectFailure = [&](const std::vector<cv::Mat>& sequence, const cv::Size& size, const cv::Mat& direct,
                                   const std::string& message) {
        cv::Mat decoded(2, 2, CV_32FC2, cv::Scalar(1, 1));
        testing::internal::CaptureStdout();
        EXPECT_FALSE(sl::decode_pattern(sequence, decoded, size, 3, direct, 5)) << message;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), message);
        EXPECT_TRUE(decoded.empty()) << message;
    };
    expectFailure(images, cv::Size(0, 48), light, "Decoding error: Invalid projector resolution 0x48.\n");
    expectFailure({ images.begin(), images.end() - 1 }, projector, light,
                  "Decoding error: Projector resolution does not correspond to the number of images in the Gray code "
                  "sequence.\n");
    std::vector<cv::Mat> changed = images;
    changed[3] = cv::Mat(24, 32, CV_8UC1, cv::Scalar(0)); // the first pair fixes the size
    expectFailure(changed, projector, light, "Decoding error: Images in the Gray code sequence must have the same size!\n");
    // Robust decoding needs a light estimate of the camera's size (the plain comparison none).
    for (const cv::Mat& wrongLight : { cv::Mat(), cv::Mat(10, 10, CV_8UC2, cv::Scalar(0, 0)) })
        expectFailure(images, projector, wrongLight, "[decode_pattern]  --> Direct Component image has different size: \n");
    // In memory, an empty image is an image that could not be loaded.
    changed = images;
    changed[17] = cv::Mat();
    expectFailure(changed, projector, light, "Decoding error: Couldn't load image 17\n");

    // Later pairs of another size are skipped and keep their bit 0: pair 10 is column bit 1,
    // pair 22 row bit 1 (rows start at image 14, offset 8).
    changed = images;
    changed[10] = cv::Mat(48, 63, CV_8UC1, cv::Scalar(255));
    changed[23] = cv::Mat(47, 64, CV_8UC1, cv::Scalar(255));
    cv::Mat decoded;
    testing::internal::CaptureStdout();
    EXPECT_TRUE(sl::decode_pattern(changed, decoded, projector, 0, light, 5));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "[decode_pattern]  --> Image 1 has different size, image pair 10 (skipped!)\n"
              "[decode_pattern]  --> Image 2 has different size, image pair 22 (skipped!)\n");
    EXPECT_EQ(decoded.at<cv::Vec2f>(5, 7), cv::Vec2f(float(gray(7) & ~2), float(gray(5 + 8) & ~2)));
}

TEST(StructuredLightConvert, GrayToProjectorCoordinatesWithOffsetsAndClamping)
{
    // Projector 1024 x 768, offsets 0 and 128. Below the offset gives 0, beyond the end 767;
    // fractions and NaN (here -1 after the conversion) stay.
    cv::Mat codes = (cv::Mat_<cv::Vec2f>(1, 6) << cv::Vec2f(gray(1023), gray(5 + 128)), cv::Vec2f(gray(0), gray(10)),
                     cv::Vec2f(gray(7) + 0.25f, gray(1000)), cv::Vec2f(NAN, gray(128)), cv::Vec2f(gray(512), gray(895)),
                     cv::Vec2f(gray(513), NAN));
    const float expected[] = { 1023, 5, 0, 0, 7.25f, 767, -1, 0, 512, 767, 513, -1 };
    sl::convert_pattern(codes, cv::Size(1024, 768), 0, 128, false);
    cv::patchNaNs(codes, -1);
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(codes.ptr<float>()[i], expected[i]) << "value " << i;
}

TEST(StructuredLightLight, DirectAndGlobalComponents)
{
    // Pixels (min, max) over the images: (180, 200), (20, 200), (189, 201), (227, 231), (100, 100).
    const cv::Mat low = (cv::Mat_<uint8_t>(1, 5) << 180, 20, 189, 227, 100);
    const cv::Mat high = (cv::Mat_<uint8_t>(1, 5) << 200, 200, 201, 231, 100);
    const cv::Mat between = low / 2 + high / 2;
    const std::vector<cv::Mat> images = { between, between, low, between, high, between };
    // Lg = trunc((min - 0.7 max) * 2 / 0.51), Ld = trunc((max - min) / 0.3); without a global
    // part the brightest value is the direct one; Lg = 256 saturates to 255 (wrapping would
    // store 0 and let Ld = 13 > Lg decide by noise).
    const cv::Mat expected = (cv::Mat_<cv::Vec2b>(1, 5) << cv::Vec2b(66, 156), cv::Vec2b(200, 0), cv::Vec2b(39, 189),
                              cv::Vec2b(13, 255), cv::Vec2b(0, 117));
    EXPECT_EQ(cv::norm(sl::estimate_direct_light(images, 0.7f), expected, cv::NORM_INF), 0);
    // Only the first ten images count.
    std::vector<cv::Mat> eleven = copies(11, cv::Size(1, 1), 200);
    eleven[3] = 180, eleven[10] = 0;
    EXPECT_EQ(sl::estimate_direct_light(eleven, 0.7f).at<cv::Vec2b>(0, 0), cv::Vec2b(66, 156));
    EXPECT_TRUE(sl::estimate_direct_light({}, 0.7f).empty());
    for (const cv::Mat& wrong : { cv::Mat(1, 5, CV_8UC3), cv::Mat(2, 5, CV_8UC1), cv::Mat() })
        EXPECT_TRUE(sl::estimate_direct_light({ images[0], wrong }, 0.7f).empty());
    EXPECT_TRUE(sl::estimate_direct_light(images, 1.0f).empty());
}

TEST(StructuredLightInpaint, FillsHolesWithTheGaussianMeanOfValidNeighboursOnly)
{
    // Radius 1 (sigma 0.5): corner weights are e^-2 of the edge weights. Left column 10,
    // the rest 0: 10 (2 e^-2 + 1) / (4 e^-2 + 4); valid pixels stay.
    cv::Mat out;
    sl::inpaintInvalidWithGaussianBlur((cv::Mat_<float>(3, 3) << 10, 0, 0, 10, -1, 0, 10, 0, 0), out, 1);
    EXPECT_NEAR(out.at<float>(1, 1), 2.7980073, 1e-5);
    EXPECT_EQ(out.at<float>(0, 0), 10.0f);
    // At the border only the neighbours inside the image count.
    sl::inpaintInvalidWithGaussianBlur((cv::Mat_<float>(3, 3) << -1, 4, -1, 8, 100, -1, -1, -1, -1), out, 1);
    EXPECT_NEAR(out.at<float>(0, 0), 11.9576202, 1e-4);
    // Radius 3 (sigma 1.5): neighbours at (0, 1) = 0 and (3, 3) = 100; holes contribute
    // nothing and filled values do not spread. (0, 0) has no valid pixel in its window.
    cv::Mat sparse(7, 7, CV_32F, cv::Scalar(-1));
    sparse.at<float>(3, 4) = 0, sparse.at<float>(6, 6) = 100;
    sl::inpaintInvalidWithGaussianBlur(sparse, out, 3);
    EXPECT_NEAR(out.at<float>(3, 3), 2.2361969, 1e-4);
    EXPECT_EQ(out.at<float>(0, 0), -1.0f);
    sl::inpaintInvalidWithGaussianBlur(sparse, sparse, 3); // in place
    EXPECT_EQ(cv::norm(sparse, out, cv::NORM_INF), 0.0);

    for (const cv::Mat& wrong : { cv::Mat(3, 3, CV_64F, cv::Scalar(0)), cv::Mat(3, 3, CV_32FC2), cv::Mat() }) {
        try {
            sl::inpaintInvalidWithGaussianBlur(wrong, out, 3);
            ADD_FAILURE() << "no exception for type " << wrong.type();
        } catch (const cv::Exception& e) {
            EXPECT_EQ(e.code, cv::Error::StsAssert);
            EXPECT_EQ(e.func + ": " + e.err, "sl::inpaintInvalidWithGaussianBlur: input.type() == CV_32F");
        }
    }
}
