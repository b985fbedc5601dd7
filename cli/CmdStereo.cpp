// stereo: the stereo module's calibration on two image lists.

#include <QFileInfo>

#include "app/ProjectFile.h"
#include "sensors/Pose.h"
#include "cli/CliSupport.h"
#include "cli/Commands.h"
#include "cli/Console.h"
#include "cli/StereoArguments.h"
#include "stereo/Rectification.h"
#include "stereo/StereoWorkflow.h"

namespace cli {

using namespace vantiro::stereo;

namespace {

// Camera 1 -> camera 2 from a project file holding both objects.
void extrinsicGuess(const QString& path, const QString& primary, const QString& secondary, StereoState& state)
{
    const ProjectReadResult project = readProjectFile(path);
    if (project.status != ProjectReadResult::Status::Ok)
        throw UsageError(QString(project.message).replace(QLatin1Char('\n'), QStringLiteral(": ")));
    const ProjectObject* objects[2] = {nullptr, nullptr};
    for (const ProjectObject& o : project.objects) {
        if (o.name == primary)
            objects[0] = &o;
        if (o.name == secondary)
            objects[1] = &o;
    }
    if (!objects[0] || !objects[1])
        throw UsageError(QStringLiteral("project file %1 does not hold both %2 and %3").arg(path, primary, secondary));
    // Both poses are in the world's frame; the secondary in the primary's is Rp^T (Xs - tp).
    const cv::Matx33d Rrel = objects[0]->R.t() * objects[1]->R;
    const cv::Matx31d trel = objects[0]->R.t() * (objects[1]->t - objects[0]->t);
    // A guess the adjustment cannot start from (a scaled or sheared matrix) is refused.
    if (!isRotation(objects[0]->R, 1e-6) || !isRotation(objects[1]->R, 1e-6))
        throw UsageError(QStringLiteral("project file %1: the pose of %2 or %3 is not a rotation")
                             .arg(path, primary, secondary));
    state.R = cv::Mat(cv::Matx33d(Rrel.t()), true);
    state.T = cv::Mat(cv::Matx31d(-(Rrel.t() * trel)), true);
}

} // namespace

int runStereo(const QStringList& arguments, Console& console)
{
    ArgParser parser(
        QStringLiteral("stereo"), QString(),
        QStringLiteral("Calibrates a primary and a secondary sensor from pairs of images taken at the same moment\n"
                       "(row i of both lists). Corner files beside the images are used instead of detection.\n"
                       "Writes <primary>.intrinsics.yml, <secondary>.intrinsics.yml and the project\n"
                       "<primary>.project.yml (+ .json) with the primary as the world; with --rectify also\n"
                       "the rectification of the pair."));
    parser.addList(QStringLiteral("primary-images"), QStringLiteral("IMAGE"),
                   QStringLiteral("The primary's images: files or quoted globs ('left*.png')."));
    parser.addList(QStringLiteral("secondary-images"), QStringLiteral("IMAGE"),
                   QStringLiteral("The secondary's images, in the same order."));
    addTargetOptions(parser);
    parser.addOption(QStringLiteral("workdir"), QStringLiteral("DIR"),
                     QStringLiteral("Where the results go (created when missing; default: the current directory)."));
    parser.addOption(QStringLiteral("primary-name"), QStringLiteral("NAME"), QStringLiteral("Default: Cam0."));
    parser.addOption(QStringLiteral("secondary-name"), QStringLiteral("NAME"), QStringLiteral("Default: Cam1."));
    addStereoOptions(parser);
    parser.addOption(QStringLiteral("extrinsic-guess"), QStringLiteral("PROJECT"),
                     QStringLiteral("Start the relative pose from a project file holding both objects."));
    parser.addFlag(QStringLiteral("rectify"),
                   QStringLiteral("After the calibration, rectify the pair: writes <primary>_<secondary>.rectification.yml\n"
                                  "into the working directory."));
    parser.addOption(QStringLiteral("alpha"), QStringLiteral("A"),
                     QStringLiteral("Rectification: 0 crops to valid pixels (default), 1 keeps every source pixel."));
    parser.addFlag(QStringLiteral("no-zero-disparity"),
                   QStringLiteral("Rectification: keep each view's own principal point (default: equal ones)."));
    parser.addOption(QStringLiteral("rectified-size"), QStringLiteral("WxH"),
                     QStringLiteral("Rectification: size of the rectified images (default: the primary's)."));
    parser.addFlag(QStringLiteral("write-rectified"),
                   QStringLiteral("Rectification: write rectified copies of both image lists into a folder\n"
                                  "\"Rectified\" beside the images (existing files there are replaced)."));
    if (!parser.parse(arguments)) {
        console.print(parser.helpText());
        return ExitOk;
    }

    if (!parser.isSet(QStringLiteral("primary-images")) || !parser.isSet(QStringLiteral("secondary-images")))
        throw UsageError(QStringLiteral("give both --primary-images and --secondary-images"));
    const QString workdir = workingDirectoryOption(parser);
    const MainWindowSettings target = targetFromOptions(parser, workdir);
    const QStringList primaryImages = expandImageArguments(parser.values(QStringLiteral("primary-images")));
    const QStringList secondaryImages = expandImageArguments(parser.values(QStringLiteral("secondary-images")));
    checkImagesReadable(primaryImages + secondaryImages);
    if (primaryImages.size() != secondaryImages.size())
        throw UsageError(QStringLiteral("%1 primary images but %2 secondary images; the lists must pair up")
                             .arg(primaryImages.size())
                             .arg(secondaryImages.size()));

    StereoRequest request;
    readStereoSensors(parser, target, QStringLiteral("primary-name"), QStringLiteral("secondary-name"),
                      QStringLiteral("primary and the secondary"), request);
    readStereoOptions(parser, request);

    const bool rectify = parser.isSet(QStringLiteral("rectify"));
    for (const char* option : {"alpha", "no-zero-disparity", "rectified-size", "write-rectified"})
        if (!rectify && parser.isSet(QLatin1String(option)))
            throw UsageError(QStringLiteral("--%1 belongs to the rectification: add --rectify").arg(QLatin1String(option)));
    RectificationOptions rectification;
    rectification.alpha = parser.doubleValue(QStringLiteral("alpha"), 0.0, 0.0, 1.0);
    rectification.equalPrincipalPoints = !parser.isSet(QStringLiteral("no-zero-disparity"));
    if (parser.isSet(QStringLiteral("rectified-size")))
        rectification.newImageSize =
            parseResolution(parser.value(QStringLiteral("rectified-size")), QStringLiteral("--rectified-size"));

    StereoState state;
    state.loadPrimary(primaryImages);
    state.loadSecondary(secondaryImages);
    if (parser.isSet(QStringLiteral("extrinsic-guess"))) {
        extrinsicGuess(parser.value(QStringLiteral("extrinsic-guess")), request.primary.name, request.secondary.name,
                       state);
        request.options.useExtrinsicGuess = true;
    }

    const StereoResult result = calibrateAndWrite(state, request, workdir, console);
    if (!rectify)
        return ExitOk;

    Rectification maps;
    if (rectifyStereo(rectificationInput(result, request.primary.name, request.secondary.name), rectification,
                      workdir, {}, maps, console.log()) != RectificationStatus::Rectified)
        throw RunError(QStringLiteral("the rectification failed (see the log above)"));
    if (parser.isSet(QStringLiteral("write-rectified")) &&
        !writeRectifiedImages(primaryImages, secondaryImages, maps, request.primary.name, request.secondary.name, {},
                              console.log())
             .completed)
        throw RunError(QStringLiteral("writing the rectified images failed (see the log above)"));
    return ExitOk;
}

} // namespace cli
