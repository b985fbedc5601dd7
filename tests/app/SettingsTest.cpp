#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>

#include "app/Settings.h"
#include "support/TestSupport.h"

class SettingsTest : public ::testing::Test
{
protected:
    void SetUp() override { vantiro::test::resetUserSettings(); }
    void TearDown() override { vantiro::test::resetUserSettings(); }
};

TEST_F(SettingsTest, TestsNeverUseTheRealConfiguration)
{
    EXPECT_TRUE(QStandardPaths::isTestModeEnabled());
    EXPECT_TRUE(vantiro::userSettingsFile().contains("qttest")) << vantiro::userSettingsFile().toStdString();
}

TEST_F(SettingsTest, MissingKeyReturnsDefaultAndWritesItBack)
{
    EXPECT_EQ(readSetting("UseDarkTheme", true).toBool(), true);
    QSettings store(vantiro::userSettingsFile(), QSettings::IniFormat);
    EXPECT_EQ(store.value("UseDarkTheme").toString(), "true");

    // Stored values come back as strings and win over the default.
    writeSetting("UseDarkTheme", false);
    const QVariant v = readSetting("UseDarkTheme", true);
    EXPECT_EQ(v.typeId(), QMetaType::QString);
    EXPECT_FALSE(v.toBool());

    // An empty value counts as missing.
    writeSetting("Experimental/RadonTarget", "");
    EXPECT_FALSE(readSetting("Experimental/RadonTarget", false).toBool());
    QSettings again(vantiro::userSettingsFile(), QSettings::IniFormat);
    EXPECT_EQ(again.value("Experimental/RadonTarget").toString(), "false");
}

TEST_F(SettingsTest, BothOrganisationSpellingsReachOneFile)
{
    // The application object says "TNQ e.V", other code opens "TNQ e.V.".
    ASSERT_EQ(QCoreApplication::organizationName(), "TNQ e.V");
    writeSetting("MainWindow/comboBox_WorkingDirectory", "/some/where");
    QSettings byExplicitName(QSettings::IniFormat, QSettings::UserScope, "TNQ e.V.", "Vantiro");
    EXPECT_EQ(byExplicitName.fileName(), vantiro::userSettingsFile());
    EXPECT_EQ(byExplicitName.value("MainWindow/comboBox_WorkingDirectory").toString(), "/some/where");
    byExplicitName.setValue("DynamicMinMaxColorMapping", true);
    byExplicitName.sync();
    EXPECT_TRUE(readSetting("DynamicMinMaxColorMapping", false).toBool());
}

TEST_F(SettingsTest, PerDirectoryFileAndGarbage)
{
    QTemporaryDir dir;
    const QString ini = vantiro::test::pathIn(dir, "MainWindowSettings.ini");
    writeSetting("MainWindowSettings/spinBox_ChessboardNumSquaresX", 12, ini);
    EXPECT_EQ(readSetting("MainWindowSettings/spinBox_ChessboardNumSquaresX", 10, ini).toInt(), 12);
    EXPECT_EQ(readSetting("MainWindowSettings/spinBox_ChessboardNumSquaresX", 10).toInt(), 10)
        << "the per-user store is a different file";

    QFile f(ini);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("\x00\xff garbage [[[\n=====\nMainWindowSettings/spin_proj_width=abc\n", 60);
    f.close();
    bool ok = true;
    const int width = readSetting("MainWindowSettings/spin_proj_width", 1024, ini).toInt(&ok);
    EXPECT_FALSE(ok && width != 1024) << "garbage must not turn into a number";
}
