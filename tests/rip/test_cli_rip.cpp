// `tonvale-cli rip` as a child process on disc images this test writes: the audio, the
// checksums and the disc ids against values the test computes itself from the PCM and
// the TOC it wrote, read offsets, an AccurateRip file, CD-Text in file names and tags
// (read back with ffprobe), verified copies, a damaged image, a stop mid-rip, what
// bad arguments make it say; and, against a server of its own on 127.0.0.1, AccurateRip
// online, the CTDB and `offset find`.
#include "ChildProcess.h"
#include "DiscImage.h"
#include "FakeServer.h"
#include "RipReference.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <atomic>
#include <filesystem>
#include <mutex>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

using childprocess::Count;
using childprocess::ReadFile;
using childprocess::WriteFile;

struct Outcome {
    int exitCode = -1; // the shell's view: 128 + the signal when one ended it
    bool signalled = false;
    std::string out, err;
};

// Runs a program (a path, or a name on PATH) with TONVALE_VIRTUAL_DRIVES set to drives;
// when stopOn is given, sends SIGINT once stderr shows it.
Outcome RunProgram(std::vector<std::string> args, const std::string& drives = {},
                   const std::string& stopOn = {}) {
    childprocess::TLaunch launch;
    launch.args = std::move(args);
    launch.drives = drives;
    launch.stopOn = stopOn;
    const childprocess::TOutcome run = childprocess::Run(launch);
    return {run.Status(), run.signalled, run.out, run.err};
}

QJsonObject Json(const std::string& text) {
    return QJsonDocument::fromJson(QByteArray::fromStdString(text)).object();
}

std::string Str(const QJsonValue& v) {
    return v.toString().toStdString();
}

// ---- what the test computes itself ----------------------------------------------------

std::string Hex(uint32_t v, bool upper = false) {
    char text[9];
    std::snprintf(text, sizeof text, upper ? "%08X" : "%08x", v);
    return text;
}

struct Sums {
    std::string crc, v1, v2, f450;
};

// The plain-way sums as the log and the JSON print them.
Sums ReferenceSums(const Bytes& pcm, bool first, bool last) {
    const riptest::Reference r = riptest::ReferenceSums(pcm, first, last);
    return {Hex(r.crc, true), Hex(r.v1), Hex(r.v2), Hex(r.f450)};
}

struct Ids {
    std::string ar1, ar2, cddb, musicBrainz, dbar;
    uint32_t ar1Value = 0, ar2Value = 0, cddbValue = 0;
};

// The ids of an audio-only disc whose tracks start at starts (sectors) and end at leadOut.
Ids ReferenceIds(const std::vector<uint32_t>& starts, uint32_t leadOut) {
    Ids ids;
    uint32_t id1 = leadOut, id2 = leadOut * static_cast<uint32_t>(starts.size() + 1), digits = 0;
    for (size_t i = 0; i < starts.size(); ++i) {
        id1 += starts[i];
        id2 += std::max(starts[i], 1u) * static_cast<uint32_t>(i + 1);
        for (uint32_t s = (starts[i] + 150) / 75; s > 0; s /= 10)
            digits += s % 10;
    }
    const uint32_t seconds = (leadOut + 150) / 75 - (starts[0] + 150) / 75;
    const uint32_t cddb =
        (digits % 255) << 24 | seconds << 8 | static_cast<uint32_t>(starts.size());
    std::string text;
    char part[16];
    std::snprintf(part, sizeof part, "%02X%02X", 1, static_cast<int>(starts.size()));
    text += part;
    for (int i = 0; i < 100; ++i) {
        const uint32_t offset = i == 0 ? leadOut + 150
                                : i <= static_cast<int>(starts.size())
                                    ? starts[static_cast<size_t>(i - 1)] + 150
                                    : 0;
        std::snprintf(part, sizeof part, "%08X", offset);
        text += part;
    }
    QByteArray mb =
        QCryptographicHash::hash(QByteArray::fromStdString(text), QCryptographicHash::Sha1)
            .toBase64();
    mb.replace('+', '.').replace('/', '_').replace('=', '-');
    ids.ar1 = Hex(id1);
    ids.ar2 = Hex(id2);
    ids.cddb = Hex(cddb);
    ids.musicBrainz = mb.toStdString();
    ids.ar1Value = id1;
    ids.ar2Value = id2;
    ids.cddbValue = cddb;
    char dbar[64];
    std::snprintf(dbar, sizeof dbar, "dBAR-%03zu-%s-%s-%s.bin", starts.size(), ids.ar1.c_str(),
                  ids.ar2.c_str(), ids.cddb.c_str());
    ids.dbar = dbar;
    return ids;
}

Bytes Noise(uint32_t sectors, uint32_t seed) {
    Bytes pcm(size_t{sectors} * discimage::kSectorBytes);
    std::mt19937 random(seed);
    std::normal_distribution<double> sample(0.0, 3000.0);
    for (size_t i = 0; i + 1 < pcm.size(); i += 2) {
        const auto v = static_cast<int16_t>(std::clamp(sample(random), -32768.0, 32767.0));
        pcm[i] = static_cast<uint8_t>(v & 0xFF);
        pcm[i + 1] = static_cast<uint8_t>((v >> 8) & 0xFF);
    }
    return pcm;
}

// One written disc: its image, each track's PCM and where each track starts.
struct Disc {
    std::string cue;
    std::vector<Bytes> pcm;
    std::vector<uint32_t> starts;
    uint32_t leadOut = 0;
    Ids ids;
};

// Adds lines to a CUE sheet that the image writer does not write: the disc's catalogue
// number and track 1's songwriter, composer and ISRC.
void AddCueLines(const std::string& cue) {
    std::string text = ReadFile(cue);
    text.insert(text.find("FILE "), "CATALOG 0123456789012\n");
    const std::string track1 = "  TRACK 01 AUDIO\n";
    text.insert(text.find(track1) + track1.size(),
                "    SONGWRITER \"Sam Writer\"\n    COMPOSER \"Cleo Composer\"\n"
                "    ISRC DEA123456789\n");
    WriteFile(cue, text);
}

Disc WriteDisc(const fs::path& folder, const std::string& name, std::vector<Bytes> pcm,
               const discimage::WriteOptions& options = {}) {
    discimage::Disc disc;
    disc.title = "Album T\xc3\xaftle";
    disc.performer = "The Performers";
    const char* titles[] = {"First/Second Half", "Zwei \xe2\x80\x93 \xc3\x9cnicode", ""};
    for (size_t i = 0; i < pcm.size(); ++i) {
        discimage::Track track = discimage::AudioTrackFromPcm(pcm[i], i < 3 ? titles[i] : "");
        if (i == 1)
            track.performer = "Guest";
        disc.tracks.push_back(std::move(track));
    }
    const discimage::Written written = discimage::WriteCueBin(disc, folder.string(), name, options);
    AddCueLines(written.cuePath);
    Disc result;
    result.cue = written.cuePath;
    result.pcm = std::move(pcm);
    result.starts = written.trackStart;
    result.leadOut = written.trackStart.back() +
                     static_cast<uint32_t>(result.pcm.back().size() / discimage::kSectorBytes);
    result.ids = ReferenceIds(result.starts, result.leadOut);
    return result;
}

// Three 40-second tones: long enough that a stop reaches the rip mid-way.
discimage::Disc LongDisc() {
    discimage::Disc disc;
    for (int t = 0; t < 3; ++t)
        disc.tracks.push_back(discimage::ToneTrack(40, 440 + 110 * t));
    return disc;
}

// The files under a folder (relative names, hidden ones included), sorted.
std::vector<std::string> Tree(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        names.push_back(fs::relative(entry.path(), folder).string());
    std::sort(names.begin(), names.end());
    return names;
}

const std::string kAlbum = "The Performers - Album T\xc3\xaftle";
const std::string kFiles[] = {"01 - First_Second Half", "02 - Zwei \xe2\x80\x93 \xc3\x9cnicode",
                              "03 - Track3"};

bool HaveFfmpeg() {
    return RunProgram({"ffprobe", "-version"}).exitCode == 0 &&
           RunProgram({"ffmpeg", "-version"}).exitCode == 0;
}

class RipCliTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        char pattern[] = "/tmp/tonvale-cli-rip.XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        images_ = pattern;
        // Sector 450 exists in the first two tracks.
        disc_ = WriteDisc(images_, "album", {Noise(470, 1), Noise(455, 2), Noise(400, 3)});
    }
    static void TearDownTestSuite() { fs::remove_all(images_); }

    void SetUp() override {
        dir_ = images_ / ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    static Outcome Rip(std::vector<std::string> args, const std::string& cue = disc_.cue,
                       const std::string& stopOn = {}) {
        args.insert(args.begin(), {TONVALE_CLI_PATH, "rip"});
        return RunProgram(args, cue, stopOn);
    }

    static inline fs::path images_;
    static inline Disc disc_;
    fs::path dir_;
};

// The PCM of a WAV file the rip wrote (after its 44-byte header).
Bytes WavPcm(const fs::path& file) {
    const std::string wav = ReadFile(file);
    EXPECT_GE(wav.size(), 44u) << file;
    EXPECT_EQ(wav.substr(0, 4), "RIFF") << file;
    return wav.size() < 44 ? Bytes{} : Bytes(wav.begin() + 44, wav.end());
}

