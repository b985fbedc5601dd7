#pragma once
#include <QString>
#include <QVariant>

#include <memory>

#include <QSettings>

namespace vantiro {

// Names of the per-user store. The application object carries the organisation
// "TNQ e.V" while the store is addressed as "TNQ e.V."; on Linux those would be two
// folders, so every per-user access goes through userSettingsFile().
inline constexpr const char* kOrganisation = "TNQ e.V.";
inline constexpr const char* kApplicationOrganisation = "TNQ e.V";
inline constexpr const char* kApplicationName = "Vantiro";
inline constexpr const char* kOrganisationDomain = "https://www.tnq-ev.org";

// Sets organisation, domain and application name on QCoreApplication (before it exists).
void setApplicationIdentity();

// Path of the per-user INI file, whichever organisation spelling the caller has.
QString userSettingsFile();

// The per-user store (fileName empty) or the INI file fileName.
std::unique_ptr<QSettings> openSettings(const QString& fileName = QString());

// Process-wide switch read once at start-up ("DynamicMinMaxColorMapping"): per-point error
// colours follow the caller's minimum and maximum instead of the fixed scale.
void setDynamicMinMaxColorMapping(bool on);
bool dynamicMinMaxColorMapping();

} // namespace vantiro

// Reads key; a missing or empty value is replaced by defaultValue, which is also
// written back into the same store. The result is the stored string as a variant.
QVariant readSetting(const QString& key, const QVariant& defaultValue, const QString& fileName = QString());

void writeSetting(const QString& key, const QVariant& value, const QString& fileName = QString());
