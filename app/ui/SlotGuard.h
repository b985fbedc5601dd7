#pragma once
#include <QString>

#include <functional>

class QTextEdit;
class QWidget;

// Slots where user input enters (files, settings, runs) call their body through these:
// an exception that reached Qt's event loop would end the program. Both return false when
// something escaped the body.

// Shows what escaped in a critical box without parent: the library's errors under "OpenCV
// exception" with their message, anything else under its own title, with context (for
// example the file being read) in front of the message.
bool guardWithBox(const std::function<void()>& body, const QString& context = QString());

// Writes what escaped into a log in red, followed by "Aborting.\n\n".
bool guardWithLog(QTextEdit* log, const std::function<void()>& body);
