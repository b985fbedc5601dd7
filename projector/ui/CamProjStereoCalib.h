#pragma once
#include <opencv2/core.hpp>

#include "app/ui/CalibrationModule.h"
#include "targets/TargetSettings.h"

class QComboBox;
class QTextEdit;

// The "Camera Projector Calibration" module window: object selection and log; the calibration itself is not wired in yet.
class CamProjStereoCalib : public CalibrationModule
{
    Q_OBJECT

public:
    explicit CamProjStereoCalib(const SensorObjectList& sensorList, QWidget* parent = nullptr);

    QComboBox* combo_camera = nullptr;
    QComboBox* combo_projector = nullptr;
    QTextEdit* text_log = nullptr;

signals:
    void getSensorList(SensorObjectList& sensorList);
    void updatePrimaryIntrinsics(int id, cv::Mat& K, cv::Mat& kc, cv::Size& imgSize);
    void updateSecondaryIntrinsics(int id, cv::Mat& K, cv::Mat& kc, cv::Size& imgSize);
    void getPrimaryIntrinsics(int id, cv::Mat& K, cv::Mat& kc, cv::Size& imgSize);
    void getSecondaryIntrinsics(int id, cv::Mat& K, cv::Mat& kc, cv::Size& imgSize);
    void getMainWindowSettings(MainWindowSettings& settings);

public slots:
    void updateSensorNames();

protected:
    void requestSensorList(SensorObjectList& list) override { emit getSensorList(list); }
};
