// The whole-disc rip, built as stages that RunRip wires together:
//
//     reader (RipReader.h): the drive session and one grab worker reading the tracks in
//         |  disc order, each through the offset correction into its sample sinks
//         |  (RipSinks.h: sums; the WAV file) as the drive delivers it
//         |--- track read ---> encoder pool (RipEncoderPool.h): N conversions, longest first
//         '--- news ---------> RunRip's thread, asleep in the mailbox (RipMailbox.h) until a
//                              stage posts; it hands work on, reports and ends the rip
//     outputs (RipOutputs.h): folders, the work folder, cue sheet, playlist and rip.log
//
// Threads. RunRip runs on the thread of the QCoreApplication (the converters' operations
// and the engine logger's events belong to it); the observer's calls all come on that
// thread. Each stage's header says which thread owns what.
//
// Outputs: every file (tracks, cue sheet, playlist, log) is written under a
// temporary name and renamed when complete, so a file that exists is either
// the old one or a finished new one. A WAV rip writes each track straight to its
// hidden name beside the final one; other formats wait as WAV files in a hidden
// work folder inside the output folder, removed at the end. A stop (the
// StopRequested callback turning true) ends the grab and the conversions,
// removes what is unfinished and keeps the tracks already finished; no cue
// sheet, playlist or log is written then.
#pragma once

#include "RipFormats.h"
#include "RipNames.h"
#include "RipReport.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace rip {

// Where the rip looks the disc's names up (RipMetadata.h).
struct TRipLookup {
    QString MetadataFile; // the user's description of the disc (JSON), or empty
    QString ReleaseId;    // a MusicBrainz release chosen by the user, or empty
    QString GnudbEmail;   // empty: gnudb is not asked
    bool Offline = false; // the cache and the local sources only
    bool Cover = true;    // fetch, save and embed the front cover
    QString CacheFolder;  // empty: $XDG_CACHE_HOME/tonvale
};

struct TRipSettings {
    QString Drive;        // --drive index; empty: the first drive holding an audio CD
    std::set<int> Tracks; // empty: every audio track
    TRipFormat Format = rfWAV;
    // Several formats from one read (RipFormatSets.h): all of them, Format first; empty:
    // Format alone.
    std::vector<TRipFormat> Formats;
    int Preset = kDefaultPreset;
    int Jobs = 0; // conversions at once; 0: the number of cores
    bool Secure = false;
    int Offset = 0;           // samples, within +-kMaxOffset
    bool OffsetGiven = false; // else the drive's offset is taken from AccurateRip's drive list
    QString Template = kDefaultTemplate;
    TRipLookup Lookup;
    QString AccurateRipDb;  // a dBAR file to verify against, or empty
    bool Overwrite = false; // replace the rip of another disc in the same folder
    bool ReplayGain = true; // measure the loudness, tag and log the ReplayGain values
    bool Htoa = true;       // rip the hidden track one audio (RipGaps.h) unless it is silent
    bool Image = false;     // the whole disc as one file with its cue sheet (RipImage.h)
    // Undo the pre-emphasis of the tracks with FLAGS PRE in the lossy formats' files
    // (RipFormatSets.h, DeemphasisWanted); WAV and FLAC keep the disc's samples.
    bool Deemphasis = false;
    QString OutDir;
    QString LibraryFolder; // where the media libraries are looked for first
    QString Program;       // "tonvale-cli 0.1.0", for the log
    std::function<bool()> StopRequested;
    // Called by RunRip with a function that wakes the rip (its thread sleeps until a stage
    // reports): the caller calls it, from any thread, once StopRequested has turned true.
    // Called again with an empty function before RunRip returns.
    std::function<void(std::function<void()> wake)> WatchStop;
};

inline constexpr int kMaxOffset = 10 * 588;

// The formats a rip writes: settings.Formats, or Format alone.
inline std::vector<TRipFormat> RipFormatsOf(const TRipSettings& settings) {
    return settings.Formats.empty() ? std::vector<TRipFormat>{settings.Format} : settings.Formats;
}

