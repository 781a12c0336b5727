// Shared internals of the Vantrell library: the error block writer, the log, the drive
// list with the simulated state of virtual drives, and the device object.
// Only the library's own .cpp files include this header.
#pragma once

#include "MmcTransport.h"
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
    // The same for a command the drive refused: the record takes its sense data, the status
    // the driver code (EPERM when the system refused it).
    uint8_t FailMmc(uint8_t code, const MmcResult& result, const char* format, ...)
        __attribute__((format(printf, 4, 5)));
    const char* Operation() const { return operation_; }

private:
    uint8_t Fill(uint8_t code, int32_t systemError, int32_t driverCode, int32_t lba,
                 const char* message);
    const char* operation_;
    char* text_;
    uint32_t textSize_;
    int32_t* status_;
    VantrellFailureRecord* record_;
    MmcResult sense_; // the last refused command's sense data, kept by a later failure
};

#define VANTRELL_EB(name)                                                                          \
    vantrell::ErrorBlock eb(name, exceptionText, exceptionTextSize, status, failureRecord)

void Log(int32_t level, const char* format, ...) __attribute__((format(printf, 2, 3)));

template <typename T> uint8_t Bool(T v) {
    return v ? 1 : 0;
}
// The MSF address (minute, second, frame) of an LBA.
void ToMsf(int32_t lba, uint8_t msf[3]);
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

// The ordered drive list: real drives (the drive provider's), then the virtual drives of
// TONVALE_VIRTUAL_DRIVES as last read on the main thread. Thread-safe.
std::vector<Drive> ListDrives();
// Reads TONVALE_VIRTUAL_DRIVES (and TONVALE_VIRTUAL_SPEED) again when called on the thread
// that loaded the library.
void RefreshVirtualDrives();
// TONVALE_VIRTUAL_SPEED as last read there: virtual drives deliver audio at this many times
// real time (N x 176,400 bytes a second), as a real drive would; 0: as fast as the disk allows.
double VirtualSpeed();

// Simulated tray and lock state of a virtual drive, shared by all its objects.
struct VirtualState {
    bool trayOpen = false;
    int locks = 0;
    uint64_t generation = 0; // bumped when the tray opens: open handles are stale
};
// The state of the virtual drive at path; the caller holds StateMutex().
VirtualState& VirtualStateLocked(const std::string& path);
std::mutex& StateMutex();
// Opens a disc image (CUE/BIN, TOC or NRG). On failure returns null and sets reason to why,
// in words: the missing BIN file, the CUE line libcdio's parser refused, ...
CdIo_t* OpenImage(const std::string& path, std::string& reason);

} // namespace vantrell

namespace vantrell {
struct AudioReader; // Grab.cpp
}

struct VantrellObject {
    vantrell::Drive drive;
    VantrellCallback callback = nullptr;
    void* context = nullptr;
    std::unique_ptr<vantrell::MmcTransport> transport; // real drives: opened at creation
    vantrell::CdioPtr cdio;                            // images: opened when needed
    // The verified reader kept from the last grab (Grab.cpp); it reads through cdio, so it
    // is dropped before cdio changes (DropMedium).
    std::shared_ptr<vantrell::AudioReader> audioReader;
    uint64_t generation = 0; // virtual: state generation the handle belongs to
    ino_t imageInode = 0;    // virtual: identity of the image the handle reads
    int64_t imageMtime = 0;
    bool holdsLock = false;
    std::atomic<bool> cancel{false};
};

namespace vantrell {

// Forgets the object's medium: its kept reader, then an image's handle.
void DropMedium(VantrellObject* object);

// The medium of a virtual drive: the libcdio handle of its image, or nullptr with the error
// block filled (NO_MEDIUM for a missing image or an open tray).
CdIo_t* Medium(VantrellObject* object, ErrorBlock& eb);

// Reads an image's TOC into toc; false when the medium has no track.
bool ReadToc(CdIo_t* cdio, VantrellTocRecord& toc);

// The disc's TOC, real or virtual drive: SUCCESS, NO_MEDIUM or NO_TOC (error block filled).
uint8_t DiscToc(VantrellObject* object, ErrorBlock& eb, VantrellTocRecord& toc);

// ---- real drives (RealDrive.cpp): MMC commands through the object's transport ----------

std::shared_ptr<DriveProvider> CurrentProvider();
// Opens the transport of a real drive; the error block says why it cannot be opened.
uint8_t OpenRealDrive(const Drive& drive, std::unique_ptr<MmcTransport>& transport, ErrorBlock& eb);
// TEST UNIT READY, retried while the drive is becoming ready or reports a unit attention
// (a medium change), for a bounded time: SUCCESS or NO_MEDIUM.
uint8_t RealReady(VantrellObject* object, ErrorBlock& eb);
// The TOC with the session layout (the medium must be ready): SUCCESS or NO_TOC.
uint8_t RealToc(VantrellObject* object, ErrorBlock& eb, VantrellTocRecord& toc);
DISC_TYPE RealDiscType(VantrellObject* object, const VantrellTocRecord& toc);
// READ DISC INFORMATION; from the TOC for a drive that does not answer it.
void RealDiscInformation(VantrellObject* object, const VantrellTocRecord& toc,
                         VantrellDiscInformation& info);
bool RealTrackInformation(VantrellObject* object, uint8_t track, VantrellTrackInformation& info);
// The CD-Text album title (decoded by the disc's character code), else the ISO 9660 volume
// id of the first data track, else empty.
std::string RealVolumeLabel(VantrellObject* object, const VantrellTocRecord& toc);
uint8_t RealDeviceInformation(VantrellObject* object, char* vendor, char* product, char* revision,
                              uint32_t* bufferSize);
uint8_t RealMediaFormats(VantrellObject* object, ErrorBlock& eb, VantrellMediaFormats* formats,
                         VantrellMediaFormatsEx* formatsEx);
uint8_t RealReadModes(VantrellObject* object, ErrorBlock& eb, VantrellReadModes& modes);
uint8_t RealRegion(VantrellObject* object, ErrorBlock& eb, VantrellRegionData& region);
uint8_t RealSetSpeed(VantrellObject* object, ErrorBlock& eb, int32_t readSpeed);
uint8_t RealGetSpeeds(VantrellObject* object, ErrorBlock& eb, int32_t speeds[4]);
uint8_t RealLock(VantrellObject* object, ErrorBlock& eb, bool prevent);
uint8_t RealTray(VantrellObject* object, ErrorBlock& eb, bool open);
// Each audio track's INDEX 00 from the Q sub-channel into record (filled from toc, every
// Index00Lba -1): SUCCESS, or NOT_SUPPORTED when the drive reads no Q sub-channel.
uint8_t RealTrackIndexes(VantrellObject* object, ErrorBlock& eb, const VantrellTocRecord& toc,
                         VantrellIndexRecord& record);

// Writes all of data to fd; false with errno on failure.
bool WriteAll(int fd, const void* data, size_t size);

// The canonical 44-byte header of a 16-bit stereo 44100 Hz PCM WAV of dataBytes.
void CanonicalWaveHeader(uint8_t header[44], uint32_t dataBytes);

} // namespace vantrell
