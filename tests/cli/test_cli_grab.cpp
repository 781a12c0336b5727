// `tonvale-cli grab`, `toc` and `drives` run as a child process on disc images written here:
// what a grab leaves behind for each kind of target (new name, old file, links, FIFO,
// names that are not UTF-8), when it is stopped by a signal, killed or runs out of space,
// and what a broken disc image makes the commands say.
#include "ChildProcess.h"
#include "DiscImage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

using childprocess::Count;
using childprocess::ReadFile;
using childprocess::WriteFile;

// The file still holds the "old" the test wrote (said without printing a whole track).
::testing::AssertionResult HoldsOld(const fs::path& path) {
    const std::string content = ReadFile(path);
    if (content == "old")
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << path << " holds " << content.size() << " bytes, beginning \"" << content.substr(0, 4)
           << "\", not \"old\"";
}

// Names in a folder, hidden ones included, sorted.
std::vector<std::string> Names(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

struct Launch {
    std::vector<std::string> args; // after the program's name
    std::string drives;            // TONVALE_VIRTUAL_DRIVES
    fs::path folder;               // the working folder
    mode_t umask = 022;
    rlim_t maxFileSize = RLIM_INFINITY;
    // Sent in turn once the grab has copied a tenth of the track.
    std::vector<int> signalsMidGrab;
    uid_t user = 0;               // run as this user (0: as the test)
    std::vector<std::string> env; // NAME=VALUE added to the environment
    std::string closeErrOn;       // stderr is closed once it shows this
};

using Outcome = childprocess::TOutcome;

Outcome RunCli(const Launch& launch) {
    childprocess::TLaunch child;
    child.args = {TONVALE_CLI_PATH};
    child.args.insert(child.args.end(), launch.args.begin(), launch.args.end());
    child.drives = launch.drives;
    child.folder = launch.folder;
    child.umask = launch.umask;
    child.maxFileSize = launch.maxFileSize;
    child.user = launch.user;
    child.env = launch.env;
    child.closeErrOn = launch.closeErrOn;
    if (!launch.signalsMidGrab.empty()) {
        child.stopOn = "Track 1 10%";
        child.signals = launch.signalsMidGrab;
    }
    return childprocess::Run(child);
}

std::string Noise(size_t bytes, uint32_t seed) {
    std::string pcm(bytes, '\0');
    std::mt19937 random(seed);
    for (char& c : pcm)
        c = static_cast<char>(random());
    return pcm;
}

discimage::Track NoiseTrack(uint32_t sectors, uint32_t seed) {
    const std::string pcm = Noise(size_t{sectors} * discimage::kSectorBytes, seed);
    return discimage::AudioTrackFromPcm(std::vector<uint8_t>(pcm.begin(), pcm.end()));
}

class GrabCliTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        char pattern[] = "/tmp/tonvale-cli-grab.XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        images_ = pattern;
        discimage::Disc shortDisc;
        shortDisc.tracks = {NoiseTrack(200, 1), NoiseTrack(150, 2)};
        shortCue_ = discimage::WriteCueBin(shortDisc, images_, "short").cuePath;
        for (const discimage::Track& track : shortDisc.tracks) {
            const std::vector<uint8_t> pcm = discimage::TrackPcm(track);
            trackPcm_.emplace_back(pcm.begin(), pcm.end());
        }
        // Long enough that a signal sent at 10 % arrives well before the end.
        discimage::Disc longDisc;
        longDisc.tracks = {discimage::ToneTrack(600, 440)};
        longCue_ = discimage::WriteCueBin(longDisc, images_, "long").cuePath;
    }
    static void TearDownTestSuite() { fs::remove_all(images_); }

    void SetUp() override {
        dir_ = images_ / ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    // A WAV holding exactly track `track` (from 1) of the short disc.
    static void ExpectTrack(const std::string& wav, int track) {
        const std::string& pcm = trackPcm_.at(static_cast<size_t>(track - 1));
        ASSERT_EQ(wav.size(), 44 + pcm.size());
        EXPECT_EQ(wav.substr(0, 4), "RIFF");
        EXPECT_TRUE(wav.compare(44, std::string::npos, pcm) == 0) << "PCM of track " << track;
    }

    Launch Grab(int track, const std::string& target, const std::string& cue = shortCue_) const {
        return Launch{{"grab", std::to_string(track), target}, cue, dir_};
    }

    static inline fs::path images_;
    static inline std::string shortCue_, longCue_;
    static inline std::vector<std::string> trackPcm_;
    fs::path dir_;
};

