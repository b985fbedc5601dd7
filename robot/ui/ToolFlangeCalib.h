#pragma once
#include <opencv2/core.hpp>

#include "robot/ui/RobotModuleWindow.h"
#include "targets/TargetSettings.h"

// The "Tool / Flange Calibration" module: a fixed camera and a target on the robot's flange;
// estimates the camera in the robot base frame and the target in the TCP frame (AX = YB).
class ToolFlangeCalib : public RobotModuleWindow
{
    Q_OBJECT

public:
    explicit ToolFlangeCalib(const SensorObjectList& sensorList, QWidget* parent = nullptr);

signals:
    void getSensorList(SensorObjectList& sensorList);
    void updateSecondaryExtrinsics(int idx1, int idx2, cv::Matx33d R, cv::Matx31d t);
    void getIntrinsics(int id, cv::Mat& K, cv::Mat& kc, cv::Size& imgSize);
    void getMainWindowSettings(MainWindowSettings& settings);

protected:
    void requestSensorList(SensorObjectList& list) override { emit getSensorList(list); }
    void requestIntrinsics(int id, cv::Mat& K, cv::Mat& kc, cv::Size& imageSize) override
    {
        emit getIntrinsics(id, K, kc, imageSize);
    }
    void requestTargetSettings(MainWindowSettings& settings) override { emit getMainWindowSettings(settings); }
    void handOverExtrinsics(int idCamera, int idRobot, const cv::Matx33d& R, const cv::Matx31d& t) override
    {
        emit updateSecondaryExtrinsics(idCamera, idRobot, R, t);
    }
};
