#pragma once
// Synthetic views of a planar target with exactly known geometry.
//
// A scene is one camera (CameraModel), one board (BoardPattern built from the target
// settings) and the board's pose in the camera. render() traces every pixel: the pixel's
// footprint is sampled at n x n well-spread points, each turned into a viewing ray
// (inverse distortion), intersected with the board plane and shaded; the sample mean is the
// pixel's radiance (a box filter over the pixel, i.e. an ideal sensor with full fill factor).
// A pixel whose four corners and centre see the same value is taken as uniform without
// further samples; a 640 x 480 view takes a few tens of milliseconds.
// Sensor effects (lighting gradient, vignetting, blur, noise) follow on the radiance image.
// Ground truth is the exact projection of every inner corner.
//
// The building blocks are public so that other generators (projector patterns on the board,
// robot-mounted cameras) can reuse them: pixelToRay / projectToPixel (CameraModel.h),
// intersectTargetPlane, BoardPattern::albedo, renderPlane and applySensorEffects.

#include <opencv2/core.hpp>

#include <cstdint>
#include <functional>
#include <vector>

#include "synth/BoardPattern.h"
#include "synth/CameraModel.h"

namespace vantiro::synth {

// Board -> camera: X_camera = R * X_board + t (millimetres).
struct TargetPose
{
    cv::Matx33d R = cv::Matx33d::eye();
    cv::Vec3d t = cv::Vec3d(0.0, 0.0, 1000.0);

    static TargetPose fromRvec(const cv::Vec3d& rvec, const cv::Vec3d& t);
    cv::Vec3d rvec() const;
    // The camera centre in board coordinates.
    cv::Vec3d cameraCentreOnBoard() const;
};

// A pose that shows 'board' centred 'distance' mm in front of the camera, turned by
// rollDeg about the viewing axis, then tilted by tiltXDeg about the board's x axis and
// tiltYDeg about its y axis (through the grid centre), and finally shifted by 'shift' (mm,
// camera frame). All zero: the grid fills the view frontally, its x axis along the image
// rows and its top-left square at the top left of the image.
TargetPose viewPose(const BoardPattern& board, double distance, double tiltXDeg = 0.0, double tiltYDeg = 0.0,
                    double rollDeg = 0.0, const cv::Vec3d& shift = cv::Vec3d());

// The distance at which the grid's larger side spans 'fraction' of the image's matching side
// in a frontal view.
double distanceForCoverage(const CameraModel& camera, const BoardPattern& board, double fraction);

// Intersection of the viewing ray (from the camera centre, any length) with the board plane
// z = 0. Returns false when the ray is parallel to the plane or meets it behind the camera.
// 'depth' (optional) receives the ray parameter at the hit for a ray with z = 1, which is
// the camera-frame z of the hit.
bool intersectTargetPlane(const TargetPose& pose, const cv::Vec3d& ray, cv::Point2d& boardPoint,
                          double* depth = nullptr);

// Light and sensor: grey values are for 8 bits.
struct SensorEffects
{
    double blackLevel = 25.0;      // black ink under full light
    double whiteLevel = 225.0;     // white paper under full light
    double backgroundLevel = 95.0; // whatever is behind the board
    double boardBackLevel = 170.0; // the unprinted back of the board
    // Colour of the light per B, G, R channel (white paper becomes whiteLevel * gain).
    cv::Vec3d lightGain = cv::Vec3d(1.0, 1.0, 1.0);
    // Colour of the background per B, G, R (multiplies backgroundLevel).
    cv::Vec3d backgroundTint = cv::Vec3d(1.15, 0.95, 0.8);
    // Brightness falls linearly by this fraction from one image side to the other, along the
    // direction gradientAngleDeg (0: left to right, 90: top to bottom).
    double gradient = 0.0;
    double gradientAngleDeg = 0.0;
    // Brightness at the image corners is (1 - vignetting) of the centre (quadratic falloff).
    double vignetting = 0.0;
    // Gaussian blur, standard deviation in pixels (0: none).
    double blurSigma = 0.0;
    // Additive Gaussian noise, standard deviation in grey values, per channel (0: none).
    double noiseSigma = 0.0;
    uint64_t noiseSeed = 1;
};

struct RenderOptions
{
    int supersampling = 8; // n x n samples per pixel (where the pixel is not uniform), 1..16
    SensorEffects effects;
};

struct Scene
{
    CameraModel camera;
    MainWindowSettings target;
    BoardPattern::RadonMarker radonMarker;
    double margin = -1.0; // white paper around the grid, mm; negative: half a square
    TargetPose pose;
    RenderOptions options;
};

struct TruthCorner
{
    int id = 0;         // BoardCorner::id
    cv::Point2d board;  // board frame, mm (z = 0)
    cv::Point2d image;  // exact image position, pixel-centre convention
};

struct Rendering
{
    cv::Mat colour;  // CV_8UC3, BGR
    cv::Mat grey;    // CV_8UC1, cv::cvtColor(colour, COLOR_BGR2GRAY)
    // Inner corners whose projection lies inside the image (at least 'border' pixels from
    // the edge, see render), on the printed side and where the lens maps one-to-one; id order.
    std::vector<TruthCorner> corners;
};

// Renders the scene. Throws std::invalid_argument for an empty image size, supersampling
// outside 1..16, or target settings BoardPattern rejects. truthBorder: corners closer than
// this to the image edge are left out of the truth (a detector cannot see them whole).
Rendering render(const Scene& scene, double truthBorder = 2.0);

// The same with an already built board (saves rebuilding it for many poses).
Rendering render(const CameraModel& camera, const BoardPattern& board, const TargetPose& pose,
                 const RenderOptions& options, double truthBorder = 2.0);

// Exact projections of the board's inner corners (see Rendering::corners).
std::vector<TruthCorner> projectCorners(const CameraModel& camera, const BoardPattern& board, const TargetPose& pose,
                                        double truthBorder = 2.0);

// What a plane shader sees for one sample.
struct PlaneSample
{
    cv::Point2d board;  // hit on the board plane, board frame (mm)
    cv::Point2d pixel;  // sample position in the image
    bool frontSide;     // the printed side faces the camera
};

// Linear radiance (B, G, R, in grey values) of one sample on the plane.
using PlaneShader = std::function<cv::Vec3f(const PlaneSample&)>;

// The generic tracer: radiance image (CV_32FC3) of a plane seen by the camera; pixels
// whose rays miss the plane or leave the lens model's regular domain get 'background'.
// Runs on the library's worker threads; the shader must be thread-safe.
cv::Mat renderPlane(const CameraModel& camera, const TargetPose& pose, int supersampling, const PlaneShader& shader,
                    const cv::Vec3f& background);

// Lighting gradient, vignetting, blur and noise on a radiance image (CV_32FC3 or CV_32FC1),
// then rounding to 8 bits (same channel count).
cv::Mat applySensorEffects(const cv::Mat& radiance, const SensorEffects& effects);

} // namespace vantiro::synth
