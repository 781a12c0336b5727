// The disc's layout around its tracks: pregaps (INDEX 00 before INDEX 01, a CUE sheet's
// PREGAP silence), the hidden track one audio (HTOA: audio before track 1's INDEX 01,
// ripped as track 0 unless it is silent or unwanted) and pre-emphasis (undone in the lossy
// files with --deemphasis); what the cue sheet, rip.log and the JSON record say of them.
//
// A pregap's audio belongs to the track before it: track N's file ends where track N + 1's
// INDEX 01 starts, so its cue sheet names INDEX 00 of track N + 1 inside track N's file.
//
// Pure functions on the record, any thread.
#pragma once

#include "RipReport.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <set>

namespace rip {

inline const QString kHiddenTrackTitle = QStringLiteral("Hidden Track");

// The audio before track 1's INDEX 01 (sectors 0 .. its start), when the disc has any.
bool HasHiddenAudio(const TRipReport& report);

// Adds track 0, the hidden track one audio, in front of the record's tracks when the disc
// has such audio: selected when wanted and the selection (empty: all) allows it. Its title
// is kHiddenTrackTitle unless the metadata names it; it is in no TOC, disc id or
// AccurateRip position. Without it the audio is noted as not ripped.
void AddHiddenTrack(TRipReport& report, bool wanted, const std::set<int>& selection);

// A read hidden track that turned out silent: not kept, noted.
void DropSilentHiddenTrack(TRipReport& report, TTrackResult& track);

// "mm:ss:ff" as cue sheets write positions.
QString CueTime(int64_t sectors);

// Whether t's INDEX 00 lies in the file of previous: the track before it on the disc,
// ripped in the same set (null when not).
bool Index00InPrevious(const TTrackResult& t, const TTrackResult* previous);
// A cue sheet's lines between t's texts and its INDEX 01: PREGAP for what the set does not
// hold (a PREGAP of the image, a gap whose audio is in no file of the set), or INDEX 00 in
// previous's file followed by fileLine, the FILE line of t's own file.
void CueBeforeIndex01(const TTrackResult& t, const TTrackResult* previous, const QString& fileLine,
                      QStringList& lines);

// rip.log: the disc's gaps note and the hidden audio; a track's pregap, pre-emphasis and,
// with --deemphasis, whether the file of the report's format (a set's) was de-emphasised.
void LogDiscGaps(const TRipReport& report, QStringList& lines);
void LogTrackGaps(const TRipReport& report, const TTrackResult& t, QStringList& lines);
// The JSON of the same, with the track's files that were de-emphasised.
void AddTrackGapJson(const TRipReport& report, const TTrackResult& t, QJsonObject& o);
void AddDiscGapJson(const TRipReport& report, QJsonObject& record);

} // namespace rip
