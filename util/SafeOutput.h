// Output files that appear under their name only when complete.
//
// Every program output (the drive library's WAV files, the engine's outputs,
// the command line's) is written through a TSafeOutput:
//   - a regular file, or a name that does not exist yet, is written under a
//     hidden temporary name in the folder of the final file and renamed over it
//     by Commit, after fsync; a replaced file keeps its mode and owner (as far as
//     the process may set them), a new file gets 0666 less the umask;
//   - a symbolic link is followed (also a dangling one): the file it leads to
//     is what gets replaced, the link stays a link;
//   - a file with several hard links is replaced by copying the finished data
//     into it at Commit, so that every link keeps seeing it;
//   - anything else (a device, a FIFO) is opened and written in place, never
//     replaced;
//   - an existing file that the process could not open for writing (a read-only
//     file, another user's file in a folder the process may write) is refused
//     with EACCES, as cp refuses it: writing a new file in its place would
//     replace it all the same. A new name needs only the folder's permission.
// A TSafeOutput that is destroyed or abandoned before Commit removes its
// temporary file: the old file stays as it was. RemovePendingOutputs removes the
// temporary files of every output still open; it is async-signal-safe, for the
// command line's signal handlers.
//
// Plain C++ on POSIX calls: used by the drive library (no Qt) and the engine.
// Names are bytes. One object is used by one thread; different objects may be
// used on different threads.
#pragma once

#include <cstddef>
#include <string>

namespace safeio {

class TSafeOutput {
public:
    TSafeOutput() = default;
    ~TSafeOutput(); // Abandon()
    TSafeOutput(const TSafeOutput&) = delete;
    TSafeOutput& operator=(const TSafeOutput&) = delete;

    enum : int { kLockExclusive = 1 }; // hold an exclusive flock while writing

    // Prepares writing `target`; false with errno set when it cannot be.
    bool Open(const std::string& target, int flags = 0);
    // The last Open failed because the target exists and may not be written by this
    // process (errno EACCES): "f.wav is read-only" rather than a folder's permission.
    bool ReadOnly() const { return readOnly_; }
    bool IsOpen() const { return fd_ >= 0; }
    // The open descriptor, positioned at 0 (the file is empty unless Direct()).
    int Fd() const { return fd_; }
    // The name the data goes to while it is written: the temporary file, or the
    // target itself when Direct(). For libraries that open files by name.
    const std::string& WritePath() const { return writePath_; }
    // The target is not a regular file and is written in place.
    bool Direct() const { return mode_ == TMode::Direct; }
    // The file that Commit replaces (symbolic links followed).
    const std::string& FinalPath() const { return finalPath_; }

    // Writes all of data at the descriptor's position (retrying short writes and
    // interruptions); false with errno. The data written so far is handed to the disc
    // every few megabytes, so that Commit does not stall on it.
    bool Write(const void* data, size_t size);

    // Flushes the data to the disc and gives it the final name. False with errno
    // (the temporary file is removed, the old file stays as it was).
    bool Commit();
    // Removes the temporary file and closes; the old file stays as it was.
    void Abandon();

private:
    enum class TMode { Replace, CopyInto, Direct };
    int fd_ = -1;
    int slot_ = -1; // in the table of pending temporary files
    static constexpr size_t kWritebackBytes = 8u << 20;
    size_t written_ = 0; // by Write
    size_t started_ = 0; // the writeback of [0, started_) has been started
    TMode mode_ = TMode::Replace;
    bool readOnly_ = false;
    std::string writePath_;
    std::string finalPath_;
};

// Writes all of data to fd (retrying short writes and interruptions); false with errno.
bool WriteAll(int fd, const void* data, size_t size);

// Unlinks the temporary file of every TSafeOutput still open in the process, and every
// path a TPendingPath holds (files first, then folders, which go when empty).
// Async-signal-safe.
void RemovePendingOutputs() noexcept;

// A work file or folder of the program's own that RemovePendingOutputs removes while this
// object lives (its owner removes it itself in the normal course).
class TPendingPath {
public:
    enum TKind { kFile, kFolder };
    TPendingPath(const std::string& path, TKind kind);
    ~TPendingPath();
    TPendingPath(const TPendingPath&) = delete;
    TPendingPath& operator=(const TPendingPath&) = delete;

private:
    int slot_;
};

// The file a name leads to, symbolic links followed (a dangling link gives the
// name it points at). Relative links are taken from the link's folder.
std::string ResolveLinks(const std::string& path);

} // namespace safeio
