#include "app/ui/LogoLabel.h"

#include <QCoreApplication>
#include <QMouseEvent>
#include <QUrl>

#include "app/ui/Dialogs.h"

namespace TNQ {

LogoLabel::LogoLabel(QWidget* parent) : QLabel(parent) {}

void LogoLabel::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        m_pressed = true;
    QLabel::mousePressEvent(event);
}

void LogoLabel::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && m_pressed) {
        m_pressed = false;
        vantiro::dialogs::openUrl(QUrl(QCoreApplication::organizationDomain()));
    }
    QLabel::mouseReleaseEvent(event);
}

void LogoLabel::mouseMoveEvent(QMouseEvent* event)
{
    setCursor(Qt::PointingHandCursor);
    QLabel::mouseMoveEvent(event);
}

} // namespace TNQ
