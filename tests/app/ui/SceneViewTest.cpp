#include <QTest>

#include <set>

#include <vtkCamera.h>
#include <vtkDataSet.h>
#include <vtkMapper.h>
#include <vtkMatrix4x4.h>
#include <vtkFollower.h>
#include <vtkPropCollection.h>
#include <vtkVectorText.h>

#include "MainWindowFixture.h"
#include "sensors/ui/SensorTree.h"
#include "widgets/VtkOpenGLWidget.h"

namespace {

// Pixels that are (nearly) the given colour inside a region.
int countColour(const QImage& img, const QRect& region, QColor colour, int tolerance)
{
    int n = 0;
    for (int y = region.top(); y <= region.bottom(); ++y)
        for (int x = region.left(); x <= region.right(); ++x) {
            const QColor c = img.pixelColor(x, y);
            if (std::abs(c.red() - colour.red()) <= tolerance && std::abs(c.green() - colour.green()) <= tolerance &&
                std::abs(c.blue() - colour.blue()) <= tolerance)
                ++n;
        }
    return n;
}

bool contains(vtkRenderer* renderer, vtkProp* prop)
{
    vtkPropCollection* props = renderer->GetViewProps();
    return props->IsItemPresent(prop) != 0;
}

class SceneViewTest : public MainWindowTest
{
protected:
    QImage sceneShot(MainWindow& w, const char* name)
    {
        w.ui.tabWidget->setCurrentWidget(w.ui.tab_SceneView);
        w.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&w));
        const QImage img = w.ui.QVTKWidget_Scene->grabFramebuffer();
        img.save(vantiro::test::artefactDir() + "/" + name);
        return img;
    }
};

} // namespace

TEST_F(SceneViewTest, StartupShowsTwoGlyphsWithTheirLabels)
{
    MainWindow& w = make();
    const auto& objects = w.ui.widget_sensors->sensorList().objects;
    ASSERT_EQ(objects.size(), 2u);
    for (const auto& o : objects) {
        EXPECT_TRUE(contains(w.sceneRenderer(), o->axesActor));
        EXPECT_TRUE(contains(w.sceneRenderer(), o->frustumActor));
        EXPECT_TRUE(contains(w.sceneOverlayRenderer(), o->label));
        EXPECT_FALSE(contains(w.sceneRenderer(), o->label)) << "labels live in the overlay";
        auto* text = vtkVectorText::SafeDownCast(o->label->GetMapper()->GetInputAlgorithm());
        ASSERT_NE(text, nullptr);
        EXPECT_EQ(QString(text->GetText()), o->name);
        EXPECT_DOUBLE_EQ(o->label->GetPosition()[1], o->t(1));
        EXPECT_EQ(o->frustumActor->GetMapper()->GetInput()->GetNumberOfPoints(), 0) << "no intrinsics, no frustum";
    }
    EXPECT_EQ(w.sceneOverlayRenderer()->GetActiveCamera(), w.sceneRenderer()->GetActiveCamera());

    const QImage img = sceneShot(w, "scene_startup.png");
    const QRect all(0, 0, img.width(), img.height());
    // Both glyphs: two red x arms on separate rows (100 mm apart) and the green y arm; the
    // blue z arm points away from the viewer behind the white cube.
    std::set<int> redRows;
    for (int y = 0; y < img.height(); ++y)
        if (countColour(img, QRect(0, y, img.width(), 1), QColor(255, 0, 0), 60) > 20)
            redRows.insert(y);
    ASSERT_FALSE(redRows.empty());
    EXPECT_GT(*redRows.rbegin() - *redRows.begin(), 10) << "two x arms, one per object";
    EXPECT_GT(countColour(img, all, QColor(0, 255, 0), 60), 50);
    // White label text near the objects (the background is never pure white).
    EXPECT_GT(countColour(img, all, QColor(255, 255, 255), 10), 20);
}

TEST_F(SceneViewTest, RemovingAnObjectTakesExactlyItsProps)
{
    MainWindow& w = make();
    SensorTree* tree = w.ui.widget_sensors;
    tree->addObject();
    const auto keep = tree->sensorList().objects[0];
    const auto gone = tree->sensorList().objects[1];
    const int before = w.sceneRenderer()->GetViewProps()->GetNumberOfItems();
    tree->removeObject(gone->id);
    EXPECT_FALSE(contains(w.sceneRenderer(), gone->axesActor));
    EXPECT_FALSE(contains(w.sceneRenderer(), gone->frustumActor));
    EXPECT_FALSE(contains(w.sceneOverlayRenderer(), gone->label));
    EXPECT_TRUE(contains(w.sceneRenderer(), keep->axesActor));
    EXPECT_EQ(w.sceneRenderer()->GetViewProps()->GetNumberOfItems(), before - 2);
    EXPECT_EQ(w.ui.tabWidget->currentWidget(), w.ui.tab_SceneView);
}

TEST_F(SceneViewTest, IntrinsicsDrawAFrustumAndRenamesRebuildTheLabel)
{
    MainWindow& w = make();
    SensorTree* tree = w.ui.widget_sensors;
    const cv::Mat K = (cv::Mat_<double>(3, 3) << 1000, 0, 640, 0, 1000, 480, 0, 0, 1);
    tree->UpdateIntrinsicsForId(1, K, cv::Mat::zeros(1, 5, CV_64F), cv::Size(1280, 960));
    const auto o = tree->sensorList().objects[1];
    vtkDataSet* frustum = o->frustumActor->GetMapper()->GetInput();
    ASSERT_EQ(frustum->GetNumberOfPoints(), 5);
    double far[3];
    frustum->GetPoint(2, far);
    EXPECT_DOUBLE_EQ(far[0], 640);
    EXPECT_DOUBLE_EQ(far[1], 480);
    EXPECT_DOUBLE_EQ(far[2], 1000);
    EXPECT_EQ(o->frustumActor->GetUserMatrix()->GetElement(1, 3), 100) << "placed at the object's pose";

    vtkFollower* oldLabel = o->label;
    tree->renameObject(1, "Projector");
    EXPECT_NE(o->label.GetPointer(), oldLabel);
    EXPECT_FALSE(contains(w.sceneOverlayRenderer(), oldLabel));
    EXPECT_EQ(QString(vtkVectorText::SafeDownCast(o->label->GetMapper()->GetInputAlgorithm())->GetText()), "Projector");

    const QImage img = sceneShot(w, "scene_frustum.png");
    EXPECT_FALSE(img.isNull());
}

TEST_F(SceneViewTest, ResetViewRestoresTheCamera)
{
    MainWindow& w = make();
    vtkCamera* camera = w.sceneRenderer()->GetActiveCamera();
    camera->Azimuth(40);
    camera->Dolly(2);
    w.ui.tabWidget->setCurrentWidget(w.ui.tab_TargetView);
    w.ui.pushButton_SceneResetView->click();
    double p[3], up[3], f[3];
    camera->GetPosition(p);
    camera->GetViewUp(up);
    camera->GetFocalPoint(f);
    EXPECT_EQ(cv::Vec3d(p[0], p[1], p[2]), cv::Vec3d(0, 0, -5000));
    EXPECT_EQ(cv::Vec3d(up[0], up[1], up[2]), cv::Vec3d(0, -1, 0));
    EXPECT_EQ(cv::Vec3d(f[0], f[1], f[2]), cv::Vec3d(0, 0, 0));
    EXPECT_EQ(w.ui.tabWidget->currentWidget(), w.ui.tab_SceneView);
}