TEST_F(RipCliTest, AWavRipIsTheDiscWithItsSumsIdsNamesAndLog) {
    const fs::path out = dir_ / "out";
    const Outcome run = Rip({"--json", out.string()});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const QJsonObject record = Json(run.out);
    ASSERT_FALSE(record.isEmpty()) << "stdout is not one JSON record: " << run.out;

    const QJsonObject ids = record[QStringLiteral("ids")].toObject();
    EXPECT_EQ(Str(ids[QStringLiteral("accurateRip1")]), disc_.ids.ar1);
    EXPECT_EQ(Str(ids[QStringLiteral("accurateRip2")]), disc_.ids.ar2);
    EXPECT_EQ(Str(ids[QStringLiteral("cddb")]), disc_.ids.cddb);
    EXPECT_EQ(Str(ids[QStringLiteral("musicBrainz")]), disc_.ids.musicBrainz);
    EXPECT_EQ(Str(ids[QStringLiteral("accurateRipFile")]), disc_.ids.dbar);

    const QJsonArray tracks = record[QStringLiteral("tracks")].toArray();
    ASSERT_EQ(tracks.size(), 3);
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i + 1);
        const QJsonObject t = tracks[static_cast<qsizetype>(i)].toObject();
        const Sums ref = ReferenceSums(disc_.pcm[i], i == 0, i == 2);
        EXPECT_EQ(Str(t[QStringLiteral("status")]), "ok");
        EXPECT_EQ(Str(t[QStringLiteral("copyCrc")]), ref.crc);
        EXPECT_EQ(Str(t[QStringLiteral("accurateRipV1")]), ref.v1);
        EXPECT_EQ(Str(t[QStringLiteral("accurateRipV2")]), ref.v2);
        EXPECT_EQ(Str(t[QStringLiteral("frame450Crc")]), ref.f450);
        const std::string file = kAlbum + "/" + kFiles[i] + ".wav";
        EXPECT_EQ(Str(t[QStringLiteral("file")]), file);
        EXPECT_TRUE(WavPcm(out / file) == disc_.pcm[i]) << "the audio of " << file;
    }
    EXPECT_EQ(Str(tracks[0].toObject()[QStringLiteral("isrc")]), "DEA123456789");
    EXPECT_EQ(Str(record[QStringLiteral("album")].toObject()[QStringLiteral("mcn")]),
              "0123456789012");

    // Beside the tracks: the cue sheet and the playlist naming them, and the log, which
    // ends in the SHA-256 of everything above its last line. Nothing else, nothing hidden.
    const fs::path album = out / kAlbum;
    const std::string log = ReadFile(album / "rip.log");
    const size_t at = log.rfind("SHA-256: ");
    ASSERT_NE(at, std::string::npos) << log;
    EXPECT_EQ(log.substr(at + 9),
              QCryptographicHash::hash(QByteArray::fromStdString(log.substr(0, at)),
                                       QCryptographicHash::Sha256)
                      .toHex()
                      .toStdString() +
                  "\n");
    for (size_t i = 0; i < 3; ++i)
        EXPECT_EQ(Count(log, "Copy CRC: " + ReferenceSums(disc_.pcm[i], i == 0, i == 2).crc), 1u);
    for (const std::string& id :
         {disc_.ids.dbar, "CDDB: " + disc_.ids.cddb, "MusicBrainz: " + disc_.ids.musicBrainz})
        EXPECT_EQ(Count(log, id), 1u) << id;
    EXPECT_EQ(Count(log, "Drive: Tonvale Virtual CD-ROM"), 1u);
    const std::string cue = ReadFile(album / (kAlbum + ".cue"));
    const std::string m3u = ReadFile(album / (kAlbum + ".m3u"));
    for (const std::string& name : kFiles) {
        EXPECT_EQ(Count(cue, "FILE \"" + name + ".wav\" WAVE"), 1u) << cue;
        EXPECT_EQ(Count(m3u, "\n" + name + ".wav\n"), 1u) << m3u;
    }
    EXPECT_EQ(Count(cue, "ISRC DEA123456789"), 1u) << cue;
    EXPECT_EQ(Count(cue, "CATALOG 0123456789012"), 1u) << cue;
    EXPECT_EQ(Tree(out),
              (std::vector<std::string>{
                  kAlbum, kAlbum + "/" + kFiles[0] + ".wav", kAlbum + "/" + kFiles[1] + ".wav",
                  kAlbum + "/" + kFiles[2] + ".wav", kAlbum + "/" + kAlbum + ".cue",
                  kAlbum + "/" + kAlbum + ".m3u", kAlbum + "/rip.log"}));
}

TEST_F(RipCliTest, AReadOffsetShiftsTheAudioAndItsSums) {
    // The disc's samples in a row; +6 takes six samples from the next track (silence
    // after the last), -6 from the previous one (silence before the first). The sums are
    // made while the drive reads: they must be those of the files written.
    Bytes all;
    for (const Bytes& pcm : disc_.pcm)
        all.insert(all.end(), pcm.begin(), pcm.end());
    for (int offset : {6, -6, 0}) {
        SCOPED_TRACE(offset);
        const fs::path out = dir_ / std::to_string(offset);
        const Outcome run =
            Rip({"--offset", std::to_string(offset), "--template", "%t", "--json", out.string()});
        ASSERT_EQ(run.exitCode, 0) << run.err;
        const QJsonArray tracks = Json(run.out)[QStringLiteral("tracks")].toArray();
        ASSERT_EQ(tracks.size(), 3);
        int64_t start = 0;
        for (size_t i = 0; i < 3; ++i) {
            const auto length = static_cast<int64_t>(disc_.pcm[i].size());
            Bytes shifted(static_cast<size_t>(length), 0);
            for (int64_t b = 0; b < length; ++b) {
                const int64_t from = start + b + offset * 4;
                if (from >= 0 && from < static_cast<int64_t>(all.size()))
                    shifted[static_cast<size_t>(b)] = all[static_cast<size_t>(from)];
            }
            start += length;
            const Sums ref = ReferenceSums(shifted, i == 0, i == 2);
            const QJsonObject t = tracks[static_cast<qsizetype>(i)].toObject();
            EXPECT_EQ(Str(t[QStringLiteral("copyCrc")]), ref.crc) << i + 1;
            EXPECT_EQ(Str(t[QStringLiteral("accurateRipV1")]), ref.v1) << i + 1;
            EXPECT_EQ(Str(t[QStringLiteral("accurateRipV2")]), ref.v2) << i + 1;
            if (offset != 0) {
                EXPECT_NE(ref.crc, ReferenceSums(disc_.pcm[i], i == 0, i == 2).crc);
            }
            EXPECT_TRUE(WavPcm(out / ("0" + std::to_string(i + 1) + ".wav")) == shifted)
                << "the audio of track " << i + 1;
        }
        const std::string shown = offset > 0 ? "+6" : offset < 0 ? "-6" : "0";
        EXPECT_EQ(Count(ReadFile(out / "rip.log"), "Read offset correction: " + shown), 1u);
    }
}

TEST_F(RipCliTest, AnAccurateRipFileVerifiesTheRipAndCatchesOneChangedSample) {
    // Two entries as the database keeps them: one with the v1 sums, one with the v2 sums.
    auto put32 = [](std::string& s, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            s += static_cast<char>((v >> (8 * i)) & 0xFF);
    };
    std::string dbar;
    for (int version : {1, 2}) {
        dbar += static_cast<char>(3);
        put32(dbar, disc_.ids.ar1Value);
        put32(dbar, disc_.ids.ar2Value);
        put32(dbar, disc_.ids.cddbValue);
        for (size_t i = 0; i < 3; ++i) {
            const Sums ref = ReferenceSums(disc_.pcm[i], i == 0, i == 2);
            dbar += static_cast<char>(version == 1 ? 3 : 5);
            put32(dbar,
                  static_cast<uint32_t>(std::stoul(version == 1 ? ref.v1 : ref.v2, nullptr, 16)));
            put32(dbar, static_cast<uint32_t>(std::stoul(ref.f450, nullptr, 16)));
        }
    }
    const fs::path dbarFile = dir_ / disc_.ids.dbar;
    WriteFile(dbarFile, dbar);

    // The same disc with one sample of track 2 changed.
    std::vector<Bytes> changed = disc_.pcm;
    changed[1][4 * 10000] ^= 0x01;
    const Disc other = WriteDisc(dir_, "changed", changed);

    struct Case {
        std::string cue;
        bool track2Accurate;
    } cases[] = {{disc_.cue, true}, {other.cue, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cue);
        const fs::path out = dir_ / (c.track2Accurate ? "good" : "changed");
        const Outcome run =
            Rip({"--accuraterip-db", dbarFile.string(), "--template", "%t", "--json", out.string()},
                c.cue);
        ASSERT_EQ(run.exitCode, 0) << run.err;
        const QJsonArray tracks = Json(run.out)[QStringLiteral("tracks")].toArray();
        ASSERT_EQ(tracks.size(), 3);
        for (qsizetype i = 0; i < 3; ++i) {
            const QJsonObject t = tracks[i].toObject();
            const bool accurate = i != 1 || c.track2Accurate;
            EXPECT_EQ(Str(t[QStringLiteral("accurateRipV1Result")]),
                      accurate ? "accurately ripped (confidence 3)" : "not accurately ripped")
                << i + 1;
            EXPECT_EQ(Str(t[QStringLiteral("accurateRipV2Result")]),
                      accurate ? "accurately ripped (confidence 5)" : "not accurately ripped")
                << i + 1;
        }
        const std::string log = ReadFile(out / "rip.log");
        EXPECT_EQ(Count(log, "accurately ripped (confidence 3)"), c.track2Accurate ? 3u : 2u);
        EXPECT_EQ(Count(log, "not accurately ripped"), c.track2Accurate ? 0u : 2u);
    }
}

TEST_F(RipCliTest, CompressedTracksCarryTheDiscsTextInNamesAndTags) {
    if (!HaveFfmpeg())
        GTEST_SKIP() << "ffprobe and ffmpeg (Debian package ffmpeg) are needed";
    struct Case {
        const char* format;
        const char* extension;
        const char* trackKey; // the tag holding the track number as ffprobe names it
        const char* track1;
        const char* isrcKey;
        const char* writerKey;
    } cases[] = {
        {"mp3", ".mp3", "track", "1/3", "TSRC", "TEXT"},
        {"ogg", ".ogg", "track", "1", "ISRC", "LYRICIST"},
        {"flac", ".flac", "track", "1", "ISRC", "LYRICIST"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.format);
        const fs::path out = dir_ / c.format;
        const Outcome run = Rip({"--format", c.format, "--jobs", "2", out.string()});
        ASSERT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(Count(run.out, disc_.ids.musicBrainz), 1u) << run.out; // the ids on stdout
        for (size_t i = 0; i < 3; ++i) {
            const fs::path file = out / kAlbum / (kFiles[i] + c.extension);
            const Outcome probe = RunProgram({"ffprobe", "-v", "error", "-show_format",
                                              "-show_streams", "-of", "json", file.string()});
            ASSERT_EQ(probe.exitCode, 0) << file << probe.err;
            const QJsonObject info = Json(probe.out);
            QJsonObject tags =
                info[QStringLiteral("format")].toObject()[QStringLiteral("tags")].toObject();
            if (tags.isEmpty()) // Ogg keeps its comments with the stream
                tags = info[QStringLiteral("streams")]
                           .toArray()[0]
                           .toObject()[QStringLiteral("tags")]
                           .toObject();
            auto tag = [&tags](const QString& key) {
                for (auto it = tags.begin(); it != tags.end(); ++it)
                    if (it.key().compare(key, Qt::CaseInsensitive) == 0)
                        return it.value().toString().toStdString();
                return std::string();
            };
            const char* titles[] = {"First/Second Half", "Zwei \xe2\x80\x93 \xc3\x9cnicode", ""};
            EXPECT_EQ(tag(QStringLiteral("title")), titles[i]) << file;
            EXPECT_EQ(tag(QStringLiteral("album")), "Album T\xc3\xaftle");
            EXPECT_EQ(tag(QStringLiteral("artist")), i == 1 ? "Guest" : "The Performers");
            const double seconds = info[QStringLiteral("format")]
                                       .toObject()[QStringLiteral("duration")]
                                       .toString()
                                       .toDouble();
            EXPECT_NEAR(seconds, static_cast<double>(disc_.pcm[i].size()) / 176400.0, 0.1) << file;
            if (i != 0)
                continue;
            EXPECT_EQ(tag(QString::fromLatin1(c.trackKey)), c.track1);
            EXPECT_EQ(tag(QString::fromLatin1(c.isrcKey)), "DEA123456789");
            EXPECT_EQ(tag(QString::fromLatin1(c.writerKey)), "Sam Writer");
            EXPECT_EQ(tag(QStringLiteral("composer")), "Cleo Composer");
            if (std::string(c.format) != "mp3") { // Vorbis comments: number and total apart
                const std::string bytes = ReadFile(file);
                EXPECT_EQ(Count(bytes, "TRACKNUMBER=1"), 1u);
                EXPECT_EQ(Count(bytes, "TRACKTOTAL=3"), 1u);
            } else {
                EXPECT_EQ(tag(QStringLiteral("album_artist")), "The Performers");
            }
        }
        if (std::string(c.format) == "flac") { // lossless: decoded, it is the disc
            for (size_t i = 0; i < 3; ++i) {
                const Outcome decoded = RunProgram({"ffmpeg", "-v", "error", "-i",
                                                    (out / kAlbum / (kFiles[i] + ".flac")).string(),
                                                    "-f", "s16le", "-"});
                EXPECT_TRUE(Bytes(decoded.out.begin(), decoded.out.end()) == disc_.pcm[i])
                    << "track " << i + 1;
            }
        }
        EXPECT_EQ(Count(ReadFile(out / kAlbum / (kAlbum + ".cue")),
                        std::string(c.extension) + "\" " +
                            (c.format == std::string("mp3") ? "MP3" : "WAVE")),
                  3u);
    }
}

