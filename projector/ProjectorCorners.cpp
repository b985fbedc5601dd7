#include "projector/ProjectorCorners.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <limits>

#include "projector/GrayCodeSets.h"
#include "targets/DetectionPool.h"
#include "targets/TargetDetection.h"

using vantiro::LogSink;
namespace logcolor = vantiro::logcolor;

namespace camproj {

void CornerSet::clear()
{
    targetPoints.clear();
    cameraCorners.clear();
    projectorCorners.clear();
}

CornerVerdict projectCorner(const cv::Mat& decoded, const cv::Mat& mask, const cv::Point2f& camera, int radius,
                            const cv::Size& projectorSize, cv::Point2f& projector, LogSink& log)
{
    if (decoded.empty() || decoded.type() != CV_32FC2)
        return CornerVerdict::NoHomography;
    const float h = static_cast<float>(radius / 2);
    const float cx = camera.x;
    const float cy = camera.y;
    // Written so that a NaN corner fails too.
    if (!(cx > h && cy > h && cx + h < static_cast<float>(decoded.cols) && cy + h < static_cast<float>(decoded.rows)))
        return CornerVerdict::NearBorder;

    std::vector<cv::Point2f> cameraWindow;
    std::vector<cv::Point2f> projectorWindow;
    int windowPixels = 0;
    for (int y = static_cast<int>(std::trunc(cy - h)); static_cast<float>(y) < cy + h; ++y) {
        const cv::Vec2f* row = decoded.ptr<cv::Vec2f>(y);
        for (int x = static_cast<int>(std::trunc(cx - h)); static_cast<float>(x) < cx + h; ++x) {
            ++windowPixels;
            if (std::isnan(row[x][0]) || std::isnan(row[x][1]))
                continue;
            cameraWindow.emplace_back(static_cast<float>(x), static_cast<float>(y));
            projectorWindow.emplace_back(row[x][0], row[x][1]);
        }
    }

    float u = 0.0f;
    float v = 0.0f;
    try {
        cv::Mat H;
        if (!cameraWindow.empty() && !projectorWindow.empty())
            H = cv::findHomography(cameraWindow, projectorWindow, cv::LMEDS, 0.5, cv::noArray(), 2000, 0.995);
        if (H.empty())
            return CornerVerdict::NoHomography;
        std::vector<cv::Point2f> mapped;
        cv::perspectiveTransform(cameraWindow, mapped, H);
        int agreeing = 0;
        for (size_t i = 0; i < mapped.size(); ++i)
            agreeing += cv::norm(mapped[i] - projectorWindow[i]) <= 1.0;
        if (2 * agreeing < windowPixels)
            return CornerVerdict::Unsupported;
        const cv::Matx33d M(H);
        const cv::Vec3d p = M * cv::Vec3d(cx, cy, 1.0);
        u = static_cast<float>(p[0] / p[2]);
        v = static_cast<float>(p[1] / p[2]);
    } catch (const cv::Exception& e) {
        log.append(QStringLiteral("OpenCV exception caught: %1\n").arg(QString::fromStdString(e.what())), logcolor::Red);
        log.append(QStringLiteral("Skipping...\n\n"), logcolor::Red);
        return CornerVerdict::LibraryError;
    }
    // NaN and infinity (a point mapped to the line at infinity) fail these too.
    if (!(u >= 0.0f && u < static_cast<float>(projectorSize.width) && v >= 0.0f &&
          v < static_cast<float>(projectorSize.height)))
        return CornerVerdict::OutsideProjector;
    if (!mask.empty() && mask.size() == decoded.size() && mask.type() == CV_8UC1 &&
        mask.at<uint8_t>(static_cast<int>(std::trunc(cy)), static_cast<int>(std::trunc(cx))) == 0)
        return CornerVerdict::OutsideMask;
    projector = cv::Point2f(u, v);
    return CornerVerdict::Accepted;
}

float cornerPitch(const std::vector<cv::Point2f>& corners)
{
    const size_t n = corners.size();
    if (n < 2)
        return 0.0f;
    // Nearest neighbours of at most 256 corners spread over the list: enough for a median.
    const size_t step = std::max<size_t>(1, n / 256);
    std::vector<float> nearest;
    for (size_t i = 0; i < n; i += step) {
        float best = std::numeric_limits<float>::infinity();
        for (size_t j = 0; j < n; ++j)
            if (j != i)
                best = std::min(best, static_cast<float>(cv::norm(corners[i] - corners[j])));
        if (std::isfinite(best))
            nearest.push_back(best);
    }
    if (nearest.empty())
        return 0.0f;
    std::nth_element(nearest.begin(), nearest.begin() + static_cast<std::ptrdiff_t>(nearest.size() / 2), nearest.end());
    return nearest[nearest.size() / 2];
}

cv::Mat beamEdgeDistance(const cv::Mat& white, const cv::Mat& black, float pitch)
{
    if (white.empty() || white.type() != CV_8UC1 || black.type() != CV_8UC1 || white.size() != black.size() ||
        !(pitch >= 1.0f) || pitch > static_cast<float>(std::max(white.cols, white.rows)))
        return {};
    cv::Mat light;
    cv::subtract(white, black, light); // saturates at 0
    cv::blur(light, light, cv::Size(3, 3));
    // A high percentile rather than the maximum, which one glint would set.
    int histogram[256] = {};
    for (int r = 0; r < light.rows; ++r) {
        const uint8_t* row = light.ptr<uint8_t>(r);
        for (int c = 0; c < light.cols; ++c)
            ++histogram[row[c]];
    }
    const double total = static_cast<double>(light.total());
    double below = 0.0;
    int high = 255;
    for (int v = 0; v < 256; ++v) {
        below += histogram[v];
        if (below >= 0.995 * total) {
            high = v;
            break;
        }
    }
    if (high < 8)
        return {};
    cv::Mat lit = light > 0.25 * high;
    // The dark squares are closed on a smaller copy: a kernel a board square and a half wide is
    // slow at full size, and a sixteenth of a square of detail is plenty for a margin of most of
    // one.
    const int scale = std::max(1, static_cast<int>(pitch / 16.0f));
    cv::Mat small;
    cv::resize(lit, small, cv::Size((lit.cols + scale - 1) / scale, (lit.rows + scale - 1) / scale), 0, 0,
               cv::INTER_AREA);
    small = small > 127;
    const int k = static_cast<int>(std::ceil(1.5f * pitch / static_cast<float>(scale))) | 1;
    cv::morphologyEx(small, small, cv::MORPH_CLOSE, cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(k, k)));
    cv::Mat closed;
    cv::resize(small, closed, lit.size(), 0, 0, cv::INTER_NEAREST);
    lit |= closed;
    cv::Mat distance;
    cv::distanceTransform(lit, distance, cv::DIST_L2, cv::DIST_MASK_PRECISE);
    return distance;
}

