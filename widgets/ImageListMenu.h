#pragma once
#include <QPoint>
#include <Qt>

#include <functional>

class QAbstractItemModel;
class QAbstractItemView;
class QListWidget;
class QWidget;

// The "Check All" / "Uncheck All" context menu of the modules' image lists.
namespace TNQ {

// Every item becomes user-checkable and gets state.
void setAllChecked(QListWidget* list, Qt::CheckState state);
// As above for list; item i of follower, where it exists, gets the same state
// (a stereo pair of lists that must stay in step).
void setAllChecked(QListWidget* list, QListWidget* follower, Qt::CheckState state);
// Every top-level row (column 0) of model gets state through Qt::CheckStateRole.
void setAllTopLevelChecked(QAbstractItemModel* model, Qt::CheckState state);

// Shows the two-action menu at globalPos and calls apply with Checked or Unchecked
// for the action chosen; returns when the menu closes.
void execCheckAllMenu(QWidget* parent, const QPoint& globalPos, const std::function<void(Qt::CheckState)>& apply);

// Context-menu handlers; pos as given by customContextMenuRequested (viewport coordinates).
void showCheckAllMenu(QListWidget* list, const QPoint& pos);
void showCheckAllMenu(QListWidget* list, QListWidget* follower, const QPoint& pos);
void showCheckAllMenu(QAbstractItemView* tree, const QPoint& pos);

// Switch the view to a custom context menu and connect it to the handlers above.
void installCheckAllMenu(QListWidget* list);
void installCheckAllMenu(QListWidget* list, QListWidget* follower);
void installCheckAllMenu(QAbstractItemView* tree);

} // namespace TNQ
