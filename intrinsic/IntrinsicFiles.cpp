#include "intrinsic/IntrinsicFiles.h"

#include "app/FileSet.h"
#include "app/ImageFile.h"
#include "app/StorageFile.h"
#include "intrinsic/InputChecks.h"

#include <QFile>
#include <QFileInfo>

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
        if (!readStorageMatrix(node, m))
            return std::nullopt;
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
        cv::FileStorage fs;
        const StorageOpenResult opened = openStorageFile(path, fs);
        if (opened.status == StorageStatus::Missing)
            return result;
        if (!opened.ok())
            return invalid(opened.error);
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
        for (int r = 0; r < corners->rows; ++r) {
            result.imagePoints.emplace_back(float(corners->at<double>(r, 0)), float(corners->at<double>(r, 1)));
            result.objectPoints.emplace_back(float(obj->at<double>(r, 0)), float(obj->at<double>(r, 1)),
                                             float(obj->at<double>(r, 2)));
        }
        // Checked as float, the type they are used in: 1e300 is finite only as a double.
        const QString problem = cornerListProblem(result.imagePoints, result.objectPoints);
        if (!problem.isEmpty())
            return invalid(problem);
        result.status = CornerFileStatus::Loaded;
        return result;
    } catch (const cv::Exception& e) {
        return invalid(QString::fromStdString(e.err).trimmed());
    } catch (const std::exception& e) {
        return invalid(QString::fromLocal8Bit(e.what()));
    }
}

IntrinsicsFileContent readIntrinsicsFile(const QString& path)
{
    IntrinsicsFileContent content;
    auto fail = [&content](const QString& why) {
        const bool opened = content.opened;
        content = IntrinsicsFileContent();
        content.opened = opened;
        content.error = why;
        return content;
    };
    cv::FileStorage fs;
    const StorageOpenResult opened = openStorageFile(path, fs);
    if (!opened.ok())
        return fail(opened.error);
    content.opened = true;
    try {
        const cv::FileNode k = fs["K"], kc = fs["kc"], size = fs["imgSize"];
        QString why;
        if (!k.empty()) {
            cv::Mat m;
            if (!readStorageMatrix(k, m, &why))
                return fail(QStringLiteral("\"K\": %1").arg(why));
            if (m.rows != 3 || m.cols != 3 || m.channels() != 1)
                return fail(QStringLiteral("\"K\" is not a 3 x 3 matrix"));
            m.convertTo(content.K, CV_64F);
            if (!cv::checkRange(content.K))
                return fail(QStringLiteral("\"K\" holds a value that is not a finite number"));
        }
        if (!kc.empty()) {
            cv::Mat m;
            if (!readStorageMatrix(kc, m, &why))
                return fail(QStringLiteral("\"kc\": %1").arg(why));
            if (!m.empty()) {
                if ((m.rows != 1 && m.cols != 1) || m.channels() != 1 || m.total() > 14)
                    return fail(QStringLiteral("\"kc\" is not a row of up to 14 coefficients"));
                m.reshape(1, 1).convertTo(content.distortion, CV_64F);
                if (!cv::checkRange(content.distortion))
                    return fail(QStringLiteral("\"kc\" holds a value that is not a finite number"));
            }
        }
        if (!size.empty()) {
            if (!size.isSeq() || size.size() != 2 || !size[0].isInt() || !size[1].isInt() || int(size[0]) < 0 ||
                int(size[1]) < 0 || int(size[0]) > kMaxImageSide || int(size[1]) > kMaxImageSide)
                return fail(QStringLiteral("\"imgSize\" is not [width, height]"));
            content.imageSize = cv::Size(int(size[0]), int(size[1]));
            content.hasImageSize = true;
        }
    } catch (const cv::Exception& e) {
        return fail(QString::fromStdString(e.err).trimmed());
    }
    content.ok = true;
    return content;
}

QString intrinsicsFilePath(const QString& workingDirectory, const QString& sensorName)
{
    return workingDirectory + QLatin1Char('/') + sensorName + QStringLiteral(".intrinsics.yml");
}

QByteArray intrinsicsFileText(cv::Size imageSize, const cv::Mat& K, const cv::Mat& distortion, double rms)
{
    cv::FileStorage fs("intrinsics.yml", cv::FileStorage::WRITE | cv::FileStorage::MEMORY | cv::FileStorage::FORMAT_YAML);
    fs << "imgSize" << imageSize;
    fs << "K" << K;
    fs << "kc" << distortion;
    fs << "reprojErrRMS" << rms;
    return QByteArray::fromStdString(fs.releaseAndGetString());
}

bool writeIntrinsicsFile(const QString& path, cv::Size imageSize, const cv::Mat& K, const cv::Mat& distortion,
                         double rms, QString* error)
{
    QByteArray text;
    try {
        text = intrinsicsFileText(imageSize, K, distortion, rms);
    } catch (const cv::Exception& e) {
        if (error)
            *error = QString::fromStdString(e.what()).trimmed();
        return false;
    }
    return writeFileSet({{path, text}}, error);
}

} // namespace vantiro::intrinsic
