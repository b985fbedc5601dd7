#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <cmath>

#include "app/StorageFile.h"
#include "support/TestSupport.h"

using namespace vantiro;

namespace {

QByteArray written(int format, const std::function<void(cv::FileStorage&)>& fill)
{
    cv::FileStorage fs("x", cv::FileStorage::WRITE | cv::FileStorage::MEMORY | format);
    fill(fs);
    return QByteArray::fromStdString(fs.releaseAndGetString());
}

StorageOpenResult open(const QByteArray& text, cv::FileStorage& fs)
{
    return openStorageText(text, fs);
}

} // namespace

// Whatever a name holds, it comes back as the same string, in YAML and in JSON.
TEST(StorageFile, WrittenFilesReadBackExactly)
{
    const std::vector<std::string> texts = {"[Cam", "{x", "]", "a: b", "#x", "\"q\"", "'s'", "\"", "'", "back\\slash",
                                            "two\nlines", "tab\there", "Kamera ä", "", "123", "1e5", "true",
                                            " lead", "- item", "*star", "&anchor", "!tag", "%pct", "@at", "`tick"};
    const cv::Mat K = (cv::Mat_<double>(3, 3) << 1000.125, 0, 640.5, 0, 1001, 480, 0, 0, 1);
    cv::Mat corners(5, 1, CV_32FC2);
    cv::randu(corners, -100.0f, 2000.0f);
    for (int format : {int(cv::FileStorage::FORMAT_YAML), int(cv::FileStorage::FORMAT_JSON)}) {
        const QByteArray text = written(format, [&](cv::FileStorage& fs) {
            fs.startWriteStruct("names", cv::FileNode::SEQ);
            for (const std::string& t : texts)
                writeStorageString(fs, std::string(), t);
            fs.endWriteStruct();
            writeStorageString(fs, "single", "[x");
            fs << "K" << K << "corners" << corners << "count" << -7 << "rms" << 0.1 << "big" << 1e300;
            fs << "size" << cv::Size(640, 480);
        });
        cv::FileStorage fs;
        const StorageOpenResult r = open(text, fs);
        ASSERT_TRUE(r.ok()) << r.error.toStdString() << "\n" << text.toStdString();
        const cv::FileNode names = fs["names"];
        ASSERT_TRUE(names.isSeq());
        ASSERT_EQ(names.size(), texts.size());
        for (size_t i = 0; i < texts.size(); ++i) {
            EXPECT_TRUE(names[int(i)].isString()) << texts[i];
            EXPECT_EQ(names[int(i)].string(), texts[i]);
        }
        EXPECT_EQ(fs["single"].string(), "[x");
        cv::Mat k, c;
        ASSERT_TRUE(readStorageMatrix(fs["K"], k));
        ASSERT_TRUE(readStorageMatrix(fs["corners"], c));
        EXPECT_EQ(k.type(), CV_64F);
        EXPECT_EQ(cv::norm(k, K, cv::NORM_INF), 0.0);
        EXPECT_EQ(c.type(), CV_32FC2);
        EXPECT_EQ(cv::norm(c, corners, cv::NORM_INF), 0.0);
        EXPECT_TRUE(fs["count"].isInt());
        EXPECT_EQ(int(fs["count"]), -7);
        EXPECT_EQ(double(fs["rms"]), 0.1);
        EXPECT_EQ(double(fs["big"]), 1e300);
        cv::Size size;
        fs["size"] >> size;
        EXPECT_EQ(size, cv::Size(640, 480));
    }
}

