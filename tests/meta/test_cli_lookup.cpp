// `tonvale-cli lookup` and the names and tags of `tonvale-cli rip` as a user runs them, on
// disc images the test writes: the lookup's disc ids and TOC are the rip's, a MusicBrainz
// answer from a server inside the test reaches the candidates, the file names, the tags
// and the cover, a warm cache answers offline, bad input is refused once.
#include "ChildProcess.h"
#include "FakeServer.h"

#include "DiscImage.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <taglib/flacfile.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/tpropertymap.h>
#include <taglib/xiphcomment.h>

#include <filesystem>

namespace {

namespace fs = std::filesystem;

QJsonObject Json(const std::string& text) {
    return QJsonDocument::fromJson(QByteArray::fromStdString(text)).object();
}

// Every file below folder, one per line, for a failure's message.
std::string Listing(const fs::path& folder) {
    std::string text;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        text += "\n" + entry.path().lexically_relative(folder).string();
    return text;
}

class LookupCli : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tonvale-lookup-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        Folder = pattern;
        fs::create_directories(Folder / "config");
    }
    void TearDown() override { fs::remove_all(Folder); }

    std::string Image(bool enhanced) {
        discimage::Disc disc;
        disc.title = "Lookup Album";
        disc.performer = "Lookup Artist";
        disc.tracks = {discimage::ToneTrack(2.0, 440, 0.3, "One"),
                       discimage::ToneTrack(3.0, 660, 0.3, "Two"),
                       discimage::ToneTrack(1.5, 880, 0.3, "Three")};
        if (enhanced)
            disc.tracks.push_back(discimage::DataTrack(300));
        return discimage::WriteCueBin(disc, Folder.string(), enhanced ? "enhanced" : "plain")
            .cuePath;
    }

    // A plain disc of three tone tracks; seconds sets the first one's length (and so the ids).
    std::string ToneDisc(const std::string& name, double seconds) {
        discimage::Disc disc;
        disc.tracks = {discimage::ToneTrack(seconds, 440, 0.3, ""),
                       discimage::ToneTrack(2.0, 660, 0.3, ""),
                       discimage::ToneTrack(1.5, 880, 0.3, "")};
        return discimage::WriteCueBin(disc, Folder.string(), name).cuePath;
    }

    childprocess::TOutcome Run(std::vector<std::string> args, const std::string& drives,
                               const std::string& musicBrainz = "http://127.0.0.1:1",
                               const std::string& coverArt = "http://127.0.0.1:1") {
        childprocess::TLaunch launch;
        launch.args = {TONVALE_CLI_PATH};
        launch.args.insert(launch.args.end(), args.begin(), args.end());
        launch.drives = drives;
        launch.env = {"XDG_CACHE_HOME=" + (Folder / "cache").string(),
                      "XDG_CONFIG_HOME=" + (Folder / "config").string(),
                      "TONVALE_MUSICBRAINZ_URL=" + musicBrainz,
                      "TONVALE_GNUDB_URL=http://127.0.0.1:1",
                      "TONVALE_COVERART_URL=" + coverArt,
                      "TONVALE_ACCURATERIP_URL=http://127.0.0.1:1",
                      "TONVALE_CTDB_URL=" + NoCtdb.Base().toStdString()};
        return childprocess::Run(launch);
    }

    fs::path Folder;
    // The CTDB knows no disc.
    fakeserver::TServer NoCtdb{[](const QString&) {
        return fakeserver::TReply{404, "Not Found", {}, false};
    }};
};

TEST_F(LookupCli, IdsAndTocAreTheRipsOnPlainAndEnhancedDiscs) {
    for (bool enhanced : {false, true}) {
        const std::string cue = Image(enhanced);
        const childprocess::TOutcome lookup = Run({"lookup", "--offline", "--json"}, cue);
        ASSERT_EQ(lookup.Status(), 0) << lookup.err;
        const fs::path out = Folder / (enhanced ? "rip-enhanced" : "rip-plain");
        const childprocess::TOutcome rip = Run({"rip", "--json", out.string()}, cue);
        ASSERT_EQ(rip.Status(), 0) << rip.err;
        const QJsonObject l = Json(lookup.out), r = Json(rip.out);
        ASSERT_FALSE(l.value("ids").toObject().isEmpty()) << lookup.out;
        EXPECT_EQ(l.value("ids"), r.value("ids")) << lookup.out << rip.out;
        EXPECT_EQ(l.value("toc"), r.value("toc"));
        EXPECT_EQ(l.value("toc").toObject().value("tracks").toArray().size(), enhanced ? 4 : 3);
        // Offline with nothing kept: the names are the disc's CD-Text, said once.
        const QJsonObject metadata = l.value("metadata").toObject();
        EXPECT_EQ(metadata.value("source").toString(), "CD-Text");
        EXPECT_EQ(metadata.value("album").toString(), "Lookup Album");
        EXPECT_EQ(metadata.value("tracks").toArray().size(), 3);
        EXPECT_EQ(childprocess::Count(lookup.err, "\n"), 1u) << lookup.err;
        EXPECT_NE(lookup.err.find("MusicBrainz: offline and nothing in the cache; names from "
                                  "CD-Text"),
                  std::string::npos)
            << lookup.err;
    }
}

