// The conversion component: the application's one door to the media engine.
//
// The application (the main window, tonvale-cli, the tests) owns one
// TFFmpegConverter and uses it in a fixed pattern:
//     if (!c.IsLoaded()) c.LoadAVLib(folder);          // once
//     c.ClearTasks();
//     int i = c.AddTask(wav, &in);                      // -1: c.LastErrMsg()
//     c.SetOutputFile(i, mp3, &out);                    // false: c.LastErrMsg()
//     c.StartConvert(1);                                // then wait for OnTerminate(-1)
// Each task (TFFmpeg) is one transcoding engine (TCustomFFmpeg) with its own
// copy of the settings and its own probe; the task list (TFFmpegList) owns the
// tasks, the component owns the list and one probe for the application.
//
//     TFFmpegConverter --owns--> TFFmpegList --owns--> TFFmpeg (engine) --owns--> TAVProbe
//                      --owns--> TAVProbe (AVProbe())
//     engine run: TConvertThread --DoProgress/DoTerminate--> component
//                 --TDoTerminateThread--> OnTerminate
//
// Threads. Every operation is called on the main thread while no run is going,
// except StartConvert, which starts one. Which thread runs each event:
//   event               threaded run (n > 0)         unthreaded (n <= 0)   component lock
//   OnProgress          the task's TConvertThread    caller of StartConvert  held
//   OnTerminate (task)  a new TDoTerminateThread     caller of StartConvert  held when direct
//   OnTerminate (-1)    a new TDoTerminateThread     caller of StartConvert  held when direct
//   OnPreviewBitmap     main thread (task waits)     main thread             not held
//   OnBeforeHook/Custom the task's TConvertThread    caller of StartConvert  not held
// OnProgress and OnTerminate are not moved to the main thread: a handler that
// touches widgets hands the work over itself (never by a blocking call while
// the main thread may wait for the run). In a threaded run a task's terminate
// event and the -1 event that follows it may run at the same time. The event
// handlers (the On... members) are assigned while no run is going.
//
// Run bookkeeping (next task, remaining, finished, threaded) is guarded by the
// component lock, a recursive mutex: in an unthreaded run DoTerminate enters it
// again inside StartTask; in a threaded run the next task is started from the
// thread of the task that just ended, while it holds the lock. Lock order:
// component lock, then the list lock; the main thread never blocks on the
// component lock without serving its event queue (workers may be waiting for
// the main thread while they hold it).
//
// Ending. A run ends with OnTerminate(-1). Every task that is started either
// reports its own end or, when its engine refuses to start (it already ran),
// is counted as ended without an event; so every run that starts at least one
// task ends with exactly one -1 event. ClearTasks during a threaded run stops
// the running tasks (their events carry AFinished false), starts nothing more
// and then sends -1. Destroying the component during a run stops and waits for
// the tasks and sends no events at all.
//
// Not here: the preview window and frame-hook libraries. The hook and preview
// events, the display flags and HookRanges are kept on the tasks for an engine
// with a video path; the audio engine never calls them.
#pragma once

#include "AVProbe.h"
#include "FFmpeg/FFmpeg.h"

#include "Bitmap.h"
#include <QObject>
#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// What a before-hook handler tells the engine to do with a frame.
enum THookAction : int { haContinue, haIgnore, haStop };

// A colour as 0x00BBGGRR (red in the low byte).
using TColor = uint32_t;

// Input settings of one task; InitInputOptions gives the defaults below.
struct TInputOptions {
    QString FileName;         // empty: AddTask's file name
    std::string FileFormat;   // forced container format, empty = detect
    int32_t StartTime = -1;   // milliseconds, used when > 0
    int64_t StartTimeUS = -1; // microseconds, used when > 0 (wins over StartTime)
    int32_t ProgramID = -1;   // ignored when < 0
    std::string ExtOptions;   // "name=value" lines (ApplyExtOptions)
    int32_t Reserved1 = 0;    // not read
    int32_t Reserved2 = 0;
};

// Output metadata.
struct TStreamInfo {
    // Local date-time, days since 1899-12-30 with the time of day as fraction:
    // 0 = now, > 0 = that time, < 0 = not set.
    double Timestamp = -1.0;
    int32_t Year = -1;                                           // when > 0
    int32_t Track = -1;                                          // when > 0
    std::string Title, Author, Copyright, Comment, Album, Genre; // when not empty
};

