// tonvale-cli convert: converts media files through the conversion component,
// the way the application does: one task per "-i INPUT ... OUTPUT" pair, the
// options before "-i" as the task's input options and those after it as its
// output options, then StartConvert with --threads N and a wait for the end of
// the run (the -1 terminate event). A progress bar on stderr follows the tasks;
// Ctrl-C stops them and every output is then a valid, shorter file.
#include "Cli.h"

#include "FFmpegConverter.h"
#include "FFmpegLogger.h"

#include <QCoreApplication>
#include <QThread>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace {

// "-name VALUE": the value is the next argument unless that one is another
// option (then the value is empty: "-vn -i in.wav" switches video off).
bool IsOptionName(const QString& arg) {
    if (arg.size() < 2 || !arg.startsWith(QLatin1Char('-')))
        return false;
    bool number = false;
    arg.toDouble(&number);
    return !number;
}

struct Job {
    QString input, output;
    TInputOptions in;
    TOutputOptions out;
};

void AddLine(std::string& lines, const QString& name, const QString& value) {
    lines += name.toStdString() + "=" + value.toStdString() + "\n";
}

bool Flag(const QString& value) {
    return value != QLatin1String("0");
}

// Output options that the structured settings always apply go into their
// fields; everything else into the free-form lines, in order.
void AddOutputOption(TOutputOptions& out, const QString& name, const QString& value) {
    if (name == QLatin1String("an"))
        out.DisableAudio = Flag(value);
    else if (name == QLatin1String("vn"))
        out.DisableVideo = Flag(value);
    else if (name == QLatin1String("sn"))
        out.DisableSubtitle = Flag(value);
    else if (name == QLatin1String("copyts"))
        out.CopyTimestamps = Flag(value);
    else if (name == QLatin1String("async"))
        out.AudioSyncMethod = value.toInt();
    else if (name == QLatin1String("vsync"))
        out.VideoSyncMethod = value.toInt();
    else
        AddLine(out.ExtOptions, name, value);
}

// Splits the arguments into jobs; an empty result with text set is a usage error.
std::vector<Job> ParseJobs(const QStringList& args, QString& error) {
    std::vector<Job> jobs;
    Job job;
    InitInputOptions(job.in);
    InitOutputOptions(job.out);
    bool haveInput = false;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& arg = args[i];
        if (arg == QLatin1String("-i")) {
            if (haveInput) {
                error = QStringLiteral("each -i INPUT needs its own OUTPUT");
                return {};
            }
            if (i + 1 >= args.size()) {
                error = QStringLiteral("-i needs a file name");
                return {};
            }
            job.input = args[++i];
            haveInput = true;
            continue;
        }
        if (!IsOptionName(arg)) {
            if (!haveInput) {
                error = QStringLiteral("unexpected argument '%1' before -i").arg(arg);
                return {};
            }
            job.output = arg;
            jobs.push_back(std::move(job));
            job = Job{};
            InitInputOptions(job.in);
            InitOutputOptions(job.out);
            haveInput = false;
            continue;
        }
        QString value;
        if (i + 1 < args.size() && !IsOptionName(args[i + 1]) &&
            !(haveInput && i + 2 >= args.size()))
            value = args[++i];
        if (haveInput)
            AddOutputOption(job.out, arg.mid(1), value);
        else
            AddLine(job.in.ExtOptions, arg.mid(1), value);
    }
    if (haveInput || jobs.empty())
        error = QStringLiteral("convert needs -i INPUT and an OUTPUT");
    if (!error.isEmpty())
        return {};
    return jobs;
}

int RunConvert(QStringList args) {
    const bool verbose = cli::TakeFlag(args, QStringLiteral("--verbose"));
    const bool quiet = cli::TakeFlag(args, QStringLiteral("--quiet"));
    bool ok = true;
    const QString folder = cli::TakeValue(args, QStringLiteral("--folder"),
                                          cli::ProgramFolder() + QStringLiteral("Dll/"), ok);
    const QString threadText =
        cli::TakeValue(args, QStringLiteral("--threads"), QStringLiteral("1"), ok);
    if (!ok)
        return 2;
    const int threads = threadText.toInt(&ok);
    if (!ok || threads < 0)
        return cli::UsageError(QStringLiteral("--threads needs a number of threads (0 or more)"));
    QString usage;
    std::vector<Job> jobs = ParseJobs(args, usage);
    if (jobs.empty())
        return cli::UsageError(usage);

    TFFmpegConverter converter;
    if (!converter.IsLoaded() && !converter.LoadAVLib(folder)) {
        cli::PrintError(QString::fromStdString(converter.LastErrMsg()));
        return 1;
    }
    FFLogger().OnLog = [verbose](const void*, uint32_t, TLogLevel level, const std::string& text) {
        if (level <= llWarning || (verbose && level <= llVerbose))
            std::fprintf(stderr, "%s\n", text.c_str());
    };

    converter.ClearTasks();
    for (Job& job : jobs) {
        const int index = converter.AddTask(job.input, &job.in);
        if (index < 0 || !converter.SetOutputFile(index, job.output, &job.out)) {
            cli::PrintError(QString::fromStdString(converter.LastErrMsg()));
            return 1;
        }
    }

    // Progress of the whole run: the sum of each task's position over the sum of
    // the known totals (events come from the tasks' threads).
    std::mutex lock;
    std::map<int, std::pair<int64_t, int64_t>> progress; // guarded by lock
    cli::ProgressBar bar(quiet ? std::string() : "convert");
    if (!quiet)
        converter.OnProgress = [&](int index, int, int, int currentMs, float, float, int64_t,
                                   int totalMs) {
            std::lock_guard guard(lock);
            progress[index] = {currentMs, totalMs};
            int64_t done = 0, total = 0;
            for (const auto& [task, value] : progress) {
                done += value.first;
                total += value.second > 0 ? value.second : value.first;
            }
            bar.Update(done, total);
        };
    std::atomic<bool> finished{false};
    bool failed = false, stopped = false; // guarded by lock
    std::vector<std::string> failures;    // guarded by lock
    converter.OnTerminate = [&](int index, bool aFinished, bool aException,
                                const std::string& message) {
        std::lock_guard guard(lock);
        if (index < 0) {
            finished = true;
            return;
        }
        if (aException) {
            failed = true;
            failures.push_back(message);
        } else if (!aFinished) {
            stopped = true;
        }
    };

    converter.StartConvert(threads);
    bool stopSent = false;
    while (!finished.load()) {
        if (cli::StopRequested() && !stopSent) {
            converter.ClearTasks();
            stopSent = true;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    TDoTerminateThread::WaitForAll(10000);
    bar.Finish();

    std::lock_guard guard(lock);
    for (const std::string& failure : failures)
        cli::PrintError(QString::fromStdString(failure));
    if (failed)
        return 1;
    if (stopped || stopSent) {
        std::fprintf(stderr, "tonvale-cli: stopped; the outputs hold what was converted so far\n");
        return cli::StopSignal() ? cli::StopExitCode() : 130;
    }
    return 0;
}

} // namespace

TONVALE_CLI_COMMAND("convert",
                    "convert [--threads N] [OPTION VALUE]... -i INPUT [OPTION VALUE]... OUTPUT ...",
                    "convert media files, one task per input/output pair (-ab 128000 ...)",
                    RunConvert);
