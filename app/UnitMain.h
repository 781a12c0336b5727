// TfrmMain: the program's main window and the controller of a run.
//
// The window lists the audio tracks of the disc in the drive, lets the user
// pick a format, a preset and an output folder, and runs the checked tracks
// through the drive layer (a TRunGrabber copies them into WAV files) and, for
// compressed formats, through the conversion component FFConverter, one file
// at a time while the grabber copies the next track ahead.
//
//     TfrmMain --derives--> TsbMainForm (Burner, Actions, drive-layer log)
//              --owns-->    TFFmpegConverter FFConverter, TsbDeviceFinder,
//                           TDeviceMonitor, the drive workers (UnitFunction.h)
//
// Threads. Every handler runs on the main thread. A run's waits (WaitForReport)
// serve the main thread's events and otherwise sleep until a report wakes them:
// the grabber's end of each track and of its work, the component's end of a
// conversion, a worker's end; the window keeps painting meanwhile. Workers
// (grab, drive search, tray) and the component's threads never touch a widget:
// they hand their changes to the main thread (queued calls, or a blocking one
// for DiscMessage). Fields shared with them are atomics.
#pragma once

#include "DiscLookup.h"
#include "FFmpegConverter.h"
#include "sbDeviceFinder.h"
#include "sbMainForm.h"

#include <QPointer>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class TsbTrackList;

class QAction;
class QComboBox;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QProgressBar;
class QPushButton;
class QTableWidget;
class QToolBar;
class QToolButton;
class TAppWorker;
class TDeviceMonitor;

// One grabbed track of a run: its path without ".wav" and its disc track number.
struct TTrackBase {
    QString Path;
    int TrackNumber = 0;
};

class TfrmMain : public TsbMainForm {
    Q_OBJECT
public:
    TfrmMain();           // FormCreate
    ~TfrmMain() override; // FormDestroy

    // Components.
    QWidget* panInput;
    QTableWidget* lvInput;
    QPushButton* bbSelectAll;
    QPushButton* bbUnSelect;
    QPushButton* bbEjectDisc;
    QWidget* panBack;
    QLabel* labGetting;
    QFrame* Bevel1;
    QLabel* labOne;
    QLabel* labTwo;
    QLabel* labThree;
    QGroupBox* gbOutput;
    QComboBox* cbFormats;
    QComboBox* cbPresets;
    QLineEdit* edtOutPath;
    QPushButton* bbBrowse;
    QGroupBox* gbBurn;
    QProgressBar* pbProgress;
    QLabel* labShowMessage;
    QPushButton* bbConvert;
    QToolBar* tbMenu;
    QToolButton* tbContact;
    QMenu* pmContact;
    QAction* pmOurSite;
    QAction* pmEmail;
    QAction* pmNews;
    QAction* actEjectDrive;
    QAction* actSelectAll;
    QAction* actUnSelect;
    QAction* actBrowse;
    QAction* actConvert;
    TFFmpegConverter* FFConverter;

    // State (main thread unless marked).
    std::atomic<bool> ConversionFinished{false}; // set by the component's notifier thread
    std::atomic<bool> GrabFailed{false};         // set by the grab worker
    std::atomic<bool> GrabDone{true};            // the grab worker's end-of-work signal
    std::atomic<bool> StopRequested{false};      // the user stopped the run (read by the grabber)
    int DiscMessage = 0;                         // registered event type
    // Results of the last drive scan: written by the search worker, read on the
    // main thread while that worker waits for DiscMessage to be handled.
    bool DriveFound = false;
    // Why no drive can be used although one is there (the first drive's reason, such as
    // no rights to it); empty when there is simply none.
    QString NoDriveText;
    bool AllDrivesEmpty = true;
    bool AudioDiscFound = false;
    QString RefusedDrive; // the path of the first drive whose disc is not usable, or empty
    // The drive the eject button acts on (main thread): the drive whose disc is listed;
    // after that disc has left, still that drive (its tray is to be closed); when the
    // last search listed nothing, empty: the first drive.
    QString TrayDrive;
    std::unique_ptr<TsbDeviceFinder> DeviceFinder;
    TsbDeviceItem* ChosenDevice = nullptr; // owned by DeviceFinder->Devices
    QString OutputExt = QStringLiteral(".wav");
    QString OutputFolder;
    std::vector<TTrackBase> TrackBases;
    TAppWorker* Grabber = nullptr; // the latest run's grab worker (owned in workers_)

    // The eject button's tag: 0 opens the tray next, 1 closes it.
    int EjectTag() const;
    void SetEjectState(const QString& caption, int tag);

    // Handlers.
    void FormShow();
    bool FormCloseQuery();
    void FormClose();
    void actConvertExecute();
    void actSelectAllExecute();
    void actUnSelectExecute();
    void actSelectAllUpdate();
    void lvInputChange();
    void actBrowseExecute();
    void actEjectDriveExecute();
    void cbFormatsClick();
    void FFConverterProgress(int AIndex, int AFrameNumber, int AFPS, int ACurrentDuration,
                             float AQuality, float ABitRate, int64_t ACurrentSize,
                             int ATotalOutputDuration);
    void FFConverterTerminate(int AIndex, bool AFinished, bool AException,
                              const std::string& AMessage);
    void tbContactMouseDown(Qt::MouseButton button);
    // Pops the contact menu up below its button; from the keyboard with its first item
    // active.
    void ShowContactMenu(bool fromKeyboard);
    void pmOurSiteClick();
    void pmEmailClick();
    void pmNewsClick();
    // The device-change message: 0x8000 arrival, 0x8004 removal complete.
    void WMDeviceChange(int eventCode);

