// The metadata lookup against services played by a server inside the test (127.0.0.1,
// a port of the system's choosing): MusicBrainz answers of every kind, its failures,
// the cover archive's redirect, gnudb's answers, the user's file, the cache and offline.
#include "FakeServer.h"

#include "Gnudb.h"
#include "MetaJson.h"
#include "MetaLookup.h"
#include "MusicBrainz.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using fakeserver::Json;
using fakeserver::TReply;
using fakeserver::TServer;

namespace {

// The server notes a request when its polling loop reads it, up to a few tens of
// milliseconds after it was sent (more under the sanitizers).
constexpr int kServerJitterMs = 40;

const QString kDiscId = QStringLiteral("xXnIuG1gbyJoB0mPdrEYkjINwVM-");
const QString kRelease1 = QStringLiteral("11111111-1111-1111-1111-111111111111");
const QString kRelease2 = QStringLiteral("22222222-2222-2222-2222-222222222222");
const QString kRelease3 = QStringLiteral("33333333-3333-3333-3333-333333333333");

meta::TMetaToc Toc() {
    meta::TMetaToc toc;
    toc.Tracks = {{1, 0, true}, {2, 15000, true}, {3, 30000, true}};
    toc.LeadOut = 45000;
    return toc;
}

QJsonArray Credit(const QString& name, const QString& id) {
    return QJsonArray{QJsonObject{
        {"name", name}, {"joinphrase", ""}, {"artist", QJsonObject{{"id", id}, {"name", name}}}}};
}

QJsonObject Medium(int position, int tracks, const QString& discId, const QString& prefix) {
    QJsonArray list;
    for (int i = 1; i <= tracks; ++i)
        list.append(QJsonObject{
            {"id", QStringLiteral("%1-rt%2").arg(prefix).arg(i)},
            {"position", i},
            {"number", QString::number(i)},
            {"title", QStringLiteral("%1 Song %2").arg(prefix).arg(i)},
            {"recording",
             QJsonObject{{"id", QStringLiteral("%1-rec%2").arg(prefix).arg(i)},
                         {"title", QStringLiteral("%1 Song %2").arg(prefix).arg(i)},
                         {"isrcs", QJsonArray{QStringLiteral("GBAAA970000%1").arg(i)}}}}});
    QJsonObject m{
        {"position", position}, {"format", "CD"}, {"track-count", tracks}, {"tracks", list}};
    if (!discId.isEmpty())
        m["discs"] = QJsonArray{QJsonObject{{"id", discId}}};
    return m;
}

QJsonObject Release(const QString& id, const QString& title, const QString& date,
                    QJsonArray media) {
    return QJsonObject{
        {"id", id},
        {"title", title},
        {"date", date},
        {"barcode", "5012345678900"},
        {"artist-credit", Credit("The Band", "aaaa-artist")},
        {"release-group", QJsonObject{{"id", id + "-group"}}},
        {"label-info", QJsonArray{QJsonObject{{"catalog-number", "CAT 1"},
                                              {"label", QJsonObject{{"name", "The Label"}}}}}},
        {"media", media}};
}

QByteArray DiscHit(QJsonArray releases) {
    return QJsonDocument(QJsonObject{{"id", kDiscId}, {"releases", releases}}).toJson();
}

QByteArray OneRelease() {
    return DiscHit({Release(kRelease1, "Album One", "1997-03-01", {Medium(1, 3, kDiscId, "a")})});
}

meta::TDiscMeta CdText(const QString& album = QStringLiteral("Disc Album")) {
    meta::TDiscMeta text;
    text.Album = album;
    text.Artist = QStringLiteral("Disc Artist");
    text.Tracks = {{1, QStringLiteral("Text One")}, {2, QStringLiteral("Text Two")}};
    return text;
}

class MetaLookup : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Cache.isValid());
        // Services nobody answers unless a test starts one: a refused connection.
        Point("TONVALE_MUSICBRAINZ_URL", QStringLiteral("http://127.0.0.1:1"));
        Point("TONVALE_COVERART_URL", QStringLiteral("http://127.0.0.1:1"));
        Point("TONVALE_GNUDB_URL", QStringLiteral("http://127.0.0.1:1"));
        // The CTDB knows no disc unless a test says otherwise.
        Point("TONVALE_CTDB_URL", NoCtdb.Base());
    }
    static void Point(const char* variable, const QString& base) {
        qputenv(variable, base.toUtf8());
    }
    meta::TLookupRequest Request() {
        meta::TLookupRequest r;
        r.Toc = Toc();
        r.MusicBrainzDiscId = kDiscId;
        r.CddbId = 0x1f02bc03;
        r.CdText = CdText();
        r.CacheFolder = Cache.path();
        r.Cover = false;
        r.Limits.LookupMs = 5000;
        r.Limits.ConnectMs = 2000;
        r.Limits.MusicBrainzIntervalMs = 50;
        r.Limits.RetryDelayMs = 200;
        return r;
    }
    QTemporaryDir Cache;
    fakeserver::TServer NoCtdb{[](const QString&) {
        return fakeserver::TReply{404, "Not Found", {}, false};
    }};
};

