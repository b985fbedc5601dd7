#pragma once
// Image files are sized from their header before a pixel is decoded, so that a small file
// declaring an absurd size is refused instead of taking minutes and gigabytes.

#include <QByteArray>
#include <QString>

#include <opencv2/core.hpp>

namespace vantiro {

// The largest sensors in use have about 150 megapixels (14192 x 10640); a 389 KB PNG declaring
// 20000 x 20000 took 113 s and 21 GB to decode.
inline constexpr int kMaxImageSide = 16384;
inline constexpr qint64 kMaxImagePixels = 160'000'000;

struct ImageHeader
{
    cv::Size size;
    QString error; // why the image is refused; empty when it may be decoded
    bool ok() const { return error.isEmpty(); }
};

// The size a PNG, JPEG, TIFF or BMP header declares, checked against the bounds above. Other
// formats, truncated headers and unreadable files are refused with a reason.
ImageHeader probeImageHeader(const QByteArray& head);
ImageHeader probeImage(const QString& path);

// cv::imread behind probeImage: an empty image when the file is refused or cannot be decoded,
// with the reason in error. Never throws.
cv::Mat readImageChecked(const QString& path, int flags, QString* error = nullptr);

} // namespace vantiro
