// tonvale-cli lookup: what the disc is, without ripping it. Reads the disc's table of
// contents and CD-Text as the rip does, looks its metadata up (the user's file,
// MusicBrainz, gnudb with an e-mail address, CD-Text) and prints the disc ids, the TOC,
// the CD-Text, every candidate with the chosen one marked and the metadata a rip would
// use. Exit codes: 0 the disc was read (a lookup that found nothing is not a failure),
// 1 no disc, 2 bad usage. The lookup's notes go to stderr, one line each.
#include "Cli.h"

#include "MetaJson.h"
#include "MetaLookup.h"
#include "MusicBrainz.h"
#include "Gnudb.h"

#include "RipDiscText.h"
#include "RipMetadata.h"
#include "RipReader.h"
#include "RipReport.h"

#include "sbUserInterface.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>

#include <cstdio>

namespace {

class TErrorsToStderr : public rip::TRipObserver {
public:
    void Error(const QString& text) override { cli::PrintError(text); }
};

const char* RankName(meta::TMatchRank rank) {
    switch (rank) {
    case meta::mrChosen:
        return "chosen release";
    case meta::mrDiscId:
        return "disc id";
    case meta::mrToc:
        return "TOC match";
    case meta::mrStub:
        return "CD stub";
    case meta::mrExact:
        return "exact match";
    case meta::mrInexact:
        return "close match";
    }
    return "";
}

QJsonObject CandidateJson(const meta::TCandidate& c, bool chosen) {
    QJsonObject o = meta::MetaToJson(c.Meta);
    o[QStringLiteral("source")] = c.Meta.Source;
    o[QStringLiteral("match")] = QString::fromLatin1(RankName(c.Rank));
    o[QStringLiteral("trackCount")] = c.TrackCount;
    o[QStringLiteral("chosen")] = chosen;
    return o;
}

QJsonObject CdTextJson(const rip::TDiscText& text) {
    QJsonArray tracks;
    for (const auto& [number, t] : text.Tracks)
        tracks.append(QJsonObject{{QStringLiteral("number"), number},
                                  {QStringLiteral("title"), t.Title},
                                  {QStringLiteral("performer"), t.Performer},
                                  {QStringLiteral("isrc"), t.Isrc}});
    return QJsonObject{{QStringLiteral("album"), text.AlbumTitle},
                       {QStringLiteral("performer"), text.AlbumPerformer},
                       {QStringLiteral("mcn"), text.Mcn},
                       {QStringLiteral("tracks"), tracks}};
}

void Print(const QString& line) {
    std::printf("%s\n", line.toUtf8().constData());
}

QString DiscOf(const meta::TDiscMeta& m) {
    if (m.DiscNumber <= 0)
        return {};
    return m.DiscTotal > 0 ? QStringLiteral(", disc %1 of %2").arg(m.DiscNumber).arg(m.DiscTotal)
                           : QStringLiteral(", disc %1").arg(m.DiscNumber);
}

void PrintText(const rip::TRipReport& report, const rip::TDiscText& text,
               const meta::TLookupResult& result) {
    const QJsonObject ids = rip::RipReportJson(report).value(QStringLiteral("ids")).toObject();
    Print(QStringLiteral("Disc ids"));
    Print(QStringLiteral("  MusicBrainz: %1").arg(report.Ids.MusicBrainz));
    Print(QStringLiteral("  CDDB: %1").arg(ids.value(QStringLiteral("cddb")).toString()));
    Print(QStringLiteral("  AccurateRip: %1").arg(report.Ids.DbarName));
    Print(QStringLiteral("TOC"));
    for (const rip::TTrackResult& t : report.Tracks)
        Print(QStringLiteral("  %1  %2  start %3  length %4")
                  .arg(t.Number, 2)
                  .arg(t.Audio ? QStringLiteral("audio") : QStringLiteral("data "))
                  .arg(t.StartLba, 6)
                  .arg(rip::Msf(t.Sectors())));
    Print(QStringLiteral("  lead-out %1").arg(report.Toc.LeadOut));
    Print(QStringLiteral("CD-Text"));
    if (text.AlbumTitle.isEmpty() && text.AlbumPerformer.isEmpty() && text.Tracks.empty())
        Print(QStringLiteral("  none"));
    else
        Print(QStringLiteral("  %1 - %2").arg(text.AlbumPerformer, text.AlbumTitle));
    for (const auto& [number, t] : text.Tracks)
        Print(QStringLiteral("  %1. %2 - %3").arg(number, 2).arg(t.Performer, t.Title));
    Print(QStringLiteral("Candidates"));
    if (result.Candidates.empty())
        Print(QStringLiteral("  none"));
    for (size_t i = 0; i < result.Candidates.size(); ++i) {
        const meta::TCandidate& c = result.Candidates[i];
        const meta::TDiscMeta& m = c.Meta;
        Print(QStringLiteral("%1 %2. %3 (%4)%5: %6 - %7%8%9, %10 tracks")
                  .arg(static_cast<int>(i) == result.Chosen ? QLatin1Char('*') : QLatin1Char(' '))
                  .arg(i + 1)
                  .arg(m.Source, QString::fromLatin1(RankName(c.Rank)),
                       m.ReleaseId.isEmpty() ? QString() : QStringLiteral(" ") + m.ReleaseId,
                       m.Artist, m.Album,
                       m.Date.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(m.Date),
                       DiscOf(m))
                  .arg(c.TrackCount));
    }
    const meta::TDiscMeta& m = result.Meta;
    Print(QStringLiteral("Metadata (names from %1)").arg(m.Source));
    Print(QStringLiteral("  %1 - %2%3%4")
              .arg(m.Artist, m.Album,
                   m.Date.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(m.Date), DiscOf(m)));
    if (!m.Genre.isEmpty())
        Print(QStringLiteral("  genre: %1").arg(m.Genre));
    if (!m.Label.isEmpty() || !m.CatalogNumber.isEmpty())
        Print(QStringLiteral("  label: %1 %2").arg(m.Label, m.CatalogNumber).trimmed());
    if (!m.Barcode.isEmpty())
        Print(QStringLiteral("  barcode: %1").arg(m.Barcode));
    for (const meta::TTrackMeta& t : m.Tracks)
        Print(QStringLiteral("  %1. %2 - %3").arg(t.Number, 2).arg(t.Artist, t.Title));
}

int RunLookup(QStringList args) {
    const bool json = cli::TakeFlag(args, QStringLiteral("--json"));
    bool ok = true;
    const QString drive = cli::TakeValue(args, QStringLiteral("--drive"), QString(), ok);
    cli::TLookupOptions options;
    if (!ok || !cli::TakeLookupOptions(args, false, options))
        return 2;
    for (const QString& arg : args)
        return cli::UsageError(arg.startsWith(QLatin1String("--"))
                                   ? QStringLiteral("unknown option '%1'").arg(arg)
                                   : QStringLiteral("unexpected argument '%1'").arg(arg));

    sbdlg::SetReportHandler([](sbdlg::TReportKind, const QString& text) { cli::PrintError(text); });
    TErrorsToStderr observer;
    rip::TRipReport report;
    rip::TDiscText text;
    {
        rip::TDriveSession session(observer);
        rip::TRipResult result = rip::rrFailed;
        if (!session.Open(
                drive, [] { return cli::StopRequested(); }, report, observer, result))
            return result == rip::rrStopped || cli::StopRequested() ? cli::StopExitCode()
                   : result == rip::rrUsage                         ? 2
                                                                    : 1;
        rip::TDiscReader disc;
        if (disc.Open(session.Path()))
            text = disc.ReadText(report.Tracks.front().Number, report.Tracks.back().Number);
    }
    rip::TRipLookup lookup;
    lookup.Offline = options.Offline;
    lookup.ReleaseId = options.ReleaseId;
    lookup.MetadataFile = options.MetadataFile;
    lookup.GnudbEmail = options.GnudbEmail;
    lookup.Cover = false; // nothing here would show it
    meta::TLookupRequest request = rip::DiscLookupRequest(report, text, lookup);
    request.Version = QStringLiteral(TONVALE_VERSION);
    auto cancel = std::make_shared<meta::TCancel>(); // a stop signal ends the lookup at once
    request.Limits.Cancel = cancel;
    cli::SetStopWake([cancel] { cancel->Cancel(); });
    if (cli::StopRequested())
        cancel->Cancel();
    const meta::TLookupResult result = meta::LookupDisc(request);
    cli::SetStopWake({});
    for (const QString& note : result.Notes)
        cli::PrintError(note);
    if (cli::StopRequested())
        return cli::StopExitCode();

    if (!json) {
        PrintText(report, text, result);
        return 0;
    }
    const QJsonObject rip = rip::RipReportJson(report);
    QJsonArray candidates;
    for (size_t i = 0; i < result.Candidates.size(); ++i)
        candidates.append(
            CandidateJson(result.Candidates[i], static_cast<int>(i) == result.Chosen));
    QJsonObject metadata = meta::MetaToJson(result.Meta);
    metadata[QStringLiteral("source")] = result.Meta.Source;
    cli::PrintJson(QJsonDocument(
        QJsonObject{{QStringLiteral("ids"), rip.value(QStringLiteral("ids"))},
                    {QStringLiteral("toc"), rip.value(QStringLiteral("toc"))},
                    {QStringLiteral("cdText"), CdTextJson(text)},
                    {QStringLiteral("candidates"), candidates},
                    {QStringLiteral("chosen"), result.Chosen},
                    {QStringLiteral("metadata"), metadata},
                    {QStringLiteral("notes"), QJsonArray::fromStringList(result.Notes)}}));
    return 0;
}

} // namespace

