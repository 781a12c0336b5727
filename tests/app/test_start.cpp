// How tonvale starts: the drive named on its command line (a device, a cdda:// address,
// a file manager's folder, a disc image), the window taking that drive, and a later start
// handing over to the running window (in one process, and as real processes).
#include "AppTestUtil.h"
#include "DiscImage.h"
#include "DriveArgument.h"
#include "FileNames.h"
#include "SingleInstance.h"
#include "UnitMain.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QLockFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <ostream>

#include <csignal>

inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace {
using apptest::WaitUntil;

class StartTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir_.isValid()); }
    void TearDown() override { qunsetenv("TONVALE_VIRTUAL_DRIVES"); }

    QString Path(const QString& name) const { return dir_.filePath(name); }
    // A disc image of `tracks` short tone tracks.
    QString WriteDisc(int tracks, const std::string& name) {
        discimage::Disc disc;
        for (int i = 0; i < tracks; ++i)
            disc.tracks.push_back(discimage::ToneTrack(1, 440.0 + 110 * i));
        return QString::fromStdString(
            discimage::WriteCueBin(disc, dir_.path().toStdString(), name).cuePath);
    }
    static QString Canonical(const QString& path) { return QFileInfo(path).canonicalFilePath(); }

    QTemporaryDir dir_;
};

TEST_F(StartTest, ADriveArgumentResolvesToTheDeviceItNames) {
    const QString disc = Path(QStringLiteral("my disc.cue"));
    QFile(disc).open(QIODevice::WriteOnly);
    ASSERT_TRUE(QFile::link(disc, Path(QStringLiteral("cdrom"))));
    ASSERT_TRUE(QDir().mkpath(Path(QStringLiteral("mnt/sub"))));
    // The disc's data session is mounted at mnt/ (its "device" is the image here); the
    // temporary folder itself lies on an ordinary file system.
    const QByteArray mountInfo = "22 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
                                 "23 22 8:1 / " +
                                 FileNameBytes(dir_.path()) +
                                 " rw - ext4 /dev/sda1 rw\n"
                                 "24 23 11:0 / " +
                                 FileNameBytes(Path(QStringLiteral("mnt"))) +
                                 " ro shared:5 - iso9660 " +
                                 FileNameBytes(disc).replace(" ", "\\040") + " ro\n";
    const QString null = QStringLiteral("/dev/null"); // stands in for /dev/sr1

    struct Case {
        QString argument, device, error;
    };
    const Case cases[] = {
        {disc, Canonical(disc), {}},
        {Path(QStringLiteral("cdrom")), Canonical(disc), {}}, // a link such as /dev/cdrom
        {QStringLiteral("file://") + Path(QStringLiteral("my%20disc.cue")), Canonical(disc), {}},
        {QStringLiteral("FILE://localhost") + Path(QStringLiteral("cdrom")), Canonical(disc), {}},
        {Path(QStringLiteral("mnt")), Canonical(disc), {}},
        {Path(QStringLiteral("mnt/sub")), Canonical(disc), {}},
        {QStringLiteral("cdda://null"), null, {}},
        {QStringLiteral("cdda://null/"), null, {}},
        {QStringLiteral("cdda://host=null/"), null, {}},
        {QStringLiteral("/run/user/1000/gvfs/cdda:host=null/Track 1.wav"), null, {}},
        {dir_.path(), {}, QStringLiteral("is a folder, but not on a disc")},
        {Path(QStringLiteral("nothing")), {}, QStringLiteral("no such drive")},
        {QStringLiteral("cdda://sr97"), {}, QStringLiteral("there is no drive /dev/sr97")},
        {QStringLiteral("cdda://"), {}, QStringLiteral("names no drive")},
        {QStringLiteral("cdda://..%2Fetc/"), {}, QStringLiteral("names no drive")},
        {QStringLiteral("https://127.0.0.1/disc"), {}, QStringLiteral("names no drive")},
        {QStringLiteral("file://elsewhere/dev/sr0"), {}, QStringLiteral("not a file on this")},
        {QString(), {}, QStringLiteral("names no drive")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.argument.toStdString());
        const TDriveArgument got = ResolveDriveArgument(c.argument, &mountInfo);
        EXPECT_EQ(got.Device, c.device);
        if (c.error.isEmpty())
            EXPECT_TRUE(got.Error.isEmpty()) << got.Error.toStdString();
        else
            EXPECT_TRUE(got.Error.contains(c.error)) << got.Error.toStdString();
    }

    // A relative name is taken against the working folder.
    const QString before = QDir::currentPath();
    QDir::setCurrent(dir_.path());
    EXPECT_EQ(ResolveDriveArgument(QStringLiteral("cdrom"), &mountInfo).Device, Canonical(disc));
    QDir::setCurrent(before);

    EXPECT_TRUE(SameDrive(Path(QStringLiteral("cdrom")), Canonical(disc)));
    EXPECT_FALSE(SameDrive(null, Canonical(disc)));
    EXPECT_FALSE(SameDrive(QString(), QString()));
}

