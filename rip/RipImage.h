// A rip into one file (--image): the whole disc's audio as one file per format, with a
// cue sheet that names it once and places each track's INDEX 00 and 01 at its exact
// frame. The reader still reads track by track (each with its own sums and loudness) and
// writes each track's samples at the track's place in the image's WAV file; a verified
// copy's next read writes over the same place. Once every track is read, the WAV image is
// complete (WAV) or encoded once per format, tagged with the album's names, ReplayGain and
// the cue sheet (CUESHEET in FLAC and Vorbis comments).
//
// Pure functions on the plan and the record, any thread.
#pragma once

#include "RipPlan.h"
#include "RipReport.h"
#include "Ripper.h"

#include <QString>
#include <QStringList>

#include <vector>

namespace rip {

// Points every job and track of the plan at the image of each format, and sets the
// record's image range. False with the reason when the chosen tracks are not one run of
// audio.
bool PlanImage(const TRipSettings& settings, TRipReport& report, std::vector<TRipJob>& jobs,
               const QString& outDirName, QString& error);

// A track's lines in the image's cue sheet (CueSheet in RipReport.h): a PREGAP for silence
// the image does not hold, INDEX 00 when its pregap lies in the image, INDEX 01, each at
// its frame in the image.
void ImageIndexLines(const TRipReport& report, const TTrackResult& t, QStringList& lines);

} // namespace rip
