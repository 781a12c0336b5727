// Writes CUE/BIN disc images: audio tracks from PCM, mode 1 data tracks with an ISO 9660
// primary volume descriptor, CD-Text TITLE/PERFORMER lines, and damaged (truncated) BINs.
//
// Used by the drive-layer tests to make their own discs and by tonvale-demodisc. libcdio's
// BIN/CUE driver reads "<cue base name>.bin" whatever the FILE line says, so the two files
// always share their base name. Not thread-safe per Disc; separate calls are independent.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace discimage {

constexpr uint32_t kSectorBytes = 2352;    // one raw CD sector (audio: 588 stereo frames)
constexpr uint32_t kSectorsPerSecond = 75; // CD blocks per second
constexpr uint32_t kDataBytes = 2048;      // user data of a mode 1 sector

struct Track {
    enum class Kind { Audio, Data };
    Kind kind = Kind::Audio;
    uint32_t sectors = 0; // length in blocks
    // Audio: fills the 2352 bytes of the track's sector `index` (from 0) with 16-bit
    // little-endian stereo PCM. Absent: silence.
    std::function<void(uint32_t index, uint8_t* sector)> fill;
    std::string title;     // CD-Text TITLE (empty: none)
    std::string performer; // CD-Text PERFORMER (empty: none)
    std::string volumeId;  // data tracks: the ISO 9660 volume id
};

struct Disc {
    std::string title;     // album CD-Text TITLE (empty: none)
    std::string performer; // album CD-Text PERFORMER
    std::vector<Track> tracks;
};

struct WriteOptions {
    // When set, the BIN is cut to this many bytes after writing (a damaged image).
    int64_t truncateBinTo = -1;
    // The number of the first track (a disc of a set may start at 5); the rest follow on.
    int firstTrack = 1;
};

struct Written {
    std::string cuePath;
    std::string binPath;
    std::vector<uint32_t> trackStart; // first block of each track in the image
};

// An audio track holding exactly these PCM bytes (padded with silence to whole sectors).
Track AudioTrackFromPcm(std::vector<uint8_t> pcm, std::string title = {});
// An audio track of `seconds` of a sine tone at `hertz` (amplitude 0..1).
Track ToneTrack(double seconds, double hertz, double amplitude = 0.3, std::string title = {});
// A mode 1 data track of `sectors` blocks (at least 17) with a primary volume descriptor.
Track DataTrack(uint32_t sectors, std::string volumeId = "TONVALE_DATA");

// Writes <folder>/<baseName>.cue and .bin; the folder must exist.
// Throws std::runtime_error with the file name and reason on failure (nothing half-written
// is left named as an image: both files are written under temporary names first).
Written WriteCueBin(const Disc& disc, const std::string& folder, const std::string& baseName,
                    const WriteOptions& options = {});

// The PCM bytes a track's sectors hold (what a grab of that track must yield).
std::vector<uint8_t> TrackPcm(const Track& track);

} // namespace discimage
