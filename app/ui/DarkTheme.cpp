#include "app/ui/DarkTheme.h"

#include <QApplication>
#include <QPalette>
#include <QStyleFactory>

void applyDarkTheme(QApplication& app)
{
    app.setStyle(QStyleFactory::create(QStringLiteral("fusion")));
    const QColor dark(63, 63, 63);
    const QColor disabled(127, 127, 127);
    QPalette p;
    p.setColor(QPalette::Window, dark);
    p.setColor(QPalette::WindowText, Qt::white);
    p.setColor(QPalette::Base, QColor(18, 18, 18));
    p.setColor(QPalette::AlternateBase, dark);
    p.setColor(QPalette::ToolTipBase, Qt::white);
    p.setColor(QPalette::ToolTipText, Qt::white);
    p.setColor(QPalette::Text, Qt::white);
    p.setColor(QPalette::Button, dark);
    p.setColor(QPalette::ButtonText, Qt::white);
    p.setColor(QPalette::BrightText, Qt::red);
    p.setColor(QPalette::Link, QColor(42, 130, 218));
    p.setColor(QPalette::Highlight, QColor(42, 130, 218));
    p.setColor(QPalette::HighlightedText, Qt::black);
    p.setBrush(QPalette::Active, QPalette::Button, QBrush(dark, Qt::SolidPattern));
    p.setBrush(QPalette::Disabled, QPalette::Light, QBrush(dark, Qt::SolidPattern));
    for (auto role : {QPalette::Text, QPalette::ButtonText, QPalette::WindowText, QPalette::HighlightedText})
        p.setBrush(QPalette::Disabled, role, QBrush(disabled, Qt::SolidPattern));
    app.setPalette(p);
    app.setStyleSheet(QStringLiteral("QToolTip { color: #ffffff; background-color: #2a82da; border: 1px solid white; }"
                                     "QPushButton:disabled {background-color:#2d2d2d; }"));
}