TEST_F(MetaLookup, DiscIdHitFillsEveryFieldAndSendsTheTocAndUserAgent) {
    TServer mb([](const QString&) { return Json(OneRelease()); });
    Point("TONVALE_MUSICBRAINZ_URL", mb.Base());
    const meta::TLookupResult r = meta::LookupDisc(Request());
    ASSERT_EQ(r.Candidates.size(), 1u);
    EXPECT_EQ(r.Candidates[0].Rank, meta::mrDiscId);
    EXPECT_EQ(r.Chosen, 0);
    const meta::TDiscMeta& m = r.Meta;
    EXPECT_EQ(m.Source, "MusicBrainz");
    EXPECT_EQ(m.Album, "Album One");
    EXPECT_EQ(m.Artist, "The Band");
    EXPECT_EQ(m.Date, "1997-03-01");
    EXPECT_EQ(m.Year(), "1997");
    EXPECT_EQ(m.Label, "The Label");
    EXPECT_EQ(m.CatalogNumber, "CAT 1");
    EXPECT_EQ(m.Barcode, "5012345678900");
    EXPECT_EQ(m.ReleaseId, kRelease1);
    EXPECT_EQ(m.ReleaseGroupId, kRelease1 + "-group");
    EXPECT_EQ(m.AlbumArtistId, "aaaa-artist");
    EXPECT_EQ(m.DiscId, kDiscId);
    EXPECT_EQ(m.DiscNumber, 1);
    EXPECT_EQ(m.DiscTotal, 1);
    EXPECT_EQ(m.DiscPrefix(), ""); // one disc: no prefix
    ASSERT_EQ(m.Tracks.size(), 3u);
    EXPECT_EQ(m.Tracks[2].Number, 3);
    EXPECT_EQ(m.Tracks[2].Title, "a Song 3");
    EXPECT_EQ(m.Tracks[2].Artist, "The Band");
    EXPECT_EQ(m.Tracks[2].ArtistId, "aaaa-artist");
    EXPECT_EQ(m.Tracks[2].Isrc, "GBAAA9700003");
    EXPECT_EQ(m.Tracks[2].RecordingId, "a-rec3");
    EXPECT_EQ(m.Tracks[2].ReleaseTrackId, "a-rt3");
    EXPECT_TRUE(r.Notes.isEmpty()) << r.Notes.join('\n').toStdString();

    const auto requests = mb.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].Target,
              "/ws/2/discid/" + kDiscId +
                  "?toc=1+3+45150+150+15150+30150&inc=recordings+artist-credits+labels+"
                  "release-groups+isrcs&fmt=json");
    EXPECT_TRUE(requests[0].UserAgent.startsWith("Tonvale/")) << requests[0].UserAgent.data();
    EXPECT_TRUE(requests[0].UserAgent.contains("( http")) << requests[0].UserAgent.data();
}

TEST_F(MetaLookup, EnhancedCdSendsTheAudioLeadOut) {
    meta::TMetaToc toc = Toc();
    toc.Tracks.push_back({4, 60000, false});
    toc.LeadOut = 70000;
    EXPECT_EQ(meta::MusicBrainzToc(toc), "1+3+48750+150+15150+30150"); // 60000 - 11400 + 150
}

TEST_F(MetaLookup, TocOnlyHitCountsBelowADiscIdHit) {
    const QByteArray tocOnly =
        QJsonDocument(QJsonObject{{"release-count", 1},
                                  {"releases", QJsonArray{Release(kRelease2, "Fuzzy", "2000",
                                                                  {Medium(1, 3, {}, "f")})}}})
            .toJson();
    TServer mb([&](const QString&) { return Json(tocOnly); });
    Point("TONVALE_MUSICBRAINZ_URL", mb.Base());
    const meta::TLookupResult r = meta::LookupDisc(Request());
    ASSERT_EQ(r.Candidates.size(), 1u);
    EXPECT_EQ(r.Candidates[0].Rank, meta::mrToc);
    EXPECT_EQ(r.Meta.Album, "Fuzzy");
    EXPECT_EQ(r.Meta.Tracks[0].Title, "f Song 1");
}

