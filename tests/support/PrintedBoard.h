#pragma once
// Checks of exported target pages: PDF and SVG files rasterised by independent tools from Debian
// (pdftoppm, rsvg-convert), the board detected in the page image and its corner grid measured.

#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QTemporaryDir>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "targets/TargetDetection.h"

namespace vantiro::test {

// The file as a grey image at dpi: PDF through pdftoppm, SVG through rsvg-convert, PNG read as it
// is. Empty with the reason in why when the tool is missing or fails.
inline cv::Mat rasterisedPage(const QString& file, int dpi, QString* why)
{
    const QString suffix = QFileInfo(file).suffix().toLower();
    if (suffix == QLatin1String("png"))
        return cv::imread(file.toStdString(), cv::IMREAD_GRAYSCALE);
    const QString tool = suffix == QLatin1String("pdf") ? QStringLiteral("pdftoppm") : QStringLiteral("rsvg-convert");
    const QString exe = QStandardPaths::findExecutable(tool);
    if (exe.isEmpty()) {
        *why = tool + QStringLiteral(" is not installed (./vantiro.sh deps installs it)");
        return {};
    }
    QTemporaryDir dir;
    const QString out = dir.path() + QStringLiteral("/page");
    QStringList args;
    if (tool == QLatin1String("pdftoppm"))
        args << QStringLiteral("-r") << QString::number(dpi) << QStringLiteral("-png") << QStringLiteral("-gray")
             << QStringLiteral("-singlefile") << file << out;
    else
        args << QStringLiteral("--dpi-x") << QString::number(dpi) << QStringLiteral("--dpi-y") << QString::number(dpi)
             << QStringLiteral("--format") << QStringLiteral("png") << QStringLiteral("--output")
             << out + QStringLiteral(".png") << file;
    QProcess p;
    p.start(exe, args);
    if (!p.waitForFinished(120000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        *why = tool + QStringLiteral(" failed: ") + QString::fromLocal8Bit(p.readAllStandardError());
        return {};
    }
    cv::Mat image = cv::imread((out + QStringLiteral(".png")).toStdString(), cv::IMREAD_GRAYSCALE);
    if (image.empty())
        *why = tool + QStringLiteral(" wrote no readable image");
    return image;
}

// The corner grid in the image: the affine map from object points (mm) to pixels fitted by least
// squares, its scale along the object's x and y in pixels per millimetre, the largest residual,
// and the corners' centroid.
struct MeasuredGrid
{
    double pxPerMmX = 0, pxPerMmY = 0;
    double maxResidual = 0;
    cv::Point2d centroid;
    size_t corners = 0;
};

inline MeasuredGrid measureGrid(const TargetCornerList& corners)
{
    MeasuredGrid g;
    g.corners = corners.size();
    if (corners.size() < 3)
        return g;
    cv::Mat a(int(corners.size()), 3, CV_64F), b(int(corners.size()), 2, CV_64F);
    for (int i = 0; i < a.rows; ++i) {
        const TargetCorner& c = corners[size_t(i)];
        a.at<double>(i, 0) = c.objectPoint.x;
        a.at<double>(i, 1) = c.objectPoint.y;
        a.at<double>(i, 2) = 1.0;
        b.at<double>(i, 0) = c.imagePoint.x;
        b.at<double>(i, 1) = c.imagePoint.y;
        g.centroid += cv::Point2d(c.imagePoint) / double(corners.size());
    }
    cv::Mat m; // 3 x 2: image = [X Y 1] * m
    cv::solve(a, b, m, cv::DECOMP_SVD);
    g.pxPerMmX = std::hypot(m.at<double>(0, 0), m.at<double>(0, 1));
    g.pxPerMmY = std::hypot(m.at<double>(1, 0), m.at<double>(1, 1));
    const cv::Mat residual = a * m - b;
    for (int i = 0; i < residual.rows; ++i)
        g.maxResidual = std::max(g.maxResidual, std::hypot(residual.at<double>(i, 0), residual.at<double>(i, 1)));
    return g;
}

} // namespace vantiro::test
