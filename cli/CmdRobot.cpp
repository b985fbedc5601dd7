// handeye, toolflange: the robot modules' calibration on images and a pose file.

#include <QFileInfo>

#include "Common/NaturalSort.h"
#include "cli/CliSupport.h"
#include "cli/Commands.h"
#include "cli/Console.h"
#include "robot/RobotCalibration.h"

namespace cli {

using namespace vantiro::robot;

namespace {

QString failureReason(RobotStatus status)
{
    switch (status) {
    case RobotStatus::NoCamera:
    case RobotStatus::NoSensor:
        return QStringLiteral("no calibration object");
    case RobotStatus::NoIntrinsics:
        return QStringLiteral("the intrinsics file has no usable camera matrix and distortion");
    case RobotStatus::NoImages:
        return QStringLiteral("no image to use");
    case RobotStatus::NoPoses:
        return QStringLiteral("the pose file holds no pose");
    case RobotStatus::CountMismatch:
        return QStringLiteral("the number of images differs from the number of poses");
    case RobotStatus::TooFewImages:
        return QStringLiteral("at least 3 images are needed");
    case RobotStatus::Aborted:
        return QStringLiteral("interrupted; nothing was written");
    case RobotStatus::TooFewViews:
        return QStringLiteral("the target pose is known in fewer than 3 images");
    case RobotStatus::InvalidResult:
        return QStringLiteral("the solver gave no usable result (do the robot poses turn between images?)");
    case RobotStatus::LibraryError:
        return QStringLiteral("the calibration failed (see the log above)");
    case RobotStatus::Calibrated:
        break;
    }
    return QString();
}

QString checkedName(const ArgParser& parser, const QString& option, const QString& fallback)
{
    const QString name = parser.value(option, fallback);
    if (name.isEmpty() || name.contains(QLatin1Char('/')))
        throw UsageError(QStringLiteral("--%1 must be a non-empty name without '/'").arg(option));
    return name;
}

int runRobot(RobotModule module, const QStringList& arguments, Console& console)
{
    const bool handEye = module == RobotModule::HandEye;
    ArgParser parser(
        handEye ? QStringLiteral("handeye") : QStringLiteral("toolflange"), QStringLiteral("IMAGE..."),
        handEye ? QStringLiteral("Hand-eye calibration (AX = XB) of a camera on the robot's tool: the camera in the\n"
                                 "TCP frame, from images of a fixed target and the TCP pose of each image. Writes\n"
                                 "AX-XB.yml (RX, tX) into the working directory and prints the module's log.")
                : QStringLiteral("Tool-flange calibration (AX = YB) of a fixed camera and a target on the robot's\n"
                                 "flange: the camera in the robot base frame (Y) and the target in the TCP frame (X).\n"
                                 "Writes AX-YB.yml (RY, tY, RX, tX) into the working directory and prints the log."));
    parser.addOption(QStringLiteral("workdir"), QStringLiteral("DIR"),
                     QStringLiteral("Where the result file goes (default: the current directory)."));
    parser.addOption(QStringLiteral("camera-name"), QStringLiteral("NAME"),
                     QStringLiteral("Name of the camera in the log (default: Cam0)."));
    parser.addOption(QStringLiteral("robot-name"), QStringLiteral("NAME"),
                     QStringLiteral("Name of the robot base in the log (default: Robot)."));
    parser.addOption(QStringLiteral("intrinsics"), QStringLiteral("FILE"),
                     QStringLiteral("The camera's intrinsics file (K, kc, imgSize), required."));
    parser.addOption(QStringLiteral("tcp"), QStringLiteral("FILE"),
                     QStringLiteral("The TCP poses, one per image in image order (XML or text), required."));
    parser.addOption(QStringLiteral("tcp-units"), QStringLiteral("m|mm"),
                     QStringLiteral("Length unit of the TCP positions (default m)."));
    if (handEye)
        parser.addOption(QStringLiteral("method"), QStringLiteral("METHOD"),
                         QStringLiteral("AX = XB solver: park (default), andreff or horaud."));
    parser.addOption(QStringLiteral("pnp"), QStringLiteral("SOLVER"),
                     handEye ? QStringLiteral("Target pose per image: iterative (default) or epnp.")
                             : QStringLiteral("Target pose per image: iterative (default), epnp or p3p (the four\n"
                                              "outer corners; needs the whole target in every image)."));
    parser.addOption(QStringLiteral("ransac-iterations"), QStringLiteral("N"),
                     QStringLiteral("Estimate target poses with RANSAC, N iterations (1..9999, default 25).\n"
                                    "Any of the three RANSAC options switches RANSAC on."));
    parser.addOption(QStringLiteral("ransac-threshold"), QStringLiteral("PX"),
                     handEye ? QStringLiteral("RANSAC inlier threshold (0.001..999 px, default 1); five times it also\n"
                                              "bounds the mean error of an EPnP pose.")
                             : QStringLiteral("RANSAC inlier threshold (0.1..999 px, default 1)."));
    parser.addOption(QStringLiteral("ransac-confidence"), QStringLiteral("PERCENT"),
                     QStringLiteral("RANSAC confidence (1..99 %, default 50)."));
    addTargetOptions(parser);
    parser.setPositional(QStringLiteral("IMAGE"),
                         QStringLiteral("Image files or quoted globs; sorted naturally by name (img2 before img10),\n"
                                        "image i pairs with pose i of the file."),
                         1, -1);
    if (!parser.parse(arguments)) {
        console.print(parser.helpText());
        return ExitOk;
    }

    const QString workdir = workingDirectoryOption(parser);
    const MainWindowSettings target = targetFromOptions(parser, workdir);
    QStringList images = expandImageArguments(parser.positional());
    TNQ::naturalSort(images);
    const QString cameraName = checkedName(parser, QStringLiteral("camera-name"), QStringLiteral("Cam0"));
    const QString robotName = checkedName(parser, QStringLiteral("robot-name"), QStringLiteral("Robot"));
    if (!parser.isSet(QStringLiteral("intrinsics")))
        throw UsageError(QStringLiteral("give the camera's intrinsics with --intrinsics FILE"));
    const IntrinsicsFile intrinsics = readIntrinsicsGuess(parser.value(QStringLiteral("intrinsics")));
    if (!parser.isSet(QStringLiteral("tcp")))
        throw UsageError(QStringLiteral("give the TCP poses with --tcp FILE"));
    const QString tcp = parser.value(QStringLiteral("tcp"));
    if (!QFileInfo(tcp).isFile())
        throw UsageError(QStringLiteral("pose file not found: %1").arg(tcp));

    RobotRequest request;
    request.module = module;
    request.target = target;
    request.K = intrinsics.K;
    request.distortion = intrinsics.distortion;
    request.imageSize = intrinsics.imageSize;
    request.workingDirectory = workdir;
    RobotOptions& o = request.options;
    const QString units = parser.value(QStringLiteral("tcp-units"), QStringLiteral("m"));
    if (units != QLatin1String("m") && units != QLatin1String("mm"))
        throw UsageError(QStringLiteral("--tcp-units must be m or mm, not \"%1\"").arg(units));
    o.metres = units == QLatin1String("m");
    const QString method = parser.value(QStringLiteral("method"), QStringLiteral("park"));
    if (method == QLatin1String("park"))
        o.method = HandEyeMethod::Park;
    else if (method == QLatin1String("andreff"))
        o.method = HandEyeMethod::Andreff;
    else if (method == QLatin1String("horaud"))
        o.method = HandEyeMethod::Horaud;
    else
        throw UsageError(QStringLiteral("--method must be park, andreff or horaud, not \"%1\"").arg(method));
    const QString pnp = parser.value(QStringLiteral("pnp"), QStringLiteral("iterative"));
    if (pnp == QLatin1String("iterative"))
        o.solver = PoseSolver::Iterative;
    else if (pnp == QLatin1String("epnp"))
        o.solver = PoseSolver::EPnP;
    else if (pnp == QLatin1String("p3p") && !handEye)
        o.solver = PoseSolver::EP3P;
    else
        throw UsageError(handEye ? QStringLiteral("--pnp must be iterative or epnp, not \"%1\"").arg(pnp)
                                 : QStringLiteral("--pnp must be iterative, epnp or p3p, not \"%1\"").arg(pnp));
    o.useRansac = parser.isSet(QStringLiteral("ransac-iterations")) || parser.isSet(QStringLiteral("ransac-threshold")) ||
                  parser.isSet(QStringLiteral("ransac-confidence"));
    if (o.useRansac && o.solver == PoseSolver::EP3P)
        throw UsageError(QStringLiteral("--pnp p3p uses four corners and no RANSAC; drop the --ransac options"));
    o.ransacIterations = parser.intValue(QStringLiteral("ransac-iterations"), 25, 1, 9999);
    o.maxReprojectionError =
        float(parser.doubleValue(QStringLiteral("ransac-threshold"), 1.0, handEye ? 0.001 : 0.1, 999.0));
    o.confidence = parser.intValue(QStringLiteral("ransac-confidence"), 50, 1, 99) / 100.0;

    // A pose file with problems would pair images with the wrong poses: refuse it.
    const TcpFile check = readTcpPoseFile(tcp);
    if (!check.messages.isEmpty())
        throw UsageError(QStringLiteral("pose file %1: %2").arg(tcp, check.messages.first().trimmed()));
    const TcpPoseList poses = readTcpPoseFiles({tcp}, console.log());

    std::vector<RobotImage> rows;
    for (const QString& path : images) {
        rows.emplace_back();
        rows.back().path = path;
    }
    RobotHooks hooks;
    hooks.abort = [] { return interrupted(); };
    hooks.progress = [&console](int done, int total) { console.progress(QStringLiteral("Detecting"), done, total); };
    hooks.camera = [&cameraName] { return std::optional<SensorRef>(SensorRef{0, cameraName}); };
    hooks.robot = [&robotName] { return std::optional<SensorRef>(SensorRef{1, robotName}); };

    const RobotResult result = calibrateRobot(rows, poses.poses, request, hooks, console.log());
    console.finish();
    if (result.status != RobotStatus::Calibrated)
        throw RunError(failureReason(result.status));
    if (result.resultFile.isEmpty())
        throw RunError(QStringLiteral("the result file was not written: %1").arg(result.writeError));
    return ExitOk;
}

} // namespace

int runHandEye(const QStringList& arguments, Console& console)
{
    return runRobot(RobotModule::HandEye, arguments, console);
}

int runToolFlange(const QStringList& arguments, Console& console)
{
    return runRobot(RobotModule::ToolFlange, arguments, console);
}

} // namespace cli
