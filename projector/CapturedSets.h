#pragma once
// Finding the captured Gray-code sets of a working directory: one subfolder per target pose,
// holding exactly one camera image per pattern image.

#include <QString>
#include <QStringList>

#include <opencv2/core.hpp>

#include <vector>

namespace vantiro {
class LogSink;
}

namespace camproj {

struct CapturedSet
{
    QString name;      // the subfolder's name
    QStringList files; // full paths in sequence order (white, black, pattern pairs)
};

// Subfolders of workingDirectory in name order, except those whose name contains
// "GrayCodeImages" or "ExtrinsicCalibrationData" (the program's own output). A subfolder is a set
// when it holds exactly as many images (png, jpg, jpeg, tif, tiff, bmp) as the projector's
// sequence has; others are passed over without a word. File names are sorted naturally, so
// 2.png comes before 10.png.
std::vector<CapturedSet> findCapturedSets(const QString& workingDirectory, const cv::Size& projectorSize);

// The explanation logged when a working directory holds no usable set.
void logNoCapturedSets(vantiro::LogSink& log);

} // namespace camproj
