#include "cli/SynthData.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <opencv2/calib3d.hpp>

#include <cmath>
#include <stdexcept>

#include "app/StorageFile.h"
#include "cli/ArgParser.h"
#include "cli/CliSupport.h"
#include "cli/TargetArgument.h"
#include "projector/GrayCodePatternGenerator.h"
#include "synth/ProjectorCapture.h"
#include "synth/Renderer.h"
#include "targets/TargetSettingsFile.h"

namespace cli {

using namespace vantiro::synth;

namespace {

// The focal length and principal point a camera of this size gets unless told otherwise: a
// moderate field of view and a principal point a little off the centre, as real lenses have.
void placeDefaults(CameraModel& c, double focalPerWidth, double offsetX, double offsetY)
{
    const double w = c.size.width, h = c.size.height;
    c.K = cv::Matx33d(focalPerWidth * w, 0, (w - 1) * 0.5 + offsetX * w, 0, focalPerWidth * w,
                      (h - 1) * 0.5 + offsetY * h, 0, 0, 1);
}

struct Preset
{
    const char* name;
    double k[8]; // k1, k2, p1, p2, k3, k4, k5, k6
};

const Preset kPresets[] = {
    {"ideal", {0, 0, 0, 0, 0, 0, 0, 0}},
    {"radial", {-0.18, 0.06, 0, 0, 0, 0, 0, 0}},
    {"wide", {-0.32, 0.11, 0.0008, -0.0005, -0.015, 0, 0, 0}},
    {"rational", {-0.3, 0.09, 0, 0, -0.01, 0.05, 0.01, 0}},
};

} // namespace

CameraModel defaultPrimaryCamera(cv::Size size)
{
    CameraModel c;
    c.size = size;
    placeDefaults(c, 0.875, 0.0055, -0.0057);
    c.setDistortion({-0.18, 0.06, 0.0, 0.0, 0.0});
    return c;
}

CameraModel defaultSecondaryCamera(cv::Size size)
{
    CameraModel c;
    c.size = size;
    placeDefaults(c, 0.9, -0.006, 0.004);
    c.setDistortion({-0.15, 0.045, 0.0, 0.0, 0.0});
    return c;
}

CameraModel parseCameraModel(const QString& model, const QString& option, const CameraModel& base)
{
    CameraModel c = base;
    auto bad = [&](const QString& why) { return UsageError(QStringLiteral("%1 \"%2\": %3").arg(option, model, why)); };
    const QStringList items = model.split(QLatin1Char(','), Qt::SkipEmptyParts);
    // The size first: focal length and principal point follow it unless given.
    for (const QString& item : items) {
        if (!item.trimmed().toLower().startsWith(QLatin1String("size=")))
            continue;
        const cv::Size size = parseResolution(item.trimmed().mid(5), option + QStringLiteral(" size"));
        if (size.width < 32 || size.height < 32)
            throw bad(QStringLiteral("the image must be at least 32x32 pixels"));
        const double scale = double(size.width) / double(c.size.width);
        const double sx = (size.width - 1) * 0.5 / std::max(1e-9, (c.size.width - 1) * 0.5);
        const double sy = (size.height - 1) * 0.5 / std::max(1e-9, (c.size.height - 1) * 0.5);
        c.K(0, 0) *= scale;
        c.K(1, 1) *= scale;
        c.K(0, 2) *= sx;
        c.K(1, 2) *= sy;
        c.size = size;
    }
    for (int i = 0; i < items.size(); ++i) {
        const QString item = items[i].trimmed();
        const qsizetype eq = item.indexOf(QLatin1Char('='));
        if (eq < 0) {
            const Preset* preset = nullptr;
            for (const Preset& p : kPresets)
                if (item.compare(QLatin1String(p.name), Qt::CaseInsensitive) == 0)
                    preset = &p;
            if (!preset || i != 0)
                throw bad(QStringLiteral("\"%1\" is not a preset (ideal, radial, wide, rational; first) nor key=value")
                              .arg(item));
            for (int k = 0; k < 8; ++k)
                c.dist[k] = preset->k[k];
            continue;
        }
        const QString key = item.left(eq).trimmed().toLower();
        if (key == QLatin1String("size"))
            continue;
        bool ok = false;
        const double v = item.mid(eq + 1).trimmed().toDouble(&ok);
        if (!ok || !std::isfinite(v))
            throw bad(QStringLiteral("%1 needs a number").arg(key));
        static const char* const distNames[8] = {"k1", "k2", "p1", "p2", "k3", "k4", "k5", "k6"};
        bool known = false;
        for (int k = 0; k < 8; ++k)
            if (key == QLatin1String(distNames[k])) {
                c.dist[k] = v;
                known = true;
            }
        if (known)
            continue;
        if (key == QLatin1String("f") || key == QLatin1String("fx") || key == QLatin1String("fy")) {
            if (v <= 0.0)
                throw bad(QStringLiteral("%1 must be positive").arg(key));
            if (key != QLatin1String("fy"))
                c.K(0, 0) = v;
            if (key != QLatin1String("fx"))
                c.K(1, 1) = v;
        } else if (key == QLatin1String("cx")) {
            c.K(0, 2) = v;
        } else if (key == QLatin1String("cy")) {
            c.K(1, 2) = v;
        } else {
            throw bad(QStringLiteral("unknown key \"%1\" (size, f, fx, fy, cx, cy, k1..k6, p1, p2)").arg(key));
        }
    }
    // A lens whose distortion folds the image corners back cannot be imaged sensibly.
    for (const cv::Point2d corner : {cv::Point2d(0, 0), cv::Point2d(c.size.width - 1, c.size.height - 1),
                                     cv::Point2d(0, c.size.height - 1), cv::Point2d(c.size.width - 1, 0)}) {
        cv::Vec3d ray;
        if (!pixelToRay(c, corner, ray))
            throw bad(QStringLiteral("this distortion folds the image corners over; use smaller coefficients"));
    }
    return c;
}

namespace {

cv::Matx33d rotation(const cv::Vec3d& axisAngle)
{
    cv::Matx33d R;
    cv::Rodrigues(axisAngle, R);
    return R;
}

// Primary -> secondary for a secondary at (baseline, 0, 0) aimed at the point 'distance' in front
// of the primary, with a little roll and pitch so that no angle of the truth is exactly zero.
void stereoRig(double baseline, double distance, cv::Matx33d& R, cv::Vec3d& T)
{
    const cv::Vec3d centre(baseline, 0.0, 0.0);
    const cv::Vec3d z = cv::normalize(cv::Vec3d(0.0, 0.0, distance) - centre);
    const cv::Vec3d x = cv::normalize(cv::Vec3d(0.0, 1.0, 0.0).cross(z));
    const cv::Vec3d y = z.cross(x);
    const cv::Matx33d aim(x[0], x[1], x[2], y[0], y[1], y[2], z[0], z[1], z[2]);
    R = rotation(cv::Vec3d(0.008, 0.0, 0.005)) * aim;
    T = -(R * centre);
}

TargetPose inSecondary(const TargetPose& p, const cv::Matx33d& R, const cv::Vec3d& T)
{
    TargetPose q;
    q.R = R * p.R;
    q.t = R * p.t + T;
    return q;
}

bool fullyVisible(const CameraModel& camera, const BoardPattern& board, const TargetPose& pose, size_t corners,
                  double share = 1.0)
{
    // Margin: the detectors need a little of the squares around each corner.
    return double(projectCorners(camera, board, pose, 12.0).size()) >= share * double(corners);
}

// Varied poses that show every inner corner to each given camera (secondary optional; it may
// be content with a share of them).
std::vector<TargetPose> makePoses(cv::RNG& rng, int count, const BoardPattern& board, const CameraModel& primary,
                                  const CameraModel* secondary, const cv::Matx33d& R, const cv::Vec3d& T,
                                  double maxTilt, double nearCoverage, double farCoverage, double secondaryShare = 1.0)
{
    const size_t corners = board.innerCorners().size();
    const cv::Size2d grid = board.gridSize();
    std::vector<TargetPose> poses;
    for (int attempt = 0; int(poses.size()) < count; ++attempt) {
        if (attempt > 2000 * count)
            throw RunError(QStringLiteral("no pose shows the whole target to the camera(s); use a smaller target or "
                                          "a wider lens"));
        const double coverage = rng.uniform(nearCoverage, farCoverage);
        const double distance = distanceForCoverage(primary, board, coverage);
        // The first view faces the camera; the others turn up to maxTilt both ways.
        const double tiltX = poses.empty() ? 5.0 : rng.uniform(-maxTilt, maxTilt);
        const double tiltY = poses.empty() ? -5.0 : rng.uniform(-maxTilt, maxTilt);
        const double roll = poses.empty() ? 3.0 : rng.uniform(-30.0, 30.0);
        const cv::Vec3d shift(rng.uniform(-0.25, 0.25) * grid.width, rng.uniform(-0.25, 0.25) * grid.height, 0.0);
        const TargetPose pose = viewPose(board, distance, tiltX, tiltY, roll, shift);
        if (!fullyVisible(primary, board, pose, corners))
            continue;
        if (secondary && !fullyVisible(*secondary, board, inSecondary(pose, R, T), corners, secondaryShare))
            continue;
        poses.push_back(pose);
    }
    return poses;
}

void writeCamera(cv::FileStorage& fs, const char* key, const CameraModel& c)
{
    fs << key << "{";
    fs << "imgSize" << c.size;
    fs << "K" << cv::Mat(c.K);
    fs << "kc" << c.distCoeffs();
    fs << "}";
}

TargetPose readPose(const cv::FileNode& node)
{
    cv::Mat r, t;
    node["rvec"] >> r;
    node["tvec"] >> t;
    if (r.total() != 3 || t.total() != 3)
        throw RunError(QStringLiteral("truth file: a view has no pose"));
    return TargetPose::fromRvec(cv::Vec3d(r.reshape(1, 3)), cv::Vec3d(t.reshape(1, 3)));
}

CameraModel readCamera(const cv::FileNode& node)
{
    CameraModel c;
    cv::Mat K, kc;
    node["K"] >> K;
    node["kc"] >> kc;
    std::vector<int> size;
    node["imgSize"] >> size;
    if (K.rows != 3 || K.cols != 3 || kc.total() != 8 || size.size() != 2)
        throw RunError(QStringLiteral("truth file: camera entry is incomplete"));
    c.K = cv::Matx33d(K);
    for (int k = 0; k < 8; ++k)
        c.dist[k] = kc.at<double>(k);
    c.size = cv::Size(size[0], size[1]);
    return c;
}

void writePose(cv::FileStorage& fs, const TargetPose& pose)
{
    fs << "rvec" << cv::Mat(pose.rvec());
    fs << "tvec" << cv::Mat(pose.t);
}

RenderOptions renderOptions(double noise, uint64_t seed)
{
    RenderOptions options;
    options.supersampling = 4;
    options.effects.noiseSigma = noise;
    options.effects.noiseSeed = seed;
    options.effects.blurSigma = 0.4;
    options.effects.vignetting = 0.15;
    return options;
}

} // namespace

void applyProjectorLight(const QString& preset, SynthConfig& config)
{
    const QString name = preset.trimmed().toLower();
    config.projectorLight = ProjectorLight();
    config.projectorBlur = 0.5;
    config.partlyLit = false;
    if (name == QLatin1String("ambient") || name == QLatin1String("hard"))
        config.projectorLight.ambientLevel = 40.0;
    if (name == QLatin1String("global") || name == QLatin1String("hard"))
        config.projectorLight.globalFraction = 0.35;
    if (name == QLatin1String("hard")) {
        config.projectorBlur = 1.0;
        config.partlyLit = true;
    }
    if (name != QLatin1String("dark") && name != QLatin1String("ambient") && name != QLatin1String("global") &&
        name != QLatin1String("hard"))
        throw UsageError(QStringLiteral("--projector-light: unknown light \"%1\" (dark, ambient, global, hard)").arg(preset));
}

Truth writeSyntheticDataSet(const QString& folder, const SynthConfig& config,
                            const std::function<bool(int done, int total)>& progress)
{
    const QDir dir(folder);
    if (dir.exists() && !dir.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).isEmpty())
        throw UsageError(QStringLiteral("the output folder %1 is not empty").arg(folder));

