// patterns: the Gray-code sequence of a projector as numbered PNG files.

#include <QDir>
#include <QFileInfo>

#include "cli/CliSupport.h"
#include "cli/Commands.h"
#include "cli/Console.h"
#include "projector/GrayCodePatternGenerator.h"

namespace cli {

int runPatterns(const QStringList& arguments, Console& console)
{
    ArgParser parser(QStringLiteral("patterns"), QString(),
                     QStringLiteral("Writes the Gray-code pattern images for a projector into\n"
                                    "<workdir>/GrayCodeImages_<width>_<height>/ as 00.png, 01.png, ...\n"
                                    "(files already there are overwritten)."));
    parser.addOption(QStringLiteral("projector"), QStringLiteral("WxH"),
                     QStringLiteral("Projector resolution, for example 1024x768 (default: from the settings)."));
    parser.addOption(QStringLiteral("settings"), QStringLiteral("FILE"),
                     QStringLiteral("Take the resolution from a MainWindowSettings.ini (or a folder holding one)."));
    parser.addOption(QStringLiteral("workdir"), QStringLiteral("DIR"),
                     QStringLiteral("Where the pattern folder goes (created when missing; default: the current directory)."));
    if (!parser.parse(arguments)) {
        console.print(parser.helpText());
        return ExitOk;
    }
    const QString workdir = workingDirectoryOption(parser);
    const cv::Size projector = projectorFromOptions(parser, workdir);

    GrayCodePatternGenerator generator(projector.height, projector.width);
    const QString folder = grayCodeFolder(workdir, projector.width, projector.height);

    const int count = generator.imageCount();
    int written = 0;
    // Encoded first and written as one set: a failed write leaves no partial sequence.
    std::vector<std::pair<QString, QByteArray>> files;
    for (int i = 0; i < count; ++i) {
        if (interrupted())
            throw RunError(QStringLiteral("interrupted; nothing was written"));
        console.progress(QStringLiteral("Writing"), i, count);
        cv::Mat image;
        try {
            image = generator.nextImage();
        } catch (const cv::Exception& e) {
            throw RunError(QStringLiteral("pattern %1: %2").arg(i).arg(QString::fromStdString(e.err)));
        } catch (const std::bad_alloc&) {
            throw RunError(QStringLiteral("not enough memory for one %1x%2 pattern").arg(projector.width).arg(projector.height));
        }
        if (image.empty())
            continue;
        const QString path = folder + QStringLiteral("/%1.png").arg(written, 2, 10, QLatin1Char('0'));
        files.push_back({path, encodeImage(path, image)});
        ++written;
    }
    writeFilesIntoFolder(folder, files);
    console.print(QStringLiteral("Saved %1 Gray-Code images to:\n%2\n\n").arg(written).arg(folder));
    return ExitOk;
}

} // namespace cli
