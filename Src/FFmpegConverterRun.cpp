// The conversion component's runs: scheduling tasks on the caller's thread or
// on worker threads, the end of each task and of the run, the notifier and
// wait threads, and the wind-down when tasks are cleared or the component goes.
#include "FFmpegConverter.h"
#include "FFUtils.h"

#include "FFmpegLogger.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <stdexcept>
#include <system_error>

namespace {

using namespace std::chrono_literals;

// Calls an application handler; an exception from it is logged, never passed
// into the engine's run or out of a thread body.
template <class F> void CallHandler(const char* event, F&& call) {
    const char* failure = nullptr;
    std::string text;
    try {
        call();
        return;
    } catch (const std::exception& e) {
        text = e.what();
        failure = text.c_str();
    } catch (...) {
        failure = "unknown exception";
    }
    FFLogger().Log(nullptr, llError, std::string(event) + " handler failed: " + failure);
}

// Live notifier threads, process-wide. Never destroyed: a detached notifier
// may still be on its way out while the process ends.
struct TNotifiers {
    std::mutex Lock;
    std::condition_variable Ended;
    int Count = 0; // guarded by Lock
};
TNotifiers& Notifiers() {
    static TNotifiers* notifiers = new TNotifiers;
    return *notifiers;
}

} // namespace

// --- TFFmpeg ------------------------------------------------------------------

TFFmpeg::~TFFmpeg() {
    if (RunPending_.load()) {
        StopConvert(false);
        WaitServingEvents([this] { return !RunPending_.load(); });
    }
}

// --- TDoTerminateThread -------------------------------------------------------

TDoTerminateThread::TDoTerminateThread(TTerminateEvent Handler, int AIndex, bool AFinished,
                                       bool AException, std::string AMessage)
    : Handler_(std::move(Handler)), AIndex_(AIndex), AFinished_(AFinished), AException_(AException),
      AMessage_(std::move(AMessage)) {}

TDoTerminateThread::~TDoTerminateThread() = default;

void TDoTerminateThread::Resume() {
    {
        std::lock_guard lock(Notifiers().Lock);
        ++Notifiers().Count;
    }
    auto runAndFree = [](TDoTerminateThread* self) {
        self->Body();
        delete self;
        TNotifiers& n = Notifiers();
        {
            std::lock_guard lock(n.Lock);
            --n.Count;
            n.Ended.notify_all();
        }
        NotifyEngineWaiters();
    };
    try {
        std::thread(runAndFree, this).detach();
    } catch (const std::system_error&) {
        runAndFree(this); // no thread to be had: deliver here rather than never
    }
}

void TDoTerminateThread::Body() {
    if (Handler_)
        CallHandler("OnTerminate",
                    [this] { Handler_(AIndex_, AFinished_, AException_, AMessage_); });
}

int TDoTerminateThread::LiveCount() {
    std::lock_guard lock(Notifiers().Lock);
    return Notifiers().Count;
}

bool TDoTerminateThread::WaitForAll(int TimeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
    if (IsMainThread()) {
        // The main thread serves events meanwhile: a handler may be waiting for it.
        bool late = false;
        QTimer timer;
        timer.setSingleShot(true);
        QObject::connect(&timer, &QTimer::timeout, [&late] { late = true; });
        timer.start(std::max(TimeoutMs, 0));
        WaitServingEvents([&late] { return late || LiveCount() == 0; });
        return LiveCount() == 0;
    }
    TNotifiers& n = Notifiers();
    std::unique_lock lock(n.Lock);
    return n.Ended.wait_until(lock, deadline, [&n] { return n.Count == 0; });
}

// --- TWaitThread --------------------------------------------------------------

TWaitThread::~TWaitThread() {
    WaitFor();
}

void TWaitThread::Resume() {
    Thread_ = std::thread([this] {
        WaitServingEvents([this] { return !Engine_ || !Engine_->ConvertThread(); });
        Done_ = true;
        NotifyEngineWaiters();
    });
}

void TWaitThread::WaitFor() {
    if (!Thread_.joinable())
        return;
    if (IsMainThread())
        WaitServingEvents([this] { return Done_.load(); });
    Thread_.join();
}

// --- the component: runs --------------------------------------------------------

TCustomFFmpegConverter::TComponentGuard::~TComponentGuard() {
    if (!Lock_)
        return;
    Lock_->unlock();
    NotifyEngineWaiters();
}

