// demo: generated data through the tool's own commands, compared with the ground truth.

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <functional>

#include "app/ProjectFile.h"
#include "app/StorageFile.h"
#include "cli/CliSupport.h"
#include "cli/Commands.h"
#include "cli/Console.h"
#include "cli/SynthData.h"
#include "cli/TargetArgument.h"
#include "sensors/Pose.h"
#include "stereo/Rectification.h"
#include "stereo/StereoWorkflow.h"
#include "synth/BoardPattern.h"
#include "synth/CameraModel.h"
#include "synth/Renderer.h"
#include "targets/TargetDetection.h"

namespace cli {

using vantiro::synth::CameraModel;

namespace {

// Pass limits. Noise of 1 grey value and 640 x 480 images leave the corner positions a few
// hundredths of a pixel off; these limits sit well above what a sound calibration reaches and
// well below what any mistake (a swapped axis, a missing distortion term, a wrong pairing) gives.
constexpr double kMaxFocalError = 0.01;        // relative
constexpr double kMaxPrincipalPointError = 5.0; // px
constexpr double kMaxRms = 0.5;                // px
constexpr double kMaxDistortionError = 0.5;    // px, largest where the views cover the image
constexpr double kMaxRotationError = 0.25;     // degrees
constexpr double kMaxTranslationError = 0.02;  // relative to the baseline
// Rows of corresponding corners in rectified pairs: what is left is the calibration's error plus
// the detector's (a few hundredths of a pixel per corner).
constexpr double kMaxMeanDisparity = 0.25;     // px
constexpr double kMaxDisparity = 1.0;          // px
constexpr double kMinDecoded = 0.97;           // lit board pixels decoded to the true projector pixel (+-1)
constexpr double kMinRejected = 0.98;          // unlit pixels left undecoded
// Camera-projector: the projector is calibrated like a camera whose corners come from local
// homographies on the decoded pixels.
constexpr double kMaxProjectorFocalError = 0.005;  // relative
constexpr double kMaxProjectorCornerError = 0.25;  // projector px, mean
constexpr double kMaxProjectorRotationError = 0.1; // degrees
constexpr double kMaxProjectorPositionError = 0.01; // relative to the baseline
constexpr double kMaxRobotRotationError = 0.1;  // degrees, X and Y of the robot calibrations
constexpr double kMaxRobotTranslationError = 1.0; // mm

struct Step
{
    int status = -1;
    qint64 ms = 0;
    QString log;
};

QString quoted(const QStringList& arguments)
{
    QStringList out;
    for (const QString& a : arguments)
        out << (a.contains(QLatin1Char(' ')) || a.contains(QLatin1Char('*')) ? QLatin1Char('\'') + a + QLatin1Char('\'') : a);
    return out.join(QLatin1Char(' '));
}

// Runs the tool itself with arguments, output into logPath.
Step runTool(const QStringList& arguments, const QString& logPath, Console& console, const QString& label, int step,
             int steps)
{
    Step result;
    result.log = logPath;
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setStandardOutputFile(logPath);
    QElapsedTimer clock;
    clock.start();
    process.start(QCoreApplication::applicationFilePath(), arguments);
    if (!process.waitForStarted(10000))
        throw RunError(QStringLiteral("cannot start %1: %2").arg(QCoreApplication::applicationFilePath(),
                                                                 process.errorString()));
    while (!process.waitForFinished(250)) {
        console.progress(label, step, steps);
        if (process.state() == QProcess::NotRunning)
            break;
    }
    result.ms = clock.elapsed();
    result.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    if (interrupted())
        throw RunError(QStringLiteral("interrupted"));
    return result;
}

QString tail(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    const QStringList lines = QString::fromLocal8Bit(file.readAll()).trimmed().split(QLatin1Char('\n'));
    return lines.isEmpty() ? QString() : lines.last();
}

struct Intrinsics
{
    cv::Matx33d K;
    cv::Vec<double, 8> dist = cv::Vec<double, 8>::all(0.0);
    double rms = -1.0;
    bool ok = false;
};

Intrinsics readIntrinsics(const QString& path)
{
    Intrinsics in;
    cv::FileStorage fs;
    cv::Mat K, kc;
    if (!vantiro::openStorageFile(path, fs).ok() || !vantiro::readStorageMatrix(fs["K"], K) ||
        !vantiro::readStorageMatrix(fs["kc"], kc) || K.rows != 3 || K.cols != 3 || K.depth() != CV_64F ||
        kc.depth() != CV_64F)
        return in;
    in.K = cv::Matx33d(K);
    kc = kc.reshape(1, 1);
    for (int i = 0; i < std::min(8, kc.cols); ++i)
        in.dist[i] = kc.at<double>(i);
    if (!fs["reprojErrRMS"].empty())
        fs["reprojErrRMS"] >> in.rms;
    in.ok = true;
    return in;
}

// The project (world Cam0) a calibration command wrote; an unread one when the command failed.
ProjectReadResult readProjectAfter(const Step& run, const QString& workdir)
{
    ProjectReadResult project;
    if (run.status != 0)
        return project;
    try {
        project = readProjectFile(proposedProjectPath(workdir, QStringLiteral("Cam0")));
    } catch (const cv::Exception&) {
        project.status = ProjectReadResult::Status::InvalidStructure;
    }
    return project;
}

// Where the views put the target in a camera's image: the hulls of the projected inner corners.
cv::Mat coverage(const CameraModel& camera, const vantiro::synth::BoardPattern& board,
                 const std::vector<vantiro::synth::TargetPose>& poses)
{
    cv::Mat mask = cv::Mat::zeros(camera.size, CV_8UC1);
    for (const vantiro::synth::TargetPose& pose : poses) {
        std::vector<cv::Point> points;
        for (const auto& c : vantiro::synth::projectCorners(camera, board, pose, 0.0))
            points.emplace_back(cvRound(c.image.x), cvRound(c.image.y));
        if (points.size() < 3)
            continue;
        std::vector<cv::Point> hull;
        cv::convexHull(points, hull);
        cv::fillConvexPoly(mask, hull, cv::Scalar(255));
    }
    return mask;
}

struct Mapping
{
    double covered = 1e9; // largest error where the views cover the image
    double whole = 1e9;   // largest error anywhere in the image
};

// How far the estimated distortion moves image points from where the true distortion puts them,
// over a grid of pixels: the whole lens model in one number, in pixels. Beyond the area the views
// cover a calibration can only extrapolate, so that area is reported on its own.
Mapping distortionError(const CameraModel& truth, const Intrinsics& estimate, const cv::Mat& covered)
{
    CameraModel model = truth;
    model.dist = estimate.dist;
    Mapping m;
    m.covered = m.whole = 0.0;
    const int step = std::max(4, truth.size.width / 80);
    for (int y = 0; y < truth.size.height; y += step)
        for (int x = 0; x < truth.size.width; x += step) {
            cv::Vec3d ray;
            if (!vantiro::synth::pixelToRay(truth, cv::Point2d(x, y), ray))
                continue;
            const cv::Point2d xy(ray[0] / ray[2], ray[1] / ray[2]);
            const cv::Point2d d = vantiro::synth::distortNormalized(model, xy) - vantiro::synth::distortNormalized(truth, xy);
            const double e = std::hypot(d.x * truth.K(0, 0), d.y * truth.K(1, 1));
            m.whole = std::max(m.whole, e);
            if (covered.at<uint8_t>(y, x))
                m.covered = std::max(m.covered, e);
        }
    return m;
}

QString row(const QString& name, double estimate, double truth, int decimals)
{
    const double error = estimate - truth;
    return QStringLiteral("      %1%2%3%4\n")
        .arg(name.leftJustified(12))
        .arg(QString::number(estimate, 'f', decimals), 14)
        .arg(QString::number(truth, 'f', decimals), 14)
        .arg((error >= 0 ? QStringLiteral("+") : QString()) + QString::number(error, 'f', decimals), 14);
}

QString header()
{
    return QStringLiteral("      %1%2%3%4\n")
        .arg(QStringLiteral("parameter").leftJustified(12))
        .arg(QStringLiteral("estimate"), 14)
        .arg(QStringLiteral("truth"), 14)
        .arg(QStringLiteral("error"), 14);
}

// The rows of one camera and the checks on it; returns the failed checks.
QStringList cameraReport(const QString& prefix, const CameraModel& truth, const Intrinsics& est, const cv::Mat& covered,
                         Console& console)
{
    QString text;
    const char* k[] = {"k1", "k2", "p1", "p2", "k3"};
    text += row(prefix + QStringLiteral("fx"), est.K(0, 0), truth.K(0, 0), 3);
    text += row(prefix + QStringLiteral("fy"), est.K(1, 1), truth.K(1, 1), 3);
    text += row(prefix + QStringLiteral("cx"), est.K(0, 2), truth.K(0, 2), 3);
    text += row(prefix + QStringLiteral("cy"), est.K(1, 2), truth.K(1, 2), 3);
    for (int i = 0; i < 5; ++i)
        text += row(prefix + QLatin1String(k[i]), est.dist[i], truth.dist[i], 5);
    const Mapping mapping = distortionError(truth, est, covered);
    text += QStringLiteral("      %1distortion error: largest %2 px where the views cover the image, %3 px over "
                           "the whole image\n")
                .arg(prefix)
                .arg(QString::number(mapping.covered, 'f', 3), QString::number(mapping.whole, 'f', 3));
    console.print(text);

    QStringList failed;
    const double fx = std::abs(est.K(0, 0) / truth.K(0, 0) - 1.0), fy = std::abs(est.K(1, 1) / truth.K(1, 1) - 1.0);
    if (!(std::max(fx, fy) < kMaxFocalError))
        failed << QStringLiteral("%1focal length off by %2 %").arg(prefix).arg(100.0 * std::max(fx, fy), 0, 'f', 2);
    const double pp = std::hypot(est.K(0, 2) - truth.K(0, 2), est.K(1, 2) - truth.K(1, 2));
    if (!(pp < kMaxPrincipalPointError))
        failed << QStringLiteral("%1principal point off by %2 px").arg(prefix).arg(pp, 0, 'f', 2);
    if (!(mapping.covered < kMaxDistortionError))
        failed << QStringLiteral("%1distortion off by %2 px").arg(prefix).arg(mapping.covered, 0, 'f', 2);
    return failed;
}

void verdict(Console& console, const QString& module, const QStringList& failed, const QString& passText, int& passes)
{
    if (failed.isEmpty()) {
        ++passes;
        console.log().append(QStringLiteral("      PASS"), vantiro::logcolor::Green, true);
        console.print(QStringLiteral("  %1: %2\n\n").arg(module, passText));
    } else {
        console.log().append(QStringLiteral("      FAIL"), vantiro::logcolor::Red, true);
        console.print(QStringLiteral("  %1: %2\n\n").arg(module, failed.join(QStringLiteral("; "))));
    }
}

struct Disparity
{
    int pairs = 0;   // pairs in which the target was found again on both sides
    int corners = 0; // corners matched by id
    double mean = 0.0, rms = 0.0, largest = 0.0;
};

// The target found again in rectified pairs (image(pair, sensor) gives them, grey), corners matched
// by id: how far apart their rows are.
Disparity verticalDisparity(int pairs, const std::function<cv::Mat(int, int)>& image, const MainWindowSettings& target)
{
    Disparity d;
    double sum = 0.0, squares = 0.0;
    for (int i = 0; i < pairs; ++i) {
        TargetCornerList corners[2];
        bool found = true;
        for (int k = 0; k < 2 && found; ++k) {
            try {
                const cv::Mat grey = image(i, k);
                found = !grey.empty() && detectTarget(grey, target, corners[k]);
            } catch (const cv::Exception&) {
                found = false;
            }
        }
        std::vector<cv::Point3f> object;
        std::vector<cv::Point2f> points[2];
        if (!found || vantiro::stereo::pairCornersById(corners[0], corners[1], object, points[0], points[1]) == 0)
            continue;
        ++d.pairs;
        for (size_t j = 0; j < object.size(); ++j) {
            const double dy = std::abs(double(points[0][j].y) - double(points[1][j].y));
            sum += dy;
            squares += dy * dy;
            d.largest = std::max(d.largest, dy);
            ++d.corners;
        }
    }
    if (d.corners > 0) {
        d.mean = sum / d.corners;
        d.rms = std::sqrt(squares / d.corners);
    }
    return d;
}

QString disparityText(const Disparity& d)
{
    return QStringLiteral("%1 pairs, %2 corners: vertical disparity mean %3 px, RMS %4 px, largest %5 px")
        .arg(d.pairs)
        .arg(d.corners)
        .arg(d.mean, 0, 'f', 4)
        .arg(d.rms, 0, 'f', 4)
        .arg(d.largest, 0, 'f', 4);
}

double rotationAngleDegrees(const cv::Matx33d& a, const cv::Matx33d& b)
{
    cv::Vec3d r;
    cv::Rodrigues(a.t() * b, r);
    return cv::norm(r) * 180.0 / CV_PI;
}


// Corner rows of a written corner file; empty when there is none (a set the job left out).
std::vector<cv::Point2f> cornerRows(const QString& path)
{
    std::vector<cv::Point2f> points;
    if (!QFileInfo::exists(path))
        return points;
    try {
        cv::FileStorage fs(QFile::encodeName(path).toStdString(), cv::FileStorage::READ);
        cv::Mat m;
        if (fs.isOpened())
            fs["corners"] >> m;
        if (m.type() == CV_32FC2)
            points.assign(m.begin<cv::Point2f>(), m.end<cv::Point2f>());
    } catch (const cv::Exception&) {
    }
    return points;
}

struct ErrorStats
{
    int count = 0;
    double sum = 0.0, squares = 0.0, max = 0.0;