// What FFmpeg's ebur128 filter measures on PCM: the integrated loudness (its last value)
// and the highest true peak of either channel, linear.
struct Loudness {
    double lufs = 0, peak = 0;
};
Loudness FilterLoudness(const fs::path& folder, const Bytes& pcm) {
    const fs::path wav = folder / "measured.wav", meta = folder / "measured.txt";
    {
        std::ofstream out(wav, std::ios::binary);
        const auto le32 = [&out](uint32_t v) {
            for (int i = 0; i < 4; ++i)
                out.put(static_cast<char>(v >> (8 * i)));
        };
        const auto size = static_cast<uint32_t>(pcm.size());
        out << "RIFF";
        le32(36 + size);
        out << "WAVEfmt ";
        for (uint32_t v : {16u, 0x20001u, 44100u, 176400u, 0x100004u})
            le32(v);
        out << "data";
        le32(size);
        out.write(reinterpret_cast<const char*>(pcm.data()),
                  static_cast<std::streamsize>(pcm.size()));
    }
    const Outcome run =
        RunProgram({"ffmpeg", "-v", "error", "-i", wav.string(), "-af",
                    "ebur128=peak=true:metadata=1,ametadata=mode=print:file=" + meta.string(), "-f",
                    "null", "-"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    Loudness l;
    std::istringstream lines(ReadFile(meta));
    for (std::string line; std::getline(lines, line);) {
        const size_t eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        const std::string key = line.substr(0, eq);
        const double value = std::strtod(line.c_str() + eq + 1, nullptr);
        if (key == "lavfi.r128.I")
            l.lufs = value;
        else if (key.rfind("lavfi.r128.true_peaks_ch", 0) == 0)
            l.peak = std::max(l.peak, value);
    }
    return l;
}

TEST_F(RipCliTest, ReplayGainIsTheLoudnessOfTheSamplesReadAndReachesLogJsonAndTags) {
    if (!HaveFfmpeg())
        GTEST_SKIP() << "ffprobe and ffmpeg (Debian package ffmpeg) are needed";
    discimage::Disc tones;
    tones.tracks = {discimage::ToneTrack(7, 440, 0.9), discimage::ToneTrack(5, 1000, 0.4),
                    discimage::ToneTrack(5, 220, 0.5)};
    const discimage::Written written = discimage::WriteCueBin(tones, dir_.string(), "tones");
    Bytes all;
    std::vector<Loudness> reference;
    for (const discimage::Track& t : tones.tracks) {
        const Bytes pcm = discimage::TrackPcm(t);
        all.insert(all.end(), pcm.begin(), pcm.end());
        reference.push_back(FilterLoudness(dir_, pcm));
    }
    const Loudness album = FilterLoudness(dir_, all);

    const fs::path out = dir_ / "out";
    const Outcome run =
        Rip({"--format", "flac", "--json", "--template", "%t", out.string()}, written.cuePath);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const QJsonObject record = Json(run.out);
    const QJsonArray tracks = record[QStringLiteral("tracks")].toArray();
    ASSERT_EQ(tracks.size(), 3);
    const std::string log = ReadFile(out / "rip.log");
    for (qsizetype i = 0; i < 3; ++i) {
        SCOPED_TRACE(i + 1);
        const QJsonObject gain = tracks[i].toObject()[QStringLiteral("replayGain")].toObject();
        const Loudness& ref = reference[static_cast<size_t>(i)];
        EXPECT_NEAR(gain[QStringLiteral("gain")].toDouble(), -18 - ref.lufs, 0.05);
        EXPECT_NEAR(gain[QStringLiteral("peak")].toDouble(), ref.peak, 0.001);
        // The tags say what the record says.
        const fs::path file =
            out / QStringLiteral("%1.flac").arg(i + 1, 2, 10, QLatin1Char('0')).toStdString();
        const Outcome probe = RunProgram({"ffprobe", "-v", "error", "-show_entries", "format_tags",
                                          "-of", "json", file.string()});
        const QJsonObject tags =
            Json(probe.out)[QStringLiteral("format")].toObject()[QStringLiteral("tags")].toObject();
        const QString gainText =
            QStringLiteral("%1 dB").arg(gain[QStringLiteral("gain")].toDouble(), 0, 'f', 2);
        EXPECT_EQ(tags[QStringLiteral("REPLAYGAIN_TRACK_GAIN")].toString(), gainText) << probe.out;
        EXPECT_NEAR(tags[QStringLiteral("REPLAYGAIN_TRACK_PEAK")].toString().toDouble(), ref.peak,
                    0.001);
        EXPECT_NEAR(
            tags[QStringLiteral("REPLAYGAIN_ALBUM_GAIN")].toString().split(' ')[0].toDouble(),
            -18 - album.lufs, 0.05);
        EXPECT_NEAR(tags[QStringLiteral("REPLAYGAIN_ALBUM_PEAK")].toString().toDouble(), album.peak,
                    0.001);
        EXPECT_EQ(Count(log, "ReplayGain track gain: " + gainText.toStdString()), 1u) << log;
    }
    const QJsonObject albumGain = record[QStringLiteral("replayGain")].toObject();
    EXPECT_NEAR(albumGain[QStringLiteral("gain")].toDouble(), -18 - album.lufs, 0.05);
    EXPECT_NEAR(albumGain[QStringLiteral("peak")].toDouble(), album.peak, 0.001);
    EXPECT_EQ(albumGain[QStringLiteral("reference")].toDouble(), -18);
    EXPECT_EQ(Count(log, "ReplayGain album gain"), 1u) << log;
    // The 7-second track is read whole to its last sector (a long read once ended in the
    // next track's first sectors).
    const Outcome decoded =
        RunProgram({"ffmpeg", "-v", "error", "-i", (out / "01.flac").string(), "-f", "s16le", "-"});
    EXPECT_TRUE(Bytes(decoded.out.begin(), decoded.out.end()) ==
                discimage::TrackPcm(tones.tracks[0]));

    // Opus: the R128 gains, 1/256 dB relative to -23 LUFS. Turned off: no values anywhere.
    const Outcome opus =
        Rip({"--format", "opus", "--tracks", "2", "--template", "%t", (dir_ / "opus").string()},
            written.cuePath);
    ASSERT_EQ(opus.exitCode, 0) << opus.err;
    const Outcome probe = RunProgram({"ffprobe", "-v", "error", "-show_entries", "stream_tags",
                                      "-of", "json", (dir_ / "opus" / "02.opus").string()});
    const QJsonObject opusTags = Json(probe.out)[QStringLiteral("streams")]
                                     .toArray()[0]
                                     .toObject()[QStringLiteral("tags")]
                                     .toObject();
    EXPECT_NEAR(opusTags[QStringLiteral("R128_TRACK_GAIN")].toString().toInt() / 256.0,
                -23 - reference[1].lufs, 0.05)
        << probe.out;
    EXPECT_NEAR(opusTags[QStringLiteral("R128_ALBUM_GAIN")].toString().toInt() / 256.0,
                -23 - reference[1].lufs, 0.05); // the album is the one track ripped
    EXPECT_FALSE(opusTags.contains(QStringLiteral("REPLAYGAIN_TRACK_GAIN")));

    const Outcome off = Rip({"--format", "flac", "--tracks", "2", "--no-replaygain", "--json",
                             "--template", "%t", (dir_ / "off").string()},
                            written.cuePath);
    ASSERT_EQ(off.exitCode, 0) << off.err;
    EXPECT_EQ(Count(off.out, "replayGain"), 0u);
    EXPECT_EQ(Count(ReadFile(dir_ / "off" / "02.flac"), "REPLAYGAIN"), 0u);
    const std::string offLog = ReadFile(dir_ / "off" / "rip.log");
    EXPECT_EQ(Count(offLog, "ReplayGain track gain"), 0u) << offLog;
}

TEST_F(RipCliTest, SeveralFormatsComeFromOneReadEachIntoAFolderOfItsOwn) {
    if (!HaveFfmpeg())
        GTEST_SKIP() << "ffprobe and ffmpeg (Debian package ffmpeg) are needed";
    const fs::path out = dir_ / "out";
    childprocess::TLaunch launch;
    launch.args = {TONVALE_CLI_PATH, "rip", "--format", "flac,mp3,wav", "--json", out.string()};
    launch.drives = disc_.cue;
    launch.env = {"TONVALE_DRIVE_DEBUG=1"}; // the drive library says each read on stderr
    const childprocess::TOutcome run = childprocess::Run(launch);
    ASSERT_EQ(run.Status(), 0) << run.err;
    EXPECT_EQ(Count(run.err, "Vantrell: reading track "), 3u) << run.err; // each track once

    const QJsonArray tracks = Json(run.out)[QStringLiteral("tracks")].toArray();
    ASSERT_EQ(tracks.size(), 3);
    const std::string sets[] = {kAlbum + " [FLAC]", kAlbum + " [MP3]", kAlbum + " [WAV]"};
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i + 1);
        const QJsonObject t = tracks[static_cast<qsizetype>(i)].toObject();
        EXPECT_EQ(Str(t[QStringLiteral("status")]), "ok");
        EXPECT_EQ(Str(t[QStringLiteral("file")]), sets[0] + "/" + kFiles[i] + ".flac");
        const QJsonArray more = t[QStringLiteral("moreFiles")].toArray();
        ASSERT_EQ(more.size(), 2);
        EXPECT_EQ(Str(more[0]), sets[1] + "/" + kFiles[i] + ".mp3");
        EXPECT_EQ(Str(more[1]), sets[2] + "/" + kFiles[i] + ".wav");
        // Lossless and WAV: the disc itself; MP3: its length, with its tags.
        const Outcome flac =
            RunProgram({"ffmpeg", "-v", "error", "-i",
                        (out / sets[0] / (kFiles[i] + ".flac")).string(), "-f", "s16le", "-"});
        EXPECT_TRUE(Bytes(flac.out.begin(), flac.out.end()) == disc_.pcm[i]);
        EXPECT_TRUE(WavPcm(out / sets[2] / (kFiles[i] + ".wav")) == disc_.pcm[i]);
        const Outcome mp3 = RunProgram({"ffprobe", "-v", "error", "-show_format", "-of", "json",
                                        (out / sets[1] / (kFiles[i] + ".mp3")).string()});
        const QJsonObject format = Json(mp3.out)[QStringLiteral("format")].toObject();
        EXPECT_NEAR(format[QStringLiteral("duration")].toString().toDouble(),
                    static_cast<double>(disc_.pcm[i].size()) / 176400.0, 0.1);
        EXPECT_EQ(Str(format[QStringLiteral("tags")].toObject()[QStringLiteral("album")]),
                  "Album T\xc3\xaftle");
    }
    // Each set describes itself: its cue sheet names its files, its log its format.
    const char* types[] = {".flac\" WAVE", ".mp3\" MP3", ".wav\" WAVE"};
    const char* presets[] = {"Quality (FLAC,", "Quality (MP3,", "Format: WAV\n"};
    for (size_t s = 0; s < 3; ++s) {
        SCOPED_TRACE(sets[s]);
        EXPECT_EQ(Count(ReadFile(out / sets[s] / (kAlbum + ".cue")), types[s]), 3u);
        EXPECT_EQ(Count(ReadFile(out / sets[s] / (kAlbum + ".m3u")), "\n01 - "), 1u);
        EXPECT_EQ(Count(ReadFile(out / sets[s] / "rip.log"), presets[s]), 1u);
    }
}

