#include "projector/ui/CamProjStereoCalib.h"

#include <QComboBox>
#include <QFormLayout>
#include <QTextEdit>
#include <QVBoxLayout>

CamProjStereoCalib::CamProjStereoCalib(const SensorObjectList& sensorList, QWidget* parent) : CalibrationModule(sensorList, parent)
{
    setWindowTitle(QStringLiteral("Camera Projector Calibration"));
    resize(900, 600);
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout();
    combo_camera = new QComboBox(this);
    combo_camera->setObjectName(QStringLiteral("combo_camera"));
    form->addRow(QStringLiteral("Camera"), combo_camera);
    combo_projector = new QComboBox(this);
    combo_projector->setObjectName(QStringLiteral("combo_projector"));
    form->addRow(QStringLiteral("Projector"), combo_projector);
    layout->addLayout(form);
    text_log = new QTextEdit(this);
    text_log->setObjectName(QStringLiteral("text_log"));
    text_log->setReadOnly(true);
    layout->addWidget(text_log, 1);
}

void CamProjStereoCalib::updateSensorNames()
{
    refillSensorCombos({combo_camera, combo_projector});
}
