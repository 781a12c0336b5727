// Replayed drives: a drive provider for the drive library whose drives answer MMC commands
// from tables written in the tests, the way a recorded drive would answer them. A command
// no answer matches is refused as a real drive refuses an unknown command (sense 5/20/00).
// Time passes only when the library pauses (waiting for a drive to become ready).
#pragma once

#include "MmcTransport.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace replay {

constexpr int kAny = -1;

// One answer: to a command whose first bytes are cdb (kAny matches any byte).
struct Answer {
    std::vector<int> cdb;
    std::vector<uint8_t> data;          // what a read returns (cut to the length asked for)
    uint8_t key = 0, asc = 0, ascq = 0; // a key: the drive refuses the command with this sense
    int driverStatus = 0;               // non-zero: the system refuses it (no sense data)
    int times = -1;                     // given this often, then the next that matches (-1: ever)
    // Set: what a read returns is made for each command from its block (a generated disc).
    std::function<std::vector<uint8_t>(const std::vector<uint8_t>& cdb)> make;
};

// A refusal with sense data.
inline Answer Refuse(std::vector<int> cdb, uint8_t key, uint8_t asc, uint8_t ascq, int times = -1) {
    Answer a{std::move(cdb)};
    a.key = key;
    a.asc = asc;
    a.ascq = ascq;
    a.times = times;
    return a;
}

// One replayed drive, shared by every transport opened on it.
class Drive {
public:
    explicit Drive(std::vector<Answer> answers) : answers_(std::move(answers)) {}

    // A new disc: the next command is answered with a unit attention (6/28/00, the medium
    // may have changed), then the disc's answers apply.
    void Change(std::vector<Answer> answers) {
        std::lock_guard lock(mutex_);
        answers_ = std::move(answers);
        attention_ = true;
    }
    // The command blocks sent so far, in order.
    std::vector<std::vector<uint8_t>> Commands() const {
        std::lock_guard lock(mutex_);
        return commands_;
    }
    // How many commands with this operation code were sent.
    int Count(uint8_t opcode) const {
        int n = 0;
        for (const auto& c : Commands())
            n += c[0] == opcode;
        return n;
    }
    std::chrono::steady_clock::time_point Now() const {
        std::lock_guard lock(mutex_);
        return now_;
    }
    void Pass(std::chrono::milliseconds duration) {
        std::lock_guard lock(mutex_);
        now_ += duration;
    }

    vantrell::MmcResult Run(const uint8_t* cdb, size_t cdbLength, void* buffer, size_t length) {
        std::lock_guard lock(mutex_);
        commands_.emplace_back(cdb, cdb + cdbLength);
        vantrell::MmcResult result;
        if (attention_) {
            attention_ = false;
            return Sensed(6, 0x28, 0x00);
        }
        for (Answer& a : answers_) {
            if (a.times == 0 || !Matches(a, cdb, cdbLength))
                continue;
            if (a.times > 0)
                --a.times;
            if (a.driverStatus) {
                result.driverStatus = a.driverStatus;
                return result;
            }
            if (a.key)
                return Sensed(a.key, a.asc, a.ascq);
            const std::vector<uint8_t> data = a.make ? a.make(commands_.back()) : a.data;
            if (buffer)
                std::memcpy(buffer, data.data(), std::min(length, data.size()));
            return result;
        }
        return Sensed(5, 0x20, 0x00); // invalid command operation code
    }

private:
    static bool Matches(const Answer& a, const uint8_t* cdb, size_t cdbLength) {
        if (a.cdb.size() > cdbLength)
            return false;
        for (size_t i = 0; i < a.cdb.size(); ++i)
            if (a.cdb[i] != kAny && a.cdb[i] != cdb[i])
                return false;
        return true;
    }
    static vantrell::MmcResult Sensed(uint8_t key, uint8_t asc, uint8_t ascq) {
        vantrell::MmcResult r;
        r.driverStatus = -1; // DRIVER_OP_ERROR: the command ended with CHECK CONDITION
        r.senseKey = key;
        r.asc = asc;
        r.ascq = ascq;
        return r;
    }

    mutable std::mutex mutex_;
    std::vector<Answer> answers_;
    bool attention_ = false;
    std::vector<std::vector<uint8_t>> commands_;
    std::chrono::steady_clock::time_point now_{};
};

class Transport final : public vantrell::MmcTransport {
public:
    explicit Transport(std::shared_ptr<Drive> drive) : drive_(std::move(drive)) {}
    vantrell::MmcResult Run(const uint8_t* cdb, size_t cdbLength, vantrell::MmcDirection,
                            void* buffer, size_t length, unsigned) override {
        return drive_->Run(cdb, cdbLength, buffer, length);
    }
    std::chrono::steady_clock::time_point Now() override { return drive_->Now(); }
    void Pause(std::chrono::milliseconds duration) override { drive_->Pass(duration); }

private:
    std::shared_ptr<Drive> drive_;
};

// The machine's drives as the test has them: each a path with a replayed drive, or an
// errno that opening it fails with (EACCES: the user is not in the cdrom group).
class Provider final : public vantrell::DriveProvider {
public:
    struct Entry {
        std::string path;
        std::shared_ptr<Drive> drive;
        int openError = 0;
    };
    explicit Provider(std::vector<Entry> entries) : entries_(std::move(entries)) {}

    std::vector<std::string> Devices() override {
        std::vector<std::string> paths;
        for (const Entry& e : entries_)
            paths.push_back(e.path);
        return paths;
    }
    std::unique_ptr<vantrell::MmcTransport> Open(const std::string& path, int& error) override {
        for (const Entry& e : entries_) {
            if (e.path != path)
                continue;
            if (e.openError) {
                error = e.openError;
                return nullptr;
            }
            return std::make_unique<Transport>(e.drive);
        }
        error = ENOENT;
        return nullptr;
    }
    // SCSI address 1:0:k:0 for the k-th drive.
    bool Address(const std::string& path, VantrellDeviceAddress& address) override {
        for (size_t k = 0; k < entries_.size(); ++k)
            if (entries_[k].path == path) {
                address = {1, 1, 0, static_cast<uint8_t>(k), 0};
                return true;
            }
        return false;
    }

private:
    std::vector<Entry> entries_;
};

// The replayed drives stand in for the machine's while it lives.
class Scope {
public:
    explicit Scope(std::vector<Provider::Entry> entries) {
        vantrell::SetDriveProvider(std::make_shared<Provider>(std::move(entries)));
    }
    ~Scope() { vantrell::SetDriveProvider(nullptr); }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;
};

} // namespace replay
