// detect: the target detector over a list of images, with optional corner files beside them.

#include <opencv2/imgcodecs.hpp>

#include "app/ImageFile.h"
#include "cli/CliSupport.h"
#include "cli/Commands.h"
#include "cli/Console.h"
#include "intrinsic/IntrinsicFiles.h"
#include "targets/TargetDetection.h"

namespace cli {

namespace {

// "corners" (N x 1, two channels) and "obj" (N x 1, three channels), as the modules read them.
QByteArray cornerFileText(const QString& path, const TargetCornerList& corners)
{
    cv::Mat image(int(corners.size()), 1, CV_32FC2);
    cv::Mat object(int(corners.size()), 1, CV_32FC3);
    for (size_t i = 0; i < corners.size(); ++i) {
        image.at<cv::Vec2f>(int(i)) = cv::Vec2f(corners[i].imagePoint.x, corners[i].imagePoint.y);
        object.at<cv::Vec3f>(int(i)) =
            cv::Vec3f(corners[i].objectPoint.x, corners[i].objectPoint.y, corners[i].objectPoint.z);
    }
    return storageText(path, [&](cv::FileStorage& fs) {
        fs << "corners" << image;
        fs << "obj" << object;
    });
}

} // namespace

int runDetect(const QStringList& arguments, Console& console)
{
    ArgParser parser(QStringLiteral("detect"), QStringLiteral("IMAGE..."),
                     QStringLiteral("Detects the calibration target in each image and prints the number of corners\n"
                                    "found (or why none were). Exit status 0 when the target was found in at least\n"
                                    "one image, 1 when in none."));
    addTargetOptions(parser);
    parser.addOption(QStringLiteral("workdir"), QStringLiteral("DIR"),
                     QStringLiteral("Working directory whose MainWindowSettings.ini gives the target when neither\n"
                                    "--target nor --settings is given (default: the current directory)."));
    parser.addFlag(QStringLiteral("write-corners"),
                   QStringLiteral("Write a corner file beside each image where the target was found: the image's\n"
                                  "name with the extension .yml, keys \"corners\" and \"obj\"."));
    parser.setPositional(QStringLiteral("IMAGE"), QStringLiteral("Image files or quoted globs ('views/*.png')."), 1, -1);
    if (!parser.parse(arguments)) {
        console.print(parser.helpText());
        return ExitOk;
    }

    const QString workdir = workingDirectoryOption(parser);
    const MainWindowSettings target = targetFromOptions(parser, workdir);
    const QStringList images = expandImageArguments(parser.positional());
    checkImagesReadable(images);
    const bool writeCorners = parser.isSet(QStringLiteral("write-corners"));

    int found = 0;
    int done = 0;
    // Corner files of one run are written together at its end: all of them or none.
    std::vector<std::pair<QString, QByteArray>> cornerFiles;
    for (const QString& path : images) {
        if (interrupted())
            throw RunError(QStringLiteral("interrupted after %1 of %2 images").arg(done).arg(images.size()));
        console.progress(QStringLiteral("Detecting"), done, int(images.size()));
        QString why;
        const cv::Mat image = vantiro::readImageChecked(path, cv::IMREAD_GRAYSCALE, &why);
        ++done;
        if (image.empty()) {
            console.print(QStringLiteral("%1: cannot read the image (%2)\n").arg(path, why));
            continue;
        }
        TargetCornerList corners;
        try {
            if (!detectTarget(image, target, corners) || corners.empty()) {
                console.print(QStringLiteral("%1: target not found\n").arg(path));
                continue;
            }
        } catch (const cv::Exception& e) {
            // Settings the library refuses fail on every image alike.
            throw RunError(QStringLiteral("%1: %2").arg(path, QString::fromStdString(e.err).trimmed()));
        }
        ++found;
        QString line = QStringLiteral("%1: %2 corners").arg(path).arg(corners.size());
        if (writeCorners) {
            const QString file = vantiro::intrinsic::cornerFilePath(path);
            cornerFiles.push_back({file, cornerFileText(file, corners)});
            line += QStringLiteral(" -> %1").arg(file);
        }
        console.print(line + QLatin1Char('\n'));
    }
    writeFilesAtomically(cornerFiles);
    console.print(QStringLiteral("Target found in %1 of %2 images\n").arg(found).arg(images.size()));
    if (found == 0)
        throw RunError(QStringLiteral("the target was not found in any image"));
    return ExitOk;
}

} // namespace cli
