// The rip library's pure parts: the checksums against sums this test computes its own
// plain way, the disc ids against the public test vector, dBAR files, the offset
// correction, the file-name template, the track selection and the log's checksum.
#include "RipChecksums.h"
#include "RipDiscIds.h"
#include "RipDiscText.h"
#include "RipFormatSets.h"
#include "RipLoudness.h"
#include "RipNames.h"
#include "RipReport.h"
#include "RipSinks.h"
#include "Ripper.h"

#include "FileNames.h"
#include "RipReference.h"

#include <QCryptographicHash>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace rip;

std::vector<uint8_t> Noise(size_t samples, uint32_t seed) {
    std::vector<uint8_t> pcm(samples * 4);
    std::mt19937 random(seed);
    for (uint8_t& b : pcm)
        b = static_cast<uint8_t>(random());
    return pcm;
}

using riptest::Reference;
using riptest::ReferenceSums;

TEST(RipChecksums, Crc32OfTheCheckString) {
    const std::string check = "123456789";
    EXPECT_EQ(Crc32(check.data(), check.size()), 0xCBF43926u);
    EXPECT_EQ(Crc32(nullptr, 0), 0u);
}

TEST(RipChecksums, TrackSumsMatchThePlainWayWhateverTheParts) {
    // 460 sectors: sector 450 exists; a full-scale negative sample gives the peak 32768.
    std::vector<uint8_t> pcm = Noise(460 * 588, 7);
    pcm[1000] = 0x00;
    pcm[1001] = 0x80;
    struct Case {
        const char* name;
        bool first, last;
    } cases[] = {{"middle", false, false},
                 {"first", true, false},
                 {"last", false, true},
                 {"only", true, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Reference ref = ReferenceSums(pcm, c.first, c.last);
        for (size_t part : {size_t{1}, size_t{3}, size_t{4097}, pcm.size()}) {
            TTrackSummer summer(static_cast<int64_t>(pcm.size() / 4), c.first, c.last);
            for (size_t at = 0; at < pcm.size(); at += part)
                summer.Add(pcm.data() + at, std::min(part, pcm.size() - at));
            const TTrackSums sums = summer.Finish();
            EXPECT_EQ(sums.Samples, 460 * 588);
            EXPECT_EQ(sums.Crc32, ref.crc) << part;
            EXPECT_EQ(sums.ArV1, ref.v1) << part;
            EXPECT_EQ(sums.ArV2, ref.v2) << part;
            EXPECT_EQ(sums.Frame450, ref.f450) << part;
            EXPECT_EQ(sums.Peak, 32768u);
        }
    }
    // The sums really depend on the rules: skipping changes v1, a shorter track has no
    // sector 450.
    EXPECT_NE(ReferenceSums(pcm, true, false).v1, ReferenceSums(pcm, false, false).v1);
    TTrackSummer shortTrack(300 * 588, false, false);
    const std::vector<uint8_t> short300(pcm.begin(), pcm.begin() + 300 * 588 * 4);
    shortTrack.Add(short300.data(), short300.size());
    EXPECT_EQ(shortTrack.Finish().Frame450, 0u);
}

// Collects what the read window passes on; refuses once it holds `limit` bytes.
class TCollect : public TSampleSink {
public:
    explicit TCollect(size_t limit = SIZE_MAX) : Limit_(limit) {}
    bool Add(const uint8_t* data, size_t size) override {
        if (Got.size() + size > Limit_)
            return false;
        Got.insert(Got.end(), data, data + size);
        return true;
    }
    QString Error() const override { return QStringLiteral("full"); }
    std::vector<uint8_t> Got;

private:
    size_t Limit_;
};

TEST(RipReadWindow, AnOffsetTakesSamplesFromBesideTheTrackAndSilenceBeyondTheAudio) {
    // Sectors 0-9 are audio (tracks of 2, 5 and 3 sectors), a data track follows at 10.
    const int32_t audioFrom = 0, audioTo = 10;
    const std::vector<uint8_t> disc = Noise(12 * kSamplesPerSector, 11);
    const std::vector<std::pair<int32_t, int32_t>> tracks = {{0, 2}, {2, 7}, {7, 10}};
    for (int offset : {0, 6, -6, 700, -700, kMaxOffset, -kMaxOffset}) {
        for (const auto& [from, to] : tracks) {
            SCOPED_TRACE(testing::Message() << "offset " << offset << ", track at " << from);
            const TReadPlan plan = PlanRead(from, to, offset, audioFrom, audioTo);
            ASSERT_GE(plan.FirstSector, audioFrom);
            ASSERT_LE(plan.FirstSector + plan.Sectors, audioTo);
            // The drive delivers the sectors of the plan in parts of odd sizes.
            TCollect got;
            TReadWindow window(plan, {&got});
            const size_t begin = size_t(plan.FirstSector) * kBytesPerSector;
            const size_t end = begin + size_t(plan.Sectors) * kBytesPerSector;
            for (size_t at = begin; at < end; at += 37)
                ASSERT_TRUE(window.Add(disc.data() + at, std::min<size_t>(37, end - at)));
            ASSERT_TRUE(window.Finish()) << window.Error().toStdString();
            std::vector<uint8_t> expected;
            for (int64_t k = int64_t{from} * kSamplesPerSector + offset;
                 k < int64_t{to} * kSamplesPerSector + offset; ++k) {
                const bool audio = k >= 0 && k < int64_t{audioTo} * kSamplesPerSector;
                for (int b = 0; b < kBytesPerSample; ++b)
                    expected.push_back(audio ? disc[size_t(k) * kBytesPerSample + b] : 0);
            }
            EXPECT_TRUE(got.Got == expected);
        }
    }
}

TEST(RipReadWindow, ASinkThatRefusesOrAShortReadFailsTheRead) {
    const std::vector<uint8_t> disc = Noise(3 * kSamplesPerSector, 5);
    const TReadPlan plan = PlanRead(1, 2, 6, 0, 3);
    TCollect full(100);
    TReadWindow refused(plan, {&full});
    EXPECT_FALSE(refused.Add(disc.data(), disc.size()));
    EXPECT_EQ(refused.Error(), QStringLiteral("full"));
    TCollect got;
    TReadWindow shortRead(plan, {&got});
    EXPECT_TRUE(shortRead.Add(disc.data() + kBytesPerSector, 1000));
    EXPECT_FALSE(shortRead.Finish());
}

TDiscToc VectorToc() {
    TDiscToc toc;
    toc.Tracks = {{1, 0, true}, {2, 11413, true}, {3, 25024, true}, {4, 45713, true}};
    toc.LeadOut = 55220;
    return toc;
}

TEST(RipDiscIds, ThePublicTestVector) {
    const TDiscIds ids = ComputeDiscIds(VectorToc());
    EXPECT_EQ(ids.DbarName, QStringLiteral("dBAR-004-0002189a-00087f33-1f02e004.bin"));
    EXPECT_EQ(ids.AccurateRip1, 0x0002189au);
    EXPECT_EQ(ids.AccurateRip2, 0x00087f33u);
    EXPECT_EQ(ids.Cddb, 0x1f02e004u);
    EXPECT_EQ(ids.MusicBrainz, QStringLiteral("nljDXdC8B_pDwbdY1vZJvdrAZI4-"));
    EXPECT_EQ(ids.MusicBrainz.size(), 28);
}

TEST(RipDiscIds, ADataTrackAfterTheAudioEndsTheAudioBeforeItsSession) {
    // The same audio with a data track at 66620: MusicBrainz sees the audio end 11400
    // sectors before the data track, as if the lead-out were there.
    TDiscToc extra = VectorToc();
    extra.Tracks.push_back({5, 66620, false});
    extra.LeadOut = 70000;
    TDiscToc audioOnly = VectorToc();
    audioOnly.LeadOut = 66620 - 11400;
    EXPECT_EQ(extra.AudioLeadOut(), 55220);
    EXPECT_EQ(MusicBrainzId(extra), MusicBrainzId(audioOnly));
    // AccurateRip counts the audio tracks only; CDDB counts every track.
    EXPECT_EQ(ComputeDiscIds(extra).DbarName.left(9), QStringLiteral("dBAR-004-"));
    EXPECT_EQ(CddbId(extra) & 0xFF, 5u);
    EXPECT_EQ(AccurateRipId1(extra), 0u + 11413 + 25024 + 45713 + 70000);
}

TEST(RipDbar, ReadWriteAndMatch) {
    const TDiscIds ids = ComputeDiscIds(VectorToc());
    const std::vector<TDbarEntry> entries{
        {ids.AccurateRip1,
         ids.AccurateRip2,
         ids.Cddb,
         {{3, 0x11, 0}, {3, 0x22, 0}, {3, 0x33, 0}, {3, 0x44, 0}}},
        {ids.AccurateRip1,
         ids.AccurateRip2,
         ids.Cddb,
         {{2, 0x11, 0}, {1, 0x99, 0}, {1, 0x33, 0}, {1, 0x44, 0}}},
        {1, 2, 3, {{200, 0x22, 0}, {200, 0x22, 0}, {200, 0x22, 0}, {200, 0x22, 0}}}, // another disc
    };
    const QByteArray bytes = WriteDbar(entries);
    ASSERT_EQ(bytes.size(), 3 * (13 + 4 * 9));
    std::vector<TDbarEntry> read;
    QString error;
    ASSERT_TRUE(ParseDbar(bytes, read, error)) << error.toStdString();
    ASSERT_EQ(read.size(), 3u);
    EXPECT_EQ(read[1].Tracks[1].Crc, 0x99u);
    const std::vector<TDbarEntry> mine = EntriesForDisc(read, ids);
    ASSERT_EQ(mine.size(), 2u);
    EXPECT_EQ(MatchTrack(mine, 0, 0x11).Confidence, 5u); // both entries agree
    EXPECT_EQ(MatchTrack(mine, 1, 0x22).Confidence, 3u);
    EXPECT_FALSE(MatchTrack(mine, 1, 0x23).Matched);
    EXPECT_FALSE(MatchTrack(mine, 4, 0x11).Matched);
    EXPECT_EQ(ArResultText(MatchTrack(mine, 0, 0x11)),
              QStringLiteral("accurately ripped (confidence 5)"));
    EXPECT_EQ(ArResultText({}), QStringLiteral("not accurately ripped"));
    for (const QByteArray& bad :
         {bytes.left(bytes.size() - 1), QByteArray(), QByteArray(13, '\0')}) {
        EXPECT_FALSE(ParseDbar(bad, read, error));
        EXPECT_FALSE(error.isEmpty());
    }
}

TEST(RipNames, TemplateFilledFromTheDisc) {
    const QString ext = QStringLiteral(".mp3");
    TNameFields full{QStringLiteral("The Band"), QStringLiteral("Album: Live"),
                     QStringLiteral("Guest"), QStringLiteral("Song/Verse?"), 3};
    TNameFields none;
    none.Number = 7;
    TNameFields dots = full;
    dots.TrackTitle = QStringLiteral("..");
    dots.AlbumPerformer = QStringLiteral("\x01 Control\x7f ");
    TNameFields bell = full;
    bell.TrackTitle = QStringLiteral("Bell\x07\u0080\u009b[31m");
    struct Case {
        QString tmpl;
        TNameFields fields;
        QString expected;
    } cases[] = {
        {kDefaultTemplate, full, QStringLiteral("The Band - Album_ Live/03 - Song_Verse_")},
        {kDefaultTemplate, none, QStringLiteral("Unknown - Unknown/07 - Track7")},
        {QStringLiteral("%a/%n 100%%"), full, QStringLiteral("Guest/Song_Verse_ 100%")},
        {QStringLiteral("%a - %n"), none, QStringLiteral("Unknown - Track7")},
        {QStringLiteral("/%n"), dots, QStringLiteral("_")},
        {QStringLiteral("%A//%t"), dots, QStringLiteral("Control/03")},
        {QStringLiteral("../%t"), full, QStringLiteral("_/03")},
        // The template's own text follows the rules of the fields: no quote that a cue
        // sheet's FILE line would have to change, no line break to split a playlist.
        {QStringLiteral("%t \"%n\""), full, QStringLiteral("03 _Song_Verse__")},
        {QStringLiteral("%t\n%n\r\x1b"), full, QStringLiteral("03Song_Verse_")},
        {QStringLiteral("%t: <%a>|?*\\"), full, QStringLiteral("03_ _Guest_____")},
        {QStringLiteral("#%t\u0085"), full, QStringLiteral("#03")},
        // C1 controls (U+0080..U+009F) go as C0 ones do.
        {QStringLiteral("%n"), bell, QStringLiteral("Bell[31m")},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ExpandTemplate(c.tmpl, c.fields, ext), c.expected) << c.tmpl.toStdString();
    // The album performer stands in for a track performer the disc does not name.
    TNameFields noTrackPerformer = full;
    noTrackPerformer.TrackPerformer.clear();
    EXPECT_EQ(ExpandTemplate(QStringLiteral("%a"), noTrackPerformer, ext),
              QStringLiteral("The Band"));
    // A long title is cut to fit a file name with its extension, at a character boundary.
    TNameFields longTitle = full;
    longTitle.TrackTitle = QString(200, QChar(0x00E9)); // two bytes each
    const QString cut = ExpandTemplate(QStringLiteral("%n"), longTitle, ext);
    EXPECT_LE(FileNameBytes(cut + ext).size(), kMaxNameBytes);
    EXPECT_GT(FileNameBytes(cut + ext).size(), kMaxNameBytes - 2);
    EXPECT_FALSE(cut.contains(QChar::ReplacementCharacter));

    QString error;
    EXPECT_TRUE(CheckTemplate(kDefaultTemplate, error));
    for (const char* bad : {"%x - %n", "%n%", "%A/", ""}) {
        error.clear();
        EXPECT_FALSE(CheckTemplate(QString::fromLatin1(bad), error)) << bad;
        EXPECT_FALSE(error.isEmpty());
    }
}

TEST(RipNames, TrackSelection) {
    struct Case {
        const char* text;
        bool ok;
        std::set<int> tracks;
        const char* error = ""; // for a refused one
    } cases[] = {
        {"", true, {}},
        {"1,3-5", true, {1, 3, 4, 5}},
        {" 2 , 2,9-9", true, {2, 9}},
        {"0", false, {}, "'0' is not a track number from 1 to 99"},
        {"100", false, {}, "'100' is not a track number from 1 to 99"},
        {"5-3", false, {}, "the range '5-3' runs backwards"},
        {"1,,2", false, {}, "'1,,2' has an empty entry; list tracks as in 1,3-5"},
        {",", false, {}, "',' has an empty entry; list tracks as in 1,3-5"},
        {"a", false, {}, "'a' is not a track number from 1 to 99"},
        {"3-", false, {}, "the range '3-' needs a first and a last track, as in 3-5"},
        {"-2", false, {}, "the range '-2' needs a first and a last track, as in 3-5"},
        {"1-x", false, {}, "'x' is not a track number from 1 to 99"},
    };
    for (const Case& c : cases) {
        std::set<int> tracks;
        QString error;
        EXPECT_EQ(ParseTrackSelection(QString::fromLatin1(c.text), tracks, error), c.ok) << c.text;
        if (c.ok)
            EXPECT_EQ(tracks, c.tracks) << c.text;
        else
            EXPECT_EQ(error, QString::fromLatin1(c.error)) << c.text;
    }
}

TEST(RipNames, ACollisionSaysHowToTellTheTracksApart) {
    const QString name = QStringLiteral("Album.wav");
    EXPECT_EQ(NameCollisionText(QStringLiteral("%d"), name),
              QStringLiteral("The template gives two tracks the file name 'Album.wav'; add %t "
                             "to it."));
    // %t is there, but was cut off with the end of a long name; "%%t" is no track number.
    EXPECT_EQ(NameCollisionText(QStringLiteral("%d - %t"), name),
              QStringLiteral("The template gives two tracks the file name 'Album.wav'; the "
                             "track number (%t) was cut off a name too long for a file: put %t "
                             "before the titles."));
    EXPECT_TRUE(NameCollisionText(QStringLiteral("%d %%t"), name).endsWith("add %t to it."));
}

TEST(RipDiscText, ControlsAreDroppedAndCodesCheckedByTheirForm) {
    EXPECT_EQ(DiscText(QStringLiteral(" \x1b[31mRed\x07 \u0085Line\u009f\x7f ")),
              QStringLiteral("[31mRed Line"));
    EXPECT_EQ(DiscText(QStringLiteral("Caf\u00e9 \u2013 Ok")),
              QStringLiteral("Caf\u00e9 \u2013 Ok"));
    const struct {
        const char* text;
        const char* isrc;
    } isrcs[] = {{"DEA123456789", "DEA123456789"},
                 {" usabc1234567 ", "USABC1234567"},
                 {"DE\x1b"
                  "A12345678",
                  ""},
                 {"DEA12345678", ""},
                 {"DEA1234567890", ""},
                 {"DE-A12345678", ""}};
    for (const auto& c : isrcs)
        EXPECT_EQ(ValidIsrc(QString::fromLatin1(c.text)), QString::fromLatin1(c.isrc)) << c.text;
    const struct {
        const char* text;
        const char* mcn;
    } mcns[] = {{"0123456789012", "0123456789012"},
                {"0000000000000", ""},
                {"012345678901", ""},
                {"01234567890123", ""},
                {"012345678901\x1b", ""},
                {"01234567890A2", ""}};
    for (const auto& c : mcns)
        EXPECT_EQ(ValidMcn(QString::fromLatin1(c.text)), QString::fromLatin1(c.mcn)) << c.text;
}

TEST(RipReport, LogEndsInTheChecksumOfItsText) {
    TRipReport report;
    report.Program = QStringLiteral("tonvale-cli test");
    report.Toc = VectorToc();
    report.Ids = ComputeDiscIds(report.Toc);
    TTrackResult t;
    t.Number = 1;
    t.EndLba = 11413;
    t.Selected = true;
    t.Status = tsOk;
    t.FileName = QStringLiteral("A - B/01 - Héllo.flac");
    t.HaveSums = true;
    t.Sums.Crc32 = 0x1A2B3C4D;
    report.Tracks.push_back(t);
    const QByteArray log = RipLogText(report);
    const qsizetype at = log.lastIndexOf("SHA-256: ");
    ASSERT_GT(at, 0);
    const QByteArray body = log.left(at);
    EXPECT_EQ(log.mid(at),
              "SHA-256: " + QCryptographicHash::hash(body, QCryptographicHash::Sha256).toHex() +
                  "\n");
    EXPECT_TRUE(body.contains("Copy CRC: 1A2B3C4D"));
    EXPECT_TRUE(body.contains("dBAR-004-0002189a-00087f33-1f02e004.bin"));
    EXPECT_TRUE(body.contains("File: A - B/01 - H\xc3\xa9llo.flac"));
    // The cue sheet beside the tracks names them from there.
    EXPECT_TRUE(
        CueSheet(report, QStringLiteral("A - B")).contains("FILE \"01 - H\xc3\xa9llo.flac\" WAVE"));
    EXPECT_TRUE(
        M3uPlaylist(report, QStringLiteral("A - B")).contains("\n01 - H\xc3\xa9llo.flac\n"));
}

// The playlist keeps one line per entry and no entry reads as a comment; names that are
// not UTF-8 are written as their bytes in the playlist, the cue sheet and the log.
TEST(RipReport, PlaylistAndCueSheetNameTheFilesAsTheyAre) {
    TRipReport report;
    report.Toc = VectorToc();
    for (const QByteArray& name : {QByteArray("#01.wav"), QByteArray("d\xff/02.wav")}) {
        TTrackResult t;
        t.Number = static_cast<int>(report.Tracks.size()) + 1;
        t.EndLba = 750;
        t.Selected = true;
        t.Status = tsOk;
        t.FileName = FileNameFromBytes(name);
        report.Tracks.push_back(t);
    }
    const QByteArray m3u = M3uPlaylist(report, QString());
    EXPECT_TRUE(m3u.contains("\n./#01.wav\n")) << m3u.toStdString();
    EXPECT_TRUE(m3u.contains("\nd\xff/02.wav\n")) << m3u.toStdString();
    const QByteArray cue = CueSheet(report, QString());
    EXPECT_TRUE(cue.contains("FILE \"#01.wav\" WAVE")) << cue.toStdString();
    EXPECT_TRUE(cue.contains("FILE \"d\xff/02.wav\" WAVE")) << cue.toStdString();
    EXPECT_TRUE(RipLogText(report).contains("File: d\xff/02.wav\n"));
}

TEST(RipSecure, ReadsUntilTwoAgreeAndDropWhatIsNotKept) {
    constexpr uint32_t kFail = 0; // a read that fails
    struct Case {
        std::vector<uint32_t> reads; // the CRC each read gives
        bool agreed, failed;
        int reads_;
    } cases[] = {
        {{7, 7}, true, false, 2},
        {{7, 8, 7}, true, false, 3},
        {{7, 8, 9, 8}, true, false, 4},
        {{1, 2, 3, 4, 5, 6, 7, 7}, false, false, 7}, // 2 + 5 reads at most
        {{7, kFail}, false, true, 2},
        {{kFail}, false, true, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.reads));
        std::vector<int> made, dropped;
        const TAgreement a = ReadUntilAgreed(
            [&](int n, uint32_t& crc) {
                made.push_back(n);
                crc = c.reads.at(static_cast<size_t>(n - 1));
                return crc != kFail;
            },
            [&](int n) { dropped.push_back(n); });
        EXPECT_EQ(a.Agreed, c.agreed);
        EXPECT_EQ(a.ReadFailed, c.failed);
        EXPECT_EQ(a.Reads, c.reads_);
        EXPECT_EQ(static_cast<int>(made.size()), c.reads_);
        // Every successful read is dropped once, except the one kept (the last, when agreed).
        std::vector<int> expected;
        for (int n = 1; n <= c.reads_; ++n)
            if (c.reads[static_cast<size_t>(n - 1)] != kFail && !(c.agreed && n == c.reads_))
                expected.push_back(n);
        EXPECT_EQ(dropped, expected);
        if (c.agreed) {
            EXPECT_EQ(a.Crcs.back(), c.reads[static_cast<size_t>(c.reads_ - 1)]);
        }
    }
}

