// The rip's outputs besides the track files themselves: the folders the track files
// go to (made before the read, the empty ones removed again at the end), the hidden
// work folder the WAV files wait in for their conversion, and the files that describe
// the disc (cue sheet, playlist, rip.log) beside the tracks. Every file is written
// under a temporary name and renamed when complete.
//
// Threads: used on the rip's main thread; TWorkFolder::File also from the reader (it only
// reads the folder's name, which is set before the reader starts).
#pragma once

#include "Ripper.h"

#include "SafeOutput.h"

#include <QByteArray>
#include <QString>

#include <memory>
#include <vector>

namespace rip {

// The names of the hidden work folders: ".tonvale-rip-XXXXXX".
inline constexpr const char* kWorkFolderPrefix = ".tonvale-rip-";

// The hidden folder the grabbed WAV files wait in; removed with everything in it. While it
// lives, its owner holds a lock on the file "lock" in it: a folder whose lock nobody holds
// was left by a rip that was killed.
class TWorkFolder {
public:
    TWorkFolder() = default;
    ~TWorkFolder() { Remove(); }
    TWorkFolder(const TWorkFolder&) = delete;
    TWorkFolder& operator=(const TWorkFolder&) = delete;
    // Makes the folder in parent; false with errno.
    bool Create(const QByteArray& parent);
    QString File(const QString& name) const;
    void Remove();

    // True when folder (a work folder) belongs to no running rip.
    static bool Abandoned(const QByteArray& folder);
    // Removes the files in folder, then the folder.
    static void RemoveTree(const QByteArray& folder);

private:
    QByteArray Path_;
    int LockFd_ = -1;
    // Removed by a second stop signal: the lock file, then the (then empty) folder.
    std::unique_ptr<safeio::TPendingPath> PendingLock_, PendingFolder_;
};

// The folders of the track files, made where missing; Remove takes back those of them
// that are still empty.
class TOutputFolders {
public:
    ~TOutputFolders() = default;
    // Makes the folder of every file; false with the reason.
    bool Make(const std::vector<QString>& files, QString& error);
    void RemoveEmpty();

private:
    std::vector<QByteArray> Created_;
};

// The files that describe the disc, in the folder the track files share.
struct TDiscFiles {
    QString Folder; // relative to the output folder, "" for the output folder itself
    QString Cue, Playlist, Log;
    QString Cover; // the front cover's file, empty without a cover
};
TDiscFiles DiscFileNames(const TRipReport& report, const QString& outDirName);

// Writes rip.log of report, failed tracks included, and when a track was ripped the cue
// sheet, the playlist and the front cover. A failure is told to observer once, and what is left is
// not tried. Sets report.LogFile. False when a file could not be written.
bool WriteDiscFiles(TRipReport& report, const QString& outDirName, TRipObserver& observer);

// A small file read whole (a dBAR file holds a few kilobytes); false with errno.
bool ReadSmallFile(const QString& name, QByteArray& bytes);

QString ErrnoText(int error);

} // namespace rip
