#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPushButton>
#include <QTreeWidget>

#include <opencv2/calib3d.hpp>

#include "MainWindowFixture.h"
#include "sensors/Pose.h"
#include "sensors/ui/SensorTree.h"

namespace {
void writeText(const QString& path, const QByteArray& text)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(text);
}
} // namespace

class ProjectMenuTest : public MainWindowTest
{
protected:
    // Answers the world dialog: picks a world by index, or cancels with -1.
    void answerWorld(int index)
    {
        vantiro::dialogs::setExecHandler([this, index](QDialog* d) {
            worldDialogTitle = d->windowTitle();
            auto* combo = d->findChild<QComboBox*>();
            EXPECT_NE(combo, nullptr);
            if (index < 0 || !combo)
                return int(QDialog::Rejected);
            worldChoices.clear();
            for (int i = 0; i < combo->count(); ++i)
                worldChoices << combo->itemText(i);
            combo->setCurrentIndex(index);
            d->findChild<QPushButton*>()->click();
            return d->result();
        });
    }
    QString worldDialogTitle;
    QStringList worldChoices;
};

TEST_F(ProjectMenuTest, SaveWithAnotherWorldAndOpenAgain)
{
    QTemporaryDir dir;
    MainWindow& w = make();
    w.setWorkingDirectory(dir.path());
    SensorTree* tree = w.ui.widget_sensors;
    tree->renameObject(0, "Left");
    tree->renameObject(1, "Right");
    tree->addObject(); // Cam2 without intrinsics
    const cv::Mat K = (cv::Mat_<double>(3, 3) << 900, 0, 320, 0, 905, 240, 0, 0, 1);
    tree->UpdateIntrinsicsForId(1, K, cv::Mat::zeros(1, 5, CV_64F), cv::Size(640, 480));
    tree->UpdateExtrinsicsForId(0, 1, anglesToRotation({5, 10, 15}), cv::Matx31d(120, -3, 7));
    const cv::Matx33d R1 = tree->sensorList().objects[1]->R;
    const cv::Matx31d t1 = tree->sensorList().objects[1]->t;

    answerWorld(1);
    fileAnswer = dir.path() + "/rig.project.yml";
    w.saveProject();
    EXPECT_EQ(worldDialogTitle, "Select World/Reference Coordinate System");
    EXPECT_EQ(worldChoices, QStringList({"Left", "Right", "Cam2"}));
    EXPECT_TRUE(boxes.isEmpty()) << boxes.join("\n").toStdString();
    ASSERT_TRUE(QFileInfo::exists(fileAnswer));
    EXPECT_TRUE(QFileInfo::exists(dir.path() + "/rig.project.json"));
    EXPECT_EQ(fileRequests.last(), "Save Vantiro project as");

    // Change everything, then open the project again.
    tree->clear();
    tree->addObject();
    w.openProject();
    EXPECT_EQ(fileRequests.last(), "Open Vantiro project");
    const auto& objects = tree->sensorList().objects;
    ASSERT_EQ(objects.size(), 3u);
    EXPECT_EQ(objects[0]->name, "Left");
    EXPECT_EQ(objects[1]->name, "Right");
    EXPECT_EQ(objects[2]->name, "Cam2");
    EXPECT_EQ(tree->treeWidget()->topLevelItem(0)->text(0), "Left");
    EXPECT_EQ(cv::norm(objects[1]->K, K), 0);
    EXPECT_EQ(objects[1]->imgSize, cv::Size(640, 480));
    EXPECT_EQ(cv::countNonZero(objects[2]->K), 0) << "no intrinsics in the file keeps a zero matrix";
    // The world sits where a new object with its id sits; the others keep their relative geometry.
    EXPECT_EQ(objects[1]->R, cv::Matx33d::eye());
    EXPECT_EQ(objects[1]->t, cv::Matx31d(0, 100, 0));
    cv::Matx33d Rrel;
    cv::Matx31d trel;
    relativePose(objects[1]->R, objects[1]->t, objects[0]->R, objects[0]->t, Rrel, trel);
    cv::Matx33d Rexp;
    cv::Matx31d texp;
    relativePose(R1, t1, cv::Matx33d::eye(), cv::Matx31d::zeros(), Rexp, texp);
    EXPECT_LT(cv::norm(cv::Mat(Rrel), cv::Mat(Rexp)), 1e-9);
    EXPECT_LT(cv::norm(trel - texp), 1e-9);
}

TEST_F(ProjectMenuTest, CancelledDialogsWriteNothing)
{
    QTemporaryDir dir;
    MainWindow& w = make();
    answerWorld(-1);
    w.saveProject();
    EXPECT_TRUE(fileRequests.isEmpty()) << "closing the world dialog cancels before the file chooser";
    answerWorld(0);
    fileAnswer.clear();
    w.saveProject();
    EXPECT_EQ(fileRequests.size(), 1);
    EXPECT_TRUE(QDir(dir.path()).isEmpty());
}

TEST_F(ProjectMenuTest, UnwritableTargetShowsTheSystemError)
{
    QTemporaryDir dir;
    MainWindow& w = make();
    answerWorld(0);
    fileAnswer = dir.path() + "/no/such/dir/p.yml";
    w.saveProject();
    ASSERT_EQ(boxes.size(), 1);
    EXPECT_TRUE(boxes[0].startsWith("Unable to open file|")) << boxes[0].toStdString();
}

TEST_F(ProjectMenuTest, BadProjectFilesAreRejectedAndChangeNothing)
{
    QTemporaryDir dir;
    MainWindow& w = make();
    SensorTree* tree = w.ui.widget_sensors;
    tree->renameObject(0, "Keep");
    const QString path = dir.path() + "/p.yml";
    fileAnswer = path;
    // One refused file stands for all: the reader's messages are checked headless.
    writeText(path, "%YAML:1.0\nSensors: [ a ]\nWorld: [ b ]\n");
    w.openProject();
    EXPECT_EQ(boxes, QStringList({"Error|Sensors node does not contain the world b"}));
    ASSERT_EQ(tree->sensorList().objects.size(), 2u);
    EXPECT_EQ(tree->sensorList().objects[0]->name, "Keep");

    boxes.clear();
    fileAnswer = path;
    writeText(path, "%YAML:1.0\nSensors: [ a, b ]\nWorld: [ b, a ]\n");
    w.openProject();
    EXPECT_EQ(boxes, QStringList({"Warning|Project contains multiple worlds, using the first item b as the world"}));
    ASSERT_EQ(tree->sensorList().objects.size(), 2u);
    EXPECT_EQ(tree->sensorList().objects[1]->name, "b");
}
