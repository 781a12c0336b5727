// The conversion component's threaded runs: how many tasks run at once, which
// thread delivers what, failures inside a run, and winding a run down when the
// tasks are cleared or the component goes. Real conversions; run under
// ThreadSanitizer in CI.
#include "FFmpegStubs.h"
#include "test_converter_fixture.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <map>
#include <atomic>
#include <memory>
#include <set>

namespace {

using convtest::ConverterTest;
using convtest::TEvent;
using convtest::TEventLog;

// What the progress handler saw of the task list while tasks ran.
struct TOverlap {
    std::mutex mutex;
    int maxRunning = 0;
    std::map<int, std::set<int>> endedAtFirstProgress; // task -> tasks ended by then

    void Watch(TCustomFFmpegConverter& c, TEventLog& log) {
        c.OnProgress = [this, &c, &log](int index, int, int, int current, float, float, int64_t,
                                        int total) {
            // Runs under the component lock; the list lock may be taken inside it.
            int running = 0;
            std::set<int> ended;
            for (int i = 0; i < c.Tasks().Count(); ++i) {
                TFFmpeg* task = c.Tasks().Items(i);
                running += task->Running() ? 1 : 0;
                if (task->Terminated())
                    ended.insert(i);
            }
            {
                std::lock_guard lock(mutex);
                maxRunning = std::max(maxRunning, running);
                endedAtFirstProgress.try_emplace(index, ended);
            }
            log.Add({'P', index, false, false, {}, current, total});
        };
    }
};

std::vector<int> EndOrder(const std::vector<TEvent>& events) {
    std::vector<int> order;
    for (const TEvent& e : events)
        if (e.kind == 'T')
            order.push_back(e.index);
    return order;
}

size_t PositionOf(const std::vector<int>& order, int index) {
    return static_cast<size_t>(std::find(order.begin(), order.end(), index) - order.begin());
}

TEST_F(ConverterTest, OneThreadRunsTasksStrictlyOneAfterAnother) {
    const QString wav = MakeWav(QStringLiteral("in.wav"), 30);
    TFFmpegConverter c;
    c.SetProgressInterval(100);
    TEventLog log;
    log.Attach(c);
    TOverlap overlap;
    overlap.Watch(c, log);
    for (const char* name : {"a.mp3", "b.mp3", "c.mp3"})
        AddMp3Task(c, wav, dir.filePath(QLatin1String(name)));

    c.StartConvert(1);
    EXPECT_TRUE(c.Running());
    EXPECT_TRUE(EndOrder(log.Events()).empty()); // the run goes on without us
    ASSERT_TRUE(WaitForEnd(log));
    ASSERT_TRUE(TDoTerminateThread::WaitForAll(10000));

    const std::vector<TEvent> events = log.Events();
    const std::vector<int> order = EndOrder(events);
    ASSERT_EQ(std::multiset<int>(order.begin(), order.end()), (std::multiset<int>{-1, 0, 1, 2}));
    // Started for 0, 1, 2 and then -1; only the last two may overlap.
    EXPECT_LT(PositionOf(order, 0), PositionOf(order, 1));
    EXPECT_LT(PositionOf(order, 1), PositionOf(order, 2));
    EXPECT_LT(PositionOf(order, 1), PositionOf(order, -1));
    for (const TEvent& e : events) {
        EXPECT_NE(e.thread, std::this_thread::get_id());
        if (e.kind == 'T' && e.index >= 0) {
            EXPECT_TRUE(e.finished);
            EXPECT_FALSE(e.exception) << e.message;
        }
    }
    std::lock_guard lock(overlap.mutex);
    EXPECT_EQ(overlap.maxRunning, 1);
    EXPECT_EQ(overlap.endedAtFirstProgress[1], (std::set<int>{0}));
    EXPECT_EQ(overlap.endedAtFirstProgress[2], (std::set<int>{0, 1}));
    EXPECT_FALSE(c.Running());
}

TEST_F(ConverterTest, TwoThreadsStartTwoAtOnceAndTheThirdWhenOneEnds) {
    const QString wav = MakeWav(QStringLiteral("in.wav"), 30);
    TFFmpegConverter c;
    c.SetProgressInterval(100);
    c.SetThreadPriority(tpLower);
    TEventLog log;
    log.Attach(c);
    TOverlap overlap;
    overlap.Watch(c, log);
    for (const char* name : {"a.mp3", "b.mp3", "c.mp3"})
        AddMp3Task(c, wav, dir.filePath(QLatin1String(name)));

    c.StartConvert(2);
    ASSERT_TRUE(WaitForEnd(log));
    ASSERT_TRUE(TDoTerminateThread::WaitForAll(10000));

    const std::vector<int> order = EndOrder(log.Events());
    ASSERT_EQ(std::multiset<int>(order.begin(), order.end()), (std::multiset<int>{-1, 0, 1, 2}));
    std::lock_guard lock(overlap.mutex);
    EXPECT_EQ(overlap.maxRunning, 2);
    EXPECT_TRUE(overlap.endedAtFirstProgress[0].empty());
    EXPECT_TRUE(overlap.endedAtFirstProgress[1].empty());
    const std::set<int>& before2 = overlap.endedAtFirstProgress[2];
    EXPECT_TRUE(before2.count(0) + before2.count(1) >= 1);
    for (const char* name : {"a.mp3", "b.mp3", "c.mp3"}) {
        TAVProbe probe;
        ASSERT_TRUE(probe.LoadFile(dir.filePath(QLatin1String(name)))) << probe.LastErrMsg();
        EXPECT_NEAR(probe.FormatContext()->duration / 1e6, 30.0, 0.1) << name;
    }
}

TEST_F(ConverterTest, FailedTasksReportTheirMessageAndTheRunGoesOn) {
    const QString wav = MakeWav(QStringLiteral("in.wav"), 2);
    TFFmpegConverter c;
    TEventLog log;
    log.Attach(c);
    const QString badFolder = dir.filePath(QStringLiteral("no/such/folder/"));
    // A bad output folder at both ends: one fails from the caller's thread,
    // the other from the worker of the task before it.
    const TInputOptions in = Mp3Input(wav);
    const TOutputOptions out = Mp3Output();
    ASSERT_EQ(c.AddTask(wav, &in), 0);
    EXPECT_FALSE(c.SetOutputFile(0, badFolder + QStringLiteral("a.mp3"), &out));
    EXPECT_NE(c.LastErrMsg(), "");
    AddMp3Task(c, wav, dir.filePath(QStringLiteral("b.mp3")));
    ASSERT_EQ(c.AddTask(wav, &in), 2);
    EXPECT_FALSE(c.SetOutputFile(2, badFolder + QStringLiteral("c.mp3"), &out));

    c.StartConvert(1);
    ASSERT_TRUE(WaitForEnd(log));
    ASSERT_TRUE(TDoTerminateThread::WaitForAll(10000));
    std::map<int, TEvent> ends;
    for (const TEvent& e : log.Events())
        if (e.kind == 'T')
            ends[e.index] = e;
    ASSERT_EQ(ends.size(), 4u);
    for (int failed : {0, 2}) {
        EXPECT_TRUE(ends[failed].exception);
        EXPECT_FALSE(ends[failed].finished);
        EXPECT_EQ(ends[failed].message, "At least one output file must be specified");
    }
    EXPECT_FALSE(ends[1].exception) << ends[1].message;
    EXPECT_TRUE(ends[1].finished);
    EXPECT_TRUE(ends[-1].finished);
    EXPECT_FALSE(ends[-1].exception);
    EXPECT_TRUE(QFileInfo::exists(dir.filePath(QStringLiteral("b.mp3"))));

    // Tasks that already ran refuse to start: no task events, but the run
    // still ends, so nobody waits for a -1 that never comes.
    TEventLog again;
    again.Attach(c);
    c.StartConvert(1);
    ASSERT_TRUE(WaitForEnd(again, 10000));
    ASSERT_TRUE(TDoTerminateThread::WaitForAll(10000));
    EXPECT_EQ(EndOrder(again.Events()), (std::vector<int>{-1}));
}

TEST_F(ConverterTest, RunWithoutTerminateHandlerStillAdvances) {
    const QString wav = MakeWav(QStringLiteral("in.wav"), 2);
    TFFmpegConverter c;
    for (const char* name : {"a.mp3", "b.mp3", "c.mp3"})
        AddMp3Task(c, wav, dir.filePath(QLatin1String(name)));
    c.StartConvert(1);
    EXPECT_TRUE(testutil::WaitFor([&c] { return !c.Running(); }, 60000));
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(c.Tasks().Items(i)->Terminated()) << i;
}

TEST_F(ConverterTest, ClearingTasksDuringARunStopsItStartsNothingAndEndsIt) {
    const QString wav = MakeWav(QStringLiteral("in.wav"), 120);
    TFFmpegConverter c;
    c.SetProgressInterval(100);
    TEventLog log;
    log.Attach(c);
    for (const char* name : {"a.mp3", "b.mp3", "c.mp3"})
        AddMp3Task(c, wav, dir.filePath(QLatin1String(name)));
    c.StartConvert(1);
    ASSERT_TRUE(testutil::WaitFor([&log] { return !log.Events().empty(); }));

    c.ClearTasks();
    EXPECT_EQ(c.Tasks().Count(), 0);
    EXPECT_FALSE(c.Running());
    ASSERT_TRUE(WaitForEnd(log, 10000));
    ASSERT_TRUE(TDoTerminateThread::WaitForAll(10000));
    std::map<int, TEvent> ends;
    for (const TEvent& e : log.Events()) {
        EXPECT_EQ(e.index == 1 || e.index == 2, false) << "task " << e.index << " ran";
        if (e.kind == 'T')
            ends[e.index] = e;
    }
    ASSERT_EQ(ends.size(), 2u);
    EXPECT_FALSE(ends[0].finished); // stopped
    EXPECT_FALSE(ends[0].exception) << ends[0].message;
    // The stopped output never got its name; the others were never written.
    for (const char* name : {"a.mp3", "b.mp3", "c.mp3"})
        EXPECT_FALSE(QFileInfo::exists(dir.filePath(QLatin1String(name)))) << name;
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Hidden | QDir::Files), QStringList{"in.wav"});

    // The component is usable again at once.
    TEventLog next;
    next.Attach(c);
    AddMp3Task(c, MakeWav(QStringLiteral("short.wav"), 1));
    c.StartConvert(1);
    ASSERT_TRUE(WaitForEnd(next));
    // The task's end and the run's end come on threads of their own.
    ASSERT_TRUE(TDoTerminateThread::WaitForAll(10000));
    EXPECT_EQ(EndOrder(next.Events()).size(), 2u);
}

TEST_F(ConverterTest, DestroyingTheComponentDuringARunStopsItQuietly) {
    const QString wav = MakeWav(QStringLiteral("in.wav"), 120);
    TEventLog log;
    auto c = std::make_unique<TFFmpegConverter>();
    c->SetProgressInterval(100);
    log.Attach(*c);
    for (const char* name : {"a.mp3", "b.mp3", "c.mp3"})
        AddMp3Task(*c, wav, dir.filePath(QLatin1String(name)));
    c->StartConvert(2);
    ASSERT_TRUE(testutil::WaitFor([&log] { return !log.Events().empty(); }));
    c.reset();
    ASSERT_TRUE(TDoTerminateThread::WaitForAll(10000));
    testutil::WaitFor([] { return false; }, 200);
    EXPECT_TRUE(EndOrder(log.Events()).empty());
    EXPECT_FALSE(QFileInfo::exists(dir.filePath(QStringLiteral("c.mp3"))));
}

} // namespace
