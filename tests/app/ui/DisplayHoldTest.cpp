#include <QFile>
#include <QProcess>
#include <QThread>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <unistd.h>
#include <xcb/xcb.h>

#include "support/DisplayHold.h"

namespace {
bool connects(const QByteArray& display)
{
    xcb_connection_t* c = xcb_connect(display.constData(), nullptr);
    const bool ok = !xcb_connection_has_error(c);
    xcb_disconnect(c);
    return ok;
}
} // namespace

// Every ui test process starts through DisplayHold. Against a server that resets whenever its
// last client leaves (xvfb-run's default), with another client coming and going all the time,
// plain connections are refused now and then; the hold must still connect, and while it is
// held no connection may be refused.
TEST(DisplayHold, ConnectsThroughServerResetsAndKeepsTheServerUp)
{
    int n = 400 + static_cast<int>(getpid() % 400);
    while (QFile::exists(QStringLiteral("/tmp/.X%1-lock").arg(n)))
        ++n;
    const QByteArray display = ":" + QByteArray::number(n);
    QProcess xvfb;
    xvfb.start(QStringLiteral("Xvfb"), {QString::fromLatin1(display), QStringLiteral("-nolisten"),
                                        QStringLiteral("tcp"), QStringLiteral("-screen"), QStringLiteral("0"),
                                        QStringLiteral("64x64x24")});
    ASSERT_TRUE(xvfb.waitForStarted());
    bool up = false;
    for (int i = 0; i < 250 && !up; ++i) {
        up = connects(display);
        if (!up)
            QThread::msleep(20);
    }
    ASSERT_TRUE(up) << "private X server did not start";

    std::atomic<bool> stop{false};
    std::thread churn([&] {
        while (!stop)
            connects(display);
    });
    int refusedUnheld = 0;
    for (int i = 0; i < 100; ++i)
        refusedUnheld += connects(display) ? 0 : 1;

    int refusedHeld = 0;
    for (int round = 0; round < 10; ++round) {
        DisplayHold hold(display.constData());
        EXPECT_TRUE(hold.holding()) << "round " << round << ", " << hold.attempts() << " attempts";
        if (!hold.holding())
            continue;
        for (int i = 0; i < 20; ++i)
            refusedHeld += connects(display) ? 0 : 1;
    }
    stop = true;
    churn.join();
    xvfb.terminate();
    xvfb.waitForFinished();

    EXPECT_GT(refusedUnheld, 0) << "the server never reset: the test proves nothing";
    EXPECT_EQ(refusedHeld, 0);
}

TEST(DisplayHold, DoesNothingWithoutAnXDisplay)
{
    const QByteArray saved = qgetenv("QT_QPA_PLATFORM");
    qputenv("QT_QPA_PLATFORM", "offscreen");
    DisplayHold offscreen;
    EXPECT_FALSE(offscreen.holding());
    EXPECT_EQ(offscreen.attempts(), 0);
    if (saved.isNull())
        qunsetenv("QT_QPA_PLATFORM");
    else
        qputenv("QT_QPA_PLATFORM", saved);
}
