// Whatever a routine throws stops at the slot boundary: a clear message, the window idle again.
#include <gtest/gtest.h>

#include <QPushButton>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextEdit>
#include <QVBoxLayout>

#include <opencv2/core.hpp>

#include <functional>
#include <new>
#include <stdexcept>

#include "app/ui/CalibrationModule.h"
#include "app/ui/Dialogs.h"
#include "app/ui/SlotGuard.h"

namespace {

// Each way out of a routine, with the words the user must see.
struct Escape
{
    const char* name;
    std::function<void()> raise;
    QString title;   // box title
    QString logLine; // first red log line
};

std::vector<Escape> escapes()
{
    return {
        {"library", [] { CV_Error(cv::Error::StsBadArg, "bad matrix"); }, "OpenCV exception",
         "OpenCV exception caught: "},
        {"length", [] { throw std::length_error("vector::_M_default_append"); }, "Error",
         "Unexpected error: vector::_M_default_append"},
        {"memory", [] { throw std::bad_alloc(); }, "Out of memory", "Not enough memory to complete the operation"},
        {"standard", [] { throw std::runtime_error("odd"); }, "Error", "Unexpected error: odd"},
        {"anything", [] { throw 42; }, "Error", "Unexpected error of unknown type"},
    };
}

// The smallest module: a run button, a log, and a routine the test chooses.
class ProbeModule : public CalibrationModule
{
public:
    ProbeModule() : CalibrationModule(SensorObjectList{})
    {
        auto* layout = new QVBoxLayout(this);
        button = new QPushButton(QStringLiteral("Calibrate"), this);
        log = new QTextEdit(this);
        log->setObjectName(QStringLiteral("text_log"));
        layout->addWidget(button);
        layout->addWidget(log);
        connect(button, &QPushButton::clicked, this, [this] {
            runOrAbort(button, QStringLiteral("Calibrate"), [this] {
                ++runs;
                textDuringRun = button->text();
                routine();
            });
        });
    }

    QPushButton* button = nullptr;
    QTextEdit* log = nullptr;
    std::function<void()> routine = [] {};
    int runs = 0;
    QString textDuringRun;

protected:
    void requestSensorList(SensorObjectList&) override {}
};

// The log's text when every character of it is red, else a note saying it is not.
QString allRed(QTextEdit* log)
{
    for (QTextBlock b = log->document()->begin(); b.isValid(); b = b.next())
        for (auto it = b.begin(); !it.atEnd(); ++it)
            if (it.fragment().charFormat().foreground().color() != QColor(Qt::red))
                return "not red: " + it.fragment().text();
    return log->toPlainText();
}

} // namespace

TEST(SlotBoundary, RunButtonComesBackToIdleWhateverTheRoutineThrows)
{
    ProbeModule m;
    m.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&m));
    for (const Escape& e : escapes()) {
        m.log->clear();
        m.routine = e.raise;
        const int before = m.runs;
        QTest::mouseClick(m.button, Qt::LeftButton);
        EXPECT_EQ(m.runs, before + 1) << e.name;
        EXPECT_EQ(m.textDuringRun, "Abort") << e.name;
        EXPECT_EQ(m.button->text(), "Calibrate") << e.name;
        EXPECT_FALSE(m.busy()) << e.name;
        const QString red = allRed(m.log);
        EXPECT_TRUE(red.startsWith(e.logLine)) << e.name << ": " << red.toStdString();
        EXPECT_TRUE(red.endsWith("\nAborting.\n\n")) << e.name << ": " << red.toStdString();
    }
    // The next click runs again instead of asking to abort a run that has ended.
    m.routine = [] {};
    m.log->clear();
    QTest::mouseClick(m.button, Qt::LeftButton);
    EXPECT_EQ(m.runs, int(escapes().size()) + 1);
    EXPECT_TRUE(m.log->toPlainText().isEmpty());
}

TEST(SlotBoundary, ClickDuringARunOnlyAsksForTheAbort)
{
    ProbeModule m;
    bool abortSeen = false;
    m.routine = [&] {
        // A second click arrives while the routine runs, as it would through checkAbort.
        m.button->click();
        abortSeen = m.abortRequested();
    };
    m.button->click();
    EXPECT_EQ(m.runs, 1) << "the second click did not start a run of its own";
    EXPECT_TRUE(abortSeen);
    EXPECT_EQ(m.button->text(), "Calibrate");
    EXPECT_FALSE(m.busy());
}

TEST(SlotBoundary, BoxGuardNamesTheKindAndTheContext)
{
    QStringList boxes;
    vantiro::dialogs::setMessageHandler([&](const vantiro::dialogs::MessageRequest& r) {
        EXPECT_EQ(r.parent, nullptr);
        EXPECT_EQ(r.icon, QMessageBox::Critical);
        boxes << r.title + "|" + r.text;
        return QMessageBox::Ok;
    });
    EXPECT_TRUE(guardWithBox([] {}, "Reading x"));
    EXPECT_TRUE(boxes.isEmpty());
    for (const Escape& e : escapes()) {
        boxes.clear();
        EXPECT_FALSE(guardWithBox(e.raise, "Couldn't read project file: /p.yml")) << e.name;
        ASSERT_EQ(boxes.size(), 1) << e.name;
        const QStringList parts = boxes[0].split('|');
        EXPECT_EQ(parts[0], e.title) << e.name;
        if (e.title == "OpenCV exception") {
            // The library's own message, as it always was.
            EXPECT_TRUE(parts[1].contains("bad matrix")) << parts[1].toStdString();
            EXPECT_FALSE(parts[1].contains("/p.yml"));
        } else {
            EXPECT_EQ(parts[1], "Couldn't read project file: /p.yml\n" + e.logLine) << e.name;
        }
    }
    vantiro::dialogs::setMessageHandler({});
}

TEST(SlotBoundary, LogGuardWithoutALogStillStopsTheException)
{
    EXPECT_FALSE(guardWithLog(nullptr, [] { throw std::runtime_error("nowhere to say it"); }));
    QTextEdit log;
    EXPECT_TRUE(guardWithLog(&log, [] {}));
    EXPECT_TRUE(log.toPlainText().isEmpty());
}