    BoardPattern board = [&] {
        try {
            return BoardPattern(config.target);
        } catch (const std::invalid_argument& e) {
            throw UsageError(QStringLiteral("this target cannot be rendered: %1").arg(QString::fromLocal8Bit(e.what())));
        }
    }();
    cv::RNG rng(config.seed);
    const CameraModel& primary = config.camera[0];
    const CameraModel& secondary = config.camera[1];

    Truth truth;
    truth.target = formatTargetArgument(config.target);
    truth.camera[0] = primary;
    truth.camera[1] = secondary;

    // Plan all poses first, so that the image count is known for the progress.
    std::vector<TargetPose> intrinsicPoses, stereoPoses, projectorPoses;
    if (config.intrinsic)
        intrinsicPoses = truth.intrinsicPoses = makePoses(rng, config.poses, board, primary, nullptr, {}, {}, 40.0, 0.45, 0.75);
    if (config.stereo) {
        truth.hasStereo = true;
        stereoRig(config.baseline, distanceForCoverage(primary, board, 0.55), truth.R, truth.T);
        stereoPoses = truth.stereoPoses =
            makePoses(rng, config.poses, board, primary, &secondary, truth.R, truth.T, 30.0, 0.4, 0.6);
    }
    std::vector<cv::Mat> patterns;
    ProjectorSetup projector;
    if (config.structuredLight) {
        truth.hasProjector = true;
        const CameraModel lens = CameraModel::ideal(config.projector, 1.3 * config.projector.width);
        const double distance = distanceForCoverage(primary, board, 0.55);
        // Aimed to one side when the target may be partly lit, so that many poses are.
        const double aside = config.partlyLit ? 0.3 * board.gridSize().width : 0.0;
        projector = ProjectorSetup::aimedAt(lens, cv::Vec3d(150.0, -20.0, 0.0), cv::Vec3d(aside, 0.0, distance));
        truth.projector = lens;
        truth.captureCamera = primary;
        truth.captureCamera.dist = cv::Vec<double, 8>::all(0.0);
        truth.projectorR = projector.R;
        truth.projectorT = projector.t;
        // The projector must light the whole target (or half of it when it may be partly lit).
        projectorPoses = truth.projectorPoses = makePoses(rng, config.projectorSets, board, truth.captureCamera, &lens, projector.R,
                                   projector.t, 30.0, 0.45, 0.65, config.partlyLit ? 0.5 : 1.0);
        GrayCodePatternGenerator generator(config.projector.height, config.projector.width);
        for (int i = 0; i < generator.imageCount(); ++i)
            patterns.push_back(generator.nextImage());
    }
    for (RobotTruth* robot : {&truth.handEye, &truth.toolFlange}) {
        const bool handEye = robot == &truth.handEye;
        if (!(handEye ? config.handEye : config.toolFlange))
            continue;
        robot->present = true;
        robot->rig = planRobotRig(handEye, primary, board, config.poses, config.seed + (handEye ? 7 : 8));
        robot->folder = handEye ? QStringLiteral("handeye") : QStringLiteral("toolflange");
        robot->tcpXml = robot->folder + QStringLiteral("/tcp_poses.xml");
        robot->tcpText = robot->folder + QStringLiteral("/tcp_poses_mm.txt");
    }
    // Everything is planned: only now does the folder appear.
    if (!QDir().mkpath(folder))
        throw RunError(QStringLiteral("cannot create %1").arg(folder));
    const int total = int(intrinsicPoses.size() + 2 * stereoPoses.size() + projectorPoses.size() +
                          truth.handEye.rig.target.size() + truth.toolFlange.rig.target.size());
    int done = 0;
    auto step = [&] {
        if (progress && !progress(done, total))
            throw RunError(QStringLiteral("interrupted; the data set in %1 is incomplete").arg(folder));
        ++done;
    };

