#include "robot/TcpPose.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QXmlStreamReader>

#include <opencv2/calib3d.hpp>

#include <cmath>
#include <exception>

bool IsValidRotation(const cv::Mat& R, QString& message)
{
    if (R.rows != 3) {
        message = QStringLiteral("Invalid size: rows != 3.");
        return false;
    }
    if (R.cols != 3) {
        message = QStringLiteral("Invalid size: cols != 3.");
        return false;
    }
    if (R.channels() != 1) {
        message = QStringLiteral("R matrix should have 1 channel.");
        return false;
    }
    cv::Matx33d r;
    cv::Mat(R).convertTo(cv::Mat(r, false), CV_64F);
    const double det = cv::determinant(r);
    if (det < 0.0) {
        message = QStringLiteral("Determinant is negative.");
        return false;
    }
    // Written so that NaN fails too.
    if (!(std::abs(det - 1.0) <= 0.001)) {
        message = QStringLiteral("Determinant isn't 1.");
        return false;
    }
    const cv::Matx33d difference = r.t() - r.inv();
    for (int i = 0; i < 9; ++i)
        if (!(std::abs(difference.val[i]) <= 0.001)) {
            message = QStringLiteral("Transposed R isn't equal to its inverse: R^T != R^-1.");
            return false;
        }
    return true;
}

