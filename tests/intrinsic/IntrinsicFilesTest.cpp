// Corner files beside images.

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include "IntrinsicTestData.h"
#include "intrinsic/IntrinsicFiles.h"

using namespace vantiro::intrinsic;
using namespace intrinsic_test;

namespace {

QString writeText(const QTemporaryDir& dir, const QString& name, const QByteArray& text)
{
    const QString path = dir.path() + "/" + name;
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write(text);
    return path;
}

cv::Mat points(int n, int dim)
{
    cv::Mat m(n, 1, CV_32FC(dim), cv::Scalar::all(0));
    for (int i = 0; i < n; ++i)
        m.ptr<float>(i)[0] = float(10 * i), m.ptr<float>(i)[1] = float(i) + 0.5f;
    return m;
}

} // namespace

TEST(CornerFile, PathAndTheFormsItIsReadIn)
{
    EXPECT_EQ(cornerFilePath("/data/set.1/img_007.png"), "/data/set.1/img_007.yml");
    EXPECT_EQ(cornerFilePath("/data/cam.left.tif"), "/data/cam.left.yml");

    QTemporaryDir dir;
    EXPECT_EQ(readCornerFile(dir.path() + "/none.yml").status, CornerFileStatus::Missing);
    // Point matrices, as the projector module writes them.
    const QString a = dir.path() + "/a.yml";
    writeCornerFile(a, points(6, 2), points(6, 3));
    const CornerFile fa = readCornerFile(a);
    ASSERT_EQ(fa.status, CornerFileStatus::Loaded) << fa.error.toStdString();
    ASSERT_EQ(fa.imagePoints.size(), 6u);
    EXPECT_EQ(fa.imagePoints[3], cv::Point2f(30.f, 3.5f));
    EXPECT_EQ(fa.objectPoints[5], cv::Point3f(50.f, 5.5f, 0.f));
    // Flat sequences, as vectors of points are written.
    const CornerFile fc = readCornerFile(writeText(dir, "c.yml", "%YAML:1.0\n---\ncorners: [ 1., 2., 3., 4., 5., 6., 7., 8. ]\n"
                                                                 "obj: [ 0., 0., 0., 1., 0., 0., 1, 1, 0, 0, 1, 0 ]\n"));
    ASSERT_EQ(fc.status, CornerFileStatus::Loaded) << fc.error.toStdString();
    EXPECT_EQ(fc.objectPoints[2], cv::Point3f(1.f, 1.f, 0.f));
}

TEST(CornerFile, RejectsWhatItCannotUseWithAReason)
{
    QTemporaryDir dir;
    struct Case
    {
        const char* name;
        cv::Mat corners, obj;
        QString error;
    };
    const std::vector<Case> cases = {
        {"int", cv::Mat(6, 2, CV_32S, cv::Scalar(1)), points(6, 3), "\"corners\" is not a list of 2-D points"},
        {"threechannel", points(6, 3), points(6, 3), "\"corners\" is not a list of 2-D points"},
        {"objflat", points(6, 2), points(6, 2), "\"obj\" is not a list of 3-D points"},
        {"count", points(6, 2), points(7, 3), "\"corners\" has 6 points but \"obj\" has 7"},
        {"few", points(3, 2), points(3, 3), "fewer than 4 points"},
    };
    for (const Case& c : cases) {
        const QString path = dir.path() + "/" + c.name + ".yml";
        writeCornerFile(path, c.corners, c.obj);
        const CornerFile f = readCornerFile(path);
        EXPECT_EQ(f.status, CornerFileStatus::Invalid) << c.name;
        EXPECT_EQ(f.error, c.error) << c.name;
        EXPECT_TRUE(f.imagePoints.empty() && f.objectPoints.empty()) << "never half-read: " << c.name;
    }
    EXPECT_EQ(readCornerFile(writeText(dir, "noobj.yml", "%YAML:1.0\n---\ncorners: [1, 2]\n")).error,
              "\"obj\" is missing");
    const CornerFile broken = readCornerFile(writeText(dir, "broken.yml", "%YAML:1.0\n---\ncorners: [ 1, 2\nobj: {"));
    EXPECT_EQ(broken.status, CornerFileStatus::Invalid);
    EXPECT_FALSE(broken.error.isEmpty());
}
