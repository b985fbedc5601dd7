#pragma once
// The subcommands. Each parses its own arguments (--help included) and returns the exit status;
// it throws UsageError (status 2) or RunError (status 1) with a one-line reason.

#include <QCoreApplication>
#include <QStringList>

#include <memory>

namespace cli {

class Console;

int runDetect(const QStringList& arguments, Console& console);
int runIntrinsic(const QStringList& arguments, Console& console);
int runStereo(const QStringList& arguments, Console& console);
int runHandEye(const QStringList& arguments, Console& console);
int runToolFlange(const QStringList& arguments, Console& console);
int runPatterns(const QStringList& arguments, Console& console);
int runDecode(const QStringList& arguments, Console& console);
int runCamProj(const QStringList& arguments, Console& console);
int runSynth(const QStringList& arguments, Console& console);
int runDemo(const QStringList& arguments, Console& console);
int runTarget(const QStringList& arguments, Console& console);

// The application object: a QGuiApplication on the offscreen platform for the commands that
// paint (target), a QCoreApplication for the others.
std::unique_ptr<QCoreApplication> makeApplication(int& argc, char** argv);

} // namespace cli
