// Robot pose files: both XML roots, text lines, every problem a file can have, and the rotation check.

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <opencv2/calib3d.hpp>

#include <cmath>

#include "app/LogSink.h"
#include "robot/TcpPose.h"

using namespace vantiro;
using namespace vantiro::robot;

namespace {

class TcpFiles : public ::testing::Test
{
protected:
    QString write(const QString& name, const QByteArray& content)
    {
        const QString path = dir.path() + "/" + name;
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(content);
        return path;
    }
    QTemporaryDir dir;
};

QStringList names(const std::vector<TcpPose>& poses)
{
    QStringList out;
    for (const TcpPose& p : poses)
        out << QString::fromStdString(p.name);
    return out;
}

} // namespace

TEST_F(TcpFiles, PosesOfAnXmlListWithAttributesUnknownElementsAndMissingCoordinates)
{
    const QString path = write("poses.xml", R"(<?xml version="1.0"?>
<TCP_Poses>
  <Pose ID="7" Name="home"><X>0.5</X><Y>-0.25</Y><Z>1e-1</Z><RX>0.1</RX><RY>0.2</RY><RZ>0.3</RZ></Pose>
  <Comment>not a pose <Pose><X>9</X></Pose></Comment>
  <Pose Name="left"><X>1</X><Y>2</Y><Z>3</Z><Speed>40</Speed><RX>0</RX><RY>0</RY><RZ>1.5707963267948966</RZ></Pose>
  <Pose ID="x12"><X>4</X><RZ>-1</RZ></Pose>
  <Pose><Y>5</Y></Pose>
</TCP_Poses>)");
    const TcpFile file = readTcpPoseFile(path, 0);
    EXPECT_TRUE(file.messages.isEmpty()) << file.messages.join("").toStdString();
    ASSERT_EQ(file.poses.size(), 4u);
    EXPECT_EQ(names(file.poses), QStringList({"home", "left", "TCP_2", "TCP_3"}));
    EXPECT_EQ(file.entries, QStringList({"ID: 7 Name: home", "Name: left", "ID: 0 ", "TCP_3"}));
    EXPECT_EQ(file.poses[0].id, 7);
    EXPECT_EQ(file.poses[1].id, 1) << "no ID: the running index";
    EXPECT_EQ(file.poses[2].id, 0) << "an ID that is no number";
    EXPECT_EQ(file.poses[0].t, cv::Vec3d(0.5, -0.25, 0.1));
    EXPECT_EQ(file.poses[0].r, cv::Vec3d(0.1, 0.2, 0.3));
    EXPECT_EQ(file.poses[2].t, cv::Vec3d(4, 0, 0)) << "missing coordinates stay 0";
    EXPECT_EQ(file.poses[2].r, cv::Vec3d(0, 0, -1));
    EXPECT_EQ(file.poses[3].t, cv::Vec3d(0, 5, 0));

    // A rotation vector, not Euler angles: RZ = pi/2 turns x onto y.
    const cv::Matx33d R = tcpRotation(file.poses[1]);
    EXPECT_LT(cv::norm(R * cv::Vec3d(1, 0, 0) - cv::Vec3d(0, 1, 0)), 1e-12);
    EXPECT_LT(cv::norm(R * cv::Vec3d(0, 0, 1) - cv::Vec3d(0, 0, 1)), 1e-12);
}

TEST_F(TcpFiles, SinglePoseXmlTakesTheFileNameAndTextFilesStopAtTheFirstBadLine)
{
    const TcpFile single = readTcpPoseFile(
        write("station.4.xml", "<TCP_Pose ID=\"3\" Name=\"ignored\"><RZ>2</RZ><X>-7.5</X><Y>1</Y><Z>2</Z></TCP_Pose>"), 5);
    ASSERT_EQ(single.poses.size(), 1u);
    EXPECT_EQ(single.poses[0].name, "station.4");
    EXPECT_EQ(single.entries, QStringList{"station.4"});
    EXPECT_EQ(single.poses[0].id, 5);
    EXPECT_EQ(single.poses[0].t, cv::Vec3d(-7.5, 1, 2));
    EXPECT_EQ(single.poses[0].r, cv::Vec3d(0, 0, 2));

    const QString text = write("poses.txt", "0.1 0.2 0.3 0.01 0.02 0.03\n"
                                            "  1\t2 3 4 5 6 trailing words are ignored\n"
                                            "1 2 3 4 5\n"
                                            "7 8 9 10 11 12\n");
    const TcpFile lines = readTcpPoseFile(text, 10);
    ASSERT_EQ(lines.poses.size(), 2u);
    EXPECT_EQ(lines.messages, QStringList{"Invalid line 2 in file " + text + "\n"});
    EXPECT_EQ(names(lines.poses), QStringList({"TCP_10", "TCP_11"}));
    EXPECT_EQ(lines.poses[1].t, cv::Vec3d(1, 2, 3));
    EXPECT_EQ(lines.poses[1].r, cv::Vec3d(4, 5, 6));
    EXPECT_EQ(lines.poses[1].id, 11);
}

