#include "RipPlan.h"

#include "RipFormatSets.h"

#include <algorithm>

namespace rip {
namespace {

// The audio sectors a read of track i may reach into: the run of audio tracks, one
// right after the other, that holds it.
void AudioAround(const std::vector<TTrackResult>& tracks, size_t i, int32_t& from, int32_t& to) {
    size_t first = i, last = i;
    while (first > 0 && tracks[first - 1].Audio &&
           tracks[first - 1].EndLba == tracks[first].StartLba)
        --first;
    while (last + 1 < tracks.size() && tracks[last + 1].Audio &&
           tracks[last + 1].StartLba == tracks[last].EndLba)
        ++last;
    from = std::max(0, tracks[first].StartLba);
    to = tracks[last].EndLba;
}

} // namespace

TNameFields NameFields(const TRipReport& report, const TTrackResult& t) {
    TNameFields f;
    f.AlbumPerformer = report.AlbumPerformer;
    f.AlbumTitle = report.AlbumTitle;
    f.TrackPerformer = t.Performer;
    f.TrackTitle = t.Title;
    f.Number = t.Number;
    f.Year = report.Meta.Year();
    f.Genre = report.Meta.Genre;
    f.DiscPrefix = report.Meta.DiscPrefix();
    return f;
}

bool PlanJobs(const TRipSettings& settings, TRipReport& report, const QString& outDirName,
              std::vector<TRipJob>& jobs, QString& error) {
    const std::vector<TRipFormat> formats = RipFormatsOf(settings);
    std::vector<QString> files;
    const int firstAudio = report.Toc.FirstAudio(), lastAudio = report.Toc.LastAudio();
    int64_t discSamples = 0; // the disc's audio, as its CTDB CRC counts it
    for (const TTrackResult& t : report.Tracks)
        discSamples += t.Audio ? t.Sectors() * kSamplesPerSector : 0;
    for (size_t i = 0; i < report.Tracks.size(); ++i) {
        TTrackResult& t = report.Tracks[i];
        if (!t.Selected)
            continue;
        TRipJob& job = jobs.emplace_back();
        t.MoreFiles.clear();
        for (TRipFormat format : formats) {
            const QString tmpl = formats.size() > 1 ? FormatSetTemplate(settings.Template, format)
                                                    : settings.Template;
            const QString extension = FormatExtension(format);
            const QString file = ExpandTemplate(tmpl, NameFields(report, t), extension) + extension;
            if (std::find(files.begin(), files.end(), file) != files.end()) {
                error = NameCollisionText(settings.Template, file);
                return false;
            }
            files.push_back(file);
            (job.Outputs.empty() ? t.FileName : t.MoreFiles.emplace_back()) = file;
            job.Outputs.push_back({format, outDirName + QLatin1Char('/') + file});
        }
        job.Track = i;
        job.Number = t.Number;
        job.Samples = t.Sectors() * kSamplesPerSector;
        job.FirstAudio = t.Number == firstAudio;
        job.LastAudio = t.Number == lastAudio;
        job.Output = outDirName + QLatin1Char('/') + t.FileName;
        job.Tags = {t.Title,
                    t.Performer,
                    report.AlbumTitle,
                    report.AlbumPerformer,
                    t.Songwriter,
                    t.Composer,
                    t.Isrc,
                    report.Mcn,
                    t.Number,
                    report.Toc.AudioCount()};
        int32_t audioFrom = 0, audioTo = 0;
        AudioAround(report.Tracks, i, audioFrom, audioTo);
        job.Read = PlanRead(t.StartLba, t.EndLba, report.Offset, audioFrom, audioTo);
        job.Ctdb = CtdbSkip(discSamples, job.Samples, job.FirstAudio, job.LastAudio);
    }
    return true;
}

} // namespace rip
