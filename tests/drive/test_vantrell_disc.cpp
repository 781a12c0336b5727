// The drive library on virtual drives: discovery, disc description, tray and lock, the
// error block and the operations it refuses.
#include "test_vantrell_fixture.h"

#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>

using namespace vt;

namespace {

struct Found {
    VantrellDeviceAddress address;
    std::string name;
};

void CollectDevice(uint8_t reason, void* context, void* first, void* second) {
    ASSERT_EQ(reason, VANTRELL_REASON_DEVICE_FOUND);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    static_cast<std::vector<Found>*>(context)->push_back(
        {*static_cast<VantrellDeviceAddress*>(first), static_cast<const char*>(second)});
}

class DiscTest : public VantrellTest {};

TEST_F(DiscTest, VersionIsTheExpectedOne) {
    EXPECT_EQ(Vantrell_GetVersion(), 0x20081220u);
}

TEST_F(DiscTest, DeviceSearchReportsVirtualDrivesInOrderWithAddresses) {
    discimage::Disc disc;
    disc.tracks.push_back(discimage::ToneTrack(2, 440));
    const std::string a = Write(disc, "a");
    const std::string missing = Missing("nothing");
    const std::string b = Write(disc, "b");
    SetDrives({a, missing, b});

    std::vector<Found> found;
    ASSERT_EQ(Vantrell_FindDevice(5, 0, CollectDevice, &found), 0);
    std::vector<Found> ours;
    for (const auto& f : found)
        if (f.address.PortID >= 200)
            ours.push_back(f);
    ASSERT_EQ(ours.size(), 3u);
    const std::string expected[] = {a, missing, b};
    for (int k = 0; k < 3; ++k) {
        SCOPED_TRACE(k);
        EXPECT_EQ(ours[k].name, "dev:" + expected[k]);
        EXPECT_EQ(ours[k].address.Present, 1);
        EXPECT_EQ(ours[k].address.PortID, 200 + k);
        EXPECT_EQ(ours[k].address.BusID | ours[k].address.TargetID | ours[k].address.LUN, 0);
        char name[VANTRELL_EXCEPTION_TEXT_SIZE];
        ASSERT_EQ(Vantrell_GetDeviceNameByDeviceAddress(PortOf(k), 0, 0, 0, name, sizeof name), 0);
        EXPECT_EQ(name, "dev:" + expected[k]);
    }
    char name[VANTRELL_EXCEPTION_TEXT_SIZE];
    EXPECT_EQ(Vantrell_GetDeviceNameByDeviceAddress(PortOf(3), 0, 0, 0, name, sizeof name),
              VANTRELL_EXCEPTION_NO_DEVICE);

    // A device name opens the same drive; an unknown one fails with a text.
    Eb eb;
    VantrellObject* object = nullptr;
    ASSERT_EQ(Vantrell_CdvdBurnerGrabber_CreateEx(&object, VT_EB(eb), nullptr, nullptr,
                                                  ("dev:" + b).c_str(), 0),
              0);
    char vendor[VANTRELL_EXCEPTION_TEXT_SIZE], product[VANTRELL_EXCEPTION_TEXT_SIZE],
        revision[VANTRELL_EXCEPTION_TEXT_SIZE];
    uint32_t bufferSize = 1;
    EXPECT_EQ(Vantrell_CdvdBurnerGrabber_GetDeviceInformation(object, vendor, product, revision,
                                                              &bufferSize),
              0);
    EXPECT_STREQ(product, "Virtual CD-ROM");
    Vantrell_Destroy(&object);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(Vantrell_CdvdBurnerGrabber_CreateEx(&object, VT_EB(eb), nullptr, nullptr,
                                                  "dev:/no/such.cue", 0),
              VANTRELL_EXCEPTION_NO_DEVICE);
    EXPECT_EQ(object, nullptr);
    EXPECT_NE(std::strstr(eb.text, "/no/such.cue"), nullptr) << eb.text;
    EXPECT_EQ(eb.record.ExceptionCode, VANTRELL_EXCEPTION_NO_DEVICE);
}

// One disc kind per row: what discovery and the track list read of it.
struct DiscCase {
    const char* name;
    std::vector<char> kinds; // 'a' audio, 'd' data; empty: the image is missing
    DISC_TYPE type;
    const char* label;
};

class DiscKinds : public VantrellTest, public ::testing::WithParamInterface<DiscCase> {};

TEST_P(DiscKinds, DescribesTheMedium) {
    const DiscCase& c = GetParam();
    std::string cue = Missing("disc");
    std::vector<uint32_t> sectors;
    if (!c.kinds.empty()) {
        discimage::Disc disc;
        disc.title = c.label;
        for (size_t i = 0; i < c.kinds.size(); ++i) {
            const uint32_t n = 75 + static_cast<uint32_t>(i % 4) * 13;
            sectors.push_back(n);
            disc.tracks.push_back(
                c.kinds[i] == 'a' ? Audio(n, static_cast<uint32_t>(i), "Song " + std::to_string(i))
                                  : discimage::DataTrack(n, "VOLUME_ID"));
        }
        cue = Write(disc, "disc");
    }
    SetDrives({cue});
    VantrellObject* object = Open(0);
    ASSERT_NE(object, nullptr);

    Eb eb;
    const uint8_t ready = Vantrell_CdvdBurnerGrabber_TestUnitReady(object, VT_EB(eb));
    EXPECT_EQ(Vantrell_CdvdBurnerGrabber_GetInsertedDiscType(object), c.type);
    VantrellTocRecord toc;
    const uint8_t tocResult = Vantrell_CdvdBurnerGrabber_GetTOCInformation(object, VT_EB(eb), &toc);
    char label[256] = "x";
    Vantrell_CdvdBurnerGrabber_GetVolumeLabel(object, VT_EB(eb), label, sizeof label);
    EXPECT_STREQ(label, c.kinds.empty() ? "" : c.label);

    if (c.kinds.empty()) {
        EXPECT_EQ(ready, VANTRELL_EXCEPTION_NO_MEDIUM);
        EXPECT_EQ(tocResult, VANTRELL_EXCEPTION_NO_TOC);
        EXPECT_NE(std::strlen(eb.text), 0u);
        EXPECT_EQ(toc.EntryCount, 0);
        Vantrell_Destroy(&object);
        return;
    }
    ASSERT_EQ(ready, 0) << eb.text;
    ASSERT_EQ(tocResult, 0) << eb.text;
    EXPECT_STREQ(eb.text, "");
    ASSERT_EQ(toc.EntryCount, c.kinds.size());
    const auto* bytes = reinterpret_cast<const uint8_t*>(&toc);
    EXPECT_EQ(bytes[10], c.kinds.size()); // the layer reads N at byte 10
    int32_t lba = 0;
    for (size_t i = 0; i < c.kinds.size(); ++i) {
        SCOPED_TRACE(i);
        const VantrellTocEntry& e = toc.Entries[i];
        // Entry k starts at byte 12 + 34 (k - 1).
        EXPECT_EQ(bytes + 12 + 34 * i, reinterpret_cast<const uint8_t*>(&e));
        const bool audio = c.kinds[i] == 'a';
        EXPECT_EQ(e.EntryValid, 1);
        EXPECT_EQ(e.TrackNumber, i + 1);
        EXPECT_EQ(+e.StartLba, lba);
        EXPECT_EQ(e.EndLba - e.StartLba, static_cast<int32_t>(sectors[i]));
        EXPECT_EQ(e.AudioTrack, audio ? 1 : 0);
        EXPECT_EQ(e.DataTrack, audio ? 0 : 1);
        EXPECT_EQ(+e.BlockSize, audio ? 2352u : 2048u);
        EXPECT_EQ(e.TrackMode, audio ? 0 : 1);
        const int32_t msf = (e.StartMsf[0] * 60 + e.StartMsf[1]) * 75 + e.StartMsf[2];
        EXPECT_EQ(msf, lba + 150);
        lba = e.EndLba;

        VantrellTrackInformation info;
        ASSERT_EQ(Vantrell_CdvdBurnerGrabber_GetTrackInformation(
                      object, VT_EB(eb), static_cast<uint8_t>(i + 1), &info),
                  0);
        EXPECT_EQ(info.Present, 1);
        EXPECT_EQ(info.TrackNumber, i + 1);
        EXPECT_EQ(info.Blank, 0);
        EXPECT_EQ(info.NextWritableValid, 0);
        EXPECT_EQ(+info.FreeBlocks, 0);
    }
    EXPECT_EQ(+toc.LeadOutLba, lba);

    VantrellTrackInformation info;
    EXPECT_EQ(Vantrell_CdvdBurnerGrabber_GetTrackInformation(object, VT_EB(eb), 255, &info), 0);
    EXPECT_EQ(info.Present, 0);
    EXPECT_EQ(Vantrell_CdvdBurnerGrabber_GetTrackInformation(
                  object, VT_EB(eb), static_cast<uint8_t>(c.kinds.size() + 1), &info),
              VANTRELL_EXCEPTION_INVALID_ARGUMENT);
    Vantrell_Destroy(&object);
}

std::vector<char> Many(size_t n) {
    return std::vector<char>(n, 'a');
}

INSTANTIATE_TEST_SUITE_P(
    Discs, DiscKinds,
    ::testing::Values(DiscCase{"audio", {'a', 'a', 'a'}, DISC_TYPE_CDR, "Album Title"},
                      DiscCase{"mixed", {'d', 'a', 'a'}, DISC_TYPE_CDR, "Mixed Album"},
                      DiscCase{"data", {'d'}, DISC_TYPE_CDROM, "VOLUME_ID"},
                      DiscCase{"tracks99", Many(99), DISC_TYPE_CDR, "Ninety Nine"},
                      DiscCase{"empty", {}, DISC_TYPE_NO_MEDIA, ""}),
    [](const auto& info) { return std::string(info.param.name); });

// A CUE file's CD-Text is shown as written when it is UTF-8; other bytes are read as
// ISO 8859-1.
TEST_F(DiscTest, CueCdTextInUtf8IsShownAsWritten) {
    const struct {
        const char* title;
        const char* label;
    } cases[] = {
        {"Plain ASCII", "Plain ASCII"},
        {"Caf\xC3\xA9 \xCE\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x8E\xB5",
         "Caf\xC3\xA9 \xCE\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x8E\xB5"},
        {"Caf\xE9 \xC0 la cr\xE8me", "Caf\xC3\xA9 \xC3\x80 la cr\xC3\xA8me"}, // ISO 8859-1
    };
    int k = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        discimage::Disc disc;
        disc.title = c.title;
        disc.tracks.push_back(Audio(100, 1));
        SetDrives({Write(disc, "text" + std::to_string(k++))});
        VantrellObject* object = Open(0);
        Eb eb;
        char label[128];
        EXPECT_EQ(Vantrell_CdvdBurnerGrabber_GetVolumeLabel(object, VT_EB(eb), label, sizeof label),
                  0)
            << eb.text;
        EXPECT_STREQ(label, c.label);
        Vantrell_Destroy(&object);
    }
}

