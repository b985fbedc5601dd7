#pragma once
#include <opencv2/core.hpp>

#include "robot/ui/RobotModuleWindow.h"
#include "targets/TargetSettings.h"

// The "Hand / Eye Calibration" module: a camera on the robot's tool, a target fixed in the
// robot base frame; estimates the camera in the TCP frame (AX = XB).
class HandEyeCalib : public RobotModuleWindow
{
    Q_OBJECT

public:
    explicit HandEyeCalib(const SensorObjectList& sensorList, QWidget* parent = nullptr);

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
