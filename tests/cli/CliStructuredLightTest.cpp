#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <opencv2/imgcodecs.hpp>

#include <cmath>

#include "CliTestSupport.h"

using namespace cli_test;

namespace {

cv::Mat load(const QString& path)
{
    return cv::imread(path.toStdString(), cv::IMREAD_UNCHANGED);
}

// Share of the pixels the truth marks as lit (not NaN) whose decoded column and row (float, NaN
// where undecoded) are within one projector pixel of the true ones.
double correctShare(const cv::Mat& x, const cv::Mat& y, const cv::Mat& tx, const cv::Mat& ty)
{
    cv::Mat rx, ry;
    tx.convertTo(rx, CV_32S);
    ty.convertTo(ry, CV_32S);
    rx.convertTo(rx, CV_32F);
    ry.convertTo(ry, CV_32F);
    const cv::Mat lit = tx == tx, correct = (cv::abs(x - rx) <= 1.0) & (cv::abs(y - ry) <= 1.0) & lit;
    return double(cv::countNonZero(correct)) / double(cv::countNonZero(lit));
}

// A 16-bit decoded image as float, 65535 (undecoded) as NaN.
cv::Mat asFloat(const cv::Mat& decoded)
{
    cv::Mat f;
    decoded.convertTo(f, CV_32F);
    f.setTo(std::nan(""), decoded == 65535);
    return f;
}

} // namespace

TEST(CliStructuredLight, PatternsWriteTheGrayCodeSequence)
{
    QTemporaryDir work;
    CliRun r = run({"patterns", "--projector", "40x20", "--workdir", work.path()});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    const QString folder = work.path() + "/GrayCodeImages_40_20";
    EXPECT_EQ(r.out, "Saved 24 Gray-Code images to:\n" + folder + "\n\n");
    // 6 column bits and 5 row bits: white, black and 2 x 11 patterns.
    const QStringList files = filesIn(folder);
    ASSERT_EQ(files.size(), 24);
    EXPECT_EQ(files.first(), "00.png");
    EXPECT_EQ(files.last(), "23.png");
    const cv::Mat white = load(folder + "/00.png"), black = load(folder + "/01.png");
    ASSERT_EQ(white.type(), CV_8UC1);
    EXPECT_EQ(white.size(), cv::Size(40, 20));
    EXPECT_EQ(cv::countNonZero(white), 800);
    EXPECT_EQ(cv::countNonZero(black), 0);
    // The most significant column bit with the code centred (offset 12): columns 0..19 unset.
    const cv::Mat msb = load(folder + "/02.png"), inverse = load(folder + "/03.png");
    EXPECT_EQ(msb.at<uint8_t>(5, 19), 0);
    EXPECT_EQ(msb.at<uint8_t>(5, 20), 255);
    EXPECT_EQ(cv::countNonZero(msb != inverse), 800);

    // The resolution of a settings file (the data set's projector).
    r = run({"patterns", "--workdir", work.path(), "--settings", dataSet()});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(filesIn(work.path() + "/GrayCodeImages_64_48").size(), 26);
}

TEST(CliStructuredLight, DecodeWritesCoordinatesAndDisplayImages)
{
    QTemporaryDir work;
    const QString set = dataSet() + "/projector/set_00";
    CliRun r = run({"decode", "--projector", "64x48", "--workdir", work.path(), set});
    ASSERT_EQ(r.code, 0) << r.err.toStdString() << r.out.toStdString();
    const QString out = work.path() + "/set_00_decoded";
    EXPECT_TRUE(r.out.startsWith("Decoding 26 images for a 64x48 projector...\nDecoded "));
    EXPECT_EQ(filesIn(out), QStringList({"decoded_x.png", "decoded_x_colour.png", "decoded_y.png",
                                         "decoded_y_colour.png", "mask_overlay.png", "projector_view.png"}));
    const cv::Mat dx = load(out + "/decoded_x.png"), dy = load(out + "/decoded_y.png");
    ASSERT_EQ(dx.type(), CV_16UC1);
    ASSERT_EQ(dx.size(), cv::Size(480, 360));
    EXPECT_EQ(load(out + "/decoded_x_colour.png").type(), CV_8UC3);
    EXPECT_EQ(load(out + "/projector_view.png").size(), cv::Size(64, 48));

    const cv::Mat tx = load(dataSet() + "/projector/set_00_truth_x.tiff");
    const cv::Mat ty = load(dataSet() + "/projector/set_00_truth_y.tiff");
    ASSERT_EQ(tx.type(), CV_32FC1);
    EXPECT_GT(cv::countNonZero(tx == tx), 10000);
    const double share16 = correctShare(asFloat(dx), asFloat(dy), tx, ty);
    EXPECT_GT(share16, 0.97);

    // Float output, by a list of files in sequence order (natural, not alphabetical): the same
    // pixels decoded, NaN where the 16-bit images hold 65535.
    QStringList files;
    for (int i = 0; i < 26; ++i)
        files << set + QString("/%1.png").arg(i);
    r = run(QStringList{"decode", "--projector", "64x48", "--float", "--output", work.path() + "/float"} + files);
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    const cv::Mat fx = load(work.path() + "/float/decoded_x.tiff"), fy = load(work.path() + "/float/decoded_y.tiff");
    ASSERT_EQ(fx.type(), CV_32FC1);
    EXPECT_DOUBLE_EQ(correctShare(fx, fy, tx, ty), share16);
    EXPECT_EQ(cv::countNonZero((fx == fx) == (dx == 65535)), 0); // fx == fx: not NaN
}