TEST_F(LookupCli, MusicBrainzAnswerIsTheChosenCandidateAndIsKeptForOffline) {
    const std::string cue = Image(false);
    const QJsonObject ids =
        Json(Run({"lookup", "--offline", "--json"}, cue).out).value("ids").toObject();
    const QString discId = ids.value("musicBrainz").toString();
    ASSERT_EQ(discId.size(), 28);
    QJsonArray tracks;
    for (int i = 1; i <= 3; ++i)
        tracks.append(
            QJsonObject{{"id", QStringLiteral("rt%1").arg(i)},
                        {"position", i},
                        {"title", QStringLiteral("Song %1").arg(i)},
                        {"recording", QJsonObject{{"id", QStringLiteral("rec%1").arg(i)}}}});
    QJsonObject medium{{"position", 1}, {"track-count", 3}, {"tracks", tracks}};
    medium["discs"] = QJsonArray{QJsonObject{{"id", discId}}};
    QJsonObject release{{"id", "11111111-1111-1111-1111-111111111111"},
                        {"title", "Found Album"},
                        {"date", "2001-02-03"},
                        {"media", QJsonArray{medium}}};
    release["artist-credit"] = QJsonArray{QJsonObject{{"name", "Found Artist"}}};
    const QByteArray answer =
        QJsonDocument(QJsonObject{{"id", discId}, {"releases", QJsonArray{release}}}).toJson();
    {
        fakeserver::TServer mb([&](const QString&) { return fakeserver::Json(answer); });
        const childprocess::TOutcome run = Run({"lookup", "--json"}, cue, mb.Base().toStdString());
        ASSERT_EQ(run.Status(), 0) << run.err;
        EXPECT_EQ(run.err, "");
        const auto requests = mb.Requests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_TRUE(requests[0].Target.startsWith("/ws/2/discid/" + discId + "?toc=1+3+"));
        const QJsonObject l = Json(run.out);
        EXPECT_EQ(l.value("chosen").toInt(), 0);
        const QJsonObject candidate = l.value("candidates").toArray().at(0).toObject();
        EXPECT_TRUE(candidate.value("chosen").toBool());
        EXPECT_EQ(candidate.value("match").toString(), "disc id");
        const QJsonObject metadata = l.value("metadata").toObject();
        EXPECT_EQ(metadata.value("source").toString(), "MusicBrainz");
        EXPECT_EQ(metadata.value("album").toString(), "Found Album");
        EXPECT_EQ(metadata.value("tracks").toArray().at(1).toObject().value("title").toString(),
                  "Song 2");
    }
    // The server is gone: the cache answers, and the text output marks the chosen one.
    const childprocess::TOutcome offline = Run({"lookup", "--offline"}, cue);
    ASSERT_EQ(offline.Status(), 0) << offline.err;
    EXPECT_EQ(offline.err, "");
    EXPECT_NE(offline.out.find("* 1. MusicBrainz (disc id) 11111111-1111-1111-1111-111111111111: "
                               "Found Artist - Found Album (2001-02-03), disc 1 of 1, 3 tracks"),
              std::string::npos)
        << offline.out;
}

TEST_F(LookupCli, LookupOutputFedBackAsMetadataFile) {
    const std::string cue = Image(false);
    const childprocess::TOutcome first = Run({"lookup", "--offline", "--json"}, cue);
    ASSERT_EQ(first.Status(), 0);
    std::string edited = first.out;
    const std::string from = "\"Lookup Album\"";
    edited.replace(edited.find(from, edited.find("\"metadata\"")), from.size(), "\"My Own Album\"");
    childprocess::WriteFile(Folder / "disc.json", edited);
    const childprocess::TOutcome again =
        Run({"lookup", "--offline", "--json", "--metadata", (Folder / "disc.json").string()}, cue);
    ASSERT_EQ(again.Status(), 0) << again.err;
    const QJsonObject metadata = Json(again.out).value("metadata").toObject();
    EXPECT_EQ(metadata.value("source").toString(), "file");
    EXPECT_EQ(metadata.value("album").toString(), "My Own Album");
}

