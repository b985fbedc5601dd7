// The --target value of the command line.
#include "cli/ArgParser.h"
#include "cli/TargetArgument.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
    try {
        const MainWindowSettings s = cli::parseTargetArgument(text);
        // No board has a marker as large as its square, nor squares of no size.
        if ((s.targetType == ChArUco && s.markerSize >= s.squareWidth) || !(s.squareWidth > 0.0) ||
            !(s.squareHeight > 0.0))
            std::abort();
    } catch (const cli::UsageError&) {
    }
    return 0;
}
