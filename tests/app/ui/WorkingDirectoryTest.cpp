#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFile>
#include <QRadioButton>
#include <QSettings>
#include <QSpinBox>
#include <QTabWidget>
#include <QTextEdit>

#include "app/Settings.h"
#include "MainWindowFixture.h"
#include "sensors/ui/SensorTree.h"

namespace {

QStringList comboItems(const MainWindow& w)
{
    QStringList items;
    for (int i = 0; i < w.ui.comboBox_WorkingDirectory->count(); ++i)
        items << w.ui.comboBox_WorkingDirectory->itemText(i);
    return items;
}

QString storedWorkingDirectory()
{
    return QSettings(vantiro::userSettingsFile(), QSettings::IniFormat).value("MainWindow/comboBox_WorkingDirectory").toString();
}

QStringList storedRecent()
{
    return QSettings(vantiro::userSettingsFile(), QSettings::IniFormat).value("MainWindow/RecentWorkingDirectories").toStringList();
}

// Every key the per-directory settings file holds for the form.
const QStringList kSettingsKeys = {
    "checkBox_ChessboardIndependentSquareHeight", "checkBox_ChessboardExhaustiveSearch", "checkBox_CharucoLegacy",
    "groupBox_TargetSettings", "groupBox_TargetChessboard", "groupBox_TargetRadonChessboardWithMarkers",
    "groupBox_TargetChArUco", "group_checker_calib", "groupBox_2", "group_proj_calib", "group_projector_resolution",
    "group_robot", "groupBox_sceneBasedCalibration", "radioButton_TargetChessboard", "radioButton_TargetChArUco",
    "radioButton_TargetRadonChessboardWithMarkers", "spinBox_ChessboardNumSquaresX", "spinBox_ChessboardNumSquaresY",
    "spinBox_RadonChessboardNumSquaresX", "spinBox_RadonChessboardNumSquaresY", "spinBox_RadonChessboardMarkerPositionX",
    "spinBox_RadonChessboardMarkerPositionY", "spinBox_ChArUcoWidth", "spinBox_ChArUcoHeight", "spin_proj_width",
    "spin_proj_height", "spinBox_ChessboardSquareWidth", "spinBox_ChessboardSquareHeight",
    "spinBox_RadonChessboardSquareSize", "doubleSpinBox_ChArUcoSquareSize", "doubleSpinBox_ArUcoMarkerSize",
    "comboBox_ChArUcoDictionary"};

} // namespace

TEST_F(MainWindowTest, WorkingDirectoriesAreKeptInCaseInsensitiveOrder)
{
    QTemporaryDir root;
    for (const char* d : {"beta", "Alpha", "gamma", "alpha2"})
        ASSERT_TRUE(QDir(root.path()).mkdir(d));
    MainWindow& w = make();
    const QString base = root.path() + "/";
    w.setWorkingDirectory(base + "beta");
    w.setWorkingDirectory(base + "gamma");
    w.setWorkingDirectory(base + "Alpha");
    w.setWorkingDirectory(base + "alpha2");
    EXPECT_EQ(comboItems(w), QStringList({base + "Alpha", base + "alpha2", base + "beta", base + "gamma"}));
    EXPECT_EQ(w.ui.comboBox_WorkingDirectory->currentText(), base + "alpha2");
    EXPECT_EQ(storedWorkingDirectory(), base + "alpha2");
    EXPECT_EQ(storedRecent(), comboItems(w));

    // An existing entry is re-selected, not duplicated.
    w.setWorkingDirectory(base + "beta");
    EXPECT_EQ(comboItems(w).size(), 4);
    EXPECT_EQ(w.ui.comboBox_WorkingDirectory->currentText(), base + "beta");
    // Paths that are not directories change nothing.
    w.setWorkingDirectory(base + "missing");
    w.setWorkingDirectory("");
    EXPECT_EQ(comboItems(w).size(), 4);
    EXPECT_EQ(storedWorkingDirectory(), base + "beta");

    // The next start restores list and selection.
    window.reset();
    MainWindow& again = make();
    EXPECT_EQ(comboItems(again), QStringList({base + "Alpha", base + "alpha2", base + "beta", base + "gamma"}));
    EXPECT_EQ(again.ui.comboBox_WorkingDirectory->currentText(), base + "beta");
}

