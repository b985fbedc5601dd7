#pragma once
#include <QByteArray>
#include <QString>
#include <QStringList>

#include <opencv2/core.hpp>

#include <vector>

// One calibration object as stored in a project file.
struct ProjectObject
{
    QString name;
    cv::Mat K;  // 3x3 CV_64F, empty when the object has no intrinsics
    cv::Mat kc; // 1xN CV_64F
    cv::Size imgSize;
    cv::Matx33d R = cv::Matx33d::eye();
    cv::Matx31d t = cv::Matx31d::zeros();
};

// Name proposed for a new project: <workdir>/<world name>.project.yml
QString proposedProjectPath(const QString& workingDirectory, const QString& worldName);
// The JSON twin: the path up to its last "." followed by ".json".
QString projectJsonTwin(const QString& path);

// The YAML text and its JSON twin with every pose relative to objects[world]. Throws
// cv::Exception on library errors.
struct ProjectFileTexts
{
    QByteArray yaml;
    QByteArray json;
};
ProjectFileTexts projectFileTexts(const std::vector<ProjectObject>& objects, int world, const QString& isoDate);

// Writes both texts as one set (both replaced or neither). Throws cv::Exception with the reason.
void writeProjectFile(const QString& path, const std::vector<ProjectObject>& objects, int world,
                      const QString& isoDate);

struct ProjectReadResult
{
    enum class Status
    {
        Ok,
        CannotOpen,       // "Couldn't open project file: %1"
        Malformed,        // the same, then a line with the parser's reason
        InvalidStructure, // "Invalid Vantiro data structure in %1"
        EmptySensors,     // "Sensors node in %1 is empty"
        WorldNotFound,    // "Sensors node does not contain the world %1"
        InvalidValue,     // a matrix of the wrong shape or with non-finite numbers
    };
    Status status = Status::Ok;
    QString message; // text for the error box, empty when Ok
    QString warning; // "Project contains multiple worlds, ..." when there were several
    std::vector<ProjectObject> objects; // poses as stored: relative to the world object
    int world = -1;
};

// Reads and checks the whole file (YAML or JSON) before anything is applied, so a bad file
// changes nothing. Never throws: malformed text is a Malformed status.
ProjectReadResult readProjectFile(const QString& path);
