// Discovery, track listing and grabbing on disc images the tests write, served
// as virtual drives (TONVALE_VIRTUAL_DRIVES) through the drive library.
#include "DiscImage.h"
#include "sbBurner.h"
#include "sbDeviceFinder.h"
#include "sbGrab.h"
#include "sbLogger.h"
#include "sbTrackList.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <utility>
#include <vector>

// Readable failure output for QString comparisons.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace {
using discimage::Disc;
using discimage::Track;

class DriveTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        StartVantrellLibrary();
    }
    void TearDown() override {
        StopVantrellLibrary();
        qunsetenv("TONVALE_VIRTUAL_DRIVES");
    }

    std::string Folder() const { return dir_.path().toStdString(); }
    // Writes a disc image and returns its CUE path.
    std::string Write(const Disc& disc, const std::string& name,
                      const discimage::WriteOptions& options = {}) {
        return discimage::WriteCueBin(disc, Folder(), name, options).cuePath;
    }
    static void UseDrives(const std::vector<std::string>& paths) {
        std::string list;
        for (const std::string& path : paths)
            list += (list.empty() ? "" : ":") + path;
        qputenv("TONVALE_VIRTUAL_DRIVES", QByteArray::fromStdString(list));
    }
    static void Search(TsbDeviceFinder& finder) {
        finder.TransportType = ttAspi;
        finder.InfoText = sbres::ScanningDevices;
        finder.Find(false);
    }
    // Opens the drive as the window does and reads its track list.
    static void ReadTracks(const TsbDeviceItem& item, TsbBurner& burner, TsbTrackList& tracks) {
        burner.TransportType = item.TransportType;
        burner.Address = item.Address;
        burner.DeviceName = item.DeviceName;
        burner.DiscType = item.DiscType;
        burner.OpenDevice();
        TsbTrackListReader reader;
        reader.Read(&burner, &tracks, false);
    }
    // The rows the window lists: caption, length text, size text.
    static std::vector<std::vector<QString>> Rows(const TsbTrackList& tracks) {
        std::vector<std::vector<QString>> rows;
        for (int i = 0; i < tracks.Count(); ++i) {
            const TsbTrack& track = tracks.Items(i);
            if (track.TocEntry.AudioTrack)
                rows.push_back(
                    {QStringLiteral("Track%1").arg(i + 1),
                     FormatTime(TimeFormatFor(track.TrackSizeInTime), track.TrackSizeInTime),
                     SizeInMB(track.TrackSizeInBytes)});
        }
        return rows;
    }

    QTemporaryDir dir_;
};

