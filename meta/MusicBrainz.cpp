#include "MusicBrainz.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QRegularExpression>
#include <QUrlQuery>

#include <algorithm>

namespace meta {

namespace {

constexpr int32_t kLeadIn = 150;
const char* const kIncludes = "recordings+artist-credits+labels+release-groups+isrcs";

// "Artist A feat. Artist B" from an artist-credit array, and the first artist's id.
QString Credit(const QJsonArray& credits, QString* firstId = nullptr) {
    QString text;
    for (const QJsonValue& v : credits) {
        const QJsonObject c = v.toObject();
        const QJsonObject artist = c.value(QLatin1String("artist")).toObject();
        QString name = c.value(QLatin1String("name")).toString();
        if (name.isEmpty())
            name = artist.value(QLatin1String("name")).toString();
        text += name + c.value(QLatin1String("joinphrase")).toString();
        if (firstId && firstId->isEmpty())
            *firstId = artist.value(QLatin1String("id")).toString();
    }
    return text;
}

bool MediumHasDisc(const QJsonObject& medium, const QString& discId) {
    const QJsonArray discs = medium.value(QLatin1String("discs")).toArray();
    return std::any_of(discs.begin(), discs.end(), [&](const QJsonValue& d) {
        return d.toObject().value(QLatin1String("id")).toString() == discId;
    });
}

int MediumTrackCount(const QJsonObject& medium) {
    const QJsonValue count = medium.value(QLatin1String("track-count"));
    if (count.isDouble())
        return count.toInt();
    return static_cast<int>(medium.value(QLatin1String("tracks")).toArray().size());
}

// The medium of the release that is this disc; found says how it was found:
// 2 the medium carries the disc id, 1 the same track count, 0 neither (the first).
QJsonObject ChooseMedium(const QJsonArray& media, const QString& discId, int audioTracks,
                         int& found) {
    found = 0;
    for (const QJsonValue& m : media)
        if (MediumHasDisc(m.toObject(), discId)) {
            found = 2;
            return m.toObject();
        }
    for (const QJsonValue& m : media)
        if (MediumTrackCount(m.toObject()) == audioTracks) {
            found = 1;
            return m.toObject();
        }
    return media.isEmpty() ? QJsonObject() : media.first().toObject();
}

TCandidate ReleaseCandidate(const QJsonObject& release, const QString& discId, const TMetaToc& toc,
                            int& found) {
    TCandidate c;
    TDiscMeta& m = c.Meta;
    m.Source = QStringLiteral("MusicBrainz");
    m.ReleaseId = release.value(QLatin1String("id")).toString();
    m.Album = release.value(QLatin1String("title")).toString();
    m.Date = release.value(QLatin1String("date")).toString();
    m.Barcode = release.value(QLatin1String("barcode")).toString();
    m.Artist = Credit(release.value(QLatin1String("artist-credit")).toArray(), &m.AlbumArtistId);
    m.ReleaseGroupId = release.value(QLatin1String("release-group"))
                           .toObject()
                           .value(QLatin1String("id"))
                           .toString();
    for (const QJsonValue& v : release.value(QLatin1String("label-info")).toArray()) {
        const QJsonObject info = v.toObject();
        if (m.Label.isEmpty())
            m.Label = info.value(QLatin1String("label"))
                          .toObject()
                          .value(QLatin1String("name"))
                          .toString();
        if (m.CatalogNumber.isEmpty())
            m.CatalogNumber = info.value(QLatin1String("catalog-number")).toString();
    }
    const std::vector<int> numbers = toc.AudioNumbers();
    const QJsonArray media = release.value(QLatin1String("media")).toArray();
    const QJsonObject medium = ChooseMedium(media, discId, static_cast<int>(numbers.size()), found);
    m.DiscTotal = static_cast<int>(media.size());
    m.DiscNumber = medium.value(QLatin1String("position")).toInt();
    if (found == 2)
        m.DiscId = discId;
    c.TrackCount = MediumTrackCount(medium);
    QJsonArray tracks = medium.value(QLatin1String("tracks")).toArray();
    std::vector<QJsonObject> ordered;
    for (const QJsonValue& t : tracks)
        ordered.push_back(t.toObject());
    std::stable_sort(ordered.begin(), ordered.end(),
                     [](const QJsonObject& a, const QJsonObject& b) {
                         return a.value(QLatin1String("position")).toInt() <
                                b.value(QLatin1String("position")).toInt();
                     });
    for (size_t i = 0; i < ordered.size() && i < numbers.size(); ++i) {
        const QJsonObject& t = ordered[i];
        const QJsonObject recording = t.value(QLatin1String("recording")).toObject();
        TTrackMeta track;
        track.Number = numbers[i];
        track.ReleaseTrackId = t.value(QLatin1String("id")).toString();
        track.RecordingId = recording.value(QLatin1String("id")).toString();
        track.Title = t.value(QLatin1String("title")).toString();
        if (track.Title.isEmpty())
            track.Title = recording.value(QLatin1String("title")).toString();
        QJsonArray credit = t.value(QLatin1String("artist-credit")).toArray();
        if (credit.isEmpty())
            credit = recording.value(QLatin1String("artist-credit")).toArray();
        track.Artist = Credit(credit, &track.ArtistId);
        if (track.Artist.isEmpty()) {
            track.Artist = m.Artist;
            track.ArtistId = m.AlbumArtistId;
        }
        const QJsonArray isrcs = recording.value(QLatin1String("isrcs")).toArray();
        if (!isrcs.isEmpty())
            track.Isrc = isrcs.first().toString();
        m.Tracks.push_back(track);
    }
    return c;
}

TCandidate StubCandidate(const QJsonObject& stub, const TMetaToc& toc) {
    TCandidate c;
    c.Rank = mrStub;
    TDiscMeta& m = c.Meta;
    m.Source = QStringLiteral("MusicBrainz");
    m.DiscId = stub.value(QLatin1String("id")).toString();
    m.Album = stub.value(QLatin1String("title")).toString();
    m.Artist = stub.value(QLatin1String("artist")).toString();
    m.Barcode = stub.value(QLatin1String("barcode")).toString();
    const QJsonArray tracks = stub.value(QLatin1String("tracks")).toArray();
    c.TrackCount = static_cast<int>(tracks.size());
    const std::vector<int> numbers = toc.AudioNumbers();
    for (qsizetype i = 0; i < tracks.size() && static_cast<size_t>(i) < numbers.size(); ++i) {
        const QJsonObject t = tracks[i].toObject();
        TTrackMeta track;
        track.Number = numbers[static_cast<size_t>(i)];
        track.Title = t.value(QLatin1String("title")).toString();
        track.Artist = t.value(QLatin1String("artist")).toString();
        if (track.Artist.isEmpty())
            track.Artist = m.Artist;
        m.Tracks.push_back(track);
    }
    return c;
}

bool ParseObject(const QByteArray& json, QJsonObject& object, QString& error) {
    QJsonParseError parse;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &parse);
    if (parse.error != QJsonParseError::NoError) {
        error = QStringLiteral("the answer is not valid JSON (%1 at byte %2)")
                    .arg(parse.errorString())
                    .arg(parse.offset);
        return false;
    }
    if (!doc.isObject()) {
        error = QStringLiteral("the answer is not a JSON object");
        return false;
    }
    object = doc.object();
    return true;
}

QString EarliestKey(const QString& date) {
    return date.isEmpty() ? QStringLiteral("~") : date; // no date sorts last
}

} // namespace

