// The drive-layer log file writer, the uniform failure text of library calls
// and the library version check.
//
// TsbLogger is one process-wide object (TsbLogger::Instance). Every class of the
// drive layer logs the bare name of a library operation before calling it and,
// when the call fails, the failure text built by FailureText. Logging is
// enabled by the local-machine settings file:
//   <first folder of $XDG_CONFIG_DIRS, default /etc/xdg>/Harrowgate Software.ini,
//   group "Vantrell", values "LogEnabled" (Boolean, default false) and
//   "LogLevel" (integer, default 0, kept but never used to filter).
// The log file is the running program's path with the extension ".log".
//
// Threads: Log may be called from any thread; each call appends one line under
// a lock (open, append, close as one unit).
#pragma once

#include "sbTypes.h"

#include <QString>

#include <cstdint>
#include <mutex>

class TsbLogger {
public:
    // Reads the settings once.
    TsbLogger();

    // The process-wide logger, created on first use.
    static TsbLogger& Instance();
    // Replaces the process-wide logger with one that reads the settings again.
    // Only while no drive work runs (tests and settings changes).
    static void Reload();

    // Appends "hh:nn:ss.zzz: " + message and a line break to LogFileName when
    // LogEnabled; nothing otherwise. The level is ignored. Throws EsbError
    // when the file cannot be written.
    void Log(const QString& message, int level = 0);

    bool LogEnabled() const { return logEnabled_; }
    int LogLevel() const { return logLevel_; }
    // The program's folder + its file name without extension + ".log"; cached.
    QString LogFileName();

    // The settings file the logger reads (the current $XDG_CONFIG_DIRS).
    static QString SettingsFileName();

private:
    bool logEnabled_ = false; // read-only after construction
    int logLevel_ = 0;        // read-only after construction
    QString logFileName_;     // guarded by the process-wide log lock
};

// Shorthand for TsbLogger::Instance().Log(message).
void SbLog(const QString& message);

// The uniform failure text:
//   <operation>() failed, exception <code>, status <status>, text "<text>"
// with "\n" (backslash and n) appended when trailingBackslashN is set.
// exceptionText is the library's 1024-byte buffer, read up to its first zero.
QString FailureText(const char* operation, int code, int32_t status, const char* exceptionText,
                    bool trailingBackslashN = false);
// For operations that report no status: "<operation>() failed, exception <code>".
QString FailureText(const char* operation, int code);

// The version the layer is written for.
inline constexpr uint32_t ExpectedVantrellVersion = 0x20081220;

// Returns the version check line for the version found ("Vantrell : Vantrell.dll
// version : 0x20081220" or "Vantrell : Invalid Vantrell.dll version : 0x...");
// ok tells whether it matched.
QString VersionCheckText(uint32_t found, bool& ok);
// Runs the version check once at program start: the line goes to the debugger
// output (stderr); a mismatch is also shown in a warning message box (when a
// QApplication exists). Returns whether the version matched; the program goes
// on either way. Main thread.
bool CheckLibraryVersion();
