#include "sensors/ui/SensorObject.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QStyle>
#include <QTreeWidget>

#include <vtkActor.h>
#include <vtkFollower.h>

#include "sensors/Pose.h"
#include "sensors/ui/NoScrollSpinBox.h"

namespace {
const char* const kCaptions[SensorObject::ValueCount] = {
    "fx [px]", "fy [px]", "cx [px]", "cy [px]", "k1",      "k2",         "k3",          "p1",        "p2",
    "k4",      "k5",      "k6",      "tx [mm]", "ty [mm]", "tz [mm]", "roll [deg]", "pitch [deg]", "yaw [deg]"};

QPushButton* smallButton(QTreeWidget* tree, const QIcon& icon)
{
    auto* b = new QPushButton(tree);
    b->setFixedWidth(25);
    b->setIcon(icon);
    b->setStyleSheet(QStringLiteral("QPushButton{background: transparent;}"));
    return b;
}
} // namespace

void setSpinValueSilently(NoScrollSpinBox* box, double value)
{
    const QSignalBlocker block(box);
    box->setValue(value);
}

SensorObject::SensorObject(QTreeWidget* tree_, int32_t id_)
    : id(id_), name(QStringLiteral("Cam%1").arg(id_)), K(cv::Mat::zeros(3, 3, CV_64F)),
      kc(cv::Mat::zeros(1, 8, CV_64F)), t(0, 100.0 * id_, 0), frustumActor(vtkSmartPointer<vtkActor>::New()),
      axesActor(vtkSmartPointer<vtkActor>::New()), label(vtkSmartPointer<vtkFollower>::New()), tree(tree_)
{
    QStyle* style = QApplication::style();
    const QIcon trash = style->standardIcon(QStyle::SP_TrashIcon);
    const QIcon open = style->standardIcon(QStyle::SP_DialogOpenButton);

    const QSignalBlocker blockTree(tree);
    topItem = new QTreeWidgetItem();
    intrinsicsItem = new QTreeWidgetItem(topItem);
    for (int v = 0; v < ValueCount; ++v) {
        if (v == Tx)
            extrinsicsItem = new QTreeWidgetItem(topItem);
        valueItems[size_t(v)] = new QTreeWidgetItem(topItem);
    }

    removeButton = smallButton(tree, trash);
    removeButton->setProperty("row", id);
    openIntrinsicsButton = smallButton(tree, open);

    topItem->setText(0, name);
    topItem->setData(0, Qt::UserRole, id);
    topItem->setFlags(topItem->flags() | Qt::ItemIsEditable);
    tree->addTopLevelItem(topItem);
    tree->setItemWidget(topItem, 1, removeButton);

    intrinsicsItem->setText(0, QStringLiteral("Intrinsics"));
    tree->setItemWidget(intrinsicsItem, 1, openIntrinsicsButton);
    extrinsicsItem->setText(0, QStringLiteral("Extrinsics"));

    for (int v = 0; v < ValueCount; ++v) {
        auto* caption = new QLabel(QString::fromLatin1(kCaptions[v]));
        caption->setContentsMargins(10, 0, 0, 0);
        tree->setItemWidget(valueItems[size_t(v)], 0, caption);
        spinBoxes[size_t(v)] = new NoScrollSpinBox();
        spinBoxes[size_t(v)]->setValue(0);
        tree->setItemWidget(valueItems[size_t(v)], 1, spinBoxes[size_t(v)]);
    }
    showRationalRows(false);
    setSpinValueSilently(spin(Tx), t(0));
    setSpinValueSilently(spin(Ty), t(1));
    setSpinValueSilently(spin(Tz), t(2));
}

SensorObject::~SensorObject()
{
    // Rows normally leave with removeFromTree(); a tree that is already gone deleted them.
}

