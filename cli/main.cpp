// Entry of tonvale-cli: finds the command named by the first argument and runs it.
#include "Cli.h"
#include "FileNames.h"
#include "SafeOutput.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

namespace cli {

namespace {
std::map<std::string, Command>& Registry() {
    static std::map<std::string, Command> commands;
    return commands;
}
std::mutex progressMutex;
} // namespace

Registrar::Registrar(Command command) {
    Registry().emplace(command.name, std::move(command));
}

bool TakeFlag(QStringList& args, const QString& flag) {
    const qsizetype at = args.indexOf(flag);
    if (at < 0)
        return false;
    args.removeAt(at);
    return true;
}

QString RepeatedOption(const QStringList& args) {
    QStringList seen;
    for (const QString& arg : args) {
        if (!arg.startsWith(QLatin1String("--")) || arg.size() < 3)
            continue;
        const QString name = arg.section(QLatin1Char('='), 0, 0);
        if (seen.contains(name))
            return name;
        seen << name;
    }
    return {};
}

QString TakeValue(QStringList& args, const QString& name, const QString& fallback, bool& ok) {
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (args[i] == name) {
            if (i + 1 >= args.size()) {
                PrintError(QStringLiteral("option %1 needs a value").arg(name));
                ok = false;
                return fallback;
            }
            QString value = args[i + 1];
            args.remove(i, 2);
            return value;
        }
        if (args[i].startsWith(name + QLatin1Char('='))) {
            QString value = args[i].mid(name.size() + 1);
            args.removeAt(i);
            return value;
        }
    }
    return fallback;
}

void PrintJson(const QJsonDocument& doc) {
    const QByteArray text = doc.toJson(QJsonDocument::Indented);
    std::fwrite(text.constData(), 1, static_cast<size_t>(text.size()), stdout);
    std::fflush(stdout);
}

void PrintError(const QString& text) {
    // As bytes: a file name in the text that is not UTF-8 is shown as the user typed it.
    std::fprintf(stderr, "tonvale-cli: %s\n", FileNameBytes(text).constData());
}

int UsageError(const QString& text) {
    PrintError(text);
    std::fprintf(stderr, "Try 'tonvale-cli --help'.\n");
    return 2;
}

QString ProgramFolder() {
    QString dir = QCoreApplication::applicationDirPath();
    if (!dir.endsWith(QLatin1Char('/')))
        dir += QLatin1Char('/');
    return dir;
}

ProgressBar::ProgressBar(std::string label) : label_(std::move(label)), tty_(isatty(2) != 0) {}

ProgressBar::~ProgressBar() {
    Finish();
}

void ProgressBar::Update(int64_t done, int64_t total) {
    std::lock_guard lock(progressMutex);
    if (finished_ || total <= 0)
        return;
    const int percent = static_cast<int>(std::clamp<int64_t>(done * 100 / total, 0, 100));
    if (tty_) {
        if (percent == lastShown_)
            return;
        constexpr int width = 40;
        const int filled = percent * width / 100;
        std::string bar(static_cast<size_t>(filled), '#');
        bar.append(static_cast<size_t>(width - filled), '-');
        std::fprintf(stderr, "\r%s [%s] %3d%%", label_.c_str(), bar.c_str(), percent);
    } else {
        if (percent / 10 == lastShown_ / 10 && lastShown_ >= 0)
            return;
        std::fprintf(stderr, "%s %d%%\n", label_.c_str(), percent / 10 * 10);
    }
    lastShown_ = percent;
    std::fflush(stderr);
}

void ProgressBar::Finish() {
    std::lock_guard lock(progressMutex);
    if (finished_)
        return;
    finished_ = true;
    if (tty_ && lastShown_ >= 0)
        std::fprintf(stderr, "\n");
}

namespace {
// Set by the signal handler and by a failed write on stdout or stderr (any thread).
std::atomic<int> stopSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "read and written in a signal handler");
// The first standard stream whose write failed (1 or 2, 0: none) and why.
std::atomic<int> failedStream{0}, failedError{0};
std::atomic<bool> failureSaid{false};
// The signal handler writes a byte here; a watcher thread reads it and wakes the work.
int stopPipe[2] = {-1, -1};
std::mutex stopWakeLock;
std::function<void()> stopWake; // guarded by stopWakeLock

void WakeWatcher() {
    if (stopPipe[1] >= 0) {
        const int saved = errno;
        [[maybe_unused]] const ssize_t n = ::write(stopPipe[1], "s", 1);
        errno = saved;
    }
}

void OnStopSignal(int signal) {
    if (stopSignal.load() != 0) {
        safeio::RemovePendingOutputs();
        ::_exit(128 + stopSignal.load());
    }
    stopSignal.store(signal);
    WakeWatcher();
}

// A write on stdout or stderr failed (a closed pipe, a full disc): the output the user
// asked for is lost, so the work stops as if SIGPIPE had been delivered and handled.
void OnOutputFailed(int fd, int error) {
    int none = 0;
    if (!failedError.compare_exchange_strong(none, error))
        return; // noted already
    failedStream.store(fd);
    int running = 0;
    if (stopSignal.compare_exchange_strong(running, SIGPIPE))
        WakeWatcher();
}

// How long the work has to wind down after a stop before the process ends regardless: a
// worker blocked in I/O (a FIFO nobody reads, a hung file system) never looks at the stop.
constexpr int kStopGraceMs = 10000;

