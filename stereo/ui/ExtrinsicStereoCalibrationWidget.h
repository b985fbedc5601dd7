#pragma once
#include <opencv2/core.hpp>

#include "app/ui/CalibrationModule.h"
#include "targets/TargetSettings.h"

class QComboBox;
class QTextEdit;

// The "Extrinsic Stereo Calibration" module window: object selection and log; the calibration itself is not wired in yet.
class ExtrinsicStereoCalibrationWidget : public CalibrationModule
{
    Q_OBJECT

public:
    explicit ExtrinsicStereoCalibrationWidget(const SensorObjectList& sensorList, QWidget* parent = nullptr);

    QComboBox* combo_primary = nullptr;
    QComboBox* combo_secondary = nullptr;
    QTextEdit* text_log = nullptr;

signals:
    void getSensorList(SensorObjectList& sensorList);
    void getMainWindowSettings(MainWindowSettings& settings);
    void getPrimaryIntrinsics(int id, cv::Mat& K, cv::Mat& kc, cv::Size& imgSize);
    void getSecondaryIntrinsics(int id, cv::Mat& K, cv::Mat& kc, cv::Size& imgSize);
    void updatePrimaryIntrinsics(int id, cv::Mat& K, cv::Mat& kc, cv::Size& imgSize);
    void updateSecondaryIntrinsics(int id, cv::Mat& K, cv::Mat& kc, cv::Size& imgSize);
    void updateSecondaryExtrinsics(int idx1, int idx2, cv::Matx33d R, cv::Matx31d t);

public slots:
    void updateSensorNames();

protected:
    void requestSensorList(SensorObjectList& list) override { emit getSensorList(list); }
};
