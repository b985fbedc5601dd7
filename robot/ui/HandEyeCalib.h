#pragma once
#include <opencv2/core.hpp>

#include "app/ui/CalibrationModule.h"
#include "targets/TargetSettings.h"

class QComboBox;
class QTextEdit;

// The "Hand / Eye Calibration" module window: object selection and log; the calibration itself is not wired in yet.
class HandEyeCalib : public CalibrationModule
{
    Q_OBJECT

public:
    explicit HandEyeCalib(const SensorObjectList& sensorList, QWidget* parent = nullptr);

    QComboBox* combo_sensor = nullptr;
    QComboBox* combo_robot = nullptr;
    QTextEdit* text_log = nullptr;

signals:
    void getSensorList(SensorObjectList& sensorList);
    void updateSecondaryExtrinsics(int idx1, int idx2, cv::Matx33d R, cv::Matx31d t);
    void getIntrinsics(int id, cv::Mat& K, cv::Mat& kc, cv::Size& imgSize);
    void getMainWindowSettings(MainWindowSettings& settings);

public slots:
    void updateSensorNames();

protected:
    void requestSensorList(SensorObjectList& list) override { emit getSensorList(list); }
};