// Output settings of one task, in the order SetOutputFile applies them. Numeric
// fields left at -1 (or the stated condition not met) leave the engine's setting
// alone; Booleans and PadColor are always applied; texts when not empty.
struct TOutputOptions {
    QString FileName;        // empty: SetOutputFile's file name
    std::string FileExt;     // stored with the task only
    std::string FileFormat;  // forced container format
    int32_t PacketSize = -1; // "packetsize" when > 0
    int32_t MuxRate = -1;    // "muxrate" when > 0
    float MuxDelay = -1.0f;  // seconds, when > 0
    float MuxPreload = -1.0f;
    std::string AudioCodec;
    std::string AudioPreset; // "apre"
    bool DisableAudio = false;
    int32_t AudioVolume = -1; // when >= 0
    int32_t AudioChannels = -1;
    int32_t AudioSampleRate = -1;
    int32_t AudioBitrate = -1;          // bit/s, "ab" when > 0
    int32_t AudioBitrateTolerance = -1; // "abt" when > 0
    std::string AudioLanguage;
    int32_t AudioSyncMethod = 0;
    std::string AudioTag;
    std::string VideoCodec;
    std::string VideoPreset; // "vpre"
    bool DisableVideo = false;
    std::string FrameRate;
    std::string FrameSize;
    std::string FrameAspectRatio;
    int32_t CropTop = -1, CropBottom = -1, CropLeft = -1, CropRight = -1;
    int32_t PadTop = -1, PadBottom = -1, PadLeft = -1, PadRight = -1;
    TColor PadColor = 0;
    int32_t GOPSize = -1;               // "gop" when > 0
    int32_t VideoBitrate = -1;          // "vb" when > 0
    int32_t VideoMaxRate = -1;          // "maxrate" when > 0
    int32_t VideoMinRate = -1;          // "minrate" when > 0
    int32_t VideoBitrateTolerance = -1; // "bt" when > 0
    int32_t VideoBufSize = -1;          // "bufsize" when > 0
    int32_t VideoSyncMethod = -1;
    std::string VideoTag;
    std::string VideoFilters;
    std::string SubtitleCodec;
    std::string SubtitlePreset; // "spre"
    bool DisableSubtitle = false;
    std::string SubtitleLanguage;
    bool CopyTimestamps = false;
    int32_t StartTime = -1;       // milliseconds, when > 0
    int64_t StartTimeUS = -1;     // microseconds, when > 0 (wins)
    int32_t RecordingTime = -1;   // milliseconds, when > 0
    int64_t RecordingTimeUS = -1; // microseconds, when > 0 (wins)
    TStreamInfo Info;
    int32_t TargetType = 0;   // 0 none, 1 "vcd", 2 "svcd", 3 "dvd"
    int32_t NormType = 0;     // 0 "auto", 1 "pal", 2 "ntsc", else "auto"
    int32_t FallbackNorm = 1; // 1 "pal", else "ntsc"
    bool CustomHook = false;
    bool BeforeHook = false;
    std::string HookRanges; // "start-end, ..." in milliseconds
    bool Join = false;      // join this output to the previous one
    std::string ExtOptions; // "name=value" lines (ApplyExtOptions)
    int32_t Reserved1 = 0;  // not read
    int32_t Reserved2 = 0;
};

void InitInputOptions(TInputOptions& Options);
void InitOutputOptions(TOutputOptions& Options);

// The three kinds of free-form option lines, by name (case-sensitive):
// "newvideo", "newaudio", "newsubtitle" are new streams; "apre", "vpre",
// "spre" presets; everything else general.
enum TExtOptionKind : int { eokGeneral, eokPresets, eokNewStreams };
TExtOptionKind ExtOptionKindOf(const std::string& Name);
// The lines of an ExtOptions text as (name, value): the text is trimmed
// (characters <= ' ' at both ends), line breaks are normalised, each line is
// split at its first "=" (none: empty value). Names and values are not trimmed.
std::vector<std::pair<std::string, std::string>> SplitExtOptions(const std::string& Text);

