#include "cli/CliSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <opencv2/imgcodecs.hpp>

#include <algorithm>

#include "Common/NaturalSort.h"
#include "app/FileSet.h"
#include "app/ImageFile.h"
#include "intrinsic/IntrinsicFiles.h"
#include "targets/TargetSettingsFile.h"
#include "cli/TargetArgument.h"

namespace cli {

namespace {

bool isGlob(const QString& text)
{
    return text.contains(QLatin1Char('*')) || text.contains(QLatin1Char('?')) || text.contains(QLatin1Char('['));
}

const QStringList& imageFilters()
{
    static const QStringList filters = {
        QStringLiteral("*.png"), QStringLiteral("*.jpg"),  QStringLiteral("*.jpeg"), QStringLiteral("*.tif"),
        QStringLiteral("*.tiff"), QStringLiteral("*.bmp"), QStringLiteral("*.PNG"),  QStringLiteral("*.JPG"),
        QStringLiteral("*.JPEG"), QStringLiteral("*.TIF"), QStringLiteral("*.TIFF"), QStringLiteral("*.BMP")};
    return filters;
}

} // namespace

QStringList expandImageArguments(const QStringList& arguments)
{
    QStringList files;
    for (const QString& arg : arguments) {
        if (isGlob(arg)) {
            const QFileInfo info(arg);
            const QDir dir = info.dir();
            if (!dir.exists())
                throw UsageError(QStringLiteral("no such folder: %1").arg(dir.path()));
            QStringList matches = dir.entryList({info.fileName()}, QDir::Files | QDir::Readable, QDir::NoSort);
            if (matches.isEmpty())
                throw UsageError(QStringLiteral("no file matches \"%1\"").arg(arg));
            TNQ::naturalSort(matches);
            for (const QString& m : matches)
                files << QDir::cleanPath(dir.path() + QLatin1Char('/') + m);
            continue;
        }
        const QFileInfo info(arg);
        if (!info.exists())
            throw UsageError(QStringLiteral("image not found: %1").arg(arg));
        if (info.isDir())
            throw UsageError(QStringLiteral("%1 is a folder; give image files or a quoted glob such as '%1/*.png'").arg(arg));
        files << QDir::cleanPath(arg);
    }
    return files;
}

std::vector<cv::Size> checkImagesReadable(const QStringList& paths)
{
    std::vector<cv::Size> sizes;
    for (const QString& path : paths) {
        const vantiro::ImageHeader header = vantiro::probeImage(path);
        if (!header.ok())
            throw UsageError(QStringLiteral("image %1: %2").arg(path, header.error));
        sizes.push_back(header.size);
    }
    return sizes;
}

void checkObjectName(const QString& name, const QString& option)
{
    if (name.isEmpty() || name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\')) ||
        name.startsWith(QLatin1Char('.')))
        throw UsageError(QStringLiteral("--%1 must be a non-empty name without '/' or '\\' that does not start with '.'")
                             .arg(option));
}

QStringList imagesInFolder(const QString& folder)
{
    const QDir dir(folder);
    QStringList names = dir.entryList(imageFilters(), QDir::Files, QDir::NoSort);
    names.removeDuplicates();
    TNQ::naturalSort(names);
    QStringList paths;
    for (const QString& n : names)
        paths << dir.filePath(n);
    return paths;
}

QString workingDirectoryOption(const ArgParser& parser)
{
    const QString dir = parser.value(QStringLiteral("workdir"), QStringLiteral("."));
    const QFileInfo info(dir);
    if (info.exists() && !info.isDir())
        throw UsageError(QStringLiteral("working directory is not a folder: %1").arg(dir));
    // A new folder for the results is what users of command-line tools expect.
    if (!info.exists() && !QDir().mkpath(dir))
        throw UsageError(QStringLiteral("cannot create the working directory %1").arg(dir));
    return QFileInfo(dir).absoluteFilePath();
}

void addTargetOptions(ArgParser& parser)
{
    parser.addOption(QStringLiteral("target"), QStringLiteral("TARGET"),
                     QStringLiteral("The calibration target: chessboard:10x7:25 (squares X x Y, square size in mm;\n"
                                    "25x30 for an independent height; :exhaustive for the slow search),\n"
                                    "charuco:10x9:100:75:DICT_6X6_250 (square, marker size, dictionary; :legacy),\n"
                                    "radon:10x9:100 (chessboard with markers)."));
    parser.addOption(QStringLiteral("settings"), QStringLiteral("FILE"),
                     QStringLiteral("Take the target from a MainWindowSettings.ini saved by the GUI (or a folder\n"
                                    "holding one). Default: the working directory's, when there is one."));
}

namespace {

QString settingsPath(const ArgParser& parser, const QString& workingDirectory)
{
    if (parser.isSet(QStringLiteral("settings"))) {
        const QString given = parser.value(QStringLiteral("settings"));
        return QFileInfo(given).isDir() ? targetSettingsFilePath(given) : given;
    }
    const QString inWorkdir = targetSettingsFilePath(workingDirectory);
    return QFileInfo::exists(inWorkdir) ? inWorkdir : QString();
}

MainWindowSettings readSettings(const QString& path)
{
    const TargetSettingsFileResult read = readTargetSettingsFile(path);
    if (!read.ok)
        throw UsageError(read.error);
    return read.settings;
}

} // namespace

MainWindowSettings targetFromOptions(const ArgParser& parser, const QString& workingDirectory, QString* source)
{
    if (parser.isSet(QStringLiteral("target")) && parser.isSet(QStringLiteral("settings")))
        throw UsageError(QStringLiteral("give either --target or --settings, not both"));
    if (parser.isSet(QStringLiteral("target"))) {
        if (source)
            *source = QStringLiteral("--target");
        return parseTargetArgument(parser.value(QStringLiteral("target")));
    }
    const QString path = settingsPath(parser, workingDirectory);
    if (path.isEmpty())
        throw UsageError(QStringLiteral("no target given: use --target KIND:... or --settings FILE (no %1 in %2)")
                             .arg(kTargetSettingsFileName, workingDirectory));
    if (source)
        *source = path;
    return readSettings(path);
}

cv::Size parseResolution(const QString& text, const QString& option)
{
    const QStringList parts = text.trimmed().toLower().split(QLatin1Char('x'));
    bool okW = false, okH = false;
    int w = 0, h = 0;
    if (parts.size() == 2) {
        w = parts[0].toInt(&okW);
        h = parts[1].toInt(&okH);
    }
    if (!okW || !okH || w < 1 || h < 1 || w > 999999 || h > 999999)
        throw UsageError(QStringLiteral("%1 must be WIDTHxHEIGHT in pixels (1..999999 each), not \"%2\"").arg(option, text));
    return {w, h};
}

cv::Size projectorFromOptions(const ArgParser& parser, const QString& workingDirectory)
{
    if (parser.isSet(QStringLiteral("projector")))
        return parseResolution(parser.value(QStringLiteral("projector")), QStringLiteral("--projector"));
    const QString path = settingsPath(parser, workingDirectory);
    if (path.isEmpty())
        throw UsageError(QStringLiteral("no projector resolution given: use --projector WIDTHxHEIGHT"));
    const MainWindowSettings s = readSettings(path);
    return {s.projectorWidth, s.projectorHeight};
}

IntrinsicsFile readIntrinsicsGuess(const QString& path)
{
    auto bad = [&path](const QString& why) { return UsageError(QStringLiteral("intrinsics file %1: %2").arg(path, why)); };
    if (!QFileInfo(path).isFile())
        throw bad(QStringLiteral("no such file"));
    const vantiro::intrinsic::IntrinsicsFileContent content = vantiro::intrinsic::readIntrinsicsFile(path);
    if (!content.ok)
        throw bad(content.error);
    if (content.K.empty())
        throw bad(QStringLiteral("\"K\" is missing or not a 3x3 matrix"));
    if (content.K.at<double>(0, 0) <= 0.0 || content.K.at<double>(1, 1) <= 0.0)
        throw bad(QStringLiteral("\"K\" needs positive focal lengths fx and fy"));
    if (content.hasImageSize && content.imageSize.empty())
        throw bad(QStringLiteral("\"imgSize\" is not [width, height]"));
    IntrinsicsFile file;
    file.K = content.K;
    file.distortion = content.distortion;
    file.imageSize = content.imageSize;
    return file;
}

void addModelOptions(ArgParser& parser, const QString& prefix, const QString& who)
{
    parser.addOption(prefix + QStringLiteral("fix"), QStringLiteral("LIST"),
                     QStringLiteral("Keep fixed%1: comma list of k1..k6, focal, principal-point\n"
                                    "(focal and principal-point need start values).")
                         .arg(who));
    parser.addFlag(prefix + QStringLiteral("free-aspect-ratio"),
                   QStringLiteral("Estimate fx and fy independently%1 (default: fixed ratio).").arg(who));
    parser.addFlag(prefix + QStringLiteral("rational"), QStringLiteral("Rational model k4, k5, k6%1.").arg(who));
    parser.addFlag(prefix + QStringLiteral("tangential"),
                   QStringLiteral("Estimate tangential distortion p1, p2%1.").arg(who));
    parser.addFlag(prefix + QStringLiteral("no-radial"), QStringLiteral("No radial distortion%1 (k1..k3 stay 0).").arg(who));
}

ModelOptions modelOptionsFrom(const ArgParser& parser, const QStringList& prefixes, bool guess)
{
    ModelOptions m;
    for (const QString& prefix : prefixes) {
        const QString fixOption = prefix + QStringLiteral("fix");
        for (const QString& item : parser.value(fixOption).split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            const QString name = item.trimmed().toLower();
            if (name.size() == 2 && name[0] == QLatin1Char('k') && name[1] >= QLatin1Char('1') &&
                name[1] <= QLatin1Char('6'))
                m.fixK[size_t(name[1].unicode() - '1')] = true;
            else if (name == QLatin1String("focal"))
                m.fixFocalLength = true;
            else if (name == QLatin1String("principal-point") || name == QLatin1String("pp"))
                m.fixPrincipalPoint = true;
            else
                throw UsageError(QStringLiteral("--%1: unknown parameter \"%2\" (k1..k6, focal, principal-point)")
                                     .arg(fixOption, item.trimmed()));
        }
        m.fixAspectRatio = m.fixAspectRatio && !parser.isSet(prefix + QStringLiteral("free-aspect-ratio"));
        m.useRationalModel = m.useRationalModel || parser.isSet(prefix + QStringLiteral("rational"));
        m.useTangentialDistortion = m.useTangentialDistortion || parser.isSet(prefix + QStringLiteral("tangential"));
        m.useRadialDistortion = m.useRadialDistortion && !parser.isSet(prefix + QStringLiteral("no-radial"));
    }
    const QString first = prefixes.value(prefixes.size() - 1);
    if ((m.fixFocalLength || m.fixPrincipalPoint) && !guess)
        throw UsageError(QStringLiteral("fixing the focal length or principal point needs start values: add --%1guess FILE")
                             .arg(first));
    if (!m.useRadialDistortion && m.useRationalModel)
        throw UsageError(QStringLiteral("the rational model needs radial distortion (drop --%1no-radial)").arg(first));
    if (!m.useRationalModel && (m.fixK[3] || m.fixK[4] || m.fixK[5]))
        throw UsageError(QStringLiteral("k4, k5 and k6 exist only in the rational model (add --%1rational)").arg(first));
    // As the options tab does when radial distortion is switched off.
    if (!m.useRadialDistortion)
        m.fixK[0] = m.fixK[1] = m.fixK[2] = true;
    return m;
}

void writeFileAtomically(const QString& path, const QByteArray& data)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        throw RunError(QStringLiteral("cannot write %1: %2").arg(path, file.errorString()));
    if (file.write(data) != data.size()) {
        const QString why = file.errorString();
        file.cancelWriting();
        throw RunError(QStringLiteral("cannot write %1: %2").arg(path, why));
    }
    if (!file.commit())
        throw RunError(QStringLiteral("cannot write %1: %2").arg(path, file.errorString()));
}

