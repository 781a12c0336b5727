// The disc's table of contents as a track list, and the size and time texts
// used to show tracks.
//
// TsbTrackListReader::Read reads the TOC of the session's open device object on
// a TsbTrackListThread into a TsbTrackList of TsbTrack items (size in blocks, in
// bytes and, for audio tracks, as a playing time) and writes an account of every
// TOC entry to the drive-layer log. The application then fills its track view
// from the items: one row per track whose TOC entry has the audio flag.
//
// Threads: the worker does all library calls and fills the list; the caller
// waits in 80 ms steps processing its events, so the list must not be used
// before Read returns. A failed TOC read ends the worker with the list empty and
// the failure text in the session's LastMessage and the log; it does not reach
// the caller of Read.
#pragma once

#include "sbBurner.h"
#include "sbThread.h"

#include <QString>

#include <cstdint>
#include <vector>

class IOperationProgress;

struct TsbTrack {
    VantrellTrackInformation TrackInfo{};
    VantrellTocEntry TocEntry{};
    QString ShortStrInfo;
    QString StrInfo;
    int64_t TrackSizeInLB = 0;
    int64_t TrackSizeInBytes = 0;
    double TrackSizeInTime = 0; // playing time as a fraction of a day; 0 for data tracks
};

class TsbTrackList {
public:
    TsbTrack& Add() { return items_.emplace_back(); }
    int Count() const { return static_cast<int>(items_.size()); }
    TsbTrack& Items(int index) { return items_.at(static_cast<size_t>(index)); }
    const TsbTrack& Items(int index) const { return items_.at(static_cast<size_t>(index)); }
    void Clear() { items_.clear(); }

private:
    std::vector<TsbTrack> items_;
};

class TsbTrackListThread : public TsbWorkerThread {
public:
    TsbTrackListThread(TsbTrackList* list, TsbBurner* burner) : List(list), Burner(burner) {}

protected:
    void Execute() override;

private:
    TsbTrackList* List; // not owned
    TsbBurner* Burner;  // not owned
};

class TsbTrackListReader {
public:
    TsbTrackListReader() = default;
    virtual ~TsbTrackListReader(); // waits for a running reading
    TsbTrackListReader(const TsbTrackListReader&) = delete;
    TsbTrackListReader& operator=(const TsbTrackListReader&) = delete;

    virtual void WaitForWorker();
    virtual void WorkerEnded();

    // Reads the TOC of the session's open device object into list; returns when
    // done. The session must have DeviceObject open and DiscType set.
    // showProgress shows the progress dialog (main thread only).
    void Read(TsbBurner* burner, TsbTrackList* list, bool showProgress);

    // The reading itself (run by the thread). Throws EsbError for a failed TOC
    // read other than result 8 (no TOC), which leaves the list empty.
    static void ReadTrackList(TsbTrackList* list, TsbBurner* burner);

    std::atomic<TsbWorkerThread*> Worker{nullptr}; // cleared by WorkerEnded (worker)
    std::unique_ptr<TsbWorkerThread> WorkerHandle; // the reading thread only
    QString InfoText;
    IOperationProgress* ProgressDialog = nullptr; // while Read shows it
};

// abs(bytes) div 1024 in decimal, then " KB" unless noSuffix.
QString SizeInKB(int64_t bytes, bool noSuffix = false);
// abs(bytes) / 1048576 in fixed notation with 2 decimals (6 significant digits;
// exponent notation from 1e6 on) and the locale's decimal separator, then " MB"
// unless noSuffix. 31752000 bytes give "30.28 MB".
QString SizeInMB(int64_t bytes, bool noSuffix = false);
// "h:nn:ss" when the time (a fraction of a day) has hours, else "nn:ss".
QString TimeFormatFor(double time);
// Formats a time (a fraction of a day) with a pattern of h, hh, n, nn, s, ss and
// literal characters: FormatTime("nn:ss", 180 s) gives "03:00".
QString FormatTime(const QString& pattern, double time);