// A hook time range in microseconds.
struct THookRange {
    int64_t Start = 0;
    int64_t End = 0;
    bool operator==(const THookRange&) const = default;
};
// "1000-2000, 5000-4000" (milliseconds) to ranges in text order; a pair is kept
// when End >= Start and End >= 0; a part that is no integer counts as -1.
std::vector<THookRange> ParseHookRanges(const std::string& Text);

// Unix seconds of a local date-time (days since 1899-12-30) with the standard
// time-zone bias in minutes (UTC = local + bias), no daylight saving,
// rounded half to even.
int64_t DateTimeToUnixSeconds(double ADateTime, int ABiasMinutes);
// The system's standard (not daylight-saving) bias in minutes.
int StandardTimeZoneBias();
// The current local date-time as days since 1899-12-30.
double LocalDateTimeNow();

// Events. AIndex is the task's index in the list; -1 in OnTerminate marks the
// end of the whole run. In-out arguments are references the engine reads back.
using TProgressEvent =
    std::function<void(int AIndex, int AFrameNumber, int AFPS, int ACurrentDuration, float AQuality,
                       float ABitRate, int64_t ACurrentSize, int ATotalOutputDuration)>;
using TTerminateEvent =
    std::function<void(int AIndex, bool AFinished, bool AException, const std::string& AMessage)>;
using TBeforeHookEvent = std::function<void(int AIndex, int64_t APTS, THookAction& AHookAction)>;
// A task's finished output under its temporary name, before it takes its own name (see
// TEngineOutputCompleteEvent); called on the task's conversion thread, not held.
using TOutputCompleteEvent =
    std::function<bool(int AIndex, const std::string& APath, std::string& AError)>;
using TCustomHookEvent = std::function<void(int AIndex, TBitmap& ABitmap, int AFrameNumber,
                                            int64_t APTS, bool& AUpdate, bool& AStopHook)>;
using TPreviewBitmapEvent =
    std::function<void(int AIndex, const TBitmap& ABitmap, int AFrameNumber, int64_t APTS)>;

// The handlers an engine with a video path calls on its task (the component
// installs its DoBeforeHook, DoCustomHook and DoPreviewBitmap here).
using TEnginePreviewBitmapEvent = std::function<void(TCustomFFmpeg* Sender, const TBitmap& ABitmap,
                                                     int AFrameNumber, int64_t APTS)>;
using TEngineBeforeHookEvent =
    std::function<void(TCustomFFmpeg* Sender, int64_t APTS, THookAction& AHookAction)>;
using TEngineCustomHookEvent =
    std::function<void(TCustomFFmpeg* Sender, TBitmap& ABitmap, int AFrameNumber, int64_t APTS,
                       bool& AUpdate, bool& AStopHook)>;

// Display flag bits of a task.
inline constexpr int DisplayFlagPreview = 1;       // bit 0
inline constexpr int DisplayFlagPreviewBitmap = 2; // bit 1
// The one process-wide lock held while display flags are written.
extern std::mutex DisplayFlagsLock;

// One task: an engine with its settings, its index and its probe. Created and
// prepared by the component on the main thread; run once.
class TFFmpeg : public TCustomFFmpeg {
public:
    TFFmpeg();
    // Stops a run still going and waits until the component is done with
    // its end, then (in the engine's destructor) until the worker let go.
    ~TFFmpeg() override;

    // Index in the task list (-1 until added); set by TFFmpegList::Add.
    int TaskIndex() const { return TaskIndex_.load(); }

    const TInputOptions& InputOptions() const { return InputOptions_; }
    const TOutputOptions& OutputOptions() const { return OutputOptions_; }
    void SetInputOptions(const TInputOptions& Options) { InputOptions_ = Options; }
    void SetOutputOptions(const TOutputOptions& Options) { OutputOptions_ = Options; }
    void ResetInputOptions() { InitInputOptions(InputOptions_); }
    void ResetOutputOptions() { InitOutputOptions(OutputOptions_); }

    // Applies the lines of Text whose name is of Kind, in text order, through
    // SetOption; skips the others. Raises what SetOption raises.
    void ApplyExtOptions(const std::string& Text, TExtOptionKind Kind);

