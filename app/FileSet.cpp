#include "app/FileSet.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace vantiro {

namespace {

bool renameOver(const QString& from, const QString& to)
{
    // rename(2) replaces the target atomically; QFile::rename refuses an existing target.
    return std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}

// A name beside path that nothing else uses.
QString siblingName(const QString& path, const char* what)
{
    const QFileInfo info(path);
    QTemporaryFile probe(info.absolutePath() + QStringLiteral("/.") + info.fileName() + QLatin1Char('.') +
                         QLatin1String(what) + QStringLiteral(".XXXXXX"));
    if (!probe.open())
        return QString();
    probe.setAutoRemove(false);
    const QString name = probe.fileName();
    probe.close();
    return name;
}

} // namespace

bool writeFileSet(const std::vector<PendingFile>& files, QString* error)
{
    auto fail = [error](const QString& why) {
        if (error)
            *error = why;
        return false;
    };
    std::vector<QString> temporaries;
    auto removeTemporaries = [&temporaries]() {
        for (const QString& t : temporaries)
            QFile::remove(t);
    };
    for (const PendingFile& f : files) {
        const QFileInfo info(f.path);
        QTemporaryFile file(info.absolutePath() + QStringLiteral("/.") + info.fileName() + QStringLiteral(".XXXXXX"));
        file.setAutoRemove(false);
        if (!file.open()) {
            removeTemporaries();
            return fail(QStringLiteral("cannot write %1: %2").arg(f.path, file.errorString()));
        }
        temporaries.push_back(file.fileName());
        if (file.write(f.data) != f.data.size() || !file.flush() || ::fsync(file.handle()) != 0) {
            const QString why = file.errorString();
            file.close();
            removeTemporaries();
            return fail(QStringLiteral("cannot write %1: %2").arg(f.path, why));
        }
        // QTemporaryFile creates 0600; results are ordinary files.
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup |
                            QFileDevice::ReadOther);
        file.close();
    }

    // The old content of each target, kept under a second name until all are replaced.
    std::vector<QString> backups(files.size());
    size_t replaced = 0;
    QString why;
    for (; replaced < files.size(); ++replaced) {
        const QString& target = files[replaced].path;
        if (QFileInfo::exists(target)) {
            // A second hard link to the old content: the rename below leaves it untouched.
            backups[replaced] = siblingName(target, "old");
            const bool linked = !backups[replaced].isEmpty() && QFile::remove(backups[replaced]) &&
                                ::link(QFile::encodeName(target).constData(),
                                       QFile::encodeName(backups[replaced]).constData()) == 0;
            if (!linked) {
                if (!backups[replaced].isEmpty())
                    QFile::remove(backups[replaced]);
                backups[replaced].clear();
                why = QFileInfo(target).isDir() ? QStringLiteral("cannot replace %1: it is a folder").arg(target)
                                                : QStringLiteral("cannot keep the old %1 while replacing it").arg(target);
                break;
            }
        }
        if (!renameOver(temporaries[replaced], target)) {
            why = QStringLiteral("cannot replace %1: %2").arg(target, QString::fromLocal8Bit(std::strerror(errno)));
            if (!backups[replaced].isEmpty())
                QFile::remove(backups[replaced]);
            backups[replaced].clear();
            break;
        }
    }
    if (replaced < files.size()) {
        // Undo: what was replaced gets its old content back; what was new goes.
        for (size_t i = 0; i < replaced; ++i) {
            if (!backups[i].isEmpty())
                renameOver(backups[i], files[i].path);
            else
                QFile::remove(files[i].path);
        }
        for (size_t i = replaced; i < temporaries.size(); ++i)
            QFile::remove(temporaries[i]);
        return fail(why);
    }
    for (const QString& b : backups)
        if (!b.isEmpty())
            QFile::remove(b);
    return true;
}

} // namespace vantiro
