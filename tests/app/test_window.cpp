// The main window end to end on the offscreen platform: disc images the tests
// write are served as virtual drives, boxes are answered through the seam, and
// the files a run writes are read or decoded back.
#include "ReplayDrive.h"
#include "AppTestUtil.h"
#include "DiscImage.h"
#include "UnitHelpers.h"
#include "UnitMain.h"
#include "UnitPlatform.h"
#include "Vantrell.h"
#include "test_ffmpeg_decode.h"

#include <QAccessible>
#include <QToolButton>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QSet>
#include <QSettings>
#include <QStandardPaths>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <memory>
#include <ostream>

#include <csignal>

#include <sys/mount.h>
#include <unistd.h>

inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace {
using apptest::Boxes;
using apptest::WaitUntil;
using discimage::Disc;

const QString OpenFolder = QStringLiteral("Would you like to open the output folder?");
const QString StopQuestion = QStringLiteral("A conversion is running. Stop it and close Tonvale?");

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        Boxes().Clear();
        Boxes().Answer(OpenFolder, QMessageBox::Cancel);
        opened_.clear();
        sbdlg::SetShellOpenHandler([this](const QUrl& url) { opened_.push_back(url); });
        out_ = dir_.filePath(QStringLiteral("out"));
    }
    void TearDown() override {
        window_.reset();
        sbdlg::SetShellOpenHandler(nullptr);
        qunsetenv("TONVALE_VIRTUAL_DRIVES");
    }

    QString Path(const QString& name) const { return dir_.filePath(name); }
    QString WriteDisc(const Disc& disc, const std::string& name,
                      const discimage::WriteOptions& options = {}) {
        return QString::fromStdString(
            discimage::WriteCueBin(disc, dir_.path().toStdString(), name, options).cuePath);
    }
    static Disc ToneDisc(const std::vector<double>& hertz, double seconds) {
        Disc disc;
        for (double h : hertz)
            disc.tracks.push_back(discimage::ToneTrack(seconds, h));
        return disc;
    }

    // Starts the window on these virtual drives and waits for its first search.
    TfrmMain& Start(const QString& drives) {
        qputenv("TONVALE_VIRTUAL_DRIVES", QFile::encodeName(drives));
        window_ = std::make_unique<TfrmMain>();
        // Shown as far as the window can tell, but never painted: Qt's painting
        // threads have nothing to do with what these tests check.
        window_->setAttribute(Qt::WA_DontShowOnScreen);
        window_->show();
        EXPECT_TRUE(WaitUntil([this] { return window_->DiscMessage != 0 && Idle(); }));
        return *window_;
    }
    bool Idle() const { return window_->RunningWorkers() == 0; }
    bool Listed(int rows) const { return window_->lvInput->rowCount() == rows && Idle(); }

    // Chooses the output folder through the folder dialog.
    void ChooseOutput(const QString& folder) {
        QDir().mkpath(folder);
        Boxes().SetFolderAnswer(folder + QLatin1Char('/'));
        window_->actBrowse->trigger();
        ASSERT_EQ(window_->OutputFolder, folder + QLatin1Char('/'));
    }
    void ChooseFormat(int format, int preset = -1) {
        window_->cbFormats->setCurrentIndex(format);
        if (preset >= 0)
            window_->cbPresets->setCurrentIndex(preset);
    }
    // Presses Convert; returns once the window is idle and its workers have ended.
    void Convert() {
        window_->bbConvert->click();
        EXPECT_FALSE(window_->Working());
        EXPECT_TRUE(WaitUntil([this] { return Idle(); }));
    }
    int Count(const QString& text) const {
        const auto texts = Boxes().Texts();
        return static_cast<int>(std::count(texts.begin(), texts.end(), text));
    }

    QTemporaryDir dir_;
    QString out_;
    std::vector<QUrl> opened_;
    std::unique_ptr<TfrmMain> window_;
};

TEST_F(WindowTest, WavRunCopiesOnlyTheCheckedTracksIntoTheOutputFolder) {
    const Disc disc = ToneDisc({440, 660, 880}, 2);
    TfrmMain& w = Start(WriteDisc(disc, "three"));
    ASSERT_TRUE(WaitUntil([this] { return Listed(3); }));
    ChooseOutput(out_);
    w.lvInput->item(0, 0)->setCheckState(Qt::Unchecked);
    Boxes().Answer(OpenFolder, QMessageBox::Ok);

    Convert();

    for (int track : {2, 3}) {
        const QByteArray wav = ReadAll(out_ + QStringLiteral("/Track%1.wav").arg(track));
        ASSERT_GT(wav.size(), 44) << track;
        const std::vector<uint8_t> pcm = discimage::TrackPcm(disc.tracks[track - 1]);
        EXPECT_EQ(wav.mid(44), QByteArray(reinterpret_cast<const char*>(pcm.data()),
                                          static_cast<qsizetype>(pcm.size())))
            << track;
    }
    EXPECT_FALSE(QFile::exists(out_ + QStringLiteral("/Track1.wav")));
    EXPECT_FALSE(QFileInfo::exists(out_ + QStringLiteral("/Temp")));
    EXPECT_EQ(QDir(out_).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).size(),
              2);
    EXPECT_EQ(Count(OpenFolder), 1);
    ASSERT_EQ(opened_.size(), 1u);
    EXPECT_EQ(opened_[0].toLocalFile(), out_ + QLatin1Char('/'));
    EXPECT_EQ(w.pbProgress->value(), 0);
    EXPECT_TRUE(w.bbConvert->isEnabled());
}

