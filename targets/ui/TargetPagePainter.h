#pragma once
// PDF and PNG files of a target page, painted with QPainter from the core's page description
// (targets/TargetPrint). QtGui only: the window and the command-line tool both use it.

#include <QImage>
#include <QString>

#include "targets/TargetPrint.h"

namespace vantiro::print {

// The page at true size: the paper of the page (or its custom size), no margins, vector shapes.
bool writePdfFile(const QString& path, const PageDrawing& page, QString* error);

// The page at dpi dots per inch, 8-bit grey, with the resolution stored in the file. A null image
// when it cannot be allocated.
QImage paintPage(const PageDrawing& page, int dpi);
bool writePngFile(const QString& path, const PageDrawing& page, int dpi, QString* error);

// The prepared export in its format; the file is complete or untouched. False with the reason.
bool writeTargetFile(const QString& path, const PreparedExport& prepared, int dpi, QString* error);

} // namespace vantiro::print
