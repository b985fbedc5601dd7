// The main window and every module window shown, driven by clicks as a user drives them.
// A hidden window skips layout and painting, which is where freed row widgets were read.
#include <QAction>
#include <QComboBox>
#include <QDialog>
#include <QEventLoop>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <opencv2/core.hpp>

#include "MainWindowFixture.h"
#include "app/ui/CalibrationModule.h"
#include "intrinsic/ui/IntrinsicCalibrationWidget.h"
#include "projector/ui/CamProjStereoCalib.h"
#include "robot/ui/HandEyeCalib.h"
#include "robot/ui/ToolFlangeCalib.h"
#include "sensors/ui/SensorTree.h"
#include "stereo/ui/ExtrinsicStereoCalibrationWidget.h"

namespace {

void writeText(const QString& path, const QByteArray& text)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(text);
}

QStringList itemsOf(const QComboBox* combo)
{
    QStringList items;
    for (int i = 0; i < combo->count(); ++i)
        items << combo->itemText(i);
    return items;
}

// Layouts, paints and deferred deletions happen here, in the order the program's own event
// loop runs them (posted events such as deferred deletions before timers such as the view's
// delayed layout), which QTest::qWait does not keep.
void settle()
{
    QEventLoop loop;
    QTimer::singleShot(40, &loop, &QEventLoop::quit);
    loop.exec();
}

// The run buttons of a module ("Calibrate", or "Detect / Decode" in the camera-projector module).
QList<QPushButton*> runButtons(QWidget* module)
{
    QList<QPushButton*> found;
    for (QPushButton* b : module->findChildren<QPushButton*>())
        if (b->text() == QLatin1String("Calibrate") || b->text() == QLatin1String("Detect / Decode"))
            found << b;
    return found;
}

} // namespace

class ShownWindowTest : public MainWindowTest
{
protected:
    void SetUp() override
    {
        MainWindowTest::SetUp();
        vantiro::dialogs::setExecHandler([this](QDialog* d) {
            // The world dialog: the first object is the world.
            if (auto* save = d->findChild<QPushButton*>()) {
                save->click();
                return d->result();
            }
            ADD_FAILURE() << "unexpected dialog " << d->windowTitle().toStdString();
            return int(QDialog::Rejected);
        });
    }

    MainWindow& shown()
    {
        MainWindow& w = make();
        w.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&w));
        settle();
        return w;
    }

    SensorTree* tree() const { return window->ui.widget_sensors; }

    QStringList rowNames() const
    {
        QStringList names;
        for (int i = 0; i < tree()->treeWidget()->topLevelItemCount(); ++i)
            names << tree()->treeWidget()->topLevelItem(i)->text(0);
        return names;
    }

    // What the user sees: the rows, the objects behind them and every open module's boxes agree.
    void expectObjects(const QStringList& names)
    {
        EXPECT_EQ(rowNames(), names);
        QStringList objects;
        for (const auto& o : tree()->sensorList().objects)
            objects << o->name;
        EXPECT_EQ(objects, names);
        for (CalibrationModule* m : modules) {
            ASSERT_FALSE(m->sensorCombos().empty()) << m->windowTitle().toStdString();
            for (QComboBox* c : m->sensorCombos())
                EXPECT_EQ(itemsOf(c), names) << m->windowTitle().toStdString() << " " << c->objectName().toStdString();
        }
    }

    void clickTrash(const QString& name)
    {
        const auto& objects = tree()->sensorList().objects;
        const auto it = std::find_if(objects.begin(), objects.end(), [&](const auto& o) { return o->name == name; });
        ASSERT_NE(it, objects.end()) << name.toStdString();
        QPushButton* trash = (*it)->removeButton;
        tree()->treeWidget()->scrollToItem((*it)->topItem);
        settle();
        ASSERT_TRUE(trash->isVisible()) << name.toStdString();
        QTest::mouseClick(trash, Qt::LeftButton);
        settle();
    }

    void clickAdd()
    {
        QTest::mouseClick(tree()->addObjectButton(), Qt::LeftButton);
        settle();
    }

    // Opens the menu of the bar as a user does and clicks the entry.
    void clickMenu(const QString& menuTitle, const QString& entry)
    {
        QMenu* menu = nullptr;
        for (QAction* a : window->menuBar()->actions())
            if (a->text() == menuTitle)
                menu = a->menu();
        ASSERT_NE(menu, nullptr) << menuTitle.toStdString();
        QAction* action = nullptr;
        for (QAction* a : menu->actions())
            if (a->text() == entry)
                action = a;
        ASSERT_NE(action, nullptr) << entry.toStdString();
        menu->popup(window->mapToGlobal(QPoint(10, 10)));
        ASSERT_TRUE(QTest::qWaitForWindowExposed(menu));
        QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(action).center());
        settle();
        EXPECT_FALSE(menu->isVisible());
    }

    // Each module button opens its window, shown beside the main window.
    void openEveryModule()
    {
        MainWindow& w = *window;
        for (QPushButton* b : {w.ui.button_checker_intr_calib, w.ui.button_checker_extr_calib,
                               w.ui.button_checker_cam_proj_calib, w.ui.button_hand_eye, w.ui.button_tool_flange})
            QTest::mouseClick(b, Qt::LeftButton);
        modules = {w.intrinsicWindow(), w.stereoWindow(), w.camProjWindow(), w.handEyeWindow(), w.toolFlangeWindow()};
        for (CalibrationModule* m : modules) {
            ASSERT_NE(m, nullptr);
            EXPECT_TRUE(QTest::qWaitForWindowExposed(m)) << m->windowTitle().toStdString();
        }
        settle();
    }

    QList<CalibrationModule*> modules;
};

