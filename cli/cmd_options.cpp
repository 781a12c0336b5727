// tonvale-cli options: applies engine options NAME=VALUE to a fresh option set,
// in order, and prints the settings that changed (or the failure text).
#include "Cli.h"

#include "FFmpeg/FFmpegOptions.h"
#include "FFmpegLoader.h"
#include "FFmpegLogger.h"

#include <cstdio>
#include <exception>
#include <map>

namespace {

int RunOptions(QStringList args) {
    bool ok = true;
    const QString folder = cli::TakeValue(args, QStringLiteral("--folder"),
                                          cli::ProgramFolder() + QStringLiteral("Dll/"), ok);
    if (!ok)
        return 2;
    if (args.isEmpty())
        return cli::UsageError(QStringLiteral("options needs at least one NAME=VALUE"));

    TFFmpegLoader& loader = FFmpegLoader();
    loader.SetLibraryPath(folder);
    if (!loader.LoadLibs(DefaultLibraries)) {
        std::fprintf(stderr, "%s\n", loader.LastError().c_str());
        return 1;
    }
    // Engine messages (warnings, "Do nothing", format lists) go to stderr.
    FFLogger().OnLog = [](const void*, uint32_t, TLogLevel level, const std::string& text) {
        std::fprintf(stderr, "[%s] %s\n", LogLevelName(level), text.c_str());
    };

    try {
        TFFmpegOptions options;
        const auto before = options.DescribeSettings();
        for (const QString& arg : args) {
            const qsizetype eq = arg.indexOf(QLatin1Char('='));
            const std::string name = (eq < 0 ? arg : arg.left(eq)).toStdString();
            const std::string value = eq < 0 ? std::string() : arg.mid(eq + 1).toStdString();
            options.SetOption(name, value);
        }
        const std::map<std::string, std::string> old(before.begin(), before.end());
        for (const auto& [name, value] : options.DescribeSettings()) {
            const auto it = old.find(name);
            if (it == old.end() || it->second != value)
                std::printf("%s = %s\n", name.c_str(), value.c_str());
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}

} // namespace

TONVALE_CLI_COMMAND("options", "options [--folder DIR] NAME=VALUE...",
                    "apply engine options in order and print the settings they change", RunOptions);
