// Several formats from one read: each track is read once and encoded once per format,
// each format's files in a set of their own. The template's first folder gets the
// format's name (" [FLAC]", " [MP3]"); a template without a folder gets one named after
// the format. Each set has its own cue sheet, playlist, rip.log and cover beside its
// tracks. With one format nothing changes.
//
// Pure functions, any thread.
#pragma once

#include "RipFormats.h"
#include "RipReport.h"
#include "Ripper.h"

#include <QString>

#include <vector>

namespace rip {

// "flac,mp3" (any case, any of ParseFormat's names, each once); false with the reason.
bool ParseFormatList(const QString& text, std::vector<TRipFormat>& formats, QString& error);

// The template of format's set when the rip writes several formats.
QString FormatSetTemplate(const QString& tmpl, TRipFormat format);

// The record as the set of the index-th format sees it: its files (0: FileName, then
// MoreFiles), its format and preset.
TRipReport FormatSetReport(const TRipReport& report, size_t index, TRipFormat format, int preset);
// Every set's record, in the order of the formats (one format: the record itself).
std::vector<TRipReport> FormatSetReports(const TRipReport& report, const TRipSettings& settings);

// Whether --deemphasis undoes t's pre-emphasis: it was asked for and t carries FLAGS PRE
// (the hidden track one audio, which is track 1's INDEX 00, when track 1 does); in a disc
// image every track of the image must, as the image is one conversion.
bool DeemphasisWanted(const TRipReport& report, const TTrackResult& t);
// Fills each selected track's Deemphasised: the files of its lossy formats when
// DeemphasisWanted (the file names must be planned).
void MarkDeemphasis(TRipReport& report, const TRipSettings& settings);

// Writes each set's cue sheet, playlist, rip.log and cover (RipOutputs.h); report.LogFile
// is the first set's log. False when a file could not be written (told to observer).
bool WriteFormatSets(TRipReport& report, const TRipSettings& settings, const QString& outDirName,
                     TRipObserver& observer);

} // namespace rip
