// decode: one captured Gray-code set into projector coordinates, with the module's display images.

#include <QDir>
#include <QFileInfo>

#include <cmath>

#include "Common/StructuredLight.h"
#include "cli/CliSupport.h"
#include "cli/Commands.h"
#include "cli/Console.h"
#include "projector/GrayCodeSets.h"

namespace cli {

namespace {

// One coordinate channel as 16-bit (65535 where undecoded) or as float (NaN where undecoded).
cv::Mat coordinateImage(const cv::Mat& pattern, int channel, bool asFloat)
{
    cv::Mat c;
    cv::extractChannel(pattern, c, channel);
    if (asFloat)
        return c;
    cv::Mat out(c.size(), CV_16UC1);
    for (int r = 0; r < c.rows; ++r)
        for (int x = 0; x < c.cols; ++x) {
            const float v = c.at<float>(r, x);
            out.at<uint16_t>(r, x) = std::isnan(v) ? uint16_t(65535) : uint16_t(std::lround(v));
        }
    return out;
}

} // namespace

int runDecode(const QStringList& arguments, Console& console)
{
    ArgParser parser(
        QStringLiteral("decode"), QStringLiteral("SET"),
        QStringLiteral("Decodes one captured Gray-code set (white, black, then the pattern pairs, one camera image\n"
                       "per pattern) into the projector column and row seen by each camera pixel. Writes into the\n"
                       "output folder: decoded_x.png and decoded_y.png (16-bit, 65535 where undecoded; with\n"
                       "--float decoded_x.tiff and decoded_y.tiff, 32-bit float, NaN where undecoded), the colour\n"
                       "images decoded_x_colour.png and decoded_y_colour.png, mask_overlay.png and\n"
                       "projector_view.png."));
    parser.addOption(QStringLiteral("projector"), QStringLiteral("WxH"),
                     QStringLiteral("Projector resolution, for example 1024x768 (default: from the settings)."));
    parser.addOption(QStringLiteral("settings"), QStringLiteral("FILE"),
                     QStringLiteral("Take the resolution from a MainWindowSettings.ini (or a folder holding one)."));
    parser.addOption(QStringLiteral("workdir"), QStringLiteral("DIR"),
                     QStringLiteral("Working directory (created when missing; default: the current directory)."));
    parser.addOption(QStringLiteral("output"), QStringLiteral("DIR"),
                     QStringLiteral("Where the images go (default: <workdir>/<set name>_decoded)."));
    parser.addFlag(QStringLiteral("float"), QStringLiteral("Write the coordinates as float TIFF images."));
    parser.addOption(QStringLiteral("mask-threshold"), QStringLiteral("T"),
                     QStringLiteral("Projection mask threshold for the display images (0..1, default 0)."));
    parser.setPositional(QStringLiteral("SET"),
                         QStringLiteral("A folder holding the set's images (sorted by their numbers), or the image\n"
                                        "files or quoted globs in sequence order."),
                         1, -1);
    if (!parser.parse(arguments)) {
        console.print(parser.helpText());
        return ExitOk;
    }
    const QString workdir = workingDirectoryOption(parser);
    const cv::Size projector = projectorFromOptions(parser, workdir);
    const bool asFloat = parser.isSet(QStringLiteral("float"));
    const double threshold = parser.doubleValue(QStringLiteral("mask-threshold"), 0.0, 0.0, 1.0);
    if (!asFloat && (projector.width > 65535 || projector.height > 65535))
        throw UsageError(QStringLiteral("a projector wider or taller than 65535 px needs --float"));

    QStringList set;
    QString setName;
    const QStringList given = parser.positional();
    if (given.size() == 1 && QFileInfo(given.first()).isDir()) {
        set = imagesInFolder(given.first());
        setName = QFileInfo(QDir::cleanPath(given.first())).fileName();
        if (set.isEmpty())
            throw UsageError(QStringLiteral("no images in %1").arg(given.first()));
    } else {
        set = expandImageArguments(given);
        setName = QFileInfo(set.first()).dir().dirName();
    }
    // The decoder skips a pattern pair whose images differ in size, and half the bits go wrong
    // without a word: such a set is refused here.
    const std::vector<cv::Size> sizes = checkImagesReadable(set);
    for (qsizetype i = 1; i < set.size(); ++i)
        if (sizes[size_t(i)] != sizes[0])
            throw UsageError(QStringLiteral("%1 is %2x%3 px but %4 is %5x%6 px; all images of a set must have one size")
                                 .arg(set[i])
                                 .arg(sizes[size_t(i)].width)
                                 .arg(sizes[size_t(i)].height)
                                 .arg(set[0])
                                 .arg(sizes[0].width)
                                 .arg(sizes[0].height));
    const int expected = sl::grayCodeImageCount(projector);
    if (set.size() != expected)
        throw UsageError(QStringLiteral("the set has %1 images, but a %2x%3 projector needs %4")
                             .arg(set.size())
                             .arg(projector.width)
                             .arg(projector.height)
                             .arg(expected));
    const QString output = parser.value(QStringLiteral("output"), workdir + QLatin1Char('/') + setName +
                                                                      QStringLiteral("_decoded"));

    console.print(QStringLiteral("Decoding %1 images for a %2x%3 projector...\n")
                      .arg(set.size())
                      .arg(projector.width)
                      .arg(projector.height));
    cv::Mat pattern;
    if (!camproj::decodeSet(set, pattern, projector, &console.log()) || pattern.empty())
        throw RunError(QStringLiteral("decoding failed (see the messages above)"));
    if (interrupted())
        throw RunError(QStringLiteral("interrupted; nothing was written"));

    const cv::Mat white = camproj::loadSetImage(set, 0, false);
    const cv::Mat black = camproj::loadSetImage(set, 1, false);
    const cv::Mat colour = camproj::loadSetImage(set, 0, true);
    cv::Mat colourX, colourY;
    camproj::decodedColourImages(pattern, projector, colourX, colourY);
    const cv::Mat overlay = camproj::maskOverlay(white, black, threshold);
    const cv::Mat mask = camproj::projectionMask(white, black, threshold);
    const cv::Mat view = camproj::projectorView(pattern, colour, mask, projector);

    long decoded = 0;
    for (int r = 0; r < pattern.rows; ++r)
        for (int c = 0; c < pattern.cols; ++c) {
            const cv::Vec2f v = pattern.at<cv::Vec2f>(r, c);
            decoded += !std::isnan(v[0]) && !std::isnan(v[1]);
        }

    const QString ext = asFloat ? QStringLiteral("tiff") : QStringLiteral("png");
    QStringList files;
    std::vector<std::pair<QString, QByteArray>> encoded;
    const std::pair<QString, cv::Mat> images[] = {
        {QStringLiteral("decoded_x.") + ext, coordinateImage(pattern, 0, asFloat)},
        {QStringLiteral("decoded_y.") + ext, coordinateImage(pattern, 1, asFloat)},
        {QStringLiteral("decoded_x_colour.png"), colourX},
        {QStringLiteral("decoded_y_colour.png"), colourY},
        {QStringLiteral("mask_overlay.png"), overlay},
        {QStringLiteral("projector_view.png"), view},
    };
    for (const auto& [name, image] : images) {
        if (image.empty())
            continue;
        const QString path = output + QLatin1Char('/') + name;
        encoded.push_back({path, encodeImage(path, image)});
        files << path;
    }
    writeFilesIntoFolder(output, encoded);
    const long total = long(pattern.total());
    console.print(QStringLiteral("Decoded %1 of %2 camera pixels (%3 %)\nSaved to:\n%4\n\n")
                      .arg(decoded)
                      .arg(total)
                      .arg(QString::number(100.0 * double(decoded) / double(std::max(total, 1L)), 'f', 1))
                      .arg(files.join(QLatin1Char('\n'))));
    return ExitOk;
}

} // namespace cli