TEST_F(MetaLookup, CdStubGivesNamesRankedBelowReleases) {
    const QByteArray stub =
        QJsonDocument(QJsonObject{{"id", kDiscId},
                                  {"title", "Stub Album"},
                                  {"artist", "Stub Artist"},
                                  {"track-count", 3},
                                  {"tracks", QJsonArray{QJsonObject{{"title", "S1"}},
                                                        QJsonObject{{"title", "S2"}},
                                                        QJsonObject{{"title", "S3"}}}}})
            .toJson();
    TServer mb([&](const QString&) { return Json(stub); });
    Point("TONVALE_MUSICBRAINZ_URL", mb.Base());
    const meta::TLookupResult r = meta::LookupDisc(Request());
    ASSERT_EQ(r.Candidates.size(), 1u);
    EXPECT_EQ(r.Candidates[0].Rank, meta::mrStub);
    EXPECT_EQ(r.Meta.Album, "Stub Album");
    EXPECT_EQ(r.Meta.Tracks[1].Title, "S2");
    EXPECT_EQ(r.Meta.Tracks[1].Artist, "Stub Artist");
    EXPECT_TRUE(r.Meta.ReleaseId.isEmpty());
}

TEST(MetaChoose, RanksThenCdTextTitleThenEarliestDate) {
    auto c = [](meta::TMatchRank rank, const char* album, const char* date) {
        meta::TCandidate x;
        x.Rank = rank;
        x.Meta.Album = QString::fromLatin1(album);
        x.Meta.Date = QString::fromLatin1(date);
        return x;
    };
    struct TCase {
        const char* Name;
        std::vector<meta::TCandidate> Candidates;
        QString CdTextAlbum;
        int Chosen;
    } cases[] = {
        {"disc id above toc", {c(meta::mrToc, "A", "1990"), c(meta::mrDiscId, "B", "2000")}, {}, 1},
        {"release above stub", {c(meta::mrStub, "A", ""), c(meta::mrToc, "B", "")}, {}, 1},
        {"earliest date",
         {c(meta::mrDiscId, "A", "2001"), c(meta::mrDiscId, "B", "1999-05")},
         {},
         1},
        {"no date last", {c(meta::mrDiscId, "A", ""), c(meta::mrDiscId, "B", "2005")}, {}, 1},
        {"cd-text title first",
         {c(meta::mrDiscId, "A", "1999"), c(meta::mrDiscId, "Album B", "2001")},
         "album b",
         1},
        {"none", {}, {}, -1},
    };
    for (const TCase& t : cases)
        EXPECT_EQ(meta::ChooseCandidate(t.Candidates, t.CdTextAlbum), t.Chosen) << t.Name;
}

TEST_F(MetaLookup, SeveralReleasesChooseTheMatchingMediumAndListTheOthers) {
    const QByteArray answer = DiscHit({
        Release(kRelease1, "Wrong Count", "1990", {Medium(1, 4, {}, "w")}),
        Release(kRelease2, "Later", "2001", {Medium(1, 3, kDiscId, "l")}),
        Release(kRelease3, "Earlier", "1999", {Medium(1, 3, kDiscId, "e")}),
    });
    TServer mb([&](const QString&) { return Json(answer); });
    Point("TONVALE_MUSICBRAINZ_URL", mb.Base());
    meta::TLookupRequest request = Request();
    meta::TLookupResult r = meta::LookupDisc(request);
    ASSERT_EQ(r.Candidates.size(), 3u);
    EXPECT_EQ(r.Candidates[0].Rank, meta::mrToc); // the medium has four tracks
    EXPECT_EQ(r.Meta.ReleaseId, kRelease3);

    request.CdText = CdText(QStringLiteral("LATER"));
    request.CacheFolder = Cache.path() + "/other"; // ask again
    r = meta::LookupDisc(request);
    EXPECT_EQ(r.Meta.ReleaseId, kRelease2);
}

TEST_F(MetaLookup, TwoDiscReleaseTakesTheMediumCarryingTheDisc) {
    const QByteArray answer =
        DiscHit({Release(kRelease1, "Double", "2010",
                         {Medium(1, 2, "otherdisc", "d1"), Medium(2, 3, kDiscId, "d2")})});
    TServer mb([&](const QString&) { return Json(answer); });
    Point("TONVALE_MUSICBRAINZ_URL", mb.Base());
    const meta::TLookupResult r = meta::LookupDisc(Request());
    EXPECT_EQ(r.Meta.DiscNumber, 2);
    EXPECT_EQ(r.Meta.DiscTotal, 2);
    EXPECT_EQ(r.Meta.DiscPrefix(), "2-"); // the two discs' files get distinct names
    ASSERT_EQ(r.Meta.Tracks.size(), 3u);
    EXPECT_EQ(r.Meta.Tracks[0].Title, "d2 Song 1");
}

