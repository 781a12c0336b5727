// ReplayGain 2.0 of a rip: each track's loudness (EBU R 128 integrated, through
// libebur128) and true peak, measured by a sample sink from the samples as the reader
// delivers them, and the album's from the tracks' measurements together; no second pass.
//
//   TReadWindow --> TLoudnessSink (one per read) --> TLoudness, kept in the job
//                       '--> parts of the track --> TPeakPool (true peaks, on all cores)
//   reader ended --> AlbumGain(the jobs' TLoudness) --> TAlbumGate --> the taggers
//
// The true peak's 4x oversampling costs several times the loudness itself. With a pool,
// the sink measures the loudness on the reader's thread and hands the track to the pool in
// parts of a few seconds, each with the frames before it to fill the interpolator and the
// frames after it to empty it: the highest of the parts' peaks is the peak of the whole.
//
// Threads and ownership: a TLoudnessSink and its TLoudness belong to the reader's worker
// while it reads; the TLoudness moves with the job to the main thread, which computes
// the album. The pool's threads only see copies of the parts. TAlbumGate is shared: the
// main thread opens or cancels it, conversion threads wait on it before they tag a
// finished file.
#pragma once

#include "RipSinks.h"

#include "MetaTags.h"

#include <QJsonObject>
#include <QStringList>

#include <ebur128.h>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace rip {

// The loudness measurement of one stream of CD audio (44100 Hz, stereo).
class TLoudness {
public:
    // truePeak false: the state measures the loudness alone, the peak comes from SetPeak.
    explicit TLoudness(bool truePeak = true);
    ~TLoudness();
    TLoudness(const TLoudness&) = delete;
    TLoudness& operator=(const TLoudness&) = delete;

    bool Valid() const { return State_ != nullptr; }
    // Interleaved 16-bit stereo frames.
    bool Add(const int16_t* frames, size_t count);
    // Integrated loudness in LUFS; false for silence (no block above the gate) or an error.
    bool Loudness(double& lufs) const;
    // The true peak over both channels, linear (1.0: full scale).
    double TruePeak() const;
    void SetPeak(double peak) { Peak_ = peak; }
    ebur128_state* State() const { return State_; }

private:
    ebur128_state* State_ = nullptr;
    double Peak_ = -1; // measured elsewhere; -1: by the state
};

// Threads that measure the true peaks of parts of tracks.
class TPeakPool {
public:
    // The highest peak of a track's parts, complete when no part is pending.
    struct TTrackPeak {
        std::mutex Lock;
        std::condition_variable Done;
        int Pending = 0;     // guarded by Lock
        double Peak = 0;     // guarded by Lock
        bool Failed = false; // guarded by Lock
    };
    explicit TPeakPool(unsigned threads);
    ~TPeakPool(); // drops the parts not begun, waits for those under way
    TPeakPool(const TPeakPool&) = delete;
    TPeakPool& operator=(const TPeakPool&) = delete;

    // Measures frames (interleaved stereo) after the first `lead` frames, which only fill
    // the interpolator, into track. Waits while the pool is full.
    void Submit(const std::shared_ptr<TTrackPeak>& track, std::vector<int16_t> frames, size_t lead);
    // Waits until the track's parts are measured; false when one could not be.
    static bool Wait(TTrackPeak& track, double& peak);

private:
    struct TPart {
        std::shared_ptr<TTrackPeak> Track;
        std::vector<int16_t> Frames;
        size_t Lead = 0;
    };
    void Work();
    static void Measure(TPart& part);

    std::mutex Lock_;
    std::condition_variable Changed_;
    std::deque<TPart> Queue_; // guarded by Lock_
    bool Ending_ = false;     // guarded by Lock_
    size_t MaxQueued_;
    std::vector<std::thread> Threads_;
};

// A track's values as the rip keeps them.
struct TGainValues {
    bool Measured = false; // the loudness is known (false: silence, or not measured)
    double Loudness = 0;   // LUFS
    double Gain = 0;       // dB, to kReplayGainReference
    double Peak = 0;       // linear true peak
};
TGainValues GainOf(const TLoudness& loudness);
// The album's: the tracks measured together (null entries are skipped), the highest peak.
TGainValues AlbumGain(const std::vector<const TLoudness*>& tracks);

// The sink of a track's samples into its loudness measurement.
class TLoudnessSink : public TSampleSink {
public:
    // pool null: the true peak is measured on the caller's thread too.
    explicit TLoudnessSink(TPeakPool* pool = nullptr);
    bool Add(const uint8_t* data, size_t size) override;
    QString Error() const override { return Error_; }
    // The measurement, once the window has finished (waits for the pool's parts); null
    // when the true peak could not be measured.
    std::unique_ptr<TLoudness> Take();

    // A part holds this many frames of its own, and kPartEdge frames before and after
    // (longer than the interpolator's memory).
    static constexpr size_t kPartFrames = 4 * 44100;
    static constexpr size_t kPartEdge = 1024;

private:
    void AddToParts(const int16_t* frames, size_t count);

    std::unique_ptr<TLoudness> Loudness_;
    TPeakPool* Pool_;
    std::shared_ptr<TPeakPool::TTrackPeak> Peak_;
    std::vector<int16_t> Next_;   // the next part so far
    size_t PartLead_ = 0;         // its frames before its own
    std::vector<int16_t> Frames_; // reused
    uint8_t Part_[4] = {};        // the bytes of a frame split between two parts of the input
    size_t PartSize_ = 0;
    QString Error_;
};

// The album's values for the taggers: conversions that end before the last track has been
// read wait here (asleep, holding no place in the encoder pool) until the main thread opens
// the gate with the album's values, or cancels it (a stop: they go on without them).
class TAlbumGate {
public:
    void Open(const TGainValues& album);
    void Cancel();
    // Blocks until opened (true, album set) or cancelled (false).
    bool Wait(TGainValues& album);

private:
    std::mutex Lock_;
    std::condition_variable Changed_;
    bool Opened_ = false, Cancelled_ = false; // guarded by Lock_
    TGainValues Album_;                       // guarded by Lock_
};

// The tags' values of a track with its album.
meta::TReplayGain TagGain(const TGainValues& track, const TGainValues& album);

// rip.log's lines and the JSON of a track's and the album's values.
void LogGain(const TGainValues& values, const QString& label, QStringList& lines);
QJsonObject GainJson(const TGainValues& values);

} // namespace rip