TCustomFFmpegConverter::TComponentGuard TCustomFFmpegConverter::LockServingEvents() const {
    if (!IsMainThread()) {
        ComponentLock.lock();
        return TComponentGuard(ComponentLock);
    }
    // A worker holding the lock may be waiting for the main thread (a log
    // line, a preview frame): keep serving it while we wait.
    WaitServingEvents([this] { return ComponentLock.try_lock(); });
    return TComponentGuard(ComponentLock);
}

bool TCustomFFmpegConverter::Running() const {
    auto lock = LockServingEvents();
    return RunActive_;
}

void TCustomFFmpegConverter::StartConvert(int ThreadCount) {
    const bool threaded = ThreadCount > 0;
    {
        auto lock = LockServingEvents();
        if (RunActive_) {
            // Restarting the counters under a run would lose its end.
            FFLogger().Log(this, llWarning, "StartConvert ignored: a conversion run is going");
            return;
        }
        NextTask_ = 0;
        Finished_ = 0;
        Threaded_ = threaded;
        Remaining_ = Tasks_->Count();
        RunActive_ = Remaining_ > 0;
    }
    int n = ThreadCount;
    for (;;) {
        {
            auto lock = LockServingEvents();
            if (Remaining_ <= 0)
                break;
        }
        StartNext();
        if (threaded && --n <= 0)
            break;
    }
}

void TCustomFFmpegConverter::StartNext() {
    int index = -1;
    {
        auto lock = LockServingEvents();
        if (Remaining_ > 0) {
            // Taken and counted before the start, so that a task that ends at
            // once cannot start the same index again.
            index = NextTask_++;
            --Remaining_;
        }
    }
    if (index >= 0)
        StartTask(index);
}

void TCustomFFmpegConverter::StartTask(int Index) {
    TFFmpeg* task = nullptr;
    try {
        task = Tasks_->Items(Index);
    } catch (const std::out_of_range&) {
    }
    // An engine that already ran (or runs) refuses to start and reports
    // nothing: count it as ended so that the run still reaches its end.
    if (!task || task->Running() || task->Terminated()) {
        auto lock = LockServingEvents();
        ++Finished_;
        TaskEnded();
        return;
    }
    task->ProgressInterval = static_cast<int64_t>(ProgressInterval()) * 1000;
    task->EndReported_ = false;
    task->RunPending_ = true;
    bool threaded;
    {
        auto lock = LockServingEvents();
        threaded = Threaded_;
    }
    try {
        if (threaded) {
            if (TConvertThread* thread = task->StartConvert(true, ThreadPriority())) {
                thread->Resume(); // the task belongs to its thread from here on
                return;
            }
        } else {
            task->StartConvert(false, ThreadPriority());
        }
    } catch (const std::exception& e) {
        // No thread could be made: this may run inside a finishing worker,
        // which must not unwind into the engine.
        FFLogger().Log(task, llError, std::string("Task could not be started: ") + e.what());
    }
    // No thread: the engine either reported its end right here (a failed
    // start check, or the whole unthreaded run) or refused without a word.
    if (!task->EndReported_.load()) {
        task->RunPending_ = false;
        NotifyEngineWaiters();
        auto lock = LockServingEvents();
        ++Finished_;
        TaskEnded();
    }
}

void TCustomFFmpegConverter::DoTerminate(TCustomFFmpeg* Sender) {
    auto* task = dynamic_cast<TFFmpeg*>(Sender);
    {
        auto lock = LockServingEvents();
        if (!Sender) {
            AllDone();
            return;
        }
        if (task) {
            // The run closed the input the task's probe described.
            task->Probe().Close();
            task->EndReported_ = true;
            Deliver(task->TaskIndex(), Sender->Finished(), Sender->ErrorOccurred(),
                    Sender->ErrorMessage());
        }
        ++Finished_;
        TaskEnded();
    }
    // Last touch of the task and of the component from this thread.
    if (task)
        task->RunPending_ = false;
    NotifyEngineWaiters();
}

void TCustomFFmpegConverter::TaskEnded() {
    if (Remaining_ > 0) {
        if (Threaded_)
            StartNext(); // the next task starts from the thread of the one that ended
    } else if (Tasks_->Count() <= Finished_) {
        AllDone();
    }
}

void TCustomFFmpegConverter::AllDone() {
    if (!RunActive_)
        return;
    RunActive_ = false;
    Deliver(-1, true, false, std::string());
}

void TCustomFFmpegConverter::Deliver(int AIndex, bool AFinished, bool AException,
                                     const std::string& AMessage) {
    if (Closing_ || !OnTerminate)
        return;
    if (Threaded_) {
        (new TDoTerminateThread(OnTerminate, AIndex, AFinished, AException, AMessage))->Resume();
        return;
    }
    CallHandler("OnTerminate", [&] { OnTerminate(AIndex, AFinished, AException, AMessage); });
}

