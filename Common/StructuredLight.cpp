#include "Common/StructuredLight.h"

#include <QFile>

#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <iostream>
#include <limits>
#include <memory>

#include "app/ImageFile.h"

namespace sl {

namespace {

// Largest projector extent whose coordinates are still whole numbers in a float.
constexpr int kMaxProjectorExtent = 1 << 24;

#if CV_SIMD128
// Four bytes widened to 32-bit lanes. The library's v_load_expand_q reads them through an
// int pointer, which is undefined behaviour at the unaligned addresses a row offset gives;
// the copy compiles to the same single load.
inline cv::v_uint32x4 loadExpandFourBytes(const uint8_t* p)
{
    alignas(4) uint8_t four[4];
    std::memcpy(four, p, sizeof four);
    return cv::v_load_expand_q(four);
}
#endif

// One (pattern, inverse) pair in sequence order. Within a channel the pairs run from the
// most significant bit down, so each pair shifts one bit into the channel's code.
struct PairStep
{
    cv::Mat pattern; // image t
    cv::Mat inverse; // image t + 1
    int channel = 0;
    int plane = 0;        // byte plane of the channel that takes this bit
    bool skipped = false; // wrong size: contributes a 0 bit
};

// The robust classification's view of one row of the direct/global light image.
struct LightRow
{
    const uint8_t* ld;    // direct component
    const uint8_t* lg;    // global component
    const uint8_t* dark;  // 255 where Ld < m: every bit uncertain
    const uint8_t* plain; // 255 where Ld > Lg: the bit is the plain comparison
};

// Bits of each channel are gathered in byte planes of eight bits (cheap to shift in 8-bit
// SIMD lanes), most significant plane first, and combined into the code at the end.
struct Layout
{
    int planeCount[2] = { 0, 0 };
    int planeBits[2][4] = {};
};

Layout layoutFor(int columnBits, int rowBits)
{
    Layout layout;
    const int bits[2] = { columnBits, rowBits };
    for (int ch = 0; ch < 2; ++ch) {
        for (int k = 0; k * 8 < bits[ch]; ++k)
            layout.planeBits[ch][layout.planeCount[ch]++] = std::min(8, bits[ch] - k * 8);
    }
    return layout;
}

void splitLightRow(const uint8_t* direct, int m, int width, uint8_t* ld, uint8_t* lg, uint8_t* dark, uint8_t* plain)
{
    int x = 0;
#if CV_SIMD128
    const cv::v_uint8x16 threshold = cv::v_setall_u8(static_cast<uint8_t>(std::min(m, 255)));
    for (; m <= 255 && x <= width - 16; x += 16) {
        cv::v_uint8x16 d;
        cv::v_uint8x16 g;
        cv::v_load_deinterleave(direct + 2 * x, d, g);
        cv::v_store(ld + x, d);
        cv::v_store(lg + x, g);
        cv::v_store(dark + x, d < threshold);
        cv::v_store(plain + x, d > g);
    }
#endif
    for (; x < width; ++x) {
        ld[x] = direct[2 * x];
        lg[x] = direct[2 * x + 1];
        dark[x] = ld[x] < m ? 255 : 0;
        plain[x] = ld[x] > lg[x] ? 255 : 0;
    }
}

// Shifts the bit of one pair into 'bits' and marks uncertain pixels, for one row.
// Robust rule: uncertain if Ld < m; else if Ld > Lg the bit is v1 > v2; else 0 if
// v1 <= Ld and v2 >= Lg, otherwise 1 if v1 >= Lg and v2 <= Ld, otherwise uncertain.
void classifyRow(const PairStep& step, const LightRow* light, int r, uint8_t* bits, uint8_t* uncertain, int width)
{
    int x = 0;
    if (step.skipped) {
#if CV_SIMD128
        for (; x <= width - 16; x += 16) {
            const cv::v_uint8x16 b = cv::v_load(bits + x);
            cv::v_store(bits + x, cv::v_add_wrap(b, b));
        }
#endif
        for (; x < width; ++x)
            bits[x] = static_cast<uint8_t>(bits[x] << 1);
        return;
    }
    const uint8_t* p1 = step.pattern.ptr<uint8_t>(r);
    const uint8_t* p2 = step.inverse.ptr<uint8_t>(r);
    if (!light) {
#if CV_SIMD128
        const cv::v_uint8x16 one = cv::v_setall_u8(1);
        for (; x <= width - 16; x += 16) {
            const cv::v_uint8x16 v1 = cv::v_load(p1 + x);
            const cv::v_uint8x16 v2 = cv::v_load(p2 + x);
            const cv::v_uint8x16 b = cv::v_load(bits + x);
            cv::v_store(bits + x, cv::v_add_wrap(cv::v_add_wrap(b, b), (v1 > v2) & one));
        }
#endif
        for (; x < width; ++x)
            bits[x] = static_cast<uint8_t>((bits[x] << 1) | (p1[x] > p2[x] ? 1 : 0));
        return;
    }
    const uint8_t* ld = light->ld;
    const uint8_t* lg = light->lg;
    const uint8_t* dark = light->dark;
    const uint8_t* plain = light->plain;
#if CV_SIMD128
    const cv::v_uint8x16 one = cv::v_setall_u8(1);
    for (; x <= width - 16; x += 16) {
        const cv::v_uint8x16 v1 = cv::v_load(p1 + x);
        const cv::v_uint8x16 v2 = cv::v_load(p2 + x);
        const cv::v_uint8x16 vld = cv::v_load(ld + x);
        const cv::v_uint8x16 vlg = cv::v_load(lg + x);
        const cv::v_uint8x16 isPlain = cv::v_load(plain + x);
        const cv::v_uint8x16 zero = (v1 <= vld) & (v2 >= vlg);
        const cv::v_uint8x16 set = (v1 >= vlg) & (v2 <= vld);
        const cv::v_uint8x16 bit = cv::v_select(isPlain, v1 > v2, set & ~zero);
        const cv::v_uint8x16 lost = cv::v_load(dark + x) | (~isPlain & ~(zero | set));
        const cv::v_uint8x16 b = cv::v_load(bits + x);
        cv::v_store(bits + x, cv::v_add_wrap(cv::v_add_wrap(b, b), bit & one));
        cv::v_store(uncertain + x, cv::v_load(uncertain + x) | lost);
    }
#endif
    for (; x < width; ++x) {
        const int v1 = p1[x];
        const int v2 = p2[x];
        int bit;
        bool lost = dark[x] != 0;
        if (plain[x]) {
            bit = v1 > v2;
        } else {
            const bool zero = v1 <= ld[x] && v2 >= lg[x];
            const bool set = v1 >= lg[x] && v2 <= ld[x];
            bit = set && !zero;
            lost = lost || !(zero || set);
        }
        bits[x] = static_cast<uint8_t>((bits[x] << 1) | bit);
        if (lost)
            uncertain[x] = 255;
    }
}

// Combines the byte planes of one row into the two channels of the result: the code, or
// after Gray-to-binary conversion the projector coordinate (minus the offset, clamped to
// the projector), NaN where a bit was uncertain. scratch holds 2 x width floats.
void finishRow(const Layout& layout, const uint8_t* const planes[2][4], const uint8_t* const uncertain[2], bool binary,
               const int offsets[2], const int limits[2], int width, float* scratch, float* out)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (int ch = 0; ch < 2; ++ch) {
        const int planeCount = layout.planeCount[ch];
        const int* planeBits = layout.planeBits[ch];
        const uint8_t* const* plane = planes[ch];
        const uint8_t* lost = uncertain[ch];
        float* values = scratch + ch * width;
        int x = 0;
#if CV_SIMD128
        const cv::v_int32x4 low = cv::v_setzero_s32();
        const cv::v_int32x4 high = cv::v_setall_s32(limits[ch]);
        const cv::v_int32x4 offset = cv::v_setall_s32(offsets[ch]);
        const cv::v_float32x4 nanv = cv::v_setall_f32(nan);
        const cv::v_uint32x4 none = cv::v_setzero_u32();
        for (; x <= width - 4; x += 4) {
            cv::v_uint32x4 code = cv::v_setzero_u32();
            for (int k = 0; k < planeCount; ++k)
                code = (code << planeBits[k]) | loadExpandFourBytes(plane[k] + x);
            cv::v_float32x4 value;
            if (binary) {
                value = cv::v_cvt_f32(cv::v_reinterpret_as_s32(code));
            } else {
                code = code ^ (code >> 1);
                code = code ^ (code >> 2);
                code = code ^ (code >> 4);
                code = code ^ (code >> 8);
                code = code ^ (code >> 16);
                const cv::v_int32x4 c = cv::v_reinterpret_as_s32(code) - offset;
                value = cv::v_cvt_f32(cv::v_min(cv::v_max(c, low), high));
            }
            const cv::v_uint32x4 isLost = loadExpandFourBytes(lost + x) != none;
            cv::v_store(values + x, cv::v_select(cv::v_reinterpret_as_f32(isLost), nanv, value));
        }
#endif
        for (; x < width; ++x) {
            uint32_t code = 0;
            for (int k = 0; k < planeCount; ++k)
                code = (code << planeBits[k]) | plane[k][x];
            float value;
            if (binary) {
                value = static_cast<float>(code);
            } else {
                for (int shift = 1; shift <= 16; shift <<= 1)
                    code ^= code >> shift;
                value = static_cast<float>(std::clamp(static_cast<int>(code) - offsets[ch], 0, limits[ch]));
            }
            values[x] = lost[x] ? nan : value;
        }
    }
    int x = 0;
#if CV_SIMD128
    for (; x <= width - 4; x += 4)
        cv::v_store_interleave(out + 2 * x, cv::v_load(scratch + x), cv::v_load(scratch + width + x));
#endif
    for (; x < width; ++x) {
        out[2 * x] = scratch[x];
        out[2 * x + 1] = scratch[width + x];
    }
}

struct DecodeContext
{
    cv::Size size;
    Layout layout;
    bool binary = false;
    bool robust = false;
    int minDirect = 0;
    cv::Mat direct;
    int offsets[2] = { 0, 0 };
    int limits[2] = { 0, 0 };
};

// All pairs at hand: rows outermost, every row decoded start to finish in small buffers
// that stay in cache.
void decodeInOnePass(const DecodeContext& ctx, const std::vector<PairStep>& steps, cv::Mat& out)
{
    const int width = ctx.size.width;
    cv::parallel_for_(cv::Range(0, ctx.size.height), [&](const cv::Range& range) {
        // Up to 6 byte planes (2 channels x 3 planes for 24 bits), 2 uncertainty rows and
        // 4 light rows; 2 rows of floats.
        std::vector<uint8_t> buffer(static_cast<size_t>(width) * 12);
        std::vector<float> scratch(static_cast<size_t>(width) * 2);
        uint8_t* planes[2][4];
        uint8_t* uncertain[2];
        uint8_t* next = buffer.data();
        for (int ch = 0; ch < 2; ++ch) {
            for (int k = 0; k < 4; ++k)
                planes[ch][k] = k < ctx.layout.planeCount[ch] ? (next += width) - width : nullptr;
            uncertain[ch] = (next += width) - width;
        }
        uint8_t* lightRows = next;
        const LightRow lightRow = { lightRows, lightRows + width, lightRows + 2 * width, lightRows + 3 * width };
        const uint8_t* planeView[2][4];
        const uint8_t* lostView[2];
        for (int ch = 0; ch < 2; ++ch) {
            std::copy_n(planes[ch], 4, planeView[ch]);
            lostView[ch] = uncertain[ch];
        }
        for (int r = range.start; r < range.end; ++r) {
            std::fill(buffer.begin(), buffer.begin() + (lightRows - buffer.data()), uint8_t(0));
            if (ctx.robust)
                splitLightRow(ctx.direct.ptr<uint8_t>(r), ctx.minDirect, width, lightRows, lightRows + width,
                              lightRows + 2 * width, lightRows + 3 * width);
            for (const PairStep& step : steps)
                classifyRow(step, ctx.robust ? &lightRow : nullptr, r, planes[step.channel][step.plane],
                            uncertain[step.channel], width);
            finishRow(ctx.layout, planeView, lostView, ctx.binary, ctx.offsets, ctx.limits, width, scratch.data(),
                      out.ptr<float>(r));
        }
    });
}

// One pair at a time (files are read pair by pair): image-sized accumulators.
class PairwiseDecoder
{
public:
    explicit PairwiseDecoder(const DecodeContext& ctx)
        : m_ctx(ctx)
    {
        for (int ch = 0; ch < 2; ++ch) {
            for (int k = 0; k < ctx.layout.planeCount[ch]; ++k)
                m_planes[ch][k] = cv::Mat::zeros(ctx.size, CV_8UC1);
            m_uncertain[ch] = cv::Mat::zeros(ctx.size, CV_8UC1);
        }
        if (ctx.robust) {
            for (cv::Mat& plane : m_light)
                plane.create(ctx.size, CV_8UC1);
            cv::parallel_for_(cv::Range(0, ctx.size.height), [&](const cv::Range& range) {
                for (int r = range.start; r < range.end; ++r)
                    splitLightRow(ctx.direct.ptr<uint8_t>(r), ctx.minDirect, ctx.size.width, m_light[0].ptr<uint8_t>(r),
                                  m_light[1].ptr<uint8_t>(r), m_light[2].ptr<uint8_t>(r), m_light[3].ptr<uint8_t>(r));
            });
        }
    }