// The time left follows the slower stage: reading done in two seconds while the
// encoders are a fifth through is most of the rip still to come, not a fifth of it.
TEST(RipEstimate, TheSlowerStageSetsTheTimeLeft) {
    using P = TTrackProgress;
    const auto track = [](P::TState state, int percent, int read = 0) {
        P p;
        p.State = state;
        p.Percent = percent;
        p.Read = read;
        return p;
    };
    struct Case {
        const char* name;
        bool secure;
        std::vector<P> before; // an earlier update at 1 s (empty: none)
        std::vector<P> tracks;
        double elapsed;
        double left; // -1: not known yet
    };
    const std::vector<Case> cases = {
        {"nothing yet", false, {}, {track(P::psGrabbing, 1), track(P::psWaiting, 0)}, 0.1, -1},
        {"encoding not begun",
         false,
         {},
         {track(P::psGrabbed, 100), track(P::psGrabbing, 50)},
         1.5,
         -1},
        // Read all in 2 s; the encodes began at 1 s and are 20 % through after 1 s more.
        {"encoders slower",
         false,
         {track(P::psEncoding, 0), track(P::psGrabbed, 100)},
         {track(P::psEncoding, 20), track(P::psEncoding, 20)},
         2,
         4},
        // A drive at half the disc after 100 s; the encodes, begun at 1 s, keep up with it.
        {"drive slower",
         false,
         {track(P::psEncoding, 0), track(P::psGrabbing, 0)},
         {track(P::psDone, 100), track(P::psGrabbing, 0)},
         100,
         100},
        // Verified copies: a track's second read is its second half of the reading.
        {"secure reads", true, {}, {track(P::psGrabbing, 50, 2), track(P::psWaiting, 0)}, 3, -1},
        {"all done", false, {}, {track(P::psDone, 100), track(P::psFailed, 0)}, 9, 0},
    };
    for (const Case& c : cases) {
        TRipEstimate estimate({1000, 1000}, true, c.secure);
        TRipProgress progress;
        double shown = 0;
        if (!c.before.empty()) {
            progress.Tracks = c.before;
            estimate.Update(progress, 1);
            shown = progress.Fraction;
        }
        progress.Tracks = c.tracks;
        estimate.Update(progress, c.elapsed);
        EXPECT_NEAR(progress.SecondsLeft, c.left, 1e-9) << c.name;
        EXPECT_DOUBLE_EQ(progress.ElapsedSeconds, c.elapsed) << c.name;
        if (c.left > 0) {
            EXPECT_NEAR(progress.Fraction, c.elapsed / (c.elapsed + c.left), 1e-9) << c.name;
        }
        EXPECT_EQ(progress.Fraction == 1, c.left == 0) << c.name;
        EXPECT_GE(progress.Fraction, shown) << c.name;
    }
}