QString MusicBrainzToc(const TMetaToc& toc) {
    QStringList parts{QString::number(toc.FirstAudio()), QString::number(toc.LastAudio()),
                      QString::number(toc.AudioLeadOut() + kLeadIn)};
    for (const TMetaTocTrack& t : toc.Tracks)
        if (t.Audio)
            parts << QString::number(t.Lba + kLeadIn);
    return parts.join(QLatin1Char('+'));
}

QUrl DiscIdUrl(const QString& base, const QString& discId, const TMetaToc& toc) {
    // The "+" of toc and inc are separators MusicBrainz expects as they stand.
    // "-": no disc id, the TOC alone.
    return QUrl(base + QStringLiteral("/ws/2/discid/") +
                    (discId.isEmpty() ? QStringLiteral("-") : discId) + QStringLiteral("?toc=") +
                    MusicBrainzToc(toc) + QStringLiteral("&inc=") + QLatin1String(kIncludes) +
                    QStringLiteral("&fmt=json"),
                QUrl::StrictMode);
}

QUrl ReleaseUrl(const QString& base, const QString& releaseId) {
    return QUrl(base + QStringLiteral("/ws/2/release/") + releaseId + QStringLiteral("?inc=") +
                    QLatin1String(kIncludes) + QStringLiteral("+discids&fmt=json"),
                QUrl::StrictMode);
}

