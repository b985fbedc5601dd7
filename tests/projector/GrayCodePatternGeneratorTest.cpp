#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <opencv2/imgcodecs.hpp>

#include "GrayCodeSequence.h"
#include "app/LogSink.h"

TEST(GrayCodePatternGenerator, WhiteBlackThenCentredGrayCodePairsMostSignificantFirst)
{
    struct Case { int cols, rows, columnBits, rowBits, columnOffset, rowOffset; };
    // Offsets (2^bits - extent) / 2 round down; one pixel still takes one bit.
    for (const Case& c : { Case{ 800, 600, 10, 10, 112, 212 }, Case{ 1024, 768, 10, 10, 0, 128 },
                           Case{ 1025, 3, 11, 2, 511, 0 }, Case{ 2, 5, 1, 3, 0, 1 }, Case{ 1, 1, 1, 1, 0, 0 } }) {
        GrayCodePatternGenerator generator(c.rows, c.cols);
        const int n = 2 * (c.columnBits + c.rowBits) + 2;
        ASSERT_EQ((cv::Vec<int, 5>(generator.columnBits(), generator.rowBits(), generator.columnOffset(),
                                   generator.rowOffset(), generator.imageCount())),
                  (cv::Vec<int, 5>(c.columnBits, c.rowBits, c.columnOffset, c.rowOffset, n))) << c.cols << "x" << c.rows;
        for (int k = 0; k < n; ++k) {
            // Pair p >= 0 carries column bit columnBits - 1 - p, then the row bits.
            const int p = k / 2 - 1, bit = p < c.columnBits ? c.columnBits - 1 - p : c.columnBits + c.rowBits - 1 - p;
            cv::Mat expected(c.rows, c.cols, CV_8UC1);
            expected.forEach<uint8_t>([&](uint8_t& value, const int* yx) {
                const int code = gray(p < c.columnBits ? yx[1] + c.columnOffset : yx[0] + c.rowOffset);
                value = (k < 2 ? k == 0 : ((code >> bit) & 1) != k % 2) ? 255 : 0;
            });
            ASSERT_EQ(cv::countNonZero(generator.nextImage() != expected), 0) << c.cols << "x" << c.rows << " image " << k;
        }
        EXPECT_EQ(generator.index(), n - 1);
        EXPECT_TRUE(generator.nextImage().empty() && generator.nextImage().empty()) << "the sequence stays over";
    }
    // The largest resolution the main window allows: counting needs no image memory.
    EXPECT_EQ(GrayCodePatternGenerator(999999, 999999).imageCount(), 82);

    // Both masks: set where either code has its bit. Columns g(0..3) & 1 = 0 1 1 0, rows g(0..1) & 1 = 0 1.
    const cv::Mat both = GrayCodePatternGenerator::buildPattern(2, 4, 1, 0, 1, 0, false);
    EXPECT_EQ(cv::countNonZero(both != (cv::Mat_<uint8_t>(2, 4) << 0, 255, 255, 0, 255, 255, 255, 255)), 0);
    EXPECT_TRUE(GrayCodePatternGenerator::buildPattern(4, 4, -1, 0, 0, 0, false).empty()
                && GrayCodePatternGenerator::buildPattern(4, 4, 0, 0, -2, 0, true).empty());
}

TEST(GrayCodePatternGenerator, GenerateActionAsksWritesNumberedFilesAndLogs)
{
    QTemporaryDir dir;
    bool yes = false;
    QString title, text; // of the last question
    const auto confirm = [&](const QString& t, const QString& x) {
        title = t;
        text = x;
        return yes;
    };
    vantiro::RecordingLogSink log;
    EXPECT_EQ(generateGrayCodeImages(QString(), 64, 48, log, confirm), -1);
    EXPECT_EQ(generateGrayCodeImages(dir.path() + "/missing", 64, 48, log, confirm), -1);
    ASSERT_EQ(log.segments.size(), 2u);
    EXPECT_EQ(log.segments[0].text, "Please specify a working directory before generating Gray-Code images. The images "
                                    "will be generated in <Working Directory>/GrayCodeImages_<width>_<height>/\n\n");
    EXPECT_EQ(log.segments[0].color, vantiro::logcolor::Default);
    EXPECT_EQ(log.segments[1].text, "Warning: " + dir.path() + "/missing is not a directory. Aborting.\n\n");
    EXPECT_EQ(log.segments[1].color, vantiro::logcolor::Orange);
    EXPECT_TRUE(title.isEmpty()) << "nothing to ask about";

    const QString folder = dir.path() + "/GrayCodeImages_64_48";
    EXPECT_EQ(generateGrayCodeImages(dir.path(), 64, 48, log, confirm), -1);
    EXPECT_EQ(title, "Generate Gray-Code Projector Images (64x48 px)");
    EXPECT_EQ(text, "Writing Gray-Code sequence with 26 images to:\n\n" + folder + "\n\nContinue?");
    EXPECT_TRUE(log.segments.size() == 2u && !QFile::exists(folder)) << "declined: nothing logged or written";

    // Stale files of an earlier, longer run: the first is overwritten, the extra one stays.
    ASSERT_TRUE(QDir().mkpath(folder));
    for (const char* stale : { "/00.png", "/99.png" })
        ASSERT_TRUE(cv::imwrite((folder + stale).toStdString(), cv::Mat(3, 3, CV_8UC1, cv::Scalar(7))));
    yes = true;
    vantiro::RecordingLogSink saved;
    ASSERT_EQ(generateGrayCodeImages(dir.path(), 64, 48, saved, confirm), 26);
    EXPECT_EQ(saved.text(), "Saved 26 Gray-Code images to:\n" + folder + "\n\n");
    const std::vector<cv::Mat> expected = graySequence(cv::Size(64, 48));
    for (int i = 0; i < 26; ++i)
        ASSERT_EQ(cv::countNonZero(cv::imread(QString("%1/%2.png").arg(folder).arg(i, 2, 10, QChar('0')).toStdString(),
                                              cv::IMREAD_UNCHANGED) != expected[i]), 0) << "image " << i;
    EXPECT_EQ(QDir(folder).entryList(QDir::Files).size(), 27) << "00.png to 25.png and the stale 99.png";

    // A file where the folder should be: nothing can be written.
    ASSERT_TRUE(QFile(grayCodeFolder(dir.path(), 8, 8)).open(QIODevice::WriteOnly));
    EXPECT_EQ(writeGrayCodeImages(grayCodeFolder(dir.path(), 8, 8), 8, 8), -1);
}
