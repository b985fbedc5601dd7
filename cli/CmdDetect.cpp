// detect: the target detector over a list of images, with optional corner files beside them.

#include "cli/CliSupport.h"
#include "cli/Commands.h"
#include "cli/Console.h"
#include "intrinsic/IntrinsicFiles.h"
#include "targets/DetectionPool.h"
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

    // Images are read and detected on all cores; lines come out in list order.
    int found = 0;
    int delivered = 0;
    // Corner files of one run are written together at its end: all of them or none.
    std::vector<std::pair<QString, QByteArray>> cornerFiles;
    vantiro::OrderedJobs<vantiro::ImageDetection> jobs;
    jobs.prepare = [&](int i) -> vantiro::Work<vantiro::ImageDetection> {
        return [path = images[i], target](const vantiro::StopToken& stop) {
            return vantiro::loadAndDetect(path, target, stop);
        };
    };
    jobs.deliver = [&](int i, vantiro::ImageDetection* detection) {
        const QString& path = images[i];
        ++delivered;
        if (!detection->readable) {
            console.print(QStringLiteral("%1: cannot read the image (%2)\n").arg(path, detection->error));
            return;
        }
        if (!detection->found) {
            console.print(QStringLiteral("%1: target not found\n").arg(path));
            return;
        }
        ++found;
        QString line = QStringLiteral("%1: %2 corners").arg(path).arg(detection->corners.size());
        if (writeCorners) {
            const QString file = vantiro::intrinsic::cornerFilePath(path);
            cornerFiles.push_back({file, cornerFileText(file, detection->corners)});
            line += QStringLiteral(" -> %1").arg(file);
        }
        console.print(line + QLatin1Char('\n'));
    };
    jobs.abort = [] { return interrupted(); };
    jobs.progress = [&console](int done, int total) { console.progress(QStringLiteral("Detecting"), done, total); };
    try {
        if (vantiro::runInListOrder(int(images.size()), jobs) == vantiro::PoolStatus::Aborted)
            throw RunError(QStringLiteral("interrupted after %1 of %2 images").arg(delivered).arg(images.size()));
    } catch (const cv::Exception& e) {
        // Settings the library refuses fail on every image alike.
        throw RunError(QStringLiteral("%1: %2").arg(images[delivered], QString::fromStdString(e.err).trimmed()));
    }
    writeFilesAtomically(cornerFiles);
    console.print(QStringLiteral("Target found in %1 of %2 images\n").arg(found).arg(images.size()));
    if (found == 0)
        throw RunError(QStringLiteral("the target was not found in any image"));
    return ExitOk;
}

} // namespace cli
