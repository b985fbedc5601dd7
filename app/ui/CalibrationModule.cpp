#include "app/ui/CalibrationModule.h"

#include <QApplication>
#include <QComboBox>
#include <QPushButton>
#include <QSignalBlocker>

#include "app/ui/Log.h"

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

bool CalibrationModule::runOrAbort(QPushButton* button, const QString& idleText, const std::function<void()>& routine)
{
    if (m_busy) {
        m_abortRequested = true;
        return false;
    }
    m_abortRequested = false;
    m_busy = true;
    button->setText(QStringLiteral("Abort"));
    routine();
    m_busy = false;
    button->setText(idleText);
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
