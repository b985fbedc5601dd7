#include "app/ProjectFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cmath>
#include <cstdio>

#include "sensors/Pose.h"

QString proposedProjectPath(const QString& workingDirectory, const QString& worldName)
{
    return workingDirectory + QLatin1Char('/') + worldName + QStringLiteral(".project.yml");
}

QString projectJsonTwin(const QString& path)
{
    const int dot = path.lastIndexOf(QLatin1Char('.'));
    return (dot < 0 ? path : path.left(dot)) + QStringLiteral(".json");
}

namespace {

void writeAll(cv::FileStorage& fs, const std::vector<ProjectObject>& objects, int world, const QString& isoDate)
{
    fs << "ISODate" << isoDate.toStdString();
    fs << "Sensors" << "[";
    for (const auto& o : objects)
        fs << o.name.toStdString();
    fs << "]";
    fs << "World" << "[" << objects[size_t(world)].name.toStdString() << "]";

    const ProjectObject& w = objects[size_t(world)];
    for (size_t i = 0; i < objects.size(); ++i) {
        const ProjectObject& o = objects[i];
        const std::string n = std::to_string(i);
        if (!o.K.empty()) {
            fs << "imgSize" + n << o.imgSize;
            fs << "K" + n << o.K;
            if (!o.kc.empty())
                fs << "kc" + n << o.kc;
        }
        cv::Matx33d R = o.R;
        cv::Matx31d t = o.t;
        if (world != 0) {
            if (int(i) == world) {
                R = cv::Matx33d::eye();
                t = cv::Matx31d::zeros();
            } else {
                relativePose(w.R, w.t, o.R, o.t, R, t);
            }
        }
        fs << "R" + n << cv::Mat(R);
        fs << "T" + n << cv::Mat(t);
    }
}

// A sibling name with the same extension: cv::FileStorage picks the format by extension.
QString temporarySibling(const QString& path)
{
    const QFileInfo info(path);
    return info.absolutePath() + QStringLiteral("/.") + info.completeBaseName() + QStringLiteral(".saving.") +
           info.suffix();
}

bool replaceFile(const QString& from, const QString& to)
{
    // rename(2) replaces the target atomically.
    return std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}

} // namespace

void writeProjectFile(const QString& path, const std::vector<ProjectObject>& objects, int world, const QString& isoDate)
{
    CV_Assert(world >= 0 && world < int(objects.size()));
    const QString twin = projectJsonTwin(path);
    const QString yamlTmp = temporarySibling(path);
    const QString jsonTmp = temporarySibling(twin);
    try {
        cv::FileStorage yaml(yamlTmp.toStdString(), cv::FileStorage::WRITE);
        cv::FileStorage json(jsonTmp.toStdString(), cv::FileStorage::WRITE | cv::FileStorage::FORMAT_JSON);
        if (!yaml.isOpened() || !json.isOpened())
            CV_Error(cv::Error::StsError, "Cannot write " + (yaml.isOpened() ? jsonTmp : yamlTmp).toStdString());
        writeAll(yaml, objects, world, isoDate);
        writeAll(json, objects, world, isoDate);
        yaml.release();
        json.release();
        // The twin first: if it cannot be replaced, the project file the user chose is untouched.
        if (!replaceFile(jsonTmp, twin) || !replaceFile(yamlTmp, path))
            CV_Error(cv::Error::StsError, "Cannot replace " + path.toStdString());
    } catch (...) {
        QFile::remove(yamlTmp);
        QFile::remove(jsonTmp);
        throw;
    }
}

