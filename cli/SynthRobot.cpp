// The robot parts of the synthetic data sets: rigs, TCP pose files and their truth.

#include <QFile>
#include <QTextStream>

#include <stdexcept>

#include "cli/ArgParser.h"
#include "cli/CliSupport.h"
#include "cli/SynthData.h"

namespace cli {

using vantiro::synth::Rigid;
using vantiro::synth::RobotRig;

RobotRig planRobotRig(bool handEye, const vantiro::synth::CameraModel& camera, const vantiro::synth::BoardPattern& board,
                      int poses, uint64_t seed)
{
    try {
        return handEye ? vantiro::synth::makeHandEyeRig(camera, board, poses, seed)
                       : vantiro::synth::makeToolFlangeRig(camera, board, poses, seed);
    } catch (const std::invalid_argument& e) {
        throw UsageError(QStringLiteral("no %1 set with this target: %2")
                             .arg(handEye ? QStringLiteral("hand-eye") : QStringLiteral("tool-flange"),
                                  QString::fromLocal8Bit(e.what())));
    }
}

void writeTcpFiles(const QString& folder, const RobotTruth& robot)
{
    QString xml, text;
    QTextStream x(&xml), t(&text);
    x.setRealNumberPrecision(15);
    t.setRealNumberPrecision(15);
    x << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<TCP_Poses>\n";
    for (size_t i = 0; i < robot.rig.tcp.size(); ++i) {
        const Rigid& G = robot.rig.tcp[i];
        const cv::Vec3d r = G.rvec();
        const cv::Vec3d m = G.t * 0.001;
        x << "  <Pose ID=\"" << i << "\" Name=\"Pose_" << i << "\">\n"
          << "    <X>" << m[0] << "</X>\n    <Y>" << m[1] << "</Y>\n    <Z>" << m[2] << "</Z>\n"
          << "    <RX>" << r[0] << "</RX>\n    <RY>" << r[1] << "</RY>\n    <RZ>" << r[2] << "</RZ>\n  </Pose>\n";
        t << G.t[0] << ' ' << G.t[1] << ' ' << G.t[2] << ' ' << r[0] << ' ' << r[1] << ' ' << r[2] << '\n';
    }
    x << "</TCP_Poses>\n";
    writeFileAtomically(folder + QLatin1Char('/') + robot.tcpXml, xml.toUtf8());
    writeFileAtomically(folder + QLatin1Char('/') + robot.tcpText, text.toUtf8());
}

namespace {

void writeRigid(cv::FileStorage& fs, const char* key, const Rigid& p)
{
    fs << key << "{" << "R" << cv::Mat(p.R) << "t" << cv::Mat(p.t) << "}";
}

Rigid readRigid(const cv::FileNode& node)
{
    cv::Mat R, t;
    node["R"] >> R;
    node["t"] >> t;
    if (R.rows != 3 || R.cols != 3 || t.total() != 3)
        throw RunError(QStringLiteral("truth file: a robot transform is incomplete"));
    return {cv::Matx33d(R), cv::Vec3d(t.reshape(1, 3))};
}

} // namespace

void writeRobotTruth(cv::FileStorage& fs, const char* key, const RobotTruth& robot)
{
    fs << key << "{";
    fs << "folder" << robot.folder.toStdString();
    fs << "tcpXml" << robot.tcpXml.toStdString() << "tcpText" << robot.tcpText.toStdString();
    // Hand-eye: X camera -> TCP, W target -> base. Tool-flange: X target -> TCP, Y camera -> base.
    writeRigid(fs, "X", robot.rig.X);
    writeRigid(fs, robot.rig.handEye ? "W" : "Y", robot.rig.Y);
    fs << "views" << "[";
    for (size_t i = 0; i < robot.rig.tcp.size(); ++i) {
        fs << "{" << "image" << robot.images[qsizetype(i)].toStdString();
        fs << "tcpRvec" << cv::Mat(robot.rig.tcp[i].rvec()) << "tcpT" << cv::Mat(robot.rig.tcp[i].t);
        fs << "targetRvec" << cv::Mat(robot.rig.target[i].rvec()) << "targetT" << cv::Mat(robot.rig.target[i].t);
        fs << "}";
    }
    fs << "]";
    fs << "}";
}

RobotTruth readRobotTruth(const cv::FileNode& node, bool handEye)
{
    RobotTruth robot;
    robot.present = true;
    robot.rig.handEye = handEye;
    robot.folder = QString::fromStdString(node["folder"].string());
    robot.tcpXml = QString::fromStdString(node["tcpXml"].string());
    robot.tcpText = QString::fromStdString(node["tcpText"].string());
    robot.rig.X = readRigid(node["X"]);
    robot.rig.Y = readRigid(node[handEye ? "W" : "Y"]);
    for (const cv::FileNode& v : node["views"]) {
        robot.images << QString::fromStdString(v["image"].string());
        cv::Mat r, t, tr, tt;
        v["tcpRvec"] >> r;
        v["tcpT"] >> t;
        v["targetRvec"] >> tr;
        v["targetT"] >> tt;
        if (r.total() != 3 || t.total() != 3 || tr.total() != 3 || tt.total() != 3)
            throw RunError(QStringLiteral("truth file: a robot view is incomplete"));
        robot.rig.tcp.push_back(Rigid::fromRvec(cv::Vec3d(r.reshape(1, 3)), cv::Vec3d(t.reshape(1, 3))));
        robot.rig.target.push_back(Rigid::fromRvec(cv::Vec3d(tr.reshape(1, 3)), cv::Vec3d(tt.reshape(1, 3))));
    }
    return robot;
}

} // namespace cli
