// What a rip checks before it reads a sector, so that it never writes where it must not:
//   - no name the rip chooses (a track file, the cue sheet, the playlist, rip.log, or a
//     folder on the way to them) is a symbolic link that leads outside the output folder;
//   - none is something other than a regular file (a FIFO would block the rip for ever,
//     a device would be written to);
//   - none is one of the files the disc is read from (an image's CUE or BIN), compared
//     by device and inode, links followed;
//   - the folder does not hold the rip of another disc (its rip.log names another disc id).
// And the leftovers of rips that were killed: work folders whose process is gone.
//
// Plain functions on the main thread, before the reader starts.
#pragma once

#include "RipDiscIds.h"

#include <QByteArray>
#include <QString>

#include <vector>

namespace rip {

// The files a drive's disc is read from: an image's CUE and BIN (or TOC) files; nothing for
// a real drive.
std::vector<QString> ImageFiles(const QString& drivePath);

// False with the reason when a name in names (absolute, below outDir) may not be written.
bool CheckOutputNames(const QByteArray& outDir, const std::vector<QString>& names,
                      const std::vector<QString>& imageFiles, QString& error);

// False with the reason when logFile exists and is not the log of a rip of this disc.
bool CheckEarlierRip(const QString& logFile, const TDiscIds& ids, QString& error);

// Removes the work folders in outDir that no running rip holds (their owner was killed).
void RemoveStaleWorkFolders(const QByteArray& outDir);

} // namespace rip
