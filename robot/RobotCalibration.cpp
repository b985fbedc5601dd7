#include "robot/RobotCalibration.h"

#include <QFileInfo>

#include <opencv2/calib3d.hpp>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <exception>

#include "app/FileSet.h"
#include "intrinsic/ErrorAnalysis.h"
#include "intrinsic/InputChecks.h"
#include "intrinsic/IntrinsicFiles.h"
#include "targets/DetectionPool.h"
#include "targets/TargetDetection.h"

namespace vantiro::robot {

QString RobotImage::label() const
{
    return text.isEmpty() ? QFileInfo(path).fileName() : text;
}

cv::Matx33d RobotView::targetR() const
{
    cv::Matx33d R;
    cv::Rodrigues(rvec, R);
    return R;
}

QString resultFilePath(const QString& workingDirectory, RobotModule module)
{
    return workingDirectory + (module == RobotModule::HandEye ? QStringLiteral("/AX-XB.yml") : QStringLiteral("/AX-YB.yml"));
}

bool writeResultFile(const QString& path, const RobotResult& result, RobotModule module, QString* error)
{
    QByteArray text;
    try {
        cv::FileStorage fs("result.yml", cv::FileStorage::WRITE | cv::FileStorage::MEMORY | cv::FileStorage::FORMAT_YAML);
        if (module == RobotModule::ToolFlange) {
            fs << "RY" << cv::Mat(result.RY);
            fs << "tY" << cv::Mat(result.tY);
        }
        fs << "RX" << cv::Mat(result.RX);
        fs << "tX" << cv::Mat(result.tX);
        text = QByteArray::fromStdString(fs.releaseAndGetString());
    } catch (const cv::Exception& e) {
        if (error)
            *error = QString::fromStdString(e.what()).trimmed();
        return false;
    }
    return writeFileSet({{path, text}}, error);
}

cv::Matx33d meanRotation(const std::vector<cv::Matx33d>& rotations)
{
    cv::Matx33d sum = cv::Matx33d::zeros();
    for (const cv::Matx33d& R : rotations)
        sum += R;
    if (rotations.empty())
        return cv::Matx33d::eye();
    const cv::Matx33d mean = sum * (1.0 / double(rotations.size()));
    cv::Mat w, u, vt;
    cv::SVD::compute(cv::Mat(mean), w, u, vt);
    return cv::Matx33d(cv::Mat(u * vt));
}

double rotationAngle(const cv::Matx33d& a, const cv::Matx33d& b)
{
    const double c = (cv::trace(a * b.t()) - 1.0) / 2.0;
    return std::acos(std::clamp(c, -1.0, 1.0)) * 180.0 / CV_PI;
}

namespace {

cv::Vec3d apply(const cv::Matx33d& R, const cv::Vec3d& t, const cv::Point3f& p)
{
    return R * cv::Vec3d(p.x, p.y, p.z) + t;
}

double sumSquares(const RobotView& v, const cv::Matx33d& Ra, const cv::Vec3d& ta, const cv::Matx33d& Rb,
                  const cv::Vec3d& tb)
{
    double sum = 0.0;
    for (const cv::Point3f& p : v.objectPoints) {
        const cv::Vec3d d = apply(Ra, ta, p) - apply(Rb, tb, p);
        sum += d.dot(d);
    }
    return sum;
}

} // namespace

double handEyeConsistency(std::vector<RobotView>& views, const cv::Matx33d& RX, const cv::Vec3d& tX)
{
    std::vector<cv::Matx33d> Rs;
    std::vector<cv::Vec3d> ts;
    cv::Vec3d tMean;
    for (const RobotView& v : views) {
        // G X C: target -> camera -> TCP -> base.
        Rs.push_back(v.tcpR * RX * v.targetR());
        ts.push_back(v.tcpR * (RX * v.tvec + tX) + v.tcpT);
        tMean += ts.back();
    }
    if (views.empty())
        return 0.0;
    tMean *= 1.0 / double(views.size());
    const cv::Matx33d RMean = meanRotation(Rs);
    double total = 0.0;
    size_t points = 0;
    for (size_t i = 0; i < views.size(); ++i) {
        RobotView& v = views[i];
        const double sum = sumSquares(v, Rs[i], ts[i], RMean, tMean);
        v.rms3d = v.objectPoints.empty() ? 0.0 : std::sqrt(sum / double(v.objectPoints.size()));
        v.translationDeviation = cv::norm(ts[i] - tMean);
        v.rotationDeviation = rotationAngle(Rs[i], RMean);
        total += sum;
        points += v.objectPoints.size();
    }
    return points ? std::sqrt(total / double(points)) : 0.0;
}

double toolFlangeConsistency(std::vector<RobotView>& views, const cv::Matx33d& RX, const cv::Vec3d& tX,
                             const cv::Matx33d& RY, const cv::Vec3d& tY)
{
    double total = 0.0;
    size_t points = 0;
    for (RobotView& v : views) {
        // Target -> TCP -> base against target -> camera -> base.
        const cv::Matx33d Ra = v.tcpR * RX;
        const cv::Vec3d ta = v.tcpR * tX + v.tcpT;
        const cv::Matx33d Rb = RY * v.targetR();
        const cv::Vec3d tb = RY * v.tvec + tY;
        const double sum = sumSquares(v, Ra, ta, Rb, tb);
        v.rms3d = v.objectPoints.empty() ? 0.0 : std::sqrt(sum / double(v.objectPoints.size()));
        v.translationDeviation = cv::norm(ta - tb);
        v.rotationDeviation = rotationAngle(Ra, Rb);
        total += sum;
        points += v.objectPoints.size();
    }
    return points ? std::sqrt(total / double(points)) : 0.0;
}

bool yFitsBetterTransposed(std::vector<RobotView>& views, const cv::Matx33d& RX, const cv::Vec3d& tX,
                           const cv::Matx33d& RY, const cv::Vec3d& tY)
{
    const double asItIs = toolFlangeConsistency(views, RX, tX, RY, tY);
    const double transposed = toolFlangeConsistency(views, RX, tX, RY.t(), tY);
    return asItIs > transposed;
}

bool outerCorners(const std::vector<cv::Point2f>& imagePoints, const std::vector<cv::Point3f>& objectPoints,
                  const MainWindowSettings& target, std::vector<cv::Point2f>& image4, std::vector<cv::Point3f>& object4)
{
    image4.clear();
    object4.clear();
    const size_t complete = size_t(std::max(0, target.numSquaresX - 1)) * size_t(std::max(0, target.numSquaresY - 1));
    if (complete < 4 || imagePoints.size() != complete || objectPoints.size() != complete)
        return false;
    // Top-left, top-right, bottom-right, bottom-left of the grid: the extremes of x + y and x - y.
    size_t pick[4] = {0, 0, 0, 0};
    auto score = [&](size_t i, int which) {
        const cv::Point3f& p = objectPoints[i];
        switch (which) {
        case 0: return -(p.x + p.y);
        case 1: return p.x - p.y;
        case 2: return p.x + p.y;
        default: return p.y - p.x;
        }
    };
    for (int k = 0; k < 4; ++k)
        for (size_t i = 1; i < complete; ++i)
            if (score(i, k) > score(pick[k], k))
                pick[k] = i;
    for (size_t i : pick) {
        image4.push_back(imagePoints[i]);
        object4.push_back(objectPoints[i]);
    }
    return true;
}

namespace {

QString fixed4(double v)
{
    return QString::number(v, 'f', 4);
}

bool finite(const cv::Vec3d& v)
{
    return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]);
}

