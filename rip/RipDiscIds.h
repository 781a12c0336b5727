// Disc identifiers computed from a table of contents: the AccurateRip ids and
// the name of its dBAR file, the freedb/CDDB id and the MusicBrainz disc id; and
// the dBAR file itself (the AccurateRip sums others submitted for a disc), read
// and matched against a rip.
//
// Pure functions on plain values, any thread.
#pragma once

#include "RipChecksums.h"

#include "MetaTypes.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <vector>

namespace rip {

// The table of contents the ids are computed from: the metadata library's, which the
// lookup starts from too.
using TTocTrack = meta::TMetaTocTrack;
using TDiscToc = meta::TMetaToc;
using meta::kSessionGap;

struct TDiscIds {
    uint32_t AccurateRip1 = 0;
    uint32_t AccurateRip2 = 0;
    uint32_t Cddb = 0;
    int AudioTracks = 0;
    QString MusicBrainz; // 28 characters
    QString DbarName;    // dBAR-NNN-id1-id2-cddb.bin
};

uint32_t AccurateRipId1(const TDiscToc& toc);
uint32_t AccurateRipId2(const TDiscToc& toc);
uint32_t CddbId(const TDiscToc& toc);
QString MusicBrainzId(const TDiscToc& toc);
TDiscIds ComputeDiscIds(const TDiscToc& toc);

// One entry of a dBAR file: the ids of the disc it is for and, per audio track,
// how many submissions agree (confidence), their CRC and their frame-450 CRC.
struct TDbarTrack {
    uint32_t Confidence = 0;
    uint32_t Crc = 0;
    uint32_t Frame450 = 0;
};
struct TDbarEntry {
    uint32_t Id1 = 0, Id2 = 0, Cddb = 0;
    std::vector<TDbarTrack> Tracks;
};

// Reads a dBAR file's bytes (entries of 1 byte track count, 3 little-endian ids,
// then 9 bytes per track). False with a reason when the bytes are not such a file.
bool ParseDbar(const QByteArray& bytes, std::vector<TDbarEntry>& entries, QString& error);
// The bytes of a dBAR file holding entries (what the tests and tools write).
QByteArray WriteDbar(const std::vector<TDbarEntry>& entries);

// The entries that are for the disc of ids.
std::vector<TDbarEntry> EntriesForDisc(const std::vector<TDbarEntry>& entries, const TDiscIds& ids);

// How a track's sum compares with the database: Matched with the confidence of
// the entries holding that CRC for the track (added up).
struct TArMatch {
    bool Matched = false;
    uint32_t Confidence = 0;
};
// position: the track's place among the disc's audio tracks, from 0.
TArMatch MatchTrack(const std::vector<TDbarEntry>& discEntries, int position, uint32_t sum);

} // namespace rip
