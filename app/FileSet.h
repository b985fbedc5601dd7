#pragma once
// Results that belong together (two intrinsics files and a project, a pattern sequence, the
// corner files of one detection run) are replaced as a unit: all of them or none.

#include <QByteArray>
#include <QString>

#include <vector>

namespace vantiro {

struct PendingFile
{
    QString path;
    QByteArray data;
};

// Each file is first written completely to a temporary beside its target; only when all of them
// are on disk are they renamed over their targets. When a rename fails, the files already
// replaced get their old content back (or are removed when they were new). False with a reason
// naming the file when nothing was changed.
bool writeFileSet(const std::vector<PendingFile>& files, QString* error = nullptr);

} // namespace vantiro
