#include "DeviceMonitor.h"
#include "FileNames.h"

#include "Vantrell.h"

#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QSocketNotifier>
#include <QStringList>
#include <QTimer>

#include <libudev.h>
#include <linux/cdrom.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <set>
#include <vector>

namespace {

// A burst of folder changes (temporary names, renames) is looked at once, this long after
// its last change.
constexpr int SettleMs = 200;
// Messages taken from the uevent socket per wake-up, so that a flood cannot starve the
// window; the rest wakes the notifier again.
constexpr int MaxEventsPerWake = 64;

struct UdevUnref {
    void operator()(udev* p) const { udev_unref(p); }
    void operator()(udev_monitor* p) const { udev_monitor_unref(p); }
    void operator()(udev_device* p) const { udev_device_unref(p); }
    void operator()(udev_enumerate* p) const { udev_enumerate_unref(p); }
};
template <typename T> using UdevPtr = std::unique_ptr<T, UdevUnref>;

bool HasUdevDaemon() {
    return ::access("/run/udev/control", F_OK) == 0;
}

QHash<QString, QString> PropertiesOf(udev_device* device) {
    QHash<QString, QString> properties;
    for (udev_list_entry* e = udev_device_get_properties_list_entry(device); e;
         e = udev_list_entry_get_next(e))
        properties.insert(QString::fromUtf8(udev_list_entry_get_name(e)),
                          QString::fromUtf8(udev_list_entry_get_value(e)));
    return properties;
}

// "sr" followed by digits: the kernel's names of SCSI/ATAPI optical drives.
bool IsOpticalNodeName(const char* name) {
    if (std::strncmp(name, "sr", 2) != 0 || name[2] == '\0')
        return false;
    for (const char* c = name + 2; *c; ++c)
        if (*c < '0' || *c > '9')
            return false;
    return true;
}

std::set<std::string> OpticalNodes() {
    std::set<std::string> nodes;
    DIR* dev = ::opendir("/dev");
    if (!dev)
        return nodes;
    while (const dirent* entry = ::readdir(dev))
        if (IsOpticalNodeName(entry->d_name))
            nodes.insert(std::string("/dev/") + entry->d_name);
    ::closedir(dev);
    return nodes;
}

enum class TMedia { Unknown, Absent, Present };

// The drive's own answer; Unknown when it cannot be opened or is still spinning up, so
// that a drive in between says nothing.
TMedia DriveMedia(const std::string& node) {
    const int fd = ::open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return TMedia::Unknown;
    const int status = ::ioctl(fd, CDROM_DRIVE_STATUS, CDSL_CURRENT);
    ::close(fd);
    switch (status) {
    case CDS_DISC_OK:
        return TMedia::Present;
    case CDS_NO_DISC:
    case CDS_TRAY_OPEN:
        return TMedia::Absent;
    default:
        return TMedia::Unknown;
    }
}

// The library keys a virtual drive's tray by the path exactly as listed, so this does too.
// `openings` counts the tray's openings: a disc taken out and put back between two looks
// changed the medium all the same.
bool ImagePresent(const std::string& path, uint64_t* openings = nullptr) {
    struct stat st {};
    const bool trayOpen = Vantrell_IsVirtualTrayOpen(path.c_str(), openings) != 0;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && !trayOpen;
}

// The image's folder, or its nearest ancestor that exists; empty when there is none.
QString NearestExistingFolder(const std::string& path) {
    QString folder = QFileInfo(FileNameFromBytes(QByteArray::fromStdString(path))).absolutePath();
    for (;;) {
        const QFileInfo info(folder);
        if (info.isDir())
            return folder;
        const QString up = info.absolutePath();
        if (up == folder)
            return {};
        folder = up;
    }
}

} // namespace

struct TDeviceMonitor::TPrivate {
    struct TVirtualDrive {
        std::string path; // as listed: the library's key of the drive
        bool present = false;
        uint64_t openings = 0; // tray openings seen at the last look
    };

    bool running = false;
    quint64 epoch = 0; // bumped by Stop: changes queued before it are dropped
    TSource source = TSource::None;
    UdevPtr<udev> context;
    UdevPtr<udev_monitor> monitor;
    QSocketNotifier* notifier = nullptr;   // child of the monitor, while started
    QFileSystemWatcher* watcher = nullptr; // child of the monitor, while started
    QTimer poll;
    QTimer settle;
    // Medium present per real drive: udev source by sysfs path, kernel source by /dev node.
    // A drive not listed has none.
    std::map<std::string, bool> realMedia;
    std::vector<TVirtualDrive> virtualDrives;
    QStringList refusedWatches; // not asked again while wanted (Qt warns on each refusal)
};

