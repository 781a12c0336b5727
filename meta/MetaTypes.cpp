#include "MetaTypes.h"

#include <algorithm>

namespace meta {

int TMetaToc::FirstAudio() const {
    for (const TMetaTocTrack& t : Tracks)
        if (t.Audio)
            return t.Number;
    return 0;
}

int TMetaToc::LastAudio() const {
    for (auto it = Tracks.rbegin(); it != Tracks.rend(); ++it)
        if (it->Audio)
            return it->Number;
    return 0;
}

int TMetaToc::AudioCount() const {
    return static_cast<int>(std::count_if(Tracks.begin(), Tracks.end(),
                                          [](const TMetaTocTrack& t) { return t.Audio; }));
}

std::vector<int> TMetaToc::AudioNumbers() const {
    std::vector<int> numbers;
    for (const TMetaTocTrack& t : Tracks)
        if (t.Audio)
            numbers.push_back(t.Number);
    return numbers;
}

int32_t TMetaToc::AudioLeadOut() const {
    const int last = LastAudio();
    for (size_t i = 0; i + 1 < Tracks.size(); ++i)
        if (Tracks[i].Number == last && !Tracks[i + 1].Audio)
            return Tracks[i + 1].Lba - kSessionGap;
    return LeadOut;
}

QString TDiscMeta::Year() const {
    if (Date.size() >= 4 && Date.left(4).toInt() > 0)
        return Date.left(4);
    return {};
}

QString TDiscMeta::DiscPrefix() const {
    return DiscTotal > 1 && DiscNumber > 0 ? QStringLiteral("%1-").arg(DiscNumber) : QString();
}

const TTrackMeta* TDiscMeta::Track(int number) const {
    for (const TTrackMeta& t : Tracks)
        if (t.Number == number)
            return &t;
    return nullptr;
}

TTrackMeta* TDiscMeta::Track(int number) {
    for (TTrackMeta& t : Tracks)
        if (t.Number == number)
            return &t;
    return nullptr;
}

bool TDiscMeta::Empty() const {
    if (!Album.isEmpty() || !Artist.isEmpty())
        return false;
    return std::none_of(Tracks.begin(), Tracks.end(),
                        [](const TTrackMeta& t) { return !t.Title.isEmpty(); });
}

} // namespace meta
