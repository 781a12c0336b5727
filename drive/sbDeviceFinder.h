// Device discovery: TsbDeviceFinder finds the machine's CD/DVD drives through
// the drive library and describes each one (identity, drive path, capabilities,
// the medium inside and, when a medium is ready, its disc information and TOC)
// in its Devices list.
//
// Find runs the search on a TsbDeviceFinderThread while the calling thread
// processes its events in 80 ms steps, optionally under a progress dialog
// with a Cancel button that sets Devices.Abort. The application calls Find from
// its drive-search worker without the dialog and uses the first item whose
// DiscType is DISC_TYPE_CDR.
//
// Threads: the worker fills the list; it must not be read before Find returns.
// Abort may be set from any thread. A finder is used by one thread at a time;
// its destructor waits for a running search.
#pragma once

#include "sbThread.h"
#include "sbTypes.h"

#include <QString>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

class IOperationProgress;

// Region data of a DVD drive, values kept as decimal text.
struct TsbDVDRPC {
    bool Valid = false;
    QString TypeCode, VendorResetsLeft, UserChangesLeft, RegionMask, RpcScheme;
};

struct TsbDeviceItem {
    QString Vendor;
    QString Product;
    QString ProductRevisionLevel;
    QString DiscLabel;
    uint32_t BufferSize = 0;
    TsbDeviceAddress Address{};
    QString DeviceName; // the library device name (ttSpti devices)
    TsbTransportType TransportType = ttAspi;
    // Supported media formats in the order 1, 2, 3, 4, 5, 7, 8, 9, 10, 6 of the
    // library's output; then the six extended ones in the library's order.
    std::array<bool, 10> MediaFormats{};
    std::array<bool, 6> MediaFormatsEx{};
    uint8_t DiscType = DISC_TYPE_UNKNOWN;
    QString DriveLetter; // the drive's device path (a virtual drive: its image path)
    VantrellDiscInformation DiscInformation{};
    VantrellTrackInformation InvisibleTrack{}; // track 255
    VantrellTocRecord Toc{};
    std::array<uint8_t, 32> DeviceInformation{}; // copied into the session by the application
    std::array<bool, 6> ReadModes{};
    // Track-At-Once, Session-At-Once, Disc-At-Once PQ, Disc-At-Once raw P-W, then
    // the sixth supported media format.
    std::array<bool, 5> WriteModes{true, true, true, true, false};
    TsbDVDRPC DVDRPC;
    bool Audio = false; // not set by discovery
    // Why the drive reported no medium ready: the library's text ("No medium in the drive
    // ...", "The disc image ... cannot be read: BIN file ... not found"); empty otherwise.
    QString MediumProblem;
    // Why the drive could not be opened at all ("No rights to use the drive /dev/sr0: add
    // your user to the cdrom group"); empty when it was. Such a drive stays in the list.
    QString OpenProblem;
};

// Why a drive that is a disc image holds no readable disc (its MediumProblem); empty for a
// real drive (an empty drive needs no explanation) and for a drive with a disc.
QString ImageProblem(const TsbDeviceItem& item);

class TsbDeviceList {
public:
    TsbDeviceItem& Add() { return *items_.emplace_back(std::make_unique<TsbDeviceItem>()); }
    int Count() const { return static_cast<int>(items_.size()); }
    TsbDeviceItem& Items(int index) const { return *items_.at(static_cast<size_t>(index)); }
    void Delete(int index) { items_.erase(items_.begin() + index); }
    void Clear() { items_.clear(); }

    QString LastError;
    uint8_t TransportType = ttAspi;
    std::atomic<bool> Abort{false}; // set by the dialog's Cancel (any thread)

private:
    // unique_ptr: items are large (the TOC record) and must keep their address.
    std::vector<std::unique_ptr<TsbDeviceItem>> items_;
};

class TsbDeviceFinderThread : public TsbWorkerThread {
public:
    explicit TsbDeviceFinderThread(TsbDeviceList* list)
        : List(list), TransportType(list->TransportType) {}

protected:
    void Execute() override;

private:
    TsbDeviceList* List;   // not owned
    uint8_t TransportType; // copied from the list at creation
};

class TsbDeviceFinder {
public:
    TsbDeviceFinder() = default;
    virtual ~TsbDeviceFinder(); // waits for a running search
    TsbDeviceFinder(const TsbDeviceFinder&) = delete;
    TsbDeviceFinder& operator=(const TsbDeviceFinder&) = delete;

    virtual void WaitForWorker();
    virtual void WorkerEnded();

    // Runs one complete search and returns when it has ended; the result is in
    // Devices. showProgress shows the progress dialog (main thread only).
    void Find(bool showProgress);

    std::atomic<TsbWorkerThread*> Worker{nullptr}; // cleared by WorkerEnded (worker)
    std::unique_ptr<TsbWorkerThread> WorkerHandle; // the searching thread only
    TsbDeviceList Devices;
    IOperationProgress* ProgressDialog = nullptr; // while Find shows it
    uint8_t TransportType = ttAspi;
    QString InfoText;
};

// Callback reason 10: describes the device found and adds it to the list.
// Runs on the search worker.
void DeviceFound(TsbDeviceList* list, const VantrellDeviceAddress* address, const char* name);

// The drive path of a device: the name without its "dev:" prefix, or the
// library's name for the address; empty when neither gives one.
QString DriveLetterOf(const VantrellDeviceAddress* address, const char* name);