// An image's indexes are its CUE sheet's: INDEX 00 where it has one, else INDEX 01 (no
// pregap); track 1's audio before INDEX 01 is its INDEX 00.
TEST_F(DiscTest, AnImagesTrackIndexesAreItsCueSheets) {
    discimage::Disc disc;
    for (uint32_t seed = 1; seed <= 3; ++seed)
        disc.tracks.push_back(Audio(300, seed));
    const std::string cue = Write(disc, "indexes");
    std::ofstream(cue, std::ios::trunc) << "FILE \"indexes.bin\" BINARY\n"
                                           "  TRACK 01 AUDIO\n    INDEX 00 00:00:00\n"
                                           "    INDEX 01 00:00:30\n"
                                           "  TRACK 02 AUDIO\n    INDEX 00 00:03:45\n"
                                           "    INDEX 01 00:04:00\n"
                                           "  TRACK 03 AUDIO\n    INDEX 01 00:08:00\n";
    SetDrives({cue});
    VantrellObject* object = Open(0);
    Eb eb;
    VantrellIndexRecord record{};
    ASSERT_EQ(Vantrell_CdvdBurnerGrabber_GetTrackIndexes(object, VT_EB(eb), &record), 0) << eb.text;
    EXPECT_EQ(record.Valid, 1);
    EXPECT_EQ(record.SubChannel, 0);
    ASSERT_EQ(record.EntryCount, 3);
    const int32_t index01[] = {30, 300, 600}, index00[] = {0, 270, 600};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(record.Entries[i].TrackNumber, i + 1);
        EXPECT_EQ(int32_t{record.Entries[i].Index01Lba}, index01[i]) << "track " << i + 1;
        EXPECT_EQ(int32_t{record.Entries[i].Index00Lba}, index00[i]) << "track " << i + 1;
    }
    // No record, no object: said once, nothing read.
    EXPECT_EQ(Vantrell_CdvdBurnerGrabber_GetTrackIndexes(object, VT_EB(eb), nullptr),
              VANTRELL_EXCEPTION_INVALID_ARGUMENT);
    EXPECT_STREQ(eb.text, "No index record");
    EXPECT_EQ(Vantrell_CdvdBurnerGrabber_GetTrackIndexes(nullptr, VT_EB(eb), &record),
              VANTRELL_EXCEPTION_INVALID_ARGUMENT);
    Vantrell_Destroy(&object);
}

