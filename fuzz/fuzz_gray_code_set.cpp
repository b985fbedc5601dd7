// Loading and decoding a captured Gray-code set in which one image is the input.
#include "fuzz/FuzzSupport.h"
#include "projector/GrayCodeSets.h"

#include <QDir>

#include <opencv2/imgcodecs.hpp>

#include <cstdlib>

namespace {

// A 4 x 2 projector needs 2 + 2 * (2 + 1) = 8 images; all but the first are ordinary.
const cv::Size kProjector(4, 2);

QStringList setFolder()
{
    static const QStringList set = [] {
        QStringList paths;
        for (int i = 0; i < 8; ++i) {
            const QString path = fuzz::scratchFolder() + QStringLiteral("/%1.png").arg(i);
            cv::imwrite(path.toStdString(), cv::Mat(6, 8, CV_8UC1, cv::Scalar(i % 2 ? 20 : 220)));
            paths << path;
        }
        return paths;
    }();
    return set;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    QStringList set = setFolder();
    set[0] = fuzz::writeInput(data, size, QStringLiteral(".png"));
    cv::Mat pattern;
    camproj::decodeSet(set, pattern, kProjector, nullptr);
    camproj::loadSetImage(set, 0, true);
    return 0;
}
