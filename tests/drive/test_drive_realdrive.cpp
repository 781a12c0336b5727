// The real-drive paths of the drive library and the classes over it, on replayed drives:
// tables of the answers a drive gives to the MMC commands (ReplayDrive.h).
#include "ParanoiaEvents.h"
#include "ReplayDrive.h"
#include "sbBurner.h"
#include "sbDeviceFinder.h"
#include "sbTrackList.h"
#include "sbUserInterface.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace {

using replay::Answer;
using replay::kAny;
using replay::Refuse;

const char* const kDrive = "/dev/sr-replay0";
const char* const kNoRights = "/dev/sr-replay1";

// ---- answers of the drive itself ---------------------------------------------------------

const Answer kInquiry{{0x12}, {0x05, 0x80, 0x05, 0x32, 0x5B, 0x00, 0x00, 0x00, 'R', 'E', 'P', 'L',
                               'A',  'Y',  ' ',  ' ',  'C',  'D',  '-',  'E',  'X', 'T', 'R', 'A',
                               ' ',  'D',  'R',  'I',  'V',  'E',  ' ',  ' ',  '1', '.', '0', '2'}};
// MODE SENSE (10), page 2Ah: reads CD-R/RW and DVD, CD-DA accurate, C2, ISRC, UPC; lockable
// tray; 40x (7056 KB/s); buffer 2048 KB.
const Answer kCapabilities{{0x5A, kAny, 0x2A},
                           {0x00, 0x24, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, //
                            0x2A, 0x1C, 0x3B, 0x37, 0x71, 0x73, 0x29, 0x03, 0x1B, 0x90,
                            0x01, 0x00, 0x08, 0x00, 0x1B, 0x90, 0x00, 0x00, 0x1B, 0x90,
                            0x1B, 0x90, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}};
// GET CONFIGURATION: profiles CD-ROM (current), CD-R, CD-RW, DVD-ROM, DVD-R, DVD+RW, DVD+R.
const Answer kConfiguration{{0x46}, {0x00, 0x00, 0x00, 0x24, 0x00, 0x00, 0x00, 0x08, //
                                     0x00, 0x00, 0x03, 0x1C,                         //
                                     0x00, 0x08, 0x01, 0x00, 0x00, 0x09, 0x00, 0x00, 0x00, 0x0A,
                                     0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x11, 0x00, 0x00,
                                     0x00, 0x1A, 0x00, 0x00, 0x00, 0x1B, 0x00, 0x00}};
const Answer kReady{{0x00}};

// ---- a CD-Extra disc: audio tracks 1-3 in session 1, data track 4 in session 2 ----------

// READ TOC format 0 (LBA): 0, 15000, 30000, data at 56400, lead-out 59400.
const Answer kExtraToc{{0x43, kAny, 0x00}, {0x00, 0x2A, 0x01, 0x04,                         //
                                            0x00, 0x10, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, //
                                            0x00, 0x10, 0x02, 0x00, 0x00, 0x00, 0x3A, 0x98, //
                                            0x00, 0x10, 0x03, 0x00, 0x00, 0x00, 0x75, 0x30, //
                                            0x00, 0x14, 0x04, 0x00, 0x00, 0x00, 0xDC, 0x50, //
                                            0x00, 0x14, 0xAA, 0x00, 0x00, 0x00, 0xE8, 0x08}};
// READ TOC format 2 (full TOC, MSF): session 1 ends with its lead-out at 10:02:00 (LBA
// 45000); session 2 (CD-ROM XA) holds track 4 at 12:34:00 and ends at 13:14:00.
const Answer kExtraFullToc{{0x43, kAny, 0x02},
                           {0x00, 0x86, 0x01, 0x02,                                           //
                            0x01, 0x10, 0x00, 0xA0, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, //
                            0x01, 0x10, 0x00, 0xA1, 0x00, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, //
                            0x01, 0x10, 0x00, 0xA2, 0x00, 0x00, 0x00, 0x00, 0x0A, 0x02, 0x00, //
                            0x01, 0x10, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, //
                            0x01, 0x10, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x03, 0x16, 0x00, //
                            0x01, 0x10, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x06, 0x2A, 0x00, //
                            0x01, 0x50, 0x00, 0xB0, 0x0C, 0x20, 0x00, 0x02, 0x4F, 0x3B, 0x4A, //
                            0x01, 0x50, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x61, 0x1B, 0x00, //
                            0x02, 0x14, 0x00, 0xA0, 0x00, 0x00, 0x00, 0x00, 0x04, 0x20, 0x00, //
                            0x02, 0x14, 0x00, 0xA1, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, //
                            0x02, 0x14, 0x00, 0xA2, 0x00, 0x00, 0x00, 0x00, 0x0D, 0x0E, 0x00, //
                            0x02, 0x14, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x22, 0x00}};
