// Checksums of ripped CD audio: the CRC-32 of the data, the AccurateRip sums
// (v1, v2 and the frame-450 CRC) and the peak level, computed in one pass over
// a track's PCM.
//
// CD audio here is 16-bit little-endian stereo; one sample is one stereo pair
// (4 bytes, read as one little-endian 32-bit word with the left channel in its
// low half). Pure code, no Qt; one object per thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace rip {

inline constexpr int kBytesPerSample = 4; // one stereo pair
inline constexpr int kSamplesPerSector = 588;
inline constexpr int kBytesPerSector = 2352;
// AccurateRip leaves out the first 2940 - 1 samples of a disc's first track and
// the last 2940 samples of its last track.
inline constexpr int64_t kAccurateRipSkip = 2940;
// The sector (from 0) of a track whose v1 sum is the frame-450 CRC.
inline constexpr int64_t kFrame450 = 450;

// CRC-32 as zlib and PNG compute it (reflected polynomial 0xEDB88320), fed in parts.
class TCrc32 {
public:
    void Add(const void* data, size_t size);
    uint32_t Value() const { return ~State_; }

private:
    uint32_t State_ = 0xFFFFFFFFu;
};
uint32_t Crc32(const void* data, size_t size);

struct TTrackSums {
    int64_t Samples = 0;   // stereo samples summed
    uint32_t Crc32 = 0;    // CRC-32 of the PCM bytes
    uint32_t ArV1 = 0;     // AccurateRip v1
    uint32_t ArV2 = 0;     // AccurateRip v2
    uint32_t Frame450 = 0; // v1 of sector 450 alone (0 for a shorter track)
    uint32_t Peak = 0;     // largest magnitude of any channel, 0..32768
    uint32_t CtdbCrc = 0;  // the CTDB CRC (RipCtdb.h), from its own sink
    int64_t CtdbBytes = 0; // the bytes it covers
};

// The sums of one track. trackSamples is the track's length N; firstTrack and
// lastTrack say whether it is the first or last audio track of the disc (both
// for a one-track disc), which limits the samples the AccurateRip sums count.
// Add takes the PCM in order, in parts of any size; Finish gives the sums.
class TTrackSummer {
public:
    TTrackSummer(int64_t trackSamples, bool firstTrack, bool lastTrack);
    void Add(const uint8_t* data, size_t size);
    TTrackSums Finish();

private:
    void AddSamples(const uint8_t* data, size_t count);

    TCrc32 Crc_;
    int64_t Index_ = 0; // samples seen so far (the next one is Index_ + 1)
    int64_t From_ = 1, To_ = 0;
    uint32_t V1_ = 0, V2_ = 0, F450_ = 0;
    uint32_t Peak_ = 0;
    uint8_t Partial_[kBytesPerSample] = {};
    size_t PartialSize_ = 0;
};

// The peak level as a percentage of full scale, as logs print it.
double PeakPercent(uint32_t peak);

// "%08x" and "%08X" of a sum.
std::string Hex8(uint32_t value);
std::string Hex8Upper(uint32_t value);

} // namespace rip
