// The application's file and shell helpers and its text input dialog: deleting
// a folder tree, the in-use test of a file being written, the optical-disc test
// on mount tables, the folder dialog behind the dialog seam and its centring.
#include "AppTestUtil.h"
#include "UnitHelpers.h"
#include "UnitInputText.h"
#include "sbDialogs.h"

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <future>
#include <optional>
#include <ostream>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace {

void WriteFile(const QString& path, const QByteArray& data = "RIFF") {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    ASSERT_EQ(file.write(data), data.size());
}

constexpr QFile::Permissions kReadOnlyFile = QFile::ReadOwner | QFile::ReadUser;
constexpr QFile::Permissions kReadOnlyFolder =
    QFile::ReadOwner | QFile::ExeOwner | QFile::ReadUser | QFile::ExeUser;

// ---- DeleteFolderTree ------------------------------------------------------------------

// A run's "Temp" folder: a read-only WAV file, a hidden sub-folder with a file, a
// read-only and an unreadable sub-folder with a file each, and links to a folder and
// a read-only file outside.
class DeleteFolderTreeTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        ASSERT_TRUE(QDir(dir_.path()).mkpath(QStringLiteral("outside")));
        WriteFile(Outside() + QStringLiteral("/keep.wav"), "outside");
        WriteFile(Outside() + QStringLiteral("/keep-ro.wav"), "read-only");
        ASSERT_TRUE(
            QFile::setPermissions(Outside() + QStringLiteral("/keep-ro.wav"), kReadOnlyFile));
        MakeTree(Temp());
    }
    void TearDown() override {
        // Let QTemporaryDir clean up whatever a failing case left read-only.
        QDirIterator it(dir_.path(), QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext())
            QFile::setPermissions(it.next(), kReadOnlyFolder | QFile::WriteOwner);
    }

    void MakeTree(const QString& folder) const {
        ASSERT_TRUE(QDir(folder).mkpath(QStringLiteral(".hidden")));
        ASSERT_TRUE(QDir(folder).mkpath(QStringLiteral("locked")));
        WriteFile(folder + QStringLiteral("/Track1.wav"));
        ASSERT_TRUE(QFile::setPermissions(folder + QStringLiteral("/Track1.wav"), kReadOnlyFile));
        WriteFile(folder + QStringLiteral("/.hidden/note.txt"));
        WriteFile(folder + QStringLiteral("/locked/Track2.wav"));
        ASSERT_TRUE(QFile::setPermissions(folder + QStringLiteral("/locked"), kReadOnlyFolder));
        ASSERT_TRUE(QDir(folder).mkpath(QStringLiteral("sealed")));
        WriteFile(folder + QStringLiteral("/sealed/Track3.wav"));
        ASSERT_TRUE(QFile::setPermissions(folder + QStringLiteral("/sealed"), {}));
        ASSERT_TRUE(QFile::link(Outside(), folder + QStringLiteral("/folder-link")));
        ASSERT_TRUE(QFile::link(Outside() + QStringLiteral("/keep-ro.wav"),
                                folder + QStringLiteral("/file-link")));
    }

    QString Temp() const { return dir_.filePath(QStringLiteral("Temp")); }
    QString Outside() const { return dir_.filePath(QStringLiteral("outside")); }

    void ExpectOutsideUntouched() const {
        QFile keep(Outside() + QStringLiteral("/keep.wav"));
        ASSERT_TRUE(keep.open(QIODevice::ReadOnly));
        EXPECT_EQ(keep.readAll(), QByteArray("outside"));
        const QFileInfo readOnly(Outside() + QStringLiteral("/keep-ro.wav"));
        EXPECT_TRUE(readOnly.exists());
        EXPECT_FALSE(readOnly.permission(QFile::WriteOwner)) << "the link's target was chmod-ed";
    }

    static QStringList Entries(const QString& folder) {
        return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                                      QDir::NoDotAndDotDot);
    }

    QTemporaryDir dir_;
};

TEST_F(DeleteFolderTreeTest, EmptiesTheTreeAndRemovesTheFolderOnlyWhenAsked) {
    for (const bool remove : {false, true}) {
        SCOPED_TRACE(remove ? "remove" : "keep");
        const QString folder =
            dir_.filePath(remove ? QStringLiteral("Gone") : QStringLiteral("Kept"));
        MakeTree(folder);
        DeleteFolderTree(folder, remove);
        EXPECT_EQ(QFileInfo::exists(folder), !remove);
        if (!remove) {
            EXPECT_EQ(Entries(folder), QStringList());
        }
        ExpectOutsideUntouched();
        EXPECT_EQ(Entries(Outside()).size(), 2);
    }
}

