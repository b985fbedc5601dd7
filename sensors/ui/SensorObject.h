#pragma once
#include <QString>

#include <opencv2/core.hpp>

#include <vtkActor.h>
#include <vtkFollower.h>
#include <vtkSmartPointer.h>

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

class NoScrollSpinBox;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

// One calibration object (camera, projector, robot base): intrinsics, pose in the scene
// frame (X_scene = R * X + t, mm), its rows in the sensor panel and its scene props.
class SensorObject
{
public:
    // Value rows in panel order.
    enum Value
    {
        Fx,
        Fy,
        Cx,
        Cy,
        K1,
        K2,
        K3,
        P1,
        P2,
        K4,
        K5,
        K6,
        Tx,
        Ty,
        Tz,
        Roll,
        Pitch,
        Yaw,
        ValueCount
    };

    SensorObject(QTreeWidget* tree, int32_t id);
    ~SensorObject();
    SensorObject(const SensorObject&) = delete;
    SensorObject& operator=(const SensorObject&) = delete;

    int32_t id = -1;
    QString name;
    cv::Mat K;
    cv::Mat kc;
    cv::Matx33d R = cv::Matx33d::eye();
    cv::Matx31d t = cv::Matx31d::zeros();
    cv::Size imgSize;
    vtkSmartPointer<vtkActor> frustumActor;
    vtkSmartPointer<vtkActor> axesActor;
    vtkSmartPointer<vtkFollower> label;
    QTreeWidgetItem* topItem = nullptr;
    QTreeWidgetItem* intrinsicsItem = nullptr;
    QTreeWidgetItem* extrinsicsItem = nullptr;
    std::array<QTreeWidgetItem*, ValueCount> valueItems{};
    std::array<NoScrollSpinBox*, ValueCount> spinBoxes{};
    QPushButton* removeButton = nullptr;
    QPushButton* openIntrinsicsButton = nullptr;
    QTreeWidget* tree = nullptr;

    NoScrollSpinBox* spin(Value v) const { return spinBoxes[size_t(v)]; }

    // Spin boxes -> fields.
    void applyIntrinsicSpinBoxes();
    void applyExtrinsicSpinBoxes();

    // Fields -> spin boxes, each written with its signals blocked.
    void showIntrinsics();
    void showExtrinsics();
    // Rows k4..k6 are visible only for 8 or more coefficients.
    void showRationalRows(bool visible);

    // Takes the rows out of the tree and deletes them; the view deletes their item widgets
    // later (the trash button may be in the middle of its own click).
    void removeFromTree();
};

// The application's calibration objects; copies share the objects.
struct SensorObjectList
{
    std::vector<std::shared_ptr<SensorObject>> objects;
    int32_t nextId = 0;
    QTreeWidget* tree = nullptr;

    std::shared_ptr<SensorObject> find(int32_t id) const;
};

// Sets a spin box's value without emitting its change signals.
void setSpinValueSilently(NoScrollSpinBox* box, double value);