    auto render = [&](const CameraModel& camera, const TargetPose& pose, const QString& relative, uint64_t seed) {
        step();
        const Rendering r = vantiro::synth::render(camera, board, pose, renderOptions(config.noise, seed));
        QDir().mkpath(QFileInfo(folder + QLatin1Char('/') + relative).path());
        writeImageAtomically(folder + QLatin1Char('/') + relative, r.colour);
    };

    uint64_t seed = config.seed * 1000;
    for (size_t i = 0; i < intrinsicPoses.size(); ++i) {
        const QString name = QStringLiteral("intrinsic/view_%1.png").arg(i, 2, 10, QLatin1Char('0'));
        render(primary, intrinsicPoses[i], name, ++seed);
        truth.intrinsicImages << name;
    }
    for (size_t i = 0; i < stereoPoses.size(); ++i) {
        const QString number = QStringLiteral("%1").arg(i, 2, 10, QLatin1Char('0'));
        const QString left = QStringLiteral("stereo/primary_") + number + QStringLiteral(".png");
        const QString right = QStringLiteral("stereo/secondary_") + number + QStringLiteral(".png");
        render(primary, stereoPoses[i], left, ++seed);
        render(secondary, inSecondary(stereoPoses[i], truth.R, truth.T), right, ++seed);
        truth.primaryImages << left;
        truth.secondaryImages << right;
    }
    for (size_t i = 0; i < projectorPoses.size(); ++i) {
        step();
        ProjectorCaptureOptions options;
        options.light = config.projectorLight;
        options.effects.blurSigma = config.projectorBlur;
        options.effects.noiseSigma = config.noise;
        options.effects.noiseSeed = ++seed;
        const ProjectorCapture capture =
            renderProjectorCapture(truth.captureCamera, board, projectorPoses[i], projector, patterns, options);
        const QString set = QStringLiteral("projector/set_%1").arg(i, 2, 10, QLatin1Char('0'));
        QDir().mkpath(folder + QLatin1Char('/') + set);
        for (size_t k = 0; k < capture.images.size(); ++k)
            writeImageAtomically(folder + QLatin1Char('/') + set + QStringLiteral("/%1.png").arg(k), capture.images[k]);
        cv::Mat channels[2];
        cv::split(capture.truth, channels);
        truth.projectorSets << set;
        truth.projectorTruthX << set + QStringLiteral("_truth_x.tiff");
        truth.projectorTruthY << set + QStringLiteral("_truth_y.tiff");
        writeImageAtomically(folder + QLatin1Char('/') + truth.projectorTruthX.last(), channels[0]);
        writeImageAtomically(folder + QLatin1Char('/') + truth.projectorTruthY.last(), channels[1]);
    }

