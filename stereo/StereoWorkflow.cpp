#include "stereo/StereoWorkflow.h"

#include <QDateTime>
#include <QFile>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cmath>
#include <iostream>
#include <optional>

#include "app/FileSet.h"
#include "app/ImageFile.h"
#include "app/ProjectFile.h"
#include "intrinsic/ErrorAnalysis.h"
#include "intrinsic/IntrinsicCalibration.h"
#include "intrinsic/IntrinsicFiles.h"
#include "intrinsic/InputChecks.h"
#include "sensors/Pose.h"
#include "stereo/stereo_calib.h"
#include "targets/DetectionPool.h"

namespace vantiro::stereo {

int SensorOptions::flags() const
{
    int f = 0;
    if (useIntrinsicGuess)
        f |= cv::CALIB_USE_INTRINSIC_GUESS;
    if (fixFocalLength)
        f |= cv::CALIB_FIX_FOCAL_LENGTH;
    if (fixPrincipalPoint)
        f |= cv::CALIB_FIX_PRINCIPAL_POINT;
    if (fixAspectRatio)
        f |= cv::CALIB_FIX_ASPECT_RATIO;
    if (!useRadialDistortion) {
        f |= cv::CALIB_FIX_K1 | cv::CALIB_FIX_K2 | cv::CALIB_FIX_K3 | cv::CALIB_ZERO_TANGENT_DIST;
    } else {
        const int low[3] = {cv::CALIB_FIX_K1, cv::CALIB_FIX_K2, cv::CALIB_FIX_K3};
        for (int k = 0; k < 3; ++k)
            if (fixK[size_t(k)])
                f |= low[k];
        if (useRationalModel) {
            f |= cv::CALIB_RATIONAL_MODEL;
            const int high[3] = {cv::CALIB_FIX_K4, cv::CALIB_FIX_K5, cv::CALIB_FIX_K6};
            for (int k = 0; k < 3; ++k)
                if (fixK[size_t(k + 3)])
                    f |= high[k];
        }
    }
    if (!useTangentialDistortion)
        f |= cv::CALIB_ZERO_TANGENT_DIST;
    return f;
}

int SensorOptions::coefficientCount() const
{
    return useRadialDistortion && useRationalModel ? 8 : 5;
}

namespace {
int sharedFlags(const StereoOptions& o)
{
    int f = 0;
    if (o.sameFocalLength)
        f |= cv::CALIB_SAME_FOCAL_LENGTH;
    if (o.useExtrinsicGuess)
        f |= cv::CALIB_USE_EXTRINSIC_GUESS;
    return f;
}
} // namespace

int StereoOptions::primaryFlags() const
{
    return primary.flags() | sharedFlags(*this);
}

int StereoOptions::secondaryFlags() const
{
    return secondary.flags() | sharedFlags(*this);
}

cv::TermCriteria StereoOptions::criteria() const
{
    return cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, maxIterations, epsilon);
}

void StereoPair::clearCorners()
{
    objectPoints.clear();
    primaryPoints.clear();
    secondaryPoints.clear();
}

void StereoPair::clearResults()
{
    primaryRvec.release();
    primaryTvec.release();
    secondaryRvec.release();
    secondaryTvec.release();
    meanError = primaryError = secondaryError = -1.0;
    epipolarRms = -1.0;
    primaryMin = secondaryMin = epipolarMin = DBL_MAX;
    primaryMax = secondaryMax = epipolarMax = 0.0;
    primaryProjected.clear();
    secondaryProjected.clear();
    primaryColors.clear();
    secondaryColors.clear();
}

namespace {

std::vector<StereoImage> imageList(const QStringList& paths)
{
    std::vector<StereoImage> list;
    for (const QString& p : paths)
        list.push_back({p, true});
    return list;
}

void resetPairs(StereoState& state)
{
    state.pairs.assign(std::max(state.primary.size(), state.secondary.size()), StereoPair());
}

} // namespace

void StereoState::loadPrimary(const QStringList& paths)
{
    primary = imageList(paths);
    resetPairs(*this);
}

void StereoState::loadSecondary(const QStringList& paths)
{
    secondary = imageList(paths);
    resetPairs(*this);
}