bool usableIntrinsics(const cv::Mat& K, const cv::Mat& distortion)
{
    if (!intrinsic::hasFocalLengths(K) || distortion.empty() || distortion.channels() != 1)
        return false;
    const size_t n = distortion.total();
    if (n != 4 && n != 5 && n != 8 && n != 12 && n != 14)
        return false;
    return cv::checkRange(K) && cv::checkRange(distortion);
}

// A run of either module; exceptions are left to the caller.
class Run
{
public:
    Run(std::vector<RobotImage>& images, const std::vector<TcpPose>& poses, const RobotRequest& request,
        const RobotHooks& hooks, LogSink& log, RobotResult& result)
        : m_images(images), m_poses(poses), m_request(request), m_opt(request.options), m_hooks(hooks), m_log(log),
          m_result(result), m_handEye(request.module == RobotModule::HandEye)
    {
    }

    void run();

private:
    struct Detected
    {
        int row;
        std::vector<cv::Point2f> imagePoints;
        std::vector<cv::Point3f> objectPoints;
    };

    void stop(RobotStatus status, const QString& text)
    {
        m_log.append(text, logcolor::Red);
        m_log.append(QStringLiteral("Aborting.\n\n"), logcolor::Red);
        m_result.status = status;
    }
    bool aborted()
    {
        if (!m_hooks.abort || !m_hooks.abort())
            return false;
        m_log.append(QStringLiteral("Calibration aborted \n\n"), logcolor::Red);
        m_result.status = RobotStatus::Aborted;
        return true;
    }
    void drop(int row)
    {
        m_images[size_t(row)].checked = false;
        m_images[size_t(row)].dropped = true;
    }

