#include "intrinsic/Undistortion.h"

#include "app/ImageFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace vantiro::intrinsic {

QString undistortionBaseFolder(const QStringList& imagePaths)
{
    if (imagePaths.isEmpty())
        return {};
    return QFileInfo(imagePaths.front()).absolutePath();
}

cv::Mat undistortImage(const cv::Mat& image, const cv::Mat& K, const cv::Mat& distortion)
{
    cv::Mat out;
    cv::undistort(image, out, K, distortion, K);
    return out;
}

std::vector<cv::Point2f> undistortImagePoints(const std::vector<cv::Point2f>& points, const cv::Mat& K,
                                              const cv::Mat& distortion)
{
    std::vector<cv::Point2f> out;
    if (points.empty())
        return out;
    cv::undistortPoints(points, out, K, distortion, cv::noArray(), K);
    return out;
}

int writeUndistortedImages(const QStringList& imagePaths, const cv::Mat& K, const cv::Mat& distortion,
                           const QString& sensorName, const ConfirmWrite& confirm, LogSink& log)
{
    if (distortion.empty() || K.empty()) {
        log.append(QStringLiteral("Warning: Calibration parameters for undistortion not available. Aborting.\n\n"),
                   logcolor::Orange);
        return 0;
    }
    const QString base = undistortionBaseFolder(imagePaths);
    if (base.isEmpty())
        return 0;
    const QString folder = base + QStringLiteral("/Undistorted");
    if (confirm && !confirm(folder + QLatin1Char('/')))
        return 0;

    log.append(QStringLiteral("Undistorting %1 images").arg(sensorName), QString(), true);
    int written = 0;
    QStringList unreadable;
    try {
        for (const QString& path : imagePaths) {
            const cv::Mat image = vantiro::readImageChecked(path, cv::IMREAD_COLOR);
            if (image.empty()) {
                unreadable << path;
                continue;
            }
            const cv::Mat out = undistortImage(image, K, distortion);
            if (!QDir().mkpath(folder)) {
                log.append(QStringLiteral("\nError: Could not create the folder %1\n").arg(folder), logcolor::Red);
                log.append(QStringLiteral("Aborting.\n\n"), logcolor::Red);
                return written;
            }
            const QString target = folder + QLatin1Char('/') + QFileInfo(path).fileName();
            if (!cv::imwrite(QFile::encodeName(target).toStdString(), out)) {
                log.append(QStringLiteral("\nError: Could not write %1\n").arg(target), logcolor::Red);
                log.append(QStringLiteral("Aborting.\n\n"), logcolor::Red);
                return written;
            }
            ++written;
            log.append(QStringLiteral("."));
        }
    } catch (const cv::Exception& e) {
        log.append(QStringLiteral("OpenCV exception caught:%1\n").arg(QString::fromStdString(e.what())), logcolor::Red);
        log.append(QStringLiteral("Aborting.\n\n"), logcolor::Red);
        return written;
    }
    log.append(QStringLiteral("\n"));
    for (const QString& path : unreadable)
        log.append(QStringLiteral("Warning: Could not read %1, it was skipped.\n").arg(path), logcolor::Orange);
    log.append(QStringLiteral("Undistorted images written to:\n"));
    log.append(folder + QStringLiteral("/\n\n"));
    return written;
}

} // namespace vantiro::intrinsic
