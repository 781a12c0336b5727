// Safe outputs: what a finished, an abandoned and a failed output leave behind
// for each kind of target (new name, regular file, symbolic link, hard link,
// FIFO), with mode, owner and umask kept, and the signal-time clean-up.
#include "SafeOutput.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class SafeOutputTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tonvale-safeio.XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string Path(const std::string& name) const { return (dir_ / name).string(); }
    static void Write(const std::string& path, const std::string& text) {
        std::ofstream(path, std::ios::binary) << text;
    }
    static std::string Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    static bool Put(safeio::TSafeOutput& out, const std::string& text) {
        return ::write(out.Fd(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
    }
    // Names in the folder, hidden ones included.
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir_))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    fs::path dir_;
};

TEST_F(SafeOutputTest, TheFileAppearsOnlyWhenCommittedAndAnAbandonedOneLeavesTheOldContent) {
    struct Case {
        const char* name;
        bool existing;
        bool commit;
    };
    for (const Case& c : {Case{"new-commit", false, true}, Case{"new-abandon", false, false},
                          Case{"old-commit", true, true}, Case{"old-abandon", true, false}}) {
        SCOPED_TRACE(c.name);
        const std::string target = Path(c.name);
        if (c.existing)
            Write(target, "old");
        {
            safeio::TSafeOutput out;
            ASSERT_TRUE(out.Open(target));
            EXPECT_FALSE(out.Direct());
            ASSERT_TRUE(Put(out, "new data"));
            // While it is written, the name shows what it showed before.
            EXPECT_EQ(fs::exists(target) ? Read(target) : "(none)", c.existing ? "old" : "(none)");
            if (c.commit) {
                ASSERT_TRUE(out.Commit());
            }
        }
        const std::string expected = c.commit ? "new data" : c.existing ? "old" : "(none)";
        EXPECT_EQ(fs::exists(target) ? Read(target) : "(none)", expected);
    }
    // No temporary file is left behind by any of them.
    EXPECT_EQ(Names(), (std::vector<std::string>{"new-commit", "old-abandon", "old-commit"}));
}