    void add(double e)
    {
        ++count;
        sum += e;
        squares += e * e;
        max = std::max(max, e);
    }
    double mean() const { return count ? sum / count : 0.0; }
    double rms() const { return count ? std::sqrt(squares / count) : 0.0; }
};

struct CornerErrors
{
    ErrorStats projector;     // all projector corners
    ErrorStats edge;          // those whose window (10 x 10 camera px) is partly unlit
    ErrorStats camera;        // the camera corners of the same rows
};

// Each projector corner written against where the projector really shows the target corner that the
// camera corner of the same row belongs to (the true corner within 2 px of it).
CornerErrors projectorCornerErrors(const QString& workdir, const QString& data, const Truth& truth,
                                   const vantiro::synth::BoardPattern& board)
{
    CornerErrors e;
    for (qsizetype s = 0; s < truth.projectorSets.size() && size_t(s) < truth.projectorPoses.size(); ++s) {
        const QString n = QString::number(s);
        const auto camera = cornerRows(workdir + QStringLiteral("/ExtrinsicCalibrationData/Cam0/cam_view_") + n + ".yml");
        const auto projector = cornerRows(workdir + QStringLiteral("/ExtrinsicCalibrationData/Proj/proj_view_") + n + ".yml");
        // NaN where the projector does not light the camera pixel.
        const cv::Mat lit = cv::imread(QFile::encodeName(data + QLatin1Char('/') + truth.projectorTruthX.value(s)).toStdString(),
                                       cv::IMREAD_UNCHANGED);
        const vantiro::synth::TargetPose& pose = truth.projectorPoses[size_t(s)];
        const auto corners = vantiro::synth::projectCorners(truth.captureCamera, board, pose, 0.0);
        for (size_t i = 0; i < camera.size() && i < projector.size(); ++i) {
            for (const auto& c : corners) {
                const double cameraError = std::hypot(c.image.x - camera[i].x, c.image.y - camera[i].y);
                if (cameraError > 2.0)
                    continue;
                const cv::Vec3d inCamera = pose.R * cv::Vec3d(c.board.x, c.board.y, 0.0) + pose.t;
                const cv::Point2d p =
                    vantiro::synth::projectToPixel(truth.projector, truth.projectorR * inCamera + truth.projectorT);
                const double d = std::hypot(p.x - projector[i].x, p.y - projector[i].y);
                e.projector.add(d);
                e.camera.add(cameraError);
                const cv::Rect window(int(camera[i].x) - 5, int(camera[i].y) - 5, 10, 10);
                if (lit.type() == CV_32FC1 && (window & cv::Rect(0, 0, lit.cols, lit.rows)) == window) {
                    const cv::Mat w = lit(window);
                    if (cv::countNonZero(w == w) < w.rows * w.cols) // NaN compares unequal
                        e.edge.add(d);
                }
                break;
            }
        }
    }
    return e;
}

} // namespace

int runDemo(const QStringList& arguments, Console& console)
{
    ArgParser parser(QStringLiteral("demo"), QString(),
                     QStringLiteral("Generates a synthetic data set (vantiro-cli synth), runs the intrinsic and stereo\n"
                                    "calibrations, the stereo rectification, the Gray-code decoding, the camera-projector\n"
                                    "calibration and the hand-eye and tool-flange calibrations on it with the tool's own\n"
                                    "commands, and compares every estimate with the ground truth. Exit status 1 when a\n"
                                    "module fails its check. Each command's full output is kept in its .log file."));
    parser.addOption(QStringLiteral("workdir"), QStringLiteral("DIR"),
                     QStringLiteral("A fresh folder for the run (missing or empty; default: a new folder under\n"
                                    "the system's temporary directory, kept afterwards)."));
    parser.addOption(QStringLiteral("target"), QStringLiteral("TARGET"),
                     QStringLiteral("The target (default chessboard:10x7:25)."));
    parser.addOption(QStringLiteral("poses"), QStringLiteral("N"),
                     QStringLiteral("Views and pairs of the data set (4..50, default 8)."));
    parser.addOption(QStringLiteral("seed"), QStringLiteral("N"), QStringLiteral("Random seed of the data set."));
    parser.addOption(QStringLiteral("camera"), QStringLiteral("MODEL"),
                     QStringLiteral("The primary camera, as for synth (default: radial, 640x480)."));
    parser.addOption(QStringLiteral("projector"), QStringLiteral("WxH"),
                     QStringLiteral("Projector resolution of the Gray-code captures (default 256x192)."));
    parser.addOption(QStringLiteral("projector-sets"), QStringLiteral("N"),
                     QStringLiteral("Gray-code capture sets, one target pose each (4..50, default 8)."));
    parser.addOption(QStringLiteral("projector-light"), QStringLiteral("LIGHT"),
                     QStringLiteral("Light of the captures, as for synth (default dark)."));
    if (!parser.parse(arguments)) {
        console.print(parser.helpText());
        return ExitOk;
    }
    const QString target = formatTargetArgument(
        parseTargetArgument(parser.value(QStringLiteral("target"), QStringLiteral("chessboard:10x7:25"))));
    const int poses = parser.intValue(QStringLiteral("poses"), 8, 4, 50);
    const int seed = parser.intValue(QStringLiteral("seed"), 1, 0, 1000000000);

    QString root;
    if (parser.isSet(QStringLiteral("workdir"))) {
        root = QFileInfo(parser.value(QStringLiteral("workdir"))).absoluteFilePath();
        if (QFileInfo::exists(root) &&
            !QDir(root).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).isEmpty())
            throw UsageError(QStringLiteral("the demo needs a fresh folder; %1 is not empty").arg(root));
        if (!QDir().mkpath(root))
            throw RunError(QStringLiteral("cannot create %1").arg(root));
    } else {
        QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/vantiro-demo-XXXXXX"));
        if (!dir.isValid())
            throw RunError(QStringLiteral("cannot create a folder under %1").arg(QDir::tempPath()));
        dir.setAutoRemove(false);
        root = dir.path();
    }
    const QString data = root + QStringLiteral("/data");
    const cv::Size projectorSize = parseResolution(parser.value(QStringLiteral("projector"), QStringLiteral("256x192")),
                                                   QStringLiteral("--projector"));
    const QString projector = QStringLiteral("%1x%2").arg(projectorSize.width).arg(projectorSize.height);
    const int projectorSets = parser.intValue(QStringLiteral("projector-sets"), 8, 4, 50);
    QElapsedTimer total;
    total.start();

