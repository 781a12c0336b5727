// The rip's checks against the databases, as pure code and against a server the test
// starts on 127.0.0.1: disc ids and addresses (the CTDB TOC id's vector, an enhanced CD),
// dBAR answers chunk by chunk, the per-track verdicts, CTDB answers and CRC ranges, the
// drive-offset list, and the offset search against sums the test computes the plain way.
#include "FakeServer.h"
#include "RipReference.h"

#include "Ctdb.h"
#include "RipAccurateRip.h"
#include "RipCtdb.h"
#include "RipDriveOffset.h"
#include "RipOffsetFind.h"
#include "RipVerify.h"

#include <QCoreApplication>
#include <QDir>

#include <gtest/gtest.h>

#include <random>

namespace {

using namespace rip;

// Audio tracks at 0, 11413, 25024, 45713, the audio ending at 55220.
meta::TMetaToc VectorToc() {
    meta::TMetaToc toc;
    toc.Tracks = {{1, 0, true}, {2, 11413, true}, {3, 25024, true}, {4, 45713, true}};
    toc.LeadOut = 55220;
    return toc;
}

// The same audio as an enhanced CD: a data track after the gap between the sessions.
meta::TMetaToc EnhancedToc() {
    meta::TMetaToc toc = VectorToc();
    toc.Tracks.push_back({5, 55220 + meta::kSessionGap, false});
    toc.LeadOut = 80000;
    return toc;
}

TEST(DiscIdsTest, TheCtdbTocIdAndTheAddressesOfTheVector) {
    EXPECT_EQ(meta::CtdbTocId(VectorToc()), "VukMWWItblELRM.CEFpXxw0FlME-");
    // The data track and the real lead-out change nothing: the audio ends where it did.
    EXPECT_EQ(meta::CtdbTocId(EnhancedToc()), "VukMWWItblELRM.CEFpXxw0FlME-");
    EXPECT_EQ(meta::CtdbTocText(EnhancedToc()), "0:11413:25024:45713:-66620:80000");
    EXPECT_EQ(meta::CtdbLookupUrl("http://127.0.0.1:1", VectorToc(), "none").toString(),
              "http://127.0.0.1:1/lookup2.php?version=3&ctdb=1&fuzzy=0&metadata=none&"
              "toc=0:11413:25024:45713:55220");
    const QString url = AccurateRipUrl("http://127.0.0.1:1", ComputeDiscIds(VectorToc()));
    EXPECT_TRUE(url.endsWith("/accuraterip/a/9/8/dBAR-004-0002189a-00087f33-1f02e004.bin"))
        << url.toStdString();
}

// ---- dBAR answers and verdicts ----------------------------------------------------------

TDiscIds ThreeTrackIds() {
    TDiscIds ids;
    ids.AccurateRip1 = 0x111;
    ids.AccurateRip2 = 0x222;
    ids.Cddb = 0x333;
    ids.AudioTracks = 3;
    return ids;
}

TDbarEntry Chunk(const TDiscIds& ids, std::vector<TDbarTrack> tracks) {
    return {ids.AccurateRip1, ids.AccurateRip2, ids.Cddb, std::move(tracks)};
}

TEST(DbarAnswerTest, OnlyWholeChunksOfThisDiscAreTaken) {
    const TDiscIds ids = ThreeTrackIds();
    const TDbarEntry good = Chunk(ids, {{3, 1, 0}, {3, 2, 0}, {3, 3, 0}});
    TDiscIds otherDisc = ids;
    otherDisc.AccurateRip1 = 0x999;
    const QByteArray two = WriteDbar({good, good});
    // An error page of two chunks' size: refused for what it is, not for its size.
    const QByteArray html =
        QByteArray("<!DOCTYPE html><html><body>Error 500</body></html>").leftJustified(80, ' ');
    struct Case {
        const char* name;
        QByteArray body;
        const char* says; // empty: taken
    } cases[] = {
        {"two chunks", two, ""},
        {"truncated", two.left(two.size() - 5), "not a whole number of chunks of 40 bytes"},
        {"an HTML page", html, "a web page"},
        {"empty", QByteArray(), "not a whole number"},
        {"another track count",
         WriteDbar({Chunk(ids, {{1, 1, 0}, {1, 2, 0}, {1, 3, 0}, {1, 4, 0}})}),
         "not a whole number"},
        {"another disc", WriteDbar({good, Chunk(otherDisc, good.Tracks)}),
         "chunk 2 is for another disc"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<TDbarEntry> chunks;
        QString error;
        const bool taken = ParseDbarAnswer(c.body, ids, chunks, error);
        EXPECT_EQ(taken, *c.says == 0);
        EXPECT_TRUE(error.contains(c.says)) << error.toStdString();
        EXPECT_EQ(chunks.size(), taken ? 2u : 0u);
    }
}

TEST(DbarAnswerTest, EveryChunkIsCheckedWithV1AndV2) {
    const TDiscIds ids = ThreeTrackIds();
    TTrackSums sums;
    sums.ArV1 = 0xA1;
    sums.ArV2 = 0xA2;
    const TDbarEntry v1 = Chunk(ids, {{3, 0xA1, 0}, {0, 0, 0}, {3, 0xB1, 0}});
    const TDbarEntry v2 = Chunk(ids, {{5, 0xA2, 0}, {0, 0, 0}, {5, 0xB2, 0}});
    const TDbarEntry wrong = Chunk(ids, {{2, 0xFF, 0}, {0, 0, 0}, {2, 0xFE, 0}});
    struct Case {
        std::vector<TDbarEntry> chunks;
        int position;
        const char* text;
        const char* matching;
    } cases[] = {
        {{v1, v2, wrong},
         0,
         "accurately ripped (confidence 8, v2)",
         "chunk 1 (v1, confidence 3), chunk 2 (v2, confidence 5)"},
        {{wrong, v1}, 0, "accurately ripped (confidence 3, v1)", "chunk 2 (v1, confidence 3)"},
        {{v1, v2, wrong}, 2, "not accurate (3 entries)", ""},
        {{wrong}, 2, "not accurate (1 entry)", ""},
        {{v1, v2}, 1, "not in database", ""}, // no submission for the track
        {{}, 0, "not in database", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const TArVerdict verdict = VerifyTrack(c.chunks, c.position, sums);
        EXPECT_EQ(VerdictText(verdict), c.text);
        EXPECT_EQ(MatchedChunksText(verdict), c.matching);
    }
}

// ---- CTDB -------------------------------------------------------------------------------

TEST(CtdbTest, TheAnswerGivesEntriesAndReleasesAndGarbageIsRefused) {
    const QByteArray xml = R"(<?xml version="1.0" encoding="UTF-8"?>
<ctdb xmlns="urn:tonvale-test:ctdb" xmlns:ext="urn:tonvale-test:ctdb-ext">
  <entry id="101" crc32="0badf00d" confidence="7" npar="8" stride="5880" trackcrcs="00000001 00000002 00000003 00000004"/>
  <entry id="102" crc32="12345678" confidence="2" stride="5880"/>
  <musicbrainz source="musicbrainz" artist="The Band" album="The Album" year="1997" discnumber="1" disccount="2">
    <track name="One"/><track name="Two" artist="Guest"/><track name="Three"/><track name="Four"/>
    <label name="Label" catno="CAT-1"/>
  </musicbrainz>
</ctdb>)";
    meta::TCtdbAnswer answer;
    QString error;
    ASSERT_TRUE(meta::ParseCtdbAnswer(xml, VectorToc(), answer, error)) << error.toStdString();
    ASSERT_EQ(answer.Entries.size(), 2u);
    EXPECT_EQ(answer.Entries[0].Crc, 0x0badf00du);
    EXPECT_EQ(answer.Entries[0].Confidence, 7);
    EXPECT_EQ(answer.Entries[0].TrackCrcs, (std::vector<uint32_t>{1, 2, 3, 4}));
    EXPECT_TRUE(answer.Entries[1].TrackCrcs.empty());
    ASSERT_EQ(answer.Releases.size(), 1u);
    const meta::TDiscMeta& m = answer.Releases[0];
    EXPECT_EQ(m.Source, "CTDB");
    EXPECT_EQ(m.Album, "The Album");
    EXPECT_EQ(m.DiscTotal, 2);
    EXPECT_EQ(m.Label, "Label");
    ASSERT_EQ(m.Tracks.size(), 4u);
    EXPECT_EQ(m.Tracks[1].Artist, "Guest");
    EXPECT_EQ(m.Tracks[3].Number, 4);

    for (const QByteArray& bad :
         {QByteArray("<html><body>busy</body></html>"), QByteArray("not xml at all"),
          QByteArray(R"(<ctdb><entry id="1" crc32="xyz" confidence="1"/></ctdb>)"),
          QByteArray(R"(<ctdb><entry id="1" crc32="1" confidence="1" trackcrcs="1 q"/></ctdb>)"),
          QByteArray("<ctdb><entry id=\"1\"")}) {
        EXPECT_FALSE(meta::ParseCtdbAnswer(bad, VectorToc(), answer, error)) << bad.toStdString();
        EXPECT_FALSE(error.isEmpty());
    }
}

TEST(CtdbTest, TheRangesLeaveOutTheFirstAndLastStrideAndTheCrcsCombine) {
    // N = 100 sectors, a whole number of strides; with 5 sectors more the tail takes them too.
    const int64_t n = 100 * 588;
    EXPECT_EQ(CtdbSkip(n, 40 * 588, true, false).Head, kCtdbStride);
    EXPECT_EQ(CtdbSkip(n, 40 * 588, true, false).Tail, 0);
    EXPECT_EQ(CtdbSkip(n, 30 * 588, false, true).Tail, kCtdbStride); // 100 sectors: no part stride
    EXPECT_EQ(CtdbSkip(n + 5 * 588, 35 * 588, false, true).Tail, kCtdbStride + 5 * 588);
    EXPECT_EQ(CtdbSkip(n, 8 * 588, true, true).Head, 8 * 588); // never more than the track
    EXPECT_EQ(CtdbSkip(n, 8 * 588, true, true).Tail, 0);

    std::vector<uint8_t> bytes(10000);
    std::mt19937 random(7);
    for (uint8_t& b : bytes)
        b = static_cast<uint8_t>(random());
    const uint32_t whole = Crc32(bytes.data(), bytes.size());
    EXPECT_EQ(
        CombineCrcs({{Crc32(bytes.data(), 1234), 1234}, {Crc32(bytes.data() + 1234, 8766), 8766}}),
        whole);
}

TEST(CtdbTest, TheDiscIsVerifiedByItsCrcOrByEveryTrackRipped) {
    const std::vector<meta::TCtdbEntry> entries = {{"1", 0xD15C, 7, {0x11, 0x22, 0x33}},
                                                   {"2", 0xBAD, 2, {0x11, 0x99, 0x98}}};
    std::vector<int> confidence;
    struct Case {
        bool haveDisc;
        uint32_t disc;
        std::vector<TCtdbTrack> tracks;
        const char* text;
        std::vector<int> confidence;
    } cases[] = {
        {true,
         0xD15C,
         {{0, 0x11}, {1, 0x22}, {2, 0x33}},
         "CTDB: verified (confidence 7)",
         {9, 7, 7}},
        {true, 0xD15D, {{0, 0x11}, {1, 0x22}, {2, 0x34}}, "CTDB: differs", {9, 7, 0}},
        {false, 0, {{1, 0x99}}, "CTDB: verified (confidence 2)", {2}},
        {false, 0, {{1, 0x22}, {2, 0x98}}, "CTDB: differs", {7, 2}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const TCtdbResult r = VerifyCtdb(entries, c.haveDisc, c.disc, c.tracks, confidence);
        EXPECT_EQ(CtdbResultText(r), c.text);
        EXPECT_EQ(confidence, c.confidence);
    }
    EXPECT_EQ(CtdbResultText(VerifyCtdb({}, true, 1, {{0, 1}}, confidence)), "CTDB: not present");
}

// ---- the drive-offset list ------------------------------------------------------------

TEST(DriveOffsetTest, TheListIsReadRecordByRecordAndMatchedByVendorAndProduct) {
    const std::vector<TDriveOffset> drives = {{"PLEXTOR  - DVDR   PX-716A", 30},
                                              {"HL-DT-ST - DVDRAM GH24NSD1", 6},
                                              {"ASUS     - DRW-24D5MT", -1164}};
    const QByteArray bytes = WriteDriveOffsets(drives);
    ASSERT_EQ(bytes.size(), 3 * kDriveOffsetRecord);
    std::vector<TDriveOffset> read;
    QString error;
    ASSERT_TRUE(ParseDriveOffsets(bytes, read, error)) << error.toStdString();
    ASSERT_EQ(read.size(), 3u);
    EXPECT_EQ(read[2].Offset, -1164);
    struct Case {
        const char* vendor;
        const char* product;
        int offset; // -1: unknown
    } cases[] = {{"PLEXTOR ", "DVDR   PX-716A  ", 30},
                 {"HL-DT-ST", "DVDRAM GH24NSD1", 6},
                 {"asus", "drw-24d5mt", -1164},
                 {"PLEXTOR", "PX-716A", -1},
                 {"", "", -1}};
    for (const Case& c : cases) {
        const TDriveOffset* d = FindDriveOffset(read, c.vendor, c.product);
        EXPECT_EQ(d ? d->Offset : -1, c.offset) << c.vendor << " " << c.product;
    }
    EXPECT_FALSE(ParseDriveOffsets(bytes.left(100), read, error));
    EXPECT_FALSE(ParseDriveOffsets(QByteArray(69, '\0'), read, error));
}

TEST(DriveOffsetTest, TheRipTakesTheOffsetFromTheListOnceAndWarnsForAnUnknownDrive) {
    const QByteArray list = WriteDriveOffsets({{"TONVALE  - Test Drive", 667}});
    fakeserver::TServer server([&](const QString& target) {
        return target == "/accuraterip/DriveOffsets.bin" ? fakeserver::TReply{200, list, {}, false}
                                                         : fakeserver::TReply{404, {}, {}, false};
    });
    const QString cache = QDir::tempPath() + "/tonvale-rip-verify-cache-" +
                          QString::number(QCoreApplication::applicationPid());
    QDir(cache).removeRecursively();
    struct Case {
        bool virtualDrive;
        const char* product;
        int offset;
        const char* source;
        const char* warning;
    } cases[] = {
        {false, "Test Drive", 667, "AccurateRip drive list (TONVALE - Test Drive)", ""},
        {false, "Other Drive", 0, "unknown drive", kOffsetUnknown},
        {true, "Test Drive", 0, "virtual drive", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.product);
        meta::TMetaHttp http({}, "test", meta::TMetaCache(cache), false);
        const TOffsetChoice choice =
            ChooseReadOffset(http, server.Base(), c.virtualDrive, "TONVALE", c.product);
        EXPECT_EQ(choice.Offset, c.offset);
        EXPECT_EQ(choice.Source, c.source);
        EXPECT_EQ(choice.Warning, c.warning);
        EXPECT_TRUE(choice.Note.isEmpty()) << choice.Note.toStdString();
    }
    // Fetched once, then kept.
    EXPECT_EQ(server.Requests().size(), 1u);
    QDir(cache).removeRecursively();

    // No list to be had: the drive reads at 0, with the warning and why.
    meta::TMetaHttp http({}, "test", meta::TMetaCache(cache), false);
    const TOffsetChoice choice =
        ChooseReadOffset(http, "http://127.0.0.1:1", false, "TONVALE", "Test Drive");
    EXPECT_EQ(choice.Offset, 0);
    EXPECT_EQ(choice.Warning, kOffsetUnknown);
    EXPECT_TRUE(choice.Note.startsWith("AccurateRip drive list: ")) << choice.Note.toStdString();
    QDir(cache).removeRecursively();
}

// ---- the offset search ----------------------------------------------------------------

// Three tracks of noise, the first starting at disc sample 0.
struct TNoiseDisc {
    TOffsetRegion region;
    std::vector<TOffsetTrack> tracks;
    std::vector<uint32_t> disc; // every sample
};

TNoiseDisc NoiseDisc() {
    TNoiseDisc d;
    const int64_t lengths[] = {20 * 588, 13 * 588, 17 * 588};
    int64_t start = 0;
    for (int i = 0; i < 3; ++i) {
        d.tracks.push_back({i + 1, i, start, lengths[i], i == 0, i == 2});
        start += lengths[i];
    }
    std::mt19937 random(11);
    d.disc.resize(static_cast<size_t>(start));
    for (uint32_t& s : d.disc)
        s = static_cast<uint32_t>(random());
    d.region.First = -kOffsetRange;
    d.region.Words.assign(kOffsetRange, 0);
    d.region.Words.insert(d.region.Words.end(), d.disc.begin(), d.disc.end());
    d.region.Words.resize(d.region.Words.size() + kOffsetRange, 0);
    return d;
}

// A track's sums at offset k the plain way (RipReference.h), silence outside the disc.
riptest::Reference SumsAt(const TNoiseDisc& d, const TOffsetTrack& t, int k) {
    std::vector<uint8_t> pcm;
    for (int64_t i = 0; i < t.Samples; ++i) {
        const int64_t x = t.Start + k + i;
        const uint32_t s =
            x < 0 || x >= static_cast<int64_t>(d.disc.size()) ? 0 : d.disc[static_cast<size_t>(x)];
        for (int b = 0; b < 4; ++b)
            pcm.push_back(static_cast<uint8_t>(s >> (8 * b)));
    }
    return riptest::ReferenceSums(pcm, t.First, t.Last);
}

TEST(OffsetFindTest, TheOffsetWhoseSumsTheDatabaseHoldsIsFoundAtEveryPlaceOfTheRange) {
    const TNoiseDisc d = NoiseDisc();
    for (int k : {-kOffsetRange, -667, -1, 0, 6, 1164, kOffsetRange}) {
        SCOPED_TRACE(k);
        // A v1 chunk for the pressing at k, a v2 chunk, and a chunk of other sums.
        TDbarEntry v1, v2, other;
        for (const TOffsetTrack& t : d.tracks) {
            const riptest::Reference r = SumsAt(d, t, k);
            v1.Tracks.push_back({4, r.v1, 0});
            v2.Tracks.push_back({9, r.v2, 0});
            other.Tracks.push_back({2, r.v1 ^ 0x5A5A, 0});
        }
        const std::vector<TOffsetMatch> found = FindOffsets(d.region, d.tracks, {other, v1, v2});
        ASSERT_FALSE(found.empty());
        EXPECT_EQ(found.front().Offset, k);
        EXPECT_EQ(found.front().Tracks, (std::vector<int>{1, 2, 3}));
        EXPECT_EQ(found.front().Chunks, (std::vector<int>{2, 3}));
        EXPECT_EQ(found.front().Confidence, 9u);
    }
}

TEST(OffsetFindTest, AnOffsetThatOnlyOneTrackAgreesWithComesAfterTheWholeMatch) {
    const TNoiseDisc d = NoiseDisc();
    TDbarEntry chunk;
    for (const TOffsetTrack& t : d.tracks)
        chunk.Tracks.push_back({3, SumsAt(d, t, t.Number == 2 ? -30 : 48).v1, 0});
    const std::vector<TOffsetMatch> found = FindOffsets(d.region, d.tracks, {chunk});
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].Offset, 48);
    EXPECT_EQ(found[0].Tracks, (std::vector<int>{1, 3}));
    EXPECT_EQ(found[1].Offset, -30);
    EXPECT_EQ(found[1].Tracks, (std::vector<int>{2}));
    EXPECT_TRUE(FindOffsets(d.region, d.tracks, {}).empty());
}

} // namespace

TEST(VerifySummaryTest, TheHiddenTrackIsNotCountedAmongTheTracksTheDatabaseKnows) {
    TRipReport report;
    TTrackResult hidden;
    hidden.Number = 0;
    hidden.Audio = false;
    hidden.Hidden = true;
    hidden.Selected = true;
    report.Tracks.push_back(hidden);
    for (int n = 1; n <= 3; ++n) {
        TTrackResult t;
        t.Number = n;
        t.Selected = n != 3;
        t.Ar.Kind = n == 1 ? TArVerdict::avAccurate : TArVerdict::avNotAccurate;
        t.Ar.Confidence = 4;
        report.Tracks.push_back(t);
    }
    QStringList lines;
    VerifySummaryLines(report, lines);
    EXPECT_TRUE(lines.contains(
        QStringLiteral("  AccurateRip: 1 of 2 tracks accurately ripped (lowest confidence 4)")))
        << lines.join(QLatin1Char('\n')).toStdString();
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv); // Qt Network needs one
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
