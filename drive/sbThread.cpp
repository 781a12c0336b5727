#include "sbThread.h"

#include "sbLogger.h"

#include <QCoreApplication>

#include <cstdio>

namespace {
// Logs a worker's failure. The log itself may be what failed (a full disc, a file made
// unwritable): then the message goes to standard error, and nothing leaves the thread.
void LogWorkerFailure(const char* what) noexcept {
    try {
        SbLog(QStringLiteral("Worker failed: ") + QString::fromUtf8(what));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "Worker failed: %s (and the log cannot be written: %s)\n", what,
                     error.what());
    } catch (...) {
        std::fprintf(stderr, "Worker failed: %s (and the log cannot be written)\n", what);
    }
}
} // namespace

TsbWorkerThread::~TsbWorkerThread() {
    if (thread_.joinable())
        thread_.join();
}

void TsbWorkerThread::Start() {
    thread_ = std::thread([this] { Run(); });
}

void TsbWorkerThread::Run() {
    try {
        Execute();
    } catch (const std::exception& error) {
        // A worker's failure is reported through its session or list and the
        // log, never by unwinding out of the thread.
        LogWorkerFailure(error.what());
    } catch (...) {
        LogWorkerFailure("unknown error");
    }
    if (OnTerminate)
        OnTerminate();
    std::lock_guard guard(endLock_);
    ended_ = true;
    endSignal_.notify_all();
}

bool TsbWorkerThread::WaitFor(std::chrono::milliseconds timeout) {
    std::unique_lock lock(endLock_);
    return endSignal_.wait_for(lock, timeout, [this] { return ended_; });
}

void TsbWorkerThread::Join() {
    if (thread_.joinable())
        thread_.join();
}

void ProcessPendingEvents() {
    if (QCoreApplication::instance())
        QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void WaitForWorkerSteps(std::atomic<TsbWorkerThread*>& worker,
                        std::unique_ptr<TsbWorkerThread>& handle) {
    while (worker.load(std::memory_order_acquire) && handle) {
        if (handle->WaitFor(std::chrono::milliseconds(80)))
            break;
        ProcessPendingEvents();
    }
    if (handle) {
        handle->Join();
        handle.reset();
    }
}

void StartWorker(std::unique_ptr<TsbWorkerThread> thread, std::atomic<TsbWorkerThread*>& worker,
                 std::unique_ptr<TsbWorkerThread>& handle, std::function<void()> ended) {
    thread->OnTerminate = std::move(ended);
    worker.store(thread.get(), std::memory_order_release);
    handle = std::move(thread);
    handle->Start();
}
