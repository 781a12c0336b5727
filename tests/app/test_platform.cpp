// The operating-system check, the "readable disc in any drive" test and the
// tray command strings, on virtual drives served from disc images the tests
// write.
#include "DiscImage.h"
#include "UnitPlatform.h"
#include "Vantrell.h"

#include <QByteArray>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

TEST(PlatformKind, MapsPlatformIdentifiersToFamilies) {
    struct Case {
        long id;
        int kind;
    };
    const Case cases[] = {{1, 0}, {2, 1}, {0, -1}, {3, -1}, {-1, -1}, {258, -1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        EXPECT_EQ(PlatformKindOf(c.id), c.kind);
    }
}

TEST(PlatformKind, ThisSystemIsNeitherFamilyAndNeedsAddressRecords) {
    EXPECT_EQ(PlatformKind(), -1);
    EXPECT_TRUE(NeedsAspi());
}

struct DeviceCloser {
    void operator()(VantrellObject* object) const { Vantrell_Destroy(&object); }
};

void CountDrive(uint8_t reason, void* context, void*, void*) {
    if (reason == VANTRELL_REASON_DEVICE_FOUND)
        ++*static_cast<int*>(context);
}

class TrayTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        Vantrell_UpStartEx(0);
        UseDrives({});
        int drives = 0;
        Vantrell_FindDevice(5, 0, &CountDrive, &drives);
        // The tray commands act on the first drive; never on a real one of this machine.
        if (drives > 0)
            GTEST_SKIP() << "this machine has optical drives";
        discimage::Disc disc;
        disc.tracks.push_back(discimage::ToneTrack(1.0, 440.0));
        cue_ = discimage::WriteCueBin(disc, dir_.path().toStdString(), "disc").cuePath;
    }
    void TearDown() override {
        SetDefaultCdDrive(QString());
        UseDrives({});
        Vantrell_DownShut();
    }

    static void UseDrives(const std::vector<std::string>& paths) {
        std::string list;
        for (const std::string& path : paths)
            list += (list.empty() ? "" : ":") + path;
        qputenv("TONVALE_VIRTUAL_DRIVES", QByteArray::fromStdString(list));
    }
    std::string Missing() const {
        return dir_.filePath(QStringLiteral("missing.cue")).toStdString();
    }

    QTemporaryDir dir_;
    std::string cue_;
};

TEST_F(TrayTest, OpenAndClosedStringsTakeTheMediumOutAndBack) {
    UseDrives({cue_});
    ASSERT_TRUE(AnyCDVolume());
    EXPECT_EQ(SendMciString(QStringLiteral("set CDAUDIO door open wait")), 0u);
    EXPECT_FALSE(AnyCDVolume()) << "tray open";
    EXPECT_EQ(SendMciString(QStringLiteral("Set cdaudio door open wait")), 0u) << "already open";
    EXPECT_FALSE(AnyCDVolume());
    EXPECT_EQ(SendMciString(QStringLiteral("  Set cdaudio door closed wait ")), 0u);
    EXPECT_TRUE(AnyCDVolume()) << "tray closed";
}

TEST_F(TrayTest, AnyDriveWithAReadableDiscCounts) {
    struct Case {
        const char* name;
        std::vector<std::string> drives;
        bool any;
    };
    const Case cases[] = {
        {"no drive", {}, false},
        {"an empty drive", {Missing()}, false},
        {"the disc in the second drive", {Missing(), cue_}, true},
        {"the disc in the first drive", {cue_, Missing()}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UseDrives(c.drives);
        EXPECT_EQ(AnyCDVolume(), c.any);
    }
}

// The strings act on the default drive: the first one unless another is chosen.
TEST_F(TrayTest, OnlyTheDefaultDrivesTrayMoves) {
    UseDrives({Missing(), cue_});
    struct Case {
        QString chosen;
        bool secondMoves;
    };
    for (const Case& c : {Case{QString(), false}, Case{QString::fromStdString(cue_), true}}) {
        SCOPED_TRACE(c.chosen.toStdString());
        SetDefaultCdDrive(c.chosen);
        EXPECT_EQ(DefaultCdDrive(), c.chosen);
        EXPECT_EQ(SendMciString(QStringLiteral("Set cdaudio door open wait")), 0u);
        EXPECT_EQ(AnyCDVolume(), !c.secondMoves) << "the second drive's disc";
        EXPECT_EQ(SendMciString(QStringLiteral("Set cdaudio door closed wait")), 0u);
        EXPECT_TRUE(AnyCDVolume());
    }
    SetDefaultCdDrive(dir_.filePath(QStringLiteral("not-a-drive.cue")));
    EXPECT_EQ(SendMciString(QStringLiteral("Set cdaudio door open wait")), MciErrorNoDrive);
    EXPECT_TRUE(AnyCDVolume());
}

TEST_F(TrayTest, OtherStringsFailAndLeaveTheTrayAlone) {
    UseDrives({cue_});
    for (const char* command : {"", "Set cdaudio door open", "Set cdaudio door wait", "open",
                                "Set cdaudio door open wait now", "Set cdaudio door closed"}) {
        SCOPED_TRACE(command);
        EXPECT_EQ(SendMciString(QString::fromUtf8(command)), MciErrorUnknownCommand);
        EXPECT_TRUE(AnyCDVolume());
    }
}

TEST_F(TrayTest, NoDriveIsAnError) {
    UseDrives({});
    for (const char* command : {"Set cdaudio door open wait", "Set cdaudio door closed wait"}) {
        SCOPED_TRACE(command);
        EXPECT_EQ(SendMciString(QString::fromUtf8(command)), MciErrorNoDrive);
    }
}

TEST_F(TrayTest, ALockedTrayIsReportedAsAFailure) {
    UseDrives({cue_});
    VantrellObject* object = nullptr;
    ASSERT_EQ(Vantrell_CdvdBurnerGrabber_CreateEx(&object, nullptr, 0, nullptr, nullptr, nullptr,
                                                  nullptr, "CdRom0", 0),
              0);
    std::unique_ptr<VantrellObject, DeviceCloser> holder(object);
    ASSERT_EQ(Vantrell_CdvdBurnerGrabber_Lock(holder.get(), nullptr, 0, nullptr, nullptr), 0);
    EXPECT_EQ(SendMciString(QStringLiteral("Set cdaudio door open wait")),
              MciErrorDriveBase + VANTRELL_EXCEPTION_LOCKED);
    EXPECT_TRUE(AnyCDVolume()) << "the tray stayed closed";
    holder.reset(); // releases its lock
    EXPECT_EQ(SendMciString(QStringLiteral("Set cdaudio door open wait")), 0u);
    EXPECT_FALSE(AnyCDVolume());
}

} // namespace
