// The engine logger: level vocabulary, line assembly from library fragments,
// filtering, and delivery on the main thread from many threads at once.
#include "FFmpegLogger.h"
#include "FFmpegStubs.h"
#include "MediaTestUtil.h"

#include <QCoreApplication>
#include <QThread>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

struct Line {
    uint32_t thread;
    TLogLevel level;
    std::string text;
    bool onMainThread;
};

// A logging context whose class names itself "mp3".
const char* Mp3Name(void*) {
    return "mp3";
}
const AVClass kMp3Class = {"mp3", Mp3Name, nullptr, LIBAVUTIL_VERSION_INT};
struct FakeContext {
    const AVClass* cls = &kMp3Class;
};

std::string Prefix(const FakeContext& ctx) {
    char text[64];
    std::snprintf(text, sizeof text, "[mp3 @ %p]", static_cast<const void*>(&ctx));
    return text;
}

void LibLog(void* ctx, int level, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    TFFLogger::LibraryLogCallback(ctx, level, fmt, args);
    va_end(args);
}

class LoggerTest : public ::testing::Test {
protected:
    void SetUp() override {
        testutil::LoadMediaLibraries();
        FFLogger().SetLogLevel(llInfo);
        FFLogger().OnLog = [this](const void*, uint32_t tid, TLogLevel level,
                                  const std::string& text) {
            lines.push_back({tid, level, text,
                             QThread::currentThread() == QCoreApplication::instance()->thread()});
        };
    }
    void TearDown() override { FFLogger().OnLog = nullptr; }
    std::vector<Line> lines; // main thread only
};

TEST(LogLevels, MappingBothWaysAndNames) {
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(LogLevelToAV(static_cast<TLogLevel>(i)), (i - 1) * 8);
    const struct {
        int av;
        TLogLevel level;
    } cases[] = {{-100, llQuiet}, {-8, llQuiet},   {-7, llPanic}, {-1, llPanic},   {0, llPanic},
                 {7, llPanic},    {8, llFatal},    {16, llError}, {24, llWarning}, {31, llWarning},
                 {32, llInfo},    {40, llVerbose}, {48, llDebug}, {56, llDebug},   {1000, llDebug}};
    for (const auto& c : cases)
        EXPECT_EQ(AVLevelToLogLevel(c.av), c.level) << c.av;
    EXPECT_STREQ(LogLevelName(llWarning), "warning");
}

TEST_F(LoggerTest, SetLogLevelByNameAcceptsNamesAndNumbers) {
    const struct {
        const char* text;
        TLogLevel level;
    } cases[] = {{"DEBUG", llDebug},
                 {"quiet", llQuiet},
                 {"-8", llQuiet},
                 {"20", llError},
                 {"Warning", llWarning}};
    for (const auto& c : cases) {
        FFLogger().SetLogLevelByName(c.text);
        EXPECT_EQ(FFLogger().LogLevel(), c.level) << c.text;
    }
    EXPECT_EQ(TFFLogger::FilterLevel(), LogLevelToAV(llWarning));
    EXPECT_THROW(FFLogger().SetLogLevelByName("loud"), std::invalid_argument);
    EXPECT_THROW(FFLogger().SetLogLevelByName("12abc"), std::invalid_argument);
}

TEST_F(LoggerTest, FragmentsAssembleIntoLinesWithOnePrefix) {
    FakeContext ctx;
    AVUtilStubs.av_log(&ctx, AV_LOG_ERROR, "Header missing\n");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, Prefix(ctx) + "Header missing");
    EXPECT_EQ(lines[0].level, llError);
    EXPECT_EQ(lines[0].thread, CurrentThreadId());

    lines.clear();
    LibLog(&ctx, AV_LOG_INFO, "first %d ", 1);
    EXPECT_TRUE(lines.empty());
    LibLog(&ctx, AV_LOG_INFO, "second\n");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, Prefix(ctx) + "first 1 second");

    lines.clear();
    LibLog(&ctx, AV_LOG_INFO, "a\nb\nc");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].text, Prefix(ctx) + "a");
    EXPECT_EQ(lines[1].text, "b");
    LibLog(nullptr, AV_LOG_INFO, "d\n");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2].text, "cd");
    EXPECT_EQ(lines[2].level, llInfo);
}