// Plain scalars are typed as the library types them; YAML's own spellings of infinity work.
TEST(StorageFile, HandWrittenYamlAndJson)
{
    cv::FileStorage fs;
    ASSERT_TRUE(open("a: 12\nb: -3.5e2\nc: .inf\nd: -.Inf\ne: .NaN\nf: 12abc\ng: '12'\nh: 99999999999\n"
                     "i: inf\nj: 0x10\nk: [1, 2.5, x]\n",
                     fs)
                    .ok());
    EXPECT_TRUE(fs["a"].isInt());
    EXPECT_EQ(int(fs["a"]), 12);
    EXPECT_EQ(double(fs["b"]), -350.0);
    EXPECT_EQ(double(fs["c"]), INFINITY);
    EXPECT_EQ(double(fs["d"]), -INFINITY);
    EXPECT_TRUE(std::isnan(double(fs["e"])));
    EXPECT_TRUE(fs["f"].isString());
    EXPECT_TRUE(fs["g"].isString());
    EXPECT_TRUE(fs["h"].isReal()) << "outside int";
    EXPECT_EQ(double(fs["h"]), 99999999999.0);
    EXPECT_TRUE(fs["i"].isString()) << "only YAML's .inf is infinity";
    EXPECT_TRUE(fs["j"].isString());
    EXPECT_EQ(fs["k"].size(), 3u);
    EXPECT_TRUE(fs["k"][2].isString());

    ASSERT_TRUE(open("  {\"a\": 1, \"m\": {\"type_id\": \"opencv-matrix\", \"rows\": 1, \"cols\": 2, \"dt\": \"d\", "
                     "\"data\": [1.5, 2]}, \"s\": [\"x\", 2.0]}",
                     fs)
                    .ok());
    EXPECT_TRUE(fs["a"].isInt());
    cv::Mat m;
    ASSERT_TRUE(readStorageMatrix(fs["m"], m));
    EXPECT_EQ(m.at<double>(0, 1), 2.0);
    EXPECT_EQ(double(fs["s"][1]), 2.0);
}

// Each kind of hostile text is refused with a reason, quickly, including every file that once
// hung or crashed the library's parser.
TEST(StorageFile, HostileTextIsRefusedWithAReason)
{
    const std::pair<QByteArray, QString> cases[] = {
        {"a: [1, 2", "did not find expected"},
        {"- a\n- b\n", "the top level is not a map of keys"},
        {"a: 1\n---\nb: 2\n", "more than one document"},
        {"a: &x 1\nb: *x\n", "aliases are not supported"},
        {"a b: 1\n", "unsupported key \"a b\""},
        {"? [a]\n: 1\n", "a key that is not a name"},
        {QByteArray("a: ") + QByteArray(40, '[') + QByteArray(40, ']'), "nested deeper than 32 levels"},
        {"{\"a\": ", "at offset"},
        {"{\"a\": null}", "null"},
        {"[1]", "the top level is not a map of keys"},
    };
    for (const auto& [text, reason] : cases) {
        cv::FileStorage fs;
        const StorageOpenResult r = open(text, fs);
        EXPECT_EQ(r.status, StorageStatus::Malformed) << text.toStdString();
        EXPECT_TRUE(r.error.contains(reason)) << text.toStdString() << " -> " << r.error.toStdString();
        EXPECT_FALSE(fs.isOpened());
    }

    const QDir data(QStringLiteral(VANTIRO_TEST_DATA_DIR "/regressions"));
    const QStringList hostile = data.entryList({"hang-*.yml", "length-error.yml"}, QDir::Files);
    ASSERT_EQ(hostile.size(), 6);
    for (const QString& name : hostile) {
        QElapsedTimer clock;
        clock.start();
        cv::FileStorage fs;
        const StorageOpenResult r = openStorageFile(data.filePath(name), fs);
        EXPECT_EQ(r.status, StorageStatus::Malformed) << name.toStdString();
        EXPECT_FALSE(r.error.isEmpty());
        EXPECT_LT(clock.elapsed(), 1000) << name.toStdString();
    }
}

