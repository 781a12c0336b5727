#include "sbDeviceFinder.h"
#include "FileNames.h"

#include "sbBurner.h"
#include "sbLogger.h"
#include "sbUserInterface.h"

#include <QFile>

#include <cstring>
#include <memory>

#include <sys/stat.h>

namespace {
// A text of a fixed library buffer: cut at its first zero and at the buffer's size.
QString BufferText(const char* buffer, size_t size) {
    return QString::fromUtf8(buffer, static_cast<qsizetype>(strnlen(buffer, size)));
}

// The error block of a discovery probe: its results are only logged.
struct ProbeErrorBlock {
    char text[VANTRELL_EXCEPTION_TEXT_SIZE] = {};
    int32_t status = 0;
    VantrellFailureRecord record{};
};
#define SB_PROBE_BLOCK(block)                                                                      \
    (block).text, static_cast<uint32_t>(sizeof((block).text)), &(block).status, &(block).record

// A device object of the library, destroyed when its owner goes out of scope.
struct ObjectDestroyer {
    void operator()(VantrellObject* object) const { Vantrell_Destroy(&object); }
};
using ObjectPtr = std::unique_ptr<VantrellObject, ObjectDestroyer>;

QString CreatedLine(const VantrellDeviceAddress& a) {
    return QStringLiteral("Vantrell_CdvdBurnerGrabber_Create (after create): PortID:%1,BusID:%2,"
                          "TargetID:%3,LUN:%4")
        .arg(a.PortID)
        .arg(a.BusID)
        .arg(a.TargetID)
        .arg(a.LUN);
}
} // namespace

QString DriveLetterOf(const VantrellDeviceAddress* address, const char* name) {
    if (name) {
        const QString text = FileNameFromBytes(name);
        return text.startsWith(QStringLiteral("dev:")) ? text.mid(4) : QString();
    }
    if (!address)
        return {};
    SbLog(QStringLiteral("Vantrell_GetDeviceNameByDeviceAddress"));
    char buffer[VANTRELL_EXCEPTION_TEXT_SIZE] = {};
    if (Vantrell_GetDeviceNameByDeviceAddress(address->PortID, address->BusID, address->TargetID,
                                              address->LUN, buffer, sizeof(buffer)) != 0)
        return {};
    return FileNameFromBytes(
               QByteArray(buffer, static_cast<qsizetype>(strnlen(buffer, sizeof(buffer)))))
        .mid(4);
}

