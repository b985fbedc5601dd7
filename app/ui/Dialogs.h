#pragma once
#include <QMessageBox>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>

class QDialog;
class QWidget;

// Every message box, file chooser, modal dialog and desktop hand-off of the application goes
// through these functions, so tests can answer them without a blocking event loop. With the
// environment variable VANTIRO_NONINTERACTIVE set, boxes are printed to standard error and
// answered No (or Ok), choosers return nothing and dialogs are rejected.
namespace vantiro::dialogs {

struct MessageRequest
{
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QWidget* parent = nullptr;
    QString title;
    QString text;
    QMessageBox::StandardButtons buttons = QMessageBox::Ok;
};

struct FileRequest
{
    enum class Type
    {
        ExistingDirectory,
        OpenFile,
        OpenFiles,
        SaveFile,
    };
    Type type = Type::OpenFile;
    QWidget* parent = nullptr;
    QString caption;
    QString directory;
    QString filter;
};

using MessageHandler = std::function<QMessageBox::StandardButton(const MessageRequest&)>;
using FileHandler = std::function<QStringList(const FileRequest&)>;
using ExecHandler = std::function<int(QDialog*)>;
using UrlHandler = std::function<bool(const QUrl&)>;

// Shows the box (or asks the installed handler) and returns the button pressed.
QMessageBox::StandardButton message(const MessageRequest& request);

// Yes/No question without a default button; true only for Yes.
bool askYesNo(QWidget* parent, const QString& title, const QString& text);
void information(QWidget* parent, const QString& title, const QString& text);
void warning(QWidget* parent, const QString& title, const QString& text);
void critical(QWidget* parent, const QString& title, const QString& text);

QString existingDirectory(QWidget* parent, const QString& caption, const QString& directory);
QString openFileName(QWidget* parent, const QString& caption, const QString& directory, const QString& filter);
QStringList openFileNames(QWidget* parent, const QString& caption, const QString& directory, const QString& filter);
QString saveFileName(QWidget* parent, const QString& caption, const QString& directory, const QString& filter);

// Runs a modal dialog; returns QDialog::Accepted or QDialog::Rejected.
int exec(QDialog* dialog);

// Opens a URL (a folder, a file, a web address) with the desktop's default handler.
bool openUrl(const QUrl& url);

// Installing a handler replaces the real UI until it is reset with an empty function.
void setMessageHandler(MessageHandler handler);
void setFileHandler(FileHandler handler);
void setExecHandler(ExecHandler handler);
void setUrlHandler(UrlHandler handler);

} // namespace vantiro::dialogs
