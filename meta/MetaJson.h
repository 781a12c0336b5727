// The metadata as JSON: what `lookup --json` prints and what a user's --metadata file
// holds (the same object, so a lookup's output can be edited and fed back).
//
//   {"album": "...", "artist": "...", "date": "1997-03-01", "genre": "...",
//    "label": "...", "catalogNumber": "...", "barcode": "...",
//    "discNumber": 1, "discTotal": 2, "releaseId": "...", "releaseGroupId": "...",
//    "albumArtistId": "...", "discId": "...",
//    "tracks": [{"number": 1, "title": "...", "artist": "...", "isrc": "...",
//                "recordingId": "...", "releaseTrackId": "...", "artistId": "..."}]}
//
// Every field may be left out. A track without "number" is the disc's next audio
// track after the one before it. A whole `lookup --json` document is read through its
// "metadata" object.
//
// Pure functions, any thread.
#pragma once

#include "MetaTypes.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

namespace meta {

QJsonObject MetaToJson(const TDiscMeta& meta);

// Reads the JSON text of a metadata file into meta (tracks numbered 0 where the file
// gives no number). False with a reason naming the place ("tracks[2].title is not a
// text") when the text is not such an object.
bool MetaFromJson(const QByteArray& json, TDiscMeta& meta, QString& error);
// Reads the file at path; the reason starts with the file's name.
bool ReadMetadataFile(const QString& path, TDiscMeta& meta, QString& error);

} // namespace meta