TEST_F(MetaLookup, ReleaseChosenByTheUserIsAskedByItsId) {
    TServer mb([&](const QString& target) {
        if (target.startsWith("/ws/2/release/" + kRelease2))
            return Json(QJsonDocument(Release(kRelease2, "Mine", "2003", {Medium(1, 3, {}, "m")}))
                            .toJson());
        return Json("{}", 404);
    });
    Point("TONVALE_MUSICBRAINZ_URL", mb.Base());
    meta::TLookupRequest request = Request();
    request.ReleaseId = kRelease2;
    const meta::TLookupResult r = meta::LookupDisc(request);
    ASSERT_EQ(r.Candidates.size(), 1u);
    EXPECT_EQ(r.Candidates[0].Rank, meta::mrChosen);
    EXPECT_EQ(r.Meta.Album, "Mine");
    EXPECT_EQ(r.Meta.DiscId, kDiscId);
}

// Every failure is one note naming the source and what the names came from.
TEST_F(MetaLookup, FailuresLeaveOneNoteAndNamesFromCdText) {
    struct TCase {
        const char* Name;
        TReply Reply;
        QString Note;
    } cases[] = {
        {"404", Json("{\"error\": \"Not Found\"}", 404),
         "MusicBrainz: disc not found; names from CD-Text"},
        {"500", Json("oops", 500), "MusicBrainz: the server answered 500; names from CD-Text"},
        {"garbage", Json("{\"releases\": [", 200), "MusicBrainz: the answer is not valid JSON"},
        {"not an answer", Json("[1, 2]", 200),
         "MusicBrainz: the answer is not a JSON object; names from CD-Text"},
        {"endless", Json(QByteArray(33 << 20, ' '), 200),
         "MusicBrainz: the answer is larger than 32 MB; names from CD-Text"},
    };
    for (const TCase& c : cases) {
        TServer mb([&](const QString&) { return c.Reply; });
        Point("TONVALE_MUSICBRAINZ_URL", mb.Base());
        QTemporaryDir cache; // a 404 is kept: each case asks afresh
        meta::TLookupRequest request = Request();
        request.CacheFolder = cache.path();
        const meta::TLookupResult r = meta::LookupDisc(request);
        ASSERT_EQ(r.Notes.size(), 1) << c.Name;
        EXPECT_TRUE(r.Notes[0].startsWith(c.Note)) << c.Name << ": " << r.Notes[0].toStdString();
        EXPECT_EQ(r.Meta.Source, "CD-Text") << c.Name;
        EXPECT_EQ(r.Meta.Album, "Disc Album") << c.Name;
        EXPECT_EQ(r.Meta.Tracks[0].Title, "Text One") << c.Name;
        EXPECT_EQ(r.Meta.Tracks[2].Title, "Track3") << c.Name; // CD-Text has no third
    }
}

TEST_F(MetaLookup, RefusedConnectionIsANote) {
    const meta::TLookupResult r = meta::LookupDisc(Request());
    ASSERT_EQ(r.Notes.size(), 1);
    EXPECT_EQ(r.Notes[0], "MusicBrainz: connection refused; names from CD-Text");
}

TEST_F(MetaLookup, CtdbNamesADiscThatMusicBrainzDoesNotKnowAndIsNotAskedOtherwise) {
    const QByteArray xml =
        R"(<ctdb xmlns="urn:tonvale-test:ctdb"><musicbrainz source="discogs" )"
        R"(artist="Ctdb Artist" album="Ctdb Album" year="2001"><track name="C One"/>)"
        R"(<track name="C Two" artist="Guest"/><track name="C Three"/></musicbrainz></ctdb>)";
    TServer ctdb([&](const QString&) { return TReply{200, xml, {}, false}; });
    Point("TONVALE_CTDB_URL", ctdb.Base());
    TServer unknown([](const QString&) { return Json("{}", 404); });
    Point("TONVALE_MUSICBRAINZ_URL", unknown.Base());
    meta::TLookupResult r = meta::LookupDisc(Request());
    EXPECT_EQ(r.Meta.Source, "CTDB");
    EXPECT_EQ(r.Meta.Album, "Ctdb Album");
    EXPECT_EQ(r.Meta.Year(), "2001");
    ASSERT_EQ(r.Meta.Tracks.size(), 3u);
    EXPECT_EQ(r.Meta.Tracks[1].Artist, "Guest");
    EXPECT_EQ(r.Meta.Tracks[2].Title, "C Three");
    EXPECT_EQ(r.Notes, QStringList{"MusicBrainz: disc not found; names from CTDB"});
    ASSERT_EQ(ctdb.Requests().size(), 1u);
    EXPECT_TRUE(ctdb.Requests()[0].Target.startsWith(
        "/lookup2.php?version=3&ctdb=1&fuzzy=0&metadata=fast&toc="))
        << ctdb.Requests()[0].Target.toStdString();

    TServer mb([](const QString&) { return Json(OneRelease()); });
    Point("TONVALE_MUSICBRAINZ_URL", mb.Base());
    QTemporaryDir fresh; // the first lookup's 404 is kept
    meta::TLookupRequest request = Request();
    request.CacheFolder = fresh.path();
    r = meta::LookupDisc(request);
    EXPECT_EQ(r.Meta.Source, "MusicBrainz");
    EXPECT_EQ(ctdb.Requests().size(), 1u);
}

