#include "intrinsic/ErrorAnalysis.h"

#include <opencv2/calib3d.hpp>

#include <algorithm>
#include <cmath>

#include "app/Settings.h"
#include "intrinsic/IntrinsicCalibration.h"

namespace vantiro::intrinsic {

namespace {
const cv::Vec3d kGreen(0.0, 0.666, 0.0);
} // namespace

cv::Vec3d errorColor(double value, std::optional<double> minimum, std::optional<double> maximum, bool rangeMode)
{
    if (rangeMode && minimum && maximum) {
        const double lo = *minimum;
        const double hi = *maximum;
        if (hi == lo)
            return kGreen;
        const double v = std::clamp(value, std::min(lo, hi), std::max(lo, hi));
        const double w = hi - lo;
        if (v < lo + w / 2.0)
            return {2.0 * (v - lo) / w, 0.666, 0.0};
        return {1.0, (hi - v) * 1.332 / w, 0.0};
    }
    if (!(value > 0.0)) // also NaN: nothing to warn about
        return kGreen;
    const double f = 1.0 / (1.0 / value + 1.0);
    if (f < 0.5)
        return {2.0 * f, 0.666, 0.0};
    return {1.0, (1.0 - f) * 1.332, 0.0};
}

cv::Vec3d errorColor(double value, std::optional<double> minimum, std::optional<double> maximum)
{
    return errorColor(value, minimum, maximum, vantiro::dynamicMinMaxColorMapping());
}

cv::Vec3b toRgb8(const cv::Vec3d& color)
{
    cv::Vec3b out;
    for (int c = 0; c < 3; ++c) {
        const double v = std::isnan(color[c]) ? 0.0 : std::clamp(color[c], 0.0, 1.0);
        out[c] = static_cast<uchar>(v * 255.0);
    }
    return out;
}

QString colorName(const cv::Vec3d& color)
{
    const cv::Vec3b c = toRgb8(color);
    return QStringLiteral("#%1%2%3")
        .arg(c[0], 2, 16, QLatin1Char('0'))
        .arg(c[1], 2, 16, QLatin1Char('0'))
        .arg(c[2], 2, 16, QLatin1Char('0'));
}

QString colorStyleSheet(const cv::Vec3d& color)
{
    return QStringLiteral("color:rgb(%1,%2,%3);")
        .arg(QString::number(color[0] * 255.0), QString::number(color[1] * 255.0), QString::number(color[2] * 255.0));
}

bool analyseErrors(std::vector<ImageState>& images, const cv::Mat& K, const cv::Mat& distortion, bool removeOutliers,
                   double threshold, LogSink& log)
{
    bool anyRemoved = false;
    for (size_t i = 0; i < images.size(); ++i) {
        ImageState& image = images[i];
        if (!image.hasPose())
            continue;
        image.reprojected.clear();
        image.cornerColors.clear();
        image.minError = DBL_MAX;
        image.maxError = 0.0;
        if (image.objectPoints.empty())
            continue;
        cv::projectPoints(image.objectPoints, image.rvec, image.tvec, K, distortion, image.reprojected);

        const size_t n = std::min(image.imagePoints.size(), image.reprojected.size());
        std::vector<double> errors(n);
        for (size_t j = 0; j < n; ++j) {
            const cv::Point2f d = image.imagePoints[j] - image.reprojected[j];
            errors[j] = std::sqrt(double(d.x) * d.x + double(d.y) * d.y);
            image.minError = std::min(image.minError, errors[j]);
            image.maxError = std::max(image.maxError, errors[j]);
        }

        std::vector<size_t> outliers;
        for (size_t j = 0; j < n; ++j) {
            // An error equal to the threshold is still accepted.
            if (removeOutliers && errors[j] > threshold)
                outliers.push_back(j);
            else
                image.cornerColors.push_back(toRgb8(errorColor(errors[j], image.minError, image.maxError)));
        }
        if (outliers.empty())
            continue;
        log.append(QStringLiteral("%1:%2 ").arg(i).arg(outliers.size()), logcolor::Orange);
        for (auto it = outliers.rbegin(); it != outliers.rend(); ++it) {
            const auto j = static_cast<std::ptrdiff_t>(*it);
            image.imagePoints.erase(image.imagePoints.begin() + j);
            image.objectPoints.erase(image.objectPoints.begin() + j);
            image.reprojected.erase(image.reprojected.begin() + j);
        }
        anyRemoved = true;
    }
    if (removeOutliers && !anyRemoved)
        log.append(QStringLiteral("none\n"), logcolor::Reused);
    return anyRemoved;
}

std::optional<std::pair<double, double>> rmsRange(const std::vector<ImageState>& images)
{
    std::optional<std::pair<double, double>> range;
    for (const ImageState& image : images) {
        if (image.rms < 0.0)
            continue;
        if (!range)
            range = std::make_pair(image.rms, image.rms);
        range->first = std::min(range->first, image.rms);
        range->second = std::max(range->second, image.rms);
    }
    return range;
}

} // namespace vantiro::intrinsic
