// Writes a track's metadata and the front cover into a finished audio file with TagLib,
// in the form each container's readers expect:
//   MP3   ID3v2.4 text frames, TXXX "MusicBrainz Album Id" and the like, UFID for the
//         recording, APIC (front cover);
//   FLAC  Vorbis comments and a PICTURE block;
//   Ogg Vorbis and Opus  Vorbis comments and METADATA_BLOCK_PICTURE;
//   MP4   the iTunes atoms, "----:com.apple.iTunes:..." freeform atoms, covr;
//   WMA   ASF attributes (WM/..., MusicBrainz/...) and WM/Picture.
// Called by the rip on its hidden work file before the rename, so the kind comes from
// the caller, not from the file's name. Any thread; one file at a time per call.
#pragma once

#include "MetaTypes.h"

#include <QByteArray>
#include <QString>

namespace meta {

enum class TTagKind { Mp3, Flac, OggVorbis, Opus, Mp4, Wma, None };

// The kind of a file name's suffix ("mp3", "m4a", "ogg", ...); None for WAV and the rest.
TTagKind TagKindForSuffix(const QString& suffix);

struct TCover {
    QByteArray Bytes; // empty: no picture
    QString Mime;     // "image/jpeg", "image/png"
};

// ReplayGain 2.0 values of a track and of its album: gains in dB relative to the
// reference loudness (-18 LUFS), peaks as linear sample values (1.0: full scale).
// Written as REPLAYGAIN_TRACK_GAIN "-6.54 dB", REPLAYGAIN_TRACK_PEAK "0.988553", the
// ALBUM_ pair and REPLAYGAIN_REFERENCE_LOUDNESS "-18.00 LUFS": Vorbis comments in FLAC
// and Ogg Vorbis, TXXX frames in MP3, "----:com.apple.iTunes:replaygain_..." in MP4,
// ASF attributes in WMA. Opus carries R128_TRACK_GAIN and R128_ALBUM_GAIN instead:
// Q7.8 integers (1/256 dB) relative to -23 LUFS.
struct TReplayGain {
    bool Track = false, Album = false; // which pair is known
    double TrackGain = 0, TrackPeak = 0, AlbumGain = 0, AlbumPeak = 0;
};
inline constexpr double kReplayGainReference = -18.0; // LUFS
inline constexpr double kR128Reference = -23.0;       // LUFS

// "-6.54 dB", "0.988553", and the Q7.8 value of an Opus R128 gain.
QString GainText(double gain);
QString PeakText(double peak);
int R128Gain(double replayGain);

// Writes the tags of track `number` of disc into the file at path (the tags the file had
// are replaced), with the ReplayGain values that gain knows. number kWholeDisc: the file
// holds the whole disc (its title is the album's, it has no track number) and cueSheet,
// when given, is embedded as CUESHEET (FLAC, Ogg Vorbis, Opus). None: nothing to write,
// true. False with a reason when TagLib cannot read or save the file.
inline constexpr int kWholeDisc = -1;
bool WriteTags(const QString& path, TTagKind kind, const TDiscMeta& disc, int number,
               const TCover& cover, QString& error, const TReplayGain& gain = {},
               const QString& cueSheet = {});

} // namespace meta
