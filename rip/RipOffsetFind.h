// Finding a drive's read offset: the disc's first audio tracks read once, and every offset
// from -2940 to +2940 samples checked against the disc's AccurateRip chunks in one pass.
//
// The v1 sum of a track at offset k + 1 follows from its sum at k in constant time: with
// d the disc's samples, the track's window [From, To] and W(k) the plain sum of the window,
//     W(k + 1)  = W(k) - d[From + k] + d[To + 1 + k]
//     S1(k + 1) = S1(k) - From d[From + k] + (To + 1) d[To + 1 + k] - W(k + 1)   (mod 2^32)
// so the search costs one summing pass per track, not one per offset. The v2 sum (whose high
// halves do not slide) is computed whole at the offsets v1 found, for the chunks holding v2.
//
// TOffsetSearch is pure code (any thread); ReadOffsetRegion reads the drive (the caller's
// thread, which owns the session).
#pragma once

#include "RipDiscIds.h"
#include "RipReport.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <vector>

namespace rip {

class TDriveSession;

inline constexpr int kOffsetRange = 2940; // samples either way
inline constexpr int kOffsetTracks = 3;   // the first audio tracks read

// The disc's samples around the tracks checked: Words[0] is disc sample First (from the
// first audio track's start), samples outside the audio being silence, as the rip reads them.
struct TOffsetRegion {
    int64_t First = 0;
    std::vector<uint32_t> Words; // one stereo sample each, left channel in the low half
};

struct TOffsetTrack {
    int Number = 0;
    int Position = 0;  // among the disc's audio tracks, from 0
    int64_t Start = 0; // disc sample of the track's first sample at offset 0
    int64_t Samples = 0;
    bool First = false, Last = false; // the disc's first / last audio track
};

struct TOffsetMatch {
    int Offset = 0;
    std::vector<int> Tracks; // the numbers of the tracks that agree
    uint32_t Confidence = 0; // the highest confidence of a chunk agreeing with a track
    std::vector<int> Chunks; // the chunks (from 1) that agree with a track
};

// Every offset in [-range, +range] at which some track's v1 or v2 sum is held by a chunk (a
// submission with confidence), most agreeing tracks first, then the higher confidence.
std::vector<TOffsetMatch> FindOffsets(const TOffsetRegion& region,
                                      const std::vector<TOffsetTrack>& tracks,
                                      const std::vector<TDbarEntry>& chunks,
                                      int range = kOffsetRange);

// The tracks offset find reads: the first kOffsetTracks audio tracks of the record.
std::vector<TOffsetTrack> OffsetTracks(const TRipReport& report);
// Reads the sectors the tracks need (and 2940 samples either side where the audio goes on)
// through the drive library; progress(done, total) in sectors, false to stop the read. False
// with error.
bool ReadOffsetRegion(TDriveSession& session, const TRipReport& report,
                      const std::vector<TOffsetTrack>& tracks, TOffsetRegion& region,
                      const std::function<bool(int64_t, int64_t)>& progress, QString& error);

} // namespace rip
