// How far a rip is and how long it has left (TRipEstimate in Ripper.h).
#include "Ripper.h"

#include <algorithm>

namespace rip {
namespace {

// How far the read of one track is, from 0 to 1 (a verified copy needs two reads).
double ReadFraction(const TTrackProgress& p, bool secure) {
    const double step = p.Percent / 100.0;
    switch (p.State) {
    case TTrackProgress::psWaiting:
        return 0;
    case TTrackProgress::psGrabbing:
        return secure ? std::min(1.0, (std::max(p.Read, 1) - 1 + step) / 2) : step;
    default:
        return 1;
    }
}

// How far the encode (for WAV: the write) of one track is, from 0 to 1.
double EncodeFraction(const TTrackProgress& p) {
    switch (p.State) {
    case TTrackProgress::psEncoding:
        return p.Percent / 100.0;
    case TTrackProgress::psDone:
    case TTrackProgress::psFailed:
        return 1;
    default:
        return 0;
    }
}

} // namespace

TRipEstimate::TRipEstimate(std::vector<int64_t> samples, bool encoded, bool secure)
    : Samples_(std::move(samples)), Encoded_(encoded), Secure_(secure) {}

void TRipEstimate::Update(TRipProgress& progress, double elapsedSeconds) {
    double all = 0, read = 0, encoded = 0;
    bool encoding = false;
    for (size_t i = 0; i < Samples_.size() && i < progress.Tracks.size(); ++i) {
        const TTrackProgress& p = progress.Tracks[i];
        const auto weight = static_cast<double>(Samples_[i]);
        all += weight;
        read += weight * ReadFraction(p, Secure_);
        encoded += weight * EncodeFraction(p);
        encoding = encoding || p.State >= TTrackProgress::psEncoding;
    }
    const double r = all > 0 ? read / all : 1;
    const double e = all > 0 ? encoded / all : 1;
    if (encoding && EncodeStart_ < 0)
        EncodeStart_ = elapsedSeconds;
    progress.ElapsedSeconds = elapsedSeconds;
    // Each stage's time left from its own rate; -1 while too little is done to tell.
    const auto left = [](double fraction, double seconds) {
        if (fraction >= 1)
            return 0.0;
        return fraction > 0.02 && seconds > 0 ? seconds * (1 - fraction) / fraction : -1.0;
    };
    const double readLeft = left(r, elapsedSeconds);
    const double encodeLeft =
        Encoded_ ? left(e, EncodeStart_ < 0 ? 0 : elapsedSeconds - EncodeStart_) : 0;
    double fraction = 0;
    if (r >= 1 && e >= 1) {
        progress.SecondsLeft = 0;
        fraction = 1;
    } else if (readLeft >= 0 && encodeLeft >= 0) {
        progress.SecondsLeft = std::max(readLeft, encodeLeft);
        fraction = elapsedSeconds / (elapsedSeconds + progress.SecondsLeft);
    } else {
        progress.SecondsLeft = -1;
        fraction = Encoded_ ? std::min(r, e) : r;
    }
    Shown_ = std::max(Shown_, std::min(fraction, r >= 1 && e >= 1 ? 1.0 : 0.99));
    progress.Fraction = Shown_;
}

} // namespace rip
