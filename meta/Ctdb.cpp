#include "Ctdb.h"

#include <QCryptographicHash>
#include <QStringList>
#include <QUrlQuery>
#include <QXmlStreamReader>

#include <cstdio>

namespace meta {
namespace {

bool ParseHex32(QStringView text, uint32_t& value) {
    bool ok = false;
    const qulonglong v = text.toULongLong(&ok, 16);
    if (!ok || text.isEmpty() || text.size() > 8)
        return false;
    value = static_cast<uint32_t>(v);
    return true;
}

bool ReadEntry(const QXmlStreamAttributes& a, TCtdbEntry& entry, QString& error) {
    entry.Id = a.value(QLatin1String("id")).toString();
    bool ok = false;
    entry.Confidence = a.value(QLatin1String("confidence")).toInt(&ok);
    if (!ok || entry.Confidence < 0 || !ParseHex32(a.value(QLatin1String("crc32")), entry.Crc)) {
        error = QStringLiteral("entry %1 has no valid crc32 or confidence").arg(entry.Id);
        return false;
    }
    const QString crcs = a.value(QLatin1String("trackcrcs")).toString();
    for (const QString& crc : crcs.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        uint32_t value = 0;
        if (!ParseHex32(crc, value)) {
            error = QStringLiteral("entry %1 has a track CRC \"%2\" that is no number")
                        .arg(entry.Id, crc.left(16));
            return false;
        }
        entry.TrackCrcs.push_back(value);
    }
    return true;
}

// One <musicbrainz> element (the answer names every metadata source so) and its children.
void ReadRelease(QXmlStreamReader& xml, const std::vector<int>& numbers, TDiscMeta& meta) {
    const QXmlStreamAttributes a = xml.attributes();
    meta.Source = QStringLiteral("CTDB");
    meta.Artist = a.value(QLatin1String("artist")).toString();
    meta.Album = a.value(QLatin1String("album")).toString();
    meta.Date = a.value(QLatin1String("releasedate")).toString();
    if (meta.Date.isEmpty())
        meta.Date = a.value(QLatin1String("year")).toString();
    meta.Barcode = a.value(QLatin1String("barcode")).toString();
    meta.Genre = a.value(QLatin1String("genre")).toString();
    meta.DiscNumber = a.value(QLatin1String("discnumber")).toInt();
    meta.DiscTotal = a.value(QLatin1String("disccount")).toInt();
    size_t track = 0;
    while (xml.readNextStartElement()) {
        const QXmlStreamAttributes c = xml.attributes();
        if (xml.name() == QLatin1String("track")) {
            if (track < numbers.size()) {
                TTrackMeta t;
                t.Number = numbers[track];
                t.Title = c.value(QLatin1String("name")).toString();
                t.Artist = c.value(QLatin1String("artist")).toString();
                meta.Tracks.push_back(std::move(t));
            }
            ++track;
        } else if (xml.name() == QLatin1String("label") && meta.Label.isEmpty()) {
            meta.Label = c.value(QLatin1String("name")).toString();
            meta.CatalogNumber = c.value(QLatin1String("catno")).toString();
        }
        xml.skipCurrentElement();
    }
}

} // namespace

QString CtdbBase() {
    return ServiceBase("TONVALE_CTDB_URL", kCtdbService);
}

QString CtdbTocId(const TMetaToc& toc) {
    std::vector<int32_t> starts;
    for (const TMetaTocTrack& t : toc.Tracks)
        if (t.Audio)
            starts.push_back(t.Lba);
    if (starts.empty())
        return {};
    QByteArray text;
    char part[16];
    for (size_t i = 1; i < starts.size(); ++i) {
        std::snprintf(part, sizeof part, "%08X", static_cast<uint32_t>(starts[i] - starts[0]));
        text += part;
    }
    std::snprintf(part, sizeof part, "%08X", static_cast<uint32_t>(toc.AudioLeadOut() - starts[0]));
    text += part;
    text = text.leftJustified(800, '0', true);
    QByteArray id = QCryptographicHash::hash(text, QCryptographicHash::Sha1).toBase64();
    id.replace('+', '.').replace('/', '_').replace('=', '-');
    return QString::fromLatin1(id);
}

QString CtdbTocText(const TMetaToc& toc) {
    QStringList parts;
    for (const TMetaTocTrack& t : toc.Tracks)
        parts << (t.Audio ? QString() : QStringLiteral("-")) + QString::number(t.Lba);
    parts << QString::number(toc.LeadOut);
    return parts.join(QLatin1Char(':'));
}

QUrl CtdbLookupUrl(const QString& base, const TMetaToc& toc, const QString& metadata) {
    QUrl url(base + QStringLiteral("/lookup2.php"));
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("version"), QStringLiteral("3"));
    query.addQueryItem(QStringLiteral("ctdb"), QStringLiteral("1"));
    query.addQueryItem(QStringLiteral("fuzzy"), QStringLiteral("0"));
    query.addQueryItem(QStringLiteral("metadata"), metadata);
    query.addQueryItem(QStringLiteral("toc"), CtdbTocText(toc));
    url.setQuery(query);
    return url;
}

bool ParseCtdbAnswer(const QByteArray& body, const TMetaToc& toc, TCtdbAnswer& answer,
                     QString& error) {
    answer = {};
    const std::vector<int> numbers = toc.AudioNumbers();
    QXmlStreamReader xml(body);
    if (!xml.readNextStartElement() || xml.name() != QLatin1String("ctdb")) {
        error = xml.hasError() ? QStringLiteral("the answer is not XML: ") + xml.errorString()
                               : QStringLiteral("the answer is not a CTDB answer");
        return false;
    }
    while (xml.readNextStartElement()) {
        if (xml.name() == QLatin1String("entry")) {
            TCtdbEntry entry;
            if (!ReadEntry(xml.attributes(), entry, error))
                return false;
            answer.Entries.push_back(std::move(entry));
            xml.skipCurrentElement();
        } else if (xml.name() == QLatin1String("musicbrainz")) {
            TDiscMeta meta;
            ReadRelease(xml, numbers, meta);
            if (!meta.Empty())
                answer.Releases.push_back(std::move(meta));
        } else {
            xml.skipCurrentElement();
        }
    }
    if (xml.hasError()) {
        error = QStringLiteral("the answer is not XML: ") + xml.errorString();
        answer = {};
        return false;
    }
    return true;
}

bool LookUpCtdbMetadata(TMetaHttp& http, const TMetaToc& toc, TDiscMeta& meta, QString& note) {
    note.clear();
    const QUrl url = CtdbLookupUrl(CtdbBase(), toc, QStringLiteral("fast"));
    const QString key =
        QStringLiteral("ctdb ") + url.path() + QLatin1Char('?') + url.query(QUrl::FullyEncoded);
    const THttpAnswer a = http.Get(url, key);
    if (a.Kind == THttpAnswer::akHttp && a.Status == 404)
        return false;
    if (!a.Ok()) {
        note = QStringLiteral("CTDB: ") + a.Describe();
        return false;
    }
    TCtdbAnswer answer;
    QString error;
    if (!ParseCtdbAnswer(a.Body, toc, answer, error)) {
        note = QStringLiteral("CTDB: ") + error;
        return false;
    }
    if (answer.Releases.empty())
        return false;
    meta = answer.Releases.front();
    return true;
}

} // namespace meta
