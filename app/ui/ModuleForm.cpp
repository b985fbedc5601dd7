#include "app/ui/ModuleForm.h"

#include <QCheckBox>
#include <QGroupBox>

#include <vtkCamera.h>
#include <vtkRenderer.h>

#include "intrinsic/ErrorAnalysis.h"

namespace moduleform {

QCheckBox* checkBox(QWidget* parent, const QString& name, const QString& text, bool checked)
{
    auto* box = new QCheckBox(text, parent);
    box->setObjectName(name);
    box->setChecked(checked);
    return box;
}

QGroupBox* groupBox(QWidget* parent, const QString& name, const QString& title, bool checkable, bool checked)
{
    auto* group = new QGroupBox(title, parent);
    group->setObjectName(name);
    if (checkable) {
        group->setCheckable(true);
        group->setChecked(checked);
    }
    return group;
}

QColor toQColor(const cv::Vec3d& colour)
{
    const cv::Vec3b c = vantiro::intrinsic::toRgb8(colour);
    return QColor(c[0], c[1], c[2]);
}

void coupleLensModelBoxes(const LensModelBoxes& b)
{
    QObject::connect(b.useIntrinsicGuess, &QGroupBox::toggled, b.useIntrinsicGuess, [b](bool on) {
        if (on)
            return;
        b.fixFocalLength->setChecked(false);
        b.fixPrincipalPoint->setChecked(false);
    });
    QObject::connect(b.radialDistortion, &QGroupBox::toggled, b.radialDistortion, [b](bool on) {
        if (on)
            return;
        for (int k = 0; k < 3; ++k)
            b.fixK[size_t(k)]->setChecked(true);
        b.rationalModel->setChecked(false);
    });
    for (int k = 3; k < 6; ++k)
        b.fixK[size_t(k)]->setVisible(false);
    QObject::connect(b.rationalModel, &QCheckBox::toggled, b.rationalModel, [b](bool on) {
        for (int k = 3; k < 6; ++k) {
            b.fixK[size_t(k)]->setChecked(false);
            b.fixK[size_t(k)]->setVisible(on);
        }
    });
}

void setTargetViewBackground(vtkRenderer* renderer)
{
    renderer->SetBackground(0.3, 0.6, 0.9);
    renderer->SetBackground2(0.9, 0.9, 0.9);
    renderer->GradientBackgroundOn();
}

void showFromBehindCamera(vtkRenderer* renderer, const std::function<void()>& draw)
{
    vtkCamera* camera = renderer->GetActiveCamera();
    camera->SetPosition(0, 0, -1);
    camera->SetFocalPoint(0, 0, 1);
    camera->SetViewUp(0, -1, 0);
    draw();
    renderer->ResetCamera();
    camera->Azimuth(30);
    camera->Elevation(20);
    camera->OrthogonalizeViewUp();
    renderer->ResetCamera();
}

} // namespace moduleform
