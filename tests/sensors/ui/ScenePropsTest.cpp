#include <gtest/gtest.h>

#include <vtkActor.h>
#include <vtkAssembly.h>
#include <vtkFollower.h>
#include <vtkMatrix4x4.h>
#include <vtkNew.h>
#include <vtkPointData.h>
#include <vtkPolyData.h>
#include <vtkPolyDataMapper.h>
#include <vtkProp3DCollection.h>
#include <vtkPropCollection.h>
#include <vtkProperty.h>
#include <vtkRenderer.h>

#include "sensors/ui/SceneProps.h"

TEST(SceneProps, AxesGlyphParsesIntoItsPointsAndFaces)
{
    for (double length : {100.0, 400.0}) {
        auto glyph = props::axesGlyph(length);
        auto* data = vtkPolyData::SafeDownCast(glyph->GetMapper()->GetInput());
        ASSERT_NE(data, nullptr);
        EXPECT_EQ(data->GetNumberOfPoints(), 57);
        EXPECT_EQ(data->GetNumberOfPolys(), 18);
        double b[6];
        data->GetBounds(b);
        EXPECT_DOUBLE_EQ(b[1], length);
        EXPECT_DOUBLE_EQ(b[0], -length / 40);
        EXPECT_TRUE(glyph->GetUserMatrix()->IsIdentity());
        EXPECT_NE(data->GetPointData()->GetScalars(), nullptr) << "vertex colours";
    }
}

TEST(SceneProps, PropsArePlacedAtTheirPose)
{
    vtkNew<vtkRenderer> renderer;
    const cv::Mat R = (cv::Mat_<double>(3, 3) << 0, -1, 0, 1, 0, 0, 0, 0, 1);
    const cv::Mat t = (cv::Mat_<double>(3, 1) << 10, 20, 30);
    auto axes = props::axesAtPose(renderer, R, t);
    EXPECT_EQ(axes->GetUserMatrix()->GetElement(0, 1), -1);
    EXPECT_EQ(axes->GetUserMatrix()->GetElement(2, 3), 30);
    EXPECT_TRUE(props::axesAtPose(renderer)->GetUserMatrix()->IsIdentity()) << "no pose, no matrix";
    EXPECT_EQ(renderer->GetActors()->GetNumberOfItems(), 2);

    const cv::Mat K = (cv::Mat_<double>(3, 3) << 1000, 0, 640, 0, 1000, 480, 0, 0, 1);
    auto frustum = props::frustum(renderer, K, cv::Size(1280, 960), 1000, R, t);
    EXPECT_EQ(frustum->GetMapper()->GetInput()->GetNumberOfPoints(), 5);
    EXPECT_EQ(frustum->GetMapper()->GetInput()->GetNumberOfCells(), 4);
    EXPECT_DOUBLE_EQ(frustum->GetProperty()->GetOpacity(), 0.1);
    EXPECT_EQ(frustum->GetUserMatrix()->GetElement(1, 3), 20);

    // A camera without intrinsics yields an empty frustum but keeps everything else working.
    auto empty = props::frustum(renderer, cv::Mat::zeros(3, 3, CV_64F), cv::Size(), 1000);
    EXPECT_EQ(empty->GetMapper()->GetInput()->GetNumberOfPoints(), 0);
    double bounds[6];
    renderer->ComputeVisiblePropBounds(bounds);
    for (double v : bounds)
        EXPECT_TRUE(std::isfinite(v));

    const cv::Vec3d at(1, 2, 3);
    auto label = props::nameLabel(renderer, "Cam7", &at);
    EXPECT_EQ(label->GetCamera(), renderer->GetActiveCamera());
    EXPECT_DOUBLE_EQ(label->GetScale()[0], 40);
    EXPECT_DOUBLE_EQ(label->GetPosition()[2], 3);
}

TEST(SceneProps, BoardPlaneGoesIntoTheAssembly)
{
    vtkNew<vtkRenderer> renderer;
    vtkNew<vtkAssembly> assembly;
    props::boardPlane(renderer, assembly, cv::Matx33d::eye(), cv::Vec3d(0, 0, 500), 9, 6, 25, 25,
                      cv::Vec3d(1, 0.5, 0), 0.4);
    EXPECT_EQ(assembly->GetParts()->GetNumberOfItems(), 2);
    EXPECT_EQ(renderer->GetViewProps()->GetNumberOfItems(), 1);
    double b[6];
    assembly->GetBounds(b);
    EXPECT_DOUBLE_EQ(b[1], 225);
    EXPECT_DOUBLE_EQ(b[3], 150);
    EXPECT_DOUBLE_EQ(b[4], 500);

    vtkNew<vtkRenderer> direct;
    props::boardPlane(direct, nullptr, cv::Matx33d::eye(), cv::Vec3d(), 2, 2, 1, 1, cv::Vec3d(0, 1, 0), 1.0);
    EXPECT_EQ(direct->GetViewProps()->GetNumberOfItems(), 2);
}
