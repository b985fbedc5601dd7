#pragma once
// Small helpers shared by the target tests.

#include <gtest/gtest.h>

#include <opencv2/core.hpp>

#include "targets/TargetSettings.h"

namespace vantiro::test {

// A target with square cells, dictionary 10 as the panel starts.
inline MainWindowSettings settingsOf(int32_t kind, int nx, int ny, double square, int marker = 0, bool legacy = false)
{
    return {kind, nx, ny, square, square, marker, 10, legacy};
}

// The cv::Exception that f raises; a failure (and an exception with code 0) when it raises none.
template <typename F> cv::Exception raisedBy(F f)
{
    try {
        f();
    } catch (const cv::Exception& e) {
        return e;
    }
    ADD_FAILURE() << "no cv::Exception raised";
    return {};
}

} // namespace vantiro::test