int pairCornersById(const TargetCornerList& primary, const TargetCornerList& secondary,
                    std::vector<cv::Point3f>& objectPoints, std::vector<cv::Point2f>& primaryPoints,
                    std::vector<cv::Point2f>& secondaryPoints)
{
    objectPoints.clear();
    primaryPoints.clear();
    secondaryPoints.clear();
    for (const TargetCorner& p : primary)
        for (const TargetCorner& s : secondary)
            if (s.id == p.id) {
                primaryPoints.push_back(p.imagePoint);
                secondaryPoints.push_back(s.imagePoint);
                objectPoints.push_back(p.objectPoint);
            }
    return int(objectPoints.size());
}

int pairCornersByPosition(const std::vector<cv::Point3f>& fileObject, const std::vector<cv::Point2f>& fileImage,
                          const TargetCornerList& detected, bool fileIsPrimary, std::vector<cv::Point3f>& objectPoints,
                          std::vector<cv::Point2f>& primaryPoints, std::vector<cv::Point2f>& secondaryPoints)
{
    objectPoints.clear();
    primaryPoints.clear();
    secondaryPoints.clear();
    // Target positions come from the same settings on both sides; allow for float rounding in files.
    constexpr float kTolerance = 1e-3f;
    const size_t n = std::min(fileObject.size(), fileImage.size());
    for (size_t i = 0; i < n; ++i) {
        for (const TargetCorner& d : detected) {
            const cv::Point3f delta = d.objectPoint - fileObject[i];
            if (std::abs(delta.x) > kTolerance || std::abs(delta.y) > kTolerance || std::abs(delta.z) > kTolerance)
                continue;
            primaryPoints.push_back(fileIsPrimary ? fileImage[i] : d.imagePoint);
            secondaryPoints.push_back(fileIsPrimary ? d.imagePoint : fileImage[i]);
            objectPoints.push_back(fileObject[i]);
            break;
        }
    }
    return int(objectPoints.size());
}

