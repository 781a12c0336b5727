// tonvale-cli convert and probe run as the user runs them, in a child process,
// on WAV files made here: whatever fails, is refused, runs out of disc space or
// is stopped by a signal, every old output is left as it was and no partial or
// hidden temporary file remains; names that are links, FIFOs, not UTF-8 or hold
// ":" work; a failure is printed once.
#include "MediaTestUtil.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

struct TResult {
    int exitCode = -1; // 128 + n when the child died of signal n
    std::string err;   // its stderr
};

struct TRunOptions {
    rlim_t fileSizeLimit = RLIM_INFINITY;
    int signalOnProgress = 0; // sent once the first progress line appeared
};

// Runs tonvale-cli with `args` in `folder`.
TResult RunCli(const QByteArray& folder, const std::vector<QByteArray>& args,
               TRunOptions options = {}) {
    std::vector<QByteArray> all{QByteArray(TONVALE_CLI_PATH)};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (QByteArray& a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        return {};
    const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(pipeFds[1], 2);
        ::dup2(devNull, 1);
        if (options.fileSizeLimit != RLIM_INFINITY) {
            ::signal(SIGXFSZ, SIG_IGN); // writes then fail with EFBIG, as on a full disc
            const rlimit limit{options.fileSizeLimit, options.fileSizeLimit};
            ::setrlimit(RLIMIT_FSIZE, &limit);
        }
        if (::chdir(folder.constData()) == 0)
            ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    ::close(devNull);
    TResult result;
    bool signalled = false;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        result.err.append(buffer, static_cast<size_t>(n));
        if (options.signalOnProgress && !signalled &&
            result.err.find("convert ") != std::string::npos) {
            ::kill(pid, options.signalOnProgress);
            signalled = true;
        }
    }
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

int Count(const std::string& text, const std::string& part) {
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

class CliConvertTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        folder = QFile::encodeName(dir.path());
        ASSERT_TRUE(testutil::WriteWav(dir.filePath(QStringLiteral("in.wav")),
                                       testutil::SineTone(440, 44100, 2, 2), 44100, 2));
    }
    QByteArray File(const QByteArray& name) const { return folder + "/" + name; }
    void Write(const QByteArray& name, const QByteArray& data) const {
        QFile file(QFile::decodeName(File(name)));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(data);
    }
    QByteArray Read(const QByteArray& name) const {
        const int fd = ::open(File(name).constData(), O_RDONLY | O_CLOEXEC);
        QByteArray data;
        if (fd < 0)
            return "<missing>";
        char buffer[65536];
        ssize_t n;
        while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
            data.append(buffer, static_cast<qsizetype>(n));
        ::close(fd);
        return data;
    }
    bool Exists(const QByteArray& name) const {
        struct stat st {};
        return ::lstat(File(name).constData(), &st) == 0;
    }
    // Names in the folder that begin with ".": left-over temporary files.
    std::vector<std::string> HiddenFiles() const {
        std::vector<std::string> names;
        if (DIR* d = ::opendir(folder.constData())) {
            while (const dirent* e = ::readdir(d))
                if (e->d_name[0] == '.' && std::strcmp(e->d_name, ".") != 0 &&
                    std::strcmp(e->d_name, "..") != 0)
                    names.emplace_back(e->d_name);
            ::closedir(d);
        }
        return names;
    }

    QTemporaryDir dir;
    QByteArray folder;
};