TEST_F(DeleteFolderTreeTest, NameWithBlanksAndTrailingSlashIsTheSameFolder) {
    DeleteFolderTree(QStringLiteral("  ") + Temp() + QStringLiteral("/  "), true);
    EXPECT_FALSE(QFileInfo::exists(Temp()));
    ExpectOutsideUntouched();
}

TEST_F(DeleteFolderTreeTest, AMissingFolderChangesNothing) {
    const QStringList before = QDir(dir_.path()).entryList(QDir::AllEntries | QDir::Hidden);
    DeleteFolderTree(dir_.filePath(QStringLiteral("missing")), true);
    DeleteFolderTree(dir_.filePath(QStringLiteral("missing/deeper")), false);
    EXPECT_EQ(QDir(dir_.path()).entryList(QDir::AllEntries | QDir::Hidden), before);
    EXPECT_TRUE(QFileInfo::exists(Temp() + QStringLiteral("/Track1.wav")));
}

TEST_F(DeleteFolderTreeTest, ALinkInPlaceOfTheFolderIsNeverFollowed) {
    const QString link = dir_.filePath(QStringLiteral("Temp-link"));
    ASSERT_TRUE(QFile::link(Outside(), link));
    DeleteFolderTree(link, false);
    ExpectOutsideUntouched();
    EXPECT_TRUE(QFileInfo(link).isSymLink());
    DeleteFolderTree(link, true);
    ExpectOutsideUntouched();
    EXPECT_FALSE(QFileInfo(link).isSymLink()) << "the link itself is removed";
}

TEST_F(DeleteFolderTreeTest, AReadOnlyFolderIsEmptiedAndKeepsItsRights) {
    const QString locked = Temp() + QStringLiteral("/locked");
    DeleteFolderTree(locked, false);
    EXPECT_FALSE(QFileInfo::exists(locked + QStringLiteral("/Track2.wav")));
    ASSERT_TRUE(QFileInfo::exists(locked));
    EXPECT_EQ(QFileInfo(locked).permissions() &
                  (QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner),
              QFile::ReadOwner | QFile::ExeOwner);
}

TEST(DeleteFolderTreeRoot, BlankNamesNameNoFolderAndTrailingSlashesGo) {
    struct Case {
        const char* folder;
        std::optional<QByteArray> root;
    };
    const Case cases[] = {
        {"", std::nullopt},         {"   ", std::nullopt},        {"\t\n", std::nullopt},
        {"/", QByteArray("/")},     {"//", QByteArray("/")},      {" /a/b/ ", QByteArray("/a/b")},
        {"/a//", QByteArray("/a")}, {"Temp", QByteArray("Temp")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.folder);
        EXPECT_EQ(helpers_detail::FolderTreeRoot(QString::fromUtf8(c.folder)), c.root);
    }
}

// ---- FileInUse -------------------------------------------------------------------------

// Holds an exclusive flock on a file from another thread, as the WAV writer does.
class LockHolder {
public:
    explicit LockHolder(const QString& path) {
        std::promise<bool> locked;
        std::future<bool> lockedFuture = locked.get_future();
        thread_ = std::thread([this, path, locked = std::move(locked)]() mutable {
            const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
            locked.set_value(fd >= 0 && ::flock(fd, LOCK_EX) == 0);
            release_.get_future().wait();
            if (fd >= 0)
                ::close(fd);
        });
        ok_ = lockedFuture.get();
    }
    ~LockHolder() {
        release_.set_value();
        thread_.join();
    }
    bool ok() const { return ok_; }

private:
    std::promise<void> release_;
    std::thread thread_;
    bool ok_ = false;
};

TEST(FileInUse, TrueOnlyWhileAWriterHoldsItsLock) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString wav = dir.filePath(QStringLiteral("Track1.wav"));
    EXPECT_FALSE(FileInUse(wav)) << "missing";
    EXPECT_FALSE(FileInUse(QString()));

    WriteFile(wav);
    {
        LockHolder writer(wav);
        ASSERT_TRUE(writer.ok());
        EXPECT_TRUE(FileInUse(wav)) << "being written";
    }
    EXPECT_FALSE(FileInUse(wav)) << "closed";

    // A file we may not write is not "in use" for that reason (a wait on it would never
    // end), but a lock on it still counts.
    ASSERT_TRUE(QFile::setPermissions(wav, kReadOnlyFile));
    EXPECT_FALSE(FileInUse(wav)) << "read-only, closed";
    {
        LockHolder writer(wav);
        ASSERT_TRUE(writer.ok());
        EXPECT_TRUE(FileInUse(wav)) << "read-only, locked";
    }
}

