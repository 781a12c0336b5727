// Worker threads of the drive layer and the 80 ms wait that keeps the event
// loop alive while one runs.
//
// A worker is created (not started), wired (termination handler, message
// event), then started. Its termination handler runs on the worker itself as
// its last act. The object that starts a worker keeps two things:
//   Worker        the running worker, cleared by the termination handler
//                 (any thread; atomic);
//   WorkerHandle  the owning handle (the starter's thread only); null is the
//                 invalid handle. WaitForWorkerSteps joins and releases it, so
//                 "the worker frees itself" means it is released as soon as
//                 its body has ended and the starter's wait has seen that.
// Exceptions thrown by a worker's Execute never leave the thread.
#pragma once

#include "sbTypes.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

class TsbBurner;

// A plain std::thread underneath: the worker needs no event loop, and the
// end-of-body signal and the join stay visible to the thread sanitizer.
class TsbWorkerThread {
public:
    TsbWorkerThread() = default;
    virtual ~TsbWorkerThread(); // joins when still joinable
    TsbWorkerThread(const TsbWorkerThread&) = delete;
    TsbWorkerThread& operator=(const TsbWorkerThread&) = delete;

    // Called on the worker as its last act (also after an exception).
    std::function<void()> OnTerminate; // set before Start only

    void Start();
    // Waits up to `timeout` for the body to end; true when it has ended.
    bool WaitFor(std::chrono::milliseconds timeout);
    // Waits for the body to end and joins the thread.
    void Join();

protected:
    virtual void Execute() = 0;

private:
    void Run();
    std::thread thread_;
    std::mutex endLock_;
    std::condition_variable endSignal_;
    bool ended_ = false; // guarded by endLock_
};

// Waits while `worker` is set: up to 80 ms on the handle at a time, processing
// pending events of the calling thread after each timed-out step. Then joins and
// releases the handle. Returns at once when there is no worker.
void WaitForWorkerSteps(std::atomic<TsbWorkerThread*>& worker,
                        std::unique_ptr<TsbWorkerThread>& handle);

// Starts `thread` as the worker of (worker, handle): stores it, sets its
// termination handler to `ended`, starts it.
void StartWorker(std::unique_ptr<TsbWorkerThread> thread, std::atomic<TsbWorkerThread*>& worker,
                 std::unique_ptr<TsbWorkerThread>& handle, std::function<void()> ended);

// Lets the calling thread's pending events be processed (no-op without an
// application object).
void ProcessPendingEvents();

// A worker that works for a session, with a message event fired only when set.
class TsbCustomThread : public TsbWorkerThread {
public:
    explicit TsbCustomThread(TsbBurner* burner) : Burner(burner) {}
    TsbMessageEvent OnMessage; // set before start only

protected:
    void DoMessage(const QString& text, TsbLogItemType kind) {
        if (OnMessage)
            OnMessage(this, text, kind);
    }
    TsbBurner* Burner; // the session; not owned
};