// The two discs of one release, ripped into one folder: each file is named and tagged from
// the release, the names carry the disc's number ("2-01 - ..."), each disc keeps its own cue sheet
// and log, the cover is saved and embedded, and a re-rip offline finds it all in the cache.
TEST_F(LookupCli, RipNamesAndTagsBothDiscsOfAReleaseApartWithTheirCover) {
    const std::string discs[] = {ToneDisc("disc1", 2.0), ToneDisc("disc2", 2.5)};
    QString ids[2];
    for (int d = 0; d < 2; ++d) {
        ids[d] = Json(Run({"lookup", "--offline", "--json"}, discs[d]).out)
                     .value("ids")
                     .toObject()
                     .value("musicBrainz")
                     .toString();
        ASSERT_EQ(ids[d].size(), 28);
    }
    const QString mbid = QStringLiteral("22222222-2222-2222-2222-222222222222");
    QJsonArray media;
    for (int d = 0; d < 2; ++d) {
        QJsonArray tracks;
        for (int i = 1; i <= 3; ++i)
            tracks.append(QJsonObject{
                {"id", QStringLiteral("d%1-rt%2").arg(d + 1).arg(i)},
                {"position", i},
                {"title", QStringLiteral("Song %1.%2").arg(d + 1).arg(i)},
                {"recording", QJsonObject{{"id", QStringLiteral("d%1-rec%2").arg(d + 1).arg(i)}}}});
        media.append(QJsonObject{{"position", d + 1},
                                 {"track-count", 3},
                                 {"tracks", tracks},
                                 {"discs", QJsonArray{QJsonObject{{"id", ids[d]}}}}});
    }
    QJsonObject release{{"id", mbid},
                        {"title", "Double Album"},
                        {"date", "1999-09-09"},
                        {"media", media},
                        {"artist-credit", QJsonArray{QJsonObject{{"name", "Two Disc Band"}}}}};
    const QByteArray jpeg("\xFF\xD8\xFF\xE0 a small front cover \xFF\xD9", 25);
    fakeserver::TServer server([&](const QString& target) {
        if (target.startsWith("/ws/2/discid/"))
            return fakeserver::Json(
                QJsonDocument(QJsonObject{{"releases", QJsonArray{release}}}).toJson());
        if (target == "/release/" + mbid + "/front-500") // the archive redirects
            return fakeserver::TReply{307, {}, {{"Location", "/images/front.jpg"}}, false};
        if (target == "/images/front.jpg")
            return fakeserver::TReply{200, jpeg, {{"Content-Type", "image/jpeg"}}, false};
        return fakeserver::TReply{404, "not here", {}, false};
    });
    const std::string base = server.Base().toStdString();
    const fs::path out = Folder / "music";
    for (int d = 0; d < 2; ++d) {
        const childprocess::TOutcome rip =
            Run({"rip", "--format", "flac", "--json", out.string()}, discs[d], base, base);
        ASSERT_EQ(rip.Status(), 0) << rip.err;
        const QJsonObject metadata = Json(rip.out).value("metadata").toObject();
        EXPECT_EQ(metadata.value("source").toString(), "MusicBrainz");
        EXPECT_EQ(metadata.value("releaseId").toString(), mbid);
        EXPECT_EQ(metadata.value("discNumber").toInt(), d + 1);
    }
    const fs::path album = out / "Two Disc Band - Double Album";
    for (int d = 1; d <= 2; ++d) {
        const std::string prefix = std::to_string(d) + "-";
        const std::string disc = " (disc " + std::to_string(d) + ")";
        EXPECT_TRUE(fs::exists(album / ("Two Disc Band - Double Album" + disc + ".cue")));
        const std::string log = childprocess::ReadFile(album / ("rip" + disc + ".log"));
        EXPECT_NE(log.find("Metadata: MusicBrainz, release " + mbid.toStdString() + ", disc " +
                           std::to_string(d) + " of 2"),
                  std::string::npos)
            << log;
        for (int i = 1; i <= 3; ++i) {
            const fs::path file = album / (prefix + "0" + std::to_string(i) + " - Song " +
                                           std::to_string(d) + "." + std::to_string(i) + ".flac");
            ASSERT_TRUE(fs::exists(file)) << file << Listing(out);
            TagLib::FLAC::File flac(file.c_str());
            ASSERT_TRUE(flac.isValid() && flac.xiphComment()) << file;
            const TagLib::Ogg::FieldListMap fields = flac.xiphComment()->fieldListMap();
            auto field = [&fields](const char* key) {
                return fields.contains(key) ? fields[key].front().to8Bit(true) : std::string();
            };
            EXPECT_EQ(field("ALBUM"), "Double Album");
            EXPECT_EQ(field("ARTIST"), "Two Disc Band");
            EXPECT_EQ(field("DATE"), "1999-09-09");
            EXPECT_EQ(field("DISCNUMBER"), std::to_string(d));
            EXPECT_EQ(field("DISCTOTAL"), "2");
            EXPECT_EQ(field("TRACKTOTAL"), "3");
            EXPECT_EQ(field("MUSICBRAINZ_ALBUMID"), mbid.toStdString());
            EXPECT_EQ(field("MUSICBRAINZ_DISCID"), ids[d - 1].toStdString());
            ASSERT_EQ(flac.pictureList().size(), 1u);
            EXPECT_EQ(flac.pictureList().front()->data(),
                      TagLib::ByteVector(jpeg.constData(), static_cast<unsigned>(jpeg.size())));
        }
    }
    EXPECT_EQ(childprocess::ReadFile(album / "cover.jpg"), jpeg.toStdString());

    // Offline, the cache answers: an MP3 rip gets the same names, the ids as TXXX frames and
    // the cover as APIC; --no-cover leaves the cover out.
    for (bool cover : {true, false}) {
        const fs::path again = Folder / (cover ? "again" : "again-no-cover");
        std::vector<std::string> args = {"rip", "--offline", "--format", "mp3", again.string()};
        if (!cover)
            args.insert(args.begin() + 1, "--no-cover");
        const childprocess::TOutcome rip = Run(args, discs[0]);
        ASSERT_EQ(rip.Status(), 0) << rip.err;
        EXPECT_EQ(rip.err.find("MusicBrainz:"), std::string::npos) << rip.err;
        const fs::path file = again / "Two Disc Band - Double Album" / "1-01 - Song 1.1.mp3";
        TagLib::MPEG::File mp3(file.c_str());
        ASSERT_TRUE(mp3.isValid() && mp3.ID3v2Tag()) << file;
        const TagLib::ID3v2::FrameListMap& frames = mp3.ID3v2Tag()->frameListMap();
        EXPECT_EQ(mp3.ID3v2Tag()->title().to8Bit(true), "Song 1.1");
        EXPECT_TRUE(frames.contains("TXXX"));
        EXPECT_NE(mp3.ID3v2Tag()->properties()["MUSICBRAINZ_ALBUMID"].toString().to8Bit(true), "");
        EXPECT_EQ(frames.contains("APIC"), cover);
        EXPECT_EQ(fs::exists(again / "Two Disc Band - Double Album" / "cover.jpg"), cover);
    }
}

