// The device session TsbBurner and the callback bridge.
//
// TsbBurner is the drive layer's session with one drive: it opens the library's
// device object by address (ttAspi) or by device name (ttSpti), keeps the result
// of the last library call (LastExceptionCode, LastStatus, ExceptionText) and the
// last status or failure text (LastMessage), locks and releases the drive, runs
// the burn worker and closes the device object again. The application owns one
// through TsbMainForm and points it at the drive chosen by discovery.
//
// LibraryCallback is the one library callback that every device object and
// device search reports through; TsbCallBackEventer (CallBackEventer()) turns
// its reports into events.
//
// Threads: a session is used by the main thread (open, lock) and by one worker
// at a time (table of contents, grabbing, burning); the main thread only waits
// meanwhile, so the session itself takes no lock. LibraryCallback runs on the
// thread that called the library and fires the events there: handlers that
// touch windows must hand the work to the main thread.
#pragma once

#include "sbThread.h"
#include "sbTypes.h"

#include <QString>
#include <QStringList>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>

// An event that may be assigned, cleared and fired from different threads.
// Fire calls the handler (outside the lock) only when one is assigned.
template <typename... Args> class TsbEvent {
public:
    using Handler = std::function<void(Args...)>;
    void Set(Handler handler) {
        std::lock_guard guard(lock_);
        handler_ = std::move(handler);
    }
    void Clear() { Set(nullptr); }
    bool Assigned() const {
        std::lock_guard guard(lock_);
        return static_cast<bool>(handler_);
    }
    void Fire(Args... args) const {
        Handler handler;
        {
            std::lock_guard guard(lock_);
            handler = handler_;
        }
        if (handler)
            handler(args...);
    }

private:
    mutable std::mutex lock_;
    Handler handler_; // guarded by lock_
};

// The process-wide bridge from library reports to events.
class TsbCallBackEventer {
public:
    TsbEvent<void* /*sender*/, const QString& /*name*/, intptr_t /*value*/> OnNameAdded;
    TsbEvent<void*, const QString&, intptr_t> OnNameRemoved;
    TsbEvent<void* /*sender*/, int64_t /*percent*/> OnProgress;
    TsbEvent<void* /*sender*/, int64_t /*percent*/> OnBuffer;
    TsbEvent<void* /*sender*/, int /*value*/> OnBurnState;
    TsbEvent<void* /*sender*/> OnImageStart;

    // Set by grabbing; cleared by the application after a grab. Reason-11
    // progress is acted on only while it is set.
    std::atomic<bool> GrabActive{false};
    // The last percentage passed to OnProgress by the callback; never reset.
    std::atomic<int64_t> LastPercent{0};
};

TsbCallBackEventer& CallBackEventer();

// Answer record of a file-tree name collision (callback reason 3; burning only).
struct TsbNameCollision {
    uint8_t Answer = 0;         // written by the callback: 1, 2 or 3
    uint8_t BothFolders = 0;    // both clashing names are folders
    uint8_t JolietTree = 0;     // the tree is a Joliet tree
    const char* Name = nullptr; // the clashing file's name
};

// The library callback (VantrellCallback). Reasons: 0/1 file-tree names (context:
// int32_t node counter), 3 name collision (first: TsbNameCollision*), 10 device
// found (context: TsbDeviceList*), 11 grab progress (only while GrabActive), 12
// progress, 13 buffer state. Others are ignored.
void LibraryCallback(uint8_t reason, void* context, void* first, void* second);

class TsbBurner {
public:
    TsbBurner();
    // Waits for both workers, destroys the file tree and closes the device
    // object (which releases the lock).
    virtual ~TsbBurner();
    TsbBurner(const TsbBurner&) = delete;
    TsbBurner& operator=(const TsbBurner&) = delete;

    QString LastMessage;        // last stage message or failure text
    TsbDeviceAddress Address{}; // set by the owner before OpenDevice
    TsbTransportType TransportType = ttAspi;

