#include "robot/ui/HandEyeCalib.h"

HandEyeCalib::HandEyeCalib(const SensorObjectList& sensorList, QWidget* parent)
    : RobotModuleWindow(vantiro::robot::RobotModule::HandEye, sensorList, parent)
{
    setWindowTitle(QStringLiteral("Hand / Eye Calibration"));
}
