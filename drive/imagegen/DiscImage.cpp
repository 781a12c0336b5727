#include "DiscImage.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <numbers>
#include <stdexcept>
#include <system_error>

#include <unistd.h>

namespace discimage {
namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

[[noreturn]] void Fail(const std::string& path, const std::string& what) {
    throw std::runtime_error(path + ": " + what + ": " + std::strerror(errno));
}

uint8_t Bcd(uint32_t v) {
    return static_cast<uint8_t>(((v / 10) << 4) | (v % 10));
}

std::string Msf(uint32_t lba) {
    char text[16];
    std::snprintf(text, sizeof text, "%02u:%02u:%02u", lba / (60 * 75), (lba / 75) % 60, lba % 75);
    return text;
}

// CUE strings are quoted; a quote inside would end them early.
std::string Quoted(std::string text) {
    for (char& c : text) {
        if (c == '"' || c == '\n' || c == '\r')
            c = '\'';
    }
    return "\"" + text + "\"";
}

void PutBoth16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

void PutBoth32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<uint8_t>(v >> (8 * i));
        p[7 - i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

void PutPadded(uint8_t* p, size_t width, const std::string& text) {
    std::memset(p, ' ', width);
    std::memcpy(p, text.data(), std::min(width, text.size()));
}

// A directory record of the root ("." or "..") pointing at `extent`.
void PutRootRecord(uint8_t* p, uint32_t extent, uint8_t name) {
    p[0] = 34;
    PutBoth32(p + 2, extent);
    PutBoth32(p + 10, kDataBytes);
    p[18] = 125; // years since 1900
    p[19] = 1;
    p[20] = 1;
    p[25] = 2; // directory
    PutBoth16(p + 28, 1);
    p[32] = 1;
    p[33] = name;
}

// The user data of block `index` of a data track: an ISO 9660 volume whose descriptors
// start at block 16, an empty root directory at 18 and path tables at 19 and 20.
void FillIsoBlock(const Track& track, uint32_t index, uint8_t* data) {
    std::memset(data, 0, kDataBytes);
    if (index == 16) {
        data[0] = 1;
        std::memcpy(data + 1, "CD001", 5);
        data[6] = 1;
        PutPadded(data + 8, 32, "LINUX");
        PutPadded(data + 40, 32, track.volumeId);
        PutBoth32(data + 80, track.sectors);
        PutBoth16(data + 120, 1);
        PutBoth16(data + 124, 1);
        PutBoth16(data + 128, kDataBytes);
        PutBoth32(data + 132, 10);
        data[140] = 19; // L path table (little-endian)
        data[151] = 20; // M path table (big-endian)
        PutRootRecord(data + 156, 18, 0);
        PutPadded(data + 190, 623, "");
        std::memcpy(data + 813, "2025010100000000", 16);
        data[829] = 0;
        std::memcpy(data + 830, "2025010100000000", 16);
        data[846] = 0;
        std::memset(data + 847, '0', 16);
        std::memset(data + 864, '0', 16);
        data[881] = 1;
    } else if (index == 17) {
        data[0] = 255;
        std::memcpy(data + 1, "CD001", 5);
        data[6] = 1;
    } else if (index == 18) {
        PutRootRecord(data, 18, 0);
        PutRootRecord(data + 34, 18, 1);
    } else if (index == 19 || index == 20) {
        data[0] = 1;
        if (index == 19)
            data[2] = 18;
        else
            data[5] = 18;
        data[6] = 1;
        data[7] = 0;
    } else {
        // Recognisable filler: block number in every 4 bytes.
        for (uint32_t i = 0; i + 4 <= kDataBytes; i += 4)
            std::memcpy(data + i, &index, 4);
    }
}

void FillDataSector(const Track& track, uint32_t index, uint32_t absoluteLba, uint8_t* sector) {
    std::memset(sector, 0, kSectorBytes);
    std::memset(sector + 1, 0xFF, 10);
    const uint32_t address = absoluteLba + 150;
    sector[12] = Bcd(address / (60 * 75));
    sector[13] = Bcd((address / 75) % 60);
    sector[14] = Bcd(address % 75);
    sector[15] = 1;
    FillIsoBlock(track, index, sector + 16);
}

std::string Rendered(const Disc& disc, const std::string& binName,
                     const std::vector<uint32_t>& starts, int firstTrack) {
    std::string cue;
    if (!disc.performer.empty())
        cue += "PERFORMER " + Quoted(disc.performer) + "\n";
    if (!disc.title.empty())
        cue += "TITLE " + Quoted(disc.title) + "\n";
    cue += "FILE " + Quoted(binName) + " BINARY\n";
    for (size_t i = 0; i < disc.tracks.size(); ++i) {
        const Track& t = disc.tracks[i];
        char line[64];
        std::snprintf(line, sizeof line, "  TRACK %02zu %s\n", i + static_cast<size_t>(firstTrack),
                      t.kind == Track::Kind::Audio ? "AUDIO" : "MODE1/2352");
        cue += line;
        if (!t.title.empty())
            cue += "    TITLE " + Quoted(t.title) + "\n";
        if (!t.performer.empty())
            cue += "    PERFORMER " + Quoted(t.performer) + "\n";
        cue += "    INDEX 01 " + Msf(starts[i]) + "\n";
    }
    return cue;
}

} // namespace

Track AudioTrackFromPcm(std::vector<uint8_t> pcm, std::string title) {
    Track track;
    track.title = std::move(title);
    track.sectors = static_cast<uint32_t>((pcm.size() + kSectorBytes - 1) / kSectorBytes);
    auto shared = std::make_shared<std::vector<uint8_t>>(std::move(pcm));
    track.fill = [shared](uint32_t index, uint8_t* sector) {
        const size_t offset = size_t{index} * kSectorBytes;
        const size_t n = std::min<size_t>(kSectorBytes, shared->size() - offset);
        std::memcpy(sector, shared->data() + offset, n);
        std::memset(sector + n, 0, kSectorBytes - n);
    };
    return track;
}

Track ToneTrack(double seconds, double hertz, double amplitude, std::string title) {
    Track track;
    track.title = std::move(title);
    track.sectors = std::max<uint32_t>(1, static_cast<uint32_t>(seconds * kSectorsPerSecond));
    track.fill = [hertz, amplitude](uint32_t index, uint8_t* sector) {
        for (uint32_t f = 0; f < kSectorBytes / 4; ++f) {
            const double t = (double(index) * (kSectorBytes / 4) + f) / 44100.0;
            const auto v = static_cast<int16_t>(
                std::lround(32767.0 * amplitude * std::sin(2 * std::numbers::pi * hertz * t)));
            const auto u = static_cast<uint16_t>(v);
            for (int c = 0; c < 2; ++c) {
                sector[f * 4 + c * 2] = static_cast<uint8_t>(u);
                sector[f * 4 + c * 2 + 1] = static_cast<uint8_t>(u >> 8);
            }
        }
    };
    return track;
}

Track DataTrack(uint32_t sectors, std::string volumeId) {
    Track track;
    track.kind = Track::Kind::Data;
    track.sectors = std::max<uint32_t>(sectors, 21);
    track.volumeId = std::move(volumeId);
    return track;
}

std::vector<uint8_t> TrackPcm(const Track& track) {
    std::vector<uint8_t> pcm(size_t{track.sectors} * kSectorBytes, 0);
    if (track.fill) {
        for (uint32_t i = 0; i < track.sectors; ++i)
            track.fill(i, pcm.data() + size_t{i} * kSectorBytes);
    }
    return pcm;
}

Written WriteCueBin(const Disc& disc, const std::string& folder, const std::string& baseName,
                    const WriteOptions& options) {
    if (disc.tracks.empty() || disc.tracks.size() > 99)
        throw std::runtime_error("a disc holds 1 to 99 tracks");
    Written out;
    out.cuePath = folder + "/" + baseName + ".cue";
    out.binPath = folder + "/" + baseName + ".bin";
    uint32_t lba = 0;
    for (const Track& t : disc.tracks) {
        out.trackStart.push_back(lba);
        lba += t.sectors;
    }

    const std::string binTemp = out.binPath + ".part";
    const std::string cueTemp = out.cuePath + ".part";
    try {
        FilePtr bin(std::fopen(binTemp.c_str(), "wb"));
        if (!bin)
            Fail(binTemp, "cannot create");
        std::vector<uint8_t> buffer(kSectorBytes * 75);
        for (size_t i = 0; i < disc.tracks.size(); ++i) {
            const Track& t = disc.tracks[i];
            for (uint32_t s = 0; s < t.sectors;) {
                const uint32_t n = std::min<uint32_t>(75, t.sectors - s);
                for (uint32_t k = 0; k < n; ++k) {
                    uint8_t* sector = buffer.data() + size_t{k} * kSectorBytes;
                    if (t.kind == Track::Kind::Data)
                        FillDataSector(t, s + k, out.trackStart[i] + s + k, sector);
                    else if (t.fill)
                        t.fill(s + k, sector);
                    else
                        std::memset(sector, 0, kSectorBytes);
                }
                if (std::fwrite(buffer.data(), kSectorBytes, n, bin.get()) != n)
                    Fail(binTemp, "cannot write");
                s += n;
            }
        }
        if (std::fflush(bin.get()) != 0)
            Fail(binTemp, "cannot write");
        if (options.truncateBinTo >= 0 &&
            ::ftruncate(fileno(bin.get()), options.truncateBinTo) != 0)
            Fail(binTemp, "cannot truncate");
        if (std::fclose(bin.release()) != 0)
            Fail(binTemp, "cannot close");

        const std::string cue =
            Rendered(disc, baseName + ".bin", out.trackStart, options.firstTrack);
        FilePtr cueFile(std::fopen(cueTemp.c_str(), "wb"));
        if (!cueFile)
            Fail(cueTemp, "cannot create");
        if (std::fwrite(cue.data(), 1, cue.size(), cueFile.get()) != cue.size() ||
            std::fclose(cueFile.release()) != 0)
            Fail(cueTemp, "cannot write");
        if (std::rename(binTemp.c_str(), out.binPath.c_str()) != 0)
            Fail(out.binPath, "cannot rename");
        if (std::rename(cueTemp.c_str(), out.cuePath.c_str()) != 0)
            Fail(out.cuePath, "cannot rename");
    } catch (...) {
        std::remove(binTemp.c_str());
        std::remove(cueTemp.c_str());
        throw;
    }
    return out;
}

} // namespace discimage