TEST_F(StartTest, TheWindowListsTheSelectedDriveAndFallsBackToTheFirstWithAnAudioDisc) {
    const QString two = WriteDisc(2, "two");
    const QString three = WriteDisc(3, "three");
    const QString empty = Path(QStringLiteral("empty.cue")); // a drive with no disc
    qputenv("TONVALE_VIRTUAL_DRIVES", FileNameBytes(two + ':' + empty + ':' + three));
    TfrmMain window;
    window.setAttribute(Qt::WA_DontShowOnScreen);
    const auto listed = [&window](int rows) {
        return window.lvInput->rowCount() == rows && window.RunningWorkers() == 0;
    };

    // Selected before the window is shown: its first search takes it.
    window.SelectDrive(Canonical(three));
    window.show();
    ASSERT_TRUE(WaitUntil([&] { return window.DiscMessage != 0 && listed(3); }));

    struct Case {
        QString device;
        int rows;
    };
    const QString notADrive = WriteDisc(1, "elsewhere"); // an image no drive serves
    for (const Case& c : {Case{Canonical(two), 2}, Case{Canonical(three), 3},
                          Case{Canonical(notADrive), 2}, Case{empty, 2}, Case{{}, 2}}) {
        SCOPED_TRACE(c.device.toStdString());
        window.lvInput->setRowCount(0);
        window.SelectDrive(c.device);
        EXPECT_TRUE(WaitUntil([&] { return listed(c.rows); }));
    }
    window.close();
}

// The running window's side lives on this thread; a later start runs on another (its
// waits block, as they do in a process of its own).
TSingleInstance::TClaim ClaimElsewhere(const QString& folder, const QString& device,
                                       int timeoutMs = 5000) {
    auto later = std::async(std::launch::async, [=] {
        TSingleInstance instance(folder, QStringLiteral("tonvale"));
        return instance.Claim(device, timeoutMs);
    });
    while (later.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready)
        QCoreApplication::processEvents();
    return later.get();
}

TEST_F(StartTest, ALaterStartHandsItsDriveToTheFirstAndEnds) {
    const QString folder = Path(QStringLiteral("run"));
    // A socket file left by a window that was killed does not stand in the way.
    ASSERT_TRUE(QDir().mkpath(folder));
    QFile(folder + QStringLiteral("/tonvale.socket")).open(QIODevice::WriteOnly);

    TSingleInstance first(folder, QStringLiteral("tonvale"));
    ASSERT_EQ(first.Claim(QString()), TSingleInstance::TClaim::First);
    EXPECT_TRUE(first.Error().isEmpty()) << first.Error().toStdString();
    QSignalSpy activated(&first, &TSingleInstance::Activated);

    // A name is bytes: one that is not UTF-8 arrives as it was given.
    const QString odd = FileNameFromBytes(QByteArray("/dev/sr\xff", 8));
    for (const QString& device : {QStringLiteral("/dev/sr1"), QString(), odd}) {
        EXPECT_EQ(ClaimElsewhere(folder, device), TSingleInstance::TClaim::HandedOver);
        ASSERT_TRUE(WaitUntil([&] { return !activated.isEmpty(); }, 5000));
        EXPECT_EQ(activated.takeFirst().at(0).toString(), device);
    }

    // Something that is not a start is dropped; the next start is still heard.
    QLocalSocket stranger;
    stranger.connectToServer(first.SocketPath());
    ASSERT_TRUE(stranger.waitForConnected(2000));
    stranger.write("GET / HTTP/1.0\r\n\r\n");
    ASSERT_TRUE(
        WaitUntil([&] { return stranger.state() == QLocalSocket::UnconnectedState; }, 5000));
    EXPECT_EQ(ClaimElsewhere(folder, QStringLiteral("/dev/sr0")),
              TSingleInstance::TClaim::HandedOver);
    ASSERT_TRUE(WaitUntil([&] { return !activated.isEmpty(); }, 5000));
    EXPECT_TRUE(stranger.readAll().isEmpty());
}

TEST_F(StartTest, AWindowThatDoesNotAnswerFailsTheLaterStartAndAnEndedOneFreesItsPlace) {
    const QString folder = Path(QStringLiteral("run"));
    ASSERT_TRUE(QDir().mkpath(folder));
    {
        // The lock is held, but nobody listens: the later start says so and ends.
        QLockFile held(folder + QStringLiteral("/tonvale.lock"));
        ASSERT_TRUE(held.tryLock(0));
        TSingleInstance later(folder, QStringLiteral("tonvale"));
        EXPECT_EQ(later.Claim(QString(), 300), TSingleInstance::TClaim::Failed);
        EXPECT_TRUE(later.Error().contains(QStringLiteral("does not answer")))
            << later.Error().toStdString();
        EXPECT_TRUE(later.Error().contains(QString::number(QCoreApplication::applicationPid())));
    }
    {
        TSingleInstance first(folder, QStringLiteral("tonvale"));
        ASSERT_EQ(first.Claim(QString()), TSingleInstance::TClaim::First);
    }
    EXPECT_FALSE(QFile::exists(folder + QStringLiteral("/tonvale.socket")));
    TSingleInstance next(folder, QStringLiteral("tonvale"));
    EXPECT_EQ(next.Claim(QString()), TSingleInstance::TClaim::First);
}