TEST_F(MetaLookup, ServiceUnavailableIsAskedAgainAfterADelay) {
    std::atomic<int> calls{0};
    TServer mb(
        [&](const QString&) { return ++calls == 1 ? Json("busy", 503) : Json(OneRelease()); });
    Point("TONVALE_MUSICBRAINZ_URL", mb.Base());
    const meta::TLookupResult r = meta::LookupDisc(Request());
    EXPECT_EQ(r.Meta.Album, "Album One");
    const auto requests = mb.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_GE(requests[1].At - requests[0].At, std::chrono::milliseconds(200 - kServerJitterMs));
}

TEST_F(MetaLookup, ServiceUnavailableIsAskedThreeTimesAtMost) {
    TServer mb([&](const QString&) { return Json("busy", 503); });
    Point("TONVALE_MUSICBRAINZ_URL", mb.Base());
    const meta::TLookupResult r = meta::LookupDisc(Request());
    EXPECT_EQ(mb.Requests().size(), 3u);
    ASSERT_EQ(r.Notes.size(), 1);
    EXPECT_EQ(r.Notes[0], "MusicBrainz: the server answered 503; names from CD-Text");
}

TEST_F(MetaLookup, RequestsToMusicBrainzKeepTheInterval) {
    TServer mb([&](const QString&) { return Json(OneRelease()); });
    Point("TONVALE_MUSICBRAINZ_URL", mb.Base());
    meta::TLookupRequest request = Request();
    request.Limits.MusicBrainzIntervalMs = 400;
    for (int i = 0; i < 2; ++i) {
        request.CacheFolder = Cache.path() + QString::number(i); // not from the cache
        meta::LookupDisc(request);
    }
    const auto requests = mb.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_GE(requests[1].At - requests[0].At, std::chrono::milliseconds(400 - kServerJitterMs));
    QDir(Cache.path() + "0").removeRecursively();
    QDir(Cache.path() + "1").removeRecursively();
}

TEST_F(MetaLookup, ServerThatNeverAnswersIsLeftWhenTheLookupsTimeRunsOut) {
    TServer mb([](const QString&) { return TReply{200, {}, {}, true}; });
    Point("TONVALE_MUSICBRAINZ_URL", mb.Base());
    meta::TLookupRequest request = Request();
    request.Limits.LookupMs = 1500;
    QElapsedTimer clock;
    clock.start();
    const meta::TLookupResult r = meta::LookupDisc(request);
    EXPECT_LT(clock.elapsed(), 3000);
    ASSERT_EQ(r.Notes.size(), 1);
    EXPECT_EQ(r.Notes[0], "MusicBrainz: no answer within 1.5 s; names from CD-Text");
    EXPECT_EQ(r.Meta.Album, "Disc Album");
}

TEST_F(MetaLookup, CoverBehindARedirectIsFetchedAndA404IsNoCover) {
    const QByteArray jpeg = QByteArray("\xFF\xD8\xFF\xE0", 4) + QByteArray(600, 'j');
    TServer mb([](const QString&) { return Json(OneRelease()); });
    TServer art([&](const QString& target) {
        if (target == "/release/" + kRelease1 + "/front-500")
            return TReply{307, {}, {{"Location", "/images/front-500.jpg"}}, false};
        if (target == "/images/front-500.jpg")
            return TReply{200, jpeg, {{"Content-Type", "image/jpeg"}}, false};
        return TReply{404, "Not found", {}, false};
    });
    Point("TONVALE_MUSICBRAINZ_URL", mb.Base());
    Point("TONVALE_COVERART_URL", art.Base());
    meta::TLookupRequest request = Request();
    request.Cover = true;
    meta::TLookupResult r = meta::LookupDisc(request);
    EXPECT_EQ(r.Cover, jpeg);
    EXPECT_EQ(r.CoverMime, "image/jpeg");
    EXPECT_TRUE(r.Notes.isEmpty());

    request.ReleaseId = kRelease3; // the archive has nothing for it
    TServer mb3([&](const QString&) {
        return Json(
            QJsonDocument(Release(kRelease3, "Bare", "", {Medium(1, 3, {}, "b")})).toJson());
    });
    Point("TONVALE_MUSICBRAINZ_URL", mb3.Base());
    r = meta::LookupDisc(request);
    EXPECT_EQ(r.Meta.Album, "Bare");
    EXPECT_TRUE(r.Cover.isEmpty());
    EXPECT_TRUE(r.Notes.isEmpty()) << r.Notes.join('\n').toStdString();
}

