#include "sensors/SceneGeometry.h"

#include <QStringList>

#include <cmath>
#include <limits>

namespace {

// Coordinates are tokens of the template: -W, W or L along one axis.
enum Coord
{
    MinusW,
    PlusW,
    Len
};

const char* token(Coord c)
{
    switch (c) {
    case MinusW:
        return "-:WIDTH:";
    case PlusW:
        return ":WIDTH:";
    case Len:
        return ":LENGTH:";
    }
    return "0";
}

struct Vertex
{
    Coord p[3];
    int n[3];
    int s, t;
    int rgb[3];
};

struct Builder
{
    QStringList vertices;
    QStringList faces;

    int add(const Vertex& v)
    {
        vertices << QStringLiteral("%1 %2 %3 %4 %5 %6 %7 %8 %9 %10 %11 255")
                        .arg(QString::fromLatin1(token(v.p[0])), QString::fromLatin1(token(v.p[1])),
                             QString::fromLatin1(token(v.p[2])))
                        .arg(v.n[0])
                        .arg(v.n[1])
                        .arg(v.n[2])
                        .arg(v.s)
                        .arg(v.t)
                        .arg(v.rgb[0])
                        .arg(v.rgb[1])
                        .arg(v.rgb[2]);
        return int(vertices.size()) - 1;
    }
    void face(int a, int b, int c, int d) { faces << QStringLiteral("4 %1 %2 %3 %4").arg(a).arg(b).arg(c).arg(d); }
};

// A point given along the arm (u), and the two axes across it (v, w), in world axes.
struct ArmFrame
{
    int a, b, c; // world axis index of u, v, w
    Vertex make(Coord u, Coord v, Coord w, int nu, int nv, int nw, int s, int t, const int rgb[3]) const
    {
        Vertex x{};
        x.p[a] = u;
        x.p[b] = v;
        x.p[c] = w;
        x.n[a] = nu;
        x.n[b] = nv;
        x.n[c] = nw;
        x.s = s;
        x.t = t;
        for (int i = 0; i < 3; ++i)
            x.rgb[i] = rgb[i];
        return x;
    }
};

QString buildTemplate()
{
    Builder g;
    const int white[3] = {255, 255, 255};
    // Centre cube: its three faces on the negative sides. The corner they share is repeated
    // per face with that face's normal; the edge vertices between two faces are shared.
    auto cube = [&](Coord x, Coord y, Coord z, int nx, int ny, int nz, int s, int t) {
        return g.add({{x, y, z}, {nx, ny, nz}, s, t, {white[0], white[1], white[2]}});
    };
    const int B = cube(MinusW, PlusW, MinusW, -1, 0, 0, 1, 0);  // -x / -z edge
    const int D = cube(MinusW, MinusW, PlusW, -1, 0, 0, 0, 1);  // -x / -y edge
    const int E = cube(PlusW, MinusW, MinusW, 0, -1, 0, 1, 0);  // -y / -z edge
    const int Ax = cube(MinusW, MinusW, MinusW, -1, 0, 0, 0, 0);
    const int C = cube(MinusW, PlusW, PlusW, -1, 0, 0, 1, 1);
    g.face(Ax, D, C, B);
    const int Ay = cube(MinusW, MinusW, MinusW, 0, -1, 0, 0, 0);
    const int F = cube(PlusW, MinusW, PlusW, 0, -1, 0, 1, 1);
    g.face(Ay, E, F, D);
    const int Az = cube(MinusW, MinusW, MinusW, 0, 0, -1, 0, 0);
    const int G = cube(PlusW, PlusW, MinusW, 0, 0, -1, 1, 1);
    g.face(Az, B, G, E);

    // Arms: four side faces with their own vertices; the end cap reuses the far corners.
    const int colours[3][3] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}};
    const ArmFrame frames[3] = {{0, 1, 2}, {1, 2, 0}, {2, 0, 1}};
    for (int arm = 0; arm < 3; ++arm) {
        const ArmFrame& f = frames[arm];
        const int* rgb = colours[arm];
        // +v side
        const int p0 = g.add(f.make(PlusW, PlusW, MinusW, 0, 1, 0, 0, 0, rgb));
        const int p1 = g.add(f.make(PlusW, PlusW, PlusW, 0, 1, 0, 0, 1, rgb));
        const int p2 = g.add(f.make(Len, PlusW, PlusW, 0, 1, 0, 1, 1, rgb));
        const int p3 = g.add(f.make(Len, PlusW, MinusW, 0, 1, 0, 1, 0, rgb));
        g.face(p0, p1, p2, p3);
        // -v side
        const int m0 = g.add(f.make(PlusW, MinusW, MinusW, 0, -1, 0, 0, 0, rgb));
        const int m1 = g.add(f.make(Len, MinusW, MinusW, 0, -1, 0, 1, 0, rgb));
        const int m2 = g.add(f.make(Len, MinusW, PlusW, 0, -1, 0, 1, 1, rgb));
        const int m3 = g.add(f.make(PlusW, MinusW, PlusW, 0, -1, 0, 0, 1, rgb));
        g.face(m0, m1, m2, m3);
        // +w side
        const int q0 = g.add(f.make(PlusW, MinusW, PlusW, 0, 0, 1, 0, 0, rgb));
        const int q1 = g.add(f.make(Len, MinusW, PlusW, 0, 0, 1, 1, 0, rgb));
        const int q2 = g.add(f.make(Len, PlusW, PlusW, 0, 0, 1, 1, 1, rgb));
        const int q3 = g.add(f.make(PlusW, PlusW, PlusW, 0, 0, 1, 0, 1, rgb));
        g.face(q0, q1, q2, q3);
        // -w side
        const int r0 = g.add(f.make(PlusW, MinusW, MinusW, 0, 0, -1, 0, 0, rgb));
        const int r1 = g.add(f.make(PlusW, PlusW, MinusW, 0, 0, -1, 0, 1, rgb));
        const int r2 = g.add(f.make(Len, PlusW, MinusW, 0, 0, -1, 1, 1, rgb));
        const int r3 = g.add(f.make(Len, MinusW, MinusW, 0, 0, -1, 1, 0, rgb));
        g.face(r0, r1, r2, r3);
        // end cap
        g.face(m1, p3, p2, m2);
    }

    QString text = QStringLiteral("ply\nformat ascii 1.0\nelement vertex %1\n").arg(g.vertices.size());
    for (const char* p : {"x", "y", "z", "nx", "ny", "nz"})
        text += QStringLiteral("property float %1\n").arg(QLatin1String(p));
    text += QStringLiteral("property float s\nproperty float t\n");
    for (const char* p : {"red", "green", "blue", "alpha"})
        text += QStringLiteral("property uchar %1\n").arg(QLatin1String(p));
    text += QStringLiteral("element face %1\n").arg(g.faces.size());
    text += QStringLiteral("property list uchar uint vertex_indices\nend_header\n");
    text += g.vertices.join(QLatin1Char('\n')) + QLatin1Char('\n');
    text += g.faces.join(QLatin1Char('\n')) + QLatin1Char('\n');
    return text;
}

} // namespace

