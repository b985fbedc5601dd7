#pragma once
#include <QWidget>

#include <opencv2/core.hpp>

#include "sensors/ui/SensorObject.h"

class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;
class QVBoxLayout;

// The "Calibration Objects" panel: owns the application's SensorObjectList, edits the
// objects and is the receiver through which modules read and write intrinsics and poses.
class SensorTree : public QWidget
{
    Q_OBJECT

public:
    explicit SensorTree(QWidget* parent = nullptr);
    ~SensorTree() override;

    const SensorObjectList& sensorList() const { return m_list; }
    QTreeWidget* treeWidget() const { return m_treeWidget; }
    QPushButton* addObjectButton() const { return m_addButton; }

    // Adds a new object named "Cam<id>"; returns it.
    std::shared_ptr<SensorObject> addObject();
    // Removes the object with that id (nothing for an unknown id).
    void removeObject(int32_t id);
    // Removes every object and restarts ids at 0.
    void clear();
    // Renames like an edit of the object's row would.
    void renameObject(int32_t id, const QString& name);
    // Asks for an intrinsics file and loads it into the object.
    void openIntrinsics(int32_t id);

signals:
    void removeSensorFromRender(int id);
    void sensorNamesChanged();
    void updateSceneRender();

public slots:
    void UpdateOnIntrinsicsSpinBoxChanged(SensorObject* sensor);
    void UpdateOnExtrinsicsSpinBoxChanged(SensorObject* sensor);
    void UpdateIntrinsicsForId(int id, cv::Mat K, cv::Mat kc, cv::Size imgSize);
    void UpdateExtrinsicsForId(int id1, int id2, cv::Matx33d R, cv::Matx31d t);
    void GetIntrinsicsForId(int id, cv::Mat& K, cv::Mat& kc, cv::Size& imgSize);

private:
    void onItemChanged(QTreeWidgetItem* item, int column);
    void loadIntrinsicsFile(int32_t id);
    void emitChanged();

    QVBoxLayout* m_verticalLayout = nullptr;
    QTreeWidget* m_treeWidget = nullptr;
    QPushButton* m_addButton = nullptr;
    SensorObjectList m_list;
};
