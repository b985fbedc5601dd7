#include "projector/ExtrinsicInputWriter.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>

#include <opencv2/imgcodecs.hpp>

#include "app/FileSet.h"
#include "projector/GrayCodeSets.h"

using vantiro::LogSink;
namespace logcolor = vantiro::logcolor;

namespace camproj {

QString extrinsicDataFolder(const QString& workingDirectory)
{
    return workingDirectory + QStringLiteral("/ExtrinsicCalibrationData/");
}

QString extrinsicDataFolder(const QString& workingDirectory, const QString& objectName)
{
    return extrinsicDataFolder(workingDirectory) + objectName + QLatin1Char('/');
}

std::string cornerFileText(const std::vector<cv::Point2f>& corners, const std::vector<cv::Point3f>& objectPoints)
{
    cv::FileStorage fs("corners.yml", cv::FileStorage::WRITE | cv::FileStorage::MEMORY | cv::FileStorage::FORMAT_YAML);
    fs << "corners" << cv::Mat(corners, false);
    fs << "obj" << cv::Mat(objectPoints, false);
    return fs.releaseAndGetString();
}

QStringList extrinsicDataImages(const QString& workingDirectory, const QString& objectName)
{
    const QString folder = extrinsicDataFolder(workingDirectory, objectName);
    QStringList files;
    if (!QFileInfo(folder).isDir())
        return files;
    for (const QString& name : QDir(folder).entryList({QStringLiteral("*.png")}, QDir::Files, QDir::Name))
        files << folder + name;
    return files;
}

namespace {

// A name that makes exactly one folder inside ExtrinsicCalibrationData.
bool usableFolderName(const QString& name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..") &&
           !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\'));
}

QByteArray png(const cv::Mat& image)
{
    std::vector<uchar> bytes;
    if (image.empty() || !cv::imencode(".png", image, bytes))
        return {};
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()));
}

// Views of sets other than 'kept' left in folder by an earlier write.
void removeOtherViews(const QString& folder, const QString& prefix, const QSet<int>& kept)
{
    const QRegularExpression name(QStringLiteral("^%1(\\d+)\\.(png|yml)$").arg(prefix));
    for (const QString& file : QDir(folder).entryList(QDir::Files)) {
        const QRegularExpressionMatch match = name.match(file);
        if (match.hasMatch() && !kept.contains(match.captured(1).toInt()))
            QFile::remove(folder + file);
    }
}

} // namespace

