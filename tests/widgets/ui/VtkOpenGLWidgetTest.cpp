#include <gtest/gtest.h>

#include <QTest>

#include <vtkCamera.h>
#include <vtkGenericOpenGLRenderWindow.h>
#include <vtkNew.h>
#include <vtkRenderer.h>

#include "widgets/VtkOpenGLWidget.h"

namespace {

// Largest difference of the colour channels.
int distance(QColor a, QColor b)
{
    return std::max({std::abs(a.red() - b.red()), std::abs(a.green() - b.green()), std::abs(a.blue() - b.blue())});
}

} // namespace

TEST(VtkView, TwoViewsInOneWindowRenderFollowTheMouseAndTearDownCleanly)
{
    auto* window = new QWidget;
    auto* view = new VtkOpenGLWidget(window);
    auto* other = new VtkOpenGLWidget(window);
    view->setGeometry(0, 0, 400, 300);
    other->setGeometry(400, 0, 200, 300);
    vtkNew<vtkRenderer> renderer, blue;
    renderer->SetBackground(0.3, 0.6, 0.9);
    renderer->SetBackground2(0.9, 0.9, 0.9);
    renderer->GradientBackgroundOn();
    blue->SetBackground(0.0, 0.0, 1.0);
    view->renderWindow()->AddRenderer(renderer);
    other->renderWindow()->AddRenderer(blue);
    window->resize(600, 300);
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window));

    const QImage img = view->grabFramebuffer();
    ASSERT_EQ(img.size(), QSize(400, 300));
    // The gradient runs from the first colour at the bottom to the second at the top, opaque:
    // VTK's translucent alpha must not wash it out.
    EXPECT_LE(distance(img.pixelColor(200, 298), QColor(77, 153, 230)), 6);
    EXPECT_LE(distance(img.pixelColor(200, 1), QColor(230, 230, 230)), 6);
    EXPECT_EQ(img.pixelColor(200, 150).alpha(), 255);
    EXPECT_LE(distance(other->grabFramebuffer().pixelColor(100, 100), QColor(0, 0, 255)), 2);

    // A left drag orbits the camera and repaints the widget; the wheel forward zooms in.
    vtkCamera* camera = renderer->GetActiveCamera();
    double before[3], after[3];
    camera->GetPosition(before);
    const int framesBefore = view->renderCount();
    QTest::mousePress(view, Qt::LeftButton, Qt::NoModifier, QPoint(200, 150));
    QTest::mouseMove(view, QPoint(300, 150));
    QTest::mouseRelease(view, Qt::LeftButton, Qt::NoModifier, QPoint(300, 150));
    QTest::qWait(50);
    camera->GetPosition(after);
    EXPECT_GT(std::hypot(after[0] - before[0], after[1] - before[1], after[2] - before[2]), 0.1);
    EXPECT_GT(view->renderCount(), framesBefore);
    const double distanceBefore = camera->GetDistance();
    QWheelEvent wheel(QPointF(200, 150), view->mapToGlobal(QPointF(200, 150)), QPoint(), QPoint(0, 120),
                      Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(view, &wheel);
    EXPECT_LT(camera->GetDistance(), distanceBefore);

    // Closing a window with several GL views must neither crash nor leave VTK holding a dead context.
    delete window;
}