// READ TOC format 1 (session info): the last session (2) starts with track 4 at 56400.
const Answer kExtraSessionInfo{
    {0x43, kAny, 0x01}, {0x00, 0x0A, 0x01, 0x02, 0x00, 0x14, 0x04, 0x00, 0x00, 0x00, 0xDC, 0x50}};
// READ DISC INFORMATION: complete, not erasable, 2 sessions, the last holds track 4, XA.
const Answer kExtraDiscInfo{{0x51},
                            {0x00, 0x20, 0x0E, 0x01, 0x02, 0x04, 0x04, 0x20, 0x20, 0x00, 0x00, 0x00,
                             0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                             0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}};
// READ TRACK INFORMATION of track 3: session 1, starts at 30000, 15000 blocks.
const Answer kExtraTrack3{{0x52, 0x01, 0x00, 0x00, 0x00, 0x03},
                          {0x00, 0x22, 0x03, 0x01, 0x00, 0x00, 0x0F, 0x00, 0x00, 0x00, 0x75, 0x30,
                           0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                           0x00, 0x00, 0x3A, 0x98, 0x00, 0x00, 0xB3, 0xAF, 0x00, 0x00, 0x00, 0x00}};
// READ TOC format 5: CD-Text, ISO 8859-1, album title "Caf\xE9" (one title pack, three
// block size packs).
const Answer kExtraCdText{{0x43, kAny, 0x05},
                          {0x00, 0x4A, 0x00, 0x00, //
                           0x80, 0x00, 0x00, 0x00, 'C',  'a',  'f',  0xE9, 0x00,
                           0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, //
                           0x8F, 0x00, 0x01, 0x00, 0x00, 0x01, 0x04, 0x00, 0x01,
                           0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, //
                           0x8F, 0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                           0x00, 0x00, 0x03, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, //
                           0x8F, 0x02, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x09,
                           0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}};

// ---- another disc: two audio tracks, CD-Text in MS-JIS --------------------------------

const Answer kJapaneseToc{{0x43, kAny, 0x00}, {0x00, 0x1A, 0x01, 0x02,                         //
                                               0x00, 0x10, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, //
                                               0x00, 0x10, 0x02, 0x00, 0x00, 0x00, 0x23, 0x28, //
                                               0x00, 0x10, 0xAA, 0x00, 0x00, 0x00, 0x4E, 0x20}};
const Answer kJapaneseFullToc{{0x43, kAny, 0x02},
                              {0x00, 0x39, 0x01, 0x01, //
                               0x01, 0x10, 0x00, 0xA0, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00,
                               0x01, 0x10, 0x00, 0xA1, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00,
                               0x01, 0x10, 0x00, 0xA2, 0x00, 0x00, 0x00, 0x00, 0x04, 0x1C, 0x32,
                               0x01, 0x10, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00,
                               0x01, 0x10, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x02, 0x02, 0x00}};
// Album title in MS-JIS (double-byte characters): "日本".
const Answer kJapaneseCdText{{0x43, kAny, 0x05},
                             {0x00, 0x4A, 0x00, 0x00, //
                              0x80, 0x00, 0x00, 0x80, 0x93, 0xFA, 0x96, 0x7B, 0x00,
                              0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, //
                              0x8F, 0x00, 0x01, 0x00, 0x80, 0x01, 0x02, 0x00, 0x01,
                              0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, //
                              0x8F, 0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                              0x00, 0x00, 0x03, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, //
                              0x8F, 0x02, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x69,
                              0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}};

