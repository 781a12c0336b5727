// TCustomFFmpeg: the transcoding engine. One object converts one set of input
// files into one set of output files, configured like a command-line
// transcoder: options (TFFmpegOptions, FFmpegOptions.h) interleaved with
// OpenInput and AddOutput, then one run (StartConvert / RunTranscode).
//
// Callers: the conversion component (one engine per task), tonvale-cli convert
// and the tests. The usual sequence, all on one thread (the "owner"):
//     ResetEngine();                       // once, libraries loaded
//     SetOption("vn", "1");                // input options
//     OpenInput(wav)        -> false: LastError()
//     SetOption("ab", "128000"); ...       // output options
//     AddOutput(mp3, false) -> -1:    LastError()
//     OnProgress = ...; OnTerminate = ...;
//     StartConvert(true, tpNormal)->Resume();
// then, on the worker thread, the run ends with OnTerminate(this); afterwards
// Finished(), ErrorOccurred() and ErrorMessage() describe it. An engine runs
// once: StartConvert does nothing after the run until ResetEngine.
//
// Threads: everything except the run belongs to the owner thread and must not
// be called while a run is going. The run executes on the TConvertThread (or
// inline for StartConvert(false, ...)); OnProgress and OnTerminate are called
// from that thread. StopConvert may be called from any thread. The media
// libraries must stay loaded for the whole life of the object.
//
// Files: AddOutput only checks that a file output can be written; the run
// writes it under a temporary name and gives it its name only when the run
// finished and the file is complete (FFmpegPrivate.h, TOutputFileSetup).
//
// Errors: OpenInput/AddOutput report by result and LastError(); option errors
// and allocation failures raise FFmpegException. Failures inside a run never
// escape: they become ErrorOccurred()/ErrorMessage().
//
// No FFmpeg type appears here: the tables live in FFmpegPrivate.h.
#pragma once

#include "FFmpegOptions.h"

#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class TCustomFFmpeg;
struct AVFormatContext;
struct TFrameHookEntry;
struct TEngineFiles;
struct TOutputFileSetup;
struct TTranscodeRun;

// Thread priorities a run may use (lowest four of the thread priority scale).
enum TConvertPriority : int { tpIdle, tpLowest, tpLower, tpNormal };

// Progress of a run: engine, frame number, fps, current time (ms), quality,
// bitrate (kbit/s), current output size (bytes), expected total duration (ms,
// -1 when unknown). Frame number, fps and quality are -1 without video.
using TEngineProgressEvent = std::function<void(
    TCustomFFmpeg* Sender, int AFrameNumber, int AFPS, int ACurrentDuration, float AQuality,
    float ABitRate, int64_t ACurrentSize, int ATotalOutputDuration)>;
// End of a run (success, stop or failure alike).
using TEngineTerminateEvent = std::function<void(TCustomFFmpeg* Sender)>;
// A finished output file, still under its temporary name (APath), just before it takes
// its own: the last chance to change it (tags, pictures). False with AError abandons the
// file and fails the run with "<file>: <AError>". Called on the run's thread.
using TEngineOutputCompleteEvent =
    std::function<bool(TCustomFFmpeg* Sender, const std::string& APath, std::string& AError)>;

// The worker thread of one run. Created (not started) by StartConvert and
// owned by the engine, which joins and frees it when the engine is destroyed
// or reset; the caller only starts it with Resume(). The priority applies to
// the worker (tpIdle: idle scheduling class; tpLowest/tpLower: nice 10/5).
class TConvertThread {
public:
    TConvertThread(TCustomFFmpeg* engine, TConvertPriority priority);
    ~TConvertThread(); // joins
    TConvertThread(const TConvertThread&) = delete;
    TConvertThread& operator=(const TConvertThread&) = delete;
    // Starts the body (once; later calls do nothing). Any thread.
    void Resume();
    bool Started() const { return started_.load(); }
    TCustomFFmpeg* Engine() const { return engine_; }
    TConvertPriority Priority() const { return priority_; }

private:
    void Body();
    TCustomFFmpeg* engine_;
    TConvertPriority priority_;
    std::mutex startLock_;
    std::atomic<bool> started_{false};
    std::thread thread_; // guarded by startLock_
};

class TCustomFFmpeg : public TFFmpegOptions {
public:
    TCustomFFmpeg();
    // Stops a run still going and waits for it (processing the main thread's
    // events while waiting), then closes every file.
    ~TCustomFFmpeg() override;
    TCustomFFmpeg(const TCustomFFmpeg&) = delete;
    TCustomFFmpeg& operator=(const TCustomFFmpeg&) = delete;

    // --- set-up (owner thread, no run going) ---

    // CloseFiles, ResetOptions, clears the run flags, expected total duration
    // -1, recreates the generic option store.
    void ResetEngine();
    // Frees the option store and all files; an output left with 0 bytes is
    // deleted. Returns 0, or the first error met while closing an output
    // (its data may not have reached the disk); failedName then receives that
    // output's name as the user gave it.
    int CloseFiles(std::string* failedName = nullptr);

