// tonvale-cli convert: converts media files through the conversion component,
// the way the application does: one task per "-i INPUT ... OUTPUT" pair, the
// options before "-i" as the task's input options and those after it as its
// output options, then StartConvert with --threads N and a wait for the end of
// the run (the -1 terminate event). A progress bar on stderr follows the tasks.
//
// Nothing the user has is lost: the whole command line is checked before any
// task is set up (outputs named twice, unknown options, values the engine
// refuses: exit 2), an output gets its name only when its task finished, and
// Ctrl-C, SIGTERM or SIGHUP stop the run leaving every unfinished output as it
// was (exit 130, 143, 129). Each failure is printed once.
//
// --preview shows the converted pictures in the preview window. The window
// lives in a module (libtonvale-preview.so beside the program) that is loaded
// only then, so that the program itself needs no GUI library.
#include "Cli.h"

#include "FFmpegConverter.h"
#include "FFmpegLogger.h"
#include "SafeOutput.h"
#include "UnicodeProtocol.h"

#include <QCoreApplication>
#include <QThread>

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <numeric>
#include <mutex>
#include <string>
#include <vector>

namespace {

// Why the preview window cannot be shown; empty when it can (or was not asked for).
std::string PreviewError; // main thread, set before any command runs

bool PreviewRequested(int argc, char** argv) {
    if (argc < 2 || std::strcmp(argv[1], "convert") != 0)
        return false;
    for (int i = 2; i < argc; ++i)
        if (std::strcmp(argv[i], "--preview") == 0)
            return true;
    return false;
}

// The folder of the running program (before any application object exists).
std::string ExecutableFolder() {
    char path[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return ".";
    path[n] = '\0';
    std::string text = path;
    return text.substr(0, text.rfind('/'));
}

} // namespace

std::unique_ptr<QCoreApplication> cli::CreateApplication(int& argc, char** argv) {
    if (PreviewRequested(argc, argv)) {
        const char* platform = std::getenv("QT_QPA_PLATFORM");
        const char* display = std::getenv("DISPLAY");
        const char* wayland = std::getenv("WAYLAND_DISPLAY");
        if ((!platform || !*platform) && (!display || !*display) && (!wayland || !*wayland)) {
            PreviewError = "--preview needs a display (DISPLAY, WAYLAND_DISPLAY or "
                           "QT_QPA_PLATFORM is not set)";
        } else {
            // Beside the program in the build tree, in the library folder when installed.
            std::string module = ExecutableFolder() + "/libtonvale-preview.so";
            const std::string installed =
                ExecutableFolder() + "/" TONVALE_MODULE_DIR "/libtonvale-preview.so";
            if (::access(module.c_str(), F_OK) != 0 && ::access(installed.c_str(), F_OK) == 0)
                module = installed;
            void* handle = ::dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
            using TMake = QCoreApplication* (*)(int*, char**);
            auto make = handle
                            ? reinterpret_cast<TMake>(::dlsym(handle, "TonvalePreviewApplication"))
                            : nullptr;
            if (make)
                return std::unique_ptr<QCoreApplication>(make(&argc, argv));
            const char* why = ::dlerror();
            PreviewError =
                "the preview window cannot be loaded: " + std::string(why ? why : module);
        }
    }
    return std::make_unique<QCoreApplication>(argc, argv);
}

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

// Options whose output field the component applies whatever it holds, after
// the free-form lines: as a line, such an option would be overwritten by the
// field's default (a pad colour by black, "-copyts" by off). They go into their
// fields instead, read the way the engine reads the option.
struct TFieldOption {
    const char* name;
    void (*set)(TOutputOptions& out, const std::string& value);
};
constexpr TFieldOption FieldOptions[] = {
    {"an", [](TOutputOptions& o, const std::string& v) { o.DisableAudio = StrToFlag(v); }},
    {"async", [](TOutputOptions& o, const std::string& v) { o.AudioSyncMethod = StrToInt(v); }},
    {"vn", [](TOutputOptions& o, const std::string& v) { o.DisableVideo = StrToFlag(v); }},
    // Red in the low byte, as in the field.
    {"padcolor", [](TOutputOptions& o,
                    const std::string& v) { o.PadColor = static_cast<TColor>(StrToInt(v)); }},
    {"vsync", [](TOutputOptions& o, const std::string& v) { o.VideoSyncMethod = StrToInt(v); }},
    {"sn", [](TOutputOptions& o, const std::string& v) { o.DisableSubtitle = StrToFlag(v); }},
    // On whatever the value, as the option itself.
    {"copyts", [](TOutputOptions& o, const std::string&) { o.CopyTimestamps = true; }},
};

const TFieldOption* FindFieldOption(const std::string& name) {
    for (const TFieldOption& option : FieldOptions)
        if (name == option.name)
            return &option;
    return nullptr;
}

using TOptionList = std::vector<std::pair<std::string, std::string>>;

struct Job {
    QString input, output;
    TInputOptions in;
    TOutputOptions out;
    // The options of FieldOptions in the order given, before and after -i;
    // moved into their fields once the command line has been checked.
    TOptionList fields;
};

// The order in which the pairs become tasks: as given, or, with more pairs than
// threads, longest input first (by the probed duration; an input that cannot be
// probed keeps its place among the unknown, which go last).
std::vector<size_t> RunOrder(const std::vector<Job>& jobs, int threads) {
    std::vector<size_t> order(jobs.size());
    std::iota(order.begin(), order.end(), size_t{0});
    if (threads <= 0 || jobs.size() <= static_cast<size_t>(threads))
        return order;
    std::vector<int64_t> duration(jobs.size(), -1);
    for (size_t i = 0; i < jobs.size(); ++i) {
        TAVProbe probe;
        if (probe.LoadFile(jobs[i].input, jobs[i].in.FileFormat))
            duration[i] = probe.Duration();
    }
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return duration[a] > duration[b]; });
    return order;
}

