// The tags writer on real files: for each container a second of a tone encoded by the
// ffmpeg program, tagged under a hidden name without its suffix (as the rip's work
// files are), then read back by ffprobe (every tag, the cover as the attached picture,
// its bytes) and by TagLib's property map (the names tag readers use for the
// MusicBrainz ids).
#include "MetaTags.h"

#include <QByteArray>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <taglib/fileref.h>
#include <taglib/tpropertymap.h>

#include <gtest/gtest.h>

namespace {

bool Have(const char* program) {
    QProcess p;
    p.start(QString::fromLatin1(program), {QStringLiteral("-version")});
    return p.waitForFinished(10000) && p.exitCode() == 0;
}

bool RunFfmpeg(const QStringList& args) {
    QProcess p;
    p.start(QStringLiteral("ffmpeg"), QStringList{"-v", "error", "-y"} + args);
    return p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

QJsonObject Probe(const QString& path) {
    QProcess p;
    p.start(QStringLiteral("ffprobe"),
            {"-v", "error", "-show_format", "-show_streams", "-of", "json", path});
    p.waitForFinished(30000);
    return QJsonDocument::fromJson(p.readAllStandardOutput()).object();
}

// The tags of the file and of its audio stream, by lower-case name.
QMap<QString, QString> ProbedTags(const QJsonObject& probe) {
    QMap<QString, QString> tags;
    auto add = [&](const QJsonObject& o) {
        for (auto it = o.begin(); it != o.end(); ++it)
            tags[it.key().toLower()] = it.value().toString();
    };
    add(probe.value("format").toObject().value("tags").toObject());
    for (const QJsonValue& s : probe.value("streams").toArray())
        if (s.toObject().value("codec_type").toString() == "audio")
            add(s.toObject().value("tags").toObject());
    return tags;
}

meta::TDiscMeta Disc() {
    meta::TDiscMeta d;
    d.Album = QStringLiteral("Ålbum Ünïcode");
    d.Artist = QStringLiteral("The Band");
    d.Date = QStringLiteral("1997-03-01");
    d.Genre = QStringLiteral("Synthpop");
    d.Label = QStringLiteral("The Label");
    d.CatalogNumber = QStringLiteral("CAT 1");
    d.Barcode = QStringLiteral("5012345678900");
    d.DiscNumber = 1;
    d.DiscTotal = 2;
    d.ReleaseId = QStringLiteral("11111111-1111-1111-1111-111111111111");
    d.ReleaseGroupId = QStringLiteral("22222222-2222-2222-2222-222222222222");
    d.AlbumArtistId = QStringLiteral("33333333-3333-3333-3333-333333333333");
    d.DiscId = QStringLiteral("xXnIuG1gbyJoB0mPdrEYkjINwVM-");
    for (int n = 1; n <= 3; ++n)
        d.Tracks.push_back({n, QStringLiteral("Song %1").arg(n), QStringLiteral("Singer %1").arg(n),
                            QStringLiteral("GBAAA970000%1").arg(n),
                            QStringLiteral("44444444-4444-4444-4444-44444444444%1").arg(n),
                            QStringLiteral("55555555-5555-5555-5555-55555555555%1").arg(n),
                            QStringLiteral("66666666-6666-6666-6666-66666666666%1").arg(n)});
    return d;
}

struct TFormat {
    const char* Suffix;
    QStringList Codec;
    const char* TrackTag; // what ffprobe shows for track 2 of 3
    const char* DiscTag;  // and for disc 1 of 2
};

TEST(MetaTags, EveryFormatCarriesEveryTagAndTheFrontCover) {
    if (!Have("ffmpeg") || !Have("ffprobe"))
        GTEST_SKIP() << "ffmpeg and ffprobe (Debian package ffmpeg) are needed";
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const QString coverPath = folder.filePath("cover.jpg");
    ASSERT_TRUE(
        RunFfmpeg({"-f", "lavfi", "-i", "color=c=red:s=64x48", "-frames:v", "1", coverPath}));
    QFile coverFile(coverPath);
    ASSERT_TRUE(coverFile.open(QIODevice::ReadOnly));
    const meta::TCover cover{coverFile.readAll(), QStringLiteral("image/jpeg")};

    const TFormat formats[] = {
        {"mp3", {"-c:a", "libmp3lame", "-b:a", "64k", "-ar", "44100"}, "2/3", "1/2"},
        {"flac", {"-c:a", "flac"}, "2", "1"},
        {"ogg", {"-c:a", "libvorbis"}, "2", "1"},
        {"opus", {"-c:a", "libopus", "-b:a", "48k", "-ar", "48000"}, "2", "1"},
        {"m4a", {"-c:a", "aac", "-b:a", "64k"}, "2/3", "1/2"},
        {"wma", {"-c:a", "wmav2", "-b:a", "64k"}, "2", "1/2"},
    };
    for (const TFormat& f : formats) {
        const QString suffix = QString::fromLatin1(f.Suffix);
        const QString made = folder.filePath("tone." + suffix);
        ASSERT_TRUE(RunFfmpeg(
            QStringList{"-f", "lavfi", "-i", "sine=frequency=440:duration=1", "-ac", "2"} +
            f.Codec + QStringList{made}))
            << f.Suffix;
        // Tagged as the rip's hidden work file, whose name has no suffix.
        const QString work = folder.filePath(".tone." + suffix + ".Xy12Ab");
        ASSERT_TRUE(QFile::rename(made, work));
        QString error;
        const meta::TTagKind kind = meta::TagKindForSuffix(suffix);
        // Twice: the second writing replaces the first, nothing is doubled.
        meta::TReplayGain gain;
        gain.Track = gain.Album = true;
        gain.TrackGain = -6.54;
        gain.TrackPeak = 0.988553;
        gain.AlbumGain = 1.5;
        gain.AlbumPeak = 0.999;
        for (int i = 0; i < 2; ++i)
            ASSERT_TRUE(meta::WriteTags(work, kind, Disc(), 2, cover, error, gain))
                << f.Suffix << ": " << error.toStdString();
        ASSERT_TRUE(QFile::rename(work, made));

        const QJsonObject probe = Probe(made);
        const QMap<QString, QString> tags = ProbedTags(probe);
        const std::string where = f.Suffix;
        EXPECT_EQ(tags.value("title"), "Song 2") << where;
        EXPECT_EQ(tags.value("artist"), "Singer 2") << where;
        EXPECT_EQ(tags.value("album"), QStringLiteral("Ålbum Ünïcode")) << where;
        EXPECT_EQ(
            tags.value("album_artist", tags.value("albumartist", tags.value("wm/albumartist"))),
            "The Band")
            << where;
        EXPECT_TRUE(tags.value("date", tags.value("wm/year")).startsWith("1997")) << where;
        EXPECT_EQ(tags.value("genre"), "Synthpop") << where;
        EXPECT_EQ(tags.value("track", tags.value("wm/tracknumber", tags.value("tracknumber"))),
                  f.TrackTag)
            << where;
        EXPECT_EQ(tags.value("disc", tags.value("wm/partofset", tags.value("discnumber"))),
                  f.DiscTag)
            << where;
        const QString albumId =
            tags.value("musicbrainz album id",
                       tags.value("musicbrainz_albumid", tags.value("musicbrainz/album id")));
        EXPECT_EQ(albumId, "11111111-1111-1111-1111-111111111111") << where;
        // ReplayGain; Opus's R128 gains in 1/256 dB relative to -23 LUFS.
        if (suffix == "opus") {
            EXPECT_EQ(tags.value("r128_track_gain"), "-2954") << where; // (-6.54 - 5) * 256
            EXPECT_EQ(tags.value("r128_album_gain"), "-896") << where;
            EXPECT_FALSE(tags.contains("replaygain_track_gain")) << where;
        } else {
            EXPECT_EQ(tags.value("replaygain_track_gain"), "-6.54 dB") << where;
            EXPECT_EQ(tags.value("replaygain_track_peak"), "0.988553") << where;
            EXPECT_EQ(tags.value("replaygain_album_gain"), "1.50 dB") << where;
            EXPECT_EQ(tags.value("replaygain_album_peak"), "0.999000") << where;
            EXPECT_EQ(tags.value("replaygain_reference_loudness"), "-18.00 LUFS") << where;
        }

        // The cover: one attached picture, the bytes given.
        int pictures = 0;
        for (const QJsonValue& s : probe.value("streams").toArray()) {
            const QJsonObject stream = s.toObject();
            if (stream.value("disposition").toObject().value("attached_pic").toInt() != 1)
                continue;
            ++pictures;
            EXPECT_EQ(stream.value("codec_name").toString(), "mjpeg") << where;
            EXPECT_EQ(stream.value("width").toInt(), 64) << where;
        }
        EXPECT_EQ(pictures, 1) << where;
        const QString picture = folder.filePath(suffix + "-cover.jpg");
        ASSERT_TRUE(RunFfmpeg(
            {"-i", made, "-map", "0:v", "-c", "copy", "-frames:v", "1", "-f", "image2", picture}))
            << where;
        QFile back(picture);
        ASSERT_TRUE(back.open(QIODevice::ReadOnly));
        EXPECT_EQ(back.readAll(), cover.Bytes) << where;

        // TagLib's names: what tag readers take these fields for.
        TagLib::FileRef ref(QFile::encodeName(made).constData());
        ASSERT_FALSE(ref.isNull()) << where;
        const TagLib::PropertyMap props = ref.file()->properties();
        const struct {
            const char* Key;
            const char* Value;
        } expected[] = {
            {"TITLE", "Song 2"},
            {"ALBUMARTIST", "The Band"},
            {"ISRC", "GBAAA9700002"},
            {"MUSICBRAINZ_ALBUMID", "11111111-1111-1111-1111-111111111111"},
            {"MUSICBRAINZ_RELEASEGROUPID", "22222222-2222-2222-2222-222222222222"},
            {"MUSICBRAINZ_ALBUMARTISTID", "33333333-3333-3333-3333-333333333333"},
            {"MUSICBRAINZ_ARTISTID", "66666666-6666-6666-6666-666666666662"},
            {"MUSICBRAINZ_TRACKID", "44444444-4444-4444-4444-444444444442"},
            {"MUSICBRAINZ_RELEASETRACKID", "55555555-5555-5555-5555-555555555552"},
            {"MUSICBRAINZ_DISCID", "xXnIuG1gbyJoB0mPdrEYkjINwVM-"},
            {"BARCODE", "5012345678900"},
            {"CATALOGNUMBER", "CAT 1"},
            {"LABEL", "The Label"},
        };
        for (const auto& e : expected) {
            auto it = props.find(e.Key);
            // TagLib 1.13 has no name of its own for the disc id in ID3 (TXXX "MusicBrainz
            // Disc Id") and MP4 (its freeform atom): ffprobe reads those.
            if (it == props.end() && std::string(e.Key) == "MUSICBRAINZ_DISCID") {
                EXPECT_EQ(tags.value("musicbrainz disc id", tags.value("musicbrainz/disc id")),
                          e.Value)
                    << where;
                continue;
            }
            ASSERT_NE(it, props.end()) << where << " lacks " << e.Key << "\n"
                                       << props.toString().to8Bit(true);
            EXPECT_EQ(it->second.size(), 1u) << where << " " << e.Key;
            EXPECT_EQ(it->second.front().to8Bit(true), e.Value) << where << " " << e.Key;
        }
    }
}

TEST(MetaTags, FileThatIsNotOfItsKindIsRefusedWithItsName) {
    QTemporaryDir folder;
    const QString path = folder.filePath("not-audio.mp3");
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("this is no audio file at all");
    file.close();
    QString error;
    for (meta::TTagKind kind : {meta::TTagKind::Flac, meta::TTagKind::OggVorbis,
                                meta::TTagKind::Opus, meta::TTagKind::Mp4, meta::TTagKind::Wma}) {
        EXPECT_FALSE(meta::WriteTags(path, kind, Disc(), 1, {}, error));
        EXPECT_TRUE(error.startsWith(path + ":")) << error.toStdString();
    }
    EXPECT_TRUE(meta::WriteTags(path, meta::TTagKind::None, Disc(), 1, {}, error)); // WAV
    EXPECT_FALSE(meta::WriteTags(folder.filePath("missing.flac"), meta::TTagKind::Flac, Disc(), 1,
                                 {}, error));
}

} // namespace
