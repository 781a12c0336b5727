#include "SafeOutput.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace safeio {
namespace {

// Pending temporary files, in fixed storage so that a signal handler can walk
// them without allocating or locking.
constexpr int kSlots = 64;
struct TSlot {
    std::atomic<bool> used{false};
    std::atomic<bool> ready{false}; // path written and valid
    bool folder = false;            // removed with rmdir, after the files
    char path[PATH_MAX] = {};
};
TSlot slots[kSlots];

int Register(const std::string& path, bool folder = false) {
    if (path.size() >= PATH_MAX)
        return -1;
    for (int i = 0; i < kSlots; ++i) {
        bool expected = false;
        if (slots[i].used.compare_exchange_strong(expected, true)) {
            std::memcpy(slots[i].path, path.c_str(), path.size() + 1);
            slots[i].folder = folder;
            slots[i].ready.store(true);
            return i;
        }
    }
    return -1; // more outputs at once than slots: they are still removed by their owners
}

void Unregister(int slot) {
    if (slot < 0)
        return;
    slots[slot].ready.store(false);
    slots[slot].used.store(false);
}

std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The process's umask, read without changing it (other threads may create files).
mode_t CurrentUmask() {
    if (FILE* status = std::fopen("/proc/self/status", "re")) {
        char line[256];
        unsigned mask = 0;
        bool found = false;
        while (std::fgets(line, sizeof line, status))
            if (std::sscanf(line, "Umask: %o", &mask) == 1) {
                found = true;
                break;
            }
        std::fclose(status);
        if (found)
            return static_cast<mode_t>(mask);
    }
    return 022;
}

// Copies the whole of `from` (positioned anywhere) into `to` from its start.
bool CopyInto(int from, int to) {
    if (::lseek(from, 0, SEEK_SET) < 0 || ::ftruncate(to, 0) != 0)
        return false;
    std::vector<char> buffer(1 << 16);
    for (;;) {
        const ssize_t n = ::read(from, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        if (!WriteAll(to, buffer.data(), static_cast<size_t>(n)))
            return false;
    }
}

void SyncFolder(const std::string& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

} // namespace

bool WriteAll(int fd, const void* data, size_t size) {
    const auto* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

std::string ResolveLinks(const std::string& path) {
    std::string current = path;
    for (int depth = 0; depth < 40; ++depth) {
        struct stat st {};
        if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            return current;
        std::vector<char> target(static_cast<size_t>(st.st_size > 0 ? st.st_size : PATH_MAX) + 1);
        const ssize_t n = ::readlink(current.c_str(), target.data(), target.size() - 1);
        if (n < 0)
            return current;
        const std::string next(target.data(), static_cast<size_t>(n));
        current = !next.empty() && next[0] == '/' ? next : FolderOf(current) + "/" + next;
    }
    return current; // a loop: opening it reports ELOOP
}

TSafeOutput::~TSafeOutput() {
    Abandon();
}

bool TSafeOutput::Open(const std::string& target, int flags) {
    Abandon();
    written_ = started_ = 0;
    readOnly_ = false;
    if (target.empty() || target.back() == '/') {
        errno = target.empty() ? ENOENT : EISDIR;
        return false;
    }
    finalPath_ = ResolveLinks(target);
    struct stat st {};
    const bool exists = ::stat(finalPath_.c_str(), &st) == 0;
    if (!exists && errno != ENOENT)
        return false;
    if (exists && S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        return false;
    }
    if (exists && !S_ISREG(st.st_mode)) {
        // A device or a FIFO is the user's way of saying where the data goes.
        fd_ = ::open(finalPath_.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd_ < 0) {
            readOnly_ = errno == EACCES;
            return false;
        }
        mode_ = TMode::Direct;
        writePath_ = finalPath_;
        return true;
    }
    // The file is replaced, not written into: the folder's permission would allow it,
    // but only the file's own says whether this process may change it. With the
    // effective ids, as open would check them.
    if (exists && ::faccessat(AT_FDCWD, finalPath_.c_str(), W_OK, AT_EACCESS) != 0) {
        readOnly_ = errno == EACCES;
        return false;
    }
    const std::string pattern = FolderOf(finalPath_) + "/." + BaseOf(finalPath_) + ".XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    fd_ = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd_ < 0)
        return false;
    writePath_ = name.data();
    slot_ = Register(writePath_);
    const mode_t mode = exists ? (st.st_mode & 07777) : (0666 & ~CurrentUmask());
    bool ok = ::fchmod(fd_, mode) == 0;
    if (ok && exists && (st.st_uid != ::geteuid() || st.st_gid != ::getegid()))
        // Only a privileged process may give a file away; otherwise the data is
        // still the user's, under their own name.
        static_cast<void>(::fchown(fd_, st.st_uid, st.st_gid));
    if (ok && (flags & kLockExclusive))
        ok = ::flock(fd_, LOCK_EX) == 0;
    if (!ok) {
        const int saved = errno;
        Abandon();
        errno = saved;
        return false;
    }
    mode_ = exists && st.st_nlink > 1 ? TMode::CopyInto : TMode::Replace;
    return true;
}

bool TSafeOutput::Commit() {
    if (fd_ < 0) {
        errno = EBADF;
        return false;
    }
    auto fail = [this] {
        const int saved = errno;
        Abandon();
        errno = saved;
        return false;
    };
    if (mode_ == TMode::Direct) {
        const int fd = fd_;
        fd_ = -1;
        // A device or FIFO may not support fsync; what matters is that close succeeds.
        if (::fsync(fd) != 0 && errno != EINVAL && errno != EROFS) {
            const int saved = errno;
            ::close(fd);
            errno = saved;
            return false;
        }
        return ::close(fd) == 0;
    }
    if (::fsync(fd_) != 0)
        return fail();
    if (mode_ == TMode::CopyInto) {
        const int into = ::open(finalPath_.c_str(), O_WRONLY | O_CLOEXEC);
        if (into < 0)
            return fail();
        const bool copied = CopyInto(fd_, into) && ::fsync(into) == 0;
        const int saved = errno;
        const bool closed = ::close(into) == 0;
        if (!copied || !closed) {
            if (!copied)
                errno = saved;
            return fail();
        }
        Abandon(); // the temporary copy is no longer needed
        return true;
    }
    if (::rename(writePath_.c_str(), finalPath_.c_str()) != 0)
        return fail();
    Unregister(slot_);
    slot_ = -1;
    SyncFolder(FolderOf(finalPath_));
    // The lock, if any, goes only now that the file has its name.
    ::close(fd_);
    fd_ = -1;
    return true;
}

void TSafeOutput::Abandon() {
    if (fd_ >= 0 && mode_ != TMode::Direct)
        ::unlink(writePath_.c_str());
    Unregister(slot_);
    slot_ = -1;
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

void RemovePendingOutputs() noexcept {
    for (TSlot& slot : slots)
        if (slot.used.load() && slot.ready.load() && !slot.folder)
            ::unlink(slot.path);
    for (TSlot& slot : slots)
        if (slot.used.load() && slot.ready.load() && slot.folder)
            ::rmdir(slot.path);
}

TPendingPath::TPendingPath(const std::string& path, TKind kind)
    : slot_(Register(path, kind == kFolder)) {}

TPendingPath::~TPendingPath() {
    Unregister(slot_);
}

bool TSafeOutput::Write(const void* data, size_t size) {
    if (!WriteAll(fd_, data, size))
        return false;
    written_ += size;
    // Starts the writeback of each finished stretch while the rest is written, so that the
    // fsync of Commit has little left to do. A hint: its failure changes nothing.
    if (mode_ != TMode::Direct && written_ - started_ >= kWritebackBytes) {
        ::sync_file_range(fd_, static_cast<off_t>(started_),
                          static_cast<off_t>(written_ - started_), SYNC_FILE_RANGE_WRITE);
        started_ = written_;
    }
    return true;
}

} // namespace safeio
