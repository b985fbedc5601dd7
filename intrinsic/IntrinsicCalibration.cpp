#include "intrinsic/IntrinsicCalibration.h"

#include <QFile>

#include <map>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>

#include "app/ImageFile.h"
#include "intrinsic/ErrorAnalysis.h"
#include "intrinsic/InputChecks.h"
#include "intrinsic/IntrinsicFiles.h"
#include "targets/DetectionPool.h"
#include "targets/TargetDetection.h"

namespace vantiro::intrinsic {

int CalibrationOptions::flags() const
{
    int f = 0;
    if (useIntrinsicGuess)
        f |= cv::CALIB_USE_INTRINSIC_GUESS;
    if (fixAspectRatio)
        f |= cv::CALIB_FIX_ASPECT_RATIO;
    if (fixPrincipalPoint)
        f |= cv::CALIB_FIX_PRINCIPAL_POINT;
    if (!useTangentialDistortion)
        f |= cv::CALIB_ZERO_TANGENT_DIST;
    if (fixFocalLength)
        f |= cv::CALIB_FIX_FOCAL_LENGTH;
    const int fixFlags[6] = {cv::CALIB_FIX_K1, cv::CALIB_FIX_K2, cv::CALIB_FIX_K3,
                             cv::CALIB_FIX_K4, cv::CALIB_FIX_K5, cv::CALIB_FIX_K6};
    for (int k = 0; k < 6; ++k)
        if (fixK[size_t(k)])
            f |= fixFlags[k];
    if (useRationalModel)
        f |= cv::CALIB_RATIONAL_MODEL;
    return f;
}

cv::TermCriteria CalibrationOptions::criteria() const
{
    return cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, maxIterations, epsilon);
}

void ImageState::clearCorners()
{
    imagePoints.clear();
    objectPoints.clear();
}

void ImageState::clearResults()
{
    rvec.release();
    tvec.release();
    rms = -1.0;
    minError = DBL_MAX;
    maxError = 0.0;
    reprojected.clear();
    cornerColors.clear();
}

void IntrinsicState::loadImages(const QStringList& paths)
{
    images.clear();
    images.reserve(size_t(paths.size()));
    for (const QString& p : paths) {
        ImageState image;
        image.path = p;
        images.push_back(std::move(image));
    }
}