namespace {

QString token(int set)
{
    return QStringLiteral("%1 ").arg(set);
}

class Job
{
public:
    Job(GrayCodeSets& images, std::vector<CornerSet>& corners, const CornerJobOptions& options,
        const vantiro::AbortCheck& abort, LogSink& log)
        : m_images(images), m_corners(corners), m_options(options), m_abort(abort), m_log(log)
    {
    }

    CornerJobStatus run()
    {
        const int count = m_images.setCount();
        if (count == 0) {
            m_log.append(QStringLiteral("Image list is empty, aborting.\n\n"), logcolor::Red);
            return CornerJobStatus::NoSets;
        }
        if (static_cast<int>(m_corners.size()) != count)
            m_corners.assign(static_cast<size_t>(count), CornerSet());
        const cv::Size projector = m_images.projectorSize();
        m_log.append(QStringLiteral("Target settings:\n"), QString(), true);
        m_log.append(targetSettingsSummary(m_options.target) + QStringLiteral("\n"));
        m_log.append(QStringLiteral("Projector resolution: "), QString(), true);
        m_log.append(QStringLiteral("%1x%2 px\n\n").arg(projector.width).arg(projector.height));

        for (auto phase : {&Job::detect, &Job::decode, &Job::extract}) {
            const CornerJobStatus status = (this->*phase)();
            if (status != CornerJobStatus::Finished)
                return status;
        }
        for (CornerSet& set : m_corners) {
            if (!set.usable())
                set.checked = false;
            else if (!set.checked)
                set.grey = true;
        }
        return CornerJobStatus::Finished;
    }

private:
    // Sets done in this phase (0 detection, 1 decoding, 2 projector corners).
    void progress(int phase, int done)
    {
        if (m_options.progress)
            m_options.progress(phase * m_images.setCount() + done, 3 * m_images.setCount());
    }

