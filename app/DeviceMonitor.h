// The device monitor: turns Linux device events into the two device-change codes the main
// window's device-change handler takes (arrival 0x8000, removal complete 0x8004).
//
// The main window creates one monitor, sets OnDeviceChange and calls Start(). Sources:
//  - real optical drives, where a udev daemon runs (/run/udev/control exists): the udev
//    monitor of subsystem "block", events of drives with ID_CDROM=1 (ClassifyBlockEvent);
//  - real optical drives where none runs (containers): the kernel's uevents, a watch on /dev
//    for sr* nodes coming and going, and a poll of each /dev/sr* drive's media state every
//    MediaPollMs;
//  - virtual drives (the images listed in TONVALE_VIRTUAL_DRIVES, read once by Start): a watch
//    on each image's folder (or its nearest existing ancestor while the folder is missing)
//    and a poll every MediaPollMs. A virtual drive holds a medium while a regular file exists
//    at its path and its simulated tray is closed.
// A source the system refuses (no netlink permission, no inotify, no /dev/sr*, a drive that
// cannot be opened) is left out quietly: never an error box, never an exception.
//
// Codes: the state at Start is the baseline, nothing is reported for it. Afterwards each
// drive's medium going from absent to present is one arrival and from present to absent one
// removal complete (a drive that goes away takes its medium with it). A burst of changes to a
// folder (an image written under a temporary name and renamed over the old one) is looked at
// once, after it settles: a file that never was absent at a look is no change.
//
// Threads: create, Start, Stop and destroy the monitor on one thread (the main thread).
// Everything runs there, on socket notifiers, a file-system watcher and timers; no thread is
// started. OnDeviceChange is called on that thread through its event queue (never from inside
// Start or Stop); a change still queued when Stop runs is dropped.
#pragma once

#include <QHash>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <string>

class TDeviceMonitor : public QObject {
    Q_OBJECT

public:
    static constexpr int DBT_DEVICEARRIVAL = 0x8000;
    static constexpr int DBT_DEVICEREMOVECOMPLETE = 0x8004;
    static constexpr int MediaPollMs = 2000;

    explicit TDeviceMonitor(QObject* parent = nullptr);
    // Stops watching: frees every udev, inotify and socket resource.
    ~TDeviceMonitor() override;

    // Called on the owner's thread, one call per change, with one of the two codes.
    std::function<void(int code)> OnDeviceChange;

    // Reads TONVALE_VIRTUAL_DRIVES, takes the baseline and begins watching. A second call
    // while started does nothing.
    void Start();
    // Stops watching and frees the resources; Start may be called again (it reads the
    // variable and takes the baseline anew). Nothing when not started.
    void Stop();

    // Which source watches the real drives: None when not started, Udev with a udev daemon,
    // Kernel otherwise (kernel uevents where allowed, the /dev watch and the media poll).
    enum class TSource { None, Udev, Kernel };
    TSource Source() const;

    // What one udev event of subsystem "block" means: DBT_DEVICEARRIVAL, DBT_DEVICEREMOVECOMPLETE
    // or 0 (not an optical drive's, or no media change). `action` is the event's action
    // ("add", "change", "remove", ...), `properties` its properties (ID_CDROM, ID_CDROM_MEDIA,
    // DISK_EJECT_REQUEST, ...). Pure.
    static int ClassifyBlockEvent(const QString& action, const QHash<QString, QString>& properties);

private:
    struct TPrivate;
    std::unique_ptr<TPrivate> d; // owner's thread only

    void StartRealDrives();
    void OnUdevReadable();
    void CheckDrives();
    void UpdateWatches();
    void SetRealMedia(const std::string& key, bool present);
    void Report(int code);
};
