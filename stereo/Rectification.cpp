#include "stereo/Rectification.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <atomic>
#include <cstdio>

#include "app/ImageFile.h"
#include "intrinsic/IntrinsicCalibration.h"

namespace vantiro::stereo {

bool Rectification::hasMaps() const
{
    return !map1[0].empty() && !map2[0].empty() && !map1[1].empty() && !map2[1].empty();
}

void Rectification::release()
{
    *this = Rectification();
}

QString rectificationFilePath(const QString& workingDirectory, const QString& primaryName,
                              const QString& secondaryName)
{
    return workingDirectory + QLatin1Char('/') + primaryName + QLatin1Char('_') + secondaryName +
           QStringLiteral(".rectification.yml");
}

RectificationInput rectificationInput(const StereoResult& result, const QString& primaryName,
                                      const QString& secondaryName)
{
    RectificationInput in;
    in.primaryName = primaryName;
    in.secondaryName = secondaryName;
    for (int k = 0; k < 2; ++k) {
        in.K[k] = result.K[k];
        in.distortion[k] = result.distortion[k];
        in.imageSize[k] = result.imageSize[k];
    }
    in.R = result.R;
    in.T = result.T;
    return in;
}

namespace {

QString libraryMessage(const cv::Exception& e)
{
    return QString::fromStdString(e.what());
}

void logLibraryError(LogSink& log, const QString& message)
{
    log.append(QStringLiteral("OpenCV exception caught:\n") + message, logcolor::Red);
    log.append(QStringLiteral("Aborting.\n\n"), logcolor::Red);
}

// The file's text; the keys in the order readers of this file expect (the first key is spelled
// "imgageSize" in every file this program has ever written).
std::string rectificationText(const Rectification& r)
{
    cv::FileStorage fs("rectification.yml",
                       cv::FileStorage::WRITE | cv::FileStorage::MEMORY | cv::FileStorage::FORMAT_YAML);
    fs << "imgageSize" << r.imageSize;
    fs << "newImageSize" << r.newImageSize;
    fs << "alpha" << r.alpha;
    fs << "flags" << r.flags;
    fs << "R0" << r.R[0] << "R1" << r.R[1];
    fs << "P0" << r.P[0] << "P1" << r.P[1];
    fs << "Q" << r.Q;
    return fs.releaseAndGetString();
}

bool writeWhole(const QString& path, const std::string& text, QString& error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text.data(), qint64(text.size())) != qint64(text.size())) {
        error = file.errorString();
        file.cancelWriting();
        return false;
    }
    if (!file.commit()) {
        error = file.errorString();
        return false;
    }
    return true;
}

} // namespace

RectificationStatus rectifyStereo(RectificationInput input, const RectificationOptions& options,
                                  const QString& workingDirectory, const FetchIntrinsics& fetch, Rectification& out,
                                  LogSink& log)
{
    out.release();
    const QString names[2] = {input.primaryName, input.secondaryName};
    for (int k = 0; k < 2; ++k) {
        if (!intrinsic::hasFocalLengths(input.K[k]) && fetch)
            fetch(k, input.K[k], input.distortion[k], input.imageSize[k]);
        if (!intrinsic::hasFocalLengths(input.K[k])) {
            log.append(QStringLiteral("%1 does not have any intrinsics, aborting.\n\n").arg(names[k]), logcolor::Red);
            return RectificationStatus::MissingIntrinsics;
        }
        if (input.distortion[k].empty())
            input.distortion[k] = cv::Mat::zeros(1, 5, CV_64F);
    }
    if (input.R.empty() || input.T.empty()) {
        log.append(QStringLiteral("Use [Calibrate Stereo] before rectification.\n\n"), logcolor::Red);
        return RectificationStatus::NoStereoResult;
    }
    if (input.imageSize[0] != input.imageSize[1])
        log.append(QStringLiteral("Warning: Images for %1 and %2 differ in size. Rectification may compute correct but "
                                  "unpractical results.\n\n")
                       .arg(names[0], names[1]),
                   logcolor::Orange);

    Rectification r;
    r.imageSize = input.imageSize[0];
    r.newImageSize = options.newImageSize.empty() ? input.imageSize[0] : options.newImageSize;
    r.alpha = options.alpha;
    r.flags = options.flags();
    std::string text;
    try {
        for (int k = 0; k < 2; ++k) {
            input.K[k].convertTo(r.K[k], CV_64F);
            input.distortion[k].convertTo(r.distortion[k], CV_64F);
            r.sourceSize[k] = input.imageSize[k];
        }
        cv::Mat R, T;
        input.R.convertTo(R, CV_64F);
        input.T.convertTo(T, CV_64F);
        cv::stereoRectify(r.K[0], r.distortion[0], r.K[1], r.distortion[1], r.imageSize, R, T, r.R[0], r.R[1], r.P[0],
                          r.P[1], r.Q, r.flags, r.alpha, r.newImageSize);
        text = rectificationText(r);
        for (int k = 0; k < 2; ++k)
            cv::initUndistortRectifyMap(r.K[k], r.distortion[k], r.R[k], r.P[k], r.newImageSize, CV_16SC2, r.map1[k],
                                        r.map2[k]);
    } catch (const cv::Exception& e) {
        logLibraryError(log, libraryMessage(e));
        return RectificationStatus::LibraryError;
    }

    QString path = rectificationFilePath(workingDirectory, names[0], names[1]);
    QString error;
    if (workingDirectory.isEmpty()) {
        path = QFileInfo(path).fileName();
        error = QStringLiteral("no working directory is set");
    } else {
        if (!writeWhole(path, text, error) && error.isEmpty())
            error = QStringLiteral("unknown error");
    }
    if (!error.isEmpty()) {
        log.append(QStringLiteral("Could not write %1: %2\nAborting.\n\n").arg(path, error), logcolor::Red);
        return RectificationStatus::FileNotWritten;
    }
    log.append(QStringLiteral("Rectification parameters saved to:\n"), QString(), true);
    log.append(path + QStringLiteral("\n\n"));
    out = r;
    return RectificationStatus::Rectified;
}

