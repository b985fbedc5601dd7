#include "widgets/ImageListMenu.h"

#include <QApplication>
#include <QListWidget>
#include <QMenu>
#include <QStandardItemModel>
#include <QTimer>
#include <QTreeView>
#include <gtest/gtest.h>

namespace {

using States = std::vector<Qt::CheckState>;
constexpr Qt::CheckState U = Qt::Unchecked, C = Qt::Checked;

// The check states of a list; every item must have become user-checkable.
States states(const QListWidget& list)
{
    States result;
    for (int i = 0; i < list.count(); ++i)
        result.push_back(list.item(i)->flags() & Qt::ItemIsUserCheckable ? list.item(i)->checkState()
                                                                          : Qt::PartiallyChecked);
    return result;
}

// Opens the context menu of view at pos and picks action choice; returns the action texts
// and where the menu showed.
std::pair<QStringList, QPoint> useMenu(QWidget* view, QPoint pos, int choice)
{
    std::pair<QStringList, QPoint> seen;
    QTimer::singleShot(0, [&seen, choice] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        ASSERT_NE(menu, nullptr);
        seen.second = menu->pos();
        for (QAction* action : menu->actions())
            seen.first << action->text();
        menu->actions().at(choice)->trigger();
        menu->close();
    });
    emit view->customContextMenuRequested(pos);
    return seen;
}

} // namespace

TEST(ImageListMenu, StereoListsFollowItemByItemAndTreesSetTheirSets)
{
    // Five images not yet checkable; three with the middle one checked.
    QListWidget primary, secondary;
    for (int i = 0; i < 5; ++i)
        new QListWidgetItem(QStringLiteral("img%1.png").arg(i), &primary);
    for (int i = 0; i < 3; ++i)
        (new QListWidgetItem(QStringLiteral("img%1.png").arg(i), &secondary))->setCheckState(i == 1 ? C : U);
    TNQ::installCheckAllMenu(&primary, &secondary);
    TNQ::installCheckAllMenu(&secondary, &primary);

    // From the longer list the surplus is checked alone; the menu opens where it was asked for.
    const auto [texts, shownAt] = useMenu(&primary, QPoint(12, 34), 0);
    EXPECT_EQ(texts, (QStringList{"Check All", "Uncheck All"}));
    EXPECT_EQ(shownAt, primary.viewport()->mapToGlobal(QPoint(12, 34)));
    EXPECT_EQ(states(primary), States(5, C));
    EXPECT_EQ(states(secondary), States(3, C));
    // From the shorter list only the first three of the longer one follow.
    useMenu(&secondary, QPoint(5, 5), 1);
    EXPECT_EQ(states(secondary), States(3, U));
    EXPECT_EQ(states(primary), (States{U, U, U, C, C}));

    // A tree of image sets: the sets' rows change through the model, their images do not.
    QStandardItemModel model;
    for (int set = 0; set < 3; ++set)
    {
        auto* row = new QStandardItem(QStringLiteral("set%1").arg(set));
        row->setCheckable(true);
        row->appendRow(new QStandardItem(QStringLiteral("00.png")));
        row->child(0)->setCheckState(C);
        model.appendRow(row);
    }
    QTreeView tree;
    tree.setModel(&model);
    TNQ::installCheckAllMenu(&tree);
    for (const auto& [choice, state] : {std::pair{0, C}, std::pair{1, U}})
    {
        useMenu(&tree, QPoint(5, 5), choice);
        for (int set = 0; set < 3; ++set)
            EXPECT_EQ(std::make_pair(model.item(set)->checkState(), model.item(set)->child(0)->checkState()),
                      std::make_pair(state, C)) << set;
    }
}
