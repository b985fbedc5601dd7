#include "robot/ui/ToolFlangeCalib.h"

ToolFlangeCalib::ToolFlangeCalib(const SensorObjectList& sensorList, QWidget* parent)
    : RobotModuleWindow(vantiro::robot::RobotModule::ToolFlange, sensorList, parent)
{
    setWindowTitle(QStringLiteral("Tool / Flange Calibration"));
}