    // The task's probe, attached to the task's opened input from AddTask until
    // the end of its run (then closed: the input is gone), freed with the task.
    TAVProbe& Probe() { return *Probe_; }

    // Display flags (bit 0 preview, bit 1 preview bitmap), written under
    // DisplayFlagsLock; other bits are kept.
    int DisplayFlags() const;
    void SetDisplayFlag(int Mask, bool On);

    // Frame hooks of an engine with a video path (owner thread before the run).
    TEnginePreviewBitmapEvent OnPreviewBitmap;
    TEngineBeforeHookEvent OnBeforeHook;
    TEngineCustomHookEvent OnCustomHook;
    // Kept sorted by start.
    void SetHookTimeRanges(std::vector<THookRange> Ranges);
    const std::vector<THookRange>& HookTimeRanges() const { return HookTimeRanges_; }

protected:
    // One option line of ApplyExtOptions; SetOption by default.
    virtual void ApplyExtOption(const std::string& Name, const std::string& Value);
    bool FramesHooked() const override { return static_cast<bool>(OnCustomHook); }

private:
    friend class TFFmpegList;
    friend class TCustomFFmpegConverter;

    std::atomic<int> TaskIndex_{-1};
    TInputOptions InputOptions_;   // owner thread
    TOutputOptions OutputOptions_; // owner thread
    std::unique_ptr<TAVProbe> Probe_;
    int DisplayFlags_ = 0; // guarded by DisplayFlagsLock
    std::vector<THookRange> HookTimeRanges_;
    // Set when the engine reported the end of its run to the component; read
    // by the thread that started it once StartConvert returned without a thread.
    std::atomic<bool> EndReported_{false};
    // From the start of a run until the component's terminate handling has
    // let go of the task (and of the component); the destructor waits for it.
    std::atomic<bool> RunPending_{false};
};

// The task list: owns its tasks; items are fetched under the list lock so that
// a finishing worker can fetch the next task while the main thread reads.
class TFFmpegList {
public:
    TFFmpegList() = default;
    ~TFFmpegList();
    TFFmpegList(const TFFmpegList&) = delete;
    TFFmpegList& operator=(const TFFmpegList&) = delete;

    // Throws std::out_of_range for an index not in the list.
    TFFmpeg* Items(int Index) const;
    // The cached count, read without the lock.
    int Count() const { return Count_.load(); }
    // Takes ownership, stores the index in the task, returns it.
    int Add(std::unique_ptr<TFFmpeg> Task);
    // Frees every task in index order (each engine stops a run still going
    // and waits for it) and empties the list. The tasks are taken out under
    // the lock and freed outside it; Count drops to 0 once they are freed.
    void Clear();
    void SetPreview(bool On);
    void SetPreviewBitmap(bool On);

private:
    void SetDisplayFlag(int Mask, bool On);

    mutable std::mutex ListLock;
    std::vector<std::unique_ptr<TFFmpeg>> Items_; // guarded by ListLock
    std::atomic<int> Count_{0};
};

// Calls an OnTerminate handler on a thread of its own. Created with the values
// ("suspended"), started by Resume; the object frees itself when its body
// ends. The handler runs without any component lock.
class TDoTerminateThread {
public:
    TDoTerminateThread(TTerminateEvent Handler, int AIndex, bool AFinished, bool AException,
                       std::string AMessage);
    ~TDoTerminateThread();
    TDoTerminateThread(const TDoTerminateThread&) = delete;
    TDoTerminateThread& operator=(const TDoTerminateThread&) = delete;
    // Starts the thread; the caller must not touch the object afterwards.
    void Resume();

    // Number of notifier threads not yet ended (process-wide).
    static int LiveCount();
    // Waits until every notifier thread has ended, serving the main thread's
    // events when called there. False on timeout.
    static bool WaitForAll(int TimeoutMs);

private:
    void Body();

    TTerminateEvent Handler_;
    int AIndex_;
    bool AFinished_;
    bool AException_;
    std::string AMessage_;
};