TEST_F(LoggerTest, OverlongMessageIsCutNotOverflowed) {
    FakeContext ctx;
    const std::string big(5000, 'x');
    LibLog(&ctx, AV_LOG_ERROR, "%s", big.c_str());
    LibLog(&ctx, AV_LOG_ERROR, "%s\n", big.c_str());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_LT(lines[0].text.size(), 2048u);
    EXPECT_EQ(lines[0].text.rfind(Prefix(ctx), 0), 0u);
}

TEST_F(LoggerTest, FilterLevelDropsLibraryMessagesButEngineVerbosePasses) {
    FFLogger().SetLogLevel(llWarning);
    FakeContext ctx;
    LibLog(&ctx, AV_LOG_INFO, "dropped\n");
    LibLog(&ctx, AV_LOG_WARNING, "kept\n");
    FFLogger().Log(this, llInfo, "engine info");
    FFLogger().Log(this, llVerbose, "engine verbose");
    FFLogger().Log(this, llQuiet, "run failed");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].text, Prefix(ctx) + "kept");
    EXPECT_EQ(lines[1].text, "engine verbose");
    EXPECT_EQ(lines[2].text, "run failed");
    FFLogger().SetLogLevel(llQuiet);
    FFLogger().Log(this, llVerbose, "not now");
    EXPECT_EQ(lines.size(), 3u);
}

TEST_F(LoggerTest, ThreadsNeverMixFragmentsAndLinesArriveOnTheMainThread) {
    constexpr int kThreads = 4;
    constexpr int kLines = 50;
    FakeContext contexts[kThreads];
    std::atomic<int> finished{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kLines; ++i) {
                LibLog(&contexts[t], AV_LOG_INFO, "T%d-%d ", t, i);
                LibLog(&contexts[t], AV_LOG_INFO, "part two of T%d\n", t);
            }
            ++finished;
        });
    }
    EXPECT_TRUE(testutil::WaitFor([&] { return finished == kThreads; }, 30000));
    for (auto& th : threads)
        th.join();
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
    int next[kThreads] = {};
    for (const Line& line : lines) {
        EXPECT_TRUE(line.onMainThread);
        int t = -1, i = -1;
        ASSERT_EQ(std::sscanf(line.text.c_str() + line.text.find(']') + 1, "T%d-%d", &t, &i), 2)
            << line.text;
        ASSERT_TRUE(t >= 0 && t < kThreads);
        EXPECT_EQ(line.text, Prefix(contexts[t]) + "T" + std::to_string(t) + "-" +
                                 std::to_string(i) + " part two of T" + std::to_string(t));
        EXPECT_EQ(i, next[t]++); // each thread's lines in order
    }
}

// A handler that logs (itself or through the libraries) gets those lines after
// it returned, in order, on the main thread; whether the line it handles came
// from the main thread or from a worker.
TEST_F(LoggerTest, HandlerThatLogsGetsItsLinesAfterItReturned) {
    FakeContext context;
    std::vector<std::string> seen; // main thread only
    FFLogger().OnLog = [&](const void*, uint32_t, TLogLevel, const std::string& text) {
        seen.push_back(text);
        if (text.rfind("outer", 0) == 0) {
            FFLogger().Log(nullptr, llInfo, "nested engine line");
            LibLog(&context, AV_LOG_ERROR, "nested library line\n");
        }
        seen.push_back("returned from " + text);
    };
    const std::vector<std::string> expected = {
        "outer",
        "returned from outer",
        "nested engine line",
        "returned from nested engine line",
        Prefix(context) + "nested library line",
        "returned from " + Prefix(context) + "nested library line",
    };

    FFLogger().Log(nullptr, llInfo, "outer");
    EXPECT_EQ(seen, expected);

    seen.clear();
    std::atomic<bool> done{false};
    std::thread worker([&] {
        FFLogger().Log(nullptr, llInfo, "outer");
        done = true;
    });
    EXPECT_TRUE(testutil::WaitFor([&] { return done.load(); }, 30000));
    worker.join();
    EXPECT_EQ(seen, expected);
}

TEST(LoggerInstance, OnlyOneInstance) {
    (void)FFLogger();
    try {
        TFFLogger second;
        FAIL() << "a second logger was created";
    } catch (const std::logic_error& e) {
        EXPECT_STREQ(e.what(), "Allow creating only one instance of TFFLogger.");
    }
}

} // namespace