TEST_F(DiscTest, DataDiscWithoutCdTextIsLabelledByItsIsoVolume) {
    discimage::Disc disc;
    disc.tracks.push_back(discimage::DataTrack(40, "MY_BACKUP"));
    SetDrives({Write(disc, "data")});
    VantrellObject* object = Open(0);
    Eb eb;
    char label[64];
    ASSERT_EQ(Vantrell_CdvdBurnerGrabber_GetVolumeLabel(object, VT_EB(eb), label, sizeof label), 0);
    EXPECT_STREQ(label, "MY_BACKUP");
    Vantrell_Destroy(&object);
}

TEST_F(DiscTest, TwoDrivesFirstEmpty) {
    discimage::Disc disc;
    disc.tracks.push_back(Audio(100, 1));
    SetDrives({Missing("none"), Write(disc, "second")});
    VantrellObject* first = Open(0);
    VantrellObject* second = Open(1);
    Eb eb;
    EXPECT_EQ(Vantrell_CdvdBurnerGrabber_TestUnitReady(first, VT_EB(eb)),
              VANTRELL_EXCEPTION_NO_MEDIUM);
    EXPECT_EQ(Vantrell_CdvdBurnerGrabber_GetInsertedDiscType(first), DISC_TYPE_NO_MEDIA);
    EXPECT_EQ(Vantrell_CdvdBurnerGrabber_TestUnitReady(second, VT_EB(eb)), 0);
    EXPECT_EQ(Vantrell_CdvdBurnerGrabber_GetInsertedDiscType(second), DISC_TYPE_CDR);
    Vantrell_Destroy(&first);
    Vantrell_Destroy(&second);
}

