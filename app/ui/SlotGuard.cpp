#include "app/ui/SlotGuard.h"

#include <QTextEdit>

#include <iostream>
#include <stdexcept>

#include "app/CaughtException.h"
#include "app/ui/Dialogs.h"
#include "app/ui/Log.h"

namespace {
bool fromLibrary(const vantiro::CaughtException& what)
{
    return what.title == QLatin1String("OpenCV exception");
}

// Reporting may itself fail (no memory left for a box): then standard error is all there is.
void reportSafely(const std::function<void()>& report, const vantiro::CaughtException& what)
{
    try {
        report();
    } catch (...) {
        std::cerr << what.title.toStdString() << ": " << what.message.toStdString() << std::endl;
    }
}
} // namespace

bool guardWithBox(const std::function<void()>& body, const QString& context)
{
    try {
        body();
        return true;
    } catch (...) {
        const vantiro::CaughtException what = vantiro::describeCurrentException();
        const QString text = fromLibrary(what) || context.isEmpty() ? what.message : context + QLatin1Char('\n') + what.message;
        reportSafely([&] { vantiro::dialogs::critical(nullptr, what.title, text); }, what);
        return false;
    }
}

bool guardWithLog(QTextEdit* log, const std::function<void()>& body)
{
    try {
        body();
        return true;
    } catch (...) {
        const vantiro::CaughtException what = vantiro::describeCurrentException();
        reportSafely(
            [&] {
                if (!log)
                    throw std::logic_error("no log");
                const QString line = fromLibrary(what) ? QStringLiteral("OpenCV exception caught: ") + what.message
                                                       : what.message;
                appendLog(log, line + QLatin1Char('\n'), Qt::red);
                appendLog(log, QStringLiteral("Aborting.\n\n"), Qt::red);
            },
            what);
        return false;
    }
}