TDeviceMonitor::TDeviceMonitor(QObject* parent) : QObject(parent), d(std::make_unique<TPrivate>()) {
    d->poll.setInterval(MediaPollMs);
    d->settle.setInterval(SettleMs);
    d->settle.setSingleShot(true);
    connect(&d->poll, &QTimer::timeout, this, &TDeviceMonitor::CheckDrives);
    connect(&d->settle, &QTimer::timeout, this, &TDeviceMonitor::CheckDrives);
}

TDeviceMonitor::~TDeviceMonitor() {
    Stop();
}

TDeviceMonitor::TSource TDeviceMonitor::Source() const {
    return d->source;
}

int TDeviceMonitor::ClassifyBlockEvent(const QString& action,
                                       const QHash<QString, QString>& properties) {
    if (properties.value(QStringLiteral("ID_CDROM")) != QLatin1String("1"))
        return 0;
    if (action == QLatin1String("remove"))
        return DBT_DEVICEREMOVECOMPLETE;
    // The eject button was pressed: the medium is still in; its leaving is a later change.
    if (properties.value(QStringLiteral("DISK_EJECT_REQUEST")) == QLatin1String("1"))
        return 0;
    const bool media = properties.value(QStringLiteral("ID_CDROM_MEDIA")) == QLatin1String("1");
    if (action == QLatin1String("add"))
        return media ? DBT_DEVICEARRIVAL : 0;
    if (action == QLatin1String("change"))
        return media ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE;
    return 0;
}

void TDeviceMonitor::Start() {
    if (d->running)
        return;
    d->running = true;

    std::set<std::string> seen;
    for (const QByteArray& path : qgetenv("TONVALE_VIRTUAL_DRIVES").split(':')) {
        std::string p = path.toStdString();
        if (!p.empty() && seen.insert(p).second) {
            TPrivate::TVirtualDrive drive{p, false, 0};
            drive.present = ImagePresent(p, &drive.openings);
            d->virtualDrives.push_back(drive);
        }
    }
    StartRealDrives();

    d->watcher = new QFileSystemWatcher(this);
    connect(d->watcher, &QFileSystemWatcher::directoryChanged, &d->settle,
            qOverload<>(&QTimer::start));
    UpdateWatches();
    if (!d->virtualDrives.empty() || d->source == TSource::Kernel)
        d->poll.start();
}

void TDeviceMonitor::StartRealDrives() {
    d->context.reset(udev_new());
    auto openMonitor = [this](const char* name) {
        if (!d->context)
            return false;
        UdevPtr<udev_monitor> monitor(udev_monitor_new_from_netlink(d->context.get(), name));
        if (!monitor ||
            udev_monitor_filter_add_match_subsystem_devtype(monitor.get(), "block", nullptr) < 0 ||
            udev_monitor_enable_receiving(monitor.get()) < 0 ||
            udev_monitor_get_fd(monitor.get()) < 0)
            return false;
        d->monitor = std::move(monitor);
        d->notifier =
            new QSocketNotifier(udev_monitor_get_fd(d->monitor.get()), QSocketNotifier::Read, this);
        connect(d->notifier, &QSocketNotifier::activated, this, &TDeviceMonitor::OnUdevReadable);
        return true;
    };

    if (HasUdevDaemon() && openMonitor("udev")) {
        d->source = TSource::Udev;
        UdevPtr<udev_enumerate> drives(udev_enumerate_new(d->context.get()));
        if (!drives || udev_enumerate_add_match_subsystem(drives.get(), "block") < 0 ||
            udev_enumerate_add_match_property(drives.get(), "ID_CDROM", "1") < 0 ||
            udev_enumerate_scan_devices(drives.get()) < 0)
            return;
        for (udev_list_entry* e = udev_enumerate_get_list_entry(drives.get()); e;
             e = udev_list_entry_get_next(e)) {
            UdevPtr<udev_device> drive(
                udev_device_new_from_syspath(d->context.get(), udev_list_entry_get_name(e)));
            if (!drive)
                continue;
            const char* media = udev_device_get_property_value(drive.get(), "ID_CDROM_MEDIA");
            d->realMedia[udev_list_entry_get_name(e)] = media && std::strcmp(media, "1") == 0;
        }
        return;
    }

    // No udev daemon (or its monitor was refused): the kernel's own events, where allowed,
    // only say "look again"; the /dev watch and the poll do the rest.
    d->source = TSource::Kernel;
    openMonitor("kernel");
    for (const std::string& node : OpticalNodes())
        if (const TMedia media = DriveMedia(node); media != TMedia::Unknown)
            d->realMedia[node] = media == TMedia::Present;
}

