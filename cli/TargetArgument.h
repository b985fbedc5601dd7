#pragma once
// The target as one compact command-line value:
//   chessboard:10x7:25            kind, squares X x Y, square size in mm
//   chessboard:10x7:25x30         independent square height
//   chessboard:10x7:25:exhaustive also try the slow classic search
//   charuco:10x9:100:75:DICT_6X6_250[:legacy]   square and marker size in mm, dictionary (name or id)
//   radon:10x9:100                chessboard with markers

#include <QString>

#include "targets/TargetSettings.h"

namespace cli {

// Throws UsageError with the reason. The limits are those of the target panel.
MainWindowSettings parseTargetArgument(const QString& text);

// The compact value of a record (the inverse of parseTargetArgument).
QString formatTargetArgument(const MainWindowSettings& settings);

} // namespace cli