TEST_F(DiscTest, ABrokenImageSaysWhyAndIsReadOnceMended) {
    discimage::Disc disc;
    disc.tracks.push_back(Audio(100, 1));
    const discimage::Written good = discimage::WriteCueBin(disc, dir_.string(), "mend");
    const std::string sheet = [&] {
        std::ifstream in(good.cuePath);
        return std::string{std::istreambuf_iterator<char>(in), {}};
    }();
    const fs::path bin = good.binPath, moved = dir_ / "moved";
    // A new file under the name, as an editor saves it: the library sees the change.
    const auto saveCue = [&](const std::string& text) {
        std::ofstream(dir_ / "new.cue.tmp") << text;
        fs::rename(dir_ / "new.cue.tmp", good.cuePath);
    };
    struct Case {
        const char* name;
        std::function<void()> breakIt, mendIt;
        std::string reason;
    } cases[] = {
        {"missing BIN", [&] { fs::rename(bin, moved); }, [&] { fs::rename(moved, bin); },
         "BIN file " + bin.string() + " not found"},
        {"bad line", [&] { saveCue(sheet + "NONSENSE here\n"); }, [&] { saveCue(sheet); },
         "unrecognized keyword: NONSENSE"},
    };
    SetDrives({good.cuePath});
    VantrellObject* object = Open(0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.breakIt();
        Eb eb;
        EXPECT_EQ(Vantrell_CdvdBurnerGrabber_TestUnitReady(object, VT_EB(eb)),
                  VANTRELL_EXCEPTION_NO_MEDIUM);
        EXPECT_NE(
            std::strstr(eb.text, ("The disc image " + good.cuePath + " cannot be read: ").c_str()),
            nullptr)
            << eb.text;
        EXPECT_NE(std::strstr(eb.text, c.reason.c_str()), nullptr) << eb.text;
        c.mendIt();
        EXPECT_EQ(Vantrell_CdvdBurnerGrabber_TestUnitReady(object, VT_EB(eb)), 0) << eb.text;
    }
    Vantrell_Destroy(&object);
}

