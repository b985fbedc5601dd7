#include "widgets/VtkOpenGLWidget.h"

#include <QMouseEvent>
#include <QOpenGLContext>
#include <QOpenGLFunctions>
#include <QWheelEvent>

#include <vtkCallbackCommand.h>
#include <vtkCommand.h>
#include <vtkGenericOpenGLRenderWindow.h>
#include <vtkGenericRenderWindowInteractor.h>
#include <vtkInteractorStyleTrackballCamera.h>
#include <vtkOpenGLState.h>

VtkOpenGLWidget::VtkOpenGLWidget(QWidget* parent) : QOpenGLWidget(parent)
{
    setFocusPolicy(Qt::StrongFocus);
    setMouseTracking(true);
    setUpdateBehavior(QOpenGLWidget::NoPartialUpdate);

    m_renderWindow = vtkSmartPointer<vtkGenericOpenGLRenderWindow>::New();
    // The widget decides when a frame is shown; VTK only fills its framebuffer.
    m_renderWindow->SetFrameBlitModeToNoBlit();
    m_renderWindow->SetReadyForRendering(false);
    for (unsigned long id : {vtkCommand::WindowMakeCurrentEvent, vtkCommand::WindowIsCurrentEvent,
                             vtkCommand::WindowIsDirectEvent, vtkCommand::WindowSupportsOpenGLEvent,
                             vtkCommand::WindowFrameEvent, vtkCommand::EndEvent})
        m_renderWindow->AddObserver(id, this, &VtkOpenGLWidget::onWindowEvent);

    m_interactor = vtkSmartPointer<vtkGenericRenderWindowInteractor>::New();
    m_interactor->SetRenderWindow(m_renderWindow);
    m_interactor->SetInteractorStyle(vtkSmartPointer<vtkInteractorStyleTrackballCamera>::New());
    // Never render from inside an event handler; ask Qt for a paint instead.
    m_interactor->EnableRenderOff();
    m_interactor->AddObserver(vtkCommand::RenderEvent, this, &VtkOpenGLWidget::onInteractorRender);
    m_interactor->Initialize();
}

VtkOpenGLWidget::~VtkOpenGLWidget()
{
    // Without this the context's destruction calls back into a half-destroyed widget.
    disconnect(m_contextConnection);
    makeCurrent();
    releaseGraphics();
    doneCurrent();
    m_renderWindow->RemoveAllObservers();
    m_interactor->RemoveAllObservers();
}

vtkGenericOpenGLRenderWindow* VtkOpenGLWidget::renderWindow() const
{
    return m_renderWindow;
}

vtkGenericRenderWindowInteractor* VtkOpenGLWidget::interactor() const
{
    return m_interactor;
}

void VtkOpenGLWidget::render()
{
    update();
}

void VtkOpenGLWidget::releaseGraphics()
{
    if (m_renderWindow->GetReadyForRendering()) {
        m_renderWindow->Finalize();
        m_renderWindow->SetReadyForRendering(false);
    }
}

void VtkOpenGLWidget::initializeGL()
{
    disconnect(m_contextConnection);
    m_contextConnection = connect(context(), &QOpenGLContext::aboutToBeDestroyed, this, [this] {
        makeCurrent();
        releaseGraphics();
        doneCurrent();
    });
    m_renderWindow->SetOwnContext(false);
    m_renderWindow->SetReadyForRendering(true);
    m_renderWindow->InitializeFromCurrentContext();
    const qreal ratio = devicePixelRatioF();
    m_renderWindow->SetSize(int(width() * ratio), int(height() * ratio));
}

void VtkOpenGLWidget::resizeGL(int w, int h)
{
    const qreal ratio = devicePixelRatioF();
    const int pw = int(w * ratio);
    const int ph = int(h * ratio);
    m_renderWindow->SetSize(pw, ph);
    m_interactor->UpdateSize(pw, ph);
}