// ---- IsCdRomMount ----------------------------------------------------------------------

TEST(IsCdRomMount, TheLongestMountPointDecides) {
    const QByteArray table =
        "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
        "30 22 11:0 / /media/user/AUDIO\\040CD ro,nosuid shared:2 master:7 - iso9660 /dev/sr0 ro\n"
        "31 22 7:0 / /mnt/cd rw shared:3 - udf /dev/loop0 rw\n"
        "32 22 8:17 / /mnt/cdx rw - ext4 /dev/sdb1 rw\n"
        "33 31 8:18 / /mnt/cd/inner rw - ext4 /dev/sdb2 rw\n"
        "34 22 0:44 / /mnt/stack ro - iso9660 /dev/sr1 ro\n"
        "35 22 8:19 / /mnt/stack rw - ext4 /dev/sdc1 rw\n"
        "36 22 11:1 / /mnt/by-label ro - auto /dev/disk/by-label/DISC ro\n"
        "37 22 0:45 / /mnt/scd ro - cd9660 /dev/scd1 ro\n"
        "38 22 0:46 / /mnt/cdrom ro - cd9660 /dev/cdrom ro\n"
        "39 22 0:47 / /mnt/back\\134slash ro - iso9660 /dev/loop1 ro\n"
        "40 22 0:48 / /mnt/src0 rw - ext4 /dev/sr0x rw\n"
        "garbage line\n"
        "41 22 0:49 / /mnt/nosep rw shared:9 iso9660 /dev/sr2 ro\n";
    struct Case {
        const char* path;
        bool cd;
    };
    const Case cases[] = {
        {"/home/user/Music", false},
        {"/", false},
        {"/media/user/AUDIO CD", true},
        {"/media/user/AUDIO CD/Track1.wav", true},
        {"/media/user/AUDIO", false},
        {"/media/user/AUDIO CDX", false},
        {"/mnt/cd", true},
        {"/mnt/cd/sub/folder", true},
        {"/mnt/cdx/out", false},
        {"/mnt/cd/inner/out", false},
        {"/mnt/cd/innerx", true},
        {"/mnt/stack/out", false}, // the later mount hides the disc below it
        {"/mnt/by-label/x", true}, // a SCSI CD-ROM by its device number
        {"/mnt/scd/x", true},
        {"/mnt/cdrom", true},
        {"/mnt/back\\slash/x", true},
        {"/mnt/src0", false},
        {"/mnt/nosep/x", false}, // a malformed line is ignored
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(IsCdRomMount(table, QByteArray(c.path)), c.cd);
    }
    EXPECT_FALSE(IsCdRomMount(QByteArray(), "/mnt/cd"));
    EXPECT_TRUE(IsCdRomMount("1 0 11:0 / / ro - iso9660 /dev/sr0 ro", "/any/where"));
}

TEST(IsCdRomFolder, AFolderOnTheTestsFileSystemIsNoDisc) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    EXPECT_FALSE(IsCdRomFolder(dir.path()));
    EXPECT_FALSE(IsCdRomFolder(dir.filePath(QStringLiteral("not/yet/made/"))));
    EXPECT_FALSE(IsCdRomFolder(QString()));
}

// ---- BrowseForFolder -------------------------------------------------------------------

class BrowseForFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        ASSERT_TRUE(QDir(dir_.path()).mkpath(QStringLiteral("start")));
        ASSERT_TRUE(QDir(dir_.path()).mkpath(QStringLiteral("chosen")));
        sbdlg::SetFolderDialogHandler([this](const QString& title, const QString& folder) {
            asked_ = true;
            title_ = title;
            shown_ = folder;
            return answer_;
        });
    }
    void TearDown() override { apptest::Boxes().Install(); }

    QString Path(const char* name) const { return dir_.filePath(QString::fromUtf8(name)); }

    QTemporaryDir dir_;
    std::optional<QString> answer_;
    bool asked_ = false;
    QString title_;
    QString shown_;
};

