// Runs a program as a child process the way a user's shell does, for the tests that
// drive tonvale-cli (and ffprobe/ffmpeg) from outside: its own environment with
// TONVALE_VIRTUAL_DRIVES set, a working folder, a umask, a file-size limit and a user;
// stdout and stderr collected, or closed early as "| head" closes them; signals sent once
// stderr shows a given text. Header-only.
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace childprocess {

inline std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

inline void WriteFile(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// How often part stands in text.
inline size_t Count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

struct TLaunch {
    // args[0] is the program: a path, or a name looked up on PATH.
    std::vector<std::string> args;
    std::string drives;           // TONVALE_VIRTUAL_DRIVES
    std::filesystem::path folder; // the working folder; empty: the test's own
    mode_t umask = 022;
    rlim_t maxFileSize = RLIM_INFINITY;
    // Once stderr shows stopOn, each of signals is sent in turn.
    std::string stopOn;
    std::vector<int> signals{SIGINT};
    uid_t user = 0; // run as this user and group (0: as the test; needs root otherwise)
    std::vector<std::string> env; // NAME=VALUE entries added to the environment
    // Once stdout (stderr) shows this text the test stops reading it and closes its end,
    // as "| head" does: the program's next write to it fails.
    std::string closeOutOn, closeErrOn;
};

struct TOutcome {
    int exitCode = -1;      // when it exited
    int killedBy = 0;       // when a signal ended it
    bool signalled = false; // the signals were sent
    std::string out, err;
    // The shell's view: the exit code, or 128 + the signal that ended it.
    int Status() const { return killedBy ? 128 + killedBy : exitCode; }
};

inline TOutcome Run(const TLaunch& launch) {
    // Everything the child needs is made before fork: a test may run a reader thread.
    std::vector<std::string> argStrings = launch.args;
    std::vector<char*> argv;
    for (std::string& arg : argStrings)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStrings;
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "TONVALE_VIRTUAL_DRIVES=", 23) != 0)
            envStrings.emplace_back(*e);
    envStrings.push_back("TONVALE_VIRTUAL_DRIVES=" + launch.drives);
    // First, so that they win over the test's own (getenv takes the first).
    envStrings.insert(envStrings.begin(), launch.env.begin(), launch.env.end());
    std::vector<char*> envp;
    for (std::string& e : envStrings)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    const std::string folder = launch.folder.string();
    if (argv.size() < 2) {
        ADD_FAILURE() << "no program to run";
        return {};
    }

    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return {};
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        ::umask(launch.umask);
        const rlimit limit{launch.maxFileSize, launch.maxFileSize};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        ::signal(SIGXFSZ, SIG_IGN); // a write past the limit fails with EFBIG instead
        if (launch.user != 0 && (::setgid(launch.user) != 0 || ::setuid(launch.user) != 0))
            ::_exit(126);
        if (folder.empty() || ::chdir(folder.c_str()) == 0) {
            if (std::strchr(argv[0], '/'))
                ::execve(argv[0], argv.data(), envp.data());
            else
                ::execvpe(argv[0], argv.data(), envp.data());
        }
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    TOutcome outcome;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&outcome.out, &outcome.err};
    const std::string* closeOn[2] = {&launch.closeOutOn, &launch.closeErrOn};
    for (int open = 2; open > 0;) {
        if (std::chrono::steady_clock::now() > deadline) {
            ADD_FAILURE() << launch.args[0] << " did not end; killed";
            ::kill(pid, SIGKILL);
            break;
        }
        if (::poll(fds, 2, 100) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP)))
                continue;
            char buffer[65536];
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(n));
                if (!closeOn[i]->empty() && sinks[i]->find(*closeOn[i]) != std::string::npos) {
                    ::close(fds[i].fd);
                    fds[i].fd = -1;
                    --open;
                }
            } else {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
        if (!outcome.signalled && !launch.stopOn.empty() &&
            outcome.err.find(launch.stopOn) != std::string::npos) {
            for (int signal : launch.signals) {
                ::kill(pid, signal);
                std::this_thread::sleep_for(std::chrono::milliseconds(2)); // one at a time
            }
            outcome.signalled = true;
        }
    }
    for (const pollfd& fd : fds)
        if (fd.fd >= 0)
            ::close(fd.fd);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (WIFEXITED(status))
        outcome.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        outcome.killedBy = WTERMSIG(status);
    return outcome;
}

} // namespace childprocess
