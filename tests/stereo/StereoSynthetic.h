#pragma once
// Synthetic stereo views of a planar grid: two cameras with known intrinsics, distortion and
// baseline, target poses drawn from a seeded generator, Gaussian noise on the corners.
// Shared by the stereo tests and bench_stereo.

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>

#include <vector>

namespace stereo_synth {

struct Camera
{
    cv::Matx33d K;
    cv::Mat dist; // 1 x 5 (or longer), CV_64F
    cv::Size size;
};

struct Rig
{
    Camera cam[2];
    cv::Vec3d om; // camera 1 -> camera 2
    cv::Vec3d T;  // millimetres
};

struct Views
{
    std::vector<std::vector<cv::Point3f>> object;
    std::vector<std::vector<cv::Point2f>> image[2];
    std::vector<cv::Vec3d> rvecs, tvecs; // target in camera 1
};

inline Rig defaultRig()
{
    Rig rig;
    rig.cam[0].K = cv::Matx33d(1000, 0, 640, 0, 1004, 478, 0, 0, 1);
    rig.cam[0].dist = (cv::Mat_<double>(1, 5) << -0.21, 0.09, 0.0011, -0.0007, 0.0);
    rig.cam[0].size = cv::Size(1280, 960);
    rig.cam[1].K = cv::Matx33d(985, 0, 652, 0, 990, 471, 0, 0, 1);
    rig.cam[1].dist = (cv::Mat_<double>(1, 5) << -0.16, 0.05, -0.0009, 0.0006, 0.0);
    rig.cam[1].size = cv::Size(1280, 960);
    rig.om = cv::Vec3d(0.012, -0.09, 0.006);
    rig.T = cv::Vec3d(-118.0, 1.5, 4.0);
    return rig;
}

inline std::vector<cv::Point3f> grid(int cols = 9, int rows = 6, float square = 25.f)
{
    std::vector<cv::Point3f> pts;
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c)
            pts.emplace_back(c * square, r * square, 0.f);
    return pts;
}

inline bool inside(const std::vector<cv::Point2d>& pts, cv::Size size, double margin)
{
    for (const cv::Point2d& p : pts)
        if (!(p.x > margin && p.y > margin && p.x < size.width - margin && p.y < size.height - margin))
            return false;
    return true;
}

// The target in camera 2 for a target pose in camera 1.
inline void poseInCamera2(const Rig& rig, const cv::Vec3d& r1, const cv::Vec3d& t1, cv::Vec3d& r2, cv::Vec3d& t2)
{
    cv::composeRT(r1, t1, rig.om, rig.T, r2, t2);
}

// `count` views in which the whole grid is seen by both cameras; noise sigma in pixels.
inline Views makeViews(const Rig& rig, int count, double noiseSigma, uint64_t seed, int cols = 9, int rows = 6,
                       float square = 25.f)
{
    Views v;
    cv::RNG rng(seed);
    const std::vector<cv::Point3f> obj = grid(cols, rows, square);
    const cv::Point3d centre((cols - 1) * square / 2.0, (rows - 1) * square / 2.0, 0.0);
    std::vector<cv::Point3d> objd(obj.begin(), obj.end());
    while (static_cast<int>(v.object.size()) < count)
    {
        const cv::Vec3d angles(rng.uniform(-0.6, 0.6), rng.uniform(-0.6, 0.6), rng.uniform(-0.5, 0.5));
        cv::Matx33d R;
        cv::Rodrigues(angles, R);
        cv::Vec3d r1;
        cv::Rodrigues(R, r1);
        // Centre of the target somewhere in front of the rig.
        const cv::Vec3d at(rng.uniform(-110.0, 60.0), rng.uniform(-90.0, 90.0), rng.uniform(380.0, 750.0));
        const cv::Vec3d t1 = at - R * cv::Vec3d(centre.x, centre.y, centre.z);
        cv::Vec3d r2, t2;
        poseInCamera2(rig, r1, t1, r2, t2);

        std::vector<cv::Point2d> p1, p2;
        cv::projectPoints(objd, r1, t1, rig.cam[0].K, rig.cam[0].dist, p1);
        cv::projectPoints(objd, r2, t2, rig.cam[1].K, rig.cam[1].dist, p2);
        if (!inside(p1, rig.cam[0].size, 20.0) || !inside(p2, rig.cam[1].size, 20.0))
            continue;

        std::vector<cv::Point2f> i1, i2;
        for (size_t k = 0; k < p1.size(); ++k)
        {
            i1.emplace_back(static_cast<float>(p1[k].x + rng.gaussian(noiseSigma)),
                            static_cast<float>(p1[k].y + rng.gaussian(noiseSigma)));
            i2.emplace_back(static_cast<float>(p2[k].x + rng.gaussian(noiseSigma)),
                            static_cast<float>(p2[k].y + rng.gaussian(noiseSigma)));
        }
        v.object.push_back(obj);
        v.image[0].push_back(std::move(i1));
        v.image[1].push_back(std::move(i2));
        v.rvecs.push_back(r1);
        v.tvecs.push_back(t1);
    }
    return v;
}

} // namespace stereo_synth
