#include <gtest/gtest.h>

#include <QFile>
#include <QEventLoop>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <QWheelEvent>

#include <opencv2/calib3d.hpp>

#include "app/ui/Dialogs.h"
#include "sensors/Pose.h"
#include "sensors/ui/NoScrollSpinBox.h"
#include "sensors/ui/SensorTree.h"
#include "support/TestSupport.h"

using vantiro::dialogs::FileRequest;
using vantiro::dialogs::MessageRequest;

namespace {

// Records the panel's signals in the order they arrive.
struct SignalLog
{
    explicit SignalLog(SensorTree& tree)
    {
        QObject::connect(&tree, &SensorTree::updateSceneRender, [this] { events << "scene"; });
        QObject::connect(&tree, &SensorTree::sensorNamesChanged, [this] { events << "names"; });
        QObject::connect(&tree, &SensorTree::removeSensorFromRender, [this](int id) { events << QString("remove%1").arg(id); });
    }
    QStringList events;
};

class SensorTreeTest : public ::testing::Test
{
protected:
    void TearDown() override
    {
        vantiro::dialogs::setFileHandler({});
        vantiro::dialogs::setMessageHandler({});
    }
    SensorTree tree;
};

// Lets the event loop run as the program's does: deferred deletions come before the view's
// delayed layout (QTest::qWait runs them the other way round).
void runEventLoop(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

QString caption(QTreeWidget* t, QTreeWidgetItem* item)
{
    auto* label = qobject_cast<QLabel*>(t->itemWidget(item, 0));
    return label ? label->text() : item->text(0);
}

} // namespace

TEST_F(SensorTreeTest, FormAndDefaultObjects)
{
    EXPECT_EQ(tree.objectName(), "SensorTree");
    EXPECT_EQ(tree.treeWidget()->columnCount(), 2);
    EXPECT_TRUE(tree.treeWidget()->isHeaderHidden());
    EXPECT_EQ(tree.addObjectButton()->text(), "Add Object");

    tree.addObject();
    tree.addObject();
    const auto& list = tree.sensorList();
    ASSERT_EQ(list.objects.size(), 2u);
    const SensorObject& cam1 = *list.objects[1];
    EXPECT_EQ(list.objects[0]->name, "Cam0");
    EXPECT_EQ(cam1.name, "Cam1");
    EXPECT_EQ(cam1.t, cv::Matx31d(0, 100, 0));
    EXPECT_EQ(cam1.R, cv::Matx33d::eye());
    EXPECT_EQ(cv::countNonZero(cam1.K), 0);
    EXPECT_EQ(cam1.kc.cols, 8);
    EXPECT_EQ(cam1.spin(SensorObject::Ty)->value(), 100.0);
    EXPECT_EQ(cam1.topItem->data(0, Qt::UserRole).toInt(), 1);
    EXPECT_EQ(cam1.removeButton->property("row").toInt(), 1);
    EXPECT_TRUE(cam1.topItem->flags() & Qt::ItemIsEditable);

    // 20 child rows; k4..k6 hidden.
    ASSERT_EQ(cam1.topItem->childCount(), 20);
    EXPECT_EQ(caption(tree.treeWidget(), cam1.topItem->child(13)), "Extrinsics");
    EXPECT_EQ(caption(tree.treeWidget(), cam1.valueItems[SensorObject::Yaw]), "yaw [deg]");
    EXPECT_TRUE(cam1.valueItems[SensorObject::K4]->isHidden());
    EXPECT_FALSE(cam1.valueItems[SensorObject::K3]->isHidden());
    const NoScrollSpinBox* fx = cam1.spin(SensorObject::Fx);
    EXPECT_EQ(fx->decimals(), 6);
    EXPECT_EQ(fx->minimum(), -1e8);
    EXPECT_EQ(fx->maximum(), 1e8);
    EXPECT_EQ(fx->focusPolicy(), Qt::StrongFocus);
}

TEST_F(SensorTreeTest, IdsAreNotReusedUntilClear)
{
    for (int i = 0; i < 3; ++i)
        tree.addObject();
    SignalLog log(tree);
    tree.sensorList().objects[1]->removeButton->click();
    EXPECT_EQ(log.events, QStringList({"remove1", "names"}));
    ASSERT_EQ(tree.sensorList().objects.size(), 2u);
    EXPECT_EQ(tree.sensorList().objects[0]->name, "Cam0");
    EXPECT_EQ(tree.sensorList().objects[1]->name, "Cam2");
    EXPECT_EQ(tree.treeWidget()->topLevelItemCount(), 2);
    tree.addObject();
    EXPECT_EQ(tree.sensorList().objects.back()->name, "Cam3");

    log.events.clear();
    tree.removeObject(42);
    EXPECT_TRUE(log.events.isEmpty()) << "an unknown id changes nothing";

    tree.clear();
    EXPECT_EQ(log.events, QStringList({"remove0", "remove2", "remove3", "scene", "names"}));
    EXPECT_EQ(tree.treeWidget()->topLevelItemCount(), 0);
    EXPECT_EQ(tree.addObject()->name, "Cam0");
}

TEST_F(SensorTreeTest, TrashClickInTheShownTreeLeavesNoWidgetBehind)
{
    for (int i = 0; i < 3; ++i)
        tree.addObject();
    tree.resize(300, 900);
    tree.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&tree));
    tree.treeWidget()->expandAll();
    runEventLoop(20);

    const auto middle = tree.sensorList().objects[1];
    QPointer<QPushButton> trash = middle->removeButton;
    QPointer<QWidget> spin = middle->spin(SensorObject::Fx);
    QPointer<QWidget> caption = tree.treeWidget()->itemWidget(middle->valueItems[SensorObject::Fx], 0);
    QPointer<QWidget> open = middle->openIntrinsicsButton;
    ASSERT_TRUE(trash->isVisible());
    SignalLog log(tree);
    QTest::mouseClick(trash, Qt::LeftButton);
    EXPECT_EQ(log.events, QStringList({"remove1", "names"}));
    EXPECT_EQ(tree.treeWidget()->topLevelItemCount(), 2);
    EXPECT_EQ(middle->topItem, nullptr);
    // Layout and paint passes, then the deferred deletions: the row's widgets are gone for good.
    runEventLoop(50);
    tree.treeWidget()->viewport()->repaint();
    EXPECT_TRUE(trash.isNull());
    EXPECT_TRUE(spin.isNull());
    EXPECT_TRUE(caption.isNull());
    EXPECT_TRUE(open.isNull());

    // The other rows keep theirs and still work.
    const auto last = tree.sensorList().objects[1];
    EXPECT_EQ(last->name, "Cam2");
    last->spin(SensorObject::Tx)->setValue(12.5);
    EXPECT_EQ(last->t(0), 12.5);
    QPointer<QWidget> lastTrash = last->removeButton;
    tree.clear();
    runEventLoop(50);
    EXPECT_TRUE(lastTrash.isNull());
    EXPECT_TRUE(tree.treeWidget()->viewport()->findChildren<QWidget*>().isEmpty());
}

