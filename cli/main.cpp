// vantiro-cli: headless batch calibration on the core routines of the GUI.

#include <QCoreApplication>
#include <QStringList>

#include <cstdio>
#include <exception>

#include "app/Settings.h"
#include "cli/ArgParser.h"
#include "cli/CliSupport.h"
#include "cli/Commands.h"
#include "cli/Console.h"

namespace {

struct Command
{
    const char* name;
    int (*run)(const QStringList&, cli::Console&);
    const char* summary;
};

const Command kCommands[] = {
    {"detect", cli::runDetect, "detect the target in images; print the corners found per image"},
    {"intrinsic", cli::runIntrinsic, "calibrate one camera from images of the target"},
    {"stereo", cli::runStereo, "calibrate two sensors from image pairs (or their corner files)"},
    {"handeye", cli::runHandEye, "camera on the robot's tool: the camera in the TCP frame (AX = XB)"},
    {"toolflange", cli::runToolFlange, "fixed camera, target on the flange: camera and target (AX = YB)"},
    {"patterns", cli::runPatterns, "write the Gray-code pattern images for a projector"},
    {"decode", cli::runDecode, "decode one captured Gray-code set into projector coordinates"},
    {"camproj", cli::runCamProj, "projector corners of captured Gray-code sets; --calibrate camera and projector"},
    {"synth", cli::runSynth, "write a synthetic data set with its ground truth"},
    {"demo", cli::runDemo, "generate data, calibrate it and compare with the ground truth"},
    {"target", cli::runTarget, "write the target as a PDF, SVG or PNG page to print at true scale"},
};

QString usage()
{
    QString text = QStringLiteral("Usage: vantiro-cli <command> [options]\n\nCommands:\n");
    for (const Command& c : kCommands)
        text += QStringLiteral("  %1  %2\n").arg(QString::fromLatin1(c.name).leftJustified(10), QString::fromLatin1(c.summary));
    text += QStringLiteral("\n'vantiro-cli <command> --help' describes a command. Exit status: 0 success, 1 the run\n"
                           "failed, 2 bad arguments or input files, 130 interrupted (Ctrl-C).\n");
    return text;
}

} // namespace

int main(int argc, char** argv)
{
    vantiro::setApplicationIdentity();
    const std::unique_ptr<QCoreApplication> app = cli::makeApplication(argc, argv);
    cli::installInterruptHandler();
    cli::Console console(stdout, stderr);

    QStringList arguments = app->arguments().mid(1);
    if (arguments.isEmpty()) {
        std::fputs(usage().toLocal8Bit().constData(), stderr);
        return cli::ExitUsage;
    }
    const QString name = arguments.takeFirst();
    if (name == QLatin1String("--help") || name == QLatin1String("-h") || name == QLatin1String("help")) {
        console.print(usage());
        return cli::ExitOk;
    }
    if (name == QLatin1String("--version")) {
        console.print(QStringLiteral("vantiro-cli %1\n").arg(QStringLiteral(VANTIRO_VERSION)));
        return cli::ExitOk;
    }
    for (const Command& c : kCommands) {
        if (name != QLatin1String(c.name))
            continue;
        try {
            const int status = c.run(arguments, console);
            console.finish();
            return status;
        } catch (const cli::UsageError& e) {
            console.error(name, e.message());
            return cli::ExitUsage;
        } catch (const cli::RunError& e) {
            console.error(name, e.message());
            return cli::interrupted() ? cli::ExitInterrupted : cli::ExitFailed;
        } catch (const std::exception& e) {
            console.error(name, QString::fromLocal8Bit(e.what()));
            return cli::ExitFailed;
        }
    }
    console.error(QString(), QStringLiteral("unknown command \"%1\" (see vantiro-cli --help)").arg(name));
    return cli::ExitUsage;
}
