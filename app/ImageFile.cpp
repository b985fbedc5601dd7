#include "app/ImageFile.h"

#include <QFile>
#include <QFileInfo>

#include <opencv2/imgcodecs.hpp>

#include <functional>

namespace vantiro {

namespace {

// Bytes at an offset of the file; fewer (or none) past its end.
using ReadAt = std::function<QByteArray(qint64 offset, qint64 count)>;

quint32 be16(const QByteArray& b, int i)
{
    return (quint32(quint8(b[i])) << 8) | quint8(b[i + 1]);
}
quint32 be32(const QByteArray& b, int i)
{
    return (be16(b, i) << 16) | be16(b, i + 2);
}
quint32 le16(const QByteArray& b, int i)
{
    return (quint32(quint8(b[i + 1])) << 8) | quint8(b[i]);
}
quint32 le32(const QByteArray& b, int i)
{
    return (le16(b, i + 2) << 16) | le16(b, i);
}

struct Probe
{
    qint64 width = -1;
    qint64 height = -1;
    QString error;
};

Probe fail(const QString& why)
{
    Probe p;
    p.error = why;
    return p;
}

Probe png(const ReadAt& read)
{
    // Signature, then the IHDR chunk: length, "IHDR", width, height (big-endian).
    const QByteArray h = read(0, 24);
    if (h.size() < 24 || h.mid(12, 4) != "IHDR")
        return fail(QStringLiteral("truncated PNG header"));
    return {be32(h, 16), be32(h, 20), {}};
}

Probe bmp(const ReadAt& read)
{
    const QByteArray h = read(0, 26);
    if (h.size() < 22)
        return fail(QStringLiteral("truncated BMP header"));
    if (le32(h, 14) == 12) // the old core header: 16-bit sizes
        return {le16(h, 18), le16(h, 20), {}};
    if (h.size() < 26)
        return fail(QStringLiteral("truncated BMP header"));
    // Height is negative for top-down bitmaps.
    const qint64 height = qint32(le32(h, 22));
    return {qint32(le32(h, 18)), height < 0 ? -height : height, {}};
}

Probe jpeg(const ReadAt& read)
{
    // Segments after the start marker, each with a big-endian length, up to a start-of-frame.
    qint64 pos = 2;
    for (int segments = 0; segments < 10000; ++segments) {
        QByteArray m = read(pos, 2);
        if (m.size() < 2)
            return fail(QStringLiteral("no frame header in the JPEG file"));
        if (quint8(m[0]) != 0xFF)
            return fail(QStringLiteral("corrupt JPEG header"));
        const quint8 marker = quint8(m[1]);
        if (marker == 0xFF) { // fill byte
            ++pos;
            continue;
        }
        if (marker == 0xD8 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
            pos += 2;
            continue;
        }
        const QByteArray len = read(pos + 2, 2);
        if (len.size() < 2)
            return fail(QStringLiteral("truncated JPEG header"));
        const bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (frame) {
            const QByteArray f = read(pos + 4, 5);
            if (f.size() < 5)
                return fail(QStringLiteral("truncated JPEG frame header"));
            return {be16(f, 3), be16(f, 1), {}};
        }
        if (marker == 0xD9 || marker == 0xDA)
            return fail(QStringLiteral("no frame header in the JPEG file"));
        pos += 2 + be16(len, 0);
    }
    return fail(QStringLiteral("no frame header in the JPEG file"));
}

Probe tiff(const ReadAt& read)
{
    const QByteArray h = read(0, 8);
    if (h.size() < 8)
        return fail(QStringLiteral("truncated TIFF header"));
    const bool little = h[0] == 'I';
    auto u16 = [little](const QByteArray& b, int i) { return little ? le16(b, i) : be16(b, i); };
    auto u32 = [little](const QByteArray& b, int i) { return little ? le32(b, i) : be32(b, i); };
    if (u16(h, 2) != 42)
        return fail(QStringLiteral("unsupported TIFF variant"));
    // The first directory, wherever it is: entries of tag, type, count, value.
    const qint64 ifd = u32(h, 4);
    const QByteArray n = read(ifd, 2);
    if (n.size() < 2)
        return fail(QStringLiteral("truncated TIFF directory"));
    const int entries = int(u16(n, 0));
    const QByteArray e = read(ifd + 2, qint64(entries) * 12);
    if (e.size() < entries * 12)
        return fail(QStringLiteral("truncated TIFF directory"));
    Probe p;
    for (int i = 0; i < entries; ++i) {
        const int at = i * 12;
        const quint32 tag = u16(e, at);
        const quint32 type = u16(e, at + 2);
        if (tag != 256 && tag != 257)
            continue;
        qint64 value;
        if (type == 3) // SHORT
            value = u16(e, at + 8);
        else if (type == 4) // LONG
            value = u32(e, at + 8);
        else
            return fail(QStringLiteral("unsupported TIFF size field"));
        (tag == 256 ? p.width : p.height) = value;
    }
    if (p.width < 0 || p.height < 0)
        return fail(QStringLiteral("no image size in the TIFF directory"));
    return p;
}

ImageHeader probe(const ReadAt& read)
{
    const QByteArray magic = read(0, 8);
    Probe p;
    if (magic.startsWith("\x89PNG\r\n\x1a\n"))
        p = png(read);
    else if (magic.startsWith("\xff\xd8"))
        p = jpeg(read);
    else if (magic.startsWith("II") || magic.startsWith("MM"))
        p = tiff(read);
    else if (magic.startsWith("BM"))
        p = bmp(read);
    else
        p = fail(QStringLiteral("not a PNG, JPEG, TIFF or BMP image"));
    ImageHeader header;
    if (!p.error.isEmpty()) {
        header.error = p.error;
        return header;
    }
    if (p.width <= 0 || p.height <= 0) {
        header.error = QStringLiteral("the header declares no image (%1 x %2 px)").arg(p.width).arg(p.height);
        return header;
    }
    if (p.width > kMaxImageSide || p.height > kMaxImageSide || p.width * p.height > kMaxImagePixels) {
        header.error = QStringLiteral("the header declares %1 x %2 px; at most %3 px a side and %4 megapixels are read")
                           .arg(p.width)
                           .arg(p.height)
                           .arg(kMaxImageSide)
                           .arg(kMaxImagePixels / 1000000);
        return header;
    }
    header.size = cv::Size(int(p.width), int(p.height));
    return header;
}

} // namespace

ImageHeader probeImageHeader(const QByteArray& head)
{
    return probe([&head](qint64 offset, qint64 count) {
        if (offset < 0 || offset >= head.size())
            return QByteArray();
        return head.mid(offset, count);
    });
}

ImageHeader probeImage(const QString& path)
{
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly)) {
        ImageHeader header;
        header.error = QFileInfo::exists(path) ? QStringLiteral("cannot be read") : QStringLiteral("no such file");
        return header;
    }
    return probe([&file](qint64 offset, qint64 count) {
        if (offset < 0 || count < 0 || count > (1 << 20) || !file.seek(offset))
            return QByteArray();
        return file.read(count);
    });
}

cv::Mat readImageChecked(const QString& path, int flags, QString* error)
{
    const ImageHeader header = probeImage(path);
    if (!header.ok()) {
        if (error)
            *error = header.error;
        return cv::Mat();
    }
    cv::Mat image;
    try {
        image = cv::imread(QFile::encodeName(path).toStdString(), flags);
    } catch (const cv::Exception& e) {
        if (error)
            *error = QString::fromStdString(e.err).trimmed();
        return cv::Mat();
    } catch (const std::exception& e) {
        if (error)
            *error = QString::fromLocal8Bit(e.what());
        return cv::Mat();
    }
    if (image.empty() && error)
        *error = QStringLiteral("cannot be decoded");
    return image;
}

} // namespace vantiro
