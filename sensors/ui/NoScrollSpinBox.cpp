#include "sensors/ui/NoScrollSpinBox.h"

#include <QWheelEvent>

NoScrollSpinBox::NoScrollSpinBox(QWidget* parent) : QDoubleSpinBox(parent)
{
    setFocusPolicy(Qt::StrongFocus);
    setDecimals(6);
    setRange(-1e8, 1e8);
    setSingleStep(1.0);
}

void NoScrollSpinBox::wheelEvent(QWheelEvent* event)
{
    if (!hasFocus()) {
        event->ignore();
        return;
    }
    QDoubleSpinBox::wheelEvent(event);
}