TEST_F(DiscTest, OpenTrayHidesTheMediumFromEveryObjectUntilClosed) {
    discimage::Disc disc;
    disc.tracks.push_back(Audio(100, 1));
    SetDrives({Write(disc, "tray")});
    VantrellObject* a = Open(0);
    VantrellObject* b = Open(0);
    Eb eb;
    ASSERT_EQ(Vantrell_CdvdBurnerGrabber_TestUnitReady(b, VT_EB(eb)), 0);

    ASSERT_EQ(Vantrell_CdvdBurnerGrabber_Eject(a, VT_EB(eb)), 0) << eb.text;
    for (VantrellObject* o : {a, b}) {
        EXPECT_EQ(Vantrell_CdvdBurnerGrabber_TestUnitReady(o, VT_EB(eb)),
                  VANTRELL_EXCEPTION_NO_MEDIUM);
        EXPECT_NE(std::strstr(eb.text, "tray is open"), nullptr) << eb.text;
        EXPECT_EQ(Vantrell_CdvdBurnerGrabber_GetInsertedDiscType(o), DISC_TYPE_NO_MEDIA);
    }
    VantrellObject* later = Open(0); // a later search sees the open tray too
    EXPECT_EQ(Vantrell_CdvdBurnerGrabber_GetInsertedDiscType(later), DISC_TYPE_NO_MEDIA);

    ASSERT_EQ(Vantrell_CdvdBurnerGrabber_CloseTray(later, VT_EB(eb)), 0);
    for (VantrellObject* o : {a, b, later})
        EXPECT_EQ(Vantrell_CdvdBurnerGrabber_TestUnitReady(o, VT_EB(eb)), 0) << eb.text;
    VantrellTocRecord toc;
    EXPECT_EQ(Vantrell_CdvdBurnerGrabber_GetTOCInformation(b, VT_EB(eb), &toc), 0);
    EXPECT_EQ(toc.EntryCount, 1);
    for (VantrellObject** o : {&a, &b, &later})
        Vantrell_Destroy(o);
}

TEST_F(DiscTest, LockKeepsOtherObjectsFromOpeningTheTray) {
    discimage::Disc disc;
    disc.tracks.push_back(Audio(100, 1));
    SetDrives({Write(disc, "lock")});
    VantrellObject* holder = Open(0);
    VantrellObject* other = Open(0);
    Eb eb;
    ASSERT_EQ(Vantrell_CdvdBurnerGrabber_Lock(holder, VT_EB(eb)), 0);
    EXPECT_EQ(Vantrell_CdvdBurnerGrabber_Eject(other, VT_EB(eb)), VANTRELL_EXCEPTION_LOCKED);
    EXPECT_NE(std::strstr(eb.text, "locked"), nullptr) << eb.text;
    EXPECT_EQ(Vantrell_CdvdBurnerGrabber_TestUnitReady(other, VT_EB(eb)), 0);

    // Destroying the holder releases its lock.
    Vantrell_Destroy(&holder);
    EXPECT_EQ(Vantrell_CdvdBurnerGrabber_Eject(other, VT_EB(eb)), 0) << eb.text;
    EXPECT_EQ(Vantrell_CdvdBurnerGrabber_Release(other, VT_EB(eb)), 0); // no lock: fine
    EXPECT_EQ(Vantrell_CdvdBurnerGrabber_CloseTray(other, VT_EB(eb)), 0);
    Vantrell_Destroy(&other);
}

