// The device monitor: virtual drives inserted and removed by creating and deleting their
// image files or by their simulated tray, the baseline and debounce, the owner's thread, the
// release of every resource, and the classification of udev block events (no udev daemon
// and no optical drive here).
#include "AppTestUtil.h"
#include "DeviceMonitor.h"
#include "DiscImage.h"
#include "Vantrell.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace {

constexpr int Arrival = TDeviceMonitor::DBT_DEVICEARRIVAL;
constexpr int Removal = TDeviceMonitor::DBT_DEVICEREMOVECOMPLETE;
// Long enough for the slowest source (the poll) under a sanitizer.
constexpr int EventTimeoutMs = 4 * TDeviceMonitor::MediaPollMs;

// What a quiet period must last to show that no further call comes: a whole poll and a bit.
void QuietPeriod() {
    apptest::WaitUntil([] { return false; }, TDeviceMonitor::MediaPollMs + 700);
}

int OpenFileDescriptors() {
    return int(QDir(QStringLiteral("/proc/self/fd")).count()) - 2;
}

class DeviceMonitorTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (qEnvironmentVariableIsSet("TONVALE_VIRTUAL_DRIVES"))
            saved_ = qgetenv("TONVALE_VIRTUAL_DRIVES");
        ASSERT_TRUE(dir_.isValid());
    }
    void TearDown() override {
        monitor_.reset();
        if (saved_)
            qputenv("TONVALE_VIRTUAL_DRIVES", *saved_);
        else
            qunsetenv("TONVALE_VIRTUAL_DRIVES");
    }

    QString Path(const QString& relative) const { return dir_.filePath(relative); }

    static void SetDrives(const QStringList& images) {
        QByteArray list;
        for (const QString& image : images)
            list += (list.isEmpty() ? "" : ":") + QFile::encodeName(image);
        qputenv("TONVALE_VIRTUAL_DRIVES", list);
    }

    // Writes <folder>/<base>.cue and .bin; returns the CUE's path.
    static QString WriteImage(const QString& folder, const QString& base) {
        discimage::Disc disc;
        disc.tracks.push_back(discimage::ToneTrack(2, 440));
        return QFile::decodeName(discimage::WriteCueBin(disc,
                                                        QFile::encodeName(folder).toStdString(),
                                                        QFile::encodeName(base).toStdString())
                                     .cuePath.c_str());
    }

    TDeviceMonitor& StartMonitor() {
        monitor_ = std::make_unique<TDeviceMonitor>();
        monitor_->OnDeviceChange = [this](int code) {
            codes_.push_back(code);
            threads_.push_back(QThread::currentThread());
        };
        monitor_->Start();
        return *monitor_;
    }

    bool WaitForCodes(size_t count) {
        return apptest::WaitUntil([&] { return codes_.size() >= count; }, EventTimeoutMs);
    }

    QTemporaryDir dir_;
    std::optional<QByteArray> saved_;
    std::unique_ptr<TDeviceMonitor> monitor_;
    std::vector<int> codes_;
    std::vector<QThread*> threads_;
};

TEST_F(DeviceMonitorTest, ImageAppearingIsOneArrivalAndDeletingItOneRemoval) {
    const QString cue = Path(QStringLiteral("disc.cue"));
    SetDrives({cue});
    TDeviceMonitor& monitor = StartMonitor();
    monitor.Start(); // a second Start changes nothing: still one call per change

    ASSERT_EQ(WriteImage(dir_.path(), QStringLiteral("disc")), cue);
    ASSERT_TRUE(WaitForCodes(1));
    EXPECT_EQ(codes_, std::vector<int>({Arrival}));

    ASSERT_TRUE(QFile::remove(cue));
    ASSERT_TRUE(WaitForCodes(2));
    QuietPeriod();
    EXPECT_EQ(codes_, std::vector<int>({Arrival, Removal}));
    for (QThread* thread : threads_)
        EXPECT_EQ(thread, monitor.thread());
}