void writeFilesAtomically(const std::vector<std::pair<QString, QByteArray>>& files)
{
    std::vector<vantiro::PendingFile> pending;
    for (const auto& [path, data] : files)
        pending.push_back({path, data});
    QString error;
    if (!vantiro::writeFileSet(pending, &error))
        throw RunError(error + QStringLiteral("; nothing was written"));
}

void writeFilesIntoFolder(const QString& folder, const std::vector<std::pair<QString, QByteArray>>& files)
{
    const bool created = !QFileInfo::exists(folder);
    if (!QDir().mkpath(folder) || !QFileInfo(folder).isWritable())
        throw RunError(QStringLiteral("cannot create the folder %1").arg(folder));
    try {
        writeFilesAtomically(files);
    } catch (const RunError&) {
        if (created)
            QDir().rmdir(folder);
        throw;
    }
}

QByteArray encodeImage(const QString& path, const cv::Mat& image)
{
    const QString suffix = QFileInfo(path).suffix();
    std::vector<uchar> bytes;
    try {
        if (!cv::imencode("." + suffix.toStdString(), image, bytes))
            throw RunError(QStringLiteral("cannot encode %1").arg(path));
    } catch (const cv::Exception& e) {
        throw RunError(QStringLiteral("cannot encode %1: %2").arg(path, QString::fromStdString(e.err)));
    }
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size()));
}

void writeImageAtomically(const QString& path, const cv::Mat& image)
{
    writeFileAtomically(path, encodeImage(path, image));
}

QByteArray storageText(const QString& path, const std::function<void(cv::FileStorage&)>& fill)
{
    const bool json = QFileInfo(path).suffix().compare(QLatin1String("json"), Qt::CaseInsensitive) == 0;
    try {
        cv::FileStorage fs(json ? "data.json" : "data.yml",
                           cv::FileStorage::WRITE | cv::FileStorage::MEMORY |
                               (json ? cv::FileStorage::FORMAT_JSON : cv::FileStorage::FORMAT_YAML));
        fill(fs);
        return QByteArray::fromStdString(fs.releaseAndGetString());
    } catch (const cv::Exception& e) {
        throw RunError(QStringLiteral("cannot write %1: %2").arg(path, QString::fromStdString(e.err)));
    }
}

void writeStorageAtomically(const QString& path, const std::function<void(cv::FileStorage&)>& fill)
{
    writeFileAtomically(path, storageText(path, fill));
}

QString seconds(qint64 milliseconds)
{
    return QString::number(double(milliseconds) / 1000.0, 'f', 1) + QStringLiteral(" s");
}

} // namespace cli
