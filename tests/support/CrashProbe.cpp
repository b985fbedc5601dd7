// Tests that crash on purpose, for the crash-report test; ctest never runs this program.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>

TEST(CrashProbe, CrashesInsideATest)
{
    std::raise(SIGSEGV);
}

TEST(CrashProbe, CrashesInTeardown)
{
    std::atexit([] { std::abort(); });
}
