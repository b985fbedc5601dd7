#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include "support/TestSupport.h"
#include "targets/TargetSettingsFile.h"

// A settings file of the given lines, under a name of its own: QSettings keeps parsed files
// cached by path and time stamp.
static QString writeIni(const QTemporaryDir& dir, const QStringList& lines)
{
    static int n = 0;
    QFile f(vantiro::test::pathIn(dir, QString("case%1.ini").arg(n++)));
    EXPECT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(("[MainWindowSettings]\n" + lines.join('\n') + "\n").toUtf8());
    return f.fileName();
}

// A chessboard as the main window saves it, with 'key' set to 'value' (a null value drops the key).
static QStringList chessboardLines(const QString& key = {}, const QString& value = {})
{
    QStringList lines = {"radioButton_TargetChessboard=true", "radioButton_TargetChArUco=false",
                         "radioButton_TargetRadonChessboardWithMarkers=false", "spinBox_ChessboardNumSquaresX=10",
                         "spinBox_ChessboardNumSquaresY=7", "spinBox_ChessboardSquareWidth=25.5",
                         "spinBox_ChessboardSquareHeight=30", "checkBox_ChessboardExhaustiveSearch=true",
                         "spin_proj_width=1920", "spin_proj_height=1080"};
    for (QString& l : lines)
        if (!key.isEmpty() && l.startsWith(key + "="))
            l = value.isNull() ? QString() : key + "=" + value;
    return lines;
}

// Every field, so that whole records compare.
static auto fields(const MainWindowSettings& s)
{
    return std::tuple(s.targetType, s.numSquaresX, s.numSquaresY, s.squareWidth, s.squareHeight, s.markerSize,
                      s.dictionary, s.legacyPattern, s.exhaustiveSearch, s.projectorWidth, s.projectorHeight);
}

TEST(TargetSettingsFile, ReadsAndWritesWhatTheMainWindowDoesAndReportsBadFiles)
{
    // Files as the main window saves them, and (no lines) as writeTargetSettingsFile writes them.
    // Fields of other kinds keep what the module starts with (dictionary 10); the ChArUco marker
    // is handed on truncated to whole millimetres; without projector keys the panel's 1024 x 768.
    // With both kinds checked (hand-edited) the chessboard comes first, as in the panel, and
    // needs no ChArUco keys.
    const MainWindowSettings chessboard{Chessboard, 10, 7, 25.5, 30, 0, 10, false, true, 1920, 1080};
    const std::pair<QStringList, MainWindowSettings> cases[] = {
        {chessboardLines(), chessboard},
        {chessboardLines("radioButton_TargetChArUco", "true"), chessboard},
        {{"radioButton_TargetChessboard=false", "radioButton_TargetChArUco=true", "spinBox_ChArUcoWidth=5",
          "spinBox_ChArUcoHeight=7", "doubleSpinBox_ChArUcoSquareSize=30.5", "doubleSpinBox_ArUcoMarkerSize=7.9",
          "comboBox_ChArUcoDictionary=20", "checkBox_CharucoLegacy=true"},
         {ChArUco, 5, 7, 30.5, 30.5, 7, 20, true, false, 1024, 768}},
        {{"radioButton_TargetChessboard=false", "radioButton_TargetChArUco=false",
          "radioButton_TargetRadonChessboardWithMarkers=true", "spinBox_RadonChessboardNumSquaresX=12",
          "spinBox_RadonChessboardNumSquaresY=9", "spinBox_RadonChessboardSquareSize=40",
          "comboBox_ChArUcoDictionary=3"},
         {RadonChessboardWithMarkers, 12, 9, 40, 40, 0, 3, false, false, 1024, 768}},
        {{}, {Chessboard, 11, 8, 12.5, 14.25, 0, 10, false, true, 800, 600}},
        {{}, {ChArUco, 6, 4, 40, 40, 30, 16, true, false, 1024, 768}},
        {{}, {RadonChessboardWithMarkers, 9, 14, 60, 60, 0, 5, false, false, 1280, 720}},
    };
    QTemporaryDir dir;
    QString error;
    for (const auto& [lines, expected] : cases) {
        const QString path = writeIni(dir, lines);
        EXPECT_TRUE(!lines.isEmpty() || writeTargetSettingsFile(path, expected, &error)) << error.toStdString();
        const auto r = readTargetSettingsFile(path);
        EXPECT_TRUE(r.ok) << r.error.toStdString();
        EXPECT_EQ(fields(r.settings), fields(expected));
    }
    // A file that cannot be created (its folder would be inside a file) is reported, not ignored.
    const QString blocked = writeIni(dir, {}) + "/x.ini";
    EXPECT_FALSE(writeTargetSettingsFile(blocked, chessboard, &error));
    EXPECT_EQ(error, blocked + ": cannot be written");

    // Bad files and keys are one-line errors that name the file.
    EXPECT_EQ(readTargetSettingsFile(dir.path() + "/none.ini").error, dir.path() + "/none.ini: no such file");
    EXPECT_EQ(readTargetSettingsFile(dir.path()).error, dir.path() + ": not a file");
    // Every key that is consulted must be there and hold what the panel's widget accepts.
    const std::vector<std::array<QString, 3>> badKeys = {
        {"spinBox_ChessboardNumSquaresY", {}, "spinBox_ChessboardNumSquaresY\" is missing"},
        {"radioButton_TargetChessboard", {}, "key \"MainWindowSettings/radioButton_TargetChessboard\" is missing"},
        {"radioButton_TargetChessboard", "false", "none of the target kinds is checked"},
        {"spinBox_ChessboardNumSquaresX", "ten", "has the value \"ten\", expected a whole number from 3 to 99"},
        {"spinBox_ChessboardNumSquaresX", "2", "expected a whole number from 3 to 99"},
        {"spinBox_ChessboardNumSquaresX", "100", "expected a whole number from 3 to 99"},
        {"spinBox_ChessboardSquareWidth", "0", "spinBox_ChessboardSquareWidth\" has the value \"0\""},
        {"spinBox_ChessboardSquareHeight", "nan", "spinBox_ChessboardSquareHeight\" has the value \"nan\""},
        {"checkBox_ChessboardExhaustiveSearch", "maybe", "expected true or false"},
        {"spin_proj_width", "0", "spin_proj_width\" has the value \"0\""},
        {"spinBox_ChessboardNumSquaresY", "5,6", "spinBox_ChessboardNumSquaresY\" holds a list"},
    };
    for (const auto& [key, value, expected] : badKeys) {
        const QString path = writeIni(dir, chessboardLines(key, value));
        const auto r = readTargetSettingsFile(path);
        EXPECT_TRUE(!r.ok && r.error.startsWith(path + ": ") && r.error.contains(expected) && !r.error.contains('\n'))
            << key.toStdString() << "=" << value.toStdString() << ": " << r.error.toStdString();
    }
    // Unlike readSetting, a read adds no missing keys: the file stays byte for byte.
    const QStringList lines = chessboardLines("spin_proj_width", QString());
    QFile f(writeIni(dir, lines));
    ASSERT_TRUE(readTargetSettingsFile(f.fileName()).ok && f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), ("[MainWindowSettings]\n" + lines.join('\n') + "\n").toUtf8());
}
