#pragma once
#include <QStringList>

#include <opencv2/core.hpp>

#include <vector>

#include "Common/StructuredLight.h"

namespace vantiro {
class LogSink;
}

// Image operations of the camera-projector module on captured Gray-code sets. A set is
// the ordered list of its image files (white, black, then the pattern pairs).
namespace camproj {

// Fixed parameters of the module's decoding.
inline constexpr unsigned kDecodeFlags = sl::DECODE_GRAY | sl::DECODE_ROBUST;
inline constexpr unsigned kMinDirectLight = 5;
inline constexpr int kLightEstimateCount = 4;
inline constexpr int kLightEstimateOffset = 4;
inline constexpr float kLightRatio = 0.7f;
inline constexpr int kHoleFillRadius = 3;
// Shown where a display image has no data (BGR).
inline const cv::Scalar kFillColour(229.5, 153, 76.5, 0);

// Row 'row' of the set as 8-bit greyscale or BGR; empty when out of range or unreadable.
cv::Mat loadSetImage(const QStringList& set, int row, bool colour);

// Direct/global light estimate (CV_8UC2) from 2 x count pattern images of the set: count
// consecutive images from row T - count - offset - P (T images, P = T / 2 - 1 pattern
// pairs) and the count images P rows after them; with 10 + 10 bits these are rows 14-17
// and 34-37, medium-frequency stripes of both directions.
// Sets with fewer than count + offset pattern pairs log a red error to log (may be null)
// and give an empty image.
cv::Mat directLightForSet(const QStringList& set, int count, int offset, float b, vantiro::LogSink* log);

// Robust Gray-code decoding of a whole set into a CV_32FC2 projector-coordinate image.
bool decodeSet(const QStringList& set, cv::Mat& pattern, const cv::Size& projectorSize, vantiro::LogSink* log);

// 255 where the white frame is clearly brighter than the black one, from the ratio
// r = (W - B) / W of the blurred frames through a logistic: 1 / (1 + exp(-2r)) > threshold.
// Empty when the frames are missing or differ in size.
cv::Mat projectionMask(const cv::Mat& white, const cv::Mat& black, double threshold);

// The white frame in BGR with the mask tinted cyan inside and red outside.
cv::Mat maskOverlay(const cv::Mat& white, const cv::Mat& black, double threshold);

// Colour-coded projector column (x) and row (y) of a decoded pattern; pixels where either
// channel is undecoded get kFillColour. Both empty for an empty or wrongly typed pattern.
void decodedColourImages(const cv::Mat& pattern, const cv::Size& projectorSize, cv::Mat& x, cv::Mat& y);

// Re-projects a camera image into the projector through the decoded correspondences; holes
// up to the fill radius are interpolated, the rest shows fill. Empty unless pattern is a
// non-empty CV_32FC2 and colour a non-empty CV_8UC3.
cv::Mat warpToProjector(const cv::Mat& pattern, const cv::Mat& colour, const cv::Size& projectorSize,
                        const cv::Scalar& fill);

// warpToProjector of the pixels inside mask (an empty mask keeps every decoded pixel).
cv::Mat projectorView(const cv::Mat& pattern, const cv::Mat& colour, const cv::Mat& mask,
                      const cv::Size& projectorSize);

} // namespace camproj

// The module's captured sets with their per-set caches (decoded patterns, Projector Views).
class GrayCodeSets
{
public:
    // Replaces the sets and clears every cache.
    void setSets(std::vector<QStringList> sets);
    int setCount() const { return static_cast<int>(m_sets.size()); }
    const std::vector<QStringList>& sets() const { return m_sets; }

    void setProjectorSize(const cv::Size& size) { m_projectorSize = size; }
    cv::Size projectorSize() const { return m_projectorSize; }
    // Value of the "Projection Mask Thresh" box; changing it is the caller's cue to clearCaches().
    void setMaskThreshold(double threshold) { m_threshold = threshold; }
    double maskThreshold() const { return m_threshold; }
    // Where the light-estimate shortage is reported (may be null).
    void setLog(vantiro::LogSink* log) { m_log = log; }

    cv::Mat loadSetImage(int set, int row, bool colour) const;
    cv::Mat directLightForSet(int set, int count, int offset, float b) const;
    bool decodeSet(int set, cv::Mat& pattern) const;
    cv::Mat projectionMask(const cv::Mat& white, const cv::Mat& black) const;
    // Overlay for the set's white and black frames; empty when they cannot be read.
    cv::Mat maskOverlay(int set) const;
    // From the cached decoded pattern only (never decodes).
    void decodedColourImages(int set, cv::Mat& x, cv::Mat& y) const;
    // Cached Projector View; built (decoding the set if needed) when missing or asked to rebuild.
    // Empty for a set beyond the decoded-pattern cache, which the decoding job sizes.
    cv::Mat projectorView(int set, bool rebuild);

    // One entry per set once a decoding run has sized it; an empty image is "not decoded yet".
    std::vector<cv::Mat>& decodedPatterns() { return m_decoded; }
    const std::vector<cv::Mat>& decodedPatterns() const { return m_decoded; }
    void clearCaches();

private:
    std::vector<QStringList> m_sets;
    std::vector<cv::Mat> m_decoded;
    std::vector<cv::Mat> m_views;
    cv::Size m_projectorSize;
    double m_threshold = 0.0;
    vantiro::LogSink* m_log = nullptr;
};
