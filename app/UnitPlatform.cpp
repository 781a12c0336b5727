#include "UnitPlatform.h"

#include "FileNames.h"
#include "Vantrell.h"

#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include <sys/utsname.h>

namespace {

struct DeviceCloser {
    void operator()(VantrellObject* object) const { Vantrell_Destroy(&object); }
};
using DeviceObject = std::unique_ptr<VantrellObject, DeviceCloser>;

// Opens a device object by name; null (with the library's code in *result) when the
// drive cannot be opened.
DeviceObject OpenDrive(const char* name, uint8_t* result = nullptr) {
    VantrellObject* object = nullptr;
    const uint8_t code = Vantrell_CdvdBurnerGrabber_CreateEx(&object, nullptr, 0, nullptr, nullptr,
                                                             nullptr, nullptr, name, 0);
    if (result)
        *result = code;
    if (code != VANTRELL_EXCEPTION_SUCCESS) {
        Vantrell_Destroy(&object);
        return nullptr;
    }
    return DeviceObject(object);
}

void CollectDriveName(uint8_t reason, void* context, void*, void* second) {
    if (reason != VANTRELL_REASON_DEVICE_FOUND || !second)
        return;
    // No exception may travel back through the library's C frames.
    try {
        static_cast<std::vector<std::string>*>(context)->emplace_back(
            static_cast<const char*>(second));
    } catch (const std::bad_alloc&) {
    }
}

std::mutex defaultDriveLock;
QString defaultDrive; // guarded by defaultDriveLock

} // namespace

void SetDefaultCdDrive(const QString& drive) {
    std::lock_guard guard(defaultDriveLock);
    defaultDrive = drive;
}

QString DefaultCdDrive() {
    std::lock_guard guard(defaultDriveLock);
    return defaultDrive;
}

int PlatformKindOf(long platformId) {
    switch (platformId) {
    case 1:
        return 0;
    case 2:
        return 1;
    default:
        return -1;
    }
}

int PlatformKind() {
    utsname name{};
    if (::uname(&name) != 0)
        return -1;
    // Whatever kernel uname names, it is neither family: identifier 0.
    return PlatformKindOf(0);
}

bool NeedsAspi() {
    return PlatformKind() != 1;
}

bool AnyCDVolume() {
    std::vector<std::string> names;
    Vantrell_FindDevice(5, 0, &CollectDriveName, &names);
    for (const std::string& name : names) {
        const DeviceObject drive = OpenDrive(name.c_str());
        if (drive && Vantrell_CdvdBurnerGrabber_TestUnitReady(
                         drive.get(), nullptr, 0, nullptr, nullptr) == VANTRELL_EXCEPTION_SUCCESS)
            return true;
    }
    return false;
}

uint32_t SendMciString(const QString& command) {
    const QString text = command.trimmed();
    const bool open =
        text.compare(QLatin1String("Set cdaudio door open wait"), Qt::CaseInsensitive) == 0;
    const bool close =
        text.compare(QLatin1String("Set cdaudio door closed wait"), Qt::CaseInsensitive) == 0;
    if (!open && !close)
        return MciErrorUnknownCommand;

    // "CdRom0" names the first drive of the library's list.
    const QString chosen = DefaultCdDrive();
    const QByteArray name = chosen.isEmpty() ? QByteArray("CdRom0") : FileNameBytes(chosen);
    uint8_t opened = VANTRELL_EXCEPTION_SUCCESS;
    const DeviceObject drive = OpenDrive(name.constData(), &opened);
    if (!drive)
        return opened == VANTRELL_EXCEPTION_NO_DEVICE || opened == VANTRELL_EXCEPTION_SUCCESS
                   ? MciErrorNoDrive
                   : MciErrorDriveBase + opened;
    const uint8_t result =
        open ? Vantrell_CdvdBurnerGrabber_Eject(drive.get(), nullptr, 0, nullptr, nullptr)
             : Vantrell_CdvdBurnerGrabber_CloseTray(drive.get(), nullptr, 0, nullptr, nullptr);
    return result == VANTRELL_EXCEPTION_SUCCESS ? 0 : MciErrorDriveBase + result;
}
