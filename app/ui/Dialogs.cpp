#include "app/ui/Dialogs.h"

#include <QDesktopServices>
#include <QDialog>
#include <QFileDialog>

#include <cstdio>

namespace vantiro::dialogs {

namespace {
MessageHandler& messageHandler()
{
    static MessageHandler h;
    return h;
}
FileHandler& fileHandler()
{
    static FileHandler h;
    return h;
}
ExecHandler& execHandler()
{
    static ExecHandler h;
    return h;
}
UrlHandler& urlHandler()
{
    static UrlHandler h;
    return h;
}

bool nonInteractive()
{
    return qEnvironmentVariableIsSet("VANTIRO_NONINTERACTIVE");
}

QStringList askFiles(const FileRequest& r)
{
    if (fileHandler())
        return fileHandler()(r);
    if (nonInteractive())
        return {};
    switch (r.type) {
    case FileRequest::Type::ExistingDirectory: {
        const QString d = QFileDialog::getExistingDirectory(
            r.parent, r.caption, r.directory, QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
        return d.isEmpty() ? QStringList() : QStringList{d};
    }
    case FileRequest::Type::OpenFile: {
        const QString f = QFileDialog::getOpenFileName(r.parent, r.caption, r.directory, r.filter);
        return f.isEmpty() ? QStringList() : QStringList{f};
    }
    case FileRequest::Type::OpenFiles:
        return QFileDialog::getOpenFileNames(r.parent, r.caption, r.directory, r.filter);
    case FileRequest::Type::SaveFile: {
        const QString f = QFileDialog::getSaveFileName(r.parent, r.caption, r.directory, r.filter);
        return f.isEmpty() ? QStringList() : QStringList{f};
    }
    }
    return {};
}

QString first(const QStringList& l)
{
    return l.isEmpty() ? QString() : l.first();
}
} // namespace

QMessageBox::StandardButton message(const MessageRequest& r)
{
    if (messageHandler())
        return messageHandler()(r);
    if (nonInteractive()) {
        // Scripted runs (and process tests) must never block on a box: report it and take No/Ok.
        std::fprintf(stderr, "%s: %s\n", qPrintable(r.title), qPrintable(r.text));
        return r.buttons.testFlag(QMessageBox::No) ? QMessageBox::No : QMessageBox::Ok;
    }
    QMessageBox box(r.icon, r.title, r.text, r.buttons, r.parent);
    box.setDefaultButton(QMessageBox::NoButton);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

bool askYesNo(QWidget* parent, const QString& title, const QString& text)
{
    return message({QMessageBox::Question, parent, title, text, QMessageBox::Yes | QMessageBox::No}) ==
           QMessageBox::Yes;
}

void information(QWidget* parent, const QString& title, const QString& text)
{
    message({QMessageBox::Information, parent, title, text, QMessageBox::Ok});
}

void warning(QWidget* parent, const QString& title, const QString& text)
{
    message({QMessageBox::Warning, parent, title, text, QMessageBox::Ok});
}

void critical(QWidget* parent, const QString& title, const QString& text)
{
    message({QMessageBox::Critical, parent, title, text, QMessageBox::Ok});
}

QString existingDirectory(QWidget* parent, const QString& caption, const QString& directory)
{
    return first(askFiles({FileRequest::Type::ExistingDirectory, parent, caption, directory, QString()}));
}

QString openFileName(QWidget* parent, const QString& caption, const QString& directory, const QString& filter)
{
    return first(askFiles({FileRequest::Type::OpenFile, parent, caption, directory, filter}));
}

QStringList openFileNames(QWidget* parent, const QString& caption, const QString& directory, const QString& filter)
{
    return askFiles({FileRequest::Type::OpenFiles, parent, caption, directory, filter});
}

QString saveFileName(QWidget* parent, const QString& caption, const QString& directory, const QString& filter)
{
    return first(askFiles({FileRequest::Type::SaveFile, parent, caption, directory, filter}));
}

int exec(QDialog* dialog)
{
    if (execHandler())
        return execHandler()(dialog);
    if (nonInteractive())
        return QDialog::Rejected;
    return dialog->exec();
}

bool openUrl(const QUrl& url)
{
    if (urlHandler())
        return urlHandler()(url);
    if (nonInteractive())
        return false;
    return QDesktopServices::openUrl(url);
}

void setMessageHandler(MessageHandler handler)
{
    messageHandler() = std::move(handler);
}
void setFileHandler(FileHandler handler)
{
    fileHandler() = std::move(handler);
}
void setExecHandler(ExecHandler handler)
{
    execHandler() = std::move(handler);
}
void setUrlHandler(UrlHandler handler)
{
    urlHandler() = std::move(handler);
}

} // namespace vantiro::dialogs