namespace {

// A pair is used with at least this many common corners.
constexpr size_t kMinPairCorners = 6;

// The corners of one side of a pair.
struct Side
{
    bool found = false;
    bool unreadable = false;
    QString unreadableReason;
    bool fromFile = false;
    cv::Mat grey;
    cv::Size size;
    std::vector<cv::Point3f> fileObject; // the corner file's rows, when it has enough of them
    std::vector<cv::Point2f> fileImage;
    TargetCornerList detected;
};

// Reads the image and its corner file. A file with every corner of the target stands in for
// detection on its own.
Side readSide(const QString& path, int cornerCount)
{
    Side side;
    side.grey = readImageChecked(path, cv::IMREAD_GRAYSCALE, &side.unreadableReason);
    if (side.grey.empty()) {
        side.unreadable = true;
        return side;
    }
    side.size = side.grey.size();
    const intrinsic::CornerFile file = intrinsic::readCornerFile(intrinsic::cornerFilePath(path));
    const size_t n = file.imagePoints.size();
    const bool complete = int(n) == cornerCount;
    if (file.status == intrinsic::CornerFileStatus::Loaded && n == file.objectPoints.size() &&
        (complete || (n >= kMinPairCorners && int(n) < cornerCount))) {
        side.fileObject = file.objectPoints;
        side.fileImage = file.imagePoints;
        side.found = side.fromFile = complete;
    }
    return side;
}

// The camera-projector module writes both views of a set with the corners it could map into the
// projector, the same rows on both sides; such files are taken together even when corners are
// missing, rather than detecting the target again in a projector view.
bool filesOfOneSet(const Side& a, const Side& b)
{
    if (a.fileObject.empty() || a.fileObject.size() != b.fileObject.size())
        return false;
    constexpr float kTolerance = 1e-3f;
    for (size_t i = 0; i < a.fileObject.size(); ++i) {
        const cv::Point3f d = a.fileObject[i] - b.fileObject[i];
        if (std::abs(d.x) > kTolerance || std::abs(d.y) > kTolerance || std::abs(d.z) > kTolerance)
            return false;
    }
    return true;
}

void detect(Side& side, const MainWindowSettings& target)
{
    if (side.unreadable || side.fromFile)
        return;
    // An empty list counts as not found (a marker board without its origin marker).
    side.found = detectTarget(side.grey, target, side.detected) && !side.detected.empty();
}

QString fixed4(double v)
{
    return QString::number(v, 'f', 4);
}

bool validExtrinsicGuess(const cv::Mat& R, const cv::Mat& T)
{
    if (R.rows != 3 || R.cols != 3 || R.channels() != 1 || T.total() != 3 || T.channels() != 1)
        return false;
    cv::Mat r, t;
    R.convertTo(r, CV_64F);
    T.convertTo(t, CV_64F);
    return isRotation(cv::Matx33d(r), 1e-6) && cv::checkRange(t);
}

void disablePair(StereoState& state, size_t i)
{
    if (i < state.primary.size())
        state.primary[i].checked = false;
    if (i < state.secondary.size())
        state.secondary[i].checked = false;
    state.pairs[i].clearCorners();
}

cv::Mat trimmed(const cv::Mat& distortion, int count)
{
    cv::Mat row = distortion.reshape(1, 1);
    return row.colRange(0, std::min(count, row.cols)).clone();
}

// RMS over all corners of one sensor from the per-view RMS values.
double sensorRms(const cv::Mat& perView, int column, const std::vector<size_t>& counts)
{
    double sum = 0.0;
    size_t n = 0;
    for (int v = 0; v < perView.rows && size_t(v) < counts.size(); ++v) {
        const double e = perView.at<double>(v, column);
        sum += e * e * double(counts[size_t(v)]);
        n += counts[size_t(v)];
    }
    return n ? std::sqrt(sum / double(n)) : -1.0;
}

void run(StereoState& state, const StereoRequest& request, const StereoHooks& hooks, LogSink& log, StereoResult& result)
{
    const StereoOptions& opt = request.options;
    const MainWindowSettings& target = request.target;
    auto aborted = [&]() {
        if (hooks.abort && hooks.abort()) {
            log.append(QStringLiteral("Calibration aborted \n\n"), logcolor::Red);
            result.status = StereoStatus::Aborted;
            return true;
        }
        return false;
    };

    if (request.primary.id >= 0 && request.primary.id == request.secondary.id) {
        log.append(QStringLiteral("Same sensor is selected twice in 'Select Sensors', aborting.\n\n"), logcolor::Red);
        result.status = StereoStatus::SameSensor;
        return;
    }
    if (state.primary.size() != state.secondary.size()) {
        log.append(QStringLiteral("Image list size mismatch. aborting.\n\n"), logcolor::Red);
        result.status = StereoStatus::ListSizeMismatch;
        return;
    }
    if (state.pairs.size() != state.primary.size())
        state.pairs.resize(state.primary.size());
    for (StereoPair& pair : state.pairs)
        pair.clearResults();

    const StereoSensor* sensors[2] = {&request.primary, &request.secondary};
    const SensorOptions* sensorOptions[2] = {&opt.primary, &opt.secondary};
    cv::Mat startK[2], startDistortion[2];
    for (int k = 0; k < 2; ++k) {
        if (sensors[k]->id < 0) {
            log.append(QStringLiteral("No sensor present in the sensor list, aborting.\n\n"), logcolor::Red);
            result.status = StereoStatus::NoSensor;
            return;
        }
        if (!sensorOptions[k]->useIntrinsicGuess)
            continue;
        if (!intrinsic::hasFocalLengths(sensors[k]->K)) {
            log.append(QStringLiteral("Use intrinsic guess for %1 is set, but the %1 does not have any intrinsics, "
                                      "aborting.\n\n")
                           .arg(sensors[k]->name),
                       logcolor::Red);
            result.status = StereoStatus::MissingIntrinsics;
            return;
        }
        sensors[k]->K.convertTo(startK[k], CV_64F);
        startDistortion[k] = sensors[k]->distortion.empty() ? cv::Mat::zeros(1, 5, CV_64F)
                                                            : cv::Mat(sensors[k]->distortion.reshape(1, 1));
    }
    for (int k = 0; k < 2; ++k)
        if (!sensorOptions[k]->useRadialDistortion)
            startDistortion[k] = cv::Mat::zeros(1, 5, CV_64F);

    const int cornerCount = (target.numSquaresX - 1) * (target.numSquaresY - 1);
    const int flags[2] = {opt.primaryFlags(), opt.secondaryFlags()};

    // Cached corners belong to one target geometry: another square size would scale the baseline.
    if (state.previousTarget && !sameTargetGeometry(*state.previousTarget, target))
        for (StereoPair& pair : state.pairs)
            pair.clearCorners();
    state.previousTarget = target;

    log.append(QStringLiteral("Target settings:\n"), QString(), true);
    log.append(targetSettingsSummary(target) + QStringLiteral("\n"));
    log.append(QStringLiteral("Detecting targets: "), QString(), true);

    const int pairCount = int(state.pairs.size());
    std::vector<std::pair<QString, QString>> unreadable;
    // Both sides of a pair are one piece of work; both images are read, so that an unreadable
    // secondary is reported even when the primary shows no target.
    struct Sides
    {
        Side primary, secondary;
    };
    enum class Plan : unsigned char
    {
        Reused,
        Unchecked,
        Detect,
    };
    std::vector<Plan> plans(static_cast<size_t>(pairCount));
    OrderedJobs<Sides> jobs;
    jobs.prepare = [&](int i) -> Work<Sides> {
        if (state.pairs[size_t(i)].hasCorners()) {
            plans[size_t(i)] = Plan::Reused;
            return {};
        }
        if (!state.primary[size_t(i)].checked || !state.secondary[size_t(i)].checked) {
            plans[size_t(i)] = Plan::Unchecked;
            return {};
        }
        plans[size_t(i)] = Plan::Detect;
        return [primary = state.primary[size_t(i)].path, secondary = state.secondary[size_t(i)].path, target,
                cornerCount](const StopToken& stop) {
            Sides sides;
            sides.primary = readSide(primary, cornerCount);
            sides.secondary = readSide(secondary, cornerCount);
            if (filesOfOneSet(sides.primary, sides.secondary)) {
                sides.primary.found = sides.primary.fromFile = true;
                sides.secondary.found = sides.secondary.fromFile = true;
            } else {
                detect(sides.primary, target);
                if (!stop.stopRequested())
                    detect(sides.secondary, target);
            }
            sides.primary.grey.release();
            sides.secondary.grey.release();
            return sides;
        };
    };
    jobs.deliver = [&](int i, Sides* sides) {
        StereoPair& pair = state.pairs[size_t(i)];
        const QString index = QStringLiteral("%1 ").arg(i);
        if (plans[size_t(i)] == Plan::Reused) {
            log.append(index, logcolor::Reused);
            return;
        }
        if (plans[size_t(i)] == Plan::Unchecked) {
            log.append(index, logcolor::Secondary);
            return;
        }
        const Side& primary = sides->primary;
        const Side& secondary = sides->secondary;
        for (const auto& [side, path] :
             {std::pair{&primary, state.primary[size_t(i)].path}, std::pair{&secondary, state.secondary[size_t(i)].path}})
            if (side->unreadable)
                unreadable.push_back({path, side->unreadableReason});
        if (!primary.found || !secondary.found) {
            log.append(index, logcolor::Red);
            disablePair(state, size_t(i));
            return;
        }
        log.append(index, logcolor::Green);
        pair.primarySize = primary.size;
        pair.secondarySize = secondary.size;
        if (primary.fromFile && secondary.fromFile) {
            // Files of one set hold the same target points in the same order.
            pair.objectPoints = primary.fileObject;
            pair.primaryPoints = primary.fileImage;
            pair.secondaryPoints = secondary.fileImage;
        } else if (primary.fromFile || secondary.fromFile) {
            const Side& file = primary.fromFile ? primary : secondary;
            const Side& detected = primary.fromFile ? secondary : primary;
            pairCornersByPosition(file.fileObject, file.fileImage, detected.detected, primary.fromFile,
                                  pair.objectPoints, pair.primaryPoints, pair.secondaryPoints);
        } else {
            pairCornersById(primary.detected, secondary.detected, pair.objectPoints, pair.primaryPoints,
                            pair.secondaryPoints);
        }
    };
    jobs.abort = hooks.abort;
    jobs.progress = hooks.progress;
    // At once, while the images in flight are still being finished.
    jobs.aborted = [&log] { log.append(QStringLiteral("Calibration aborted \n\n"), logcolor::Red); };
    if (runInListOrder(pairCount, jobs) == PoolStatus::Aborted) {
        result.status = StereoStatus::Aborted;
        return;
    }

    log.append(QStringLiteral("\n\n"));
    for (const auto& [path, why] : unreadable)
        log.append(QStringLiteral("Warning: Image could not be read: %1 (%2)\n").arg(path, why), logcolor::Orange);

    // Usable pairs; all views of one sensor must share one image size.
    std::vector<int> used;
    bool warned = !unreadable.empty();
    for (int i = 0; i < pairCount; ++i) {
        StereoPair& pair = state.pairs[size_t(i)];
        const bool usable = pair.objectPoints.size() >= kMinPairCorners && pair.primaryPoints.size() >= kMinPairCorners &&
                            pair.secondaryPoints.size() >= kMinPairCorners && state.primary[size_t(i)].checked &&
                            state.secondary[size_t(i)].checked;
        if (!usable) {
            disablePair(state, size_t(i));
            continue;
        }
        // Corners out of bounds or on one line would end the whole run.
        QString problem = intrinsic::cornerListProblem(pair.primaryPoints, pair.objectPoints);
        if (problem.isEmpty())
            problem = intrinsic::cornerListProblem(pair.secondaryPoints, pair.objectPoints);
        if (!problem.isEmpty()) {
            log.append(QStringLiteral("Warning: Pair %1 is left out: %2.\n").arg(i).arg(problem), logcolor::Orange);
            warned = true;
            disablePair(state, size_t(i));
            continue;
        }
        for (auto [size, path] : {std::pair{&pair.primarySize, state.primary[size_t(i)].path},
                                  std::pair{&pair.secondarySize, state.secondary[size_t(i)].path}})
            if (size->empty())
                *size = readImageChecked(path, cv::IMREAD_COLOR).size();
        if (!used.empty()) {
            const StereoPair& first = state.pairs[size_t(used.front())];
            if (pair.primarySize != first.primarySize || pair.secondarySize != first.secondarySize) {
                log.append(QStringLiteral("Warning: The images of pair %1 differ in size from those of pair %2; pair %1 "
                                          "is left out.\n")
                               .arg(i)
                               .arg(used.front()),
                           logcolor::Orange);
                warned = true;
                disablePair(state, size_t(i));
                continue;
            }
        }
        used.push_back(i);
    }
    if (warned)
        log.append(QStringLiteral("\n"));
    if (used.empty()) {
        log.append(QStringLiteral("Target detection failed on all images or none were selected!\n\n"), logcolor::Red);
        result.status = StereoStatus::NoPairs;
        return;
    }

    log.append(QStringLiteral("Extrinsic calibration "), QString(), true);
    log.append(QStringLiteral("with %1/%2 image sets...\n\n").arg(used.size()).arg(pairCount));
    if (aborted())
        return;

    // The sizes of the images themselves: those handed back with the intrinsics must be the ones
    // the intrinsics belong to.
    const StereoPair& first = state.pairs[size_t(used.front())];
    const cv::Size imageSize[2] = {first.primarySize, first.secondarySize};
    for (int k = 0; k < 2; ++k) {
        const cv::Size stored = sensors[k]->imageSize;
        if (sensorOptions[k]->useIntrinsicGuess && !stored.empty() && stored != imageSize[k])
            log.append(QStringLiteral("Warning: The intrinsics of %1 belong to images of %2x%3 px, its images are "
                                      "%4x%5 px.\n\n")
                           .arg(sensors[k]->name)
                           .arg(stored.width)
                           .arg(stored.height)
                           .arg(imageSize[k].width)
                           .arg(imageSize[k].height),
                       logcolor::Orange);
    }

    std::vector<std::vector<cv::Point3f>> objectPoints;
    std::vector<std::vector<cv::Point2f>> points[2];
    std::vector<size_t> counts;
    for (int i : used) {
        const StereoPair& pair = state.pairs[size_t(i)];
        objectPoints.push_back(pair.objectPoints);
        points[0].push_back(pair.primaryPoints);
        points[1].push_back(pair.secondaryPoints);
        counts.push_back(pair.objectPoints.size());
    }

    StereoCalibrate calib;
    try {
        for (int k = 0; k < 2; ++k) {
            if (!startK[k].empty())
                calib.SetCameraMatrixGuess(startK[k], k == 0);
            if (!startDistortion[k].empty())
                calib.SetDistortionGuess(startDistortion[k], k == 0);
        }
        if (!state.R.empty() && !state.T.empty()) {
            if (validExtrinsicGuess(state.R, state.T)) {
                calib.SetRotationGuess(state.R);
                calib.SetTranslationGuess(state.T);
            } else {
                log.append(QStringLiteral("Warning: The extrinsic guess is not a rotation and a finite translation; "
                                          "it is not used.\n\n"),
                           logcolor::Orange);
            }
        }
        calib.Execute(objectPoints, points[0], points[1], imageSize[0], imageSize[1], flags[0], flags[1],
                      opt.criteria());
    } catch (const cv::Exception& e) {
        const QString message = QString::fromStdString(e.what());
        log.append(QStringLiteral("OpenCV exception caught:\n") + message, logcolor::Red);
        log.append(QStringLiteral("Aborting.\n\n"), logcolor::Red);
        if (hooks.libraryError)
            hooks.libraryError(message);
        else
            std::cout << e.what() << std::endl;
        result.status = StereoStatus::LibraryError;
        return;
    }

    // Non-finite or absurd values never reach the objects, the files or the next run's guess.
    cv::Mat rotation;
    calib.GetRotationMatrix(rotation);
    const QString unusable = stereoResultProblem({calib.m_cameraMatrix[0], calib.m_cameraMatrix[1]},
                                                 {calib.m_distCoeffs[0], calib.m_distCoeffs[1]}, calib.m_rms,
                                                 {imageSize[0], imageSize[1]}, rotation, calib.m_T,
                                                 calib.m_perViewErrors, calib.m_E, calib.m_F);
    if (!unusable.isEmpty()) {
        intrinsic::logUnusableResult(log, unusable);
        result.status = StereoStatus::InvalidResult;
        return;
    }

    for (int k = 0; k < 2; ++k) {
        result.K[k] = calib.m_cameraMatrix[k].clone();
        result.distortion[k] = trimmed(calib.m_distCoeffs[k], sensorOptions[k]->coefficientCount());
        result.imageSize[k] = imageSize[k];
    }
    calib.GetRotationMatrix(result.R);
    result.T = calib.m_T.clone();
    result.E = calib.m_E.clone();
    result.F = calib.m_F.clone();
    result.perViewErrors = calib.m_perViewErrors.clone();
    result.rms = calib.m_rms;
    result.sensorRms[0] = sensorRms(result.perViewErrors, 0, counts);
    result.sensorRms[1] = sensorRms(result.perViewErrors, 1, counts);
    result.usedPairs = used;
    state.R = result.R.clone();
    state.T = result.T.clone();

    for (size_t v = 0; v < used.size(); ++v) {
        StereoPair& pair = state.pairs[size_t(used[v])];
        pair.primaryRvec = calib.m_rvecs[v].clone();
        pair.primaryTvec = calib.m_tvecs[v].clone();
        cv::composeRT(pair.primaryRvec, pair.primaryTvec, calib.m_om, calib.m_T, pair.secondaryRvec,
                      pair.secondaryTvec);
    }

    // The secondary in the primary's frame: the inverse of camera 1 -> camera 2.
    const cv::Matx33d R(result.R);
    const cv::Matx31d T(result.T.reshape(1, 3));
    result.secondaryR = R.t();
    result.secondaryT = -(R.t() * T);

    log.append(QStringLiteral("Estimated extrinsics "), QString(), true);
    log.append(QStringLiteral("(%1 w.r.t %2 coordinate system):\n\n").arg(request.secondary.name, request.primary.name));
    log.append(QStringLiteral("Translation vector:\n"), QString(), true);
    log.append(QStringLiteral("x: %1\ny: %2\nz: %3\n\n")
                   .arg(fixed4(result.secondaryT(0)), fixed4(result.secondaryT(1)), fixed4(result.secondaryT(2))));
    log.append(QStringLiteral("Rotation matrix:\n"), QString(), true);
    QString rows;
    for (int r = 0; r < 3; ++r)
        rows += QStringLiteral("%1  %2  %3\n")
                    .arg(fixed4(result.secondaryR(r, 0)), fixed4(result.secondaryR(r, 1)), fixed4(result.secondaryR(r, 2)));
    log.append(rows);

    if (hooks.storePrimaryIntrinsics)
        hooks.storePrimaryIntrinsics(request.primary.id, result.K[0], result.distortion[0], imageSize[0]);
    if (hooks.storeSecondaryIntrinsics)
        hooks.storeSecondaryIntrinsics(request.secondary.id, result.K[1], result.distortion[1], imageSize[1]);
    if (hooks.storeSecondaryExtrinsics)
        hooks.storeSecondaryExtrinsics(request.primary.id, request.secondary.id, result.secondaryR, result.secondaryT);

    for (size_t v = 0; v < used.size(); ++v) {
        StereoPair& pair = state.pairs[size_t(used[v])];
        pair.primaryError = result.perViewErrors.at<double>(int(v), 0);
        pair.secondaryError = result.perViewErrors.at<double>(int(v), 1);
        pair.meanError = 0.5 * (pair.primaryError + pair.secondaryError);
    }

    log.append(QStringLiteral("\nCalibration completed with rms reprojection error: "), QString(), true);
    log.append(QStringLiteral("%1 px\n\n").arg(QString::number(result.rms, 'g', 6)),
               intrinsic::colorName(intrinsic::errorColor(result.rms, std::nullopt, std::nullopt, false)), true);

    if (opt.removeOutliers)
        log.append(QStringLiteral("Detected outliers [Idx:Num]: "));
    result.outliersFound = analyseStereoErrors(state, result, opt, opt.removeOutliers, log);
    if (opt.removeOutliers && result.outliersFound)
        log.append(QStringLiteral("\n\nCalibrate again to exclude the detected outliers!\n\n"), logcolor::Orange);
    result.status = StereoStatus::Calibrated;
}

// Per-corner distances between detected and projected points; minimum and maximum.
std::vector<double> reprojectionErrors(const StereoPair& pair, const std::vector<cv::Point2f>& detected,
                                       const cv::Mat& rvec, const cv::Mat& tvec, const cv::Mat& K,
                                       const cv::Mat& distortion, std::vector<cv::Point2f>& projected, double& minimum,
                                       double& maximum)
{
    cv::projectPoints(pair.objectPoints, rvec, tvec, K, distortion, projected);
    std::vector<double> errors(detected.size());
    minimum = 1e100;
    maximum = 0.0;
    for (size_t j = 0; j < detected.size(); ++j) {
        errors[j] = cv::norm(detected[j] - projected[j]);
        minimum = std::min(minimum, errors[j]);
        maximum = std::max(maximum, errors[j]);
    }
    return errors;
}

template<typename T>
void eraseIndices(std::vector<T>& list, const std::vector<size_t>& descending)
{
    for (size_t j : descending)
        if (j < list.size())
            list.erase(list.begin() + std::ptrdiff_t(j));
}

} // namespace

