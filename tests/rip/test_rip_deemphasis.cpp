// `tonvale-cli rip --deemphasis` on a disc image this test writes: two tracks of the same
// two tones (1 kHz on the left, 15 kHz on the right), the first with FLAGS PRE. The lossy
// files of the flagged track are de-emphasised (the highs lower by the CD curve, the
// 1 kHz tone as it was), the unflagged track's files and every FLAC file are what a rip
// without the option makes; the logs and the JSON say which files. The files are decoded
// back through the media libraries.
#include "ChildProcess.h"
#include "DiscImage.h"
#include "MediaTestUtil.h"
#include "test_ffmpeg_decode.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <numbers>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using childprocess::Count;
using childprocess::ReadFile;
using childprocess::WriteFile;

constexpr int kRate = 44100;
constexpr uint32_t kSectors = 3 * discimage::kSectorsPerSecond; // three seconds a track

// 16-bit stereo PCM: a 1 kHz tone on the left, a 15 kHz tone on the right.
Bytes TwoTones() {
    const size_t frames = size_t{kSectors} * discimage::kSectorBytes / 4;
    Bytes pcm(frames * 4);
    for (size_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / kRate;
        const auto left =
            static_cast<int16_t>(std::lround(8000 * std::sin(2 * std::numbers::pi * 1000 * t)));
        const auto right =
            static_cast<int16_t>(std::lround(8000 * std::sin(2 * std::numbers::pi * 15000 * t)));
        for (const auto& [at, v] : {std::pair{i * 4, left}, std::pair{i * 4 + 2, right}}) {
            pcm[at] = static_cast<uint8_t>(static_cast<uint16_t>(v) & 0xFF);
            pcm[at + 1] = static_cast<uint8_t>(static_cast<uint16_t>(v) >> 8);
        }
    }
    return pcm;
}

// The level of a tone in one channel, in dB of full scale (Goertzel over the middle of
// the track: the encoders' delay and padding at the ends left out).
double ToneDb(const enginetest::TDecoded& d, int channel, double frequency) {
    const size_t skip = static_cast<size_t>(d.rate) / 10;
    const size_t frames = d.Frames();
    if (frames <= 2 * skip)
        return -999;
    const double w = 2 * std::numbers::pi * frequency / d.rate;
    const double coeff = 2 * std::cos(w);
    double s1 = 0, s2 = 0;
    for (size_t i = skip; i < frames - skip; ++i) {
        const double x =
            d.samples[i * static_cast<size_t>(d.channels) + static_cast<size_t>(channel)] / 32768.0;
        const double s0 = x + coeff * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    const double n = static_cast<double>(frames - 2 * skip);
    const double amplitude = 2 * std::sqrt(std::max(0.0, s1 * s1 + s2 * s2 - coeff * s1 * s2)) / n;
    return 20 * std::log10(amplitude);
}

QJsonObject Json(const std::string& text) {
    return QJsonDocument::fromJson(QByteArray::fromStdString(text)).object();
}

class RipDeemphasisTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        char pattern[] = "/tmp/tonvale-deemphasis.XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        pcm_ = TwoTones();
        discimage::Disc disc;
        disc.tracks = {discimage::AudioTrackFromPcm(pcm_), discimage::AudioTrackFromPcm(pcm_)};
        cue_ = discimage::WriteCueBin(disc, dir_.string(), "emphasis").cuePath;
        std::string text = ReadFile(cue_);
        const std::string track1 = "TRACK 01 AUDIO\n";
        const size_t at = text.find(track1);
        ASSERT_NE(at, std::string::npos) << text;
        text.insert(at + track1.size(), "    FLAGS PRE\n");
        WriteFile(cue_, text);
    }
    static void TearDownTestSuite() { fs::remove_all(dir_); }
    void SetUp() override { testutil::LoadMediaLibraries(); }

    // Rips the disc into dir_/name with the arguments; the JSON record.
    static QJsonObject Rip(const std::string& name, std::vector<std::string> args) {
        args.insert(args.begin(), {TONVALE_CLI_PATH, "rip", "--template", "%t - %n", "--json"});
        args.push_back((dir_ / name).string());
        childprocess::TLaunch launch;
        launch.args = args;
        launch.drives = cue_;
        const childprocess::TOutcome run = childprocess::Run(launch);
        EXPECT_EQ(run.Status(), 0) << run.err;
        return Json(run.out);
    }
    static enginetest::TDecoded Decode(const fs::path& file) {
        enginetest::TDecoded d = enginetest::Decode(QString::fromStdString(file.string()));
        EXPECT_TRUE(d.ok && d.channels == 2 && d.rate == kRate) << file;
        return d;
    }

    static inline fs::path dir_;
    static inline std::string cue_;
    static inline Bytes pcm_;
};

