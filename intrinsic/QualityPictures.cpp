#include "intrinsic/QualityPictures.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

#include "intrinsic/ErrorAnalysis.h"

namespace vantiro::intrinsic {

namespace {

const cv::Scalar kUnknown(80, 80, 80);
const cv::Scalar kBackground(40, 40, 40);
const cv::Scalar kWhite(255, 255, 255);
const cv::Scalar kBlack(0, 0, 0);
const cv::Scalar kSelected(255, 0, 255);
constexpr int kFont = cv::FONT_HERSHEY_SIMPLEX;
constexpr double kFontScale = 0.4;

const std::vector<cv::Vec3b>& colorTable()
{
    static const std::vector<cv::Vec3b> table = [] {
        cv::Mat ramp(1, 256, CV_8U);
        for (int i = 0; i < 256; ++i)
            ramp.at<uchar>(i) = uchar(i);
        cv::Mat colours;
        cv::applyColorMap(ramp, colours, cv::COLORMAP_TURBO);
        return std::vector<cv::Vec3b>(colours.begin<cv::Vec3b>(), colours.end<cv::Vec3b>());
    }();
    return table;
}

// Position 0..1 of a value on the logarithmic scale.
double scalePosition(double sigma)
{
    const double t = (std::log10(sigma) - std::log10(kScaleLow)) / (std::log10(kScaleHigh) - std::log10(kScaleLow));
    return std::clamp(t, 0.0, 1.0);
}

std::string number(double v)
{
    return formatPixels(v).toStdString();
}

// Text with a dark box behind it, so that it reads on any map.
void label(cv::Mat& picture, const std::string& text, cv::Point origin, const cv::Scalar& colour = kWhite,
           const cv::Scalar& box = kBlack)
{
    int baseline = 0;
    const cv::Size size = cv::getTextSize(text, kFont, kFontScale, 1, &baseline);
    cv::rectangle(picture, cv::Rect(origin.x - 2, origin.y - size.height - 3, size.width + 4, size.height + baseline + 4),
                  box, cv::FILLED);
    cv::putText(picture, text, origin, kFont, kFontScale, colour, 1, cv::LINE_AA);
}

struct Canvas
{
    cv::Mat picture; // map area plus legend strip
    cv::Mat map;     // the map area (a view into picture)
    double scale = 1.0;
};

Canvas canvas(cv::Size imageSize, int maxSide, const cv::Scalar& fill)
{
    Canvas c;
    c.scale = pictureScale(imageSize, maxSide);
    const cv::Size mapSize(std::max(1, int(std::lround(imageSize.width * c.scale))),
                           std::max(1, int(std::lround(imageSize.height * c.scale))));
    c.picture = cv::Mat(std::max(mapSize.height, 200), mapSize.width + kLegendWidth, CV_8UC3, kBackground);
    c.map = c.picture(cv::Rect(cv::Point(0, 0), mapSize));
    c.map.setTo(fill);
    return c;
}

cv::Point2f toPicture(cv::Point2f pixel, double scale)
{
    return {float((pixel.x + 0.5) * scale - 0.5), float((pixel.y + 0.5) * scale - 0.5)};
}

// Lines along a mask's boundaries, leaving out the picture's own border.
void drawBoundaries(cv::Mat& target, const cv::Mat& mask, const cv::Scalar& colour, int thickness,
                    std::vector<std::vector<cv::Point>>* contoursOut = nullptr)
{
    std::vector<std::vector<cv::Point>> contours;
    cv::findContours(mask, contours, cv::RETR_LIST, cv::CHAIN_APPROX_NONE);
    const auto onBorder = [&mask](cv::Point p) {
        return p.x <= 0 || p.y <= 0 || p.x >= mask.cols - 1 || p.y >= mask.rows - 1;
    };
    for (const auto& contour : contours)
        for (size_t i = 0; i < contour.size(); ++i) {
            const cv::Point a = contour[i], b = contour[(i + 1) % contour.size()];
            if (!(onBorder(a) && onBorder(b)))
                cv::line(target, a, b, colour, thickness, cv::LINE_8); // pixel boundaries: nothing to smooth
        }
    if (contoursOut)
        *contoursOut = std::move(contours);
}

// The covered area in picture size.
cv::Mat coveredMask(const CalibrationQuality& quality, cv::Size size)
{
    cv::Mat mask;
    if (quality.covered.empty())
        return cv::Mat::zeros(size, CV_8U);
    cv::resize(quality.covered, mask, size, 0, 0, cv::INTER_NEAREST);
    return mask;
}

void drawCoverage(Canvas& c, const CalibrationQuality& quality)
{
    const cv::Mat mask = coveredMask(quality, c.map.size());
    // What no view covered is dimmed towards grey.
    cv::Mat dimmed;
    cv::addWeighted(c.map, 0.55, cv::Mat(c.map.size(), CV_8UC3, kUnknown), 0.45, 0.0, dimmed);
    dimmed.copyTo(c.map, 255 - mask);
    drawBoundaries(c.map, mask, kWhite, 1);
}

void drawResiduals(Canvas& c, const CalibrationQuality& quality, int selectedImage, bool coloured)
{
    const double magnification = residualMagnification(quality, c.scale);
    for (const ViewResiduals& view : quality.views) {
        const bool selected = view.image == selectedImage;
        for (size_t j = 0; j < view.residuals.size(); ++j) {
            const cv::Point2f from = toPicture(view.points[j], c.scale);
            const cv::Point2f to = from + view.residuals[j] * float(magnification * c.scale);
            cv::Scalar colour = kWhite;
            if (selected) {
                colour = kSelected;
            } else if (coloured) {
                const cv::Vec3b rgb = toRgb8(errorColor(cv::norm(view.residuals[j]), std::nullopt, std::nullopt, false));
                colour = cv::Scalar(rgb[2], rgb[1], rgb[0]);
            }
            cv::line(c.map, from, to, colour, selected ? 2 : 1, cv::LINE_AA);
            cv::circle(c.map, from, 1, colour, cv::FILLED);
        }
    }
}

// "x200" and a bar as long as a round residual, in the legend strip.
void residualLegend(Canvas& c, const CalibrationQuality& quality, int top)
{
    const double magnification = residualMagnification(quality, c.scale);
    const int x = c.map.cols + 8;
    label(c.picture, "vectors x" + std::to_string(int(magnification)), {x, top});
    // The longest round residual (0.01, 0.02, 0.05, ...) that fits into the strip.
    double shown = 0.01;
    for (double step : {0.02, 0.05, 0.1, 0.2, 0.5, 1.0, 2.0, 5.0, 10.0})
        if (step * magnification * c.scale <= kLegendWidth - 20)
            shown = step;
    const int length = std::max(1, int(std::lround(shown * magnification * c.scale)));
    cv::line(c.picture, {x, top + 12}, {x + length, top + 12}, kWhite, 2);
    label(c.picture, number(shown) + " px", {x, top + 30});
}

} // namespace

double pictureScale(cv::Size imageSize, int maxSide)
{
    const int side = std::max(imageSize.width, imageSize.height);
    return side > maxSide && maxSide > 0 ? double(maxSide) / side : 1.0;
}

cv::Vec3b uncertaintyColor(double sigma)
{
    if (!std::isfinite(sigma))
        return cv::Vec3b(uchar(kUnknown[0]), uchar(kUnknown[1]), uchar(kUnknown[2]));
    return colorTable()[size_t(std::lround(255.0 * scalePosition(sigma)))];
}

double residualMagnification(const CalibrationQuality& quality, double scale)
{
    double squares = 0.0;
    size_t count = 0;
    for (const ViewResiduals& v : quality.views)
        for (const cv::Point2f& r : v.residuals) {
            squares += double(r.dot(r));
            ++count;
        }
    const double rms = count ? std::sqrt(squares / double(count)) : 0.0;
    if (!(rms > 0.0) || !(scale > 0.0))
        return 1.0;
    const double wanted = 15.0 / (rms * scale);
    // The largest 1-2-5 step not above what is wanted, at least 1.
    double best = 1.0;
    for (double decade = 1.0; decade <= wanted; decade *= 10.0)
        for (double step : {1.0, 2.0, 5.0})
            if (step * decade <= wanted)
                best = step * decade;
    return best;
}

cv::Mat uncertaintyPicture(const CalibrationQuality& quality, const QualityPictureOptions& options)
{
    Canvas c = canvas(quality.imageSize, options.maxSide, kUnknown);
    const UncertaintyMap& map = options.infinity ? quality.atInfinity : quality.atDistance;
    cv::Mat values(c.map.size(), CV_32F, cv::Scalar(std::numeric_limits<float>::quiet_NaN()));
    if (!map.sigma.empty()) {
        for (int y = 0; y < c.map.rows; ++y)
            for (int x = 0; x < c.map.cols; ++x) {
                const cv::Point2d pixel((x + 0.5) / c.scale - 0.5, (y + 0.5) / c.scale - 0.5);
                const double v = map.at(pixel);
                values.at<float>(y, x) = float(v);
                c.map.at<cv::Vec3b>(y, x) = uncertaintyColor(v);
            }
        // Unknown counts as above every level.
        cv::Mat levels = values.clone();
        cv::patchNaNs(levels, 1e9);
        for (double level : kContourLevels) {
            std::vector<std::vector<cv::Point>> contours;
            drawBoundaries(c.map, levels >= level, kBlack, 1, &contours);
            for (const auto& contour : contours) {
                if (contour.size() < 80)
                    continue;
                // The label where the line runs farthest from the picture's edges.
                const auto inset = [&c](cv::Point p) {
                    return std::min({p.x, p.y, c.map.cols - 1 - p.x, c.map.rows - 1 - p.y});
                };
                const cv::Point at = *std::max_element(contour.begin(), contour.end(),
                                                       [&](cv::Point a, cv::Point b) { return inset(a) < inset(b); });
                if (inset(at) < 2) // all along the picture's edge, where no line is drawn
                    continue;
                label(c.map, number(level), {std::clamp(at.x - 10, 2, std::max(2, c.map.cols - 30)),
                                             std::clamp(at.y + 4, 14, std::max(14, c.map.rows - 4))},
                      kBlack, kWhite);
            }
        }
    }
    if (options.coverage)
        drawCoverage(c, quality);
    if (options.residuals)
        drawResiduals(c, quality, options.selectedImage, false);

    // Legend: the colour scale with its decades and the contour levels.
    const int x = c.map.cols + 8, top = 24, bottom = std::min(c.picture.rows - 60, top + 220);
    label(c.picture, options.infinity ? "at infinity" : "at " + number(quality.distance / 1000.0) + " m", {x, 14});
    for (int y = top; y <= bottom; ++y) {
        const double t = double(bottom - y) / double(bottom - top);
        const double v = kScaleLow * std::pow(kScaleHigh / kScaleLow, t);
        cv::line(c.picture, {x, y}, {x + 14, y}, cv::Scalar(uncertaintyColor(v)));
    }
    const auto yOf = [&](double v) { return int(std::lround(bottom - scalePosition(v) * (bottom - top))); };
    for (double v : {0.01, 0.1, 1.0, 10.0}) {
        cv::line(c.picture, {x + 14, yOf(v)}, {x + 18, yOf(v)}, kWhite);
        cv::putText(c.picture, number(v), {x + 22, yOf(v) + 4}, kFont, kFontScale, kWhite, 1, cv::LINE_AA);
    }
    for (double v : kContourLevels)
        cv::line(c.picture, {x, yOf(v)}, {x + 14, yOf(v)}, kBlack);
    cv::putText(c.picture, "px", {x, bottom + 16}, kFont, kFontScale, kWhite, 1, cv::LINE_AA);
    if (options.residuals)
        residualLegend(c, quality, bottom + 36);
    return c.picture;
}

cv::Mat coveragePicture(const CalibrationQuality& quality, int maxSide)
{
    Canvas c = canvas(quality.imageSize, maxSide, kBackground);
    double most = 0.0;
    if (!quality.cornerCount.empty())
        cv::minMaxLoc(quality.cornerCount, nullptr, &most);
    for (int r = 0; r < quality.cornerCount.rows; ++r)
        for (int col = 0; col < quality.cornerCount.cols; ++col) {
            const int n = quality.cornerCount.at<int>(r, col);
            if (n == 0)
                continue;
            // Brightness grows with the count, so that single corners still show.
            const double t = std::sqrt(double(n) / most);
            const float cell = float(quality.cellSize);
            const cv::Point2f a = toPicture(cv::Point2f(col * cell, r * cell), c.scale);
            const cv::Point2f b = toPicture(cv::Point2f((col + 1) * cell, (r + 1) * cell), c.scale);
            cv::rectangle(c.map, cv::Point(a), cv::Point(b) - cv::Point(1, 1),
                          cv::Scalar(40 + 40 * t, 60 + 195 * t, 40 + 40 * t), cv::FILLED);
        }
    drawBoundaries(c.map, coveredMask(quality, c.map.size()), kWhite, 1);
    const int x = c.map.cols + 8;
    label(c.picture, "covered", {x, 14});
    label(c.picture, std::to_string(int(std::lround(100.0 * quality.coveredFraction))) + " %", {x, 32});
    label(c.picture, "corners per", {x, 60});
    label(c.picture, std::to_string(quality.cellSize) + " px cell", {x, 76});
    label(c.picture, "max " + std::to_string(int(most)), {x, 92});
    return c.picture;
}

cv::Mat residualPicture(const CalibrationQuality& quality, int selectedImage, int maxSide)
{
    Canvas c = canvas(quality.imageSize, maxSide, kBackground);
    drawBoundaries(c.map, coveredMask(quality, c.map.size()), cv::Scalar(120, 120, 120), 1);
    drawResiduals(c, quality, selectedImage, true);
    residualLegend(c, quality, 14);
    return c.picture;
}

int ViewErrorChart::imageAt(cv::Point2d point) const
{
    for (size_t i = 0; i < columns.size(); ++i)
        if (point.x >= columns[i].x && point.x < columns[i].x + columns[i].width && point.y >= columns[i].y &&
            point.y < columns[i].y + columns[i].height)
            return images[i];
    return -1;
}

ViewErrorChart viewErrorChart(const CalibrationQuality& quality, cv::Size size, int selectedImage)
{
    ViewErrorChart chart;
    chart.picture = cv::Mat(std::max(size.height, 80), std::max(size.width, 120), CV_8UC3, kBackground);
    cv::Mat& p = chart.picture;
    const cv::Rect plot(46, 20, p.cols - 56, p.rows - 40);
    cv::putText(p, "RMS per image [px]", {plot.x, 14}, kFont, kFontScale, kWhite, 1, cv::LINE_AA);
    if (quality.views.empty())
        return chart;

    double low = quality.views[0].rms, high = low;
    for (const ViewResiduals& v : quality.views) {
        low = std::min(low, v.rms);
        high = std::max(high, v.rms);
    }
    // A round top for the axis: 1, 2 or 5 times a power of ten, at least the largest RMS.
    const double decade = std::pow(10.0, std::floor(std::log10(std::max(high, 1e-6))));
    double top = 10.0 * decade;
    for (double step : {5.0, 2.0, 1.0})
        if (step * decade >= high)
            top = step * decade;
    const auto yOf = [&](double v) { return int(std::lround(plot.y + plot.height * (1.0 - v / top))); };
    for (double v : {0.0, top / 2, top}) {
        cv::line(p, {plot.x - 4, yOf(v)}, {plot.x + plot.width, yOf(v)}, cv::Scalar(90, 90, 90));
        cv::putText(p, number(v), {2, yOf(v) + 4}, kFont, kFontScale, kWhite, 1, cv::LINE_AA);
    }

    const int n = int(quality.views.size());
    const double pitch = double(plot.width) / n;
    // Index labels only as dense as they stay readable.
    const int labelEvery = std::max(1, int(std::ceil(24.0 / pitch)));
    for (int i = 0; i < n; ++i) {
        const ViewResiduals& v = quality.views[size_t(i)];
        const int x0 = plot.x + int(std::lround(i * pitch)), x1 = plot.x + int(std::lround((i + 1) * pitch));
        chart.images.push_back(v.image);
        chart.columns.emplace_back(x0, plot.y, std::max(1, x1 - x0), plot.height);
        const int gap = std::max(1, (x1 - x0) / 6);
        const cv::Vec3b rgb = toRgb8(errorColor(v.rms, low, high));
        const cv::Rect bar(cv::Point(x0 + gap, yOf(v.rms)), cv::Point(std::max(x0 + gap + 1, x1 - gap), yOf(0.0)));
        cv::rectangle(p, bar, cv::Scalar(rgb[2], rgb[1], rgb[0]), cv::FILLED);
        if (v.image == selectedImage)
            cv::rectangle(p, bar, kWhite, 2);
        if (i % labelEvery == 0)
            cv::putText(p, std::to_string(v.image), {x0 + gap, plot.y + plot.height + 14}, kFont, kFontScale, kWhite, 1,
                        cv::LINE_AA);
    }
    return chart;
}

} // namespace vantiro::intrinsic