namespace {

bool readNames(const cv::FileNode& node, QStringList& names)
{
    if (node.empty() || !node.isSeq())
        return false;
    for (const auto& item : node) {
        if (!item.isString())
            return false;
        names << QString::fromStdString(item.string());
    }
    return true;
}

bool allFinite(const cv::Mat& m)
{
    return cv::checkRange(m, true, nullptr, -1e300, 1e300);
}

// Reads a matrix node; false when present but not a usable double matrix of the given shape.
bool readMatrix(const cv::FileNode& node, cv::Mat& out, int rows, int cols)
{
    if (node.empty()) {
        out.release();
        return true;
    }
    if (!node.isMap())
        return false;
    cv::Mat m;
    node >> m;
    if (m.empty()) {
        out.release();
        return true;
    }
    if (m.channels() != 1 || (rows > 0 && m.rows != rows) || (cols > 0 && m.cols != cols))
        return false;
    m.convertTo(out, CV_64F);
    return allFinite(out);
}

} // namespace

ProjectReadResult readProjectFile(const QString& path)
{
    ProjectReadResult r;
    auto fail = [&r](ProjectReadResult::Status s, const QString& message) {
        r.status = s;
        r.message = message;
        r.objects.clear();
        r.world = -1;
        return r;
    };

    cv::FileStorage fs;
    if (QFileInfo(path).isFile())
        fs.open(path.toStdString(), cv::FileStorage::READ);
    if (!fs.isOpened())
        return fail(ProjectReadResult::Status::CannotOpen, QStringLiteral("Couldn't open project file: %1").arg(path));

    QStringList names;
    if (!readNames(fs["Sensors"], names))
        return fail(ProjectReadResult::Status::InvalidStructure,
                    QStringLiteral("Invalid Vantiro data structure in %1").arg(path));
    if (names.isEmpty())
        return fail(ProjectReadResult::Status::EmptySensors, QStringLiteral("Sensors node in %1 is empty").arg(path));

    QStringList worlds;
    if (!readNames(fs["World"], worlds) || worlds.isEmpty())
        return fail(ProjectReadResult::Status::InvalidStructure,
                    QStringLiteral("Invalid Vantiro data structure in %1").arg(path));
    if (worlds.size() > 1)
        r.warning = QStringLiteral("Project contains multiple worlds, using the first item %1 as the world").arg(worlds[0]);
    r.world = int(names.indexOf(worlds[0]));
    if (r.world < 0)
        return fail(ProjectReadResult::Status::WorldNotFound,
                    QStringLiteral("Sensors node does not contain the world %1").arg(worlds[0]));

    auto badValue = [&](const std::string& key) {
        return fail(ProjectReadResult::Status::InvalidValue,
                    QStringLiteral("Invalid value of \"%1\" in %2").arg(QString::fromStdString(key), path));
    };

    for (int i = 0; i < names.size(); ++i) {
        const std::string n = std::to_string(i);
        ProjectObject o;
        o.name = names[i];
        if (!readMatrix(fs["K" + n], o.K, 3, 3))
            return badValue("K" + n);
        if (!readMatrix(fs["kc" + n], o.kc, 0, 0) || (!o.kc.empty() && o.kc.rows != 1 && o.kc.cols != 1))
            return badValue("kc" + n);
        if (!o.kc.empty())
            o.kc = o.kc.reshape(1, 1);
        const cv::FileNode size = fs["imgSize" + n];
        if (!size.empty()) {
            if (!size.isSeq() || size.size() != 2 || !size[0].isInt() || !size[1].isInt() || int(size[0]) < 0 ||
                int(size[1]) < 0)
                return badValue("imgSize" + n);
            o.imgSize = cv::Size(int(size[0]), int(size[1]));
        }
        const cv::FileNode rNode = fs["R" + n];
        if (!rNode.empty()) {
            cv::Mat R;
            if (!readMatrix(rNode, R, 3, 3))
                return badValue("R" + n);
            // A present but empty matrix reads as zeros.
            o.R = R.empty() ? cv::Matx33d::zeros() : cv::Matx33d(R);
        }
        cv::Mat t;
        if (!readMatrix(fs["T" + n], t, 0, 0) || (!t.empty() && t.total() != 3))
            return badValue("T" + n);
        o.t = t.empty() ? cv::Matx31d::zeros() : cv::Matx31d(t.reshape(1, 3));
        r.objects.push_back(o);
    }
    return r;
}