TEST_F(TcpFiles, SeveralFilesAreReadInOrderWithOneRunningIndexAndTheLogOfEachFile)
{
    const QString a = write("a.xml", "<TCP_Poses><Pose><X>1</X></Pose><Pose/><Pose/></TCP_Poses>");
    const QString b = write("b.txt", "1 2 3 0 0 0\n4 5 6 0 0 0\n");
    const QString csv = write("c.csv", "1,2,3,4,5,6\n");
    const QString missing = dir.path() + "/gone.xml";
    const QString d = write("d.xml", "<TCP_Poses><Pose/></TCP_Poses>");
    RecordingLogSink log;
    const TcpPoseList all = readTcpPoseFiles({a, b, csv, missing, d}, log);
    EXPECT_EQ(log.text(), "Parsing " + a + "\nParsing " + b + "\nParsing " + csv +
                              "\nOnly *.xml and *.txt file extensions can be read (file " + csv +
                              " ignored).\nParsing " + missing + "\nFile " + missing + " does not exist.\nParsing " + d +
                              "\nFound 6 tcp entries.\n\n");
    EXPECT_EQ(names(all.poses), QStringList({"TCP_0", "TCP_1", "TCP_2", "TCP_3", "TCP_4", "TCP_5"}));
    EXPECT_EQ(all.entries.size(), 6);
    EXPECT_EQ(all.poses[4].t, cv::Vec3d(4, 5, 6));
    for (const auto& s : log.segments)
        EXPECT_TRUE(s.color.isEmpty() && !s.bold) << "every line in the default colour and weight";
}

TEST_F(TcpFiles, EveryXmlProblemIsReportedAndKeepsWhatWasReadBefore)
{
    const QString empty = write("empty.xml", "");
    EXPECT_EQ(readTcpPoseFile(empty).messages, QStringList{"No start element in " + empty + "\n"});

    const QString root = write("root.xml", "<Poses><Pose/></Poses>");
    EXPECT_EQ(readTcpPoseFile(root).messages,
              QStringList{"Incorrect root element in " + root + ": expected <TCP_Poses> or <TCP_Pose>, got <Poses>\n"});

    // Broken after the second pose: two poses kept, the reader's error with its position.
    const QString broken = write("broken.xml", "<TCP_Poses>\n<Pose><X>1</X></Pose>\n<Pose><X>2</X></Pose>\n<Pose><X>3</Y>");
    const TcpFile b = readTcpPoseFile(broken);
    EXPECT_EQ(b.poses.size(), 2u);
    ASSERT_EQ(b.messages.size(), 1);
    EXPECT_TRUE(b.messages[0].startsWith("Error: Opening and ending tag mismatch. in file " + broken + " at line 4, column "))
        << b.messages[0].toStdString();
    EXPECT_TRUE(b.messages[0].endsWith(".\n"));

    // A coordinate that is not a number stops the file there instead of becoming 0.
    const QString text = write("text.xml", "<TCP_Poses><Pose><X>1</X></Pose><Pose><Y>abc</Y></Pose><Pose/></TCP_Poses>");
    const TcpFile t = readTcpPoseFile(text);
    EXPECT_EQ(t.poses.size(), 1u);
    EXPECT_EQ(t.messages,
              QStringList{"Error: <Y> holds \"abc\", which is not a finite number in file " + text + " at line 1, column 48.\n"});

    // Folders with a pose-file name.
    QDir(dir.path()).mkdir("folder.xml");
    QDir(dir.path()).mkdir("folder.txt");
    EXPECT_EQ(readTcpPoseFile(dir.path() + "/folder.xml").messages,
              QStringList{"Failed to open file " + dir.path() + "/folder.xml.\n"});
    EXPECT_EQ(readTcpPoseFile(dir.path() + "/folder.txt").messages,
              QStringList{"Error while opening file " + dir.path() + "/folder.txt\n"});

    // Valid lines, but more than any session records: refused unread.
    QByteArray lines;
    while (lines.size() <= 16 * 1024 * 1024)
        lines += "0.1 0.2 0.3 0.01 0.02 0.03\n";
    const QString big = write("big.txt", lines);
    const TcpFile refused = readTcpPoseFile(big);
    EXPECT_TRUE(refused.poses.empty());
    EXPECT_EQ(refused.messages, QStringList{"File " + big + " is larger than 16 MB and is not read.\n"});
}

