// The disc's metadata from every source, in order: the user's JSON file, MusicBrainz
// (and the front cover from the Cover Art Archive), the CTDB's fast metadata (only when
// neither gave names), gnudb (only with an e-mail address), the disc's CD-Text, and
// "Unknown" / "TrackN". The first source that answers
// fills the fields; later ones fill only what is still missing.
//
// LookupDisc never fails: a source that does not answer, answers an error or garbage
// leaves a one-line note ("MusicBrainz: no answer within 20 s; names from CD-Text") and
// the lookup goes on with the next. It blocks the calling thread for at most the
// lookup's time limit (20 s) plus the cover's fetch within it; it needs a
// QCoreApplication and runs on any one thread (the window runs it on a worker).
//
// Services: TONVALE_MUSICBRAINZ_URL, TONVALE_COVERART_URL, TONVALE_CTDB_URL and
// TONVALE_GNUDB_URL replace the public services' addresses (scheme://host:port).
#pragma once

#include "MetaHttp.h"
#include "MetaTypes.h"

#include <QString>

#include <cstdint>

namespace meta {

struct TLookupRequest {
    TMetaToc Toc;
    QString MusicBrainzDiscId; // the disc's ids, as the rip computes them
    uint32_t CddbId = 0;
    TDiscMeta CdText;     // what the disc itself says (tracks numbered as the disc's)
    QString MetadataFile; // --metadata; empty: none
    QString ReleaseId;    // --release; empty: chosen by the rules
    QString GnudbEmail;   // empty: gnudb is not asked
    bool Offline = false; // the cache and the local sources only
    bool Cover = true;    // fetch the front cover of the release used
    // Fill what no source names with "Unknown" and "TrackN"; false leaves it empty (the
    // rip names files by its template's own rules and writes no made-up tags).
    bool Placeholders = true;
    QString CacheFolder; // empty: $XDG_CACHE_HOME/tonvale
    TLimits Limits;
    QString Version = QStringLiteral(TONVALE_META_VERSION); // in the User-Agent and hello
};

TLookupResult LookupDisc(const TLookupRequest& request);

// What a lookup knows: the result's metadata filled from later in the order (fill only
// what target lacks). Tracks are matched by number.
void FillMissing(TDiscMeta& target, const TDiscMeta& from);

} // namespace meta