    void add(const PairStep& step)
    {
        cv::parallel_for_(cv::Range(0, m_ctx.size.height), [&](const cv::Range& range) {
            for (int r = range.start; r < range.end; ++r) {
                const LightRow light = m_ctx.robust ? lightRow(r) : LightRow{};
                classifyRow(step, m_ctx.robust ? &light : nullptr, r, m_planes[step.channel][step.plane].ptr<uint8_t>(r),
                            m_uncertain[step.channel].ptr<uint8_t>(r), m_ctx.size.width);
            }
        });
    }

    void finish(cv::Mat& out) const
    {
        cv::parallel_for_(cv::Range(0, m_ctx.size.height), [&](const cv::Range& range) {
            std::vector<float> scratch(static_cast<size_t>(m_ctx.size.width) * 2);
            for (int r = range.start; r < range.end; ++r) {
                const uint8_t* planes[2][4] = {};
                const uint8_t* lost[2];
                for (int ch = 0; ch < 2; ++ch) {
                    for (int k = 0; k < m_ctx.layout.planeCount[ch]; ++k)
                        planes[ch][k] = m_planes[ch][k].ptr<uint8_t>(r);
                    lost[ch] = m_uncertain[ch].ptr<uint8_t>(r);
                }
                finishRow(m_ctx.layout, planes, lost, m_ctx.binary, m_ctx.offsets, m_ctx.limits, m_ctx.size.width,
                          scratch.data(), out.ptr<float>(r));
            }
        });
    }

private:
    LightRow lightRow(int r) const
    {
        return { m_light[0].ptr<uint8_t>(r), m_light[1].ptr<uint8_t>(r), m_light[2].ptr<uint8_t>(r),
                 m_light[3].ptr<uint8_t>(r) };
    }