    bool aborted()
    {
        if (!m_abort || !m_abort())
            return false;
        m_log.append(QStringLiteral("Calibration aborted \n\n"), logcolor::Red);
        return true;
    }

    // The white frames are read and searched on all cores; what is logged and kept happens here,
    // in set order, as in a loop over the sets.
    CornerJobStatus detect()
    {
        m_log.append(QStringLiteral("Detecting targets: "), QString(), true);
        enum class Plan : unsigned char
        {
            Unchecked,
            Reused,
            Detect,
        };
        const int count = m_images.setCount();
        std::vector<Plan> plans(static_cast<size_t>(count));
        cv::Size first;
        bool mismatch = false;
        vantiro::OrderedJobs<vantiro::ImageDetection> jobs;
        jobs.prepare = [&](int s) -> vantiro::Work<vantiro::ImageDetection> {
            const CornerSet& set = m_corners[static_cast<size_t>(s)];
            Plan& plan = plans[static_cast<size_t>(s)];
            plan = !set.checked ? Plan::Unchecked : set.detected() ? Plan::Reused : Plan::Detect;
            if (plan != Plan::Detect)
                return {};
            return [white = m_images.sets()[static_cast<size_t>(s)].value(0),
                    target = m_options.target](const vantiro::StopToken& stop) {
                return vantiro::loadAndDetect(white, target, stop);
            };
        };
        jobs.deliver = [&](int s, vantiro::ImageDetection* found) {
            CornerSet& set = m_corners[static_cast<size_t>(s)];
            switch (plans[static_cast<size_t>(s)]) {
            case Plan::Unchecked:
                m_log.append(token(s), logcolor::Grey);
                set.grey = true;
                return;
            case Plan::Reused:
                m_log.append(token(s), logcolor::Green);
                return;
            case Plan::Detect:
                break;
            }
            if (!found->readable) {
                m_log.append(token(s), logcolor::Grey);
                set.checked = false;
                return;
            }
            if (first.empty()) {
                first = found->size;
            } else if (found->size != first) {
                m_log.append(QStringLiteral("Error: Image %1 has different size %2x%3 as the previous ones %4x%5, "
                                            "aborting.\n\n")
                                 .arg(s)
                                 .arg(found->size.width)
                                 .arg(found->size.height)
                                 .arg(first.width)
                                 .arg(first.height),
                             logcolor::Red);
                mismatch = true;
                return;
            }
            // A chessboard with markers seen without its origin marker comes back empty.
            if (!found->found) {
                set.checked = false;
                m_log.append(token(s), logcolor::Red);
                set.grey = true;
                return;
            }
            for (const TargetCorner& corner : found->corners) {
                set.cameraCorners.push_back(corner.imagePoint);
                set.targetPoints.push_back(corner.objectPoint);
            }
            m_log.append(token(s), logcolor::Green);
        };
        // A size mismatch ends the run like an abort, without the abort line.
        jobs.abort = [&] { return mismatch || (m_abort && m_abort()); };
        jobs.aborted = [&] {
            if (!mismatch)
                m_log.append(QStringLiteral("Calibration aborted \n\n"), logcolor::Red);
        };
        jobs.progress = [&](int done, int) { progress(0, done); };
        const vantiro::PoolStatus status = vantiro::runInListOrder(count, jobs);
        if (mismatch)
            return CornerJobStatus::SizeMismatch;
        if (status == vantiro::PoolStatus::Aborted)
            return CornerJobStatus::Aborted;
        m_log.append(QStringLiteral("\n\n"));
        return CornerJobStatus::Finished;
    }