QString stereoResultProblem(const std::array<cv::Mat, 2>& K, const std::array<cv::Mat, 2>& distortion, double rms,
                            const std::array<cv::Size, 2>& imageSize, const cv::Mat& R, const cv::Mat& T,
                            const cv::Mat& perViewErrors, const cv::Mat& E, const cv::Mat& F)
{
    for (int k = 0; k < 2; ++k) {
        const QString problem = intrinsic::intrinsicResultProblem(K[size_t(k)], distortion[size_t(k)], rms, imageSize[size_t(k)]);
        if (!problem.isEmpty())
            return QStringLiteral("%1: %2").arg(k == 0 ? QStringLiteral("primary") : QStringLiteral("secondary"), problem);
    }
    if (!validExtrinsicGuess(R, T))
        return QStringLiteral("the relative pose is not a rotation and a finite translation");
    if (!cv::checkRange(perViewErrors) || !cv::checkRange(E) || !cv::checkRange(F))
        return QStringLiteral("an error or the epipolar geometry is not finite");
    return QString();
}

bool analyseStereoErrors(StereoState& state, const StereoResult& result, const StereoOptions& options, bool remove,
                         LogSink& log)
{
    bool any = false;
    for (size_t i = 0; i < state.pairs.size(); ++i) {
        StereoPair& pair = state.pairs[i];
        if (!pair.hasPoses() || pair.objectPoints.empty())
            continue;
        const std::vector<double> e1 =
            reprojectionErrors(pair, pair.primaryPoints, pair.primaryRvec, pair.primaryTvec, result.K[0],
                               result.distortion[0], pair.primaryProjected, pair.primaryMin, pair.primaryMax);
        const std::vector<double> e2 =
            reprojectionErrors(pair, pair.secondaryPoints, pair.secondaryRvec, pair.secondaryTvec, result.K[1],
                               result.distortion[1], pair.secondaryProjected, pair.secondaryMin, pair.secondaryMax);

        std::vector<cv::Point2f> u1, u2;
        cv::undistortPoints(pair.primaryPoints, u1, result.K[0], result.distortion[0], cv::noArray(), result.K[0]);
        cv::undistortPoints(pair.secondaryPoints, u2, result.K[1], result.distortion[1], cv::noArray(), result.K[1]);
        std::vector<cv::Vec3f> linesIn2, linesIn1;
        cv::computeCorrespondEpilines(u1, 1, result.F, linesIn2);
        cv::computeCorrespondEpilines(u2, 2, result.F, linesIn1);
        std::vector<float> epipolar(u1.size());
        double squares = 0.0;
        pair.epipolarMin = 1e100;
        pair.epipolarMax = 0.0;
        for (size_t j = 0; j < u1.size(); ++j) {
            const cv::Vec3f& l2 = linesIn2[j];
            const cv::Vec3f& l1 = linesIn1[j];
            epipolar[j] = std::abs(l2[0] * u2[j].x + l2[1] * u2[j].y + l2[2]) +
                          std::abs(l1[0] * u1[j].x + l1[1] * u1[j].y + l1[2]);
            squares += double(epipolar[j]) * double(epipolar[j]);
            pair.epipolarMin = std::min(pair.epipolarMin, double(epipolar[j]));
            pair.epipolarMax = std::max(pair.epipolarMax, double(epipolar[j]));
        }
        pair.epipolarRms = epipolar.empty() ? 0.0 : std::sqrt(squares / double(epipolar.size()));

        std::vector<size_t> outliers;
        pair.primaryColors.clear();
        pair.secondaryColors.clear();
        for (size_t j = 0; j < e1.size(); ++j) {
            if (remove && (e1[j] > options.maxErrorPrimary || e2[j] > options.maxErrorSecondary ||
                           epipolar[j] > options.maxErrorEpipolar)) {
                outliers.push_back(j);
                continue;
            }
            pair.primaryColors.push_back(
                intrinsic::toRgb8(intrinsic::errorColor(e1[j], pair.primaryMin, pair.primaryMax)));
            pair.secondaryColors.push_back(
                intrinsic::toRgb8(intrinsic::errorColor(e2[j], pair.secondaryMin, pair.secondaryMax)));
        }
        if (!outliers.empty()) {
            any = true;
            log.append(QStringLiteral("%1:%2 ").arg(i).arg(outliers.size()), logcolor::Orange);
            std::reverse(outliers.begin(), outliers.end());
            eraseIndices(pair.objectPoints, outliers);
            eraseIndices(pair.primaryPoints, outliers);
            eraseIndices(pair.secondaryPoints, outliers);
            eraseIndices(pair.primaryProjected, outliers);
            eraseIndices(pair.secondaryProjected, outliers);
        }
    }
    if (!any)
        log.append(QStringLiteral("none\n\n"), logcolor::Reused);
    return any;
}

