#include "cli/StereoArguments.h"

#include "cli/CliSupport.h"
#include "cli/Console.h"

namespace cli {

using namespace vantiro::stereo;

namespace {

QString failureReason(StereoStatus status)
{
    switch (status) {
    case StereoStatus::SameSensor:
        return QStringLiteral("the primary and the secondary are the same object");
    case StereoStatus::ListSizeMismatch:
        return QStringLiteral("the two image lists differ in length");
    case StereoStatus::NoSensor:
        return QStringLiteral("no calibration object");
    case StereoStatus::MissingIntrinsics:
        return QStringLiteral("start values were asked for but are missing");
    case StereoStatus::Aborted:
        return QStringLiteral("interrupted; nothing was written");
    case StereoStatus::NoPairs:
        return QStringLiteral("no image pair with the target found in both images");
    case StereoStatus::LibraryError:
        return QStringLiteral("the calibration failed (see the log above)");
    case StereoStatus::InvalidResult:
        return QStringLiteral("the calibration gave an unusable result; nothing was written");
    case StereoStatus::Calibrated:
        break;
    }
    return QString();
}

SensorOptions sensorOptions(const ArgParser& parser, const QString& prefix, bool guess)
{
    const ModelOptions m = modelOptionsFrom(parser, {QString(), prefix}, guess);
    SensorOptions s;
    s.useIntrinsicGuess = guess;
    s.fixK = m.fixK;
    s.fixFocalLength = m.fixFocalLength;
    s.fixPrincipalPoint = m.fixPrincipalPoint;
    s.fixAspectRatio = m.fixAspectRatio;
    s.useRadialDistortion = m.useRadialDistortion;
    s.useRationalModel = m.useRationalModel;
    s.useTangentialDistortion = m.useTangentialDistortion;
    return s;
}

} // namespace

void addStereoOptions(ArgParser& parser)
{
    parser.addOption(QStringLiteral("primary-guess"), QStringLiteral("FILE"),
                     QStringLiteral("Start the primary from an intrinsics file."));
    parser.addOption(QStringLiteral("secondary-guess"), QStringLiteral("FILE"),
                     QStringLiteral("Start the secondary from an intrinsics file."));
    addModelOptions(parser, QString(), QStringLiteral(" (both sensors)"));
    addModelOptions(parser, QStringLiteral("primary-"), QStringLiteral(" (primary)"));
    addModelOptions(parser, QStringLiteral("secondary-"), QStringLiteral(" (secondary)"));
    parser.addFlag(QStringLiteral("same-focal-length"), QStringLiteral("Both sensors share fx, fy, cx, cy."));
    parser.addOption(QStringLiteral("max-iterations"), QStringLiteral("N"),
                     QStringLiteral("Termination: at most N iterations (0..9999, default 100)."));
    parser.addOption(QStringLiteral("epsilon"), QStringLiteral("PX"),
                     QStringLiteral("Termination: change below PX (at least 0.001, default 0.001)."));
    parser.addOption(QStringLiteral("outlier-primary"), QStringLiteral("PX"),
                     QStringLiteral("Outlier removal: largest reprojection error of the primary (0.1..9999)."));
    parser.addOption(QStringLiteral("outlier-secondary"), QStringLiteral("PX"),
                     QStringLiteral("... of the secondary."));
    parser.addOption(QStringLiteral("outlier-epipolar"), QStringLiteral("PX"),
                     QStringLiteral("... largest epipolar error. Any of the three switches removal on (the others\n"
                                    "default to 5); the pairs are then calibrated once more without the outliers."));
}

void readStereoSensors(const ArgParser& parser, const MainWindowSettings& target, const QString& primaryOption,
                       const QString& secondaryOption, const QString& roles, StereoRequest& request)
{
    request.target = target;
    request.primary.id = 0;
    request.primary.name = parser.value(primaryOption, QStringLiteral("Cam0"));
    request.secondary.id = 1;
    request.secondary.name = parser.value(secondaryOption, QStringLiteral("Cam1"));
    checkObjectName(request.primary.name, primaryOption);
    checkObjectName(request.secondary.name, secondaryOption);
    if (request.primary.name == request.secondary.name)
        throw UsageError(QStringLiteral("the %1 need different names").arg(roles));
}

void readStereoOptions(const ArgParser& parser, StereoRequest& request)
{
    StereoOptions& o = request.options;
    StereoSensor* sensors[2] = {&request.primary, &request.secondary};
    const QString prefixes[2] = {QStringLiteral("primary-"), QStringLiteral("secondary-")};
    SensorOptions* options[2] = {&o.primary, &o.secondary};
    for (int k = 0; k < 2; ++k) {
        const QString guessOption = prefixes[k] + QStringLiteral("guess");
        const bool guess = parser.isSet(guessOption);
        if (guess) {
            const IntrinsicsFile file = readIntrinsicsGuess(parser.value(guessOption));
            sensors[k]->K = file.K;
            sensors[k]->distortion = file.distortion;
            sensors[k]->imageSize = file.imageSize;
        }
        *options[k] = sensorOptions(parser, prefixes[k], guess);
    }
    o.sameFocalLength = parser.isSet(QStringLiteral("same-focal-length"));
    o.maxIterations = parser.intValue(QStringLiteral("max-iterations"), 100, 0, 9999);
    o.epsilon = parser.doubleValue(QStringLiteral("epsilon"), 0.001, 0.001, 1e9);
    o.removeOutliers = parser.isSet(QStringLiteral("outlier-primary")) ||
                       parser.isSet(QStringLiteral("outlier-secondary")) ||
                       parser.isSet(QStringLiteral("outlier-epipolar"));
    o.maxErrorPrimary = parser.doubleValue(QStringLiteral("outlier-primary"), 5.0, 0.1, 9999.0);
    o.maxErrorSecondary = parser.doubleValue(QStringLiteral("outlier-secondary"), 5.0, 0.1, 9999.0);
    o.maxErrorEpipolar = parser.doubleValue(QStringLiteral("outlier-epipolar"), 5.0, 0.1, 9999.0);
}

StereoResult calibrateAndWrite(StereoState& state, StereoRequest& request, const QString& workingDirectory,
                               Console& console)
{
    StereoHooks hooks;
    hooks.abort = [] { return interrupted(); };
    hooks.progress = [&console](int done, int pairs) { console.progress(QStringLiteral("Detecting pairs"), done, pairs); };
    // The log already shows the message.
    hooks.libraryError = [](const QString&) {};

    StereoResult result = calibrateStereo(state, request, hooks, console.log());
    if (result.status == StereoStatus::Calibrated && result.outliersFound) {
        console.print(QStringLiteral("Calibrating again without the outliers:\n\n"));
        request.options.removeOutliers = false;
        result = calibrateStereo(state, request, hooks, console.log());
    }
    console.finish();
    if (result.status != StereoStatus::Calibrated)
        throw RunError(failureReason(result.status));

    QString error;
    const bool written =
        writeStereoResultFiles(result, workingDirectory, request.primary.name, request.secondary.name, &error);
    if (!result.filesWritten.isEmpty()) {
        console.print(QStringLiteral("Results saved to:\n"));
        for (const QString& f : result.filesWritten)
            console.print(f + QLatin1Char('\n'));
        console.print(QStringLiteral("\n"));
    }
    if (!written)
        throw RunError(error);
    return result;
}

} // namespace cli