void SensorObject::applyIntrinsicSpinBoxes()
{
    if (K.rows != 3 || K.cols != 3 || K.type() != CV_64F)
        K = cv::Mat::zeros(3, 3, CV_64F);
    K.at<double>(0, 0) = spin(Fx)->value();
    K.at<double>(1, 1) = spin(Fy)->value();
    K.at<double>(0, 2) = spin(Cx)->value();
    K.at<double>(1, 2) = spin(Cy)->value();
    if (kc.total() < 5 || kc.type() != CV_64F) {
        cv::Mat grown = cv::Mat::zeros(1, std::max<int>(5, int(kc.total())), CV_64F);
        if (!kc.empty())
            kc.reshape(1, 1).convertTo(grown.colRange(0, int(kc.total())), CV_64F);
        kc = grown;
    }
    auto* c = kc.ptr<double>();
    c[0] = spin(K1)->value();
    c[1] = spin(K2)->value();
    c[2] = spin(P1)->value();
    c[3] = spin(P2)->value();
    c[4] = spin(K3)->value();
    if (kc.total() > 7) {
        c[5] = spin(K4)->value();
        c[6] = spin(K5)->value();
        c[7] = spin(K6)->value();
    }
}

void SensorObject::applyExtrinsicSpinBoxes()
{
    R = anglesToRotation({spin(Roll)->value(), spin(Pitch)->value(), spin(Yaw)->value()});
    t = cv::Matx31d(spin(Tx)->value(), spin(Ty)->value(), spin(Tz)->value());
}

void SensorObject::showIntrinsics()
{
    if (K.rows == 3 && K.cols == 3) {
        setSpinValueSilently(spin(Fx), K.at<double>(0, 0));
        setSpinValueSilently(spin(Fy), K.at<double>(1, 1));
        setSpinValueSilently(spin(Cx), K.at<double>(0, 2));
        setSpinValueSilently(spin(Cy), K.at<double>(1, 2));
    }
    const double* c = kc.empty() ? nullptr : kc.ptr<double>();
    const size_t n = kc.total();
    auto coeff = [&](size_t i) { return c && i < n ? c[i] : 0.0; };
    setSpinValueSilently(spin(K1), coeff(0));
    setSpinValueSilently(spin(K2), coeff(1));
    setSpinValueSilently(spin(P1), coeff(2));
    setSpinValueSilently(spin(P2), coeff(3));
    setSpinValueSilently(spin(K3), coeff(4));
    const bool rational = n >= 8;
    showRationalRows(rational);
    setSpinValueSilently(spin(K4), rational ? coeff(5) : 0.0);
    setSpinValueSilently(spin(K5), rational ? coeff(6) : 0.0);
    setSpinValueSilently(spin(K6), rational ? coeff(7) : 0.0);
}

void SensorObject::showExtrinsics()
{
    setSpinValueSilently(spin(Tx), t(0));
    setSpinValueSilently(spin(Ty), t(1));
    setSpinValueSilently(spin(Tz), t(2));
    const PoseAngles a = rotationToAngles(R);
    setSpinValueSilently(spin(Roll), a.roll);
    setSpinValueSilently(spin(Pitch), a.pitch);
    setSpinValueSilently(spin(Yaw), a.yaw);
}

void SensorObject::showRationalRows(bool visible)
{
    for (Value v : {K4, K5, K6})
        valueItems[size_t(v)]->setHidden(!visible);
}

void SensorObject::removeFromTree()
{
    if (!topItem)
        return;
    // The view keeps its own list of item widgets and lays them out lazily: widgets deleted
    // behind its back, or rows taken out before their widgets, leave it reading freed memory
    // at the next layout pass. Removing each widget through the view makes it forget the
    // widget and delete it later, which is also what the trash button needs: it is usually
    // the sender of the click that got us here.
    std::vector<QTreeWidgetItem*> rows = {topItem, intrinsicsItem};
    rows.insert(rows.end(), valueItems.begin(), valueItems.end());
    for (QTreeWidgetItem* item : rows)
        for (int column = 0; column < 2; ++column)
            if (QWidget* w = tree->itemWidget(item, column)) {
                w->hide();
                tree->removeItemWidget(item, column);
            }
    const int index = tree->indexOfTopLevelItem(topItem);
    if (index >= 0)
        tree->takeTopLevelItem(index);
    delete topItem;
    topItem = nullptr;
    intrinsicsItem = extrinsicsItem = nullptr;
    valueItems.fill(nullptr);
    spinBoxes.fill(nullptr);
    removeButton = openIntrinsicsButton = nullptr;
}

std::shared_ptr<SensorObject> SensorObjectList::find(int32_t id) const
{
    for (const auto& o : objects)
        if (o->id == id)
            return o;
    return nullptr;
}
