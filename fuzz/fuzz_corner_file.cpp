// Corner files beside images, as the intrinsic and stereo runs read them.
#include "fuzz/FuzzSupport.h"
#include "intrinsic/IntrinsicFiles.h"
#include "intrinsic/InputChecks.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace vantiro::intrinsic;
    const CornerFile f = readCornerFile(fuzz::writeInput(data, size, QStringLiteral(".yml")));
    // What is loaded is usable: the checks the calibration relies on hold.
    if (f.status == CornerFileStatus::Loaded && !cornerListProblem(f.imagePoints, f.objectPoints).isEmpty())
        std::abort();
    if (f.status == CornerFileStatus::Invalid && (f.error.isEmpty() || !f.imagePoints.empty()))
        std::abort();
    return 0;
}
