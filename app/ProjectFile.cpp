#include "app/ProjectFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cmath>
#include <cstdio>

#include "app/FileSet.h"
#include "app/StorageFile.h"
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
    // Names as strings whatever they hold: the writer's << takes "[", "{" or "]" for structure.
    fs.startWriteStruct("Sensors", cv::FileNode::SEQ);
    for (const auto& o : objects)
        vantiro::writeStorageString(fs, std::string(), o.name.toStdString());
    fs.endWriteStruct();
    fs.startWriteStruct("World", cv::FileNode::SEQ);
    vantiro::writeStorageString(fs, std::string(), objects[size_t(world)].name.toStdString());
    fs.endWriteStruct();

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

} // namespace

ProjectFileTexts projectFileTexts(const std::vector<ProjectObject>& objects, int world, const QString& isoDate)
{
    CV_Assert(world >= 0 && world < int(objects.size()));
    cv::FileStorage yaml("project.yml", cv::FileStorage::WRITE | cv::FileStorage::MEMORY | cv::FileStorage::FORMAT_YAML);
    cv::FileStorage json("project.json", cv::FileStorage::WRITE | cv::FileStorage::MEMORY | cv::FileStorage::FORMAT_JSON);
    writeAll(yaml, objects, world, isoDate);
    writeAll(json, objects, world, isoDate);
    return {QByteArray::fromStdString(yaml.releaseAndGetString()), QByteArray::fromStdString(json.releaseAndGetString())};
}

void writeProjectFile(const QString& path, const std::vector<ProjectObject>& objects, int world, const QString& isoDate)
{
    const ProjectFileTexts texts = projectFileTexts(objects, world, isoDate);
    QString error;
    // The twin first: files are replaced in this order, so the one the user chose goes last.
    if (!vantiro::writeFileSet({{projectJsonTwin(path), texts.json}, {path, texts.yaml}}, &error))
        CV_Error(cv::Error::StsError, error.toStdString());
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
    cv::Mat m;
    if (!vantiro::readStorageMatrix(node, m))
        return false;
    if (m.empty()) {
        out.release();
        return true;
    }
    if (m.channels() != 1 || (rows > 0 && m.rows != rows) || (cols > 0 && m.cols != cols))
        return false;
    m.convertTo(out, CV_64F);
    return allFinite(out);
}

template<typename Fail>
ProjectReadResult readProject(const cv::FileStorage& fs, const QString& path, ProjectReadResult& r, const Fail& fail)
{
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
    const vantiro::StorageOpenResult opened = vantiro::openStorageFile(path, fs);
    if (opened.status == vantiro::StorageStatus::Malformed || opened.status == vantiro::StorageStatus::TooLarge)
        return fail(ProjectReadResult::Status::Malformed,
                    QStringLiteral("Couldn't open project file: %1\n%2").arg(path, opened.error));
    if (!opened.ok())
        return fail(ProjectReadResult::Status::CannotOpen, QStringLiteral("Couldn't open project file: %1").arg(path));
    try {
        return readProject(fs, path, r, fail);
    } catch (const cv::Exception& e) {
        return fail(ProjectReadResult::Status::Malformed,
                    QStringLiteral("Couldn't open project file: %1\n%2").arg(path, QString::fromStdString(e.err).trimmed()));
    }
}