    const DecodeContext& m_ctx;
    cv::Mat m_planes[2][4];
    cv::Mat m_uncertain[2];
    cv::Mat m_light[4];
};

// Loads images t and t + 1 of a sequence as 8-bit greyscale; prints the failure and
// returns false when one of them cannot be had.
using PairLoader = std::function<bool(int t, cv::Mat& first, cv::Mat& second)>;

bool decodeSequence(int imageCount, cv::Mat& patternImage, const cv::Size& projectorSize, unsigned flags,
                    const cv::Mat& directLight, unsigned m, const PairLoader& loadPair, bool onePass)
{
    patternImage.release();
    if (projectorSize.width < 1 || projectorSize.height < 1 || projectorSize.width > kMaxProjectorExtent
        || projectorSize.height > kMaxProjectorExtent) {
        std::cout << "Decoding error: Invalid projector resolution " << projectorSize.width << "x"
                  << projectorSize.height << "." << std::endl;
        return false;
    }

    const int columnBits = grayCodeBits(projectorSize.width);
    const int rowBits = grayCodeBits(projectorSize.height);
    const int n = 2 * (columnBits + rowBits) + 2;
    if (imageCount != n) {
        std::cout << "Decoding error: Projector resolution does not correspond to the number of images in the Gray "
                     "code sequence."
                  << std::endl;
        return false;
    }

    DecodeContext ctx;
    ctx.binary = (flags & DECODE_GRAY) == 0;
    ctx.robust = (flags & DECODE_ROBUST) != 0;
    // Ld is a byte: a threshold above 255 rejects every pixel, like any threshold above Ld.
    ctx.minDirect = static_cast<int>(std::min(m, 256u));
    ctx.layout = layoutFor(columnBits, rowBits);
    ctx.offsets[0] = grayCodeOffset(projectorSize.width);
    ctx.offsets[1] = grayCodeOffset(projectorSize.height);
    ctx.limits[0] = projectorSize.width - 1;
    ctx.limits[1] = projectorSize.height - 1;
    const int setSize[3] = { 1, columnBits, rowBits };

    std::unique_ptr<PairwiseDecoder> pairwise;
    std::vector<PairStep> steps;
    bool started = false;
    int set = 0;
    int position = 0;
    for (int t = 0; t < n; t += 2) {
        if (position == setSize[set]) {
            ++set;
            position = 0;
        }
        if (set == 0) {
            ++position;
            continue;
        }
        PairStep step;
        step.channel = set - 1;
        step.plane = position / 8;
        ++position;

        if (!loadPair(t, step.pattern, step.inverse))
            return false;

        if (!started) {
            if (step.pattern.size() != step.inverse.size()) {
                std::cout << "Decoding error: Images in the Gray code sequence must have the same size!" << std::endl;
                return false;
            }
            if (ctx.robust && directLight.size() != step.pattern.size()) {
                std::cout << "[decode_pattern]  --> Direct Component image has different size: \n" << std::flush;
                return false;
            }
            if (ctx.robust && directLight.type() != CV_8UC2) {
                std::cout << "[decode_pattern]  --> Direct Component image must be a two-channel 8-bit image\n"
                          << std::flush;
                return false;
            }
            started = true;
            ctx.size = step.pattern.size();
            if (ctx.robust)
                ctx.direct = directLight;
            if (!onePass)
                pairwise = std::make_unique<PairwiseDecoder>(ctx);
        } else {
            if (step.pattern.size() != ctx.size) {
                std::cout << "[decode_pattern]  --> Image 1 has different size, image pair " << t << " (skipped!)\n";
                step.skipped = true;
            }
            if (step.inverse.size() != ctx.size) {
                std::cout << "[decode_pattern]  --> Image 2 has different size, image pair " << t << " (skipped!)\n";
                step.skipped = true;
            }
            if (step.skipped) {
                std::cout << std::flush;
                step.pattern.release();
                step.inverse.release();
            }
        }

        if (pairwise)
            pairwise->add(step);
        else
            steps.push_back(std::move(step));
    }

    cv::Mat out(ctx.size, CV_32FC2);
    if (pairwise)
        pairwise->finish(out);
    else
        decodeInOnePass(ctx, steps, out);
    patternImage = out;
    return true;
}

// 8-bit greyscale view of an in-memory capture; empty when the type cannot be used.
cv::Mat greyscale8(const cv::Mat& image)
{
    if (image.empty())
        return {};
    cv::Mat eight;
    switch (image.depth()) {
    case CV_8U:
        eight = image;
        break;
    case CV_16U:
        image.convertTo(eight, CV_8U, 1.0 / 256.0);
        break;
    default:
        return {};
    }
    switch (eight.channels()) {
    case 1:
        return eight;
    case 3: {
        cv::Mat grey;
        cv::cvtColor(eight, grey, cv::COLOR_BGR2GRAY);
        return grey;
    }
    case 4: {
        cv::Mat grey;
        cv::cvtColor(eight, grey, cv::COLOR_BGRA2GRAY);
        return grey;
    }
    default:
        return {};
    }
}

} // namespace

