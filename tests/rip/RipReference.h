// The sums of a track the plain way, for the tests to check the rip against: the
// CRC-32 one bit at a time; AccurateRip v1/v2 one sample at a time (the first track
// from sample 2940, the last to N - 2940); the frame-450 CRC over sector 450 alone;
// the peak level.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace riptest {

struct Reference {
    uint32_t crc = 0, v1 = 0, v2 = 0, f450 = 0, peak = 0;
};

inline Reference ReferenceSums(const std::vector<uint8_t>& pcm, bool first, bool last) {
    Reference r;
    uint32_t crc = 0xFFFFFFFFu;
    for (uint8_t byte : pcm) {
        crc ^= byte;
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    r.crc = ~crc;
    const auto n = static_cast<int64_t>(pcm.size() / 4);
    for (int64_t i = 1; i <= n; ++i) {
        const uint8_t* p = &pcm[static_cast<size_t>(i - 1) * 4];
        const uint32_t word = p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
        if ((!first || i >= 2940) && (!last || i <= n - 2940)) {
            const uint64_t product = static_cast<uint64_t>(word) * static_cast<uint64_t>(i);
            r.v1 += static_cast<uint32_t>(product);
            r.v2 += static_cast<uint32_t>(product) + static_cast<uint32_t>(product >> 32);
        }
        if (i > 450 * 588 && i <= 451 * 588)
            r.f450 += word * static_cast<uint32_t>(i - 450 * 588);
        for (int c = 0; c < 2; ++c) {
            const int v = static_cast<int16_t>(p[2 * c] | p[2 * c + 1] << 8);
            r.peak = std::max(r.peak, static_cast<uint32_t>(v < 0 ? -v : v));
        }
    }
    return r;
}

} // namespace riptest
