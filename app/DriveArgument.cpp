#include "DriveArgument.h"

#include "FileNames.h"
#include "UnitHelpers.h"

#include <QFile>
#include <QList>

#include <cstdlib>
#include <memory>

#include <sys/stat.h>

namespace {

struct FreeCloser {
    void operator()(char* p) const { std::free(p); }
};

// The path with every symbolic link resolved; empty when it does not exist.
QString Canonical(const QString& path) {
    const std::unique_ptr<char, FreeCloser> resolved(
        ::realpath(AbsoluteNameBytes(FileNameBytes(path)).constData(), nullptr));
    return resolved ? FileNameFromBytes(QByteArray(resolved.get())) : QString();
}

struct Mount {
    QByteArray point, type, source;
};

// The mount that holds `path` (the one with the longest mount point above it).
Mount MountOf(const QByteArray& mountInfo, const QByteArray& path) {
    Mount best;
    for (const QByteArray& line : mountInfo.split('\n')) {
        // id parent major:minor root mount-point options [optional...] - type source options
        const QList<QByteArray> fields = line.split(' ');
        const qsizetype dash = fields.indexOf("-");
        if (fields.size() < 5 || dash < 6 || dash + 2 >= fields.size())
            continue;
        const QByteArray point = UnescapeMountField(fields[4]);
        const bool above = point == "/" || path == point || path.startsWith(point + '/');
        if (above && point.size() >= best.point.size())
            best = {point, fields[dash + 1], UnescapeMountField(fields[dash + 2])};
    }
    return best;
}

// A device by its name under /dev ("sr1").
TDriveArgument DeviceNamed(const QString& name, const QString& argument) {
    if (name.isEmpty() || name.contains(QLatin1Char('/')) || name.startsWith(QLatin1Char('.')))
        return {{}, QStringLiteral("%1 names no drive").arg(argument)};
    const QString device = Canonical(QStringLiteral("/dev/") + name);
    if (device.isEmpty())
        return {{}, QStringLiteral("%1: there is no drive /dev/%2").arg(argument, name)};
    return {device, {}};
}

// The drive of gvfs's own mount of an audio CD: ".../gvfs/cdda:host=sr1/Track 1.wav".
QString GvfsCddaHost(const QString& path) {
    static const QString marker = QStringLiteral("/cdda:host=");
    const qsizetype at = path.indexOf(marker);
    if (at < 0)
        return {};
    const QString rest = path.mid(at + marker.size());
    return rest.left(rest.indexOf(QLatin1Char('/')));
}

} // namespace

TDriveArgument ResolveDriveArgument(const QString& argument, const QByteArray* mountInfo) {
    if (argument.isEmpty())
        return {{}, QStringLiteral("an empty name names no drive")};
    QString path = argument;
    const qsizetype schemeEnd = argument.indexOf(QStringLiteral("://"));
    if (schemeEnd > 0) {
        const QString scheme = argument.left(schemeEnd).toLower();
        const QString rest = argument.mid(schemeEnd + 3);
        const qsizetype slash = rest.indexOf(QLatin1Char('/'));
        const QString host = rest.left(slash < 0 ? rest.size() : slash);
        // Percent escapes stand for bytes: a file name need not be UTF-8.
        const auto decoded = [](const QString& text) {
            return FileNameFromBytes(QByteArray::fromPercentEncoding(FileNameBytes(text)));
        };
        if (scheme == QLatin1String("cdda")) {
            QString name = decoded(host);
            if (name.startsWith(QLatin1String("host=")))
                name = name.mid(5);
            return DeviceNamed(name, argument);
        }
        if (scheme != QLatin1String("file"))
            return {{},
                    QStringLiteral("%1 names no drive: give a device (/dev/sr0), a cdda:// or "
                                   "file:// address or the folder of a disc")
                        .arg(argument)};
        if (slash < 0 || (!host.isEmpty() && host != QLatin1String("localhost")))
            return {{}, QStringLiteral("%1 is not a file on this machine").arg(argument)};
        path = decoded(rest.mid(slash));
    }
    const QString gvfsHost = GvfsCddaHost(path);
    if (!gvfsHost.isEmpty())
        return DeviceNamed(gvfsHost, argument);

    const QString canonical = Canonical(path);
    struct stat info {};
    if (canonical.isEmpty() || ::stat(FileNameBytes(canonical).constData(), &info) != 0)
        return {{}, QStringLiteral("%1: no such drive, disc image or folder").arg(argument)};
    if (!S_ISDIR(info.st_mode))
        return {canonical, {}};
    // A folder: the disc mounted there (the data session of an enhanced CD).
    QByteArray text;
    if (mountInfo) {
        text = *mountInfo;
    } else {
        QFile mounts(QStringLiteral("/proc/self/mountinfo"));
        if (mounts.open(QIODevice::ReadOnly))
            text = mounts.readAll();
    }
    const Mount mount = MountOf(text, FileNameBytes(canonical));
    if (mount.type != "iso9660" && mount.type != "udf")
        return {{}, QStringLiteral("%1 is a folder, but not on a disc").arg(argument)};
    const QString device = Canonical(FileNameFromBytes(mount.source));
    if (device.isEmpty())
        return {{},
                QStringLiteral("%1: the disc's device %2 is not there")
                    .arg(argument, FileNameFromBytes(mount.source))};
    return {device, {}};
}

bool SameDrive(const QString& drivePath, const QString& device) {
    if (drivePath.isEmpty() || device.isEmpty())
        return false;
    if (drivePath == device)
        return true;
    const QString canonical = Canonical(drivePath);
    return !canonical.isEmpty() && canonical == device;
}
