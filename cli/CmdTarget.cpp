// target: the calibration target as a printable PDF, SVG or PNG page at true scale.

#include <QFileInfo>
#include <QGuiApplication>
#include <QSettings>

#include <cstring>

#include "cli/CliSupport.h"
#include "cli/Commands.h"
#include "cli/Console.h"
#include "targets/TargetPrint.h"
#include "targets/ui/TargetPagePainter.h"

namespace cli {

std::unique_ptr<QCoreApplication> makeApplication(int& argc, char** argv)
{
    // Painting text needs the GUI application object; the offscreen platform needs no display.
    if (argc > 1 && std::strcmp(argv[1], "target") == 0) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        return std::make_unique<QGuiApplication>(argc, argv);
    }
    return std::make_unique<QCoreApplication>(argc, argv);
}

namespace {

cv::Point parseDots(const QString& text)
{
    const QStringList parts = text.split(QLatin1Char(','));
    bool okX = false, okY = false;
    const int x = parts.value(0).trimmed().toInt(&okX);
    const int y = parts.value(1).trimmed().toInt(&okY);
    if (parts.size() != 2 || !okX || !okY || x < 1 || x > 99 || y < 1 || y > 99)
        throw UsageError(QStringLiteral("--dots must be X,Y with each 1..99 (the panel's Marker Position), not \"%1\"")
                             .arg(text));
    return {x, y};
}

// The panel's marker position as the GUI saved it; (-1, -1) when the file has none.
cv::Point savedDots(const QString& settingsFile)
{
    QSettings file(settingsFile, QSettings::IniFormat);
    const QString group = QStringLiteral("MainWindowSettings/spinBox_RadonChessboardMarkerPosition");
    bool okX = false, okY = false;
    const int x = file.value(group + QLatin1Char('X')).toInt(&okX);
    const int y = file.value(group + QLatin1Char('Y')).toInt(&okY);
    return okX && okY ? cv::Point(x, y) : cv::Point(-1, -1);
}

class Replay
{
public:
    explicit Replay(const vantiro::RecordingLogSink& log) : m_log(log) {}
    // The red line of a refused export, without its decoration.
    QString error() const
    {
        for (const auto& s : m_log.segments)
            if (s.color == vantiro::logcolor::Red) {
                QString text = s.text.trimmed();
                if (text.startsWith(QLatin1String("Error: ")))
                    text = text.mid(7);
                if (text.endsWith(QLatin1String(" Aborting.")))
                    text.chop(10);
                return text;
            }
        return QString();
    }
    void to(vantiro::LogSink& sink) const
    {
        for (const auto& s : m_log.segments)
            sink.append(s.text, s.color, s.bold);
    }

private:
    const vantiro::RecordingLogSink& m_log;
};

} // namespace

int runTarget(const QStringList& arguments, Console& console)
{
    ArgParser parser(QStringLiteral("target"), QString(),
                     QStringLiteral("Writes the calibration target as a page to print at true scale: a PDF on the\n"
                                    "paper chosen (a custom page when the board does not fit it), an SVG in\n"
                                    "millimetres or a PNG at the given resolution. The board is centred, with a\n"
                                    "100 mm scale bar and a caption outside its white margin. Settings the detector\n"
                                    "cannot work with are refused unless --force is given."));
    addTargetOptions(parser);
    parser.addOption(QStringLiteral("workdir"), QStringLiteral("DIR"),
                     QStringLiteral("Working directory whose MainWindowSettings.ini gives the target when neither\n"
                                    "--target nor --settings is given (default: the current directory)."));
    parser.addOption(QStringLiteral("output"), QStringLiteral("FILE"),
                     QStringLiteral("The file to write; .pdf, .svg or .png."));
    parser.addOption(QStringLiteral("paper"), QStringLiteral("PAPER"),
                     QStringLiteral("A4 (default), A3, Letter, or fit for a page just large enough."));
    parser.addOption(QStringLiteral("dpi"), QStringLiteral("N"),
                     QStringLiteral("Resolution of a PNG file in dots per inch (default 300)."));
    parser.addOption(QStringLiteral("dots"), QStringLiteral("X,Y"),
                     QStringLiteral("Chessboard with markers: the cell of the origin dot, as the panel's Marker\n"
                                    "Position X and Y (default: the saved settings', else where the detection\n"
                                    "expects it)."));
    parser.addFlag(QStringLiteral("force"), QStringLiteral("Write the board even when the detector would not find it."));
    if (!parser.parse(arguments)) {
        console.print(parser.helpText());
        return ExitOk;
    }
    if (!parser.positional().isEmpty())
        throw UsageError(QStringLiteral("unexpected argument \"%1\"").arg(parser.positional().first()));
    if (!parser.isSet(QStringLiteral("output")))
        throw UsageError(QStringLiteral("--output FILE is required (.pdf, .svg or .png)"));

    vantiro::print::ExportRequest request;
    const QString workdir = workingDirectoryOption(parser);
    QString source;
    request.settings = targetFromOptions(parser, workdir, &source);
    request.path = QFileInfo(parser.value(QStringLiteral("output"))).absoluteFilePath();
    const QString paper = parser.value(QStringLiteral("paper"), QStringLiteral("A4"));
    const auto chosen = vantiro::print::paperFromName(paper);
    if (!chosen)
        throw UsageError(QStringLiteral("--paper must be A4, A3, Letter or fit, not \"%1\"").arg(paper));
    request.paper = *chosen;
    request.dpi = parser.intValue(QStringLiteral("dpi"), 300, vantiro::print::kMinDpi, vantiro::print::kMaxDpi);
    if (parser.isSet(QStringLiteral("dots"))) {
        if (request.settings.targetType != RadonChessboardWithMarkers)
            throw UsageError(QStringLiteral("--dots applies to a chessboard with markers only"));
        request.radonDots = parseDots(parser.value(QStringLiteral("dots")));
    } else if (request.settings.targetType == RadonChessboardWithMarkers && source != QLatin1String("--target")) {
        request.radonDots = savedDots(source);
    }

    vantiro::RecordingLogSink recorded;
    const auto prepared = vantiro::print::prepareExport(request, recorded);
    const Replay replay(recorded);
    if (!prepared)
        throw UsageError(replay.error());
    replay.to(console.log());
    if (!prepared->check.detectable && !parser.isSet(QStringLiteral("force")))
        throw RunError(QStringLiteral("the detector would not find this board (see above); --force writes it anyway"));

    QString error;
    if (!vantiro::print::writeTargetFile(request.path, *prepared, request.dpi, &error))
        throw RunError(QStringLiteral("cannot write %1: %2").arg(request.path, error));
    vantiro::print::logExportWritten(request, *prepared, console.log());
    return ExitOk;
}

} // namespace cli