TEST(RipReport, CommonFolderOfTheTracks) {
    EXPECT_EQ(CommonFolder({QStringLiteral("a/b/1.wav"), QStringLiteral("a/b/2.wav")}),
              QStringLiteral("a/b"));
    EXPECT_EQ(CommonFolder({QStringLiteral("a/b/1.wav"), QStringLiteral("a/c/2.wav")}),
              QStringLiteral("a"));
    EXPECT_EQ(CommonFolder({QStringLiteral("1.wav"), QStringLiteral("a/2.wav")}), QString());
    EXPECT_EQ(Msf(75 * 61 + 5), QStringLiteral("01:01.05"));
}

TEST(RipFormatSets, EachFormatsSetGetsItsOwnFirstFolder) {
    const struct {
        const char* tmpl;
        TRipFormat format;
        const char* set;
    } cases[] = {
        {"%A - %d/%D%t - %n", rfFLAC, "%A - %d [FLAC]/%D%t - %n"},
        {"%A/%d/%t", rfMP3, "%A [MP3]/%d/%t"},
        {"%t - %n", rfOpus, "OPUS/%t - %n"}, // no folder: one named after the format
    };
    for (const auto& c : cases)
        EXPECT_EQ(FormatSetTemplate(QString::fromUtf8(c.tmpl), c.format), QString::fromUtf8(c.set));

    std::vector<TRipFormat> formats;
    QString error;
    EXPECT_TRUE(ParseFormatList(QStringLiteral("flac, MP3,wav"), formats, error));
    EXPECT_EQ(formats, (std::vector<TRipFormat>{rfFLAC, rfMP3, rfWAV}));
    for (const char* bad : {"flac,flac", "flac,,mp3", "flac,mp4", ""})
        EXPECT_FALSE(ParseFormatList(QString::fromUtf8(bad), formats, error)) << bad;
}

