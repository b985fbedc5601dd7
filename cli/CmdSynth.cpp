// synth: a synthetic data set with its ground truth.

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>

#include <optional>

#include "cli/CliSupport.h"
#include "cli/Commands.h"
#include "cli/Console.h"
#include "cli/SynthData.h"
#include "cli/TargetArgument.h"

namespace cli {

int runSynth(const QStringList& arguments, Console& console)
{
    ArgParser parser(
        QStringLiteral("synth"), QString(),
        QStringLiteral("Renders a synthetic data set with exactly known geometry into an empty folder:\n"
                       "  intrinsic/view_NN.png                      views of the target through the primary camera\n"
                       "  stereo/primary_NN.png, secondary_NN.png    pairs seen by both cameras at once\n"
                       "  projector/set_NN/<k>.png                   Gray-code captures of a camera-projector rig (the\n"
                       "                                             primary camera without its distortion)\n"
                       "  projector/set_NN_truth_{x,y}.tiff          the true projector column and row per pixel\n"
                       "  handeye/view_NN.png, tcp_poses.xml, tcp_poses_mm.txt\n"
                       "                                             the primary camera on a robot's tool, the TCP pose of\n"
                       "                                             each view (metres in the XML, millimetres in the text)\n"
                       "  toolflange/...                             the same with the camera fixed, the target on the flange\n"
                       "  camera0.intrinsics.yml                     the primary camera, for handeye and toolflange"
                       "  MainWindowSettings.ini                     the target, for --settings and the GUI\n"
                       "  truth.yml                                  cameras, rig and target poses (written last)"));
    parser.addOption(QStringLiteral("output"), QStringLiteral("DIR"),
                     QStringLiteral("The folder to create (must be empty or missing)."));
    parser.addOption(QStringLiteral("target"), QStringLiteral("TARGET"),
                     QStringLiteral("The target (as for the other commands; default chessboard:10x7:25)."));
    parser.addOption(QStringLiteral("sets"), QStringLiteral("LIST"),
                     QStringLiteral("Which sets: comma list of intrinsic, stereo, projector, handeye, toolflange\n"
                                    "(default: all; the robot sets need a chessboard of an odd number of squares\n"
                                    "in all or a ChArUco board)."));
    parser.addOption(QStringLiteral("camera"), QStringLiteral("MODEL"),
                     QStringLiteral("The primary camera: a preset (ideal, radial, wide, rational) and/or key=value\n"
                                    "items size=WxH, f, fx, fy, cx, cy, k1..k6, p1, p2; for example\n"
                                    "'wide,size=800x600'. Default: radial, 640x480, f=560."));
    parser.addOption(QStringLiteral("secondary-camera"), QStringLiteral("MODEL"),
                     QStringLiteral("The secondary camera of the stereo pairs (same form)."));
    parser.addOption(QStringLiteral("baseline"), QStringLiteral("MM"),
                     QStringLiteral("Distance between the two cameras (10..2000, default 120)."));
    parser.addOption(QStringLiteral("poses"), QStringLiteral("N"),
                     QStringLiteral("Views of the intrinsic and robot sets and pairs of the stereo set (1..200,\n"
                                    "default 10)."));
    parser.addOption(QStringLiteral("projector-sets"), QStringLiteral("N"),
                     QStringLiteral("Gray-code capture sets (1..50, default 1)."));
    parser.addOption(QStringLiteral("projector"), QStringLiteral("WxH"),
                     QStringLiteral("Projector resolution (16..4096 each, default 256x192)."));
    parser.addOption(QStringLiteral("projector-light"), QStringLiteral("LIGHT"),
                     QStringLiteral("Light of the Gray-code captures: dark (default), ambient (room light), global\n"
                                    "(strong scattered light), hard (both, more blur, targets partly outside the beam)."));
    parser.addOption(QStringLiteral("noise"), QStringLiteral("SIGMA"),
                     QStringLiteral("Image noise, standard deviation in grey values (0..20, default 1)."));
    parser.addOption(QStringLiteral("seed"), QStringLiteral("N"), QStringLiteral("Random seed of the poses and noise."));
    if (!parser.parse(arguments)) {
        console.print(parser.helpText());
        return ExitOk;
    }
    if (!parser.isSet(QStringLiteral("output")))
        throw UsageError(QStringLiteral("give the folder to create with --output DIR"));
    const QString folder = QFileInfo(parser.value(QStringLiteral("output"))).absoluteFilePath();

    SynthConfig config;
    config.target = parseTargetArgument(parser.value(QStringLiteral("target"), QStringLiteral("chessboard:10x7:25")));
    if (parser.isSet(QStringLiteral("sets"))) {
        config.intrinsic = config.stereo = config.structuredLight = config.handEye = config.toolFlange = false;
        for (const QString& item : parser.value(QStringLiteral("sets")).split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            const QString s = item.trimmed().toLower();
            if (s == QLatin1String("intrinsic"))
                config.intrinsic = true;
            else if (s == QLatin1String("stereo"))
                config.stereo = true;
            else if (s == QLatin1String("projector"))
                config.structuredLight = true;
            else if (s == QLatin1String("handeye"))
                config.handEye = true;
            else if (s == QLatin1String("toolflange"))
                config.toolFlange = true;
            else
                throw UsageError(
                    QStringLiteral("--sets: unknown set \"%1\" (intrinsic, stereo, projector, handeye, toolflange)").arg(item));
        }
        if (!config.intrinsic && !config.stereo && !config.structuredLight && !config.handEye && !config.toolFlange)
            throw UsageError(QStringLiteral("--sets names no set"));
    }
    config.camera[0] = parseCameraModel(parser.value(QStringLiteral("camera")), QStringLiteral("--camera"),
                                       defaultPrimaryCamera());
    // The secondary follows the primary's size unless given its own.
    config.camera[1] = parseCameraModel(parser.value(QStringLiteral("secondary-camera")),
                                       QStringLiteral("--secondary-camera"), defaultSecondaryCamera(config.camera[0].size));
    config.baseline = parser.doubleValue(QStringLiteral("baseline"), 120.0, 10.0, 2000.0);
    config.poses = parser.intValue(QStringLiteral("poses"), 10, 1, 200);
    config.projectorSets = parser.intValue(QStringLiteral("projector-sets"), 1, 1, 50);
    if (parser.isSet(QStringLiteral("projector"))) {
        config.projector = parseResolution(parser.value(QStringLiteral("projector")), QStringLiteral("--projector"));
        // Fewer than 8 pattern pairs leave the light estimate of the decoding without images.
        if (config.projector.width < 16 || config.projector.height < 16 || config.projector.width > 4096 ||
            config.projector.height > 4096)
            throw UsageError(QStringLiteral("--projector must be from 16x16 to 4096x4096"));
    }
    applyProjectorLight(parser.value(QStringLiteral("projector-light"), QStringLiteral("dark")), config);
    config.noise = parser.doubleValue(QStringLiteral("noise"), 1.0, 0.0, 20.0);
    if (!parser.isSet(QStringLiteral("sets"))) {
        // All sets the target allows: the robot rigs need a target whose frame the detection fixes.
        std::optional<vantiro::synth::BoardPattern> board;
        try {
            board.emplace(config.target);
        } catch (const std::invalid_argument&) {
            // A target that cannot be rendered at all is refused with the data set below.
        }
        try {
            if (board)
                vantiro::synth::targetFrame(*board);
        } catch (const std::invalid_argument& e) {
            config.handEye = config.toolFlange = false;
            console.print(QStringLiteral("No robot sets with this target (%1).\n").arg(QString::fromLocal8Bit(e.what())));
        }
    }
    config.seed = uint64_t(parser.intValue(QStringLiteral("seed"), 1, 0, 1000000000));

    QElapsedTimer clock;
    clock.start();
    const Truth truth = writeSyntheticDataSet(folder, config, [&console](int done, int total) {
        console.progress(QStringLiteral("Rendering"), done, total);
        return !interrupted();
    });
    console.print(QStringLiteral("Synthetic data set (%1, %2x%3 px) written to %4 in %5:\n")
                      .arg(truth.target)
                      .arg(config.camera[0].size.width)
                      .arg(config.camera[0].size.height)
                      .arg(folder, seconds(clock.elapsed())));
    if (config.intrinsic)
        console.print(QStringLiteral("  intrinsic: %1 views\n").arg(truth.intrinsicImages.size()));
    if (config.stereo)
        console.print(QStringLiteral("  stereo: %1 pairs, baseline %2 mm\n")
                          .arg(truth.primaryImages.size())
                          .arg(config.baseline));
    if (config.structuredLight)
        console.print(QStringLiteral("  projector: %1 capture set(s) for a %2x%3 projector\n")
                          .arg(truth.projectorSets.size())
                          .arg(config.projector.width)
                          .arg(config.projector.height));
    for (const RobotTruth* robot : {&truth.handEye, &truth.toolFlange})
        if (robot->present)
            console.print(QStringLiteral("  %1: %2 views with their TCP poses (%3, %4)\n")
                              .arg(robot->folder)
                              .arg(robot->images.size())
                              .arg(robot->tcpXml, robot->tcpText));
    console.print(QStringLiteral("  ground truth: %1/truth.yml\n").arg(folder));
    return ExitOk;
}

} // namespace cli
