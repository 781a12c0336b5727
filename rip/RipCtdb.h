// The rip against the CUETools database (CTDB): the CRCs the database keeps, computed
// while the drive reads (a sample sink), and the verdict of the rip against the entries
// the lookup found.
//
// The ranges are the database's own: its whole-disc CRC is the CRC-32 of the disc's audio
// (first audio track's start to the audio's end, N samples) without its first 5880 samples
// (10 sectors) and without its last 5880 + N mod 5880 samples: the database cuts the audio
// into strides of 5880 samples and leaves out the first and the last (with the part
// stride). A track's CRC covers the whole track, less those same samples for the first and
// the last audio track.
//
// Pure functions, any thread; the sink (RipCtdbSink.h) belongs to the reader's worker.
#pragma once

#include "RipChecksums.h"
#include "RipDiscIds.h"

#include "Ctdb.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <vector>

namespace rip {

inline constexpr int64_t kCtdbStride = 10 * kSamplesPerSector;

// The samples of a track that its CTDB CRC leaves out at its start (head) and end (tail).
// discSamples: N, the samples of the disc's audio.
struct TCtdbSkip {
    int64_t Head = 0, Tail = 0;
};
TCtdbSkip CtdbSkip(int64_t discSamples, int64_t trackSamples, bool firstAudio, bool lastAudio);

// The CRC of the concatenated parts (CRC, bytes) in order, as one CRC-32 of them all.
uint32_t CombineCrcs(const std::vector<std::pair<uint32_t, int64_t>>& parts);

// What the rip says against the database.
struct TCtdbResult {
    enum TKind : int {
        ckUnchecked, // not asked, or the lookup failed (see the notes)
        ckNotPresent,
        ckVerified,
        ckDiffers,
    };
    TKind Kind = ckUnchecked;
    int Confidence = 0;     // ckVerified: of the entry that matched
    QString Entry;          // ckVerified: its id
    int Entries = 0;        // entries the database holds for the disc
    bool WholeDisc = false; // the whole-disc CRC was compared (every audio track ripped)
    uint32_t DiscCrc = 0;   // WholeDisc: the rip's
};

// One ripped track: its place among the audio tracks and its CTDB CRC.
struct TCtdbTrack {
    int Position = 0;
    uint32_t Crc = 0;
};
// haveDisc: discCrc is the rip's whole-disc CRC; else only the tracks are compared. A track
// whose CRC no entry holds is one that differs; trackVerified gets per track (the order of
// tracks) the confidence of the entries holding its CRC, 0 when none does.
TCtdbResult VerifyCtdb(const std::vector<meta::TCtdbEntry>& entries, bool haveDisc,
                       uint32_t discCrc, const std::vector<TCtdbTrack>& tracks,
                       std::vector<int>& trackConfidence);

// "CTDB: verified (confidence N)", "CTDB: differs", "CTDB: not present", or empty.
QString CtdbResultText(const TCtdbResult& result);
QJsonObject CtdbResultJson(const TCtdbResult& result, const QString& tocId);

} // namespace rip