// --deemphasis: the lossy files of the tracks with the flag (the hidden audio, track 1's
// INDEX 00, goes with track 1); an image only when every track in it has the flag.
TEST(RipFormatSets, DeemphasisTakesTheLossyFilesOfTheFlaggedTracks) {
    const struct {
        const char* what;
        bool deemphasis, image, thirdSelected;
        std::vector<int> expected; // the tracks whose MP3 and Opus files are de-emphasised
    } cases[] = {
        {"not asked for", false, false, true, {}},
        {"tracks", true, false, true, {0, 1}},
        {"an image with a track without the flag", true, true, true, {}},
        {"an image of flagged tracks", true, true, false, {0, 1}},
    };
    TRipSettings settings;
    settings.Formats = {rfFLAC, rfMP3, rfOpus};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TRipReport report;
        report.Deemphasis = c.deemphasis;
        report.Image = c.image;
        for (int n = 0; n < 3; ++n) {
            TTrackResult& t = report.Tracks.emplace_back();
            t.Number = n;
            t.Hidden = n == 0;
            t.PreEmphasis = n == 1;
            t.Selected = n < 2 || c.thirdSelected;
            t.FileName = QStringLiteral("FLAC/%1.flac").arg(n);
            t.MoreFiles = {QStringLiteral("MP3/%1.mp3").arg(n),
                           QStringLiteral("OPUS/%1.opus").arg(n)};
        }
        MarkDeemphasis(report, settings);
        for (const TTrackResult& t : report.Tracks) {
            const bool expected =
                std::find(c.expected.begin(), c.expected.end(), t.Number) != c.expected.end();
            EXPECT_EQ(t.Deemphasised, expected ? t.MoreFiles : QStringList()) << t.Number;
            EXPECT_EQ(DeemphasisWanted(report, t), expected && t.Selected) << t.Number;
        }
    }
}