    std::vector<int> selectRows();
    std::vector<Detected> detect(const std::vector<int>& rows);
    bool estimateTargetPose(Detected& d, RobotView& view);
    void reprojectionErrors(RobotView& view) const;
    void solve();
    void logTransform(const QString& letter, const cv::Matx33d& R, const cv::Vec3d& t, bool rowsBreak);
    void logRms();
    void finish();

    std::vector<RobotImage>& m_images;
    const std::vector<TcpPose>& m_poses;
    const RobotRequest& m_request;
    const RobotOptions& m_opt;
    const RobotHooks& m_hooks;
    LogSink& m_log;
    RobotResult& m_result;
    const bool m_handEye;
    cv::Mat m_K;
    cv::Mat m_distortion;
    QString m_cameraName;
    QString m_robotName;
};

std::vector<int> Run::selectRows()
{
    std::vector<int> rows;
    for (size_t i = 0; i < m_images.size(); ++i) {
        RobotImage& image = m_images[i];
        image.dropped = false;
        const bool given = !image.imagePoints.empty();
        if (!image.checked || (!given && !QFileInfo(image.path).isFile()))
            drop(int(i));
        else
            rows.push_back(int(i));
    }
    return rows;
}

std::vector<Run::Detected> Run::detect(const std::vector<int>& rows)
{
    std::vector<Detected> found;
    std::vector<QString> sizeWarnings;
    std::vector<QString> unreadable;
    // Images are read and searched on all cores; what each gave is taken in list order here, so
    // the log and the views are those of a one-by-one run.
    OrderedJobs<ImageDetection> jobs;
    jobs.prepare = [&](int k) -> Work<ImageDetection> {
        const RobotImage& image = m_images[size_t(rows[size_t(k)])];
        if (!image.imagePoints.empty())
            return {}; // corners given: nothing to read
        return [path = image.path, target = m_request.target](const StopToken& stop) {
            return loadAndDetect(path, target, stop);
        };
    };
    jobs.deliver = [&](int k, ImageDetection* outcome) {
        const int row = rows[size_t(k)];
        const RobotImage& image = m_images[size_t(row)];
        Detected d{row, {}, {}};
        if (!outcome) {
            if (image.imagePoints.size() == image.objectPoints.size()) {
                d.imagePoints = image.imagePoints;
                d.objectPoints = image.objectPoints;
            }
        } else if (!outcome->readable) {
            unreadable.push_back(
                QStringLiteral("Warning: Image %1 could not be read: %2 (%3)\n").arg(row).arg(image.path, outcome->error));
        } else {
            if (outcome->found)
                for (const TargetCorner& c : outcome->corners) {
                    d.imagePoints.push_back(c.imagePoint);
                    d.objectPoints.push_back(c.objectPoint);
                }
            const cv::Size size = outcome->size;
            if (m_result.imageSize.empty())
                m_result.imageSize = size;
            if (!m_request.imageSize.empty() && size != m_request.imageSize)
                sizeWarnings.push_back(QStringLiteral("Warning: %1 is %2 x %3 px, the intrinsics of %4 are for "
                                                      "%5 x %6 px.\n")
                                           .arg(image.label())
                                           .arg(size.width)
                                           .arg(size.height)
                                           .arg(m_cameraName)
                                           .arg(m_request.imageSize.width)
                                           .arg(m_request.imageSize.height));
        }
        const bool ok = !d.imagePoints.empty();
        m_log.append(QStringLiteral("%1 ").arg(row), ok ? logcolor::Green : logcolor::Red);
        if (ok)
            found.push_back(std::move(d));
        else
            drop(row);
    };
    jobs.abort = m_hooks.abort;
    jobs.progress = m_hooks.progress;
    // At once, while the images in flight are still being finished.
    jobs.aborted = [this] { m_log.append(QStringLiteral("Calibration aborted \n\n"), logcolor::Red); };
    if (runInListOrder(int(rows.size()), jobs) == PoolStatus::Aborted) {
        m_result.status = RobotStatus::Aborted;
        return {};
    }
    m_log.append(QStringLiteral("\n\n"));
    for (const QString& w : unreadable)
        m_log.append(w, logcolor::Orange);
    for (const QString& w : sizeWarnings)
        m_log.append(w, logcolor::Orange);
    if (!sizeWarnings.empty() || !unreadable.empty())
        m_log.append(QStringLiteral("\n"));
    return found;
}

