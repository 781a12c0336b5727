// The engine logger: turns the media libraries' log fragments (from any thread)
// and the engine's own messages into whole lines, tags each line with the thread
// that produced it and a level, and hands it to OnLog on the main thread.
//
// One instance per process, fetched (and created on first use) through
// FFLogger(). The loader installs the library callback when libavutil is bound.
// OnLog always runs on the main thread (the one running QCoreApplication); a
// worker that logs waits until the handler has returned, so a handler must never
// wait for a conversion thread. A handler may log itself (or call into the
// libraries, which log): such lines are delivered, in order, once it returns.
#pragma once

#include <QObject>

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <functional>
#include <string>

enum TLogLevel : int {
    llQuiet = 0,
    llPanic = 1,
    llFatal = 2,
    llError = 3,
    llWarning = 4,
    llInfo = 5,
    llVerbose = 6,
    llDebug = 7,
};

// The library level a TLogLevel stands for: (ordinal - 1) * 8.
int LogLevelToAV(TLogLevel level);
// The TLogLevel of a library level: level / 8 + 1 (truncated), clamped to 0..7.
TLogLevel AVLevelToLogLevel(int avLevel);
// "quiet", "panic", ... "debug".
const char* LogLevelName(TLogLevel level);

// Sender, thread identifier, level, one line without its line feed.
using TLogEvent = std::function<void(const void* Sender, uint32_t AThreadID, TLogLevel ALogLevel,
                                     const std::string& ALogMsg)>;

class TFFLogger : public QObject {
    Q_OBJECT
public:
    // Throws std::logic_error("Allow creating only one instance of TFFLogger.")
    // when an instance already exists.
    explicit TFFLogger(QObject* parent = nullptr);
    ~TFFLogger() override;

    TLogLevel LogLevel() const;
    // Sets LogLevel; with libavutil bound also the filter level and the
    // library's own level.
    void SetLogLevel(TLogLevel level);
    // A level name (any case) or a decimal library level. Throws
    // std::invalid_argument for any other text.
    void SetLogLevelByName(const std::string& text);

    // Installs LibraryLogCallback as the library's log callback.
    void InstallLogCallback();

    // The engine's own messages: delivered when level <= LogLevel, or when level
    // is llVerbose and LogLevel is not llQuiet.
    void Log(const void* sender, TLogLevel level, const std::string& text);
    // One assembled library line.
    void LogLibraryLine(uint32_t threadId, int avLevel, const std::string& text);

    // Assigned on the main thread before conversions start.
    TLogEvent OnLog;

    // The library's log callback (C calling convention), installed above.
    static void LibraryLogCallback(void* context, int level, const char* format, va_list args);
    // Called by the loader when libavutil is unbound.
    static void LibraryUnbound();
    // The filter level: library messages above it are dropped unformatted.
    static int FilterLevel();

private:
    void Deliver(const void* sender, uint32_t threadId, TLogLevel level, const std::string& text);
    void DeliverHere(const void* sender, uint32_t threadId, TLogLevel level,
                     const std::string& text);
    std::atomic<TLogLevel> logLevel_; // read by every thread that logs
};

// The single logger; created (without owner) on first use.
TFFLogger& FFLogger();
// The calling thread's 32-bit identifier as the logger reports it.
uint32_t CurrentThreadId();