TEST(RipLoudness, ASinkMeasuresTheSameWhateverThePartsAndSilenceHasNoGain) {
    const std::vector<uint8_t> pcm = Noise(5 * 44100, 3); // five seconds
    TLoudnessSink whole;
    ASSERT_TRUE(whole.Add(pcm.data(), pcm.size()));
    TLoudnessSink parts; // frames split between parts of odd sizes
    for (size_t at = 0, step = 1; at < pcm.size(); at += step, step = step * 7 % 4099 + 1)
        ASSERT_TRUE(parts.Add(pcm.data() + at, std::min(step, pcm.size() - at)));
    const std::unique_ptr<TLoudness> a = whole.Take(), b = parts.Take();
    const TGainValues va = GainOf(*a), vb = GainOf(*b);
    ASSERT_TRUE(va.Measured);
    EXPECT_EQ(va.Loudness, vb.Loudness);
    EXPECT_EQ(va.Peak, vb.Peak);
    EXPECT_DOUBLE_EQ(va.Gain, -18 - va.Loudness);
    // One track alone is its album; silence adds nothing and has no gain of its own.
    TLoudnessSink silent;
    const std::vector<uint8_t> zeros(44100 * 4, 0);
    ASSERT_TRUE(silent.Add(zeros.data(), zeros.size()));
    const std::unique_ptr<TLoudness> s = silent.Take();
    EXPECT_FALSE(GainOf(*s).Measured);
    const TGainValues album = AlbumGain({a.get(), s.get()});
    EXPECT_NEAR(album.Loudness, va.Loudness, 1e-9);
    EXPECT_EQ(album.Peak, va.Peak);
    EXPECT_EQ(meta::R128Gain(-6.54), -2954); // (-6.54 - 5) * 256, relative to -23 LUFS
}

