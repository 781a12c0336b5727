#include "MetaJson.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>

#include <utility>

namespace meta {

namespace {

struct TField {
    const char* Key;
    QString TDiscMeta::*Field;
};
const TField kDiscFields[] = {
    {"album", &TDiscMeta::Album},
    {"artist", &TDiscMeta::Artist},
    {"date", &TDiscMeta::Date},
    {"genre", &TDiscMeta::Genre},
    {"label", &TDiscMeta::Label},
    {"catalogNumber", &TDiscMeta::CatalogNumber},
    {"barcode", &TDiscMeta::Barcode},
    {"releaseId", &TDiscMeta::ReleaseId},
    {"releaseGroupId", &TDiscMeta::ReleaseGroupId},
    {"albumArtistId", &TDiscMeta::AlbumArtistId},
    {"discId", &TDiscMeta::DiscId},
};

struct TTrackField {
    const char* Key;
    QString TTrackMeta::*Field;
};
const TTrackField kTrackFields[] = {
    {"title", &TTrackMeta::Title},
    {"artist", &TTrackMeta::Artist},
    {"isrc", &TTrackMeta::Isrc},
    {"recordingId", &TTrackMeta::RecordingId},
    {"releaseTrackId", &TTrackMeta::ReleaseTrackId},
    {"artistId", &TTrackMeta::ArtistId},
};

bool Text(const QJsonObject& o, const char* key, const QString& where, QString& out,
          QString& error) {
    const QJsonValue v = o.value(QLatin1String(key));
    if (v.isUndefined() || v.isNull())
        return true;
    if (!v.isString()) {
        error = QStringLiteral("%1%2 is not a text").arg(where, QLatin1String(key));
        return false;
    }
    out = v.toString().trimmed();
    return true;
}

bool Number(const QJsonObject& o, const char* key, const QString& where, int low, int high,
            int& out, QString& error) {
    const QJsonValue v = o.value(QLatin1String(key));
    if (v.isUndefined() || v.isNull())
        return true;
    const double d = v.toDouble(-1);
    if (!v.isDouble() || d != static_cast<int>(d) || d < low || d > high) {
        error = QStringLiteral("%1%2 is not a number from %3 to %4")
                    .arg(where, QLatin1String(key))
                    .arg(low)
                    .arg(high);
        return false;
    }
    out = static_cast<int>(d);
    return true;
}

} // namespace

QJsonObject MetaToJson(const TDiscMeta& meta) {
    QJsonObject o;
    for (const TField& f : kDiscFields)
        if (!(meta.*f.Field).isEmpty())
            o[QLatin1String(f.Key)] = meta.*f.Field;
    if (meta.DiscNumber > 0)
        o[QStringLiteral("discNumber")] = meta.DiscNumber;
    if (meta.DiscTotal > 0)
        o[QStringLiteral("discTotal")] = meta.DiscTotal;
    QJsonArray tracks;
    for (const TTrackMeta& t : meta.Tracks) {
        QJsonObject track{{QStringLiteral("number"), t.Number}};
        for (const TTrackField& f : kTrackFields)
            if (!(t.*f.Field).isEmpty())
                track[QLatin1String(f.Key)] = t.*f.Field;
        tracks.append(track);
    }
    o[QStringLiteral("tracks")] = tracks;
    return o;
}

bool MetaFromJson(const QByteArray& json, TDiscMeta& meta, QString& error) {
    meta = {};
    QJsonParseError parse;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &parse);
    if (parse.error != QJsonParseError::NoError) {
        error = QStringLiteral("not valid JSON (%1 at byte %2)")
                    .arg(parse.errorString())
                    .arg(parse.offset);
        return false;
    }
    if (!doc.isObject()) {
        error = QStringLiteral("not a JSON object");
        return false;
    }
    QJsonObject o = doc.object();
    if (o.value(QLatin1String("metadata")).isObject()) // a whole `lookup --json` document
        o = o.value(QLatin1String("metadata")).toObject();
    for (const TField& f : kDiscFields)
        if (!Text(o, f.Key, QString(), meta.*f.Field, error))
            return false;
    if (!Number(o, "discNumber", {}, 1, 999, meta.DiscNumber, error) ||
        !Number(o, "discTotal", {}, 1, 999, meta.DiscTotal, error))
        return false;
    const QJsonValue tracks = o.value(QLatin1String("tracks"));
    if (!tracks.isUndefined() && !tracks.isNull() && !tracks.isArray()) {
        error = QStringLiteral("tracks is not a list");
        return false;
    }
    const QJsonArray list = tracks.toArray();
    for (qsizetype i = 0; i < list.size(); ++i) {
        const QString where = QStringLiteral("tracks[%1].").arg(i);
        if (!list[i].isObject()) {
            error = QStringLiteral("tracks[%1] is not an object").arg(i);
            return false;
        }
        const QJsonObject t = list[i].toObject();
        TTrackMeta track;
        if (!Number(t, "number", where, 1, 99, track.Number, error))
            return false;
        for (const TTrackField& f : kTrackFields)
            if (!Text(t, f.Key, where, track.*f.Field, error))
                return false;
        meta.Tracks.push_back(std::move(track));
    }
    meta.Source = QStringLiteral("file");
    return true;
}

bool ReadMetadataFile(const QString& path, TDiscMeta& meta, QString& error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("%1: %2").arg(path, file.errorString());
        return false;
    }
    constexpr qint64 kMaxBytes = 4 << 20; // a disc's description is a few kilobytes
    const QByteArray bytes = file.read(kMaxBytes + 1);
    if (bytes.size() > kMaxBytes) {
        error = QStringLiteral("%1: larger than 4 MB, not a disc's description").arg(path);
        return false;
    }
    if (!MetaFromJson(bytes, meta, error)) {
        error = QStringLiteral("%1: %2").arg(path, error);
        return false;
    }
    return true;
}

} // namespace meta
