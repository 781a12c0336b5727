#include "UnitHelpers.h"
#include "FileNames.h"

#include "sbDialogs.h"

#include <QApplication>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QScreen>
#include <QStandardPaths>
#include <QThread>
#include <QRegularExpression>
#include <QUrl>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class UniqueFd {
public:
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

struct FreeCloser {
    void operator()(char* p) const { std::free(p); }
};

// The override cursor belongs to the GUI thread; elsewhere the walk runs without it.
class BusyCursor {
public:
    BusyCursor()
        : active_(qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr &&
                  QThread::currentThread() == QCoreApplication::instance()->thread()) {
        if (active_)
            QApplication::setOverrideCursor(Qt::WaitCursor);
    }
    BusyCursor(const BusyCursor&) = delete;
    BusyCursor& operator=(const BusyCursor&) = delete;
    ~BusyCursor() {
        if (active_)
            QApplication::restoreOverrideCursor();
    }

private:
    bool active_;
};

constexpr mode_t kOwnerAll = S_IRUSR | S_IWUSR | S_IXUSR;

std::vector<std::string> EntryNames(int dirFd) {
    // The names are collected first so that removing entries cannot disturb the listing.
    const int copy = ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (copy < 0)
        return {};
    std::unique_ptr<DIR, DirCloser> dir(::fdopendir(copy));
    if (!dir) {
        ::close(copy);
        return {};
    }
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir.get())) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.emplace_back(entry->d_name);
    }
    return names;
}

void ClearFolder(int dirFd, dev_t device);

// On POSIX a folder's own rights decide whether its entries may be listed and
// removed (a file's mode does not guard its removal), so only folders are made
// writable. The mode is changed through the open descriptor where possible, so
// that nothing a link points to is ever changed.
int OpenFolderForClearing(int parentFd, const char* name, mode_t mode) {
    constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::openat(parentFd, name, kFlags);
    if (fd < 0 && errno == EACCES) {
        ::fchmodat(parentFd, name, (mode & 07777) | kOwnerAll, AT_SYMLINK_NOFOLLOW);
        fd = ::openat(parentFd, name, kFlags);
    }
    if (fd >= 0 && (mode & kOwnerAll) != kOwnerAll)
        ::fchmod(fd, (mode & 07777) | kOwnerAll);
    return fd;
}

void RemoveSubFolder(int parentFd, const char* name, const struct stat& st) {
    {
        UniqueFd sub(OpenFolderForClearing(parentFd, name, st.st_mode));
        if (sub.get() >= 0)
            ClearFolder(sub.get(), st.st_dev);
    }
    ::unlinkat(parentFd, name, AT_REMOVEDIR);
}

void ClearFolder(int dirFd, dev_t device) {
    for (const std::string& name : EntryNames(dirFd)) {
        struct stat st {};
        if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            if (st.st_dev == device)
                RemoveSubFolder(dirFd, name.c_str(), st);
            else // a mount point leads to another file system, like a link: not entered
                ::unlinkat(dirFd, name.c_str(), AT_REMOVEDIR);
        } else {
            ::unlinkat(dirFd, name.c_str(), 0); // links are removed as links
        }
    }
}

// "/dev/sr0", "/dev/scd1", "/dev/cdrom", "/dev/cdrom2".
bool IsOpticalDeviceName(const QByteArray& source) {
    const auto numbered = [&source](const char* prefix, bool bareAllowed) {
        const QByteArray p(prefix);
        if (!source.startsWith(p))
            return false;
        const QByteArray rest = source.mid(p.size());
        if (rest.isEmpty())
            return bareAllowed;
        for (char c : rest)
            if (c < '0' || c > '9')
                return false;
        return true;
    };
    return numbered("/dev/sr", false) || numbered("/dev/scd", false) ||
           numbered("/dev/cdrom", true);
}

bool MountPointHolds(const QByteArray& mountPoint, const QByteArray& path) {
    if (mountPoint == "/")
        return path.startsWith('/');
    return path == mountPoint || (path.startsWith(mountPoint) && path[mountPoint.size()] == '/');
}

