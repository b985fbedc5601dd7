#pragma once
// Undistorted copies of the module's images.

#include <QString>
#include <QStringList>

#include <opencv2/core.hpp>

#include <functional>

#include "app/LogSink.h"

namespace vantiro::intrinsic {

// Absolute folder of the first image, empty for an empty list.
QString undistortionBaseFolder(const QStringList& imagePaths);

// The image without lens distortion, same camera matrix.
cv::Mat undistortImage(const cv::Mat& image, const cv::Mat& K, const cv::Mat& distortion);

// Image points as they appear in the undistorted image.
std::vector<cv::Point2f> undistortImagePoints(const std::vector<cv::Point2f>& points, const cv::Mat& K,
                                              const cv::Mat& distortion);

// Asked with the folder that is about to receive the images (ends in "/Undistorted/");
// false stops before anything is written or logged.
using ConfirmWrite = std::function<bool(const QString& folder)>;

// Writes every image, undistorted, into the "Undistorted" folder beside the first image under
// its own name. Returns the number of images written.
int writeUndistortedImages(const QStringList& imagePaths, const cv::Mat& K, const cv::Mat& distortion,
                           const QString& sensorName, const ConfirmWrite& confirm, LogSink& log);

} // namespace vantiro::intrinsic