TEST_F(DeviceMonitorTest, TheFolderWatchSeesAnImageBeforeThePollRuns) {
    SetDrives({Path(QStringLiteral("disc.cue"))});
    QElapsedTimer sinceStart;
    sinceStart.start();
    StartMonitor();
    WriteImage(dir_.path(), QStringLiteral("disc"));
    ASSERT_TRUE(WaitForCodes(1));
    // The first poll runs a whole period after Start: an earlier call came from the watch.
    EXPECT_LT(sinceStart.elapsed(), TDeviceMonitor::MediaPollMs - 100);
}

TEST_F(DeviceMonitorTest, OnlyTheListedCueCountsNotItsBin) {
    const QString cue = WriteImage(dir_.path(), QStringLiteral("disc"));
    const QString bin = Path(QStringLiteral("disc.bin"));
    SetDrives({cue});
    StartMonitor();

    ASSERT_TRUE(QFile::remove(bin));
    QuietPeriod();
    EXPECT_TRUE(codes_.empty());

    ASSERT_TRUE(QFile::remove(cue));
    ASSERT_TRUE(WaitForCodes(1));
    EXPECT_EQ(codes_, std::vector<int>({Removal}));
}

TEST_F(DeviceMonitorTest, StableStateAndAnImageReplacedByRenameGiveNoEvents) {
    const QString present = WriteImage(dir_.path(), QStringLiteral("present"));
    SetDrives({present, Path(QStringLiteral("missing.cue")),
               Path(QStringLiteral("no/such/folder/missing.cue"))});
    TDeviceMonitor& monitor = StartMonitor();
    EXPECT_NE(monitor.Source(), TDeviceMonitor::TSource::None);
    QuietPeriod();
    EXPECT_TRUE(codes_.empty());

    // Written again under temporary names and renamed over the old files: never absent.
    WriteImage(dir_.path(), QStringLiteral("present"));
    QuietPeriod();
    EXPECT_TRUE(codes_.empty());
}

TEST_F(DeviceMonitorTest, ClosingTheVirtualTrayIsAnArrivalAndOpeningItARemoval) {
    const QString cue = WriteImage(dir_.path(), QStringLiteral("tray"));
    SetDrives({cue});
    ASSERT_EQ(Vantrell_UpStartEx(0), 0);
    char text[VANTRELL_EXCEPTION_TEXT_SIZE] = {};
    VantrellObject* drive = nullptr;
    const QByteArray name = "dev:" + QFile::encodeName(cue);
    ASSERT_EQ(Vantrell_CdvdBurnerGrabber_CreateEx(&drive, text, sizeof text, nullptr, nullptr,
                                                  nullptr, nullptr, name.constData(), 0),
              0)
        << text;
    StartMonitor();

    ASSERT_EQ(Vantrell_CdvdBurnerGrabber_Eject(drive, text, sizeof text, nullptr, nullptr), 0)
        << text;
    ASSERT_TRUE(WaitForCodes(1));
    ASSERT_EQ(Vantrell_CdvdBurnerGrabber_CloseTray(drive, text, sizeof text, nullptr, nullptr), 0)
        << text;
    ASSERT_TRUE(WaitForCodes(2));
    QuietPeriod();
    EXPECT_EQ(codes_, std::vector<int>({Removal, Arrival}));

    // Opened and closed again between two looks: still out and back in.
    ASSERT_EQ(Vantrell_CdvdBurnerGrabber_Eject(drive, text, sizeof text, nullptr, nullptr), 0)
        << text;
    ASSERT_EQ(Vantrell_CdvdBurnerGrabber_CloseTray(drive, text, sizeof text, nullptr, nullptr), 0)
        << text;
    ASSERT_TRUE(WaitForCodes(4));
    QuietPeriod();
    EXPECT_EQ(codes_, std::vector<int>({Removal, Arrival, Removal, Arrival}));

    Vantrell_Destroy(&drive);
    Vantrell_DownShut();
}