bool Run::estimateTargetPose(Detected& d, RobotView& view)
{
    const QString name = m_images[size_t(d.row)].label();
    std::vector<cv::Point2f>& ip = d.imagePoints;
    std::vector<cv::Point3f>& op = d.objectPoints;
    cv::Mat rvec, tvec;
    bool ok = false;
    if (m_opt.solver == PoseSolver::EP3P) {
        std::vector<cv::Point2f> image4;
        std::vector<cv::Point3f> object4;
        if (!outerCorners(ip, op, m_request.target, image4, object4)) {
            m_log.append(QStringLiteral("EP3P needs every corner of the target: %1 shows %2 of %3; view dropped.\n")
                             .arg(name)
                             .arg(ip.size())
                             .arg(std::max(0, m_request.target.numSquaresX - 1) *
                                  std::max(0, m_request.target.numSquaresY - 1)),
                         logcolor::Red);
            return false;
        }
        ok = cv::solvePnP(object4, image4, m_K, m_distortion, rvec, tvec, false, cv::SOLVEPNP_P3P);
    } else {
        const int flags = m_opt.solver == PoseSolver::EPnP ? cv::SOLVEPNP_EPNP : cv::SOLVEPNP_ITERATIVE;
        if (m_opt.useRansac) {
            std::vector<int> inliers;
            ok = cv::solvePnPRansac(op, ip, m_K, m_distortion, rvec, tvec, false, m_opt.ransacIterations,
                                    m_opt.maxReprojectionError, m_opt.confidence, inliers, flags);
            if (ok) {
                m_log.append(QStringLiteral("%1 inliers: %2\n").arg(name).arg(inliers.size()));
                if (inliers.size() < op.size()) {
                    std::vector<cv::Point2f> keptImage;
                    std::vector<cv::Point3f> keptObject;
                    for (int k : inliers) {
                        keptImage.push_back(ip[size_t(k)]);
                        keptObject.push_back(op[size_t(k)]);
                    }
                    ip.swap(keptImage);
                    op.swap(keptObject);
                }
            } else {
                m_log.append(m_handEye ? QStringLiteral("%1 inliers: 0\n").arg(name)
                                       : QStringLiteral("%1 inliers: none\n").arg(name));
            }
        } else {
            ok = cv::solvePnP(op, ip, m_K, m_distortion, rvec, tvec, false, flags);
        }
        if (ok && m_handEye && m_opt.solver == PoseSolver::EPnP) {
            cv::Matx33d R;
            cv::Rodrigues(rvec, R);
            QString why;
            if (!IsValidRotation(cv::Mat(R), why)) {
                m_log.append(QStringLiteral("EPNP solution for image %1 produced invalid rotation: %2\n").arg(name, why));
                return false;
            }
            std::vector<cv::Point2f> projected;
            cv::projectPoints(op, rvec, tvec, m_K, m_distortion, projected);
            const double e = cv::norm(projected, ip, cv::NORM_L2) / double(ip.size());
            if (e > 5.0 * double(m_opt.maxReprojectionError)) {
                m_log.append(QStringLiteral("EPNP solution for image %1 has high reprojection error: %2 px\n")
                                 .arg(name, QString::number(e)),
                             logcolor::Red);
                return false;
            }
        }
    }
    if (!ok || op.size() < 4 || rvec.total() != 3 || tvec.total() != 3) {
        if (!ok && !(m_opt.useRansac && m_opt.solver != PoseSolver::EP3P))
            m_log.append(QStringLiteral("No target pose for %1; view dropped.\n").arg(name), logcolor::Red);
        return false;
    }
    rvec.convertTo(rvec, CV_64F);
    tvec.convertTo(tvec, CV_64F);
    view.rvec = cv::Vec3d(rvec.reshape(1, 3));
    view.tvec = cv::Vec3d(tvec.reshape(1, 3));
    const TcpPose& tcp = m_poses[size_t(d.row)];
    view.tcpR = tcpRotation(tcp);
    view.tcpT = m_opt.metres ? tcp.t * 1000.0 : tcp.t;
    if (!finite(view.rvec) || !finite(view.tvec) || !finite(view.tcpT) || !cv::checkRange(view.tcpR)) {
        m_log.append(QStringLiteral("The pose of %1 or its TCP pose is not finite; view dropped.\n").arg(name),
                     logcolor::Red);
        return false;
    }
    view.row = d.row;
    view.imagePoints = std::move(ip);
    view.objectPoints = std::move(op);
    return true;
}

