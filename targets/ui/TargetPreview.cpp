#include "targets/ui/TargetPreview.h"

#include <vtkActor.h>
#include <vtkImageData.h>
#include <vtkPlaneSource.h>
#include <vtkPolyDataMapper.h>
#include <vtkProperty.h>
#include <vtkTexture.h>

#include <cstring>

namespace {

vtkSmartPointer<vtkTexture> makeTexture(const cv::Mat& grey)
{
    auto image = vtkSmartPointer<vtkImageData>::New();
    image->SetDimensions(grey.cols, grey.rows, 1);
    image->AllocateScalars(VTK_UNSIGNED_CHAR, 1);
    auto* dst = static_cast<unsigned char*>(image->GetScalarPointer());
    for (int r = 0; r < grey.rows; ++r)
        std::memcpy(dst + size_t(r) * size_t(grey.cols), grey.ptr<unsigned char>(r), size_t(grey.cols));
    auto texture = vtkSmartPointer<vtkTexture>::New();
    texture->SetInputData(image);
    texture->InterpolateOn();
    return texture;
}

vtkSmartPointer<vtkActor> face(const double o[3], const double p1[3], const double p2[3], vtkTexture* texture)
{
    auto plane = vtkSmartPointer<vtkPlaneSource>::New();
    plane->SetOrigin(o[0], o[1], o[2]);
    plane->SetPoint1(p1[0], p1[1], p1[2]);
    plane->SetPoint2(p2[0], p2[1], p2[2]);
    auto mapper = vtkSmartPointer<vtkPolyDataMapper>::New();
    mapper->SetInputConnection(plane->GetOutputPort());
    auto actor = vtkSmartPointer<vtkActor>::New();
    actor->SetMapper(mapper);
    if (texture) {
        actor->SetTexture(texture);
        actor->GetProperty()->SetAmbient(1.0);
        actor->GetProperty()->SetDiffuse(0.0);
    } else {
        actor->GetProperty()->SetColor(0.75, 0.75, 0.75);
    }
    return actor;
}

} // namespace

vtkSmartPointer<vtkAssembly> renderBoardBox(const cv::Mat& texture, double width, double height)
{
    auto assembly = vtkSmartPointer<vtkAssembly>::New();
    const double x = width / 2, y = height / 2, z = width / 100 / 2;
    vtkSmartPointer<vtkTexture> tex = texture.empty() ? nullptr : makeTexture(texture);
    const double front[3][3] = {{-x, -y, z}, {x, -y, z}, {-x, y, z}};
    assembly->AddPart(face(front[0], front[1], front[2], tex));
    const double faces[5][3][3] = {
        {{-x, -y, -z}, {-x, y, -z}, {x, -y, -z}}, // back
        {{-x, -y, -z}, {x, -y, -z}, {-x, -y, z}}, // bottom
        {{-x, y, -z}, {-x, y, z}, {x, y, -z}},    // top
        {{-x, -y, -z}, {-x, -y, z}, {-x, y, -z}}, // left
        {{x, -y, -z}, {x, y, -z}, {x, -y, z}},    // right
    };
    for (const auto& f : faces)
        assembly->AddPart(face(f[0], f[1], f[2], nullptr));
    return assembly;
}

vtkSmartPointer<vtkAssembly> boardAssembly(const BoardImage& board)
{
    if (board.image.empty())
        return nullptr;
    return renderBoardBox(flipBoardImage(dimBoardImage(board.image)), board.width, board.height);
}
