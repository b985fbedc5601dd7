#include "widgets/ImageListMenu.h"

#include <QAction>
#include <QApplication>
#include <QListWidget>
#include <QMenu>
#include <QStandardItemModel>
#include <QTimer>
#include <QTreeView>
#include <gtest/gtest.h>

namespace {

using States = std::vector<Qt::CheckState>;

// Items 1, 3, ... checked; none checkable when checkable is false.
void fill(QListWidget& list, int n, bool checkable)
{
    for (int i = 0; i < n; ++i)
    {
        auto* item = new QListWidgetItem(QStringLiteral("img%1.png").arg(i), &list);
        if (checkable)
            item->setCheckState(i % 2 ? Qt::Checked : Qt::Unchecked);
        else
            item->setFlags(item->flags() & ~Qt::ItemIsUserCheckable);
    }
}

States states(const QListWidget& list)
{
    States result;
    for (int i = 0; i < list.count(); ++i)
    {
        EXPECT_TRUE(list.item(i)->flags() & Qt::ItemIsUserCheckable) << i;
        result.push_back(list.item(i)->checkState());
    }
    return result;
}

} // namespace

TEST(ImageListMenu, StereoListsFollowItemByItem)
{
    QListWidget primary;
    QListWidget secondary;
    fill(primary, 5, false);
    fill(secondary, 3, true);

    // A shorter second list: the surplus of the first list is checked alone;
    // items that were not checkable become so.
    TNQ::setAllChecked(&primary, &secondary, Qt::Checked);
    EXPECT_EQ(states(primary), States(5, Qt::Checked));
    EXPECT_EQ(states(secondary), States(3, Qt::Checked));

    // From the shorter list only the first three of the longer one follow.
    TNQ::setAllChecked(&secondary, &primary, Qt::Unchecked);
    EXPECT_EQ(states(secondary), States(3, Qt::Unchecked));
    EXPECT_EQ(states(primary), (States{Qt::Unchecked, Qt::Unchecked, Qt::Unchecked, Qt::Checked, Qt::Checked}));

    // A single list.
    TNQ::setAllChecked(&primary, Qt::Unchecked);
    EXPECT_EQ(states(primary), States(5, Qt::Unchecked));
    EXPECT_EQ(states(secondary), States(3, Qt::Unchecked));
}

TEST(ImageListMenu, ContextMenuOnAListAppliesTheChosenAction)
{
    QListWidget primary;
    QListWidget secondary;
    fill(primary, 4, true);
    fill(secondary, 4, true);
    TNQ::installCheckAllMenu(&primary, &secondary);
    primary.resize(200, 200);
    primary.show();
    QApplication::processEvents();

    QStringList texts;
    QPoint pos;
    QTimer::singleShot(0, [&texts, &pos] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        ASSERT_NE(menu, nullptr);
        pos = menu->pos();
        for (QAction* action : menu->actions())
            texts << action->text();
        menu->actions().at(0)->trigger();
        menu->close();
    });
    const QPoint requested(12, 34);
    emit primary.customContextMenuRequested(requested);
    EXPECT_EQ(texts, (QStringList{QStringLiteral("Check All"), QStringLiteral("Uncheck All")}));
    EXPECT_EQ(pos, primary.viewport()->mapToGlobal(requested));
    EXPECT_EQ(states(primary), States(4, Qt::Checked));
    EXPECT_EQ(states(secondary), States(4, Qt::Checked));

    // Closing the menu without a choice changes nothing.
    QTimer::singleShot(0, [] {
        QWidget* popup = QApplication::activePopupWidget();
        ASSERT_NE(popup, nullptr);
        popup->close();
    });
    emit primary.customContextMenuRequested(requested);
    EXPECT_EQ(states(primary), States(4, Qt::Checked));
}

TEST(ImageListMenu, TreeMenuSetsTheTopLevelRowsThroughTheModel)
{
    QStandardItemModel model;
    for (int set = 0; set < 3; ++set)
    {
        auto* row = new QStandardItem(QStringLiteral("set%1").arg(set));
        row->setCheckable(true);
        row->setCheckState(set == 1 ? Qt::Unchecked : Qt::Checked);
        auto* image = new QStandardItem(QStringLiteral("#00 00.png"));
        image->setCheckable(true);
        image->setCheckState(Qt::Checked);
        row->appendRow(image);
        model.appendRow(row);
    }
    int changes = 0;
    QObject::connect(&model, &QAbstractItemModel::dataChanged, [&changes] { ++changes; });
    QTreeView tree;
    tree.setModel(&model);
    TNQ::installCheckAllMenu(&tree);
    tree.show();
    QApplication::processEvents();

    QTimer::singleShot(0, [] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        ASSERT_NE(menu, nullptr);
        menu->actions().at(1)->trigger(); // "Uncheck All"
        menu->close();
    });
    emit tree.customContextMenuRequested(QPoint(5, 5));
    for (int set = 0; set < 3; ++set)
    {
        EXPECT_EQ(model.item(set)->checkState(), Qt::Unchecked) << set;
        EXPECT_EQ(model.item(set)->child(0)->checkState(), Qt::Checked) << set; // images untouched
    }
    EXPECT_EQ(changes, 2); // the set already unchecked is left alone

    TNQ::setAllTopLevelChecked(&model, Qt::Checked);
    EXPECT_EQ(model.item(1)->checkState(), Qt::Checked);
}
