#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QPalette>
#include <QProcess>
#include <QSettings>
#include <QStyle>
#include <QTemporaryDir>
#include <QTest>

#include "app/ui/CompressorApplication.h"
#include "app/ui/Log.h"
#include "support/TestSupport.h"

#include <QTextEdit>

namespace {

class Emitter : public QObject
{
    Q_OBJECT
signals:
    void progress(int value);
    void other(int value);
};

class Receiver : public QObject
{
    Q_OBJECT
public slots:
    void onProgress(int value) { received << value; }

public:
    QList<int> received;
};

using App = CompressorApplication<QApplication>;

QString vantiroBinary()
{
    return QStringLiteral(VANTIRO_BUILD_DIR) + "/vantiro";
}

// Starts the real program with its own configuration and temporary directories.
QProcess* startVantiro(const QTemporaryDir& home, QObject* parent)
{
    auto* p = new QProcess(parent);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", home.path() + "/config");
    env.insert("TMPDIR", home.path());
    env.insert("VANTIRO_NONINTERACTIVE", "1");
    p->setProcessEnvironment(env);
    p->start(vantiroBinary(), {});
    return p;
}

} // namespace

TEST(CompressorApplication, MergesQueuedCallsOfRegisteredSignalsOnly)
{
    auto* app = dynamic_cast<App*>(QCoreApplication::instance());
    ASSERT_NE(app, nullptr);
    Emitter emitter;
    Receiver receiver;
    QObject::connect(&emitter, &Emitter::progress, &receiver, &Receiver::onProgress, Qt::QueuedConnection);
    QObject::connect(&emitter, &Emitter::other, &receiver, &Receiver::onProgress, Qt::QueuedConnection);

    // Nothing registered: every queued call arrives.
    for (int i = 1; i <= 3; ++i)
        emit emitter.progress(i);
    QCoreApplication::processEvents();
    EXPECT_EQ(receiver.received, QList<int>({1, 2, 3}));

    receiver.received.clear();
    app->compressedSignals << QMetaMethod::fromSignal(&Emitter::progress);
    emit emitter.progress(1);
    emit emitter.other(100);
    emit emitter.progress(2);
    emit emitter.progress(3);
    QCoreApplication::processEvents();
    // The newest arguments win, in the place of the oldest; the other signal is untouched.
    EXPECT_EQ(receiver.received, QList<int>({3, 100}));
    app->compressedSignals.clear();
}

TEST(Log, ColouredBoldSegmentsReturnToTheDefaultFormat)
{
    QTextEdit log;
    appendLog(&log, "Heading\n", QColor(), true);
    appendLog(&log, "warn ", QColor("orange"));
    appendLog(&log, "plain");
    EXPECT_EQ(log.toPlainText(), "Heading\nwarn plain");
    QTextCursor c(log.document());
    c.setPosition(2);
    EXPECT_EQ(c.charFormat().fontWeight(), 700);
    c.setPosition(11);
    EXPECT_EQ(c.charFormat().foreground().color(), QColor("orange"));
    EXPECT_EQ(c.charFormat().fontWeight(), 400);
    c.setPosition(16);
    EXPECT_NE(c.charFormat().foreground().color(), QColor("orange"));
    TextEditLogSink sink(&log);
    sink.append("\nred", "#ff0000", false);
    c.movePosition(QTextCursor::End);
    EXPECT_EQ(c.charFormat().foreground().color(), QColor(Qt::red));
}

TEST(SingleInstance, SecondProcessReportsAndExitsWithoutAWindow)
{
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        GTEST_SKIP() << "needs a display";
    QTemporaryDir home;
    QObject owner;
    QProcess* first = startVantiro(home, &owner);
    ASSERT_TRUE(first->waitForStarted(5000));
    // Wait until the first instance holds its lock and has written its defaults.
    const QString ini = home.path() + "/config/TNQ e.V./Vantiro.ini";
    QElapsedTimer timer;
    timer.start();
    while (!QFile::exists(home.path() + "/Vantiro.lock") && timer.elapsed() < 20000)
        QTest::qWait(50);
    ASSERT_TRUE(QFile::exists(home.path() + "/Vantiro.lock")) << "first instance did not start";

    QProcess* second = startVantiro(home, &owner);
    ASSERT_TRUE(second->waitForFinished(20000));
    EXPECT_EQ(second->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second->exitCode(), 0);
    const QString err = QString::fromUtf8(second->readAllStandardError());
    EXPECT_TRUE(err.contains("Vantiro: The application is already running.\nOnly one instance is allowed.")) << err.toStdString();
    EXPECT_EQ(first->state(), QProcess::Running);

    // First start wrote the missing switches with their defaults.
    QSettings store(ini, QSettings::IniFormat);
    EXPECT_EQ(store.value("UseDarkTheme").toString(), "true");
    EXPECT_EQ(store.value("DynamicMinMaxColorMapping").toString(), "false");

    first->terminate();
    if (!first->waitForFinished(5000))
        first->kill();
    first->waitForFinished(5000);
}

#include "ApplicationTest.moc"
