// Grabbing audio tracks into WAV files and the compressor's copy, on generated images.
#include "test_vantrell_fixture.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <tuple>

#include <fcntl.h>
#include <sys/file.h>

using namespace vt;

namespace {

std::vector<uint8_t> ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const fs::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

uint32_t Le32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t{p[3]} << 24);
}

struct Progress {
    std::vector<std::pair<uint64_t, uint64_t>> reports;
    VantrellObject* cancelAt = nullptr; // cancel once the grab is under way
};

void OnProgress(uint8_t reason, void* context, void* first, void* second) {
    ASSERT_EQ(reason, VANTRELL_REASON_GRAB_PROGRESS);
    auto* p = static_cast<Progress*>(context);
    p->reports.emplace_back(*static_cast<uint64_t*>(first), *static_cast<uint64_t*>(second));
    if (p->cancelAt && p->reports.size() == 3)
        Vantrell_CdvdBurnerGrabber_CancelGrab(p->cancelAt);
}

class GrabTest : public VantrellTest {
protected:
    // Three audio tracks of noise and a data track at the end.
    void MakeDisc(const discimage::WriteOptions& options = {}) {
        disc_.title = "Grab";
        disc_.tracks = {Audio(300, 11), Audio(437, 12), Audio(250, 13), discimage::DataTrack(30)};
        SetDrives({Write(disc_, "grab", options)});
    }
    VantrellObject* OpenWithProgress() {
        Eb eb;
        VantrellObject* object = nullptr;
        EXPECT_EQ(Vantrell_CdvdBurnerGrabber_Create(&object, VT_EB(eb), OnProgress, &progress_,
                                                    PortOf(0), 0, 0, 0, 0),
                  0);
        return object;
    }
    uint8_t Grab(VantrellObject* object, uint8_t track, const fs::path& target, Eb& eb) {
        return Vantrell_CdvdBurnerGrabber_GrabTrack(object, VT_EB(eb), track, target.c_str(), 1, 1,
                                                    0, 1);
    }

    discimage::Disc disc_;
    Progress progress_;
};

TEST_F(GrabTest, WavHoldsExactlyTheTrackBytes) {
    MakeDisc();
    VantrellObject* object = OpenWithProgress();
    Eb eb;
    const fs::path target = dir_ / "Track2.wav";
    ASSERT_EQ(Grab(object, 2, target, eb), 0) << eb.text;

    const std::vector<uint8_t> wav = ReadFile(target);
    const std::vector<uint8_t> pcm = discimage::TrackPcm(disc_.tracks[1]);
    ASSERT_EQ(wav.size(), 44 + pcm.size());
    EXPECT_EQ(std::memcmp(wav.data(), "RIFF", 4), 0);
    EXPECT_EQ(Le32(wav.data() + 4), 36 + pcm.size());
    EXPECT_EQ(std::memcmp(wav.data() + 8, "WAVEfmt ", 8), 0);
    EXPECT_EQ(Le32(wav.data() + 16), 16u);
    EXPECT_EQ(Le32(wav.data() + 20), 1u | (2u << 16)); // PCM, 2 channels
    EXPECT_EQ(Le32(wav.data() + 24), 44100u);
    EXPECT_EQ(Le32(wav.data() + 28), 176400u);
    EXPECT_EQ(Le32(wav.data() + 32), 4u | (16u << 16));
    EXPECT_EQ(std::memcmp(wav.data() + 36, "data", 4), 0);
    EXPECT_EQ(Le32(wav.data() + 40), pcm.size());
    EXPECT_TRUE(std::equal(pcm.begin(), pcm.end(), wav.begin() + 44)) << "PCM differs";

    // Progress: from 0 to the total, never backwards, in bytes of the track.
    ASSERT_GE(progress_.reports.size(), 2u);
    EXPECT_EQ(progress_.reports.front().second, 0u);
    EXPECT_EQ(progress_.reports.back().second, pcm.size());
    for (size_t i = 0; i < progress_.reports.size(); ++i) {
        EXPECT_EQ(progress_.reports[i].first, pcm.size());
        if (i > 0) {
            EXPECT_GE(progress_.reports[i].second, progress_.reports[i - 1].second);
        }
    }
    EXPECT_EQ(Outputs(), std::vector<std::string>{"Track2.wav"});

    // The first and the last audio track too (edges of the disc and of a data track).
    for (uint8_t track : {1, 3}) {
        const fs::path t = dir_ / ("t" + std::to_string(track) + ".wav");
        ASSERT_EQ(Grab(object, track, t, eb), 0) << eb.text;
        const std::vector<uint8_t> expected = discimage::TrackPcm(disc_.tracks[track - 1]);
        const std::vector<uint8_t> got = ReadFile(t);
        ASSERT_EQ(got.size(), 44 + expected.size());
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), got.begin() + 44)) << int(track);
    }
    Vantrell_Destroy(&object);
}