// Waits on a thread of its own until an engine's worker-thread reference is
// cleared.
// Created suspended; Resume starts it; the starter waits with WaitFor and frees
// it (the destructor waits too).
class TWaitThread {
public:
    explicit TWaitThread(const TCustomFFmpeg* Engine) : Engine_(Engine) {}
    ~TWaitThread();
    TWaitThread(const TWaitThread&) = delete;
    TWaitThread& operator=(const TWaitThread&) = delete;
    void Resume();
    bool Done() const { return Done_.load(); }
    // Returns once the body ended; serves the main thread's events meanwhile
    // when called there.
    void WaitFor();

private:
    const TCustomFFmpeg* Engine_;
    std::thread Thread_;
    std::atomic<bool> Done_{false};
};

class TCustomFFmpegConverter : public QObject {
    Q_OBJECT
public:
    explicit TCustomFFmpegConverter(QObject* parent = nullptr);
    // Winds down a run still going (no further task starts, no events), frees
    // the tasks (each stops and waits for its run), then the probe, then the lock.
    ~TCustomFFmpegConverter() override;

    // The libraries of DefaultLibraries are loaded.
    bool IsLoaded() const;
    // Sets the loader's folder and loads DefaultLibraries; false with the
    // loader's text in LastErrMsg.
    bool LoadAVLib(const QString& Folder);
    const std::string& LastErrMsg() const { return LastErrMsg_; }
    TAVProbe& AVProbe() { return *AVProbe_; }
    TFFmpegList& Tasks() { return *Tasks_; }

    // Frees every task; during a threaded run the run is wound down first (see
    // the top of this file). Clears LastErrMsg and the threaded flag. Refused
    // (nothing happens) from inside a handler of an unthreaded run, whose task
    // is still on the caller's stack.
    void ClearTasks();
    // Creates a task for FileName with Options (or defaults) and opens its
    // input. The task index, or -1 with LastErrMsg set (the task is freed).
    int AddTask(const QString& FileName, const TInputOptions* Options = nullptr);
    // Sets the output of a task. False with LastErrMsg set (the task stays in
    // the list). Throws std::out_of_range for an index not in the list.
    bool SetOutputFile(int TaskIndex, const QString& FileName,
                       const TOutputOptions* Options = nullptr);
    // Runs every task: ThreadCount > 0 starts at most that many on worker
    // threads and returns; the rest start one by one as tasks end. ThreadCount
    // <= 0 runs them all on the calling thread and returns after the -1 event.
    // Ignored while a run is going.
    void StartConvert(int ThreadCount);

    // True from a StartConvert that started tasks until its -1 event.
    bool Running() const;

    static const char* Version() { return "2.5"; }
    int ProgressInterval() const { return ProgressInterval_.load(); }
    void SetProgressInterval(int Milliseconds); // values <= 100 are stored as 100
    TConvertPriority ThreadPriority() const { return ThreadPriority_.load(); }
    void SetThreadPriority(TConvertPriority Priority) { ThreadPriority_ = Priority; }
    bool Preview() const { return Preview_.load(); }
    void SetPreview(bool On);
    bool PreviewBitmap() const { return PreviewBitmap_.load(); }
    void SetPreviewBitmap(bool On);
    int Verbosity() const { return Verbosity_; }
    void SetVerbosity(int Verbosity) { Verbosity_ = Verbosity; }

    std::string About; // stored only