    console.log().append(QStringLiteral("Vantiro demo: synthetic data, calibrated and compared with the ground truth\n"),
                         QString(), true);
    console.print(QStringLiteral("Working directory: %1\n\n").arg(root));
    const int steps = 8;
    int modules = steps - 1;
    int passes = 0;

    // 1. The data set.
    QStringList synthArgs = {QStringLiteral("synth"),  QStringLiteral("--output"),   data,
                                   QStringLiteral("--target"), target,                     QStringLiteral("--poses"),
                                   QString::number(poses),  QStringLiteral("--projector"), projector,
                                   QStringLiteral("--seed"), QString::number(seed)};
    synthArgs << QStringLiteral("--projector-sets") << QString::number(projectorSets);
    for (const char* option : {"camera", "projector-light"})
        if (parser.isSet(QLatin1String(option)))
            synthArgs << QStringLiteral("--") + QLatin1String(option) << parser.value(QLatin1String(option));
    const Step synth = runTool(synthArgs, root + QStringLiteral("/synth.log"), console, QStringLiteral("Generating data"),
                               1, steps);
    if (synth.status != 0)
        throw RunError(QStringLiteral("generating the data set failed: %1 (see %2)").arg(tail(synth.log), synth.log));
    const Truth truth = readTruth(data + QStringLiteral("/truth.yml"));
    const vantiro::synth::BoardPattern board(parseTargetArgument(truth.target));
    console.log().append(QStringLiteral("[1/%1] Data set").arg(steps), QString(), true);
    console.print(QStringLiteral(": %1, %2x%3 px, %4 views, %5 pairs, %6 Gray-code set(s) for a %7 projector (%8)\n"
                                 "      vantiro-cli %9\n\n")
                      .arg(target)
                      .arg(truth.camera[0].size.width)
                      .arg(truth.camera[0].size.height)
                      .arg(truth.intrinsicImages.size())
                      .arg(truth.primaryImages.size())
                      .arg(truth.projectorSets.size())
                      .arg(projector, seconds(synth.ms), quoted(synthArgs)));

