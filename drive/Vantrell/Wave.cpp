// WAV files: the canonical header and the compressor operation (level 0: a checked copy).
#include "Internal.h"

#include "SafeOutput.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vantrell {
namespace {

void Put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint16_t Get16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t Get32(const uint8_t* p) {
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

bool ReadAll(int fd, void* data, size_t size) {
    auto* p = static_cast<uint8_t*>(data);
    while (size > 0) {
        const ssize_t n = ::read(fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

} // namespace

void CanonicalWaveHeader(uint8_t h[44], uint32_t dataBytes) {
    std::memcpy(h, "RIFF", 4);
    Put32(h + 4, 36 + dataBytes);
    std::memcpy(h + 8, "WAVEfmt ", 8);
    Put32(h + 16, 16);
    Put16(h + 20, 1);         // PCM
    Put16(h + 22, 2);         // channels
    Put32(h + 24, 44100);     // sample rate
    Put32(h + 28, 44100 * 4); // byte rate
    Put16(h + 32, 4);         // block align
    Put16(h + 34, 16);        // bits per sample
    std::memcpy(h + 36, "data", 4);
    Put32(h + 40, dataBytes);
}

} // namespace vantrell

using namespace vantrell;

extern "C" uint8_t Vantrell_Wave_UncompressedFileCompress(const char* source, const char* target,
                                                          uint32_t bytesPerSecond,
                                                          VantrellCompressCallback callback,
                                                          void* context, int32_t level) {
    constexpr const char* kName = "Vantrell_Wave_UncompressedFileCompress";
    if (!source || !target || !*source || !*target) {
        Log(VANTRELL_LOG_WARN, "%s: no source or target", kName);
        return VANTRELL_EXCEPTION_INVALID_ARGUMENT;
    }
    if (level != 0) {
        Log(VANTRELL_LOG_WARN, "%s: compression level %d is not supported", kName, level);
        return VANTRELL_EXCEPTION_NOT_SUPPORTED;
    }
    Fd in(::open(source, O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (in.get() < 0 || ::fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        Log(VANTRELL_LOG_WARN, "%s: cannot open %s: %s", kName, source, std::strerror(errno));
        return VANTRELL_EXCEPTION_FILE_ERROR;
    }
    const uint64_t size = static_cast<uint64_t>(st.st_size);

    // Check the RIFF structure: a PCM 16-bit fmt chunk at the asked byte rate and a data
    // chunk that the file really holds.
    uint8_t head[12];
    bool valid = size >= 44 && ReadAll(in.get(), head, sizeof head) &&
                 std::memcmp(head, "RIFF", 4) == 0 && std::memcmp(head + 8, "WAVE", 4) == 0;
    bool sawFormat = false, sawData = false;
    uint64_t offset = 12;
    while (valid && !sawData && offset + 8 <= size) {
        uint8_t chunk[8];
        if (!ReadAll(in.get(), chunk, sizeof chunk)) {
            valid = false;
            break;
        }
        const uint32_t length = Get32(chunk + 4);
        offset += 8;
        if (std::memcmp(chunk, "fmt ", 4) == 0) {
            uint8_t fmt[16];
            if (length < 16 || !ReadAll(in.get(), fmt, sizeof fmt)) {
                valid = false;
                break;
            }
            valid = Get16(fmt) == 1 && Get16(fmt + 14) == 16 && Get16(fmt + 2) >= 1 &&
                    Get32(fmt + 8) == bytesPerSecond;
            sawFormat = true;
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            valid = sawFormat && offset + length <= size;
            sawData = true;
            break;
        }
        offset += length + (length & 1);
        if (::lseek(in.get(), static_cast<off_t>(offset), SEEK_SET) < 0)
            valid = false;
    }
    if (!valid || !sawData) {
        Log(VANTRELL_LOG_WARN, "%s: %s is not a 16-bit PCM WAV file at %u bytes per second", kName,
            source, bytesPerSecond);
        return VANTRELL_EXCEPTION_BAD_WAVE;
    }

    safeio::TSafeOutput out;
    if (::lseek(in.get(), 0, SEEK_SET) != 0 ||
        !out.Open(target, safeio::TSafeOutput::kLockExclusive)) {
        Log(VANTRELL_LOG_WARN, "%s: cannot create %s: %s", kName, target, std::strerror(errno));
        return VANTRELL_EXCEPTION_FILE_ERROR;
    }
    std::vector<uint8_t> buffer(256 * 1024);
    int32_t lastPercent = -1;
    for (uint64_t done = 0;;) {
        const int32_t percent = size ? static_cast<int32_t>(done * 100 / size) : 100;
        if (percent != lastPercent) {
            lastPercent = percent;
            if (callback && callback(context, 1, percent) != 0) {
                Log(VANTRELL_LOG_INFO, "%s: cancelled", kName);
                return VANTRELL_EXCEPTION_CANCELLED;
            }
        }
        if (done == size)
            break;
        const size_t n = static_cast<size_t>(std::min<uint64_t>(buffer.size(), size - done));
        if (!ReadAll(in.get(), buffer.data(), n) || !WriteAll(out.Fd(), buffer.data(), n)) {
            Log(VANTRELL_LOG_WARN, "%s: copying %s to %s failed: %s", kName, source, target,
                std::strerror(errno));
            return VANTRELL_EXCEPTION_FILE_ERROR;
        }
        done += n;
    }
    if (!out.Commit()) {
        Log(VANTRELL_LOG_WARN, "%s: cannot complete %s: %s", kName, target, std::strerror(errno));
        return VANTRELL_EXCEPTION_FILE_ERROR;
    }
    return VANTRELL_EXCEPTION_SUCCESS;
}
