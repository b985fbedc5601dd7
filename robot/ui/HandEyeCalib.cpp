#include "robot/ui/HandEyeCalib.h"

#include <QComboBox>
#include <QFormLayout>
#include <QTextEdit>
#include <QVBoxLayout>

HandEyeCalib::HandEyeCalib(const SensorObjectList& sensorList, QWidget* parent) : CalibrationModule(sensorList, parent)
{
    setWindowTitle(QStringLiteral("Hand / Eye Calibration"));
    resize(900, 600);
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout();
    combo_sensor = new QComboBox(this);
    combo_sensor->setObjectName(QStringLiteral("combo_sensor"));
    form->addRow(QStringLiteral("Camera"), combo_sensor);
    combo_robot = new QComboBox(this);
    combo_robot->setObjectName(QStringLiteral("combo_robot"));
    form->addRow(QStringLiteral("Robot Base"), combo_robot);
    layout->addLayout(form);
    text_log = new QTextEdit(this);
    text_log->setObjectName(QStringLiteral("text_log"));
    text_log->setReadOnly(true);
    layout->addWidget(text_log, 1);
}

void HandEyeCalib::updateSensorNames()
{
    refillSensorCombos({combo_sensor, combo_robot});
}
