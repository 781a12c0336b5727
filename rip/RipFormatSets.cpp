#include "RipFormatSets.h"

#include "RipOutputs.h"

#include <algorithm>

namespace rip {

bool ParseFormatList(const QString& text, std::vector<TRipFormat>& formats, QString& error) {
    formats.clear();
    for (const QString& name : text.split(QLatin1Char(','))) {
        TRipFormat format = rfWAV;
        if (!ParseFormat(name.trimmed(), format)) {
            error = name.trimmed().isEmpty()
                        ? QStringLiteral("an empty format in the list")
                        : QStringLiteral("'%1' is no format").arg(name.trimmed());
            return false;
        }
        if (std::find(formats.begin(), formats.end(), format) != formats.end()) {
            error = QStringLiteral("%1 is named twice").arg(FormatName(format));
            return false;
        }
        formats.push_back(format);
    }
    return true;
}

QString FormatSetTemplate(const QString& tmpl, TRipFormat format) {
    const QString name = FormatName(format).toUpper();
    const qsizetype slash = tmpl.indexOf(QLatin1Char('/'));
    if (slash <= 0)
        return name + QLatin1Char('/') + tmpl.mid(slash == 0 ? 1 : 0);
    return tmpl.left(slash) + QStringLiteral(" [%1]").arg(name) + tmpl.mid(slash);
}

TRipReport FormatSetReport(const TRipReport& report, size_t index, TRipFormat format, int preset) {
    TRipReport set = report;
    set.Format = FormatName(format);
    set.Preset = PresetText(format, preset);
    if (index == 0)
        return set;
    for (TTrackResult& t : set.Tracks)
        t.FileName = index - 1 < static_cast<size_t>(t.MoreFiles.size())
                         ? t.MoreFiles[static_cast<qsizetype>(index - 1)]
                         : QString();
    return set;
}

std::vector<TRipReport> FormatSetReports(const TRipReport& report, const TRipSettings& settings) {
    const std::vector<TRipFormat> formats = RipFormatsOf(settings);
    if (formats.size() == 1)
        return {report};
    std::vector<TRipReport> sets;
    for (size_t i = 0; i < formats.size(); ++i)
        sets.push_back(FormatSetReport(report, i, formats[i], settings.Preset));
    return sets;
}

namespace {

bool Flagged(const TRipReport& report, const TTrackResult& t) {
    if (!t.Hidden)
        return t.PreEmphasis;
    const auto one = std::find_if(report.Tracks.begin(), report.Tracks.end(),
                                  [](const TTrackResult& o) { return !o.Hidden && o.Number == 1; });
    return one != report.Tracks.end() && one->PreEmphasis;
}

} // namespace

bool DeemphasisWanted(const TRipReport& report, const TTrackResult& t) {
    if (!report.Deemphasis || !Flagged(report, t))
        return false;
    if (!report.Image)
        return true;
    return std::all_of(report.Tracks.begin(), report.Tracks.end(),
                       [&](const TTrackResult& o) { return !o.Selected || Flagged(report, o); });
}

void MarkDeemphasis(TRipReport& report, const TRipSettings& settings) {
    const std::vector<TRipFormat> formats = RipFormatsOf(settings);
    for (TTrackResult& t : report.Tracks) {
        t.Deemphasised.clear();
        if (!t.Selected || !DeemphasisWanted(report, t))
            continue;
        for (size_t i = 0; i < formats.size(); ++i) {
            const QString& file =
                i == 0 ? t.FileName : t.MoreFiles.value(static_cast<qsizetype>(i - 1));
            if (IsLossy(formats[i]) && !file.isEmpty())
                t.Deemphasised << file;
        }
    }
}

bool WriteFormatSets(TRipReport& report, const TRipSettings& settings, const QString& outDirName,
                     TRipObserver& observer) {
    if (RipFormatsOf(settings).size() == 1)
        return WriteDiscFiles(report, outDirName, observer);
    bool ok = true;
    std::vector<TRipReport> sets = FormatSetReports(report, settings);
    for (size_t i = 0; i < sets.size() && ok; ++i) {
        ok = WriteDiscFiles(sets[i], outDirName, observer);
        if (i == 0)
            report.LogFile = sets[i].LogFile;
    }
    return ok;
}

} // namespace rip