    // 2. Intrinsic calibration of the primary camera.
    {
        const QString workdir = root + QStringLiteral("/intrinsic");
        QDir().mkpath(workdir);
        const QStringList args = {QStringLiteral("intrinsic"), QStringLiteral("--workdir"), workdir,
                                  QStringLiteral("--target"),  target,                      QStringLiteral("--name"),
                                  QStringLiteral("Cam0"),      data + QStringLiteral("/intrinsic/view_*.png")};
        const Step run = runTool(args, workdir + QStringLiteral("/intrinsic.log"), console,
                                 QStringLiteral("Intrinsic calibration"), 2, steps);
        console.log().append(QStringLiteral("[2/%1] Intrinsic calibration").arg(steps), QString(), true);
        console.print(QStringLiteral(" of Cam0 from %1 views (%2)\n      vantiro-cli %3\n")
                          .arg(truth.intrinsicImages.size())
                          .arg(seconds(run.ms), quoted(args)));
        QStringList failed;
        const Intrinsics est = readIntrinsics(workdir + QStringLiteral("/Cam0.intrinsics.yml"));
        if (run.status != 0 || !est.ok) {
            failed << QStringLiteral("the command failed (exit %1): %2").arg(run.status).arg(tail(run.log));
        } else {
            console.print(header());
            failed << cameraReport(QString(), truth.camera[0], est, coverage(truth.camera[0], board, truth.intrinsicPoses),
                                   console);
            console.print(QStringLiteral("      RMS reprojection error %1 px\n").arg(est.rms, 0, 'f', 4));
            if (!(est.rms < kMaxRms))
                failed << QStringLiteral("RMS %1 px").arg(est.rms, 0, 'f', 3);
        }
        verdict(console, QStringLiteral("intrinsic"), failed,
                QStringLiteral("focal length within %1 %, principal point within %2 px, distortion within %3 px "
                               "where the views cover the image, RMS below %4 px")
                    .arg(100.0 * kMaxFocalError)
                    .arg(kMaxPrincipalPointError)
                    .arg(kMaxDistortionError)
                    .arg(kMaxRms),
                passes);
    }