StereoResult calibrateStereo(StereoState& state, const StereoRequest& request, const StereoHooks& hooks, LogSink& log)
{
    StereoResult result;
    try {
        run(state, request, hooks, log, result);
    } catch (const cv::Exception& e) {
        // Detection and the analysis can throw too (settings the library refuses).
        log.append(QStringLiteral("OpenCV exception caught:\n") + QString::fromStdString(e.what()), logcolor::Red);
        log.append(QStringLiteral("Aborting.\n\n"), logcolor::Red);
        result.status = StereoStatus::LibraryError;
    } catch (const std::exception& e) {
        log.append(QStringLiteral("Exception caught: %1\n").arg(QString::fromLocal8Bit(e.what())), logcolor::Red);
        log.append(QStringLiteral("Aborting.\n\n"), logcolor::Red);
        result.status = StereoStatus::LibraryError;
    }
    return result;
}

bool writeStereoResultFiles(StereoResult& result, const QString& workingDirectory, const QString& primaryName,
                            const QString& secondaryName, QString* error)
{
    auto fail = [error](const QString& why) {
        if (error)
            *error = why;
        return false;
    };
    if (result.status != StereoStatus::Calibrated || result.K[0].empty() || result.K[1].empty())
        return fail(QStringLiteral("there is no calibration result to write"));
    if (primaryName == secondaryName)
        return fail(QStringLiteral("both objects are named %1").arg(primaryName));

    const QString names[2] = {primaryName, secondaryName};
    std::vector<PendingFile> files;
    std::vector<ProjectObject> objects(2);
    for (int k = 0; k < 2; ++k) {
        objects[size_t(k)].name = names[k];
        objects[size_t(k)].K = result.K[k];
        objects[size_t(k)].kc = result.distortion[k];
        objects[size_t(k)].imgSize = result.imageSize[k];
    }
    objects[1].R = result.secondaryR;
    objects[1].t = result.secondaryT;
    const QString project = proposedProjectPath(workingDirectory, primaryName);
    try {
        for (int k = 0; k < 2; ++k)
            files.push_back({intrinsic::intrinsicsFilePath(workingDirectory, names[k]),
                             intrinsic::intrinsicsFileText(result.imageSize[k], result.K[k], result.distortion[k],
                                                           result.sensorRms[k])});
        const ProjectFileTexts texts =
            projectFileTexts(objects, 0, QDateTime::currentDateTime().toString(Qt::ISODate));
        files.push_back({project, texts.yaml});
        files.push_back({projectJsonTwin(project), texts.json});
    } catch (const cv::Exception& e) {
        return fail(QString::fromStdString(e.err));
    }
    // One set: a failure half-way leaves all four files as they were.
    QString why;
    if (!writeFileSet(files, &why))
        return fail(why);
    for (const PendingFile& f : files)
        result.filesWritten << f.path;
    return true;
}

} // namespace vantiro::stereo