QUrl CoverUrl(const QString& base, const QString& releaseId) {
    return QUrl(base + QStringLiteral("/release/") + releaseId + QStringLiteral("/front-500"));
}

bool ValidMbid(const QString& text) {
    static const QRegularExpression pattern(
        QStringLiteral("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$"));
    return pattern.match(text).hasMatch();
}

bool ParseDiscIdAnswer(const QByteArray& json, const QString& discId, const TMetaToc& toc,
                       std::vector<TCandidate>& candidates, QString& error) {
    candidates.clear();
    QJsonObject answer;
    if (!ParseObject(json, answer, error))
        return false;
    const QJsonValue releases = answer.value(QLatin1String("releases"));
    if (releases.isArray()) {
        // A disc id hit names the disc ("id"); a TOC match is a bare release list.
        const bool discHit = answer.value(QLatin1String("id")).toString() == discId;
        for (const QJsonValue& r : releases.toArray()) {
            int found = 0;
            TCandidate c = ReleaseCandidate(r.toObject(), discId, toc, found);
            const bool sameCount = c.TrackCount == toc.AudioCount();
            c.Rank = discHit && sameCount ? mrDiscId : mrToc;
            if (c.Rank == mrDiscId && c.Meta.DiscId.isEmpty())
                c.Meta.DiscId = discId;
            candidates.push_back(std::move(c));
        }
        return true;
    }
    if (answer.value(QLatin1String("tracks")).isArray()) {
        candidates.push_back(StubCandidate(answer, toc));
        return true;
    }
    error = QStringLiteral("the answer holds neither releases nor a CD stub");
    return false;
}

bool ParseReleaseAnswer(const QByteArray& json, const QString& discId, const TMetaToc& toc,
                        TCandidate& candidate, QString& error) {
    QJsonObject answer;
    if (!ParseObject(json, answer, error))
        return false;
    if (!answer.value(QLatin1String("media")).isArray()) {
        error = QStringLiteral("the answer is not a release");
        return false;
    }
    int found = 0;
    candidate = ReleaseCandidate(answer, discId, toc, found);
    candidate.Rank = mrChosen;
    return true;
}

int ChooseCandidate(const std::vector<TCandidate>& candidates, const QString& cdTextAlbum) {
    int best = -1;
    auto titleMiss = [&](const TCandidate& c) {
        return cdTextAlbum.isEmpty() || c.Meta.Album.compare(cdTextAlbum, Qt::CaseInsensitive) != 0;
    };
    for (size_t i = 0; i < candidates.size(); ++i) {
        if (best < 0) {
            best = static_cast<int>(i);
            continue;
        }
        const TCandidate& a = candidates[i];
        const TCandidate& b = candidates[static_cast<size_t>(best)];
        const auto ka = std::make_tuple(a.Rank, titleMiss(a), EarliestKey(a.Meta.Date));
        const auto kb = std::make_tuple(b.Rank, titleMiss(b), EarliestKey(b.Meta.Date));
        if (ka < kb)
            best = static_cast<int>(i);
    }
    return best;
}

} // namespace meta