// What a sink is given, and a sink that refuses after a number of bytes.
struct SinkRecord {
    std::vector<uint8_t> bytes;
    size_t refuseAfter = SIZE_MAX;
};

int32_t Record(void* context, const uint8_t* data, uint32_t size) {
    auto* r = static_cast<SinkRecord*>(context);
    if (r->bytes.size() + size > r->refuseAfter)
        return ENOSPC;
    r->bytes.insert(r->bytes.end(), data, data + size);
    return 0;
}

TEST_F(GrabTest, ARangeGoesToTheSinkAndMayReachIntoTheAudioBesideTheTrack) {
    MakeDisc();
    VantrellObject* object = OpenWithProgress();
    std::vector<uint8_t> audio; // tracks 1-3 in a row, from sector 0
    for (int t = 0; t < 3; ++t) {
        const std::vector<uint8_t> pcm = discimage::TrackPcm(disc_.tracks[size_t(t)]);
        audio.insert(audio.end(), pcm.begin(), pcm.end());
    }
    auto grab = [&](uint8_t track, int32_t first, int32_t sectors, SinkRecord& sink, Eb& eb) {
        return Vantrell_CdvdBurnerGrabber_GrabTrackRange(object, VT_EB(eb), track, first, sectors,
                                                         Record, &sink, 1, 0, 1);
    };
    // Track 2 with two sectors of track 1 before it and two of track 3 after it; then track
    // 1 and track 2 again: the reader kept from one grab to the next reads where it is told.
    for (const auto& [track, first, sectors] :
         {std::tuple{2, 298, 441}, std::tuple{1, 0, 300}, std::tuple{2, 298, 441}}) {
        SinkRecord sink;
        Eb eb;
        ASSERT_EQ(grab(uint8_t(track), first, sectors, sink, eb), 0) << eb.text;
        const auto from = audio.begin() + std::ptrdiff_t(first) * 2352;
        EXPECT_TRUE(std::equal(from, from + std::ptrdiff_t(sectors) * 2352, sink.bytes.begin(),
                               sink.bytes.end()))
            << "track " << track;
    }
    // Refused: before the disc, into the data track, no sectors; and a sink that refuses.
    for (const auto& [first, sectors] : {std::pair{-1, 10}, std::pair{737, 251}, std::pair{0, 0}}) {
        SinkRecord sink;
        Eb eb;
        EXPECT_EQ(grab(first < 300 ? 1 : 3, first, sectors, sink, eb),
                  VANTRELL_EXCEPTION_INVALID_ARGUMENT)
            << first;
        EXPECT_TRUE(sink.bytes.empty());
    }
    SinkRecord full;
    full.refuseAfter = 100000;
    Eb eb;
    EXPECT_EQ(grab(1, 0, 300, full, eb), VANTRELL_EXCEPTION_FILE_ERROR);
    EXPECT_NE(std::string(eb.text).find("No space left on device"), std::string::npos) << eb.text;
    // The image replaced by another disc: the next grab reads the new one.
    disc_.tracks[0] = Audio(300, 99);
    SetDrives({Write(disc_, "grab")});
    SinkRecord fresh;
    ASSERT_EQ(grab(1, 0, 300, fresh, eb), 0) << eb.text;
    EXPECT_TRUE(fresh.bytes == discimage::TrackPcm(disc_.tracks[0]));
    EXPECT_TRUE(Outputs().empty());
    Vantrell_Destroy(&object);
}

TEST_F(GrabTest, RefusedGrabsLeaveNoFile) {
    MakeDisc();
    VantrellObject* object = OpenWithProgress();
    struct Case {
        uint8_t track;
        fs::path target;
        uint8_t code;
    } cases[] = {
        {4, dir_ / "data.wav", VANTRELL_EXCEPTION_NOT_AUDIO},
        {9, dir_ / "none.wav", VANTRELL_EXCEPTION_INVALID_ARGUMENT},
        {1, dir_ / "no-such-folder" / "x.wav", VANTRELL_EXCEPTION_FILE_ERROR},
    };
    for (const Case& c : cases) {
        Eb eb;
        EXPECT_EQ(Grab(object, c.track, c.target, eb), c.code) << eb.text;
        EXPECT_NE(std::strlen(eb.text), 0u);
    }
    EXPECT_TRUE(Outputs().empty());
    Vantrell_Destroy(&object);
}