    for (RobotTruth* robot : {&truth.handEye, &truth.toolFlange}) {
        for (size_t i = 0; robot->present && i < robot->rig.target.size(); ++i) {
            const QString name = robot->folder + QStringLiteral("/view_%1.png").arg(i, 2, 10, QLatin1Char('0'));
            render(primary, vantiro::synth::boardPose(board, robot->rig.target[i]), name, ++seed);
            robot->images << name;
        }
        if (robot->present)
            writeTcpFiles(folder, *robot);
    }
    if (truth.handEye.present || truth.toolFlange.present) {
        truth.cameraIntrinsics = QStringLiteral("camera0.intrinsics.yml");
        writeStorageAtomically(folder + QLatin1Char('/') + truth.cameraIntrinsics, [&](cv::FileStorage& fs) {
            fs << "imgSize" << primary.size << "K" << cv::Mat(primary.K) << "kc" << primary.distCoeffs();
        });
    }

    MainWindowSettings settings = config.target;
    settings.projectorWidth = config.projector.width;
    settings.projectorHeight = config.projector.height;
    QString error;
    if (!writeTargetSettingsFile(targetSettingsFilePath(folder), settings, &error))
        throw RunError(error);

    // Last: a data set with its truth file is complete.
    writeStorageAtomically(folder + QStringLiteral("/truth.yml"), [&](cv::FileStorage& fs) {
        fs << "target" << truth.target.toStdString();
        fs << "noiseSigma" << config.noise;
        fs << "seed" << int(config.seed);
        writeCamera(fs, "camera0", primary);
        writeCamera(fs, "camera1", secondary);
        if (truth.hasStereo) {
            // Primary -> secondary as the stereo calibration estimates it, and the secondary's
            // pose in the primary's frame as the project file stores it.
            fs << "stereo" << "{";
            fs << "R" << cv::Mat(truth.R);
            fs << "T" << cv::Mat(truth.T);
            fs << "secondaryR" << cv::Mat(truth.R.t());
            fs << "secondaryT" << cv::Mat(-(truth.R.t() * truth.T));
            fs << "}";
        }
        if (truth.hasProjector) {
            writeCamera(fs, "captureCamera", truth.captureCamera);
            writeCamera(fs, "projector", truth.projector);
            fs << "projectorPose" << "{" << "R" << cv::Mat(truth.projectorR) << "T" << cv::Mat(truth.projectorT) << "}";
        }
        fs << "intrinsicViews" << "[";
        for (size_t i = 0; i < intrinsicPoses.size(); ++i) {
            fs << "{" << "image" << truth.intrinsicImages[qsizetype(i)].toStdString();
            writePose(fs, intrinsicPoses[i]);
            fs << "}";
        }
        fs << "]";
        fs << "stereoPairs" << "[";
        for (size_t i = 0; i < stereoPoses.size(); ++i) {
            fs << "{" << "primary" << truth.primaryImages[qsizetype(i)].toStdString() << "secondary"
               << truth.secondaryImages[qsizetype(i)].toStdString();
            writePose(fs, stereoPoses[i]);
            fs << "}";
        }
        fs << "]";
        fs << "projectorSets" << "[";
        for (size_t i = 0; i < projectorPoses.size(); ++i) {
            fs << "{" << "folder" << truth.projectorSets[qsizetype(i)].toStdString() << "truthX"
               << truth.projectorTruthX[qsizetype(i)].toStdString() << "truthY"
               << truth.projectorTruthY[qsizetype(i)].toStdString();
            writePose(fs, projectorPoses[i]);
            fs << "}";
        }
        fs << "]";
        if (truth.handEye.present)
            writeRobotTruth(fs, "handEye", truth.handEye);
        if (truth.toolFlange.present)
            writeRobotTruth(fs, "toolFlange", truth.toolFlange);
        if (!truth.cameraIntrinsics.isEmpty())
            fs << "cameraIntrinsics" << truth.cameraIntrinsics.toStdString();
    });
    return truth;
}

