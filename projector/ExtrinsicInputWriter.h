#pragma once
// The input of the extrinsic stereo module made from the camera-projector job: per set a camera
// view and a projector view, each with its corner file, in
//   <working directory>/ExtrinsicCalibrationData/<camera>/cam_view_<set>.png / .yml
//   <working directory>/ExtrinsicCalibrationData/<projector>/proj_view_<set>.png / .yml

#include <QString>
#include <QStringList>

#include <opencv2/core.hpp>

#include <string>
#include <vector>

#include "projector/GrayCodePatternGenerator.h"
#include "projector/ProjectorCorners.h"

class GrayCodeSets;

namespace camproj {

// workingDirectory + "/ExtrinsicCalibrationData/".
QString extrinsicDataFolder(const QString& workingDirectory);
// The folder of one object's views: extrinsicDataFolder + name + "/".
QString extrinsicDataFolder(const QString& workingDirectory, const QString& objectName);

// The corner file of one view: "corners" (N x 1, two-channel float) then "obj" (N x 1,
// three-channel float), as the library's YAML with its standard header. All YAML of the writer
// is made here.
std::string cornerFileText(const std::vector<cv::Point2f>& corners, const std::vector<cv::Point3f>& objectPoints);

// The PNG files of an object's folder, sorted by name, with their folder: the image list handed to
// the stereo module. Empty when the folder does not exist.
QStringList extrinsicDataImages(const QString& workingDirectory, const QString& objectName);

struct ExtrinsicInputRequest
{
    QString workingDirectory;
    QString cameraName;
    QString projectorName;
};

enum class ExtrinsicInputStatus
{
    Written,
    NothingToWrite, // no working directory, no sets, or no set with projector corners
    SameObjects,
    UnusableName,   // an object name that cannot be a folder name
    Declined,
    Failed,         // a file could not be written; nothing was changed
};

struct ExtrinsicInputResult
{
    ExtrinsicInputStatus status = ExtrinsicInputStatus::NothingToWrite;
    QList<int> sets; // the sets written
    QStringList files;
    QString error;
};

// Writes every checked set with projector corners: the set's white frame in colour, its Projector
// View rebuilt, and both corner files, all of them or none (a failure leaves the folders as they
// were). Views of sets not written this time (left from an earlier write) are removed, so that
// both folders list the same sets.
ExtrinsicInputResult writeExtrinsicInput(GrayCodeSets& images, const std::vector<CornerSet>& corners,
                                         const ExtrinsicInputRequest& request, const ConfirmFunction& confirm,
                                         vantiro::LogSink& log);

} // namespace camproj