TEST_F(SafeOutputTest, ModeIsKeptAndNewFilesFollowTheUmask) {
    const std::string old = Path("old");
    Write(old, "old");
    ASSERT_EQ(::chmod(old.c_str(), 0640), 0);
    const mode_t saved = ::umask(027);
    for (const std::string& target : {old, Path("new")}) {
        safeio::TSafeOutput out;
        ASSERT_TRUE(out.Open(target));
        ASSERT_TRUE(Put(out, "x"));
        ASSERT_TRUE(out.Commit());
    }
    ::umask(saved);
    struct stat st {};
    ASSERT_EQ(::stat(old.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    ASSERT_EQ(::stat(Path("new").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u); // 0666 less 027
}

TEST_F(SafeOutputTest, LinksAreWrittenThroughAndHardLinksKeepSeeingTheData) {
    Write(Path("real"), "old");
    fs::create_symlink("real", Path("link"));
    fs::create_symlink("missing", Path("dangling"));
    Write(Path("hard1"), "old");
    fs::create_hard_link(Path("hard1"), Path("hard2"));
    for (const char* name : {"link", "dangling", "hard1"}) {
        SCOPED_TRACE(name);
        safeio::TSafeOutput out;
        ASSERT_TRUE(out.Open(Path(name)));
        ASSERT_TRUE(Put(out, std::string("via ") + name));
        ASSERT_TRUE(out.Commit());
    }
    EXPECT_TRUE(fs::is_symlink(Path("link")));
    EXPECT_EQ(Read(Path("real")), "via link");
    EXPECT_TRUE(fs::is_symlink(Path("dangling")));
    EXPECT_EQ(Read(Path("missing")), "via dangling");
    EXPECT_EQ(Read(Path("hard2")), "via hard1");
    EXPECT_EQ(fs::hard_link_count(Path("hard1")), 2u);
    EXPECT_EQ(Names(),
              (std::vector<std::string>{"dangling", "hard1", "hard2", "link", "missing", "real"}));
}

TEST_F(SafeOutputTest, AFifoIsWrittenInPlaceAndNeverReplaced) {
    const std::string fifo = Path("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::string received;
    std::thread reader([&] { received = Read(fifo); });
    {
        safeio::TSafeOutput out;
        ASSERT_TRUE(out.Open(fifo));
        EXPECT_TRUE(out.Direct());
        EXPECT_EQ(out.WritePath(), fifo);
        ASSERT_TRUE(Put(out, "through the pipe"));
        ASSERT_TRUE(out.Commit());
    }
    reader.join();
    EXPECT_EQ(received, "through the pipe");
    struct stat st {};
    ASSERT_EQ(::lstat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

TEST_F(SafeOutputTest, AFullDiscFailsTheWriteAndKeepsTheOldFile) {
    const std::string target = Path("full");
    Write(target, "old content");
    // A child with a file-size limit stands in for a full file system.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{4096, 4096};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        safeio::TSafeOutput out;
        if (!out.Open(target))
            ::_exit(3);
        const std::string block(1024, 'x');
        for (int i = 0; i < 16; ++i)
            if (!Put(out, block)) {
                out.Abandon(); // what every writer does when a write fails
                ::_exit(errno == EFBIG ? 0 : 4);
            }
        ::_exit(5);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(Read(target), "old content");
    EXPECT_EQ(Names(), std::vector<std::string>{"full"});
}

TEST_F(SafeOutputTest, PendingTemporaryFilesGoWhenASignalHandlerAsks) {
    const std::string target = Path("killed");
    Write(target, "old");
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGTERM, [](int) {
            safeio::RemovePendingOutputs();
            ::_exit(143);
        });
        safeio::TSafeOutput out;
        if (!out.Open(target) || !Put(out, "partial"))
            ::_exit(3);
        ::kill(::getpid(), SIGTERM);
        ::pause();
        ::_exit(4);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 143);
    EXPECT_EQ(Read(target), "old");
    EXPECT_EQ(Names(), std::vector<std::string>{"killed"});
}

// A file the process could not open for writing is not replaced either, though the folder
// would allow a new file in its place; a new name needs only the folder. Run as another
// user where the test runs as root, since root may write any file.
TEST_F(SafeOutputTest, AFileThatMayNotBeWrittenIsRefusedAndANewNameIsNot) {
    const bool root = ::geteuid() == 0;
    const uid_t user = root ? 65534 : ::geteuid(); // nobody
    ASSERT_EQ(::chmod(dir_.c_str(), 0777), 0);
    struct Case {
        const char* name;
        mode_t mode; // 0: no file
        uid_t owner;
        bool refused;
    };
    std::vector<Case> cases = {
        {"read-only", 0444, user, true},
        {"own", 0644, user, false},
        {"new", 0, user, false},
    };
    if (root) { // another user's files in a folder this user may write
        cases.push_back({"others", 0644, 0, true});
        cases.push_back({"others-writable", 0666, 0, false});
    }
    for (const Case& c : cases) {
        if (c.mode == 0)
            continue;
        Write(Path(c.name), "old");
        ASSERT_EQ(::chmod(Path(c.name).c_str(), c.mode), 0);
        if (root) {
            ASSERT_EQ(::chown(Path(c.name).c_str(), c.owner, c.owner), 0);
        }
    }
    fs::create_symlink("read-only", Path("link-to-read-only"));
    cases.push_back({"link-to-read-only", 0, user, true});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            if (root && (::setgid(user) != 0 || ::setuid(user) != 0))
                ::_exit(3);
            safeio::TSafeOutput out;
            if (!out.Open(Path(c.name)))
                ::_exit(errno == EACCES && out.ReadOnly() ? 1 : 4);
            ::_exit(Put(out, "new") && out.Commit() ? 0 : 5);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), c.refused ? 1 : 0);
        EXPECT_EQ(Read(Path(c.name)), c.refused ? "old" : "new");
    }
    // A refusal leaves no temporary file.
    for (const std::string& name : Names())
        EXPECT_NE(name[0], '.') << name;
}

TEST_F(SafeOutputTest, ImpossibleTargetsAreRefusedWithTheReason) {
    safeio::TSafeOutput out;
    EXPECT_FALSE(out.Open(""));
    EXPECT_FALSE(out.Open(dir_.string()));
    EXPECT_EQ(errno, EISDIR);
    EXPECT_FALSE(out.Open(Path("no/such/folder/file")));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(out.IsOpen());
}

} // namespace