TEST_F(WindowTest, CompressedRunsDecodeBackToTheChosenFormatAndLeaveNoTemporaryFiles) {
    const std::vector<double> tones{440, 1000};
    TfrmMain& w = Start(WriteDisc(ToneDisc(tones, 3), "two"));
    ASSERT_TRUE(WaitUntil([this] { return Listed(2); }));
    ChooseOutput(out_);
    QStringList status;
    QObject receiver;
    QObject::connect(&w, &TfrmMain::StatusShown, &receiver, [&](const QString& s) { status << s; });

    struct Case {
        int format, preset;
        const char* ext;
        const char* codec;
        int rate, channels;
    };
    for (const Case& c :
         {Case{1, -1, "mp3", "mp3", 44100, 2}, Case{4, 3, "ogg", "vorbis", 22050, 1}}) {
        SCOPED_TRACE(c.ext);
        status.clear();
        ChooseFormat(c.format, c.preset);
        Convert();
        for (int t = 1; t <= 2; ++t) {
            const QString file = out_ + QStringLiteral("/Track%1.%2").arg(t).arg(c.ext);
            const enginetest::TDecoded d = enginetest::Decode(file);
            ASSERT_TRUE(d.ok) << file.toStdString();
            EXPECT_NE(d.codec.find(c.codec), std::string::npos) << d.codec;
            EXPECT_EQ(d.rate, c.rate);
            EXPECT_EQ(d.channels, c.channels);
            EXPECT_NEAR(d.Seconds(), 3.0, 0.15);
            EXPECT_GT(enginetest::TonePower(d, 0, tones[static_cast<size_t>(t - 1)]), 0.3);
        }
        EXPECT_TRUE(status.contains(QStringLiteral("Progress: 100.00%")))
            << status.join(QLatin1Char('|')).toStdString();
        EXPECT_FALSE(QFileInfo::exists(out_ + QStringLiteral("/Temp")));
        EXPECT_EQ(QDir(out_).entryList({QStringLiteral("*.wav")}, QDir::Files).size(), 0);
    }
    EXPECT_EQ(Count(OpenFolder), 2);
    EXPECT_TRUE(opened_.empty());
}

TEST_F(WindowTest, ARunKeepsAUsersOwnTempFolderAsItWas) {
    TfrmMain& w = Start(WriteDisc(ToneDisc({440}, 2), "one"));
    ASSERT_TRUE(WaitUntil([this] { return Listed(1); }));
    ChooseOutput(out_);
    const QString temp = out_ + QStringLiteral("/Temp/");
    QDir().mkpath(temp);
    for (const QString& name : {QStringLiteral("mine.txt"), QStringLiteral("Track1.wav")}) {
        QFile file(temp + name);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("the user's own " + name.toUtf8());
    }
    ChooseFormat(1);

    Convert();

    EXPECT_TRUE(QFile::exists(out_ + QStringLiteral("/Track1.mp3")));
    EXPECT_EQ(ReadAll(temp + QStringLiteral("mine.txt")), "the user's own mine.txt");
    EXPECT_EQ(ReadAll(temp + QStringLiteral("Track1.wav")), "the user's own Track1.wav");
    EXPECT_EQ(QDir(temp).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).size(),
              2);
    EXPECT_FALSE(w.Working());
}

// Closing during a run asks. No: the run goes on and makes every track, and a disc
// arrival meanwhile is searched for after it. Yes: the run stops, the finished track
// stays, nothing unfinished is left, nothing more is asked, and the window closes.
TEST_F(WindowTest, ClosingDuringARunAsksAndYesStopsItAndCloses) {
    for (const bool yes : {false, true}) {
        SCOPED_TRACE(yes ? "Yes" : "No");
        TfrmMain& w = Start(WriteDisc(ToneDisc({440, 550, 660}, 4), "three"));
        ASSERT_TRUE(WaitUntil([this] { return Listed(3); }));
        const QString out = Path(yes ? QStringLiteral("yes") : QStringLiteral("no"));
        ChooseOutput(out);
        ChooseFormat(1);
        Boxes().Clear();
        Boxes().Answer(StopQuestion, yes ? QMessageBox::Yes : QMessageBox::No);
        bool visibleAfterClose = false, tried = false;
        QObject receiver;
        QObject::connect(&w, &TfrmMain::StatusShown, &receiver, [&](const QString& status) {
            // During the second track's conversion.
            if (tried || !status.startsWith(QStringLiteral("Progress: ")) ||
                !QFile::exists(out + QStringLiteral("/Track1.mp3")))
                return;
            tried = w.Working();
            w.WMDeviceChange(0x8000);
            w.close();
            visibleAfterClose = w.isVisible();
        });

        Convert();

        EXPECT_TRUE(tried);
        EXPECT_TRUE(visibleAfterClose);
        const auto texts = Boxes().Texts();
        ASSERT_FALSE(texts.empty());
        EXPECT_EQ(texts[0], StopQuestion);
        EXPECT_EQ(Boxes().Shown()[0].Default, QMessageBox::No); // Enter keeps the run going
        EXPECT_NEAR(enginetest::Decode(out + QStringLiteral("/Track1.mp3")).Seconds(), 4.0, 0.15);
        if (yes) {
            EXPECT_EQ(texts.size(), 1u);
            EXPECT_TRUE(WaitUntil([&] { return !w.isVisible(); }));
            // The second track is gone, or complete when the stop came at its very end.
            const QStringList left =
                QDir(out).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
            EXPECT_TRUE(
                left == QStringList{QStringLiteral("Track1.mp3")} ||
                left == (QStringList{QStringLiteral("Track1.mp3"), QStringLiteral("Track2.mp3")}))
                << left.join(QLatin1Char(' ')).toStdString();
            if (left.size() == 2) {
                EXPECT_NEAR(enginetest::Decode(out + QStringLiteral("/Track2.mp3")).Seconds(), 4.0,
                            0.15);
            }
        } else {
            EXPECT_EQ(Count(OpenFolder), 1);
            for (int t = 2; t <= 3; ++t)
                EXPECT_NEAR(
                    enginetest::Decode(out + QStringLiteral("/Track%1.mp3").arg(t)).Seconds(), 4.0,
                    0.15);
            // The search deferred by the run has listed the disc again.
            EXPECT_TRUE(WaitUntil([this] { return Listed(3); }));
            EXPECT_EQ(w.actEjectDrive->text(), QStringLiteral("Eject Drive"));
            EXPECT_TRUE(w.isVisible());
        }
        window_.reset();
    }
}