void Run::reprojectionErrors(RobotView& view) const
{
    cv::projectPoints(view.objectPoints, view.rvec, view.tvec, m_K, m_distortion, view.projected);
    view.errors.clear();
    view.colours.clear();
    view.minError = DBL_MAX;
    view.maxError = 0.0;
    double sum = 0.0;
    for (size_t k = 0; k < view.imagePoints.size(); ++k) {
        const double e = cv::norm(view.projected[k] - view.imagePoints[k]);
        view.errors.push_back(e);
        view.minError = std::min(view.minError, e);
        view.maxError = std::max(view.maxError, e);
        sum += e * e;
    }
    view.rms = view.errors.empty() ? 0.0 : std::sqrt(sum / double(view.errors.size()));
    for (double e : view.errors)
        view.colours.push_back(intrinsic::toRgb8(intrinsic::errorColor(e, view.minError, view.maxError)));
}

void Run::logTransform(const QString& letter, const cv::Matx33d& R, const cv::Vec3d& t, bool rowsBreak)
{
    m_log.append(QStringLiteral("Translation t%1:\n").arg(letter), QString(), true);
    m_log.append(QStringLiteral("(%1, %2, %3) mm\n\n").arg(fixed4(t[0]), fixed4(t[1]), fixed4(t[2])));
    m_log.append(QStringLiteral("Rotation R%1:\n").arg(letter), QString(), true);
    for (int r = 0; r < 3; ++r)
        m_log.append(QStringLiteral("%1  %2  %3\n").arg(fixed4(R(r, 0)), fixed4(R(r, 1)), fixed4(R(r, 2))));
    if (rowsBreak)
        m_log.append(QStringLiteral("\n"));
    QString why;
    if (!IsValidRotation(cv::Mat(R), why))
        m_log.append(QStringLiteral("R%1 isn't a valid rotation matrix: %2\n").arg(letter, why), logcolor::Orange);
}

void Run::solve()
{
    std::vector<cv::Mat> Rg, tg, Rc, tc;
    for (const RobotView& v : m_result.views) {
        Rg.push_back(cv::Mat(v.tcpR, true));
        tg.push_back(cv::Mat(v.tcpT, true));
        Rc.push_back(cv::Mat(v.targetR(), true));
        tc.push_back(cv::Mat(v.tvec, true));
    }
    cv::Mat RX, tX;
    if (m_handEye) {
        cv::calibrateHandEye(Rg, tg, Rc, tc, RX, tX, cv::HandEyeCalibrationMethod(int(m_opt.method)));
    } else {
        // The TCP poses go into the world-to-camera slot and the target poses into the
        // base-to-gripper slot: G X = Y C with X from the base-to-world and Y from the
        // gripper-to-camera outputs.
        cv::Mat RY, tY;
        cv::calibrateRobotWorldHandEye(Rg, tg, Rc, tc, RX, tX, RY, tY, cv::CALIB_ROBOT_WORLD_HAND_EYE_SHAH);
        m_result.RY = cv::Matx33d(RY);
        m_result.tY = cv::Vec3d(tY.reshape(1, 3));
    }
    m_result.RX = cv::Matx33d(RX);
    m_result.tX = cv::Vec3d(tX.reshape(1, 3));
    m_result.calibrated = true;
}