    // Operations.
    void SetWorkState(int state); // 0 working, 1 idle
    void ConvertGrabbedTracks();
    void GrabProgress(int64_t percent); // any thread
    void GrabTracks();                  // on the TRunGrabber worker
    void ScanDrives();                  // on the TFindCDRDevice worker
    void OpenChosenDevice();
    void ListTracks();
    // The listed disc's background lookup (what a run's files are tagged with).
    const TDiscLookup& DiscLookup() const { return discLookup_; }
    // Starts the background lookup of the listed disc (unless the configuration says no).
    void LookUpDisc(const TsbTrackList& tracks);
    bool PrepareLibraries(); // false: the window is closing
    void PrepareDriveLayer();
    void AskOpenFolder(); // any thread
    // Stops the run: the grabber after its track, the conversion at once; the run's
    // unfinished files are removed as it ends. Finished tracks stay.
    void StopRun();
    // A stop signal: stops a run without asking and closes the window after it.
    void StopAndClose();

    // Status line and bar; any thread (the change is made on the main thread).
    void ShowProgress(int percent);
    void ShowStatus(const QString& text);
    void SetEjectEnabled(bool enabled);
    // The window title: the designed caption when idle; during a run the run's place
    // ("Tonvale - Track 7 of 99": the 7th of the run's 99 tracks). Main thread.
    void ShowRunPlace(int place, int count);
    // Enables or disables a control for the program's own reasons (a run, a search):
    // a control that loses the focus by being disabled gets it back when it is enabled
    // again, unless the focus has been moved meanwhile. Main thread.
    void SetControlEnabled(QWidget* control, bool enabled);

    // Runs work on the main thread: at once there; from another thread it is
    // queued (Post) or queued and waited for (PostAndWait, the blocking call a
    // worker makes to have DiscMessage handled).
    void Post(std::function<void()> work);
    void PostAndWait(std::function<void()> work);
    // Wakes the main thread's waits so that they test their condition again;
    // any thread, after changing what the waits read.
    void Wake();

    // Starts a drive search now, or after the run when one is going.
    void StartDriveSearch();
    void StartTray(bool closeTray);
    // True from SetWorkState(0) to SetWorkState(1).
    bool Working() const { return working_; }
    // Drive workers still running (tests wait for them).
    int RunningWorkers() const;
    TDeviceMonitor* DeviceMonitor() const { return monitor_; }

    // The search worker's lock: one search and its evaluation at a time.
    std::mutex ScanLock;

    // ---- drive selection: the program's argument and a later start ---------------------
    // Searches the drives again (after the run when one is going), taking the drive at
    // `device` (a device or image path, as ResolveDriveArgument gives it) before the
    // others when it holds an audio disc; empty: the first drive with one. Main thread.
    void SelectDrive(const QString& device);
    QString SelectedDrive() const; // any thread

private:
    mutable std::mutex selectedLock_;
    QString selectedDrive_; // guarded by selectedLock_
    // ---- end of drive selection ----------------------------------------------------------

signals:
    // Every text the status line shows, in order (for tests and logs).
    void StatusShown(const QString& text);

protected:
    bool event(QEvent* e) override; // WndProc
    bool eventFilter(QObject* watched, QEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override; // Enter presses Convert
    void showEvent(QShowEvent* e) override;
    void closeEvent(QCloseEvent* e) override;

private:
    void CreateComponents();
    // A button that shows an action's caption (with its Alt key) and enabled state and
    // triggers it.
    void BindButton(QPushButton* button, QAction* action);
    void StartWorker(TAppWorker* worker);
    void ReapWorkers();
    void WaitForWorkers();
    // Serves events until `done` holds (tested on the main thread after each
    // round); sleeps while there are none. Only state whose change is followed
    // by Wake() may end it.
    void WaitForReport(const std::function<bool()>& done);
    void RemoveRunFiles();
    void SetStatusNow(const QString& text);
    Q_INVOKABLE void DrainMail();

    bool shown_ = false;
    bool working_ = false;
    bool closing_ = false;
    bool scanPending_ = false; // an arrival came during a run: search after it
    bool listing_ = false;
    bool closeAfterRun_ = false; // the run was stopped to close the window
    int runTask_ = -1;           // the conversion task running now
    // The listed disc's names, looked up in the background for the files' tags; the track
    // the running conversion makes (read on its thread when the file is finished).
    TDiscLookup discLookup_;
    std::atomic<int> taggedTrack_{0};
    std::atomic<meta::TTagKind> taggedKind_{meta::TTagKind::None};
    int runLock_ = -1;   // the run's lock on its output folder
    QString grabError_;  // the grabber's failure in full (its worker, then the main thread)
    QString runError_;   // what the dialog says about a failed run
    int tracksMade_ = 0; // tracks of the run that are complete in the output folder
    QString runFolder_;  // the folder of this run's WAV files (compressed formats)
    bool runFolderCreated_ = false; // that folder was made by the run
    QString tempCreated_;           // "Temp/" when the run made it
    QString caption_;               // the designed window caption
    QPointer<QWidget> parkedFocus_; // a control disabled while it had the focus
    QPointer<QWidget> parkedAt_;    // where the focus went then
    std::vector<std::unique_ptr<TAppWorker>> workers_;
    std::mutex mailLock_;
    std::vector<std::function<void()>> mail_; // guarded by mailLock_
    TDeviceMonitor* monitor_ = nullptr;
};

// SIGTERM, SIGINT and SIGHUP stop the window's run and close it, as closing it and
// answering Yes would (without asking). Call on the main thread; the window may go
// away later (the signals then do nothing). Null restores the default actions.
void InstallStopSignals(TfrmMain* window);
