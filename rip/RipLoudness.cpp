#include "RipLoudness.h"

#include <QJsonValue>

#include <algorithm>
#include <cmath>

namespace rip {

// ---- TLoudness ---------------------------------------------------------------------------

TLoudness::TLoudness(bool truePeak)
    : State_(ebur128_init(2, 44100,
                          truePeak ? EBUR128_MODE_I | EBUR128_MODE_TRUE_PEAK : EBUR128_MODE_I)) {}

TLoudness::~TLoudness() {
    if (State_)
        ebur128_destroy(&State_);
}

bool TLoudness::Add(const int16_t* frames, size_t count) {
    return State_ && ebur128_add_frames_short(State_, frames, count) == EBUR128_SUCCESS;
}

bool TLoudness::Loudness(double& lufs) const {
    return State_ && ebur128_loudness_global(State_, &lufs) == EBUR128_SUCCESS &&
           std::isfinite(lufs);
}

double TLoudness::TruePeak() const {
    if (Peak_ >= 0)
        return Peak_;
    double peak = 0;
    for (unsigned channel = 0; State_ && channel < 2; ++channel) {
        double value = 0;
        if (ebur128_true_peak(State_, channel, &value) == EBUR128_SUCCESS)
            peak = std::max(peak, value);
    }
    return peak;
}

TGainValues GainOf(const TLoudness& loudness) {
    TGainValues v;
    v.Peak = loudness.TruePeak();
    v.Measured = loudness.Loudness(v.Loudness);
    if (v.Measured)
        v.Gain = meta::kReplayGainReference - v.Loudness;
    return v;
}

TGainValues AlbumGain(const std::vector<const TLoudness*>& tracks) {
    TGainValues v;
    std::vector<ebur128_state*> states;
    for (const TLoudness* t : tracks) {
        if (!t || !t->Valid())
            continue;
        states.push_back(t->State());
        v.Peak = std::max(v.Peak, t->TruePeak());
    }
    if (states.empty())
        return v;
    v.Measured = ebur128_loudness_global_multiple(states.data(), states.size(), &v.Loudness) ==
                     EBUR128_SUCCESS &&
                 std::isfinite(v.Loudness);
    if (v.Measured)
        v.Gain = meta::kReplayGainReference - v.Loudness;
    return v;
}

// ---- TPeakPool ---------------------------------------------------------------------------

TPeakPool::TPeakPool(unsigned threads) : MaxQueued_(std::max(1u, threads)) {
    for (unsigned i = 0; i < std::max(1u, threads); ++i)
        Threads_.emplace_back([this] { Work(); });
}

TPeakPool::~TPeakPool() {
    {
        std::lock_guard lock(Lock_);
        Ending_ = true;
        for (TPart& part : Queue_) { // nobody waits for them any more
            std::lock_guard trackLock(part.Track->Lock);
            part.Track->Failed = true;
            --part.Track->Pending;
        }
        Queue_.clear();
    }
    Changed_.notify_all();
    for (std::thread& t : Threads_)
        t.join();
}

void TPeakPool::Submit(const std::shared_ptr<TTrackPeak>& track, std::vector<int16_t> frames,
                       size_t lead) {
    {
        std::lock_guard trackLock(track->Lock);
        ++track->Pending;
    }
    std::unique_lock lock(Lock_);
    Changed_.wait(lock, [this] { return Queue_.size() < MaxQueued_ || Ending_; });
    if (Ending_) {
        lock.unlock();
        {
            std::lock_guard trackLock(track->Lock);
            track->Failed = true;
            --track->Pending;
        }
        track->Done.notify_all();
        return;
    }
    Queue_.push_back({track, std::move(frames), lead});
    lock.unlock();
    Changed_.notify_all();
}

bool TPeakPool::Wait(TTrackPeak& track, double& peak) {
    std::unique_lock lock(track.Lock);
    track.Done.wait(lock, [&] { return track.Pending == 0; });
    peak = track.Peak;
    return !track.Failed;
}

void TPeakPool::Work() {
    for (;;) {
        std::unique_lock lock(Lock_);
        Changed_.wait(lock, [this] { return !Queue_.empty() || Ending_; });
        if (Queue_.empty())
            return;
        TPart part = std::move(Queue_.front());
        Queue_.pop_front();
        lock.unlock();
        Changed_.notify_all(); // room for a waiting Submit
        Measure(part);
    }
}

void TPeakPool::Measure(TPart& part) {
    double peak = 0;
    bool ok = false;
    if (ebur128_state* state = ebur128_init(2, 44100, EBUR128_MODE_TRUE_PEAK)) {
        const size_t frames = part.Frames.size() / 2;
        ok = part.Lead >= frames ||
             ((part.Lead == 0 ||
               ebur128_add_frames_short(state, part.Frames.data(), part.Lead) == EBUR128_SUCCESS) &&
              ebur128_add_frames_short(state, part.Frames.data() + 2 * part.Lead,
                                       frames - part.Lead) == EBUR128_SUCCESS);
        for (unsigned channel = 0; ok && part.Lead < frames && channel < 2; ++channel) {
            double value = 0;
            ok = ebur128_prev_true_peak(state, channel, &value) == EBUR128_SUCCESS;
            peak = std::max(peak, value);
        }
        ebur128_destroy(&state);
    }
    TTrackPeak& track = *part.Track;
    {
        std::lock_guard lock(track.Lock);
        track.Peak = std::max(track.Peak, peak);
        track.Failed = track.Failed || !ok;
        --track.Pending;
    }
    track.Done.notify_all();
}

// ---- TLoudnessSink -----------------------------------------------------------------------

TLoudnessSink::TLoudnessSink(TPeakPool* pool)
    : Loudness_(std::make_unique<TLoudness>(pool == nullptr)), Pool_(pool) {
    if (!Loudness_->Valid())
        Error_ = QStringLiteral("the loudness measurement could not be started");
    if (Pool_)
        Peak_ = std::make_shared<TPeakPool::TTrackPeak>();
}

void TLoudnessSink::AddToParts(const int16_t* frames, size_t count) {
    Next_.insert(Next_.end(), frames, frames + 2 * count);
    // A part: its lead, its own frames, and the frames after them that the interpolator
    // needs to give its last values. The next part's lead begins kPartEdge frames before
    // the next part's own frames.
    while (Next_.size() / 2 >= PartLead_ + kPartFrames + kPartEdge) {
        const size_t end = PartLead_ + kPartFrames + kPartEdge;
        Pool_->Submit(Peak_, std::vector<int16_t>(Next_.begin(), Next_.begin() + 2 * end),
                      PartLead_);
        Next_.erase(Next_.begin(), Next_.begin() + 2 * (end - 2 * kPartEdge));
        PartLead_ = kPartEdge;
    }
}

std::unique_ptr<TLoudness> TLoudnessSink::Take() {
    if (!Pool_ || !Loudness_)
        return std::move(Loudness_);
    if (Next_.size() / 2 > PartLead_)
        Pool_->Submit(Peak_, std::move(Next_), PartLead_);
    Next_.clear();
    double peak = 0;
    if (!TPeakPool::Wait(*Peak_, peak))
        return nullptr;
    Loudness_->SetPeak(peak);
    return std::move(Loudness_);
}

bool TLoudnessSink::Add(const uint8_t* data, size_t size) {
    if (!Loudness_ || !Loudness_->Valid())
        return false;
    Frames_.clear();
    auto sample = [](const uint8_t* p) { return static_cast<int16_t>(p[0] | p[1] << 8); };
    while (PartSize_ > 0 && size > 0) { // complete the frame split by the last part
        Part_[PartSize_++] = *data++;
        --size;
        if (PartSize_ == 4) {
            Frames_.push_back(sample(Part_));
            Frames_.push_back(sample(Part_ + 2));
            PartSize_ = 0;
        }
    }
    const size_t whole = size / 4 * 4;
    for (size_t i = 0; i < whole; i += 2)
        Frames_.push_back(sample(data + i));
    for (size_t i = whole; i < size; ++i)
        Part_[PartSize_++] = data[i];
    if (Frames_.empty())
        return true;
    if (Loudness_->Add(Frames_.data(), Frames_.size() / 2)) {
        if (Pool_)
            AddToParts(Frames_.data(), Frames_.size() / 2);
        return true;
    }
    Error_ = QStringLiteral("the loudness measurement failed");
    return false;
}

// ---- TAlbumGate --------------------------------------------------------------------------

void TAlbumGate::Open(const TGainValues& album) {
    {
        std::lock_guard lock(Lock_);
        Album_ = album;
        Opened_ = true;
    }
    Changed_.notify_all();
}

void TAlbumGate::Cancel() {
    {
        std::lock_guard lock(Lock_);
        Cancelled_ = true;
    }
    Changed_.notify_all();
}

bool TAlbumGate::Wait(TGainValues& album) {
    std::unique_lock lock(Lock_);
    Changed_.wait(lock, [this] { return Opened_ || Cancelled_; });
    album = Album_;
    return Opened_ && !Cancelled_;
}

// ---- tags, log and JSON ------------------------------------------------------------------

meta::TReplayGain TagGain(const TGainValues& track, const TGainValues& album) {
    meta::TReplayGain g;
    g.Track = track.Measured;
    g.TrackGain = track.Gain;
    g.TrackPeak = track.Peak;
    g.Album = album.Measured;
    g.AlbumGain = album.Gain;
    g.AlbumPeak = album.Peak;
    return g;
}

void LogGain(const TGainValues& v, const QString& label, QStringList& lines) {
    if (!v.Measured) {
        lines << QStringLiteral("%1: silent (no gain), peak %2").arg(label, meta::PeakText(v.Peak));
        return;
    }
    lines << QStringLiteral("%1: %2, peak %3 (loudness %4 LUFS)")
                 .arg(label, meta::GainText(v.Gain), meta::PeakText(v.Peak))
                 .arg(v.Loudness, 0, 'f', 2);
}

QJsonObject GainJson(const TGainValues& v) {
    QJsonObject o{{QStringLiteral("peak"), std::round(v.Peak * 1e6) / 1e6}};
    if (v.Measured) {
        o[QStringLiteral("gain")] = std::round(v.Gain * 100) / 100;
        o[QStringLiteral("loudness")] = std::round(v.Loudness * 100) / 100;
    }
    return o;
}

} // namespace rip
