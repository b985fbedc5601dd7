#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QGroupBox>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTest>
#include <QTextEdit>
#include <QTreeWidget>

#include "app/Settings.h"
#include "MainWindowFixture.h"
#include "sensors/ui/SensorTree.h"
#include "widgets/VtkOpenGLWidget.h"

namespace {
template <class T>
T* child(QWidget& w, const char* name)
{
    T* c = w.findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(c, nullptr) << name;
    return c;
}
} // namespace

TEST_F(MainWindowTest, ConstructionBuildsTheWholeForm)
{
    MainWindow& w = make();
    EXPECT_EQ(w.objectName(), "MainWindow");
    EXPECT_EQ(w.windowTitle(), "Vantiro");
    EXPECT_EQ(w.size(), QSize(1440, 900));
    EXPECT_EQ(w.ui.tabWidget->currentWidget(), w.ui.tab_TargetView);
    EXPECT_EQ(w.ui.tabWidget->tabText(0), "Scene Preview");
    EXPECT_EQ(w.ui.tabWidget->tabText(1), "Target Preview");

    EXPECT_EQ(w.ui.button_set_working_directory->text(), "  Set Working Directory  ");
    EXPECT_EQ(w.ui.layout_left->width(), 300);

    struct IntBox
    {
        const char* name;
        int min, max, value;
    };
    for (const IntBox& b : {IntBox{"spinBox_ChessboardNumSquaresX", 3, 99, 10}, IntBox{"spinBox_ChessboardNumSquaresY", 3, 999, 9},
                            IntBox{"spinBox_ChArUcoWidth", 2, 999, 10}, IntBox{"spinBox_ChArUcoHeight", 2, 999, 9},
                            IntBox{"spinBox_RadonChessboardNumSquaresX", 3, 99, 10},
                            IntBox{"spinBox_RadonChessboardNumSquaresY", 3, 999, 9},
                            IntBox{"spinBox_RadonChessboardMarkerPositionX", 1, 99, 1},
                            IntBox{"spinBox_RadonChessboardMarkerPositionY", 1, 99, 1},
                            IntBox{"spin_proj_width", 1, 999999, 1024}, IntBox{"spin_proj_height", 1, 999999, 768}})
        if (auto* s = child<QSpinBox>(w, b.name)) {
            EXPECT_EQ(s->minimum(), b.min) << b.name;
            EXPECT_EQ(s->maximum(), b.max) << b.name;
            EXPECT_EQ(s->value(), b.value) << b.name;
        }
    struct DoubleBox
    {
        const char* name;
        double min, max, value;
    };
    for (const DoubleBox& b :
         {DoubleBox{"spinBox_ChessboardSquareWidth", 0.001, 999999, 100}, DoubleBox{"spinBox_ChessboardSquareHeight", 0.001, 999999, 100},
          DoubleBox{"doubleSpinBox_ChArUcoSquareSize", 7, 999999, 100}, DoubleBox{"doubleSpinBox_ArUcoMarkerSize", 7, 999999, 75},
          DoubleBox{"spinBox_RadonChessboardSquareSize", 0.001, 999999, 100}})
        if (auto* s = child<QDoubleSpinBox>(w, b.name)) {
            EXPECT_EQ(s->decimals(), 3) << b.name;
            EXPECT_DOUBLE_EQ(s->minimum(), b.min) << b.name;
            EXPECT_DOUBLE_EQ(s->maximum(), b.max) << b.name;
            EXPECT_DOUBLE_EQ(s->value(), b.value) << b.name;
        }
    EXPECT_FALSE(w.ui.spinBox_ChessboardSquareHeight->isEnabled());
    EXPECT_EQ(w.ui.checkBox_ChessboardExhaustiveSearch->text(), "Exhaustive Search");
    EXPECT_EQ(w.ui.checkBox_CharucoLegacy->text(), "ChArUco Legacy");
    EXPECT_TRUE(w.ui.radioButton_TargetChessboard->isChecked());

    // Kinds: chessboard shown, the others hidden; the experimental kind is not offered.
    EXPECT_FALSE(w.ui.groupBox_TargetChessboard->isHidden());
    EXPECT_TRUE(w.ui.groupBox_TargetChArUco->isHidden());
    EXPECT_TRUE(w.ui.groupBox_TargetRadonChessboardWithMarkers->isHidden());
    EXPECT_TRUE(w.ui.radioButton_TargetRadonChessboardWithMarkers->isHidden());
    EXPECT_TRUE(w.ui.groupBox_sceneBasedCalibration->isHidden());
    EXPECT_FALSE(w.ui.button_manhattan_extr_calib->isEnabled());

    ASSERT_EQ(w.ui.comboBox_ChArUcoDictionary->count(), 22);
    EXPECT_EQ(w.ui.comboBox_ChArUcoDictionary->currentIndex(), 10);
    EXPECT_EQ(w.ui.comboBox_ChArUcoDictionary->currentText(), "DICT_6X6_250");
    EXPECT_EQ(w.ui.comboBox_ChArUcoDictionary->itemText(21), "DICT_ARUCO_MIP_36h12");

    const auto& list = w.ui.widget_sensors->sensorList();
    ASSERT_EQ(list.objects.size(), 2u);
    EXPECT_EQ(list.objects[0]->name, "Cam0");
    EXPECT_EQ(list.objects[1]->name, "Cam1");
    EXPECT_TRUE(w.ui.text_log->toPlainText().isEmpty());
    EXPECT_TRUE(w.ui.button_set_working_directory->isDefault());
    EXPECT_EQ(w.ui.label_TargetStatus->text(), "Valid");

    auto* logo = w.findChild<QLabel*>("logo");
    ASSERT_NE(logo, nullptr);
    EXPECT_EQ(logo->width(), 250);
    EXPECT_FALSE(logo->pixmap().isNull()) << "the logo resource must be compiled in";
    QTest::mouseClick(logo, Qt::LeftButton);
    EXPECT_EQ(openedUrls, QStringList({QCoreApplication::organizationDomain()}));
}

