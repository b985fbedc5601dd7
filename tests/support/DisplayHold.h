#pragma once

// Xvfb resets itself whenever its last client leaves, and refuses connections while it does.
// ctest starts a test process every few milliseconds, so now and then one arrives during a
// reset and the windowing plugin aborts before any test runs. DisplayHold connects (retrying
// through a reset) and keeps that connection open until the application has its own, so the
// server has a client and cannot reset in between. Without an X display it does nothing.
class DisplayHold
{
public:
    // display: an X display name; null means $DISPLAY, when Qt is going to use X at all.
    explicit DisplayHold(const char* display = nullptr);
    ~DisplayHold();
    DisplayHold(const DisplayHold&) = delete;
    DisplayHold& operator=(const DisplayHold&) = delete;

    bool holding() const { return m_connection != nullptr; }
    int attempts() const { return m_attempts; }
    void release();

private:
    struct xcb_connection_t* m_connection = nullptr;
    int m_attempts = 0;
};
