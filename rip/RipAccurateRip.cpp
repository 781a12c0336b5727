#include "RipAccurateRip.h"

#include <QJsonArray>
#include <QStringList>
#include <QUrl>

#include <algorithm>

namespace rip {

QString AccurateRipBase() {
    return meta::ServiceBase("TONVALE_ACCURATERIP_URL", kAccurateRipService);
}

QString AccurateRipUrl(const QString& base, const TDiscIds& ids) {
    const QString id1 = QString::fromStdString(Hex8(ids.AccurateRip1));
    return QStringLiteral("%1/accuraterip/%2/%3/%4/%5")
        .arg(base, id1.right(1), id1.mid(6, 1), id1.mid(5, 1), ids.DbarName);
}

bool ParseDbarAnswer(const QByteArray& body, const TDiscIds& ids, std::vector<TDbarEntry>& chunks,
                     QString& error) {
    chunks.clear();
    const qsizetype chunk = 13 + qsizetype{ids.AudioTracks} * 9;
    const QByteArray head = body.left(64).trimmed().toLower();
    if (head.startsWith('<') &&
        (head.contains("<html") || head.contains("<!doctype") || head.contains("<?xml"))) {
        error = QStringLiteral("the answer is a web page, not a dBAR file");
        return false;
    }
    if (body.isEmpty() || ids.AudioTracks <= 0 || body.size() % chunk != 0) {
        error = QStringLiteral("the answer is %1 bytes, not a whole number of chunks of %2 bytes")
                    .arg(body.size())
                    .arg(chunk);
        return false;
    }
    std::vector<TDbarEntry> parsed;
    QString parseError;
    if (!ParseDbar(body, parsed, parseError)) {
        error = parseError;
        return false;
    }
    for (size_t i = 0; i < parsed.size(); ++i) {
        const TDbarEntry& e = parsed[i];
        if (static_cast<int>(e.Tracks.size()) != ids.AudioTracks) {
            error = QStringLiteral("chunk %1 holds %2 tracks, the disc has %3")
                        .arg(i + 1)
                        .arg(e.Tracks.size())
                        .arg(ids.AudioTracks);
            return false;
        }
        if (e.Id1 != ids.AccurateRip1 || e.Id2 != ids.AccurateRip2 || e.Cddb != ids.Cddb) {
            error =
                QStringLiteral("chunk %1 is for another disc (%2-%3-%4)")
                    .arg(i + 1)
                    .arg(QString::fromStdString(Hex8(e.Id1)), QString::fromStdString(Hex8(e.Id2)),
                         QString::fromStdString(Hex8(e.Cddb)));
            return false;
        }
    }
    chunks = std::move(parsed);
    return true;
}

TArVerdict VerifyTrack(const std::vector<TDbarEntry>& chunks, int position,
                       const TTrackSums& sums) {
    TArVerdict verdict;
    verdict.Kind = TArVerdict::avNotInDatabase;
    for (size_t i = 0; i < chunks.size(); ++i) {
        const TDbarEntry& e = chunks[i];
        if (position < 0 || position >= static_cast<int>(e.Tracks.size()))
            continue;
        const TDbarTrack& t = e.Tracks[static_cast<size_t>(position)];
        if (t.Confidence == 0)
            continue;
        ++verdict.Entries;
        // A chunk counts once, as v2 when it holds the v2 sum (the two differ but for a
        // silent track, where both are 0).
        const bool v2 = t.Crc == sums.ArV2, v1 = t.Crc == sums.ArV1;
        if (!v1 && !v2)
            continue;
        verdict.Matches.push_back({static_cast<int>(i) + 1, v2, t.Confidence});
        verdict.Confidence += t.Confidence;
        verdict.V2 = verdict.V2 || v2;
    }
    if (verdict.Entries > 0)
        verdict.Kind = verdict.Matches.empty() ? TArVerdict::avNotAccurate : TArVerdict::avAccurate;
    return verdict;
}

QString VerdictText(const TArVerdict& v) {
    switch (v.Kind) {
    case TArVerdict::avAccurate:
        return QStringLiteral("accurately ripped (confidence %1, %2)")
            .arg(v.Confidence)
            .arg(v.V2 ? QStringLiteral("v2") : QStringLiteral("v1"));
    case TArVerdict::avNotAccurate:
        return QStringLiteral("not accurate (%1 %2)")
            .arg(v.Entries)
            .arg(v.Entries == 1 ? QStringLiteral("entry") : QStringLiteral("entries"));
    case TArVerdict::avNotInDatabase:
        return QStringLiteral("not in database");
    case TArVerdict::avUnchecked:
        break;
    }
    return {};
}

QString MatchedChunksText(const TArVerdict& v) {
    QStringList parts;
    for (const TArChunkMatch& m : v.Matches)
        parts << QStringLiteral("chunk %1 (%2, confidence %3)")
                     .arg(m.Chunk)
                     .arg(m.V2 ? QStringLiteral("v2") : QStringLiteral("v1"))
                     .arg(m.Confidence);
    return parts.join(QStringLiteral(", "));
}

QJsonObject VerdictJson(const TArVerdict& v) {
    QJsonArray matches;
    for (const TArChunkMatch& m : v.Matches)
        matches.append(
            QJsonObject{{QStringLiteral("chunk"), m.Chunk},
                        {QStringLiteral("version"), m.V2 ? 2 : 1},
                        {QStringLiteral("confidence"), static_cast<qint64>(m.Confidence)}});
    return {{QStringLiteral("result"), VerdictText(v)},
            {QStringLiteral("confidence"), static_cast<qint64>(v.Confidence)},
            {QStringLiteral("entries"), v.Entries},
            {QStringLiteral("matchingChunks"), matches}};
}

TArLookup LookUpAccurateRip(meta::TMetaHttp& http, const QString& base, const TDiscIds& ids) {
    TArLookup lookup;
    const QUrl url(AccurateRipUrl(base, ids));
    // Not cached: the database's confidence grows with every submission.
    const meta::THttpAnswer a = http.Get(url, QString());
    QString error;
    if (a.Kind == meta::THttpAnswer::akHttp && a.Status == 404) {
        lookup.Kind = TArLookup::alNotInDatabase;
    } else if (!a.Ok()) {
        lookup.Note = QStringLiteral("AccurateRip: ") + a.Describe();
    } else if (!ParseDbarAnswer(a.Body, ids, lookup.Chunks, error)) {
        lookup.Note = QStringLiteral("AccurateRip: the answer was refused: ") + error;
    } else {
        lookup.Kind = TArLookup::alFound;
    }
    return lookup;
}

} // namespace rip