TEST_F(MainWindowTest, VanishedDirectoryIsReportedAndDropped)
{
    QTemporaryDir root;
    for (const char* d : {"a", "b", "c"})
        ASSERT_TRUE(QDir(root.path()).mkdir(d));
    MainWindow& w = make();
    const QString base = root.path() + "/";
    w.setWorkingDirectory(base + "a");
    w.setWorkingDirectory(base + "b");
    w.setWorkingDirectory(base + "c");
    ASSERT_TRUE(QDir(base + "b").removeRecursively());
    w.ui.comboBox_WorkingDirectory->setCurrentIndex(1); // the user picks the vanished one
    EXPECT_TRUE(logText().contains("Warning: The selected working directory does not exist and was removed from the list "
                                   "of recent working directories:\n" +
                                   base + "b\n\n"));
    EXPECT_EQ(comboItems(w), QStringList({base + "a", base + "c"}));
    EXPECT_EQ(w.ui.comboBox_WorkingDirectory->currentText(), base + "c");
    EXPECT_EQ(storedWorkingDirectory(), base + "c");
    EXPECT_EQ(storedRecent(), QStringList({base + "a", base + "c"}));
}

TEST_F(MainWindowTest, RemoveFromListAsksFirst)
{
    QTemporaryDir root;
    QDir(root.path()).mkdir("a");
    QDir(root.path()).mkdir("b");
    MainWindow& w = make();
    const QString base = root.path() + "/";
    w.setWorkingDirectory(base + "a");
    w.setWorkingDirectory(base + "b");
    answer = QMessageBox::No;
    w.ui.button_remove_from_recent_working_directories_list->click();
    ASSERT_EQ(boxes.size(), 1);
    EXPECT_EQ(boxes[0], "Remove ComboBox Entry|Removing entry:\n\n" + base +
                            "b\n\nfrom list of recent working directories.\n\nContinue?");
    EXPECT_EQ(comboItems(w).size(), 2);

    answer = QMessageBox::Yes;
    w.ui.button_remove_from_recent_working_directories_list->click();
    EXPECT_EQ(comboItems(w), QStringList({base + "a"}));
    EXPECT_EQ(storedRecent(), QStringList({base + "a"}));
    w.ui.button_remove_from_recent_working_directories_list->click();
    EXPECT_TRUE(comboItems(w).isEmpty());
    EXPECT_EQ(storedRecent(), QStringList({base + "a"})) << "unchanged until a directory is next set";

    w.ui.button_open_working_directory->click();
    ASSERT_EQ(openedUrls.size(), 1);
}

TEST_F(MainWindowTest, SettingsFileRoundTripsEveryInput)
{
    QTemporaryDir dir;
    MainWindow& w = make();
    w.setWorkingDirectory(dir.path());
    w.ui.radioButton_TargetChArUco->setChecked(true);
    w.ui.spinBox_ChArUcoWidth->setValue(7);
    w.ui.doubleSpinBox_ChArUcoSquareSize->setValue(33.25);
    w.ui.comboBox_ChArUcoDictionary->setCurrentIndex(4);
    w.ui.checkBox_ChessboardExhaustiveSearch->setChecked(true);
    w.ui.spin_proj_height->setValue(1080);
    w.ui.pushButton_SaveCurrentSettingsInWorkingDirectory->click();
    const QString file = dir.path() + "/MainWindowSettings.ini";
    EXPECT_TRUE(logText().contains("Target settings saved to:\n" + file + "\n\n"));

    QSettings ini(file, QSettings::IniFormat);
    ini.beginGroup("MainWindowSettings");
    QStringList keys = ini.childKeys();
    keys.sort();
    QStringList expected = kSettingsKeys;
    expected.sort();
    EXPECT_EQ(keys, expected);
    EXPECT_EQ(ini.value("comboBox_ChArUcoDictionary").toInt(), 4);
    EXPECT_EQ(ini.value("radioButton_TargetChArUco").toBool(), true);
    EXPECT_EQ(ini.value("groupBox_2").toBool(), false);

    window.reset();
    MainWindow& again = make(); // restores the directory, which loads the file
    EXPECT_TRUE(again.ui.radioButton_TargetChArUco->isChecked());
    EXPECT_FALSE(again.ui.groupBox_TargetChArUco->isHidden());
    EXPECT_TRUE(again.ui.groupBox_TargetChessboard->isHidden());
    EXPECT_EQ(again.ui.spinBox_ChArUcoWidth->value(), 7);
    EXPECT_EQ(again.ui.doubleSpinBox_ChArUcoSquareSize->value(), 33.25);
    EXPECT_EQ(again.ui.comboBox_ChArUcoDictionary->currentIndex(), 4);
    EXPECT_TRUE(again.ui.checkBox_ChessboardExhaustiveSearch->isChecked());
    EXPECT_EQ(again.ui.spin_proj_height->value(), 1080);
}

