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
    if (!QDir().mkpath(folder) || !QFileInfo(folder).isWritable())
        throw RunError(QStringLiteral("cannot create the folder %1").arg(folder));

    const int count = generator.imageCount();
    int written = 0;
    for (int i = 0; i < count; ++i) {
        if (interrupted())
            throw RunError(QStringLiteral("interrupted after %1 of %2 images").arg(written).arg(count));
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
        writeImageAtomically(folder + QStringLiteral("/%1.png").arg(written, 2, 10, QLatin1Char('0')), image);
        ++written;
    }
    console.print(QStringLiteral("Saved %1 Gray-Code images to:\n%2\n\n").arg(written).arg(folder));
    return ExitOk;
}

} // namespace cli
