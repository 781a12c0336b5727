#include "RipImage.h"

#include "RipFormatSets.h"
#include "RipGaps.h"
#include "RipOutputs.h"

namespace rip {

bool PlanImage(const TRipSettings& settings, TRipReport& report, std::vector<TRipJob>& jobs,
               const QString& outDirName, QString& error) {
    if (jobs.empty())
        return true;
    for (size_t i = 1; i < jobs.size(); ++i)
        if (report.Tracks[jobs[i].Track].StartLba != report.Tracks[jobs[i - 1].Track].EndLba) {
            error = QStringLiteral("--image needs the audio tracks in one run; tracks %1 and %2 "
                                   "are apart")
                        .arg(jobs[i - 1].Number)
                        .arg(jobs[i].Number);
            return false;
        }
    report.Image = true;
    report.ImageStart = report.Tracks[jobs.front().Track].StartLba;
    if (report.Tracks[jobs.front().Track].Hidden)
        report.HiddenNote = QStringLiteral("in the image, as track 1's INDEX 00");
    report.ImageEnd = report.Tracks[jobs.back().Track].EndLba;
    // Each format's image is named as its set's cue sheet, beside it.
    const std::vector<TRipFormat> formats = RipFormatsOf(settings);
    const std::vector<TRipReport> sets = FormatSetReports(report, settings);
    std::vector<TRipJob::TOutput> outputs;
    QStringList names;
    for (size_t i = 0; i < formats.size(); ++i) {
        const TDiscFiles files = DiscFileNames(sets[i], outDirName);
        QString name = files.Cue;
        name.chop(4); // ".cue"
        name += FormatExtension(formats[i]);
        outputs.push_back({formats[i], name});
        names << name.mid(outDirName.size() + 1);
    }
    for (TRipJob& job : jobs) {
        job.Outputs = outputs;
        job.Output = outputs.front().File;
        TTrackResult& t = report.Tracks[job.Track];
        job.ImageOffset = int64_t{t.StartLba - report.ImageStart} * kSamplesPerSector;
        t.FileName = names.front();
        t.MoreFiles = names.mid(1);
    }
    return true;
}

void ImageIndexLines(const TRipReport& r, const TTrackResult& t, QStringList& l) {
    int64_t silence = t.PregapSilence;
    const bool index00 = t.Index00 >= r.ImageStart && t.Index00 < t.StartLba;
    if (!index00 && t.Index00 >= 0 && t.Index00 < t.StartLba)
        silence += t.StartLba - t.Index00; // before the image
    if (silence > 0)
        l << QStringLiteral("    PREGAP %1").arg(CueTime(silence));
    if (index00)
        l << QStringLiteral("    INDEX 00 %1").arg(CueTime(t.Index00 - r.ImageStart));
    l << QStringLiteral("    INDEX 01 %1").arg(CueTime(t.StartLba - r.ImageStart));
}

} // namespace rip
