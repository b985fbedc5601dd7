#pragma once
// What the subcommands share: image lists from paths and globs, the working directory, the
// target from --target / --settings / the working directory's settings file, intrinsics files,
// the calibration model options, and files written whole or not at all.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <opencv2/core.hpp>

#include <array>
#include <functional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "cli/ArgParser.h"
#include "targets/TargetSettings.h"

namespace cli {

class Console;

// A run that could not be completed; the text is the one-line reason (exit status 1).
class RunError : public std::runtime_error
{
public:
    explicit RunError(const QString& message) : std::runtime_error(message.toStdString()) {}
    QString message() const { return QString::fromStdString(what()); }
};

// Paths and quoted globs ('left*.png'; the pattern applies to the file name) into existing image
// files: each glob sorted naturally (img2 before img10), the order of the arguments kept. A path
// that does not exist, a folder, or a glob without matches is a UsageError naming it.
QStringList expandImageArguments(const QStringList& arguments);

// Every image's header read (nothing decoded): a file that is not a PNG, JPEG, TIFF or BMP
// image, cannot be read or declares an absurd size is a UsageError naming it. Returns the sizes.
std::vector<cv::Size> checkImagesReadable(const QStringList& paths);

// The name of a calibration object, which becomes a file name in the working directory: not
// empty, no path separator, not starting with a dot. UsageError naming the option otherwise.
void checkObjectName(const QString& name, const QString& option);

// The image files of a folder (png, jpg, jpeg, tif, tiff, bmp), sorted naturally.
QStringList imagesInFolder(const QString& folder);

// --workdir (default: the current directory) as an absolute path; a missing folder is created.
QString workingDirectoryOption(const ArgParser& parser);

// Registers --target and --settings.
void addTargetOptions(ArgParser& parser);
// The target of --target, else of --settings (a "MainWindowSettings.ini" or a folder holding
// one), else of the working directory's settings file. 'source' says which it was.
MainWindowSettings targetFromOptions(const ArgParser& parser, const QString& workingDirectory, QString* source = nullptr);

// "WIDTHxHEIGHT" (each 1..999999) into a size; UsageError naming the option otherwise.
cv::Size parseResolution(const QString& text, const QString& option);
// --projector WxH, else the projector resolution of the settings (as for the target).
cv::Size projectorFromOptions(const ArgParser& parser, const QString& workingDirectory);

// An intrinsics file ("K", "kc", "imgSize") as start values; UsageError when it cannot be used.
struct IntrinsicsFile
{
    cv::Mat K;          // 3x3 CV_64F
    cv::Mat distortion; // 1xN CV_64F, may be empty
    cv::Size imageSize;
};
IntrinsicsFile readIntrinsicsGuess(const QString& path);

// The distortion model and what is fixed, as the options tabs of the modules have them.
struct ModelOptions
{
    std::array<bool, 6> fixK{};
    bool fixFocalLength = false;
    bool fixPrincipalPoint = false;
    bool fixAspectRatio = true;
    bool useRadialDistortion = true;
    bool useRationalModel = false;
    bool useTangentialDistortion = false;
};
// Registers --<prefix>fix, --<prefix>free-aspect-ratio, --<prefix>rational,
// --<prefix>tangential and --<prefix>no-radial; who names the sensor in the help.
void addModelOptions(ArgParser& parser, const QString& prefix, const QString& who);
// The options of the given prefixes together (for a sensor: the shared and its own). With
// guess false, fixing the focal length or principal point is a UsageError: there is nothing to
// fix them at.
ModelOptions modelOptionsFrom(const ArgParser& parser, const QStringList& prefixes, bool guess);

// Files that belong together: all written or none (see vantiro::writeFileSet). Throws RunError.
void writeFilesAtomically(const std::vector<std::pair<QString, QByteArray>>& files);
// The same into folder, which is created when missing and removed again when nothing could be
// written into it.
void writeFilesIntoFolder(const QString& folder, const std::vector<std::pair<QString, QByteArray>>& files);
// An image encoded by the extension of path (16-bit PNG and float TIFF included). Throws RunError.
QByteArray encodeImage(const QString& path, const cv::Mat& image);
// A YAML or JSON text built in memory by fill (format by the extension of path). Throws RunError.
QByteArray storageText(const QString& path, const std::function<void(cv::FileStorage&)>& fill);

// Writes data to path through a temporary file in the same folder and a rename: the file is
// complete or untouched. Throws RunError.
void writeFileAtomically(const QString& path, const QByteArray& data);
// The same for an image, encoded by the extension of path (16-bit PNG and float TIFF included).
void writeImageAtomically(const QString& path, const cv::Mat& image);
// A YAML or JSON file built in memory by fill (FileStorage by the extension of path).
void writeStorageAtomically(const QString& path, const std::function<void(cv::FileStorage&)>& fill);

// Seconds since start as "1.2 s".
QString seconds(qint64 milliseconds);

} // namespace cli