cv::Mat rectifyImage(const cv::Mat& image, const Rectification& rectification, int sensor)
{
    cv::Mat out;
    cv::remap(image, out, rectification.map1[sensor], rectification.map2[sensor], cv::INTER_LINEAR,
              cv::BORDER_CONSTANT, cv::Scalar::all(0));
    return out;
}

void drawEpipolarLines(cv::Mat& image, int count)
{
    if (count <= 0 || image.empty())
        return;
    // Thick enough to stay visible when a large image is shown scaled down.
    const int thickness = std::max(1, image.rows / 400);
    for (int k = 1; k <= count; ++k) {
        const int hue = ((k - 1) * 32) % 360;
        cv::Mat hsv(1, 1, CV_8UC3, cv::Scalar(hue / 2, 255, 255)), bgr;
        cv::cvtColor(hsv, bgr, cv::COLOR_HSV2BGR);
        const cv::Vec3b c = bgr.at<cv::Vec3b>(0, 0);
        const cv::Scalar colour = image.channels() == 1 ? cv::Scalar(0.114 * c[0] + 0.587 * c[1] + 0.299 * c[2])
                                                        : cv::Scalar(c[0], c[1], c[2]);
        const int y = int(std::lround(double(k) * image.rows / (count + 1)));
        cv::line(image, cv::Point(0, y), cv::Point(image.cols - 1, y), colour, thickness, cv::LINE_8);
    }
}