TEST_F(RipDeemphasisTest, TheFlaggedTracksLossyFilesAreDeemphasisedAndNothingElseChanges) {
    const QJsonObject with = Rip("with", {"--format", "flac,mp3", "--deemphasis"});
    const QJsonObject without = Rip("without", {"--format", "mp3"});
    const fs::path withMp3 = dir_ / "with" / "MP3", withFlac = dir_ / "with" / "FLAC";
    const fs::path withoutMp3 = dir_ / "without";
    const std::string names[] = {"01 - Track1", "02 - Track2"};

    // The flagged track: the highs lower by the curve (-9.5 dB at 15 kHz), 1 kHz kept.
    const auto flagged = Decode(withMp3 / (names[0] + ".mp3"));
    const auto plain = Decode(withoutMp3 / (names[0] + ".mp3"));
    EXPECT_NEAR(ToneDb(flagged, 1, 15000) - ToneDb(plain, 1, 15000), -9.5, 1.0);
    EXPECT_NEAR(ToneDb(flagged, 0, 1000) - ToneDb(plain, 0, 1000), 0.0, 0.5);
    // The unflagged track is encoded from the same samples either way.
    EXPECT_EQ(Decode(withMp3 / (names[1] + ".mp3")).samples,
              Decode(withoutMp3 / (names[1] + ".mp3")).samples);
    // FLAC keeps the disc's samples, flag or not.
    for (const std::string& name : names) {
        const auto flac = Decode(withFlac / (name + ".flac"));
        const Bytes decoded(
            reinterpret_cast<const uint8_t*>(flac.samples.data()),
            reinterpret_cast<const uint8_t*>(flac.samples.data() + flac.samples.size()));
        EXPECT_TRUE(decoded == pcm_) << name;
    }

    // Each set's log says what became of the flag in its files; without the option the
    // flag alone is noted.
    const struct {
        fs::path log;
        const char* line; // null: no de-emphasis line
    } logs[] = {
        {withMp3 / "rip.log", "  De-emphasis: applied (--deemphasis)\n"},
        {withFlac / "rip.log", "  De-emphasis: not applied, FLAC keeps the disc's samples\n"},
        {withoutMp3 / "rip.log", nullptr}};
    for (const auto& l : logs) {
        SCOPED_TRACE(l.log.string());
        const std::string text = ReadFile(l.log);
        EXPECT_EQ(Count(text, "  Pre-emphasis: yes (FLAGS PRE)\n"), 1u) << text;
        EXPECT_EQ(Count(text, "De-emphasis"), l.line ? 1u : 0u) << text;
        if (l.line) {
            EXPECT_EQ(Count(text, l.line), 1u) << text;
        }
    }
    // The JSON names the files de-emphasised.
    EXPECT_TRUE(with[QStringLiteral("deemphasis")].toBool());
    const QJsonArray tracks = with[QStringLiteral("tracks")].toArray();
    ASSERT_EQ(tracks.size(), 2);
    EXPECT_EQ(tracks[0].toObject()[QStringLiteral("deemphasised")].toArray(),
              QJsonArray{QStringLiteral("MP3/01 - Track1.mp3")});
    EXPECT_FALSE(tracks[1].toObject().contains(QStringLiteral("deemphasised")));
    EXPECT_FALSE(without.contains(QStringLiteral("deemphasis")));
    const QJsonObject plainTrack = without[QStringLiteral("tracks")].toArray()[0].toObject();
    EXPECT_TRUE(plainTrack[QStringLiteral("preEmphasis")].toBool());
    EXPECT_FALSE(plainTrack.contains(QStringLiteral("deemphasised")));
}

// A disc image is one conversion: with a track that has no pre-emphasis in it, de-emphasis
// would change that track too, so the image keeps the disc's samples and the log says why.
TEST_F(RipDeemphasisTest, AnImageWithTracksOfBothKindsIsNotDeemphasised) {
    const QJsonObject record = Rip("image", {"--format", "mp3", "--image", "--deemphasis"});
    const QJsonArray tracks = record[QStringLiteral("tracks")].toArray();
    ASSERT_EQ(tracks.size(), 2);
    EXPECT_EQ(tracks[0].toObject()[QStringLiteral("deemphasised")].toArray(), QJsonArray{});
    const std::string log = ReadFile(dir_ / "image" / "rip.log");
    EXPECT_EQ(Count(log, "  De-emphasis: not applied, the image also holds tracks without "
                         "pre-emphasis\n"),
              1u)
        << log;
    // Both halves of the image keep their highs alike.
    fs::path image;
    for (const auto& entry : fs::directory_iterator(dir_ / "image"))
        if (entry.path().extension() == ".mp3")
            image = entry.path();
    const auto d = Decode(image);
    enginetest::TDecoded first = d, second = d;
    const size_t half = d.samples.size() / 2;
    first.samples.resize(half);
    second.samples.erase(second.samples.begin(), second.samples.begin() + static_cast<long>(half));
    EXPECT_NEAR(ToneDb(first, 1, 15000), ToneDb(second, 1, 15000), 0.5);
}

} // namespace
