#pragma once
#include <QString>

#include <opencv2/core.hpp>

#include <vtkSmartPointer.h>

class vtkActor;
class vtkAssembly;
class vtkFollower;
class vtkMatrix4x4;
class vtkRenderer;

// Builders of the 3D props shared by every view of the program (scene, target preview,
// module views). Each creates new VTK objects; the caller keeps the returned pointer.
namespace props {

// Coordinate axes glyph of length L (white cube, red x, green y, blue z arm).
vtkSmartPointer<vtkActor> axesGlyph(double length);

// Axes glyph of length 400 added to renderer; placed at [R t] when both are non-empty.
vtkSmartPointer<vtkActor> axesAtPose(vtkRenderer* renderer, const cv::Mat& R = cv::Mat(), const cv::Mat& t = cv::Mat());

// Translucent viewing frustum (four side faces, white edges) of depth d from K and the
// image size, placed at [R t] when both are non-empty, added to renderer. A camera matrix
// with zero focal length yields an actor without geometry.
vtkSmartPointer<vtkActor> frustum(vtkRenderer* renderer, const cv::Mat& K, cv::Size imageSize, double depth,
                                  const cv::Mat& R = cv::Mat(), const cv::Mat& t = cv::Mat());

// The text as white 3D letters (scale 40) that always face the renderer's camera, at
// position when it is given, added to renderer.
vtkSmartPointer<vtkFollower> nameLabel(vtkRenderer* renderer, const QString& text,
                                       const cv::Vec3d* position = nullptr);

// [R t; 0 0 0 1]
vtkSmartPointer<vtkMatrix4x4> poseMatrix(const cv::Matx33d& R, const cv::Vec3d& t);

// A board of nx x ny squares of sx x sy mm at [R t]: a coloured plane with the given
// opacity and two edge lines along its x and y sides (width 2). With an assembly both become
// its parts and the assembly is added to renderer; otherwise both are added directly.
void boardPlane(vtkRenderer* renderer, vtkAssembly* assembly, const cv::Matx33d& R, const cv::Vec3d& t, int nx,
                int ny, double sx, double sy, const cv::Vec3d& colour, double opacity);

} // namespace props
