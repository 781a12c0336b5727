// Frame hooks: the hook-library registry (a library named twice is loaded
// once, each entry has its own context; the refusals and their log lines), our
// own box/invert hook library applied by the engine ("vhook"), hook time
// ranges, the before-hook's decisions and the custom hook's bitmap.
#include "MediaTestUtil.h"
#include "VideoTestUtil.h"
#include "test_ffmpeg_decode.h"

#include "FFmpeg/FrameHooks.h"
#include "FFmpegConverter.h"
#include "FFmpegLogger.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <string>
#include <vector>

using enginetest::Convert;
using videotest::DecodeVideo;
using videotest::FillYuv;
using videotest::TYuv;

namespace {

constexpr TYuv Black{16, 128, 128};
constexpr TYuv White{235, 128, 128};
constexpr TYuv Box{81, 90, 240};

bool Near(TYuv a, TYuv b, int tolerance = 2) {
    return std::abs(a.y - b.y) <= tolerance && std::abs(a.u - b.u) <= tolerance &&
           std::abs(a.v - b.v) <= tolerance;
}

// Runs LoadHook with the words of a command line.
int Load(TFrameHookEntry** head, std::vector<std::string> words) {
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    return LoadHook(head, static_cast<int>(words.size()), argv.data());
}

class HookTest : public ::testing::Test {
protected:
    void SetUp() override {
        testutil::LoadMediaLibraries();
        ASSERT_TRUE(dir.isValid());
        FFLogger().OnLog = [this](const void*, uint32_t, TLogLevel, const std::string& text) {
            lines.push_back(text);
        };
    }
    void TearDown() override { FFLogger().OnLog = nullptr; }
    bool Logged(const std::string& text) const {
        for (const std::string& line : lines)
            if (line.find(text) != std::string::npos)
                return true;
        return false;
    }
    QString Path(const QString& name) const { return dir.filePath(name); }
    // 64x48 at 10 frames per second, black with a white quarter on the left.
    QString Source(int frames) {
        videotest::TWriteSpec spec;
        spec.format = "nut";
        spec.encoder = "ffv1";
        spec.pts = videotest::Frames(frames);
        const QString path = Path("in.nut");
        EXPECT_TRUE(videotest::WriteVideo(path, spec, [](AVFrame* f, int) {
            FillYuv(f, 0, 0, f->width, f->height, Black);
            FillYuv(f, 0, 0, 16, f->height, White);
        }));
        return path;
    }
    // Which output pictures carry the box at (40, 20).
    std::vector<bool> BoxedPictures(const QString& output) {
        std::vector<bool> boxed;
        for (const auto& p : DecodeVideo(output).pictures)
            boxed.push_back(Near(p.At(44, 24), Box));
        return boxed;
    }
    const std::string boxHook = TONVALE_BOXHOOK;
    const std::string boxArgs = boxHook + " 40 20 16 16 81 90 240";
    std::vector<std::string> lines;
    QTemporaryDir dir;
};

TEST_F(HookTest, SameLibraryTwiceIsLoadedOnceWithTwoEntries) {
    const int before = LoadedHookLibraryCount();
    TFrameHookEntry* head = nullptr;
    ASSERT_EQ(Load(&head, {boxHook, "0", "0", "4", "4"}), 0);
    ASSERT_EQ(Load(&head, {boxHook, "invert", "0", "0", "4", "4"}), 0);
    EXPECT_EQ(HookCount(head), 2);
    EXPECT_LE(LoadedHookLibraryCount(), before + 1);
    EXPECT_GE(LoadedHookLibraryCount(), 1);
    ASSERT_NE(head->Next, nullptr);
    EXPECT_NE(head->Context, head->Next->Context);
    EXPECT_EQ(head->Process, head->Next->Process);
    ReleaseHooks(&head);
    EXPECT_EQ(head, nullptr);
}

TEST_F(HookTest, RefusedLibrariesSayWhy) {
    TFrameHookEntry* head = nullptr;
    const std::string noProcess = TONVALE_NOPROCESS_HOOK;
    EXPECT_EQ(Load(&head, {noProcess}), -2);
    EXPECT_TRUE(Logged("Failed to find Process entrypoint in " + noProcess));
    EXPECT_EQ(Load(&head, {boxHook, "not", "numbers", "at", "all"}), -22);
    EXPECT_TRUE(Logged("Failed to Configure " + boxHook));
    EXPECT_EQ(Load(&head, {Path("missing.so").toStdString()}), -1);
    EXPECT_TRUE(Logged("missing.so"));
    EXPECT_EQ(Load(&head, {}), -2);
    EXPECT_EQ(HookCount(head), 0);

    TCustomFFmpeg engine;
    engine.ResetEngine();
    EXPECT_THROW(
        {
            try {
                engine.SetOption("vhook", noProcess);
            } catch (const FFmpegException& e) {
                EXPECT_EQ(e.Message(), "Failed to add video hook function: " + noProcess);
                throw;
            }
        },
        FFmpegException);
    EXPECT_EQ(engine.FrameHookCount(), 0);
}

TEST_F(HookTest, EngineDrawsWithItsFrameHooks) {
    const QString input = Source(4);
    TCustomFFmpeg engine;
    engine.ResetEngine();
    const auto r =
        Convert(engine, input, {}, Path("box.mkv"),
                {{"vcodec", "ffv1"}, {"vhook", boxArgs}, {"vhook", boxHook + "|invert|0|0|16|48"}});
    ASSERT_FALSE(r.error) << r.message;
    const auto out = DecodeVideo(Path("box.mkv"));
    ASSERT_EQ(out.pictures.size(), 4u);
    for (const auto& p : out.pictures) {
        EXPECT_TRUE(Near(p.At(44, 24), Box));
        EXPECT_TRUE(Near(p.At(30, 40), Black));
        EXPECT_EQ(p.At(4, 10).y, 255 - White.y) << "inverted by the second hook";
    }
    EXPECT_EQ(engine.FrameHookCount(), 0) << "released with the run";
}

TEST_F(HookTest, HookRangesAndBeforeHookChooseThePictures) {
    const QString input = Source(10);
    {
        // Pictures at 200, 300, 400 ms and 700 ms.
        TFFmpeg task;
        task.ResetEngine();
        task.SetHookTimeRanges(ParseHookRanges("650-700, 200-400"));
        const auto r =
            Convert(task, input, {}, Path("ranges.mkv"), {{"vcodec", "ffv1"}, {"vhook", boxArgs}});
        ASSERT_FALSE(r.error) << r.message;
        EXPECT_EQ(
            BoxedPictures(Path("ranges.mkv")),
            (std::vector<bool>{false, false, true, true, true, false, false, true, false, false}));
    }
    {
        // Even pictures only, and nothing from 600 ms on.
        TFFmpeg task;
        std::vector<int64_t> asked;
        task.OnBeforeHook = [&](TCustomFFmpeg*, int64_t pts, THookAction& action) {
            asked.push_back(pts);
            if (pts >= 600000)
                action = haStop;
            else if ((pts / 100000) % 2)
                action = haIgnore;
        };
        const auto r =
            Convert(task, input, {}, Path("before.mkv"), {{"vcodec", "ffv1"}, {"vhook", boxArgs}});
        ASSERT_FALSE(r.error) << r.message;
        EXPECT_EQ(
            BoxedPictures(Path("before.mkv")),
            (std::vector<bool>{true, false, true, false, true, false, false, false, false, false}));
        EXPECT_EQ(asked.size(), 7u) << "not asked again after the stop";
    }
}

TEST_F(HookTest, CustomHookPaintsOnTheBitmap) {
    const QString input = Source(3);
    TFFmpeg task;
    std::vector<int> numbers;
    task.OnCustomHook = [&](TCustomFFmpeg*, TBitmap& bitmap, int frame, int64_t, bool& update,
                            bool& stop) {
        numbers.push_back(frame);
        EXPECT_EQ(bitmap.width(), 64);
        EXPECT_EQ(bitmap.height(), 48);
        const uint32_t band = bitmap.pixel(4, 4);
        EXPECT_TRUE(((band >> 16) & 0xFF) > 245 && ((band >> 8) & 0xFF) > 245 &&
                    (band & 0xFF) > 245)
            << "the picture as RGB";
        for (int y = 16; y < 32; ++y)
            for (int x = 32; x < 48; ++x)
                bitmap.setPixel(x, y, 0xFF0000FFu); // blue
        update = frame != 2;                        // the second picture is left alone
        stop = false;
    };
    const auto r = Convert(task, input, {}, Path("custom.mkv"), {{"vcodec", "ffv1"}});
    ASSERT_FALSE(r.error) << r.message;
    EXPECT_EQ(numbers, (std::vector<int>{1, 2, 3}));
    const auto out = DecodeVideo(Path("custom.mkv"));
    ASSERT_EQ(out.pictures.size(), 3u);
    const TYuv blue{41, 240, 110}; // BT.601, video range
    EXPECT_TRUE(Near(out.pictures[0].At(40, 24), blue, 4));
    EXPECT_TRUE(Near(out.pictures[1].At(40, 24), Black, 2));
    EXPECT_TRUE(Near(out.pictures[2].At(40, 24), blue, 4));
}

} // namespace