TEST_F(DeviceMonitorTest, ATrayOpenAtStartIsTheBaseline) {
    const QString cue = WriteImage(dir_.path(), QStringLiteral("open"));
    SetDrives({cue});
    char text[VANTRELL_EXCEPTION_TEXT_SIZE] = {};
    VantrellObject* drive = nullptr;
    const QByteArray name = "dev:" + QFile::encodeName(cue);
    ASSERT_EQ(Vantrell_UpStartEx(0), 0);
    ASSERT_EQ(Vantrell_CdvdBurnerGrabber_CreateEx(&drive, text, sizeof text, nullptr, nullptr,
                                                  nullptr, nullptr, name.constData(), 0),
              0)
        << text;
    ASSERT_EQ(Vantrell_CdvdBurnerGrabber_Eject(drive, text, sizeof text, nullptr, nullptr), 0);
    EXPECT_EQ(Vantrell_IsVirtualTrayOpen(QFile::encodeName(cue).constData(), nullptr), 1);
    StartMonitor();

    // The image goes and comes back while the tray is open: the drive stays empty.
    ASSERT_TRUE(QFile::remove(cue));
    WriteImage(dir_.path(), QStringLiteral("open"));
    QuietPeriod();
    EXPECT_TRUE(codes_.empty());

    ASSERT_EQ(Vantrell_CdvdBurnerGrabber_CloseTray(drive, text, sizeof text, nullptr, nullptr), 0);
    EXPECT_EQ(Vantrell_IsVirtualTrayOpen(QFile::encodeName(cue).constData(), nullptr), 0);
    ASSERT_TRUE(WaitForCodes(1));
    EXPECT_EQ(codes_, std::vector<int>({Arrival}));
    Vantrell_Destroy(&drive);
    Vantrell_DownShut();
}

TEST_F(DeviceMonitorTest, FolderCreatedAfterStartWithTheImageIsAnArrival) {
    const QString folder = Path(QStringLiteral("later/discs"));
    SetDrives({folder + QStringLiteral("/disc.cue")});
    StartMonitor();

    ASSERT_TRUE(QDir().mkpath(folder));
    WriteImage(folder, QStringLiteral("disc"));
    ASSERT_TRUE(WaitForCodes(1));
    EXPECT_EQ(codes_, std::vector<int>({Arrival}));

    // Its folder, now watched itself, goes away with the image.
    ASSERT_TRUE(QDir(Path(QStringLiteral("later"))).removeRecursively());
    ASSERT_TRUE(WaitForCodes(2));
    QuietPeriod();
    EXPECT_EQ(codes_, std::vector<int>({Arrival, Removal}));
}

TEST_F(DeviceMonitorTest, TwoDrivesEachReportTheirOwnChange) {
    const QString first = Path(QStringLiteral("first.cue"));
    const QString second = Path(QStringLiteral("second.cue"));
    SetDrives({first, second, first}); // listed twice: still one drive's change
    StartMonitor();

    WriteImage(dir_.path(), QStringLiteral("first"));
    WriteImage(dir_.path(), QStringLiteral("second"));
    ASSERT_TRUE(WaitForCodes(2));
    QuietPeriod();
    EXPECT_EQ(codes_, std::vector<int>({Arrival, Arrival}));
}

TEST_F(DeviceMonitorTest, StopInTheHandlerDropsTheChangesStillQueued) {
    // Two drives whose folder is renamed into place: both media appear at one look.
    const QString stage = Path(QStringLiteral("stage"));
    const QString box = Path(QStringLiteral("box"));
    SetDrives({box + QStringLiteral("/first.cue"), box + QStringLiteral("/second.cue")});
    TDeviceMonitor& monitor = StartMonitor();
    monitor.OnDeviceChange = [&](int code) {
        codes_.push_back(code);
        monitor.Stop();
    };
    ASSERT_TRUE(QDir().mkpath(stage));
    WriteImage(stage, QStringLiteral("first"));
    WriteImage(stage, QStringLiteral("second"));
    ASSERT_TRUE(QDir().rename(stage, box));
    ASSERT_TRUE(WaitForCodes(1));
    QuietPeriod();
    EXPECT_EQ(codes_, std::vector<int>({Arrival}));
}

