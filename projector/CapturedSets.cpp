#include "projector/CapturedSets.h"

#include <QDir>

#include "Common/NaturalSort.h"
#include "Common/StructuredLight.h"
#include "app/LogSink.h"

namespace camproj {

std::vector<CapturedSet> findCapturedSets(const QString& workingDirectory, const cv::Size& projectorSize)
{
    std::vector<CapturedSet> sets;
    if (workingDirectory.isEmpty() || projectorSize.width < 1 || projectorSize.height < 1)
        return sets;
    const int expected = sl::grayCodeImageCount(projectorSize);
    const QDir root(workingDirectory);
    const QStringList filters = {QStringLiteral("*.png"), QStringLiteral("*.jpg"),  QStringLiteral("*.jpeg"),
                                 QStringLiteral("*.tif"), QStringLiteral("*.tiff"), QStringLiteral("*.bmp")};
    for (const QString& name : root.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
        if (name.contains(QLatin1String("GrayCodeImages")) || name.contains(QLatin1String("ExtrinsicCalibrationData")))
            continue;
        const QDir folder(root.filePath(name));
        QStringList files = folder.entryList(filters, QDir::Files, QDir::NoSort);
        if (files.size() != expected)
            continue;
        TNQ::naturalSort(files);
        CapturedSet set;
        set.name = name;
        for (const QString& file : files)
            set.files << folder.path() + QLatin1Char('/') + file;
        sets.push_back(std::move(set));
    }
    return sets;
}

void logNoCapturedSets(vantiro::LogSink& log)
{
    log.append(QStringLiteral("No valid Gray-Code image sets were found in the selected working directory.\n\n"),
               vantiro::logcolor::Orange);
    log.append(QStringLiteral("To load image sets correctly, ensure the following structure and requirements are met:\n"),
               QString(), true);
    log.append(QStringLiteral(" - Each image set must be in its own subdirectory within the working directory.\n"));
    log.append(QStringLiteral(" - Each subdirectory must contain the full number of images expected for the Gray-Code "
                              "sequence (based on projector resolution).\n"));
    log.append(QStringLiteral(" - Directories named \"GrayCodeImages\" are ignored and will not be considered as valid "
                              "image sets.\n"));
    log.append(QStringLiteral(" - Images in each set must show the calibration target in a fixed pose, illuminated by "
                              "one Gray-Code pattern per image.\n"));
    log.append(QStringLiteral(" - While the target pose should differ across sets, the camera-to-projector setup must "
                              "remain unchanged throughout.\n"));
    log.append(QStringLiteral("\n\n"));
}

} // namespace camproj