void AddLine(std::string& lines, const std::string& name, const QString& value) {
    lines += name + "=" + value.toStdString() + "\n";
}

// One option of a pair. Before -i it is an input option, applied before the
// input is opened ("-vn" there leaves the input's video unread); one of
// FieldOptions is remembered for the output's field as well, since the
// output's default would undo it otherwise. After -i, one of FieldOptions goes
// only into its field, anything else into the output's free-form lines.
void AddOption(Job& job, bool output, const QString& name, const QString& value) {
    const std::string key = name.toStdString();
    if (FindFieldOption(key))
        job.fields.emplace_back(key, value.toStdString());
    if (!output)
        AddLine(job.in.ExtOptions, key, value);
    else if (!FindFieldOption(key))
        AddLine(job.out.ExtOptions, key, value);
}

// Sets the fields of the options remembered in job.fields (checked already).
void FillFields(Job& job) {
    for (const auto& [name, value] : job.fields)
        FindFieldOption(name)->set(job.out, value);
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
        AddOption(job, haveInput, arg.mid(1), value);
    }
    if (haveInput || jobs.empty())
        error = QStringLiteral("convert needs -i INPUT and an OUTPUT");
    if (!error.isEmpty())
        return {};
    return jobs;
}

// "[libmp3lame @ 0x55d0c4a3c880] text" -> "libmp3lame: text": the address
// tells the user nothing.
std::string TidyLibraryLine(const std::string& line) {
    const size_t at = line.find(" @ 0x");
    const size_t close = line.find(']');
    if (line.empty() || line[0] != '[' || at == std::string::npos || close == std::string::npos ||
        at > close)
        return line;
    const std::string name = line.substr(1, at - 1);
    std::string text = line.substr(close + 1);
    text.erase(0, text.find_first_not_of(' '));
    return name.empty() || name == "NULL" ? text : name + ": " + text;
}

