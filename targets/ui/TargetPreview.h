#pragma once
#include <opencv2/core.hpp>

#include <vtkAssembly.h>
#include <vtkSmartPointer.h>

#include "targets/BoardImages.h"

// A thin box of W x H mm centred at the origin, thickness W / 100, whose front face (+z)
// carries the texture (an 8-bit grey image whose first row is the bottom of the board).
vtkSmartPointer<vtkAssembly> renderBoardBox(const cv::Mat& texture, double width, double height);

// The board of a preview image: dimmed, flipped and put on a box of the board's size.
// Empty when the image could not be built (the status says why).
vtkSmartPointer<vtkAssembly> boardAssembly(const BoardImage& board);
