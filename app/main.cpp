#include <QApplication>

#include "app/Settings.h"

int main(int argc, char** argv)
{
    vantiro::setApplicationIdentity();
    QApplication app(argc, argv);
    return 0;
}
