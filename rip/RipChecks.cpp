#include "RipChecks.h"

#include "RipOutputs.h"

#include "FileNames.h"
#include "SafeOutput.h"

#include <cdio/cdio.h>

#include <QFile>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace rip {
namespace {

struct TCdioCloser {
    void operator()(CdIo_t* cdio) const { cdio_destroy(cdio); }
};

QByteArray RealPath(const QByteArray& path) {
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.constData(), nullptr),
                                                     &std::free);
    return real ? QByteArray(real.get()) : QByteArray();
}

bool Below(const QByteArray& path, const QByteArray& folder) {
    return path == folder || path.startsWith(folder.endsWith('/') ? folder : folder + '/');
}

// Where a symbolic link at path leads, links followed; a dangling one's final name.
QByteArray LinkTarget(const QByteArray& path) {
    const QByteArray real = RealPath(path);
    if (!real.isEmpty())
        return real;
    const std::string resolved = safeio::ResolveLinks(path.toStdString());
    const QByteArray name = QByteArray::fromStdString(resolved);
    const int slash = static_cast<int>(name.lastIndexOf('/'));
    const QByteArray folder = slash > 0 ? RealPath(name.left(slash)) : QByteArray("/");
    return folder.isEmpty() ? name : folder + name.mid(slash);
}

QString Shown(const QByteArray& path) {
    return FileNameFromBytes(path);
}

// The checks of one name; the folders on its way from outDir are checked for links too.
bool CheckName(const QByteArray& outDir, const QByteArray& realOutDir, const QByteArray& name,
               const std::vector<struct stat>& image, QString& error) {
    for (qsizetype at = outDir.size() + 1; at <= name.size(); ++at) {
        if (at < name.size() && name[at] != '/')
            continue;
        const QByteArray part = name.left(at);
        struct stat st {};
        if (::lstat(part.constData(), &st) != 0)
            return true; // nothing there yet: nothing below it either
        if (S_ISLNK(st.st_mode) && !Below(LinkTarget(part), realOutDir)) {
            error = QStringLiteral("%1 is a symbolic link that leads outside the output folder: "
                                   "remove it or choose another folder")
                        .arg(Shown(part));
            return false;
        }
    }
    struct stat st {};
    if (::stat(name.constData(), &st) != 0)
        return true;
    if (!S_ISREG(st.st_mode)) {
        error = QStringLiteral("%1 exists and is not a regular file: remove it or choose another "
                               "folder")
                    .arg(Shown(name));
        return false;
    }
    for (const struct stat& file : image) {
        if (file.st_dev == st.st_dev && file.st_ino == st.st_ino) {
            error = QStringLiteral("%1 is a file of the disc image being ripped: choose another "
                                   "output folder")
                        .arg(Shown(name));
            return false;
        }
    }
    return true;
}

} // namespace

std::vector<QString> ImageFiles(const QString& drivePath) {
    std::vector<QString> files;
    const QByteArray path = FileNameBytes(drivePath);
    struct stat st {};
    if (::stat(path.constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return files; // a device
    files.push_back(drivePath);
    const std::unique_ptr<CdIo_t, TCdioCloser> cdio(cdio_open(path.constData(), DRIVER_UNKNOWN));
    if (!cdio)
        return files;
    for (const char* key : {"source", "cue", "toc"}) {
        if (const char* value = cdio_get_arg(cdio.get(), key); value && *value)
            files.push_back(FileNameFromBytes(value));
    }
    return files;
}

bool CheckOutputNames(const QByteArray& outDir, const std::vector<QString>& names,
                      const std::vector<QString>& imageFiles, QString& error) {
    const QByteArray realOutDir = RealPath(outDir);
    if (realOutDir.isEmpty())
        return true; // the folder is yet to be made: nothing in it can be in the way
    std::vector<struct stat> image;
    for (const QString& file : imageFiles) {
        struct stat st {};
        if (::stat(FileNameBytes(file).constData(), &st) == 0)
            image.push_back(st);
    }
    for (const QString& name : names) {
        if (!CheckName(outDir, realOutDir, FileNameBytes(name), image, error))
            return false;
    }
    return true;
}

bool CheckEarlierRip(const QString& logFile, const TDiscIds& ids, QString& error) {
    const QByteArray path = FileNameBytes(logFile);
    struct stat st {};
    if (::lstat(path.constData(), &st) != 0)
        return true;
    QByteArray text;
    if (S_ISREG(st.st_mode) && ReadSmallFile(logFile, text) &&
        text.contains("\n  MusicBrainz: " + ids.MusicBrainz.toLatin1() + '\n'))
        return true;
    error = QStringLiteral("%1 is the log of a rip of another disc: choose another folder, or "
                           "give --overwrite to replace that rip")
                .arg(logFile);
    return false;
}

void RemoveStaleWorkFolders(const QByteArray& outDir) {
    DIR* dir = ::opendir(outDir.constData());
    if (!dir)
        return;
    std::vector<QByteArray> stale;
    while (const dirent* entry = ::readdir(dir)) {
        if (std::strncmp(entry->d_name, kWorkFolderPrefix, std::strlen(kWorkFolderPrefix)) != 0)
            continue;
        const QByteArray folder = outDir + '/' + entry->d_name;
        if (TWorkFolder::Abandoned(folder))
            stale.push_back(folder);
    }
    ::closedir(dir);
    for (const QByteArray& folder : stale)
        TWorkFolder::RemoveTree(folder);
}

} // namespace rip