// A disc whose first 225 sectors (hiddenAudio: noise or silence) lie before track 1's
// INDEX 01; track 2 has a two-second INDEX 00 at the end of track 1 and pre-emphasis,
// track 3 a one-second PREGAP the image does not hold; ISRC and CATALOG lines.
struct GapDisc {
    std::string cue;
    std::vector<Bytes> pcm; // the hidden audio, then tracks 1 to 3
};
GapDisc WriteGapDisc(const fs::path& folder, const std::string& name, bool silentHidden) {
    GapDisc d;
    d.pcm = {silentHidden ? Bytes(225 * discimage::kSectorBytes, 0) : Noise(225, 7), Noise(400, 8),
             Noise(400, 9), Noise(300, 10)};
    discimage::Disc disc;
    for (const Bytes& pcm : d.pcm)
        disc.tracks.push_back(discimage::AudioTrackFromPcm(pcm));
    const discimage::Written written = discimage::WriteCueBin(disc, folder.string(), name);
    d.cue = written.cuePath;
    WriteFile(d.cue, "CATALOG 0123456789012\n"
                     "FILE \"" +
                         name +
                         ".bin\" BINARY\n"
                         "  TRACK 01 AUDIO\n    ISRC DEA123456789\n"
                         "    INDEX 00 00:00:00\n    INDEX 01 00:03:00\n"
                         "  TRACK 02 AUDIO\n    FLAGS DCP PRE\n"
                         "    INDEX 00 00:06:25\n    INDEX 01 00:08:25\n"
                         "  TRACK 03 AUDIO\n    PREGAP 00:01:00\n    INDEX 01 00:13:50\n");
    return d;
}

TEST_F(RipCliTest, PregapsHiddenAudioPreEmphasisAndCodesReachTheCueSheetTheLogAndTheTags) {
    if (!HaveFfmpeg())
        GTEST_SKIP() << "ffprobe and ffmpeg (Debian package ffmpeg) are needed";
    const GapDisc disc = WriteGapDisc(dir_, "gaps", false);
    const fs::path out = dir_ / "out";
    const Outcome run =
        Rip({"--format", "wav,flac", "--template", "%t - %n", "--json", out.string()}, disc.cue);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    // The hidden audio is track 0; a pregap's audio is at the end of the track before.
    const char* files[] = {"00 - Hidden Track", "01 - Track1", "02 - Track2", "03 - Track3"};
    for (size_t i = 0; i < 4; ++i)
        EXPECT_TRUE(WavPcm(out / "WAV" / (std::string(files[i]) + ".wav")) == disc.pcm[i])
            << files[i];
    const std::string cue = ReadFile(out / "WAV" / "Unknown - Unknown.cue");
    for (const std::string& part :
         {std::string("CATALOG 0123456789012\r\n"),
          std::string("FILE \"00 - Hidden Track.wav\" WAVE\r\n  TRACK 01 AUDIO\r\n"
                      "    ISRC DEA123456789\r\n    INDEX 00 00:00:00\r\n"
                      "FILE \"01 - Track1.wav\" WAVE\r\n    INDEX 01 00:00:00\r\n"),
          std::string("  TRACK 02 AUDIO\r\n    FLAGS PRE\r\n    INDEX 00 00:03:25\r\n"
                      "FILE \"02 - Track2.wav\" WAVE\r\n    INDEX 01 00:00:00\r\n"),
          std::string("FILE \"03 - Track3.wav\" WAVE\r\n  TRACK 03 AUDIO\r\n"
                      "    PREGAP 00:01:00\r\n    INDEX 01 00:00:00\r\n")})
        EXPECT_EQ(Count(cue, part), 1u) << part << "\n" << cue;
    const std::string log = ReadFile(out / "WAV" / "rip.log");
    for (const char* line :
         {"Hidden track one audio: 00:03.00 before track 1 (sectors 0 to 224), ripped as track 0",
          "  Pre-emphasis: yes (FLAGS PRE)", "  Pregap: 00:02.00 (INDEX 00 at sector 475",
          "  Pregap silence: 00:01.00", "  ISRC: DEA123456789", "MCN: 0123456789012"})
        EXPECT_EQ(Count(log, line), 1u) << line << "\n" << log;
    const QJsonObject record = Json(run.out);
    const QJsonArray tracks = record[QStringLiteral("tracks")].toArray();
    ASSERT_EQ(tracks.size(), 4);
    EXPECT_TRUE(tracks[0].toObject()[QStringLiteral("hidden")].toBool());
    EXPECT_TRUE(tracks[2].toObject()[QStringLiteral("preEmphasis")].toBool());
    EXPECT_EQ(tracks[2].toObject()[QStringLiteral("pregapSectors")].toInt(), 150);
    // The TOC and the disc ids know nothing of the hidden audio.
    EXPECT_EQ(record[QStringLiteral("toc")].toObject()[QStringLiteral("tracks")].toArray().size(),
              3);
    // The codes in the tags.
    const Outcome probe = RunProgram({"ffprobe", "-v", "error", "-show_entries", "format_tags",
                                      "-of", "json", (out / "FLAC" / "01 - Track1.flac").string()});
    const QJsonObject tags =
        Json(probe.out)[QStringLiteral("format")].toObject()[QStringLiteral("tags")].toObject();
    EXPECT_EQ(Str(tags[QStringLiteral("ISRC")]), "DEA123456789") << probe.out;
    EXPECT_EQ(Str(tags[QStringLiteral("BARCODE")]), "0123456789012") << probe.out;
    EXPECT_EQ(Str(tags[QStringLiteral("TRACKTOTAL")]), "3") << probe.out;
}

TEST_F(RipCliTest, SilentOrUnwantedHiddenAudioIsNotRippedAndTheCueSheetSaysItsLength) {
    const struct {
        bool silent;
        std::vector<std::string> args;
        std::string result;
    } cases[] = {{true, {}, "silent, not ripped"},
                 {false, {"--no-htoa"}, "not ripped (--no-htoa)"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.result);
        const GapDisc disc = WriteGapDisc(dir_, c.silent ? "silent" : "unwanted", c.silent);
        const fs::path out = dir_ / (c.silent ? "silent-out" : "unwanted-out");
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--template", "%t - %n", "--json", out.string()});
        const Outcome run = Rip(args, disc.cue);
        ASSERT_EQ(run.exitCode, 0) << run.err;
        EXPECT_FALSE(fs::exists(out / "00 - Hidden Track.wav"));
        EXPECT_TRUE(WavPcm(out / "01 - Track1.wav") == disc.pcm[1]);
        const QJsonObject record = Json(run.out);
        EXPECT_EQ(
            Str(record[QStringLiteral("hiddenTrackOne")].toObject()[QStringLiteral("result")]),
            c.result);
        EXPECT_EQ(record[QStringLiteral("tracks")].toArray().size(), 3);
        const std::string cue = ReadFile(out / "Unknown - Unknown.cue");
        EXPECT_EQ(Count(cue, "FILE \"01 - Track1.wav\" WAVE\r\n  TRACK 01 AUDIO\r\n"
                             "    ISRC DEA123456789\r\n    PREGAP 00:03:00\r\n"
                             "    INDEX 01 00:00:00\r\n"),
                  1u)
            << cue;
        EXPECT_EQ(Count(ReadFile(out / "rip.log"), c.result), 1u);
    }
}

// The INDEX 01 positions of a cue sheet, in sectors.
std::vector<uint32_t> CueIndex01(const std::string& cue) {
    std::vector<uint32_t> starts;
    for (size_t at = cue.find("INDEX 01 "); at != std::string::npos;
         at = cue.find("INDEX 01 ", at + 1)) {
        unsigned m = 0, s = 0, f = 0;
        if (std::sscanf(cue.c_str() + at + 9, "%u:%u:%u", &m, &s, &f) == 3)
            starts.push_back((m * 60 + s) * 75 + f);
    }
    return starts;
}