TEST_F(SensorTreeTest, RenameThroughTheRowAndEmptyName)
{
    tree.addObject();
    SignalLog log(tree);
    tree.sensorList().objects[0]->topItem->setText(0, "Left");
    EXPECT_EQ(tree.sensorList().objects[0]->name, "Left");
    EXPECT_EQ(log.events, QStringList({"scene", "names"}));
    tree.renameObject(0, "");
    EXPECT_EQ(tree.sensorList().objects[0]->name, "");
    log.events.clear();
    tree.sensorList().objects[0]->topItem->setText(1, "ignored");
    EXPECT_TRUE(log.events.isEmpty());
}

TEST_F(SensorTreeTest, IntrinsicsHandOverShowsAndHidesRationalRows)
{
    const auto o = tree.addObject();
    cv::Mat K = (cv::Mat_<double>(3, 3) << 1000, 0, 640, 0, 1010, 480, 0, 0, 1);
    cv::Mat kc8 = (cv::Mat_<double>(8, 1) << 0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8); // a column
    SignalLog log(tree);
    tree.UpdateIntrinsicsForId(0, K, kc8, cv::Size(1280, 960));
    EXPECT_EQ(log.events, QStringList({"scene", "names"}));
    EXPECT_EQ(o->kc.rows, 1);
    EXPECT_EQ(o->kc.cols, 8);
    EXPECT_EQ(o->imgSize, cv::Size(1280, 960));
    EXPECT_EQ(o->spin(SensorObject::Fy)->value(), 1010);
    EXPECT_EQ(o->spin(SensorObject::P1)->value(), 0.3);
    EXPECT_EQ(o->spin(SensorObject::K3)->value(), 0.5);
    EXPECT_EQ(o->spin(SensorObject::K6)->value(), 0.8);
    EXPECT_FALSE(o->valueItems[SensorObject::K4]->isHidden());

    cv::Mat kc5 = (cv::Mat_<double>(1, 5) << -0.1, 0.01, 0, 0, 0.002);
    tree.UpdateIntrinsicsForId(0, K, kc5, cv::Size(1280, 960));
    EXPECT_EQ(o->kc.cols, 5);
    EXPECT_TRUE(o->valueItems[SensorObject::K4]->isHidden());
    EXPECT_EQ(o->spin(SensorObject::K4)->value(), 0.0);
    EXPECT_EQ(o->spin(SensorObject::K1)->value(), -0.1);

    log.events.clear();
    tree.UpdateIntrinsicsForId(7, K, kc5, cv::Size());
    EXPECT_TRUE(log.events.isEmpty());
}

