#pragma once
#include <opencv2/core.hpp>

#include "app/ui/CalibrationModule.h"
#include "targets/TargetSettings.h"

class QComboBox;
class QTextEdit;

// The "Intrinsic Calibration" module window: object selection and log; the calibration itself is not wired in yet.
class IntrinsicCalibrationWidget : public CalibrationModule
{
    Q_OBJECT

public:
    explicit IntrinsicCalibrationWidget(const SensorObjectList& sensorList, QWidget* parent = nullptr);

    QComboBox* combo_sensor = nullptr;
    QTextEdit* text_log = nullptr;

signals:
    void getSensorList(SensorObjectList& sensorList);
    void updateIntrinsics(int id, cv::Mat& K, cv::Mat& kc, cv::Size& imgSize);
    void getIntrinsics(int id, cv::Mat& K, cv::Mat& kc, cv::Size& imgSize);
    void getMainWindowSettings(MainWindowSettings& settings);

public slots:
    void updateSensorNames();

protected:
    void requestSensorList(SensorObjectList& list) override { emit getSensorList(list); }
};