bool IsWithin(const QString& path, const QString& root) {
    const QString p = QDir::cleanPath(path);
    const QString r = QDir::cleanPath(root);
    return r == QLatin1String("/") || p == r || p.startsWith(r + QLatin1Char('/'));
}

QString WithTrailingSlash(QString path) {
    if (!path.endsWith(QLatin1Char('/')))
        path += QLatin1Char('/');
    return path;
}

// Keeps the choice inside the root folder: a folder typed or picked outside it
// sends the dialog back to the root instead of closing it.
class RootedFolderDialog final : public QFileDialog {
public:
    RootedFolderDialog(QWidget* owner, const QString& title, QString root)
        : QFileDialog(owner, title), root_(std::move(root)) {}

    void accept() override {
        const QStringList chosen = selectedFiles();
        if (!root_.isEmpty() && (chosen.isEmpty() || !IsWithin(chosen.first(), root_))) {
            setDirectory(root_);
            return;
        }
        QFileDialog::accept();
    }

private:
    QString root_;
};

class CentreOnShow final : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show)
            if (auto* widget = qobject_cast<QWidget*>(watched))
                CenterBrowseDialog(widget);
        return false;
    }
};

std::optional<QString> ShowFolderDialog(const QString& title, const QString& root,
                                        const QString& start) {
    auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
    if (!app)
        return std::nullopt;
    if (QThread::currentThread() != app->thread()) {
        std::optional<QString> result;
        QMetaObject::invokeMethod(
            app, [&] { result = ShowFolderDialog(title, root, start); },
            Qt::BlockingQueuedConnection);
        return result;
    }

    RootedFolderDialog dialog(QApplication::activeWindow(), title, root);
    // The toolkit's own dialog, not the desktop's: only a widget can be centred and
    // kept inside the root folder.
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    if (!root.isEmpty()) {
        dialog.setSidebarUrls({QUrl::fromLocalFile(root)});
        QObject::connect(&dialog, &QFileDialog::directoryEntered, &dialog,
                         [&dialog, root](const QString& entered) {
                             if (!IsWithin(entered, root))
                                 dialog.setDirectory(root);
                         });
    }
    if (!start.isEmpty() && (root.isEmpty() || IsWithin(start, root)))
        dialog.setDirectory(start);
    else if (!root.isEmpty())
        dialog.setDirectory(root);
    CentreOnShow centre;
    dialog.installEventFilter(&centre);
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    const QStringList chosen = dialog.selectedFiles();
    if (chosen.isEmpty())
        return std::nullopt;
    return chosen.first();
}

} // namespace

static bool IsOctal(char c) {
    return c >= '0' && c <= '7';
}