int grayCodeBits(int extent)
{
    int bits = 1;
    while (bits < 31 && (int64_t(1) << bits) < extent)
        ++bits;
    return bits;
}

int grayCodeOffset(int extent)
{
    return static_cast<int>(((int64_t(1) << grayCodeBits(extent)) - extent) / 2);
}

int grayCodeImageCount(const cv::Size& projectorSize)
{
    return 2 * (grayCodeBits(projectorSize.width) + grayCodeBits(projectorSize.height)) + 2;
}

bool decode_pattern(const std::vector<std::string>& images, cv::Mat& patternImage, const cv::Size& projectorSize,
                    unsigned flags, const cv::Mat& directLight, unsigned m)
{
    // Only one pair is held at a time; its two files are read side by side, since reading
    // dominates the run time on large captures.
    const PairLoader load = [&images](int t, cv::Mat& first, cv::Mat& second) {
        cv::Mat pair[2];
        cv::parallel_for_(cv::Range(0, 2), [&](const cv::Range& range) {
            for (int i = range.start; i < range.end; ++i) {
                // A corrupt or oversized file is a file that cannot be loaded.
                pair[i] = vantiro::readImageChecked(QFile::decodeName(images[t + i].c_str()), cv::IMREAD_GRAYSCALE);
            }
        }, 2);
        for (int i = 0; i < 2; ++i) {
            if (pair[i].rows == 0) {
                std::cout << "Decoding error: Couldn't load " << images[t + i] << std::endl;
                return false;
            }
        }
        first = pair[0];
        second = pair[1];
        return true;
    };
    return decodeSequence(static_cast<int>(images.size()), patternImage, projectorSize, flags, directLight, m, load,
                          false);
}

