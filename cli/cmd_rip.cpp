// tonvale-cli rip: the whole disc (or the tracks chosen) into a folder of audio
// files with a cue sheet, a playlist and a rip log. The work is the rip
// library's (rip/Ripper.h); this file reads the arguments, shows the progress
// and maps the outcome to the exit code: 0 every track ripped, 1 a track failed
// or nothing could be ripped, 2 bad usage, 128 + the signal when stopped.
#include "Cli.h"

#include "RipConsole.h"
#include "RipFormatSets.h"
#include "Ripper.h"

#include "sbUserInterface.h"

#include <QJsonDocument>
#include <QThread>

#include <cstdlib>

#include <unistd.h>

namespace {

int RunRip(QStringList args) {
    rip::TRipSettings settings;
    const bool json = cli::TakeFlag(args, QStringLiteral("--json"));
    settings.Secure = cli::TakeFlag(args, QStringLiteral("--secure"));
    settings.Overwrite = cli::TakeFlag(args, QStringLiteral("--overwrite"));
    settings.ReplayGain = !cli::TakeFlag(args, QStringLiteral("--no-replaygain"));
    settings.Htoa = !cli::TakeFlag(args, QStringLiteral("--no-htoa"));
    settings.Image = cli::TakeFlag(args, QStringLiteral("--image"));
    settings.Deemphasis = cli::TakeFlag(args, QStringLiteral("--deemphasis"));
    bool ok = true;
    settings.Drive = cli::TakeValue(args, QStringLiteral("--drive"), QString(), ok);
    const QString tracks = cli::TakeValue(args, QStringLiteral("--tracks"), QString(), ok);
    const QString format =
        cli::TakeValue(args, QStringLiteral("--format"), QStringLiteral("wav"), ok);
    const QString preset =
        cli::TakeValue(args, QStringLiteral("--preset"), QStringLiteral("standard"), ok);
    const QString jobs = cli::TakeValue(args, QStringLiteral("--jobs"), QString(), ok);
    const QString offset = cli::TakeValue(args, QStringLiteral("--offset"), QString(), ok);
    settings.Template =
        cli::TakeValue(args, QStringLiteral("--template"), rip::kDefaultTemplate, ok);
    settings.AccurateRipDb =
        cli::TakeValue(args, QStringLiteral("--accuraterip-db"), QString(), ok);
    cli::TLookupOptions lookup;
    if (!ok || !cli::TakeLookupOptions(args, true, lookup))
        return 2;
    settings.Lookup.Offline = lookup.Offline;
    settings.Lookup.Cover = !lookup.NoCover;
    settings.Lookup.ReleaseId = lookup.ReleaseId;
    settings.Lookup.MetadataFile = lookup.MetadataFile;
    settings.Lookup.GnudbEmail = lookup.GnudbEmail;
    QString error;
    if (!rip::ParseTrackSelection(tracks, settings.Tracks, error))
        return cli::UsageError(QStringLiteral("--tracks: ") + error);
    if (!rip::ParseFormatList(format, settings.Formats, error))
        return cli::UsageError(QStringLiteral("--format must be wav, mp3, aac, wma, ogg, flac or "
                                              "opus, or a list of them (flac,mp3): ") +
                               error);
    settings.Format = settings.Formats.front();
    if (settings.Image && !settings.Tracks.empty())
        return cli::UsageError(QStringLiteral("--image rips the whole disc: leave out --tracks"));
    if (!rip::ParsePreset(preset, settings.Preset))
        return cli::UsageError(
            QStringLiteral("--preset must be high, optimal, standard or economy"));
    settings.Jobs = jobs.isEmpty() ? QThread::idealThreadCount() : jobs.toInt(&ok);
    if (!ok || settings.Jobs < 1)
        return cli::UsageError(QStringLiteral("--jobs needs a number of conversions (1 or more)"));
    settings.OffsetGiven = !offset.isEmpty();
    settings.Offset = settings.OffsetGiven ? offset.toInt(&ok) : 0;
    if (!ok || std::abs(settings.Offset) > rip::kMaxOffset)
        return cli::UsageError(QStringLiteral("--offset needs a number of samples from -%1 to %1")
                                   .arg(rip::kMaxOffset));
    if (!rip::CheckTemplate(settings.Template, error))
        return cli::UsageError(QStringLiteral("--template: ") + error);
    for (const QString& arg : args)
        if (arg.startsWith(QLatin1String("--")))
            return cli::UsageError(QStringLiteral("unknown option '%1'").arg(arg));
    if (args.size() != 1)
        return cli::UsageError(args.isEmpty()
                                   ? QStringLiteral("rip needs an output folder")
                                   : QStringLiteral("unexpected argument '%1'").arg(args[1]));
    settings.OutDir = args[0];
    settings.LibraryFolder = cli::ProgramFolder() + QStringLiteral("Dll/");
    settings.Program = QStringLiteral("tonvale-cli %1").arg(QStringLiteral(TONVALE_VERSION));
    settings.StopRequested = [] { return cli::StopRequested(); };
    settings.WatchStop = [](std::function<void()> wake) { cli::SetStopWake(std::move(wake)); };

    sbdlg::SetReportHandler([](sbdlg::TReportKind, const QString& text) { cli::PrintError(text); });
    rip::TRipConsole console(!json, isatty(2) != 0);
    rip::TRipReport report;
    const rip::TRipResult result = rip::RunRip(settings, console, report);
    console.Summary(report, report.LogFile);
    if (json && !report.Tracks.empty())
        cli::PrintJson(QJsonDocument(rip::RipReportJson(report)));
    if (cli::StopSignal() != 0 && result != rip::rrOk && result != rip::rrStopped)
        return cli::StopExitCode(); // a stop signal ends in its own code, whatever failed
    switch (result) {
    case rip::rrOk:
        return 0;
    case rip::rrUsage:
        return 2;
    case rip::rrStopped:
        cli::PrintError(QStringLiteral("stopped: the tracks finished are kept, nothing "
                                       "unfinished is left"));
        return cli::StopSignal() ? cli::StopExitCode() : 130;
    case rip::rrTracksFailed:
    case rip::rrFailed:
        break;
    }
    return 1;
}

} // namespace

TONVALE_CLI_COMMAND(
    "rip",
    "rip [--drive N] [--tracks 1,3-5] [--format F[,F...]] [--preset P] [--jobs N] "
    "[--secure] [--offset SAMPLES] [--template TEXT] [--accuraterip-db FILE] "
    "[--offline] [--release MBID] [--metadata FILE] [--gnudb EMAIL] "
    "[--no-cover] [--no-replaygain] [--no-htoa] [--image] [--deemphasis] [--overwrite] [--json] "
    "OUTDIR",
    "rip the disc into named, tagged audio files with checksums, a cue sheet "
    "and a log",
    RunRip);