    // 3. Stereo calibration of both cameras.
    {
        const QString workdir = root + QStringLiteral("/stereo");
        QDir().mkpath(workdir);
        const QStringList args = {QStringLiteral("stereo"),
                                  QStringLiteral("--workdir"),
                                  workdir,
                                  QStringLiteral("--target"),
                                  target,
                                  QStringLiteral("--primary-images"),
                                  data + QStringLiteral("/stereo/primary_*.png"),
                                  QStringLiteral("--secondary-images"),
                                  data + QStringLiteral("/stereo/secondary_*.png"),
                                  // Views both cameras see stay near the image centres, which leaves k3 free
                                  // to run off towards the corners; the truth has none.
                                  QStringLiteral("--fix"),
                                  QStringLiteral("k3"),
                                  // Rectified copies of the pairs for the next check. The secondary is aimed at
                                  // the scene; cropping to valid pixels would cut the boards.
                                  QStringLiteral("--rectify"),
                                  QStringLiteral("--alpha"),
                                  QStringLiteral("1"),
                                  QStringLiteral("--write-rectified")};
        const Step run = runTool(args, workdir + QStringLiteral("/stereo.log"), console,
                                 QStringLiteral("Stereo calibration"), 3, steps);
        console.log().append(QStringLiteral("[3/%1] Stereo calibration").arg(steps), QString(), true);
        console.print(QStringLiteral(" of Cam0 and Cam1 from %1 pairs (%2)\n      vantiro-cli %3\n")
                          .arg(truth.primaryImages.size())
                          .arg(seconds(run.ms), quoted(args)));
        QStringList failed;
        const Intrinsics cam0 = readIntrinsics(workdir + QStringLiteral("/Cam0.intrinsics.yml"));
        const Intrinsics cam1 = readIntrinsics(workdir + QStringLiteral("/Cam1.intrinsics.yml"));
        const ProjectReadResult project = readProjectAfter(run, workdir);
        if (run.status != 0 || !cam0.ok || !cam1.ok || project.status != ProjectReadResult::Status::Ok ||
            project.objects.size() != 2) {
            failed << QStringLiteral("the command failed (exit %1): %2").arg(run.status).arg(tail(run.log));
        } else {
            console.print(header());
            std::vector<vantiro::synth::TargetPose> inSecondary;
            for (const vantiro::synth::TargetPose& p : truth.stereoPoses) {
                vantiro::synth::TargetPose q;
                q.R = truth.R * p.R;
                q.t = truth.R * p.t + truth.T;
                inSecondary.push_back(q);
            }
            failed << cameraReport(QStringLiteral("Cam0 "), truth.camera[0], cam0,
                                   coverage(truth.camera[0], board, truth.stereoPoses), console);
            failed << cameraReport(QStringLiteral("Cam1 "), truth.camera[1], cam1,
                                   coverage(truth.camera[1], board, inSecondary), console);
            // The project holds Cam1's pose in Cam0's frame; the truth the same as R^T, -R^T T.
            const cv::Matx33d trueR = truth.R.t();
            const cv::Vec3d trueT = -(truth.R.t() * truth.T);
            const ProjectObject& secondary = project.objects[1];
            const cv::Vec3d t(secondary.t(0), secondary.t(1), secondary.t(2));
            QString text;
            text += row(QStringLiteral("Cam1 x [mm]"), t[0], trueT[0], 3);
            text += row(QStringLiteral("Cam1 y [mm]"), t[1], trueT[1], 3);
            text += row(QStringLiteral("Cam1 z [mm]"), t[2], trueT[2], 3);
            const double angle = rotationAngleDegrees(secondary.R, trueR);
            const double translation = cv::norm(t - trueT) / cv::norm(trueT);
            text += QStringLiteral("      rotation off by %1 deg, position off by %2 mm (%3 % of the baseline)\n")
                        .arg(angle, 0, 'f', 4)
                        .arg(cv::norm(t - trueT), 0, 'f', 3)
                        .arg(100.0 * translation, 0, 'f', 3);
            text += QStringLiteral("      RMS reprojection error Cam0 %1 px, Cam1 %2 px\n")
                        .arg(cam0.rms, 0, 'f', 4)
                        .arg(cam1.rms, 0, 'f', 4);
            console.print(text);
            if (!(angle < kMaxRotationError))
                failed << QStringLiteral("rotation off by %1 deg").arg(angle, 0, 'f', 3);
            if (!(translation < kMaxTranslationError))
                failed << QStringLiteral("position off by %1 %").arg(100.0 * translation, 0, 'f', 2);
            if (!(std::max(cam0.rms, cam1.rms) < kMaxRms))
                failed << QStringLiteral("RMS %1 px").arg(std::max(cam0.rms, cam1.rms), 0, 'f', 3);
        }
        verdict(console, QStringLiteral("stereo"), failed,
                QStringLiteral("both cameras as above, rotation within %1 deg, position within %2 % of the baseline")
                    .arg(kMaxRotationError)
                    .arg(100.0 * kMaxTranslationError),
                passes);
    }

    // 4. Rectification of the stereo pairs with the calibration just made.
    {
        console.log().append(QStringLiteral("[4/%1] Stereo rectification").arg(steps), QString(), true);
        console.print(QStringLiteral(" of the %1 pairs with that calibration, the target found again in the rectified "
                                     "images\n")
                          .arg(truth.primaryImages.size()));
        QStringList failed;
        const QString rectified = data + QStringLiteral("/stereo/Rectified");
        const QString file = root + QStringLiteral("/stereo/Cam0_Cam1.rectification.yml");
        const MainWindowSettings target = parseTargetArgument(truth.target);
        const int pairs = int(std::min(truth.primaryImages.size(), truth.secondaryImages.size()));
        const QStringList* lists[2] = {&truth.primaryImages, &truth.secondaryImages};
        const Disparity d = verticalDisparity(
            pairs,
            [&](int i, int k) {
                const QString name = QFileInfo((*lists[k])[i]).fileName();
                return cv::imread(QFile::encodeName(rectified + QLatin1Char('/') + name).toStdString(),
                                  cv::IMREAD_GRAYSCALE);
            },
            target);
        if (!QFileInfo(file).isFile() || d.pairs == 0) {
            failed << QStringLiteral("no rectification file or no rectified pair with the target in both images");
        } else {
            // The same pairs rectified with the true rig: what the detector alone leaves.
            vantiro::stereo::RectificationInput in;
            for (int k = 0; k < 2; ++k) {
                in.K[k] = cv::Mat(truth.camera[k].K, true);
                in.distortion[k] = truth.camera[k].distCoeffs();
                in.imageSize[k] = truth.camera[k].size;
            }
            in.R = cv::Mat(truth.R, true);
            in.T = cv::Mat(truth.T, true);
            vantiro::stereo::Rectification ideal;
            vantiro::RecordingLogSink quiet;
            const QString truthFolder = root + QStringLiteral("/stereo/truth");
            QDir().mkpath(truthFolder);
            vantiro::stereo::RectificationOptions options;
            options.alpha = 1.0;
            const bool haveIdeal =
                vantiro::stereo::rectifyStereo(in, options, truthFolder, {}, ideal, quiet) ==
                vantiro::stereo::RectificationStatus::Rectified;
            const Disparity reference = !haveIdeal ? Disparity() : verticalDisparity(
                pairs,
                [&](int i, int k) {
                    const cv::Mat raw = cv::imread(
                        QFile::encodeName(data + QLatin1Char('/') + (*lists[k])[i]).toStdString(), cv::IMREAD_GRAYSCALE);
                    return raw.empty() ? raw : vantiro::stereo::rectifyImage(raw, ideal, k);
                },
                target);
            console.print(QStringLiteral("      rectification file %1\n      estimated rig: %2\n      true rig:      %3\n")
                              .arg(file, disparityText(d), disparityText(reference)));
            if (2 * d.pairs < pairs)
                failed << QStringLiteral("the target was found again in only %1 pairs").arg(d.pairs);
            if (!(d.mean < kMaxMeanDisparity))
                failed << QStringLiteral("mean vertical disparity %1 px").arg(d.mean, 0, 'f', 3);
            if (!(d.largest < kMaxDisparity))
                failed << QStringLiteral("largest vertical disparity %1 px").arg(d.largest, 0, 'f', 3);
        }
        verdict(console, QStringLiteral("rectification"), failed,
                QStringLiteral("the target found again in most pairs, corresponding corners on the same row: mean "
                               "below %1 px, none beyond %2 px")
                    .arg(kMaxMeanDisparity)
                    .arg(kMaxDisparity),
                passes);
    }

