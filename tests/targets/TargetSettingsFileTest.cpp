#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "support/TestSupport.h"
#include "targets/TargetSettingsFile.h"

namespace {

// A settings file as the main window writes it: [MainWindowSettings] and one key per widget.
QString writeIni(const QTemporaryDir& dir, const QStringList& lines, const QString& name = kTargetSettingsFileName)
{
    const QString path = vantiro::test::pathIn(dir, name);
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(("[MainWindowSettings]\n" + lines.join('\n') + "\n").toUtf8());
    return path;
}

QStringList chessboardLines()
{
    return {"radioButton_TargetChessboard=true",
            "radioButton_TargetChArUco=false",
            "radioButton_TargetRadonChessboardWithMarkers=false",
            "spinBox_ChessboardNumSquaresX=10",
            "spinBox_ChessboardNumSquaresY=7",
            "spinBox_ChessboardSquareWidth=25.5",
            "spinBox_ChessboardSquareHeight=30",
            "checkBox_ChessboardExhaustiveSearch=true",
            "spin_proj_width=1920",
            "spin_proj_height=1080"};
}

QStringList replaced(QStringList lines, const QString& key, const QString& value)
{
    for (QString& l : lines)
        if (l.startsWith(key + "="))
            l = value.isNull() ? QString() : key + "=" + value;
    return lines;
}

} // namespace

TEST(TargetSettingsFile, ReadsEachKindAsTheMainWindowFillsTheRecord)
{
    QTemporaryDir dir;
    const auto chess = readTargetSettingsFile(writeIni(dir, chessboardLines(), "chess.ini"));
    ASSERT_TRUE(chess.ok) << chess.error.toStdString();
    EXPECT_EQ(chess.settings.targetType, Chessboard);
    EXPECT_EQ(chess.settings.numSquaresX, 10);
    EXPECT_EQ(chess.settings.numSquaresY, 7);
    EXPECT_DOUBLE_EQ(chess.settings.squareWidth, 25.5);
    EXPECT_DOUBLE_EQ(chess.settings.squareHeight, 30.0);
    EXPECT_TRUE(chess.settings.exhaustiveSearch);
    EXPECT_EQ(chess.settings.projectorWidth, 1920);
    EXPECT_EQ(chess.settings.projectorHeight, 1080);

    // ChArUco: the marker size is handed on truncated to whole millimetres, the dictionary is the
    // combo index, and fields of other kinds are left as the module starts them.
    const auto charuco = readTargetSettingsFile(writeIni(dir, {"radioButton_TargetChessboard=false",
                                                               "radioButton_TargetChArUco=true",
                                                               "spinBox_ChArUcoWidth=5",
                                                               "spinBox_ChArUcoHeight=7",
                                                               "doubleSpinBox_ChArUcoSquareSize=30.5",
                                                               "doubleSpinBox_ArUcoMarkerSize=7.9",
                                                               "comboBox_ChArUcoDictionary=20",
                                                               "checkBox_CharucoLegacy=true"},
                                                         "charuco.ini"));
    ASSERT_TRUE(charuco.ok) << charuco.error.toStdString();
    EXPECT_EQ(charuco.settings.targetType, ChArUco);
    EXPECT_EQ(charuco.settings.numSquaresX, 5);
    EXPECT_EQ(charuco.settings.numSquaresY, 7);
    EXPECT_DOUBLE_EQ(charuco.settings.squareWidth, 30.5);
    EXPECT_DOUBLE_EQ(charuco.settings.squareHeight, 30.5);
    EXPECT_EQ(charuco.settings.markerSize, 7);
    EXPECT_EQ(charuco.settings.dictionary, 20);
    EXPECT_TRUE(charuco.settings.legacyPattern);
    EXPECT_FALSE(charuco.settings.exhaustiveSearch);
    // No projector keys: the panel's default resolution.
    EXPECT_EQ(charuco.settings.projectorWidth, 1024);
    EXPECT_EQ(charuco.settings.projectorHeight, 768);

    const auto radon = readTargetSettingsFile(writeIni(dir, {"radioButton_TargetChessboard=false",
                                                             "radioButton_TargetChArUco=false",
                                                             "radioButton_TargetRadonChessboardWithMarkers=true",
                                                             "spinBox_RadonChessboardNumSquaresX=12",
                                                             "spinBox_RadonChessboardNumSquaresY=9",
                                                             "spinBox_RadonChessboardSquareSize=40",
                                                             "comboBox_ChArUcoDictionary=3"},
                                                       "radon.ini"));
    ASSERT_TRUE(radon.ok) << radon.error.toStdString();
    EXPECT_EQ(radon.settings.targetType, RadonChessboardWithMarkers);
    EXPECT_EQ(radon.settings.numSquaresX, 12);
    EXPECT_EQ(radon.settings.numSquaresY, 9);
    EXPECT_DOUBLE_EQ(radon.settings.squareWidth, 40.0);
    EXPECT_DOUBLE_EQ(radon.settings.squareHeight, 40.0);
    EXPECT_EQ(radon.settings.dictionary, 3);
}

