#include <gtest/gtest.h>

#include <QRegularExpression>
#include <QStringList>

#include "sensors/SceneGeometry.h"

namespace {

struct PlyVertex
{
    double x, y, z, nx, ny, nz, s, t;
    int r, g, b, a;
};

struct Ply
{
    QStringList header;
    std::vector<PlyVertex> vertices;
    std::vector<std::vector<int>> faces;
};

Ply parse(const QString& text)
{
    Ply ply;
    const QStringList lines = text.split('\n', Qt::SkipEmptyParts);
    int i = 0;
    while (i < lines.size() && lines[i] != "end_header")
        ply.header << lines[i++];
    ++i;
    int nv = 0, nf = 0;
    for (const QString& h : ply.header) {
        if (h.startsWith("element vertex "))
            nv = h.mid(15).toInt();
        if (h.startsWith("element face "))
            nf = h.mid(13).toInt();
    }
    for (int k = 0; k < nv && i < lines.size(); ++k, ++i) {
        const QStringList f = lines[i].split(' ');
        EXPECT_EQ(f.size(), 12) << lines[i].toStdString();
        if (f.size() != 12)
            continue;
        ply.vertices.push_back({f[0].toDouble(), f[1].toDouble(), f[2].toDouble(), f[3].toDouble(), f[4].toDouble(),
                                f[5].toDouble(), f[6].toDouble(), f[7].toDouble(), f[8].toInt(), f[9].toInt(),
                                f[10].toInt(), f[11].toInt()});
    }
    for (int k = 0; k < nf && i < lines.size(); ++k, ++i) {
        const QStringList f = lines[i].split(' ');
        std::vector<int> idx;
        for (int j = 1; j < f.size(); ++j)
            idx.push_back(f[j].toInt());
        EXPECT_EQ(f[0].toInt(), int(idx.size()));
        ply.faces.push_back(idx);
    }
    return ply;
}

cv::Vec3d position(const PlyVertex& v)
{
    return {v.x, v.y, v.z};
}

} // namespace

TEST(AxesGlyph, TemplateHeaderAndPlaceholders)
{
    const QString& t = axesGlyphTemplate();
    EXPECT_TRUE(t.contains(":LENGTH:"));
    EXPECT_TRUE(t.contains("-:WIDTH:"));
    const QStringList header = t.left(t.indexOf("end_header")).split('\n', Qt::SkipEmptyParts);
    const QStringList expected = {"ply",
                                  "format ascii 1.0",
                                  "element vertex 57",
                                  "property float x",
                                  "property float y",
                                  "property float z",
                                  "property float nx",
                                  "property float ny",
                                  "property float nz",
                                  "property float s",
                                  "property float t",
                                  "property uchar red",
                                  "property uchar green",
                                  "property uchar blue",
                                  "property uchar alpha",
                                  "element face 18",
                                  "property list uchar uint vertex_indices"};
    EXPECT_EQ(header, expected);

    const QString filled = axesGlyphPly(100);
    EXPECT_FALSE(filled.contains(":LENGTH:"));
    EXPECT_FALSE(filled.contains(":WIDTH:"));
    EXPECT_TRUE(filled.contains(QRegularExpression("(^|\\s)2\\.5\\s")));
    EXPECT_TRUE(filled.contains(QRegularExpression("(^|\\s)-2\\.5\\s")));
    EXPECT_TRUE(filled.contains(QRegularExpression("(^|\\s)100\\s")));
    EXPECT_TRUE(axesGlyphPly(400).contains(" 10 ")) << "width L/40 in 'g' format";
    EXPECT_TRUE(axesGlyphPly(1.0 / 3.0).contains("0.333333"));
}

