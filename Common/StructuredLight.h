#pragma once
#include <opencv2/core.hpp>

#include <string>
#include <vector>

// Per-pixel work of Gray-code structured light: bit classification, code conversion,
// direct/global light estimate and hole filling of float maps. Problems are printed on
// standard output; the functions never throw for bad input data.
namespace sl {

// Decode flags.
inline constexpr unsigned DECODE_GRAY = 1;   // patterns are Gray-coded: convert to binary after decoding
inline constexpr unsigned DECODE_ROBUST = 2; // classify bits with the direct/global light image

// Number of code bits for a projector extent: the smallest n >= 1 with 2^n >= extent.
int grayCodeBits(int extent);
// (2^bits - extent) / 2: the code is centred on the projector.
int grayCodeOffset(int extent);
// 2 * (columnBits + rowBits) + 2: white, black, then a (pattern, inverse) pair per bit.
int grayCodeImageCount(const cv::Size& projectorSize);

// Decodes a captured sequence given as image files (loaded as 8-bit greyscale, one pair
// at a time). patternImage becomes CV_32FC2 of camera size holding projector column and
// row, NaN where undecodable; it is left empty when decoding fails.
bool decode_pattern(const std::vector<std::string>& images, cv::Mat& patternImage, const cv::Size& projectorSize,
                    unsigned flags, const cv::Mat& directLight, unsigned m);

// The same for a sequence already in memory (8-bit, one or three channels).
bool decode_pattern(const std::vector<cv::Mat>& images, cv::Mat& patternImage, const cv::Size& projectorSize,
                    unsigned flags, const cv::Mat& directLight, unsigned m);

// In-place code conversion of a CV_32FC2 image (other types and empty images are left
// alone). binary = false: Gray code -> projector coordinate (minus the offset, clamped to
// the projector); binary = true: coordinate -> Gray code. NaN values stay NaN.
void convert_pattern(cv::Mat& patternImage, const cv::Size& projectorSize, int offsetX, int offsetY, bool binary);

// CV_8UC2 (direct Ld, global Lg) from up to ten CV_8UC1 images of equal size; empty on bad
// input. An Lg above 255 is stored as 255.
cv::Mat estimate_direct_light(const std::vector<cv::Mat>& images, float b);

// Fills every -1.0 pixel of a CV_32F map with the Gaussian-weighted mean of its valid
// neighbours within radius; pixels without valid neighbours stay -1.0.
void inpaintInvalidWithGaussianBlur(const cv::Mat& input, cv::Mat& output, int radius);

} // namespace sl
