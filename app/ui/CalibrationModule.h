#pragma once
#include <QDialog>

#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "app/LogSink.h"
#include "sensors/ui/SensorObject.h"

class QComboBox;
class QListWidget;
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

    // The boxes that choose objects, as the last refill found them.
    const std::vector<QComboBox*>& sensorCombos() const { return m_sensorCombos; }

    // The object shown in a combo box row, or nullptr.
    std::shared_ptr<SensorObject> objectAtRow(int row) const;

    // The working directory as the main window last stored it.
    static QString workingDirectory();
    // Whether one folder string starts with the other (case-sensitive): images from inside the
    // working directory, or from a folder that contains it, are not worth a warning.
    static bool foldersRelated(const QString& imageFolder, const QString& workingDirectory);
    // The orange warning of an image list loaded from outside the working directory; the stereo
    // module's text has no "Warning: " in front.
    static void warnAboutImageFolder(QTextEdit* log, const QStringList& files, bool withPrefix = true);
    // File names only, every item user-checkable and checked, first row selected.
    static void fillImageList(QListWidget* list, const QStringList& files);

protected:
    // Asks the application for a fresh list (each module emits its own getSensorList).
    virtual void requestSensorList(SensorObjectList& list) = 0;

    // Refills the boxes from a fresh list; each box keeps the object it showed, by id.
    void refillSensorCombos(const std::vector<QComboBox*>& combos);

    // The Calibrate/Abort toggle: a click while busy only requests the abort. Returns
    // false when the click was an abort request; otherwise runs routine with the button
    // relabelled "Abort" and restores idleText and the idle state afterwards, whatever the
    // routine throws; what it throws goes into log in red (by default the module's "text_log").
    bool runOrAbort(QPushButton* button, const QString& idleText, const std::function<void()>& routine,
                    QTextEdit* log = nullptr);

    // Called between images: lets events through; true (and a red line) when the user aborted.
    bool checkAbort(QTextEdit* log);
    // The same for core routines, which write the abort line into their own log.
    vantiro::AbortCheck abortCheck();

    // The image-list loader: asks for image files (multi-selection, starting in the working
    // directory, with the given title). Cancel returns an empty list and changes nothing.
    // Otherwise warns about a foreign folder, calls resetState with the files (the module drops
    // its per-image data there) and refills list. Returns the files in the order chosen.
    QStringList loadImageList(QListWidget* list, QTextEdit* log, const QString& title,
                              const std::function<void(const QStringList&)>& resetState, bool warningPrefix = true);

    SensorObjectList m_sensorList;
    std::map<int, std::shared_ptr<SensorObject>> m_comboRows;
    std::vector<QComboBox*> m_sensorCombos;
    bool m_busy = false;
    bool m_abortRequested = false;
};