TEST_F(TcpFiles, NothingAFileHoldsBreaksTheReader)
{
    // Non-finite and out-of-range numbers are no numbers.
    for (const char* bad : {"nan", "inf", "-inf", "1e400", "0x10", "1,5"}) {
        const QByteArray line = QByteArray("1 2 3 4 5 ") + bad + "\n";
        const TcpFile f = readTcpPoseFile(write("bad.txt", "0 0 0 0 0 0\n" + line));
        EXPECT_EQ(f.poses.size(), 1u) << bad;
        EXPECT_EQ(f.messages.size(), 1) << bad;
        const TcpFile x = readTcpPoseFile(write("bad.xml", QByteArray("<TCP_Pose><RZ>") + bad + "</RZ></TCP_Pose>"));
        EXPECT_TRUE(x.poses.empty()) << bad;
        EXPECT_EQ(x.messages.size(), 1) << bad;
    }
    // Huge but finite numbers are read as they are.
    EXPECT_EQ(readTcpPoseFile(write("huge.txt", "1e300 -1e300 0 0 0 0\n")).poses.at(0).t[0], 1e300);

    // Binary garbage, a line without end, deep nesting, a flood of entities.
    QByteArray garbage(4096, '\0');
    for (int i = 0; i < garbage.size(); ++i)
        garbage[i] = char((i * 7919) % 256);
    EXPECT_TRUE(readTcpPoseFile(write("garbage.txt", garbage)).poses.empty());
    EXPECT_TRUE(readTcpPoseFile(write("garbage.xml", garbage)).poses.empty());
    const TcpFile longLine = readTcpPoseFile(write("long.txt", "1 2 3 4 5 6 " + QByteArray(200000, '7')));
    EXPECT_TRUE(longLine.poses.empty());
    EXPECT_EQ(longLine.messages.size(), 1);

    QByteArray deep = "<TCP_Poses><Pose><Junk>";
    for (int i = 0; i < 200000; ++i)
        deep += "<a>";
    const TcpFile nested = readTcpPoseFile(write("deep.xml", deep));
    EXPECT_TRUE(nested.poses.empty());
    EXPECT_EQ(nested.messages.size(), 1);

    const QByteArray laughs = "<?xml version=\"1.0\"?><!DOCTYPE l [<!ENTITY a \"aaaaaaaaaa\">"
                              "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\"><!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\">"
                              "<!ENTITY d \"&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;\"><!ENTITY e \"&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;\">]>"
                              "<TCP_Poses><Pose Name=\"&e;&e;&e;&e;&e;&e;&e;&e;\"><X>1</X></Pose></TCP_Poses>";
    const TcpFile entities = readTcpPoseFile(write("laughs.xml", laughs));
    EXPECT_TRUE(entities.poses.empty());
    EXPECT_EQ(entities.messages.size(), 1);
}

TEST(IsValidRotation, ReportsTheFirstFailedConditionInOrder)
{
    QString why;
    cv::Matx33d R;
    cv::Rodrigues(cv::Vec3d(0.3, -1.2, 2.0), R);
    EXPECT_TRUE(IsValidRotation(cv::Mat(R), why));
    cv::Mat asFloat;
    cv::Mat(R).convertTo(asFloat, CV_32F);
    EXPECT_TRUE(IsValidRotation(asFloat, why));

    const struct
    {
        cv::Mat m;
        const char* message;
    } cases[] = {
        {cv::Mat::eye(2, 3, CV_64F), "Invalid size: rows != 3."},
        {cv::Mat::eye(3, 4, CV_64F), "Invalid size: cols != 3."},
        {cv::Mat(3, 3, CV_64FC2, cv::Scalar(1, 0)), "R matrix should have 1 channel."},
        {cv::Mat(cv::Matx33d(-1, 0, 0, 0, 1, 0, 0, 0, 1)), "Determinant is negative."},
        {cv::Mat(cv::Matx33d(1.002, 0, 0, 0, 1, 0, 0, 0, 1)), "Determinant isn't 1."},
        // det 1 but sheared: not orthogonal.
        {cv::Mat(cv::Matx33d(1, 0.5, 0, 0, 1, 0, 0, 0, 1)), "Transposed R isn't equal to its inverse: R^T != R^-1."},
        {cv::Mat(cv::Matx33d(1, 0, 0, 0, 1, 0, 0, 0, std::nan(""))), "Determinant isn't 1."},
    };
    for (const auto& c : cases) {
        why.clear();
        EXPECT_FALSE(IsValidRotation(c.m, why)) << c.message;
        EXPECT_EQ(why, c.message);
    }
    // The tolerances: within 0.001 passes, beyond it does not.
    EXPECT_TRUE(IsValidRotation(cv::Mat(cv::Matx33d(1.0004, 0, 0, 0, 1, 0, 0, 0, 1)), why));
    EXPECT_TRUE(IsValidRotation(cv::Mat(cv::Matx33d(1, 0.0009, 0, 0, 1, 0, 0, 0, 1)), why));
    EXPECT_FALSE(IsValidRotation(cv::Mat(cv::Matx33d(1, 0.0011, 0, 0, 1, 0, 0, 0, 1)), why));
}
