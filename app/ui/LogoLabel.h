#pragma once
#include <QLabel>

namespace TNQ {

// The organisation's logo; a click opens its web address.
class LogoLabel : public QLabel
{
    Q_OBJECT

public:
    explicit LogoLabel(QWidget* parent = nullptr);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

private:
    bool m_pressed = false;
};

} // namespace TNQ
