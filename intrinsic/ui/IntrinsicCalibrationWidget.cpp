#include "intrinsic/ui/IntrinsicCalibrationWidget.h"

#include <QComboBox>
#include <QFormLayout>
#include <QTextEdit>
#include <QVBoxLayout>

IntrinsicCalibrationWidget::IntrinsicCalibrationWidget(const SensorObjectList& sensorList, QWidget* parent) : CalibrationModule(sensorList, parent)
{
    setWindowTitle(QStringLiteral("Intrinsic Calibration"));
    resize(900, 600);
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout();
    combo_sensor = new QComboBox(this);
    combo_sensor->setObjectName(QStringLiteral("combo_sensor"));
    form->addRow(QStringLiteral("Camera"), combo_sensor);
    layout->addLayout(form);
    text_log = new QTextEdit(this);
    text_log->setObjectName(QStringLiteral("text_log"));
    text_log->setReadOnly(true);
    layout->addWidget(text_log, 1);
}

void IntrinsicCalibrationWidget::updateSensorNames()
{
    refillSensorCombos({combo_sensor});
}