    // Burning options (not used by the application).
    QString BootImageFile;
    uint8_t BurnMode = 0; // 0..8, see TsbBurnThread
    bool TestWrite = false;
    bool MultiSession = false;
    bool SendOPC = false; // stage 10 of staged actions runs only when set
    int32_t WriteSpeed = 0xFFFF;
    QString VolumeLabel = QStringLiteral("NEW");

    // Copied from the chosen device item by the application.
    std::array<uint8_t, 32> DeviceInformation{};
    VantrellWriteModes WriteModes{1, 1, 1, 1};
    VantrellReadModes ReadModes{};
    uint8_t DiscType = DISC_TYPE_UNKNOWN;

    TsbMessageEvent OnMessage; // fired by DoMessage; set while no worker runs
    int32_t CompressionLevel = 0;
    QStringList SourceFiles; // burning
    QString DeviceName;      // used with ttSpti

    std::atomic<TsbWorkerThread*> Worker{nullptr};       // cleared by WorkerEnded (worker)
    std::unique_ptr<TsbWorkerThread> WorkerHandle;       // owner thread only
    std::atomic<TsbWorkerThread*> SecondWorker{nullptr}; // cleared by SecondWorkerEnded
    std::unique_ptr<TsbWorkerThread> SecondWorkerHandle; // owner thread only

    // Set by the owner (any thread) to ask a running action to stop; grabbing
    // reads it before each track.
    std::atomic<bool> CancelRequested{false};

    VantrellObject* DeviceObject = nullptr; // owned; destroyed by CloseDevice
    VantrellObject* FileTree = nullptr;     // owned; destroyed by DestroyFileTree

    // Result of the last library call of the session.
    uint8_t LastExceptionCode = 0;
    int32_t LastStatus = 0;
    char ExceptionText[VANTRELL_EXCEPTION_TEXT_SIZE] = {};
    VantrellFailureRecord FailureRecord{};

    // Burning state.
    QString ImageFileName; // mode 4 target
    std::atomic<bool> Burning{false};
    bool LastBurnFailed = false; // the burn worker's verdict; read after it ended

    virtual void WaitForWorker();
    virtual void WorkerEnded();
    virtual void DoMessage(const QString& text, TsbLogItemType kind);
    virtual void WaitForSecondWorker();
    virtual void SecondWorkerEnded();

    // Closes any earlier device object, then opens one for Address (ttAspi) or
    // DeviceName (ttSpti). Throws EsbError with the failure text on failure
    // (DeviceObject stays null).
    void OpenDevice();
    // Releases and destroys the device object, if any.
    void CloseDevice();
    void DestroyFileTree();
    // Lock/Release the medium. A failure is stored, logged and shown in an error
    // dialog; nothing is raised.
    void Lock();
    void Release();
    // Runs the burn worker for this session and returns when it has ended
    // (events processed meanwhile).
    void StartBurnThread();

    // Stores a library result in LastExceptionCode and returns it.
    uint8_t Store(uint8_t code) {
        LastExceptionCode = code;
        return code;
    }
    // The uniform failure text of the last call under `operation`.
    QString Failure(const char* operation, bool trailingBackslashN = false) const;
    // Failure text stored in LastMessage and logged; returned for the caller's handling.
    QString StoreFailure(const char* operation, bool trailingBackslashN = false);
};

// The session's error block as call arguments.
#define SB_ERROR_BLOCK(burner)                                                                     \
    (burner)->ExceptionText, static_cast<uint32_t>(sizeof((burner)->ExceptionText)),               \
        &(burner)->LastStatus, &(burner)->FailureRecord

// Logs and starts the library (log sink routed to the drive-layer log). Throws
// EsbError("Vantrell_UpStartEx() failed, exception n") on failure.
void StartVantrellLibrary();
// Stops the library; errors are swallowed.
void StopVantrellLibrary() noexcept;
