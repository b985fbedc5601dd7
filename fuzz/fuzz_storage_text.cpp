// The checked YAML/JSON path every reader opens files through, and the matrix reader on each key.
#include "app/StorageFile.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    cv::FileStorage fs;
    const QByteArray text(reinterpret_cast<const char*>(data), qsizetype(size));
    if (!vantiro::openStorageText(text, fs).ok())
        return 0;
    for (const cv::FileNode& node : fs.root()) {
        cv::Mat m;
        vantiro::readStorageMatrix(node, m);
        if (node.isSeq())
            for (const cv::FileNode& item : node)
                vantiro::readStorageMatrix(item, m);
    }
    return 0;
}
