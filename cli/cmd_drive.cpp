// tonvale-cli commands of the drive layer:
//   drives  the drives as discovery sees them
//   toc     the disc's tracks as the window lists them
//   grab    one track into a WAV file, with a progress bar on stderr
//
// Each command starts the drive library, runs one search through
// TsbDeviceFinder (the same one the window runs) and works on the chosen drive
// through a TsbBurner session. A drive that is a disc image which cannot be read
// is reported with the reason (the missing BIN file, the refused CUE line).
//
// grab stops on SIGINT, SIGTERM and SIGHUP (cli::StopRequested): the library
// abandons the copy, the target stays as it was, and the exit code is
// cli::StopExitCode().
#include "Cli.h"
#include "FileNames.h"

#include "sbBurner.h"
#include "sbDeviceFinder.h"
#include "sbUserInterface.h"
#include "sbGrab.h"
#include "sbLogger.h"
#include "sbTrackList.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonObject>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// Starts the library for one command and stops it again.
class LibraryScope {
public:
    LibraryScope() {
        bool ok = false;
        const QString check = VersionCheckText(Vantrell_GetVersion(), ok);
        if (!ok)
            cli::PrintError(check);
        sbdlg::SetReportHandler(
            [](sbdlg::TReportKind, const QString& text) { cli::PrintError(text); });
        StartVantrellLibrary();
    }
    ~LibraryScope() { StopVantrellLibrary(); }
    LibraryScope(const LibraryScope&) = delete;
    LibraryScope& operator=(const LibraryScope&) = delete;
};

QString AddressText(const TsbDeviceAddress& a) {
    return QStringLiteral("%1:%2:%3:%4").arg(a.PortID).arg(a.BusID).arg(a.TargetID).arg(a.LUN);
}

QString DeviceNameOf(const TsbDeviceItem& item) {
    if (!item.DeviceName.isEmpty())
        return item.DeviceName;
    return item.DriveLetter.isEmpty() ? QString() : QStringLiteral("dev:") + item.DriveLetter;
}

void Search(TsbDeviceFinder& finder) {
    finder.TransportType = ttAspi; // this platform belongs to neither family of the other one
    finder.InfoText = sbres::ScanningDevices;
    finder.Find(false);
}

// Prints the reason of every disc image that cannot be read; false when there is none.
bool PrintImageProblems(const TsbDeviceList& devices) {
    bool any = false;
    for (int i = 0; i < devices.Count(); ++i) {
        const QString problem = ImageProblem(devices.Items(i));
        if (!problem.isEmpty()) {
            cli::PrintError(problem);
            any = true;
        }
    }
    return any;
}

// The drive named by --drive (an index of `drives`), else the first drive holding
// an audio disc, as the window chooses it. Prints the failure and returns null.
const TsbDeviceItem* ChooseDrive(const TsbDeviceFinder& finder, const QString& driveArg,
                                 int& exitCode) {
    const TsbDeviceList& devices = finder.Devices;
    if (devices.Count() == 0) {
        cli::PrintError(QStringLiteral("No DVD-RW drive found."));
        exitCode = 1;
        return nullptr;
    }
    if (!driveArg.isEmpty()) {
        bool ok = false;
        const int index = driveArg.toInt(&ok);
        if (!ok || index < 0 || index >= devices.Count()) {
            exitCode = cli::UsageError(
                QStringLiteral("--drive must be a drive index from 0 to %1 (see 'tonvale-cli "
                               "drives')")
                    .arg(devices.Count() - 1));
            return nullptr;
        }
        const TsbDeviceItem& item = devices.Items(index);
        if (item.DiscType == DISC_TYPE_NO_MEDIA) {
            const QString problem = ImageProblem(item);
            cli::PrintError(problem.isEmpty() ? QStringLiteral("Drive %1 holds no disc.").arg(index)
                                              : problem);
            exitCode = 1;
            return nullptr;
        }
        return &item;
    }
    for (int i = 0; i < devices.Count(); ++i)
        if (devices.Items(i).DiscType == DISC_TYPE_CDR)
            return &devices.Items(i);
    if (!PrintImageProblems(devices))
        cli::PrintError(QStringLiteral("No audio CD found in any drive."));
    exitCode = 1;
    return nullptr;
}

// Points the session at the drive and opens it, as the window does.
void OpenChosen(TsbBurner& burner, const TsbDeviceItem& item) {
    burner.TransportType = item.TransportType;
    burner.Address = item.Address;
    burner.DeviceName = item.DeviceName;
    burner.DiscType = item.DiscType;
    burner.DeviceInformation = item.DeviceInformation;
    burner.OpenDevice();
}

// The drive a command works on: the library started, the drives searched, the
// chosen one (--drive N, else the first with an audio CD) opened.
struct ChosenDrive {
    LibraryScope library;
    TsbDeviceFinder finder;
    TsbBurner burner;
    // 0 when opened, else the exit code (the reason is printed).
    int Open(const QString& driveArg) {
        Search(finder);
        if (cli::StopRequested())
            return cli::StopExitCode();
        int exitCode = 0;
        const TsbDeviceItem* item = ChooseDrive(finder, driveArg, exitCode);
        if (!item)
            return exitCode;
        OpenChosen(burner, *item);
        return 0;
    }
};

