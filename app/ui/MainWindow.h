#pragma once
#include <QMainWindow>
#include <QPointer>

#include <opencv2/core.hpp>

#include <vtkActor.h>
#include <vtkProp3D.h>
#include <vtkRenderer.h>
#include <vtkSmartPointer.h>

#include <map>

#include "app/ui/MainWindowForm.h"
#include "targets/TargetSettings.h"

class CamProjStereoCalib;
class ExtrinsicStereoCalibrationWidget;
class HandEyeCalib;
class IntrinsicCalibrationWidget;
class ToolFlangeCalib;
class QCloseEvent;
class QWidget;

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    MainWindowForm ui;

    vtkRenderer* targetRenderer() const { return m_targetRenderer; }
    vtkRenderer* sceneRenderer() const { return m_sceneRenderer; }
    vtkRenderer* sceneOverlayRenderer() const { return m_sceneOverlayRenderer; }
    vtkProp3D* targetBoardActor() const { return m_targetBoardActor; }
    vtkActor* targetOriginActor() const { return m_targetOriginActor; }
    const std::map<int, QString>& dictionaryNames() const { return m_dictionaryNames; }

    // The most recently opened window of each module (null until its button is pressed).
    IntrinsicCalibrationWidget* intrinsicWindow() const;
    ExtrinsicStereoCalibrationWidget* stereoWindow() const;
    CamProjStereoCalib* camProjWindow() const;
    HandEyeCalib* handEyeWindow() const;
    ToolFlangeCalib* toolFlangeWindow() const;

public slots:
    // Answer to every module's getMainWindowSettings.
    void readTargetSettings(MainWindowSettings& settings);
    void updateTargetPreview();

    void setWorkingDirectory(const QString& path);
    void chooseWorkingDirectory();
    void workingDirectoryChanged(int index);
    void removeFromRecentList();
    void openWorkingDirectory();
    void saveCurrentSettings();
    void loadSettingsFile(const QString& path);

    void newProject();
    void openProject();
    void saveProject();
    void openSettingsFile();
    void showAbout();

    void redrawScene();
    void removeSensorProps(int id);
    void resetSceneView();
    void resetTargetView();
    void generateGrayCodeImages();
    // Asks for a file (.pdf, .svg or .png) and writes the board at true scale on the chosen paper.
    void exportTarget();

    IntrinsicCalibrationWidget* openIntrinsicModule();
    ExtrinsicStereoCalibrationWidget* openStereoModule();
    CamProjStereoCalib* openCamProjModule();
    HandEyeCalib* openHandEyeModule();
    ToolFlangeCalib* openToolFlangeModule();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void buildDictionaryNames();
    void buildMenus();
    void setUpLogo();
    void setUpViews();
    void connectTargetPanel();
    void restoreWorkingDirectory();
    void showTargetGroups();
    QList<QWidget*> settingsWidgets() const;
    void applySettingsFile(const QString& path);
    void openProjectFile();
    void saveProjectAs();
    QString currentWorkingDirectory() const;
    void saveRecentList();
    void updateSceneCameraRange();
    template <class Module>
    void connectCommon(Module* module);

    vtkSmartPointer<vtkRenderer> m_targetRenderer;
    vtkSmartPointer<vtkProp3D> m_targetBoardActor;
    vtkSmartPointer<vtkActor> m_targetOriginActor;
    vtkSmartPointer<vtkRenderer> m_sceneRenderer;
    vtkSmartPointer<vtkRenderer> m_sceneOverlayRenderer;
    QPointer<IntrinsicCalibrationWidget> m_intrinsic;
    QPointer<ExtrinsicStereoCalibrationWidget> m_stereo;
    QPointer<ToolFlangeCalib> m_toolFlange;
    QPointer<HandEyeCalib> m_handEye;
    QPointer<CamProjStereoCalib> m_camProj;
    std::map<int, QString> m_dictionaryNames;
    cv::Size2d m_previewBoardSize;
    // Module windows live until the application ends; the main window owns them.
    QList<QPointer<QWidget>> m_moduleWindows;
};
