#include "projector/GrayCodeSets.h"

#include "app/ImageFile.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <limits>
#include <string>

#include "app/LogSink.h"

namespace camproj {

namespace {

// 8-bit greyscale of a frame given either way; empty when it cannot be used.
cv::Mat toGrey(const cv::Mat& image)
{
    if (image.empty() || image.depth() != CV_8U)
        return {};
    if (image.channels() == 1)
        return image;
    cv::Mat grey;
    if (image.channels() == 3)
        cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
    else if (image.channels() == 4)
        cv::cvtColor(image, grey, cv::COLOR_BGRA2GRAY);
    return grey;
}

void blur9(const cv::Mat& in, cv::Mat& out)
{
    cv::GaussianBlur(in, out, cv::Size(9, 9), 0.0, 0.0, cv::BORDER_REFLECT_101);
}

// One channel of a decoded pattern as a colour image: HSV colour map over the valid range,
// fill elsewhere.
cv::Mat colourCode(const cv::Mat& channel, int extent)
{
    cv::Mat valid;
    cv::compare(channel, static_cast<double>(extent), valid, cv::CMP_LE); // NaN compares false
    double low = 0.0;
    double high = 0.0;
    if (cv::countNonZero(valid) > 0)
        cv::minMaxLoc(channel, &low, &high, nullptr, nullptr, valid);
    const double scale = high - low > std::numeric_limits<double>::epsilon() ? 255.0 / (high - low) : 0.0;
    cv::Mat eight;
    channel.convertTo(eight, CV_8U, scale, -low * scale);
    cv::Mat colour;
    cv::applyColorMap(eight, colour, cv::COLORMAP_HSV);
    cv::Mat invalid;
    cv::bitwise_not(valid, invalid);
    colour.setTo(kFillColour, invalid);
    return colour;
}

} // namespace

cv::Mat loadSetImage(const QStringList& set, int row, bool colour)
{
    if (row < 0 || row >= set.size())
        return {};
    // A corrupt or oversized file reads as a missing one.
    return vantiro::readImageChecked(set[row], colour ? cv::IMREAD_COLOR : cv::IMREAD_GRAYSCALE);
}

cv::Mat directLightForSet(const QStringList& set, int count, int offset, float b, vantiro::LogSink* log)
{
    const int total = static_cast<int>(set.size());
    const int pairs = total / 2 - 1;
    if (count < 1 || pairs < count + offset) {
        if (log)
            log->append(QString("ERROR! At least %1 images are required for the estimation of direct and global "
                                "light\n\n")
                            .arg(count + offset),
                        vantiro::logcolor::Red);
        return {};
    }
    std::vector<int> rows;
    for (int i = 0; i < count; ++i) {
        const int n = total - count - offset - pairs + 1 + i;
        rows.push_back(n - 1);
        rows.push_back(n + pairs - 1);
    }
    // Reading the files is most of the work: side by side.
    std::vector<cv::Mat> images(rows.size());
    cv::parallel_for_(cv::Range(0, static_cast<int>(rows.size())), [&](const cv::Range& range) {
        for (int i = range.start; i < range.end; ++i)
            images[i] = loadSetImage(set, rows[i], false);
    });
    return sl::estimate_direct_light(images, b);
}

bool decodeSet(const QStringList& set, cv::Mat& pattern, const cv::Size& projectorSize, vantiro::LogSink* log)
{
    pattern.release();
    const cv::Mat direct = directLightForSet(set, kLightEstimateCount, kLightEstimateOffset, kLightRatio, log);
    std::vector<std::string> paths;
    paths.reserve(set.size());
    for (const QString& path : set)
        paths.push_back(path.toLocal8Bit().toStdString());
    return sl::decode_pattern(paths, pattern, projectorSize, kDecodeFlags, direct, kMinDirectLight);
}

cv::Mat projectionMask(const cv::Mat& white, const cv::Mat& black, double threshold)
{
    const cv::Mat whiteGrey = toGrey(white);
    const cv::Mat blackGrey = toGrey(black);
    if (whiteGrey.empty() || blackGrey.empty() || whiteGrey.size() != blackGrey.size())
        return {};

    cv::Mat w;
    cv::Mat b;
    whiteGrey.convertTo(w, CV_32F);
    blackGrey.convertTo(b, CV_32F);
    blur9(w, w);
    blur9(b, b);

    const float limit = static_cast<float>(threshold);
    const float epsilon = 1e-5f;
    cv::Mat mask(w.size(), CV_8UC1);
    cv::parallel_for_(cv::Range(0, w.rows), [&](const cv::Range& range) {
        for (int r = range.start; r < range.end; ++r) {
            const float* pw = w.ptr<float>(r);
            const float* pb = b.ptr<float>(r);
            uint8_t* out = mask.ptr<uint8_t>(r);
            for (int c = 0; c < w.cols; ++c) {
                const float ratio = (pw[c] - pb[c]) / (pw[c] + epsilon);
                const float s = 1.0f / (1.0f + std::exp(-2.0f * ratio));
                out[c] = s > limit ? 255 : 0;
            }
        }
    });
    // Smooths the border and drops specks narrower than the kernel.
    blur9(mask, mask);
    cv::threshold(mask, mask, 192, 255, cv::THRESH_BINARY);
    return mask;
}

cv::Mat maskOverlay(const cv::Mat& white, const cv::Mat& black, double threshold)
{
    const cv::Mat mask = projectionMask(white, black, threshold);
    if (mask.empty())
        return {};
    cv::Mat camera;
    cv::cvtColor(toGrey(white), camera, cv::COLOR_GRAY2BGR);
    cv::Mat overlay(camera.size(), CV_8UC3, cv::Scalar(0, 0, 255));
    overlay.setTo(cv::Scalar(255, 255, 0), mask);
    cv::Mat shown;
    cv::addWeighted(overlay, 0.4, camera, 0.6, 0.0, shown);
    return shown;
}

void decodedColourImages(const cv::Mat& pattern, const cv::Size& projectorSize, cv::Mat& x, cv::Mat& y)
{
    x.release();
    y.release();
    if (pattern.empty() || pattern.type() != CV_32FC2)
        return;
    cv::Mat both = pattern.clone();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    both.forEach<cv::Vec2f>([nan](cv::Vec2f& p, const int*) {
        if (std::isnan(p[0]) || std::isnan(p[1]))
            p = cv::Vec2f(nan, nan);
    });
    cv::Mat channels[2];
    cv::split(both, channels);
    x = colourCode(channels[0], projectorSize.width);
    y = colourCode(channels[1], projectorSize.height);
}

cv::Mat warpToProjector(const cv::Mat& pattern, const cv::Mat& colour, const cv::Size& projectorSize,
                        const cv::Scalar& fill)
{
    if (pattern.empty() || pattern.type() != CV_32FC2)
        return {};
    if (!colour.empty() && colour.type() != CV_8UC3)
        return {};
    // Nothing to re-project: an unreadable camera image shows nothing.
    if (colour.empty() || projectorSize.width < 1 || projectorSize.height < 1)
        return {};

    cv::Mat mapX(projectorSize, CV_32F, cv::Scalar(-1.0));
    cv::Mat mapY(projectorSize, CV_32F, cv::Scalar(-1.0));
    const float width = static_cast<float>(projectorSize.width);
    const float height = static_cast<float>(projectorSize.height);
    // Row-major and sequential: where camera pixels share a projector pixel the last one wins.
    for (int r = 0; r < pattern.rows; ++r) {
        const cv::Vec2f* row = pattern.ptr<cv::Vec2f>(r);
        for (int c = 0; c < pattern.cols; ++c) {
            const float px = row[c][0];
            const float py = row[c][1];
            if (std::isnan(px) || std::isnan(py))
                continue;
            const float u = std::nearbyint(px); // ties to even
            const float v = std::nearbyint(py);
            if (u >= 0.0f && u < width && v >= 0.0f && v < height) {
                mapX.at<float>(static_cast<int>(v), static_cast<int>(u)) = static_cast<float>(c);
                mapY.at<float>(static_cast<int>(v), static_cast<int>(u)) = static_cast<float>(r);
            }
        }
    }
    sl::inpaintInvalidWithGaussianBlur(mapX, mapX, kHoleFillRadius);
    sl::inpaintInvalidWithGaussianBlur(mapY, mapY, kHoleFillRadius);

    cv::Mat view;
    cv::remap(colour, view, mapX, mapY, cv::INTER_LINEAR, cv::BORDER_CONSTANT, fill);
    return view;
}

cv::Mat projectorView(const cv::Mat& pattern, const cv::Mat& colour, const cv::Mat& mask,
                      const cv::Size& projectorSize)
{
    if (pattern.empty() || pattern.type() != CV_32FC2)
        return {};
    cv::Mat inside = pattern.clone();
    if (!mask.empty() && mask.size() == pattern.size() && mask.type() == CV_8UC1) {
        const float nan = std::numeric_limits<float>::quiet_NaN();
        inside.setTo(cv::Scalar(nan, nan), mask == 0);
    }
    return warpToProjector(inside, colour, projectorSize, kFillColour);
}

} // namespace camproj

