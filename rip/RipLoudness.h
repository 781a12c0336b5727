// ReplayGain 2.0 of a rip: each track's loudness (EBU R 128 integrated, through
// libebur128) and true peak, measured by a sample sink from the samples as the reader
// delivers them, and the album's from the tracks' measurements together; no second pass.
//
//   TReadWindow --> TLoudnessSink (one per read) --> TLoudness, kept in the job
//   reader ended --> AlbumGain(the jobs' TLoudness) --> TAlbumGate --> the taggers
//
// Threads and ownership: a TLoudnessSink and its TLoudness belong to the reader's worker
// while it reads; the TLoudness moves with the job to the main thread, which computes
// the album. TAlbumGate is shared: the main thread opens or cancels it, conversion threads
// wait on it before they tag a finished file.
#pragma once

#include "RipSinks.h"

#include "MetaTags.h"

#include <QJsonObject>
#include <QStringList>

#include <ebur128.h>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace rip {

// The loudness measurement of one stream of CD audio (44100 Hz, stereo).
class TLoudness {
public:
    TLoudness();
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
    ebur128_state* State() const { return State_; }

private:
    ebur128_state* State_ = nullptr;
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
    TLoudnessSink();
    bool Add(const uint8_t* data, size_t size) override;
    QString Error() const override { return Error_; }
    // The measurement, complete once the window has finished.
    std::unique_ptr<TLoudness> Take() { return std::move(Loudness_); }

private:
    std::unique_ptr<TLoudness> Loudness_;
    std::vector<int16_t> Frames_; // reused
    uint8_t Part_[4] = {};        // the bytes of a frame split between two parts
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