const QString& axesGlyphTemplate()
{
    static const QString text = buildTemplate();
    return text;
}

QString axesGlyphPly(double length)
{
    QString text = axesGlyphTemplate();
    text.replace(QStringLiteral(":LENGTH:"), QString::number(length, 'g', 6));
    text.replace(QStringLiteral(":WIDTH:"), QString::number(length / 40.0, 'g', 6));
    return text;
}

std::array<cv::Vec3d, 5> frustumPoints(const cv::Mat& K, cv::Size size, double d)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    if (K.rows != 3 || K.cols != 3 || K.channels() != 1)
        return {cv::Vec3d(nan, nan, nan), cv::Vec3d(nan, nan, nan), cv::Vec3d(nan, nan, nan),
                cv::Vec3d(nan, nan, nan), cv::Vec3d(0, 0, 0)};
    cv::Mat k;
    K.convertTo(k, CV_64F);
    const double fx = k.at<double>(0, 0), fy = k.at<double>(1, 1);
    const double cx = k.at<double>(0, 2), cy = k.at<double>(1, 2);
    const double w = size.width, h = size.height;
    // Division by a zero focal length gives inf or nan, which allFinite() reports.
    return {cv::Vec3d(-cx * d / fx, -cy * d / fy, d), cv::Vec3d((w - cx) * d / fx, -cy * d / fy, d),
            cv::Vec3d((w - cx) * d / fx, (h - cy) * d / fy, d), cv::Vec3d(-cx * d / fx, (h - cy) * d / fy, d),
            cv::Vec3d(0, 0, 0)};
}

bool allFinite(const std::array<cv::Vec3d, 5>& points)
{
    for (const auto& p : points)
        for (int i = 0; i < 3; ++i)
            if (!std::isfinite(p[i]))
                return false;
    return true;
}

BoardPlaneCorners boardPlaneCorners(const cv::Matx33d& R, const cv::Vec3d& t, int nx, int ny, double sx, double sy)
{
    return {t, R * cv::Vec3d(nx * sx, 0, 0) + t, R * cv::Vec3d(0, ny * sy, 0) + t};
}
