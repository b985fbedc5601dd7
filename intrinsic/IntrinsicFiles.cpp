#include "intrinsic/IntrinsicFiles.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cmath>
#include <optional>

namespace vantiro::intrinsic {

QString cornerFilePath(const QString& imagePath)
{
    const QFileInfo info(imagePath);
    return info.path() + QLatin1Char('/') + info.completeBaseName() + QStringLiteral(".yml");
}

namespace {

// A node as rows of 'dim' numbers: an opencv-matrix (N x 1 with dim channels, 1 x N, or N x dim)
// or a flat sequence of numbers. Empty optional when it is neither.
std::optional<cv::Mat> readPointRows(const cv::FileNode& node, int dim)
{
    cv::Mat m;
    if (node.isMap()) {
        node >> m;
        if (m.empty())
            return cv::Mat(0, dim, CV_64F);
        if (m.depth() != CV_32F && m.depth() != CV_64F)
            return std::nullopt;
        if (!m.isContinuous())
            m = m.clone();
        const int values = int(m.total()) * m.channels();
        const bool shaped = (m.channels() == dim && (m.rows == 1 || m.cols == 1)) ||
                            (m.channels() == 1 && m.cols == dim);
        if (!shaped || values % dim != 0)
            return std::nullopt;
        m = m.reshape(1, values / dim);
    } else if (node.isSeq()) {
        std::vector<double> flat;
        flat.reserve(node.size());
        for (const cv::FileNode& v : node) {
            if (!v.isReal() && !v.isInt())
                return std::nullopt;
            flat.push_back(double(v));
        }
        if (flat.size() % size_t(dim) != 0)
            return std::nullopt;
        m = cv::Mat(flat, true).reshape(1, int(flat.size()) / dim);
    } else {
        return std::nullopt;
    }
    m.convertTo(m, CV_64F);
    if (!cv::checkRange(m))
        return std::nullopt; // NaN or infinity
    return m;
}

} // namespace

CornerFile readCornerFile(const QString& path)
{
    CornerFile result;
    if (!QFileInfo(path).isFile())
        return result;
    auto invalid = [&result](const QString& why) {
        result.status = CornerFileStatus::Invalid;
        result.imagePoints.clear();
        result.objectPoints.clear();
        result.error = why;
        return result;
    };
    try {
        cv::FileStorage fs(QFile::encodeName(path).toStdString(), cv::FileStorage::READ);
        if (!fs.isOpened())
            return result;
        const cv::FileNode cornersNode = fs["corners"];
        const cv::FileNode objNode = fs["obj"];
        if (cornersNode.empty())
            return invalid(QStringLiteral("\"corners\" is missing"));
        if (objNode.empty())
            return invalid(QStringLiteral("\"obj\" is missing"));
        const auto corners = readPointRows(cornersNode, 2);
        if (!corners)
            return invalid(QStringLiteral("\"corners\" is not a list of 2-D points"));
        const auto obj = readPointRows(objNode, 3);
        if (!obj)
            return invalid(QStringLiteral("\"obj\" is not a list of 3-D points"));
        if (corners->rows != obj->rows)
            return invalid(QStringLiteral("\"corners\" has %1 points but \"obj\" has %2")
                               .arg(corners->rows)
                               .arg(obj->rows));
        if (corners->rows < 4)
            return invalid(QStringLiteral("fewer than 4 points"));
        for (int r = 0; r < corners->rows; ++r) {
            result.imagePoints.emplace_back(float(corners->at<double>(r, 0)), float(corners->at<double>(r, 1)));
            result.objectPoints.emplace_back(float(obj->at<double>(r, 0)), float(obj->at<double>(r, 1)),
                                             float(obj->at<double>(r, 2)));
        }
        result.status = CornerFileStatus::Loaded;
        return result;
    } catch (const cv::Exception& e) {
        // A file the parser rejects.
        return invalid(QString::fromStdString(e.err).trimmed());
    }
}

QString intrinsicsFilePath(const QString& workingDirectory, const QString& sensorName)
{
    return workingDirectory + QLatin1Char('/') + sensorName + QStringLiteral(".intrinsics.yml");
}

bool writeYamlAtomically(const QString& path, const std::function<void(cv::FileStorage&)>& fill, QString* error)
{
    auto fail = [error](const QString& why) {
        if (error)
            *error = why;
        return false;
    };
    std::string text;
    try {
        // Into memory first, so the file on disk is written in one piece below.
        cv::FileStorage fs("data.yml", cv::FileStorage::WRITE | cv::FileStorage::MEMORY | cv::FileStorage::FORMAT_YAML);
        fill(fs);
        text = fs.releaseAndGetString();
    } catch (const cv::Exception& e) {
        return fail(QString::fromStdString(e.what()).trimmed());
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return fail(file.errorString());
    if (file.write(text.data(), qint64(text.size())) != qint64(text.size())) {
        const QString why = file.errorString();
        file.cancelWriting();
        return fail(why);
    }
    if (!file.commit())
        return fail(file.errorString());
    return true;
}

bool writeIntrinsicsFile(const QString& path, cv::Size imageSize, const cv::Mat& K, const cv::Mat& distortion,
                         double rms, QString* error)
{
    return writeYamlAtomically(
        path,
        [&](cv::FileStorage& fs) {
            fs << "imgSize" << imageSize;
            fs << "K" << K;
            fs << "kc" << distortion;
            fs << "reprojErrRMS" << rms;
        },
        error);
}

} // namespace vantiro::intrinsic
