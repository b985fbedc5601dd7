#include "app/LogSink.h"

namespace vantiro {

void RecordingLogSink::append(const QString& text, const QString& color, bool bold)
{
    segments.push_back({text, color, bold});
}

QString RecordingLogSink::text() const
{
    QString all;
    for (const auto& s : segments)
        all += s.text;
    return all;
}

const RecordingLogSink::Segment* RecordingLogSink::find(const QString& needle) const
{
    for (const auto& s : segments)
        if (s.text.contains(needle))
            return &s;
    return nullptr;
}

StreamLogSink::StreamLogSink(std::FILE* stream, bool ansi) : m_stream(stream), m_ansi(ansi) {}

namespace {
const char* ansiColour(const QString& color)
{
    const QString c = color.toLower();
    if (c == logcolor::Red || c == QLatin1String("red"))
        return "\x1b[31m";
    if (c == logcolor::Orange)
        return "\x1b[33m";
    if (c == logcolor::Green || c == logcolor::Reused.toLower() || c == QLatin1String("green"))
        return "\x1b[32m";
    if (c == logcolor::Grey || c == logcolor::Secondary || c == QLatin1String("gray") || c == QLatin1String("grey"))
        return "\x1b[90m";
    return "";
}
} // namespace

void StreamLogSink::append(const QString& text, const QString& color, bool bold)
{
    const QByteArray bytes = text.toUtf8();
    if (m_ansi && (bold || !color.isEmpty())) {
        std::fputs(bold ? "\x1b[1m" : "", m_stream);
        std::fputs(ansiColour(color), m_stream);
        std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), m_stream);
        std::fputs("\x1b[0m", m_stream);
    } else {
        std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), m_stream);
    }
    std::fflush(m_stream);
}

} // namespace vantiro