void VtkOpenGLWidget::paintGL()
{
    if (!m_renderWindow->GetReadyForRendering())
        return;
    m_painting = true;
    vtkOpenGLState* state = m_renderWindow->GetState();
    // Qt touched the GL state since the last frame; VTK's cache must not trust it.
    state->Reset();
    state->Push();
    m_renderWindow->Render();
    state->Pop();

    QOpenGLFunctions* gl = context()->functions();
    gl->glBindFramebuffer(GL_FRAMEBUFFER, defaultFramebufferObject());
    m_renderWindow->BlitDisplayFramebuffer();
    // VTK leaves translucent alpha behind; composited as is it would wash the image out.
    gl->glBindFramebuffer(GL_FRAMEBUFFER, defaultFramebufferObject());
    gl->glColorMask(GL_FALSE, GL_FALSE, GL_FALSE, GL_TRUE);
    gl->glClearColor(0.f, 0.f, 0.f, 1.f);
    gl->glClear(GL_COLOR_BUFFER_BIT);
    gl->glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
    ++m_renderCount;
    m_painting = false;
}

void VtkOpenGLWidget::onWindowEvent(vtkObject*, unsigned long eventId, void* callData)
{
    switch (eventId) {
    case vtkCommand::WindowMakeCurrentEvent:
        // VTK asks many times per frame; re-making a current context breaks its framebuffer.
        if (context() && QOpenGLContext::currentContext() != context())
            makeCurrent();
        break;
    case vtkCommand::WindowIsCurrentEvent:
        *static_cast<bool*>(callData) = context() && QOpenGLContext::currentContext() == context();
        break;
    case vtkCommand::WindowIsDirectEvent:
    case vtkCommand::WindowSupportsOpenGLEvent:
        *static_cast<int*>(callData) = 1;
        break;
    case vtkCommand::EndEvent:
        // A Render() called by application code outside paintGL still has to reach the screen.
        if (!m_painting)
            update();
        break;
    default:
        break;
    }
}

void VtkOpenGLWidget::onInteractorRender()
{
    update();
}

void VtkOpenGLWidget::setEventInformation(const QPointF& pos, Qt::KeyboardModifiers modifiers, bool repeat)
{
    const qreal ratio = devicePixelRatioF();
    m_interactor->SetEventInformationFlipY(int(pos.x() * ratio), int(pos.y() * ratio),
                                           modifiers.testFlag(Qt::ControlModifier) ? 1 : 0,
                                           modifiers.testFlag(Qt::ShiftModifier) ? 1 : 0, 0, repeat ? 1 : 0);
    m_interactor->SetAltKey(modifiers.testFlag(Qt::AltModifier) ? 1 : 0);
}

void VtkOpenGLWidget::mousePressEvent(QMouseEvent* event)
{
    setEventInformation(event->position(), event->modifiers());
    switch (event->button()) {
    case Qt::LeftButton:
        m_interactor->LeftButtonPressEvent();
        break;
    case Qt::MiddleButton:
        m_interactor->MiddleButtonPressEvent();
        break;
    case Qt::RightButton:
        m_interactor->RightButtonPressEvent();
        break;
    default:
        break;
    }
    event->accept();
}

void VtkOpenGLWidget::mouseDoubleClickEvent(QMouseEvent* event)
{
    setEventInformation(event->position(), event->modifiers(), true);
    if (event->button() == Qt::LeftButton)
        m_interactor->LeftButtonPressEvent();
    event->accept();
}

void VtkOpenGLWidget::mouseReleaseEvent(QMouseEvent* event)
{
    setEventInformation(event->position(), event->modifiers());
    switch (event->button()) {
    case Qt::LeftButton:
        m_interactor->LeftButtonReleaseEvent();
        break;
    case Qt::MiddleButton:
        m_interactor->MiddleButtonReleaseEvent();
        break;
    case Qt::RightButton:
        m_interactor->RightButtonReleaseEvent();
        break;
    default:
        break;
    }
    event->accept();
}

void VtkOpenGLWidget::mouseMoveEvent(QMouseEvent* event)
{
    setEventInformation(event->position(), event->modifiers());
    m_interactor->MouseMoveEvent();
    event->accept();
}

void VtkOpenGLWidget::wheelEvent(QWheelEvent* event)
{
    setEventInformation(event->position(), event->modifiers());
    const int delta = event->angleDelta().y();
    if (delta > 0)
        m_interactor->MouseWheelForwardEvent();
    else if (delta < 0)
        m_interactor->MouseWheelBackwardEvent();
    event->accept();
}

void VtkOpenGLWidget::enterEvent(QEnterEvent* event)
{
    m_interactor->EnterEvent();
    QOpenGLWidget::enterEvent(event);
}

void VtkOpenGLWidget::leaveEvent(QEvent* event)
{
    m_interactor->LeaveEvent();
    QOpenGLWidget::leaveEvent(event);
}