    // Opens one input (max 20) with the current input settings, which it then
    // consumes. False with LastError() set on failure (nothing stays open).
    bool OpenInput(const QString& FileName);
    // Prepares one output (max 20) from the current output settings and opens
    // its destination (an existing file is overwritten). Returns the number of
    // outputs registered (>= 1), or -1 with LastError() set; a failed output
    // leaves nothing registered. Join: the output takes every input in turn.
    int AddOutput(const QString& FileName, bool Join);

    std::string LastError() const { return lastError_; }
    int InputCount() const;
    // The container context of opened input index (null when there is none), for
    // a probe to describe; it stays owned by the engine until CloseFiles.
    AVFormatContext* InputContext(int index) const;
    int OutputCount() const;
    // Expected total duration for progress: ExpectedTotalDuration (ms, -1 unknown).

    // --- the run ---

    // Nothing (nullptr) when running or after a run. Without thread the whole
    // run executes here and nullptr is returned; with a thread the created,
    // not yet started TConvertThread is returned. Missing inputs/outputs end
    // the run at once ("At least one ... file must be specified").
    TConvertThread* StartConvert(bool InThread, TConvertPriority Priority = tpNormal);
    // The run itself (the thread body): transcode, record an error, close the
    // files, then the end of run (flags, thread reference, OnTerminate).
    void RunTranscode();
    // Requests a stop (any thread). The loop ends after the current packet; a
    // stopped run gives no output its name, the old files stay as they were.
    // Wait: return only when the worker thread let go of the engine, after its
    // OnTerminate returned; called from the worker (or its OnTerminate) it does
    // not wait.
    void StopConvert(bool Wait);

    bool Running() const { return running_.load(); }
    bool Terminated() const { return terminated_.load(); }
    // The last run ended without a stop request (and without error).
    bool Finished() const { return finished_.load(); }
    bool ErrorOccurred() const { return error_.load(); }
    // Message of the error that ended the last run (valid after the run).
    std::string ErrorMessage() const;
    // The worker thread running the engine, null when none (any thread).
    TConvertThread* ConvertThread() const { return thread_.load(); }

    // Microseconds between progress reports (default 500000). Set before starting.
    int64_t ProgressInterval = 500000;
    // Called from the run's thread; set before starting.
    TEngineProgressEvent OnProgress;
    TEngineTerminateEvent OnTerminate;
    TEngineOutputCompleteEvent OnOutputComplete;

    // Audio-path bookkeeping of the last run, for diagnostics: how many
    // resamplers (rate/channel changes) and sample-format converters it made.
    int ResamplersCreated() const { return resamplersCreated_; }
    int ConvertersCreated() const { return convertersCreated_; }
    // Video frames the last run duplicated and dropped to keep the frame rate.
    int DupFrames() const { return dupFrames_; }
    int DropFrames() const { return dropFrames_; }
    // Entries of the frame-hook list ("vhook" options given so far).
    int FrameHookCount() const;

protected:
    // "newvideo" / "newaudio" / "newsubtitle" add a stream to the last output.
    void NewStreamOnLastOutput(int type) override;
    // "vhook": loads the hook library (FrameHooks.h) into this engine's list.
    bool AddFrameHook(const std::vector<std::string>& args) override;
    int OpenedInputCount() const override;
    std::vector<TFrameRate> InputVideoTimeBases() const override;
    // True when a handler wants the decoded pictures (a custom frame hook):
    // such a run cannot copy its video stream.
    virtual bool FramesHooked() const { return false; }

private:
    friend class TConvertThread;
    friend struct TTranscodeRun;

    void SetLastError(const std::string& text) { lastError_ = text; }
    void ClearFileNames();
    void NewAudioStream(TOutputFileSetup& out);
    void NewSubtitleStream(TOutputFileSetup& out);
    void NewVideoStream(TOutputFileSetup& out);
    void Transcode();
    void EndOfRun();
    void FreeFrameHooks();
    void JoinWorker();

    std::unique_ptr<TEngineFiles> files_; // owner thread; read by the run
    std::string lastError_;               // owner thread
    bool joined_ = false;                 // owner thread; read by the run

    std::atomic<bool> running_{false};
    std::atomic<bool> terminated_{false};
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> finished_{false};
    std::atomic<bool> error_{false};
    std::atomic<bool> bodyActive_{false};          // a run body still uses the object
    std::atomic<TConvertThread*> thread_{nullptr}; // the running worker, null when none
    std::atomic<std::thread::id> worker_{};        // the thread of the last threaded run
    std::unique_ptr<TConvertThread> ownedThread_;  // owner thread: the last worker made
    mutable std::mutex errorLock_;
    std::string errorMessage_; // guarded by errorLock_

    int resamplersCreated_ = 0; // run thread during a run
    int convertersCreated_ = 0; // run thread during a run
    int dupFrames_ = 0;         // run thread during a run
    int dropFrames_ = 0;        // run thread during a run
    // The frame-hook list: filled by "vhook" on the owner thread, called by
    // the run, released when the run ends or the engine is reset.
    TFrameHookEntry* frameHooks_ = nullptr;
};