namespace cli {

bool TakeLookupOptions(QStringList& args, bool cover, TLookupOptions& options) {
    options.Offline = TakeFlag(args, QStringLiteral("--offline"));
    options.NoCover = cover && TakeFlag(args, QStringLiteral("--no-cover"));
    bool ok = true;
    options.ReleaseId = TakeValue(args, QStringLiteral("--release"), QString(), ok);
    options.MetadataFile = TakeValue(args, QStringLiteral("--metadata"), QString(), ok);
    options.GnudbEmail = TakeValue(args, QStringLiteral("--gnudb"),
                                   QSettings(QSettings::IniFormat, QSettings::UserScope,
                                             QStringLiteral("Brisklane"), QStringLiteral("Tonvale"))
                                       .value(QStringLiteral("Configuration/GnudbEmail"))
                                       .toString(),
                                   ok);
    if (!ok)
        return false;
    if (!options.ReleaseId.isEmpty() && !meta::ValidMbid(options.ReleaseId))
        return UsageError(QStringLiteral("--release needs a MusicBrainz release id (36 "
                                         "characters: 8-4-4-4-12 lower-case hex digits)")),
               false;
    if (!options.GnudbEmail.isEmpty() && !meta::ValidEmail(options.GnudbEmail))
        return UsageError(QStringLiteral("--gnudb needs your e-mail address (name@host), "
                                         "which gnudb asks of every client")),
               false;
    if (!options.MetadataFile.isEmpty()) {
        meta::TDiscMeta file;
        QString error;
        if (!meta::ReadMetadataFile(options.MetadataFile, file, error))
            return UsageError(QStringLiteral("--metadata: ") + error), false;
    }
    return true;
}

} // namespace cli

TONVALE_CLI_COMMAND("lookup",
                    "lookup [--drive N] [--offline] [--release MBID] [--metadata FILE] "
                    "[--gnudb EMAIL] [--json]",
                    "the disc's ids, TOC, CD-Text and metadata candidates, without ripping",
                    RunLookup);
