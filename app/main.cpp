#include <QApplication>
#include <QDir>
#include <QLockFile>
#include <QMessageBox>

#include <memory>

#include "app/Settings.h"
#include "app/ui/CompressorApplication.h"
#include "app/ui/DarkTheme.h"
#include "app/ui/Dialogs.h"
#include "app/ui/Log.h"
#include "app/ui/MainWindow.h"

int main(int argc, char** argv)
{
    vantiro::setApplicationIdentity();
    CompressorApplication<QApplication> app(argc, argv);

    vantiro::setDynamicMinMaxColorMapping(readSetting(QStringLiteral("DynamicMinMaxColorMapping"), false).toBool());
    if (readSetting(QStringLiteral("UseDarkTheme"), true).toBool())
        applyDarkTheme(app);
    captureDefaultCharFormat();

    QLockFile lock(QDir::temp().absoluteFilePath(QCoreApplication::applicationName() + QStringLiteral(".lock")));
    if (!lock.tryLock(100)) {
        vantiro::dialogs::message({QMessageBox::Warning, nullptr, QCoreApplication::applicationName(),
                                   QStringLiteral("The application is already running.\nOnly one instance is allowed."),
                                   QMessageBox::Ok});
        return 0;
    }

    auto window = std::make_unique<MainWindow>();
    window->show();
    const int code = app.exec();
    window.reset();
    return code;
}
