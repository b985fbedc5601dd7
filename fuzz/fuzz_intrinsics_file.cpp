// Intrinsics files, as the sensor panel and the command line's --guess read them.
#include "fuzz/FuzzSupport.h"
#include "intrinsic/IntrinsicFiles.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const auto f = vantiro::intrinsic::readIntrinsicsFile(fuzz::writeInput(data, size, QStringLiteral(".yml")));
    if (f.ok && ((!f.K.empty() && (f.K.rows != 3 || f.K.cols != 3 || !cv::checkRange(f.K))) ||
                 (!f.distortion.empty() && !cv::checkRange(f.distortion))))
        std::abort();
    if (!f.ok && f.error.isEmpty())
        std::abort();
    return 0;
}