TEST_F(SensorTreeTest, SpinBoxEditsReachTheObject)
{
    const auto o = tree.addObject();
    tree.UpdateIntrinsicsForId(0, cv::Mat::eye(3, 3, CV_64F), cv::Mat::zeros(1, 8, CV_64F), cv::Size(10, 10));
    SignalLog log(tree);
    o->spin(SensorObject::Cx)->setValue(321.5);
    EXPECT_EQ(o->K.at<double>(0, 2), 321.5);
    EXPECT_EQ(log.events, QStringList({"scene", "names"}));
    o->spin(SensorObject::K3)->setValue(0.25);
    o->spin(SensorObject::K5)->setValue(0.75);
    EXPECT_EQ(o->kc.at<double>(4), 0.25);
    EXPECT_EQ(o->kc.at<double>(6), 0.75);

    o->spin(SensorObject::Yaw)->setValue(90);
    EXPECT_LT(cv::norm(cv::Mat(o->R), cv::Mat(cv::Matx33d(1, 0, 0, 0, 0, 1, 0, -1, 0))), 1e-12);
    o->spin(SensorObject::Tz)->setValue(-20);
    EXPECT_EQ(o->t(2), -20);
}

TEST_F(SensorTreeTest, RelativePoseAndSameIdDoesNothing)
{
    tree.addObject();
    const auto o1 = tree.addObject();
    SignalLog log(tree);
    tree.UpdateExtrinsicsForId(1, 1, anglesToRotation({10, 0, 0}), cv::Matx31d(5, 5, 5));
    EXPECT_TRUE(log.events.isEmpty());
    EXPECT_EQ(o1->t, cv::Matx31d(0, 100, 0));

    // Object 1 placed 200 mm along x of object 0 (which sits at the origin).
    tree.UpdateExtrinsicsForId(0, 1, anglesToRotation({0, 0, 90}), cv::Matx31d(200, 0, 0));
    EXPECT_EQ(o1->t, cv::Matx31d(200, 0, 0));
    EXPECT_NEAR(o1->spin(SensorObject::Yaw)->value(), 90, 1e-9);
    EXPECT_EQ(o1->spin(SensorObject::Tx)->value(), 200);
    EXPECT_EQ(log.events, QStringList({"scene", "names"}));
}

TEST_F(SensorTreeTest, GetIntrinsicsHandsACopyAndFixesTheStoredMatrix)
{
    tree.addObject();
    cv::Mat K, kc;
    cv::Size size(1, 1);
    tree.GetIntrinsicsForId(0, K, kc, size);
    EXPECT_EQ(cv::countNonZero(K), 0) << "the copy keeps the zero matrix";
    EXPECT_EQ(tree.sensorList().objects[0]->K.at<double>(2, 2), 1.0);
    EXPECT_EQ(size, cv::Size(0, 0));
    K.at<double>(0, 0) = 5;
    EXPECT_EQ(tree.sensorList().objects[0]->K.at<double>(0, 0), 0) << "a copy, not the stored matrix";

    cv::Mat untouched = cv::Mat::ones(2, 2, CV_64F);
    tree.GetIntrinsicsForId(9, untouched, kc, size);
    EXPECT_EQ(untouched.rows, 2);
}

