#include "sensors/ui/SensorTree.h"

#include <QFileInfo>
#include <QHeaderView>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "app/Settings.h"
#include "app/ui/Dialogs.h"
#include "app/ui/SlotGuard.h"
#include "intrinsic/IntrinsicFiles.h"
#include "sensors/Pose.h"
#include "sensors/ui/NoScrollSpinBox.h"

namespace {

// A usable camera matrix: 3x3, one channel, finite.
bool usableCameraMatrix(const cv::Mat& K)
{
    return K.rows == 3 && K.cols == 3 && K.channels() == 1 && cv::checkRange(K);
}

// Coefficients as one CV_64F row of at least five entries (the panel writes k3 at index 4).
cv::Mat coefficientRow(const cv::Mat& kc)
{
    if (kc.empty())
        return cv::Mat::zeros(1, 8, CV_64F);
    cv::Mat row;
    kc.reshape(1, 1).convertTo(row, CV_64F);
    if (row.cols < 5) {
        cv::Mat grown = cv::Mat::zeros(1, 5, CV_64F);
        row.copyTo(grown.colRange(0, row.cols));
        row = grown;
    }
    return row;
}

} // namespace

SensorTree::SensorTree(QWidget* parent) : QWidget(parent)
{
    if (objectName().isEmpty())
        setObjectName(QStringLiteral("SensorTree"));
    setWindowTitle(QStringLiteral("Form"));
    resize(257, 316);
    m_verticalLayout = new QVBoxLayout(this);
    m_verticalLayout->setObjectName(QStringLiteral("verticalLayout"));
    m_verticalLayout->setContentsMargins(0, 0, 0, 0);
    m_treeWidget = new QTreeWidget(this);
    m_treeWidget->setObjectName(QStringLiteral("treeWidget"));
    m_treeWidget->setColumnCount(2);
    m_treeWidget->setHeaderLabels({QStringLiteral("Sensor"), QStringLiteral("Value")});
    m_treeWidget->header()->setVisible(false);
    m_treeWidget->setColumnWidth(0, 120);
    m_treeWidget->setDropIndicatorShown(false);
    m_treeWidget->setDragEnabled(false);
    m_treeWidget->setDragDropMode(QAbstractItemView::NoDragDrop);
    m_treeWidget->setAlternatingRowColors(true);
    m_treeWidget->setExpandsOnDoubleClick(false);
    m_verticalLayout->addWidget(m_treeWidget);
    m_addButton = new QPushButton(QStringLiteral("Add Object"), this);
    m_addButton->setObjectName(QStringLiteral("pushButton_AddObject"));
    m_verticalLayout->addWidget(m_addButton);

    m_list.tree = m_treeWidget;
    connect(m_addButton, &QPushButton::clicked, this, [this] { addObject(); });
    connect(m_treeWidget, &QTreeWidget::itemChanged, this, &SensorTree::onItemChanged);
}

SensorTree::~SensorTree()
{
    // Modules may keep objects alive; their rows must not outlive the tree.
    const QSignalBlocker block(m_treeWidget);
    for (const auto& o : m_list.objects)
        o->removeFromTree();
}

void SensorTree::emitChanged()
{
    emit updateSceneRender();
    emit sensorNamesChanged();
}

std::shared_ptr<SensorObject> SensorTree::addObject()
{
    std::shared_ptr<SensorObject> object;
    {
        const QSignalBlocker block(m_treeWidget);
        object = std::make_shared<SensorObject>(m_treeWidget, m_list.nextId);
        ++m_list.nextId;
        m_list.objects.push_back(object);
    }
    // By id, not by pointer: a removed object's widgets live on until their deferred deletion.
    const int32_t id = object->id;
    connect(object->removeButton, &QPushButton::clicked, this, [this, id] { removeObject(id); });
    for (int v = SensorObject::Fx; v <= SensorObject::K6; ++v)
        connect(object->spinBoxes[size_t(v)], &QDoubleSpinBox::valueChanged, this, [this, id] {
            if (const auto o = m_list.find(id))
                UpdateOnIntrinsicsSpinBoxChanged(o.get());
        });
    for (int v = SensorObject::Tx; v <= SensorObject::Yaw; ++v)
        connect(object->spinBoxes[size_t(v)], &QDoubleSpinBox::valueChanged, this, [this, id] {
            if (const auto o = m_list.find(id))
                UpdateOnExtrinsicsSpinBoxChanged(o.get());
        });
    connect(object->openIntrinsicsButton, &QPushButton::clicked, this, [this, id] { openIntrinsics(id); });
    emitChanged();
    return object;
}

void SensorTree::removeObject(int32_t id)
{
    const auto it = std::find_if(m_list.objects.begin(), m_list.objects.end(),
                                 [id](const auto& o) { return o->id == id; });
    if (it == m_list.objects.end())
        return;
    emit removeSensorFromRender(id);
    const std::shared_ptr<SensorObject> object = *it;
    m_list.objects.erase(it);
    {
        const QSignalBlocker block(m_treeWidget);
        object->removeFromTree();
    }
    emit sensorNamesChanged();
}

void SensorTree::clear()
{
    for (const auto& o : m_list.objects)
        emit removeSensorFromRender(o->id);
    {
        const QSignalBlocker block(m_treeWidget);
        for (const auto& o : m_list.objects)
            o->removeFromTree();
        m_list.objects.clear();
        m_list.nextId = 0;
    }
    emitChanged();
}

