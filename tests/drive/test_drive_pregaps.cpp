// Pregaps on real drives: each audio track's INDEX 00 found in the Q sub-channel (READ CD,
// formatted Q) of a replayed drive whose answers are made from a generated disc, and what
// the rip makes of them.
#include "ReplayDrive.h"
#include "RipDiscText.h"
#include "RipReport.h"
#include "Vantrell.h"

#include <gtest/gtest.h>

#include <array>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

using replay::Answer;
using replay::kAny;
using replay::Refuse;

const char* const kDrive = "/dev/sr-replay0";

// CRC-16 with the polynomial x^16 + x^12 + x^5 + 1, from 0, not inverted.
uint16_t Crc16(const uint8_t* data, size_t size) {
    uint16_t crc = 0;
    for (size_t i = 0; i < size; ++i) {
        crc = static_cast<uint16_t>(crc ^ (data[i] << 8));
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

uint8_t Bcd(int value) {
    return static_cast<uint8_t>((value / 10) << 4 | value % 10);
}

// A generated audio disc as a drive reads it: each track's INDEX 00 and INDEX 01 start, the
// Q sub-channel of every sector (a position, or an ISRC on every 97th sector), and the Q
// faults of a worn disc and of drives.
struct Disc {
    struct Track {
        int32_t index00, index01;
    };
    std::vector<Track> tracks; // track n is tracks[n - 1]
    int32_t leadOut = 0;
    std::set<int> data;              // the numbers of its data tracks
    std::set<int32_t> badAlways;     // sectors whose Q never reads intact
    std::map<int32_t, int> badTimes; // sectors whose Q fails its first reads
    bool crc = true;                 // false: the drive leaves the CRC bytes zero
    int slip = 0;                    // the drive returns the Q of the sector this far on
    bool qAlone = true;              // false: the drive gives Q only after the main data

    std::array<uint8_t, 16> Q(int32_t lba) {
        std::array<uint8_t, 16> q{};
        int n = 1;
        while (n < static_cast<int>(tracks.size()) && tracks[static_cast<size_t>(n)].index00 <= lba)
            ++n;
        const Track& t = tracks[static_cast<size_t>(n - 1)];
        const int index = lba < t.index01 ? 0 : 1;
        const int32_t relative = index == 0 ? t.index01 - lba : lba - t.index01;
        const int32_t absolute = lba + 150;
        if (lba % 97 == 0) { // ADR 3: an ISRC, no position
            const uint8_t isrc[10] = {0x03, 0x45, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0x00};
            std::copy(std::begin(isrc), std::end(isrc), q.begin());
        } else {
            q = {static_cast<uint8_t>(data.count(n) ? 0x41 : 0x01),
                 Bcd(n),
                 Bcd(index),
                 Bcd(relative / 4500),
                 Bcd(relative / 75 % 60),
                 Bcd(relative % 75),
                 0,
                 Bcd(absolute / 4500),
                 Bcd(absolute / 75 % 60),
                 Bcd(absolute % 75)};
        }
        uint16_t crc = static_cast<uint16_t>(~Crc16(q.data(), 10));
        auto once = badTimes.find(lba);
        if (badAlways.count(lba) || (once != badTimes.end() && once->second-- > 0))
            crc ^= 0x0101;
        if (!this->crc)
            crc = 0;
        q[10] = static_cast<uint8_t>(crc >> 8);
        q[11] = static_cast<uint8_t>(crc);
        return q;
    }

    // READ CD: per sector the main data (when asked for) and the formatted Q.
    std::vector<uint8_t> ReadCd(const std::vector<uint8_t>& cdb) {
        const int32_t first = static_cast<int32_t>(uint32_t{cdb[2]} << 24 | uint32_t{cdb[3]} << 16 |
                                                   uint32_t{cdb[4]} << 8 | cdb[5]);
        const int count = cdb[6] << 16 | cdb[7] << 8 | cdb[8];
        const bool main = cdb[9] != 0;
        std::vector<uint8_t> out;
        for (int i = 0; i < count; ++i) {
            if (main)
                out.insert(out.end(), 2352, 0);
            const std::array<uint8_t, 16> q = Q(first + i + slip);
            if (main || qAlone)
                out.insert(out.end(), q.begin(), q.end());
            else
                out.insert(out.end(), 16, 0);
        }
        return out;
    }

    // READ TOC format 0 (LBA).
    Answer Toc() const {
        std::vector<uint8_t> d = {0, 0, 1, static_cast<uint8_t>(tracks.size())};
        auto entry = [this, &d](uint8_t number, int32_t lba) {
            const uint8_t control = data.count(number) ? 0x14 : 0x10;
            d.insert(d.end(), {0x00, control, number, 0x00, static_cast<uint8_t>(lba >> 24),
                               static_cast<uint8_t>(lba >> 16), static_cast<uint8_t>(lba >> 8),
                               static_cast<uint8_t>(lba)});
        };
        for (size_t i = 0; i < tracks.size(); ++i)
            entry(static_cast<uint8_t>(i + 1), tracks[i].index01);
        entry(0xAA, leadOut);
        d[0] = static_cast<uint8_t>((d.size() - 2) >> 8);
        d[1] = static_cast<uint8_t>(d.size() - 2);
        return Answer{{0x43, kAny, 0x00}, d};
    }
};

// Track 1 from sector 0; pregaps of 2 seconds, none, 3.5 seconds, 2 seconds read through Q
// faults at and near its edge, 1 second on sectors whose Q never reads, 53 seconds.
Disc Layout() {
    Disc disc;
    disc.tracks = {{0, 0},         {14850, 15000}, {30000, 30000}, {44737, 45000},
                   {59850, 60000}, {74925, 75000}, {86000, 90000}};
    disc.leadOut = 100000;
    disc.badTimes = {{59848, 1}, {59849, 2}, {59850, 2}, {59851, 1}};
    disc.badAlways = {59700, 59701, 59702, 59703, 59990};
    for (int32_t lba = 74918; lba <= 74932; ++lba)
        disc.badAlways.insert(lba);
    return disc;
}
// What the search finds: INDEX 00 per track (INDEX 01 when none, -1 unknown). Sector 59849
// holds an ISRC: the sectors left between the two tracks hold no position, so track 5
// starts after them.
const int32_t kFound[] = {0, 14850, 30000, 44737, 59850, -1, 86000};

// A replayed drive holding disc; its READ CD answers come from the disc.
std::shared_ptr<replay::Drive> DriveWith(const std::shared_ptr<Disc>& disc,
                                         std::vector<Answer> first = {}) {
    Answer readCd{{0xBE}};
    readCd.make = [disc](const std::vector<uint8_t>& cdb) { return disc->ReadCd(cdb); };
    first.insert(first.end(), {Answer{{0x00}}, disc->Toc(), readCd});
    return std::make_shared<replay::Drive>(std::move(first));
}

struct Eb {
    char text[VANTRELL_EXCEPTION_TEXT_SIZE] = "untouched";
    int32_t status = -1;
    VantrellFailureRecord record{};
};
#define PG_EB(eb) (eb).text, static_cast<uint32_t>(sizeof(eb).text), &(eb).status, &(eb).record

struct Object {
    Object() {
        Eb eb;
        EXPECT_EQ(Vantrell_CdvdBurnerGrabber_CreateEx(&object, PG_EB(eb), nullptr, nullptr,
                                                      (std::string("dev:") + kDrive).c_str(), 0),
                  0)
            << eb.text;
    }
    ~Object() { Vantrell_Destroy(&object); }
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;
    VantrellObject* object = nullptr;
};

TEST(QCrc, TheTestsCrcIsTheKnownOne) {
    const char check[] = "123456789";
    EXPECT_EQ(Crc16(reinterpret_cast<const uint8_t*>(check), 9), 0x31C3);
}

// The pregaps are found whatever form of READ CD the drive takes and however it returns the
// Q; a Q that fails its CRC or holds no position is passed over, a track whose edge never
// reads intact stays unknown, and every read is a short formatted-Q read.
TEST(Pregaps, FoundInTheQSubChannelOfEachAudioTrack) {
    const Answer refuseQAlone =
        Refuse({0xBE, kAny, kAny, kAny, kAny, kAny, kAny, kAny, kAny, 0x00}, 5, 0x24, 0x00);
    // Without a CRC a Q is taken when it is a position near the sector read: the Qs of track
    // 6's edge are then read, the ISRC before track 5 is not told from a bad Q.
    const struct {
        const char* name;
        void (*drive)(Disc&);
        std::vector<Answer> first;
        int32_t fifth = kFound[4], sixth = kFound[5];
    } cases[] = {
        {"formatted Q alone", [](Disc&) {}, {}},
        {"Q only after the main data, Q alone refused", [](Disc&) {}, {refuseQAlone}},
        {"Q only after the main data, Q alone empty", [](Disc& d) { d.qAlone = false; }, {}},
        {"no CRC from the drive", [](Disc& d) { d.crc = false; }, {}, -1, 74925},
        {"the Q of the next sector", [](Disc& d) { d.slip = 1; }, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto disc = std::make_shared<Disc>(Layout());
        c.drive(*disc);
        const auto drive = DriveWith(disc, c.first);
        replay::Scope scope({{kDrive, drive}});
        const Object object;
        Eb eb;
        auto record = std::make_unique<VantrellIndexRecord>();
        ASSERT_EQ(
            Vantrell_CdvdBurnerGrabber_GetTrackIndexes(object.object, PG_EB(eb), record.get()), 0)
            << eb.text;
        EXPECT_EQ(record->Valid, 1);
        EXPECT_EQ(record->SubChannel, 1);
        ASSERT_EQ(record->EntryCount, 7);
        for (int i = 0; i < 7; ++i) {
            const VantrellTrackIndexes& x = record->Entries[i];
            EXPECT_EQ(x.TrackNumber, i + 1);
            EXPECT_EQ(x.AudioTrack, 1);
            EXPECT_EQ(int32_t{x.Index01Lba}, disc->tracks[static_cast<size_t>(i)].index01);
            EXPECT_EQ(int32_t{x.Index00Lba}, i == 4   ? c.fifth
                                             : i == 5 ? c.sixth
                                                      : kFound[i])
                << "track " << i + 1;
        }
        int reads = 0;
        for (const auto& cdb : drive->Commands()) {
            if (cdb[0] != 0xBE)
                continue;
            ++reads;
            EXPECT_EQ(cdb[10], 0x02); // formatted Q
            EXPECT_LE(cdb[8], 4);
            EXPECT_TRUE(cdb[9] == 0x00 || cdb[9] == 0xF8);
        }
        // A few dozen reads a track at most, the unreadable one included: no scan.
        EXPECT_LE(reads, 6 * 40);
    }
}

// Only audio tracks are searched, also after a data track; the audio before track 1 is its
// INDEX 00 without a read.
TEST(Pregaps, DataTracksAndTheAudioBeforeTrackOne) {
    const struct {
        const char* name;
        Disc disc;
        std::vector<int32_t> found;
        int reads;
    } cases[] = {
        {"data track first",
         {{{0, 0}, {10275, 10500}, {15000, 15000}}, 20000, {1}},
         {-1, 10275, 15000},
         20},
        {"audio before track 1", {{{0, 600}, {14850, 15000}}, 20000}, {0, 14850}, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto disc = std::make_shared<Disc>(c.disc);
        const auto drive = DriveWith(disc);
        replay::Scope scope({{kDrive, drive}});
        const Object object;
        Eb eb;
        auto record = std::make_unique<VantrellIndexRecord>();
        ASSERT_EQ(
            Vantrell_CdvdBurnerGrabber_GetTrackIndexes(object.object, PG_EB(eb), record.get()), 0)
            << eb.text;
        ASSERT_EQ(record->EntryCount, c.found.size());
        for (size_t i = 0; i < c.found.size(); ++i) {
            EXPECT_EQ(record->Entries[i].AudioTrack,
                      disc->data.count(static_cast<int>(i + 1)) ? 0 : 1);
            EXPECT_EQ(int32_t{record->Entries[i].Index00Lba}, c.found[i]) << "track " << i + 1;
        }
        EXPECT_LE(drive->Count(0xBE), c.reads);
    }
}

// A drive that does not read the Q sub-channel leaves every pregap unknown: refused, or
// answered with nothing intact (then given up on after a few reads, not a search per track).
TEST(Pregaps, ADriveWithoutQSubChannelLeavesThemUnknown) {
    Answer empty{{0xBE}};
    empty.make = [](const std::vector<uint8_t>& cdb) {
        return std::vector<uint8_t>(size_t{cdb[8]} * (2352 + 16), 0);
    };
    const std::string path = kDrive;
    const struct {
        const char* name;
        std::vector<Answer> first;
        std::string text;
        uint8_t key, asc;
        int mostReads;
    } cases[] = {
        {"unknown command",
         {Refuse({0xBE}, 5, 0x20, 0x00)},
         "The drive " + path + " does not read the Q sub-channel (sense 5/20/00)",
         5,
         0x20,
         2},
        {"invalid field",
         {Refuse({0xBE}, 5, 0x24, 0x00)},
         "The drive " + path + " does not read the Q sub-channel (sense 5/24/00)",
         5,
         0x24,
         2},
        {"no intact Q",
         {empty},
         "The drive " + path + " gives no readable Q sub-channel",
         0,
         0,
         10},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto disc = std::make_shared<Disc>(Layout());
        const auto drive = DriveWith(disc, c.first);
        replay::Scope scope({{kDrive, drive}});
        const Object object;
        Eb eb;
        auto record = std::make_unique<VantrellIndexRecord>();
        EXPECT_EQ(
            Vantrell_CdvdBurnerGrabber_GetTrackIndexes(object.object, PG_EB(eb), record.get()),
            VANTRELL_EXCEPTION_NOT_SUPPORTED);
        EXPECT_EQ(std::string(eb.text), c.text);
        EXPECT_EQ(eb.record.SenseKey, c.key);
        EXPECT_EQ(eb.record.Asc, c.asc);
        EXPECT_EQ(record->Valid, 1);
        EXPECT_EQ(record->SubChannel, 0);
        ASSERT_EQ(record->EntryCount, 7);
        EXPECT_EQ(int32_t{record->Entries[0].Index00Lba},
                  0); // track 1 from sector 0: the TOC says it
        for (int i = 1; i < 7; ++i) {
            EXPECT_EQ(int32_t{record->Entries[i].Index00Lba}, -1) << "track " << i + 1;
            EXPECT_EQ(int32_t{record->Entries[i].Index01Lba},
                      disc->tracks[static_cast<size_t>(i)].index01);
        }
        EXPECT_LE(drive->Count(0xBE), c.mostReads);
    }
}

// The rip takes a real drive's pregaps from the drive library: they reach the cue sheet as
// INDEX 00 in the file of the track before; a drive that cannot tell leaves them out, with
// a note that says why.
TEST(Pregaps, ARealDrivesPregapsReachTheCueSheet) {
    auto disc = std::make_shared<Disc>(Layout());
    rip::TDiscText text;
    {
        replay::Scope scope({{kDrive, DriveWith(disc)}});
        EXPECT_EQ(rip::ReadDrivePregaps(QString::fromLatin1(kDrive), text).toStdString(),
                  "Pregaps unknown for track 6: the drive's Q sub-channel did not settle them");
    }
    const int32_t index00[] = {-1, 14850, -1, 44737, 59850, -1, 86000};
    for (int n = 1; n <= 7; ++n)
        EXPECT_EQ(text.Tracks[n].Index00, index00[n - 1]) << "track " << n;

    rip::TRipReport report;
    for (int n = 1; n <= 7; ++n) {
        rip::TTrackResult t;
        t.Number = n;
        t.StartLba = disc->tracks[static_cast<size_t>(n - 1)].index01;
        t.EndLba = n < 7 ? disc->tracks[static_cast<size_t>(n)].index01 : disc->leadOut;
        t.Selected = true;
        t.Status = rip::tsOk;
        t.FileName = QStringLiteral("%1.wav").arg(n, 2, 10, QLatin1Char('0'));
        t.Index00 = text.Tracks[n].Index00;
        report.Tracks.push_back(t);
    }
    const std::string cue = rip::CueSheet(report, QString()).toStdString();
    EXPECT_NE(cue.find("FILE \"01.wav\" WAVE\r\n  TRACK 01 AUDIO\r\n    INDEX 01 00:00:00\r\n"
                       "  TRACK 02 AUDIO\r\n    INDEX 00 03:18:00\r\n"
                       "FILE \"02.wav\" WAVE\r\n    INDEX 01 00:00:00\r\n"),
              std::string::npos)
        << cue;
    EXPECT_NE(cue.find("  TRACK 04 AUDIO\r\n    INDEX 00 03:16:37\r\n"), std::string::npos) << cue;
    EXPECT_NE(cue.find("  TRACK 06 AUDIO\r\n    INDEX 01 00:00:00\r\n"), std::string::npos) << cue;

    // A drive that refuses READ CD: nothing changes, the note says why.
    rip::TDiscText none;
    replay::Scope scope({{kDrive, DriveWith(disc, {Refuse({0xBE}, 5, 0x24, 0x00)})}});
    EXPECT_EQ(rip::ReadDrivePregaps(QString::fromLatin1(kDrive), none).toStdString(),
              std::string("Pregaps unknown: the drive ") + kDrive +
                  " does not read the Q sub-channel (sense 5/24/00)");
    EXPECT_TRUE(none.Tracks.empty());
}

} // namespace
