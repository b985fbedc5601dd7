#include <gtest/gtest.h>

#include <QRegularExpression>
#include <QStringList>

#include "sensors/SceneGeometry.h"

namespace {

struct PlyVertex
{
    cv::Vec3d p, n;
    double s, t;
    int rgb[4];
    bool white() const { return rgb[0] == 255 && rgb[1] == 255 && rgb[2] == 255; }
    int axis() const { return rgb[0] == 255 ? 0 : rgb[1] == 255 ? 1 : 2; } // of an arm vertex
};

// Vertices and faces of the filled-in template (the header is checked separately).
void parse(const QString& text, std::vector<PlyVertex>& vertices, std::vector<std::vector<int>>& faces)
{
    const QStringList lines = text.mid(text.indexOf("end_header") + 11).split('\n', Qt::SkipEmptyParts);
    for (const QString& line : lines) {
        const QStringList f = line.split(' ');
        if (f.size() == 12) {
            PlyVertex v{{f[0].toDouble(), f[1].toDouble(), f[2].toDouble()},
                        {f[3].toDouble(), f[4].toDouble(), f[5].toDouble()},
                        f[6].toDouble(),
                        f[7].toDouble(),
                        {f[8].toInt(), f[9].toInt(), f[10].toInt(), f[11].toInt()}};
            vertices.push_back(v);
        } else {
            std::vector<int> idx;
            for (int j = 1; j < f.size(); ++j)
                idx.push_back(f[j].toInt());
            EXPECT_EQ(f[0].toInt(), int(idx.size()));
            faces.push_back(idx);
        }
    }
}

} // namespace

TEST(AxesGlyph, TemplateHeaderAndPlaceholders)
{
    const QString& t = axesGlyphTemplate();
    EXPECT_TRUE(t.contains(":LENGTH:") && t.contains("-:WIDTH:"));
    EXPECT_TRUE(t.startsWith("ply\nformat ascii 1.0\nelement vertex 57\nproperty float x\nproperty float y\n"
                             "property float z\nproperty float nx\nproperty float ny\nproperty float nz\n"
                             "property float s\nproperty float t\nproperty uchar red\nproperty uchar green\n"
                             "property uchar blue\nproperty uchar alpha\nelement face 18\n"
                             "property list uchar uint vertex_indices\nend_header\n"));

    const QString filled = axesGlyphPly(100);
    EXPECT_FALSE(filled.contains(":LENGTH:") || filled.contains(":WIDTH:"));
    for (const char* value : {"2\\.5", "-2\\.5", "100"})
        EXPECT_TRUE(filled.contains(QRegularExpression(QString("(^|\\s)%1\\s").arg(value)))) << value;
    EXPECT_TRUE(axesGlyphPly(400).contains(" 10 ")) << "width L/40 in 'g' format";
    EXPECT_TRUE(axesGlyphPly(1.0 / 3.0).contains("0.333333"));
}

TEST(AxesGlyph, PiecesHaveTheirExtentsColoursAndOutwardFaces)
{
    const double L = 100, W = 2.5;
    std::vector<PlyVertex> v;
    std::vector<std::vector<int>> faces;
    parse(axesGlyphPly(L), v, faces);
    ASSERT_EQ(v.size(), 57u);
    ASSERT_EQ(faces.size(), 18u);

    int perPiece[4] = {0, 0, 0, 0}; // red, green, blue arms, white cube
    for (const auto& x : v) {
        EXPECT_EQ(x.rgb[3], 255);
        EXPECT_NEAR(cv::norm(x.n), 1.0, 1e-12);
        EXPECT_TRUE(x.s >= 0 && x.s <= 1 && x.t >= 0 && x.t <= 1);
        const int piece = x.white() ? 3 : x.axis();
        ++perPiece[piece];
        for (int i = 0; i < 3; ++i)
            if (piece == 3 || i != piece)
                EXPECT_NEAR(std::abs(x.p[i]), W, 1e-12);
            else
                EXPECT_TRUE(std::abs(x.p[i] - W) < 1e-12 || std::abs(x.p[i] - L) < 1e-12) << "arm along its axis";
    }
    EXPECT_EQ(perPiece[0], 16);
    EXPECT_EQ(perPiece[1], 16);
    EXPECT_EQ(perPiece[2], 16);
    EXPECT_EQ(perPiece[3], 9);

    // Each face is one-coloured and wound so its normal points away from its piece's core:
    // the origin for the cube, the arm's axis (or beyond its end) for an arm.
    for (const auto& f : faces) {
        ASSERT_EQ(f.size(), 4u);
        const PlyVertex& a = v[size_t(f[0])];
        cv::Vec3d centre(0, 0, 0);
        for (int idx : f) {
            EXPECT_EQ(v[size_t(idx)].white(), a.white());
            centre += v[size_t(idx)].p / 4.0;
        }
        const cv::Vec3d n = (v[size_t(f[1])].p - a.p).cross(v[size_t(f[2])].p - v[size_t(f[1])].p);
        cv::Vec3d core(0, 0, 0);
        if (!a.white())
            core[a.axis()] = centre[a.axis()] > L - 1e-9 ? L - 1 : centre[a.axis()];
        EXPECT_GT(n.dot(centre - core), 0);
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
