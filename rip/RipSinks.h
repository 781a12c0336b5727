// The rip's sample sinks: what sees every sample of a track once, in order, as
// the reader delivers it. The reader feeds a track's offset-corrected samples to
// its sinks part by part while the drive reads; nothing is read back from a file.
//
//   drive library grab --PCM--> TReadWindow (offset correction)
//                                   '--> TSumSink   CRC32, AccurateRip v1/v2, frame 450, peak
//                                   '--> TWavSink   the track as a WAV file (work or final)
//
// Threads and ownership: every object here belongs to the reader's worker thread,
// which creates it for one read of one track; a finished TWavSink is handed over
// whole (its file closed) to the main thread.
#pragma once

#include "RipChecksums.h"

#include "SafeOutput.h"

#include <QString>

#include <cstdint>
#include <memory>
#include <vector>

namespace rip {

class TSampleSink {
public:
    virtual ~TSampleSink() = default;
    // The next part of the track. False when the sink cannot go on (Error says why): the
    // read stops.
    virtual bool Add(const uint8_t* data, size_t size) = 0;
    virtual QString Error() const { return {}; }
};

// The sums of the track's samples.
class TSumSink : public TSampleSink {
public:
    TSumSink(int64_t trackSamples, bool firstTrack, bool lastTrack)
        : Summer_(trackSamples, firstTrack, lastTrack) {}
    bool Add(const uint8_t* data, size_t size) override {
        Summer_.Add(data, size);
        return true;
    }
    TTrackSums Finish() { return Summer_.Finish(); }

private:
    TTrackSummer Summer_;
};

// The track as a canonical CD-audio WAV file. A final file is written through a
// TSafeOutput (a hidden name beside it, given the real name by Commit, after its
// data is on the disc); a work file, which only a conversion reads, is written
// straight to its name in the work folder, never flushed. Destroyed, a work file is
// removed (it has served its conversion), and an uncommitted final file leaves nothing.
class TWavSink : public TSampleSink {
public:
    enum TKind { wkFinal, wkWork };
    TWavSink() = default;
    ~TWavSink() override;
    TWavSink(const TWavSink&) = delete;
    TWavSink& operator=(const TWavSink&) = delete;

    // Starts the file name for a track of trackSamples samples; false with Error(). Texts
    // name the file as shown (the user's file a hidden work file is for), else by its name.
    bool Open(const QString& name, TKind kind, int64_t trackSamples, const QString& shown = {});
    bool Add(const uint8_t* data, size_t size) override;
    QString Error() const override { return Error_; }
    // Completes the file under its name; false with Error().
    bool Commit();
    // Writes on from the sample at offset (after the header): a disc image's WAV file is
    // written track by track, and a verified copy's next read of a track writes over the
    // last. False with Error().
    bool Seek(int64_t offset);
    const QString& Name() const { return Name_; }

private:
    bool Fail(int error);
    void Drop();

    QString Name_, Shown_, Error_;
    TKind Kind_ = wkWork;
    safeio::TSafeOutput Final_;
    std::unique_ptr<safeio::TPendingPath> Pending_; // the work file, for a second signal
    int WorkFd_ = -1;
    bool OwnsWork_ = false; // the work file was made by Open: removed by Drop
};

// The canonical 44-byte header of a CD-audio WAV file holding dataBytes of PCM.
std::vector<uint8_t> WavHeader(uint32_t dataBytes);

// How one track is read for a read offset: sample k of the result is sample k + offset of
// the disc. The sectors asked of the drive cover that window as far as it lies in audio
// (the run of audio tracks the track belongs to); beyond, the result is silence.
struct TReadPlan {
    int32_t FirstSector = 0; // asked of the drive
    int32_t Sectors = 0;
    int64_t LeadSilence = 0; // samples of silence before the samples read
    int64_t Skip = 0;        // samples at the start of the read that are dropped
    int64_t Take = 0;        // samples of the read that are kept
    int64_t TailSilence = 0; // samples of silence after them
    int64_t Samples() const { return LeadSilence + Take + TailSilence; }
};
// trackFrom..trackTo: the track's sectors [from, to); audioFrom..audioTo: the audio around it.
TReadPlan PlanRead(int32_t trackFrom, int32_t trackTo, int offset, int32_t audioFrom,
                   int32_t audioTo);

// Cuts the corrected track out of the sectors read by a plan, as they come, and hands it to
// the sinks: exactly the track's samples by the time Finish returns true.
class TReadWindow {
public:
    TReadWindow(const TReadPlan& plan, std::vector<TSampleSink*> sinks);
    // The next part of the read (whole samples or not). False when a sink refused (Error).
    bool Add(const uint8_t* data, size_t size);
    bool Finish();
    const QString& Error() const { return Error_; }

private:
    bool Pass(const uint8_t* data, size_t size);
    bool Silence(int64_t samples);

    std::vector<TSampleSink*> Sinks_;
    TReadPlan Plan_;
    int64_t SkipBytes_, TakeBytes_;
    bool Started_ = false;
    QString Error_;
};

} // namespace rip
