#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <clocale>

#include "Common/NaturalSort.h"
#include "app/LogSink.h"
#include "projector/CapturedSets.h"

TEST(NaturalSort, NumbersByValueUnderTheCLocale)
{
    // The machines that run this are set to the C locale, where a collator sorts 10 before 2.
    std::setlocale(LC_ALL, "C");
    QStringList names = {"10.png", "2.png", "set_10", "1.png", "set_9", "02.png", "b1", "a10", "a9x", "a9"};
    TNQ::naturalSort(names);
    EXPECT_EQ(names, QStringList({"1.png", "02.png", "2.png", "10.png", "a9", "a9x", "a10", "b1", "set_9", "set_10"}));
    EXPECT_LT(TNQ::naturalCompare("img2", "img10"), 0);
    EXPECT_GT(TNQ::naturalCompare("img10", "img2"), 0);
    EXPECT_GT(TNQ::naturalCompare("img2b", "img2a"), 0);
    EXPECT_LT(TNQ::naturalCompare("img", "img0"), 0);
    EXPECT_EQ(TNQ::naturalCompare("x7", "x7"), 0);
}

namespace {

// A folder of count empty "images" named by the given extension list in turn.
void makeSet(const QString& folder, int count, const QStringList& extensions = {"png"})
{
    QDir().mkpath(folder);
    for (int i = 0; i < count; ++i) {
        QFile file(folder + QString("/%1.%2").arg(i).arg(extensions[i % extensions.size()]));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }
}

} // namespace

TEST(CapturedSets, SubfoldersWithTheFullSequenceInNaturalOrder)
{
    // A 16 x 16 projector: 4 + 4 bits, 18 images.
    const cv::Size projector(16, 16);
    QTemporaryDir dir;
    const QString w = dir.path();
    makeSet(w + "/pose_b", 18);
    makeSet(w + "/pose_a", 18, {"jpg", "tif", "bmp", "jpeg", "tiff", "png"});
    QFile(w + "/pose_a/notes.txt").open(QIODevice::WriteOnly);
    makeSet(w + "/pose_short", 17);
    makeSet(w + "/pose_long", 19);
    makeSet(w + "/GrayCodeImages_16_16", 18);
    makeSet(w + "/old_GrayCodeImages", 18);
    makeSet(w + "/ExtrinsicCalibrationData", 18);
    makeSet(w + "/ExtrinsicCalibrationData/Cam0", 18);
    makeSet(w + "/grayCodeImages", 18); // the name test is case-sensitive
    QFile(w + "/loose.png").open(QIODevice::WriteOnly);

    const std::vector<camproj::CapturedSet> sets = camproj::findCapturedSets(w, projector);
    ASSERT_EQ(sets.size(), 3u);
    EXPECT_EQ(sets[0].name, "grayCodeImages");
    EXPECT_EQ(sets[1].name, "pose_a");
    EXPECT_EQ(sets[2].name, "pose_b");
    QStringList expected;
    for (int i = 0; i < 18; ++i)
        expected << w + QString("/pose_b/%1.png").arg(i);
    EXPECT_EQ(sets[2].files, expected);
    EXPECT_EQ(sets[1].files[2], w + "/pose_a/2.bmp");
    EXPECT_EQ(sets[1].files[10], w + "/pose_a/10.tiff");

    // Another projector resolution expects another count; no folder, no sets.
    EXPECT_TRUE(camproj::findCapturedSets(w, cv::Size(32, 16)).empty());
    makeSet(w + "/wide", 20);
    EXPECT_EQ(camproj::findCapturedSets(w, cv::Size(32, 16)).size(), 1u);
    EXPECT_TRUE(camproj::findCapturedSets(w + "/missing", projector).empty());
    EXPECT_TRUE(camproj::findCapturedSets(QString(), projector).empty());
}

TEST(CapturedSets, ExplanationWhenNothingIsFound)
{
    vantiro::RecordingLogSink log;
    camproj::logNoCapturedSets(log);
    ASSERT_EQ(log.segments.size(), 8u);
    EXPECT_EQ(log.segments[0].text, "No valid Gray-Code image sets were found in the selected working directory.\n\n");
    EXPECT_EQ(log.segments[0].color, vantiro::logcolor::Orange);
    EXPECT_TRUE(log.segments[1].bold);
    EXPECT_EQ(log.segments[4].text, " - Directories named \"GrayCodeImages\" are ignored and will not be considered as "
                                    "valid image sets.\n");
    EXPECT_EQ(log.segments[7].text, "\n\n");
}