TEST_F(MetaLookup, WarmCacheServesAnOfflineLookupWithoutAServer) {
    {
        TServer mb([](const QString&) { return Json(OneRelease()); });
        Point("TONVALE_MUSICBRAINZ_URL", mb.Base());
        EXPECT_EQ(meta::LookupDisc(Request()).Meta.Album, "Album One");
    }
    Point("TONVALE_MUSICBRAINZ_URL", QStringLiteral("http://127.0.0.1:1"));
    meta::TLookupRequest request = Request();
    request.Offline = true;
    meta::TLookupResult r = meta::LookupDisc(request);
    EXPECT_EQ(r.Meta.Album, "Album One");
    EXPECT_TRUE(r.Notes.isEmpty());
    request.Offline = false; // the cache answers before the network is asked
    EXPECT_EQ(meta::LookupDisc(request).Meta.Album, "Album One");

    request.Offline = true;
    request.CacheFolder = Cache.path() + "/cold";
    r = meta::LookupDisc(request);
    EXPECT_EQ(r.Meta.Album, "Disc Album");
    ASSERT_EQ(r.Notes.size(), 1);
    EXPECT_EQ(r.Notes[0], "MusicBrainz: offline and nothing in the cache; names from CD-Text");
}

TEST_F(MetaLookup, CacheOlderThanThirtyDaysIsNotUsed) {
    meta::TMetaCache cache(Cache.path());
    cache.Put("k", 200, "body");
    int status = 0;
    QByteArray body;
    ASSERT_TRUE(cache.Get("k", status, body));
    EXPECT_EQ(status, 200);
    EXPECT_EQ(body, "body");
    EXPECT_FALSE(cache.Get("other", status, body));
    for (const QFileInfo& f : QDir(Cache.path()).entryInfoList(QDir::Files)) {
        QFile file(f.filePath());
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        file.setFileTime(QDateTime::currentDateTimeUtc().addDays(-31),
                         QFileDevice::FileModificationTime);
    }
    EXPECT_FALSE(cache.Get("k", status, body));
}

// ---- the user's file ---------------------------------------------------------------------

TEST_F(MetaLookup, UsersFileComesFirstAndOthersFillWhatItLacks) {
    TServer mb([](const QString&) { return Json(OneRelease()); });
    Point("TONVALE_MUSICBRAINZ_URL", mb.Base());
    const QString path = Cache.path() + "/disc.json";
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(R"({"album": "My Album", "genre": "Jazz",
                   "tracks": [{"title": "Mine 1"}, {"number": 3, "title": "Mine 3", "artist": "Guest"}]})");
    file.close();
    meta::TLookupRequest request = Request();
    request.MetadataFile = path;
    const meta::TLookupResult r = meta::LookupDisc(request);
    EXPECT_EQ(r.Meta.Source, "file");
    EXPECT_EQ(r.Meta.Album, "My Album");
    EXPECT_EQ(r.Meta.Genre, "Jazz");
    EXPECT_EQ(r.Meta.Artist, "The Band");
    EXPECT_EQ(r.Meta.ReleaseId, kRelease1);
    EXPECT_EQ(r.Meta.Tracks[0].Title, "Mine 1");
    EXPECT_EQ(r.Meta.Tracks[1].Title, "a Song 2");
    EXPECT_EQ(r.Meta.Tracks[2].Title, "Mine 3");
    EXPECT_EQ(r.Meta.Tracks[2].Artist, "Guest");
    EXPECT_EQ(r.Meta.Tracks[2].RecordingId, "a-rec3");
}

TEST(MetaJson, LookupOutputReadsBackAndBadFilesSayWhere) {
    meta::TDiscMeta m;
    m.Album = "A";
    m.Artist = "B";
    m.DiscNumber = 2;
    m.DiscTotal = 3;
    m.ReleaseId = kRelease1;
    m.Tracks = {{1, "T1", "X", "GBAAA9700001", "rec", "rt", "art"}};
    const QByteArray lookupOutput =
        QJsonDocument(QJsonObject{{"ids", QJsonObject{}}, {"metadata", meta::MetaToJson(m)}})
            .toJson();
    meta::TDiscMeta back;
    QString error;
    ASSERT_TRUE(meta::MetaFromJson(lookupOutput, back, error)) << error.toStdString();
    EXPECT_EQ(meta::MetaToJson(back), meta::MetaToJson(m));

    const struct {
        const char* Json;
        const char* Error;
    } bad[] = {
        {"{\"album\": ", "not valid JSON"},
        {"[]", "not a JSON object"},
        {"{\"album\": 5}", "album is not a text"},
        {"{\"tracks\": {}}", "tracks is not a list"},
        {"{\"tracks\": [{\"title\": \"x\"}, 3]}", "tracks[1] is not an object"},
        {"{\"tracks\": [{\"number\": 100}]}", "tracks[0].number is not a number from 1 to 99"},
        {"{\"discNumber\": 1.5}", "discNumber is not a number from 1 to 999"},
    };
    for (const auto& b : bad) {
        EXPECT_FALSE(meta::MetaFromJson(b.Json, back, error)) << b.Json;
        EXPECT_TRUE(error.startsWith(QLatin1String(b.Error)))
            << b.Json << ": " << error.toStdString();
    }
}