// A stop signal during a run stops it without asking and closes the window; the
// folder keeps the finished tracks and nothing else.
TEST_F(WindowTest, ASignalDuringARunStopsItAndLeavesOnlyFinishedTracks) {
    TfrmMain& w = Start(WriteDisc(ToneDisc({440, 550, 660}, 4), "three"));
    ASSERT_TRUE(WaitUntil([this] { return Listed(3); }));
    ChooseOutput(out_);
    ChooseFormat(1);
    Boxes().Clear();
    InstallStopSignals(&w);
    bool sent = false;
    QObject receiver;
    QObject::connect(&w, &TfrmMain::StatusShown, &receiver, [&](const QString& status) {
        if (!sent && status.startsWith(QStringLiteral("Progress: ")) &&
            QFile::exists(out_ + QStringLiteral("/Track1.mp3")))
            sent = ::kill(::getpid(), SIGTERM) == 0;
    });

    Convert();
    ASSERT_TRUE(sent);
    EXPECT_TRUE(WaitUntil([&] { return !w.isVisible(); }));
    InstallStopSignals(nullptr);

    EXPECT_TRUE(Boxes().Texts().empty());
    const QStringList left =
        QDir(out_).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    EXPECT_TRUE(left.contains(QStringLiteral("Track1.mp3")));
    EXPECT_FALSE(left.contains(QStringLiteral("Track3.mp3")));
    for (const QString& name : left)
        EXPECT_TRUE(name.startsWith(QStringLiteral("Track")) &&
                    name.endsWith(QStringLiteral(".mp3")))
            << name.toStdString();
}