void SensorTree::renameObject(int32_t id, const QString& name)
{
    if (const auto o = m_list.find(id))
        o->topItem->setText(0, name); // goes through onItemChanged like a user edit
}

void SensorTree::onItemChanged(QTreeWidgetItem* item, int column)
{
    if (column != 0 || item->parent())
        return;
    if (const auto o = m_list.find(item->data(0, Qt::UserRole).toInt())) {
        o->name = item->text(0);
        emitChanged();
    }
}

void SensorTree::UpdateOnIntrinsicsSpinBoxChanged(SensorObject* sensor)
{
    sensor->applyIntrinsicSpinBoxes();
    emitChanged();
}

void SensorTree::UpdateOnExtrinsicsSpinBoxChanged(SensorObject* sensor)
{
    sensor->applyExtrinsicSpinBoxes();
    emitChanged();
}

void SensorTree::UpdateIntrinsicsForId(int id, cv::Mat K, cv::Mat kc, cv::Size imgSize)
{
    const auto o = m_list.find(id);
    if (!o)
        return;
    const QSignalBlocker block(m_treeWidget);
    o->imgSize = imgSize;
    if (usableCameraMatrix(K))
        K.convertTo(o->K, CV_64F);
    o->kc = coefficientRow(kc);
    o->showIntrinsics();
    emitChanged();
}

void SensorTree::UpdateExtrinsicsForId(int id1, int id2, cv::Matx33d R, cv::Matx31d t)
{
    if (id1 == id2)
        return;
    const auto o1 = m_list.find(id1);
    const auto o2 = m_list.find(id2);
    if (!o1 || !o2)
        return;
    const QSignalBlocker block(m_treeWidget);
    composePose(o1->R, o1->t, R, t, o2->R, o2->t);
    o2->showExtrinsics();
    emitChanged();
}

void SensorTree::GetIntrinsicsForId(int id, cv::Mat& K, cv::Mat& kc, cv::Size& imgSize)
{
    const auto o = m_list.find(id);
    if (!o)
        return;
    K = o->K.clone();
    kc = o->kc.clone();
    imgSize = o->imgSize;
    if (o->K.rows == 3 && o->K.cols == 3)
        o->K.at<double>(2, 2) = 1.0;
}

void SensorTree::openIntrinsics(int32_t id)
{
    guardWithBox([this, id] { loadIntrinsicsFile(id); });
}

void SensorTree::loadIntrinsicsFile(int32_t id)
{
    const auto o = m_list.find(id);
    if (!o)
        return;
    const QSignalBlocker block(m_treeWidget);
    const QString workingDirectory =
        vantiro::openSettings()->value(QStringLiteral("MainWindow/comboBox_WorkingDirectory")).toString();
    const QString path = vantiro::dialogs::openFileName(this, QStringLiteral("Open Intrinsic Parameters"),
                                                        workingDirectory, QStringLiteral("Intrinsics (*.yml)"));
    if (path.isEmpty() || !QFileInfo(path).isFile())
        return;

    const vantiro::intrinsic::IntrinsicsFileContent file = vantiro::intrinsic::readIntrinsicsFile(path);
    if (!file.opened) {
        vantiro::dialogs::critical(this, QStringLiteral("Error"), QStringLiteral("Can't open the %1").arg(path));
        return;
    }
    const cv::Mat& K = file.K;
    const cv::Mat& kc = file.distortion;
    const cv::Size size = file.hasImageSize ? file.imageSize : o->imgSize;
    // Values that would leave the object unusable are refused as a whole.
    if (!file.ok) {
        vantiro::dialogs::critical(this, QStringLiteral("Error"),
                                   QStringLiteral("Can't read the intrinsics in %1: %2").arg(path, file.error));
        return;
    }
    if (!K.empty())
        K.convertTo(o->K, CV_64F);
    if (!kc.empty())
        o->kc = coefficientRow(kc);
    o->imgSize = size;
    if (o->K.rows == 3) {
        setSpinValueSilently(o->spin(SensorObject::Fx), o->K.at<double>(0, 0));
        setSpinValueSilently(o->spin(SensorObject::Fy), o->K.at<double>(1, 1));
        setSpinValueSilently(o->spin(SensorObject::Cx), o->K.at<double>(0, 2));
        setSpinValueSilently(o->spin(SensorObject::Cy), o->K.at<double>(1, 2));
    }
    if (!kc.empty()) {
        const double* c = o->kc.ptr<double>();
        setSpinValueSilently(o->spin(SensorObject::K1), c[0]);
        setSpinValueSilently(o->spin(SensorObject::K2), c[1]);
        setSpinValueSilently(o->spin(SensorObject::K3), c[4]);
        setSpinValueSilently(o->spin(SensorObject::P1), c[2]);
        setSpinValueSilently(o->spin(SensorObject::P2), c[3]);
        if (o->kc.total() >= 8) {
            o->showRationalRows(true);
            setSpinValueSilently(o->spin(SensorObject::K4), c[5]);
            setSpinValueSilently(o->spin(SensorObject::K5), c[6]);
            setSpinValueSilently(o->spin(SensorObject::K6), c[7]);
        }
    }
    emit updateSceneRender();
}
