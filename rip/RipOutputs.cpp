#include "RipOutputs.h"

#include "RipPlan.h"

#include "FileNames.h"
#include "SafeOutput.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace rip {

QString ErrnoText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

// ---- the work folder --------------------------------------------------------------------

bool TWorkFolder::Create(const QByteArray& parent) {
    QByteArray pattern = parent + '/' + kWorkFolderPrefix + "XXXXXX";
    if (!::mkdtemp(pattern.data()))
        return false;
    Path_ = pattern;
    PendingFolder_ =
        std::make_unique<safeio::TPendingPath>(Path_.toStdString(), safeio::TPendingPath::kFolder);
    PendingLock_ = std::make_unique<safeio::TPendingPath>((Path_ + "/lock").toStdString(),
                                                          safeio::TPendingPath::kFile);
    LockFd_ = ::open((Path_ + "/lock").constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (LockFd_ < 0 || ::flock(LockFd_, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        Remove();
        errno = error;
        return false;
    }
    return true;
}

QString TWorkFolder::File(const QString& name) const {
    return FileNameFromBytes(Path_) + QLatin1Char('/') + name;
}

void TWorkFolder::Remove() {
    if (!Path_.isEmpty())
        RemoveTree(Path_);
    Path_.clear();
    if (LockFd_ >= 0)
        ::close(LockFd_);
    LockFd_ = -1;
    PendingLock_.reset();
    PendingFolder_.reset();
}

void TWorkFolder::RemoveTree(const QByteArray& folder) {
    if (DIR* dir = ::opendir(folder.constData())) {
        while (const dirent* entry = ::readdir(dir)) {
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                ::unlink((folder + '/' + entry->d_name).constData());
        }
        ::closedir(dir);
    }
    ::rmdir(folder.constData());
}

bool TWorkFolder::Abandoned(const QByteArray& folder) {
    struct stat st {};
    if (::lstat(folder.constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    const int fd = ::open((folder + "/lock").constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) // a rip between making the folder and its lock, or one of an older kind
        return errno == ENOENT && ::time(nullptr) - st.st_mtime > 60;
    const bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    ::close(fd);
    return free;
}

// ---- the track files' folders -----------------------------------------------------------

bool TOutputFolders::Make(const std::vector<QString>& files, QString& error) {
    for (const QString& file : files) {
        const QByteArray path = FileNameBytes(file);
        const QByteArray folder = path.left(path.lastIndexOf('/'));
        for (qsizetype at = 1; at <= folder.size(); ++at) {
            if (at < folder.size() && folder[at] != '/')
                continue;
            const QByteArray part = folder.left(at);
            if (::mkdir(part.constData(), 0777) == 0) {
                Created_.push_back(part);
                continue;
            }
            if (errno == EEXIST) {
                struct stat st {};
                const bool seen = ::stat(part.constData(), &st) == 0;
                if (seen && S_ISDIR(st.st_mode))
                    continue;
                if (seen)
                    errno = ENOTDIR;
            }
            error =
                QStringLiteral("Cannot create the folder of %1: %2").arg(file, ErrnoText(errno));
            return false;
        }
    }
    return true;
}

void TOutputFolders::RemoveEmpty() {
    for (auto it = Created_.rbegin(); it != Created_.rend(); ++it)
        ::rmdir(it->constData()); // only when empty
    Created_.clear();
}

// ---- the disc's files -------------------------------------------------------------------

QString CommonFolder(const std::vector<QString>& files) {
    QStringList common;
    bool first = true;
    for (const QString& file : files) {
        QStringList parts = file.split(QLatin1Char('/'));
        parts.removeLast();
        if (first) {
            common = parts;
            first = false;
            continue;
        }
        qsizetype n = 0;
        while (n < common.size() && n < parts.size() && common[n] == parts[n])
            ++n;
        common = common.mid(0, n);
    }
    return common.join(QLatin1Char('/'));
}

namespace {

bool WriteSafe(const QString& name, const QByteArray& data, QString& error) {
    safeio::TSafeOutput out;
    if (!out.Open(FileNameBytes(name).toStdString()) ||
        !out.Write(data.constData(), static_cast<size_t>(data.size())) || !out.Commit()) {
        error = QStringLiteral("Cannot write %1: %2").arg(name, ErrnoText(errno));
        return false;
    }
    return true;
}

} // namespace

TDiscFiles DiscFileNames(const TRipReport& report, const QString& outDirName) {
    std::vector<QString> files;
    for (const TTrackResult& t : report.Tracks)
        if (t.Selected)
            files.push_back(t.FileName);
    const QString folder = CommonFolder(files);
    const QString folderName =
        (folder.isEmpty() ? outDirName : outDirName + QLatin1Char('/') + folder) + QLatin1Char('/');
    // One disc of a release of several keeps its own cue sheet, playlist and log beside
    // the other discs' in a shared folder.
    const QString disc = report.Meta.DiscPrefix().isEmpty()
                             ? QString()
                             : QStringLiteral(" (disc %1)").arg(report.Meta.DiscNumber);
    const QString stem =
        ExpandTemplate(QStringLiteral("%A - %d"), NameFields(report, report.Tracks.front()),
                       disc + QStringLiteral(".m3u")) +
        disc;
    TDiscFiles names{folder, folderName + stem + QStringLiteral(".cue"),
                     folderName + stem + QStringLiteral(".m3u"),
                     folderName + QStringLiteral("rip%1.log").arg(disc), QString()};
    if (!report.Cover.isEmpty())
        names.Cover = folderName + (report.CoverMime == QLatin1String("image/png")
                                        ? QStringLiteral("cover.png")
                                        : QStringLiteral("cover.jpg"));
    return names;
}

bool WriteDiscFiles(TRipReport& report, const QString& outDirName, TRipObserver& observer) {
    const TDiscFiles names = DiscFileNames(report, outDirName);
    QString error;
    if (!WriteSafe(names.Log, RipLogText(report), error)) {
        observer.Error(error);
        return false;
    }
    report.LogFile = names.Log;
    if (report.Count(tsOk) == 0)
        return true; // nothing for a cue sheet or a playlist to point at
    if (!WriteSafe(names.Cue, CueSheet(report, names.Folder), error) ||
        !WriteSafe(names.Playlist, M3uPlaylist(report, names.Folder), error) ||
        (!names.Cover.isEmpty() && !WriteSafe(names.Cover, report.Cover, error))) {
        observer.Error(error);
        return false;
    }
    return true;
}

bool ReadSmallFile(const QString& name, QByteArray& bytes) {
    // Not blocking in open: a FIFO is refused below like any other file that is not regular.
    const int fd = ::open(FileNameBytes(name).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0;
    if (ok && (!S_ISREG(st.st_mode) || st.st_size > (1 << 24))) {
        errno = S_ISREG(st.st_mode) ? EFBIG : S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        ok = false;
    }
    if (ok) {
        bytes.resize(static_cast<qsizetype>(st.st_size));
        for (qsizetype at = 0; ok && at < bytes.size();) {
            const ssize_t n = ::read(fd, bytes.data() + at, static_cast<size_t>(bytes.size() - at));
            if (n < 0 && errno == EINTR)
                continue;
            ok = n > 0;
            at += n > 0 ? n : 0;
        }
    }
    const int error = errno;
    ::close(fd);
    errno = error;
    return ok;
}

} // namespace rip
