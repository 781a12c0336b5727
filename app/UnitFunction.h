// The application's drive workers: TRunGrabber copies a run's tracks into WAV
// files, TEjectCloseDevice opens or closes the tray, TFindCDRDevice searches
// the drives and has the window evaluate the result.
//
// Each is created, then started by the main window (StartWorker), runs once
// and ends; the window keeps the object until the body has ended, then joins
// and frees it. A worker never touches a widget: it calls the window's
// thread-safe operations (ShowStatus, SetEjectEnabled, ...) or hands work to
// the main thread. Failures are logged by the drive layer's worker base, never
// unwound out of the thread.
#pragma once

#include "sbThread.h"

#include <atomic>

class TfrmMain;

class TAppWorker : public TsbWorkerThread {
public:
    // Its last act wakes the window's waits (TfrmMain::Wake).
    explicit TAppWorker(TfrmMain* form);
    // True once the body has ended (any thread); Join then returns at once but
    // for the thread's exit.
    bool Ended() const { return ended_.load(); }

protected:
    TfrmMain* Form; // not owned; outlives the worker

private:
    std::atomic<bool> ended_{false};
};

class TRunGrabber : public TAppWorker {
public:
    using TAppWorker::TAppWorker;

protected:
    void Execute() override;
};

class TEjectCloseDevice : public TAppWorker {
public:
    TEjectCloseDevice(bool closeTray, TfrmMain* form) : TAppWorker(form), CloseTray(closeTray) {}
    const bool CloseTray;

protected:
    void Execute() override;
};

class TFindCDRDevice : public TAppWorker {
public:
    using TAppWorker::TAppWorker;

protected:
    void Execute() override;
};
