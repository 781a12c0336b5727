// The command dispatcher of tonvale-cli and the small helpers that every command
// shares: argument access, JSON printing and the progress bar on stderr.
//
// A command is a file cmd_<name>.cpp in this folder that registers itself with
// TONVALE_CLI_COMMAND; main() picks it by its first argument. A command returns
// the process exit code (0 success, 1 failure of the work, 2 bad usage).
#pragma once

#include <QJsonDocument>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class QCoreApplication;

namespace cli {

// The program's application object: for "convert --preview" a QApplication
// made by the preview module (cmd_convert.cpp), else a QCoreApplication.
std::unique_ptr<QCoreApplication> CreateApplication(int& argc, char** argv);

struct Command {
    const char* name;
    const char* usage;   // one line, shown by --help
    const char* summary; // one line, shown by --help
    std::function<int(QStringList args)> run;
};

struct Registrar {
    explicit Registrar(Command command);
};

#define TONVALE_CLI_CONCAT2(a, b) a##b
#define TONVALE_CLI_CONCAT(a, b) TONVALE_CLI_CONCAT2(a, b)
#define TONVALE_CLI_COMMAND(...)                                                                   \
    static ::cli::Registrar TONVALE_CLI_CONCAT(cliRegistrar_, __LINE__)(::cli::Command{__VA_ARGS__})

// The first "--name" option (also as "--name=VALUE") that args hold twice, or empty.
// main refuses such a command line before any command sees it: the second could only
// be ignored or mistaken for something else.
QString RepeatedOption(const QStringList& args);
// Removes a flag ("--json") from args; true when it was present.
bool TakeFlag(QStringList& args, const QString& flag);
// Removes "--name VALUE" (or "--name=VALUE") from args; fallback when absent.
// Sets ok false (and prints a usage error) when the flag has no value.
QString TakeValue(QStringList& args, const QString& name, const QString& fallback, bool& ok);

// The metadata lookup's options, shared by rip and lookup: --offline, --release MBID,
// --metadata FILE, --gnudb EMAIL (default: GnudbEmail in the configuration) and, when
// cover is set, --no-cover. They are checked here; false after a usage error was said.
struct TLookupOptions {
    bool Offline = false, NoCover = false;
    QString ReleaseId, MetadataFile, GnudbEmail;
};
bool TakeLookupOptions(QStringList& args, bool cover, TLookupOptions& options);

// Prints a JSON document on stdout, indented.
void PrintJson(const QJsonDocument& doc);
// Prints a failure text on stderr (one line, "tonvale-cli: " prefix).
void PrintError(const QString& text);
int UsageError(const QString& text);

// Stopping by signal. InstallStopSignals (done by main before any command runs)
// catches SIGINT, SIGTERM and SIGHUP: the first one asks the running work to
// stop (StopSignal() becomes the signal number); the command winds down, leaves
// every old file as it was and returns StopExitCode() (128 + the signal: 130,
// 143, 129). A second signal removes the temporary files of outputs still open
// and ends the process at once with that code.
//
// SIGPIPE is ignored. A write on stdout or stderr that fails (a closed pipe, as
// under "| head"; a full disc) asks the work to stop the same way, as SIGPIPE:
// StopSignal() is SIGPIPE and StopExitCode() 141. A failure on stdout is said
// once on stderr; a command that returns 0 although its stdout failed ends
// with 141 all the same.
void InstallStopSignals();
// A write on stdout has failed.
bool StandardOutputFailed();
int StopSignal(); // 0 while no stop was asked for
inline bool StopRequested() {
    return StopSignal() != 0;
}
int StopExitCode();
// Work that sleeps until something reports sets the function that wakes it; it is called
// on a thread of its own after each stop signal. Empty: nothing to wake.
void SetStopWake(std::function<void()> wake);

// The folder of the running executable, with a trailing "/".
QString ProgramFolder();

// A progress bar drawn on stderr when it is a terminal, otherwise a line per
// 10 % step. Thread-safe: Update may be called from any thread.
class ProgressBar {
public:
    explicit ProgressBar(std::string label);
    ~ProgressBar();
    void Update(int64_t done, int64_t total);
    void Finish();

private:
    std::string label_;
    int lastShown_ = -1;
    bool tty_ = false;
    bool finished_ = false;
};

} // namespace cli
