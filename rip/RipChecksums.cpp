#include "RipChecksums.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

namespace rip {
namespace {

// Eight tables: a whole disc is summed at least once, so the CRC reads eight
// bytes per step instead of one.
struct TCrcTables {
    std::array<std::array<uint32_t, 256>, 8> t{};
    TCrcTables() {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[0][i] = c;
        }
        for (uint32_t i = 0; i < 256; ++i)
            for (size_t k = 1; k < 8; ++k)
                t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
    }
};

const TCrcTables& Tables() {
    static const TCrcTables tables;
    return tables;
}

uint32_t Le32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

uint32_t Magnitude(const uint8_t* p) {
    const auto value = static_cast<int16_t>(static_cast<uint16_t>(p[0] | p[1] << 8));
    return static_cast<uint32_t>(value < 0 ? -static_cast<int32_t>(value) : value);
}

} // namespace

void TCrc32::Add(const void* data, size_t size) {
    const auto& t = Tables().t;
    const auto* p = static_cast<const uint8_t*>(data);
    uint32_t c = State_;
    while (size >= 8) {
        const uint32_t low = c ^ Le32(p);
        const uint32_t high = Le32(p + 4);
        c = t[7][low & 0xFF] ^ t[6][(low >> 8) & 0xFF] ^ t[5][(low >> 16) & 0xFF] ^
            t[4][low >> 24] ^ t[3][high & 0xFF] ^ t[2][(high >> 8) & 0xFF] ^
            t[1][(high >> 16) & 0xFF] ^ t[0][high >> 24];
        p += 8;
        size -= 8;
    }
    while (size-- > 0)
        c = t[0][(c ^ *p++) & 0xFF] ^ (c >> 8);
    State_ = c;
}

uint32_t Crc32(const void* data, size_t size) {
    TCrc32 crc;
    crc.Add(data, size);
    return crc.Value();
}

TTrackSummer::TTrackSummer(int64_t trackSamples, bool firstTrack, bool lastTrack)
    : From_(firstTrack ? kAccurateRipSkip : 1),
      To_(lastTrack ? trackSamples - kAccurateRipSkip : trackSamples) {}

void TTrackSummer::Add(const uint8_t* data, size_t size) {
    Crc_.Add(data, size);
    if (PartialSize_ > 0) {
        const size_t take = std::min(size, kBytesPerSample - PartialSize_);
        std::memcpy(Partial_ + PartialSize_, data, take);
        PartialSize_ += take;
        data += take;
        size -= take;
        if (PartialSize_ < kBytesPerSample)
            return;
        AddSamples(Partial_, 1);
        PartialSize_ = 0;
    }
    const size_t whole = size / kBytesPerSample;
    AddSamples(data, whole);
    PartialSize_ = size - whole * kBytesPerSample;
    std::memcpy(Partial_, data + whole * kBytesPerSample, PartialSize_);
}

void TTrackSummer::AddSamples(const uint8_t* data, size_t count) {
    constexpr int64_t f450From = kFrame450 * kSamplesPerSector + 1;
    constexpr int64_t f450To = (kFrame450 + 1) * kSamplesPerSector;
    uint32_t v1 = V1_, v2 = V2_, peak = Peak_;
    int64_t i = Index_;
    for (size_t k = 0; k < count; ++k, data += kBytesPerSample) {
        ++i;
        const uint32_t word = Le32(data);
        peak = std::max({peak, Magnitude(data), Magnitude(data + 2)});
        if (i >= From_ && i <= To_) {
            const uint64_t product = uint64_t{word} * static_cast<uint64_t>(i);
            v1 += static_cast<uint32_t>(product);
            v2 += static_cast<uint32_t>(product) + static_cast<uint32_t>(product >> 32);
        }
        if (i >= f450From && i <= f450To)
            F450_ += word * static_cast<uint32_t>(i - f450From + 1);
    }
    Index_ = i;
    V1_ = v1;
    V2_ = v2;
    Peak_ = peak;
}

TTrackSums TTrackSummer::Finish() {
    TTrackSums sums;
    sums.Samples = Index_;
    sums.Crc32 = Crc_.Value();
    sums.ArV1 = V1_;
    sums.ArV2 = V2_;
    sums.Frame450 = F450_;
    sums.Peak = Peak_;
    return sums;
}

double PeakPercent(uint32_t peak) {
    return static_cast<double>(peak) * 100.0 / 32768.0;
}

std::string Hex8(uint32_t value) {
    char text[9];
    std::snprintf(text, sizeof text, "%08x", value);
    return text;
}

std::string Hex8Upper(uint32_t value) {
    char text[9];
    std::snprintf(text, sizeof text, "%08X", value);
    return text;
}

} // namespace rip
