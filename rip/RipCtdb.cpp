// The ranges of the CRCs follow the database's public description ("CUETools Database",
// cue.tools/wiki/CUETools_Database: a CRC-32 of the whole CD image except for 10 x 588
// samples at its start and its end) and, for the exact end and the per-track CRCs, the
// public CUETools source (CUETools.AccurateRip/CDRepair.cs: laststride = stride +
// (2 N) mod stride with a stride of 2 x 5880 16-bit words, and TrackCRC(i) =
// CTDBCRC(i, 0, stride / 2, laststride / 2) in AccurateRipVerify.cs, which leaves the first
// stride out of the first track and the last stride out of the last one).
#include "RipCtdb.h"

#include <QJsonArray>

#include <zlib.h>

#include <algorithm>

namespace rip {

TCtdbSkip CtdbSkip(int64_t discSamples, int64_t trackSamples, bool firstAudio, bool lastAudio) {
    TCtdbSkip skip;
    if (firstAudio)
        skip.Head = kCtdbStride;
    if (lastAudio)
        skip.Tail = kCtdbStride + discSamples % kCtdbStride;
    skip.Head = std::min(skip.Head, trackSamples);
    skip.Tail = std::min(skip.Tail, trackSamples - skip.Head);
    return skip;
}

uint32_t CombineCrcs(const std::vector<std::pair<uint32_t, int64_t>>& parts) {
    uLong crc = ::crc32(0L, Z_NULL, 0);
    for (const auto& [part, bytes] : parts)
        crc = ::crc32_combine(crc, part, static_cast<z_off_t>(bytes));
    return static_cast<uint32_t>(crc);
}

TCtdbResult VerifyCtdb(const std::vector<meta::TCtdbEntry>& entries, bool haveDisc,
                       uint32_t discCrc, const std::vector<TCtdbTrack>& tracks,
                       std::vector<int>& trackConfidence) {
    TCtdbResult result;
    result.Entries = static_cast<int>(entries.size());
    result.WholeDisc = haveDisc;
    result.DiscCrc = discCrc;
    trackConfidence.assign(tracks.size(), 0);
    auto holds = [](const meta::TCtdbEntry& e, const TCtdbTrack& t) {
        return t.Position >= 0 && t.Position < static_cast<int>(e.TrackCrcs.size()) &&
               e.TrackCrcs[static_cast<size_t>(t.Position)] == t.Crc;
    };
    for (const meta::TCtdbEntry& e : entries)
        for (size_t i = 0; i < tracks.size(); ++i)
            if (holds(e, tracks[i]))
                trackConfidence[i] += e.Confidence;
    if (entries.empty()) {
        result.Kind = TCtdbResult::ckNotPresent;
        return result;
    }
    if (!haveDisc && tracks.empty())
        return result;
    // The entry that agrees best: the whole disc's CRC, or else every track ripped.
    const meta::TCtdbEntry* best = nullptr;
    for (const meta::TCtdbEntry& e : entries) {
        const bool agrees = haveDisc
                                ? e.Crc == discCrc
                                : std::all_of(tracks.begin(), tracks.end(),
                                              [&](const TCtdbTrack& t) { return holds(e, t); });
        if (agrees && (!best || e.Confidence > best->Confidence))
            best = &e;
    }
    result.Kind = best ? TCtdbResult::ckVerified : TCtdbResult::ckDiffers;
    if (best) {
        result.Confidence = best->Confidence;
        result.Entry = best->Id;
    }
    return result;
}

QString CtdbResultText(const TCtdbResult& r) {
    switch (r.Kind) {
    case TCtdbResult::ckVerified:
        return QStringLiteral("CTDB: verified (confidence %1)").arg(r.Confidence);
    case TCtdbResult::ckDiffers:
        return QStringLiteral("CTDB: differs");
    case TCtdbResult::ckNotPresent:
        return QStringLiteral("CTDB: not present");
    case TCtdbResult::ckUnchecked:
        break;
    }
    return {};
}

QJsonObject CtdbResultJson(const TCtdbResult& r, const QString& tocId) {
    QJsonObject o{{QStringLiteral("tocId"), tocId},
                  {QStringLiteral("result"), CtdbResultText(r)},
                  {QStringLiteral("entries"), r.Entries}};
    if (r.Kind == TCtdbResult::ckVerified) {
        o[QStringLiteral("confidence")] = r.Confidence;
        o[QStringLiteral("entry")] = r.Entry;
    }
    if (r.WholeDisc)
        o[QStringLiteral("discCrc")] = QString::fromStdString(Hex8(r.DiscCrc));
    return o;
}

} // namespace rip
