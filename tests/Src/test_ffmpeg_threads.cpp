// The engine on worker threads: parallel runs of separate engines, a stop
// request from another thread, and destroying an engine whose run is going.
// Run under ThreadSanitizer in CI (label "threads").
#include "MediaTestUtil.h"
#include "test_ffmpeg_decode.h"

#include "FFmpeg/FFmpeg.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>

using enginetest::Decode;
using enginetest::TonePower;

namespace {

class EngineThreadsTest : public ::testing::Test {
protected:
    void SetUp() override {
        testutil::LoadMediaLibraries();
        ASSERT_TRUE(dir.isValid());
    }
    QString Wav(const QString& name, double frequency, double seconds) {
        const QString path = dir.filePath(name);
        EXPECT_TRUE(
            testutil::WriteWav(path, testutil::SineTone(frequency, 44100, 2, seconds), 44100, 2));
        return path;
    }
    // Prepares an engine for input -> output with the application's MP3 options.
    static void Prepare(TCustomFFmpeg& engine, const QString& input, const QString& output,
                        const char* encoder) {
        engine.ResetEngine();
        engine.SetOption("vn", "1");
        ASSERT_TRUE(engine.OpenInput(input)) << engine.LastError();
        engine.SetOption("acodec", encoder);
        engine.SetOption("ab", "128000");
        ASSERT_EQ(engine.AddOutput(output, false), 1) << engine.LastError();
    }
    QTemporaryDir dir;
};

} // namespace

TEST_F(EngineThreadsTest, TwoRunsInParallelThreadsBothSucceed) {
    const QString in1 = Wav("a.wav", 440, 4), in2 = Wav("b.wav", 880, 4);
    const QString out1 = dir.filePath("a.mp3"), out2 = dir.filePath("b.ogg");
    TCustomFFmpeg first, second;
    Prepare(first, in1, out1, "libmp3lame");
    Prepare(second, in2, out2, "libvorbis");
    std::atomic<int> ended{0};
    std::atomic<int> progress{0};
    for (TCustomFFmpeg* engine : {&first, &second}) {
        engine->ProgressInterval = 1000;
        engine->OnProgress = [&](TCustomFFmpeg*, int, int, int, float, float, int64_t, int) {
            ++progress;
        };
        engine->OnTerminate = [&](TCustomFFmpeg*) { ++ended; };
    }
    TConvertThread* t1 = first.StartConvert(true, tpNormal);
    TConvertThread* t2 = second.StartConvert(true, tpLower);
    ASSERT_NE(t1, nullptr);
    ASSERT_NE(t2, nullptr);
    EXPECT_TRUE(first.Running());
    t1->Resume();
    t2->Resume();
    ASSERT_TRUE(testutil::WaitFor([&] { return ended.load() == 2; }, 60000));
    ASSERT_TRUE(
        testutil::WaitFor([&] { return !first.ConvertThread() && !second.ConvertThread(); }));
    EXPECT_GT(progress.load(), 0);
    for (TCustomFFmpeg* engine : {&first, &second}) {
        EXPECT_FALSE(engine->ErrorOccurred()) << engine->ErrorMessage();
        EXPECT_TRUE(engine->Finished());
        EXPECT_FALSE(engine->Running());
    }
    const auto a = Decode(out1), b = Decode(out2);
    EXPECT_NEAR(a.Seconds(), 4, 0.1);
    EXPECT_NEAR(b.Seconds(), 4, 0.1);
    EXPECT_GT(TonePower(a, 0, 440), 0.3);
    EXPECT_GT(TonePower(b, 0, 880), 0.3);
}

TEST_F(EngineThreadsTest, StopFromAnotherThreadAndDestroyDuringARun) {
    const QString input = Wav("long.wav", 440, 300);
    const QString output = dir.filePath("stopped.mp3");
    std::atomic<bool> ended{false};
    {
        TCustomFFmpeg engine;
        Prepare(engine, input, output, "libmp3lame");
        // A slow handler that also stops its own engine: the worker must not
        // wait for itself, and the caller's wait covers the handler.
        engine.OnTerminate = [&](TCustomFFmpeg* sender) {
            sender->StopConvert(true);
            QThread::msleep(200);
            ended = true;
        };
        engine.StartConvert(true)->Resume();
        QThread::msleep(300);
        engine.StopConvert(true); // returns once the worker let go of the engine
        EXPECT_EQ(engine.ConvertThread(), nullptr);
        EXPECT_TRUE(ended.load());
        EXPECT_FALSE(engine.Finished());
        EXPECT_FALSE(engine.ErrorOccurred()) << engine.ErrorMessage();
    }
    // A stopped run leaves no output, not even its temporary file.
    EXPECT_FALSE(QFileInfo::exists(output));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Hidden | QDir::Files), QStringList{"long.wav"});

    // Destroying an engine mid-run stops and waits for it.
    auto engine = std::make_unique<TCustomFFmpeg>();
    Prepare(*engine, input, dir.filePath("destroyed.mp3"), "libmp3lame");
    engine->StartConvert(true)->Resume();
    QThread::msleep(100);
    engine.reset();
    EXPECT_FALSE(QFileInfo::exists(dir.filePath("destroyed.mp3")));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Hidden | QDir::Files), QStringList{"long.wav"});
}
