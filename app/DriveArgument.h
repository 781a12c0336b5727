// The drive named on tonvale's command line. A file manager that offers Tonvale for an
// inserted audio CD passes the disc as an address (cdda://sr1/), a path inside its own
// mount of the disc, or the mount point of a disc's data session; a user types a device
// (/dev/sr1, /dev/cdrom). A virtual drive is named by its image's CUE path.
//
// Pure apart from reading the file system; any thread.
#pragma once

#include <QByteArray>
#include <QString>

struct TDriveArgument {
    QString Device; // canonical path of the device or image; empty on failure
    QString Error;  // why the argument names no drive (a sentence without the program's name)
};

// Resolves `argument` to the device it names. Relative paths are taken against the
// working folder. `mountInfo` is the text of /proc/self/mountinfo (read when null).
TDriveArgument ResolveDriveArgument(const QString& argument, const QByteArray* mountInfo = nullptr);

// The same file either way (symbolic links resolved): a drive's device path or image
// path against a resolved argument.
bool SameDrive(const QString& drivePath, const QString& device);
