#include "projector/GrayCodePatternGenerator.h"

#include <QDir>
#include <QFileInfo>

#include <opencv2/imgcodecs.hpp>

#include <new>
#include <vector>

#include "Common/StructuredLight.h"
#include "app/LogSink.h"

namespace {

inline int gray(int v)
{
    return v ^ (v >> 1);
}

} // namespace

GrayCodePatternGenerator::GrayCodePatternGenerator(int rows, int cols)
    : m_rows(rows)
    , m_cols(cols)
    , m_columnBits(sl::grayCodeBits(cols))
    , m_rowBits(sl::grayCodeBits(rows))
{
}

int GrayCodePatternGenerator::columnOffset() const
{
    return sl::grayCodeOffset(m_cols);
}

int GrayCodePatternGenerator::rowOffset() const
{
    return sl::grayCodeOffset(m_rows);
}

int GrayCodePatternGenerator::imageCount() const
{
    return 2 * (m_columnBits + m_rowBits) + 2;
}

cv::Mat GrayCodePatternGenerator::nextImage()
{
    ++m_index;
    const int n = imageCount();
    if (m_index >= n) {
        m_index = n; // stays at the end however often it is asked
        m_image.release();
        return {};
    }
    const int k = m_index;
    if (k < 2) {
        // White (inverted, nothing set) and black.
        m_image = buildPattern(m_rows, m_cols, 0, columnOffset(), 0, rowOffset(), k == 0);
    } else if (k < 2 * m_columnBits + 2) {
        const int bit = m_columnBits - k / 2;
        m_image = buildPattern(m_rows, m_cols, 1 << bit, columnOffset(), 0, rowOffset(), k % 2 == 1);
    } else {
        const int bit = m_columnBits + m_rowBits - k / 2;
        m_image = buildPattern(m_rows, m_cols, 0, columnOffset(), 1 << bit, rowOffset(), k % 2 == 1);
    }
    return m_image;
}

cv::Mat GrayCodePatternGenerator::buildPattern(int rows, int cols, int columnMask, int columnOffset, int rowMask,
                                               int rowOffset, bool inverted)
{
    if (columnMask < 0 || rowMask < 0 || rows <= 0 || cols <= 0)
        return {};
    const uint8_t setValue = inverted ? 0 : 255;
    const uint8_t unsetValue = inverted ? 255 : 0;

    std::vector<int> columnCode(cols);
    for (int x = 0; x < cols; ++x)
        columnCode[x] = gray(x + columnOffset) & columnMask;

    cv::Mat image(rows, cols, CV_8UC1);
    for (int y = 0; y < rows; ++y) {
        const int rowCode = gray(y + rowOffset) & rowMask;
        uint8_t* out = image.ptr<uint8_t>(y);
        for (int x = 0; x < cols; ++x)
            out[x] = (columnCode[x] + rowCode) != 0 ? setValue : unsetValue;
    }
    return image;
}

QString grayCodeFolder(const QString& workingDirectory, int width, int height)
{
    return workingDirectory + "/GrayCodeImages" + "_" + QString::number(width) + "_" + QString::number(height);
}

int writeGrayCodeImages(const QString& folder, int width, int height)
{
    QDir().mkpath(folder);
    const QFileInfo info(folder);
    if (!info.isDir() || !info.isWritable())
        return -1;

    GrayCodePatternGenerator generator(height, width);
    const int n = generator.imageCount();
    int written = 0;
    for (int i = 0; i < n; ++i) {
        const cv::Mat image = generator.nextImage();
        if (image.empty())
            continue;
        const QString path = folder + "/" + QString("%1").arg(written, 2, 10, QChar('0')) + ".png";
        ++written;
        try {
            cv::imwrite(path.toLocal8Bit().toStdString(), image);
        } catch (const cv::Exception&) {
            // A failed write is not reported: the count is of images handed to the writer.
        }
    }
    return written;
}

int generateGrayCodeImages(const QString& workingDirectory, int width, int height, vantiro::LogSink& log,
                           const ConfirmFunction& confirm)
{
    using namespace vantiro;
    if (workingDirectory.isEmpty()) {
        log.append("Please specify a working directory before generating Gray-Code images. The images will be "
                   "generated in <Working Directory>/GrayCodeImages_<width>_<height>/\n\n");
        return -1;
    }
    if (!QFileInfo(workingDirectory).isDir()) {
        log.append("Warning: " + workingDirectory + " is not a directory. Aborting.\n\n", logcolor::Orange);
        return -1;
    }

    const GrayCodePatternGenerator generator(height, width);
    const QString folder = grayCodeFolder(workingDirectory, width, height);
    const QString title = "Generate Gray-Code Projector Images (" + QString::number(width) + "x"
        + QString::number(height) + " px)";
    const QString text = "Writing Gray-Code sequence with " + QString::number(generator.imageCount())
        + " images to:\n\n" + folder + "\n\nContinue?";
    if (!confirm || !confirm(title, text))
        return -1;

    int written = -1;
    try {
        written = writeGrayCodeImages(folder, width, height);
    } catch (const cv::Exception& e) {
        // A resolution too large to hold one pattern in memory.
        log.append(QString("OpenCV exception caught: %1\n").arg(QString::fromStdString(e.what())), logcolor::Red);
        log.append("Aborting.\n\n", logcolor::Red);
        return -1;
    } catch (const std::bad_alloc&) {
        log.append("Not enough memory for one pattern image of " + QString::number(width) + "x"
                       + QString::number(height) + " px.\n",
                   logcolor::Red);
        log.append("Aborting.\n\n", logcolor::Red);
        return -1;
    }
    if (written < 0)
        return -1;
    log.append(QString("Saved %1 Gray-Code images to:\n%2\n").arg(QString::number(written), folder));
    log.append("\n");
    return written;
}
