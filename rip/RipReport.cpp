#include "RipReport.h"

#include "RipGaps.h"
#include "RipImage.h"

#include "RipVerify.h"

#include "FileNames.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QStringList>

#include <algorithm>
#include <utility>

namespace rip {
namespace {

QString H8(uint32_t v) {
    return QString::fromStdString(Hex8(v));
}

QString H8U(uint32_t v) {
    return QString::fromStdString(Hex8Upper(v));
}

QString StatusText(const TTrackResult& t) {
    switch (t.Status) {
    case tsOk:
        return QStringLiteral("OK");
    case tsFailed:
        return QStringLiteral("failed: ") + t.Error;
    case tsNotRipped:
        break;
    }
    return QStringLiteral("not ripped");
}

QString StatusName(TTrackStatus status) {
    switch (status) {
    case tsOk:
        return QStringLiteral("ok");
    case tsFailed:
        return QStringLiteral("failed");
    case tsNotRipped:
        break;
    }
    return QStringLiteral("not ripped");
}

// Cue sheets quote their texts; a quote inside would end them early.
QString CueQuoted(QString text) {
    text.replace(QLatin1Char('"'), QLatin1Char('\'')).replace(QLatin1Char('\n'), QLatin1Char(' '));
    text.remove(QLatin1Char('\r'));
    return QLatin1Char('"') + text + QLatin1Char('"');
}

QString CueFileType(const QString& file) {
    if (file.endsWith(QLatin1String(".mp3"), Qt::CaseInsensitive))
        return QStringLiteral("MP3");
    return QStringLiteral("WAVE");
}

} // namespace

int TRipReport::Count(TTrackStatus status) const {
    return static_cast<int>(std::count_if(Tracks.begin(), Tracks.end(), [status](const auto& t) {
        return t.Selected && t.Status == status;
    }));
}

int TRipReport::SelectedCount() const {
    return static_cast<int>(
        std::count_if(Tracks.begin(), Tracks.end(), [](const auto& t) { return t.Selected; }));
}

QString Msf(int64_t sectors) {
    return QStringLiteral("%1:%2.%3")
        .arg(sectors / (75 * 60), 2, 10, QLatin1Char('0'))
        .arg(sectors / 75 % 60, 2, 10, QLatin1Char('0'))
        .arg(sectors % 75, 2, 10, QLatin1Char('0'));
}

QString ArResultText(const TArMatch& match) {
    return match.Matched ? QStringLiteral("accurately ripped (confidence %1)").arg(match.Confidence)
                         : QStringLiteral("not accurately ripped");
}

QString RelativeTo(const QString& folder, const QString& file) {
    if (folder.isEmpty())
        return file;
    const QString prefix = folder + QLatin1Char('/');
    return file.startsWith(prefix) ? file.mid(prefix.size()) : file;
}

namespace {

// Where the names came from: the source, the release and what the lookup noted.
void LogMetadata(const TRipReport& r, QStringList& l) {
    const meta::TDiscMeta& m = r.Meta;
    if (m.Source.isEmpty())
        return;
    QString line = QStringLiteral("Metadata: %1").arg(m.Source);
    if (!m.ReleaseId.isEmpty())
        line += QStringLiteral(", release %1").arg(m.ReleaseId);
    if (m.DiscNumber > 0)
        line += m.DiscTotal > 0
                    ? QStringLiteral(", disc %1 of %2").arg(m.DiscNumber).arg(m.DiscTotal)
                    : QStringLiteral(", disc %1").arg(m.DiscNumber);
    l << line;
    if (!m.Date.isEmpty())
        l << QStringLiteral("Date: %1").arg(m.Date);
    if (!m.Genre.isEmpty())
        l << QStringLiteral("Genre: %1").arg(m.Genre);
    for (const QString& note : r.LookupNotes)
        l << QStringLiteral("Lookup: %1").arg(note);
}

// The sections of rip.log, each a run of lines.
void LogHeader(const TRipReport& r, QStringList& l) {
    l << QStringLiteral("Tonvale rip log") << r.Program + QStringLiteral(", ") + r.Date
      << QString();
    l << QStringLiteral("Drive: %1 %2 %3 (%4)")
             .arg(r.DriveVendor, r.DriveProduct, r.DriveRevision, r.DrivePath);
    l << OffsetLogText(r);
    l << (r.Secure ? QStringLiteral("Secure mode: yes (each track read twice; on a mismatch up "
                                    "to %1 more reads)")
                         .arg(kSecureRetries)
                   : QStringLiteral("Secure mode: no (each track read once)"));
    l << QStringLiteral("Format: %1").arg(r.Preset) << QString();
    l << QStringLiteral("Album performer: %1").arg(r.AlbumPerformer);
    l << QStringLiteral("Album title: %1").arg(r.AlbumTitle);
    if (!r.Mcn.isEmpty())
        l << QStringLiteral("MCN: %1").arg(r.Mcn);
    LogMetadata(r, l);
}

void LogDisc(const TRipReport& r, QStringList& l) {
    l << QString() << QStringLiteral("TOC")
      << QStringLiteral("  Track  Audio  Start     Length    Start sector  End sector");
    for (const TTrackResult& t : r.Tracks)
        if (!t.Hidden) // not in the TOC
            l << QStringLiteral("  %1  %2  %3  %4  %5  %6")
                     .arg(t.Number, 5)
                     .arg(t.Audio ? QStringLiteral("yes  ") : QStringLiteral("no   "))
                     .arg(Msf(t.StartLba), -8)
                     .arg(Msf(t.Sectors()), -8)
                     .arg(t.StartLba, 12)
                     .arg(t.EndLba - 1, 10);
    l << QStringLiteral("  Lead-out sector: %1").arg(r.Toc.LeadOut) << QString();
    l << QStringLiteral("Disc ids");
    l << QStringLiteral("  AccurateRip: %1 (id1 %2, id2 %3)")
             .arg(r.Ids.DbarName, H8(r.Ids.AccurateRip1), H8(r.Ids.AccurateRip2));
    l << QStringLiteral("  CDDB: %1").arg(H8(r.Ids.Cddb));
    l << QStringLiteral("  MusicBrainz: %1").arg(r.Ids.MusicBrainz);
    if (!r.AccurateRipFile.isEmpty())
        l << QStringLiteral("  AccurateRip file: %1 (%2)")
                 .arg(r.AccurateRipFile, r.AccurateRipKnown
                                             ? QStringLiteral("holds entries for this disc")
                                             : QStringLiteral("holds no entry for this disc"));
    VerifyDiscLines(r, l);
    LogDiscGaps(r, l);
}

void LogTrack(const TRipReport& r, const TTrackResult& t, QStringList& l) {
    const bool replayGain = r.ReplayGain;
    l << QString() << QStringLiteral("Track %1").arg(t.Number);
    if (!t.Title.isEmpty())
        l << QStringLiteral("  Title: %1").arg(t.Title);
    if (!t.Performer.isEmpty())
        l << QStringLiteral("  Performer: %1").arg(t.Performer);
    if (!t.Isrc.isEmpty())
        l << QStringLiteral("  ISRC: %1").arg(t.Isrc);
    l << QStringLiteral("  File: %1").arg(t.FileName);
    LogTrackGaps(r, t, l);
    if (t.HaveSums) {
        l << QStringLiteral("  Peak level: %1 %").arg(PeakPercent(t.Sums.Peak), 0, 'f', 1);
        if (t.HaveTestCrc)
            l << QStringLiteral("  Test CRC: %1").arg(H8U(t.TestCrc));
        l << QStringLiteral("  Copy CRC: %1").arg(H8U(t.Sums.Crc32));
        l << QStringLiteral("  AccurateRip v1: %1%2")
                 .arg(H8(t.Sums.ArV1),
                      t.ArChecked ? QStringLiteral(", ") + ArResultText(t.ArV1) : QString());
        l << QStringLiteral("  AccurateRip v2: %1%2")
                 .arg(H8(t.Sums.ArV2),
                      t.ArChecked ? QStringLiteral(", ") + ArResultText(t.ArV2) : QString());
        l << QStringLiteral("  Frame-450 CRC: %1").arg(H8(t.Sums.Frame450));
        VerifyTrackLines(t, l);
        if (replayGain)
            LogGain(t.Gain, QStringLiteral("  ReplayGain track gain"), l);
    }
    if (t.Reads > 0)
        l << QStringLiteral("  Reads: %1").arg(t.Reads);
    l << QStringLiteral("  Status: %1").arg(StatusText(t));
}

void LogSummary(const TRipReport& r, QStringList& l) {
    l << QString() << QStringLiteral("Summary");
    l << QStringLiteral("  Tracks ripped: %1 of %2").arg(r.Count(tsOk)).arg(r.SelectedCount());
    if (r.Count(tsFailed) > 0)
        l << QStringLiteral("  Tracks failed: %1").arg(r.Count(tsFailed));
    if (r.Stopped)
        l << QStringLiteral("  The rip was stopped before its end.");
    if (r.ReplayGain && r.Count(tsOk) > 0)
        LogGain(r.AlbumGain,
                QStringLiteral("  ReplayGain album gain (reference %1 LUFS)")
                    .arg(meta::kReplayGainReference, 0, 'f', 0),
                l);
    if (!r.AccurateRipFile.isEmpty()) {
        const int accurate = static_cast<int>(
            std::count_if(r.Tracks.begin(), r.Tracks.end(), [](const TTrackResult& t) {
                return t.Selected && t.Status == tsOk && (t.ArV1.Matched || t.ArV2.Matched);
            }));
        l << QStringLiteral("  Accurately ripped (v1 or v2): %1 of %2")
                 .arg(accurate)
                 .arg(r.SelectedCount());
    }
    VerifySummaryLines(r, l);
    l << (r.Count(tsOk) == r.SelectedCount() ? QStringLiteral("  No errors occurred.")
                                             : QStringLiteral("  There were errors."));
}

} // namespace

QByteArray RipLogText(const TRipReport& r) {
    QStringList l;
    LogHeader(r, l);
    LogDisc(r, l);
    for (const TTrackResult& t : r.Tracks)
        if (t.Selected)
            LogTrack(r, t, l);
    LogSummary(r, l);
    l << QString();
    QByteArray text = FileNameBytes(l.join(QLatin1Char('\n'))); // names as their bytes
    const QByteArray sum = QCryptographicHash::hash(text, QCryptographicHash::Sha256).toHex();
    text += "SHA-256: " + sum + "\n";
    return text;
}

QJsonObject RipReportJson(const TRipReport& r) {
    QJsonObject drive{{QStringLiteral("vendor"), r.DriveVendor},
                      {QStringLiteral("product"), r.DriveProduct},
                      {QStringLiteral("revision"), r.DriveRevision},
                      {QStringLiteral("path"), r.DrivePath}};
    QJsonArray toc;
    for (const TTrackResult& t : r.Tracks)
        if (!t.Hidden)
            toc.append(QJsonObject{{QStringLiteral("number"), t.Number},
                                   {QStringLiteral("audio"), t.Audio},
                                   {QStringLiteral("startSector"), t.StartLba},
                                   {QStringLiteral("endSector"), t.EndLba - 1},
                                   {QStringLiteral("sectors"), static_cast<qint64>(t.Sectors())},
                                   {QStringLiteral("length"), Msf(t.Sectors())}});
    QJsonObject ids{{QStringLiteral("accurateRip1"), H8(r.Ids.AccurateRip1)},
                    {QStringLiteral("accurateRip2"), H8(r.Ids.AccurateRip2)},
                    {QStringLiteral("cddb"), H8(r.Ids.Cddb)},
                    {QStringLiteral("musicBrainz"), r.Ids.MusicBrainz},
                    {QStringLiteral("accurateRipFile"), r.Ids.DbarName}};
    QJsonArray tracks;
    for (const TTrackResult& t : r.Tracks) {
        if (!t.Selected)
            continue;
        QJsonObject o{{QStringLiteral("number"), t.Number},
                      {QStringLiteral("title"), t.Title},
                      {QStringLiteral("performer"), t.Performer},
                      {QStringLiteral("file"), t.FileName},
                      {QStringLiteral("status"), StatusName(t.Status)},
                      {QStringLiteral("reads"), t.Reads}};
        if (!t.MoreFiles.isEmpty())
            o[QStringLiteral("moreFiles")] = QJsonArray::fromStringList(t.MoreFiles);
        AddTrackGapJson(r, t, o);
        if (!t.Songwriter.isEmpty())
            o[QStringLiteral("songwriter")] = t.Songwriter;
        if (!t.Composer.isEmpty())
            o[QStringLiteral("composer")] = t.Composer;
        if (!t.Isrc.isEmpty())
            o[QStringLiteral("isrc")] = t.Isrc;
        if (t.Status == tsFailed)
            o[QStringLiteral("error")] = t.Error;
        if (t.HaveSums) {
            o[QStringLiteral("peak")] =
                static_cast<double>(qRound(PeakPercent(t.Sums.Peak) * 10)) / 10.0;
            if (t.HaveTestCrc)
                o[QStringLiteral("testCrc")] = H8U(t.TestCrc);
            o[QStringLiteral("copyCrc")] = H8U(t.Sums.Crc32);
            o[QStringLiteral("accurateRipV1")] = H8(t.Sums.ArV1);
            o[QStringLiteral("accurateRipV2")] = H8(t.Sums.ArV2);
            o[QStringLiteral("frame450Crc")] = H8(t.Sums.Frame450);
            if (r.ReplayGain)
                o[QStringLiteral("replayGain")] = GainJson(t.Gain);
            if (t.ArChecked) {
                o[QStringLiteral("accurateRipV1Result")] = ArResultText(t.ArV1);
                o[QStringLiteral("accurateRipV2Result")] = ArResultText(t.ArV2);
                o[QStringLiteral("accurateRipV1Confidence")] =
                    static_cast<qint64>(t.ArV1.Confidence);
                o[QStringLiteral("accurateRipV2Confidence")] =
                    static_cast<qint64>(t.ArV2.Confidence);
            }
        }
        AddVerifyJson(t, o);
        tracks.append(o);
    }
    QJsonObject record{
        {QStringLiteral("program"), r.Program},
        {QStringLiteral("date"), r.Date},
        {QStringLiteral("drive"), drive},
        {QStringLiteral("offset"), r.Offset},
        {QStringLiteral("secure"), r.Secure},
        {QStringLiteral("format"), r.Format},
        {QStringLiteral("preset"), r.Preset},
        {QStringLiteral("album"), QJsonObject{{QStringLiteral("title"), r.AlbumTitle},
                                              {QStringLiteral("performer"), r.AlbumPerformer},
                                              {QStringLiteral("mcn"), r.Mcn}}},
        {QStringLiteral("toc"),
         QJsonObject{{QStringLiteral("tracks"), toc}, {QStringLiteral("leadOut"), r.Toc.LeadOut}}},
        {QStringLiteral("ids"), ids},
        {QStringLiteral("tracks"), tracks},
        {QStringLiteral("summary"), QJsonObject{{QStringLiteral("selected"), r.SelectedCount()},
                                                {QStringLiteral("ripped"), r.Count(tsOk)},
                                                {QStringLiteral("failed"), r.Count(tsFailed)},
                                                {QStringLiteral("stopped"), r.Stopped}}}};
    if (!r.Meta.Source.isEmpty()) {
        const meta::TDiscMeta& m = r.Meta;
        record[QStringLiteral("metadata")] =
            QJsonObject{{QStringLiteral("source"), m.Source},
                        {QStringLiteral("releaseId"), m.ReleaseId},
                        {QStringLiteral("releaseGroupId"), m.ReleaseGroupId},
                        {QStringLiteral("date"), m.Date},
                        {QStringLiteral("genre"), m.Genre},
                        {QStringLiteral("discNumber"), m.DiscNumber},
                        {QStringLiteral("discTotal"), m.DiscTotal},
                        {QStringLiteral("cover"), !r.Cover.isEmpty()},
                        {QStringLiteral("notes"), QJsonArray::fromStringList(r.LookupNotes)}};
    }
    AddVerifyJson(r, record);
    AddDiscGapJson(r, record);
    if (r.ReplayGain) {
        QJsonObject album = GainJson(r.AlbumGain);
        album[QStringLiteral("reference")] = meta::kReplayGainReference;
        record[QStringLiteral("replayGain")] = album;
    }
    if (!r.AccurateRipFile.isEmpty()) {
        record[QStringLiteral("accurateRipDatabase")] = r.AccurateRipFile;
        record[QStringLiteral("accurateRipKnown")] = r.AccurateRipKnown;
    }
    return record;
}

QByteArray CueSheet(const TRipReport& r, const QString& folder) {
    QStringList l;
    l << QStringLiteral("REM DISCID %1").arg(H8U(r.Ids.Cddb));
    l << QStringLiteral("REM MUSICBRAINZ_DISCID %1").arg(r.Ids.MusicBrainz);
    if (!r.Meta.Genre.isEmpty())
        l << QStringLiteral("REM GENRE %1").arg(CueQuoted(r.Meta.Genre));
    if (!r.Meta.Year().isEmpty())
        l << QStringLiteral("REM DATE %1").arg(r.Meta.Year());
    l << QStringLiteral("REM COMMENT %1").arg(CueQuoted(r.Program));
    if (!r.Mcn.isEmpty())
        l << QStringLiteral("CATALOG %1").arg(r.Mcn);
    if (!r.AlbumPerformer.isEmpty())
        l << QStringLiteral("PERFORMER %1").arg(CueQuoted(r.AlbumPerformer));
    if (!r.AlbumTitle.isEmpty())
        l << QStringLiteral("TITLE %1").arg(CueQuoted(r.AlbumTitle));
    const TTrackResult* previous = nullptr; // the track before, in this sheet
    for (const TTrackResult& t : r.Tracks) {
        // An image's sheet is written before its tracks end (it is a tag of the image).
        if (!t.Selected || (t.Status != tsOk && !r.Image)) {
            previous = nullptr;
            continue;
        }
        // Names hold no quote or line break (ExpandTemplate): quoted, the name is the file's.
        const QString file = RelativeTo(folder, t.FileName);
        const QString fileLine =
            QStringLiteral("FILE %1 %2").arg(CueQuoted(file), CueFileType(file));
        const TTrackResult* before = std::exchange(previous, &t);
        if (r.Image ? before == nullptr : !Index00InPrevious(t, before))
            l << fileLine;
        if (t.Hidden) // no track of its own: the INDEX 00 of track 1
            continue;
        l << QStringLiteral("  TRACK %1 AUDIO").arg(t.Number, 2, 10, QLatin1Char('0'));
        if (t.PreEmphasis)
            l << QStringLiteral("    FLAGS PRE");
        if (!t.Title.isEmpty())
            l << QStringLiteral("    TITLE %1").arg(CueQuoted(t.Title));
        if (!t.Performer.isEmpty())
            l << QStringLiteral("    PERFORMER %1").arg(CueQuoted(t.Performer));
        if (!t.Songwriter.isEmpty())
            l << QStringLiteral("    SONGWRITER %1").arg(CueQuoted(t.Songwriter));
        if (!t.Composer.isEmpty())
            l << QStringLiteral("    REM COMPOSER %1").arg(CueQuoted(t.Composer));
        if (!t.Isrc.isEmpty())
            l << QStringLiteral("    ISRC %1").arg(t.Isrc);
        if (r.Image) {
            ImageIndexLines(r, t, l);
            continue;
        }
        CueBeforeIndex01(t, before, fileLine, l);
        l << QStringLiteral("    INDEX 01 00:00:00");
    }
    // File names are bytes: one that is not UTF-8 is written as it is on the disc.
    return FileNameBytes(l.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n"));
}

QByteArray M3uPlaylist(const TRipReport& r, const QString& folder) {
    QStringList l{QStringLiteral("#EXTM3U")};
    for (const TTrackResult& t : r.Tracks) {
        if (!t.Selected || t.Status != tsOk || (r.Image && l.size() > 1))
            continue; // an image is one entry
        const QString performer = t.Performer.isEmpty() || r.Image ? r.AlbumPerformer : t.Performer;
        const QString title = r.Image             ? r.AlbumTitle
                              : t.Title.isEmpty() ? QStringLiteral("Track%1").arg(t.Number)
                                                  : t.Title;
        l << QStringLiteral("#EXTINF:%1,%2")
                 .arg(((r.Image ? r.ImageEnd - r.ImageStart : t.Sectors()) + 37) / 75)
                 .arg(performer.isEmpty() ? title : performer + QStringLiteral(" - ") + title);
        // A line that starts with "#" would be a comment: "./#1.wav" is the same file.
        const QString file = RelativeTo(folder, t.FileName);
        l << (file.startsWith(QLatin1Char('#')) ? QStringLiteral("./") + file : file);
    }
    return FileNameBytes(l.join(QLatin1Char('\n')) + QLatin1Char('\n'));
}

} // namespace rip
