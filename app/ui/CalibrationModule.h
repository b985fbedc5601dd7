#pragma once
#include <QDialog>

#include <map>
#include <memory>
#include <vector>

#include "sensors/ui/SensorObject.h"

class QComboBox;
class QPushButton;
class QTextEdit;

// What every calibration module window shares: its copy of the object list, the combo
// boxes that choose objects, and the busy/abort state of a run.
class CalibrationModule : public QDialog
{
    Q_OBJECT

public:
    explicit CalibrationModule(const SensorObjectList& sensorList, QWidget* parent = nullptr);

    bool busy() const { return m_busy; }
    bool abortRequested() const { return m_abortRequested; }

    // The object shown in a combo box row, or nullptr.
    std::shared_ptr<SensorObject> objectAtRow(int row) const;

protected:
    // Asks the application for a fresh list (each module emits its own getSensorList).
    virtual void requestSensorList(SensorObjectList& list) = 0;

    // Refills the boxes from a fresh list; each box keeps the object it showed, by id.
    void refillSensorCombos(const std::vector<QComboBox*>& combos);

    // The Calibrate/Abort toggle: a click while busy only requests the abort. Returns
    // false when the click was an abort request; otherwise runs routine with the button
    // relabelled "Abort" and restores idleText afterwards.
    bool runOrAbort(QPushButton* button, const QString& idleText, const std::function<void()>& routine);

    // Called between images: lets events through; true (and a red line) when the user aborted.
    bool checkAbort(QTextEdit* log);

    SensorObjectList m_sensorList;
    std::map<int, std::shared_ptr<SensorObject>> m_comboRows;
    bool m_busy = false;
    bool m_abortRequested = false;
};
