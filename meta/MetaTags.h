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

// Writes the tags of track `number` of disc into the file at path (the tags the file had
// are replaced). None: nothing to write, true. False with a reason when TagLib cannot
// read or save the file.
bool WriteTags(const QString& path, TTagKind kind, const TDiscMeta& disc, int number,
               const TCover& cover, QString& error);

} // namespace meta