TEST_F(GrabTest, UnreadableSectorsFailTheGrabAndKeepTheOldFile) {
    // The BIN ends inside track 2: its sectors past the end cannot be read.
    discimage::WriteOptions damaged;
    damaged.truncateBinTo = int64_t{300 + 200} * 2352;
    MakeDisc(damaged);
    const fs::path target = dir_ / "Track2.wav";
    WriteFile(target, {'o', 'l', 'd'});
    VantrellObject* object = OpenWithProgress();
    Eb eb;
    EXPECT_EQ(Grab(object, 2, target, eb), VANTRELL_EXCEPTION_READ_ERROR);
    EXPECT_NE(std::strstr(eb.text, "could not be read"), nullptr) << eb.text;
    EXPECT_GE(eb.record.Lba, 300);
    EXPECT_EQ(ReadFile(target), (std::vector<uint8_t>{'o', 'l', 'd'}));
    EXPECT_EQ(Outputs(), std::vector<std::string>{"Track2.wav"}); // no temporary file left

    // The intact track before the damage is still grabbed whole.
    ASSERT_EQ(Grab(object, 1, dir_ / "Track1.wav", eb), 0) << eb.text;
    EXPECT_EQ(ReadFile(dir_ / "Track1.wav").size(), 44 + 300u * 2352);
    Vantrell_Destroy(&object);
}

TEST_F(GrabTest, CancelStopsTheGrabAndLeavesNoFile) {
    MakeDisc();
    VantrellObject* object = OpenWithProgress();
    Eb eb;
    // Before the start: the next grab is cancelled, and only that one.
    Vantrell_CdvdBurnerGrabber_CancelGrab(object);
    EXPECT_EQ(Grab(object, 1, dir_ / "a.wav", eb), VANTRELL_EXCEPTION_CANCELLED);
    EXPECT_TRUE(Outputs().empty());

    // While it runs.
    progress_.cancelAt = object;
    EXPECT_EQ(Grab(object, 2, dir_ / "b.wav", eb), VANTRELL_EXCEPTION_CANCELLED) << eb.text;
    EXPECT_NE(std::strstr(eb.text, "cancelled"), nullptr) << eb.text;
    EXPECT_LT(progress_.reports.back().second, progress_.reports.back().first);
    EXPECT_TRUE(Outputs().empty());

    progress_.cancelAt = nullptr;
    EXPECT_EQ(Grab(object, 1, dir_ / "c.wav", eb), 0) << eb.text;
    EXPECT_EQ(Outputs(), std::vector<std::string>{"c.wav"});
    Vantrell_Destroy(&object);
}

// What the window's "file in use" test and a user's file manager see while a grab runs:
// the old file under the name, the new data in a hidden file that is locked.
struct Midway {
    fs::path dir;
    bool looked = false;
    std::string oldContent;
    std::vector<std::string> hidden;
    bool locked = false;
};

void LookMidway(uint8_t, void* context, void* first, void* second) {
    auto* m = static_cast<Midway*>(context);
    const uint64_t total = *static_cast<uint64_t*>(first);
    const uint64_t done = *static_cast<uint64_t*>(second);
    if (m->looked || done == 0 || done == total)
        return;
    m->looked = true;
    const std::vector<uint8_t> old = ReadFile(m->dir / "Track1.wav");
    m->oldContent.assign(old.begin(), old.end());
    for (const auto& e : fs::directory_iterator(m->dir)) {
        const std::string name = e.path().filename().string();
        if (name.rfind(".Track1.wav.", 0) != 0)
            continue;
        m->hidden.push_back(name);
        const int fd = ::open(e.path().c_str(), O_RDONLY | O_CLOEXEC);
        m->locked = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
        if (fd >= 0)
            ::close(fd);
    }
}

TEST_F(GrabTest, WhileWrittenTheOutputIsHiddenAndLocked) {
    MakeDisc();
    WriteFile(dir_ / "Track1.wav", {'o', 'l', 'd'});
    Midway midway{dir_};
    Eb eb;
    VantrellObject* object = nullptr;
    ASSERT_EQ(Vantrell_CdvdBurnerGrabber_Create(&object, VT_EB(eb), LookMidway, &midway, PortOf(0),
                                                0, 0, 0, 0),
              0);
    ASSERT_EQ(Grab(object, 1, dir_ / "Track1.wav", eb), 0) << eb.text;
    Vantrell_Destroy(&object);
    ASSERT_TRUE(midway.looked);
    EXPECT_EQ(midway.oldContent, "old");
    EXPECT_EQ(midway.hidden.size(), 1u);
    EXPECT_TRUE(midway.locked);
    EXPECT_EQ(ReadFile(dir_ / "Track1.wav").size(), 44 + 300u * 2352);
    EXPECT_EQ(Outputs(), std::vector<std::string>{"Track1.wav"});
}