TEST_F(DeviceMonitorTest, StopEndsTheCallsAndStartTakesANewBaseline) {
    const QString cue = Path(QStringLiteral("disc.cue"));
    SetDrives({cue});
    TDeviceMonitor& monitor = StartMonitor();
    monitor.Stop();
    EXPECT_EQ(monitor.Source(), TDeviceMonitor::TSource::None);
    monitor.Stop(); // twice: nothing

    WriteImage(dir_.path(), QStringLiteral("disc"));
    QuietPeriod();
    EXPECT_TRUE(codes_.empty());

    // Started again, the image now there is the new baseline.
    monitor.Start();
    QuietPeriod();
    EXPECT_TRUE(codes_.empty());
    ASSERT_TRUE(QFile::remove(cue));
    ASSERT_TRUE(WaitForCodes(1));
    EXPECT_EQ(codes_, std::vector<int>({Removal}));
}

TEST_F(DeviceMonitorTest, NoVirtualDrivesAndNoOpticalDriveAreNoError) {
    qunsetenv("TONVALE_VIRTUAL_DRIVES");
    TDeviceMonitor& monitor = StartMonitor();
    // This machine has no udev daemon: the kernel's events, /dev and the poll stand in.
    if (!QFileInfo::exists(QStringLiteral("/run/udev/control"))) {
        EXPECT_EQ(monitor.Source(), TDeviceMonitor::TSource::Kernel);
    }
    QuietPeriod();
    EXPECT_TRUE(codes_.empty());
    EXPECT_TRUE(apptest::Boxes().Shown().empty());
}

TEST_F(DeviceMonitorTest, DestroyingTheMonitorClosesEveryDescriptor) {
    SetDrives({Path(QStringLiteral("disc.cue")), Path(QStringLiteral("gone/disc.cue"))});
    QuietPeriod(); // let Qt finish opening what it opens once
    const int before = OpenFileDescriptors();
    for (int round = 0; round < 3; ++round) {
        TDeviceMonitor monitor;
        monitor.Start();
        apptest::WaitUntil([] { return false; }, 50);
        monitor.Stop();
        monitor.Start();
        apptest::WaitUntil([] { return false; }, 50);
    }
    EXPECT_EQ(OpenFileDescriptors(), before);
}

// ---- classification of udev block events ------------------------------------------------

struct BlockEventCase {
    const char* name;
    const char* action;
    QHash<QString, QString> properties;
    int code;
};

TEST(DeviceMonitorClassify, BlockEventsOfOpticalDrives) {
    const QString cd = QStringLiteral("ID_CDROM");
    const QString media = QStringLiteral("ID_CDROM_MEDIA");
    const QString eject = QStringLiteral("DISK_EJECT_REQUEST");
    const QString one = QStringLiteral("1");
    const std::vector<BlockEventCase> cases = {
        {"change with a medium", "change", {{cd, one}, {media, one}}, Arrival},
        {"change, medium gone", "change", {{cd, one}}, Removal},
        {"change, medium 0", "change", {{cd, one}, {media, QStringLiteral("0")}}, Removal},
        {"add with a medium", "add", {{cd, one}, {media, one}}, Arrival},
        {"add of an empty drive", "add", {{cd, one}}, 0},
        {"remove with a medium", "remove", {{cd, one}, {media, one}}, Removal},
        {"remove of an empty drive", "remove", {{cd, one}}, Removal},
        {"eject button pressed", "change", {{cd, one}, {media, one}, {eject, one}}, 0},
        {"bind", "bind", {{cd, one}, {media, one}}, 0},
        {"move", "move", {{cd, one}, {media, one}}, 0},
        {"empty action", "", {{cd, one}, {media, one}}, 0},
        {"a hard disk's change",
         "change",
         {{QStringLiteral("DEVTYPE"), QStringLiteral("disk")}},
         0},
        {"a hard disk's remove", "remove", {}, 0},
        {"ID_CDROM 0", "change", {{cd, QStringLiteral("0")}, {media, one}}, 0},
        {"media without ID_CDROM", "add", {{media, one}}, 0},
    };
    for (const BlockEventCase& c : cases)
        EXPECT_EQ(TDeviceMonitor::ClassifyBlockEvent(QString::fromUtf8(c.action), c.properties),
                  c.code)
            << c.name;
}

} // namespace