void TDeviceMonitor::Stop() {
    if (!d->running)
        return;
    d->running = false;
    ++d->epoch;
    d->poll.stop();
    d->settle.stop();
    delete d->notifier;
    d->notifier = nullptr;
    d->monitor.reset();
    d->context.reset();
    delete d->watcher;
    d->watcher = nullptr;
    d->realMedia.clear();
    d->virtualDrives.clear();
    d->refusedWatches.clear();
    d->source = TSource::None;
}

void TDeviceMonitor::OnUdevReadable() {
    for (int n = 0; n < MaxEventsPerWake && d->monitor; ++n) {
        UdevPtr<udev_device> device(udev_monitor_receive_device(d->monitor.get()));
        if (!device)
            return;
        const char* action = udev_device_get_action(device.get());
        const QString what = QString::fromUtf8(action ? action : "");
        const QHash<QString, QString> properties = PropertiesOf(device.get());
        if (d->source == TSource::Udev) {
            if (const int code = ClassifyBlockEvent(what, properties))
                SetRealMedia(udev_device_get_syspath(device.get()), code == DBT_DEVICEARRIVAL);
            continue;
        }
        QString name = properties.value(QStringLiteral("DEVNAME"));
        if (name.startsWith(QLatin1String("/dev/")))
            name = name.mid(5);
        if (!IsOpticalNodeName(name.toUtf8().constData()))
            continue;
        if (what == QLatin1String("remove")) {
            const std::string node = "/dev/" + name.toStdString();
            SetRealMedia(node, false);
            d->realMedia.erase(node);
        } else {
            d->settle.start();
        }
    }
}

void TDeviceMonitor::CheckDrives() {
    if (!d->running)
        return;
    UpdateWatches();
    for (TPrivate::TVirtualDrive& drive : d->virtualDrives) {
        uint64_t openings = 0;
        const bool present = ImagePresent(drive.path, &openings);
        // Opened and closed again since the last look: the disc went out and came back.
        const bool reopened = present && drive.present && openings != drive.openings;
        drive.openings = openings;
        if (reopened) {
            Report(DBT_DEVICEREMOVECOMPLETE);
            Report(DBT_DEVICEARRIVAL);
        } else if (present != drive.present) {
            drive.present = present;
            Report(present ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE);
        }
    }
    if (d->source != TSource::Kernel)
        return;
    const std::set<std::string> nodes = OpticalNodes();
    std::vector<std::string> gone;
    for (const auto& [node, present] : d->realMedia)
        if (!nodes.count(node))
            gone.push_back(node);
    for (const std::string& node : gone) {
        SetRealMedia(node, false);
        d->realMedia.erase(node);
    }
    for (const std::string& node : nodes)
        if (const TMedia media = DriveMedia(node); media != TMedia::Unknown)
            SetRealMedia(node, media == TMedia::Present);
}

// Watches follow the folders as they come and go: a missing image folder is watched
// through its nearest existing ancestor until it exists. A watch the system refuses is
// covered by the poll.
void TDeviceMonitor::UpdateWatches() {
    if (!d->watcher)
        return;
    QStringList wanted;
    for (const TPrivate::TVirtualDrive& drive : d->virtualDrives)
        if (const QString folder = NearestExistingFolder(drive.path); !folder.isEmpty())
            wanted << folder;
    if (d->source == TSource::Kernel && QFileInfo(QStringLiteral("/dev")).isDir())
        wanted << QStringLiteral("/dev");
    wanted.removeDuplicates();
    const QStringList watched = d->watcher->directories();
    for (const QString& folder : watched)
        if (!wanted.contains(folder))
            d->watcher->removePath(folder);
    d->refusedWatches.removeIf([&](const QString& folder) { return !wanted.contains(folder); });
    for (const QString& folder : wanted)
        if (!watched.contains(folder) && !d->refusedWatches.contains(folder) &&
            !d->watcher->addPath(folder))
            d->refusedWatches << folder;
}

void TDeviceMonitor::SetRealMedia(const std::string& key, bool present) {
    bool& known = d->realMedia[key];
    if (known == present)
        return;
    known = present;
    Report(present ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE);
}

// Queued even on the owner's thread: the handler may open a modal box or stop the monitor,
// neither of which may happen inside a walk over the drives.
void TDeviceMonitor::Report(int code) {
    QMetaObject::invokeMethod(
        this,
        [this, epoch = d->epoch, code] {
            if (d->running && d->epoch == epoch && OnDeviceChange)
                OnDeviceChange(code);
        },
        Qt::QueuedConnection);
}
