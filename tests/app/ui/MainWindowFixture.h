#pragma once
#include <gtest/gtest.h>

#include <QStringList>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QtWidgets>

#include <memory>

#include "app/ui/Dialogs.h"
#include "app/ui/MainWindow.h"
#include "support/TestSupport.h"

// A main window on a fresh per-user store, with every box and chooser answered by the test.
class MainWindowTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        vantiro::test::resetUserSettings();
        vantiro::dialogs::setMessageHandler([this](const vantiro::dialogs::MessageRequest& r) {
            boxes << r.title + "|" + r.text;
            return answer;
        });
        vantiro::dialogs::setFileHandler([this](const vantiro::dialogs::FileRequest& r) {
            fileRequests << r.caption;
            return fileAnswer.isEmpty() ? QStringList() : QStringList{fileAnswer};
        });
        vantiro::dialogs::setUrlHandler([this](const QUrl& url) {
            openedUrls << url.toString();
            return true;
        });
    }

    void TearDown() override
    {
        window.reset();
        vantiro::dialogs::setMessageHandler({});
        vantiro::dialogs::setFileHandler({});
        vantiro::dialogs::setExecHandler({});
        vantiro::dialogs::setUrlHandler({});
        vantiro::test::resetUserSettings();
    }

    MainWindow& make()
    {
        window = std::make_unique<MainWindow>();
        return *window;
    }

    QString logText() const;

    std::unique_ptr<MainWindow> window;
    QStringList boxes;
    QStringList fileRequests;
    QStringList openedUrls;
    QMessageBox::StandardButton answer = QMessageBox::Yes;
    QString fileAnswer;
};

inline QString MainWindowTest::logText() const
{
    return window->ui.text_log->toPlainText();
}