TEST_F(RipCliTest, AnImageIsTheDiscInOneFileWhoseCueSheetSplitsItIntoTheTracks) {
    if (!HaveFfmpeg())
        GTEST_SKIP() << "ffprobe and ffmpeg (Debian package ffmpeg) are needed";
    const fs::path out = dir_ / "image", tracks = dir_ / "tracks";
    const Outcome run = Rip({"--image", "--format", "wav,flac", "--json", out.string()});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const Outcome perTrack = Rip({"--template", "%t", tracks.string()});
    ASSERT_EQ(perTrack.exitCode, 0) << perTrack.err;

    // Split at the cue sheet's times, the image is the per-track rip, byte for byte.
    const fs::path wavSet = out / (kAlbum + " [WAV]");
    const std::string cue = ReadFile(wavSet / (kAlbum + ".cue"));
    EXPECT_EQ(Count(cue, "FILE "), 1u) << cue;
    EXPECT_EQ(Count(cue, "FILE \"" + kAlbum + ".wav\" WAVE"), 1u) << cue;
    const std::vector<uint32_t> starts = CueIndex01(cue);
    ASSERT_EQ(starts.size(), 3u) << cue;
    const Bytes image = WavPcm(wavSet / (kAlbum + ".wav"));
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i + 1);
        const size_t from = size_t{starts[i]} * discimage::kSectorBytes;
        const size_t to =
            i + 1 < 3 ? size_t{starts[i + 1]} * discimage::kSectorBytes : image.size();
        ASSERT_LE(from, to);
        ASSERT_LE(to, image.size());
        EXPECT_TRUE(
            Bytes(image.begin() + static_cast<std::ptrdiff_t>(from),
                  image.begin() + static_cast<std::ptrdiff_t>(to)) ==
            WavPcm(tracks /
                   QStringLiteral("%1.wav").arg(i + 1, 2, 10, QLatin1Char('0')).toStdString()));
        // The sums are those of the track, as in a rip of tracks.
        const QJsonObject t =
            Json(run.out)[QStringLiteral("tracks")].toArray()[static_cast<qsizetype>(i)].toObject();
        EXPECT_EQ(Str(t[QStringLiteral("copyCrc")]),
                  ReferenceSums(disc_.pcm[i], i == 0, i == 2).crc);
        EXPECT_EQ(Str(t[QStringLiteral("accurateRipV2")]),
                  ReferenceSums(disc_.pcm[i], i == 0, i == 2).v2);
    }
    // The FLAC image: the same audio, its cue sheet inside (naming it) with the same times.
    const fs::path flac = out / (kAlbum + " [FLAC]") / (kAlbum + ".flac");
    const Outcome decoded =
        RunProgram({"ffmpeg", "-v", "error", "-i", flac.string(), "-f", "s16le", "-"});
    EXPECT_TRUE(Bytes(decoded.out.begin(), decoded.out.end()) == image);
    const Outcome probe = RunProgram(
        {"ffprobe", "-v", "error", "-show_entries", "format_tags", "-of", "json", flac.string()});
    const QJsonObject tags =
        Json(probe.out)[QStringLiteral("format")].toObject()[QStringLiteral("tags")].toObject();
    const std::string embedded = Str(tags[QStringLiteral("CUESHEET")]);
    EXPECT_EQ(Count(embedded, "FILE \"" + kAlbum + ".flac\" WAVE"), 1u) << probe.out;
    EXPECT_EQ(CueIndex01(embedded), starts);
    EXPECT_EQ(Str(tags[QStringLiteral("TITLE")]), "Album T\xc3\xaftle");
    EXPECT_FALSE(tags.contains(QStringLiteral("track")));
}

TEST_F(RipCliTest, AnImageKeepsPregapsAndTheHiddenAudioAtTheirFrames) {
    const GapDisc disc = WriteGapDisc(dir_, "gaps", false);
    const fs::path out = dir_ / "out";
    // A verified copy: each track's second read writes over its first in the image.
    const Outcome run = Rip({"--image", "--secure", "--template", "%t", out.string()}, disc.cue);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    Bytes all;
    for (const Bytes& pcm : disc.pcm)
        all.insert(all.end(), pcm.begin(), pcm.end());
    EXPECT_TRUE(WavPcm(out / "Unknown - Unknown.wav") == all);
    EXPECT_EQ(Count(ReadFile(out / "rip.log"), "00:03.00 before track 1 (sectors 0 to 224), in the "
                                               "image, as track 1's INDEX 00"),
              1u);
    const std::string cue = ReadFile(out / "Unknown - Unknown.cue");
    EXPECT_EQ(Count(cue, "  TRACK 01 AUDIO\r\n    ISRC DEA123456789\r\n"
                         "    INDEX 00 00:00:00\r\n    INDEX 01 00:03:00\r\n"
                         "  TRACK 02 AUDIO\r\n    FLAGS PRE\r\n"
                         "    INDEX 00 00:06:25\r\n    INDEX 01 00:08:25\r\n"
                         "  TRACK 03 AUDIO\r\n    PREGAP 00:01:00\r\n    INDEX 01 00:13:50\r\n"),
              1u)
        << cue;
}

TEST_F(RipCliTest, AVerifiedCopyReadsTwiceAndShowsEqualTestAndCopyCrcs) {
    const fs::path out = dir_ / "out";
    const Outcome run =
        Rip({"--secure", "--tracks", "1,3", "--template", "%t", "--json", out.string()});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const QJsonArray tracks = Json(run.out)[QStringLiteral("tracks")].toArray();
    ASSERT_EQ(tracks.size(), 2);
    for (qsizetype k = 0; k < 2; ++k) {
        const size_t i = k == 0 ? 0 : 2;
        const QJsonObject t = tracks[k].toObject();
        const std::string crc = ReferenceSums(disc_.pcm[i], i == 0, i == 2).crc;
        EXPECT_EQ(t[QStringLiteral("number")].toInt(), static_cast<int>(i + 1));
        EXPECT_EQ(Str(t[QStringLiteral("testCrc")]), crc);
        EXPECT_EQ(Str(t[QStringLiteral("copyCrc")]), crc);
        EXPECT_EQ(t[QStringLiteral("reads")].toInt(), 2);
    }
    const std::string log = ReadFile(out / "rip.log");
    EXPECT_EQ(Count(log, "Test CRC: "), 2u);
    EXPECT_EQ(Count(log, "Secure mode: yes"), 1u);
    EXPECT_EQ(Tree(out), (std::vector<std::string>{"01.wav", "03.wav", kAlbum + ".cue",
                                                   kAlbum + ".m3u", "rip.log"}));
}

TEST_F(RipCliTest, ATrackThatCannotBeReadFailsAndTheRestIsRipped) {
    // The BIN ends in the middle of track 2: its sectors past the end, and track 3, cannot
    // be read.
    discimage::WriteOptions options;
    options.truncateBinTo = static_cast<int64_t>(disc_.starts[1] + 100) * discimage::kSectorBytes;
    const Disc damaged = WriteDisc(dir_, "damaged", disc_.pcm, options);
    const fs::path out = dir_ / "out";
    const Outcome run =
        Rip({"--format", "mp3", "--jobs", "2", "--template", "%t", "--json", out.string()},
            damaged.cue);
    EXPECT_EQ(run.exitCode, 1) << run.err;
    const QJsonArray tracks = Json(run.out)[QStringLiteral("tracks")].toArray();
    ASSERT_EQ(tracks.size(), 3);
    EXPECT_EQ(Str(tracks[0].toObject()[QStringLiteral("status")]), "ok");
    for (qsizetype i : {1, 2}) {
        const QJsonObject t = tracks[i].toObject();
        EXPECT_EQ(Str(t[QStringLiteral("status")]), "failed");
        EXPECT_EQ(Count(Str(t[QStringLiteral("error")]), "could not be read"), 1u);
        EXPECT_EQ(Count(run.err, "Track " + std::to_string(i + 1) + ": failed"), 1u) << run.err;
    }
    const std::string log = ReadFile(out / "rip.log");
    EXPECT_EQ(Count(log, "Status: failed"), 2u) << log;
    EXPECT_EQ(Count(log, "Tracks ripped: 1 of 3"), 1u) << log;
    EXPECT_EQ(Count(ReadFile(out / (kAlbum + ".cue")), "FILE "), 1u);
    EXPECT_EQ(Tree(out),
              (std::vector<std::string>{"01.mp3", kAlbum + ".cue", kAlbum + ".m3u", "rip.log"}));
}

TEST_F(RipCliTest, AStopMidRipKeepsTheFinishedTracksAndLeavesNothingHalfWritten) {
    if (!HaveFfmpeg())
        GTEST_SKIP() << "ffprobe (Debian package ffmpeg) is needed";
    // Long enough tracks that the stop, sent when track 2 has been read, finds track 1
    // being encoded (one conversion at a time).
    const discimage::Disc disc = LongDisc();
    const std::string cue = discimage::WriteCueBin(disc, dir_.string(), "long").cuePath;
    const fs::path out = dir_ / "out";
    fs::create_directories(out);
    WriteFile(out / "01.mp3", "old");
    const Outcome run = Rip({"--format", "mp3", "--jobs", "1", "--template", "%t", out.string()},
                            cue, "Track 2: grabbed");
    ASSERT_TRUE(run.signalled) << run.err;
    EXPECT_EQ(run.exitCode, 130) << run.err;
    EXPECT_EQ(Count(run.err, "stopped"), 1u) << run.err;
    // Every file left is the old one or a finished track; no cue sheet, playlist or log.
    for (const std::string& name : Tree(out)) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(name == "01.mp3" || name == "02.mp3" || name == "03.mp3");
        const std::string content = ReadFile(out / name);
        if (content == "old")
            continue;
        const Outcome probe = RunProgram(
            {"ffprobe", "-v", "error", "-show_format", "-of", "json", (out / name).string()});
        EXPECT_NEAR(Json(probe.out)[QStringLiteral("format")]
                        .toObject()[QStringLiteral("duration")]
                        .toString()
                        .toDouble(),
                    40.0, 0.1);
    }
}

TEST_F(RipCliTest, BadArgumentsSayWhyOnce) {
    struct Case {
        std::vector<std::string> args;
        std::string says;
    } cases[] = {
        {{"--tracks", "0", "out"}, "--tracks: '0' is not a track number"},
        {{"--tracks", "9", "out"}, "Track 9 is not an audio track of the disc"},
        {{"--template", "%q", "out"}, "unknown field '%q'"},
        {{"--template", "%A", "out"}, "The template gives two tracks the file name"},
        {{"--format", "mp4", "out"}, "--format must be"},
        {{"--format", "flac,FLAC", "out"}, "FLAC is named twice"},
        {{"--format", "flac,", "out"}, "an empty format in the list"},
        {{"--image", "--tracks", "2", "out"}, "--image rips the whole disc"},
        {{"--offset", "99999", "out"}, "--offset needs"},
        {{"--accuraterip-db", "missing.bin", "out"}, "missing.bin: No such file or directory"},
        {{}, "rip needs an output folder"},
        {{"out", "more"}, "unexpected argument 'more'"},
        {{"--tracks", "-2", "out"}, "--tracks: the range '-2' needs a first and a last track"},
        {{"--tracks", "1-", "out"}, "--tracks: the range '1-' needs a first and a last track"},
        {{"--tracks", ",", "out"}, "--tracks: ',' has an empty entry"},
        {{"--secure", "--secure", "out"}, "option '--secure' is given more than once"},
        {{"--format=mp3", "--format", "wav", "out"}, "option '--format' is given more than once"},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.says);
        for (std::string& arg : c.args)
            if (arg == "out" || arg == "missing.bin")
                arg = (dir_ / arg).string();
        const Outcome run = Rip(c.args);
        EXPECT_EQ(run.exitCode, 2) << run.err;
        EXPECT_EQ(Count(run.err, c.says), 1u) << run.err;
        EXPECT_EQ(Count(run.err, "tonvale-cli: "), 1u) << run.err;
        EXPECT_FALSE(fs::exists(dir_ / "out"));
    }
}