TEST_F(GrabCliTest, ATargetThatExistsIsReplacedKeepingWhatItIs) {
    struct stat st {};
    // A file with its own mode (and, where the test may give it away, owner).
    WriteFile(dir_ / "mode.wav", "old");
    ASSERT_EQ(::chmod((dir_ / "mode.wav").c_str(), 0640), 0);
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown((dir_ / "mode.wav").c_str(), 4321, 4322), 0);
    }
    // A symbolic link to a file, and a file with two names.
    WriteFile(dir_ / "real.wav", "old");
    fs::create_symlink("real.wav", dir_ / "link.wav");
    WriteFile(dir_ / "hard1.wav", "old");
    fs::create_hard_link(dir_ / "hard1.wav", dir_ / "hard2.wav");

    for (const char* target : {"mode.wav", "link.wav", "hard1.wav"}) {
        SCOPED_TRACE(target);
        const Outcome run = RunCli(Grab(1, target));
        EXPECT_EQ(run.exitCode, 0) << run.err;
    }
    ExpectTrack(ReadFile(dir_ / "mode.wav"), 1);
    ASSERT_EQ(::stat((dir_ / "mode.wav").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    if (root) {
        EXPECT_EQ(st.st_uid, 4321u);
        EXPECT_EQ(st.st_gid, 4322u);
    }
    EXPECT_TRUE(fs::is_symlink(dir_ / "link.wav"));
    ExpectTrack(ReadFile(dir_ / "real.wav"), 1);
    EXPECT_EQ(fs::hard_link_count(dir_ / "hard1.wav"), 2u);
    ExpectTrack(ReadFile(dir_ / "hard2.wav"), 1);
    EXPECT_EQ(Names(dir_), (std::vector<std::string>{"hard1.wav", "hard2.wav", "link.wav",
                                                     "mode.wav", "real.wav"}));
}

// A file the user could not open for writing is not replaced, as cp would not replace it:
// a read-only file, and (run as another user, where the test is root) someone else's file
// in a folder the user may write. A new name beside them is written.
TEST_F(GrabCliTest, AFileTheUserMayNotWriteIsNotReplaced) {
    const bool root = ::geteuid() == 0;
    const uid_t user = root ? 65534 : 0; // nobody
    ASSERT_EQ(::chmod(images_.c_str(), 0755), 0);
    ASSERT_EQ(::chmod(dir_.c_str(), 0777), 0);
    std::vector<std::pair<std::string, mode_t>> refused{{"ro.wav", 0444}};
    if (root)
        refused.emplace_back("others.wav", 0644); // stays root's
    for (const auto& [name, mode] : refused) {
        SCOPED_TRACE(name);
        WriteFile(dir_ / name, "old");
        ASSERT_EQ(::chmod((dir_ / name).c_str(), mode), 0);
        if (root && name == "ro.wav") {
            ASSERT_EQ(::chown((dir_ / name).c_str(), user, user), 0);
        }
        Launch launch = Grab(1, name);
        launch.user = user;
        const Outcome run = RunCli(launch);
        EXPECT_EQ(run.exitCode, 1) << run.err;
        EXPECT_EQ(Count(run.err, (dir_ / name).string() + " is read-only"), 1u) << run.err;
        EXPECT_EQ(Count(run.err, "tonvale-cli: "), 1u) << run.err;
        EXPECT_TRUE(HoldsOld(dir_ / name));
    }
    Launch launch = Grab(2, "new.wav");
    launch.user = user;
    const Outcome run = RunCli(launch);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    ExpectTrack(ReadFile(dir_ / "new.wav"), 2);
    for (const std::string& name : Names(dir_))
        EXPECT_NE(name[0], '.') << name;
}

TEST_F(GrabCliTest, ANewFileFollowsTheUmask) {
    for (const mode_t umask : {mode_t{027}, mode_t{077}}) {
        const std::string name = "new" + std::to_string(umask) + ".wav";
        Launch launch = Grab(2, name);
        launch.umask = umask;
        const Outcome run = RunCli(launch);
        ASSERT_EQ(run.exitCode, 0) << run.err;
        struct stat st {};
        ASSERT_EQ(::stat((dir_ / name).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0666u & ~umask) << name;
        ExpectTrack(ReadFile(dir_ / name), 2);
    }
}

TEST_F(GrabCliTest, AFifoIsWrittenInPlace) {
    const fs::path fifo = dir_ / "pipe";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::string received;
    std::thread reader([&] { received = ReadFile(fifo); });
    // The test holds a writer end too, so that the reader ends (when it is closed) even
    // if the grab never writes into the FIFO.
    const int writer = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
    const Outcome run = RunCli(Grab(1, "pipe"));
    if (writer >= 0)
        ::close(writer);
    reader.join();
    ASSERT_GE(writer, 0) << std::strerror(errno);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    ExpectTrack(received, 1);
    struct stat st {};
    ASSERT_EQ(::lstat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(Names(dir_), std::vector<std::string>{"pipe"});
}

TEST_F(GrabCliTest, NamesThatAreNotUtf8AreWrittenUnderTheirOwnBytes) {
    // Both names read "\uFFFD.wav" once decoded: they must still be two files. The folder's
    // name is not UTF-8 either, and one target is given relative to it.
    const fs::path folder = dir_ / "\xe9t\xe9";
    fs::create_directories(folder);
    Launch first = Grab(1, "\xff.wav");
    first.folder = folder;
    Launch second = Grab(2, (folder / "\xfe.wav").string());
    for (const Launch& launch : {first, second}) {
        const Outcome run = RunCli(launch);
        EXPECT_EQ(run.exitCode, 0) << run.err;
    }
    EXPECT_EQ(Names(folder), (std::vector<std::string>{"\xfe.wav", "\xff.wav"}));
    ExpectTrack(ReadFile(folder / "\xff.wav"), 1);
    ExpectTrack(ReadFile(folder / "\xfe.wav"), 2);
}

TEST_F(GrabCliTest, AStopSignalMidGrabLeavesTheOldFileAndNothingElse) {
    struct Case {
        const char* name;
        std::vector<int> signals;
        std::vector<int> exitCodes; // empty: killed
        bool tidy;                  // no temporary file is left
    } cases[] = {
        {"SIGINT", {SIGINT}, {130}, true},
        {"SIGTERM", {SIGTERM}, {143}, true},
        {"SIGHUP", {SIGHUP}, {129}, true},
        // Two signals at once (held back while the program is stopped): the second ends it
        // at once, from the signal handler, and still removes the temporary file.
        {"two at once", {SIGSTOP, SIGINT, SIGTERM, SIGCONT}, {130, 143}, true},
        // Cannot be handled: the old file is still whole, a temporary file may stay.
        {"SIGKILL", {SIGKILL}, {}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path folder = dir_ / c.name;
        fs::create_directories(folder);
        WriteFile(folder / "track.wav", "old");
        Launch launch = Grab(1, "track.wav", longCue_);
        launch.folder = folder;
        launch.signalsMidGrab = c.signals;
        const Outcome run = RunCli(launch);
        ASSERT_TRUE(run.signalled) << "the grab ended before it reached 10 %: " << run.err;
        if (c.exitCodes.empty()) {
            EXPECT_EQ(run.killedBy, SIGKILL);
        } else {
            const bool expected = std::find(c.exitCodes.begin(), c.exitCodes.end(), run.exitCode) !=
                                  c.exitCodes.end();
            EXPECT_TRUE(expected) << "exit " << run.exitCode << ", signal " << run.killedBy << "\n"
                                  << run.err;
        }
        EXPECT_TRUE(HoldsOld(folder / "track.wav"));
        if (c.tidy) {
            EXPECT_EQ(Names(folder), std::vector<std::string>{"track.wav"});
        }
    }
}

// "grab 1 track.wav 2>&1 | head -1": the first progress line is read, then the pipe is
// closed. The next write fails, and the grab stops as SIGPIPE would have stopped it, but
// cleanly: the old file stays, no temporary file is left, the exit code is 141.
TEST_F(GrabCliTest, AClosedPipeStopsTheGrabAndLeavesTheOldFile) {
    WriteFile(dir_ / "track.wav", "old");
    Launch launch = Grab(1, "track.wav", longCue_);
    // 12 s for the 10-minute track: the pipe is closed long before the next line.
    launch.env = {"TONVALE_VIRTUAL_SPEED=50"};
    launch.closeErrOn = "Track 1 0%\n";
    const Outcome run = RunCli(launch);
    EXPECT_EQ(run.exitCode, 141) << run.err;
    EXPECT_EQ(run.killedBy, 0);
    EXPECT_TRUE(HoldsOld(dir_ / "track.wav"));
    EXPECT_EQ(Names(dir_), std::vector<std::string>{"track.wav"});
}

TEST_F(GrabCliTest, AFullDiscFailsOnceAndKeepsTheOldFile) {
    WriteFile(dir_ / "track.wav", "old");
    Launch launch = Grab(1, "track.wav");
    launch.maxFileSize = 64 * 1024; // the track is 470 KB
    const Outcome run = RunCli(launch);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(Count(run.err, "File too large"), 1u) << run.err;
    EXPECT_EQ(Count(run.err, "tonvale-cli: "), 1u) << run.err;
    EXPECT_TRUE(HoldsOld(dir_ / "track.wav"));
    EXPECT_EQ(Names(dir_), std::vector<std::string>{"track.wav"});
}

TEST_F(GrabCliTest, ABrokenDiscImageSaysWhyOnce) {
    // A CUE whose BIN is missing, and CUE sheets with a line the parser refuses.
    const std::string sheet = "FILE \"x.bin\" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n";
    WriteFile(dir_ / "nobin.cue", sheet);
    WriteFile(dir_ / "keyword.cue", "FILE \"x.bin\" BINARY\n  TRACK 01 AUDIO\n  BOGUS 1\n");
    WriteFile(dir_ / "keyword.bin", std::string(100 * discimage::kSectorBytes, '\0'));
    WriteFile(dir_ / "time.cue", sheet + "  TRACK 02 AUDIO\n    INDEX 01 99:99:99\n");
    WriteFile(dir_ / "time.bin", std::string(100 * discimage::kSectorBytes, '\0'));
    // The BIN the FILE line names is there, but not the one named like the CUE sheet.
    WriteFile(dir_ / "other.cue", "FILE \"present.bin\" BINARY\n  TRACK 01 AUDIO\n"
                                  "    INDEX 01 00:00:00\n");
    WriteFile(dir_ / "present.bin", std::string(100 * discimage::kSectorBytes, '\0'));
    // The parser's message quotes the image's text: its control characters stay out.
    WriteFile(dir_ / "escape.cue", "FILE \"x.bin\" BINARY\n  TRACK 01 AUDIO\n  BO\x1b[2JGUS 1\n");
    WriteFile(dir_ / "escape.bin", std::string(100 * discimage::kSectorBytes, '\0'));
    WriteFile(dir_ / "track.wav", "old");
    struct Image {
        std::string cue;
        std::string reason;
    } images[] = {
        {"nobin.cue", "BIN file " + (dir_ / "x.bin").string() + " not found"},
        {"other.cue", "BIN file " + (dir_ / "other.bin").string() +
                          " not found: the image is read from the BIN file named like its CUE "
                          "sheet, not from " +
                          (dir_ / "present.bin").string()},
        {"keyword.cue", "line 3: unrecognized keyword: BOGUS"},
        {"escape.cue", "line 3: unrecognized keyword: BO[2JGUS"},
        {"time.cue", "line 5: after word INDEX: Invalid MSF string 99:99:99"},
    };
    struct Command {
        std::vector<std::string> args;
        int exitCode;
    } commands[] = {{{"toc"}, 1}, {{"drives"}, 0}, {{"grab", "1", "track.wav"}, 1}};
    for (const Image& image : images) {
        for (const Command& command : commands) {
            SCOPED_TRACE(image.cue + " " + command.args[0]);
            const Outcome run = RunCli({command.args, (dir_ / image.cue).string(), dir_});
            EXPECT_EQ(run.exitCode, command.exitCode) << run.err;
            EXPECT_EQ(Count(run.out + run.err, image.reason), 1u) << run.out << run.err;
            EXPECT_EQ(Count(run.err, "No audio CD"), 0u) << run.err;
            EXPECT_EQ(Count(run.out + run.err, "\x1b"), 0u);
        }
    }
    EXPECT_TRUE(HoldsOld(dir_ / "track.wav"));
}

// Mistakes on the command line are usage errors (exit 2) that say what is wrong, once,
// before any drive is opened.
TEST_F(GrabCliTest, UsageMistakesSayWhatIsWrong) {
    const struct {
        std::vector<std::string> args;
        std::string says;
    } cases[] = {
        {{"grab", "1", ""}, "FILE.wav must be a file name, not an empty text"},
        {{"grab", "--drive", "0", "--drive=0", "1", "t.wav"},
         "option '--drive' is given more than once"},
        {{"toc", "--json", "--json"}, "option '--json' is given more than once"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.says);
        const Outcome run = RunCli({c.args, shortCue_, dir_});
        EXPECT_EQ(run.exitCode, 2) << run.err;
        EXPECT_EQ(Count(run.err, "tonvale-cli: " + c.says + "\n"), 1u) << run.err;
        EXPECT_EQ(Count(run.err, "tonvale-cli: "), 1u) << run.err;
        EXPECT_TRUE(Names(dir_).empty());
    }
}

// The disc's title is shown as the drive's label; a terminal must not get its control
// characters (ESC, BEL, the C1 ones) as commands.
TEST_F(GrabCliTest, TheDiscsTextReachesTheTerminalWithoutControlCharacters) {
    WriteFile(dir_ / "text.cue", "TITLE \"La\x1b]0;x\x07"
                                 "b\xc2\x85"
                                 "el\x7f\"\nFILE \"text.bin\" BINARY\n"
                                 "  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n");
    WriteFile(dir_ / "text.bin", std::string(100 * discimage::kSectorBytes, '\0'));
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"drives"}, std::vector<std::string>{"drives", "--json"}}) {
        const Outcome run = RunCli({args, (dir_ / "text.cue").string(), dir_});
        EXPECT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(Count(run.out, "La]0;xbel"), 1u) << run.out;
        for (const char* control : {"\x1b", "\x07", "\xc2\x85", "\x7f"})
            EXPECT_EQ(Count(run.out, control), 0u) << run.out;
    }
}

TEST_F(GrabCliTest, AStopEndsAGrabBlockedInIoWithinTheGrace) {
    // The test holds the FIFO's read end and never reads: the grab blocks once the pipe is
    // full, in a write that may never look at the stop.
    const fs::path fifo = dir_ / "pipe";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::setenv("TONVALE_VIRTUAL_DRIVES", longCue_.c_str(), 1);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::execl(TONVALE_CLI_PATH, TONVALE_CLI_PATH, "grab", "1", fifo.c_str(),
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    int status = 0;
    pid_t ended = 0;
    const auto sent = std::chrono::steady_clock::now();
    while ((ended = ::waitpid(pid, &status, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() - sent < std::chrono::seconds(60))
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ::close(reader);
    if (ended == 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        FAIL() << "the grab did not end after SIGTERM";
    }
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 128 + SIGTERM);
    struct stat st {};
    ASSERT_EQ(::lstat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(Names(dir_), std::vector<std::string>{"pipe"});
}

} // namespace
