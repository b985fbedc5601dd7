#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <opencv2/imgcodecs.hpp>

#include <vector>

#include "app/LogSink.h"
#include "projector/GrayCodePatternGenerator.h"
#include "support/TestSupport.h"

namespace {

std::vector<cv::Mat> wholeSequence(int rows, int cols)
{
    GrayCodePatternGenerator generator(rows, cols);
    std::vector<cv::Mat> images;
    for (int i = 0; i < generator.imageCount(); ++i)
        images.push_back(generator.nextImage());
    return images;
}

// The code a column carries: bits read from the first row of the column patterns, most
// significant first (value 255 in the pattern image = bit set).
int columnCode(const std::vector<cv::Mat>& images, int columnBits, int x)
{
    int code = 0;
    for (int i = 0; i < columnBits; ++i)
        code = (code << 1) | (images[2 + 2 * i].at<uint8_t>(0, x) == 255 ? 1 : 0);
    return code;
}

int rowCode(const std::vector<cv::Mat>& images, int columnBits, int rowBits, int y)
{
    int code = 0;
    for (int i = 0; i < rowBits; ++i)
        code = (code << 1) | (images[2 + 2 * columnBits + 2 * i].at<uint8_t>(y, 0) == 255 ? 1 : 0);
    return code;
}

int grayToBinary(int g)
{
    int b = 0;
    for (; g; g >>= 1)
        b ^= g;
    return b;
}

} // namespace

TEST(GrayCodePatternGenerator, BitCountsOffsetsAndImageCount)
{
    const GrayCodePatternGenerator standard(768, 1024);
    EXPECT_EQ(standard.columnBits(), 10);
    EXPECT_EQ(standard.rowBits(), 10);
    EXPECT_EQ(standard.columnOffset(), 0);
    EXPECT_EQ(standard.rowOffset(), 128);
    EXPECT_EQ(standard.imageCount(), 42);

    const GrayCodePatternGenerator wide(600, 800);
    EXPECT_EQ(wide.columnBits(), 10);
    EXPECT_EQ(wide.columnOffset(), 112);
    EXPECT_EQ(wide.rowOffset(), 212);

    EXPECT_EQ(GrayCodePatternGenerator(1, 1025).columnBits(), 11);
    EXPECT_EQ(GrayCodePatternGenerator(1, 1).columnBits(), 1);
    EXPECT_EQ(GrayCodePatternGenerator(1, 2).columnBits(), 1);
    EXPECT_EQ(GrayCodePatternGenerator(1, 3).columnBits(), 2);
    EXPECT_EQ(GrayCodePatternGenerator(1, 1).columnOffset(), 0);  // (2 - 1) / 2
    EXPECT_EQ(GrayCodePatternGenerator(1, 3).columnOffset(), 0);  // (4 - 3) / 2
    EXPECT_EQ(GrayCodePatternGenerator(1, 5).columnOffset(), 1);  // (8 - 5) / 2
    EXPECT_EQ(GrayCodePatternGenerator(1, 2).imageCount(), 6);
    // The largest resolution the main window allows: counting needs no image memory.
    EXPECT_EQ(GrayCodePatternGenerator(999999, 999999).imageCount(), 82);
}

TEST(GrayCodePatternGenerator, SequenceHasWhiteBlackThenPairsAndEnds)
{
    GrayCodePatternGenerator generator(768, 1024);
    EXPECT_EQ(generator.index(), -1);
    std::vector<cv::Mat> images;
    for (int i = 0; i < 42; ++i) {
        images.push_back(generator.nextImage());
        ASSERT_EQ(images.back().type(), CV_8UC1) << "image " << i;
        ASSERT_EQ(images.back().size(), cv::Size(1024, 768)) << "image " << i;
    }
    EXPECT_EQ(generator.index(), 41);
    EXPECT_TRUE(generator.nextImage().empty());
    EXPECT_TRUE(generator.nextImage().empty());

    EXPECT_EQ(cv::countNonZero(images[0] != 255), 0);
    EXPECT_EQ(cv::countNonZero(images[1]), 0);

    // Image 2 carries the most significant column bit: g(x) has bit 9 set from x = 512 on.
    const cv::Mat image2 = images[2];
    EXPECT_EQ(cv::countNonZero(image2(cv::Rect(0, 0, 512, 768))), 0);
    EXPECT_EQ(cv::countNonZero(image2(cv::Rect(512, 0, 512, 768)) != 255), 0);

    // Every pair is a pattern and its exact inverse; column patterns are constant down
    // each column, row patterns along each row.
    for (int k = 2; k < 42; k += 2) {
        cv::Mat sum;
        cv::add(images[k], images[k + 1], sum, cv::noArray(), CV_16U);
        EXPECT_EQ(cv::countNonZero(sum != 255), 0) << "pair " << k;
        for (int j = k; j <= k + 1; ++j) {
            const bool columnPattern = j < 22;
            const cv::Mat line = columnPattern ? images[j].row(0) : images[j].col(0);
            cv::Mat repeated = columnPattern ? cv::repeat(line, 768, 1) : cv::repeat(line, 1, 1024);
            EXPECT_EQ(cv::countNonZero(repeated != images[j]), 0) << "image " << j;
        }
    }
}