TEST_F(MainWindowTest, ExperimentalSettingOffersTheRadonTarget)
{
    writeSetting("Experimental/RadonTarget", true);
    MainWindow& w = make();
    EXPECT_FALSE(w.ui.radioButton_TargetRadonChessboardWithMarkers->isHidden());
    w.ui.radioButton_TargetRadonChessboardWithMarkers->setChecked(true);
    EXPECT_FALSE(w.ui.groupBox_TargetRadonChessboardWithMarkers->isHidden());
    EXPECT_TRUE(w.ui.groupBox_TargetChessboard->isHidden());
}

TEST_F(MainWindowTest, MenusCarryTheirEntries)
{
    MainWindow& w = make();
    const auto menus = w.menuBar()->actions();
    ASSERT_EQ(menus.size(), 2);
    EXPECT_EQ(menus[0]->text(), "&File");
    EXPECT_EQ(menus[1]->text(), "&Help");
    QStringList file;
    for (QAction* a : menus[0]->menu()->actions())
        file << (a->isSeparator() ? QString("-") : a->text());
    EXPECT_EQ(file, QStringList({"&New Project", "&Open Project", "&Save Project", "-", "Open Settings (Vantiro.ini)", "-",
                                 "&Quit Vantiro"}));
    QAction* settings = menus[0]->menu()->actions()[4];
    EXPECT_EQ(settings->statusTip(), "Open Vantiro.ini file with default application");
    settings->trigger();
    ASSERT_EQ(openedUrls.size(), 1);
    EXPECT_EQ(QUrl(openedUrls[0]).toLocalFile(), vantiro::userSettingsFile());
    EXPECT_EQ(menus[0]->menu()->actions()[0]->shortcut(), QKeySequence(QKeySequence::New));

    QAction* about = menus[1]->menu()->actions()[0];
    EXPECT_EQ(about->text(), "&About Vantiro");
    EXPECT_EQ(about->statusTip(), "Show the application's About box");
    about->trigger();
    ASSERT_EQ(boxes.size(), 1);
    EXPECT_TRUE(boxes[0].contains("Toolkit for the Geometric Calibration of<br>Cameras, Projectors and Robots"));
    for (const char* lib : {"OpenCV", "Qt Framework", "Visualization Toolkit"})
        EXPECT_TRUE(boxes[0].contains(lib)) << lib;
}

TEST_F(MainWindowTest, ScreenshotShowsThePanelsAndLiveViews)
{
    MainWindow& w = make();
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    QTest::qWait(100);
    const QImage shot = w.grab().toImage();
    ASSERT_FALSE(shot.isNull());
    shot.save(vantiro::test::artefactDir() + "/main_window.png");

    // The target view shows its gradient (light at the bottom, blue at the top).
    VtkOpenGLWidget* view = w.ui.QVTKWidget_Target;
    const QImage target = view->grabFramebuffer();
    const QColor top = target.pixelColor(5, 2);
    const QColor bottom = target.pixelColor(5, target.height() - 3);
    EXPECT_NEAR(top.blue(), 230, 8);
    EXPECT_NEAR(top.red(), 77, 8);
    EXPECT_NEAR(bottom.red(), 230, 8);
    EXPECT_GT(view->renderCount(), 0);
}