namespace vantiro::robot {

namespace {

// Lines longer than this are no pose lines; reading stops there instead of filling memory.
constexpr qint64 kMaxLineLength = 1 << 16;
// Far more poses than any robot session records; a larger file is refused before it is read.
constexpr qint64 kMaxPoseFileBytes = 16 * 1024 * 1024;

bool parseNumber(const QString& text, double& value)
{
    bool ok = false;
    value = text.trimmed().toDouble(&ok);
    return ok && std::isfinite(value);
}

QString defaultName(int index)
{
    return QStringLiteral("TCP_%1").arg(index);
}

void readText(QFile& file, int firstIndex, TcpFile& out)
{
    const QString path = file.fileName();
    int readHere = 0;
    while (!file.atEnd()) {
        const QByteArray bytes = file.readLine(kMaxLineLength);
        if (bytes.isEmpty() && file.error() != QFileDevice::NoError)
            break;
        const bool whole = bytes.endsWith('\n') || file.atEnd();
        const QStringList fields =
            QString::fromUtf8(bytes).split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
        double v[6];
        bool ok = whole && fields.size() >= 6;
        for (int k = 0; ok && k < 6; ++k)
            ok = parseNumber(fields[k], v[k]);
        if (!ok) {
            out.messages << QStringLiteral("Invalid line %1 in file %2\n").arg(readHere).arg(path);
            break;
        }
        TcpPose pose;
        pose.id = firstIndex + int(out.poses.size());
        pose.name = defaultName(pose.id).toStdString();
        pose.t = cv::Vec3d(v[0], v[1], v[2]);
        pose.r = cv::Vec3d(v[3], v[4], v[5]);
        out.poses.push_back(pose);
        out.entries << QString::fromStdString(pose.name);
        ++readHere;
    }
    if (file.error() != QFileDevice::NoError)
        out.messages << QStringLiteral("Error while reading file %1\n").arg(path);
}

// Reads the coordinate children of the current element up to its end; other children are
// skipped. A coordinate that is not a number stops the reader with an error.
void readCoordinates(QXmlStreamReader& xml, TcpPose& pose)
{
    static const char* const names[6] = {"X", "Y", "Z", "RX", "RY", "RZ"};
    while (xml.readNextStartElement()) {
        int which = -1;
        for (int k = 0; k < 6; ++k)
            if (xml.name() == QLatin1String(names[k]))
                which = k;
        if (which < 0) {
            xml.skipCurrentElement();
            continue;
        }
        const QString text = xml.readElementText();
        if (xml.hasError())
            return;
        double value = 0.0;
        if (!parseNumber(text, value)) {
            xml.raiseError(QStringLiteral("<%1> holds \"%2\", which is not a finite number")
                               .arg(QLatin1String(names[which]), text.left(40)));
            return;
        }
        (which < 3 ? pose.t : pose.r)[which % 3] = value;
    }
}

void readXml(QFile& file, int firstIndex, TcpFile& out)
{
    const QString path = file.fileName();
    QXmlStreamReader xml(&file);
    auto reportError = [&] {
        out.messages << QStringLiteral("Error: %1 in file %2 at line %3, column %4.\n")
                            .arg(xml.errorString(), path)
                            .arg(xml.lineNumber())
                            .arg(xml.columnNumber());
    };
    if (!xml.readNextStartElement()) {
        out.messages << QStringLiteral("No start element in %1\n").arg(path);
        // Say why when it is more than an empty document.
        if (xml.hasError() && xml.error() != QXmlStreamReader::PrematureEndOfDocumentError)
            reportError();
        return;
    }
    if (xml.name() == QLatin1String("TCP_Poses")) {
        while (xml.readNextStartElement()) {
            if (xml.name() != QLatin1String("Pose")) {
                xml.skipCurrentElement();
            } else {
                const int index = firstIndex + int(out.poses.size());
                TcpPose pose;
                const QXmlStreamAttributes attributes = xml.attributes();
                const bool hasId = attributes.hasAttribute(QStringLiteral("ID"));
                const bool hasName = attributes.hasAttribute(QStringLiteral("Name"));
                bool numeric = false;
                const int id = attributes.value(QStringLiteral("ID")).toString().trimmed().toInt(&numeric, 10);
                pose.id = hasId ? (numeric ? id : 0) : index;
                pose.name = hasName ? attributes.value(QStringLiteral("Name")).toString().toStdString()
                                    : defaultName(index).toStdString();
                readCoordinates(xml, pose);
                if (!xml.hasError()) {
                    QString entry;
                    if (hasId)
                        entry += QStringLiteral("ID: %1 ").arg(pose.id);
                    if (hasName)
                        entry += QStringLiteral("Name: ") + QString::fromStdString(pose.name);
                    out.poses.push_back(pose);
                    out.entries << (hasId || hasName ? entry : QString::fromStdString(pose.name));
                }
            }
            if (xml.hasError())
                break;
        }
        // Also a document that breaks off between poses.
        if (xml.hasError())
            reportError();
        return;
    }
    if (xml.name() == QLatin1String("TCP_Pose")) {
        TcpPose pose;
        pose.id = firstIndex;
        pose.name = QFileInfo(path).completeBaseName().toStdString();
        readCoordinates(xml, pose);
        if (xml.hasError()) {
            reportError();
            return;
        }
        out.poses.push_back(pose);
        out.entries << QString::fromStdString(pose.name);
        return;
    }
    out.messages << QStringLiteral("Incorrect root element in %1: expected <TCP_Poses> or <TCP_Pose>, got <%2>\n")
                        .arg(path, xml.name().toString());
}

} // namespace

TcpFile readTcpPoseFile(const QString& path, int firstIndex)
{
    TcpFile out;
    try {
        const QFileInfo info(path);
        if (!info.exists()) {
            out.messages << QStringLiteral("File %1 does not exist.\n").arg(path);
            return out;
        }
        const QString suffix = info.suffix();
        const bool xml = suffix.compare(QLatin1String("xml"), Qt::CaseInsensitive) == 0;
        if (!xml && suffix.compare(QLatin1String("txt"), Qt::CaseInsensitive) != 0) {
            out.messages << QStringLiteral("Only *.xml and *.txt file extensions can be read (file %1 ignored).\n")
                                .arg(path);
            return out;
        }
        QFile file(path);
        // A folder opens on some systems; it is no pose file either way.
        if (info.isDir() || !file.open(QIODevice::ReadOnly)) {
            out.messages << (xml ? QStringLiteral("Failed to open file %1.\n") : QStringLiteral("Error while opening file %1\n"))
                                    .arg(path);
            return out;
        }
        if (info.size() > kMaxPoseFileBytes) {
            out.messages << QStringLiteral("File %1 is larger than %2 MB and is not read.\n")
                                .arg(path)
                                .arg(kMaxPoseFileBytes / (1024 * 1024));
            return out;
        }
        if (xml)
            readXml(file, firstIndex, out);
        else
            readText(file, firstIndex, out);
    } catch (const std::exception& e) {
        // Out of memory on an absurd file: what was read stays.
        out.messages << QStringLiteral("Error while reading file %1: %2\n").arg(path, QString::fromLocal8Bit(e.what()));
    }
    return out;
}

TcpPoseList readTcpPoseFiles(const QStringList& paths, LogSink& log)
{
    TcpPoseList all;
    for (const QString& path : paths) {
        log.append(QStringLiteral("Parsing %1\n").arg(path));
        TcpFile file = readTcpPoseFile(path, int(all.poses.size()));
        for (const QString& m : file.messages)
            log.append(m);
        all.poses.insert(all.poses.end(), file.poses.begin(), file.poses.end());
        all.entries << file.entries;
    }
    log.append(QStringLiteral("Found %1 tcp entries.\n\n").arg(all.poses.size()));
    return all;
}

cv::Matx33d tcpRotation(const TcpPose& pose)
{
    cv::Matx33d R;
    cv::Rodrigues(pose.r, R);
    return R;
}

} // namespace vantiro::robot
