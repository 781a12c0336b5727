// The disc's names and tags from the metadata lookup (meta/MetaLookup.h): the user's
// file, MusicBrainz, gnudb and the disc's own CD-Text, looked up before anything is read;
// and the tagging of each finished track file with them and the front cover (TagLib, on
// the file's temporary name, before it takes its own).
//
// LookUpNames runs on the rip's thread and blocks for the lookup (at most its 20 s; a
// cancel ends it at once). A lookup never fails a rip: what went wrong is a note. The
// tagging data is shared read-only by the conversion threads.
#pragma once

#include "RipDiscText.h"
#include "RipFormats.h"
#include "RipReport.h"
#include "Ripper.h"

#include "MetaLookup.h"
#include "MetaTags.h"

#include <functional>
#include <memory>
#include <string>

namespace rip {

// The disc's CD-Text as the lookup's last source, for its audio tracks.
meta::TDiscMeta CdTextMeta(const TDiscText& text, const TDiscToc& toc);

// The lookup of the disc in report (its TOC and ids) with its CD-Text.
meta::TLookupRequest DiscLookupRequest(const TRipReport& report, const TDiscText& text,
                                       const TRipLookup& lookup);

// Looks the disc up and names it: the report's album and track names, its metadata for
// the tags, the cover and the notes (each also told to observer). The disc's CD-Text
// fills what the databases leave out.
// cancel ends the lookup early (a stop).
void LookUpNames(const TRipSettings& settings, const TDiscText& text,
                 const std::shared_ptr<meta::TCancel>& cancel, TRipReport& report,
                 TRipObserver& observer);

// What TagLib writes into the finished files of one rip.
struct TDiscTagging {
    meta::TDiscMeta Meta;
    meta::TCover Cover;
    meta::TTagKind Kind = meta::TTagKind::None;
    QString CueSheet; // a disc image's, embedded in it
};
// Null for a format without tags written this way (WAV).
std::shared_ptr<const TDiscTagging> DiscTagging(const TRipReport& report, TRipFormat format);

// Writes the tags of track number (and the cover) into the finished file at path (its
// temporary name, bytes); false with a reason that names no file.
bool TagTrackFile(const meta::TDiscMeta& disc, const meta::TCover& cover, meta::TTagKind kind,
                  int number, const std::string& path, std::string& error,
                  const meta::TReplayGain& gain = {}, const QString& cueSheet = {});

// A track without an artist of its own is the album artist's, in the tags.
void TrackArtistsFromAlbum(meta::TDiscMeta& disc);

} // namespace rip