TEST(StorageFile, FilesAreBoundedBeforeParsing)
{
    QTemporaryDir dir;
    cv::FileStorage fs;
    EXPECT_EQ(openStorageFile(dir.filePath("none.yml"), fs).status, StorageStatus::Missing);
    EXPECT_EQ(openStorageFile(dir.path(), fs).status, StorageStatus::Unreadable);
    QFile big(dir.filePath("big.yml"));
    ASSERT_TRUE(big.open(QIODevice::WriteOnly));
    ASSERT_TRUE(big.resize(kMaxStorageFileBytes + 1));
    big.close();
    const StorageOpenResult r = openStorageFile(big.fileName(), fs);
    EXPECT_EQ(r.status, StorageStatus::TooLarge);
    EXPECT_EQ(r.error, "larger than 16 MB");
    EXPECT_EQ(openStorageText(QByteArray(kMaxStorageFileBytes + 1, ' '), fs).status, StorageStatus::TooLarge);
    ASSERT_TRUE(big.open(QIODevice::WriteOnly | QIODevice::Truncate));
    big.write("a: 1" + QByteArray(kMaxStorageFileBytes - 4, ' '));
    big.close();
    ASSERT_EQ(big.size(), kMaxStorageFileBytes);
    EXPECT_EQ(openStorageFile(big.fileName(), fs).status, StorageStatus::Opened) << "up to the bound is fine";
    EXPECT_EQ(int(fs["a"]), 1);
}

// A matrix whose declared shape does not match its data is refused before anything is allocated.
TEST(StorageFile, MatricesMustHoldWhatTheyDeclare)
{
    const std::pair<QByteArray, QString> cases[] = {
        {"m: !!opencv-matrix\n  rows: 2000000000\n  cols: 2000000000\n  dt: d\n  data: [1]\n", "a matrix of 2000000000 x 2000000000"},
        {"m: !!opencv-matrix\n  rows: 2\n  cols: 2\n  dt: d\n  data: [1, 2, 3]\n", "a 2 x 2 matrix with 3 values"},
        {"m: !!opencv-matrix\n  rows: 1\n  cols: 2\n  dt: 2f\n  data: [1, 2]\n", "a 1 x 2 matrix with 2 values"},
        {"m: !!opencv-matrix\n  rows: -1\n  cols: 2\n  dt: d\n  data: []\n", "a matrix of -1 x 2"},
        {"m: !!opencv-matrix\n  rows: 1\n  cols: 1\n  dt: q\n  data: [1]\n", "unsupported matrix type \"q\""},
        {"m: !!opencv-matrix\n  rows: 1\n  cols: 1\n  dt: 9d\n  data: [1]\n", "unsupported matrix type \"9d\""},
        {"m: !!opencv-matrix\n  rows: 1\n  cols: 1\n  dt: d\n  data: [x]\n", "not a number"},
        {"m: !!opencv-matrix\n  rows: 1.5\n  cols: 1\n  dt: d\n  data: [1]\n", "whole \"rows\""},
        {"m: [1, 2]\n", "not a matrix"},
    };
    for (const auto& [text, reason] : cases) {
        cv::FileStorage fs;
        ASSERT_TRUE(open(text, fs).ok()) << text.toStdString();
        cv::Mat m;
        QString error;
        EXPECT_FALSE(readStorageMatrix(fs["m"], m, &error)) << text.toStdString();
        EXPECT_TRUE(error.contains(reason)) << error.toStdString();
        EXPECT_TRUE(m.empty());
    }
    cv::FileStorage fs;
    ASSERT_TRUE(open("m: !!opencv-matrix\n  rows: 1\n  cols: 2\n  dt: 3f\n  data: [1, 2, 3, 4, 5, 6]\n", fs).ok());
    cv::Mat m;
    ASSERT_TRUE(readStorageMatrix(fs["m"], m));
    EXPECT_EQ(m.type(), CV_32FC3);
    EXPECT_EQ(m.at<cv::Vec3f>(0, 1), cv::Vec3f(4, 5, 6));
}
