#include "app/ui/CalibrationModule.h"

#include <QApplication>
#include <QComboBox>
#include <QFileInfo>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTextEdit>

#include "app/Settings.h"
#include "app/ui/Dialogs.h"
#include "app/ui/Log.h"
#include "app/ui/SlotGuard.h"

CalibrationModule::CalibrationModule(const SensorObjectList& sensorList, QWidget* parent)
    : QDialog(parent), m_sensorList(sensorList)
{
}

std::shared_ptr<SensorObject> CalibrationModule::objectAtRow(int row) const
{
    const auto it = m_comboRows.find(row);
    return it == m_comboRows.end() ? nullptr : it->second;
}

void CalibrationModule::refillSensorCombos(const std::vector<QComboBox*>& combos)
{
    m_sensorCombos = combos;
    std::vector<int> remembered;
    for (QComboBox* c : combos) {
        const auto o = objectAtRow(c->currentIndex());
        remembered.push_back(o ? o->id : -1);
    }
    requestSensorList(m_sensorList);
    m_comboRows.clear();
    std::vector<int> selection(combos.size(), -1);
    for (QComboBox* c : combos)
        c->clear();
    for (size_t row = 0; row < m_sensorList.objects.size(); ++row) {
        const auto& o = m_sensorList.objects[row];
        for (size_t k = 0; k < combos.size(); ++k) {
            combos[k]->addItem(o->name);
            if (remembered[k] == o->id)
                selection[k] = int(row);
        }
        m_comboRows[int(row)] = o;
    }
    for (size_t k = 0; k < combos.size(); ++k)
        if (selection[k] >= 0)
            combos[k]->setCurrentIndex(selection[k]);
}

bool CalibrationModule::runOrAbort(QPushButton* button, const QString& idleText, const std::function<void()>& routine,
                                   QTextEdit* log)
{
    if (m_busy) {
        m_abortRequested = true;
        return false;
    }
    // Back to idle however the routine ends: a button left on "Abort" would turn every later
    // click into an abort request of a run that no longer exists.
    struct IdleAgain
    {
        CalibrationModule* module;
        QPointer<QPushButton> button;
        QString text;
        ~IdleAgain()
        {
            module->m_busy = false;
            if (button)
                button->setText(text);
        }
    };
    m_abortRequested = false;
    m_busy = true;
    const IdleAgain idle{this, button, idleText};
    button->setText(QStringLiteral("Abort"));
    guardWithLog(log ? log : findChild<QTextEdit*>(QStringLiteral("text_log")), routine);
    return true;
}

bool CalibrationModule::checkAbort(QTextEdit* log)
{
    QApplication::processEvents();
    if (!m_abortRequested)
        return false;
    appendLog(log, QStringLiteral("Calibration aborted \n\n"), Qt::red);
    m_busy = false;
    return true;
}

vantiro::AbortCheck CalibrationModule::abortCheck()
{
    // The run stays busy until the routine returns (runOrAbort clears it): after an abort the
    // routine still processes events while detections in flight finish, and a click then must
    // not start a second run inside the first.
    return [this] {
        QApplication::processEvents();
        return m_abortRequested;
    };
}

QString CalibrationModule::workingDirectory()
{
    return vantiro::openSettings()->value(QStringLiteral("MainWindow/comboBox_WorkingDirectory")).toString();
}

bool CalibrationModule::foldersRelated(const QString& imageFolder, const QString& workingDirectory)
{
    return imageFolder.startsWith(workingDirectory, Qt::CaseSensitive) ||
           workingDirectory.startsWith(imageFolder, Qt::CaseSensitive);
}

void CalibrationModule::warnAboutImageFolder(QTextEdit* log, const QStringList& files, bool withPrefix)
{
    if (files.isEmpty())
        return;
    if (foldersRelated(QFileInfo(files.front()).absolutePath(), workingDirectory()))
        return;
    const QString text = QStringLiteral(
        "Current Directory and working directory are different, settings will be saved in working directory\n\n");
    appendLog(log, withPrefix ? QStringLiteral("Warning: ") + text : text, QColor(QStringLiteral("orange")));
}

void CalibrationModule::fillImageList(QListWidget* list, const QStringList& files)
{
    list->clear();
    for (const QString& file : files) {
        auto* item = new QListWidgetItem(QFileInfo(file).fileName(), list);
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setCheckState(Qt::Checked);
    }
    if (list->count() > 0)
        list->setCurrentRow(0);
}

QStringList CalibrationModule::loadImageList(QListWidget* list, QTextEdit* log, const QString& title,
                                             const std::function<void(const QStringList&)>& resetState,
                                             bool warningPrefix)
{
    const QStringList files = vantiro::dialogs::openFileNames(
        this, title, workingDirectory(),
        QStringLiteral("Image Files (*.png *.jpg *.jpeg *.tif *.tiff *.bmp);; All files (*.*)"));
    if (files.isEmpty())
        return files;
    warnAboutImageFolder(log, files, warningPrefix);
    if (resetState)
        resetState(files);
    fillImageList(list, files);
    return files;
}