// What a killed run left is removed at the next start; the user's files, a Temp folder
// of the user's and names that only look like the program's stay.
TEST_F(WindowTest, AStartRemovesTheLeftoversOfAKilledRunAndNothingElse) {
    const auto make = [this](const QString& name, const QByteArray& data = "x") {
        const QString path = out_ + QLatin1Char('/') + name;
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(data);
    };
    struct Case {
        const char* name;
        bool removed;
    };
    const std::vector<Case> cases = {
        {".Track11.mp3.Ab3dE9", true},
        {".Track2.wav.XYZ123", true},
        {"Temp/.tonvale-q1W2e3/Track41.wav", true},
        {"Temp/.tonvale-q1W2e3/.Track42.wav.AAAAAA", true},
        {"Temp/Track3.wav", false}, // a Temp folder without the marker is the user's
        {"Temp/mine.txt", false},
        {".Track11.mp3", false},
        {".Track11.mp3.toolong1", false},
        {".Song.mp3.Ab3dE9", false},
        {"Track1.mp3", false},
        {".hidden", false},
    };
    for (const Case& c : cases)
        make(QString::fromLatin1(c.name));
    // A Temp folder that a killed run made, inside a second output folder.
    const QString other = Path(QStringLiteral("other"));
    for (const char* name : {"Temp/.tonvale-temp", "Temp/Track5.wav", "Temp/.Track6.wav.Ab12Cd"}) {
        QDir().mkpath(other + QStringLiteral("/Temp"));
        QFile file(other + QLatin1Char('/') + QString::fromLatin1(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }

    for (const QString& folder : {out_, other}) {
        {
            QSettings settings(QSettings::IniFormat, QSettings::UserScope,
                               QStringLiteral("Brisklane"), QStringLiteral("Tonvale"));
            settings.setValue(QStringLiteral("Configuration/OutPath"), folder + QLatin1Char('/'));
        }
        Start(Path(QStringLiteral("none.cue")));
        window_.reset();
    }

    for (const Case& c : cases)
        EXPECT_EQ(QFileInfo::exists(out_ + QLatin1Char('/') + QString::fromLatin1(c.name)),
                  !c.removed)
            << c.name;
    EXPECT_FALSE(QFileInfo::exists(out_ + QStringLiteral("/Temp/.tonvale-q1W2e3")));
    EXPECT_FALSE(QFileInfo::exists(other + QStringLiteral("/Temp")));
}

TEST_F(WindowTest, AFailedGrabShowsItsTextAndAsksNothing) {
    // The image ends in the middle of the second track.
    Disc disc = ToneDisc({440, 660, 880}, 2);
    discimage::WriteOptions cut;
    cut.truncateBinTo = static_cast<int64_t>(discimage::kSectorBytes) * (150 + 75);
    TfrmMain& w = Start(WriteDisc(disc, "cut", cut));
    ASSERT_TRUE(WaitUntil([this] { return Listed(3); }));
    ChooseOutput(out_);
    for (int format : {0, 1}) {
        SCOPED_TRACE(format);
        Boxes().Clear();
        ChooseFormat(format);
        Convert();
        const auto shown = Boxes().Shown();
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(shown[0].Icon, QMessageBox::Critical);
        // The plain reason, what to do and how many tracks were made; the drive layer's
        // own text is only in the log.
        EXPECT_EQ(shown[0].Text,
                  QStringLiteral("Track 3 could not be read: sector 300 is unreadable (beyond the "
                                 "end of the disc at sector 225). Clean the disc and try "
                                 "again.\n\n1 of the 3 checked tracks were made."));
        EXPECT_FALSE(QFile::exists(out_ + QStringLiteral("/Track2.wav")));
        EXPECT_FALSE(QFile::exists(out_ + QStringLiteral("/Track2.mp3")));
        EXPECT_FALSE(QFileInfo::exists(out_ + QStringLiteral("/Temp")));
        EXPECT_TRUE(QFile::exists(
            out_ + (format == 0 ? QStringLiteral("/Track1.wav") : QStringLiteral("/Track1.mp3"))));
        const QStringList hidden = QDir(out_).entryList(
            {QStringLiteral(".*")}, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
        EXPECT_TRUE(hidden.isEmpty()) << hidden.join(QLatin1Char(' ')).toStdString();
    }
    EXPECT_FALSE(w.Working());
}

// A full disk during the conversion of the second track: the run ends there, the one
// box names the file and the system's reason, and no success question follows. The
// disk is a device that is always full at the track's name, and (where the test may
// mount, as root) a small file system that holds one track, with a roomy Temp of its own.
TEST_F(WindowTest, AFullDiskDuringTheConversionFailsTheRunAndAsksNothing) {
    TfrmMain& w = Start(WriteDisc(ToneDisc({440, 550, 660}, 4), "three"));
    ASSERT_TRUE(WaitUntil([this] { return Listed(3); }));
    const bool root = ::geteuid() == 0;
    for (const bool small : {false, true}) {
        if (small && !root)
            continue;
        SCOPED_TRACE(small ? "a small file system" : "a full device");
        const QString out = Path(small ? QStringLiteral("small") : QStringLiteral("full"));
        ASSERT_TRUE(QDir().mkpath(out));
        std::vector<QByteArray> mounts;
        if (small) {
            // A 4 s MP3 track takes 64 KB.
            ASSERT_EQ(::mount("tmpfs", QFile::encodeName(out).constData(), "tmpfs", 0, "size=96k"),
                      0);
            mounts.push_back(QFile::encodeName(out));
            ASSERT_TRUE(QDir().mkpath(out + QStringLiteral("/Temp")));
            ASSERT_EQ(::mount("tmpfs", QFile::encodeName(out + QStringLiteral("/Temp")).constData(),
                              "tmpfs", 0, "size=16m"),
                      0);
            mounts.insert(mounts.begin(), QFile::encodeName(out + QStringLiteral("/Temp")));
        } else {
            ASSERT_TRUE(
                QFile::link(QStringLiteral("/dev/full"), out + QStringLiteral("/Track2.mp3")));
        }
        struct Unmount {
            std::vector<QByteArray>& at;
            ~Unmount() {
                for (const QByteArray& m : at)
                    ::umount(m.constData());
            }
        } unmount{mounts};
        ChooseOutput(out);
        ChooseFormat(1);
        Boxes().Clear();

        Convert();

        const auto shown = Boxes().Shown();
        ASSERT_EQ(shown.size(), 1u) << Boxes().Texts().front().toStdString();
        EXPECT_EQ(shown[0].Icon, QMessageBox::Critical);
        EXPECT_EQ(shown[0].Text,
                  QStringLiteral("Track2.mp3 could not be made: No space left on device.\n\n1 "
                                 "of the 3 checked tracks were made."));
        EXPECT_TRUE(QFile::exists(out + QStringLiteral("/Track1.mp3")));
        if (small) {
            EXPECT_FALSE(QFile::exists(out + QStringLiteral("/Track2.mp3")));
            EXPECT_TRUE(QDir(out + QStringLiteral("/Temp"))
                            .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)
                            .isEmpty());
        }
        EXPECT_FALSE(QFile::exists(out + QStringLiteral("/Track3.mp3")));
        const QStringList hidden = QDir(out).entryList(
            {QStringLiteral(".*")}, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
        EXPECT_TRUE(hidden.isEmpty()) << hidden.join(QLatin1Char(' ')).toStdString();
        EXPECT_EQ(w.pbProgress->value(), 0);
        EXPECT_FALSE(w.Working());
    }
}

TEST_F(WindowTest, InsertingAndRemovingADiscImageListsItsAudioTracksAndTurnsTheButton) {
    const QString cue = Path(QStringLiteral("later.cue"));
    TfrmMain& w = Start(cue);
    EXPECT_TRUE(w.panBack->isVisible());
    EXPECT_EQ(w.lvInput->rowCount(), 0);
    EXPECT_TRUE(Boxes().Texts().empty());

    // A mixed disc: the data track gets no row but is counted.
    Disc disc = ToneDisc({440, 660}, 3);
    disc.tracks.insert(disc.tracks.begin(), discimage::DataTrack(300));
    WriteDisc(disc, "later");
    ASSERT_TRUE(WaitUntil([this] { return Listed(2); }));
    EXPECT_FALSE(w.panBack->isVisible());
    EXPECT_EQ(w.lvInput->item(0, 0)->text(), QStringLiteral("Track2"));
    EXPECT_EQ(w.lvInput->item(1, 0)->text(), QStringLiteral("Track3"));
    EXPECT_EQ(w.lvInput->item(0, 1)->text(), QStringLiteral("00:03"));
    EXPECT_EQ(w.lvInput->item(0, 0)->checkState(), Qt::Checked);
    EXPECT_EQ(w.actEjectDrive->text(), QStringLiteral("Eject Drive"));

    QFile::remove(cue);
    ASSERT_TRUE(
        WaitUntil([&] { return w.actEjectDrive->text() == QStringLiteral("Close Drive"); }));
    EXPECT_EQ(w.EjectTag(), 1);
    EXPECT_EQ(w.lvInput->rowCount(), 0);
    EXPECT_FALSE(w.actConvert->isEnabled());
    EXPECT_TRUE(Boxes().Texts().empty());
}

TEST_F(WindowTest, TheEjectButtonOpensAndClosesTheTray) {
    TfrmMain& w = Start(WriteDisc(ToneDisc({440}, 2), "one"));
    ASSERT_TRUE(WaitUntil([this] { return Listed(1); }));
    QStringList status;
    QObject receiver;
    QObject::connect(&w, &TfrmMain::StatusShown, &receiver, [&](const QString& s) { status << s; });

    w.bbEjectDisc->click();
    ASSERT_TRUE(WaitUntil([&] { return Idle() && w.EjectTag() == 1; }));
    EXPECT_FALSE(AnyCDVolume());
    EXPECT_EQ(w.actEjectDrive->text(), QStringLiteral("Close Drive"));

    w.bbEjectDisc->click();
    ASSERT_TRUE(WaitUntil([&] { return Idle() && w.EjectTag() == 0; }));
    EXPECT_TRUE(AnyCDVolume());
    EXPECT_EQ(w.actEjectDrive->text(), QStringLiteral("Eject Drive"));
    EXPECT_TRUE(status.contains(QStringLiteral("Loading disc information... ")));
    // The closed tray is an arrival: the search that follows empties the status line.
    EXPECT_TRUE(WaitUntil([&] { return Idle() && w.labShowMessage->text().isEmpty(); }));
    EXPECT_TRUE(w.actEjectDrive->isEnabled());
}

// With two drives the button opens and closes the tray of the drive whose disc is listed,
// also after a run has locked that drive; with none listed, the first drive's. The focus
// stays on the button throughout.
TEST_F(WindowTest, EjectActsOnTheDriveWhoseDiscIsListed) {
    const QString one = WriteDisc(ToneDisc({440}, 1), "one");
    const QString two = WriteDisc(ToneDisc({550, 660}, 1), "two");
    const QString none = Path(QStringLiteral("none.cue"));
    struct Case {
        const char* name;
        QString first, second;
        int rows;      // listed
        bool run;      // a run before the eject
        bool inSecond; // the tray that moves
    };
    for (const Case& c :
         {Case{"the disc in the second drive", none, two, 2, true, true},
          Case{"discs in both drives", one, two, 1, false, false},
          Case{"no disc", none, Path(QStringLiteral("none2.cue")), 0, false, false}}) {
        SCOPED_TRACE(c.name);
        TfrmMain& w = Start(c.first + QLatin1Char(':') + c.second);
        ASSERT_TRUE(WaitUntil([&] { return Listed(c.rows); }));
        if (c.run) {
            ChooseOutput(Path(QStringLiteral("eject")));
            Convert();
            ASSERT_TRUE(QFile::exists(Path(QStringLiteral("eject/Track2.wav"))));
        }
        const auto trayOpen = [](const QString& drive) {
            return Vantrell_IsVirtualTrayOpen(QFile::encodeName(drive).constData(), nullptr) != 0;
        };
        const QString& moves = c.inSecond ? c.second : c.first;
        const QString& stays = c.inSecond ? c.first : c.second;
        w.bbEjectDisc->setFocus();

        QTest::keyClick(w.bbEjectDisc, Qt::Key_Space);
        ASSERT_TRUE(WaitUntil([&] { return Idle() && w.EjectTag() == 1; }));
        EXPECT_TRUE(trayOpen(moves));
        EXPECT_FALSE(trayOpen(stays));
        EXPECT_EQ(w.focusWidget(), w.bbEjectDisc);
        // The disc leaving empties the list; the button still closes that drive's tray.
        if (c.rows > 0) {
            ASSERT_TRUE(WaitUntil([&] { return w.lvInput->rowCount() == 0; }));
        }

        QTest::keyClick(w.bbEjectDisc, Qt::Key_Space);
        ASSERT_TRUE(WaitUntil([&] { return Idle() && w.EjectTag() == 0; }));
        EXPECT_FALSE(trayOpen(moves));
        EXPECT_FALSE(trayOpen(stays));
        // The closed tray is an arrival: the disc is listed again, the focus stays.
        EXPECT_TRUE(
            WaitUntil([&] { return Listed(c.rows) && w.labShowMessage->text().isEmpty(); }));
        EXPECT_EQ(w.focusWidget(), w.bbEjectDisc);
        window_.reset();
    }
}

// The tray that opens is the one of the drive holding the data disc (here the second).
TEST_F(WindowTest, ADataDiscIsRefusedAndItsTrayOpened) {
    Disc disc;
    disc.tracks.push_back(discimage::DataTrack(300));
    const QString data = WriteDisc(disc, "data");
    TfrmMain& w = Start(Path(QStringLiteral("none.cue")) + QLatin1Char(':') + data);
    ASSERT_TRUE(WaitUntil([&] { return Idle() && w.EjectTag() == 1; }));
    EXPECT_EQ(Boxes().Texts(),
              std::vector<QString>{QStringLiteral("The disc format is incorrect, please insert "
                                                  "another CD. ")});
    EXPECT_TRUE(Vantrell_IsVirtualTrayOpen(QFile::encodeName(data).constData(), nullptr));
    EXPECT_FALSE(AnyCDVolume());
    EXPECT_EQ(w.lvInput->rowCount(), 0);
    EXPECT_TRUE(w.isVisible());
}

TEST_F(WindowTest, WithoutAnyDriveTheProgramSaysSoAndEnds) {
    TfrmMain& w = Start(QString());
    ASSERT_TRUE(WaitUntil([&] { return !w.isVisible(); }));
    EXPECT_EQ(Boxes().Texts(), std::vector<QString>{QStringLiteral("No DVD-RW drive found.")});
}

// The only drive is one the user has no rights to: the window names the fix, not "no drive".
TEST_F(WindowTest, ADriveWithoutRightsIsNamedWithItsFix) {
    const replay::Scope drives({{"/dev/sr-replay1", nullptr, EACCES}});
    TfrmMain& w = Start(QString());
    ASSERT_TRUE(WaitUntil([&] { return !w.isVisible(); }));
    EXPECT_EQ(Boxes().Texts(), std::vector<QString>{QStringLiteral(
                                   "No rights to use the drive /dev/sr-replay1: add your user to "
                                   "the cdrom group")});
}

TEST_F(WindowTest, FirstStartOffersTheDesktopFolderAndClosingRemembersTheChoice) {
    const QString ini = QSettings(QSettings::IniFormat, QSettings::UserScope,
                                  QStringLiteral("Brisklane"), QStringLiteral("Tonvale"))
                            .fileName();
    QFile::remove(ini);
    const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    {
        TfrmMain& w = Start(Path(QStringLiteral("none.cue")));
        EXPECT_EQ(w.edtOutPath->text(), desktop + QStringLiteral("/Tonvale/"));
        EXPECT_EQ(w.OutputFolder, desktop + QStringLiteral("/Tonvale/"));
        w.close();
        EXPECT_FALSE(w.isVisible());
    }
    EXPECT_TRUE(ReadAll(ini).contains("OutPath=")) << ReadAll(ini).toStdString();
    QSettings stored(ini, QSettings::IniFormat);
    EXPECT_EQ(stored.value(QStringLiteral("Configuration/OutPath")).toString(),
              desktop + QStringLiteral("/Tonvale/"));

    // A folder chosen later is what the next start shows.
    TfrmMain& again = Start(Path(QStringLiteral("none.cue")));
    ChooseOutput(out_);
    again.close();
    window_ = std::make_unique<TfrmMain>();
    EXPECT_EQ(window_->edtOutPath->text(), out_ + QLatin1Char('/'));
}

// A first start on an account without a desktop folder: the default is the desktop
// folder the system names (its XDG name where the user has one) + "Tonvale", and the
// first run makes it with all its parents.
TEST_F(WindowTest, AFirstStartWithoutADesktopFolderMakesTheDefaultFolderOnTheFirstRun) {
    const QString ini = QSettings(QSettings::IniFormat, QSettings::UserScope,
                                  QStringLiteral("Brisklane"), QStringLiteral("Tonvale"))
                            .fileName();
    const QString userDirs = QFileInfo(ini).dir().filePath(QStringLiteral("../user-dirs.dirs"));
    const QByteArray home = qgetenv("HOME");
    struct Restore {
        QByteArray home;
        QString userDirs;
        ~Restore() {
            qputenv("HOME", home);
            QFile::remove(userDirs);
        }
    } restore{home, userDirs};
    const QString disc = WriteDisc(ToneDisc({440}, 1), "one");
    struct Case {
        const char* userDirs; // the XDG names, or none
        const char* desktop;  // under HOME
    };
    for (const Case& c : {Case{nullptr, "/Desktop"},
                          Case{"XDG_DESKTOP_DIR=\"$HOME/Bureau/sub\"\n", "/Bureau/sub"}}) {
        SCOPED_TRACE(c.desktop);
        const QString newHome =
            Path(QStringLiteral("home") + QString::fromLatin1(c.desktop).replace('/', '_'));
        ASSERT_TRUE(QDir().mkpath(newHome));
        qputenv("HOME", QFile::encodeName(newHome));
        QFile::remove(ini);
        QFile::remove(userDirs);
        if (c.userDirs) {
            QDir().mkpath(QFileInfo(userDirs).path());
            QFile file(userDirs);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write(c.userDirs);
        }
        const QString folder =
            newHome + QString::fromLatin1(c.desktop) + QStringLiteral("/Tonvale/");
        TfrmMain& w = Start(disc);
        ASSERT_TRUE(WaitUntil([this] { return Listed(1); }));
        EXPECT_EQ(w.OutputFolder, folder);
        Boxes().Clear();
        Boxes().Answer(OpenFolder, QMessageBox::Cancel);
        Convert();
        EXPECT_EQ(Boxes().Texts(), std::vector<QString>{OpenFolder});
        EXPECT_TRUE(QFile::exists(folder + QStringLiteral("Track1.wav")));
        window_.reset();
    }
}

// A folder that cannot be made or written is said before the run, with the fix; nothing
// is read from the disc.
TEST_F(WindowTest, AnOutputFolderThatCannotBeUsedIsSaidBeforeTheRun) {
    TfrmMain& w = Start(WriteDisc(ToneDisc({440}, 1), "one"));
    ASSERT_TRUE(WaitUntil([this] { return Listed(1); }));
    QFile plain(Path(QStringLiteral("plain")));
    ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
    plain.close();
    struct Case {
        QString folder;
        const char* reason;
    };
    std::vector<Case> cases = {{Path(QStringLiteral("plain/Tonvale/")), "Not a directory"}};
    const QString readOnly = Path(QStringLiteral("ro"));
    QDir().mkpath(readOnly);
    bool mounted = false;
    if (::geteuid() == 0) {
        mounted = ::mount("tmpfs", QFile::encodeName(readOnly).constData(), "tmpfs", MS_RDONLY,
                          "size=16k") == 0;
        if (mounted)
            cases.push_back({readOnly + QStringLiteral("/Tonvale/"), "Read-only file system"});
    } else {
        QFile::setPermissions(readOnly, QFile::ReadOwner | QFile::ExeOwner);
        cases.push_back({readOnly + QStringLiteral("/Tonvale/"), "Permission denied"});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        w.OutputFolder = c.folder;
        w.edtOutPath->setText(c.folder);
        Boxes().Clear();
        Convert();
        const auto shown = Boxes().Shown();
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(shown[0].Icon, QMessageBox::Warning);
        EXPECT_EQ(shown[0].Text, QStringLiteral("The output folder %1 cannot be used: %2. Choose "
                                                "another folder with Browse...")
                                     .arg(c.folder, QString::fromLatin1(c.reason)));
        EXPECT_TRUE(w.bbConvert->isEnabled());
    }
    if (mounted)
        ::umount(QFile::encodeName(readOnly).constData());
}

// What a screen reader says for each control, read through QAccessible; the list has
// the focus first and Tab leaves it.
TEST_F(WindowTest, ControlsHaveAccessibleNamesAndTheListHasTheFirstFocus) {
    TfrmMain& w = Start(WriteDisc(ToneDisc({440, 550}, 1), "two"));
    ASSERT_TRUE(WaitUntil([this] { return Listed(2); }));
    struct Case {
        QWidget* widget;
        const char* name;
    };
    for (const Case& c :
         {Case{w.lvInput, "Audio tracks"}, Case{w.cbFormats, "Format"}, Case{w.cbPresets, "Preset"},
          Case{w.edtOutPath, "Output folder"}, Case{w.pbProgress, "Conversion progress"},
          Case{w.labShowMessage, "Status"}, Case{w.tbContact, "Contact"},
          Case{w.bbConvert, "Convert"}, Case{w.bbBrowse, "Browse..."},
          Case{w.bbSelectAll, "Select All"}, Case{w.bbUnSelect, "UnSelect"},
          Case{w.bbEjectDisc, "Eject Drive"}}) {
        QAccessibleInterface* a = QAccessible::queryAccessibleInterface(c.widget);
        ASSERT_NE(a, nullptr) << c.name;
        const bool combo = c.widget == w.cbFormats || c.widget == w.cbPresets;
        EXPECT_EQ(a->text(combo ? QAccessible::Description : QAccessible::Name),
                  QString::fromLatin1(c.name));
    }
    QAccessibleInterface* contact = QAccessible::queryAccessibleInterface(w.tbContact);
    EXPECT_FALSE(contact->text(QAccessible::Description).isEmpty());
    // A screen reader's press opens the contact menu.
    w.pmContact->setAttribute(Qt::WA_DontShowOnScreen);
    ASSERT_NE(contact->actionInterface(), nullptr);
    contact->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    EXPECT_TRUE(WaitUntil([&] { return w.pmContact->isVisible(); }, 5000));
    w.pmContact->hide();
    w.activateWindow();
    EXPECT_EQ(w.focusWidget(), w.lvInput);
}

// Tab walks the controls in their order on the screen and leaves the list at once, also
// with many rows; the contact button opens its menu with Space, Enter or Down, its first
// item active, and Enter there runs it.
TEST_F(WindowTest, TabWalksTheControlsInOrderAndTheContactMenuOpensFromTheKeyboard) {
    TfrmMain& w = Start(WriteDisc(ToneDisc({440, 550, 660, 770}, 1), "four"));
    ASSERT_TRUE(WaitUntil([this] { return Listed(4); }));
    w.lvInput->setCurrentCell(1, 1);
    ASSERT_EQ(w.focusWidget(), w.lvInput);
    const std::vector<QWidget*> order = {w.bbSelectAll, w.bbUnSelect, w.bbEjectDisc,
                                         w.cbFormats,   w.cbPresets,  w.bbBrowse,
                                         w.bbConvert,   w.tbContact,  w.lvInput};
    for (QWidget* next : order) {
        QTest::keyClick(w.focusWidget(), Qt::Key_Tab);
        EXPECT_EQ(w.focusWidget(), next)
            << next->objectName().toStdString() << next->metaObject()->className();
    }
    QTest::keyClick(w.lvInput, Qt::Key_Backtab);
    EXPECT_EQ(w.focusWidget(), w.tbContact);

    w.pmContact->setAttribute(Qt::WA_DontShowOnScreen);
    for (Qt::Key key : {Qt::Key_Space, Qt::Key_Return, Qt::Key_Down}) {
        SCOPED_TRACE(key);
        QTest::keyClick(w.tbContact, key);
        EXPECT_TRUE(w.pmContact->isVisible());
        EXPECT_EQ(w.pmContact->activeAction(), w.pmOurSite);
        if (key != Qt::Key_Down)
            w.pmContact->hide();
    }
    QTest::keyClick(w.pmContact, Qt::Key_Return);
    EXPECT_FALSE(w.pmContact->isVisible());
    ASSERT_EQ(opened_.size(), 1u);
    EXPECT_EQ(opened_[0].host(), QStringLiteral("www.brisklane.com"));
    EXPECT_FALSE(w.Working());
}

// The keyboard alone: Space toggles the current row's box once, whichever of its cells is
// current; Enter presses Convert, whose run copies the checked tracks; the focus is on
// Convert afterwards. The buttons show their Alt keys.
TEST_F(WindowTest, TheKeyboardAloneChoosesTracksAndStartsARun) {
    TfrmMain& w = Start(WriteDisc(ToneDisc({440, 550, 660}, 1), "three"));
    ASSERT_TRUE(WaitUntil([this] { return Listed(3); }));
    ChooseOutput(out_);
    w.lvInput->setFocus();

    // Each button's Alt key, all different (the keys themselves reach the buttons through
    // the window system's shortcut handling, which a window never shown does not get).
    struct Mnemonic {
        QPushButton* button;
        const char* text;
        int key;
    };
    QSet<int> keys;
    for (const Mnemonic& m : {Mnemonic{w.bbSelectAll, "Select &All", Qt::Key_A},
                              Mnemonic{w.bbUnSelect, "&UnSelect", Qt::Key_U},
                              Mnemonic{w.bbEjectDisc, "&Eject Drive", Qt::Key_E},
                              Mnemonic{w.bbBrowse, "&Browse...", Qt::Key_B},
                              Mnemonic{w.bbConvert, "&Convert", Qt::Key_C}}) {
        EXPECT_EQ(m.button->text(), QString::fromLatin1(m.text));
        EXPECT_EQ(QKeySequence::mnemonic(m.button->text()), QKeySequence(Qt::ALT | m.key));
        keys.insert(m.key);
    }
    EXPECT_EQ(keys.size(), 5);
    const auto checked = [&] {
        QString marks;
        for (int row = 0; row < w.lvInput->rowCount(); ++row)
            marks += w.lvInput->item(row, 0)->checkState() == Qt::Checked ? 'x' : '-';
        return marks;
    };

    w.lvInput->setCurrentCell(0, 1);
    QTest::keyClick(w.lvInput, Qt::Key_Down);
    ASSERT_EQ(w.lvInput->currentRow(), 1);
    QTest::keyClick(w.lvInput, Qt::Key_Space);
    EXPECT_EQ(checked(), QStringLiteral("x-x"));
    w.lvInput->setCurrentCell(2, 0);
    QTest::keyClick(w.lvInput, Qt::Key_Space);
    EXPECT_EQ(checked(), QStringLiteral("x--"));
    QTest::keyClick(w.lvInput, Qt::Key_Space);
    EXPECT_EQ(checked(), QStringLiteral("x-x"));

    QTest::keyClick(w.lvInput, Qt::Key_Return);
    EXPECT_TRUE(WaitUntil([this] { return Idle(); }));
    EXPECT_EQ(QDir(out_).entryList(QDir::Files),
              (QStringList{QStringLiteral("Track1.wav"), QStringLiteral("Track3.wav")}));
    EXPECT_EQ(Count(OpenFolder), 1);
    EXPECT_EQ(w.focusWidget(), w.bbConvert);
}

// The window title says the place of the run's track (the checked tracks counted) while
// it runs, and is the designed caption again afterwards.
TEST_F(WindowTest, TheTitleShowsTheRunsPlace) {
    TfrmMain& w = Start(WriteDisc(ToneDisc({440, 550, 660}, 1), "three"));
    ASSERT_TRUE(WaitUntil([this] { return Listed(3); }));
    ChooseOutput(out_);
    w.lvInput->item(1, 0)->setCheckState(Qt::Unchecked);
    QStringList titles;
    QObject receiver;
    QObject::connect(&w, &QWidget::windowTitleChanged, &receiver,
                     [&](const QString& title) { titles << title; });
    for (int format : {0, 1}) {
        SCOPED_TRACE(format);
        titles.clear();
        ChooseFormat(format);
        Convert();
        EXPECT_EQ(titles, (QStringList{QStringLiteral("Tonvale - Track 1 of 2"),
                                       QStringLiteral("Tonvale - Track 2 of 2"),
                                       QStringLiteral("Tonvale 1.0")}));
        EXPECT_EQ(w.windowTitle(), QStringLiteral("Tonvale 1.0"));
    }
}

// At the designed client size every control lies inside its group's frame, below its
// title; the start panel's lines are one line each; the path field's tooltip is the
// whole path; Browse opens in the output folder (or its nearest parent that exists).
TEST_F(WindowTest, TheWindowsLookAtTheDesignedSize) {
    TfrmMain& w = Start(Path(QStringLiteral("none.cue")));
    EXPECT_EQ(w.size(), QSize(704, 513));
    for (QGroupBox* group : {w.gbOutput, w.gbBurn}) {
        SCOPED_TRACE(group->title().toStdString());
        EXPECT_TRUE(w.rect().contains(group->geometry()));
        const QRect inside = group->contentsRect();
        for (const QWidget* control : group->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
            EXPECT_TRUE(inside.contains(control->geometry()))
                << control->metaObject()->className() << " at " << control->y() << "+"
                << control->height() << " inside " << inside.y() << "+" << inside.height();
    }
    EXPECT_TRUE(w.panBack->isVisible());
    for (const QLabel* line : {w.labOne, w.labTwo, w.labThree}) {
        SCOPED_TRACE(line->text().toStdString());
        const QFontMetrics metrics(line->font());
        EXPECT_LE(metrics.horizontalAdvance(line->text()), line->width());
        EXPECT_LT(line->height(), 2 * metrics.lineSpacing());
        EXPECT_LE(line->geometry().right(), w.panBack->width());
    }

    EXPECT_EQ(w.edtOutPath->toolTip(), w.edtOutPath->text());
    const QString deep = out_ + QStringLiteral("/not/yet");
    for (const auto& [folder, shown] :
         {std::pair{out_ + QLatin1Char('/'), out_}, std::pair{deep, out_}}) {
        SCOPED_TRACE(folder.toStdString());
        QDir().mkpath(out_);
        w.OutputFolder = folder;
        Boxes().SetFolderAnswer(Path(QStringLiteral("chosen/")));
        QDir().mkpath(Path(QStringLiteral("chosen")));
        w.actBrowse->trigger();
        EXPECT_EQ(QDir::cleanPath(Boxes().FolderShown()), shown);
        EXPECT_EQ(w.edtOutPath->toolTip(), Path(QStringLiteral("chosen/")));
    }
}

TEST_F(WindowTest, ChoosingAFormatFillsThePresetsAndTheButtonsFollowTheList) {
    TfrmMain& w = Start(Path(QStringLiteral("none.cue")));
    EXPECT_FALSE(w.actConvert->isEnabled()); // an empty list
    ChooseFormat(1);
    ASSERT_EQ(w.cbPresets->count(), 4);
    EXPECT_EQ(w.cbPresets->currentText(),
              QStringLiteral("Standard Quality  (MP3, 128KBit, 44100Hz, STEREO)"));
    EXPECT_EQ(w.OutputExt, QStringLiteral(".mp3"));
    ChooseFormat(0);
    EXPECT_EQ(w.cbPresets->count(), 1);
    EXPECT_EQ(w.cbPresets->currentText(), QStringLiteral("WAV - Normal Quality Audio"));
    EXPECT_EQ(w.OutputExt, QStringLiteral(".wav"));

    // Browsing to a CD-ROM is refused; cancelling the dialog changes nothing.
    Boxes().SetFolderAnswer(std::nullopt);
    const QString before = w.edtOutPath->text();
    w.actBrowse->trigger();
    EXPECT_EQ(w.edtOutPath->text(), before);
    EXPECT_EQ(Boxes().FolderDialogs(), 1);

    // Nothing checked: the run is refused with its message.
    w.lvInput->setRowCount(16);
    for (int r = 0; r < 16; ++r) {
        auto* item = new QTableWidgetItem(QStringLiteral("Track%1").arg(r + 1));
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
        item->setCheckState(Qt::Unchecked);
        w.lvInput->setItem(r, 0, item);
    }
    w.lvInputChange();
    EXPECT_EQ(w.lvInput->columnWidth(2), 131);
    w.actSelectAllUpdate();
    w.actConvert->trigger();
    EXPECT_EQ(Boxes().Texts().back(),
              QStringLiteral("Please select the files to be converted, and click 'Convert' button "
                             "to start converting."));
    EXPECT_FALSE(w.Working());
    w.actSelectAll->trigger();
    EXPECT_EQ(w.lvInput->item(15, 0)->checkState(), Qt::Checked);
    w.actUnSelect->trigger();
    EXPECT_EQ(w.lvInput->item(0, 0)->checkState(), Qt::Unchecked);
}

TEST_F(WindowTest, ConversionProgressWithoutATotalLeavesTheBarAlone) {
    TfrmMain& w = Start(Path(QStringLiteral("none.cue")));
    w.SetWorkState(0);
    w.FFConverterProgress(0, 0, 0, 1500, 0, 0, 0, 3000);
    QCoreApplication::processEvents();
    EXPECT_EQ(w.pbProgress->value(), 50);
    EXPECT_EQ(w.labShowMessage->text(), QStringLiteral("Progress: 50.00%"));
    for (int total : {0, -1}) {
        w.FFConverterProgress(0, 0, 0, 2900, 0, 0, 0, total);
        QCoreApplication::processEvents();
        EXPECT_EQ(w.pbProgress->value(), 50);
    }
    w.SetWorkState(1);
    EXPECT_EQ(w.labShowMessage->text(), QString());
}

TEST_F(WindowTest, TheContactMenuOpensOnlyOnALeftClickAndMailsWithTheCaption) {
    TfrmMain& w = Start(Path(QStringLiteral("none.cue")));
    w.pmContact->setAttribute(Qt::WA_DontShowOnScreen);
    w.tbContactMouseDown(Qt::RightButton);
    EXPECT_FALSE(w.pmContact->isVisible());
    w.tbContactMouseDown(Qt::LeftButton);
    EXPECT_TRUE(w.pmContact->isVisible());
    w.pmContact->hide();
    w.pmEmailClick();
    w.pmOurSiteClick();
    ASSERT_EQ(opened_.size(), 2u);
    EXPECT_EQ(opened_[0].scheme(), QStringLiteral("mailto"));
    EXPECT_TRUE(
        opened_[0].query(QUrl::FullyDecoded).contains(QStringLiteral("subject=Tonvale 1.0")))
        << opened_[0].toString().toStdString();
    EXPECT_EQ(opened_[1].toString(), opened_[1].toString().toLower());
}

} // namespace
