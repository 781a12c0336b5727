#include "sbBurner.h"
#include "FileNames.h"

#include "sbActions.h"
#include "sbDeviceFinder.h"
#include "sbUserInterface.h"
#include "sbLogger.h"

#include <QFile>
#include <QFileInfo>

TsbCallBackEventer& CallBackEventer() {
    static TsbCallBackEventer eventer;
    return eventer;
}

void LibraryCallback(uint8_t reason, void* context, void* first, void* second) {
    TsbCallBackEventer& events = CallBackEventer();
    switch (reason) {
    case VANTRELL_REASON_NAME_ADDED:
    case VANTRELL_REASON_NAME_REMOVED: {
        const QString name = first ? FileNameFromBytes(static_cast<const char*>(first)) : QString();
        const auto value = reinterpret_cast<intptr_t>(second);
        auto* counter = static_cast<int32_t*>(context);
        if (reason == VANTRELL_REASON_NAME_ADDED) {
            events.OnNameAdded.Fire(context, name, value);
            if (counter)
                ++*counter;
        } else {
            events.OnNameRemoved.Fire(context, name, value);
            if (counter)
                --*counter;
        }
        break;
    }
    case VANTRELL_REASON_NAME_COLLISION: {
        auto* collision = static_cast<TsbNameCollision*>(first);
        if (!collision)
            break;
        if (collision->BothFolders && collision->JolietTree)
            collision->Answer = 3;
        else if (collision->Name &&
                 FileNameFromBytes(collision->Name)
                         .compare(QStringLiteral("boot.img"), Qt::CaseInsensitive) == 0)
            collision->Answer = 1;
        else
            collision->Answer = 2;
        break;
    }
    case VANTRELL_REASON_DEVICE_FOUND:
        DeviceFound(static_cast<TsbDeviceList*>(context),
                    static_cast<VantrellDeviceAddress*>(first), static_cast<const char*>(second));
        break;
    case VANTRELL_REASON_GRAB_PROGRESS:
    case VANTRELL_REASON_BURN_PROGRESS: {
        if (reason == VANTRELL_REASON_GRAB_PROGRESS && !events.GrabActive.load())
            break;
        if (!first || !second)
            break;
        const auto total = *static_cast<const uint64_t*>(first);
        const auto done = *static_cast<const uint64_t*>(second);
        if (total == 0) // nothing to measure against; no percentage
            break;
        const auto percent = static_cast<int64_t>(done * 100 / total);
        if (events.LastPercent.exchange(percent) != percent)
            events.OnProgress.Fire(context, percent);
        break;
    }
    case VANTRELL_REASON_BUFFER: {
        if (!first || !second)
            break;
        const uint32_t size = *static_cast<const uint32_t*>(first);
        const uint32_t free = *static_cast<const uint32_t*>(second);
        if (size != 0)
            events.OnBuffer.Fire(context, 100 - static_cast<int64_t>(free) * 100 / size);
        break;
    }
    default:
        break;
    }
}

namespace {
void LogSink(void*, int32_t, const char* message) {
    try {
        SbLog(QString::fromUtf8(message ? message : ""));
    } catch (...) {
        // The library's own notices must not fail its operation.
    }
}
} // namespace

void StartVantrellLibrary() {
    SbLog(QStringLiteral("Vantrell_UpStartEx"));
    Vantrell_SetLogSink(&LogSink, nullptr);
    const uint8_t result = Vantrell_UpStartEx(0);
    if (result != 0) {
        const QString text = FailureText("Vantrell_UpStartEx", result);
        SbLog(text);
        throw EsbError(text);
    }
}

void StopVantrellLibrary() noexcept {
    try {
        Vantrell_DownShut();
    } catch (...) {
    }
}

TsbBurner::TsbBurner() = default;

TsbBurner::~TsbBurner() {
    SourceFiles.clear();
    try {
        WaitForWorker();
        WaitForSecondWorker();
        DestroyFileTree();
        CloseDevice();
    } catch (...) {
        // A log file that cannot be written must not stop the session's teardown.
        Vantrell_Destroy(&FileTree);
        Vantrell_Destroy(&DeviceObject);
    }
}