namespace {

std::string localPath(const QString& path)
{
    return QFile::encodeName(path).toStdString();
}

// Same folder and extension (the encoder goes by it), hidden until renamed.
QString partialSibling(const QString& path)
{
    const QFileInfo info(path);
    return info.absolutePath() + QStringLiteral("/.") + info.completeBaseName() + QStringLiteral(".partial.") +
           info.suffix();
}

// What became of one image; failures stop the list.
struct Outcome
{
    enum Kind
    {
        NotTried,
        Written,
        Skipped,     // warning: unreadable or of another size
        Failed,      // error: folder or file not writable
        LibraryError,
    };
    Kind kind = NotTried;
    QString text;
};

Outcome rectifyOne(const QString& path, const Rectification& r, int sensor)
{
    const cv::Mat image = readImageChecked(path, cv::IMREAD_COLOR);
    if (image.empty())
        return {Outcome::Skipped, QStringLiteral("Warning: Could not read %1, it was skipped.\n").arg(path)};
    // The maps are only right for the size that was calibrated.
    if (image.size() != r.sourceSize[sensor])
        return {Outcome::Skipped, QStringLiteral("Warning: %1 is %2x%3 px, not %4x%5 px as calibrated; it was skipped.\n")
                                      .arg(path)
                                      .arg(image.cols)
                                      .arg(image.rows)
                                      .arg(r.sourceSize[sensor].width)
                                      .arg(r.sourceSize[sensor].height)};
    const QFileInfo info(path);
    const QString dir = info.absolutePath() + QStringLiteral("/Rectified");
    if (!QDir().mkpath(dir))
        return {Outcome::Failed, QStringLiteral("\nError: Could not create the folder %1\nAborting.\n\n").arg(dir)};
    const QString target = dir + QLatin1Char('/') + info.fileName();
    const QString partial = partialSibling(target);
    bool written = false;
    try {
        written = cv::imwrite(localPath(partial), rectifyImage(image, r, sensor));
    } catch (const cv::Exception& e) {
        QFile::remove(partial);
        return {Outcome::LibraryError, libraryMessage(e)};
    }
    // rename(2) replaces an existing file in one step.
    if (!written || std::rename(localPath(partial).c_str(), localPath(target).c_str()) != 0) {
        QFile::remove(partial);
        return {Outcome::Failed, QStringLiteral("\nError: Could not write %1\nAborting.\n\n").arg(target)};
    }
    return {Outcome::Written, QString()};
}

// One list into the "Rectified" folders beside its images; false when writing had to stop.
// Reading, remapping and encoding dominate, so images are done side by side and reported in order.
bool writeList(const QStringList& images, const Rectification& r, int sensor, const QString& name,
               const QString& which, const QString& folder, RectifiedWriteResult& result, LogSink& log)
{
    log.append(QStringLiteral("Rectifying %1 images").arg(name), QString(), true);
    std::vector<Outcome> outcomes(size_t(images.size()));
    std::atomic<bool> stop{false};
    cv::parallel_for_(cv::Range(0, int(images.size())), [&](const cv::Range& range) {
        for (int i = range.start; i < range.end && !stop; ++i) {
            outcomes[size_t(i)] = rectifyOne(images[i], r, sensor);
            if (outcomes[size_t(i)].kind == Outcome::Failed || outcomes[size_t(i)].kind == Outcome::LibraryError)
                stop = true;
        }
    });
    QStringList skipped;
    for (const Outcome& outcome : outcomes)
        if (outcome.kind == Outcome::Written)
            ++result.written;
    for (const Outcome& outcome : outcomes) {
        if (outcome.kind == Outcome::Skipped)
            skipped << outcome.text;
        if (outcome.kind == Outcome::Failed) {
            log.append(outcome.text, logcolor::Red);
            return false;
        }
        if (outcome.kind == Outcome::LibraryError) {
            log.append(QStringLiteral("\n"));
            logLibraryError(log, outcome.text);
            return false;
        }
    }
    log.append(QStringLiteral("\n"));
    for (const QString& warning : skipped)
        log.append(warning, logcolor::Orange);
    log.append(QStringLiteral("Rectified %1 images written to:\n").arg(which));
    log.append(folder + QStringLiteral("/Rectified/\n\n"));
    return true;
}

QString firstFolder(const QStringList& images)
{
    return images.isEmpty() ? QString() : QFileInfo(images.front()).absolutePath();
}

} // namespace

RectifiedWriteResult writeRectifiedImages(const QStringList& primaryImages, const QStringList& secondaryImages,
                                          const Rectification& rectification, const QString& primaryName,
                                          const QString& secondaryName, const ConfirmRectifiedWrite& confirm,
                                          LogSink& log)
{
    RectifiedWriteResult result;
    const QString folders[2] = {firstFolder(primaryImages), firstFolder(secondaryImages)};
    if (folders[0].isEmpty() || folders[1].isEmpty())
        return result;
    if (confirm && !confirm(folders[0] + QStringLiteral("/Rectified/"), folders[1] + QStringLiteral("/Rectified/")))
        return result;
    if (!rectification.hasMaps()) {
        log.append(QStringLiteral("Warning: Calibration parameters for rectification not available. Aborting.\n\n"),
                   logcolor::Orange);
        return result;
    }
    result.completed =
        writeList(primaryImages, rectification, 0, primaryName, QStringLiteral("primary"), folders[0], result, log) &&
        writeList(secondaryImages, rectification, 1, secondaryName, QStringLiteral("secondary"), folders[1], result,
                  log);
    return result;
}

} // namespace vantiro::stereo
