// The settings of one track's conversion through TFFmpegConverter: the
// preset's numbers and the tags taken from the disc, in the names each
// container knows. Used by the rip pipeline; pure functions, any thread.
#pragma once

#include "RipFormats.h"

#include "FFmpegConverter.h"

#include <QString>

namespace rip {

// What the disc says about one track, for its tags. Empty texts are not written.
struct TTrackTags {
    QString Title, Performer, AlbumTitle, AlbumPerformer, Songwriter, Composer, Isrc, Mcn;
    int Number = 0;
    int Total = 0;
};

// The input and output settings of one track's conversion (after
// InitInputOptions / InitOutputOptions): the preset's numbers and the tags in
// the names each container knows (ID3v2.4 frames, Vorbis comments with
// TRACKNUMBER and TRACKTOTAL apart, MP4 and ASF names). deemphasis: the track
// carries pre-emphasis that is to be undone; a lossy format's audio then passes
// through kDeemphasisFilter, a lossless one's stays as it is.
void ApplyRipSettings(TInputOptions& in, TOutputOptions& out, TRipFormat format, int preset,
                      const TTrackTags& tags, bool deemphasis = false);

} // namespace rip
