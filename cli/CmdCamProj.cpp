// camproj: the camera-projector module's corner job on the captured sets of a working directory,
// its input data for the stereo calibration, and (--calibrate) that calibration.

#include "Common/StructuredLight.h"
#include "cli/CliSupport.h"
#include "cli/Commands.h"
#include "cli/Console.h"
#include "cli/StereoArguments.h"
#include "intrinsic/IntrinsicFiles.h"
#include "projector/CapturedSets.h"
#include "projector/ExtrinsicInputWriter.h"
#include "projector/GrayCodeSets.h"
#include "projector/ProjectorCorners.h"

namespace cli {

using namespace vantiro::stereo;

namespace {

QString jobFailure(camproj::CornerJobStatus status)
{
    switch (status) {
    case camproj::CornerJobStatus::Aborted:
        return QStringLiteral("interrupted; nothing was written");
    case camproj::CornerJobStatus::SizeMismatch:
        return QStringLiteral("the sets' images differ in size (see the log above)");
    case camproj::CornerJobStatus::LibraryError:
        return QStringLiteral("the corner estimation failed (see the log above)");
    case camproj::CornerJobStatus::NoSets:
    case camproj::CornerJobStatus::Finished:
        break;
    }
    return QStringLiteral("no capture sets");
}

// The pairs of the stereo calibration exactly as the corner files were written: the stereo routine
// then takes them as known instead of detecting or matching again. (It reads a corner file only when
// it holds every corner of the target, and the job may have dropped some.)
void loadPairs(StereoState& state, const QStringList& cameraImages, const QStringList& projectorImages)
{
    state.loadPrimary(cameraImages);
    state.loadSecondary(projectorImages);
    for (qsizetype i = 0; i < cameraImages.size(); ++i) {
        const vantiro::intrinsic::CornerFile camera =
            vantiro::intrinsic::readCornerFile(vantiro::intrinsic::cornerFilePath(cameraImages[i]));
        const vantiro::intrinsic::CornerFile projector =
            vantiro::intrinsic::readCornerFile(vantiro::intrinsic::cornerFilePath(projectorImages[i]));
        if (camera.status != vantiro::intrinsic::CornerFileStatus::Loaded ||
            projector.status != vantiro::intrinsic::CornerFileStatus::Loaded ||
            camera.imagePoints.size() != projector.imagePoints.size())
            throw RunError(QStringLiteral("the corner files of %1 cannot be read back").arg(cameraImages[i]));
        StereoPair& pair = state.pairs[size_t(i)];
        pair.objectPoints = camera.objectPoints;
        pair.primaryPoints = camera.imagePoints;
        pair.secondaryPoints = projector.imagePoints;
    }
}

} // namespace

int runCamProj(const QStringList& arguments, Console& console)
{
    ArgParser parser(
        QStringLiteral("camproj"), QString(),
        QStringLiteral("Camera-projector calibration from Gray-code capture sets: every subfolder of the working\n"
                       "directory holding one image per pattern (white, black, pattern pairs) is one target pose.\n"
                       "The target is detected in each set's white frame, the set is decoded and every corner is\n"
                       "carried into the projector by a homography fitted to the decoded pixels around it. Writes\n"
                       "ExtrinsicCalibrationData/<camera>/cam_view_<set>.png/.yml and\n"
                       "ExtrinsicCalibrationData/<projector>/proj_view_<set>.png/.yml into the working directory.\n"
                       "With --calibrate the two lists are then calibrated as a stereo pair (camera primary,\n"
                       "projector secondary; the model options below apply), writing <camera>.intrinsics.yml,\n"
                       "<projector>.intrinsics.yml and <camera>.project.yml (+ .json)."));
    parser.addOption(QStringLiteral("workdir"), QStringLiteral("DIR"),
                     QStringLiteral("The working directory holding the capture sets (default: the current one)."));
    parser.addOption(QStringLiteral("projector"), QStringLiteral("WxH"),
                     QStringLiteral("Projector resolution, for example 1024x768 (default: from the settings)."));
    addTargetOptions(parser);
    parser.addOption(QStringLiteral("camera-name"), QStringLiteral("NAME"), QStringLiteral("Default: Cam0."));
    parser.addOption(QStringLiteral("projector-name"), QStringLiteral("NAME"), QStringLiteral("Default: Cam1."));
    parser.addOption(QStringLiteral("radius"), QStringLiteral("PX"),
                     QStringLiteral("Homography radius: the window around each corner (2..9999, default 10)."));
    parser.addOption(QStringLiteral("mask-threshold"), QStringLiteral("T"),
                     QStringLiteral("Projection mask threshold (0..1, default 0: every pixel)."));
    parser.addFlag(QStringLiteral("calibrate"), QStringLiteral("Calibrate camera and projector from the data written."));
    addStereoOptions(parser);
    if (!parser.parse(arguments)) {
        console.print(parser.helpText());
        return ExitOk;
    }
    const QString workdir = workingDirectoryOption(parser);
    const MainWindowSettings target = targetFromOptions(parser, workdir);
    const cv::Size projector = projectorFromOptions(parser, workdir);
    StereoRequest request;
    readStereoSensors(parser, target, QStringLiteral("camera-name"), QStringLiteral("projector-name"),
                      QStringLiteral("camera and the projector"), request);
    camproj::CornerJobOptions options;
    options.target = target;
    options.homographyRadius = parser.intValue(QStringLiteral("radius"), 10, 2, 9999);
    const double threshold = parser.doubleValue(QStringLiteral("mask-threshold"), 0.0, 0.0, 1.0);
    const bool calibrate = parser.isSet(QStringLiteral("calibrate"));
    // Options of the calibration are checked before the long part.
    if (calibrate)
        readStereoOptions(parser, request);

    const std::vector<camproj::CapturedSet> found = camproj::findCapturedSets(workdir, projector);
    if (found.empty()) {
        camproj::logNoCapturedSets(console.log());
        throw UsageError(QStringLiteral("no capture set of %1 images (a %2x%3 projector) in %4")
                             .arg(sl::grayCodeImageCount(projector))
                             .arg(projector.width)
                             .arg(projector.height)
                             .arg(workdir));
    }
    console.print(QStringLiteral("%1 capture set(s) in %2:").arg(found.size()).arg(workdir));
    std::vector<QStringList> files;
    for (size_t s = 0; s < found.size(); ++s) {
        console.print(QStringLiteral(" %1=%2").arg(s).arg(found[s].name));
        files.push_back(found[s].files);
    }
    console.print(QStringLiteral("\n\n"));

    GrayCodeSets images;
    images.setSets(files);
    images.setProjectorSize(projector);
    images.setMaskThreshold(threshold);
    images.setLog(&console.log());
    std::vector<camproj::CornerSet> corners(found.size());
    options.progress = [&console](int done, int total) {
        console.progress(QStringLiteral("Corner estimation"), done, total);
    };
    const camproj::CornerJobStatus status =
        camproj::estimateProjectorCorners(images, corners, options, [] { return interrupted(); }, console.log());
    console.finish();
    if (status != camproj::CornerJobStatus::Finished)
        throw RunError(jobFailure(status));

    const camproj::ExtrinsicInputRequest writeRequest{workdir, request.primary.name, request.secondary.name};
    const camproj::ExtrinsicInputResult written = camproj::writeExtrinsicInput(
        images, corners, writeRequest, [](const QString&, const QString&) { return true; }, console.log());
    if (written.status == camproj::ExtrinsicInputStatus::NothingToWrite)
        throw RunError(QStringLiteral("no set kept 4 corners in both camera and projector"));
    if (written.status != camproj::ExtrinsicInputStatus::Written)
        throw RunError(written.error);
    if (!calibrate)
        return ExitOk;

    QStringList cameraImages, projectorImages;
    for (const QString& file : written.files) {
        if (!file.endsWith(QLatin1String(".png")))
            continue;
        (file.startsWith(camproj::extrinsicDataFolder(workdir, request.primary.name)) ? cameraImages : projectorImages)
            << file;
    }
    StereoState state;
    loadPairs(state, cameraImages, projectorImages);
    calibrateAndWrite(state, request, workdir, console);
    return ExitOk;
}

} // namespace cli