Truth readTruth(const QString& path)
{
    Truth truth;
    try {
        cv::FileStorage fs;
        const vantiro::StorageOpenResult opened = vantiro::openStorageFile(path, fs);
        if (!opened.ok())
            throw RunError(QStringLiteral("cannot read %1: %2").arg(path, opened.error));
        truth.target = QString::fromStdString(fs["target"].string());
        truth.camera[0] = readCamera(fs["camera0"]);
        truth.camera[1] = readCamera(fs["camera1"]);
        const cv::FileNode stereo = fs["stereo"];
        if (!stereo.empty()) {
            truth.hasStereo = true;
            cv::Mat R, T;
            stereo["R"] >> R;
            stereo["T"] >> T;
            truth.R = cv::Matx33d(R);
            truth.T = cv::Vec3d(T.reshape(1, 3));
        }
        const cv::FileNode projector = fs["projector"];
        if (!projector.empty()) {
            truth.hasProjector = true;
            truth.projector = readCamera(projector);
            truth.captureCamera = readCamera(fs["captureCamera"]);
            cv::Mat R, T;
            fs["projectorPose"]["R"] >> R;
            fs["projectorPose"]["T"] >> T;
            truth.projectorR = cv::Matx33d(R);
            truth.projectorT = cv::Vec3d(T.reshape(1, 3));
        }
        for (const cv::FileNode& v : fs["intrinsicViews"]) {
            truth.intrinsicImages << QString::fromStdString(v["image"].string());
            truth.intrinsicPoses.push_back(readPose(v));
        }
        for (const cv::FileNode& v : fs["stereoPairs"]) {
            truth.stereoPoses.push_back(readPose(v));
            truth.primaryImages << QString::fromStdString(v["primary"].string());
            truth.secondaryImages << QString::fromStdString(v["secondary"].string());
        }
        for (const cv::FileNode& v : fs["projectorSets"]) {
            truth.projectorPoses.push_back(readPose(v));
            truth.projectorSets << QString::fromStdString(v["folder"].string());
            truth.projectorTruthX << QString::fromStdString(v["truthX"].string());
            truth.projectorTruthY << QString::fromStdString(v["truthY"].string());
        }
        if (!fs["handEye"].empty())
            truth.handEye = readRobotTruth(fs["handEye"], true);
        if (!fs["toolFlange"].empty())
            truth.toolFlange = readRobotTruth(fs["toolFlange"], false);
        truth.cameraIntrinsics = QString::fromStdString(fs["cameraIntrinsics"].string());
    } catch (const cv::Exception& e) {
        throw RunError(QStringLiteral("cannot read %1: %2").arg(path, QString::fromStdString(e.err)));
    }
    return truth;
}

} // namespace cli