TEST_F(MetaLookup, BadUsersFileIsANoteAndTheLookupGoesOn) {
    const QString path = Cache.path() + "/bad.json";
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("{ not json");
    file.close();
    meta::TLookupRequest request = Request();
    request.MetadataFile = path;
    const meta::TLookupResult r = meta::LookupDisc(request);
    ASSERT_GE(r.Notes.size(), 1);
    EXPECT_TRUE(r.Notes[0].startsWith("metadata file: " + path + ": not valid JSON"))
        << r.Notes[0].toStdString();
    EXPECT_EQ(r.Meta.Album, "Disc Album");
}

// ---- gnudb -----------------------------------------------------------------------------------

const char* const kXmcd = "# xmcd\n"
                          "#\n"
                          "# Track frame offsets:\n"
                          "#\t150\n"
                          "DISCID=1f02bc03\n"
                          "DTITLE=Various Artists / A Very Long Compilation Title That Goes On\n"
                          "DTITLE= And On\n"
                          "DYEAR=1984\n"
                          "DGENRE=Synthpop\n"
                          "TTITLE0=First Artist / First Song\n"
                          "TTITLE1=Second Artist / Second\\tSong\n"
                          "TTITLE2=Third Artist / Third \n"
                          "TTITLE2=Song \\\\ Part\\n2\n"
                          "EXTD=\n"
                          "PLAYORDER=\n";

TEST(MetaXmcd, ContinuedKeysAreJoinedAndEscapesDecoded) {
    const meta::TDiscMeta m = meta::ParseXmcd(QString::fromLatin1(kXmcd), Toc(), "rock");
    EXPECT_EQ(m.Artist, "Various Artists");
    EXPECT_EQ(m.Album, "A Very Long Compilation Title That Goes On And On");
    EXPECT_EQ(m.Date, "1984");
    EXPECT_EQ(m.Genre, "Synthpop");
    ASSERT_EQ(m.Tracks.size(), 3u);
    EXPECT_EQ(m.Tracks[0].Artist, "First Artist");
    EXPECT_EQ(m.Tracks[0].Title, "First Song");
    EXPECT_EQ(m.Tracks[1].Title, "Second\tSong");
    EXPECT_EQ(m.Tracks[2].Artist, "Third Artist");
    EXPECT_EQ(m.Tracks[2].Title, "Third Song \\ Part\n2");

    const meta::TDiscMeta single =
        meta::ParseXmcd("DTITLE=Solo / Album\nTTITLE0=A / B\n", Toc(), "rock");
    EXPECT_EQ(single.Tracks[0].Title, "A / B"); // not a sampler: the title as written
    EXPECT_EQ(single.Tracks[0].Artist, "Solo");
    EXPECT_EQ(single.Genre, "Rock"); // no DGENRE: the category
}

TEST(MetaGnudb, QueryCommandCountsEveryTrackFromTheDiscsStart) {
    meta::TMetaToc toc = Toc();
    toc.Tracks.push_back({4, 60000, false});
    toc.LeadOut = 70000;
    EXPECT_EQ(meta::CddbQueryCommand(toc, 0x1f02bc03),
              "cddb query 1f02bc03 4 150 15150 30150 60150 935");
    const QUrl url =
        meta::GnudbUrl("http://127.0.0.1:1", "cddb read rock 1f02bc03", "me@example.org", "0.1");
    EXPECT_EQ(url.toString(QUrl::FullyEncoded),
              "http://127.0.0.1:1/~cddb/cddb.cgi?cmd=cddb+read+rock+1f02bc03&hello=me+example.org+"
              "Tonvale+0.1&proto=6");
    EXPECT_TRUE(meta::ValidEmail("me@example.org"));
    for (const char* bad : {"", "me", "@x", "me@", "a b@c", "a@b@c", "a+b@c"})
        EXPECT_FALSE(meta::ValidEmail(bad)) << bad;
}

QByteArray ReadAnswer(const QString& category) {
    return "210 " + category.toUtf8() +
           " 1f02bc03 CD database entry follows (until terminating `.')\r\n" +
           QByteArray(kXmcd).replace("\n", "\r\n") + ".\r\n";
}