TEST_F(RipCliTest, NamesTheRipMayNotWriteAreRefusedBeforeAnythingIsRead) {
    // The disc's image placed where the rip's cue sheet goes: "L/<album>/<album>.cue".
    const fs::path own = dir_ / "own";
    fs::create_directories(own / kAlbum);
    const Disc image = WriteDisc(own / kAlbum, kAlbum, {Noise(40, 4), Noise(30, 5)});
    const std::string imageBefore = ReadFile(image.cue);
    // A FIFO, a link leading out of the folder and a folder link leading out.
    const fs::path fifo = dir_ / "fifo", file = dir_ / "link", folder = dir_ / "folder";
    const fs::path outside = dir_ / "outside";
    fs::create_directories(outside);
    WriteFile(outside / "precious", "mine");
    fs::create_directories(fifo);
    ASSERT_EQ(::mkfifo((fifo / "01.wav").c_str(), 0600), 0);
    fs::create_directories(file);
    fs::create_symlink(outside / "precious", file / "rip.log");
    fs::create_directories(folder);
    fs::create_symlink(outside, folder / kAlbum);
    struct Case {
        std::vector<std::string> args;
        std::string cue, says;
    } cases[] = {
        {{own.string()}, image.cue, "is a file of the disc image being ripped"},
        {{"--template", "%t", fifo.string()}, disc_.cue, "01.wav exists and is not a regular file"},
        {{"--template", "%t", file.string()},
         disc_.cue,
         "rip.log is a symbolic link that leads outside the output folder"},
        {{folder.string()}, disc_.cue, "is a symbolic link that leads outside the output folder"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.says);
        const Outcome run = Rip(c.args, c.cue);
        EXPECT_EQ(run.exitCode, 2) << run.err;
        EXPECT_EQ(Count(run.err, c.says), 1u) << run.err;
    }
    EXPECT_EQ(ReadFile(image.cue), imageBefore);
    EXPECT_EQ(ReadFile(outside / "precious"), "mine");
    EXPECT_EQ(Tree(outside), std::vector<std::string>{"precious"});
    // A link that stays inside the folder is written through.
    const fs::path inside = dir_ / "inside";
    fs::create_directories(inside / "real");
    fs::create_symlink(inside / "real" / "t1.wav", inside / "01.wav");
    ASSERT_EQ(Rip({"--template", "%t", inside.string()}).exitCode, 0);
    EXPECT_TRUE(WavPcm(inside / "real" / "t1.wav") == disc_.pcm[0]);
}

TEST_F(RipCliTest, AnotherDiscsRipIsReplacedOnlyWhenAskedAndAFailedRipKeepsItsLog) {
    const fs::path out = dir_ / "out";
    ASSERT_EQ(Rip({"--template", "%t", out.string()}).exitCode, 0);
    const Disc other = WriteDisc(dir_, "other", {Noise(50, 7), Noise(60, 8)});
    const Outcome refused = Rip({"--template", "%t", out.string()}, other.cue);
    EXPECT_EQ(refused.exitCode, 2) << refused.err;
    EXPECT_EQ(Count(refused.err, "rip.log is the log of a rip of another disc"), 1u) << refused.err;
    EXPECT_TRUE(WavPcm(out / "01.wav") == disc_.pcm[0]);
    EXPECT_EQ(Rip({"--template", "%t", out.string()}).exitCode, 0) << "the same disc again";
    const Outcome replaced = Rip({"--template", "%t", "--overwrite", out.string()}, other.cue);
    EXPECT_EQ(replaced.exitCode, 0) << replaced.err;
    EXPECT_TRUE(WavPcm(out / "01.wav") == other.pcm[0]);

    // Every track fails (the BIN ends in track 1): the log stays, with each failure.
    discimage::WriteOptions options;
    options.truncateBinTo = 20 * discimage::kSectorBytes;
    const Disc damaged = WriteDisc(dir_, "damaged", disc_.pcm, options);
    const fs::path failed = dir_ / "failed";
    const Outcome run = Rip({failed.string()}, damaged.cue);
    EXPECT_EQ(run.exitCode, 1) << run.err;
    EXPECT_EQ(Count(run.err, "Cannot write"), 0u) << run.err;
    const std::string log = ReadFile(failed / kAlbum / "rip.log");
    EXPECT_EQ(Count(log, "Status: failed"), 3u) << log;
    EXPECT_EQ(Tree(failed), (std::vector<std::string>{kAlbum, kAlbum + "/rip.log"}));
}

TEST_F(RipCliTest, AnAccurateRipFileThatIsNoRegularFileIsRefusedAtOnce) {
    const fs::path fifo = dir_ / "db.fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& db : {fifo.string(), std::string("/dev/zero")}) {
        SCOPED_TRACE(db);
        const Outcome run = Rip({"--accuraterip-db", db, (dir_ / "out").string()});
        EXPECT_EQ(run.exitCode, 2) << run.err;
        EXPECT_EQ(Count(run.err, db + " is not a regular file"), 1u) << run.err;
    }
}

TEST_F(RipCliTest, WorkFoldersOfKilledRipsAreRemovedThoseInUseAreNot) {
    const fs::path out = dir_ / "out";
    for (const char* name : {".tonvale-rip-dead01", ".tonvale-rip-live01"}) {
        fs::create_directories(out / name);
        WriteFile(out / name / "lock", "");
        WriteFile(out / name / "track1-read1.wav", std::string(1000, 'x'));
    }
    const int held = ::open((out / ".tonvale-rip-live01" / "lock").c_str(), O_RDONLY);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    ASSERT_EQ(Rip({"--template", "%t", out.string()}).exitCode, 0);
    ::close(held);
    EXPECT_FALSE(fs::exists(out / ".tonvale-rip-dead01"));
    EXPECT_TRUE(fs::exists(out / ".tonvale-rip-live01" / "track1-read1.wav"));
}

TEST_F(RipCliTest, AFullDiskNamesTheTrackFileOncePerTrack) {
    // Writes past 200 KB fail (EFBIG) as on a full disk: every track's copy, and for WAV the
    // track file itself.
    for (const std::string format : {"wav", "mp3"}) {
        SCOPED_TRACE(format);
        const fs::path out = dir_ / format;
        childprocess::TLaunch launch;
        launch.args = {TONVALE_CLI_PATH, "rip", "--format",  format,
                       "--template",     "%t",  out.string()};
        launch.drives = disc_.cue;
        launch.maxFileSize = 200 * 1024;
        const childprocess::TOutcome run = childprocess::Run(launch);
        EXPECT_EQ(run.Status(), 1) << run.err;
        for (int t = 1; t <= 3; ++t) {
            const std::string file = (out / ("0" + std::to_string(t) + "." + format)).string();
            const std::string shown =
                format == "wav" ? file : "the copy of track " + std::to_string(t) + " for " + file;
            EXPECT_EQ(Count(run.err, "Cannot write " + shown + ": File too large"), 1u) << run.err;
        }
        EXPECT_EQ(Count(run.err, ".tonvale-rip"), 0u) << run.err;
        EXPECT_EQ(Tree(out), std::vector<std::string>{"rip.log"});
    }
}

// "rip ... 2>&1 | head -1": the pipe is closed after the first progress line, so the next
// line cannot be written. The rip stops as a signal would stop it (exit 141, 128 +
// SIGPIPE): the old track file is the old one or a finished track, nothing half-written
// or hidden is left.
TEST_F(RipCliTest, AClosedPipeStopsTheRipAndLeavesNothingHalfWritten) {
    const discimage::Disc disc = LongDisc();
    const std::string cue = discimage::WriteCueBin(disc, dir_.string(), "long").cuePath;
    const fs::path out = dir_ / "out";
    fs::create_directories(out);
    WriteFile(out / "01.wav", "old");
    childprocess::TLaunch launch;
    launch.args = {TONVALE_CLI_PATH, "rip", "--template", "%t", out.string()};
    launch.drives = cue;
    launch.env = {"TONVALE_VIRTUAL_SPEED=20"}; // 6 s, a progress line every 0.6 s
    launch.closeErrOn = "Rip 0%\n";
    const childprocess::TOutcome run = childprocess::Run(launch);
    EXPECT_EQ(run.Status(), 141) << run.err;
    for (const std::string& name : Tree(out)) {
        SCOPED_TRACE(name);
        EXPECT_NE(name[0], '.');
        EXPECT_TRUE(name == "01.wav" || name == "02.wav" || name == "03.wav" || name == "rip.log");
    }
    const std::string first = ReadFile(out / "01.wav");
    EXPECT_TRUE(first == "old" || first.size() == 44 + size_t{disc.tracks[0].sectors} * 2352)
        << first.size();
}

TEST_F(RipCliTest, TwoStopSignalsAtOnceLeaveNoWorkFolder) {
    const discimage::Disc disc = LongDisc();
    const std::string cue = discimage::WriteCueBin(disc, dir_.string(), "long").cuePath;
    const fs::path out = dir_ / "out";
    childprocess::TLaunch launch;
    launch.args = {TONVALE_CLI_PATH, "rip", "--format",  "mp3", "--jobs", "1",
                   "--template",     "%t",  out.string()};
    launch.drives = cue;
    launch.stopOn = "Track 2: grabbed";
    launch.signals = {SIGINT, SIGINT};
    const childprocess::TOutcome run = childprocess::Run(launch);
    ASSERT_TRUE(run.signalled) << run.err;
    EXPECT_EQ(run.Status(), 130) << run.err;
    for (const std::string& name : Tree(out))
        EXPECT_TRUE(name == "01.mp3" || name == "02.mp3") << name;
}

