// intrinsic: the intrinsic module's calibration routine on a list of images.

#include "cli/CliSupport.h"
#include "cli/Commands.h"
#include "cli/Console.h"
#include "cli/QualityReport.h"
#include "intrinsic/IntrinsicCalibration.h"

#include <QFileInfo>

namespace cli {

using namespace vantiro::intrinsic;

namespace {

QString failureReason(CalibrationStatus status)
{
    switch (status) {
    case CalibrationStatus::InvalidGuess:
        return QStringLiteral("the start values need non-zero focal lengths");
    case CalibrationStatus::NoSensor:
        return QStringLiteral("no calibration object");
    case CalibrationStatus::Aborted:
        return QStringLiteral("interrupted; nothing was written");
    case CalibrationStatus::NoImages:
        return QStringLiteral("the target was not found in any image");
    case CalibrationStatus::NonPlanarWithoutGuess:
        return QStringLiteral("a non-planar target needs start values (--guess FILE)");
    case CalibrationStatus::LibraryError:
        return QStringLiteral("the calibration failed (see the log above)");
    case CalibrationStatus::InvalidResult:
        return QStringLiteral("the calibration gave an unusable result; nothing was written");
    case CalibrationStatus::Calibrated:
        break;
    }
    return QString();
}

} // namespace

int runIntrinsic(const QStringList& arguments, Console& console)
{
    ArgParser parser(QStringLiteral("intrinsic"), QStringLiteral("IMAGE..."),
                     QStringLiteral("Calibrates one camera (camera matrix and distortion) from images of the target\n"
                                    "and writes <name>.intrinsics.yml into the working directory. Corner files beside\n"
                                    "the images are used instead of detection. Prints the module's log."));
    addTargetOptions(parser);
    parser.addOption(QStringLiteral("workdir"), QStringLiteral("DIR"),
                     QStringLiteral("Where the intrinsics file goes (created when missing; default: the current directory)."));
    parser.addOption(QStringLiteral("name"), QStringLiteral("NAME"),
                     QStringLiteral("Name of the calibration object (default: Cam0)."));
    parser.addOption(QStringLiteral("guess"), QStringLiteral("FILE"),
                     QStringLiteral("Start from the intrinsics in FILE (an intrinsics file: K, kc)."));
    addModelOptions(parser, QString(), QString());
    parser.addOption(QStringLiteral("max-iterations"), QStringLiteral("N"),
                     QStringLiteral("Termination: at most N iterations (1..999, default 100)."));
    parser.addOption(QStringLiteral("epsilon"), QStringLiteral("PX"),
                     QStringLiteral("Termination: change below PX (at least 0.001, default 0.001)."));
    parser.addOption(QStringLiteral("outlier-threshold"), QStringLiteral("PX"),
                     QStringLiteral("Remove corners whose reprojection error exceeds PX (0.1..99) and calibrate\n"
                                    "once more without them."));
    parser.addOption(QStringLiteral("report"), QStringLiteral("DIR"),
                     QStringLiteral("Write the calibration's quality into DIR: uncertainty, coverage and residual\n"
                                    "pictures (PNG) and quality.yml."));
    parser.setPositional(QStringLiteral("IMAGE"), QStringLiteral("Image files or quoted globs ('views/*.png')."), 1, -1);
    if (!parser.parse(arguments)) {
        console.print(parser.helpText());
        return ExitOk;
    }

    const QString workdir = workingDirectoryOption(parser);
    const MainWindowSettings target = targetFromOptions(parser, workdir);
    const QStringList images = expandImageArguments(parser.positional());
    checkImagesReadable(images);
    const QString report = parser.value(QStringLiteral("report"));
    const bool reportIsFile = QFileInfo::exists(report) && !QFileInfo(report).isDir();
    if (parser.isSet(QStringLiteral("report")) && (report.isEmpty() || reportIsFile))
        throw UsageError(QStringLiteral("--report needs a folder: %1").arg(report));
    const QString name = parser.value(QStringLiteral("name"), QStringLiteral("Cam0"));
    checkObjectName(name, QStringLiteral("name"));

    IntrinsicState state;
    state.loadImages(images);
    CalibrationRequest request;
    request.target = target;
    request.workingDirectory = workdir;
    CalibrationOptions& o = request.options;
    o.useIntrinsicGuess = parser.isSet(QStringLiteral("guess"));
    if (o.useIntrinsicGuess) {
        const IntrinsicsFile guess = readIntrinsicsGuess(parser.value(QStringLiteral("guess")));
        state.K = guess.K;
        state.distortion = guess.distortion;
        state.imageSize = guess.imageSize;
    }
    const ModelOptions model = modelOptionsFrom(parser, {QString()}, o.useIntrinsicGuess);
    o.fixK = model.fixK;
    o.fixFocalLength = model.fixFocalLength;
    o.fixPrincipalPoint = model.fixPrincipalPoint;
    o.fixAspectRatio = model.fixAspectRatio;
    o.useRadialDistortion = model.useRadialDistortion;
    o.useRationalModel = model.useRationalModel;
    o.useTangentialDistortion = model.useTangentialDistortion;
    o.maxIterations = parser.intValue(QStringLiteral("max-iterations"), 100, 1, 999);
    o.epsilon = parser.doubleValue(QStringLiteral("epsilon"), 0.001, 0.001, 1e9);
    o.removeOutliers = parser.isSet(QStringLiteral("outlier-threshold"));
    o.outlierThreshold = parser.doubleValue(QStringLiteral("outlier-threshold"), 5.0, 0.1, 99.0);

    CalibrationHooks hooks;
    hooks.abort = [] { return interrupted(); };
    hooks.progress = [&console](int done, int total) { console.progress(QStringLiteral("Detecting"), done, total); };
    hooks.sensor = [&name] { return std::optional<SensorRef>(SensorRef{0, name}); };

    CalibrationResult result = calibrateIntrinsics(state, request, hooks, console.log());
    if (result.status == CalibrationStatus::Calibrated && result.outliersRemoved) {
        // What the user of the module does next: calibrate again on the remaining corners.
        console.print(QStringLiteral("Calibrating again without the outliers:\n\n"));
        request.options.removeOutliers = false;
        result = calibrateIntrinsics(state, request, hooks, console.log());
    }
    console.finish();
    if (result.status != CalibrationStatus::Calibrated)
        throw RunError(failureReason(result.status));
    if (result.intrinsicsFile.isEmpty())
        throw RunError(QStringLiteral("the intrinsics file was not written: %1").arg(result.writeError));
    if (!report.isEmpty() && result.quality) {
        writeQualityReport(report, *result.quality, images);
        console.print(QStringLiteral("Quality report written to:\n%1\n").arg(QFileInfo(report).absoluteFilePath()));
    }
    return ExitOk;
}

} // namespace cli