// Engine log lines on stderr. The engine logs a failure before it reports it
// (often twice, at two levels); those lines are held back and printed at the
// end only when they are not the failure text printed anyway.
class TLogPrinter {
public:
    explicit TLogPrinter(bool verbose) : verbose_(verbose) {}
    ~TLogPrinter() { FFLogger().OnLog = nullptr; }
    TLogPrinter(const TLogPrinter&) = delete;
    TLogPrinter& operator=(const TLogPrinter&) = delete;

    void Attach() {
        FFLogger().OnLog = [this](const void* sender, uint32_t, TLogLevel level,
                                  const std::string& text) { OnLog(sender, level, text); };
    }
    // Prints the held lines that say something else than the failures.
    void Flush(const std::vector<std::string>& failures) {
        for (const std::string& line : held_)
            if (std::find(failures.begin(), failures.end(), line) == failures.end())
                std::fprintf(stderr, "%s\n", line.c_str());
        held_.clear();
    }

private:
    void OnLog(const void* sender, TLogLevel level, const std::string& text) {
        if (!(level <= llWarning || (verbose_ && level <= llVerbose)))
            return;
        const bool library = sender == &FFLogger();
        if (!library && level <= llError) {
            if (std::find(held_.begin(), held_.end(), text) == held_.end())
                held_.push_back(text);
            return;
        }
        std::fprintf(stderr, "%s\n", library ? TidyLibraryLine(text).c_str() : text.c_str());
    }

    bool verbose_;
    std::vector<std::string> held_; // main thread only (OnLog runs there)
};

// The file an output name leads to, for telling two names of one file apart:
// links followed, the folder made absolute. Empty for a name that is not a
// file (pipe:1) and for devices, which may well take several outputs.
struct TOutputIdentity {
    std::string path;
    dev_t dev = 0;
    ino_t ino = 0;
    bool exists = false;
};

bool OutputIdentity(const QString& output, TOutputIdentity& id) {
    std::string file;
    if (!LocalFilePath(FileNameForLib(output), file))
        return false;
    file = safeio::ResolveLinks(file);
    struct stat st {};
    if (::stat(file.c_str(), &st) == 0) {
        if (S_ISCHR(st.st_mode))
            return false;
        id.exists = true;
        id.dev = st.st_dev;
        id.ino = st.st_ino;
    }
    const size_t slash = file.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : file.substr(0, slash + 1);
    char real[PATH_MAX];
    id.path =
        ::realpath(folder.c_str(), real)
            ? std::string(real) + "/" + file.substr(slash == std::string::npos ? 0 : slash + 1)
            : file;
    return true;
}

// An output named by two pairs: one of the results would silently be lost.
QString DuplicateOutput(const std::vector<Job>& jobs) {
    std::vector<TOutputIdentity> seen;
    for (const Job& job : jobs) {
        TOutputIdentity id;
        if (!OutputIdentity(job.output, id))
            continue;
        for (const TOutputIdentity& other : seen)
            if (other.path == id.path ||
                (id.exists && other.exists && other.dev == id.dev && other.ino == id.ino))
                return job.output;
        seen.push_back(id);
    }
    return {};
}

// Applies a pair's options to a throw-away engine, in the order the component
// applies them, so that a mistake is found before any file is set up. Returns
// the engine's text for the first option it refuses, or a usage text for a
// name it does not know; empty when every option is accepted.
std::string CheckOptions(const Job& job, bool& unknown) {
    std::string logged; // the last error line of the library while an option is applied
    FFLogger().OnLog = [&logged](const void*, uint32_t, TLogLevel level, const std::string& text) {
        if (level <= llError)
            logged = TidyLibraryLine(text);
    };
    struct TDetach {
        ~TDetach() { FFLogger().OnLog = nullptr; }
    } detach;
    TFFmpeg engine;
    engine.ResetEngine();
    TOptionList options = SplitExtOptions(job.in.ExtOptions);
    for (auto& option : SplitExtOptions(job.out.ExtOptions))
        options.push_back(std::move(option));
    options.insert(options.end(), job.fields.begin(), job.fields.end());
    for (const auto& [name, value] : options) {
        if (!engine.KnowsOption(name)) {
            unknown = true;
            return "unknown option '-" + name + "'";
        }
        if (ExtOptionKindOf(name) == eokNewStreams || name.rfind("crop", 0) == 0)
            continue; // needs an output or the input's size: checked by the set-up itself
        try {
            engine.SetOption(name, value);
        } catch (const std::exception& e) {
            return e.what();
        }
        if (!logged.empty())
            return logged;
    }
    return {};
}