void TCustomFFmpegConverter::DoProgress(TCustomFFmpeg* Sender, int AFrameNumber, int AFPS,
                                        int ACurrentDuration, float AQuality, float ABitRate,
                                        int64_t ACurrentSize, int ATotalOutputDuration) {
    if (!OnProgress)
        return;
    const auto* task = dynamic_cast<const TFFmpeg*>(Sender);
    const int index = task ? task->TaskIndex() : -1;
    auto lock = LockServingEvents();
    if (Closing_)
        return;
    CallHandler("OnProgress", [&] {
        OnProgress(index, AFrameNumber, AFPS, ACurrentDuration, AQuality, ABitRate, ACurrentSize,
                   ATotalOutputDuration);
    });
}

void TCustomFFmpegConverter::DoBeforeHook(TCustomFFmpeg* Sender, int64_t APTS,
                                          THookAction& AHookAction) {
    if (!OnBeforeHook)
        return;
    const auto* task = dynamic_cast<const TFFmpeg*>(Sender);
    CallHandler("OnBeforeHook",
                [&] { OnBeforeHook(task ? task->TaskIndex() : -1, APTS, AHookAction); });
}

void TCustomFFmpegConverter::DoCustomHook(TCustomFFmpeg* Sender, TBitmap& ABitmap, int AFrameNumber,
                                          int64_t APTS, bool& AUpdate, bool& AStopHook) {
    if (!OnCustomHook)
        return;
    const auto* task = dynamic_cast<const TFFmpeg*>(Sender);
    CallHandler("OnCustomHook", [&] {
        OnCustomHook(task ? task->TaskIndex() : -1, ABitmap, AFrameNumber, APTS, AUpdate,
                     AStopHook);
    });
}

void TCustomFFmpegConverter::DoPreviewBitmap(TCustomFFmpeg* Sender, const TBitmap& ABitmap,
                                             int AFrameNumber, int64_t APTS) {
    if (!OnPreviewBitmap)
        return;
    const auto* task = dynamic_cast<const TFFmpeg*>(Sender);
    const int index = task ? task->TaskIndex() : -1;
    {
        std::lock_guard lock(PendingPreviewLock);
        PendingPreviewIndex_ = index;
        PendingPreviewBitmap_ = ABitmap;
        PendingPreviewFrame_ = AFrameNumber;
        PendingPreviewPTS_ = APTS;
    }
    // The values travel with the call: another task may store its own meanwhile.
    auto call = [handler = OnPreviewBitmap, index, bitmap = ABitmap, AFrameNumber, APTS] {
        CallHandler("OnPreviewBitmap", [&] { handler(index, bitmap, AFrameNumber, APTS); });
    };
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || IsMainThread())
        call();
    else
        QMetaObject::invokeMethod(app, call, Qt::BlockingQueuedConnection);
}

// --- clearing and wind-down -----------------------------------------------------

void TCustomFFmpegConverter::StopRunningTasks() {
    std::vector<std::unique_ptr<TWaitThread>> waits;
    for (int i = 0; i < Tasks_->Count(); ++i) {
        TFFmpeg* task = nullptr;
        try {
            task = Tasks_->Items(i);
        } catch (const std::out_of_range&) {
            break;
        }
        if (!task->RunPending_.load())
            continue;
        task->StopConvert(false);
        waits.push_back(std::make_unique<TWaitThread>(task));
        waits.back()->Resume();
    }
    // The stopped runs wind down side by side; each task's destructor then
    // waits for the rest of its end.
    for (auto& wait : waits)
        wait->WaitFor();
}

void TCustomFFmpegConverter::ClearTasks() {
    {
        auto lock = LockServingEvents();
        if (RunActive_ && !Threaded_) {
            FFLogger().Log(this, llWarning, "ClearTasks ignored: an unthreaded run is going");
            return;
        }
    }
    {
        // No task starts from here on: a task that ends while the list is
        // being cleared must not reach for the next one.
        auto lock = LockServingEvents();
        Remaining_ = 0;
    }
    StopRunningTasks();
    Tasks_->Clear();
    {
        auto lock = LockServingEvents();
        AllDone(); // a run cut short still ends with its -1 event
        Threaded_ = false;
    }
    LastErrMsg_.clear();
}

void TCustomFFmpegConverter::WindDown() {
    {
        auto lock = LockServingEvents();
        Closing_ = true; // no events from here on
        Remaining_ = 0;
    }
    StopRunningTasks();
    Tasks_->Clear();
}
