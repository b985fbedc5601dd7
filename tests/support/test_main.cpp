#include <QDir>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#ifdef VANTIRO_TEST_GUI
#include <QApplication>

#include "app/ui/CompressorApplication.h"
#include "support/DisplayHold.h"
using TestApp = CompressorApplication<QApplication>;
#else
#include <QCoreApplication>
using TestApp = QCoreApplication;
#endif

#include "app/Settings.h"
#include "support/CrashReport.h"

int main(int argc, char** argv)
{
    // Tests must never see the user's real configuration, nor each other's: ctest runs test
    // processes in parallel, so each gets its own home (test mode keeps settings below it).
    QTemporaryDir home(QDir::tempPath() + QStringLiteral("/vantiro-test-home-XXXXXX"));
    if (home.isValid())
        qputenv("HOME", home.path().toLocal8Bit());
    QStandardPaths::setTestModeEnabled(true);
    vantiro::setApplicationIdentity();
    ::testing::InitGoogleTest(&argc, argv);
    installCrashReport();
#ifdef VANTIRO_TEST_GUI
    DisplayHold display;
    TestApp app(argc, argv);
    display.release();
#else
    TestApp app(argc, argv);
#endif
    return RUN_ALL_TESTS();
}