    // 5. Gray-code decoding of the first capture set.
    {
        const QString workdir = root + QStringLiteral("/decode");
        QDir().mkpath(workdir);
        const QStringList args = {QStringLiteral("decode"),  QStringLiteral("--projector"), projector,
                                  QStringLiteral("--workdir"), workdir,                     QStringLiteral("--output"),
                                  workdir,                   data + QLatin1Char('/') + truth.projectorSets.value(0)};
        const Step run = runTool(args, workdir + QStringLiteral("/decode.log"), console,
                                 QStringLiteral("Gray-code decoding"), 5, steps);
        console.log().append(QStringLiteral("[5/%1] Gray-code decoding").arg(steps), QString(), true);
        console.print(QStringLiteral(" of one capture set (%1)\n      vantiro-cli %2\n").arg(seconds(run.ms), quoted(args)));
        QStringList failed;
        const auto load = [](const QString& path, int flags) {
            return cv::imread(QFile::encodeName(path).toStdString(), flags);
        };
        const cv::Mat dx = load(workdir + QStringLiteral("/decoded_x.png"), cv::IMREAD_UNCHANGED);
        const cv::Mat dy = load(workdir + QStringLiteral("/decoded_y.png"), cv::IMREAD_UNCHANGED);
        const cv::Mat tx = load(data + QLatin1Char('/') + truth.projectorTruthX.value(0), cv::IMREAD_UNCHANGED);
        const cv::Mat ty = load(data + QLatin1Char('/') + truth.projectorTruthY.value(0), cv::IMREAD_UNCHANGED);
        if (run.status != 0 || dx.type() != CV_16UC1 || dy.type() != CV_16UC1 || tx.type() != CV_32FC1 ||
            ty.type() != CV_32FC1 || dx.size() != tx.size()) {
            failed << QStringLiteral("the command failed (exit %1): %2").arg(run.status).arg(tail(run.log));
        } else {
            // Lit: the truth knows the projector pixel; unlit: at least 2 px away from any lit pixel.
            cv::Mat lit = (tx == tx);
            cv::Mat nearLit;
            cv::dilate(lit, nearLit, cv::Mat::ones(5, 5, CV_8UC1));
            long litCount = 0, correct = 0, unlit = 0, rejected = 0;
            for (int r = 0; r < tx.rows; ++r)
                for (int c = 0; c < tx.cols; ++c) {
                    const bool undecoded = dx.at<uint16_t>(r, c) == 65535 || dy.at<uint16_t>(r, c) == 65535;
                    if (lit.at<uint8_t>(r, c)) {
                        ++litCount;
                        const double ex = std::abs(dx.at<uint16_t>(r, c) - std::round(tx.at<float>(r, c)));
                        const double ey = std::abs(dy.at<uint16_t>(r, c) - std::round(ty.at<float>(r, c)));
                        correct += !undecoded && ex <= 1.0 && ey <= 1.0;
                    } else if (!nearLit.at<uint8_t>(r, c)) {
                        ++unlit;
                        rejected += undecoded;
                    }
                }
            const double decodedShare = litCount ? double(correct) / double(litCount) : 0.0;
            const double rejectedShare = unlit ? double(rejected) / double(unlit) : 1.0;
            console.print(QStringLiteral("      %1 of %2 lit board pixels decoded to the true projector pixel "
                                         "(+-1): %3 %\n      %4 of %5 unlit pixels left undecoded: %6 %\n")
                              .arg(correct)
                              .arg(litCount)
                              .arg(100.0 * decodedShare, 0, 'f', 2)
                              .arg(rejected)
                              .arg(unlit)
                              .arg(100.0 * rejectedShare, 0, 'f', 2));
            if (litCount == 0 || decodedShare < kMinDecoded)
                failed << QStringLiteral("only %1 % of the lit pixels decoded correctly").arg(100.0 * decodedShare, 0, 'f', 1);
            if (rejectedShare < kMinRejected)
                failed << QStringLiteral("%1 % of the unlit pixels decoded").arg(100.0 * (1.0 - rejectedShare), 0, 'f', 1);
        }
        verdict(console, QStringLiteral("decoding"), failed,
                QStringLiteral("at least %1 % of the lit pixels correct, at least %2 % of the unlit ones rejected")
                    .arg(100.0 * kMinDecoded)
                    .arg(100.0 * kMinRejected),
                passes);
    }

