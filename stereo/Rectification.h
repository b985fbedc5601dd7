#pragma once
// Stereo rectification of a calibrated pair: the rectifying rotations and projections from both
// intrinsics and camera 1 -> camera 2, the rectification file of the working directory, the
// pixel maps of both cameras, the preview lines and rectified copies of the image lists.

#include <QString>
#include <QStringList>

#include <opencv2/core.hpp>

#include <functional>

#include "app/LogSink.h"
#include "stereo/StereoWorkflow.h"

namespace vantiro::stereo {

// The library's zero-disparity flag: both rectified views share one principal point.
constexpr int kZeroDisparityFlag = 1024;

struct RectificationOptions
{
    bool equalPrincipalPoints = true;
    // 0 keeps only valid pixels, 1 keeps every source pixel.
    double alpha = 0.0;
    // Size of the rectified images; empty: camera 1's image size.
    cv::Size newImageSize;

    int flags() const { return equalPrincipalPoints ? kZeroDisparityFlag : 0; }
};

// What the last stereo calibration leaves for rectification.
struct RectificationInput
{
    QString primaryName, secondaryName;
    cv::Mat K[2];          // camera matrices (3x3)
    cv::Mat distortion[2]; // may be empty: no distortion
    cv::Size imageSize[2];
    cv::Mat R, T;          // camera 1 -> camera 2: X2 = R X1 + T
};

// The input of a completed calibration run.
RectificationInput rectificationInput(const StereoResult& result, const QString& primaryName,
                                      const QString& secondaryName);

struct Rectification
{
    cv::Size imageSize, newImageSize; // as in the file: camera 1's size and the rectified size
    cv::Size sourceSize[2];           // the image size of each camera
    double alpha = 0.0;
    int flags = 0;
    cv::Mat K[2], distortion[2]; // the intrinsics the maps were built from
    cv::Mat R[2];                // rectifying rotations (3x3 CV_64F)
    cv::Mat P[2];                // projections in the rectified frame (3x4 CV_64F)
    cv::Mat Q;                   // disparity-to-depth (4x4 CV_64F)
    // Fixed-point remap tables per camera: CV_16SC2 positions and CV_16UC1 interpolation weights.
    cv::Mat map1[2], map2[2];

    bool hasMaps() const;
    void release();
};

enum class RectificationStatus
{
    Rectified,
    MissingIntrinsics,
    NoStereoResult,
    FileNotWritten,
    LibraryError,
};

// Asked for a sensor's intrinsics (0 primary, 1 secondary) when the input has no camera matrix.
using FetchIntrinsics = std::function<void(int sensor, cv::Mat& K, cv::Mat& distortion, cv::Size& imageSize)>;

// Working directory + "/" + primary + "_" + secondary + ".rectification.yml".
QString rectificationFilePath(const QString& workingDirectory, const QString& primaryName,
                              const QString& secondaryName);

// The rectification button: checks the input (the stop messages and the size warning go to the
// log), rectifies, writes the rectification file (whole or not at all) and builds the maps into
// out. out is released first and filled only on success. Never throws.
RectificationStatus rectifyStereo(RectificationInput input, const RectificationOptions& options,
                                  const QString& workingDirectory, const FetchIntrinsics& fetch, Rectification& out,
                                  LogSink& log);

// One image of sensor (0 primary, 1 secondary) remapped: bilinear, black outside the source.
cv::Mat rectifyImage(const cv::Mat& image, const Rectification& rectification, int sensor);

// count horizontal lines across the image at y = k * height / (count + 1), k = 1 .. count, line k
// in the fully saturated hue (k - 1) * 32 degrees; nothing for count <= 0.
void drawEpipolarLines(cv::Mat& image, int count);

// Asked with both target folders (each ends in "/Rectified/"); false writes nothing.
using ConfirmRectifiedWrite = std::function<bool(const QString& primaryFolder, const QString& secondaryFolder)>;

struct RectifiedWriteResult
{
    int written = 0;
    bool completed = false; // no folder or file failed
};

// Writes every image of both lists (checked or not), rectified, into a "Rectified" folder beside
// it under its own name; existing files there are replaced, each in one step. Images that cannot
// be read, or whose size is not the one calibrated, are skipped with a warning. Several images are
// done at a time and reported in list order; the first folder or file that cannot be written (in
// that order) ends the writing, and files already written stay.
RectifiedWriteResult writeRectifiedImages(const QStringList& primaryImages, const QStringList& secondaryImages,
                                          const Rectification& rectification, const QString& primaryName,
                                          const QString& secondaryName, const ConfirmRectifiedWrite& confirm,
                                          LogSink& log);

} // namespace vantiro::stereo
