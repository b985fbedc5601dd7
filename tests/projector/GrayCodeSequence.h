#pragma once
#include <opencv2/core.hpp>

#include <vector>

#include "projector/GrayCodePatternGenerator.h"

// The whole sequence of a projector: also the capture of a camera that sees the projector
// pixel for pixel.
inline std::vector<cv::Mat> graySequence(const cv::Size& projector)
{
    GrayCodePatternGenerator generator(projector.height, projector.width);
    std::vector<cv::Mat> images(generator.imageCount());
    for (cv::Mat& image : images)
        image = generator.nextImage();
    return images;
}

inline int gray(int v) { return v ^ (v >> 1); }