void GrayCodeSets::setSets(std::vector<QStringList> sets)
{
    m_sets = std::move(sets);
    clearCaches();
}

void GrayCodeSets::clearCaches()
{
    m_decoded.clear();
    m_views.clear();
}

cv::Mat GrayCodeSets::loadSetImage(int set, int row, bool colour) const
{
    if (set < 0 || set >= setCount())
        return {};
    return camproj::loadSetImage(m_sets[set], row, colour);
}

cv::Mat GrayCodeSets::directLightForSet(int set, int count, int offset, float b) const
{
    if (set < 0 || set >= setCount())
        return {};
    return camproj::directLightForSet(m_sets[set], count, offset, b, m_log);
}

bool GrayCodeSets::decodeSet(int set, cv::Mat& pattern) const
{
    if (set < 0 || set >= setCount())
        return false;
    return camproj::decodeSet(m_sets[set], pattern, m_projectorSize, m_log);
}

cv::Mat GrayCodeSets::projectionMask(const cv::Mat& white, const cv::Mat& black) const
{
    return camproj::projectionMask(white, black, m_threshold);
}

cv::Mat GrayCodeSets::maskOverlay(int set) const
{
    return camproj::maskOverlay(loadSetImage(set, 0, false), loadSetImage(set, 1, false), m_threshold);
}

void GrayCodeSets::decodedColourImages(int set, cv::Mat& x, cv::Mat& y) const
{
    x.release();
    y.release();
    if (set < 0 || set >= setCount() || set >= static_cast<int>(m_decoded.size()))
        return;
    camproj::decodedColourImages(m_decoded[set], m_projectorSize, x, y);
}

cv::Mat GrayCodeSets::projectorView(int set, bool rebuild)
{
    if (set < 0 || set >= setCount() || set >= static_cast<int>(m_decoded.size()))
        return {};
    if (static_cast<int>(m_views.size()) < setCount())
        m_views.resize(setCount());
    if (!m_views[set].empty() && !rebuild)
        return m_views[set];
    if (m_decoded[set].empty())
        decodeSet(set, m_decoded[set]);

    const cv::Mat mask = projectionMask(loadSetImage(set, 0, false), loadSetImage(set, 1, false));
    m_views[set] = camproj::projectorView(m_decoded[set], loadSetImage(set, 0, true), mask, m_projectorSize);
    return m_views[set];
}