// Texts from the disc reach the terminal, the log, the cue sheet and the file names
// without their control characters (C0, DEL, C1); an ISRC that is not 12 letters and
// digits is no ISRC.
TEST_F(RipCliTest, DiscTextsLoseTheirControlCharactersAndBadCodes) {
    discimage::Disc disc;
    disc.performer = "Band\x07";
    disc.title = "Al\x1b[31mbum\xc2\x80";
    disc.tracks = {discimage::AudioTrackFromPcm(Noise(30, 7), "O\xc2\x9bne\x7f"),
                   discimage::AudioTrackFromPcm(Noise(30, 8), "Two")};
    const std::string cue = discimage::WriteCueBin(disc, dir_.string(), "ctl").cuePath;
    std::string sheet = ReadFile(cue);
    for (const auto& [track, isrc] : {std::pair{"  TRACK 01 AUDIO\n", "DE\x1b"
                                                                      "A12345678"},
                                      std::pair{"  TRACK 02 AUDIO\n", "DEA123456789"}})
        sheet.insert(sheet.find(track) + std::strlen(track),
                     std::string("    ISRC ") + isrc + "\n");
    WriteFile(cue, sheet);
    const fs::path out = dir_ / "out";
    const Outcome run = Rip({"--template", "%d/%n", out.string()}, cue);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const std::string album = "Al[31mbum";
    EXPECT_EQ(Count(run.out, "Disc: 2 audio tracks, Band - " + album + "\n"), 1u) << run.out;
    const std::string files = "Band - " + album;
    EXPECT_EQ(Tree(out), (std::vector<std::string>{album, album + "/" + files + ".cue",
                                                   album + "/" + files + ".m3u", album + "/One.wav",
                                                   album + "/Two.wav", album + "/rip.log"}));
    const std::string cueSheet = ReadFile(out / album / (files + ".cue"));
    const std::string log = ReadFile(out / album / "rip.log");
    for (const std::string* text : {&run.out, &run.err, &cueSheet, &log}) {
        for (const char* control : {"\x1b", "\x07", "\x7f", "\xc2\x80", "\xc2\x9b"})
            EXPECT_EQ(Count(*text, control), 0u) << *text;
    }
    EXPECT_EQ(Count(cueSheet, "ISRC "), 1u) << cueSheet;
    EXPECT_EQ(Count(cueSheet, "    ISRC DEA123456789\r\n"), 1u) << cueSheet;
    EXPECT_EQ(Count(log, "ISRC: "), 1u) << log;
}

// The template's own text follows the rules of the names taken from the disc: every FILE
// line of the cue sheet and every entry of the playlist names a file that is there, each
// entry on one line, none read as a comment.
TEST_F(RipCliTest, TheTemplatesOwnTextCannotBreakTheCueSheetOrThePlaylist) {
    for (const std::string tmpl : {"%t \"%n\"", "%t\n%n", "#%t", "%t\r\x1b%n\xc2\x85"}) {
        SCOPED_TRACE(tmpl);
        const fs::path out = dir_ / "out";
        fs::remove_all(out);
        const Outcome run = Rip({"--template", tmpl, out.string()});
        ASSERT_EQ(run.exitCode, 0) << run.err;
        fs::path cue, m3u;
        for (const std::string& name : Tree(out)) {
            EXPECT_EQ(name.find_first_of("\"\r\n\x1b"), std::string::npos) << name;
            if (name.size() > 4 && name.compare(name.size() - 4, 4, ".cue") == 0)
                cue = out / name;
            if (name.size() > 4 && name.compare(name.size() - 4, 4, ".m3u") == 0)
                m3u = out / name;
        }
        ASSERT_FALSE(cue.empty());
        ASSERT_FALSE(m3u.empty());
        auto lines = [](const std::string& text) {
            std::vector<std::string> result;
            for (size_t at = 0; at < text.size();) {
                const size_t end = std::min(text.find('\n', at), text.size());
                result.push_back(text.substr(at, end - at));
                at = end + 1;
            }
            return result;
        };
        std::vector<std::string> named; // by the cue sheet
        for (const std::string& line : lines(ReadFile(cue)))
            if (line.rfind("FILE \"", 0) == 0)
                named.push_back(line.substr(6, line.rfind("\" ") - 6));
        const std::vector<std::string> playlist = lines(ReadFile(m3u));
        ASSERT_FALSE(playlist.empty());
        EXPECT_EQ(playlist[0], "#EXTM3U");
        std::vector<std::string> entries; // of the playlist
        for (size_t i = 1; i < playlist.size(); ++i)
            if (playlist[i].rfind("#EXTINF:", 0) != 0)
                entries.push_back(playlist[i]);
        EXPECT_EQ(named.size(), 3u);
        EXPECT_EQ(entries.size(), 3u);
        for (const std::string& file : named)
            EXPECT_TRUE(fs::is_regular_file(cue.parent_path() / file)) << file;
        for (const std::string& entry : entries) {
            EXPECT_NE(entry[0], '#') << entry;
            EXPECT_TRUE(fs::is_regular_file(m3u.parent_path() / entry)) << entry;
        }
    }
}

// A working folder whose name is not UTF-8 is shown as its bytes.
TEST_F(RipCliTest, AWorkingFolderThatIsNotUtf8IsShownAsItIs) {
    const fs::path folder = dir_ / "d\xff";
    fs::create_directories(folder);
    childprocess::TLaunch launch;
    launch.args = {TONVALE_CLI_PATH, "rip", "--tracks", "3", "--template", "%t", "out"};
    launch.drives = disc_.cue;
    launch.folder = folder;
    const childprocess::TOutcome run = childprocess::Run(launch);
    EXPECT_EQ(run.Status(), 0) << run.err;
    EXPECT_EQ(Count(run.out, "Log: " + (folder / "out" / "rip.log").string() + "\n"), 1u)
        << run.out;
    EXPECT_TRUE(fs::exists(folder / "out" / "03.wav"));
}

// ---- against the databases: a server of the test's own on 127.0.0.1 ------------------

// The disc's tracks as a drive reading offset samples late gives them (silence beyond).
std::vector<Bytes> Shifted(const Disc& disc, int offset) {
    Bytes all;
    for (const Bytes& pcm : disc.pcm)
        all.insert(all.end(), pcm.begin(), pcm.end());
    std::vector<Bytes> tracks;
    int64_t start = 0;
    for (const Bytes& pcm : disc.pcm) {
        Bytes shifted(pcm.size(), 0);
        for (size_t b = 0; b < pcm.size(); ++b) {
            const int64_t from = start + static_cast<int64_t>(b) + offset * 4;
            if (from >= 0 && from < static_cast<int64_t>(all.size()))
                shifted[b] = all[static_cast<size_t>(from)];
        }
        start += static_cast<int64_t>(pcm.size());
        tracks.push_back(std::move(shifted));
    }
    return tracks;
}

// A dBAR file for the disc: per chunk its confidence and whether it holds v1 or v2 sums of
// tracks; a chunk of version 0 holds sums no rip has.
std::string DbarFile(const Disc& disc, const std::vector<Bytes>& tracks,
                     const std::vector<std::pair<int, int>>& chunks) {
    auto put32 = [](std::string& s, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            s += static_cast<char>((v >> (8 * i)) & 0xFF);
    };
    std::string dbar;
    for (const auto& [confidence, version] : chunks) {
        dbar += static_cast<char>(tracks.size());
        put32(dbar, disc.ids.ar1Value);
        put32(dbar, disc.ids.ar2Value);
        put32(dbar, disc.ids.cddbValue);
        for (size_t i = 0; i < tracks.size(); ++i) {
            const riptest::Reference r =
                riptest::ReferenceSums(tracks[i], i == 0, i + 1 == tracks.size());
            dbar += static_cast<char>(confidence);
            put32(dbar, version == 1 ? r.v1 : version == 2 ? r.v2 : r.v1 ^ 0x1234567u);
            put32(dbar, r.f450);
        }
    }
    return dbar;
}

uint32_t PlainCrc(const uint8_t* data, size_t size) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    return ~crc;
}

// The CTDB CRCs of the disc, computed here: the whole disc less its first 5880 samples and
// its last 5880 + N mod 5880, and each track less what of those falls in it.
struct CtdbCrcs {
    uint32_t disc = 0;
    std::vector<uint32_t> tracks;
};
CtdbCrcs ReferenceCtdb(const std::vector<Bytes>& tracks) {
    Bytes all;
    for (const Bytes& pcm : tracks)
        all.insert(all.end(), pcm.begin(), pcm.end());
    const size_t samples = all.size() / 4, head = 5880, tail = 5880 + samples % 5880;
    CtdbCrcs crcs;
    crcs.disc = PlainCrc(all.data() + head * 4, all.size() - (head + tail) * 4);
    size_t start = 0;
    for (const Bytes& pcm : tracks) {
        const size_t from = std::max(start, head * 4);
        const size_t to = std::min(start + pcm.size(), all.size() - tail * 4);
        crcs.tracks.push_back(PlainCrc(all.data() + from, to - from));
        start += pcm.size();
    }
    return crcs;
}

class OnlineCliTest : public RipCliTest {
protected:
    // The services, played by server; the cache in the test's folder.
    Outcome Run(std::vector<std::string> args, const fakeserver::TServer& server,
                const std::string& cue = disc_.cue) {
        childprocess::TLaunch launch;
        launch.args = {TONVALE_CLI_PATH};
        launch.args.insert(launch.args.end(), args.begin(), args.end());
        launch.drives = cue;
        const std::string base = server.Base().toStdString();
        launch.env = {"XDG_CACHE_HOME=" + (dir_ / "cache").string(),
                      "TONVALE_ACCURATERIP_URL=" + base, "TONVALE_CTDB_URL=" + base};
        const childprocess::TOutcome run = childprocess::Run(launch);
        return {run.Status(), run.signalled, run.out, run.err};
    }
};

fakeserver::TReply Reply(int status, const std::string& body = {}, const char* type = nullptr) {
    fakeserver::TReply reply{status, QByteArray::fromStdString(body), {}, false};
    if (type)
        reply.Headers.append(qMakePair(QByteArray("Content-Type"), QByteArray(type)));
    return reply;
}

