#include "RipGaps.h"

#include "RipFormats.h"

#include <QJsonArray>
#include <QJsonValue>

#include <algorithm>

namespace rip {

bool HasHiddenAudio(const TRipReport& report) {
    const auto first = std::find_if(report.Tracks.begin(), report.Tracks.end(),
                                    [](const TTrackResult& t) { return !t.Hidden; });
    return first != report.Tracks.end() && first->Number == 1 && first->Audio &&
           first->StartLba > 0;
}

void AddHiddenTrack(TRipReport& report, bool wanted, const std::set<int>& selection) {
    if (!HasHiddenAudio(report) || report.Tracks.front().Hidden)
        return;
    TTrackResult& one = report.Tracks.front();
    one.Index00 = 0; // the hidden audio is track 1's INDEX 00
    report.HiddenSectors = one.StartLba;
    if (!wanted) {
        report.HiddenNote = QStringLiteral("not ripped (--no-htoa)");
        return;
    }
    if (!selection.empty() && selection.count(0) == 0) {
        report.HiddenNote = QStringLiteral("not ripped (not selected)");
        return;
    }
    TTrackResult hidden;
    hidden.Number = 0;
    hidden.StartLba = 0;
    hidden.EndLba = one.StartLba;
    hidden.Audio = false; // in no TOC: no disc id or AccurateRip position counts it
    hidden.Hidden = true;
    hidden.Selected = true;
    const meta::TTrackMeta* named = report.Meta.Track(0);
    hidden.Title = named && !named->Title.isEmpty() ? named->Title : kHiddenTrackTitle;
    hidden.Performer = report.AlbumPerformer;
    if (!named) {
        meta::TTrackMeta m;
        m.Number = 0;
        m.Title = hidden.Title;
        m.Artist = report.Meta.Artist;
        report.Meta.Tracks.insert(report.Meta.Tracks.begin(), m);
    }
    report.Tracks.insert(report.Tracks.begin(), hidden);
    report.HiddenNote = QStringLiteral("ripped as track 0");
}

void DropSilentHiddenTrack(TRipReport& report, TTrackResult& track) {
    track.Selected = false;
    track.Status = tsNotRipped;
    report.HiddenNote = QStringLiteral("silent, not ripped");
}

QString CueTime(int64_t sectors) {
    return QStringLiteral("%1:%2:%3")
        .arg(sectors / (75 * 60), 2, 10, QLatin1Char('0'))
        .arg(sectors / 75 % 60, 2, 10, QLatin1Char('0'))
        .arg(sectors % 75, 2, 10, QLatin1Char('0'));
}

bool Index00InPrevious(const TTrackResult& t, const TTrackResult* previous) {
    return previous && t.Index00 >= 0 && t.Index00 < t.StartLba && previous->EndLba == t.StartLba &&
           previous->StartLba <= t.Index00;
}

void CueBeforeIndex01(const TTrackResult& t, const TTrackResult* previous, const QString& fileLine,
                      QStringList& l) {
    int64_t silence = t.PregapSilence;
    if (Index00InPrevious(t, previous)) {
        if (silence > 0)
            l << QStringLiteral("    PREGAP %1").arg(CueTime(silence));
        l << QStringLiteral("    INDEX 00 %1").arg(CueTime(t.Index00 - previous->StartLba));
        l << fileLine;
        return;
    }
    if (t.Index00 >= 0 && t.Index00 < t.StartLba)
        silence += t.StartLba - t.Index00; // its audio is in no file of this set
    if (silence > 0)
        l << QStringLiteral("    PREGAP %1").arg(CueTime(silence));
}

void LogDiscGaps(const TRipReport& r, QStringList& l) {
    const bool gaps = std::any_of(r.Tracks.begin(), r.Tracks.end(), [](const TTrackResult& t) {
        return !t.Hidden && t.Number != 1 && t.Index00 >= 0;
    });
    if (gaps)
        l << QStringLiteral("Pregaps: a track's pregap (INDEX 00) is ripped at the end of the "
                            "track before it");
    if (!r.PregapNote.isEmpty())
        l << r.PregapNote;
    if (r.HiddenSectors > 0)
        l << QStringLiteral("Hidden track one audio: %1 before track 1 (sectors 0 to %2), %3")
                 .arg(Msf(r.HiddenSectors))
                 .arg(r.HiddenSectors - 1)
                 .arg(r.HiddenNote);
}

void LogTrackGaps(const TRipReport& r, const TTrackResult& t, QStringList& l) {
    if (t.Hidden)
        l << QStringLiteral("  Hidden track one audio (before track 1's INDEX 01)");
    if (t.PreEmphasis)
        l << QStringLiteral("  Pre-emphasis: yes (FLAGS PRE)");
    if (r.Deemphasis && (t.PreEmphasis || !t.Deemphasised.isEmpty())) {
        TRipFormat format = rfWAV;
        const bool lossy = ParseFormat(r.Format, format) && IsLossy(format);
        if (t.Deemphasised.contains(t.FileName))
            l << QStringLiteral("  De-emphasis: applied (--deemphasis)");
        else if (lossy) // an image with tracks of both kinds is one conversion
            l << QStringLiteral("  De-emphasis: not applied, the image also holds tracks "
                                "without pre-emphasis");
        else
            l << QStringLiteral("  De-emphasis: not applied, %1 keeps the disc's samples")
                     .arg(r.Format);
    }
    if (!t.Hidden && t.Number != 1 && t.Index00 >= 0 && t.Index00 < t.StartLba)
        l << QStringLiteral("  Pregap: %1 (INDEX 00 at sector %2, in the track before)")
                 .arg(Msf(t.StartLba - t.Index00))
                 .arg(t.Index00);
    if (t.PregapSilence > 0)
        l << QStringLiteral("  Pregap silence: %1 (PREGAP, not on the disc)")
                 .arg(Msf(t.PregapSilence));
}

void AddTrackGapJson(const TRipReport& r, const TTrackResult& t, QJsonObject& o) {
    if (t.Hidden)
        o[QStringLiteral("hidden")] = true;
    if (t.PreEmphasis)
        o[QStringLiteral("preEmphasis")] = true;
    if (r.Deemphasis && (t.PreEmphasis || !t.Deemphasised.isEmpty()))
        o[QStringLiteral("deemphasised")] = QJsonArray::fromStringList(t.Deemphasised);
    if (!t.Hidden && t.Index00 >= 0 && t.Index00 < t.StartLba)
        o[QStringLiteral("pregapSectors")] = t.StartLba - t.Index00;
    if (t.PregapSilence > 0)
        o[QStringLiteral("pregapSilenceSectors")] = t.PregapSilence;
}

void AddDiscGapJson(const TRipReport& r, QJsonObject& record) {
    if (r.Deemphasis)
        record[QStringLiteral("deemphasis")] = true;
    if (!r.PregapNote.isEmpty())
        record[QStringLiteral("pregapNote")] = r.PregapNote;
    if (r.HiddenSectors > 0)
        record[QStringLiteral("hiddenTrackOne")] = QJsonObject{
            {QStringLiteral("sectors"), r.HiddenSectors}, {QStringLiteral("result"), r.HiddenNote}};
}

} // namespace rip
