#pragma once
#include <QString>

#include <cstdio>
#include <functional>
#include <vector>

namespace vantiro {

// Colours of the module logs as names QColor understands; an empty name is the
// log's default text colour.
namespace logcolor {
inline const QString Default;
inline const QString Orange = QStringLiteral("orange");
inline const QString Red = QStringLiteral("#ff0000");   // the toolkit's red
inline const QString Green = QStringLiteral("#00ff00"); // the toolkit's green
inline const QString Grey = QStringLiteral("#a0a0a4");  // the toolkit's grey
inline const QString Reused = QStringLiteral("#00CC00");
inline const QString Secondary = QStringLiteral("#888888");
} // namespace logcolor

// Where a core routine writes its log: text, colour and weight per segment.
class LogSink
{
public:
    virtual ~LogSink() = default;
    virtual void append(const QString& text, const QString& color = QString(), bool bold = false) = 0;
};

// Asked once per image of a long run; true means stop at this boundary.
using AbortCheck = std::function<bool()>;

// Keeps every segment; tests read it, the CLI replays it.
class RecordingLogSink : public LogSink
{
public:
    struct Segment
    {
        QString text;
        QString color;
        bool bold = false;
    };

    void append(const QString& text, const QString& color = QString(), bool bold = false) override;

    // All text, without colours.
    QString text() const;
    // The first segment containing needle, or nullptr.
    const Segment* find(const QString& needle) const;

    std::vector<Segment> segments;
};

// Writes to a C stream; with ansi set, colours and bold become terminal escapes.
class StreamLogSink : public LogSink
{
public:
    explicit StreamLogSink(std::FILE* stream, bool ansi = false);
    void append(const QString& text, const QString& color = QString(), bool bold = false) override;

private:
    std::FILE* m_stream;
    bool m_ansi;
};

} // namespace vantiro