void Run::logRms()
{
    double lo = DBL_MAX, hi = 0.0;
    for (const RobotView& v : m_result.views) {
        lo = std::min(lo, v.rms3d);
        hi = std::max(hi, v.rms3d);
    }
    const double rms = m_result.rms3d;
    m_log.append(m_handEye ? QStringLiteral("\nRMS 3D-Error of all calibration points: ")
                           : QStringLiteral("RMS 3D-Error of all calibration points: "),
                 QString(), true);
    m_log.append(QStringLiteral("%1 mm\n\n").arg(QString::number(rms)),
                 intrinsic::colorName(intrinsic::errorColor(0.2 * rms, 0.2 * lo, 0.2 * hi)), true);
}

void Run::finish()
{
    const std::optional<SensorRef> camera = m_hooks.camera ? m_hooks.camera() : std::nullopt;
    const std::optional<SensorRef> robot = m_hooks.robot ? m_hooks.robot() : std::nullopt;
    if (!camera) {
        stop(RobotStatus::NoSensor, QStringLiteral("No sensor present in the sensor list.\n"));
        return;
    }
    if (!robot) {
        stop(RobotStatus::NoSensor, QStringLiteral("No robot present in the sensor list.\n"));
        return;
    }
    const QString file = resultFilePath(m_request.workingDirectory, m_request.module);
    QString error;
    if (m_request.workingDirectory.isEmpty())
        error = QStringLiteral("no working directory is set");
    else if (!writeResultFile(file, m_result, m_request.module, &error) && error.isEmpty())
        error = QStringLiteral("unknown error");
    if (error.isEmpty()) {
        m_result.resultFile = file;
        m_log.append(QStringLiteral("Extrinsics saved to:\n"), QString(), true);
        m_log.append(file + QStringLiteral("\n\n"));
    } else {
        m_result.writeError = error;
        m_log.append(QStringLiteral("Error: Could not save the extrinsics to:\n%1\n(%2)\n\n").arg(file, error),
                     logcolor::Red);
    }
    // The robot object's pose in the camera's frame: the TCP (hand-eye) or the base (tool-flange).
    const cv::Matx33d R = m_handEye ? m_result.RX : m_result.RY;
    const cv::Vec3d t = m_handEye ? m_result.tX : m_result.tY;
    const cv::Matx33d Rinv = R.inv();
    if (m_hooks.storeExtrinsics)
        m_hooks.storeExtrinsics(camera->id, robot->id, Rinv, cv::Matx31d(-(Rinv * t)));
    m_result.status = RobotStatus::Calibrated;
}

