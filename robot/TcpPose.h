#pragma once
// Robot tool-centre-point poses from the files robot controllers export: XML (<TCP_Poses> with
// <Pose> children, or a single <TCP_Pose>) or plain text (X Y Z RX RY RZ per line), and the
// rotation-matrix check the robot modules share.

#include <QString>
#include <QStringList>

#include <opencv2/core.hpp>

#include <string>
#include <vector>

#include "app/LogSink.h"

// One TCP pose as read: position in the file's length unit, orientation as a rotation vector
// (axis times angle, radians).
struct TcpPose
{
    int id = 0;
    std::string name;
    cv::Vec3d t;
    cv::Vec3d r;
};

// R is a rotation: 3 x 3, one channel, determinant within 0.001 of 1 and R^T within 0.001 of
// R^-1 element by element. Otherwise false with the reason in message.
bool IsValidRotation(const cv::Mat& R, QString& message);

namespace vantiro::robot {

// What one file gave: its poses with their list texts, and every line the module logs about it
// (in order, each ending in "\n"). The poses read before a problem are kept.
struct TcpFile
{
    std::vector<TcpPose> poses;
    QStringList entries;  // list text per pose
    QStringList messages; // problems, empty when the file read cleanly
};

// Reads one pose file by its suffix ("xml" or "txt"). firstIndex is the running pose index of
// the first pose (names "TCP_<index>" and ids count from it). Never throws.
TcpFile readTcpPoseFile(const QString& path, int firstIndex = 0);

// All poses of several files, in order: logs "Parsing <file>" and the problems of each file,
// then "Found <n> tcp entries.".
struct TcpPoseList
{
    std::vector<TcpPose> poses;
    QStringList entries;
};
TcpPoseList readTcpPoseFiles(const QStringList& paths, LogSink& log);

// The rotation of a pose (Rodrigues of r).
cv::Matx33d tcpRotation(const TcpPose& pose);

} // namespace vantiro::robot
