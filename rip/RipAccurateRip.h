// AccurateRip online: the address of a disc's dBAR file, its bytes checked chunk by chunk
// before anything in them is believed, and the verdict of a ripped track against every
// chunk, v1 and v2.
//
// A dBAR file holds chunks of 13 + 9 x tracks bytes: the track count, the disc's three ids,
// then per audio track its confidence, its CRC and its frame-450 CRC. Each chunk is one
// pressing's submissions; the database keeps v1 and v2 sums in chunks of their own, so a
// track's v1 and v2 sums are both compared with every chunk.
//
// Pure functions, any thread; LookUpAccurateRip blocks on the network (see MetaHttp.h).
#pragma once

#include "RipChecksums.h"
#include "RipDiscIds.h"

#include "MetaHttp.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <cstdint>
#include <vector>

namespace rip {

// The public service; TONVALE_ACCURATERIP_URL replaces it.
inline constexpr const char* kAccurateRipService = "http://www.accuraterip.com";
QString AccurateRipBase();

// {base}/accuraterip/a/b/c/dBAR-NNN-id1-id2-cddb.bin, a, b and c the last three hex digits of
// id1 from the last.
QString AccurateRipUrl(const QString& base, const TDiscIds& ids);

// The body of an answer for the disc of ids, chunk by chunk. False with the reason when it is
// not a whole number of this disc's chunks (an HTML page, a cut answer, a chunk of another
// disc or of another track count).
bool ParseDbarAnswer(const QByteArray& body, const TDiscIds& ids, std::vector<TDbarEntry>& chunks,
                     QString& error);

// One chunk that holds a track's sum.
struct TArChunkMatch {
    int Chunk = 0; // from 1, in the order of the file
    bool V2 = false;
    uint32_t Confidence = 0;
};

// A track against the database.
struct TArVerdict {
    enum TKind : int {
        avUnchecked,     // no database was asked (or the track was not read)
        avNotInDatabase, // no chunk holds a submission for the track
        avAccurate,
        avNotAccurate,
    };
    TKind Kind = avUnchecked;
    uint32_t Confidence = 0; // avAccurate: of every chunk that holds the track's v1 or v2 sum
    bool V2 = false;         // avAccurate: a chunk holds the v2 sum
    int Entries = 0;         // the chunks holding a submission for the track
    std::vector<TArChunkMatch> Matches;
};

// position: the track's place among the disc's audio tracks, from 0.
TArVerdict VerifyTrack(const std::vector<TDbarEntry>& chunks, int position, const TTrackSums& sums);
// "accurately ripped (confidence N, v2)", "not accurate (N entries)", "not in database".
QString VerdictText(const TArVerdict& verdict);
// "chunk 2 (v2, confidence 5), chunk 1 (v1, confidence 3)", or empty.
QString MatchedChunksText(const TArVerdict& verdict);
QJsonObject VerdictJson(const TArVerdict& verdict);

// What asking the database for a disc gave.
struct TArLookup {
    enum TKind : int { alFound, alNotInDatabase, alFailed };
    TKind Kind = alFailed;
    std::vector<TDbarEntry> Chunks; // alFound
    QString Note;                   // alFailed: "AccurateRip: <why>"
};
// Fetches the disc's dBAR file and parses it.
TArLookup LookUpAccurateRip(meta::TMetaHttp& http, const QString& base, const TDiscIds& ids);

} // namespace rip
