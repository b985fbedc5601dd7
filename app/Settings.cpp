#include "app/Settings.h"

#include <QCoreApplication>
#include <QSettings>

namespace vantiro {

void setApplicationIdentity()
{
    QCoreApplication::setOrganizationName(QString::fromUtf8(kApplicationOrganisation));
    QCoreApplication::setOrganizationDomain(QString::fromUtf8(kOrganisationDomain));
    QCoreApplication::setApplicationName(QString::fromUtf8(kApplicationName));
}

QString userSettingsFile()
{
    const QSettings probe(QSettings::IniFormat, QSettings::UserScope, QString::fromUtf8(kOrganisation),
                          QString::fromUtf8(kApplicationName));
    return probe.fileName();
}

std::unique_ptr<QSettings> openSettings(const QString& fileName)
{
    return std::make_unique<QSettings>(fileName.isEmpty() ? userSettingsFile() : fileName, QSettings::IniFormat);
}

namespace {
bool g_dynamicMinMax = false;
}

void setDynamicMinMaxColorMapping(bool on)
{
    g_dynamicMinMax = on;
}

bool dynamicMinMaxColorMapping()
{
    return g_dynamicMinMax;
}

} // namespace vantiro

QVariant readSetting(const QString& key, const QVariant& defaultValue, const QString& fileName)
{
    auto settings = vantiro::openSettings(fileName);
    const QString value = settings->value(key).toString();
    if (value.isEmpty()) {
        settings->setValue(key, defaultValue);
        return defaultValue;
    }
    return QVariant(value);
}

void writeSetting(const QString& key, const QVariant& value, const QString& fileName)
{
    vantiro::openSettings(fileName)->setValue(key, value);
}