int RunConvert(QStringList args) {
    const bool verbose = cli::TakeFlag(args, QStringLiteral("--verbose"));
    const bool quiet = cli::TakeFlag(args, QStringLiteral("--quiet"));
    const bool preview = cli::TakeFlag(args, QStringLiteral("--preview"));
    if (preview && !PreviewError.empty()) {
        cli::PrintError(QString::fromStdString(PreviewError));
        return 1;
    }
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
    try {
        const QString duplicate = DuplicateOutput(jobs);
        if (!duplicate.isEmpty())
            return cli::UsageError(
                QStringLiteral("output '%1' is named more than once").arg(duplicate));
    } catch (const std::exception& e) { // a name too long for the libraries
        return cli::UsageError(QString::fromStdString(e.what()));
    }
    for (Job& job : jobs) {
        bool unknown = false;
        const std::string refused = CheckOptions(job, unknown);
        if (refused.empty()) {
            FillFields(job);
            continue;
        }
        if (unknown)
            return cli::UsageError(QString::fromStdString(refused));
        cli::PrintError(QString::fromStdString(refused));
        return 2;
    }
    TLogPrinter log(verbose);
    log.Attach();

    converter.ClearTasks();
    converter.SetPreview(preview);
    // With more pairs than threads the longest inputs go first, so that the
    // last task to finish is a short one; everything is still reported in the
    // order given.
    const std::vector<size_t> order = RunOrder(jobs, threads);
    std::map<int, size_t> jobOfTask;
    for (const size_t j : order) {
        Job& job = jobs[j];
        const int index = converter.AddTask(job.input, &job.in);
        if (index >= 0)
            jobOfTask[index] = j;
        if (index < 0 || !converter.SetOutputFile(index, job.output, &job.out)) {
            log.Flush({converter.LastErrMsg()});
            cli::PrintError(QString::fromStdString(converter.LastErrMsg()));
            return 1;
        }
    }
    if (cli::StopRequested()) {
        std::fprintf(stderr, "tonvale-cli: stopped before any output was written\n");
        return cli::StopExitCode();
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
    bool failed = false, stopped = false;     // guarded by lock
    std::map<size_t, std::string> failedJobs; // guarded by lock; by position given
    converter.OnTerminate = [&](int index, bool aFinished, bool aException,
                                const std::string& message) {
        std::lock_guard guard(lock);
        if (index < 0) {
            finished = true;
            return;
        }
        if (aException) {
            failed = true;
            failedJobs[jobOfTask.at(index)] = message;
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
    std::vector<std::string> failures;
    for (const auto& [job, message] : failedJobs)
        failures.push_back(message);
    log.Flush(failures);
    for (const std::string& failure : failures)
        cli::PrintError(QString::fromStdString(failure));
    if (failed)
        return 1;
    if (stopped || stopSent) {
        std::fprintf(stderr, "tonvale-cli: stopped; every output not finished was left as it "
                             "was\n");
        return cli::StopSignal() ? cli::StopExitCode() : 130;
    }
    return 0;
}

} // namespace

TONVALE_CLI_COMMAND(
    "convert",
    "convert [--threads N] [--preview] [OPTION VALUE]... -i INPUT [OPTION VALUE]... "
    "OUTPUT ...",
    "convert media files, one task per input/output pair (-ab 128000 ...)", RunConvert);
