// The reader: the drive session and the rip's grab worker.
//
// TDriveSession starts the drive library, chooses and opens the drive and puts the disc's
// table of contents into the record. TRipReader then reads the selected tracks in disc
// order on a worker thread of its own, through the drive library's grab with a data sink:
// each read asks the drive for the sectors its read plan names, and the samples flow, as
// they are read, through the offset correction (TReadWindow) into the track's sinks: its
// sums and its WAV file (the final file of a WAV rip, else the file its conversion reads).
// A verified copy reads a track until two reads agree.
//
// Threads and ownership. The session is opened on the main thread; while the worker runs
// it owns the drive (the main thread only asks it to stop, with Stop). A job's results are
// written by the worker and belong to the main thread from the mailbox's PostRead(job) on.
#pragma once

#include "RipLoudness.h"
#include "RipMailbox.h"
#include "RipOutputs.h"
#include "RipPlan.h"
#include "Ripper.h"

#include "sbBurner.h"
#include "sbDeviceFinder.h"
#include "sbGrab.h"

#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace rip {

class TDriveSession {
public:
    // Starts the drive library (a version mismatch is told to observer).
    explicit TDriveSession(TRipObserver& observer);
    ~TDriveSession();
    TDriveSession(const TDriveSession&) = delete;
    TDriveSession& operator=(const TDriveSession&) = delete;

    // Chooses the drive (driveArg: an index, or empty for the first holding an audio CD),
    // opens it and fills the drive's fields, the tracks and the disc ids of report. False
    // with result set and the reason told to observer.
    bool Open(const QString& driveArg, const std::function<bool()>& stopRequested,
              TRipReport& report, TRipObserver& observer, TRipResult& result);
    // The device path (a virtual drive: its image), for what libcdio reads besides.
    const QString& Path() const { return Path_; }
    TsbBurner& Burner() { return Burner_; }
    // Locks the tray for the rip; Release unlocks it.
    void Lock();
    void Release();

private:
    TsbDeviceFinder Finder_;
    TsbBurner Burner_;
    QString Path_;
    bool Locked_ = false;
};

// Runs one grab action on the session's drive; false with the drive library's text.
bool ExecuteGrab(TsbBurner& burner, TsbGrabAction& action, QString& error);

class TRipReader {
public:
    TRipReader(TDriveSession& session, std::vector<TRipJob>& jobs, TRipMailbox& mailbox,
               const TRipSettings& settings, const TWorkFolder& work);
    ~TRipReader(); // Stop and Join
    TRipReader(const TRipReader&) = delete;
    TRipReader& operator=(const TRipReader&) = delete;

    // --image: every track's samples go to this file, at the job's ImageOffset.
    void SetImage(TWavSink* image) { Image_ = image; }
    void Start();
    // Ends the read under way and skips the rest (their jobs end Stopped). Any thread.
    void Stop();
    void Join();

private:
    void Run();
    void ReadTrack(size_t index);
    // One read of a job through the drive library into the sinks; false with error.
    bool Grab(const TRipJob& job, TReadWindow& window, QString& error);
    bool GrabSectors(const TRipJob& job, TReadWindow& window, QString& error);
    bool ReadIntoImage(const TRipJob& job, TTrackSums& sums, std::unique_ptr<TLoudness>& loudness,
                       QString& error);

    TDriveSession& Session_;
    std::vector<TRipJob>& Jobs_;
    TRipMailbox& Mailbox_;
    const TRipSettings& Settings_;
    const TWorkFolder& Work_;
    TWavSink* Image_ = nullptr;        // the worker's while it runs
    std::unique_ptr<TPeakPool> Peaks_; // with ReplayGain
    std::atomic<bool> Stop_{false};
    std::atomic<int> Reading_{-1}; // the job whose read is under way
    std::thread Worker_;
};

} // namespace rip
