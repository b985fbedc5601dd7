// TCP pose files, as the robot windows and the command line read them: each input is read once
// as an XML file and once as a text file.
#include "fuzz/FuzzSupport.h"
#include "robot/TcpPose.h"

#include <cmath>
#include <cstdlib>

namespace {

void check(const vantiro::robot::TcpFile& f)
{
    // One list text per pose, every message a whole log line, only finite numbers.
    if (f.entries.size() != qsizetype(f.poses.size()))
        std::abort();
    for (const QString& m : f.messages)
        if (!m.endsWith(QLatin1Char('\n')))
            std::abort();
    for (const TcpPose& p : f.poses) {
        for (int k = 0; k < 3; ++k)
            if (!std::isfinite(p.t[k]) || !std::isfinite(p.r[k]))
                std::abort();
        // The modules turn every pose into a matrix and check it.
        QString why;
        IsValidRotation(cv::Mat(vantiro::robot::tcpRotation(p)), why);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    check(vantiro::robot::readTcpPoseFile(fuzz::writeInput(data, size, QStringLiteral(".xml"))));
    check(vantiro::robot::readTcpPoseFile(fuzz::writeInput(data, size, QStringLiteral(".txt"))));
    return 0;
}