namespace {

ExtrinsicInputResult write(GrayCodeSets& images, const std::vector<CornerSet>& corners,
                           const ExtrinsicInputRequest& request, const ConfirmFunction& confirm, LogSink& log)
{
    ExtrinsicInputResult result;
    const QString& W = request.workingDirectory;
    if (W.isEmpty() || images.setCount() == 0)
        return result;
    if (request.cameraName == request.projectorName) {
        log.append(QStringLiteral("Selected camera and projector objects are identical. Please set distinct objects "
                                  "before writing input data for extrinsic calibration.\n\n"),
                   logcolor::Orange);
        result.status = ExtrinsicInputStatus::SameObjects;
        return result;
    }
    for (const QString& name : {request.cameraName, request.projectorName}) {
        if (!usableFolderName(name)) {
            log.append(QStringLiteral("The object name \"%1\" cannot be a folder name; nothing was written.\n\n").arg(name),
                       logcolor::Red);
            result.status = ExtrinsicInputStatus::UnusableName;
            return result;
        }
    }
    std::vector<int> sets;
    for (int s = 0; s < images.setCount() && s < static_cast<int>(corners.size()); ++s) {
        const CornerSet& set = corners[static_cast<size_t>(s)];
        if (set.checked && !set.projectorCorners.empty() && set.projectorCorners.size() == set.cameraCorners.size() &&
            set.projectorCorners.size() == set.targetPoints.size())
            sets.push_back(s);
    }
    if (sets.empty()) {
        log.append(QStringLiteral("No checked set has projector corners; run \"Detect / Decode\" first.\n\n"),
                   logcolor::Orange);
        return result;
    }

    const QString root = extrinsicDataFolder(W);
    if (!confirm || !confirm(QStringLiteral("Writing extrinsic calibration data"),
                             QStringLiteral("Writing data for extrinsic camera-projector calibration to:\n\n") + root +
                                 QStringLiteral("\n\nContinue?"))) {
        result.status = ExtrinsicInputStatus::Declined;
        return result;
    }
    const QString cameraFolder = extrinsicDataFolder(W, request.cameraName);
    const QString projectorFolder = extrinsicDataFolder(W, request.projectorName);
    for (const QString& folder : {cameraFolder, projectorFolder}) {
        if (!QDir().mkpath(folder)) {
            log.append(QStringLiteral("Error: Could not create %1; nothing was written.\n\n").arg(folder), logcolor::Red);
            result.status = ExtrinsicInputStatus::Failed;
            result.error = folder;
            return result;
        }
    }
    log.append(QStringLiteral("Writing data for extrinsic camera-projector calibration to:\n") + root +
               QStringLiteral("\n"));

    std::vector<vantiro::PendingFile> files;
    auto fail = [&](const QString& why) {
        log.append(QStringLiteral("\n\nError: %1; nothing was written.\n\n").arg(why), logcolor::Red);
        result.status = ExtrinsicInputStatus::Failed;
        result.error = why;
        return result;
    };
    for (int s : sets) {
        const CornerSet& set = corners[static_cast<size_t>(s)];
        const QString number = QString::number(s);
        const QString cameraImage = cameraFolder + QStringLiteral("cam_view_") + number + QStringLiteral(".png");
        const QString projectorImage = projectorFolder + QStringLiteral("proj_view_") + number + QStringLiteral(".png");
        const QByteArray cameraPng = png(images.loadSetImage(s, 0, true));
        if (cameraPng.isEmpty())
            return fail(QStringLiteral("cannot write %1: the white frame cannot be read").arg(cameraImage));
        files.push_back({cameraImage, cameraPng});
        files.push_back({cameraFolder + QStringLiteral("cam_view_") + number + QStringLiteral(".yml"),
                         QByteArray::fromStdString(cornerFileText(set.cameraCorners, set.targetPoints))});
        const QByteArray projectorPng = png(images.projectorView(s, true));
        if (projectorPng.isEmpty())
            return fail(QStringLiteral("cannot write %1: no Projector View").arg(projectorImage));
        files.push_back({projectorImage, projectorPng});
        files.push_back({projectorFolder + QStringLiteral("proj_view_") + number + QStringLiteral(".yml"),
                         QByteArray::fromStdString(cornerFileText(set.projectorCorners, set.targetPoints))});
        log.append(QStringLiteral(". "));
    }
    QString error;
    if (!vantiro::writeFileSet(files, &error))
        return fail(error);

    QSet<int> written;
    for (int s : sets)
        written.insert(s);
    removeOtherViews(cameraFolder, QStringLiteral("cam_view_"), written);
    removeOtherViews(projectorFolder, QStringLiteral("proj_view_"), written);
    log.append(QStringLiteral("\n\nFinished writing. Use Extrinsic Stereo module for extrinsic camera-projector "
                              "calibration.\n\n"));
    result.status = ExtrinsicInputStatus::Written;
    result.sets = QList<int>(sets.begin(), sets.end());
    for (const vantiro::PendingFile& f : files)
        result.files << f.path;
    return result;
}

} // namespace

ExtrinsicInputResult writeExtrinsicInput(GrayCodeSets& images, const std::vector<CornerSet>& corners,
                                         const ExtrinsicInputRequest& request, const ConfirmFunction& confirm,
                                         LogSink& log)
{
    QString why;
    try {
        return write(images, corners, request, confirm, log);
    } catch (const cv::Exception& e) {
        why = QStringLiteral("OpenCV exception caught: %1").arg(QString::fromStdString(e.what()));
    } catch (const std::exception& e) {
        why = QStringLiteral("Exception caught: %1").arg(QString::fromLocal8Bit(e.what()));
    }
    log.append(why + QStringLiteral("\nNothing was written.\n\n"), logcolor::Red);
    ExtrinsicInputResult result;
    result.status = ExtrinsicInputStatus::Failed;
    result.error = why;
    return result;
}

} // namespace camproj