TEST_F(BrowseForFolderTest, AChosenFolderComesBackAbsoluteWithATrailingSlash) {
    struct Case {
        QString given;
        QString answer;
        QString shown;
        QString result;
    };
    const Case cases[] = {
        {Path("start"), Path("chosen"), Path("start"), Path("chosen") + QLatin1Char('/')},
        {Path("start") + QLatin1Char('/'), Path("chosen") + QLatin1Char('/'),
         Path("start") + QLatin1Char('/'), Path("chosen") + QLatin1Char('/')},
        {QString(), Path("chosen/../start"), QString(), Path("start") + QLatin1Char('/')},
        {Path("missing"), Path("chosen"), QString(), Path("chosen") + QLatin1Char('/')},
        {QStringLiteral("/"), QStringLiteral("/"), QStringLiteral("/"), QStringLiteral("/")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.given.toStdString());
        answer_ = c.answer;
        QString folder = c.given;
        EXPECT_TRUE(BrowseForFolder(QStringLiteral("Select Output Folder"), QString(), folder));
        EXPECT_EQ(title_, QStringLiteral("Select Output Folder"));
        EXPECT_EQ(shown_, c.shown);
        EXPECT_EQ(folder, c.result);
    }
}

TEST_F(BrowseForFolderTest, CancelledLeavesTheFolderUnchanged) {
    for (const QString& given : {Path("start"), Path("missing"), QString()}) {
        SCOPED_TRACE(given.toStdString());
        answer_.reset();
        asked_ = false;
        QString folder = given;
        EXPECT_FALSE(BrowseForFolder(QStringLiteral("Select Output Folder"), QString(), folder));
        EXPECT_TRUE(asked_);
        EXPECT_EQ(folder, given);
    }
}

TEST_F(BrowseForFolderTest, AGivenFolderThatIsNoFolderIsNotShown) {
    WriteFile(Path("file.wav"));
    for (const QString& given : {Path("missing"), Path("file.wav"), Path("missing/deeper/")}) {
        SCOPED_TRACE(given.toStdString());
        shown_ = QStringLiteral("unset");
        answer_.reset();
        QString folder = given;
        BrowseForFolder(QString(), QString(), folder);
        EXPECT_EQ(shown_, QString());
    }
}

// ---- CenterBrowseDialog ----------------------------------------------------------------

TEST(CenterBrowseDialog, CentresOnTheScreenRoundingTowardsZero) {
    QScreen* screen = QGuiApplication::primaryScreen();
    ASSERT_NE(screen, nullptr);
    const QRect area = screen->geometry();
    // Dialog sizes as differences from the screen's; the offset of the dialog's corner.
    struct Case {
        int widthLess, heightLess;
        int left, top;
    };
    const Case cases[] = {
        {100, 200, 50, 100},
        {99, 201, 49, 100}, // 49.5 and 100.5 towards zero
        {0, 0, 0, 0},
        {-3, -5, -1, -2}, // larger than the screen: -1.5 and -2.5 towards zero
    };
    for (const bool shown : {false, true}) {
        for (const Case& c : cases) {
            // The outer size, frame included, is what is centred.
            const QSize outer(area.width() - c.widthLess, area.height() - c.heightLess);
            SCOPED_TRACE(testing::Message()
                         << outer.width() << "x" << outer.height() << (shown ? " shown" : ""));
            QDialog dialog;
            dialog.setFixedSize(outer);
            if (shown) {
                dialog.show();
                ASSERT_TRUE(apptest::WaitUntil([&] { return dialog.isVisible(); }, 5000));
                dialog.setFixedSize(outer - (dialog.frameGeometry().size() - dialog.size()));
            }
            ASSERT_EQ(dialog.frameGeometry().size(), outer);
            const QSize client = dialog.size();
            CenterBrowseDialog(&dialog);
            EXPECT_EQ(dialog.frameGeometry().topLeft(), area.topLeft() + QPoint(c.left, c.top));
            EXPECT_EQ(dialog.size(), client);
        }
    }
    CenterBrowseDialog(nullptr);
}

// ---- TfrmInputText ---------------------------------------------------------------------

TEST(TfrmInputText, HasItsCaptionSizeAndControls) {
    TfrmInputText form;
    EXPECT_EQ(form.windowTitle(), QStringLiteral("Text"));
    EXPECT_EQ(form.size(), QSize(355, 75));
    struct Control {
        QWidget* widget;
        QRect geometry;
        QString text;
    };
    const Control controls[] = {
        {form.btnOK, QRect(186, 43, 75, 23), QStringLiteral("OK")},
        {form.btnCancel, QRect(269, 43, 75, 23), QStringLiteral("Cancel")},
    };
    for (const Control& c : controls) {
        SCOPED_TRACE(c.text.toStdString());
        EXPECT_EQ(c.widget->geometry(), c.geometry);
        EXPECT_EQ(static_cast<QPushButton*>(c.widget)->text(), c.text);
    }
    EXPECT_EQ(form.edtText->geometry().topLeft(), QPoint(11, 10));
    EXPECT_EQ(form.edtText->width(), 332);
    EXPECT_TRUE(form.edtText->text().isEmpty());
    EXPECT_TRUE(form.btnOK->isDefault());
    EXPECT_FALSE(form.btnCancel->isDefault());
}