TEST_F(ShownWindowTest, TrashButtonsAddAndProjectMenusKeepTreeAndModulesInStep)
{
    QTemporaryDir dir;
    shown();
    openEveryModule();
    expectObjects({"Cam0", "Cam1"});

    // Every object removed through its own button, the last one first and then the first.
    clickAdd();
    expectObjects({"Cam0", "Cam1", "Cam2"});
    tree()->treeWidget()->expandAll(); // value rows with their spin boxes on screen
    settle();
    clickTrash("Cam2");
    expectObjects({"Cam0", "Cam1"});
    clickTrash("Cam0");
    expectObjects({"Cam1"});
    clickTrash("Cam1");
    expectObjects({});
    for (CalibrationModule* m : modules)
        for (QComboBox* c : m->sensorCombos())
            EXPECT_EQ(c->currentIndex(), -1);

    // Ids go on after removals.
    clickAdd();
    clickAdd();
    expectObjects({"Cam3", "Cam4"});
    tree()->renameObject(3, "Left");
    expectObjects({"Left", "Cam4"});

    // New Project: cancelled changes nothing, a directory starts over with two objects.
    clickMenu("&File", "&New Project");
    expectObjects({"Left", "Cam4"});
    fileAnswer = dir.path();
    clickMenu("&File", "&New Project");
    expectObjects({"Cam0", "Cam1"});
    EXPECT_EQ(window->ui.comboBox_WorkingDirectory->currentText(), dir.path());

    // Save, change everything, open again.
    tree()->renameObject(1, "Right");
    fileAnswer = dir.path() + "/rig.project.yml";
    clickMenu("&File", "&Save Project");
    ASSERT_TRUE(QFileInfo::exists(fileAnswer));
    clickTrash("Right");
    clickAdd();
    expectObjects({"Cam0", "Cam2"});
    clickMenu("&File", "&Open Project");
    expectObjects({"Cam0", "Right"});
    EXPECT_TRUE(boxes.isEmpty()) << boxes.join("\n").toStdString();

    // A project the parser throws on (not with its own error type) is refused and changes nothing.
    const QString broken = dir.path() + "/broken.project.yml";
    writeText(broken, QByteArray("%YAML:1.\n t:3\n :", 16));
    fileAnswer = broken;
    clickMenu("&File", "&Open Project");
    ASSERT_EQ(boxes.size(), 1);
    EXPECT_TRUE(boxes[0].startsWith("Error|") && boxes[0].contains(broken)) << boxes[0].toStdString();
    expectObjects({"Cam0", "Right"});

    // Removing objects after a reopen still works on the rebuilt rows.
    clickTrash("Cam0");
    expectObjects({"Right"});
    window->grab().save(vantiro::test::artefactDir() + "/shown_window_after_clicks.png");
}

