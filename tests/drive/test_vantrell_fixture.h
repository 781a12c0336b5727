// Shared helpers of the Vantrell tests: a scratch folder, disc images written with
// discimage, the virtual drive list, and calls with an error block.
#pragma once

#include "DiscImage.h"
#include "Vantrell.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace vt {

namespace fs = std::filesystem;

// The error block of one call.
struct Eb {
    char text[VANTRELL_EXCEPTION_TEXT_SIZE] = "untouched";
    int32_t status = -1;
    VantrellFailureRecord record{};
};
#define VT_EB(eb) (eb).text, static_cast<uint32_t>(sizeof(eb).text), &(eb).status, &(eb).record

// Noise PCM: any offset or byte-order mistake changes the bytes.
inline std::vector<uint8_t> NoisePcm(size_t bytes, uint32_t seed) {
    std::vector<uint8_t> pcm(bytes);
    std::mt19937 random(seed);
    for (auto& b : pcm)
        b = static_cast<uint8_t>(random());
    return pcm;
}

inline discimage::Track Audio(uint32_t sectors, uint32_t seed, std::string title = {}) {
    return discimage::AudioTrackFromPcm(NoisePcm(size_t{sectors} * discimage::kSectorBytes, seed),
                                        std::move(title));
}

class VantrellTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string("vantrell-") + info->test_suite_name() + "-" + info->name() +
                           "-" + std::to_string(::getpid());
        for (char& c : name)
            if (c == '/' || c == '*')
                c = '_';
        dir_ = fs::temp_directory_path() / name;
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        ::unsetenv("TONVALE_VIRTUAL_DRIVES");
        Vantrell_RefreshVirtualDrives();
    }
    void TearDown() override {
        ::unsetenv("TONVALE_VIRTUAL_DRIVES");
        Vantrell_RefreshVirtualDrives();
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    std::string Write(const discimage::Disc& disc, const std::string& name,
                      const discimage::WriteOptions& options = {}) {
        return discimage::WriteCueBin(disc, dir_.string(), name, options).cuePath;
    }
    std::string Missing(const std::string& name) { return (dir_ / (name + ".cue")).string(); }

    static void SetDrives(const std::vector<std::string>& paths) {
        std::string list;
        for (const auto& p : paths)
            list += (list.empty() ? "" : ":") + p;
        ::setenv("TONVALE_VIRTUAL_DRIVES", list.c_str(), 1);
        Vantrell_RefreshVirtualDrives(); // worker threads use the list as last read here
    }

    // Virtual drive k (the machine has no real drive in CI; count them to be exact).
    static uint8_t PortOf(int k) { return static_cast<uint8_t>(200 + k); }

    static VantrellObject* Open(int k) {
        Eb eb;
        VantrellObject* object = nullptr;
        EXPECT_EQ(Vantrell_CdvdBurnerGrabber_Create(&object, VT_EB(eb), nullptr, nullptr, PortOf(k),
                                                    0, 0, 0, 0),
                  0)
            << eb.text;
        return object;
    }

    // Files in the scratch folder other than the images (outputs and leftovers).
    std::vector<std::string> Outputs() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir_)) {
            const std::string ext = e.path().extension().string();
            if (ext != ".cue" && ext != ".bin")
                names.push_back(e.path().filename().string());
        }
        return names;
    }

    fs::path dir_;
};

} // namespace vt