TEST_F(MetaLookup, GnudbAnswersByTheirCodes) {
    struct TCase {
        const char* Name;
        QByteArray Query;
        bool MusicBrainzAnswers; // a better source answered first
        QString Album;           // what the lookup ends with
        QString Category;        // the record read, or empty: none read
        QString Note;
    } cases[] = {
        {"200 exact",
         "200 rock 1f02bc03 Various Artists / Comp\r\n",
         false,
         "A Very Long Compilation Title That Goes On And On",
         "rock",
         {}},
        {"210 exact list",
         "210 Found exact matches, list follows (until terminating `.')\r\n"
         "newage 1f02bc03 Various / Comp\r\nrock 1f02bc03 Various / Comp\r\n.\r\n",
         false,
         "A Very Long Compilation Title That Goes On And On",
         "newage",
         {}},
        {"211 inexact alone",
         "211 Found inexact matches, list follows (until terminating `.')\r\n"
         "misc 1f02bc04 Various / Comp\r\n.\r\n",
         false,
         "A Very Long Compilation Title That Goes On And On",
         "misc",
         {}},
        {"211 inexact after MusicBrainz",
         "211 Found inexact matches, list follows (until terminating `.')\r\n"
         "misc 1f02bc04 Various / Comp\r\n.\r\n",
         true,
         "Album One",
         {},
         {}},
        {"202 none",
         "202 No match for disc ID 1f02bc03.\r\n",
         false,
         "Disc Album",
         {},
         "gnudb: no match"},
        {"handshake refused",
         "409 No handshake\r\n",
         false,
         "Disc Album",
         {},
         "gnudb: the server answered \"409 No handshake\"; names from CD-Text"},
    };
    for (const TCase& c : cases) {
        QTemporaryDir cache;
        TServer gnudb([&](const QString& target) {
            if (target.contains("cmd=cddb+query+1f02bc03+3+150+15150+30150+602&"))
                return TReply{200, c.Query, {}, false};
            if (target.contains("cmd=cddb+read+"))
                return TReply{200, ReadAnswer(target.section('+', 2, 2)), {}, false};
            return TReply{200, "500 Command syntax error\r\n", {}, false};
        });
        TServer mb([&](const QString&) {
            return c.MusicBrainzAnswers ? Json(OneRelease()) : Json("{}", 404);
        });
        Point("TONVALE_GNUDB_URL", gnudb.Base());
        Point("TONVALE_MUSICBRAINZ_URL", mb.Base());
        meta::TLookupRequest request = Request();
        request.CacheFolder = cache.path();
        request.GnudbEmail = "me@example.org";
        const meta::TLookupResult r = meta::LookupDisc(request);
        EXPECT_EQ(r.Meta.Album, c.Album) << c.Name;
        const auto requests = gnudb.Requests();
        ASSERT_FALSE(requests.empty()) << c.Name;
        EXPECT_TRUE(requests[0].Target.contains("hello=me+example.org+Tonvale+")) << c.Name;
        EXPECT_TRUE(requests[0].Target.contains("proto=6")) << c.Name;
        if (c.Category.isEmpty()) {
            EXPECT_EQ(requests.size(), 1u) << c.Name;
        } else {
            ASSERT_EQ(requests.size(), 2u) << c.Name;
            EXPECT_TRUE(requests[1].Target.contains("cmd=cddb+read+" + c.Category + "+")) << c.Name;
            EXPECT_EQ(r.Meta.Source, "gnudb") << c.Name;
            EXPECT_EQ(r.Meta.Genre, "Synthpop") << c.Name;
            EXPECT_EQ(r.Meta.Tracks[0].Artist, "First Artist") << c.Name;
        }
        if (!c.Note.isEmpty()) {
            EXPECT_TRUE(r.Notes.contains(c.Note))
                << c.Name << ": " << r.Notes.join('|').toStdString();
        }
        if (c.MusicBrainzAnswers) {
            EXPECT_TRUE(r.Notes.isEmpty()) << c.Name;
        }
    }
}

TEST_F(MetaLookup, GnudbFillsOnlyWhatMusicBrainzLacks) {
    TServer gnudb([&](const QString& target) {
        if (target.contains("cmd=cddb+query"))
            return TReply{200, "200 rock 1f02bc03 Various Artists / Comp\r\n", {}, false};
        return TReply{200, ReadAnswer("rock"), {}, false};
    });
    TServer mb([&](const QString&) { return Json(OneRelease()); });
    Point("TONVALE_GNUDB_URL", gnudb.Base());
    Point("TONVALE_MUSICBRAINZ_URL", mb.Base());
    meta::TLookupRequest request = Request();
    request.GnudbEmail = "me@example.org";
    const meta::TLookupResult r = meta::LookupDisc(request);
    EXPECT_EQ(r.Meta.Source, "MusicBrainz");
    EXPECT_EQ(r.Meta.Album, "Album One");
    EXPECT_EQ(r.Meta.Genre, "Synthpop"); // MusicBrainz gave none
    EXPECT_EQ(r.Candidates.size(), 2u);
    EXPECT_EQ(r.Chosen, 0);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