    CornerJobStatus decode()
    {
        m_log.append(QStringLiteral("Decoding image sets: "), QString(), true);
        std::vector<cv::Mat>& decoded = m_images.decodedPatterns();
        decoded.resize(static_cast<size_t>(m_images.setCount()));
        cv::Size first;
        for (int s = 0; s < m_images.setCount(); ++s) {
            progress(1, s);
            if (aborted())
                return CornerJobStatus::Aborted;
            CornerSet& set = m_corners[static_cast<size_t>(s)];
            if (!set.checked) {
                m_log.append(token(s), logcolor::Grey);
                set.grey = true;
                continue;
            }
            if (!decoded[static_cast<size_t>(s)].empty()) {
                m_log.append(token(s), logcolor::Green);
                continue;
            }
            cv::Mat pattern;
            if (!m_images.decodeSet(s, pattern) || pattern.empty()) {
                m_log.append(token(s), logcolor::Red);
                set.checked = false;
                continue;
            }
            if (first.empty()) {
                first = pattern.size();
            } else if (pattern.size() != first) {
                m_log.append(QStringLiteral("Error: Image %1 has different size as the previous ones, aborting.\n\n")
                                 .arg(s),
                             logcolor::Red);
                return CornerJobStatus::SizeMismatch;
            }
            decoded[static_cast<size_t>(s)] = pattern;
            m_log.append(token(s), logcolor::Green);
        }
        m_log.append(QStringLiteral("\n\n"));
        return CornerJobStatus::Finished;
    }

    CornerJobStatus extract()
    {
        m_log.append(QStringLiteral("Extracting projector corners: "), QString(), true);
        const std::vector<cv::Mat>& decoded = m_images.decodedPatterns();
        for (int s = 0; s < m_images.setCount(); ++s) {
            progress(2, s);
            if (aborted())
                return CornerJobStatus::Aborted;
            CornerSet& set = m_corners[static_cast<size_t>(s)];
            if (!set.checked) {
                m_log.append(token(s), logcolor::Grey);
                continue;
            }
            const cv::Mat white = m_images.loadSetImage(s, 0, false);
            const cv::Mat black = m_images.loadSetImage(s, 1, false);
            const cv::Mat mask = m_images.projectionMask(white, black);
            const cv::Mat& pattern = decoded[static_cast<size_t>(s)];
            const float pitch = cornerPitch(set.cameraCorners);
            const cv::Mat edge = m_options.beamEdgeMargin > 0.0 ? beamEdgeDistance(white, black, pitch) : cv::Mat();
            const double margin = m_options.beamEdgeMargin * pitch;
            set.projectorCorners.clear();
            std::vector<size_t> rejected;
            const size_t n = std::min(set.cameraCorners.size(), set.targetPoints.size());
            for (size_t i = 0; i < n; ++i) {
                const cv::Point2f& c = set.cameraCorners[i];
                const bool nearEdge = !edge.empty() && c.x >= 0.0f && c.y >= 0.0f && c.x < static_cast<float>(edge.cols) &&
                                      c.y < static_cast<float>(edge.rows) &&
                                      edge.at<float>(static_cast<int>(c.y), static_cast<int>(c.x)) < margin;
                cv::Point2f projected;
                if (!nearEdge && projectCorner(pattern, mask, c, m_options.homographyRadius, m_images.projectorSize(),
                                               projected, m_log) == CornerVerdict::Accepted)
                    set.projectorCorners.push_back(projected);
                else
                    rejected.push_back(i);
            }
            // From the back, so that the indices still to come stay valid.
            for (auto it = rejected.rbegin(); it != rejected.rend(); ++it) {
                set.targetPoints.erase(set.targetPoints.begin() + static_cast<std::ptrdiff_t>(*it));
                set.cameraCorners.erase(set.cameraCorners.begin() + static_cast<std::ptrdiff_t>(*it));
            }
            m_log.append(token(s), logcolor::Green);
        }
        m_log.append(QStringLiteral("\n\n"));
        return CornerJobStatus::Finished;
    }

    GrayCodeSets& m_images;
    std::vector<CornerSet>& m_corners;
    const CornerJobOptions& m_options;
    const vantiro::AbortCheck& m_abort;
    LogSink& m_log;
};

} // namespace

CornerJobStatus estimateProjectorCorners(GrayCodeSets& images, std::vector<CornerSet>& corners,
                                         const CornerJobOptions& options, const vantiro::AbortCheck& abort,
                                         LogSink& log)
{
    try {
        return Job(images, corners, options, abort, log).run();
    } catch (const cv::Exception& e) {
        log.append(QStringLiteral("OpenCV exception caught: %1\n").arg(QString::fromStdString(e.what())), logcolor::Red);
    } catch (const std::exception& e) {
        log.append(QStringLiteral("Exception caught: %1\n").arg(QString::fromLocal8Bit(e.what())), logcolor::Red);
    }
    log.append(QStringLiteral("Aborting.\n\n"), logcolor::Red);
    return CornerJobStatus::LibraryError;
}

} // namespace camproj