TEST_F(MainWindowTest, OlderOrDamagedSettingsFileKeepsWidgetsAndGainsMissingKeys)
{
    QTemporaryDir dir;
    const QString file = dir.path() + "/MainWindowSettings.ini";
    {
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("[MainWindowSettings]\n"
                "spinBox_ChessboardNumSquaresX=12\n"
                "spinBox_ChessboardNumSquaresY=abc\n"
                "spinBox_ChessboardSquareWidth=nan\n"
                "comboBox_ChArUcoDictionary=99\n"
                "checkBox_CharucoLegacy=maybe\n"
                "garbage line without equals\n");
    }
    MainWindow& w = make();
    w.setWorkingDirectory(dir.path());
    EXPECT_EQ(w.ui.spinBox_ChessboardNumSquaresX->value(), 12);
    EXPECT_EQ(w.ui.spinBox_ChessboardNumSquaresY->value(), 9) << "garbage keeps the widget";
    EXPECT_EQ(w.ui.spinBox_ChessboardSquareWidth->value(), 100);
    EXPECT_EQ(w.ui.comboBox_ChArUcoDictionary->currentIndex(), 10);
    EXPECT_FALSE(w.ui.checkBox_CharucoLegacy->isChecked());
    QSettings ini(file, QSettings::IniFormat);
    EXPECT_EQ(ini.value("MainWindowSettings/spin_proj_width").toInt(), 1024) << "missing keys are added";
    EXPECT_EQ(ini.value("MainWindowSettings/spinBox_ChessboardNumSquaresX").toInt(), 12);
}

TEST_F(MainWindowTest, OversizedSettingsFileIsRefusedUnreadAndUntouched)
{
    QTemporaryDir dir;
    const QString file = dir.path() + "/MainWindowSettings.ini";
    QByteArray text = "[MainWindowSettings]\nspinBox_ChessboardNumSquaresX=12\n";
    text += "padding=" + QByteArray(1024 * 1024, 'x') + "\n";
    {
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(text);
    }
    MainWindow& w = make();
    w.setWorkingDirectory(dir.path());
    EXPECT_EQ(w.ui.spinBox_ChessboardNumSquaresX->value(), 10) << "nothing of the file is applied";
    EXPECT_TRUE(logText().contains("Error: The target settings in " + file +
                                   " could not be read: larger than 1024 KB, not a settings file"))
        << logText().toStdString();
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), text) << "no key is written back into a refused file";
}

TEST_F(MainWindowTest, UnwritableSettingsFileIsReported)
{
    QTemporaryDir dir;
    MainWindow& w = make();
    w.setWorkingDirectory(dir.path());
    ASSERT_TRUE(QDir(dir.path()).mkdir("MainWindowSettings.ini")); // a directory in the way
    w.ui.pushButton_SaveCurrentSettingsInWorkingDirectory->click();
    EXPECT_TRUE(logText().contains("Error: Target settings could not be written to:\n"));
    EXPECT_FALSE(logText().contains("Target settings saved to:"));

    // Without a working directory nothing happens.
    answer = QMessageBox::Yes;
    w.ui.button_remove_from_recent_working_directories_list->click();
    const QString before = logText();
    w.ui.pushButton_SaveCurrentSettingsInWorkingDirectory->click();
    EXPECT_EQ(logText(), before);
}

TEST_F(MainWindowTest, NewProjectCancelledChangesNothingAcceptedStartsFresh)
{
    QTemporaryDir dir;
    MainWindow& w = make();
    SensorTree* tree = w.ui.widget_sensors;
    tree->addObject();
    tree->renameObject(0, "Left");
    fileAnswer.clear();
    w.newProject();
    EXPECT_EQ(fileRequests, QStringList({"Select Working Directory"}));
    EXPECT_EQ(tree->sensorList().objects.size(), 3u);
    EXPECT_TRUE(w.ui.comboBox_WorkingDirectory->currentText().isEmpty());

    fileAnswer = dir.path();
    w.newProject();
    ASSERT_EQ(tree->sensorList().objects.size(), 2u);
    EXPECT_EQ(tree->sensorList().objects[0]->name, "Cam0");
    EXPECT_EQ(tree->sensorList().objects[1]->name, "Cam1");
    EXPECT_EQ(w.ui.comboBox_WorkingDirectory->currentText(), dir.path());
    EXPECT_EQ(w.ui.tabWidget->currentWidget(), w.ui.tab_SceneView);
}
