#pragma once
#include <QColor>
#include <QString>
#include <QTextCharFormat>

#include "app/LogSink.h"

class QTextEdit;

// The character format of a fresh, empty text edit; logs return to it after coloured text.
void captureDefaultCharFormat();
const QTextCharFormat& defaultCharFormat();

// Appends text at the end of a log in the given colour (invalid = default) and weight,
// scrolls to the end and repaints at once so progress shows during long runs.
void appendLog(QTextEdit* log, const QString& text, const QColor& color = QColor(), bool bold = false);

// Lets core routines write into a log widget.
class TextEditLogSink : public vantiro::LogSink
{
public:
    explicit TextEditLogSink(QTextEdit* log) : m_log(log) {}
    void append(const QString& text, const QString& color = QString(), bool bold = false) override;

private:
    QTextEdit* m_log;
};