TEST(TfrmInputText, EnterAcceptsAndEscapeRejects) {
    struct Case {
        const char* name;
        int key;
        bool onCancelButton;
        int result;
    };
    const Case cases[] = {
        {"Return in the edit box", Qt::Key_Return, false, QDialog::Accepted},
        {"keypad Enter in the edit box", Qt::Key_Enter, false, QDialog::Accepted},
        {"Escape in the edit box", Qt::Key_Escape, false, QDialog::Rejected},
        {"Escape on Cancel", Qt::Key_Escape, true, QDialog::Rejected},
        {"Return on a focused Cancel", Qt::Key_Return, true, QDialog::Rejected},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TfrmInputText form;
        form.setResult(-1);
        form.show();
        ASSERT_TRUE(apptest::WaitUntil([&] { return form.isVisible(); }, 5000));
        form.edtText->setText(QStringLiteral("Album"));
        QWidget* target = c.onCancelButton ? static_cast<QWidget*>(form.btnCancel)
                                           : static_cast<QWidget*>(form.edtText);
        QKeyEvent press(QEvent::KeyPress, c.key, Qt::NoModifier);
        QApplication::sendEvent(target, &press);
        EXPECT_EQ(form.result(), c.result);
        EXPECT_FALSE(form.isVisible());
        EXPECT_EQ(form.edtText->text(), QStringLiteral("Album"));
    }
}

TEST(TfrmInputText, ButtonsAcceptAndReject) {
    for (const bool ok : {true, false}) {
        TfrmInputText form;
        form.show();
        (ok ? form.btnOK : form.btnCancel)->click();
        EXPECT_EQ(form.result(), ok ? QDialog::Accepted : QDialog::Rejected);
        EXPECT_FALSE(form.isVisible());
    }
}

} // namespace

TEST(ConversionFailureText, NamesTheFileWithoutItsFolderAndTheReason) {
    struct Case {
        std::string engine;
        const char* text;
    };
    const QString out = QStringLiteral("/m/Músic/Track2.mp3");
    for (const Case& c : {
             Case{"/m/M\xC3\xBAsic/Track2.mp3: No space left on device",
                  "Track2.mp3 could not be made: No space left on device."},
             Case{"Could not open codec", "Track2.mp3 could not be made: Could not open codec."},
             Case{"", "Track2.mp3 could not be made: the conversion did not finish."},
         }) {
        EXPECT_EQ(ConversionFailureText(out, c.engine), QString::fromUtf8(c.text)) << c.engine;
    }
}

TEST(PlainTexts, DialogsSayTheReasonAndWhatToDoWithoutTheDriveLayersText) {
    struct Case {
        const char* raw;
        bool duringRun;
        const char* plain;
    };
    for (const Case& c : {
             Case{"Vantrell_CdvdBurnerGrabber_GrabTrack() failed, exception 7, status 2, text "
                  "\"Cannot write /o/Track4.wav: No space left on device\"",
                  true,
                  "Cannot write /o/Track4.wav: No space left on device. Check the output folder, "
                  "or choose another one with Browse..."},
             Case{"Vantrell_Open() failed, exception 4, status 0, text \"No medium in the drive "
                  "/dev/sr0\"",
                  false, "The drive holds no disc: insert an audio CD."},
             Case{"Vantrell_CdvdBurnerGrabber_GrabTrack() failed, exception 4, status 0, text "
                  "\"No medium in the drive d.cue: the disc image does not exist\"",
                  true,
                  "The disc was removed during the conversion: insert it again and press "
                  "Convert."},
             Case{"Vantrell_X() failed, exception 11", false,
                  "The drive failed. Insert the disc again and try again."},
             Case{"Some plain text.", false, "Some plain text."},
         }) {
        EXPECT_EQ(PlainDriveText(QString::fromUtf8(c.raw), c.duringRun), QString::fromUtf8(c.plain))
            << c.raw;
    }
    EXPECT_EQ(PlainLibraryText(QStringLiteral("Load library /opt/t/Dll/libavcodec.so.59 error: "
                                              "/opt/t/Dll/libavcodec.so.59: file too short")),
              QStringLiteral("The media library libavcodec.so.59 cannot be loaded: file too "
                             "short. Reinstall Tonvale."));
}