// After the grace: the temporary files go, the old files stay, the code is the signal's.
[[noreturn]] void EndAfterGrace() {
    static const char text[] = "tonvale-cli: stopped: the work did not wind down in time\n";
    [[maybe_unused]] const ssize_t n = ::write(2, text, sizeof text - 1);
    safeio::RemovePendingOutputs();
    ::_exit(128 + stopSignal.load());
}

void WatchStopPipe() {
    char byte = 0;
    bool stopping = false;
    const auto deadline = [] {
        return std::chrono::steady_clock::now() + std::chrono::milliseconds(kStopGraceMs);
    };
    auto endBy = deadline();
    for (;;) {
        if (stopping) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                endBy - std::chrono::steady_clock::now());
            pollfd watch{stopPipe[0], POLLIN, 0};
            const int ready =
                ::poll(&watch, 1, static_cast<int>(std::max<int64_t>(0, left.count())));
            if (ready == 0)
                EndAfterGrace();
            if (ready < 0 && errno == EINTR)
                continue;
        }
        const ssize_t n = ::read(stopPipe[0], &byte, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        if (!stopping) {
            stopping = true;
            endBy = deadline();
        }
        // Said once, on stderr; a closed stderr cannot say it.
        if (failedStream.load() == 1 && !failureSaid.exchange(true))
            std::fprintf(stderr, "tonvale-cli: cannot write to standard output: %s\n",
                         std::strerror(failedError.load()));
        std::lock_guard lock(stopWakeLock);
        if (stopWake)
            stopWake();
    }
}

// stdout and stderr write through this, so that a failed write is noticed whoever
// wrote (the commands, the libraries, Qt's messages).
ssize_t WriteStandardStream(void* cookie, const char* data, size_t size) {
    const int fd = static_cast<int>(reinterpret_cast<intptr_t>(cookie));
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            OnOutputFailed(fd, n < 0 ? errno : EIO);
            return 0; // the stream's error flag is set; what is left is dropped
        }
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(size);
}

FILE* StandardStream(int fd, int buffering) {
    const cookie_io_functions_t io{nullptr, WriteStandardStream, nullptr, nullptr};
    FILE* stream = ::fopencookie(reinterpret_cast<void*>(static_cast<intptr_t>(fd)), "w", io);
    if (stream)
        std::setvbuf(stream, nullptr, buffering, buffering == _IONBF ? 0 : BUFSIZ);
    return stream;
}
} // namespace

void InstallStopSignals() {
    if (::pipe2(stopPipe, O_CLOEXEC) == 0) {
        // Blocks in read for the life of the process; never joined.
        std::thread(WatchStopPipe).detach();
    }
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(signal, &action, nullptr);
    // A closed pipe is a failed write (EPIPE), noticed by the standard streams below,
    // instead of the end of the process with its temporary files left behind.
    ::signal(SIGPIPE, SIG_IGN);
    std::fflush(stdout);
    std::fflush(stderr);
    FILE* out = StandardStream(1, isatty(1) ? _IOLBF : _IOFBF);
    FILE* err = StandardStream(2, _IONBF);
    if (out && err) {
        stdout = out; // glibc's standard streams are plain variables
        stderr = err;
    } else {
        for (FILE* stream : {out, err})
            if (stream)
                std::fclose(stream);
    }
}

bool StandardOutputFailed() {
    return failedStream.load() == 1;
}

void SetStopWake(std::function<void()> wake) {
    std::lock_guard lock(stopWakeLock);
    stopWake = std::move(wake);
}

int StopSignal() {
    return stopSignal;
}

int StopExitCode() {
    return stopSignal != 0 ? 128 + stopSignal : 0;
}

} // namespace cli

namespace {
void PrintHelp() {
    std::printf("Usage: tonvale-cli COMMAND [ARGUMENTS]\n"
                "The headless companion of Tonvale, the audio-CD ripper.\n\nCommands:\n");
    // A usage too long for its column gets a line of its own, the summary below it, as
    // help2man (the man page) and narrow terminals read best.
    for (const auto& [name, command] : cli::Registry()) {
        if (std::strlen(command.usage) <= 36)
            std::printf("  %-36s  %s\n", command.usage, command.summary);
        else
            std::printf("  %s\n  %-36s  %s\n", command.usage, "", command.summary);
    }
    std::printf("\nOptions:\n  --help     show this help\n  --version  show the version\n");
}
} // namespace

int main(int argc, char** argv) {
    const std::unique_ptr<QCoreApplication> app = cli::CreateApplication(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tonvale-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TONVALE_VERSION));
    // Arguments are bytes: file names that are not valid in the locale's
    // encoding must survive the way to the file system unchanged.
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << FileNameFromBytes(argv[i]);
    cli::InstallStopSignals();
    if (args.isEmpty() || args[0] == QLatin1String("--help") || args[0] == QLatin1String("-h") ||
        args[0] == QLatin1String("help")) {
        PrintHelp();
        return args.isEmpty() ? 2 : 0;
    }
    if (args[0] == QLatin1String("--version")) {
        std::printf("tonvale-cli %s\n", TONVALE_VERSION);
        return 0;
    }
    const auto it = cli::Registry().find(args[0].toStdString());
    if (it == cli::Registry().end())
        return cli::UsageError(QStringLiteral("unknown command '%1'").arg(args[0]));
    args.removeFirst();
    const QString repeated = cli::RepeatedOption(args);
    if (!repeated.isEmpty())
        return cli::UsageError(QStringLiteral("option '%1' is given more than once").arg(repeated));
    const int code = it->second.run(args);
    // What is still buffered must reach the reader as well: a command whose data could
    // not all be written did not succeed.
    std::fflush(stdout);
    return code == 0 && cli::StandardOutputFailed() ? cli::StopExitCode() : code;
}
