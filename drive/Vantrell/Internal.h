// Shared internals of the Vantrell library: the error block writer, the log, the drive
// list with the simulated state of virtual drives, and the device object.
// Only the library's own .cpp files include this header.
#pragma once

#include "Vantrell.h"

#include <cdio/cdio.h>

#include <atomic>
#include <cstdarg>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <sys/types.h>

namespace vantrell {

// Writes an operation's outcome into the caller's error block.
class ErrorBlock {
public:
    ErrorBlock(const char* operation, char* text, uint32_t textSize, int32_t* status,
               VantrellFailureRecord* record);
    uint8_t Ok();
    // Fills the block with code, a sentence made from format, and the details; logs it at
    // warning level; returns code.
    uint8_t Fail(uint8_t code, int32_t systemError, int32_t driverCode, int32_t lba,
                 const char* format, ...) __attribute__((format(printf, 6, 7)));
    const char* Operation() const { return operation_; }

private:
    const char* operation_;
    char* text_;
    uint32_t textSize_;
    int32_t* status_;
    VantrellFailureRecord* record_;
};

#define VANTRELL_EB(name)                                                                          \
    vantrell::ErrorBlock eb(name, exceptionText, exceptionTextSize, status, failureRecord)

void Log(int32_t level, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Installs the libcdio log handler once (the first use of libcdio by the library).
void InstallCdioLogHandler();

struct CdioCloser {
    void operator()(CdIo_t* p) const { cdio_destroy(p); }
};
using CdioPtr = std::unique_ptr<CdIo_t, CdioCloser>;

struct Drive {
    std::string path; // device path or image path
    bool isVirtual = false;
    VantrellDeviceAddress address{};
};

// The ordered drive list: real drives, then TONVALE_VIRTUAL_DRIVES. Thread-safe.
std::vector<Drive> ListDrives();

// Simulated tray and lock state of a virtual drive, shared by all its objects.
struct VirtualState {
    bool trayOpen = false;
    int locks = 0;
    uint64_t generation = 0; // bumped when the tray opens: open handles are stale
};
// The state of the virtual drive at path; the caller holds StateMutex().
VirtualState& VirtualStateLocked(const std::string& path);
std::mutex& StateMutex();
// cdio_open, one at a time (the image parsers are not thread-safe).
CdIo_t* OpenCdio(const char* path, driver_id_t driver);
// Opens a disc image (CUE/BIN, TOC or NRG). On failure returns null and sets reason to why,
// in words: the missing BIN file, the CUE line libcdio's parser refused, ...
CdIo_t* OpenImage(const std::string& path, std::string& reason);

} // namespace vantrell

struct VantrellObject {
    vantrell::Drive drive;
    VantrellCallback callback = nullptr;
    void* context = nullptr;
    vantrell::CdioPtr cdio;  // real drives: opened at creation; images: when needed
    uint64_t generation = 0; // virtual: state generation the handle belongs to
    ino_t imageInode = 0;    // virtual: identity of the image the handle reads
    int64_t imageMtime = 0;
    bool holdsLock = false;
    std::atomic<bool> cancel{false};
};

namespace vantrell {

// The medium of a device object: the libcdio handle, or nullptr with the error block filled
// (NO_MEDIUM for an empty drive, a missing image or an open tray).
CdIo_t* Medium(VantrellObject* object, ErrorBlock& eb);

// Reads the disc's TOC into toc; false when the medium has no track.
bool ReadToc(CdIo_t* cdio, VantrellTocRecord& toc);

// Writes all of data to fd; false with errno on failure.
bool WriteAll(int fd, const void* data, size_t size);

// The canonical 44-byte header of a 16-bit stereo 44100 Hz PCM WAV of dataBytes.
void CanonicalWaveHeader(uint8_t header[44], uint32_t dataBytes);

} // namespace vantrell