TEST_F(ShownWindowTest, EveryButtonAndMenuEntryWithEmptyAndFilledAnswers)
{
    QTemporaryDir dir;
    MainWindow& w = shown();
    openEveryModule();

    // Empty answers: every chooser cancelled, every question answered No.
    answer = QMessageBox::No;
    fileAnswer.clear();
    const QList<QPushButton*> mainButtons = w.findChildren<QPushButton*>();
    ASSERT_GT(mainButtons.size(), 10);
    // Module buttons open further windows and trash buttons are the other test's business; the
    // recent list loses its entry last.
    QPushButton* removeFromList = w.ui.button_remove_from_recent_working_directories_list;
    auto clickAllMainButtons = [&] {
        for (QPushButton* b : w.findChildren<QPushButton*>()) {
            if (b->objectName().startsWith("button_checker") || b->objectName().startsWith("button_hand") ||
                b->objectName().startsWith("button_tool") || b == removeFromList || !b->isVisible() ||
                !b->isEnabled() || b->text().isEmpty())
                continue;
            QTest::mouseClick(b, Qt::LeftButton);
            settle();
        }
    };
    clickAllMainButtons();
    QTest::mouseClick(removeFromList, Qt::LeftButton);
    for (const auto& [menu, entry] : std::vector<std::pair<QString, QString>>{{"&File", "&New Project"},
                                                                              {"&File", "&Open Project"},
                                                                              {"&File", "Open Settings (Vantiro.ini)"},
                                                                              {"&Help", "&About Vantiro"}})
        clickMenu(menu, entry);
    EXPECT_EQ(rowNames(), QStringList({"Cam0", "Cam1", "Cam2"})) << "only \"Add Object\" changed the list";
    EXPECT_EQ(openedUrls.size(), 2) << "the working directory and the settings file";
    EXPECT_TRUE(boxes.join("\n").contains("About Vantiro|")) << boxes.join("\n").toStdString();

    // Filled answers: a working directory, Yes to every question, a broken file for every reader.
    answer = QMessageBox::Yes;
    fileAnswer = dir.path();
    w.ui.spin_proj_width->setValue(16);
    w.ui.spin_proj_height->setValue(8);
    QTest::mouseClick(w.ui.button_set_working_directory, Qt::LeftButton);
    settle();
    ASSERT_EQ(w.ui.comboBox_WorkingDirectory->currentText(), dir.path());
    clickAllMainButtons();
    EXPECT_TRUE(QFileInfo::exists(dir.path() + "/MainWindowSettings.ini"));
    EXPECT_TRUE(QFileInfo(dir.path() + "/GrayCodeImages_16_8").isDir());
    QTest::mouseClick(removeFromList, Qt::LeftButton);
    settle();
    EXPECT_EQ(w.ui.comboBox_WorkingDirectory->count(), 0);

    const QString broken = dir.path() + "/broken.intrinsics.yml";
    writeText(broken, QByteArray("%YAML:1.\n t:3\n :", 16));
    boxes.clear();
    fileAnswer = broken;
    const auto cam0 = tree()->sensorList().objects[0];
    QTest::mouseClick(cam0->openIntrinsicsButton, Qt::LeftButton);
    settle();
    ASSERT_EQ(boxes.size(), 1);
    EXPECT_TRUE(boxes[0].startsWith("Error|") && boxes[0].contains(broken)) << boxes[0].toStdString();
    EXPECT_EQ(cv::countNonZero(cam0->K), 0);

    // Every module: Calibrate with no images, then every button with a broken image list, then
    // closed.
    const QString image = dir.path() + "/broken.png";
    writeText(image, "not an image");
    int runButtonsSeen = 0;
    for (CalibrationModule* m : modules) {
        const std::string title = m->windowTitle().toStdString();
        fileAnswer.clear();
        for (QPushButton* run : runButtons(m)) {
            ++runButtonsSeen;
            const QString idle = run->text();
            QTest::mouseClick(run, Qt::LeftButton);
            settle();
            EXPECT_EQ(run->text(), idle) << title;
            EXPECT_FALSE(m->busy()) << title;
        }
        fileAnswer = image;
        for (QPushButton* b : m->findChildren<QPushButton*>()) {
            if (!b->isVisible() || !b->isEnabled())
                continue;
            QTest::mouseClick(b, Qt::LeftButton);
            settle();
        }
        EXPECT_TRUE(m->isVisible()) << title;
        EXPECT_TRUE(m->close()) << title;
        settle();
        EXPECT_FALSE(m->isVisible()) << title;
    }
    EXPECT_GE(runButtonsSeen, 1) << "the intrinsic module has its Calibrate button";
    const QString intrinsicLog = w.intrinsicWindow()->text_log->toPlainText();
    EXPECT_TRUE(intrinsicLog.contains("could not be read: " + image)) << intrinsicLog.toStdString();

    // The main window is still whole.
    EXPECT_TRUE(w.isVisible());
    EXPECT_EQ(rowNames().size(), int(tree()->sensorList().objects.size()));
}
