// The header probe that sizes images before anything is decoded.
#include "app/ImageFile.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const vantiro::ImageHeader h =
        vantiro::probeImageHeader(QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)));
    // A header that passes is within the bounds the decoders are trusted with.
    if (h.ok() && (h.size.width <= 0 || h.size.height <= 0 || h.size.width > vantiro::kMaxImageSide ||
                   h.size.height > vantiro::kMaxImageSide))
        std::abort();
    return 0;
}