int RunDrives(QStringList args) {
    const bool json = cli::TakeFlag(args, QStringLiteral("--json"));
    if (!args.isEmpty())
        return cli::UsageError(QStringLiteral("unexpected argument '%1'").arg(args[0]));
    try {
        LibraryScope library;
        TsbDeviceFinder finder;
        Search(finder);
        if (cli::StopRequested())
            return cli::StopExitCode();
        QJsonArray drives;
        for (int i = 0; i < finder.Devices.Count(); ++i) {
            const TsbDeviceItem& item = finder.Devices.Items(i);
            QJsonObject drive;
            drive[QStringLiteral("index")] = i;
            drive[QStringLiteral("address")] = AddressText(item.Address);
            drive[QStringLiteral("deviceName")] = DeviceNameOf(item);
            drive[QStringLiteral("path")] = item.DriveLetter;
            drive[QStringLiteral("vendor")] = item.Vendor;
            drive[QStringLiteral("product")] = item.Product;
            drive[QStringLiteral("revision")] = item.ProductRevisionLevel;
            drive[QStringLiteral("discType")] = DiscTypeName(item.DiscType);
            drive[QStringLiteral("label")] = item.DiscLabel;
            drive[QStringLiteral("tocEntries")] = item.Toc.EntryCount;
            const QString problem =
                item.OpenProblem.isEmpty() ? ImageProblem(item) : item.OpenProblem;
            if (!problem.isEmpty())
                drive[QStringLiteral("error")] = problem;
            drives.append(drive);
        }
        if (json) {
            cli::PrintJson(QJsonDocument(drives));
            return 0;
        }
        if (drives.isEmpty())
            std::printf("No drive found.\n");
        for (const QJsonValue& value : drives) {
            const QJsonObject d = value.toObject();
            std::printf("%d  %s  %s\n   %s %s %s\n   disc: %s  label: \"%s\"  TOC entries: %d\n",
                        d[QStringLiteral("index")].toInt(),
                        qPrintable(d[QStringLiteral("address")].toString()),
                        qPrintable(d[QStringLiteral("deviceName")].toString()),
                        qPrintable(d[QStringLiteral("vendor")].toString()),
                        qPrintable(d[QStringLiteral("product")].toString()),
                        qPrintable(d[QStringLiteral("revision")].toString()),
                        qPrintable(d[QStringLiteral("discType")].toString()),
                        qPrintable(d[QStringLiteral("label")].toString()),
                        d[QStringLiteral("tocEntries")].toInt());
            if (d.contains(QStringLiteral("error")))
                std::printf("   error: %s\n", qPrintable(d[QStringLiteral("error")].toString()));
        }
        return 0;
    } catch (const std::exception& error) {
        cli::PrintError(QString::fromUtf8(error.what()));
        return 1;
    }
}

int RunToc(QStringList args) {
    const bool json = cli::TakeFlag(args, QStringLiteral("--json"));
    bool ok = true;
    const QString driveArg = cli::TakeValue(args, QStringLiteral("--drive"), QString(), ok);
    if (!ok)
        return 2;
    if (!args.isEmpty())
        return cli::UsageError(QStringLiteral("unexpected argument '%1'").arg(args[0]));
    try {
        ChosenDrive drive;
        if (const int exitCode = drive.Open(driveArg))
            return exitCode;
        TsbBurner& burner = drive.burner;
        TsbTrackList tracks;
        TsbTrackListReader reader;
        reader.Read(&burner, &tracks, false);
        if (tracks.Count() == 0 && burner.LastExceptionCode != 0 &&
            burner.LastExceptionCode != VANTRELL_EXCEPTION_NO_TOC) {
            cli::PrintError(burner.LastMessage);
            return 1;
        }
        QJsonArray rows;
        for (int i = 0; i < tracks.Count(); ++i) {
            const TsbTrack& track = tracks.Items(i);
            const bool audio = track.TocEntry.AudioTrack != 0;
            QJsonObject row;
            row[QStringLiteral("number")] = i + 1;
            row[QStringLiteral("audio")] = audio;
            row[QStringLiteral("caption")] =
                audio ? QStringLiteral("Track%1").arg(i + 1) : QString();
            row[QStringLiteral("length")] =
                FormatTime(TimeFormatFor(track.TrackSizeInTime), track.TrackSizeInTime);
            row[QStringLiteral("size")] = SizeInMB(track.TrackSizeInBytes);
            row[QStringLiteral("startLba")] = track.TocEntry.StartLba;
            row[QStringLiteral("endLba")] = track.TocEntry.EndLba;
            rows.append(row);
        }
        if (json) {
            cli::PrintJson(QJsonDocument(rows));
            return 0;
        }
        std::printf("%-4s %-6s %-9s %-8s %-11s %9s %9s\n", "No.", "Audio", "Caption", "Length",
                    "Size", "Start", "End");
        for (const QJsonValue& value : rows) {
            const QJsonObject r = value.toObject();
            std::printf("%-4d %-6s %-9s %-8s %-11s %9d %9d\n", r[QStringLiteral("number")].toInt(),
                        r[QStringLiteral("audio")].toBool() ? "yes" : "no",
                        qPrintable(r[QStringLiteral("caption")].toString()),
                        qPrintable(r[QStringLiteral("length")].toString()),
                        qPrintable(r[QStringLiteral("size")].toString()),
                        r[QStringLiteral("startLba")].toInt(), r[QStringLiteral("endLba")].toInt());
        }
        return 0;
    } catch (const std::exception& error) {
        cli::PrintError(QString::fromUtf8(error.what()));
        return 1;
    }
}

