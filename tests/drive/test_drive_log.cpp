// The drive-layer log: lines written only when the local-machine settings
// enable it ("LogEnabled" in group "Vantrell" of "Harrowgate Software.ini"
// under $XDG_CONFIG_DIRS), one timestamped line per call, from any thread.
#include "DiscImage.h"
#include "sbBurner.h"
#include "sbDeviceFinder.h"
#include "sbGrab.h"
#include "sbLogger.h"
#include "sbTrackList.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {
class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(config_.isValid());
        qputenv("XDG_CONFIG_DIRS", QFile::encodeName(config_.path()));
        QFile::remove(TsbLogger::Instance().LogFileName());
    }
    void TearDown() override {
        QFile::remove(TsbLogger::Instance().LogFileName());
        qunsetenv("XDG_CONFIG_DIRS");
        TsbLogger::Reload();
    }
    void Settings(const QByteArray& text) {
        QFile file(TsbLogger::SettingsFileName());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text);
    }
    // Writes a one-track disc, starts the library and opens its drive as the
    // window does. The caller stops the library (CloseDisc).
    void OpenDisc(TsbBurner& burner) {
        discimage::Disc disc{{}, {}, {discimage::ToneTrack(1, 440)}};
        const auto written = discimage::WriteCueBin(disc, config_.path().toStdString(), "logdisc");
        qputenv("TONVALE_VIRTUAL_DRIVES", QByteArray::fromStdString(written.cuePath));
        StartVantrellLibrary();
        TsbDeviceFinder finder;
        finder.Find(false);
        ASSERT_EQ(finder.Devices.Count(), 1);
        burner.Address = finder.Devices.Items(0).Address;
        burner.DiscType = finder.Devices.Items(0).DiscType;
        burner.OpenDevice();
    }
    static void CloseDisc() {
        StopVantrellLibrary();
        qunsetenv("TONVALE_VIRTUAL_DRIVES");
    }
    // Finds the drives and reads the disc's tracks, as the window does.
    void ReadDisc() {
        {
            TsbBurner burner;
            OpenDisc(burner);
            TsbTrackList tracks;
            TsbTrackListReader reader;
            reader.Read(&burner, &tracks, false);
            EXPECT_EQ(tracks.Count(), 1);
        }
        CloseDisc();
    }
    QTemporaryDir config_;
};

TEST_F(LogTest, EnabledWritesTimestampedLinesFromEveryThread) {
    Settings("[Vantrell]\nLogEnabled=true\nLogLevel=3\n");
    TsbLogger::Reload();
    EXPECT_TRUE(TsbLogger::Instance().LogEnabled());
    EXPECT_EQ(TsbLogger::Instance().LogLevel(), 3);
    EXPECT_TRUE(TsbLogger::Instance().LogFileName().endsWith("/test_drive_log.log"));

    ReadDisc();
    QFile file(TsbLogger::Instance().LogFileName());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
    const QRegularExpression stamp(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d: "));
    QStringList messages;
    for (const QString& line : lines) {
        EXPECT_TRUE(stamp.match(line).hasMatch()) << line.toStdString();
        messages << line.mid(14);
    }
    // Main thread, discovery worker and track-list worker all log.
    for (const char* expected :
         {"Vantrell_UpStartEx", "Vantrell_FindDevice", "Vantrell_CdvdBurnerGrabber_TestUnitReady",
          "Vantrell_CdvdBurnerGrabber_Create (after create): PortID:200,BusID:0,TargetID:0,LUN:0",
          "Vantrell_CdvdBurnerGrabber_GetTOCInformation",
          "TOC Index 1, Track Number: 0x01, Entry Valid: Yes",
          "Track Mode: 0x00, MODE2 Form: 0x00 (if Track Mode = 0x02), LB (logical block) Size In "
          "UCHARs: 2352",
          "Vantrell_Destroy: Grabber"})
        EXPECT_TRUE(messages.contains(expected)) << expected << "\n"
                                                 << messages.join("\n").toStdString();
}

// The log becomes unwritable after start-up (here its name turns into a folder, which even
// root cannot append to): the search's workers fail their log writes, and the process goes on.
TEST_F(LogTest, UnwritableLogNeverEndsTheProgram) {
    Settings("[Vantrell]\nLogEnabled=1\n");
    TsbLogger::Reload();
    ASSERT_TRUE(TsbLogger::Instance().LogEnabled());
    discimage::Disc disc{{}, {}, {discimage::ToneTrack(1, 440)}};
    const auto written = discimage::WriteCueBin(disc, config_.path().toStdString(), "logdisc");
    qputenv("TONVALE_VIRTUAL_DRIVES", QByteArray::fromStdString(written.cuePath));
    StartVantrellLibrary();
    const QString log = TsbLogger::Instance().LogFileName();
    QFile::remove(log);
    ASSERT_TRUE(QDir().mkdir(log));
    {
        TsbDeviceFinder finder;
        try {
            finder.Find(false);
        } catch (const std::exception&) {
            // a failed log write on this thread may be reported; ending the program may not
        }
        EXPECT_LE(finder.Devices.Count(), 1);
    }
    QDir().rmdir(log);
    StopVantrellLibrary();
    qunsetenv("TONVALE_VIRTUAL_DRIVES");
}

// Text taken from the user (a file name with "%1" in it) is logged as it is.
TEST_F(LogTest, FileNameWithPlaceholdersIsLoggedAsItIs) {
    Settings("[Vantrell]\nLogEnabled=1\n");
    TsbLogger::Reload();
    {
        TsbBurner burner;
        OpenDisc(burner);
        TsbGrabAction action;
        TsbGrabTrack& track = action.Tracks.Add();
        track.TrackNumber = 1;
        track.TrackType = ttAudio;
        track.FileName = config_.filePath(QStringLiteral("50%1 %2 off.wav"));
        burner.CompressionLevel = CompressionLevelFor(0);
        TsbActionList actions;
        actions.Burner = &burner;
        actions.Add()->Action = &action;
        action.Execute(actions.Items(0));
        EXPECT_TRUE(action.Success);
        CallBackEventer().GrabActive = false;
    }
    CloseDisc();
    QFile file(TsbLogger::Instance().LogFileName());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString log = QString::fromUtf8(file.readAll());
    const QString name = config_.filePath(QStringLiteral("50%1 %2 off.wav"));
    for (const QString& expected :
         {QStringLiteral("Vantrell_CdvdBurnerGrabber_GrabTrack: Track #1, Output file: ") + name +
              '\n',
          QStringLiteral(" -> ") + name + QStringLiteral(" with compression: 0\n")})
        EXPECT_TRUE(log.contains(expected)) << expected.toStdString() << "\n" << log.toStdString();
}

TEST_F(LogTest, AbsentSettingWritesNoFile) {
    TsbLogger::Reload();
    EXPECT_FALSE(TsbLogger::Instance().LogEnabled());
    ReadDisc();
    EXPECT_FALSE(QFile::exists(TsbLogger::Instance().LogFileName()));

    Settings("[Vantrell]\nLogLevel=2\n"); // the group without the value
    TsbLogger::Reload();
    ReadDisc();
    EXPECT_FALSE(QFile::exists(TsbLogger::Instance().LogFileName()));
}
} // namespace
