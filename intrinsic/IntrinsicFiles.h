#pragma once
// Files the intrinsic module reads and writes: corner files beside images and the intrinsics file.

#include <QString>

#include <opencv2/core.hpp>

#include <functional>
#include <vector>

namespace vantiro::intrinsic {

// The corner file of an image: same folder, the name without its last extension, ".yml".
QString cornerFilePath(const QString& imagePath);

enum class CornerFileStatus
{
    Missing,  // no file, or it does not open: nothing to use
    Loaded,   // points read
    Invalid,  // the file opens but its content is unusable; see error
};

struct CornerFile
{
    CornerFileStatus status = CornerFileStatus::Missing;
    std::vector<cv::Point2f> imagePoints;
    std::vector<cv::Point3f> objectPoints;
    QString error;
};

// Reads "corners" (2-D image points) and "obj" (3-D object points, same order). Both must be
// lists of points of the right dimension (float or double), of equal length and at least four
// points long; anything else is Invalid with a reason, never half-read.
CornerFile readCornerFile(const QString& path);

// Working directory + "/" + name + ".intrinsics.yml".
QString intrinsicsFilePath(const QString& workingDirectory, const QString& sensorName);

// A YAML file built in memory by fill, replacing path in one piece: readers see the old content
// or the complete new one, never a partial file. False with a reason in error when nothing was
// written.
bool writeYamlAtomically(const QString& path, const std::function<void(cv::FileStorage&)>& fill,
                         QString* error = nullptr);

// Writes "imgSize", "K", "kc" and "reprojErrRMS" in this order. The file is replaced atomically:
// readers see the old content or the complete new one, never a partial file. Returns false with
// a reason in error when nothing was written.
bool writeIntrinsicsFile(const QString& path, cv::Size imageSize, const cv::Mat& K, const cv::Mat& distortion,
                         double rms, QString* error = nullptr);

} // namespace vantiro::intrinsic