// Calls onStop once when a stop signal arrives while the object lives. A stop
// must reach a grab that waits on a slow read, not only between progress steps.
class StopWatcher {
public:
    explicit StopWatcher(std::function<void()> onStop)
        : onStop_(std::move(onStop)), thread_([this] { Run(); }) {}
    ~StopWatcher() {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    StopWatcher(const StopWatcher&) = delete;
    StopWatcher& operator=(const StopWatcher&) = delete;

private:
    void Run() {
        std::unique_lock lock(mutex_);
        while (!wake_.wait_for(lock, std::chrono::milliseconds(20), [this] { return done_; }))
            if (cli::StopRequested()) {
                onStop_();
                return;
            }
    }
    std::function<void()> onStop_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false; // guarded by mutex_
    std::thread thread_;
};

int RunGrab(QStringList args) {
    bool ok = true;
    const QString driveArg = cli::TakeValue(args, QStringLiteral("--drive"), QString(), ok);
    if (!ok)
        return 2;
    if (args.size() != 2)
        return cli::UsageError(QStringLiteral("grab needs TRACK and FILE.wav"));
    const int trackNumber = args[0].toInt(&ok);
    if (!ok || trackNumber < 1 || trackNumber > 99)
        return cli::UsageError(QStringLiteral("TRACK must be a track number from 1 to 99"));
    if (args[1].isEmpty())
        return cli::UsageError(QStringLiteral("FILE.wav must be a file name, not an empty text"));
    const QByteArray fileBytes = AbsoluteNameBytes(FileNameBytes(args[1]));
    const QString fileName = FileNameFromBytes(fileBytes);
    try {
        ChosenDrive drive;
        if (const int exitCode = drive.Open(driveArg))
            return exitCode;
        TsbBurner& burner = drive.burner;
        burner.Lock();
        burner.CompressionLevel = CompressionLevelFor(0);

        TsbGrabAction action;
        TsbGrabTrack& track = action.Tracks.Add();
        track.TrackNumber = trackNumber;
        track.FileName = fileName;
        track.TrackType = ttData;
        TsbActionList actions;
        actions.Burner = &burner;
        actions.Add()->Action = &action;

        cli::ProgressBar bar("Track " + std::to_string(trackNumber));
        TsbCallBackEventer& events = CallBackEventer();
        events.OnProgress.Set([&bar](void*, int64_t percent) { bar.Update(percent, 100); });
        struct Unsubscribe {
            ~Unsubscribe() {
                CallBackEventer().GrabActive.store(false);
                CallBackEventer().OnProgress.Clear();
            }
        } unsubscribe;
        {
            StopWatcher watcher([&burner] {
                burner.CancelRequested.store(true);
                Vantrell_CdvdBurnerGrabber_CancelGrab(burner.DeviceObject);
            });
            action.Execute(actions.Items(0));
        }
        bar.Finish();
        if (!action.Success && cli::StopRequested()) {
            cli::PrintError(QStringLiteral("Stopped: %1 was left as it was.").arg(fileName));
            return cli::StopExitCode();
        }
        if (!action.Success) {
            // The library's own sentence says it all (file, reason); the uniform
            // failure line with codes goes to the drive-layer log.
            const QString text = QString::fromUtf8(burner.ExceptionText);
            cli::PrintError(text.isEmpty() ? burner.LastMessage : text);
            return 1;
        }
        return 0;
    } catch (const std::exception& error) {
        cli::PrintError(QString::fromUtf8(error.what()));
        return cli::StopRequested() ? cli::StopExitCode() : 1;
    }
}

} // namespace

TONVALE_CLI_COMMAND("drives", "drives [--json]", "list the CD/DVD drives and their discs",
                    RunDrives);
TONVALE_CLI_COMMAND("toc", "toc [--drive N] [--json]", "list the tracks of the disc", RunToc);
TONVALE_CLI_COMMAND("grab", "grab [--drive N] TRACK FILE.wav",
                    "copy one audio track into a WAV file", RunGrab);
