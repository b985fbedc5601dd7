#pragma once
// Synthetic stereo views of a planar 9 x 6 grid (25 mm): two cameras with known intrinsics,
// distortion and baseline, target poses from a seeded generator, Gaussian noise on the corners.
// Shared by the stereo tests and bench_stereo.

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>

#include <vector>

namespace stereo_synth {

struct Camera { cv::Matx33d K; cv::Mat dist; cv::Size size; }; // dist 1 x 5, CV_64F
struct Rig { Camera cam[2]; cv::Vec3d om, T; };                   // camera 1 -> camera 2, millimetres

struct Views
{
    std::vector<std::vector<cv::Point3f>> object;
    std::vector<std::vector<cv::Point2f>> image[2];
    std::vector<cv::Vec3d> rvecs, tvecs; // target in camera 1
};

inline Rig defaultRig()
{
    return {{{cv::Matx33d(1000, 0, 640, 0, 1004, 478, 0, 0, 1),
              (cv::Mat_<double>(1, 5) << -0.21, 0.09, 0.0011, -0.0007, 0.0), cv::Size(1280, 960)},
             {cv::Matx33d(985, 0, 652, 0, 990, 471, 0, 0, 1),
              (cv::Mat_<double>(1, 5) << -0.16, 0.05, -0.0009, 0.0006, 0.0), cv::Size(1280, 960)}},
            cv::Vec3d(0.012, -0.09, 0.006), cv::Vec3d(-118.0, 1.5, 4.0)};
}

// `count` views in which both cameras see the whole grid at least 20 px inside the image.
inline Views makeViews(const Rig& rig, int count, double noiseSigma, uint64_t seed)
{
    Views v;
    cv::RNG rng(seed);
    std::vector<cv::Point3f> obj;
    for (int r = 0; r < 6; ++r)
        for (int c = 0; c < 9; ++c)
            obj.emplace_back(c * 25.f, r * 25.f, 0.f);
    const std::vector<cv::Point3d> objd(obj.begin(), obj.end());
    while (static_cast<int>(v.object.size()) < count) {
        const cv::Vec3d angles(rng.uniform(-0.6, 0.6), rng.uniform(-0.6, 0.6), rng.uniform(-0.5, 0.5));
        cv::Matx33d R;
        cv::Vec3d r[2], t[2];
        cv::Rodrigues(angles, R);
        cv::Rodrigues(R, r[0]);
        // The grid's centre somewhere in front of the rig.
        const cv::Vec3d at(rng.uniform(-110.0, 60.0), rng.uniform(-90.0, 90.0), rng.uniform(380.0, 750.0));
        t[0] = at - R * cv::Vec3d(100.0, 62.5, 0.0);
        cv::composeRT(r[0], t[0], rig.om, rig.T, r[1], t[1]);

        std::vector<cv::Point2d> p[2];
        bool inside = true;
        for (int k = 0; k < 2; ++k) {
            cv::projectPoints(objd, r[k], t[k], rig.cam[k].K, rig.cam[k].dist, p[k]);
            for (const cv::Point2d& q : p[k])
                inside &= q.x > 20.0 && q.y > 20.0 && q.x < rig.cam[k].size.width - 20.0 &&
                          q.y < rig.cam[k].size.height - 20.0;
        }
        if (!inside)
            continue;
        std::vector<cv::Point2f> img[2];
        for (size_t q = 0; q < objd.size(); ++q)
            for (int k = 0; k < 2; ++k) // noise drawn x, y of camera 1, then of camera 2
                img[k].emplace_back(static_cast<float>(p[k][q].x + rng.gaussian(noiseSigma)),
                                    static_cast<float>(p[k][q].y + rng.gaussian(noiseSigma)));
        v.object.push_back(obj);
        v.image[0].push_back(std::move(img[0]));
        v.image[1].push_back(std::move(img[1]));
        v.rvecs.push_back(r[0]);
        v.tvecs.push_back(t[0]);
    }
    return v;
}

} // namespace stereo_synth
