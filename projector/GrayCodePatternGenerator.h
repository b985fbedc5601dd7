#pragma once
#include <QString>

#include <opencv2/core.hpp>

#include <functional>

namespace vantiro {
class LogSink;
}

// The projector's Gray-code sequence: white, black, then for every column bit (most
// significant first) a pattern and its inverse, then the same for the rows. The code is
// centred on the projector (column x carries the Gray value of x + columnOffset()).
class GrayCodePatternGenerator
{
public:
    GrayCodePatternGenerator(int rows, int cols);

    int rows() const { return m_rows; }
    int cols() const { return m_cols; }
    int columnBits() const { return m_columnBits; }
    int rowBits() const { return m_rowBits; }
    int columnOffset() const;
    int rowOffset() const;
    int imageCount() const;
    // Number of the image nextImage() returned last; -1 before the first.
    int index() const { return m_index; }

    // Advances to the next image and returns it (CV_8UC1, rows x cols, a new buffer each
    // time); empty once the sequence is over.
    cv::Mat nextImage();

    // A pixel is set when (g(x + columnOffset) & columnMask) + (g(y + rowOffset) & rowMask)
    // is non-zero, with g(v) = v ^ (v >> 1); set pixels are 255, or 0 when inverted. Empty
    // for a negative mask or a non-positive size.
    static cv::Mat buildPattern(int rows, int cols, int columnMask, int columnOffset, int rowMask, int rowOffset,
                                bool inverted);

private:
    int m_rows;
    int m_cols;
    int m_columnBits;
    int m_rowBits;
    int m_index = -1;
    cv::Mat m_image;
};

// workingDirectory + "/GrayCodeImages_<width>_<height>".
QString grayCodeFolder(const QString& workingDirectory, int width, int height);

// Creates folder (with its parents) and writes the sequence for a width x height projector
// as 00.png, 01.png, ... over whatever is there. Returns the number of images handed to
// the writer, or -1 when the folder cannot be created or written to.
int writeGrayCodeImages(const QString& folder, int width, int height);

// Answers the question asked before writing; true goes on.
using ConfirmFunction = std::function<bool(const QString& title, const QString& text)>;

// The main window's "Generate Gray-Code Projector Images" action: checks the working
// directory, asks through confirm, writes the sequence and logs the outcome. Returns the
// number of images written, or -1 when nothing was written.
int generateGrayCodeImages(const QString& workingDirectory, int width, int height, vantiro::LogSink& log,
                           const ConfirmFunction& confirm);
