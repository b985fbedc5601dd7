#include "cli/QualityReport.h"

#include <QDir>
#include <QFileInfo>

#include <opencv2/core.hpp>

#include "cli/CliSupport.h"
#include "intrinsic/QualityPictures.h"

namespace cli {

using namespace vantiro::intrinsic;

QStringList qualityReportFiles()
{
    return {QStringLiteral("uncertainty.png"), QStringLiteral("uncertainty_infinity.png"),
            QStringLiteral("coverage.png"),    QStringLiteral("residuals.png"),
            QStringLiteral("per_view_rms.png"), QStringLiteral("quality.yml")};
}

void writeQualityReport(const QString& folder, const CalibrationQuality& q, const QStringList& imagePaths)
{
    const QDir dir(folder);
    const QStringList files = qualityReportFiles();
    std::vector<std::pair<QString, QByteArray>> pending;
    const auto picture = [&](int i, const cv::Mat& image) {
        pending.emplace_back(dir.filePath(files[i]), encodeImage(files[i], image));
    };
    picture(0, uncertaintyPicture(q, {.infinity = false}));
    picture(1, uncertaintyPicture(q, {.infinity = true}));
    picture(2, coveragePicture(q));
    picture(3, residualPicture(q));
    const int width = std::clamp(60 + 24 * int(q.views.size()), 480, 1600);
    picture(4, viewErrorChart(q, {width, 240}).picture);

    pending.emplace_back(dir.filePath(files[5]), storageText(files[5], [&](cv::FileStorage& fs) {
        fs << "imageSize" << q.imageSize;
        fs << "distance" << q.distance;
        fs << "sigma" << q.sigma;
        fs << "observations" << q.observations << "parameters" << q.parameters;
        fs << "determined" << int(q.determined());
        if (!q.determined())
            fs << "problem" << q.problem.toStdString();
        fs << "freeIntrinsics" << "[";
        for (int i = 0; i < q.intrinsicNames.size(); ++i) {
            fs << "{" << "name" << q.intrinsicNames[i].toStdString();
            if (size_t(i) < q.intrinsicDeviations.size())
                fs << "deviation" << q.intrinsicDeviations[size_t(i)];
            fs << "}";
        }
        fs << "]";
        fs << "uncertaintyCentre" << q.centre << "uncertaintyCorner" << q.corners[0];
        fs << "uncertaintyCorners" << std::vector<double>(q.corners.begin(), q.corners.end());
        fs << "uncertaintyCentreInfinity" << q.centreInfinity << "uncertaintyCornerInfinity" << q.cornersInfinity[0];
        fs << "cornersPoor" << int(q.cornersPoor());
        fs << "coveredFraction" << q.coveredFraction;
        fs << "views" << "[";
        for (const ViewResiduals& v : q.views) {
            const QString path = v.image >= 0 && v.image < imagePaths.size() ? imagePaths[v.image] : QString();
            fs << "{" << "image" << (path.isEmpty() ? path : QFileInfo(path).absoluteFilePath()).toStdString();
            fs << "corners" << int(v.points.size()) << "rms" << v.rms << "}";
        }
        fs << "]";
        std::vector<double> rms;
        for (const ViewResiduals& v : q.views)
            rms.push_back(v.rms);
        fs << "perViewRms" << rms;
    }));
    // A report is one set: a later run never leaves pictures beside figures of an earlier one.
    writeFilesIntoFolder(folder, pending);
}

} // namespace cli
