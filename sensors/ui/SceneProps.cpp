#include "sensors/ui/SceneProps.h"

#include <vtkActor.h>
#include <vtkAssembly.h>
#include <vtkCellArray.h>
#include <vtkDataSetMapper.h>
#include <vtkFollower.h>
#include <vtkLine.h>
#include <vtkMatrix4x4.h>
#include <vtkPLYReader.h>
#include <vtkPlaneSource.h>
#include <vtkPoints.h>
#include <vtkPolyData.h>
#include <vtkPolyDataMapper.h>
#include <vtkProperty.h>
#include <vtkRenderer.h>
#include <vtkTriangle.h>
#include <vtkUnstructuredGrid.h>
#include <vtkVectorText.h>

#include "sensors/SceneGeometry.h"

namespace props {

namespace {
bool poseGiven(const cv::Mat& R, const cv::Mat& t)
{
    return !R.empty() && !t.empty() && R.total() == 9 && t.total() == 3;
}

cv::Matx33d toMatx33(const cv::Mat& R)
{
    cv::Mat r;
    R.reshape(1, 3).convertTo(r, CV_64F);
    return cv::Matx33d(r);
}

cv::Vec3d toVec3(const cv::Mat& t)
{
    cv::Mat v;
    t.reshape(1, 3).convertTo(v, CV_64F);
    return {v.at<double>(0), v.at<double>(1), v.at<double>(2)};
}
} // namespace

vtkSmartPointer<vtkMatrix4x4> poseMatrix(const cv::Matx33d& R, const cv::Vec3d& t)
{
    auto m = vtkSmartPointer<vtkMatrix4x4>::New();
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c)
            m->SetElement(r, c, R(r, c));
        m->SetElement(r, 3, t[r]);
    }
    return m;
}

vtkSmartPointer<vtkActor> axesGlyph(double length)
{
    auto reader = vtkSmartPointer<vtkPLYReader>::New();
    reader->ReadFromInputStringOn();
    reader->SetInputString(axesGlyphPly(length).toStdString());
    reader->Update();
    auto mapper = vtkSmartPointer<vtkPolyDataMapper>::New();
    mapper->SetInputConnection(reader->GetOutputPort());
    auto actor = vtkSmartPointer<vtkActor>::New();
    actor->SetMapper(mapper);
    actor->SetUserMatrix(vtkSmartPointer<vtkMatrix4x4>::New());
    return actor;
}

vtkSmartPointer<vtkActor> axesAtPose(vtkRenderer* renderer, const cv::Mat& R, const cv::Mat& t)
{
    auto actor = axesGlyph(400);
    if (poseGiven(R, t))
        actor->SetUserMatrix(poseMatrix(toMatx33(R), toVec3(t)));
    renderer->AddActor(actor);
    return actor;
}

vtkSmartPointer<vtkActor> frustum(vtkRenderer* renderer, const cv::Mat& K, cv::Size imageSize, double depth,
                                  const cv::Mat& R, const cv::Mat& t)
{
    auto actor = vtkSmartPointer<vtkActor>::New();
    const auto p = frustumPoints(K, imageSize, depth);
    auto grid = vtkSmartPointer<vtkUnstructuredGrid>::New();
    // Non-finite corners (no intrinsics yet) would poison the renderer's bounds: draw nothing.
    if (allFinite(p)) {
        auto points = vtkSmartPointer<vtkPoints>::New();
        for (const auto& v : p)
            points->InsertNextPoint(v[0], v[1], v[2]);
        grid->SetPoints(points);
        for (int i = 0; i < 4; ++i) {
            auto tri = vtkSmartPointer<vtkTriangle>::New();
            tri->GetPointIds()->SetId(0, i);
            tri->GetPointIds()->SetId(1, (i + 1) % 4);
            tri->GetPointIds()->SetId(2, 4);
            grid->InsertNextCell(tri->GetCellType(), tri->GetPointIds());
        }
    }
    auto mapper = vtkSmartPointer<vtkDataSetMapper>::New();
    mapper->SetInputData(grid);
    actor->SetMapper(mapper);
    actor->GetProperty()->SetOpacity(0.1);
    actor->GetProperty()->EdgeVisibilityOn();
    actor->GetProperty()->SetEdgeColor(1, 1, 1);
    if (poseGiven(R, t))
        actor->SetUserMatrix(poseMatrix(toMatx33(R), toVec3(t)));
    renderer->AddActor(actor);
    return actor;
}

