#include "RipDiscIds.h"

#include <QCryptographicHash>

#include <algorithm>
#include <cstdio>

namespace rip {
namespace {

constexpr int32_t kLeadIn = 150; // the two seconds before sector 0 that MSF times count

uint32_t Le32(const char* p) {
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return uint32_t{u[0]} | uint32_t{u[1]} << 8 | uint32_t{u[2]} << 16 | uint32_t{u[3]} << 24;
}

void PutLe32(QByteArray& out, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.append(static_cast<char>((v >> (8 * i)) & 0xFF));
}

uint32_t DigitSum(uint32_t n) {
    uint32_t sum = 0;
    for (; n > 0; n /= 10)
        sum += n % 10;
    return sum;
}

} // namespace

uint32_t AccurateRipId1(const TDiscToc& toc) {
    uint32_t id = 0;
    for (const TTocTrack& t : toc.Tracks)
        if (t.Audio)
            id += static_cast<uint32_t>(t.Lba);
    return id + static_cast<uint32_t>(toc.LeadOut);
}

uint32_t AccurateRipId2(const TDiscToc& toc) {
    uint32_t id = 0;
    for (const TTocTrack& t : toc.Tracks)
        if (t.Audio)
            id += static_cast<uint32_t>(std::max(t.Lba, 1)) * static_cast<uint32_t>(t.Number);
    return id + static_cast<uint32_t>(toc.LeadOut) * static_cast<uint32_t>(toc.AudioCount() + 1);
}

uint32_t CddbId(const TDiscToc& toc) {
    if (toc.Tracks.empty())
        return 0;
    uint32_t n = 0;
    for (const TTocTrack& t : toc.Tracks)
        n += DigitSum(static_cast<uint32_t>((t.Lba + kLeadIn) / 75));
    const int32_t seconds = (toc.LeadOut + kLeadIn) / 75 - (toc.Tracks.front().Lba + kLeadIn) / 75;
    return (n % 0xFF) << 24 | static_cast<uint32_t>(seconds) << 8 |
           static_cast<uint32_t>(toc.Tracks.size());
}

QString MusicBrainzId(const TDiscToc& toc) {
    const int first = toc.FirstAudio(), last = toc.LastAudio();
    char text[16];
    QByteArray data;
    std::snprintf(text, sizeof text, "%02X%02X", first, last);
    data += text;
    uint32_t offsets[100] = {};
    offsets[0] = static_cast<uint32_t>(toc.AudioLeadOut() + kLeadIn);
    for (const TTocTrack& t : toc.Tracks)
        if (t.Number >= first && t.Number <= last && t.Number < 100)
            offsets[t.Number] = static_cast<uint32_t>(t.Lba + kLeadIn);
    for (uint32_t offset : offsets) {
        std::snprintf(text, sizeof text, "%08X", offset);
        data += text;
    }
    QByteArray id = QCryptographicHash::hash(data, QCryptographicHash::Sha1).toBase64();
    id.replace('+', '.').replace('/', '_').replace('=', '-');
    return QString::fromLatin1(id);
}

TDiscIds ComputeDiscIds(const TDiscToc& toc) {
    TDiscIds ids;
    ids.AccurateRip1 = AccurateRipId1(toc);
    ids.AccurateRip2 = AccurateRipId2(toc);
    ids.Cddb = CddbId(toc);
    ids.AudioTracks = toc.AudioCount();
    ids.MusicBrainz = MusicBrainzId(toc);
    char name[64];
    std::snprintf(name, sizeof name, "dBAR-%03d-%08x-%08x-%08x.bin", ids.AudioTracks,
                  ids.AccurateRip1, ids.AccurateRip2, ids.Cddb);
    ids.DbarName = QString::fromLatin1(name);
    return ids;
}

bool ParseDbar(const QByteArray& bytes, std::vector<TDbarEntry>& entries, QString& error) {
    entries.clear();
    qsizetype at = 0;
    while (at < bytes.size()) {
        const int count = static_cast<unsigned char>(bytes[at]);
        const qsizetype size = 13 + qsizetype{count} * 9;
        if (count == 0 || bytes.size() - at < size) {
            error = count == 0 ? QStringLiteral("an entry at byte %1 has no tracks").arg(at)
                               : QStringLiteral("the entry at byte %1 is cut short (%2 of %3 "
                                                "bytes)")
                                     .arg(at)
                                     .arg(bytes.size() - at)
                                     .arg(size);
            entries.clear();
            return false;
        }
        const char* p = bytes.constData() + at;
        TDbarEntry entry;
        entry.Id1 = Le32(p + 1);
        entry.Id2 = Le32(p + 5);
        entry.Cddb = Le32(p + 9);
        for (int t = 0; t < count; ++t) {
            const char* q = p + 13 + t * 9;
            entry.Tracks.push_back({static_cast<unsigned char>(q[0]), Le32(q + 1), Le32(q + 5)});
        }
        entries.push_back(std::move(entry));
        at += size;
    }
    if (entries.empty()) {
        error = QStringLiteral("the file is empty");
        return false;
    }
    return true;
}

QByteArray WriteDbar(const std::vector<TDbarEntry>& entries) {
    QByteArray out;
    for (const TDbarEntry& entry : entries) {
        out.append(static_cast<char>(entry.Tracks.size()));
        PutLe32(out, entry.Id1);
        PutLe32(out, entry.Id2);
        PutLe32(out, entry.Cddb);
        for (const TDbarTrack& t : entry.Tracks) {
            out.append(static_cast<char>(std::min<uint32_t>(t.Confidence, 255)));
            PutLe32(out, t.Crc);
            PutLe32(out, t.Frame450);
        }
    }
    return out;
}

std::vector<TDbarEntry> EntriesForDisc(const std::vector<TDbarEntry>& entries,
                                       const TDiscIds& ids) {
    std::vector<TDbarEntry> result;
    for (const TDbarEntry& e : entries)
        if (e.Id1 == ids.AccurateRip1 && e.Id2 == ids.AccurateRip2 && e.Cddb == ids.Cddb &&
            static_cast<int>(e.Tracks.size()) == ids.AudioTracks)
            result.push_back(e);
    return result;
}

TArMatch MatchTrack(const std::vector<TDbarEntry>& discEntries, int position, uint32_t sum) {
    TArMatch match;
    for (const TDbarEntry& e : discEntries) {
        if (position < 0 || position >= static_cast<int>(e.Tracks.size()))
            continue;
        const TDbarTrack& t = e.Tracks[static_cast<size_t>(position)];
        if (t.Crc == sum) {
            match.Matched = true;
            match.Confidence += t.Confidence;
        }
    }
    return match;
}

} // namespace rip