std::vector<Answer> Join(std::initializer_list<std::vector<Answer>> parts) {
    std::vector<Answer> all;
    for (const auto& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}
std::vector<Answer> DriveAnswers() {
    return {kInquiry, kCapabilities, kConfiguration};
}
std::vector<Answer> CdExtra() {
    return {kReady,         kExtraToc,    kExtraFullToc, kExtraSessionInfo,
            kExtraDiscInfo, kExtraTrack3, kExtraCdText};
}
std::vector<Answer> Japanese() {
    return {kReady, kJapaneseToc, kJapaneseFullToc, kJapaneseCdText};
}

std::shared_ptr<replay::Drive> NewDrive(std::vector<Answer> answers) {
    return std::make_shared<replay::Drive>(std::move(answers));
}

struct Eb {
    char text[VANTRELL_EXCEPTION_TEXT_SIZE] = "untouched";
    int32_t status = -1;
    VantrellFailureRecord record{};
};
#define RD_EB(eb) (eb).text, static_cast<uint32_t>(sizeof(eb).text), &(eb).status, &(eb).record

// A device object of the drive at path, destroyed with the test's scope.
struct Object {
    explicit Object(const std::string& path) {
        Eb eb;
        result = Vantrell_CdvdBurnerGrabber_CreateEx(&object, RD_EB(eb), nullptr, nullptr,
                                                     ("dev:" + path).c_str(), 0);
        text = eb.text;
    }
    ~Object() { Vantrell_Destroy(&object); }
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;
    VantrellObject* object = nullptr;
    uint8_t result = 0;
    std::string text;
};

class RealDrive : public ::testing::Test {
protected:
    void SetUp() override { StartVantrellLibrary(); }
    void TearDown() override {
        StopVantrellLibrary();
        sbdlg::SetReportHandler({});
    }
    static void Search(TsbDeviceFinder& finder) {
        finder.TransportType = ttAspi;
        finder.Find(false);
    }
};

TEST_F(RealDrive, DiscoveryDescribesAReplayedDriveAndListsOneWithoutRights) {
    // The disc is still spinning up when the search asks.
    const auto drive =
        NewDrive(Join({{Refuse({0x00}, 0x02, 0x04, 0x01, 2)}, DriveAnswers(), CdExtra()}));
    replay::Scope scope({{kDrive, drive}, {kNoRights, nullptr, EACCES}});
    TsbDeviceFinder finder;
    Search(finder);

    ASSERT_EQ(finder.Devices.Count(), 2);
    const TsbDeviceItem& item = finder.Devices.Items(0);
    EXPECT_EQ(item.DriveLetter.toStdString(), kDrive);
    EXPECT_EQ(item.Address.PortID, 1);
    EXPECT_EQ(item.Address.TargetID, 0);
    EXPECT_EQ(item.Vendor, QStringLiteral("REPLAY"));
    EXPECT_EQ(item.Product, QStringLiteral("CD-EXTRA DRIVE"));
    EXPECT_EQ(item.ProductRevisionLevel, QStringLiteral("1.02"));
    EXPECT_EQ(item.BufferSize, 2048u);
    EXPECT_TRUE(item.MediaFormats[0] && item.MediaFormats[1] && item.MediaFormats[2]);
    EXPECT_TRUE(item.ReadModes[0]); // digital audio extraction
    EXPECT_EQ(item.DiscType, DISC_TYPE_CDR);
    EXPECT_EQ(item.DiscLabel, QStringLiteral("Café"));
    EXPECT_TRUE(item.MediumProblem.isEmpty());
    EXPECT_EQ(item.DiscInformation.SessionCount, 2);
    EXPECT_EQ(item.DiscInformation.FirstTrackLastSession, 4);
    EXPECT_EQ(item.DiscInformation.DiscStatus, 2);
    EXPECT_EQ(int32_t{item.DiscInformation.LastSessionLeadIn}, -1);
    EXPECT_EQ(item.Toc.EntryCount, 4);
    EXPECT_EQ(item.Toc.SessionCount, 2);
    EXPECT_GE(drive->Count(0x51), 1); // READ DISC INFORMATION was sent, not assumed

    // Not in the cdrom group: listed, with the reason, never left out.
    const TsbDeviceItem& denied = finder.Devices.Items(1);
    EXPECT_EQ(denied.DriveLetter.toStdString(), kNoRights);
    EXPECT_EQ(denied.OpenProblem.toStdString(), std::string("No rights to use the drive ") +
                                                    kNoRights +
                                                    ": add your user to the cdrom group");
    const Object object(kNoRights);
    EXPECT_EQ(object.result, VANTRELL_EXCEPTION_NO_RIGHTS);
}

// The last audio track of a CD-Extra disc ends at its session's lead-out, 11,400 sectors
// before the data track: from the full TOC, or from the last session's start when the drive
// gives no full TOC.
TEST_F(RealDrive, CdExtraLastAudioTrackEndsAtTheAudioSessionsLeadOut) {
    const struct {
        const char* name;
        std::vector<Answer> answers;
    } cases[] = {
        {"full TOC", Join({DriveAnswers(), CdExtra()})},
        {"session info",
         Join({{Refuse({0x43, kAny, 0x02}, 0x05, 0x24, 0x00)}, DriveAnswers(), CdExtra()})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        replay::Scope scope({{kDrive, NewDrive(c.answers)}});
        const Object drive(kDrive);
        ASSERT_EQ(drive.result, 0) << drive.text;
        Eb eb;
        VantrellTocRecord toc{};
        ASSERT_EQ(Vantrell_CdvdBurnerGrabber_GetTOCInformation(drive.object, RD_EB(eb), &toc), 0)
            << eb.text;
        ASSERT_EQ(toc.EntryCount, 4);
        const int32_t ends[] = {15000, 30000, 45000, 59400};
        const uint8_t sessions[] = {1, 1, 1, 2};
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(int32_t{toc.Entries[i].EndLba}, ends[i]) << "track " << i + 1;
            EXPECT_EQ(toc.Entries[i].SessionNumber, sessions[i]) << "track " << i + 1;
        }
        EXPECT_EQ(toc.Entries[2].EndMsf[0], 10); // 10:02:00
        EXPECT_EQ(toc.Entries[2].EndMsf[1], 2);
        EXPECT_TRUE(toc.Entries[3].DataTrack);
        EXPECT_EQ(toc.SessionCount, 2);
        EXPECT_EQ(int32_t{toc.LeadOutLba}, 59400);
        EXPECT_EQ(Vantrell_CdvdBurnerGrabber_GetInsertedDiscType(drive.object), DISC_TYPE_CDR);
    }

    // The listing: every audio track 15000 sectors (03:20), the last one too.
    replay::Scope scope({{kDrive, NewDrive(Join({DriveAnswers(), CdExtra()}))}});
    TsbBurner burner;
    burner.TransportType = ttAspi;
    burner.Address = {1, 1, 0, 0, 0};
    burner.DiscType = DISC_TYPE_CDR;
    burner.OpenDevice();
    TsbTrackList tracks;
    TsbTrackListReader reader;
    reader.Read(&burner, &tracks, false);
    ASSERT_EQ(tracks.Count(), 4);
    for (int i = 0; i < 3; ++i) {
        const TsbTrack& track = tracks.Items(i);
        EXPECT_EQ(track.TrackSizeInLB, 15000) << "track " << i + 1;
        EXPECT_EQ(FormatTime(TimeFormatFor(track.TrackSizeInTime), track.TrackSizeInTime),
                  QStringLiteral("03:20"));
        EXPECT_EQ(SizeInMB(track.TrackSizeInBytes), QStringLiteral("33.65 MB"));
    }
    EXPECT_EQ(int32_t{tracks.Items(2).TrackInfo.TrackSize}, 15000); // the drive's own answer
}

// A drive that is becoming ready or reports a unit attention is asked again, for 30 seconds
// at most; then, or at once for an empty drive, there is no medium, with the drive's sense.
TEST_F(RealDrive, ReadyWaitRetriesWhileTheDriveBecomesReady) {
    using std::chrono::milliseconds;
    const struct {
        const char* name;
        std::vector<Answer> answers;
        uint8_t result;
        int turs;            // TEST UNIT READY commands sent
        milliseconds waited; // time passed in pauses
        uint8_t key, asc, ascq;
    } cases[] = {
        {"spinning up", {Refuse({0x00}, 2, 0x04, 0x01, 3), kReady}, 0, 4, milliseconds(750)},
        {"medium changed", {Refuse({0x00}, 6, 0x28, 0x00, 1), kReady}, 0, 2, milliseconds(0)},
        {"never ready",
         {Refuse({0x00}, 2, 0x04, 0x01)},
         VANTRELL_EXCEPTION_NO_MEDIUM,
         121,
         milliseconds(30000),
         2,
         0x04,
         0x01},
        {"no medium",
         {Refuse({0x00}, 2, 0x3A, 0x01)},
         VANTRELL_EXCEPTION_NO_MEDIUM,
         1,
         milliseconds(0),
         2,
         0x3A,
         0x01},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto drive = NewDrive(c.answers);
        replay::Scope scope({{kDrive, drive}});
        const Object object(kDrive);
        const auto start = drive->Now();
        Eb eb;
        EXPECT_EQ(Vantrell_CdvdBurnerGrabber_TestUnitReady(object.object, RD_EB(eb)), c.result)
            << eb.text;
        EXPECT_EQ(drive->Count(0x00), c.turs);
        EXPECT_EQ(drive->Now() - start, c.waited);
        EXPECT_EQ(eb.record.SenseKey, c.key);
        EXPECT_EQ(eb.record.Asc, c.asc);
        EXPECT_EQ(eb.record.Ascq, c.ascq);
        if (c.result) {
            EXPECT_EQ(Vantrell_CdvdBurnerGrabber_GetInsertedDiscType(object.object),
                      DISC_TYPE_NO_MEDIA);
        }
    }
}

// The device object stays open across a disc change (as the window's session does): the
// next TOC and CD-Text come from the new disc.
TEST_F(RealDrive, MediumChangeRereadsTheTocAndCdText) {
    const auto drive = NewDrive(Join({DriveAnswers(), CdExtra()}));
    replay::Scope scope({{kDrive, drive}});
    const Object object(kDrive);
    auto toc = std::make_unique<VantrellTocRecord>();
    auto label = [&object] {
        Eb eb;
        char text[64] = {};
        EXPECT_EQ(
            Vantrell_CdvdBurnerGrabber_GetVolumeLabel(object.object, RD_EB(eb), text, sizeof text),
            0)
            << eb.text;
        return std::string(text);
    };
    Eb eb;
    ASSERT_EQ(Vantrell_CdvdBurnerGrabber_GetTOCInformation(object.object, RD_EB(eb), toc.get()), 0);
    EXPECT_EQ(toc->EntryCount, 4);
    EXPECT_EQ(label(), "Café"); // ISO 8859-1 on the disc

    drive->Change(Join({DriveAnswers(), Japanese()}));
    ASSERT_EQ(Vantrell_CdvdBurnerGrabber_GetTOCInformation(object.object, RD_EB(eb), toc.get()), 0)
        << eb.text;
    EXPECT_EQ(toc->EntryCount, 2);
    EXPECT_EQ(toc->SessionCount, 1);
    EXPECT_EQ(int32_t{toc->Entries[1].EndLba}, 20000);
    EXPECT_EQ(label(), "日本"); // MS-JIS on the disc
}

// Commands that change the drive's state need a handle opened read-write: on a read-only
// one the system refuses them (EPERM), which says what the user lacks.
TEST_F(RealDrive, LockWithAndWithoutRights) {
    const auto allowed = NewDrive({kReady, Answer{{0x1E}}, Answer{{0xBB}}});
    {
        replay::Scope scope({{kDrive, allowed}});
        const Object object(kDrive);
        Eb eb;
        EXPECT_EQ(Vantrell_CdvdBurnerGrabber_Lock(object.object, RD_EB(eb)), 0) << eb.text;
        EXPECT_EQ(Vantrell_CdvdBurnerGrabber_SetSpeeds(object.object, RD_EB(eb), 0xFFFF, 0), 0);
        EXPECT_EQ(Vantrell_CdvdBurnerGrabber_Release(object.object, RD_EB(eb)), 0);
        const auto commands = allowed->Commands();
        ASSERT_EQ(commands.size(), 3u);
        EXPECT_EQ(commands[0], (std::vector<uint8_t>{0x1E, 0, 0, 0, 1, 0}));
        EXPECT_EQ(commands[1][0], 0xBB);
        EXPECT_EQ(commands[2], (std::vector<uint8_t>{0x1E, 0, 0, 0, 0, 0}));
    }

    Answer notPermitted{{0x1E}};
    notPermitted.driverStatus = vantrell::kMmcNotPermitted;
    Answer speedNotPermitted{{0xBB}};
    speedNotPermitted.driverStatus = vantrell::kMmcNotPermitted;
    replay::Scope scope({{kDrive, NewDrive({kReady, notPermitted, speedNotPermitted,
                                            Refuse({0x1B}, 5, 0x53, 0x02)})}});
    const Object object(kDrive);
    const std::string path = kDrive;
    Eb eb;
    EXPECT_EQ(Vantrell_CdvdBurnerGrabber_Lock(object.object, RD_EB(eb)),
              VANTRELL_EXCEPTION_NO_RIGHTS);
    EXPECT_EQ(std::string(eb.text),
              "No rights to lock the drive " + path + ": add your user to the cdrom group");
    EXPECT_EQ(eb.status, EPERM);
    EXPECT_EQ(int32_t{eb.record.DriverCode}, vantrell::kMmcNotPermitted);
    EXPECT_EQ(Vantrell_CdvdBurnerGrabber_SetSpeeds(object.object, RD_EB(eb), 0xFFFF, 0),
              VANTRELL_EXCEPTION_NO_RIGHTS);
    // A refusal by the drive itself carries its sense data.
    EXPECT_EQ(Vantrell_CdvdBurnerGrabber_Eject(object.object, RD_EB(eb)),
              VANTRELL_EXCEPTION_LOCKED);
    EXPECT_EQ(eb.record.SenseKey, 5);
    EXPECT_EQ(eb.record.Asc, 0x53);
    EXPECT_EQ(eb.record.Ascq, 0x02);

    // The session's lock before a run shows that text in its error dialog.
    std::vector<QString> reports;
    sbdlg::SetReportHandler(
        [&reports](sbdlg::TReportKind, const QString& text) { reports.push_back(text); });
    TsbBurner burner;
    burner.TransportType = ttAspi;
    burner.Address = {1, 1, 0, 0, 0};
    burner.OpenDevice();
    burner.Lock();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].toStdString(),
              "Vantrell_CdvdBurnerGrabber_Lock() failed, exception 15, status 1, text \"No "
              "rights to lock the drive " +
                  path + ": add your user to the cdrom group\"\\n");
}

} // namespace

// The verified reader's corrections are not failures; only a skip (retries exhausted) is.
TEST(ParanoiaEvents, OnlyASkipFailsTheGrab) {
    const struct {
        paranoia_cb_mode_t mode;
        bool fails;
    } cases[] = {
        {PARANOIA_CB_READ, false},          {PARANOIA_CB_VERIFY, false},
        {PARANOIA_CB_FIXUP_EDGE, false},    {PARANOIA_CB_FIXUP_ATOM, false},
        {PARANOIA_CB_SCRATCH, false},       {PARANOIA_CB_REPAIR, false},
        {PARANOIA_CB_SKIP, true},           {PARANOIA_CB_DRIFT, false},
        {PARANOIA_CB_BACKOFF, false},       {PARANOIA_CB_OVERLAP, false},
        {PARANOIA_CB_FIXUP_DROPPED, false}, {PARANOIA_CB_FIXUP_DUPED, false},
        {PARANOIA_CB_READERR, false},       {PARANOIA_CB_CACHEERR, false},
        {PARANOIA_CB_WROTE, false},         {PARANOIA_CB_FINISHED, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(vantrell::ParanoiaEventFails(c.mode), c.fails) << "mode " << c.mode;
}
