// The encoder pool: up to N conversions at once, each a TFFmpegConverter that encodes one
// track's WAV file into its output file; of the tracks waiting, the longest starts first,
// so that the last conversions to end are short ones and every core stays busy to the end.
//
// Threads and ownership. The pool and its converters belong to the rip's main thread (the
// converters' operations are made there). Their events come on the converters' threads:
// they touch only the per-conversion state and post to the mailbox; a finished file is
// tagged on its conversion's thread: with ReplayGain, once the album's values are known
// (TAlbumGate; a conversion waiting for them holds no place; after a stop a finished file
// is kept with its track's values only). The pool owns the WAV
// files handed to it and removes each when its conversion ends or is dropped.
#pragma once

#include "RipEncode.h"
#include "RipLoudness.h"
#include "RipMailbox.h"
#include "RipMetadata.h"
#include "RipSinks.h"

#include "FFmpegConverter.h"

#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace rip {

class TEncoderPool {
public:
    struct TWork {
        size_t Job = 0;
        int Number = 0; // the track's
        int64_t Samples = 0;
        // The WAV file to encode (closed), shared by the track's formats: removed when the
        // last of their conversions ends.
        std::shared_ptr<TWavSink> Wav;
        TRipFormat Format = rfWAV;
        QString Output;
        TTrackTags Tags;
        TGainValues Gain; // the track's ReplayGain values
        // Written into the finished file before it takes its name (null: no tags).
        std::shared_ptr<const TDiscTagging> Tagging;
        // The audio carries pre-emphasis to be undone (--deemphasis): a lossy format's
        // file is de-emphasised, a lossless one keeps the samples (ApplyRipSettings).
        bool Deemphasis = false;
    };
    struct TEnd {
        size_t Job = 0;
        bool Ok = false;
        bool Stopped = false;
        QString Error;
    };

    // albumGate (null without ReplayGain): the album's values for the works' tags.
    TEncoderPool(int size, int preset, TRipMailbox& mailbox,
                 std::shared_ptr<TAlbumGate> albumGate = nullptr);
    ~TEncoderPool();
    TEncoderPool(const TEncoderPool&) = delete;
    TEncoderPool& operator=(const TEncoderPool&) = delete;

    void Add(TWork work);
    // Starts waiting work while there are free places; started(job, error) for each
    // (error empty: it runs; else it could not start and is over).
    void Fill(const std::function<void(size_t job, const QString& error)>& started);
    // The conversions that ended since the last call (their files removed).
    std::vector<TEnd> Collect();
    // How far each running conversion is, 0..99.
    void Progress(const std::function<void(size_t job, int percent)>& report) const;
    // Stops the running conversions and drops the waiting work; the conversions waiting for
    // the album's values tag their files without them.
    void Stop();
    bool Idle() const { return Waiting_.empty() && Running_.empty(); }

private:
    struct TState; // what a conversion's events tell
    struct TRunning {
        TWork Work;
        std::shared_ptr<TState> State;
        std::unique_ptr<TFFmpegConverter> Converter;
    };
    QString StartOne(TWork& work, TRunning& running);

    int Size_;
    int Preset_;
    TRipMailbox& Mailbox_;
    std::shared_ptr<TAlbumGate> AlbumGate_;
    std::vector<TWork> Waiting_;
    std::vector<std::unique_ptr<TRunning>> Running_;
};

} // namespace rip