// mountinfo writes blanks, tabs, new lines and backslashes in paths as \ooo.
QByteArray UnescapeMountField(const QByteArray& field) {
    QByteArray out;
    out.reserve(field.size());
    for (qsizetype i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && IsOctal(field[i + 1]) &&
            IsOctal(field[i + 2]) && IsOctal(field[i + 3])) {
            const int value =
                ((field[i + 1] - '0') << 6) | ((field[i + 2] - '0') << 3) | (field[i + 3] - '0');
            out += static_cast<char>(value & 0xFF);
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

namespace helpers_detail {

std::optional<QByteArray> FolderTreeRoot(const QString& folder) {
    const QString trimmed = folder.trimmed();
    if (trimmed.isEmpty())
        return std::nullopt;
    QByteArray path = FileNameBytes(trimmed);
    while (path.size() > 1 && path.endsWith('/'))
        path.chop(1);
    return path;
}

} // namespace helpers_detail

QString ProgramFolder() {
    QString dir;
    if (QCoreApplication::instance())
        dir = QCoreApplication::applicationDirPath();
    else
        dir = QFileInfo(QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget()).absolutePath();
    return WithTrailingSlash(dir);
}

QString SpecialFolderPath(int folder) {
    if (folder != 0)
        return {};
    QString path = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    while (path.size() > 1 && path.endsWith(QLatin1Char('/')))
        path.chop(1);
    return path;
}

void DeleteFolderTree(const QString& folder, bool remove) {
    // An empty name must not become "/" once the separator is added.
    const std::optional<QByteArray> root = helpers_detail::FolderTreeRoot(folder);
    if (!root)
        return;
    const char* path = root->constData();
    struct stat st {};
    if (::lstat(path, &st) != 0)
        return;
    if (!S_ISDIR(st.st_mode)) {
        // A link standing where the folder is expected is removed as a link, its target
        // left alone.
        if (remove && S_ISLNK(st.st_mode))
            ::unlink(path);
        return;
    }

    BusyCursor busy;
    {
        UniqueFd fd(OpenFolderForClearing(AT_FDCWD, path, st.st_mode));
        if (fd.get() >= 0)
            ClearFolder(fd.get(), st.st_dev);
    }
    const bool removed = remove && ::rmdir(path) == 0;
    // A folder that stays keeps the rights it had.
    if (!removed && (st.st_mode & kOwnerAll) != kOwnerAll)
        ::fchmodat(AT_FDCWD, path, st.st_mode & 07777, AT_SYMLINK_NOFOLLOW);
}

bool FileInUse(const QString& file) {
    if (file.isEmpty())
        return false;
    const QByteArray name = FileNameBytes(file);
    constexpr int kFlags = O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    int fd = ::open(name.constData(), O_RDWR | kFlags);
    // A file we may not write can still carry a writer's lock: look with read access.
    if (fd < 0 && (errno == EACCES || errno == EPERM || errno == EROFS || errno == EISDIR))
        fd = ::open(name.constData(), O_RDONLY | kFlags);
    if (fd < 0) {
        // Opening never fails for sharing reasons here; only a busy executable or
        // device is "in use". Anything else (missing, no rights) cannot be waited for.
        return errno == ETXTBSY || errno == EBUSY;
    }
    UniqueFd owner(fd);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
        return errno == EWOULDBLOCK;
    return false; // closing the descriptor drops the test lock
}

bool IsCdRomMount(const QByteArray& mountInfo, const QByteArray& canonicalPath) {
    qsizetype bestLength = -1;
    bool bestIsCd = false;
    for (const QByteArray& line : mountInfo.split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        // id parent major:minor root mount-point options [optional...] - type source super
        if (fields.size() < 10)
            continue;
        qsizetype separator = -1;
        for (qsizetype i = 6; i < fields.size(); ++i) {
            if (fields[i] == "-") {
                separator = i;
                break;
            }
        }
        if (separator < 0 || separator + 2 >= fields.size())
            continue;
        const QByteArray mountPoint = UnescapeMountField(fields[4]);
        if (mountPoint.isEmpty() || !MountPointHolds(mountPoint, canonicalPath))
            continue;
        // Equal lengths: a later mount on the same point hides the earlier one.
        if (mountPoint.size() < bestLength)
            continue;
        const QByteArray type = fields[separator + 1];
        const QByteArray source = UnescapeMountField(fields[separator + 2]);
        const QByteArray major = fields[2].left(fields[2].indexOf(':'));
        bestLength = mountPoint.size();
        bestIsCd = type == "iso9660" || type == "udf" || IsOpticalDeviceName(source) ||
                   major == "11"; // block major 11: SCSI CD-ROM
    }
    return bestIsCd;
}

bool IsCdRomFolder(const QString& folder) {
    if (folder.trimmed().isEmpty())
        return false;
    QByteArray path = FileNameBytes(QDir::cleanPath(QFileInfo(folder).absoluteFilePath()));
    std::unique_ptr<char, FreeCloser> resolved;
    for (;;) {
        resolved.reset(::realpath(path.constData(), nullptr));
        if (resolved || path == "/")
            break;
        const qsizetype slash = path.lastIndexOf('/');
        path = slash <= 0 ? QByteArray("/") : path.left(slash);
    }
    if (!resolved)
        return false;
    QFile mounts(QStringLiteral("/proc/self/mountinfo"));
    if (!mounts.open(QIODevice::ReadOnly))
        return false;
    return IsCdRomMount(mounts.readAll(), QByteArray(resolved.get()));
}

bool BrowseForFolder(const QString& title, const QString& root, QString& folder) {
    QString start = folder;
    if (!start.isEmpty() && !QFileInfo(start).isDir())
        start.clear();
    if (!start.isEmpty())
        start = QFileInfo(start).absoluteFilePath();

    std::optional<QString> chosen;
    if (const sbdlg::FolderDialogHandler handler = sbdlg::FolderDialogOverride())
        chosen = handler(title, start);
    else
        chosen = ShowFolderDialog(title, root, start);
    if (!chosen || chosen->isEmpty())
        return false;
    folder = WithTrailingSlash(QDir::cleanPath(QFileInfo(*chosen).absoluteFilePath()));
    return true;
}

void CenterBrowseDialog(QWidget* dialog) {
    if (!dialog)
        return;
    QScreen* screen = dialog->screen();
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect area = screen->geometry();
    const QSize size = dialog->frameGeometry().size();
    // C++ division truncates towards zero, also for a dialog larger than the screen.
    dialog->move(area.x() + (area.width() - size.width()) / 2,
                 area.y() + (area.height() - size.height()) / 2);
}

QString ConversionFailureText(const QString& output, const std::string& engineMessage) {
    const std::string prefix = FileNameBytes(output).toStdString() + ": ";
    const std::string text =
        engineMessage.starts_with(prefix) ? engineMessage.substr(prefix.size()) : engineMessage;
    QString reason = QString::fromUtf8(text).trimmed();
    if (reason.isEmpty())
        reason = QStringLiteral("the conversion did not finish");
    return QStringLiteral("%1 could not be made: %2.").arg(QFileInfo(output).fileName(), reason);
}

namespace {
// ".Track12.mp3.Ab3dE9": the hidden name under which an output or a grabbed track is
// written until it is complete.
bool IsWorkFileName(const QString& name, bool wavOnly) {
    static const QRegularExpression any(
        QStringLiteral("^\\.Track[0-9]+\\.(wav|mp3|aac|m4a|wma|ogg)\\.[A-Za-z0-9]{6}$"));
    static const QRegularExpression wav(QStringLiteral("^\\.Track[0-9]+\\.wav\\.[A-Za-z0-9]{6}$"));
    return (wavOnly ? wav : any).match(name).hasMatch();
}

int RemoveFiles(const QDir& dir, const std::function<bool(const QString&)>& ours) {
    int removed = 0;
    for (const QFileInfo& entry :
         dir.entryInfoList(QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot))
        if (ours(entry.fileName()) && !entry.isSymLink() && QFile::remove(entry.filePath()))
            ++removed;
    return removed;
}
} // namespace

int LockRunFolder(const QString& folder) {
    const int fd = ::open(FileNameBytes(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0 && ::flock(fd, LOCK_SH | LOCK_NB) != 0) {
        // Another process cleans the folder this moment: wait for it.
        if (::flock(fd, LOCK_SH) != 0) {
            ::close(fd);
            return -1;
        }
    }
    return fd;
}

int RemoveRunLeftovers(const QString& folder) {
    const int fd = ::open(FileNameBytes(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    int removed = 0;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        const QDir dir(folder);
        removed +=
            RemoveFiles(dir, [](const QString& name) { return IsWorkFileName(name, false); });
        const QDir temp(dir.filePath(QStringLiteral("Temp")));
        if (!QFileInfo(temp.path()).isSymLink() && temp.exists()) {
            static const QRegularExpression work(QStringLiteral("^\\.tonvale-[A-Za-z0-9]{6}$"));
            for (const QFileInfo& entry :
                 temp.entryInfoList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot))
                if (!entry.isSymLink() && work.match(entry.fileName()).hasMatch()) {
                    DeleteFolderTree(entry.filePath(), true);
                    removed += QFileInfo::exists(entry.filePath()) ? 0 : 1;
                }
            const QString marker = temp.filePath(QString::fromLatin1(RunTempMarker));
            if (QFileInfo(marker).isFile() && !QFileInfo(marker).isSymLink()) {
                static const QRegularExpression track(QStringLiteral("^Track[0-9]+\\.wav$"));
                removed += RemoveFiles(temp, [](const QString& name) {
                    return IsWorkFileName(name, true) || track.match(name).hasMatch();
                });
                QFile::remove(marker);
                if (QDir().rmdir(temp.path()))
                    ++removed;
            }
        }
        ::flock(fd, LOCK_UN);
    }
    ::close(fd);
    return removed;
}

QString PrepareOutputFolder(const QString& folder) {
    const QByteArray path = FileNameBytes(QDir::cleanPath(QDir().absoluteFilePath(folder)));
    const auto reason = [](int error) { return QString::fromLocal8Bit(std::strerror(error)); };
    for (qsizetype i = 1; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != '/')
            continue;
        const QByteArray level = path.left(i);
        if (::mkdir(level.constData(), 0777) != 0 && errno != EEXIST)
            return reason(errno);
    }
    struct stat st {};
    if (::stat(path.constData(), &st) != 0)
        return reason(errno);
    if (!S_ISDIR(st.st_mode))
        return reason(ENOTDIR);
    if (::faccessat(AT_FDCWD, path.constData(), W_OK | X_OK, AT_EACCESS) != 0)
        return reason(errno);
    return {};
}

namespace {
QString Sentence(QString text) {
    text = text.trimmed();
    while (text.endsWith(QStringLiteral("\\n")))
        text.chop(2);
    while (text.endsWith(QLatin1Char('.')))
        text.chop(1);
    return text.trimmed();
}
} // namespace

QString PlainDriveText(const QString& raw, bool duringRun) {
    static const QRegularExpression failure(
        QStringLiteral("^\\w+\\(\\) failed, exception (\\d+)(?:, status -?\\d+, text \"(.*)\")?"),
        QRegularExpression::DotMatchesEverythingOption);
    const QRegularExpressionMatch m = failure.match(raw.trimmed());
    if (!m.hasMatch())
        return raw;
    const int code = m.captured(1).toInt();
    const QString text = Sentence(m.captured(2));
    switch (code) {
    case 4: // no medium
        return duringRun ? QStringLiteral("The disc was removed during the conversion: insert it "
                                          "again and press Convert.")
                         : QStringLiteral("The drive holds no disc: insert an audio CD.");
    case 5: // a sector could not be read
        return (text.isEmpty() ? QStringLiteral("The disc could not be read") : text) +
               QStringLiteral(". Clean the disc and try again.");
    case 6:
        return QStringLiteral("The conversion was stopped.");
    case 7: // a file
        return (text.isEmpty() ? QStringLiteral("A track's file could not be written") : text) +
               QStringLiteral(". Check the output folder, or choose another one with Browse...");
    case 15: // no rights: the text names the fix
        return text + QLatin1Char('.');
    default:
        return (text.isEmpty() ? QStringLiteral("The drive failed") : text) +
               QStringLiteral(". Insert the disc again and try again.");
    }
}

QString PlainLibraryText(const QString& raw) {
    static const QRegularExpression load(QStringLiteral("^Load library (.*) error: (.*)$"),
                                         QRegularExpression::DotMatchesEverythingOption);
    const QRegularExpressionMatch m = load.match(raw.trimmed());
    if (!m.hasMatch())
        return raw;
    const QString path = m.captured(1);
    QString reason = Sentence(m.captured(2));
    // The loader's reason starts with the path it tried.
    for (const QString& prefix :
         {path + QStringLiteral(": "), QFileInfo(path).fileName() + QStringLiteral(": ")})
        if (reason.startsWith(prefix))
            reason = reason.mid(prefix.size());
    return QStringLiteral("The media library %1 cannot be loaded: %2. Reinstall Tonvale.")
        .arg(QFileInfo(path).fileName(), reason);
}