vtkSmartPointer<vtkFollower> nameLabel(vtkRenderer* renderer, const QString& text, const cv::Vec3d* position)
{
    auto source = vtkSmartPointer<vtkVectorText>::New();
    source->SetText(text.toUtf8().constData());
    auto mapper = vtkSmartPointer<vtkPolyDataMapper>::New();
    mapper->SetInputConnection(source->GetOutputPort());
    auto follower = vtkSmartPointer<vtkFollower>::New();
    follower->SetMapper(mapper);
    follower->GetProperty()->SetColor(1, 1, 1);
    follower->SetScale(40);
    follower->SetCamera(renderer->GetActiveCamera());
    if (position)
        follower->SetPosition((*position)[0], (*position)[1], (*position)[2]);
    renderer->AddActor(follower);
    return follower;
}

void boardPlane(vtkRenderer* renderer, vtkAssembly* assembly, const cv::Matx33d& R, const cv::Vec3d& t, int nx,
                int ny, double sx, double sy, const cv::Vec3d& colour, double opacity)
{
    BoardPlaneCorners c = boardPlaneCorners(R, t, nx, ny, sx, sy);
    auto plane = vtkSmartPointer<vtkPlaneSource>::New();
    plane->SetOrigin(c.origin.val);
    plane->SetPoint1(c.alongX.val);
    plane->SetPoint2(c.alongY.val);
    auto planeMapper = vtkSmartPointer<vtkPolyDataMapper>::New();
    planeMapper->SetInputConnection(plane->GetOutputPort());
    auto planeActor = vtkSmartPointer<vtkActor>::New();
    planeActor->SetMapper(planeMapper);
    planeActor->GetProperty()->SetColor(colour[0], colour[1], colour[2]);
    planeActor->GetProperty()->SetOpacity(opacity);
    planeActor->GetProperty()->EdgeVisibilityOn();
    planeActor->GetProperty()->SetEdgeColor(colour[0], colour[1], colour[2]);

    auto points = vtkSmartPointer<vtkPoints>::New();
    points->InsertNextPoint(c.origin.val);
    points->InsertNextPoint(c.alongX.val);
    points->InsertNextPoint(c.alongY.val);
    auto lines = vtkSmartPointer<vtkCellArray>::New();
    for (int end : {1, 2}) {
        auto line = vtkSmartPointer<vtkLine>::New();
        line->GetPointIds()->SetId(0, 0);
        line->GetPointIds()->SetId(1, end);
        lines->InsertNextCell(line);
    }
    auto poly = vtkSmartPointer<vtkPolyData>::New();
    poly->SetPoints(points);
    poly->SetLines(lines);
    auto lineMapper = vtkSmartPointer<vtkPolyDataMapper>::New();
    lineMapper->SetInputData(poly);
    auto lineActor = vtkSmartPointer<vtkActor>::New();
    lineActor->SetMapper(lineMapper);
    lineActor->GetProperty()->SetColor(colour[0], colour[1], colour[2]);
    lineActor->GetProperty()->SetLineWidth(2);

    if (assembly) {
        assembly->AddPart(planeActor);
        assembly->AddPart(lineActor);
        renderer->AddActor(assembly);
    } else {
        renderer->AddActor(planeActor);
        renderer->AddActor(lineActor);
    }
}

} // namespace props