TEST_F(SensorTreeTest, WheelOverUnfocusedSpinBoxLeavesTheValue)
{
    tree.resize(300, 600);
    const auto o = tree.addObject();
    tree.treeWidget()->expandAll();
    tree.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&tree));
    NoScrollSpinBox* box = o->spin(SensorObject::Fx);
    box->clearFocus();
    QWheelEvent wheel(QPointF(5, 5), box->mapToGlobal(QPointF(5, 5)), QPoint(), QPoint(0, 120), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(box, &wheel);
    EXPECT_EQ(box->value(), 0.0);
    EXPECT_FALSE(wheel.isAccepted());

    tree.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&tree));
    box->setFocus();
    QApplication::processEvents();
    ASSERT_TRUE(box->hasFocus());
    QWheelEvent focused(QPointF(5, 5), box->mapToGlobal(QPointF(5, 5)), QPoint(), QPoint(0, 120), Qt::NoButton,
                        Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(box, &focused);
    EXPECT_EQ(box->value(), 1.0);
}

TEST_F(SensorTreeTest, OpenIntrinsicsFileGoodAndBad)
{
    QTemporaryDir dir;
    const auto o = tree.addObject();
    QString answer;
    QStringList boxes;
    vantiro::dialogs::setFileHandler([&](const FileRequest& r) {
        EXPECT_EQ(r.caption, "Open Intrinsic Parameters");
        EXPECT_EQ(r.filter, "Intrinsics (*.yml)");
        return QStringList{answer};
    });
    vantiro::dialogs::setMessageHandler([&](const MessageRequest& r) {
        boxes << r.title + "|" + r.text;
        return QMessageBox::Ok;
    });

    answer = vantiro::test::pathIn(dir, "good.intrinsics.yml");
    {
        cv::FileStorage fs(answer.toStdString(), cv::FileStorage::WRITE);
        fs << "imgSize" << cv::Size(640, 480);
        fs << "K" << (cv::Mat_<double>(3, 3) << 800, 0, 320, 0, 805, 240, 0, 0, 1);
        fs << "kc" << (cv::Mat_<double>(8, 1) << 1, 2, 3, 4, 5, 6, 7, 8);
    }
    SignalLog log(tree);
    tree.openIntrinsics(0);
    EXPECT_TRUE(boxes.isEmpty());
    EXPECT_EQ(log.events, QStringList({"scene"}));
    EXPECT_EQ(o->imgSize, cv::Size(640, 480));
    EXPECT_EQ(o->spin(SensorObject::Fy)->value(), 805);
    EXPECT_EQ(o->spin(SensorObject::K3)->value(), 5);
    EXPECT_EQ(o->spin(SensorObject::P2)->value(), 4);
    EXPECT_EQ(o->spin(SensorObject::K6)->value(), 8);
    EXPECT_FALSE(o->valueItems[SensorObject::K4]->isHidden());
    EXPECT_EQ(o->kc.rows, 1);

    answer = vantiro::test::pathIn(dir, "garbage.yml");
    QFile f(answer);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("%YAML:1.0\nK: [[[ :: \x01");
    f.close();
    tree.openIntrinsics(0);
    ASSERT_EQ(boxes.size(), 1);
    EXPECT_EQ(boxes[0], "Error|Can't open the " + answer);
    EXPECT_EQ(o->spin(SensorObject::Fy)->value(), 805) << "nothing changed";

    // The parser throws a standard exception on these 16 bytes, not its own type.
    answer = vantiro::test::pathIn(dir, "length-error.yml");
    {
        QFile e(answer);
        ASSERT_TRUE(e.open(QIODevice::WriteOnly));
        e.write(QByteArray("%YAML:1.\n t:3\n :", 16));
    }
    tree.openIntrinsics(0);
    ASSERT_EQ(boxes.size(), 2);
    EXPECT_TRUE(boxes[1].startsWith("Error|Can't open the " + answer)) << boxes[1].toStdString();
    EXPECT_EQ(o->spin(SensorObject::Fy)->value(), 805) << "nothing changed";
    boxes.removeLast();

    answer = vantiro::test::pathIn(dir, "bad.yml");
    {
        cv::FileStorage fs(answer.toStdString(), cv::FileStorage::WRITE);
        fs << "K" << cv::Mat::eye(2, 2, CV_64F);
    }
    tree.openIntrinsics(0);
    ASSERT_EQ(boxes.size(), 2);
    EXPECT_TRUE(boxes[1].startsWith("Error|Can't read the intrinsics in ")) << boxes[1].toStdString();
    EXPECT_EQ(o->K.rows, 3);

    answer.clear();
    tree.openIntrinsics(0);
    EXPECT_EQ(boxes.size(), 2) << "a cancelled chooser does nothing";
}
