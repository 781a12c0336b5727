// Shared set-up of the conversion component tests: generated WAV inputs, the
// application's MP3 settings, and an event log that any thread may append to.
#pragma once

#include "FFmpegConverter.h"
#include "MediaTestUtil.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace convtest {

// One event as a handler saw it.
struct TEvent {
    char kind; // 'P' progress, 'T' terminate
    int index;
    bool finished = false;
    bool exception = false;
    std::string message;
    int current = 0; // progress: current and total duration, ms
    int total = 0;
    std::thread::id thread;
};

class TEventLog {
public:
    void Add(TEvent event) {
        event.thread = std::this_thread::get_id();
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(event));
    }
    std::vector<TEvent> Events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }
    bool HasEnd() const {
        std::lock_guard lock(mutex_);
        for (const TEvent& e : events_)
            if (e.kind == 'T' && e.index == -1)
                return true;
        return false;
    }
    // Wires the log to a component's progress and terminate events.
    void Attach(TCustomFFmpegConverter& c) {
        c.OnProgress = [this](int index, int, int, int current, float, float, int64_t, int total) {
            Add({'P', index, false, false, {}, current, total});
        };
        c.OnTerminate = [this](int index, bool finished, bool exception, const std::string& m) {
            Add({'T', index, finished, exception, m});
        };
    }

private:
    mutable std::mutex mutex_;
    std::vector<TEvent> events_;
};

class ConverterTest : public ::testing::Test {
protected:
    void SetUp() override {
        testutil::LoadMediaLibraries();
        ASSERT_TRUE(dir.isValid());
    }
    void TearDown() override {
        // Notifier threads may still be returning from a handler that uses
        // this fixture; the engine's worker objects are freed by the event loop.
        EXPECT_TRUE(TDoTerminateThread::WaitForAll(30000));
        testutil::WaitFor([] { return false; }, 50);
    }

    QString MakeWav(const QString& name, double seconds, double frequency = 440) {
        const QString path = dir.filePath(name);
        EXPECT_TRUE(
            testutil::WriteWav(path, testutil::SineTone(frequency, 44100, 2, seconds), 44100, 2));
        return path;
    }
    // The application's input and output settings for "MP3, Standard Quality".
    static TInputOptions Mp3Input(const QString& wav) {
        TInputOptions in;
        InitInputOptions(in);
        in.FileName = wav;
        in.ExtOptions = "vn=1";
        return in;
    }
    static TOutputOptions Mp3Output() {
        TOutputOptions out;
        InitOutputOptions(out);
        out.FileExt = ".mp3";
        out.AudioCodec = "libmp3lame";
        out.AudioBitrate = 128000;
        out.AudioSampleRate = 44100;
        out.AudioChannels = 2;
        out.DisableVideo = true;
        out.DisableSubtitle = true;
        return out;
    }
    // Adds a task converting wav to mp3 (default: the same name with .mp3);
    // the task index.
    int AddMp3Task(TCustomFFmpegConverter& c, const QString& wav, QString mp3 = QString()) {
        const TInputOptions in = Mp3Input(wav);
        const int index = c.AddTask(wav, &in);
        EXPECT_GE(index, 0) << c.LastErrMsg();
        const TOutputOptions out = Mp3Output();
        if (mp3.isEmpty()) {
            mp3 = wav;
            mp3.replace(QStringLiteral(".wav"), QStringLiteral(".mp3"));
        }
        EXPECT_TRUE(c.SetOutputFile(index, mp3, &out)) << c.LastErrMsg();
        return index;
    }
    bool WaitForEnd(const TEventLog& log, int timeoutMs = 120000) {
        return testutil::WaitFor([&log] { return log.HasEnd(); }, timeoutMs);
    }

    QTemporaryDir dir;
};

} // namespace convtest
