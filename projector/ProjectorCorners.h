#pragma once
// The camera-projector module's "Detect / Decode" job: the target corners of every captured set
// found in its white frame, the set decoded into projector coordinates, and each corner carried
// into the projector through a homography fitted to the decoded pixels around it. Free of any
// widget: the module window keeps the state and shows the result.

#include <opencv2/core.hpp>

#include <functional>
#include <vector>

#include "app/LogSink.h"
#include "targets/TargetSettings.h"

class GrayCodeSets;

namespace camproj {

// Everything the job knows about one set.
struct CornerSet
{
    bool checked = true;
    // The set's row is shown greyed (unchecked or left out by a run).
    bool grey = false;
    // Detected in the white frame, same order and length; kept between runs (minus the corners a
    // run rejected) until the sets are reloaded or the mask threshold changes.
    std::vector<cv::Point3f> targetPoints;
    std::vector<cv::Point2f> cameraCorners;
    // One per camera corner after rejection; recomputed on every run.
    std::vector<cv::Point2f> projectorCorners;

    bool detected() const { return !targetPoints.empty() && !cameraCorners.empty(); }
    // Enough of everything to be calibrated with.
    bool usable() const { return targetPoints.size() >= 4 && cameraCorners.size() >= 4 && projectorCorners.size() >= 4; }
    void clear();
};

// Why a corner did or did not make it into the projector.
enum class CornerVerdict
{
    Accepted,
    NearBorder,       // its window would leave the decoded image
    NoHomography,     // no decoded pixel in the window, or the fit found nothing
    LibraryError,     // the library threw while fitting or applying (logged)
    Unsupported,      // fewer than half of the window's pixels agree with the fit
    OutsideProjector, // maps beyond the projector image
    OutsideMask,      // the camera corner lies outside the projection area
};

// Maps one camera corner into the projector. The window is the square of half size h = radius / 2
// (integer division) around the corner: pixels x from trunc(cx - h) while x < cx + h, likewise y.
// Its decoded pixels give a least-median-of-squares homography (threshold 0.5 px, 2000 iterations,
// confidence 0.995) from camera to projector pixels. At least half of the window's pixels must be
// decoded to within 1 px of where the homography puts them: a few pixels decoded from noise in an
// unlit part of the board fit some homography too. The corner needs cx, cy > h and
// cx + h, cy + h below the decoded image's size; its image must lie inside the projector and the
// mask (CV_8UC1 of the decoded image's size; an empty mask lets everything through) must be set
// at (trunc(cy), trunc(cx)). A library exception is logged in red as
// "OpenCV exception caught: <message>\n" and "Skipping...\n\n" and rejects this corner only.
CornerVerdict projectCorner(const cv::Mat& decoded, const cv::Mat& mask, const cv::Point2f& camera, int radius,
                            const cv::Size& projectorSize, cv::Point2f& projector, vantiro::LogSink& log);

// The median distance from a camera corner to its nearest neighbour: the board's square size in
// camera pixels where the board is seen. 0 for fewer than two corners. Large lists are sampled.
float cornerPitch(const std::vector<cv::Point2f>& corners);

// For each camera pixel, its distance in pixels to the nearest pixel the projector does not light,
// judged from the set's white and black frames (8-bit greyscale, one size): lit where white minus
// black exceeds a quarter of its 99.5th percentile, after closing gaps smaller than 1.5 pitches
// (the dark squares of a lit board). Empty when the frames do not fit or nothing is lit.
cv::Mat beamEdgeDistance(const cv::Mat& white, const cv::Mat& black, float pitch);

struct CornerJobOptions
{
    MainWindowSettings target;
    int homographyRadius = 10; // px
    // Camera corners closer than this many pitches to the edge of the projector's light are
    // dropped: the brightness step of the edge pulls the corner finder off by up to a pixel
    // there, and the projector corner with it. 0 keeps them.
    double beamEdgeMargin = 0.8;
    // Told before each set of each phase (and as detections finish): steps done of 3 x sets.
    std::function<void(int done, int total)> progress;
};

enum class CornerJobStatus
{
    Finished,
    NoSets,
    Aborted,
    SizeMismatch,
    LibraryError,
};

// The whole job over every set of images (whose projector size and mask threshold it uses).
// corners is resized to the number of sets. Phases: detection in the white frame of every checked
// set without corners (on all cores, results taken in set order), decoding of every checked set
// not decoded yet (cached in images), and the projector corners of every checked set; rejected
// corners are removed from the set's target points and camera corners for good. Sets left with
// fewer than 4 of anything are unchecked. The log gets one coloured token per set and phase;
// abort is asked before every set (and every few milliseconds while white frames are searched)
// and ends the job with "Calibration aborted \n\n". Library errors outside the per-corner fit
// end the job with a red line; nothing throws.
CornerJobStatus estimateProjectorCorners(GrayCodeSets& images, std::vector<CornerSet>& corners,
                                         const CornerJobOptions& options, const vantiro::AbortCheck& abort,
                                         vantiro::LogSink& log);

} // namespace camproj
