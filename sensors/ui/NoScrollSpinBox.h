#pragma once
#include <QDoubleSpinBox>

// A value box inside a scrolling tree: the wheel scrolls the tree unless the box has focus.
class NoScrollSpinBox : public QDoubleSpinBox
{
    Q_OBJECT

public:
    explicit NoScrollSpinBox(QWidget* parent = nullptr);

protected:
    void wheelEvent(QWheelEvent* event) override;
};