TEST_F(StartTest, BringingToTheFrontShowsAMinimisedWindow) {
    QWidget window;
    window.setAttribute(Qt::WA_DontShowOnScreen);
    window.showMinimized();
    ASSERT_TRUE(window.windowState() & Qt::WindowMinimized);
    BringToFront(&window);
    EXPECT_FALSE(window.windowState() & Qt::WindowMinimized);
    EXPECT_TRUE(window.isVisible());
}

// The programs themselves: the window as a process, and a second start of it.
class ProgramTest : public StartTest {
protected:
    void SetUp() override {
        StartTest::SetUp();
        env_ = QProcessEnvironment::systemEnvironment();
        env_.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        for (const char* name : {"XDG_RUNTIME_DIR", "XDG_CONFIG_HOME", "HOME"}) {
            const QString folder = Path(QString::fromLatin1(name));
            QDir().mkpath(folder);
            QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
            env_.insert(QString::fromLatin1(name), folder);
        }
    }
    std::unique_ptr<QProcess> Start(const QStringList& args,
                                    const QProcessEnvironment* env = nullptr) {
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(env ? *env : env_);
        process->start(QCoreApplication::applicationDirPath() + QStringLiteral("/tonvale"), args);
        EXPECT_TRUE(process->waitForStarted(5000));
        return process;
    }
    // Reads the window's standard error until `text` shows up in it.
    bool Said(QProcess& window, QByteArray& said, const QByteArray& text) {
        return WaitUntil(
            [&] {
                said += window.readAllStandardError();
                return said.contains(text);
            },
            20000);
    }
    QProcessEnvironment env_;
};

TEST_F(ProgramTest, ASecondStartHandsItsDriveToTheRunningWindowAndEnds) {
    const QString two = WriteDisc(2, "two");
    const QString three = WriteDisc(3, "three");
    env_.insert(QStringLiteral("TONVALE_VIRTUAL_DRIVES"), two + ':' + three);
    std::unique_ptr<QProcess> window = Start({});
    QByteArray said;
    ASSERT_TRUE(Said(*window, said, "tonvale: 2 audio tracks listed")) << said.toStdString();

    std::unique_ptr<QProcess> second = Start({three});
    ASSERT_TRUE(second->waitForFinished(10000));
    EXPECT_EQ(second->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second->exitCode(), 0) << second->readAllStandardError().toStdString();
    EXPECT_TRUE(Said(*window, said, "tonvale: 3 audio tracks listed")) << said.toStdString();

    // A start on another display opens a window of its own there.
    QProcessEnvironment elsewhere = env_;
    elsewhere.insert(QStringLiteral("WAYLAND_DISPLAY"), QStringLiteral("elsewhere-0"));
    std::unique_ptr<QProcess> own = Start({three}, &elsewhere);
    QByteArray ownSaid;
    EXPECT_TRUE(Said(*own, ownSaid, "tonvale: 3 audio tracks listed")) << ownSaid.toStdString();
    ::kill(static_cast<pid_t>(own->processId()), SIGTERM);
    ASSERT_TRUE(own->waitForFinished(20000));
    EXPECT_EQ(own->exitCode(), 0);

    // Bad usage ends a start before anything else.
    std::unique_ptr<QProcess> wrong = Start({QStringLiteral("--frobnicate")});
    ASSERT_TRUE(wrong->waitForFinished(10000));
    EXPECT_EQ(wrong->exitCode(), 2);
    EXPECT_TRUE(wrong->readAllStandardError().contains("unknown option '--frobnicate'"));

    ::kill(static_cast<pid_t>(window->processId()), SIGTERM);
    ASSERT_TRUE(window->waitForFinished(20000));
    EXPECT_EQ(window->exitCode(), 0);
    EXPECT_TRUE(QDir(Path(QStringLiteral("XDG_RUNTIME_DIR")))
                    .entryList({QStringLiteral("*.socket")}, QDir::System | QDir::Files)
                    .isEmpty());
    // With the window gone, the next start opens one of its own on the drive it names.
    window = Start({QStringLiteral("cdda://..")});
    said.clear();
    EXPECT_TRUE(Said(*window, said, "the first drive with an audio disc is listed"));
    EXPECT_TRUE(Said(*window, said, "tonvale: 2 audio tracks listed")) << said.toStdString();
    window->kill();
    window->waitForFinished(5000);
}

TEST_F(ProgramTest, HelpAndVersionNeedNoDisplay) {
    env_.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    env_.remove(QStringLiteral("DISPLAY"));
    env_.remove(QStringLiteral("WAYLAND_DISPLAY"));
    for (const QString& option : {QStringLiteral("--help"), QStringLiteral("--version")}) {
        std::unique_ptr<QProcess> program = Start({option});
        ASSERT_TRUE(program->waitForFinished(10000));
        EXPECT_EQ(program->exitCode(), 0) << option.toStdString();
        EXPECT_TRUE(program->readAllStandardOutput().startsWith(
            option == QLatin1String("--help") ? "Usage: tonvale" : "tonvale "));
    }
}

} // namespace