bool decode_pattern(const std::vector<cv::Mat>& images, cv::Mat& patternImage, const cv::Size& projectorSize,
                    unsigned flags, const cv::Mat& directLight, unsigned m)
{
    const PairLoader load = [&images](int t, cv::Mat& first, cv::Mat& second) {
        cv::Mat* out[2] = { &first, &second };
        for (int i = 0; i < 2; ++i) {
            const cv::Mat& image = images[t + i];
            if (image.rows == 0) {
                std::cout << "Decoding error: Couldn't load image " << t + i << std::endl;
                return false;
            }
            *out[i] = greyscale8(image);
            if (out[i]->empty()) {
                std::cout << "Decoding error: Image " << t + i << " is neither an 8-bit nor a 16-bit image" << std::endl;
                return false;
            }
        }
        return true;
    };
    // Everything is in memory: one pass over the rows with all pairs keeps the
    // accumulator in cache.
    return decodeSequence(static_cast<int>(images.size()), patternImage, projectorSize, flags, directLight, m, load,
                          true);
}

void convert_pattern(cv::Mat& patternImage, const cv::Size& projectorSize, int offsetX, int offsetY, bool binary)
{
    if (patternImage.empty() || patternImage.type() != CV_32FC2)
        return;
    if (projectorSize.width < 1 || projectorSize.height < 1)
        return;

    const int sizes[2] = { projectorSize.width, projectorSize.height };
    const int offsets[2] = { offsetX, offsetY };
    cv::parallel_for_(cv::Range(0, patternImage.rows), [&](const cv::Range& range) {
        for (int r = range.start; r < range.end; ++r) {
            float* px = patternImage.ptr<float>(r);
            for (int i = 0; i < 2 * patternImage.cols; ++i) {
                const float value = px[i];
                if (std::isnan(value))
                    continue;
                const int ch = i & 1;
                // Keeps the truncation defined for values no decoder produces.
                const float bounded = std::clamp(value, -1073741824.0f, 1073741824.0f);
                const int p = static_cast<int>(bounded);
                const float fraction = bounded - static_cast<float>(p);
                if (!binary) {
                    int code = p;
                    code ^= code >> 1;
                    code ^= code >> 2;
                    code ^= code >> 4;
                    code ^= code >> 8;
                    code ^= code >> 16;
                    code = std::clamp(code - offsets[ch], 0, sizes[ch] - 1);
                    px[i] = static_cast<float>(code) + fraction;
                } else {
                    const int v = p + offsets[ch];
                    px[i] = static_cast<float>(v ^ (v >> 1)) + fraction;
                }
            }
        }
    });
}

