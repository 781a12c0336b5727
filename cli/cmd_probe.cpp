// tonvale-cli probe: opens a media file with the media probe the way the
// application does before converting it, and prints the probe's counts and
// indexes, or its failure text (exit 1).
#include "Cli.h"

#include "AVProbe.h"
#include "FFmpegException.h"
#include "FFmpegLoader.h"
#include "UnicodeProtocol.h"

#include <QJsonObject>

#include <cstdio>

namespace {

int RunProbe(QStringList args) {
    const bool json = cli::TakeFlag(args, QStringLiteral("--json"));
    bool ok = true;
    const QString format = cli::TakeValue(args, QStringLiteral("--format"), QString(), ok);
    const QString folder = cli::TakeValue(args, QStringLiteral("--folder"),
                                          cli::ProgramFolder() + QStringLiteral("Dll/"), ok);
    if (!ok)
        return 2;
    if (args.size() != 1)
        return cli::UsageError(args.isEmpty()
                                   ? QStringLiteral("probe needs a file name")
                                   : QStringLiteral("unexpected argument '%1'").arg(args[1]));

    TFFmpegLoader& loader = FFmpegLoader();
    loader.SetLibraryPath(folder);
    if (!loader.LoadLibs(DefaultLibraries)) {
        std::fprintf(stderr, "%s\n", loader.LastError().c_str());
        return 1;
    }

    TAVProbe probe;
    try {
        if (!probe.LoadFile(args[0], format.toStdString())) {
            std::fprintf(stderr, "%s\n", probe.LastErrMsg().c_str());
            return 1;
        }
    } catch (const FFmpegException& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }

    const struct {
        const char* name;
        int value;
    } fields[] = {
        {"StreamCount", probe.StreamCount()},
        {"ProgramCount", probe.ProgramCount()},
        {"AudioStreamCount", probe.AudioStreamCount()},
        {"VideoStreamCount", probe.VideoStreamCount()},
        {"SubtitleStreamCount", probe.SubtitleStreamCount()},
        {"FirstAudioStreamIndex", probe.FirstAudioStreamIndex()},
        {"FirstVideoStreamIndex", probe.FirstVideoStreamIndex()},
        {"FirstSubtitleStreamIndex", probe.FirstSubtitleStreamIndex()},
    };
    if (json) {
        QJsonObject object{{QStringLiteral("file"), args[0]},
                           {QStringLiteral("format"), QString::fromStdString(probe.FormatName())}};
        for (const auto& f : fields)
            object.insert(QLatin1String(f.name), f.value);
        cli::PrintJson(QJsonDocument(object));
    } else {
        std::printf("%-25s %s\n", "File", FileNameBytes(args[0]).constData());
        if (!probe.FormatName().empty())
            std::printf("%-25s %s\n", "FormatName", probe.FormatName().c_str());
        for (const auto& f : fields)
            std::printf("%-25s %d\n", f.name, f.value);
    }
    return 0;
}

} // namespace

TONVALE_CLI_COMMAND("probe", "probe FILE [--format NAME] [--json]",
                    "probe a media file: stream counts and first stream of each kind", RunProbe);