TEST_F(DriveTest, DiscoveryAndTrackListOfEachKindOfDisc) {
    Disc audio{"Album", "Band", {discimage::ToneTrack(180, 440), discimage::ToneTrack(2, 660)}};
    Disc mixed{
        {},
        {},
        {discimage::DataTrack(300), discimage::ToneTrack(4, 440), discimage::ToneTrack(1, 880)}};
    Disc data{{}, {}, {discimage::DataTrack(300, "MY_FILES")}};
    Disc many;
    for (int i = 0; i < 99; ++i)
        many.tracks.push_back(discimage::ToneTrack(0.2, 300 + i));

    const std::string audioCue = Write(audio, "audio");
    const std::string missing = Folder() + "/not-there.cue";
    struct Case {
        const char* name;
        std::vector<std::string> drives;
        std::vector<uint8_t> discTypes;
        std::vector<QString> labels;
        int chosen; // the first drive holding an audio CD, -1 for none
        std::vector<std::vector<QString>> rows;
    } cases[] = {
        {"audio",
         {audioCue},
         {DISC_TYPE_CDR},
         {"Album"},
         0,
         {{"Track1", "03:00", "30.28 MB"}, {"Track2", "00:02", "0.34 MB"}}},
        {"mixed",
         {Write(mixed, "mixed")},
         {DISC_TYPE_CDR},
         {"TONVALE_DATA"},
         0,
         {{"Track2", "00:04", "0.67 MB"}, {"Track3", "00:01", "0.17 MB"}}},
        {"data", {Write(data, "data")}, {DISC_TYPE_CDROM}, {"MY_FILES"}, -1, {}},
        {"empty", {missing}, {DISC_TYPE_NO_MEDIA}, {""}, -1, {}},
        {"first empty",
         {missing, audioCue},
         {DISC_TYPE_NO_MEDIA, DISC_TYPE_CDR},
         {"", "Album"},
         1,
         {{"Track1", "03:00", "30.28 MB"}, {"Track2", "00:02", "0.34 MB"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UseDrives(c.drives);
        TsbDeviceFinder finder;
        Search(finder);
        ASSERT_EQ(finder.Devices.Count(), static_cast<int>(c.drives.size()));
        int chosen = -1;
        for (int i = 0; i < finder.Devices.Count(); ++i) {
            const TsbDeviceItem& item = finder.Devices.Items(i);
            EXPECT_EQ(item.DiscType, c.discTypes[static_cast<size_t>(i)])
                << DiscTypeName(item.DiscType).toStdString();
            EXPECT_EQ(item.DiscLabel, c.labels[static_cast<size_t>(i)]);
            EXPECT_EQ(item.DriveLetter.toStdString(), c.drives[static_cast<size_t>(i)]);
            EXPECT_EQ(item.Address.PortID, 200 + i);
            if (item.DiscType == DISC_TYPE_NO_MEDIA) {
                EXPECT_EQ(item.Toc.EntryCount, 0);
            }
            if (chosen < 0 && item.DiscType == DISC_TYPE_CDR)
                chosen = i;
        }
        ASSERT_EQ(chosen, c.chosen);
        if (chosen < 0)
            continue;
        TsbBurner burner;
        TsbTrackList tracks;
        ReadTracks(finder.Devices.Items(chosen), burner, tracks);
        EXPECT_EQ(Rows(tracks), c.rows);
    }

    // The values behind the texts of a 3-minute track.
    UseDrives({audioCue});
    TsbDeviceFinder finder;
    Search(finder);
    TsbBurner burner;
    TsbTrackList tracks;
    ReadTracks(finder.Devices.Items(0), burner, tracks);
    ASSERT_EQ(tracks.Count(), 2);
    EXPECT_EQ(tracks.Items(0).TrackSizeInLB, 180 * 75);
    EXPECT_EQ(tracks.Items(0).TrackSizeInBytes, 180 * 176400);
    EXPECT_DOUBLE_EQ(tracks.Items(0).TrackSizeInTime, 180.0 / 86400.0);

    // 99 tracks, and a data track with a size but no time.
    UseDrives({Write(many, "many"), Write(mixed, "mixed2")});
    Search(finder);
    ASSERT_EQ(finder.Devices.Count(), 2);
    EXPECT_EQ(finder.Devices.Items(0).Toc.EntryCount, 99);
    TsbBurner manyBurner;
    TsbTrackList manyTracks;
    ReadTracks(finder.Devices.Items(0), manyBurner, manyTracks);
    const auto rows = Rows(manyTracks);
    ASSERT_EQ(rows.size(), 99u);
    EXPECT_EQ(rows.back()[0], "Track99");
    TsbBurner mixedBurner;
    TsbTrackList mixedTracks;
    ReadTracks(finder.Devices.Items(1), mixedBurner, mixedTracks);
    ASSERT_EQ(mixedTracks.Count(), 3);
    EXPECT_EQ(mixedTracks.Items(0).TrackSizeInBytes, 300 * 2048);
    EXPECT_EQ(mixedTracks.Items(0).TrackSizeInTime, 0);
}

// A disc of a set can start at track 5: every track is listed under its own number.
TEST_F(DriveTest, DiscWhoseFirstTrackIsFiveListsEveryTrack) {
    discimage::WriteOptions options;
    options.firstTrack = 5;
    UseDrives({Write({"Second", {}, {discimage::ToneTrack(2, 440), discimage::ToneTrack(1, 660)}},
                     "fromfive", options)});
    TsbDeviceFinder finder;
    Search(finder);
    ASSERT_EQ(finder.Devices.Count(), 1);
    EXPECT_EQ(finder.Devices.Items(0).Toc.FirstTrack, 5);
    TsbBurner burner;
    TsbTrackList tracks;
    ReadTracks(finder.Devices.Items(0), burner, tracks);
    EXPECT_EQ(burner.LastExceptionCode, 0) << burner.LastMessage.toStdString();
    ASSERT_EQ(tracks.Count(), 2);
    EXPECT_EQ(tracks.Items(0).TocEntry.TrackNumber, 5);
    EXPECT_EQ(tracks.Items(0).TrackInfo.TrackNumber, 5);
    EXPECT_EQ(tracks.Items(1).TocEntry.TrackNumber, 6);
    EXPECT_EQ(tracks.Items(1).TrackInfo.TrackNumber, 6);
    EXPECT_EQ(Rows(tracks), (std::vector<std::vector<QString>>{{"Track1", "00:02", "0.34 MB"},
                                                               {"Track2", "00:01", "0.17 MB"}}));
}

TEST_F(DriveTest, TocResultEightGivesAnEmptyList) {
    UseDrives({Folder() + "/no-disc.cue"});
    TsbDeviceFinder finder;
    Search(finder);
    ASSERT_EQ(finder.Devices.Count(), 1);
    TsbBurner burner;
    TsbTrackList tracks;
    tracks.Add(); // a reading empties the list first
    ReadTracks(finder.Devices.Items(0), burner, tracks);
    EXPECT_EQ(tracks.Count(), 0);
    EXPECT_EQ(burner.LastExceptionCode, VANTRELL_EXCEPTION_NO_TOC);
    EXPECT_FALSE(burner.LastMessage.contains("failed"));
}

// Grabbing: a session opened on the first drive, a grab action run as the
// application runs it, its messages and progress collected.
class GrabTest : public DriveTest {
protected:
    struct Result {
        bool success = false;
        std::vector<QString> messages;
        std::vector<int64_t> progress;
    };
    Result Grab(const std::string& cue, const std::vector<int>& trackNumbers,
                bool cancelFirst = false) {
        UseDrives({cue});
        TsbDeviceFinder finder;
        Search(finder);
        EXPECT_EQ(finder.Devices.Count(), 1);
        const TsbDeviceItem& item = finder.Devices.Items(0);
        burner_.TransportType = item.TransportType;
        burner_.Address = item.Address;
        burner_.DiscType = item.DiscType;
        burner_.OpenDevice();
        burner_.Lock();
        burner_.CompressionLevel = CompressionLevelFor(0);
        burner_.CancelRequested = cancelFirst;

        Result result;
        TsbGrabAction action;
        for (int number : trackNumbers) {
            TsbGrabTrack& track = action.Tracks.Add();
            track.TrackNumber = number;
            track.FileName = OutFile(number);
            track.TrackType = ttData;
        }
        action.OnMessage = [&](void*, const QString& text, TsbLogItemType) {
            result.messages.push_back(text);
        };
        TsbActionList actions;
        actions.Burner = &burner_;
        actions.Add()->Action = &action;
        CallBackEventer().OnProgress.Set([&](void* sender, int64_t percent) {
            if (sender == &action) // the action's own reports: start and per track
                result.progress.push_back(percent);
        });
        action.Execute(actions.Items(0));
        CallBackEventer().GrabActive = false;
        CallBackEventer().OnProgress.Clear();
        result.success = action.Success;
        return result;
    }
    QString OutFile(int number) const {
        return QDir(outDir_.path()).filePath(QStringLiteral("Track%1.wav").arg(number));
    }
    QByteArray Pcm(int number) const {
        QFile file(OutFile(number));
        EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << number;
        const QByteArray wav = file.readAll();
        EXPECT_GE(wav.size(), 44);
        EXPECT_TRUE(wav.startsWith("RIFF"));
        return wav.mid(44);
    }
    static QByteArray Bytes(const Track& track) {
        const std::vector<uint8_t> pcm = discimage::TrackPcm(track);
        return QByteArray(reinterpret_cast<const char*>(pcm.data()),
                          static_cast<qsizetype>(pcm.size()));
    }

    QTemporaryDir outDir_;
    TsbBurner burner_;
};

TEST_F(GrabTest, GrabbedPcmEqualsTheImageBytes) {
    Disc disc{{}, {}, {discimage::ToneTrack(1.5, 440, 0.5), discimage::ToneTrack(2.3, 523, 0.7)}};
    const Result result = Grab(Write(disc, "pcm"), {2});
    EXPECT_TRUE(result.success);
    EXPECT_EQ(result.messages, (std::vector<QString>{"Testing unit ready", "Grabbing Track # 2",
                                                     "Grabbing complete"}));
    EXPECT_EQ(result.progress, (std::vector<int64_t>{0, 100}));
    const QByteArray expected = Bytes(disc.tracks[1]);
    const QByteArray pcm = Pcm(2);
    EXPECT_EQ(pcm.size(), expected.size());
    EXPECT_TRUE(pcm == expected);
    EXPECT_FALSE(QFile::exists(OutFile(1)));
}

TEST_F(GrabTest, UnreadableTrackFailsLeavesNoFileAndLaterTracksAreGrabbed) {
    Disc disc{
        {},
        {},
        {discimage::ToneTrack(1, 440), discimage::ToneTrack(2, 550), discimage::ToneTrack(1, 660)}};
    // Cut the BIN in the middle of track 2: its sectors cannot be read.
    auto written = discimage::WriteCueBin(disc, Folder(), "probe");
    const int64_t cut = static_cast<int64_t>(written.trackStart[1] + 75) * discimage::kSectorBytes;
    discimage::WriteOptions options;
    options.truncateBinTo = cut;
    const std::string cue = Write(disc, "damaged", options);

    // Everything behind the cut is unreadable, so the entry after the failing one
    // is track 1.
    const Result result = Grab(cue, {2, 1});
    EXPECT_FALSE(result.success);
    EXPECT_TRUE(
        burner_.LastMessage.startsWith("Vantrell_CdvdBurnerGrabber_GrabTrack() failed, exception "))
        << burner_.LastMessage.toStdString();
    EXPECT_TRUE(QFile::exists(OutFile(1)));
    EXPECT_FALSE(QFile::exists(OutFile(2)));
    EXPECT_EQ(Pcm(1), Bytes(disc.tracks[0]));
    EXPECT_EQ(result.messages.back(), "Grabbing complete");
    // Nothing else, hidden or not, is left in the output folder.
    EXPECT_EQ(QDir(outDir_.path()).entryList(QDir::Files | QDir::Hidden),
              QStringList{"Track1.wav"});
}

TEST_F(GrabTest, CancelBeforeStartCopiesNothing) {
    Disc disc{{}, {}, {discimage::ToneTrack(1, 440)}};
    const Result result = Grab(Write(disc, "cancel"), {1}, true);
    EXPECT_EQ(result.messages, (std::vector<QString>{"Testing unit ready", "Grabbing canceled!",
                                                     "Grabbing complete"}));
    EXPECT_TRUE(result.success);
    EXPECT_FALSE(QFile::exists(OutFile(1)));
}
} // namespace
