#pragma once
// Files the intrinsic module reads and writes: corner files beside images and the intrinsics file.

#include <QByteArray>
#include <QString>

#include <opencv2/core.hpp>

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
// lists of points of the right dimension (float or double), of equal length, and pass
// cornerListProblem (finite as float, within bounds, at least 4 corners not on one line);
// anything else is Invalid with a reason, never half-read.
CornerFile readCornerFile(const QString& path);

// The content of an intrinsics file: each of "K", "kc" and "imgSize" when present, checked for
// shape and finite values. ok false (with error) when the file cannot be read or a key present
// is unusable; then nothing is filled.
struct IntrinsicsFileContent
{
    bool ok = false;
    bool opened = false; // the file was read and parsed; false: error says why not
    QString error;
    cv::Mat K;          // 3x3 CV_64F, or empty when absent
    cv::Mat distortion; // 1xN CV_64F (N <= 14), or empty
    cv::Size imageSize;
    bool hasImageSize = false;
};
IntrinsicsFileContent readIntrinsicsFile(const QString& path);

// Working directory + "/" + name + ".intrinsics.yml".
QString intrinsicsFilePath(const QString& workingDirectory, const QString& sensorName);

// The text of an intrinsics file: "imgSize", "K", "kc" and "reprojErrRMS" in this order.
// Throws cv::Exception on library errors.
QByteArray intrinsicsFileText(cv::Size imageSize, const cv::Mat& K, const cv::Mat& distortion, double rms);

// Writes intrinsicsFileText to path. The file is replaced atomically:
// readers see the old content or the complete new one, never a partial file. Returns false with
// a reason in error when nothing was written.
bool writeIntrinsicsFile(const QString& path, cv::Size imageSize, const cv::Mat& K, const cv::Mat& distortion,
                         double rms, QString* error = nullptr);

} // namespace vantiro::intrinsic