    // 6. Camera-projector calibration from the Gray-code captures.
    {
        const QString workdir = data + QStringLiteral("/projector");
        const QStringList args = {QStringLiteral("camproj"),     QStringLiteral("--workdir"),    workdir,
                                  QStringLiteral("--settings"),  data,                           QStringLiteral("--projector"),
                                  projector,                     QStringLiteral("--camera-name"), QStringLiteral("Cam0"),
                                  QStringLiteral("--projector-name"), QStringLiteral("Proj"),    QStringLiteral("--calibrate")};
        const Step run = runTool(args, workdir + QStringLiteral("/camproj.log"), console,
                                 QStringLiteral("Camera-projector calibration"), 6, steps);
        console.log().append(QStringLiteral("[6/%1] Camera-projector calibration").arg(steps), QString(), true);
        console.print(QStringLiteral(" of Cam0 and Proj from %1 capture sets (%2)\n      vantiro-cli %3\n")
                          .arg(truth.projectorSets.size())
                          .arg(seconds(run.ms), quoted(args)));
        QStringList failed;
        const Intrinsics proj = readIntrinsics(workdir + QStringLiteral("/Proj.intrinsics.yml"));
        const ProjectReadResult project = readProjectAfter(run, workdir);
        if (run.status != 0 || !proj.ok || project.status != ProjectReadResult::Status::Ok || project.objects.size() != 2) {
            failed << QStringLiteral("the command failed (exit %1): %2").arg(run.status).arg(tail(run.log));
        } else {
            const CornerErrors errors = projectorCornerErrors(workdir, data, truth, board);
            const ErrorStats& corners = errors.projector;
            QString text = QStringLiteral("      %1 projector corners against the truth: mean %2, RMS %3, max %4 px; %5 of "
                                          "them at the edge of the lit area: mean %6, max %7 px\n"
                                          "      their camera corners: mean %8, max %9 px\n")
                               .arg(corners.count)
                               .arg(corners.mean(), 0, 'f', 3)
                               .arg(corners.rms(), 0, 'f', 3)
                               .arg(corners.max, 0, 'f', 3)
                               .arg(errors.edge.count)
                               .arg(errors.edge.mean(), 0, 'f', 3)
                               .arg(errors.edge.max, 0, 'f', 3)
                               .arg(errors.camera.mean(), 0, 'f', 3)
                               .arg(errors.camera.max, 0, 'f', 3);
            text += header();
            const CameraModel& lens = truth.projector;
            text += row(QStringLiteral("Proj fx"), proj.K(0, 0), lens.K(0, 0), 3);
            text += row(QStringLiteral("Proj fy"), proj.K(1, 1), lens.K(1, 1), 3);
            text += row(QStringLiteral("Proj cx"), proj.K(0, 2), lens.K(0, 2), 3);
            text += row(QStringLiteral("Proj cy"), proj.K(1, 2), lens.K(1, 2), 3);
            // The project holds the projector's pose in the camera's frame.
            const cv::Matx33d trueR = truth.projectorR.t();
            const cv::Vec3d trueT = -(truth.projectorR.t() * truth.projectorT);
            const ProjectObject& p = project.objects[1];
            const cv::Vec3d t(p.t(0), p.t(1), p.t(2));
            text += row(QStringLiteral("Proj x [mm]"), t[0], trueT[0], 3);
            text += row(QStringLiteral("Proj y [mm]"), t[1], trueT[1], 3);
            text += row(QStringLiteral("Proj z [mm]"), t[2], trueT[2], 3);
            const double angle = rotationAngleDegrees(p.R, trueR);
            const double position = cv::norm(t - trueT);
            const double focal =
                std::max(std::abs(proj.K(0, 0) / lens.K(0, 0) - 1.0), std::abs(proj.K(1, 1) / lens.K(1, 1) - 1.0));
            text += QStringLiteral("      rotation off by %1 deg, position off by %2 mm (baseline %3 mm, its length off "
                                   "by %4 mm), focal length off by %5 %, RMS %6 px\n")
                        .arg(angle, 0, 'f', 4)
                        .arg(position, 0, 'f', 3)
                        .arg(cv::norm(trueT), 0, 'f', 1)
                        .arg(cv::norm(t) - cv::norm(trueT), 0, 'f', 3)
                        .arg(100.0 * focal, 0, 'f', 3)
                        .arg(proj.rms, 0, 'f', 4);
            const auto met = [](bool ok) { return ok ? QStringLiteral("met") : QStringLiteral("missed"); };
            text += QStringLiteral("      aims: focal length within 0.1 % %1, projector position within 0.1 mm %2, "
                                   "baseline length within 0.1 mm %3, rotation within 0.05 deg %4\n")
                        .arg(met(focal < 0.001), met(position < 0.1),
                             met(std::abs(cv::norm(t) - cv::norm(trueT)) < 0.1), met(angle < 0.05));
            console.print(text);

            // The window's path: after the hand-over the stereo module reads the written views' corner
            // files. It must come to the same pose.
            const QString viaFiles = root + QStringLiteral("/camproj-files");
            QDir().mkpath(viaFiles);
            const QString views = workdir + QStringLiteral("/ExtrinsicCalibrationData/");
            const QStringList stereoArgs = {QStringLiteral("stereo"),          QStringLiteral("--workdir"),
                                            viaFiles,                          QStringLiteral("--settings"),
                                            data,                              QStringLiteral("--secondary-name"),
                                            QStringLiteral("Proj"),            QStringLiteral("--primary-images"),
                                            views + QStringLiteral("Cam0/cam_view_*.png"),
                                            QStringLiteral("--secondary-images"),
                                            views + QStringLiteral("Proj/proj_view_*.png")};
            const Step filesRun = runTool(stereoArgs, viaFiles + QStringLiteral("/stereo.log"), console,
                                          QStringLiteral("Camera-projector calibration"), 6, steps);
            const ProjectReadResult filesProject = readProjectAfter(filesRun, viaFiles);
            if (filesProject.status != ProjectReadResult::Status::Ok || filesProject.objects.size() != 2) {
                failed << QStringLiteral("the stereo module on the corner files failed (exit %1): %2")
                              .arg(filesRun.status)
                              .arg(tail(filesRun.log));
            } else {
                const ProjectObject& f = filesProject.objects[1];
                const double filesAngle = rotationAngleDegrees(f.R, trueR);
                const double filesPosition = cv::norm(cv::Vec3d(f.t(0), f.t(1), f.t(2)) - trueT);
                console.print(QStringLiteral("      through the corner files, as the window goes on (vantiro-cli %1):\n"
                                             "      rotation off by %2 deg, position off by %3 mm\n")
                                  .arg(quoted(stereoArgs))
                                  .arg(filesAngle, 0, 'f', 4)
                                  .arg(filesPosition, 0, 'f', 3));
                if (!(filesAngle < kMaxProjectorRotationError))
                    failed << QStringLiteral("through the corner files, rotation off by %1 deg").arg(filesAngle, 0, 'f', 3);
                if (!(filesPosition < kMaxProjectorPositionError * cv::norm(trueT)))
                    failed << QStringLiteral("through the corner files, position off by %1 mm").arg(filesPosition, 0, 'f', 2);
            }
            if (corners.count == 0 || !(corners.mean() < kMaxProjectorCornerError))
                failed << QStringLiteral("projector corners off by %1 px on average").arg(corners.mean(), 0, 'f', 3);
            if (!(focal < kMaxProjectorFocalError))
                failed << QStringLiteral("projector focal length off by %1 %").arg(100.0 * focal, 0, 'f', 2);
            if (!(angle < kMaxProjectorRotationError))
                failed << QStringLiteral("rotation off by %1 deg").arg(angle, 0, 'f', 3);
            if (!(position < kMaxProjectorPositionError * cv::norm(trueT)))
                failed << QStringLiteral("position off by %1 mm").arg(position, 0, 'f', 2);
        }
        verdict(console, QStringLiteral("camera-projector"), failed,
                QStringLiteral("projector corners within %1 px on average, focal length within %2 %, rotation within "
                               "%3 deg, position within %4 % of the baseline")
                    .arg(kMaxProjectorCornerError)
                    .arg(100.0 * kMaxProjectorFocalError)
                    .arg(kMaxProjectorRotationError)
                    .arg(100.0 * kMaxProjectorPositionError),
                passes);
    }

