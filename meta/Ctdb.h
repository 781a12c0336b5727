// The CUETools database (CTDB): the disc's TOC id, the lookup address and its XML answer,
// which holds the database's entries for the disc (whole-disc CRC, per-track CRCs and
// confidence) and, when asked, the metadata of the releases it knows.
//
// Pure functions on plain values, any thread; LookUpCtdbMetadata blocks on the network.
// TONVALE_CTDB_URL replaces the public service's address.
#pragma once

#include "MetaHttp.h"
#include "MetaTypes.h"

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <cstdint>
#include <vector>

namespace meta {

inline constexpr const char* kCtdbService = "http://db.cuetools.net";
QString CtdbBase();

// The TOC id: "%08X" of each audio track's start after the first, less the first audio
// track's start, then of the audio's end (on an enhanced CD the data track's start less the
// gap between the sessions) the same way; right-padded with "0" to 800 characters, SHA-1,
// base64 with "+/=" written "._-".
QString CtdbTocId(const TMetaToc& toc);
// "0:11413:25024:45713:55220": every track's start (a data track's with "-" before it), then
// the lead-out.
QString CtdbTocText(const TMetaToc& toc);
// {base}/lookup2.php?version=3&ctdb=1&fuzzy=0&metadata=<metadata>&toc=<text>
QUrl CtdbLookupUrl(const QString& base, const TMetaToc& toc, const QString& metadata);

struct TCtdbEntry {
    QString Id;
    uint32_t Crc = 0; // the whole disc's
    int Confidence = 0;
    std::vector<uint32_t> TrackCrcs; // per audio track; empty when the entry has none
};

struct TCtdbAnswer {
    std::vector<TCtdbEntry> Entries;
    std::vector<TDiscMeta> Releases; // the metadata, Source "CTDB", tracks numbered by toc
};

// Parses a lookup's XML answer; false with the reason when it is not one.
bool ParseCtdbAnswer(const QByteArray& body, const TMetaToc& toc, TCtdbAnswer& answer,
                     QString& error);

// The metadata of the disc from the database's fast metadata lookup (its first release).
// False with note set ("CTDB: no answer within 20 s") when it failed; false with note empty
// when the database knows no release of the disc.
bool LookUpCtdbMetadata(TMetaHttp& http, const TMetaToc& toc, TDiscMeta& meta, QString& note);

} // namespace meta
