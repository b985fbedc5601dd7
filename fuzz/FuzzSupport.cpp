#include "fuzz/FuzzSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <cstdlib>

namespace fuzz {

QString scratchFolder()
{
    static const QString folder = [] {
        const QString f = QDir::tempPath() + QStringLiteral("/vantiro-fuzz-%1").arg(QCoreApplication::applicationPid());
        QDir().mkpath(f);
        return f;
    }();
    return folder;
}

QString writeInput(const uint8_t* data, size_t size, const QString& suffix)
{
    const QString path = scratchFolder() + QStringLiteral("/input") + suffix;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        std::abort(); // the harness itself is broken, not the reader
    file.write(reinterpret_cast<const char*>(data), qint64(size));
    return path;
}

} // namespace fuzz