TEST(GrayCodePatternGenerator, PatternsCarryCentredGrayCodesWithOneBitSteps)
{
    // 800 x 600: column x carries g(x + 112), row y carries g(y + 212).
    const std::vector<cv::Mat> images = wholeSequence(600, 800);
    ASSERT_EQ(images.size(), 42u);
    for (int x = 0; x < 800; ++x) {
        const int code = columnCode(images, 10, x);
        ASSERT_EQ(grayToBinary(code), x + 112) << "column " << x;
        if (x > 0) {
            const int change = code ^ columnCode(images, 10, x - 1);
            ASSERT_TRUE(change != 0 && (change & (change - 1)) == 0) << "columns " << x - 1 << " and " << x;
        }
    }
    for (int y = 0; y < 600; ++y) {
        const int code = rowCode(images, 10, 10, y);
        ASSERT_EQ(grayToBinary(code), y + 212) << "row " << y;
        if (y > 0) {
            const int change = code ^ rowCode(images, 10, 10, y - 1);
            ASSERT_TRUE(change != 0 && (change & (change - 1)) == 0) << "rows " << y - 1 << " and " << y;
        }
    }
}

TEST(GrayCodePatternGenerator, NarrowProjectors)
{
    // Width 2: one column bit, the pair splits the image into a black and a white half.
    const std::vector<cv::Mat> two = wholeSequence(4, 2);
    ASSERT_EQ(two.size(), 2u * (1 + 2) + 2);
    EXPECT_EQ(two[2].at<uint8_t>(0, 0), 0);
    EXPECT_EQ(two[2].at<uint8_t>(3, 1), 255);
    EXPECT_EQ(two[3].at<uint8_t>(0, 0), 255);
    EXPECT_EQ(two[3].at<uint8_t>(3, 1), 0);

    // Width 1: the column pair is constant (code g(0) = 0: pattern black, inverse white).
    const std::vector<cv::Mat> one = wholeSequence(4, 1);
    ASSERT_EQ(one.size(), 2u * (1 + 2) + 2);
    EXPECT_EQ(cv::countNonZero(one[2]), 0);
    EXPECT_EQ(cv::countNonZero(one[3] != 255), 0);
}

TEST(GrayCodePatternGenerator, BuilderMasksAndInversion)
{
    EXPECT_TRUE(GrayCodePatternGenerator::buildPattern(4, 4, -1, 0, 0, 0, false).empty());
    EXPECT_TRUE(GrayCodePatternGenerator::buildPattern(4, 4, 0, 0, -2, 0, true).empty());

    // Both masks: set where either code has its bit.
    // Columns g(0..3) & 1 = 0 1 1 0; rows g(0) & 1 = 0, g(1) & 1 = 1.
    const cv::Mat both = GrayCodePatternGenerator::buildPattern(2, 4, 1, 0, 1, 0, false);
    const cv::Mat expected = (cv::Mat_<uint8_t>(2, 4) << 0, 255, 255, 0, 255, 255, 255, 255);
    EXPECT_EQ(cv::countNonZero(both != expected), 0);
    // The offset shifts the code: g(1..4) & 1 = 1 1 0 0, inverted.
    const cv::Mat columnsOnly = GrayCodePatternGenerator::buildPattern(1, 4, 1, 1, 0, 0, true);
    const cv::Mat inverted = (cv::Mat_<uint8_t>(1, 4) << 0, 0, 255, 255);
    EXPECT_EQ(cv::countNonZero(columnsOnly != inverted), 0);
}

