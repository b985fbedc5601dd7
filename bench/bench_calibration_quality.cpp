// The calibration quality after an intrinsic calibration of 20 views at 1920 x 1200: the
// assessment itself (covariance, both uncertainty maps, coverage, residuals) against the
// calibration it follows, and the pictures of the Quality tab and the report.
//
// BM_RenderedSimulation (several minutes; leave it out with --benchmark_filter=20Views) compares
// the predicted projection uncertainty with the spread over repeated calibrations of rendered
// views; the counters are the two at a few pixels.

#include <benchmark/benchmark.h>


#include <opencv2/calib3d.hpp>

#include <cmath>

#include "intrinsic/CalibrationQuality.h"
#include "intrinsic/IntrinsicCalibration.h"
#include "intrinsic/QualityPictures.h"
#include "synth/Renderer.h"
#include "targets/TargetDetection.h"
#include "QtBenchmarkMain.h"

using namespace vantiro;
using namespace vantiro::intrinsic;
using namespace vantiro::synth;

namespace {

MainWindowSettings boardSettings(double square)
{
    MainWindowSettings s;
    s.targetType = Chessboard;
    s.numSquaresX = 10;
    s.numSquaresY = 7;
    s.squareWidth = s.squareHeight = square;
    s.dictionary = 10;
    return s;
}

struct Views
{
    std::vector<std::vector<cv::Point3f>> object;
    std::vector<std::vector<cv::Point2f>> image;
};

// 20 views of a 10 x 7 board around a 1920 x 1200 camera, corners with 0.05 px of noise.
const QualityInput& twentyViews()
{
    static const QualityInput input = [] {
        CameraModel cam = CameraModel::ideal({1920, 1200}, 1650.0);
        cam.K(0, 2) = 963.0;
        cam.K(1, 2) = 596.5;
        cam.setDistortion({-0.12, 0.05, 0.0, 0.0, 0.0});
        const BoardPattern board(boardSettings(40.0));
        const double distance = distanceForCoverage(cam, board, 0.6);
        cv::RNG rng(1);
        Views v;
        for (int i = 0; i < 20; ++i) {
            const double a = i * 2.0 * CV_PI / 20.0;
            const TargetPose pose = viewPose(board, distance, 30.0 * std::cos(a), 30.0 * std::sin(a), 18.0 * i,
                                             cv::Vec3d(60.0 * std::sin(2 * a), 40.0 * std::cos(3 * a), 0.0));
            v.object.emplace_back();
            v.image.emplace_back();
            for (const TruthCorner& c : projectCorners(cam, board, pose)) {
                v.object.back().emplace_back(float(c.board.x), float(c.board.y), 0.f);
                v.image.back().emplace_back(float(c.image.x + rng.gaussian(0.05)), float(c.image.y + rng.gaussian(0.05)));
            }
        }
        QualityInput in;
        in.imageSize = cam.size;
        in.flags = CalibrationOptions().flags();
        std::vector<cv::Mat> rvecs, tvecs;
        cv::calibrateCamera(v.object, v.image, cam.size, in.K, in.distortion, rvecs, tvecs, in.flags);
        for (size_t i = 0; i < v.object.size(); ++i)
            in.views.push_back({int(i), v.object[i], v.image[i], cv::Vec3d(rvecs[i]), cv::Vec3d(tvecs[i])});
        return in;
    }();
    return input;
}

// The calibration the assessment follows, as the module runs it on known corners.
void BM_Calibration20Views(benchmark::State& state)
{
    const QualityInput& in = twentyViews();
    std::vector<std::vector<cv::Point3f>> object;
    std::vector<std::vector<cv::Point2f>> image;
    for (const QualityView& v : in.views) {
        object.push_back(v.objectPoints);
        image.push_back(v.imagePoints);
    }
    for (auto _ : state) {
        cv::Mat K, dist, sdI, sdE, perView;
        std::vector<cv::Mat> rvecs, tvecs;
        cv::calibrateCamera(object, image, in.imageSize, K, dist, rvecs, tvecs, sdI, sdE, perView, in.flags,
                            CalibrationOptions().criteria());
        benchmark::DoNotOptimize(K.data);
    }
}
BENCHMARK(BM_Calibration20Views)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_Assessment20Views(benchmark::State& state)
{
    const QualityInput& in = twentyViews();
    CalibrationQuality q;
    for (auto _ : state)
        q = assessCalibration(in);
    state.counters["nodes"] = double(q.atDistance.sigma.total());
    state.counters["centre_px"] = q.centre;
    state.counters["corner_px"] = q.corners[0];
    state.counters["covered"] = q.coveredFraction;
}
BENCHMARK(BM_Assessment20Views)->Unit(benchmark::kMillisecond)->Iterations(5);

// What the Quality tab draws after a run (heat map, chart) and the report's other pictures.
void BM_Pictures20Views(benchmark::State& state)
{
    const CalibrationQuality q = assessCalibration(twentyViews());
    for (auto _ : state) {
        benchmark::DoNotOptimize(uncertaintyPicture(q).data);
        benchmark::DoNotOptimize(viewErrorChart(q, {800, 200}).picture.data);
        benchmark::DoNotOptimize(coveragePicture(q).data);
        benchmark::DoNotOptimize(residualPicture(q).data);
    }
}
BENCHMARK(BM_Pictures20Views)->Unit(benchmark::kMillisecond)->Iterations(5);

double worstSpread(const std::vector<cv::Point2d>& points)
{
    cv::Mat data(int(points.size()), 2, CV_64F, const_cast<cv::Point2d*>(points.data()));
    cv::Mat covariance, mean, values;
    cv::calcCovarMatrix(data, covariance, mean, cv::COVAR_NORMAL | cv::COVAR_ROWS | cv::COVAR_SCALE);
    cv::eigen(covariance * double(points.size()) / double(points.size() - 1), values);
    return std::sqrt(values.at<double>(0));
}

// Twelve views of a 640 x 480 camera rendered with sensor noise (1.5 grey values) drawn afresh for
// every calibration, detected and calibrated as the module does; with the first argument set, each
// board also moves by up to 1.5 mm and 0.5 degrees, so that the detector's errors, which follow
// the corners' sub-pixel positions, change from one calibration to the next as between real
// shots. Detected corners take the board coordinates of the true corner they lie on, so that every
// calibration's poses are in the true board frames. The first calibration predicts; the spread is
// that of where each calibration puts the true scene point of a pixel (carried through the true
// and the calibrated poses, as the prediction assumes).
void BM_RenderedSimulation(benchmark::State& state)
{
    CameraModel cam = CameraModel::ideal({640, 480}, 560.0);
    cam.K(0, 2) = 323.5;
    cam.K(1, 2) = 236.25;
    cam.setDistortion({-0.18, 0.06, 0.0, 0.0, 0.0});
    const MainWindowSettings target = boardSettings(25.0);
    const BoardPattern board(target);
    const double distance = distanceForCoverage(cam, board, 0.65);
    const double poses[][5] = {{0, 0, 0, 0, 0},         {30, 0, 5, 0, 0},       {-30, 0, -5, 0, 0},
                               {0, 30, 10, 0, 0},       {0, -30, -10, 0, 0},    {20, 20, 30, 40, 20},
                               {-20, 20, -30, -40, 20}, {20, -20, 60, 30, -15}, {-25, -20, -60, -40, -20},
                               {35, 10, 90, 0, 0},      {-10, 35, 180, 30, 0},  {15, -35, 120, -30, 10}};
    const bool jitter = state.range(0) != 0;
    const int trials = int(state.range(1));
    const std::vector<cv::Point2d> probes = {{319.5, 239.5}, {480, 360}, {160, 120}, {0, 0}};
    const int flags = CalibrationOptions().flags();
    for (auto _ : state) {
        std::vector<PixelUncertainty> predictedNear, predictedFar;
        double sigma = 0.0;
        std::vector<std::vector<cv::Point2d>> near(probes.size()), far(probes.size());
        cv::RNG rng(17);
        for (int t = 0; t <= trials; ++t) {
            std::vector<TargetPose> truth;
            std::vector<std::vector<cv::Point3f>> object;
            std::vector<std::vector<cv::Point2f>> image;
            for (size_t v = 0; v < std::size(poses); ++v) {
                const double* p = poses[v];
                const double j = jitter ? 1.0 : 0.0;
                const TargetPose pose =
                    viewPose(board, distance, p[0] + j * rng.uniform(-0.5, 0.5), p[1] + j * rng.uniform(-0.5, 0.5),
                             p[2] + j * rng.uniform(-0.5, 0.5),
                             {p[3] + j * rng.uniform(-1.5, 1.5), p[4] + j * rng.uniform(-1.5, 1.5), 0});
                RenderOptions options{.supersampling = 3, .effects = {.noiseSigma = 1.5}};
                options.effects.noiseSeed = uint64_t(1000 * t + int(v) + 1);
                const Rendering r = render(cam, board, pose, options);
                TargetCornerList corners;
                if (!detectTarget(r.grey, target, corners))
                    continue;
                std::vector<cv::Point3f> o;
                std::vector<cv::Point2f> i;
                for (const TargetCorner& k : corners)
                    for (const TruthCorner& c : r.corners)
                        if (cv::norm(cv::Point2d(k.imagePoint) - c.image) < 1.5) {
                            o.emplace_back(float(c.board.x), float(c.board.y), 0.f);
                            i.push_back(k.imagePoint);
                        }
                truth.push_back(pose);
                object.push_back(o);
                image.push_back(i);
            }
            QualityInput c;
            c.imageSize = cam.size;
            c.flags = flags;
            std::vector<cv::Mat> rvecs, tvecs;
            cv::calibrateCamera(object, image, cam.size, c.K, c.distortion, rvecs, tvecs, flags,
                                CalibrationOptions().criteria());
            for (size_t v = 0; v < object.size(); ++v)
                c.views.push_back({int(v), object[v], image[v], cv::Vec3d(rvecs[v]), cv::Vec3d(tvecs[v])});
            if (t == 0) {
                const ProjectionUncertainty model(c);
                predictedNear = model.at(probes, 1000.0);
                predictedFar = model.at(probes, 0.0);
                sigma = model.sigma();
                continue;
            }
            for (size_t p = 0; p < probes.size(); ++p) {
                cv::Vec3d ray;
                pixelToRay(cam, probes[p], ray);
                ray /= cv::norm(ray);
                for (bool atInfinity : {false, true}) {
                    cv::Vec3d sum;
                    for (size_t v = 0; v < truth.size(); ++v) {
                        cv::Matx33d R;
                        cv::Rodrigues(c.views[v].rvec, R);
                        const cv::Vec3d P = atInfinity ? ray : ray * 1000.0;
                        sum += atInfinity ? R * (truth[v].R.t() * P) : R * (truth[v].R.t() * (P - truth[v].t)) + c.views[v].tvec;
                    }
                    std::vector<cv::Point2d> out;
                    cv::projectPoints(std::vector<cv::Point3d>{cv::Point3d(sum / double(truth.size()))}, cv::Vec3d(),
                                      cv::Vec3d(), c.K, c.distortion, out);
                    (atInfinity ? far : near)[p].push_back(out[0]);
                }
            }
        }
        const char* names[] = {"centre", "480_360", "160_120", "0_0"};
        for (size_t p = 0; p < probes.size(); ++p) {
            state.counters[std::string("pred_") + names[p]] = predictedNear[p].sigma;
            state.counters[std::string("sim_") + names[p]] = worstSpread(near[p]);
            state.counters[std::string("pred_inf_") + names[p]] = predictedFar[p].sigma;
            state.counters[std::string("sim_inf_") + names[p]] = worstSpread(far[p]);
        }
        state.counters["sigma_px"] = sigma;
    }
}
BENCHMARK(BM_RenderedSimulation)->Args({0, 40})->Args({1, 40})->Unit(benchmark::kSecond)->Iterations(1);

} // namespace

int main(int argc, char** argv)
{
    return runQtBenchmarks(argc, argv, [] { twentyViews(); });
}
