#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
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

// Share of the pixels the truth marks as lit whose decoded column and row are within one
// projector pixel of the true ones. value(r, c, channel) gives the decoded coordinate or NaN.
template<typename Decoded>
double correctShare(const Decoded& value, const cv::Mat& tx, const cv::Mat& ty, long& lit)
{
    long correct = 0;
    lit = 0;
    for (int r = 0; r < tx.rows; ++r)
        for (int c = 0; c < tx.cols; ++c) {
            if (std::isnan(tx.at<float>(r, c)))
                continue;
            ++lit;
            const double ex = std::abs(value(r, c, 0) - std::round(tx.at<float>(r, c)));
            const double ey = std::abs(value(r, c, 1) - std::round(ty.at<float>(r, c)));
            correct += ex <= 1.0 && ey <= 1.0; // false for NaN
        }
    return lit ? double(correct) / double(lit) : 0.0;
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

    QTemporaryDir empty;
    r = run({"patterns", "--projector", "1024x0", "--workdir", empty.path()});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err, "vantiro-cli patterns: --projector must be WIDTHxHEIGHT in pixels (1..999999 each), not "
                     "\"1024x0\"\n");
    r = run({"patterns", "--workdir", empty.path()});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err, "vantiro-cli patterns: no projector resolution given: use --projector WIDTHxHEIGHT\n");
    EXPECT_TRUE(QDir(empty.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());
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
    long lit = 0;
    const double share16 = correctShare(
        [&](int row, int col, int channel) {
            const uint16_t v = (channel ? dy : dx).at<uint16_t>(row, col);
            return v == 65535 ? std::nan("") : double(v);
        },
        tx, ty, lit);
    EXPECT_GT(lit, 10000);
    EXPECT_GT(share16, 0.97);

    // Float output, by a list of files in sequence order (natural, not alphabetical).
    QStringList files;
    for (int i = 0; i < 26; ++i)
        files << set + QString("/%1.png").arg(i);
    r = run(QStringList{"decode", "--projector", "64x48", "--float", "--output", work.path() + "/float"} + files);
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    const cv::Mat fx = load(work.path() + "/float/decoded_x.tiff"), fy = load(work.path() + "/float/decoded_y.tiff");
    ASSERT_EQ(fx.type(), CV_32FC1);
    const double shareFloat = correctShare(
        [&](int row, int col, int channel) { return double((channel ? fy : fx).at<float>(row, col)); }, tx, ty, lit);
    EXPECT_DOUBLE_EQ(shareFloat, share16);
    long undecoded = 0;
    for (int row = 0; row < fx.rows; ++row)
        for (int col = 0; col < fx.cols; ++col)
            undecoded += std::isnan(fx.at<float>(row, col)) == (dx.at<uint16_t>(row, col) == 65535) ? 0 : 1;
    EXPECT_EQ(undecoded, 0) << "NaN and 65535 mark the same pixels";

    // A set that does not fit the resolution: refused, nothing written.
    QTemporaryDir short_;
    r = run(QStringList{"decode", "--projector", "64x48", "--workdir", short_.path()} + files.mid(0, 25));
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err, "vantiro-cli decode: the set has 25 images, but a 64x48 projector needs 26\n");
    r = run({"decode", "--projector", "1024x768", "--workdir", short_.path(), set});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err, "vantiro-cli decode: the set has 26 images, but a 1024x768 projector needs 42\n");
    EXPECT_TRUE(QDir(short_.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());
}