void DeviceFound(TsbDeviceList* list, const VantrellDeviceAddress* address, const char* name) {
    if (!list || list->Abort.load())
        return;
    ProbeErrorBlock error;
    ObjectPtr object;
    TsbDeviceItem* item = nullptr;

    if (list->TransportType == ttAspi) {
        // An address whose present flag is clear names nothing that can be described.
        if (!address || !address->Present)
            return;
        item = &list->Add();
        item->Address = *address;
        SbLog(QStringLiteral("Vantrell_CdvdBurnerGrabber_Create (before create)"));
        VantrellObject* created = nullptr;
        const uint8_t result = Vantrell_CdvdBurnerGrabber_Create(
            &created, SB_PROBE_BLOCK(error), nullptr, nullptr, address->PortID, address->BusID,
            address->TargetID, address->LUN, 1);
        object.reset(created);
        if (result != 0) {
            // Listed with its path and the reason (no rights to it, most often).
            item->DriveLetter = DriveLetterOf(address, name);
            item->OpenProblem = BufferText(error.text, sizeof(error.text));
            SbLog(
                FailureText("Vantrell_CdvdBurnerGrabber_Create", result, error.status, error.text));
            return;
        }
        SbLog(CreatedLine(*address));
        item->TransportType = ttAspi;
    } else {
        if (!name)
            return;
        VantrellObject* created = nullptr;
        const uint8_t result = Vantrell_CdvdBurnerGrabber_CreateEx(&created, SB_PROBE_BLOCK(error),
                                                                   nullptr, nullptr, name, 1);
        object.reset(created);
        if (result != 0) {
            SbLog(FailureText("Vantrell_CdvdBurnerGrabber_CreateEx", result, error.status,
                              error.text));
            return;
        }
        item = &list->Add();
        item->DeviceName = FileNameFromBytes(name);
        item->TransportType = ttSpti;
    }

    const QString driveLetter = DriveLetterOf(address, name);

    SbLog(QStringLiteral("Vantrell_CdvdBurnerGrabber_GetDeviceInformation"));
    {
        char vendor[VANTRELL_EXCEPTION_TEXT_SIZE] = {};
        char product[VANTRELL_EXCEPTION_TEXT_SIZE] = {};
        char revision[VANTRELL_EXCEPTION_TEXT_SIZE] = {};
        uint32_t bufferSize = 0;
        if (Vantrell_CdvdBurnerGrabber_GetDeviceInformation(object.get(), vendor, product, revision,
                                                            &bufferSize) == 0) {
            item->Vendor = BufferText(vendor, sizeof(vendor));
            item->Product = BufferText(product, sizeof(product));
            item->ProductRevisionLevel = BufferText(revision, sizeof(revision));
            item->BufferSize = bufferSize;
        }
        item->DriveLetter = driveLetter;
    }

    SbLog(QStringLiteral("Vantrell_CdvdBurnerGrabber_GetSupportedMediaFormats"));
    VantrellMediaFormats formats{};
    if (Vantrell_CdvdBurnerGrabber_GetSupportedMediaFormats(object.get(), SB_PROBE_BLOCK(error),
                                                            &formats) == 0) {
        const uint8_t* f = &formats.CdRom;
        static constexpr int order[10] = {0, 1, 2, 3, 4, 6, 7, 8, 9, 5};
        for (int i = 0; i < 10; ++i)
            item->MediaFormats[static_cast<size_t>(i)] = f[order[i]] != 0;
        item->WriteModes[4] = formats.DvdRam != 0;
    }
    SbLog(QStringLiteral("Vantrell_CdvdBurnerGrabber_GetSupportedMediaFormatsExEx"));
    VantrellMediaFormatsEx formatsEx{};
    if (Vantrell_CdvdBurnerGrabber_GetSupportedMediaFormatsExEx(object.get(), SB_PROBE_BLOCK(error),
                                                                &formatsEx) == 0) {
        const uint8_t* f = &formatsEx.DvdPlusRDl;
        for (size_t i = 0; i < 6; ++i)
            item->MediaFormatsEx[i] = f[i] != 0;
    }

    SbLog(QStringLiteral("Vantrell_CdvdBurnerGrabber_ProbeSupportedWriteModes"));
    VantrellWriteModes writeModes{};
    if (Vantrell_CdvdBurnerGrabber_ProbeSupportedWriteModes(object.get(), SB_PROBE_BLOCK(error),
                                                            &writeModes) == 0) {
        item->WriteModes[0] = writeModes.TrackAtOnce != 0;
        item->WriteModes[1] = writeModes.SessionAtOnce != 0;
        item->WriteModes[2] = writeModes.DiscAtOncePQ != 0;
        item->WriteModes[3] = writeModes.DiscAtOnceRawPW != 0;
    }
    SbLog(QStringLiteral("Vantrell_CdvdBurnerGrabber_ProbeSupportedReadModes"));
    VantrellReadModes readModes{};
    if (Vantrell_CdvdBurnerGrabber_ProbeSupportedReadModes(object.get(), SB_PROBE_BLOCK(error),
                                                           &readModes) == 0) {
        const uint8_t* r = &readModes.CdDa;
        for (size_t i = 0; i < 6; ++i)
            item->ReadModes[i] = r[i] != 0;
    }

    item->DiscType = DISC_TYPE_NO_MEDIA;
    SbLog(QStringLiteral("Vantrell_CdvdBurnerGrabber_TestUnitReady"));
    const uint8_t ready =
        Vantrell_CdvdBurnerGrabber_TestUnitReady(object.get(), SB_PROBE_BLOCK(error));
    if (ready != 0)
        item->MediumProblem = BufferText(error.text, sizeof(error.text));
    if (ready == 0 && !list->Abort.load()) {
        SbLog(QStringLiteral("Vantrell_CdvdBurnerGrabber_GetInsertedDiscType"));
        item->DiscType =
            static_cast<uint8_t>(Vantrell_CdvdBurnerGrabber_GetInsertedDiscType(object.get()));
        char label[256] = {};
        if (Vantrell_CdvdBurnerGrabber_GetVolumeLabel(object.get(), SB_PROBE_BLOCK(error), label,
                                                      sizeof(label)) == 0)
            item->DiscLabel = BufferText(label, sizeof(label));
        SbLog(QStringLiteral("Vantrell_CdvdBurnerGrabber_GetDiscInformation"));
        VantrellDiscInformation discInformation{};
        if (Vantrell_CdvdBurnerGrabber_GetDiscInformation(object.get(), SB_PROBE_BLOCK(error),
                                                          &discInformation) == 0) {
            item->DiscInformation = discInformation;
            SbLog(QStringLiteral("Vantrell_CdvdBurnerGrabber_GetTrackInformation"));
            Vantrell_CdvdBurnerGrabber_GetTrackInformation(object.get(), SB_PROBE_BLOCK(error), 255,
                                                           &item->InvisibleTrack);
            Vantrell_SetFastReadTOC(1);
            SbLog(QStringLiteral("Vantrell_CdvdBurnerGrabber_GetTOCInformation"));
            Vantrell_CdvdBurnerGrabber_GetTOCInformation(object.get(), SB_PROBE_BLOCK(error),
                                                         &item->Toc);
        }
    }

    if (item->MediaFormats[2]) {
        SbLog(QStringLiteral("Vantrell_CdvdBurnerGrabber_GetRPC"));
        VantrellRegionData region{};
        if (Vantrell_CdvdBurnerGrabber_GetRPC(object.get(), SB_PROBE_BLOCK(error), &region) == 0) {
            item->DVDRPC.TypeCode = QString::number(region.TypeCode);
            item->DVDRPC.VendorResetsLeft = QString::number(region.VendorResetsLeft);
            item->DVDRPC.UserChangesLeft = QString::number(region.UserChangesLeft);
            item->DVDRPC.RegionMask = QString::number(region.RegionMask);
            item->DVDRPC.RpcScheme = QString::number(region.RpcScheme);
            item->DVDRPC.Valid = true;
        }
    }

    SbLog(QStringLiteral("Vantrell_Destroy: Grabber"));
    object.reset();
    if (list->Abort.load() && list->Count() > 0)
        list->Delete(list->Count() - 1);
}

