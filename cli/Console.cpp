#include "cli/Console.h"

#include <atomic>
#include <csignal>
#include <cstdlib>

#include <unistd.h>

namespace cli {

namespace {

std::atomic<bool> g_interrupted{false};

extern "C" void onInterrupt(int)
{
    g_interrupted.store(true);
    // The next Ctrl-C is not caught: a user who insists gets the process ended at once.
    std::signal(SIGINT, SIG_DFL);
}

bool isTerminal(std::FILE* stream)
{
    return stream && ::isatty(::fileno(stream)) == 1;
}

} // namespace

void installInterruptHandler()
{
    std::signal(SIGINT, onInterrupt);
}

bool interrupted()
{
    return g_interrupted.load();
}

Console::Console(std::FILE* out, std::FILE* err)
    : m_out(out)
    , m_err(err)
    , m_ansi(isTerminal(out) && !std::getenv("NO_COLOR"))
    , m_progress(isTerminal(err))
    , m_stream(out, m_ansi)
    , m_log(*this)
{
    m_clock.start();
}

Console::~Console()
{
    finish();
}

void Console::write(const QString& text, const QString& color, bool bold)
{
    if (!m_progress) {
        m_stream.append(text, color, bold);
        return;
    }
    // Whole lines only, so that the progress line always starts a line of its own.
    m_pending.push_back({text, color, bold});
    if (text.contains(QLatin1Char('\n')))
        flushPending();
}

void Console::flushPending()
{
    if (m_pending.empty())
        return;
    clearProgress();
    for (const Segment& s : m_pending)
        m_stream.append(s.text, s.color, s.bold);
    m_pending.clear();
}

void Console::clearProgress()
{
    if (!m_progressShown)
        return;
    std::fputs("\r\x1b[K", m_err);
    std::fflush(m_err);
    m_progressShown = false;
}

void Console::progress(const QString& label, int done, int total)
{
    if (!m_progress)
        return;
    const QString line = QStringLiteral("\r%1 %2/%3, %4 s\x1b[K")
                             .arg(label)
                             .arg(done)
                             .arg(total)
                             .arg(QString::number(double(m_clock.elapsed()) / 1000.0, 'f', 1));
    std::fputs(line.toLocal8Bit().constData(), m_err);
    std::fflush(m_err);
    m_progressShown = true;
}

void Console::finish()
{
    flushPending();
    clearProgress();
    std::fflush(m_out);
}

void Console::error(const QString& command, const QString& message)
{
    finish();
    QString line = message.trimmed();
    line.replace(QLatin1Char('\n'), QStringLiteral("; "));
    const QString prefix = command.isEmpty() ? QStringLiteral("vantiro-cli: ")
                                             : QStringLiteral("vantiro-cli %1: ").arg(command);
    std::fputs((prefix + line + QLatin1Char('\n')).toLocal8Bit().constData(), m_err);
    std::fflush(m_err);
}

} // namespace cli
