#include <QTest>
#include <QTextBlock>

#include <opencv2/imgcodecs.hpp>

#include "MainWindowFixture.h"
#include "app/Settings.h"

namespace {

class TargetExportTest : public MainWindowTest
{
protected:
    MainWindow& shown()
    {
        MainWindow& w = make();
        w.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&w));
        return w;
    }
    void choosePaper(MainWindow& w, const QString& name)
    {
        QComboBox* combo = w.ui.comboBox_TargetExportPaper;
        combo->setFocus();
        for (int i = 0; i < combo->count(); ++i)
            QTest::keyClick(combo, Qt::Key_Up);
        while (combo->currentText() != name && combo->currentIndex() + 1 < combo->count())
            QTest::keyClick(combo, Qt::Key_Down);
        ASSERT_EQ(combo->currentText(), name);
    }
    void exportTo(MainWindow& w, const QString& path)
    {
        fileAnswer = path;
        QTest::mouseClick(w.ui.pushButton_ExportTarget, Qt::LeftButton);
    }
    // The colour of the log where needle starts.
    QColor logColourAt(const QString& needle) const
    {
        QTextCursor c = window->ui.text_log->document()->find(needle);
        if (c.isNull())
            return {};
        c.setPosition(c.selectionStart() + 1);
        return c.charFormat().foreground().color();
    }
};

} // namespace

// The export row below the target preview writes the board the panel describes: a PNG at the
// dpi of the row on the paper of the row.
TEST_F(TargetExportTest, ExportTargetWritesThePanelsBoard)
{
    QTemporaryDir dir;
    MainWindow& w = shown();
    EXPECT_TRUE(w.ui.pushButton_ExportTarget->isVisible());
    EXPECT_EQ(w.ui.pushButton_ExportTarget->text(), QString::fromUtf8("Export Target\u2026"));
    EXPECT_EQ(w.ui.pushButton_ExportTarget->parentWidget(), w.ui.tab_TargetView);
    const QStringList papers{"A4", "A3", "Letter", "Fit"};
    for (int i = 0; i < papers.size(); ++i)
        EXPECT_EQ(w.ui.comboBox_TargetExportPaper->itemText(i), papers[i]);
    EXPECT_EQ(w.ui.spinBox_TargetExportDpi->value(), 300);

    w.ui.spinBox_ChessboardNumSquaresY->setValue(7);
    w.ui.spinBox_ChessboardSquareWidth->setValue(25);
    choosePaper(w, "Letter");
    choosePaper(w, "A4");
    w.ui.spinBox_TargetExportDpi->setValue(100);
    const QString png = dir.path() + "/board.png";
    exportTo(w, png);
    QTest::qWait(50);
    w.grab().toImage().save(vantiro::test::artefactDir() + "/main_window_export_target.png");
    EXPECT_EQ(fileRequests, QStringList{"Export Target"});
    EXPECT_TRUE(boxes.isEmpty()) << boxes.join("\n").toStdString();
    EXPECT_TRUE(logText().contains("Target written to:\n" + png + "\nPNG, A4 landscape at 100 dpi; board 274 x 199 mm"))
        << logText().toStdString();
    EXPECT_EQ(cv::imread(png.toStdString(), cv::IMREAD_GRAYSCALE).size(), cv::Size(1170, 827));

    // A name without an extension becomes a PDF; cancelling the chooser does nothing.
    exportTo(w, dir.path() + "/plain");
    EXPECT_TRUE(QFile(dir.path() + "/plain.pdf").size() > 1000);
    const QString before = logText();
    exportTo(w, QString());
    EXPECT_EQ(logText(), before);
    EXPECT_EQ(fileRequests.size(), 3);
}

// Warnings come before the file: an orange line when the board does not fit the paper at true
// scale; a question when the detector would not find the board (No writes nothing); red errors
// for paths that cannot be written.
TEST_F(TargetExportTest, WarningsAndErrorsBeforeWriting)
{
    writeSetting("Experimental/RadonTarget", true);
    QTemporaryDir dir;
    MainWindow& w = shown();

    // The default 10 x 9 board of 100 mm squares is 1.1 m wide.
    exportTo(w, dir.path() + "/big.pdf");
    EXPECT_EQ(logColourAt("Warning: The board (1100 x 1000 mm"), QColor("orange"));
    EXPECT_TRUE(logText().contains("does not fit on A4 paper at true scale. It is written on a custom page 1100 x 1027 mm"));
    EXPECT_TRUE(QFileInfo::exists(dir.path() + "/big.pdf"));

    // The marker chessboard with the panel's default dots (1, 1): a black cell.
    QTest::mouseClick(w.ui.radioButton_TargetRadonChessboardWithMarkers, Qt::LeftButton);
    ASSERT_TRUE(w.ui.radioButton_TargetRadonChessboardWithMarkers->isChecked());
    w.ui.spinBox_RadonChessboardSquareSize->setValue(20);
    answer = QMessageBox::No;
    exportTo(w, dir.path() + "/radon.svg");
    ASSERT_EQ(boxes.size(), 1);
    EXPECT_TRUE(boxes[0].startsWith("Export Target|The detector will not find the board these settings describe:\n\n"
                                    "The marker dots sit in a black cell (Marker Position X = 1, Y = 1)"))
        << boxes[0].toStdString();
    EXPECT_TRUE(boxes[0].endsWith("\n\nExport it anyway?"));
    EXPECT_EQ(logColourAt("Warning: The marker dots sit in a black cell"), QColor("orange"));
    EXPECT_TRUE(logText().endsWith("The target was not exported.\n\n"));
    EXPECT_FALSE(QFileInfo::exists(dir.path() + "/radon.svg"));
    answer = QMessageBox::Yes;
    exportTo(w, dir.path() + "/radon.svg");
    EXPECT_TRUE(QFileInfo::exists(dir.path() + "/radon.svg"));
    // Where the detection expects them, no question is asked.
    w.ui.spinBox_RadonChessboardMarkerPositionX->setValue(5);
    w.ui.spinBox_RadonChessboardMarkerPositionY->setValue(4);
    exportTo(w, dir.path() + "/radon-ok.svg");
    EXPECT_EQ(boxes.size(), 2);
    EXPECT_TRUE(QFileInfo::exists(dir.path() + "/radon-ok.svg"));
    EXPECT_TRUE(logText().contains("SVG, A4 landscape; board 220 x 200 mm"));

    exportTo(w, dir.path() + "/missing/board.png");
    EXPECT_EQ(logColourAt("Error: Cannot write " + dir.path() + "/missing/board.png: "), QColor("#ff0000"));
    EXPECT_TRUE(logText().endsWith(". Aborting.\n\n"));
    exportTo(w, dir.path() + "/board.jpg");
    EXPECT_EQ(logColourAt("Error: The target is written as .pdf, .svg or .png, not as"), QColor("#ff0000"));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files).size(), 3);
}