void TsbDeviceFinderThread::Execute() {
    if (TransportType == ttSpti) {
        for (int n = 0; n <= 20; ++n) {
            const QByteArray name = QByteArrayLiteral("CdRom") + QByteArray::number(n);
            ProbeErrorBlock error;
            VantrellObject* created = nullptr;
            const uint8_t result = Vantrell_CdvdBurnerGrabber_CreateEx(
                &created, SB_PROBE_BLOCK(error), nullptr, nullptr, name.constData(), 1);
            ObjectPtr probe(created);
            if (result == 0) {
                probe.reset();
                LibraryCallback(VANTRELL_REASON_DEVICE_FOUND, List, nullptr,
                                const_cast<char*>(name.constData()));
                break;
            }
        }
    } else {
        SbLog(QStringLiteral("Vantrell_FindDevice"));
        Vantrell_FindDevice(5, 0, &LibraryCallback, List);
    }
}

TsbDeviceFinder::~TsbDeviceFinder() {
    try {
        WaitForWorker();
    } catch (...) {
    }
}

void TsbDeviceFinder::WaitForWorker() {
    WaitForWorkerSteps(Worker, WorkerHandle);
}
void TsbDeviceFinder::WorkerEnded() {
    Worker.store(nullptr);
}

void TsbDeviceFinder::Find(bool showProgress) {
    TOperationProgressHolder dialog(ProgressDialog);
    if (showProgress) {
        Devices.Abort.store(false);
        dialog.Show(QStringLiteral("Tonvale"), InfoText, false,
                    [this] { Devices.Abort.store(true); });
        ProcessPendingEvents();
    }
    // Wait before clearing: a search still running fills the list.
    WaitForWorker();
    // Called on the main thread, this takes in a change of TONVALE_VIRTUAL_DRIVES (the
    // search worker must not read the environment).
    Vantrell_RefreshVirtualDrives();
    Devices.Clear();
    Devices.TransportType = TransportType;
    StartWorker(std::make_unique<TsbDeviceFinderThread>(&Devices), Worker, WorkerHandle,
                [this] { WorkerEnded(); });
    WaitForWorker();
}

QString ImageProblem(const TsbDeviceItem& item) {
    if (item.DiscType != DISC_TYPE_NO_MEDIA || item.MediumProblem.isEmpty())
        return {};
    struct stat st {};
    const QByteArray path = FileNameBytes(item.DriveLetter);
    if (!path.isEmpty() && ::stat(path.constData(), &st) == 0 &&
        (S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode)))
        return {};
    return item.MediumProblem;
}