TEST(RipLoudness, ThePoolsPartsGiveThePeakOfTheWholeTrack) {
    // Quiet noise with inter-sample peaks (a quarter of the sampling rate at 45 degrees)
    // where the parts meet, where their edges end and at the track's very end.
    const size_t part = TLoudnessSink::kPartFrames, edge = TLoudnessSink::kPartEdge;
    const size_t frames = 3 * part + 5000;
    std::vector<uint8_t> pcm = Noise(frames, 7);
    for (size_t i = 0; i < pcm.size(); i += 2) { // noise at -40 dB
        const auto v = static_cast<int16_t>(pcm[i] | pcm[i + 1] << 8);
        const auto q = static_cast<int16_t>(v / 100);
        pcm[i] = static_cast<uint8_t>(q & 0xff);
        pcm[i + 1] = static_cast<uint8_t>((q >> 8) & 0xff);
    }
    int16_t height = 20000;
    auto burst = [&](size_t at) {
        const int16_t pattern[] = {1, 1, -1, -1, 1, 1, -1, -1};
        for (size_t i = 0; i < 8 && at + i < frames; ++i, height += 97)
            for (size_t c = 0; c < 2; ++c) {
                const auto v = static_cast<int16_t>(pattern[i] * (c == 0 ? height : height / 2));
                pcm[4 * (at + i) + 2 * c] = static_cast<uint8_t>(v & 0xff);
                pcm[4 * (at + i) + 2 * c + 1] = static_cast<uint8_t>((v >> 8) & 0xff);
            }
    };
    for (size_t at : {part - 4, part + edge - 4, 2 * part - 1, 2 * part + edge, frames - 8})
        burst(at);

    TLoudnessSink inline_;
    ASSERT_TRUE(inline_.Add(pcm.data(), pcm.size()));
    const std::unique_ptr<TLoudness> expected = inline_.Take();
    for (unsigned threads : {1u, 2u}) {
        SCOPED_TRACE(threads);
        TPeakPool pool(threads);
        TLoudnessSink pooled(&pool);
        for (size_t at = 0, step = 1; at < pcm.size(); at += step, step = step * 13 % 65521 + 3)
            ASSERT_TRUE(pooled.Add(pcm.data() + at, std::min(step, pcm.size() - at)));
        const std::unique_ptr<TLoudness> got = pooled.Take();
        ASSERT_TRUE(got);
        EXPECT_EQ(got->TruePeak(), expected->TruePeak());
        double a = 0, b = 0;
        ASSERT_TRUE(got->Loudness(a) && expected->Loudness(b));
        EXPECT_EQ(a, b);
    }
    // The last burst is the highest: a pool that lost the track's end would miss it.
    EXPECT_GT(expected->TruePeak(), 1.2 * (height - 97) / 32768.0);
}

} // namespace
