#include "app/ui/Log.h"

#include <QScrollBar>
#include <QTextCursor>
#include <QTextEdit>

#include <optional>

namespace {
std::optional<QTextCharFormat>& storedFormat()
{
    static std::optional<QTextCharFormat> format;
    return format;
}
} // namespace

void captureDefaultCharFormat()
{
    QTextEdit probe;
    storedFormat() = probe.currentCharFormat();
}

const QTextCharFormat& defaultCharFormat()
{
    if (!storedFormat())
        captureDefaultCharFormat();
    return *storedFormat();
}

void appendLog(QTextEdit* log, const QString& text, const QColor& color, bool bold)
{
    QTextCursor cursor(log->document());
    cursor.movePosition(QTextCursor::End);
    QTextCharFormat format = defaultCharFormat();
    if (color.isValid())
        format.setForeground(color);
    format.setFontWeight(bold ? 700 : 400);
    cursor.setCharFormat(format);
    cursor.insertText(text);
    log->setCurrentCharFormat(defaultCharFormat());
    log->verticalScrollBar()->setValue(log->verticalScrollBar()->maximum());
    log->repaint();
}

void TextEditLogSink::append(const QString& text, const QString& color, bool bold)
{
    appendLog(m_log, text, color.isEmpty() ? QColor() : QColor(color), bold);
}