// Every failure before or during the run: the old outputs stay as they were.
TEST_F(CliConvertTest, FailuresAndRefusalsLeaveEveryOldOutputAsItWas) {
    const struct {
        const char* what;
        std::vector<QByteArray> args;
        int exitCode;
        const char* message; // printed exactly once
    } cases[] = {
        {"one input of several is missing",
         {"convert", "-i", "in.wav", "a.mp3", "-i", "missing.wav", "b.mp3", "-i", "in.wav",
          "c.mp3"},
         1,
         "missing.wav"},
        {"the encoder cannot open",
         {"convert", "-i", "in.wav", "-ar", "1000000000", "a.mp3"},
         1,
         "Error while opening encoder"},
        {"an output named twice",
         {"convert", "-i", "in.wav", "a.mp3", "-i", "in.wav", "b.mp3", "-i", "in.wav",
          "./sub/../a.mp3"},
         2,
         "named more than once"},
        {"an output named twice through a link",
         {"convert", "-i", "in.wav", "b.mp3", "-i", "in.wav", "link.mp3"},
         2,
         "named more than once"},
        {"an unknown option",
         {"convert", "-i", "in.wav", "a.mp3", "-i", "in.wav", "-nosuchoption", "1", "b.mp3"},
         2,
         "unknown option '-nosuchoption'"},
        {"a value the library refuses",
         {"convert", "-i", "in.wav", "a.mp3", "-i", "in.wav", "-ab", "abc", "b.mp3"},
         2,
         "Invalid value \"abc\" for option \"ab\""},
        {"a value the engine refuses",
         {"convert", "-i", "in.wav", "a.mp3", "-i", "in.wav", "-f", "nosuchformat", "b.mp3"},
         2,
         "Unknown input or output format: nosuchformat"},
    };
    ASSERT_TRUE(QDir(dir.path()).mkpath(QStringLiteral("sub")));
    ASSERT_EQ(::symlink("b.mp3", File("link.mp3").constData()), 0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        for (const char* name : {"a.mp3", "b.mp3", "c.mp3"})
            Write(name, QByteArray("old ") + name);
        const TResult r = RunCli(folder, c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
        EXPECT_EQ(Count(r.err, c.message), 1) << r.err;
        for (const char* name : {"a.mp3", "b.mp3", "c.mp3"})
            EXPECT_EQ(Read(name), QByteArray("old ") + name);
        EXPECT_TRUE(HiddenFiles().empty());
    }
}

// More pairs than threads: the longest input runs first, whatever the order given.
TEST_F(CliConvertTest, LongestInputsRunFirst) {
    const int seconds[] = {1, 4, 2};
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(testutil::WriteWav(dir.filePath(QStringLiteral("s%1.wav").arg(i)),
                                       testutil::SineTone(440, 44100, 2, seconds[i]), 44100, 2));
    const TResult r = RunCli(folder, {"convert", "--threads", "1", "-i", "s0.wav", "o0.mp3", "-i",
                                      "s1.wav", "o1.mp3", "-i", "s2.wav", "o2.mp3"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    auto finished = [&](const char* name) {
        struct stat st {};
        EXPECT_EQ(::stat(File(name).constData(), &st), 0) << name;
        return st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
    };
    EXPECT_LT(finished("o1.mp3"), finished("o2.mp3"));
    EXPECT_LT(finished("o2.mp3"), finished("o0.mp3"));
}

TEST_F(CliConvertTest, AFullDiscLeavesTheOldFileAndNoPartialOne) {
    ASSERT_TRUE(testutil::WriteWav(dir.filePath(QStringLiteral("long.wav")),
                                   testutil::SineTone(440, 44100, 2, 10), 44100, 2));
    Write("out.wav", "old content");
    TRunOptions options;
    options.fileSizeLimit = 256 * 1024; // the 10 s input makes 1.7 MB
    const TResult r = RunCli(folder, {"convert", "--quiet", "-i", "long.wav", "out.wav"}, options);
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_EQ(Read("out.wav"), "old content");
    EXPECT_TRUE(HiddenFiles().empty());
}

// Stopped during the first of three pairs (read at the input's own pace, so
// the run is surely still going): the first output keeps its old content, the
// third, which never started, is not created.
TEST_F(CliConvertTest, ASignalStopsTheRunAndLeavesEveryOutputAsItWas) {
    ASSERT_TRUE(testutil::WriteWav(dir.filePath(QStringLiteral("long.wav")),
                                   testutil::SineTone(440, 44100, 2, 20), 44100, 2));
    const struct {
        int signal;
        int exitCode;
    } cases[] = {{SIGINT, 130}, {SIGTERM, 143}, {SIGHUP, 129}};
    for (const auto& c : cases) {
        SCOPED_TRACE(strsignal(c.signal));
        Write("p1.mp3", "old 1");
        Write("p2.mp3", "old 2");
        QFile::remove(QFile::decodeName(File("p3.mp3")));
        TRunOptions options;
        options.signalOnProgress = c.signal;
        const TResult r = RunCli(folder,
                                 {"convert", "-re", "1", "-i", "long.wav", "p1.mp3", "-re", "1",
                                  "-i", "long.wav", "p2.mp3", "-i", "long.wav", "p3.mp3"},
                                 options);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
        EXPECT_EQ(Count(r.err, "stopped"), 1) << r.err;
        EXPECT_EQ(Read("p1.mp3"), "old 1");
        EXPECT_EQ(Read("p2.mp3"), "old 2");
        EXPECT_FALSE(Exists("p3.mp3"));
        EXPECT_TRUE(HiddenFiles().empty());
    }
}

// Targets of every kind get the converted data; the name stays what it was.
TEST_F(CliConvertTest, LinksFifosAndAnyBytesWorkAsNames) {
    // A symbolic link: the file it leads to is replaced, the link stays, and
    // the replaced file keeps its mode.
    Write("target.wav", "old");
    ASSERT_EQ(::chmod(File("target.wav").constData(), 0640), 0);
    ASSERT_EQ(::symlink("target.wav", File("link.wav").constData()), 0);
    TResult r = RunCli(folder, {"convert", "--quiet", "-i", "in.wav", "link.wav"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    struct stat st {};
    ASSERT_EQ(::lstat(File("link.wav").constData(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_TRUE(Read("target.wav").startsWith("RIFF"));
    ASSERT_EQ(::stat(File("target.wav").constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);

    // A FIFO is written in place, never replaced.
    ASSERT_EQ(::mkfifo(File("fifo.wav").constData(), 0600), 0);
    QByteArray fromFifo;
    std::thread reader([&] { fromFifo = Read("fifo.wav"); });
    r = RunCli(folder, {"convert", "--quiet", "-i", "in.wav", "fifo.wav"});
    reader.join();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(fromFifo.startsWith("RIFF"));
    EXPECT_GT(fromFifo.size(), 44 * 1000);
    ASSERT_EQ(::lstat(File("fifo.wav").constData(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));

    // Names that are not UTF-8 and names holding ":" as input and as output.
    const QByteArray latin1 = "caf\xe9.wav", broken = "out\xff\xfe.wav", colon = "a:b.wav";
    ASSERT_EQ(::link(File("in.wav").constData(), File(latin1).constData()), 0);
    for (const auto& [input, output] : {std::pair{latin1, broken}, std::pair{broken, colon},
                                        std::pair{colon, QByteArray("back.wav")}}) {
        SCOPED_TRACE(input.toStdString() + " -> " + output.toStdString());
        r = RunCli(folder, {"convert", "--quiet", "-i", input, output});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_TRUE(Read(output).startsWith("RIFF"));
        r = RunCli(folder, {"probe", output});
        EXPECT_EQ(r.exitCode, 0) << r.err;
    }
    EXPECT_FALSE(Exists("out\xef\xbf\xbd\xef\xbf\xbd.wav")); // no U+FFFD stand-in
    EXPECT_TRUE(HiddenFiles().empty());
    // QTemporaryDir cannot reach these names to remove them.
    for (const QByteArray& name : {latin1, broken})
        ::unlink(File(name).constData());
}

} // namespace
