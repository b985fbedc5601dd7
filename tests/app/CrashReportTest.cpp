#include <QProcess>
#include <gtest/gtest.h>

#include <csignal>

// The test main reports a crash with the signal and the phase it came in (which test, or the
// teardown), then lets the signal kill the process, so ctest still sees the crash. Each case
// runs one test of the probe program, as ctest would.

namespace {
struct ChildRun {
    QString err;
    QProcess::ExitStatus status;
    int code;
};

ChildRun runAlone(const char* test)
{
    QProcess p;
    p.start(QStringLiteral(VANTIRO_CRASH_PROBE), {QStringLiteral("--gtest_filter=CrashProbe.") + QLatin1String(test)});
    p.waitForFinished(60000);
    return {QString::fromLocal8Bit(p.readAllStandardError()), p.exitStatus(), p.exitCode()};
}
} // namespace

TEST(CrashReport, NamesTheSignalAndThePhaseThenDiesOfTheSignal)
{
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "crashes are the sanitizer's to report in this build";
#endif
    const ChildRun inTest = runAlone("CrashesInsideATest");
    EXPECT_EQ(inTest.status, QProcess::CrashExit);
    EXPECT_EQ(inTest.code, SIGSEGV);
    EXPECT_TRUE(inTest.err.contains("*** test process crashed: signal 11 (SEGV) in CrashProbe.CrashesInsideATest\n"
                                    "*** stack"))
        << inTest.err.toStdString();

    const ChildRun atExit = runAlone("CrashesInTeardown");
    EXPECT_EQ(atExit.status, QProcess::CrashExit);
    EXPECT_EQ(atExit.code, SIGABRT);
    EXPECT_TRUE(atExit.err.contains("signal 6 (ABRT) in teardown, after all tests\n")) << atExit.err.toStdString();
}