cv::Mat estimate_direct_light(const std::vector<cv::Mat>& images, float b)
{
    if (images.empty())
        return {};
    if (!(b >= 0.0f && b < 1.0f))
        return {};
    const size_t count = std::min<size_t>(images.size(), 10);
    const cv::Size size = images[0].size();
    for (size_t i = 0; i < count; ++i) {
        if (images[i].empty() || images[i].type() != CV_8UC1 || images[i].size() != size)
            return {};
    }

    // (Ld, Lg) depends on (Lmin, Lmax) alone: tabulate it once.
    const double b1 = 1.0 / (1.0 - static_cast<double>(b));
    const double b2 = 2.0 / (1.0 - static_cast<double>(b) * static_cast<double>(b));
    std::vector<cv::Vec2b> table(256 * 256);
    for (int lmin = 0; lmin < 256; ++lmin) {
        for (int lmax = lmin; lmax < 256; ++lmax) {
            const float globalPart = static_cast<float>(lmin) - static_cast<float>(lmax) * b;
            const double lg = std::trunc(static_cast<double>(globalPart) * b2);
            cv::Vec2b& entry = table[lmin * 256 + lmax];
            if (lg > 0.0) {
                const double ld = std::trunc((lmax - lmin) * b1);
                // A nearly constant bright pixel gives Lg above 255: saturating keeps it
                // "mostly global light" instead of wrapping to a small global part that
                // would let noise decide its bits.
                entry = cv::Vec2b(static_cast<uint8_t>(std::min(ld, 255.0)), static_cast<uint8_t>(std::min(lg, 255.0)));
            } else {
                entry = cv::Vec2b(static_cast<uint8_t>(lmax), 0);
            }
        }
    }

    cv::Mat result(size, CV_8UC2);
    cv::parallel_for_(cv::Range(0, size.height), [&](const cv::Range& range) {
        std::vector<uint8_t> lowRow(size.width);
        std::vector<uint8_t> highRow(size.width);
        uint8_t* low = lowRow.data();
        uint8_t* high = highRow.data();
        for (int r = range.start; r < range.end; ++r) {
            std::copy_n(images[0].ptr<uint8_t>(r), size.width, low);
            std::copy_n(images[0].ptr<uint8_t>(r), size.width, high);
            for (size_t i = 1; i < count; ++i) {
                const uint8_t* in = images[i].ptr<uint8_t>(r);
                int x = 0;
#if CV_SIMD128
                for (; x <= size.width - 16; x += 16) {
                    const cv::v_uint8x16 v = cv::v_load(in + x);
                    cv::v_store(low + x, cv::v_min(cv::v_load(low + x), v));
                    cv::v_store(high + x, cv::v_max(cv::v_load(high + x), v));
                }
#endif
                for (; x < size.width; ++x) {
                    low[x] = std::min(low[x], in[x]);
                    high[x] = std::max(high[x], in[x]);
                }
            }
            cv::Vec2b* out = result.ptr<cv::Vec2b>(r);
            for (int x = 0; x < size.width; ++x)
                out[x] = table[low[x] * 256 + high[x]];
        }
    });
    return result;
}

