// tonvale-cli convert: runs one conversion through the transcoding engine the
// way the application does: options in order through SetOption, OpenInput for
// each "-i", then the output options and AddOutput, then a threaded run with
// a progress bar on stderr. Ctrl-C asks the engine to stop; the output is then
// a valid, shorter file.
#include "Cli.h"

#include "FFmpeg/FFmpeg.h"
#include "FFmpegLoader.h"
#include "FFmpegLogger.h"

#include <QCoreApplication>
#include <QThread>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <string>

namespace {

volatile std::sig_atomic_t interrupted = 0;

void OnInterrupt(int) {
    interrupted = 1;
    std::signal(SIGINT, SIG_DFL); // a second Ctrl-C ends the program at once
}

// "-name VALUE": the value is the next argument unless that one is another
// option (then the value is empty: "-vn -i in.wav" switches video off).
bool IsOptionName(const QString& arg) {
    if (arg.size() < 2 || !arg.startsWith(QLatin1Char('-')))
        return false;
    bool number = false;
    arg.toDouble(&number);
    return !number;
}

int RunConvert(QStringList args) {
    const bool join = cli::TakeFlag(args, QStringLiteral("--join"));
    const bool verbose = cli::TakeFlag(args, QStringLiteral("--verbose"));
    const bool quiet = cli::TakeFlag(args, QStringLiteral("--quiet"));
    bool ok = true;
    const QString folder = cli::TakeValue(args, QStringLiteral("--folder"),
                                          cli::ProgramFolder() + QStringLiteral("Dll/"), ok);
    if (!ok)
        return 2;
    if (args.size() < 3 || !args.contains(QStringLiteral("-i")))
        return cli::UsageError(QStringLiteral("convert needs -i INPUT and an OUTPUT"));
    const QString output = args.takeLast();
    if (IsOptionName(output) || args.isEmpty() || args.last() == QLatin1String("-i"))
        return cli::UsageError(QStringLiteral("convert needs an OUTPUT after the options"));

    TFFmpegLoader& loader = FFmpegLoader();
    loader.SetLibraryPath(folder);
    if (!loader.LoadLibs(DefaultLibraries)) {
        cli::PrintError(QString::fromStdString(loader.LastError()));
        return 1;
    }
    FFLogger().OnLog = [verbose](const void*, uint32_t, TLogLevel level, const std::string& text) {
        if (level <= llWarning || (verbose && level <= llVerbose))
            std::fprintf(stderr, "%s\n", text.c_str());
    };

    TCustomFFmpeg engine;
    try {
        engine.ResetEngine();
        for (qsizetype i = 0; i < args.size(); ++i) {
            const QString& arg = args[i];
            if (arg == QLatin1String("-i")) {
                if (i + 1 >= args.size())
                    return cli::UsageError(QStringLiteral("-i needs a file name"));
                if (!engine.OpenInput(args[++i])) {
                    cli::PrintError(QString::fromStdString(engine.LastError()));
                    return 1;
                }
                continue;
            }
            if (!IsOptionName(arg))
                return cli::UsageError(QStringLiteral("unexpected argument '%1'").arg(arg));
            QString value;
            if (i + 1 < args.size() && !IsOptionName(args[i + 1]))
                value = args[++i];
            engine.SetOption(arg.mid(1).toStdString(), value.toStdString());
        }
        if (engine.AddOutput(output, join) < 0) {
            cli::PrintError(QString::fromStdString(engine.LastError()));
            return 1;
        }
    } catch (const FFmpegException& e) {
        cli::PrintError(QString::fromStdString(e.Message()));
        return 1;
    }

    cli::ProgressBar bar(quiet ? std::string() : "convert");
    std::atomic<bool> done{false};
    if (!quiet)
        engine.OnProgress = [&bar](TCustomFFmpeg*, int, int, int currentMs, float, float, int64_t,
                                   int totalMs) { bar.Update(currentMs, totalMs); };
    engine.OnTerminate = [&done](TCustomFFmpeg*) { done = true; };

    std::signal(SIGINT, OnInterrupt);
    TConvertThread* thread = engine.StartConvert(true, tpNormal);
    if (thread)
        thread->Resume();
    bool stopSent = false;
    while (!done.load()) {
        if (interrupted && !stopSent) {
            engine.StopConvert(false);
            stopSent = true;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    std::signal(SIGINT, SIG_DFL);
    bar.Finish();
    // Let the finished worker go before the engine does.
    engine.StopConvert(true);

    if (engine.ErrorOccurred()) {
        cli::PrintError(QString::fromStdString(engine.ErrorMessage()));
        return 1;
    }
    if (!engine.Finished()) {
        std::fprintf(stderr, "tonvale-cli: stopped; the output holds what was converted so far\n");
        return 130;
    }
    return 0;
}

} // namespace

TONVALE_CLI_COMMAND("convert",
                    "convert [--join] [OPTION VALUE]... -i INPUT [OPTION VALUE]... OUTPUT",
                    "convert media files with the transcoding engine (options: -ab 128000 ...)",
                    RunConvert);
