// The application's drive workers: TRunGrabber copies a run's tracks into WAV
// files, TEjectCloseDevice opens or closes the tray, TFindCDRDevice searches
// the drives and has the window evaluate the result.
//
// Each is started by the main window (StartWorker), runs once and ends; the
// window keeps the object until the thread has ended and then frees it. A
// worker never touches a widget: it calls the window's thread-safe operations
// (ShowStatus, SetEjectEnabled, ...) or hands work to the main thread.
#pragma once

#include <QThread>

#include <atomic>

class TfrmMain;

class TAppWorker : public QThread {
public:
    explicit TAppWorker(TfrmMain* form) : Form(form) {}
    // True once the body has ended (any thread).
    bool Ended() const { return ended_.load(); }

protected:
    void run() final;
    virtual void Execute() = 0;
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