TEST_F(OnlineCliTest, AccurateRipOnlineChecksEveryChunkAndRefusesWhatIsNoDbarFile) {
    const std::string good = DbarFile(disc_, disc_.pcm, {{3, 1}, {5, 2}, {2, 0}});
    std::vector<Bytes> changed = disc_.pcm;
    changed[1][4 * 10000] ^= 0x01;
    const Disc other = WriteDisc(dir_, "changed", changed);
    std::string answer;    // what the server answers for the dBAR file; empty: 404
    std::mutex answerLock; // the server answers on a thread of its own
    fakeserver::TServer server([&](const QString& target) {
        std::lock_guard lock(answerLock);
        if (target.startsWith("/accuraterip/") && !answer.empty())
            return Reply(200, answer, answer[0] == '<' ? "text/html" : "application/octet-stream");
        return Reply(404, "Not Found");
    });
    const std::string html = "<!DOCTYPE html><html><body><h1>502 Bad Gateway</h1></body></html>";
    struct Case {
        const char* name;
        std::string body;
        std::string cue;
        std::vector<std::string> verdicts; // per track; empty: no verdict
        std::string note;
    } cases[] = {
        {"found",
         good,
         disc_.cue,
         {"accurately ripped (confidence 8, v2)", "accurately ripped (confidence 8, v2)",
          "accurately ripped (confidence 8, v2)"},
         ""},
        {"one sample changed",
         good,
         other.cue,
         {"accurately ripped (confidence 8, v2)", "not accurate (3 entries)",
          "accurately ripped (confidence 8, v2)"},
         ""},
        {"not in the database",
         "",
         disc_.cue,
         {"not in database", "not in database", "not in database"},
         ""},
        {"a truncated answer",
         good.substr(0, good.size() - 9),
         disc_.cue,
         {},
         "AccurateRip: the answer was refused: the answer is " + std::to_string(good.size() - 9) +
             " bytes, not a whole number of chunks of 40 bytes"},
        {"an error page",
         html,
         disc_.cue,
         {},
         "AccurateRip: the answer was refused: the answer is a web page"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        {
            std::lock_guard lock(answerLock);
            answer = c.body;
        }
        const fs::path out = dir_ / c.name;
        const Outcome run = Run({"rip", "--template", "%t", "--json", out.string()}, server, c.cue);
        ASSERT_EQ(run.exitCode, 0) << run.err;
        const QJsonObject record = Json(run.out);
        const QJsonArray tracks = record["tracks"].toArray();
        ASSERT_EQ(tracks.size(), 3);
        const std::string log = ReadFile(out / "rip.log");
        for (qsizetype i = 0; i < 3; ++i) {
            const QJsonObject ar = tracks[i].toObject()["accurateRip"].toObject();
            if (c.verdicts.empty()) {
                EXPECT_TRUE(ar.isEmpty()) << i + 1;
                continue;
            }
            const std::string& verdict = c.verdicts[static_cast<size_t>(i)];
            EXPECT_EQ(Str(ar["result"]), verdict) << i + 1;
            if (verdict.rfind("accurately", 0) == 0) {
                // The total confidence and the chunks that matched: v1 in 1, v2 in 2, not 3.
                EXPECT_EQ(ar["confidence"].toInt(), 8);
                const QJsonArray chunks = ar["matchingChunks"].toArray();
                ASSERT_EQ(chunks.size(), 2);
                EXPECT_EQ(chunks[0].toObject()["chunk"].toInt(), 1);
                EXPECT_EQ(chunks[0].toObject()["version"].toInt(), 1);
                EXPECT_EQ(chunks[1].toObject()["chunk"].toInt(), 2);
                EXPECT_EQ(chunks[1].toObject()["version"].toInt(), 2);
            }
        }
        // The log says the same, a line per track.
        for (const std::string& verdict : c.verdicts) {
            const auto tracksSaying =
                static_cast<size_t>(std::count(c.verdicts.begin(), c.verdicts.end(), verdict));
            const std::string line =
                verdict.rfind("accurately", 0) == 0
                    ? "  AccurateRip: " + verdict +
                          "; matching chunk 1 (v1, confidence 3), chunk 2 (v2, confidence 5)\n"
                    : "  AccurateRip: " + verdict + "\n";
            // "not in database" is said of the disc too.
            EXPECT_EQ(Count(log, line), tracksSaying + (verdict == "not in database" ? 1 : 0))
                << log;
        }
        if (!c.note.empty()) {
            EXPECT_EQ(Count(run.err, c.note), 1u) << run.err;
            EXPECT_EQ(Count(log, "Note: " + c.note), 1u) << log;
        }
    }
    // Every rip asked for the disc's own file.
    const std::string path = "/accuraterip/" + disc_.ids.ar1.substr(7, 1) + "/" +
                             disc_.ids.ar1.substr(6, 1) + "/" + disc_.ids.ar1.substr(5, 1) + "/" +
                             disc_.ids.dbar;
    int asked = 0;
    for (const fakeserver::TRequest& r : server.Requests())
        asked += r.Target.toStdString() == path ? 1 : 0;
    EXPECT_EQ(asked, 5); // a changed sample leaves the table of contents, and so the ids
}

TEST_F(OnlineCliTest, CtdbVerifiesTheDiscOrItsTracksAndSaysWhenItDiffers) {
    const CtdbCrcs crcs = ReferenceCtdb(disc_.pcm);
    auto hex = [](uint32_t v) { return Hex(v); };
    const std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                            "<ctdb xmlns=\"urn:tonvale-test:ctdb\">\n"
                            "  <entry id=\"7001\" crc32=\"" +
                            hex(crcs.disc ^ 0xFFu) +
                            "\" confidence=\"2\" "
                            "stride=\"5880\" trackcrcs=\"" +
                            hex(crcs.tracks[0] ^ 1u) + " " + hex(crcs.tracks[1] ^ 1u) + " " +
                            hex(crcs.tracks[2] ^ 1u) +
                            "\"/>\n"
                            "  <entry id=\"7002\" crc32=\"" +
                            hex(crcs.disc) +
                            "\" confidence=\"7\" npar=\"8\" "
                            "stride=\"5880\" trackcrcs=\"" +
                            hex(crcs.tracks[0]) + " " + hex(crcs.tracks[1]) + " " +
                            hex(crcs.tracks[2]) + "\"/>\n</ctdb>\n";
    std::vector<Bytes> changed = disc_.pcm;
    changed[2][4 * 20000] ^= 0x04;
    const Disc other = WriteDisc(dir_, "changed", changed);
    std::atomic<bool> present{true}; // read by the server's thread
    fakeserver::TServer server([&](const QString& target) {
        if (target.startsWith("/lookup2.php?") && present.load())
            return Reply(200, xml, "text/xml");
        return Reply(404, "Not Found");
    });
    struct Case {
        const char* name;
        bool present;
        std::string cue;
        std::vector<std::string> args;
        std::string says;
        std::string trackSays; // of track 2
    } cases[] = {
        {"the disc",
         true,
         disc_.cue,
         {},
         "CTDB: verified (confidence 7)",
         "verified (confidence 7)"},
        {"track 2 alone",
         true,
         disc_.cue,
         {"--tracks", "2"},
         "CTDB: verified (confidence 7)",
         "verified (confidence 7)"},
        {"a changed sample", true, other.cue, {}, "CTDB: differs", "verified (confidence 7)"},
        {"not present", false, disc_.cue, {}, "CTDB: not present", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        present.store(c.present);
        const fs::path out = dir_ / c.name;
        std::vector<std::string> args = {"rip", "--template", "%t", "--json"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.push_back(out.string());
        const Outcome run = Run(args, server, c.cue);
        ASSERT_EQ(run.exitCode, 0) << run.err;
        const QJsonObject record = Json(run.out);
        EXPECT_EQ(Str(record["ctdb"].toObject()["result"]), c.says);
        EXPECT_EQ(Str(record["ctdb"].toObject()["tocId"]).size(), 28u);
        const std::string log = ReadFile(out / "rip.log");
        EXPECT_EQ(Count(log, "\n  " + c.says + "\n"), 2u) << log; // the checks and the summary
        for (const QJsonValue& t : record["tracks"].toArray()) {
            if (t.toObject()["number"].toInt() == 2) {
                EXPECT_EQ(Str(t.toObject()["ctdbCrc"]), Hex(crcs.tracks[1]));
            }
        }
        if (!c.trackSays.empty()) {
            EXPECT_EQ(Count(log, "  CTDB CRC: " + Hex(crcs.tracks[1]) + ", " + c.trackSays), 1u)
                << log;
        }
    }
    // The lookup names the disc by its table of contents.
    const std::string toc = std::to_string(disc_.starts[0]) + ":" +
                            std::to_string(disc_.starts[1]) + ":" +
                            std::to_string(disc_.starts[2]) + ":" + std::to_string(disc_.leadOut);
    int asked = 0;
    for (const fakeserver::TRequest& r : server.Requests())
        asked += r.Target.toStdString() ==
                         "/lookup2.php?version=3&ctdb=1&fuzzy=0&metadata=none&toc=" + toc
                     ? 1
                     : 0;
    EXPECT_EQ(asked, 4);
}

TEST_F(OnlineCliTest, OffsetFindGivesTheOffsetOfTheDatabasesSumsAndARipWithItIsAccurate) {
    // The database's sums are those of a drive reading 6 samples late.
    const std::string dbar = DbarFile(disc_, Shifted(disc_, 6), {{4, 1}, {6, 2}});
    const fs::path file = dir_ / disc_.ids.dbar;
    WriteFile(file, dbar);
    std::atomic<bool> known{true}; // read by the server's thread
    fakeserver::TServer server([&](const QString& target) {
        return target.startsWith("/accuraterip/") && known.load() ? Reply(200, dbar) : Reply(404);
    });
    for (const std::vector<std::string>& source :
         {std::vector<std::string>{},
          std::vector<std::string>{"--accuraterip-db", file.string()}}) {
        SCOPED_TRACE(source.empty() ? "online" : "file");
        std::vector<std::string> args = {"offset", "find", "--json"};
        args.insert(args.end(), source.begin(), source.end());
        const Outcome find = Run(args, server);
        ASSERT_EQ(find.exitCode, 0) << find.err;
        const QJsonObject found = Json(find.out);
        EXPECT_EQ(found["offsetsChecked"].toInt(), 5881);
        const QJsonArray offsets = found["offsets"].toArray();
        ASSERT_FALSE(offsets.isEmpty()) << find.out;
        const QJsonObject best = offsets[0].toObject();
        EXPECT_EQ(best["offset"].toInt(), 6);
        EXPECT_EQ(best["tracks"].toArray(), (QJsonArray{1, 2, 3}));
        EXPECT_EQ(best["confidence"].toInt(), 6);
    }
    const Outcome text = Run({"offset", "find"}, server);
    EXPECT_EQ(text.exitCode, 0) << text.err;
    EXPECT_EQ(Count(text.out, "Offset +6: tracks 1, 2, 3 agree (confidence 6, chunks 1, 2)"), 1u)
        << text.out;

    const fs::path out = dir_ / "out";
    const Outcome rip =
        Run({"rip", "--offset", "+6", "--template", "%t", "--json", out.string()}, server);
    ASSERT_EQ(rip.exitCode, 0) << rip.err;
    for (const QJsonValue& t : Json(rip.out)["tracks"].toArray())
        EXPECT_EQ(Str(t.toObject()["accurateRip"].toObject()["result"]),
                  "accurately ripped (confidence 10, v2)");
    EXPECT_EQ(Count(ReadFile(out / "rip.log"), "Read offset correction: +6 (from --offset)"), 1u);

    known.store(false);
    const Outcome unknown = Run({"offset", "find"}, server);
    EXPECT_EQ(unknown.exitCode, 1);
    EXPECT_EQ(Count(unknown.err, "the disc is not in AccurateRip"), 1u) << unknown.err;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv); // the test's server is a Qt one
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
