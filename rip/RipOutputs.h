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

#include <QByteArray>
#include <QString>

#include <vector>

namespace rip {

// The hidden folder the grabbed WAV files wait in; removed with everything in it.
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

private:
    QByteArray Path_;
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

// Writes the cue sheet, the playlist and rip.log of report into the folder the track files
// share; each failure told to observer. Sets report.LogFile. False when one could not be written.
bool WriteDiscFiles(TRipReport& report, const QString& outDirName, TRipObserver& observer);

// A small file read whole (a dBAR file holds a few kilobytes); false with errno.
bool ReadSmallFile(const QString& name, QByteArray& bytes);

QString ErrnoText(int error);

} // namespace rip
