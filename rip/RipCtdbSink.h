// The sample sink of the CTDB CRC (see RipCtdb.h for its range): beside the track's other
// sums while the drive reads. Belongs to the reader's worker thread.
#pragma once

#include "RipCtdb.h"
#include "RipSinks.h"

#include <algorithm>

namespace rip {

// The CRC-32 of a track's samples but its skipped ones.
class TCtdbSink : public TSampleSink {
public:
    TCtdbSink(int64_t trackSamples, const TCtdbSkip& skip)
        : From_(skip.Head * kBytesPerSample), To_((trackSamples - skip.Tail) * kBytesPerSample) {}
    bool Add(const uint8_t* data, size_t size) override {
        const int64_t end = At_ + static_cast<int64_t>(size);
        const int64_t from = std::max(At_, From_), to = std::min(end, To_);
        if (from < to)
            Crc_.Add(data + (from - At_), static_cast<size_t>(to - from));
        At_ = end;
        return true;
    }
    uint32_t Crc() const { return Crc_.Value(); }
    int64_t Bytes() const { return std::max<int64_t>(0, To_ - From_); } // what the CRC covers

private:
    TCrc32 Crc_;
    int64_t From_, To_; // bytes of the track
    int64_t At_ = 0;
};

} // namespace rip