    // 7, 8. The robot calibrations: X (and Y) against the rigs, with the true camera. The hand-eye
    // run reads the XML poses in metres, the tool-flange run the text poses in millimetres.
    for (const RobotTruth* robot : {&truth.handEye, &truth.toolFlange}) {
        const bool handEye = robot == &truth.handEye;
        const int step = handEye ? 7 : 8;
        const QString name = handEye ? QStringLiteral("hand-eye") : QStringLiteral("tool-flange");
        const QString heading = QStringLiteral("[%1/%2] %3 calibration").arg(step).arg(steps).arg(handEye ? "Hand-eye" : "Tool-flange");
        if (!robot->present) {
            --modules;
            console.log().append(heading, QString(), true);
            console.print(QStringLiteral(": skipped, the data set has no %1 views for this target\n\n").arg(name));
            continue;
        }
        const QString workdir = root + QLatin1Char('/') + robot->folder;
        QDir().mkpath(workdir);
        const QStringList args = {handEye ? QStringLiteral("handeye") : QStringLiteral("toolflange"),
                                  QStringLiteral("--workdir"), workdir, QStringLiteral("--target"), target,
                                  QStringLiteral("--intrinsics"), data + QLatin1Char('/') + truth.cameraIntrinsics,
                                  QStringLiteral("--tcp"), data + QLatin1Char('/') + (handEye ? robot->tcpXml : robot->tcpText),
                                  QStringLiteral("--tcp-units"), handEye ? QStringLiteral("m") : QStringLiteral("mm"),
                                  data + QLatin1Char('/') + robot->folder + QStringLiteral("/view_*.png")};
        const Step run = runTool(args, workdir + QLatin1Char('/') + args[0] + QStringLiteral(".log"), console, heading.mid(6),
                                 step, steps);
        console.log().append(heading, QString(), true);
        console.print(QStringLiteral(" from %1 views (%2)\n      vantiro-cli %3\n")
                          .arg(robot->images.size())
                          .arg(seconds(run.ms), quoted(args)));
        QStringList failed;
        cv::Mat RX, tX, RY, tY;
        try {
            cv::FileStorage fs(QFile::encodeName(workdir + (handEye ? "/AX-XB.yml" : "/AX-YB.yml")).toStdString(),
                               cv::FileStorage::READ);
            fs["RX"] >> RX;
            fs["tX"] >> tX;
            fs["RY"] >> RY;
            fs["tY"] >> tY;
        } catch (const cv::Exception&) {
        }
        const bool complete = RX.total() == 9 && tX.total() == 3 && (handEye || (RY.total() == 9 && tY.total() == 3));
        if (run.status != 0 || !complete) {
            failed << QStringLiteral("the command failed (exit %1): %2").arg(run.status).arg(tail(run.log));
        } else {
            console.print(header());
            // Hand-eye X: the camera in the TCP frame. Tool-flange Y: the camera in the base frame,
            // X: the target in the TCP frame.
            const struct
            {
                const char* letter;
                cv::Mat R, t;
                const vantiro::synth::Rigid& truth;
            } parts[] = {{"Y", RY, tY, robot->rig.Y}, {"X", RX, tX, robot->rig.X}};
            QString text;
            for (const auto& part : parts) {
                if (handEye && part.letter[0] == 'Y')
                    continue;
                const cv::Vec3d t(part.t.reshape(1, 3));
                for (int k = 0; k < 3; ++k)
                    text += row(QStringLiteral("t%1 %2 [mm]").arg(part.letter).arg(QChar('x' + k)), t[k], part.truth.t[k], 3);
                const double angle = rotationAngleDegrees(cv::Matx33d(part.R), part.truth.R);
                const double offset = cv::norm(t - part.truth.t);
                text += QStringLiteral("      %1: rotation off by %2 deg, position off by %3 mm\n")
                            .arg(part.letter)
                            .arg(angle, 0, 'f', 4)
                            .arg(offset, 0, 'f', 3);
                if (!(angle < kMaxRobotRotationError))
                    failed << QStringLiteral("%1 rotation off by %2 deg").arg(part.letter).arg(angle, 0, 'f', 3);
                if (!(offset < kMaxRobotTranslationError))
                    failed << QStringLiteral("%1 position off by %2 mm").arg(part.letter).arg(offset, 0, 'f', 2);
            }
            console.print(text);
        }
        verdict(console, name, failed,
                QStringLiteral("%1 within %2 deg and %3 mm")
                    .arg(handEye ? QStringLiteral("X") : QStringLiteral("X and Y"))
                    .arg(kMaxRobotRotationError)
                    .arg(kMaxRobotTranslationError),
                passes);
    }

    console.log().append(QStringLiteral("Result: %1 of %2 modules pass").arg(passes).arg(modules), 
                         passes == modules ? vantiro::logcolor::Green : vantiro::logcolor::Red, true);
    console.print(QStringLiteral(" (%1 in all; files and logs in %2)\n").arg(seconds(total.elapsed()), root));
    return passes == modules ? ExitOk : ExitFailed;
}

} // namespace cli
