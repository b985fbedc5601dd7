// A working directory's MainWindowSettings.ini, as the command line reads the target from it.
#include "fuzz/FuzzSupport.h"
#include "targets/TargetSettingsFile.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const TargetSettingsFileResult r = readTargetSettingsFile(fuzz::writeInput(data, size, QStringLiteral(".ini")));
    if (r.ok && r.settings.targetType == ChArUco && r.settings.markerSize >= r.settings.squareWidth)
        std::abort();
    if (!r.ok && r.error.isEmpty())
        std::abort();
    return 0;
}
