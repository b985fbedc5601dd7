#include "widgets/ImageListMenu.h"

#include <QAbstractItemModel>
#include <QAbstractItemView>
#include <QAction>
#include <QListWidget>
#include <QMenu>
#include <QPointer>

namespace TNQ {

namespace {

void setItemChecked(QListWidgetItem* item, Qt::CheckState state)
{
    item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
    item->setCheckState(state);
}

} // namespace

void setAllChecked(QListWidget* list, Qt::CheckState state)
{
    setAllChecked(list, nullptr, state);
}

void setAllChecked(QListWidget* list, QListWidget* follower, Qt::CheckState state)
{
    if (!list)
        return;
    for (int i = 0; i < list->count(); ++i)
    {
        setItemChecked(list->item(i), state);
        if (follower && i < follower->count())
            setItemChecked(follower->item(i), state);
    }
}

void setAllTopLevelChecked(QAbstractItemModel* model, Qt::CheckState state)
{
    if (!model)
        return;
    const int rows = model->rowCount();
    for (int row = 0; row < rows; ++row)
        model->setData(model->index(row, 0), int(state), Qt::CheckStateRole);
}

void execCheckAllMenu(QWidget* parent, const QPoint& globalPos, const std::function<void(Qt::CheckState)>& apply)
{
    // On the heap: if the parent is destroyed while the menu is open, it takes the
    // menu with it and the guard sees that.
    QPointer<QMenu> menu = new QMenu(parent);
    QObject::connect(menu->addAction(QStringLiteral("Check All")), &QAction::triggered, menu,
                     [&apply] { apply(Qt::Checked); });
    QObject::connect(menu->addAction(QStringLiteral("Uncheck All")), &QAction::triggered, menu,
                     [&apply] { apply(Qt::Unchecked); });
    menu->exec(globalPos);
    delete menu.data();
}

void showCheckAllMenu(QListWidget* list, const QPoint& pos)
{
    showCheckAllMenu(list, nullptr, pos);
}

void showCheckAllMenu(QListWidget* list, QListWidget* follower, const QPoint& pos)
{
    if (!list)
        return;
    // The lists may be gone when the menu returns (their window closed meanwhile).
    QPointer<QListWidget> first(list);
    QPointer<QListWidget> second(follower);
    execCheckAllMenu(list, list->viewport()->mapToGlobal(pos), [first, second](Qt::CheckState state) {
        if (first)
            setAllChecked(first, second, state);
    });
}

void showCheckAllMenu(QAbstractItemView* tree, const QPoint& pos)
{
    if (!tree)
        return;
    QPointer<QAbstractItemView> view(tree);
    execCheckAllMenu(tree, tree->viewport()->mapToGlobal(pos), [view](Qt::CheckState state) {
        if (view)
            setAllTopLevelChecked(view->model(), state);
    });
}

void installCheckAllMenu(QListWidget* list)
{
    installCheckAllMenu(list, nullptr);
}

void installCheckAllMenu(QListWidget* list, QListWidget* follower)
{
    list->setContextMenuPolicy(Qt::CustomContextMenu);
    QPointer<QListWidget> second(follower);
    QObject::connect(list, &QWidget::customContextMenuRequested, list,
                     [list, second](const QPoint& pos) { showCheckAllMenu(list, second.data(), pos); });
}

void installCheckAllMenu(QAbstractItemView* tree)
{
    tree->setContextMenuPolicy(Qt::CustomContextMenu);
    QObject::connect(tree, &QWidget::customContextMenuRequested, tree,
                     [tree](const QPoint& pos) { showCheckAllMenu(tree, pos); });
}

} // namespace TNQ
