#include "stereo/ui/ExtrinsicStereoCalibrationWidget.h"

#include <QComboBox>
#include <QFormLayout>
#include <QTextEdit>
#include <QVBoxLayout>

ExtrinsicStereoCalibrationWidget::ExtrinsicStereoCalibrationWidget(const SensorObjectList& sensorList, QWidget* parent) : CalibrationModule(sensorList, parent)
{
    setWindowTitle(QStringLiteral("Extrinsic Stereo Calibration"));
    resize(900, 600);
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout();
    combo_primary = new QComboBox(this);
    combo_primary->setObjectName(QStringLiteral("combo_primary"));
    form->addRow(QStringLiteral("Primary"), combo_primary);
    combo_secondary = new QComboBox(this);
    combo_secondary->setObjectName(QStringLiteral("combo_secondary"));
    form->addRow(QStringLiteral("Secondary"), combo_secondary);
    layout->addLayout(form);
    text_log = new QTextEdit(this);
    text_log->setObjectName(QStringLiteral("text_log"));
    text_log->setReadOnly(true);
    layout->addWidget(text_log, 1);
}

void ExtrinsicStereoCalibrationWidget::updateSensorNames()
{
    refillSensorCombos({combo_primary, combo_secondary});
}
