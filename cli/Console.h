#pragma once
// Where a subcommand writes: the run log on standard output (ANSI colours on a terminal),
// one-line errors and a progress line on standard error, and the Ctrl-C flag.

#include <QElapsedTimer>
#include <QString>

#include <cstdio>
#include <vector>

#include "app/LogSink.h"

namespace cli {

// Exit status of the tool.
enum ExitCode
{
    ExitOk = 0,
    ExitFailed = 1,      // the run itself failed (no target found, calibration error, ...)
    ExitUsage = 2,       // bad command line or unusable input files
    ExitInterrupted = 130,
};

// SIGINT sets a flag that long runs test between images; a second Ctrl-C ends the process.
void installInterruptHandler();
bool interrupted();

class Console
{
public:
    Console(std::FILE* out, std::FILE* err);
    ~Console();

    // The module log; colours become ANSI escapes on a terminal and are dropped otherwise.
    vantiro::LogSink& log() { return m_log; }
    // Plain text on the log's stream, in order with the log.
    void print(const QString& text) { write(text, QString(), false); }
    // One line on standard error, newlines folded so that it stays one line.
    void error(const QString& command, const QString& message);

    // "label done/total, elapsed" on standard error while a terminal shows it. The line is taken
    // away before the log writes anything, so the two never mix.
    void progress(const QString& label, int done, int total);
    // Writes whatever the log still holds back and removes the progress line.
    void finish();

    bool colours() const { return m_ansi; }
    bool showsProgress() const { return m_progress; }

private:
    class Sink : public vantiro::LogSink
    {
    public:
        explicit Sink(Console& console) : m_console(console) {}
        void append(const QString& text, const QString& color, bool bold) override
        {
            m_console.write(text, color, bold);
        }

    private:
        Console& m_console;
    };
    struct Segment
    {
        QString text, color;
        bool bold;
    };

    void write(const QString& text, const QString& color, bool bold);
    void flushPending();
    void clearProgress();

    std::FILE* m_out;
    std::FILE* m_err;
    bool m_ansi = false;
    bool m_progress = false;
    bool m_progressShown = false;
    vantiro::StreamLogSink m_stream;
    Sink m_log;
    std::vector<Segment> m_pending;
    QElapsedTimer m_clock;
};

} // namespace cli
