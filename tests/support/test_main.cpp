#include <QStandardPaths>
#include <gtest/gtest.h>

#ifdef VANTIRO_TEST_GUI
#include <QApplication>

#include "app/ui/CompressorApplication.h"
using TestApp = CompressorApplication<QApplication>;
#else
#include <QCoreApplication>
using TestApp = QCoreApplication;
#endif

#include "app/Settings.h"

int main(int argc, char** argv)
{
    // Before anything opens a QSettings: tests must never see the user's real configuration.
    QStandardPaths::setTestModeEnabled(true);
    vantiro::setApplicationIdentity();
    ::testing::InitGoogleTest(&argc, argv);
    TestApp app(argc, argv);
    return RUN_ALL_TESTS();
}
