// tonvale-demodisc: writes a demo audio CD image (CUE/BIN with CD-Text titles) that the
// program can use as a virtual drive on a machine without an optical drive, and that the
// grab benchmark uses as its disc.
//
//   tonvale-demodisc [--minutes M] [--tracks N] FOLDER
//
// Writes FOLDER/tonvale-demo.cue and FOLDER/tonvale-demo.bin and prints the CUE path.
// Without --minutes the disc holds five short pieces (about two and a half minutes).
#include "DiscImage.h"

#include <filesystem>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <numbers>
#include <string>

namespace {

constexpr double kRate = 44100.0;

struct Piece {
    const char* title;
    double root;  // Hz of the key's tonic
    double tempo; // beats per minute
};

constexpr Piece kPieces[] = {
    {"Morning Light", 261.63, 96}, {"Harbour Walk", 293.66, 108}, {"Quiet Fields", 220.00, 84},
    {"Evening Bells", 246.94, 90}, {"Slow River", 196.00, 76},    {"Home Again", 277.18, 100},
};

// I - V - vi - IV, as semitone offsets of each chord's root from the tonic.
constexpr int kProgression[] = {0, 7, 9, 5};
constexpr int kPentatonic[] = {0, 2, 4, 7, 9, 12, 14, 16};

double Semitones(double base, int n) {
    return base * std::pow(2.0, n / 12.0);
}

// A small deterministic hash so that a melody needs no state between sectors.
uint32_t Hash(uint32_t x) {
    x ^= x >> 16;
    x *= 0x7feb352dU;
    x ^= x >> 15;
    x *= 0x846ca68bU;
    x ^= x >> 16;
    return x;
}

// One stereo sample pair of piece `p` at time t (seconds); length is the piece's length.
void Sample(const Piece& p, uint32_t seed, double t, double length, double& left, double& right) {
    const double beat = 60.0 / p.tempo;
    const auto beatIndex = static_cast<uint32_t>(t / beat);
    const double inBeat = t - beatIndex * beat;
    const int chord = kProgression[(beatIndex / 4) % 4];
    const bool minor = chord == 9;

    // Pad: the chord's triad, soft and steady.
    double pad = 0;
    const int third = minor ? 3 : 4;
    for (int n : {0, third, 7}) {
        const double f = Semitones(p.root / 2, chord + n);
        pad +=
            std::sin(2 * std::numbers::pi * f * t) + 0.3 * std::sin(4 * std::numbers::pi * f * t);
    }
    pad *= 0.05;

    // Bass on each beat, decaying.
    const double bassF = Semitones(p.root / 4, chord);
    const double bass = 0.22 * std::exp(-3.0 * inBeat) * std::sin(2 * std::numbers::pi * bassF * t);

    // Melody: a bell-like note per half beat from the pentatonic scale.
    const double half = beat / 2;
    const auto noteIndex = static_cast<uint32_t>(t / half);
    const double inNote = t - noteIndex * half;
    const uint32_t h = Hash(noteIndex * 2654435761U + seed);
    double melody = 0;
    if (h % 5 != 0) { // some rests
        const double f = Semitones(p.root, chord % 12 + kPentatonic[h % 8] - (chord > 5 ? 12 : 0));
        const double env = std::exp(-4.0 * inNote) * std::min(1.0, inNote * 200);
        melody = 0.18 * env *
                 (std::sin(2 * std::numbers::pi * f * t) +
                  0.25 * std::sin(2 * std::numbers::pi * 2.01 * f * t));
    }

    // Fade in and out over a second.
    const double fade = std::min({1.0, t / 1.0, (length - t) / 1.0});
    const double g = std::max(0.0, fade);
    left = g * (pad + bass + 0.8 * melody);
    right = g * (pad + bass + 1.0 * melody * 0.9 + 0.05 * std::sin(2 * std::numbers::pi * 0.2 * t));
}

discimage::Track PieceTrack(int k, double seconds) {
    const Piece& p = kPieces[k % 6];
    discimage::Track track;
    track.title = p.title;
    track.performer = "Tonvale Demo Ensemble";
    track.sectors = static_cast<uint32_t>(seconds * discimage::kSectorsPerSecond);
    const double length = track.sectors / double(discimage::kSectorsPerSecond);
    const uint32_t seed = static_cast<uint32_t>(k) * 7919U;
    track.fill = [p, seed, length](uint32_t index, uint8_t* sector) {
        for (uint32_t f = 0; f < discimage::kSectorBytes / 4; ++f) {
            const double t = (double(index) * (discimage::kSectorBytes / 4) + f) / kRate;
            double l = 0, r = 0;
            Sample(p, seed, t, length, l, r);
            const double values[2] = {l, r};
            for (int c = 0; c < 2; ++c) {
                const double clipped = std::max(-1.0, std::min(1.0, values[c]));
                const auto v =
                    static_cast<uint16_t>(static_cast<int16_t>(std::lround(clipped * 30000)));
                sector[f * 4 + c * 2] = static_cast<uint8_t>(v);
                sector[f * 4 + c * 2 + 1] = static_cast<uint8_t>(v >> 8);
            }
        }
    };
    return track;
}

int Usage() {
    std::fprintf(stderr, "usage: tonvale-demodisc [--minutes M] [--tracks N] FOLDER\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    double minutes = 0;
    int tracks = 5;
    std::string folder;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "--minutes" || arg == "--tracks") && i + 1 < argc) {
            char* end = nullptr;
            const double v = std::strtod(argv[++i], &end);
            if (*end != '\0' || !(v > 0))
                return Usage();
            if (arg == "--minutes")
                minutes = v;
            else
                tracks = static_cast<int>(v);
        } else if (!arg.empty() && arg[0] != '-' && folder.empty()) {
            folder = arg;
        } else {
            return Usage();
        }
    }
    if (folder.empty() || tracks < 1 || tracks > 99 || minutes > 79)
        return Usage();

    discimage::Disc disc;
    disc.title = "Tonvale Demo Disc";
    disc.performer = "Tonvale Demo Ensemble";
    constexpr double kDefaultSeconds[] = {24, 31, 18, 42, 27, 36};
    for (int k = 0; k < tracks; ++k) {
        const double seconds = minutes > 0 ? minutes * 60 / tracks : kDefaultSeconds[k % 6];
        disc.tracks.push_back(PieceTrack(k, seconds));
    }
    try {
        std::filesystem::create_directories(folder);
        const discimage::Written out = discimage::WriteCueBin(disc, folder, "tonvale-demo");
        std::printf("%s\n", out.cuePath.c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tonvale-demodisc: %s\n", e.what());
        return 1;
    }
    return 0;
}
