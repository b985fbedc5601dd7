#include "support/DisplayHold.h"

#include <QByteArray>
#include <QtGlobal>

#include <chrono>
#include <thread>
#include <xcb/xcb.h>

DisplayHold::DisplayHold(const char* display)
{
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    if (!display && (qEnvironmentVariableIsEmpty("DISPLAY") || (!platform.isEmpty() && !platform.startsWith("xcb"))))
        return;
    // A reset takes some tens of milliseconds; two seconds of retries outlast many of them.
    for (m_attempts = 1; m_attempts <= 100; ++m_attempts) {
        xcb_connection_t* c = xcb_connect(display, nullptr);
        if (!xcb_connection_has_error(c)) {
            m_connection = c;
            return;
        }
        xcb_disconnect(c);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

DisplayHold::~DisplayHold()
{
    release();
}

void DisplayHold::release()
{
    if (m_connection)
        xcb_disconnect(m_connection);
    m_connection = nullptr;
}
