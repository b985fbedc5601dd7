#include <gtest/gtest.h>

#include <QImage>
#include <QMouseEvent>
#include <QTest>
#include <QWheelEvent>

#include <vtkActor.h>
#include <vtkCamera.h>
#include <vtkGenericOpenGLRenderWindow.h>
#include <vtkGenericRenderWindowInteractor.h>
#include <vtkNew.h>
#include <vtkPolyDataMapper.h>
#include <vtkProperty.h>
#include <vtkRenderer.h>
#include <vtkSphereSource.h>

#include "support/TestSupport.h"
#include "widgets/VtkOpenGLWidget.h"

namespace {

struct Rgb
{
    int r, g, b;
};

Rgb pixel(const QImage& img, int x, int y)
{
    const QColor c = img.pixelColor(x, y);
    return {c.red(), c.green(), c.blue()};
}

void expectNear(Rgb actual, Rgb expected, int tol, const char* where)
{
    EXPECT_NEAR(actual.r, expected.r, tol) << where;
    EXPECT_NEAR(actual.g, expected.g, tol) << where;
    EXPECT_NEAR(actual.b, expected.b, tol) << where;
}

class VtkViewTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        renderer->SetBackground(0.3, 0.6, 0.9);
        renderer->SetBackground2(0.9, 0.9, 0.9);
        renderer->GradientBackgroundOn();
        view.renderWindow()->AddRenderer(renderer);
        view.resize(400, 300);
        view.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    }

    VtkOpenGLWidget view;
    vtkNew<vtkRenderer> renderer;
};

} // namespace

TEST_F(VtkViewTest, DrawsGradientBackgroundAndOpaqueActors)
{
    QImage img = view.grabFramebuffer();
    ASSERT_EQ(img.size(), QSize(400, 300));
    // VTK's gradient runs from the first colour at the bottom to the second at the top.
    expectNear(pixel(img, 200, 298), {77, 153, 230}, 6, "bottom row");
    expectNear(pixel(img, 200, 1), {230, 230, 230}, 6, "top row");
    EXPECT_EQ(img.pixelColor(200, 150).alpha(), 255);

    vtkNew<vtkSphereSource> sphere;
    sphere->SetRadius(1.0);
    vtkNew<vtkPolyDataMapper> mapper;
    mapper->SetInputConnection(sphere->GetOutputPort());
    vtkNew<vtkActor> actor;
    actor->SetMapper(mapper);
    actor->GetProperty()->SetColor(1, 0, 0);
    actor->GetProperty()->SetAmbient(1.0);
    actor->GetProperty()->SetDiffuse(0.0);
    renderer->AddActor(actor);
    renderer->ResetCamera();
    img = view.grabFramebuffer();
    expectNear(pixel(img, 200, 150), {255, 0, 0}, 10, "sphere centre");
    expectNear(pixel(img, 5, 298), {77, 153, 230}, 8, "corner stays background");
    img.save(vantiro::test::artefactDir() + "/vtk_view_sphere.png");
}

TEST_F(VtkViewTest, MouseDragRotatesAndWheelZoomsTheCamera)
{
    vtkNew<vtkSphereSource> sphere;
    vtkNew<vtkPolyDataMapper> mapper;
    mapper->SetInputConnection(sphere->GetOutputPort());
    vtkNew<vtkActor> actor;
    actor->SetMapper(mapper);
    renderer->AddActor(actor);
    renderer->ResetCamera();
    view.grabFramebuffer();

    vtkCamera* camera = renderer->GetActiveCamera();
    double before[3];
    camera->GetPosition(before);
    const int framesBefore = view.renderCount();

    QTest::mousePress(&view, Qt::LeftButton, Qt::NoModifier, QPoint(200, 150));
    for (int x = 210; x <= 300; x += 10) {
        QMouseEvent move(QEvent::MouseMove, QPointF(x, 150), view.mapToGlobal(QPointF(x, 150)), Qt::NoButton,
                         Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&view, &move);
    }
    QTest::mouseRelease(&view, Qt::LeftButton, Qt::NoModifier, QPoint(300, 150));
    QTest::qWait(50);

    double after[3];
    camera->GetPosition(after);
    const double moved = std::hypot(after[0] - before[0], after[1] - before[1], after[2] - before[2]);
    EXPECT_GT(moved, 0.1) << "a left drag must orbit the camera";
    EXPECT_GT(view.renderCount(), framesBefore) << "interaction must repaint the widget";

    const double distance = camera->GetDistance();
    QWheelEvent wheel(QPointF(200, 150), view.mapToGlobal(QPointF(200, 150)), QPoint(), QPoint(0, 120), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(&view, &wheel);
    EXPECT_LT(camera->GetDistance(), distance) << "wheel forward zooms in";
}

TEST(VtkView, TwoViewsInOneWindowTearDownCleanly)
{
    // Closing a window with several GL views must neither crash nor leave VTK holding a dead context.
    auto* window = new QWidget;
    auto* a = new VtkOpenGLWidget(window);
    auto* b = new VtkOpenGLWidget(window);
    a->setGeometry(0, 0, 200, 200);
    b->setGeometry(200, 0, 200, 200);
    vtkNew<vtkRenderer> ra;
    vtkNew<vtkRenderer> rb;
    ra->SetBackground(1, 0, 0);
    rb->SetBackground(0, 0, 1);
    a->renderWindow()->AddRenderer(ra);
    b->renderWindow()->AddRenderer(rb);
    window->resize(400, 200);
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
    expectNear(pixel(a->grabFramebuffer(), 100, 100), {255, 0, 0}, 2, "first view");
    expectNear(pixel(b->grabFramebuffer(), 100, 100), {0, 0, 255}, 2, "second view");
    delete window;
}