TEST_F(GrabTest, NoMediumWhileTheTrayIsOpen) {
    MakeDisc();
    VantrellObject* object = OpenWithProgress();
    Eb eb;
    ASSERT_EQ(Vantrell_CdvdBurnerGrabber_Eject(object, VT_EB(eb)), 0);
    EXPECT_EQ(Grab(object, 1, dir_ / "a.wav", eb), VANTRELL_EXCEPTION_NO_MEDIUM);
    ASSERT_EQ(Vantrell_CdvdBurnerGrabber_CloseTray(object, VT_EB(eb)), 0);
    EXPECT_EQ(Grab(object, 1, dir_ / "a.wav", eb), 0) << eb.text;
    Vantrell_Destroy(&object);
}

// ---- compressor -------------------------------------------------------------------------

struct CompressLog {
    std::vector<int32_t> percents;
    int32_t stopAt = -1;
};

int32_t OnCompress(void* context, int32_t code, int32_t value) {
    auto* log = static_cast<CompressLog*>(context);
    EXPECT_EQ(code, 1);
    log->percents.push_back(value);
    return log->stopAt >= 0 && value >= log->stopAt ? 1 : 0;
}

class CompressTest : public VantrellTest {
protected:
    fs::path MakeWav(size_t pcmBytes) {
        std::vector<uint8_t> wav(44);
        // A header in the grab's own format, then noise.
        const fs::path path = dir_ / "source.wav";
        uint8_t h[44] = {'R', 'I', 'F', 'F', 0,  0, 0,   0,   'W', 'A',  'V',  'E', 'f', 'm',  't',
                         ' ', 16,  0,   0,   0,  1, 0,   2,   0,   0x44, 0xAC, 0,   0,   0x10, 0xB1,
                         2,   0,   4,   0,   16, 0, 'd', 'a', 't', 'a',  0,    0,   0,   0};
        const auto put = [&](int at, uint32_t v) {
            for (int i = 0; i < 4; ++i)
                h[at + i] = static_cast<uint8_t>(v >> (8 * i));
        };
        put(4, static_cast<uint32_t>(36 + pcmBytes));
        put(40, static_cast<uint32_t>(pcmBytes));
        std::memcpy(wav.data(), h, 44);
        const std::vector<uint8_t> pcm = NoisePcm(pcmBytes, 5);
        wav.insert(wav.end(), pcm.begin(), pcm.end());
        WriteFile(path, wav);
        return path;
    }
};

TEST_F(CompressTest, LevelZeroCopiesTheWavWithProgress) {
    const fs::path source = MakeWav(3'000'000);
    const fs::path target = dir_ / "out.wav";
    CompressLog log;
    ASSERT_EQ(Vantrell_Wave_UncompressedFileCompress(source.c_str(), target.c_str(), 176400,
                                                     OnCompress, &log, 0),
              0);
    EXPECT_EQ(ReadFile(target), ReadFile(source));
    ASSERT_FALSE(log.percents.empty());
    EXPECT_EQ(log.percents.front(), 0);
    EXPECT_EQ(log.percents.back(), 100);
    EXPECT_TRUE(std::is_sorted(log.percents.begin(), log.percents.end()));
}

TEST_F(CompressTest, FailuresLeaveNoTarget) {
    const fs::path source = MakeWav(100'000);
    const fs::path target = dir_ / "out.wav";
    // A data chunk longer than the file.
    std::vector<uint8_t> cut = ReadFile(source);
    cut.resize(50'000);
    WriteFile(dir_ / "cut.wav", cut);
    WriteFile(dir_ / "text.wav", {'h', 'e', 'l', 'l', 'o'});

    struct Case {
        fs::path source;
        uint32_t rate;
        int32_t level;
        int32_t stopAt;
        uint8_t code;
    } cases[] = {
        {source, 176400, 25, -1, VANTRELL_EXCEPTION_NOT_SUPPORTED},
        {source, 88200, 0, -1, VANTRELL_EXCEPTION_BAD_WAVE},
        {dir_ / "cut.wav", 176400, 0, -1, VANTRELL_EXCEPTION_BAD_WAVE},
        {dir_ / "text.wav", 176400, 0, -1, VANTRELL_EXCEPTION_BAD_WAVE},
        {dir_ / "absent.wav", 176400, 0, -1, VANTRELL_EXCEPTION_FILE_ERROR},
        {source, 176400, 0, 0, VANTRELL_EXCEPTION_CANCELLED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.source.string() + " level " + std::to_string(c.level));
        CompressLog log;
        log.stopAt = c.stopAt;
        EXPECT_EQ(Vantrell_Wave_UncompressedFileCompress(c.source.c_str(), target.c_str(), c.rate,
                                                         OnCompress, &log, c.level),
                  c.code);
        EXPECT_FALSE(fs::exists(target));
    }
    EXPECT_EQ(Outputs().size(), 3u); // the three sources only, no temporary file
}

} // namespace