TEST_F(DiscTest, ErrorBlockOfAFailureAndOfTheNextSuccess) {
    SetDrives({Missing("gone")});
    Eb eb;
    VantrellObject* object = nullptr;
    ASSERT_EQ(
        Vantrell_CdvdBurnerGrabber_Create(&object, VT_EB(eb), nullptr, nullptr, 201, 0, 0, 0, 0),
        VANTRELL_EXCEPTION_NO_DEVICE);
    EXPECT_EQ(object, nullptr);
    EXPECT_NE(std::strstr(eb.text, "PortID 201"), nullptr) << eb.text;
    EXPECT_STREQ(eb.record.Operation, "CdvdBurnerGrabber_Create");

    object = Open(0);
    ASSERT_NE(object, nullptr);
    VantrellTocRecord toc;
    EXPECT_EQ(Vantrell_CdvdBurnerGrabber_GetTOCInformation(object, VT_EB(eb), &toc),
              VANTRELL_EXCEPTION_NO_TOC);
    EXPECT_NE(std::strstr(eb.text, "no medium"), nullptr) << eb.text;
    EXPECT_EQ(eb.record.ExceptionCode, VANTRELL_EXCEPTION_NO_TOC);

    // A text cut to a small buffer stays terminated.
    char small[8];
    int32_t status = 0;
    EXPECT_EQ(
        Vantrell_CdvdBurnerGrabber_TestUnitReady(object, small, sizeof small, &status, nullptr),
        VANTRELL_EXCEPTION_NO_MEDIUM);
    EXPECT_EQ(std::strlen(small), 7u);

    EXPECT_EQ(Vantrell_CdvdBurnerGrabber_SetSpeeds(object, VT_EB(eb), 0xFFFF, 0), 0);
    EXPECT_STREQ(eb.text, "");
    EXPECT_EQ(eb.status, 0);
    EXPECT_EQ(eb.record.ExceptionCode, 0);
    Vantrell_Destroy(&object);
}

TEST_F(DiscTest, WritingMediaIsRefusedWithAText) {
    discimage::Disc disc;
    disc.tracks.push_back(Audio(100, 1));
    SetDrives({Write(disc, "burn")});
    VantrellObject* object = Open(0);
    Eb eb;
    VantrellWriteModes modes;
    ASSERT_EQ(Vantrell_CdvdBurnerGrabber_ProbeSupportedWriteModes(object, VT_EB(eb), &modes), 0);
    EXPECT_EQ(modes.TrackAtOnce | modes.SessionAtOnce | modes.DiscAtOncePQ | modes.DiscAtOnceRawPW,
              0);
    EXPECT_EQ(Vantrell_CdvdBurnerGrabber_TrackAtOnceFromFile(object, VT_EB(eb), "x.iso", 1, 0),
              VANTRELL_EXCEPTION_NOT_SUPPORTED);
    EXPECT_NE(std::strstr(eb.text, "does not write media"), nullptr) << eb.text;
    EXPECT_EQ(Vantrell_CdvdBurnerGrabber_CloseSession(object, VT_EB(eb)),
              VANTRELL_EXCEPTION_NOT_SUPPORTED);
    VantrellObject* tree = reinterpret_cast<VantrellObject*>(1);
    EXPECT_EQ(Vantrell_ISO9660JolietFileTree_Create(&tree, VT_EB(eb), nullptr, nullptr),
              VANTRELL_EXCEPTION_NOT_SUPPORTED);
    EXPECT_EQ(tree, nullptr);
    Vantrell_Destroy(&object);
}

struct Sink {
    std::mutex mutex;
    std::vector<std::string> lines;
};

TEST_F(DiscTest, LibcdioWarningsGoToTheLogSink) {
    discimage::Disc disc;
    disc.tracks.push_back(Audio(100, 1));
    disc.tracks.push_back(Audio(100, 2));
    discimage::WriteOptions damaged;
    damaged.truncateBinTo = 150 * 2352 + 1000; // not a whole number of sectors
    SetDrives({Write(disc, "odd", damaged)});
    Sink sink;
    Vantrell_SetLogSink(
        [](void* context, int32_t, const char* message) {
            auto* s = static_cast<Sink*>(context);
            std::lock_guard lock(s->mutex);
            s->lines.emplace_back(message);
        },
        &sink);
    ASSERT_EQ(Vantrell_UpStartEx(0), 0);
    VantrellObject* object = Open(0);
    Eb eb;
    Vantrell_CdvdBurnerGrabber_TestUnitReady(object, VT_EB(eb));
    Vantrell_Destroy(&object);
    Vantrell_DownShut();
    Vantrell_SetLogSink(nullptr, nullptr);
    bool sawLibcdio = false;
    for (const auto& line : sink.lines)
        sawLibcdio = sawLibcdio || line.find("libcdio: ") == 0;
    EXPECT_TRUE(sawLibcdio);
}

} // namespace