void TsbBurner::WaitForWorker() {
    WaitForWorkerSteps(Worker, WorkerHandle);
}
void TsbBurner::WorkerEnded() {
    Worker.store(nullptr);
}
void TsbBurner::WaitForSecondWorker() {
    WaitForWorkerSteps(SecondWorker, SecondWorkerHandle);
}
void TsbBurner::SecondWorkerEnded() {
    SecondWorker.store(nullptr);
}

void TsbBurner::DoMessage(const QString& text, TsbLogItemType kind) {
    if (OnMessage)
        OnMessage(this, text, kind);
}

QString TsbBurner::Failure(const char* operation, bool trailingBackslashN) const {
    return FailureText(operation, LastExceptionCode, LastStatus, ExceptionText, trailingBackslashN);
}

QString TsbBurner::StoreFailure(const char* operation, bool trailingBackslashN) {
    LastMessage = Failure(operation, trailingBackslashN);
    SbLog(LastMessage);
    return LastMessage;
}

void TsbBurner::OpenDevice() {
    CloseDevice();
    if (DeviceObject)
        return;
    SbLog(QStringLiteral("Vantrell_CdvdBurnerGrabber_Create (before create)"));
    VantrellObject* object = nullptr;
    if (TransportType == ttAspi) {
        Store(Vantrell_CdvdBurnerGrabber_Create(&object, SB_ERROR_BLOCK(this), &LibraryCallback,
                                                nullptr, Address.PortID, Address.BusID,
                                                Address.TargetID, Address.LUN, 0));
    } else {
        Store(Vantrell_CdvdBurnerGrabber_CreateEx(&object, SB_ERROR_BLOCK(this), &LibraryCallback,
                                                  nullptr, FileNameBytes(DeviceName).constData(),
                                                  0));
    }
    if (LastExceptionCode != 0) {
        Vantrell_Destroy(&object);
        throw EsbError(StoreFailure("Vantrell_CdvdBurnerGrabber_Create"));
    }
    DeviceObject = object;
    SbLog(QStringLiteral("Vantrell_CdvdBurnerGrabber_Create (after create): PortID:%1,BusID:%2,"
                         "TargetID:%3,LUN:%4")
              .arg(Address.PortID)
              .arg(Address.BusID)
              .arg(Address.TargetID)
              .arg(Address.LUN));
}

void TsbBurner::CloseDevice() {
    if (!DeviceObject)
        return;
    Release();
    SbLog(QStringLiteral("Vantrell_Destroy: Grabber"));
    Vantrell_Destroy(&DeviceObject);
}

void TsbBurner::DestroyFileTree() {
    if (!FileTree)
        return;
    SbLog(QStringLiteral("Vantrell_Destroy: FileTree"));
    Vantrell_Destroy(&FileTree);
}

void TsbBurner::Lock() {
    LastExceptionCode = 0;
    if (!DeviceObject)
        return;
    SbLog(QStringLiteral("Vantrell_CdvdBurnerGrabber_Lock"));
    if (Store(Vantrell_CdvdBurnerGrabber_Lock(DeviceObject, SB_ERROR_BLOCK(this))) != 0)
        sbdlg::ShowError(StoreFailure("Vantrell_CdvdBurnerGrabber_Lock", true));
}

void TsbBurner::Release() {
    LastExceptionCode = 0;
    if (!DeviceObject)
        return;
    SbLog(QStringLiteral("Vantrell_CdvdBurnerGrabber_Release"));
    if (Store(Vantrell_CdvdBurnerGrabber_Release(DeviceObject, SB_ERROR_BLOCK(this))) != 0)
        sbdlg::ShowError(StoreFailure("Vantrell_CdvdBurnerGrabber_Release", true));
}

void TsbBurner::StartBurnThread() {
    WaitForWorker();
    auto thread = std::make_unique<TsbBurnThread>(this);
    thread->OnMessage = [this](void*, const QString& text, TsbLogItemType kind) {
        DoMessage(text, kind);
    };
    StartWorker(std::move(thread), Worker, WorkerHandle, [this] { WorkerEnded(); });
    WaitForWorker();
}
