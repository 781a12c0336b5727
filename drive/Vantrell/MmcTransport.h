// The seam under the library's real-drive code. Every MMC command the library sends to a
// drive (TEST UNIT READY, READ TOC, READ DISC/TRACK INFORMATION, MODE SENSE, GET
// CONFIGURATION, PREVENT ALLOW MEDIUM REMOVAL, SET CD SPEED, START STOP UNIT, INQUIRY ...)
// and the drive's answer pass through an MmcTransport. The machine's drives are opened
// through libcdio; a test installs its own DriveProvider whose transports answer from
// tables, so that the real-drive paths run without a drive.
#pragma once

#include "Vantrell.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

typedef struct _CdIo CdIo_t;

namespace vantrell {

enum class MmcDirection : uint8_t { None, Read, Write };

// The outcome of one command.
struct MmcResult {
    int driverStatus = 0; // libcdio's driver_return_code_t: 0 done, -4 not permitted, ...
    // The drive's sense data of a command it refused (CHECK CONDITION), else 0.
    uint8_t senseKey = 0;
    uint8_t asc = 0;
    uint8_t ascq = 0;
    bool Ok() const { return driverStatus == 0; }
};

// libcdio's DRIVER_OP_NOT_PERMITTED: the system refused the command (EPERM), as it does
// for commands that change the drive's state on a handle opened read-only.
constexpr int kMmcNotPermitted = -4;

// One open drive. Used by one thread at a time (the device object's).
class VANTRELL_API MmcTransport {
public:
    virtual ~MmcTransport();
    // Sends the command block cdb (6, 10 or 12 bytes) and moves up to length bytes of data
    // in direction; a read fills buffer.
    virtual MmcResult Run(const uint8_t* cdb, size_t cdbLength, MmcDirection direction,
                          void* buffer, size_t length, unsigned timeoutMs) = 0;
    // A new libcdio handle of the drive for reading audio (the caller destroys it), opened
    // afresh so that it knows the medium now inside; null when there is none.
    virtual CdIo_t* NewAudioHandle();
    // Waiting for a drive that is becoming ready: the time that has passed, and a pause.
    virtual std::chrono::steady_clock::time_point Now();
    virtual void Pause(std::chrono::milliseconds duration);
};

// Where the library's real drives come from.
class VANTRELL_API DriveProvider {
public:
    virtual ~DriveProvider();
    // The optical drives' device paths in order, including drives this user may not open.
    virtual std::vector<std::string> Devices() = 0;
    // Opens the drive at path for MMC commands; on failure null, with error an errno value
    // (EACCES or EPERM: the user has no rights to the drive).
    virtual std::unique_ptr<MmcTransport> Open(const std::string& path, int& error) = 0;
    // The drive's SCSI address; false when it has none that fits the address record.
    virtual bool Address(const std::string& path, VantrellDeviceAddress& address);
};

// Replaces the machine's drives by provider's (tests); null restores the machine's.
// Device objects already open keep their transports.
VANTRELL_API void SetDriveProvider(std::shared_ptr<DriveProvider> provider);

} // namespace vantrell
