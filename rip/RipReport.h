// The record of one rip and what is written from it: the rip log (rip.log,
// ending in a SHA-256 of everything above it), the same record as JSON, the cue
// sheet pointing at the track files and the M3U playlist.
//
// Pure functions on the record, any thread.
#pragma once

#include "RipAccurateRip.h"
#include "RipChecksums.h"
#include "RipCtdb.h"
#include "RipDiscIds.h"
#include "RipLoudness.h"

#include "MetaTypes.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <vector>

namespace rip {

// The reads a verified copy makes at most beyond the first two.
inline constexpr int kSecureRetries = 5;

enum TTrackStatus : int {
    tsNotRipped, // not selected, or not reached (the rip was stopped)
    tsOk,
    tsFailed,
};

struct TTrackResult {
    int Number = 0;
    int32_t StartLba = 0, EndLba = 0; // EndLba: the first sector after the track
    bool Audio = true;
    bool Selected = false;
    QString Title, Performer, Songwriter, Composer, Isrc; // from the disc
    QString FileName;      // relative to the output folder, "/" between folders
    QStringList MoreFiles; // the same track in the rip's further formats, in their order
    TTrackStatus Status = tsNotRipped;
    QString Error; // why it failed
    int Reads = 0; // reads made (2 or more in secure mode when they differed)
    bool HaveSums = false;
    TTrackSums Sums; // of the copy kept
    bool HaveTestCrc = false;
    uint32_t TestCrc = 0;
    bool ArChecked = false; // an AccurateRip file was given
    TArMatch ArV1, ArV2;
    TArVerdict Ar;           // against every chunk of the AccurateRip entry (file or online)
    int CtdbConfidence = -1; // of the CTDB entries holding the track's CRC; -1: not compared
    TGainValues Gain;        // ReplayGain: the loudness of the copy kept
    // The layout around it (RipGaps.h): the LBA of INDEX 00 when before StartLba (-1:
    // none), a CUE PREGAP's silence (sectors, not on the disc), FLAGS PRE; Hidden: track 0,
    // the audio before track 1's INDEX 01 (in no TOC: Audio is false).
    int32_t Index00 = -1;
    int32_t PregapSilence = 0;
    bool PreEmphasis = false;
    bool Hidden = false;
    // The files (FileName, MoreFiles) written de-emphasised: --deemphasis undid the
    // pre-emphasis in the lossy formats (RipFormatSets.h, MarkDeemphasis).
    QStringList Deemphasised;

    int64_t Sectors() const { return EndLba - StartLba; }
};

struct TRipReport {
    QString Program; // "tonvale-cli 0.1.0"
    QString Date;    // ISO 8601, local time
    QString DriveVendor, DriveProduct, DriveRevision, DrivePath;
    int Offset = 0;
    bool Secure = false;
    QString Format, Preset; // "MP3", "Standard Quality (MP3, 128KBit, 44100Hz, STEREO)"
    QString AlbumTitle, AlbumPerformer, Mcn; // the names used (looked up, else CD-Text)
    meta::TDiscMeta Meta;                    // what the lookup found: the tags of the tracks
    QStringList LookupNotes;                 // what the lookup had to say, one line each
    QByteArray Cover;                        // the front cover (JPEG or PNG), or empty
    QString CoverMime;
    TDiscToc Toc;
    TDiscIds Ids;
    QString AccurateRipFile;       // the dBAR file given, empty when none
    bool AccurateRipKnown = false; // it holds entries for this disc
    QString OffsetSource;          // where Offset came from ("--offset", "virtual drive" ...)
    int AccurateRipLookup = -1;    // TArLookup::TKind of the online lookup; -1: not made
    int AccurateRipChunks = 0;     // the chunks found for the disc (file or online)
    TCtdbResult Ctdb;
    QString CtdbTocId;
    QStringList VerifyNotes;          // what the lookups could not do, one line each
    std::vector<TTrackResult> Tracks; // every track of the disc, in order
    bool ReplayGain = false;          // the loudness was measured
    TGainValues AlbumGain;            // of the tracks read
    int32_t HiddenSectors = 0;        // audio before track 1's INDEX 01
    bool Image = false;               // one file of the disc (RipImage.h), sectors:
    int32_t ImageStart = 0, ImageEnd = 0;
    QString HiddenNote;      // what became of it
    QString PregapNote;      // why some or all pregaps are unknown, or empty
    bool Deemphasis = false; // --deemphasis: the pre-emphasis is undone in lossy files
    bool Stopped = false;
    QString LogFile; // rip.log as written, empty until it is

    int Count(TTrackStatus status) const;
    int SelectedCount() const;
};

// "mm:ss.ff" (minutes, seconds, frames) of a sector count, as cue sheets and
// logs write lengths and positions.
QString Msf(int64_t sectors);

// The text of rip.log, its last line "SHA-256: <64 hex digits>" over the bytes
// before that line.
QByteArray RipLogText(const TRipReport& report);
// The same record for scripts.
QJsonObject RipReportJson(const TRipReport& report);

// A cue sheet and an M3U playlist of the ripped tracks, with file names relative
// to folder (a folder below the output folder, "" for the output folder itself).
QByteArray CueSheet(const TRipReport& report, const QString& folder);
QByteArray M3uPlaylist(const TRipReport& report, const QString& folder);

// The file's name as seen from folder (both relative to the output folder).
QString RelativeTo(const QString& folder, const QString& file);

// "accurately ripped (confidence N)" or "not accurately ripped".
QString ArResultText(const TArMatch& match);

} // namespace rip
