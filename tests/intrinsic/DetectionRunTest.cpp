// The intrinsic run detecting on several workers: the same log, colours and corners as on one
// (whose detection equals the one-by-one loop's, see the pool's tests). The module window's test
// aborts in the middle of a list.

#include <gtest/gtest.h>

#include <cstring>

#include "IntrinsicTestData.h"
#include "intrinsic/IntrinsicFiles.h"
#include "targets/DetectionPool.h"

using namespace intrinsic_test;

namespace {

// Eight rendered views with, between them, a blank image (index 3), a file that is no image (5)
// and an unchecked view (6); view 1 brings a corner file, so only its size is read.
IntrinsicState mixedList(const QTemporaryDir& dir)
{
    IntrinsicState state = viewState(8, false, &dir);
    const View& v1 = views()[1];
    std::vector<cv::Point2f> image;
    std::vector<cv::Point3f> object;
    for (const auto& c : v1.corners) {
        image.emplace_back(c.image);
        object.emplace_back(float(c.board.x), float(c.board.y), 0.f);
    }
    writeCornerFile(cornerFilePath(state.images[1].path), cv::Mat(image), cv::Mat(object));
    ImageState blank, broken;
    blank.path = dir.path() + "/blank.png";
    cv::imwrite(QFile::encodeName(blank.path).toStdString(), cv::Mat(480, 640, CV_8UC1, cv::Scalar(128)));
    broken.path = writeText(dir.path() + "/broken.png", "no image");
    state.images.insert(state.images.begin() + 3, blank);
    state.images.insert(state.images.begin() + 5, broken);
    state.images[6].checked = false;
    state.previousTarget.reset();
    return state;
}

bool sameBits(const std::vector<cv::Point2f>& a, const std::vector<cv::Point2f>& b)
{
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(cv::Point2f)) == 0);
}

} // namespace

TEST(IntrinsicDetection, ManyWorkersLogAndKeepExactlyWhatOneWorkerDoes)
{
    QTemporaryDir dir, wd;
    const CalibrationRequest request{.options = {}, .target = kTarget, .workingDirectory = wd.path()};
    IntrinsicState states[2] = {mixedList(dir), mixedList(dir)};
    RecordingLogSink logs[2];
    CalibrationResult results[2];
    for (int k = 0; k < 2; ++k) {
        setDetectionWorkerCount(k == 0 ? 1 : 4);
        HookRecorder recorder; // outlives the run: its hooks point at it
        CalibrationHooks hooks = recorder.hooks();
        int last = -1;
        hooks.progress = [&last](int done, int total) {
            EXPECT_TRUE(done > last && total == 10) << done << "/" << total;
            last = done;
        };
        results[k] = calibrateIntrinsics(states[k], request, hooks, logs[k]);
        ASSERT_EQ(results[k].status, CalibrationStatus::Calibrated) << logs[k].text().toStdString();
        EXPECT_EQ(last, 10);
    }
    setDetectionWorkerCount(0);

    const QString all = tagged(logs[1]);
    EXPECT_TRUE(all.contains("Detecting targets: <green>0 </><reused>1 </><green>2 </><red>3 </><green>4 </><red>5 "
                             "</><grey>6 </><green>7 8 9 </>\n\n<orange>Warning: Image 5 could not be read: " +
                             states[1].images[5].path + " (not a PNG, JPEG, TIFF or BMP image)\n</>\nIntrinsic calibration with 7/10 images...\n\n"))
        << all.toStdString();
    EXPECT_EQ(tagged(logs[0]), all);
    EXPECT_EQ(results[0].rms, results[1].rms);
    for (size_t i = 0; i < states[0].images.size(); ++i) {
        const ImageState &a = states[0].images[i], &b = states[1].images[i];
        EXPECT_TRUE(sameBits(a.imagePoints, b.imagePoints) && a.objectPoints == b.objectPoints &&
                    a.checked == b.checked && a.size == b.size)
            << i;
    }
    EXPECT_FALSE(states[1].images[3].checked || states[1].images[5].checked);
}