TEST(GrayCodePatternGenerator, WritesNumberedFilesAndOverwrites)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString folder = grayCodeFolder(dir.path(), 64, 48);
    EXPECT_EQ(folder, dir.path() + "/GrayCodeImages_64_48");

    // Stale files of an earlier, longer run: the first is overwritten, the extra one stays.
    ASSERT_TRUE(QDir().mkpath(folder));
    ASSERT_TRUE(cv::imwrite((folder + "/00.png").toStdString(), cv::Mat(3, 3, CV_8UC1, cv::Scalar(7))));
    ASSERT_TRUE(cv::imwrite((folder + "/99.png").toStdString(), cv::Mat(3, 3, CV_8UC1, cv::Scalar(7))));

    ASSERT_EQ(writeGrayCodeImages(folder, 64, 48), 26);
    const std::vector<cv::Mat> expected = wholeSequence(48, 64);
    for (int i = 0; i < 26; ++i) {
        const QString path = folder + QString("/%1.png").arg(i, 2, 10, QChar('0'));
        const cv::Mat image = cv::imread(path.toStdString(), cv::IMREAD_UNCHANGED);
        ASSERT_FALSE(image.empty()) << path.toStdString();
        ASSERT_EQ(image.type(), CV_8UC1);
        ASSERT_EQ(cv::countNonZero(image != expected[i]), 0) << path.toStdString();
    }
    EXPECT_FALSE(QFile::exists(folder + "/26.png"));
    EXPECT_TRUE(QFile::exists(folder + "/99.png"));

    // A file where the folder should be: nothing can be written.
    const QString blocked = grayCodeFolder(dir.path(), 8, 8);
    QFile file(blocked);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    EXPECT_EQ(writeGrayCodeImages(blocked, 8, 8), -1);
}

TEST(GrayCodePatternGenerator, GenerateActionMessagesAndQuestion)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    int asked = 0;
    QString title;
    QString text;
    const auto answer = [&](bool yes) {
        return [&, yes](const QString& t, const QString& x) {
            ++asked;
            title = t;
            text = x;
            return yes;
        };
    };

    {
        vantiro::RecordingLogSink log;
        EXPECT_EQ(generateGrayCodeImages(QString(), 64, 48, log, answer(true)), -1);
        ASSERT_EQ(log.segments.size(), 1u);
        EXPECT_EQ(log.segments[0].text, "Please specify a working directory before generating Gray-Code images. The "
                                        "images will be generated in <Working Directory>/GrayCodeImages_<width>_<height>/"
                                        "\n\n");
        EXPECT_EQ(log.segments[0].color, vantiro::logcolor::Default);
    }
    {
        vantiro::RecordingLogSink log;
        const QString missing = dir.path() + "/missing";
        EXPECT_EQ(generateGrayCodeImages(missing, 64, 48, log, answer(true)), -1);
        ASSERT_EQ(log.segments.size(), 1u);
        EXPECT_EQ(log.segments[0].text, "Warning: " + missing + " is not a directory. Aborting.\n\n");
        EXPECT_EQ(log.segments[0].color, vantiro::logcolor::Orange);
    }
    EXPECT_EQ(asked, 0);

    const QString folder = dir.path() + "/GrayCodeImages_64_48";
    {
        vantiro::RecordingLogSink log;
        EXPECT_EQ(generateGrayCodeImages(dir.path(), 64, 48, log, answer(false)), -1);
        EXPECT_EQ(asked, 1);
        EXPECT_EQ(title, "Generate Gray-Code Projector Images (64x48 px)");
        EXPECT_EQ(text, "Writing Gray-Code sequence with 26 images to:\n\n" + folder + "\n\nContinue?");
        EXPECT_TRUE(log.segments.empty());
        EXPECT_FALSE(QFileInfo::exists(folder));
    }
    {
        vantiro::RecordingLogSink log;
        EXPECT_EQ(generateGrayCodeImages(dir.path(), 64, 48, log, answer(true)), 26);
        EXPECT_EQ(log.text(), "Saved 26 Gray-Code images to:\n" + folder + "\n\n");
        EXPECT_EQ(QDir(folder).entryList(QDir::Files).size(), 26);
        EXPECT_TRUE(QFileInfo::exists(folder + "/25.png"));
    }
}