TEST(AxesGlyph, PiecesHaveTheirExtentsColoursAndOutwardNormals)
{
    const double L = 100, W = 2.5;
    const Ply ply = parse(axesGlyphPly(L));
    ASSERT_EQ(ply.vertices.size(), 57u);
    ASSERT_EQ(ply.faces.size(), 18u);

    int white = 0, red = 0, green = 0, blue = 0;
    for (const auto& v : ply.vertices) {
        EXPECT_EQ(v.a, 255);
        EXPECT_NEAR(std::hypot(v.nx, v.ny, v.nz), 1.0, 1e-12);
        EXPECT_TRUE(v.s >= 0 && v.s <= 1 && v.t >= 0 && v.t <= 1);
        const cv::Vec3d p = position(v);
        if (v.r == 255 && v.g == 255 && v.b == 255) {
            ++white;
            for (int i = 0; i < 3; ++i)
                EXPECT_NEAR(std::abs(p[i]), W, 1e-12);
        } else {
            const int axis = v.r == 255 ? 0 : v.g == 255 ? 1 : 2;
            (axis == 0 ? red : axis == 1 ? green : blue)++;
            EXPECT_TRUE(std::abs(p[axis] - W) < 1e-12 || std::abs(p[axis] - L) < 1e-12) << "arm along its axis";
            for (int i = 0; i < 3; ++i)
                if (i != axis)
                    EXPECT_NEAR(std::abs(p[i]), W, 1e-12);
        }
    }
    EXPECT_EQ(white, 9);
    EXPECT_EQ(red, 16);
    EXPECT_EQ(green, 16);
    EXPECT_EQ(blue, 16);

    // Every face is a planar quad of one colour whose winding points away from the centre.
    for (const auto& f : ply.faces) {
        ASSERT_EQ(f.size(), 4u);
        const PlyVertex& v0 = ply.vertices[size_t(f[0])];
        cv::Vec3d centre(0, 0, 0);
        for (int idx : f) {
            ASSERT_LT(idx, 57);
            const PlyVertex& v = ply.vertices[size_t(idx)];
            EXPECT_EQ(std::tie(v.r, v.g, v.b), std::tie(v0.r, v0.g, v0.b));
            centre += position(v) / 4.0;
        }
        const cv::Vec3d a = position(ply.vertices[size_t(f[1])]) - position(v0);
        const cv::Vec3d b = position(ply.vertices[size_t(f[2])]) - position(ply.vertices[size_t(f[1])]);
        const cv::Vec3d n = a.cross(b);
        // Outward: for cube faces away from the origin; for arm faces away from the arm's axis or beyond its end.
        const bool cube = v0.r == 255 && v0.g == 255 && v0.b == 255;
        if (cube) {
            EXPECT_GT(n.dot(centre), 0);
        } else {
            const int axis = v0.r == 255 ? 0 : v0.g == 255 ? 1 : 2;
            cv::Vec3d axisPoint(0, 0, 0);
            axisPoint[axis] = centre[axis] > L - 1e-9 ? L - 1 : centre[axis];
            EXPECT_GT(n.dot(centre - axisPoint), 0);
        }
    }
}

TEST(Frustum, CornersFollowTheCameraMatrix)
{
    const cv::Mat K = (cv::Mat_<double>(3, 3) << 1000, 0, 640, 0, 1000, 480, 0, 0, 1);
    const auto p = frustumPoints(K, cv::Size(1280, 960), 1000);
    EXPECT_EQ(p[0], cv::Vec3d(-640, -480, 1000));
    EXPECT_EQ(p[1], cv::Vec3d(640, -480, 1000));
    EXPECT_EQ(p[2], cv::Vec3d(640, 480, 1000));
    EXPECT_EQ(p[3], cv::Vec3d(-640, 480, 1000));
    EXPECT_EQ(p[4], cv::Vec3d(0, 0, 0));
    EXPECT_TRUE(allFinite(p));

    const cv::Mat off = (cv::Mat_<double>(3, 3) << 500, 0, 100, 0, 250, 50, 0, 0, 1);
    const auto q = frustumPoints(off, cv::Size(400, 300), 10);
    EXPECT_EQ(q[0], cv::Vec3d(-2, -2, 10));
    EXPECT_EQ(q[2], cv::Vec3d(6, 10, 10));

    EXPECT_FALSE(allFinite(frustumPoints(cv::Mat::zeros(3, 3, CV_64F), cv::Size(0, 0), 1000)));
    EXPECT_FALSE(allFinite(frustumPoints(cv::Mat(), cv::Size(10, 10), 1000)));
}

TEST(BoardPlane, CornersAtThePose)
{
    const cv::Matx33d R(0, -1, 0, 1, 0, 0, 0, 0, 1); // 90 degrees about z
    const BoardPlaneCorners c = boardPlaneCorners(R, cv::Vec3d(10, 20, 30), 9, 8, 25, 20);
    EXPECT_EQ(c.origin, cv::Vec3d(10, 20, 30));
    EXPECT_EQ(c.alongX, cv::Vec3d(10, 20 + 225, 30));
    EXPECT_EQ(c.alongY, cv::Vec3d(10 - 160, 20, 30));
}