    // Assigned while no run is going.
    TBeforeHookEvent OnBeforeHook;
    TCustomHookEvent OnCustomHook;
    TPreviewBitmapEvent OnPreviewBitmap;
    TProgressEvent OnProgress;
    TTerminateEvent OnTerminate;
    TOutputCompleteEvent OnOutputComplete;

protected:
    // Installed on every task's engine; Sender is the task.
    virtual void DoBeforeHook(TCustomFFmpeg* Sender, int64_t APTS, THookAction& AHookAction);
    virtual void DoCustomHook(TCustomFFmpeg* Sender, TBitmap& ABitmap, int AFrameNumber,
                              int64_t APTS, bool& AUpdate, bool& AStopHook);
    virtual void DoPreviewBitmap(TCustomFFmpeg* Sender, const TBitmap& ABitmap, int AFrameNumber,
                                 int64_t APTS);
    virtual void DoProgress(TCustomFFmpeg* Sender, int AFrameNumber, int AFPS, int ACurrentDuration,
                            float AQuality, float ABitRate, int64_t ACurrentSize,
                            int ATotalOutputDuration);
    // Sender null: only the end of the run is reported.
    virtual void DoTerminate(TCustomFFmpeg* Sender);
    // Makes a new task object (a seam for tests).
    virtual std::unique_ptr<TFFmpeg> CreateTask();
    // Stops a run still going for good: no further task starts, no events,
    // the tasks are freed once their runs let go. The most derived class
    // calls it first thing in its destructor, so that no worker calls a Do...
    // operation while the object's type is being taken apart; the base
    // destructor calls it again (then it finds nothing to do).
    void WindDown();

private:
    void StartNext();
    void StartTask(int Index);
    void AllDone();
    // Under the component lock: one more task ended; start the next or end the run.
    void TaskEnded();
    void Deliver(int AIndex, bool AFinished, bool AException, const std::string& AMessage);
    // The component lock held for one scope; leaving it wakes the threads
    // waiting for it (the main thread waits serving its events).
    class TComponentGuard {
    public:
        explicit TComponentGuard(std::recursive_mutex& Lock) : Lock_(&Lock) {}
        ~TComponentGuard();
        TComponentGuard(TComponentGuard&& Other) noexcept
            : Lock_(std::exchange(Other.Lock_, nullptr)) {}
        TComponentGuard(const TComponentGuard&) = delete;
        TComponentGuard& operator=(const TComponentGuard&) = delete;
        TComponentGuard& operator=(TComponentGuard&&) = delete;

    private:
        std::recursive_mutex* Lock_;
    };
    // Enters the component lock; from the main thread without blocking its
    // event queue.
    TComponentGuard LockServingEvents() const;
    // Asks every running task to stop and waits until their runs let go.
    void StopRunningTasks();

    // Declared first: destroyed after the tasks and the probe.
    mutable std::recursive_mutex ComponentLock;
    std::unique_ptr<TAVProbe> AVProbe_;
    std::unique_ptr<TFFmpegList> Tasks_;

    std::string LastErrMsg_; // main thread
    int NextTask_ = -1;      // guarded by ComponentLock
    int Remaining_ = 0;      // guarded by ComponentLock
    int Finished_ = 0;       // guarded by ComponentLock
    bool Threaded_ = false;  // guarded by ComponentLock
    bool RunActive_ = false; // guarded by ComponentLock
    bool Closing_ = false;   // guarded by ComponentLock; set by the destructor
    std::atomic<int> ProgressInterval_{500};
    std::atomic<TConvertPriority> ThreadPriority_{tpNormal};
    std::atomic<bool> Preview_{false};
    std::atomic<bool> PreviewBitmap_{false};
    int Verbosity_ = 1; // main thread

    // The last preview-bitmap event handed to the main thread.
    std::mutex PendingPreviewLock;
    int PendingPreviewIndex_ = -1;  // guarded by PendingPreviewLock
    TBitmap PendingPreviewBitmap_;  // guarded by PendingPreviewLock
    int PendingPreviewFrame_ = 0;   // guarded by PendingPreviewLock
    int64_t PendingPreviewPTS_ = 0; // guarded by PendingPreviewLock
};

// The published face of the component.
class TFFmpegConverter : public TCustomFFmpegConverter {
    Q_OBJECT
    Q_PROPERTY(QString About READ AboutText WRITE SetAbout)
    Q_PROPERTY(QString Version READ VersionText)
    Q_PROPERTY(bool Preview READ Preview WRITE SetPreview)
    Q_PROPERTY(bool PreviewBitmap READ PreviewBitmap WRITE SetPreviewBitmap)
    Q_PROPERTY(int ProgressInterval READ ProgressInterval WRITE SetProgressInterval)
    Q_PROPERTY(int ThreadPriority READ ThreadPriorityValue WRITE SetThreadPriorityValue)
public:
    explicit TFFmpegConverter(QObject* parent = nullptr) : TCustomFFmpegConverter(parent) {}
    ~TFFmpegConverter() override { WindDown(); }

    QString AboutText() const { return QString::fromStdString(About); }
    void SetAbout(const QString& Text) { About = Text.toStdString(); }
    QString VersionText() const { return QString::fromLatin1(Version()); }
    int ThreadPriorityValue() const { return ThreadPriority(); }
    void SetThreadPriorityValue(int Priority);
};
