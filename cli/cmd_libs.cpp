// tonvale-cli libs: loads the media libraries the way the application does and
// lists what was loaded.
#include "Cli.h"

#include "FFmpegLoader.h"

#include <QJsonArray>
#include <QJsonObject>

#include <cstdio>

namespace {

int RunLibs(QStringList args) {
    const bool json = cli::TakeFlag(args, QStringLiteral("--json"));
    bool ok = true;
    const QString folder = cli::TakeValue(args, QStringLiteral("--folder"),
                                          cli::ProgramFolder() + QStringLiteral("Dll/"), ok);
    if (!ok)
        return 2;
    if (!args.isEmpty())
        return cli::UsageError(QStringLiteral("unexpected argument '%1'").arg(args[0]));

    TFFmpegLoader& loader = FFmpegLoader();
    loader.SetLibraryPath(folder);
    if (!loader.LoadLibs(DefaultLibraries)) {
        std::fprintf(stderr, "%s\n", loader.LastError().c_str());
        return 1;
    }
    // libavdevice is not part of the application's set; list it too when it loads.
    const bool withDevice = loader.LoadLib(LibAVDevice);

    const TLibraryId order[] = {LibAVCodec, LibAVDevice, LibAVFilter,   LibAVFormat,
                                LibAVUtil,  LibSwScale,  LibSwResample, LibMyUtil};
    QJsonArray rows;
    for (TLibraryId id : order) {
        if (id == LibAVDevice && !withDevice)
            continue;
        const QString path = loader.LoadedPath(id);
        const std::string version = loader.LibraryVersion(id);
        if (json) {
            rows.append(QJsonObject{{QStringLiteral("id"), QLatin1String(LibraryIdentifier(id))},
                                    {QStringLiteral("file"), path},
                                    {QStringLiteral("version"), QString::fromStdString(version)}});
        } else {
            std::printf("%-14s %-50s %s\n", LibraryIdentifier(id), path.toUtf8().constData(),
                        version.c_str());
        }
    }
    if (json)
        cli::PrintJson(QJsonDocument(rows));
    return 0;
}

} // namespace

TONVALE_CLI_COMMAND("libs", "libs [--folder DIR] [--json]",
                    "load the media libraries and list them with their versions", RunLibs);