TEST(TargetSettingsFile, TheFirstCheckedKindWinsAndUncheckedKindsNeedNoKeys)
{
    QTemporaryDir dir;
    // Both radio buttons set (a hand-edited file): the chessboard comes first, as in the panel.
    // The file holds no ChArUco keys at all, which a chessboard does not need.
    const auto r = readTargetSettingsFile(
        writeIni(dir, replaced(chessboardLines(), "radioButton_TargetChArUco", "true"), "both.ini"));
    ASSERT_TRUE(r.ok) << r.error.toStdString();
    EXPECT_EQ(r.settings.targetType, Chessboard);

    const auto none = readTargetSettingsFile(writeIni(dir, {"radioButton_TargetChessboard=false",
                                                            "radioButton_TargetChArUco=false",
                                                            "radioButton_TargetRadonChessboardWithMarkers=false"},
                                                      "none.ini"));
    EXPECT_FALSE(none.ok);
    EXPECT_TRUE(none.error.contains("none of the target kinds is checked")) << none.error.toStdString();
}

TEST(TargetSettingsFile, MissingOrGarbageKeysAreErrorsThatNameFileAndKey)
{
    QTemporaryDir dir;
    struct Case
    {
        QString key, value, expected;
    };
    const std::vector<Case> cases = {
        {"spinBox_ChessboardNumSquaresY", QString(), "key \"MainWindowSettings/spinBox_ChessboardNumSquaresY\" is missing"},
        {"radioButton_TargetChessboard", QString(), "radioButton_TargetChessboard\" is missing"},
        {"spinBox_ChessboardNumSquaresX", "ten", "has the value \"ten\", expected a whole number from 3 to 99"},
        {"spinBox_ChessboardNumSquaresX", "2", "expected a whole number from 3 to 99"},
        {"spinBox_ChessboardNumSquaresX", "100", "expected a whole number from 3 to 99"},
        {"spinBox_ChessboardSquareWidth", "0", "spinBox_ChessboardSquareWidth\" has the value \"0\""},
        {"spinBox_ChessboardSquareHeight", "nan", "spinBox_ChessboardSquareHeight\" has the value \"nan\""},
        {"checkBox_ChessboardExhaustiveSearch", "maybe", "expected true or false"},
        {"spin_proj_width", "0", "spin_proj_width\" has the value \"0\""},
        {"spinBox_ChessboardNumSquaresY", "5,6", "spinBox_ChessboardNumSquaresY\" holds a list"},
    };
    int n = 0;
    for (const Case& c : cases) {
        // A file of its own per case: QSettings keeps parsed files cached by path and time stamp.
        const QString path =
            writeIni(dir, replaced(chessboardLines(), c.key, c.value), QString("case%1.ini").arg(n++));
        const auto r = readTargetSettingsFile(path);
        EXPECT_FALSE(r.ok) << c.key.toStdString() << "=" << c.value.toStdString();
        EXPECT_TRUE(r.error.startsWith(path + ": ")) << r.error.toStdString();
        EXPECT_TRUE(r.error.contains(c.expected)) << r.error.toStdString();
        EXPECT_FALSE(r.error.contains('\n'));
    }
}

