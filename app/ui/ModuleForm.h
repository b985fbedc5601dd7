#pragma once
// Pieces the calibration module windows build their forms from.

#include <QColor>
#include <QString>

#include <opencv2/core.hpp>

#include <array>
#include <functional>

class QCheckBox;
class QGroupBox;
class QWidget;
class vtkRenderer;

namespace moduleform {

QCheckBox* checkBox(QWidget* parent, const QString& name, const QString& text, bool checked = false);
QGroupBox* groupBox(QWidget* parent, const QString& name, const QString& title, bool checkable = false,
                    bool checked = false);

// An error colour ((red, green, blue) fractions) as a widget colour.
QColor toQColor(const cv::Vec3d& colour);

// The lens-model options of one camera.
struct LensModelBoxes
{
    QGroupBox* useIntrinsicGuess = nullptr;
    QCheckBox* fixFocalLength = nullptr;
    QCheckBox* fixPrincipalPoint = nullptr;
    QGroupBox* radialDistortion = nullptr;
    std::array<QCheckBox*, 6> fixK{}; // k1 .. k6
    QCheckBox* rationalModel = nullptr;
};
// How the boxes follow each other: without a guess nothing can be fixed at it; without radial
// distortion k1..k3 are fixed and the rational model is off; k4..k6 show (unchecked) only with the
// rational model.
void coupleLensModelBoxes(const LensModelBoxes& boxes);

// The gradient background of the modules' 3D target views.
void setTargetViewBackground(vtkRenderer* renderer);
// Draws the scene (draw) seen from behind the camera at the origin, a little to the side and
// above, so that depth shows.
void showFromBehindCamera(vtkRenderer* renderer, const std::function<void()>& draw);

} // namespace moduleform
