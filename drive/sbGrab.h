// Track grabbing: TsbGrabAction copies audio tracks from the disc in the
// session's drive into files, one after another.
//
// A ttData track is copied straight into its FileName (the library writes a
// canonical PCM WAV under a temporary name and renames it when complete); a
// ttAudio track is copied into a temporary "sb*.wav" file first and then
// compressed into FileName with the session's CompressionLevel.
//
// A track with a Sink is not written to a file: the sectors FirstSector ..
// FirstSector + Sectors - 1 (the track's own, or reaching into the audio tracks
// beside it) are read and their PCM handed to Sink as it is read, on the grabbing
// thread; Sink returns an errno (0 to go on).
//
// A track that cannot be copied is logged, leaves no file, sets Success false
// and is skipped; a failed compression throws EsbError. The session's
// CancelRequested is read before each track.
//
// Threads: Execute runs on the caller's worker; OnProgress (per-track percent
// while GrabActive, 100 after each track) and OnBuffer fire there. GrabActive
// stays set after Execute returns: the caller clears it.
#pragma once

#include "sbActions.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>
#include <vector>

enum TsbTrackType : uint8_t { ttData = 0, ttAudio = 1 };

struct TsbGrabTrack {
    int32_t TrackNumber = 0; // its low byte is passed to the library
    QString FileName;        // the target file
    TsbTrackType TrackType = ttData;
    std::function<int(const uint8_t* data, size_t size)> Sink; // instead of a file
    int32_t FirstSector = 0, Sectors = 0;                      // what a Sink receives
};

class TsbGrabTrackList {
public:
    TsbGrabTrack& Add() { return items_.emplace_back(); }
    int Count() const { return static_cast<int>(items_.size()); }
    TsbGrabTrack& Items(int index) { return items_.at(static_cast<size_t>(index)); }
    void Clear() { items_.clear(); }

private:
    std::vector<TsbGrabTrack> items_;
};

class TsbGrabAction : public TsbStagedAction {
public:
    TsbGrabAction() { Options = 2; }
    TsbGrabTrackList Tracks; // owned, lives as long as the action

    // Grabs every entry of Tracks in list order (see the header comment).
    void Execute(TsbActionItem* item) override;
};

// The compression level for a choice index (0..17); any other index gives 0.
int32_t CompressionLevelFor(int index);