void Run::run()
{
    const std::optional<SensorRef> camera = m_hooks.camera ? m_hooks.camera() : std::nullopt;
    if (!camera) {
        m_log.append(QStringLiteral("Please select a camera in the 'Select Sensor' combo box.\n\n"), logcolor::Red);
        m_result.status = RobotStatus::NoCamera;
        return;
    }
    m_cameraName = camera->name;
    const std::optional<SensorRef> robot = m_hooks.robot ? m_hooks.robot() : std::nullopt;
    m_robotName = robot ? robot->name : QString();

    if (!usableIntrinsics(m_request.K, m_request.distortion)) {
        m_log.append(QStringLiteral("Intrinsic parameters for Camera '%1' required. Please calibrate it with the "
                                    "'Intrinsic Calibration' module or load the parameters.\n\n")
                         .arg(m_cameraName),
                     logcolor::Red);
        m_result.status = RobotStatus::NoIntrinsics;
        return;
    }
    m_request.K.convertTo(m_K, CV_64F);
    m_request.distortion.reshape(1, 1).convertTo(m_distortion, CV_64F);

    const std::vector<int> rows = selectRows();
    if (rows.empty())
        return stop(RobotStatus::NoImages, QStringLiteral("Image list is empty or no images were selected.\n"));
    if (m_poses.empty())
        return stop(RobotStatus::NoPoses, QStringLiteral("Tool center point positions are empty.\n"));
    if (m_images.size() != m_poses.size())
        return stop(RobotStatus::CountMismatch,
                    QStringLiteral("Number of images differs from the number of tool center point positions.\n"));
    if (rows.size() < 3)
        return stop(RobotStatus::TooFewImages, QStringLiteral("At least 3 images have to be selected.\n"));

    m_log.append(QStringLiteral("Target settings:\n"), QString(), true);
    m_log.append(targetSettingsSummary(m_request.target) + QStringLiteral("\n"));
    m_log.append(QStringLiteral("Detecting targets: "), QString(), true);
    std::vector<Detected> detected = detect(rows);
    if (m_result.status == RobotStatus::Aborted)
        return;

    if (m_handEye) {
        m_log.append(QStringLiteral("Hand/Eye-Calibration with %1/%2 image/TCP coordinate sets...\n\n")
                         .arg(detected.size())
                         .arg(rows.size()),
                     QString(), true);
    } else {
        m_log.append(QStringLiteral("Tool/Flange-Calibration "), QString(), true);
        m_log.append(QStringLiteral("with %1/%2 image/TCP sets...\n\n").arg(detected.size()).arg(rows.size()));
    }

    for (Detected& d : detected) {
        RobotView view;
        if (estimateTargetPose(d, view))
            m_result.views.push_back(std::move(view));
        else
            drop(d.row);
    }
    if (m_result.views.size() < 3)
        return stop(RobotStatus::TooFewViews, QStringLiteral("At least 3 targets have to be detected.\n"));
    if (aborted())
        return;

    solve();
    // Views without rotation between them leave the solver nothing to work with; some of its
    // methods answer with NaN instead of an error.
    const bool finiteX = cv::checkRange(m_result.RX) && finite(m_result.tX);
    if (!finiteX || (!m_handEye && !(cv::checkRange(m_result.RY) && finite(m_result.tY)))) {
        intrinsic::logUnusableResult(m_log, finiteX ? QStringLiteral("Y is not a finite transform")
                                                    : QStringLiteral("X is not a finite transform"));
        m_result.calibrated = false;
        m_result.status = RobotStatus::InvalidResult;
        return;
    }
    for (RobotView& v : m_result.views)
        reprojectionErrors(v);

    if (m_handEye) {
        m_result.rms3d = handEyeConsistency(m_result.views, m_result.RX, m_result.tX);
        m_log.append(QStringLiteral("Estimated X "), QString(), true);
        m_log.append(QStringLiteral("(%1 w.r.t. %2 TCP coordinate system):\n\n").arg(m_cameraName, m_robotName));
        logTransform(QStringLiteral("X"), m_result.RX, m_result.tX, false);
    } else {
        // The solver's Y may fit the loop better transposed; keep the orientation that does.
        if (yFitsBetterTransposed(m_result.views, m_result.RX, m_result.tX, m_result.RY, m_result.tY)) {
            m_result.RY = m_result.RY.t();
            m_result.ryTransposed = true;
        }
        m_result.rms3d = toolFlangeConsistency(m_result.views, m_result.RX, m_result.tX, m_result.RY, m_result.tY);
        m_log.append(QStringLiteral("Estimated Y "), QString(), true);
        m_log.append(QStringLiteral("(%1 w.r.t %2 coordinate system):\n\n").arg(m_cameraName, m_robotName));
        logTransform(QStringLiteral("Y"), m_result.RY, m_result.tY, true);
        m_log.append(QStringLiteral("Estimated X "), QString(), true);
        m_log.append(QStringLiteral("(Calibration target w.r.t. TCP coordinate system)\n\n"));
        logTransform(QStringLiteral("X"), m_result.RX, m_result.tX, false);
    }
    logRms();
    finish();
}

} // namespace

RobotResult calibrateRobot(std::vector<RobotImage>& images, const std::vector<TcpPose>& poses,
                           const RobotRequest& request, const RobotHooks& hooks, LogSink& log)
{
    RobotResult result;
    auto fail = [&](const QString& heading, const QString& message) {
        QString text = message;
        if (!text.endsWith(QLatin1Char('\n')))
            text += QLatin1Char('\n');
        log.append(heading, logcolor::Red);
        log.append(text, logcolor::Red);
        log.append(QStringLiteral("Aborting.\n\n"), logcolor::Red);
        if (hooks.reportException)
            hooks.reportException(message);
        result.status = RobotStatus::LibraryError;
    };
    try {
        Run(images, poses, request, hooks, log, result).run();
    } catch (const cv::Exception& e) {
        fail(QStringLiteral("OpenCV exception caught:\n"), QString::fromStdString(e.what()));
    } catch (const std::exception& e) {
        fail(QStringLiteral("Exception caught:\n"), QString::fromLocal8Bit(e.what()));
    }
    return result;
}

} // namespace vantiro::robot
