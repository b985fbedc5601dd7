#pragma once

class QApplication;

// Fusion style with a dark palette and the matching tool-tip and disabled-button rules.
void applyDarkTheme(QApplication& app);
