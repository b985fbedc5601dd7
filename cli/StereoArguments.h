#pragma once
// The stereo calibration's options on the command line and the run that follows them, shared by
// "stereo" and "camproj --calibrate".

#include <QString>

#include "cli/ArgParser.h"
#include "stereo/StereoWorkflow.h"

namespace cli {

class Console;

// Start values (--primary-guess, --secondary-guess), the model options of both sensors (shared and
// --primary-/--secondary- forms), --same-focal-length, the termination criteria and outlier removal.
void addStereoOptions(ArgParser& parser);

// request.target and the two sensors (ids 0 and 1) named by --<primaryOption> and
// --<secondaryOption> (default Cam0 and Cam1), which must differ ("the <roles> need different
// names"). Throws UsageError.
void readStereoSensors(const ArgParser& parser, const MainWindowSettings& target, const QString& primaryOption,
                       const QString& secondaryOption, const QString& roles,
                       vantiro::stereo::StereoRequest& request);

// request.options and the sensors' start values from those options. Throws UsageError.
void readStereoOptions(const ArgParser& parser, vantiro::stereo::StereoRequest& request);

// Calibrates (once more without the outliers when removal found any), then writes both intrinsics
// files and the project file into workingDirectory and lists them. Throws RunError when the run
// fails or a file cannot be written.
vantiro::stereo::StereoResult calibrateAndWrite(vantiro::stereo::StereoState& state,
                                                vantiro::stereo::StereoRequest& request,
                                                const QString& workingDirectory, Console& console);

} // namespace cli
