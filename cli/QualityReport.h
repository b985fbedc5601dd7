#pragma once
// The quality report of an intrinsic calibration: the pictures as PNG files and the figures in
// "quality.yml", in one folder.

#include <QString>
#include <QStringList>

#include "intrinsic/CalibrationQuality.h"

namespace cli {

// The files the report consists of, in the order they are written.
QStringList qualityReportFiles();

// Writes the report into folder (created when missing); imagePaths are the image list the
// views' indices refer to. The files are written as one set: all of them or none; throws RunError.
void writeQualityReport(const QString& folder, const vantiro::intrinsic::CalibrationQuality& quality,
                        const QStringList& imagePaths);

} // namespace cli
