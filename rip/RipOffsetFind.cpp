#include "RipOffsetFind.h"

#include "RipReader.h"

#include "sbGrab.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <map>

namespace rip {
namespace {

static_assert(std::endian::native == std::endian::little, "samples are read as host words");

struct TWindow {
    int64_t From = 1, To = 0; // the samples of the track the sums count, from 1
};

TWindow WindowOf(const TOffsetTrack& t) {
    return {t.First ? kAccurateRipSkip : 1, t.Last ? t.Samples - kAccurateRipSkip : t.Samples};
}

// The disc's sample x; silence outside the region.
class TSamples {
public:
    explicit TSamples(const TOffsetRegion& r) : R_(r) {}
    uint32_t operator()(int64_t x) const {
        const int64_t j = x - R_.First;
        return j < 0 || j >= static_cast<int64_t>(R_.Words.size())
                   ? 0
                   : R_.Words[static_cast<size_t>(j)];
    }

private:
    const TOffsetRegion& R_;
};

// The v1 and v2 sums of a track read at offset k, the plain way.
void SumsAt(const TSamples& d, const TOffsetTrack& t, int k, uint32_t& v1, uint32_t& v2) {
    const TWindow w = WindowOf(t);
    v1 = v2 = 0;
    for (int64_t i = w.From; i <= w.To; ++i) {
        const uint64_t product = uint64_t{d(t.Start + k + i - 1)} * static_cast<uint64_t>(i);
        v1 += static_cast<uint32_t>(product);
        v2 += static_cast<uint32_t>(product) + static_cast<uint32_t>(product >> 32);
    }
}

void Agree(TOffsetMatch& m, const TOffsetTrack& t, int chunk, uint32_t confidence) {
    if (std::find(m.Tracks.begin(), m.Tracks.end(), t.Number) == m.Tracks.end())
        m.Tracks.push_back(t.Number);
    if (std::find(m.Chunks.begin(), m.Chunks.end(), chunk) == m.Chunks.end())
        m.Chunks.push_back(chunk);
    m.Confidence = std::max(m.Confidence, confidence);
}

} // namespace

std::vector<TOffsetMatch> FindOffsets(const TOffsetRegion& region,
                                      const std::vector<TOffsetTrack>& tracks,
                                      const std::vector<TDbarEntry>& chunks, int range) {
    const TSamples d(region);
    std::map<int, TOffsetMatch> found;
    for (const TOffsetTrack& t : tracks) {
        const TWindow w = WindowOf(t);
        if (w.To < w.From)
            continue;
        // What the chunks hold for the track.
        struct THeld {
            uint32_t Crc, Confidence;
            int Chunk;
        };
        std::vector<THeld> held;
        for (size_t c = 0; c < chunks.size(); ++c) {
            const auto p = static_cast<size_t>(t.Position);
            if (p < chunks[c].Tracks.size() && chunks[c].Tracks[p].Confidence > 0)
                held.push_back({chunks[c].Tracks[p].Crc, chunks[c].Tracks[p].Confidence,
                                static_cast<int>(c) + 1});
        }
        if (held.empty())
            continue;
        // The sums at -range, then one step per offset.
        uint32_t s1 = 0, sum = 0;
        for (int64_t i = w.From; i <= w.To; ++i) {
            const uint32_t x = d(t.Start - range + i - 1);
            s1 += x * static_cast<uint32_t>(i);
            sum += x;
        }
        const auto from = static_cast<uint32_t>(w.From), past = static_cast<uint32_t>(w.To + 1);
        for (int k = -range;; ++k) {
            for (const THeld& h : held)
                if (h.Crc == s1) {
                    TOffsetMatch& m = found[k];
                    m.Offset = k;
                    Agree(m, t, h.Chunk, h.Confidence);
                }
            if (k == range)
                break;
            const uint32_t out = d(t.Start + k + w.From - 1), in = d(t.Start + k + w.To);
            sum += in - out;
            s1 = s1 - from * out + past * in - sum;
        }
    }
    // v2 does not slide: where v1 found an offset, the tracks' v2 sums are checked whole.
    for (auto& [k, m] : found) {
        for (const TOffsetTrack& t : tracks) {
            uint32_t v1 = 0, v2 = 0;
            SumsAt(d, t, k, v1, v2);
            for (size_t c = 0; c < chunks.size(); ++c) {
                const auto p = static_cast<size_t>(t.Position);
                if (p < chunks[c].Tracks.size() && chunks[c].Tracks[p].Confidence > 0 &&
                    chunks[c].Tracks[p].Crc == v2)
                    Agree(m, t, static_cast<int>(c) + 1, chunks[c].Tracks[p].Confidence);
            }
        }
        std::sort(m.Tracks.begin(), m.Tracks.end());
        std::sort(m.Chunks.begin(), m.Chunks.end());
    }
    std::vector<TOffsetMatch> matches;
    for (auto& [k, m] : found)
        matches.push_back(std::move(m));
    std::stable_sort(matches.begin(), matches.end(),
                     [](const TOffsetMatch& a, const TOffsetMatch& b) {
                         if (a.Tracks.size() != b.Tracks.size())
                             return a.Tracks.size() > b.Tracks.size();
                         if (a.Confidence != b.Confidence)
                             return a.Confidence > b.Confidence;
                         return std::abs(a.Offset) < std::abs(b.Offset);
                     });
    return matches;
}

std::vector<TOffsetTrack> OffsetTracks(const TRipReport& report) {
    std::vector<TOffsetTrack> tracks;
    const int first = report.Toc.FirstAudio(), last = report.Toc.LastAudio();
    int position = 0;
    int32_t end = -1;
    for (const TTrackResult& t : report.Tracks) {
        if (!t.Audio)
            continue;
        if (static_cast<int>(tracks.size()) == kOffsetTracks || (end >= 0 && t.StartLba != end))
            break;
        tracks.push_back({t.Number, position++, int64_t{t.StartLba} * kSamplesPerSector,
                          t.Sectors() * kSamplesPerSector, t.Number == first, t.Number == last});
        end = t.EndLba;
    }
    return tracks;
}

bool ReadOffsetRegion(TDriveSession& session, const TRipReport& report,
                      const std::vector<TOffsetTrack>& tracks, TOffsetRegion& region,
                      const std::function<bool(int64_t, int64_t)>& progress, QString& error) {
    if (tracks.empty()) {
        error = QStringLiteral("the disc has no audio track");
        return false;
    }
    const TOffsetTrack& last = tracks.back();
    const int64_t end = last.Start + last.Samples;
    // The audio that goes on after the last track read (silence beyond it, as the rip reads).
    int64_t audioEnd = end;
    for (const TTrackResult& t : report.Tracks)
        if (t.Audio && int64_t{t.StartLba} * kSamplesPerSector == audioEnd)
            audioEnd = int64_t{t.EndLba} * kSamplesPerSector;
    const int32_t firstSector = static_cast<int32_t>(tracks.front().Start / kSamplesPerSector);
    const int64_t readEnd = std::min(end + kOffsetRange + kSamplesPerSector - 1, audioEnd);
    const auto sectors = static_cast<int32_t>(readEnd / kSamplesPerSector - firstSector);
    region.First = tracks.front().Start - kOffsetRange;
    region.Words.assign(static_cast<size_t>(end + kOffsetRange - region.First), 0);

    TsbBurner& burner = session.Burner();
    TsbGrabAction action;
    TsbGrabTrack& track = action.Tracks.Add();
    track.TrackNumber = tracks.front().Number;
    track.TrackType = ttData;
    track.FirstSector = firstSector;
    track.Sectors = sectors;
    int64_t at = (int64_t{firstSector} * kSamplesPerSector - region.First) * kBytesPerSample;
    const int64_t total = int64_t{sectors} * kBytesPerSector;
    int64_t received = 0;
    auto* bytes = reinterpret_cast<uint8_t*>(region.Words.data());
    const auto size = static_cast<int64_t>(region.Words.size()) * kBytesPerSample;
    track.Sink = [&](const uint8_t* data, size_t n) {
        const int64_t take = std::clamp<int64_t>(size - at, 0, static_cast<int64_t>(n));
        std::copy(data, data + take, bytes + at); // little-endian words, as the host's
        at += static_cast<int64_t>(n);
        received += static_cast<int64_t>(n);
        return !progress || progress(received / kBytesPerSector, total / kBytesPerSector)
                   ? 0
                   : ECANCELED;
    };
    return ExecuteGrab(burner, action, error);
}

} // namespace rip