// What a rip is doing, for a progress display.
struct TTrackProgress {
    enum TState : int { psWaiting, psGrabbing, psGrabbed, psEncoding, psDone, psFailed };
    int Number = 0;
    TState State = psWaiting;
    int Percent = 0; // of the step the state names
    int Read = 0;    // secure mode: the read under way (1, 2, ...)
};
struct TRipProgress {
    std::vector<TTrackProgress> Tracks; // the selected tracks, in order
    double Fraction = 0;                // of the whole rip
    double ElapsedSeconds = 0;
    double SecondsLeft = -1; // -1 while unknown
};

// How far a rip is and how long it has left. The tracks are read at the drive's pace and
// encoded at the processors'; each stage's rate is measured on its own (a verified copy's
// reads count as one), and the rip ends when the slower stage does. Until both rates are
// known the time left is unknown and the fraction is that of the stage further behind.
class TRipEstimate {
public:
    // samples: each selected track's length; encoded: the tracks are encoded after the read.
    TRipEstimate(std::vector<int64_t> samples, bool encoded, bool secure);
    // Fills Fraction, ElapsedSeconds and SecondsLeft of progress from its Tracks.
    void Update(TRipProgress& progress, double elapsedSeconds);

private:
    std::vector<int64_t> Samples_;
    bool Encoded_, Secure_;
    double EncodeStart_ = -1; // when the first encode began
    double Shown_ = 0;        // the fraction never goes back
};

// Receives the rip's news; every call comes on the thread that runs RunRip.
class TRipObserver {
public:
    virtual ~TRipObserver() = default;
    // A failure that ends the rip or a track, said once.
    virtual void Error(const QString& text) = 0;
    // What a lookup could not do, or a warning; the rip goes on. One line each.
    virtual void Note(const QString& text) { static_cast<void>(text); }
    // The disc has been read: ids, TOC and the file names (the report so far).
    virtual void Started(const TRipReport& report) { static_cast<void>(report); }
    // "grabbed (Copy CRC ...)", "encoding", "done", "failed: ..." for one track.
    virtual void TrackEvent(int number, const QString& text) {
        static_cast<void>(number);
        static_cast<void>(text);
    }
    // At most about ten times a second.
    virtual void Progress(const TRipProgress& progress) { static_cast<void>(progress); }
};

enum TRipResult : int {
    rrOk,           // every chosen track ripped
    rrTracksFailed, // the rip ran, some tracks failed
    rrFailed,       // nothing could be ripped (no drive, no disc, libraries ...)
    rrUsage,        // the settings do not fit the disc or are wrong
    rrStopped,      // StopRequested
};

// Rips as settings say; the record (also when it failed part way) in report.
TRipResult RunRip(const TRipSettings& settings, TRipObserver& observer, TRipReport& report);

// Verified copies: reads 1, 2, ... of a track until one agrees with an earlier
// read (the same CRC), at most 2 + kSecureRetries reads. read(n, crc) makes read
// n and gives its CRC, false when the read failed; discard(n) drops read n, whose
// CRC is all that is needed once a later read is made. The read kept is the last.
struct TAgreement {
    bool Agreed = false;
    bool ReadFailed = false;    // a read failed: the track cannot be read
    int Reads = 0;              // reads made
    std::vector<uint32_t> Crcs; // of each read, in order
};
TAgreement ReadUntilAgreed(const std::function<bool(int n, uint32_t& crc)>& read,
                           const std::function<void(int n)>& discard);
// One read, agreed when it succeeds.
TAgreement ReadOnce(const std::function<bool(int n, uint32_t& crc)>& read);

// The folder (relative to the output folder) that holds the cue sheet, the
// playlist and rip.log: the deepest folder all the track files share.
QString CommonFolder(const std::vector<QString>& files);

} // namespace rip
