#include "support/CrashReport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <execinfo.h>
#include <unistd.h>

namespace {

// Written by the test listener, read by the signal handler: a fixed buffer, no allocation.
char g_phase[512] = "start-up";

void setPhase(const char* prefix, const char* suite = "", const char* name = "")
{
    std::size_t n = 0;
    for (const char* s : {prefix, suite, suite[0] ? "." : "", name})
        for (; *s && n + 1 < sizeof g_phase; ++s)
            g_phase[n++] = *s;
    g_phase[n] = '\0';
}

void say(const char* text)
{
    // Nothing to do if stderr is gone; the signal is re-raised anyway.
    if (::write(STDERR_FILENO, text, std::strlen(text)) < 0)
        return;
}

void sayNumber(int value)
{
    char digits[16];
    int n = 0;
    unsigned v = value < 0 ? 0u : static_cast<unsigned>(value);
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v && n < 15);
    char out[16];
    for (int i = 0; i < n; ++i)
        out[i] = digits[n - 1 - i];
    out[n] = '\0';
    say(out);
}

void onSignal(int sig)
{
    say("\n*** test process crashed: signal ");
    sayNumber(sig);
    say(" (");
    say(sigabbrev_np(sig) ? sigabbrev_np(sig) : "?");
    say(") in ");
    say(g_phase);
    say("\n*** stack (resolve with addr2line -e <binary> -f -C <offset>):\n");
    void* frames[64];
    const int count = backtrace(frames, 64);
    backtrace_symbols_fd(frames, count, STDERR_FILENO);
    // The handler was installed with SA_RESETHAND: the default action (core dump) follows.
    std::raise(sig);
}

class PhaseListener : public ::testing::EmptyTestEventListener
{
    void OnTestStart(const ::testing::TestInfo& info) override
    {
        setPhase("", info.test_suite_name(), info.name());
    }
    void OnTestEnd(const ::testing::TestInfo& info) override
    {
        setPhase("between tests, after ", info.test_suite_name(), info.name());
    }
    void OnTestProgramEnd(const ::testing::UnitTest&) override { setPhase("teardown, after all tests"); }
};

} // namespace

void installCrashReport()
{
#ifdef __SANITIZE_ADDRESS__
    // The sanitizer's own handler reports a crash better, with symbols.
    return;
#endif
    ::testing::UnitTest::GetInstance()->listeners().Append(new PhaseListener);
    // backtrace() loads its unwinder on first use; do that now, not inside the handler.
    void* warm[1];
    backtrace(warm, 1);

    static char altStack[64 * 1024];
    stack_t ss{};
    ss.ss_sp = altStack;
    ss.ss_size = sizeof altStack;
    sigaltstack(&ss, nullptr);

    struct sigaction action{};
    action.sa_handler = onSignal;
    action.sa_flags = SA_RESETHAND | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (int sig : {SIGSEGV, SIGABRT, SIGBUS, SIGFPE, SIGILL})
        sigaction(sig, &action, nullptr);
}