namespace {

// The size of an image whose corners came from elsewhere; readable false when it cannot be read.
ImageDetection readImageSize(const QString& path)
{
    ImageDetection result;
    result.size = readImageChecked(path, cv::IMREAD_GRAYSCALE, &result.error).size();
    result.readable = !result.size.empty();
    return result;
}

QString fixed4(double v)
{
    return QString::number(v, 'f', 4);
}

void printResult(const cv::Mat& K, const cv::Mat& distortion, const cv::Mat& deviations, double rms, LogSink& log)
{
    auto dev = [&deviations](int i) { return i < int(deviations.total()) ? deviations.at<double>(i) : 0.0; };
    log.append(QStringLiteral("Estimated intrinsics:\n\n"), QString(), true);
    log.append(QStringLiteral("Camera intrinsic matrix parameters:\n"), QString(), true);
    const struct
    {
        const char* name;
        int row, col, dev;
    } kEntries[] = {{"fx", 0, 0, 0}, {"fy", 1, 1, 1}, {"cx", 0, 2, 2}, {"cy", 1, 2, 3}};
    for (const auto& e : kEntries)
        log.append(QStringLiteral("%1 %2 +/- %3\n")
                       .arg(QLatin1String(e.name), fixed4(K.at<double>(e.row, e.col)), fixed4(dev(e.dev))));

    if (!distortion.empty()) {
        log.append(QStringLiteral("Distortion coefficients:\n"), QString(), true);
        cv::Mat row;
        distortion.reshape(1, 1).convertTo(row, CV_64F);
        const struct
        {
            const char* name;
            int index, dev;
        } dEntries[] = {{"k1", 0, 4}, {"k2", 1, 5}, {"k3", 4, 8}, {"p1", 2, 6},
                        {"p2", 3, 7}, {"k4", 5, 9}, {"k5", 6, 10}, {"k6", 7, 11}};
        for (const auto& e : dEntries) {
            if (e.index >= row.cols)
                continue;
            const double v = row.at<double>(e.index);
            if (v == 0.0)
                continue;
            log.append(QStringLiteral("%1 %2 +/- %3\n").arg(QLatin1String(e.name), fixed4(v), fixed4(dev(e.dev))));
        }
    }
    log.append(QStringLiteral("\nCalibration completed with rms reprojection error: "), QString(), true);
    log.append(QStringLiteral("%1 px\n").arg(QString::number(rms, 'g', 6)), colorName(errorColor(rms, {}, {}, false)),
               true);
}

// Runs the steps; exceptions are left to the caller.
void run(IntrinsicState& state, const CalibrationRequest& request, const CalibrationHooks& hooks, LogSink& log,
         CalibrationResult& result)
{
    const CalibrationOptions& opt = request.options;

    // Start values come from the object only when asked for; the object filled state.K.
    if (opt.useIntrinsicGuess) {
        if (!hasFocalLengths(state.K)) {
            log.append(QStringLiteral("When using intrinsic guess, reasonable start parameters fx, fy, cx and cy should "
                                      "be used for the selected sensor (see main window). fx and fy must not be 0. "
                                      "Aborting.\n\n"),
                       logcolor::Red);
            result.status = CalibrationStatus::InvalidGuess;
            return;
        }
        state.K.convertTo(state.K, CV_64F);
        // A fresh object's matrix has a 0 where the 1 belongs.
        state.K.at<double>(2, 2) = 1.0;
        if (!state.distortion.empty())
            state.distortion.reshape(1, 1).convertTo(state.distortion, CV_64F);
    } else {
        state.K.release();
        state.distortion.release();
    }

    // Corners belong to one target geometry.
    if (state.previousTarget && !sameTargetGeometry(*state.previousTarget, request.target))
        for (ImageState& image : state.images)
            image.clearCorners();
    state.previousTarget = request.target;

    for (size_t i = 0; i < state.images.size(); ++i) {
        ImageState& image = state.images[i];
        const QString file = cornerFilePath(image.path);
        const CornerFile corners = readCornerFile(file);
        if (corners.status == CornerFileStatus::Loaded) {
            image.imagePoints = corners.imagePoints;
            image.objectPoints = corners.objectPoints;
        } else if (corners.status == CornerFileStatus::Invalid) {
            log.append(QStringLiteral("Warning: Corner file %1 ignored: %2.\n").arg(file, corners.error),
                       logcolor::Orange);
        }
    }

    const std::optional<SensorRef> sensor = hooks.sensor ? hooks.sensor() : std::nullopt;
    if (!sensor) {
        log.append(QStringLiteral("No sensor present in the sensor list, aborting.\n\n"), logcolor::Red);
        result.status = CalibrationStatus::NoSensor;
        return;
    }

    for (ImageState& image : state.images)
        image.clearResults();

    const int flags = opt.flags();
    const cv::TermCriteria criteria = opt.criteria();
    if (!opt.useRadialDistortion)
        state.distortion = cv::Mat::zeros(1, 5, CV_64F);
    if (opt.useRationalModel && state.distortion.empty())
        state.distortion = cv::Mat::zeros(1, 8, CV_64F);

    log.append(QStringLiteral("Target settings:\n"), QString(), true);
    log.append(targetSettingsSummary(request.target) + QStringLiteral("\n"));
    log.append(QStringLiteral("Detecting targets: "), QString(), true);

    // What happens to each image, decided in list order before its work is dispatched.
    enum class Plan : unsigned char
    {
        Unchecked,
        Reused,
        Detect,
    };
    std::vector<Plan> plans(state.images.size());
    std::vector<std::pair<int, QString>> unreadable;
    std::map<int, QString> sizeErrors; // corners reused, image unreadable
    OrderedJobs<ImageDetection> jobs;
    jobs.prepare = [&](int i) -> Work<ImageDetection> {
        const ImageState& image = state.images[size_t(i)];
        if (!image.checked) {
            plans[size_t(i)] = Plan::Unchecked;
            return {};
        }
        if (image.hasCorners()) {
            plans[size_t(i)] = Plan::Reused;
            if (!image.size.empty())
                return {};
            // Corners from a file: only the size is missing, read it off the calling thread.
            return [path = image.path](const StopToken&) { return readImageSize(path); };
        }
        plans[size_t(i)] = Plan::Detect;
        return [path = image.path, target = request.target](const StopToken& stop) {
            return loadAndDetect(path, target, stop);
        };
    };
    jobs.deliver = [&](int i, ImageDetection* outcome) {
        ImageState& image = state.images[size_t(i)];
        const QString index = QStringLiteral("%1 ").arg(i);
        switch (plans[size_t(i)]) {
        case Plan::Unchecked:
            log.append(index, logcolor::Grey);
            return;
        case Plan::Reused:
            if (outcome && outcome->readable)
                image.size = outcome->size;
            else if (outcome)
                sizeErrors[i] = outcome->error;
            log.append(index, logcolor::Reused);
            return;
        case Plan::Detect:
            break;
        }
        if (!outcome->readable)
            unreadable.push_back({i, outcome->error});
        else
            image.size = outcome->size;
        if (!outcome->found) {
            image.checked = false;
            log.append(index, logcolor::Red);
            return;
        }
        image.imagePoints.reserve(outcome->corners.size());
        image.objectPoints.reserve(outcome->corners.size());
        for (const TargetCorner& c : outcome->corners) {
            image.imagePoints.push_back(c.imagePoint);
            image.objectPoints.push_back(c.objectPoint);
        }
        log.append(index, logcolor::Green);
    };
    jobs.abort = hooks.abort;
    jobs.progress = hooks.progress;
    // At once, while the images in flight are still being finished.
    jobs.aborted = [&log] { log.append(QStringLiteral("Calibration aborted \n\n"), logcolor::Red); };
    if (runInListOrder(int(state.images.size()), jobs) == PoolStatus::Aborted) {
        result.status = CalibrationStatus::Aborted;
        return;
    }
    log.append(QStringLiteral("\n\n"));
    result.detectionFinished = true;

    bool warned = false;
    for (const auto& [i, why] : unreadable) {
        log.append(QStringLiteral("Warning: Image %1 could not be read: %2 (%3)\n").arg(i).arg(state.images[size_t(i)].path, why),
                   logcolor::Orange);
        warned = true;
    }

    // All views must share one image size: the first usable image sets it, others are left out.
    std::vector<int> collected;
    cv::Size imageSize;
    int reference = -1;
    for (size_t i = 0; i < state.images.size(); ++i) {
        ImageState& image = state.images[i];
        if (!image.checked)
            continue;
        if (image.size.empty()) {
            const QString why = sizeErrors[int(i)];
            log.append(QStringLiteral("Warning: Image %1 could not be read: %2 (%3)\n").arg(i).arg(image.path, why),
                       logcolor::Orange);
            image.checked = false;
            warned = true;
            continue;
        }
        // A view the calibration cannot use would end the whole run: too few corners (a marker
        // board seen at its edge), corners on one line, or values out of bounds.
        const QString problem = cornerListProblem(image.imagePoints, image.objectPoints);
        if (!problem.isEmpty()) {
            log.append(QStringLiteral("Warning: Image %1 is left out: %2.\n").arg(i).arg(problem), logcolor::Orange);
            image.checked = false;
            image.clearCorners();
            warned = true;
            continue;
        }
        if (reference < 0) {
            reference = int(i);
            imageSize = image.size;
        } else if (image.size != imageSize) {
            log.append(QStringLiteral("Warning: Image %1 is %2 x %3 px, image %4 is %5 x %6 px; image %1 is left out.\n")
                           .arg(i)
                           .arg(image.size.width)
                           .arg(image.size.height)
                           .arg(reference)
                           .arg(imageSize.width)
                           .arg(imageSize.height),
                       logcolor::Orange);
            image.checked = false;
            warned = true;
            continue;
        }
        collected.push_back(int(i));
    }
    if (warned)
        log.append(QStringLiteral("\n"));

    if (collected.empty()) {
        log.append(QStringLiteral("Target detection failed on all images or none were selected!\n\n"), logcolor::Red);
        log.append(QStringLiteral("Calibrate\n"));
        result.status = CalibrationStatus::NoImages;
        return;
    }

    log.append(QStringLiteral("Intrinsic calibration with %1/%2 images...\n\n").arg(collected.size()).arg(state.images.size()),
               QString(), true);

    std::vector<std::vector<cv::Point3f>> objectPoints;
    std::vector<std::vector<cv::Point2f>> imagePoints;
    bool planar = true;
    for (int i : collected) {
        const ImageState& image = state.images[size_t(i)];
        objectPoints.push_back(image.objectPoints);
        imagePoints.push_back(image.imagePoints);
        for (const cv::Point3f& p : image.objectPoints)
            planar = planar && p.z == 0.0f;
    }
    if (!planar && state.K.empty()) {
        log.append(QStringLiteral("Error: If you use a non-planar calibration target, you need to set initial intrinsic "
                                  "parameters (fx, fy, cx, cy) for %1 in the main window. You also need to set 'Use "
                                  "intrinsic guess' in the Calibration Options.\n")
                       .arg(sensor->name),
                   logcolor::Red);
        log.append(QStringLiteral("Calibrate\n"));
        result.status = CalibrationStatus::NonPlanarWithoutGuess;
        return;
    }

    std::vector<cv::Mat> rvecs, tvecs;
    cv::Mat deviationsIntrinsic, deviationsExtrinsic, perViewErrors;
    // Into copies: a result that turns out unusable must not replace the start values.
    cv::Mat K = state.K.clone(), distortion = state.distortion.clone();
    const double rms = cv::calibrateCamera(objectPoints, imagePoints, imageSize, K, distortion, rvecs, tvecs,
                                           deviationsIntrinsic, deviationsExtrinsic, perViewErrors, flags, criteria);
    QString unusable = intrinsicResultProblem(K, distortion, rms, imageSize);
    if (unusable.isEmpty() && !cv::checkRange(perViewErrors))
        unusable = QStringLiteral("a view's error is not a finite number");
    if (!unusable.isEmpty()) {
        logUnusableResult(log, unusable);
        result.status = CalibrationStatus::InvalidResult;
        return;
    }
    state.K = K;
    state.distortion = distortion;
    // The library hands back 14 coefficients for the rational model; beyond the eighth they are
    // thin-prism and tilt terms this module never enables, so they are always 0.
    if (opt.useRationalModel && state.distortion.total() > 8)
        state.distortion = state.distortion.reshape(1, 1).colRange(0, 8).clone();
    state.imageSize = imageSize;
    result.rms = rms;
    result.usedImages = collected;
    printResult(state.K, state.distortion, deviationsIntrinsic, rms, log);

    const std::optional<SensorRef> target = hooks.sensor ? hooks.sensor() : std::nullopt;
    if (!target) {
        log.append(QStringLiteral("No sensor present in the sensor list, aborting.\n\n"), logcolor::Red);
        result.status = CalibrationStatus::NoSensor;
        return;
    }
    if (hooks.storeIntrinsics)
        hooks.storeIntrinsics(target->id, state.K, state.distortion, imageSize);
    for (size_t k = 0; k < collected.size(); ++k) {
        ImageState& image = state.images[size_t(collected[k])];
        image.rms = perViewErrors.at<double>(int(k));
        image.rvec = rvecs[k].clone();
        image.tvec = tvecs[k].clone();
    }
    // Before outlier removal takes corners away.
    result.quality = assessCalibration(state, collected, flags);

    const QString file = intrinsicsFilePath(request.workingDirectory, target->name);
    QString error;
    if (request.workingDirectory.isEmpty())
        error = QStringLiteral("no working directory is set");
    else if (!writeIntrinsicsFile(file, imageSize, state.K, state.distortion, rms, &error) && error.isEmpty())
        error = QStringLiteral("unknown error");
    if (error.isEmpty()) {
        result.intrinsicsFile = file;
        log.append(QStringLiteral("\nIntrinsics saved to:\n"), QString(), true);
        log.append(QStringLiteral("%1\n\n").arg(file));
    } else {
        result.writeError = error;
        log.append(QStringLiteral("\nError: Could not save the intrinsics to:\n%1\n(%2)\n\n").arg(file, error),
                   logcolor::Red);
    }

    if (opt.removeOutliers)
        log.append(QStringLiteral("Detecting outliers: "));
    result.outliersRemoved =
        analyseErrors(state.images, state.K, state.distortion, opt.removeOutliers, opt.outlierThreshold, log);
    if (opt.removeOutliers && result.outliersRemoved)
        log.append(QStringLiteral("\n\nCalibrate again to exclude the detected outliers!\n\n"), logcolor::Orange);
    logQuality(*result.quality, log);
    result.status = CalibrationStatus::Calibrated;
}

} // namespace

bool hasFocalLengths(const cv::Mat& K)
{
    if (K.rows != 3 || K.cols != 3 || K.channels() != 1)
        return false;
    cv::Mat k;
    K.convertTo(k, CV_64F);
    return k.at<double>(0, 0) != 0.0 && k.at<double>(1, 1) != 0.0;
}

CalibrationResult calibrateIntrinsics(IntrinsicState& state, const CalibrationRequest& request,
                                      const CalibrationHooks& hooks, LogSink& log)
{
    CalibrationResult result;
    try {
        run(state, request, hooks, log, result);
    } catch (const cv::Exception& e) {
        log.append(QStringLiteral("OpenCV exception caught: %1\n").arg(QString::fromStdString(e.what())), logcolor::Red);
        log.append(QStringLiteral("Aborting.\n\n"), logcolor::Red);
        result.status = CalibrationStatus::LibraryError;
    } catch (const std::exception& e) {
        log.append(QStringLiteral("Exception caught: %1\n").arg(QString::fromLocal8Bit(e.what())), logcolor::Red);
        log.append(QStringLiteral("Aborting.\n\n"), logcolor::Red);
        result.status = CalibrationStatus::LibraryError;
    }
    return result;
}

} // namespace vantiro::intrinsic