TEST(TargetSettingsFile, UnusableFilesAreErrorsAndReadingNeverWrites)
{
    QTemporaryDir dir;
    const QString missing = vantiro::test::pathIn(dir, "nothing.ini");
    EXPECT_EQ(readTargetSettingsFile(missing).error, missing + ": no such file");
    EXPECT_EQ(readTargetSettingsFile(dir.path()).error, dir.path() + ": not a file");

    // Bytes that are no settings file at all.
    const QString binary = vantiro::test::pathIn(dir, "binary.ini");
    {
        QFile f(binary);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QByteArray("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\xff\xfe", 18));
    }
    const auto garbage = readTargetSettingsFile(binary);
    EXPECT_FALSE(garbage.ok);
    EXPECT_TRUE(garbage.error.startsWith(binary + ": ")) << garbage.error.toStdString();

    // Unlike readSetting, a read adds no missing keys: the file stays byte for byte.
    const QString path = writeIni(dir, replaced(replaced(chessboardLines(), "spin_proj_width", QString()),
                                                "spin_proj_height", QString()));
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray before = f.readAll();
    f.close();
    ASSERT_TRUE(readTargetSettingsFile(path).ok);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), before);
}

TEST(TargetSettingsFile, WrittenFilesReadBackForEveryKind)
{
    QTemporaryDir dir;
    MainWindowSettings chess;
    chess.targetType = Chessboard;
    chess.numSquaresX = 11;
    chess.numSquaresY = 8;
    chess.squareWidth = 12.5;
    chess.squareHeight = 14.25;
    chess.exhaustiveSearch = true;
    chess.projectorWidth = 800;
    chess.projectorHeight = 600;
    MainWindowSettings charuco;
    charuco.targetType = ChArUco;
    charuco.numSquaresX = 6;
    charuco.numSquaresY = 4;
    charuco.squareWidth = charuco.squareHeight = 40.0;
    charuco.markerSize = 30;
    charuco.dictionary = 16;
    charuco.legacyPattern = true;
    charuco.projectorWidth = 1024;
    charuco.projectorHeight = 768;
    MainWindowSettings radon;
    radon.targetType = RadonChessboardWithMarkers;
    radon.numSquaresX = 9;
    radon.numSquaresY = 14;
    radon.squareWidth = radon.squareHeight = 60.0;
    radon.dictionary = 10;
    radon.projectorWidth = 1280;
    radon.projectorHeight = 720;

    int n = 0;
    for (const MainWindowSettings& s : {chess, charuco, radon}) {
        const QString path = vantiro::test::pathIn(dir, QString("w%1.ini").arg(n++));
        QString error;
        ASSERT_TRUE(writeTargetSettingsFile(path, s, &error)) << error.toStdString();
        const auto r = readTargetSettingsFile(path);
        ASSERT_TRUE(r.ok) << r.error.toStdString();
        EXPECT_EQ(r.settings.targetType, s.targetType);
        EXPECT_EQ(r.settings.numSquaresX, s.numSquaresX);
        EXPECT_EQ(r.settings.numSquaresY, s.numSquaresY);
        EXPECT_DOUBLE_EQ(r.settings.squareWidth, s.squareWidth);
        EXPECT_DOUBLE_EQ(r.settings.squareHeight, s.squareHeight);
        EXPECT_EQ(r.settings.exhaustiveSearch, s.exhaustiveSearch);
        EXPECT_EQ(r.settings.projectorWidth, s.projectorWidth);
        EXPECT_EQ(r.settings.projectorHeight, s.projectorHeight);
        if (s.targetType == ChArUco) {
            EXPECT_EQ(r.settings.markerSize, s.markerSize);
            EXPECT_EQ(r.settings.dictionary, s.dictionary);
            EXPECT_EQ(r.settings.legacyPattern, s.legacyPattern);
        }
    }
    // A file that cannot be created (its folder would be inside a file) is reported, not ignored.
    QString error;
    const QString blocker = vantiro::test::pathIn(dir, "w0.ini");
    EXPECT_FALSE(writeTargetSettingsFile(blocker + "/x.ini", chess, &error));
    EXPECT_EQ(error, blocker + "/x.ini: cannot be written");
}