void inpaintInvalidWithGaussianBlur(const cv::Mat& input, cv::Mat& output, int radius)
{
    if (input.type() != CV_32F)
        cv::error(cv::Error::StsAssert, "input.type() == CV_32F", "sl::inpaintInvalidWithGaussianBlur", __FILE__,
                  __LINE__);
    if (radius < 0)
        cv::error(cv::Error::StsAssert, "radius >= 0", "sl::inpaintInvalidWithGaussianBlur", __FILE__, __LINE__);

    // Holds the input data even when output is the same Mat.
    const cv::Mat src = input;
    cv::Mat dst = src.clone();
    const int size = 2 * radius + 1;
    const cv::Mat k = cv::getGaussianKernel(size, radius * 0.5, CV_32F);
    const cv::Mat kernel = k * k.t();

    cv::parallel_for_(cv::Range(0, src.rows), [&](const cv::Range& range) {
        for (int r = range.start; r < range.end; ++r) {
            const float* in = src.ptr<float>(r);
            float* out = dst.ptr<float>(r);
            for (int c = 0; c < src.cols; ++c) {
                if (in[c] != -1.0f)
                    continue;
                double sum = 0.0;
                double weights = 0.0;
                for (int dy = -radius; dy <= radius; ++dy) {
                    const int y = r + dy;
                    if (y < 0 || y >= src.rows)
                        continue;
                    const float* neighbours = src.ptr<float>(y);
                    const float* w = kernel.ptr<float>(dy + radius);
                    for (int dx = -radius; dx <= radius; ++dx) {
                        const int x = c + dx;
                        if (x < 0 || x >= src.cols || neighbours[x] == -1.0f)
                            continue;
                        sum += static_cast<double>(w[dx + radius]) * neighbours[x];
                        weights += w[dx + radius];
                    }
                }
                if (weights > 0.0)
                    out[c] = static_cast<float>(sum / weights);
            }
        }
    });
    output = dst;
}

} // namespace sl
