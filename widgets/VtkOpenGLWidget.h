#pragma once
#include <QOpenGLWidget>

#include <vtkSmartPointer.h>

class vtkGenericOpenGLRenderWindow;
class vtkGenericRenderWindowInteractor;
class vtkObject;

// Hosts a VTK render window inside a Qt 6 OpenGL widget. VTK renders into its own
// framebuffer; paintGL blits that into the widget's. Render requests from VTK's
// interactor become update() calls, so everything paints through Qt.
class VtkOpenGLWidget : public QOpenGLWidget
{
    Q_OBJECT

public:
    explicit VtkOpenGLWidget(QWidget* parent = nullptr);
    ~VtkOpenGLWidget() override;

    vtkGenericOpenGLRenderWindow* renderWindow() const;
    vtkGenericRenderWindowInteractor* interactor() const;

    // Schedules a repaint; VTK renders in the next paintGL.
    void render();

    // Number of frames VTK has rendered into this widget (tests use it to see paints happen).
    int renderCount() const { return m_renderCount; }

protected:
    void initializeGL() override;
    void resizeGL(int w, int h) override;
    void paintGL() override;

    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    void onWindowEvent(vtkObject* caller, unsigned long eventId, void* callData);
    void onInteractorRender();
    void releaseGraphics();
    void setEventInformation(const QPointF& pos, Qt::KeyboardModifiers modifiers, bool repeat = false);

    vtkSmartPointer<vtkGenericOpenGLRenderWindow> m_renderWindow;
    vtkSmartPointer<vtkGenericRenderWindowInteractor> m_interactor;
    QMetaObject::Connection m_contextConnection;
    bool m_painting = false;
    int m_renderCount = 0;
};
