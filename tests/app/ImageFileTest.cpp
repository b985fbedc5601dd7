#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "app/FileSet.h"
#include "app/ImageFile.h"
#include "support/TestSupport.h"

using namespace vantiro;

namespace {

QByteArray encoded(const QString& ext, const cv::Mat& image)
{
    std::vector<uchar> bytes;
    EXPECT_TRUE(cv::imencode(ext.toStdString(), image, bytes));
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size()));
}

void put(QByteArray& b, int at, quint32 v, int bytes, bool big)
{
    for (int i = 0; i < bytes; ++i)
        b[at + i] = char((v >> (8 * (big ? bytes - 1 - i : i))) & 0xff);
}

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

} // namespace

// Each format's header gives the size the decoder would produce, without decoding.
TEST(ImageFile, HeadersGiveTheSizeOfEveryFormat)
{
    cv::Mat image(23, 37, CV_8UC3, cv::Scalar(10, 200, 90));
    cv::circle(image, {18, 11}, 6, cv::Scalar(255, 0, 0), -1);
    cv::Mat wide(1, 3000, CV_16UC1, cv::Scalar(40000));
    for (const char* ext : {".png", ".jpg", ".tiff", ".bmp"}) {
        const ImageHeader h = probeImageHeader(encoded(ext, image));
        ASSERT_TRUE(h.ok()) << ext << ": " << h.error.toStdString();
        EXPECT_EQ(h.size, cv::Size(37, 23)) << ext;
    }
    EXPECT_EQ(probeImageHeader(encoded(".png", wide)).size, cv::Size(3000, 1));
    EXPECT_EQ(probeImageHeader(encoded(".tiff", wide)).size, cv::Size(3000, 1));

    // A bottom-up and a top-down bitmap; a big-endian TIFF.
    QByteArray bmp = encoded(".bmp", image);
    put(bmp, 22, quint32(-23), 4, false);
    EXPECT_EQ(probeImageHeader(bmp).size, cv::Size(37, 23));
    QByteArray be("MM\0*\0\0\0\x08\0\x02", 10);
    be += QByteArray("\x01\x00\x00\x03\x00\x00\x00\x01\x00\x29\x00\x00", 12); // width 41, SHORT
    be += QByteArray("\x01\x01\x00\x04\x00\x00\x00\x01\x00\x00\x00\x13", 12); // height 19, LONG
    EXPECT_EQ(probeImageHeader(be).size, cv::Size(41, 19));
}

// A small file that declares a huge image is refused from its header, at once.
TEST(ImageFile, AbsurdAndBrokenHeadersAreRefused)
{
    QTemporaryDir dir;
    cv::Mat small(8, 8, CV_8UC1, cv::Scalar(128));
    QByteArray png = encoded(".png", small);
    put(png, 16, 20000, 4, true);
    put(png, 20, 20000, 4, true);
    const QString bomb = dir.filePath("bomb.png");
    vantiro::test::writeFile(bomb, png);
    QElapsedTimer clock;
    clock.start();
    QString why;
    EXPECT_TRUE(readImageChecked(bomb, cv::IMREAD_GRAYSCALE, &why).empty());
    EXPECT_LT(clock.elapsed(), 1000);
    EXPECT_EQ(why, "the header declares 20000 x 20000 px; at most 16384 px a side and 160 megapixels are read");

    // The bounds: a side, and the pixel count within sides that are each allowed.
    QByteArray side = encoded(".png", small);
    put(side, 16, 16385, 4, true);
    put(side, 20, 1, 4, true);
    EXPECT_FALSE(probeImageHeader(side).ok());
    put(side, 16, 16384, 4, true);
    EXPECT_TRUE(probeImageHeader(side).ok());
    put(side, 16, 16000, 4, true);
    put(side, 20, 10000, 4, true);
    EXPECT_TRUE(probeImageHeader(side).ok()) << "160 megapixels";
    put(side, 20, 10001, 4, true);
    EXPECT_FALSE(probeImageHeader(side).ok());

    QByteArray jpg = encoded(".jpg", small);
    const int sof = int(jpg.indexOf("\xff\xc0"));
    ASSERT_GT(sof, 0);
    put(jpg, sof + 5, 30000, 2, true);
    EXPECT_TRUE(probeImageHeader(jpg).error.contains("30000 px"));
    QByteArray bmp = encoded(".bmp", small);
    put(bmp, 18, 0, 4, false);
    EXPECT_EQ(probeImageHeader(bmp).error, "the header declares no image (0 x 8 px)");

    const std::pair<QByteArray, QString> broken[] = {
        {"hello", "not a PNG, JPEG, TIFF or BMP image"},
        {encoded(".png", small).left(20), "truncated PNG header"},
        {encoded(".jpg", small).left(sof), "no frame header in the JPEG file"},
        {QByteArray("II*\0\xff\0\0\0", 8), "truncated TIFF directory"},
        {QByteArray("II+\0\x08\0\0\0", 8), "unsupported TIFF variant"},
        {"BM", "truncated BMP header"},
    };
    for (const auto& [bytes, reason] : broken)
        EXPECT_EQ(probeImageHeader(bytes).error, reason) << bytes.toHex().toStdString();
    EXPECT_EQ(probeImage(dir.filePath("none.png")).error, "no such file");
    EXPECT_EQ(probeImage(dir.path()).error, "cannot be read");

    // A header that is fine but pixels that are not: refused by the decoder, no exception.
    QByteArray cut = encoded(".png", small);
    cut.truncate(40);
    vantiro::test::writeFile(dir.filePath("cut.png"), cut);
    EXPECT_TRUE(readImageChecked(dir.filePath("cut.png"), cv::IMREAD_COLOR, &why).empty());
    EXPECT_EQ(why, "cannot be decoded");
    vantiro::test::writeFile(dir.filePath("fine.png"), encoded(".png", small));
    EXPECT_EQ(readImageChecked(dir.filePath("fine.png"), cv::IMREAD_GRAYSCALE).size(), cv::Size(8, 8));
}

// A set of files is replaced whole; a failure on any file leaves every target as it was.
TEST(FileSet, AllFilesOrNone)
{
    QTemporaryDir dir;
    const QString a = dir.filePath("a.yml"), b = dir.filePath("b.yml"), c = dir.filePath("c.yml");
    vantiro::test::writeFile(a, "old a");
    ASSERT_TRUE(writeFileSet({{a, "new a"}, {b, "new b"}}));
    EXPECT_EQ(readAll(a), "new a");
    EXPECT_EQ(readAll(b), "new b");
    EXPECT_TRUE(QFile::permissions(b) & QFileDevice::ReadOther) << "an ordinary file, not a private temporary";

    // The third target cannot be written (no folder for it) or not replaced (a folder is in its
    // place): the first two keep their content, nothing is left over.
    QString error;
    ASSERT_TRUE(QDir(dir.path()).mkdir("c.yml"));
    for (const QString& blocked : {dir.filePath("no/such/folder/c.yml"), c}) {
        EXPECT_FALSE(writeFileSet({{a, "newer a"}, {b, "newer b"}, {blocked, "c"}}, &error));
        EXPECT_TRUE(error.startsWith((blocked == c ? "cannot replace " : "cannot write ") + blocked)) << error.toStdString();
        EXPECT_EQ(readAll(a), "new a");
        EXPECT_EQ(readAll(b), "new b");
        EXPECT_EQ(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                  QStringList({"a.yml", "b.yml", "c.yml"}));
    }
}