TEST_F(LookupCli, BadArgumentsAreRefusedOnceBeforeTheDiscIsRead) {
    childprocess::WriteFile(Folder / "bad.json", "{\"tracks\": 3}");
    const struct {
        std::vector<std::string> Args;
        std::string Error;
    } cases[] = {
        {{"lookup", "--release", "not-an-id"}, "--release needs a MusicBrainz release id"},
        {{"lookup", "--gnudb", "nobody"}, "--gnudb needs your e-mail address"},
        {{"lookup", "--metadata", (Folder / "bad.json").string()},
         "--metadata: " + (Folder / "bad.json").string() + ": tracks is not a list"},
        {{"lookup", "--metadata", (Folder / "none.json").string()}, "--metadata: "},
        {{"lookup", "--frobnicate"}, "unknown option '--frobnicate'"},
        {{"rip", "--release", "x", "out"}, "--release needs a MusicBrainz release id"},
        {{"rip", "--template", "%A/%q", "out"}, "--template: the template has an unknown field"},
    };
    for (const auto& c : cases) {
        const childprocess::TOutcome run = Run(c.Args, "");
        EXPECT_EQ(run.Status(), 2) << c.Error;
        EXPECT_NE(run.err.find("tonvale-cli: " + c.Error), std::string::npos) << run.err;
        EXPECT_EQ(childprocess::Count(run.err, "tonvale-cli: "), 1u) << run.err;
    }
    const childprocess::TOutcome empty = Run({"lookup"}, (Folder / "missing.cue").string());
    EXPECT_EQ(empty.Status(), 1) << empty.err;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
