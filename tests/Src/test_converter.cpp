// The conversion component on the caller's thread: settings records and their
// parsing, how a task is prepared (the order of free-form options against the
// structured settings), and unthreaded runs with their events.
#include "FFmpegStubs.h"
#include "test_converter_fixture.h"

#include <QFile>

#include <stdexcept>

namespace {

using convtest::ConverterTest;
using convtest::TEvent;
using convtest::TEventLog;

TEST(ConverterSettings, DefaultsAndProperties) {
    TOutputOptions out;
    out.AudioBitrate = 5;
    out.Info.Title = "x";
    InitOutputOptions(out);
    EXPECT_EQ(out.AudioBitrate, -1);
    EXPECT_EQ(out.AudioSyncMethod, 0);
    EXPECT_EQ(out.VideoSyncMethod, -1);
    EXPECT_EQ(out.FallbackNorm, 1);
    EXPECT_EQ(out.Info.Timestamp, -1.0);
    EXPECT_EQ(out.Info.Title, "");
    TInputOptions in;
    in.StartTimeUS = 7;
    InitInputOptions(in);
    EXPECT_EQ(in.StartTimeUS, -1);
    EXPECT_EQ(in.ProgramID, -1);

    TFFmpegConverter c;
    EXPECT_EQ(c.ProgressInterval(), 500);
    EXPECT_EQ(c.ThreadPriority(), tpNormal);
    c.SetProgressInterval(50);
    EXPECT_EQ(c.ProgressInterval(), 100);
    c.SetProgressInterval(101);
    EXPECT_EQ(c.ProgressInterval(), 101);
    EXPECT_STREQ(c.Version(), "2.5");
    EXPECT_EQ(c.property("Version").toString(), QStringLiteral("2.5"));
    EXPECT_FALSE(c.Running());
}

TEST(ConverterSettings, ExtOptionLines) {
    using Lines = std::vector<std::pair<std::string, std::string>>;
    const struct {
        const char* text;
        Lines lines;
    } cases[] = {
        {"", {}},
        {"ab=128000", {{"ab", "128000"}}},
        // Blank lines at both ends vanish; one in the middle is an empty option.
        {"\r\n\n ab=1\r\n\r\nar=2\rvn\n\t ", {{"ab", "1"}, {"", ""}, {"ar", "2"}, {"vn", ""}}},
        // Split at the first "="; nothing is trimmed inside.
        {"metadata=title=A b \n x = y", {{"metadata", "title=A b "}, {" x ", " y"}}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SplitExtOptions(c.text), c.lines) << c.text;

    EXPECT_EQ(ExtOptionKindOf("newaudio"), eokNewStreams);
    EXPECT_EQ(ExtOptionKindOf("newvideo"), eokNewStreams);
    EXPECT_EQ(ExtOptionKindOf("newsubtitle"), eokNewStreams);
    EXPECT_EQ(ExtOptionKindOf("apre"), eokPresets);
    EXPECT_EQ(ExtOptionKindOf("spre"), eokPresets);
    EXPECT_EQ(ExtOptionKindOf("NewAudio"), eokGeneral);
    EXPECT_EQ(ExtOptionKindOf("Apre"), eokGeneral);
    EXPECT_EQ(ExtOptionKindOf(""), eokGeneral);
}

TEST(ConverterSettings, HookRanges) {
    const struct {
        const char* text;
        std::vector<THookRange> ranges;
    } cases[] = {
        {"", {}},
        {"  ", {}},
        {" 1000-2000 , 5000-4000 ,x-3000 ", {{1000000, 2000000}, {-1000, 3000000}}},
        {"0-0", {{0, 0}}},
        {"500", {}},  // no end: -1
        {"-1-5", {}}, // start "" (-1 ms), end "1-5" is no integer
        {"7-x", {}},  // end -1 < start
        {"3000-,1-2", {{1000, 2000}}},
        {"+4-9", {{4000, 9000}}},
        {"1-99999999999999999999", {}}, // no 64-bit integer
    };
    for (const auto& c : cases)
        EXPECT_EQ(ParseHookRanges(c.text), c.ranges) << c.text;
}

TEST(ConverterSettings, TimestampToUnixSeconds) {
    // 1970-01-01 00:00 local at UTC.
    EXPECT_EQ(DateTimeToUnixSeconds(25569.0, 0), 0);
    // 2009-12-20 12:00 local time in a zone one hour east of UTC (bias -60).
    EXPECT_EQ(DateTimeToUnixSeconds(40167.5, -60), 1261306800);
    // West of UTC the bias is positive.
    EXPECT_EQ(DateTimeToUnixSeconds(40167.5, 300), 1261328400);
    // Before 1970.
    EXPECT_EQ(DateTimeToUnixSeconds(25568.0, 0), -86400);
    const double now = LocalDateTimeNow();
    EXPECT_GT(now, 45000.0); // after 2023
}

// A task that records each free-form option line with what the engine held
// at that moment.
struct TCall {
    std::string name;
    std::string value;
    int inputs;
    int outputs;
    int sampleRate;
    int64_t audioBitrate;
};

class TRecordingTask : public TFFmpeg {
public:
    explicit TRecordingTask(std::vector<TCall>& calls) : calls_(calls) {}

protected:
    void ApplyExtOption(const std::string& name, const std::string& value) override {
        AVCodecContext* audio = DefaultCodecContext(omtAudio);
        calls_.push_back({name, value, InputCount(), OutputCount(), AudioSampleRate,
                          audio ? audio->bit_rate : -1});
        TFFmpeg::ApplyExtOption(name, value);
    }

private:
    std::vector<TCall>& calls_;
};

class TRecordingConverter : public TFFmpegConverter {
public:
    ~TRecordingConverter() override { WindDown(); }
    std::vector<TCall> calls;

protected:
    std::unique_ptr<TFFmpeg> CreateTask() override {
        return std::make_unique<TRecordingTask>(calls);
    }
};

std::vector<std::string> Names(const std::vector<TCall>& calls) {
    std::vector<std::string> names;
    for (const TCall& c : calls)
        names.push_back(c.name);
    return names;
}

TEST_F(ConverterTest, ExtOptionsGeneralBeforeStructuredPresetsAfterNewStreamsLast) {
    const QString wav = MakeWav(QStringLiteral("a.wav"), 0.2);
    const QString preset = dir.filePath(QStringLiteral("rate.preset"));
    {
        QFile file(preset);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("ab=96000\n");
    }
    TRecordingConverter c;
    TInputOptions in = Mp3Input(QString()); // empty name: AddTask's is stored
    const int index = c.AddTask(wav, &in);
    ASSERT_EQ(index, 0) << c.LastErrMsg();
    TFFmpeg* task = c.Tasks().Items(index);
    EXPECT_EQ(task->InputOptions().FileName, wav);
    ASSERT_EQ(c.calls.size(), 1u);
    EXPECT_EQ(c.calls[0].name, "vn");
    EXPECT_EQ(c.calls[0].inputs, 0); // before the input was opened

    c.calls.clear();
    TOutputOptions out = Mp3Output();
    out.AudioSampleRate = 32000;
    out.ExtOptions = "apre=" + preset.toStdString() + "\nab=64000\nnewaudio\nNewAudio=x";
    const QString mp3 = dir.filePath(QStringLiteral("a.mp3"));
    ASSERT_TRUE(c.SetOutputFile(index, mp3, &out)) << c.LastErrMsg();
    EXPECT_EQ(task->OutputOptions().FileName, mp3);
    ASSERT_EQ(Names(c.calls), (std::vector<std::string>{"ab", "NewAudio", "apre", "newaudio"}));
    // General lines come before the structured settings ...
    EXPECT_EQ(c.calls[0].sampleRate, 44100);
    EXPECT_EQ(c.calls[1].value, "x");
    // ... presets after them ...
    EXPECT_EQ(c.calls[2].sampleRate, 32000);
    EXPECT_EQ(c.calls[2].audioBitrate, 128000);
    EXPECT_EQ(c.calls[2].outputs, 0);
    // ... and new streams once the output exists.
    EXPECT_EQ(c.calls[3].outputs, 1);
    EXPECT_EQ(task->DefaultCodecContext(omtAudio)->bit_rate, 96000);

    // A failed output gets no new-stream lines; the task stays in the list.
    c.calls.clear();
    const int second = c.AddTask(wav, &in);
    ASSERT_EQ(second, 1);
    c.calls.clear();
    EXPECT_FALSE(
        c.SetOutputFile(second, dir.filePath(QStringLiteral("no/such/folder/b.mp3")), &out));
    EXPECT_NE(c.LastErrMsg().find("no/such/folder/b.mp3"), std::string::npos) << c.LastErrMsg();
    EXPECT_EQ(Names(c.calls), (std::vector<std::string>{"ab", "NewAudio", "apre"}));
    EXPECT_EQ(c.Tasks().Count(), 2);
}

TEST_F(ConverterTest, PreparingTasksFailsWithReasons) {
    const QString wav = MakeWav(QStringLiteral("a.wav"), 0.2);
    TFFmpegConverter c;
    const QString missing = dir.filePath(QStringLiteral("missing.wav"));
    EXPECT_EQ(c.AddTask(missing), -1);
    EXPECT_EQ(c.LastErrMsg(), missing.toStdString() + ": no such file or directory");
    TInputOptions in = Mp3Input(wav);
    in.FileFormat = "nosuchformat";
    EXPECT_EQ(c.AddTask(wav, &in), -1);
    EXPECT_EQ(c.LastErrMsg(), "Unknown input format: nosuchformat");
    EXPECT_EQ(c.Tasks().Count(), 0);

    // No settings: default output settings, no join.
    const int index = c.AddTask(wav);
    ASSERT_EQ(index, 0) << c.LastErrMsg();
    EXPECT_TRUE(c.SetOutputFile(index, dir.filePath(QStringLiteral("a.mp3")))) << c.LastErrMsg();
    TFFmpeg* task = c.Tasks().Items(index);
    EXPECT_EQ(task->OutputOptions().FileName, QString());
    EXPECT_EQ(task->OutputCount(), 1);
    EXPECT_EQ(task->TaskIndex(), 0);
    // The task's probe describes the input the engine opened.
    EXPECT_EQ(task->Probe().AudioStreamCount(), 1);
    EXPECT_EQ(task->Probe().FirstAudioStreamIndex(), 0);
    EXPECT_THROW(c.SetOutputFile(1, dir.filePath(QStringLiteral("b.mp3"))), std::out_of_range);
    EXPECT_THROW(c.Tasks().Items(-1), std::out_of_range);

    c.ClearTasks();
    EXPECT_EQ(c.Tasks().Count(), 0);
    EXPECT_EQ(c.LastErrMsg(), "");
}

TEST_F(ConverterTest, DisplayFlagsFollowPreviewSettings) {
    const QString wav = MakeWav(QStringLiteral("a.wav"), 0.2);
    TFFmpegConverter c;
    c.SetPreviewBitmap(true);
    ASSERT_EQ(c.AddTask(wav), 0);
    TFFmpeg* task = c.Tasks().Items(0);
    EXPECT_EQ(task->DisplayFlags(), DisplayFlagPreviewBitmap);
    task->SetDisplayFlag(8, true); // other bits are kept
    c.SetPreview(true);
    c.SetPreviewBitmap(false);
    EXPECT_EQ(task->DisplayFlags(), DisplayFlagPreview | 8);
}

TEST_F(ConverterTest, UnthreadedRunDeliversEverythingOnTheCallersThreadEndingWithMinusOne) {
    TFFmpegConverter c;
    TEventLog log;
    log.Attach(c);
    c.SetProgressInterval(100);
    const QString first = MakeWav(QStringLiteral("first.wav"), 90);
    const QString second = MakeWav(QStringLiteral("second.wav"), 20);
    ASSERT_EQ(AddMp3Task(c, first), 0);
    ASSERT_EQ(AddMp3Task(c, second), 1);

    c.StartConvert(0);
    // Everything happened inside StartConvert.
    const std::vector<TEvent> events = log.Events();
    ASSERT_FALSE(events.empty());
    for (const TEvent& e : events)
        EXPECT_EQ(e.thread, std::this_thread::get_id());
    std::vector<int> ends;
    for (const TEvent& e : events)
        if (e.kind == 'T') {
            ends.push_back(e.index);
            if (e.index >= 0) {
                EXPECT_TRUE(e.finished);
                EXPECT_FALSE(e.exception) << e.message;
            }
        }
    EXPECT_EQ(ends, (std::vector<int>{0, 1, -1}));
    EXPECT_EQ(events.back().kind, 'T');
    EXPECT_EQ(events.back().index, -1);

    // Progress carries the task's index; values rise to the total.
    const int totals[] = {90000, 20000};
    for (int task = 0; task < 2; ++task) {
        int last = -1;
        int count = 0;
        for (const TEvent& e : events) {
            if (e.kind != 'P' || e.index != task)
                continue;
            ++count;
            EXPECT_GE(e.current, last);
            last = e.current;
            EXPECT_NEAR(e.total, totals[task], 50);
        }
        // The long task reports on its way; every task reports at its end.
        EXPECT_GE(count, task == 0 ? 2 : 1) << task;
        EXPECT_NEAR(last, totals[task], 100) << task;
    }
    // Progress of a task comes before its end.
    bool firstEnded = false;
    for (const TEvent& e : events) {
        if (e.kind == 'T' && e.index == 0)
            firstEnded = true;
        if (e.kind == 'P' && e.index == 0) {
            EXPECT_FALSE(firstEnded);
        }
    }

    // The outputs decode back to the input's length.
    for (const auto& [name, seconds] :
         {std::pair{"first.mp3", 90.0}, std::pair{"second.mp3", 20.0}}) {
        TAVProbe probe;
        ASSERT_TRUE(probe.LoadFile(dir.filePath(QLatin1String(name)))) << probe.LastErrMsg();
        EXPECT_EQ(probe.AudioStreamCount(), 1);
        EXPECT_NEAR(probe.FormatContext()->duration / 1e6, seconds, 0.1) << name;
    }

    // The runs closed their inputs: the tasks' probes no longer point at them.
    for (int task = 0; task < 2; ++task) {
        EXPECT_EQ(c.Tasks().Items(task)->Probe().FormatContext(), nullptr);
        EXPECT_EQ(c.Tasks().Items(task)->Probe().StreamCount(), -1);
    }

    // The tasks ran: a second start sends no task events, only the end.
    TEventLog again;
    again.Attach(c);
    c.StartConvert(0);
    const std::vector<TEvent> second_events = again.Events();
    ASSERT_EQ(second_events.size(), 1u);
    EXPECT_EQ(second_events[0].index, -1);
}

TEST_F(ConverterTest, EmptyListSendsNothing) {
    TFFmpegConverter c;
    TEventLog log;
    log.Attach(c);
    c.StartConvert(0);
    c.StartConvert(1);
    c.StartConvert(2);
    testutil::WaitFor([] { return false; }, 100);
    EXPECT_TRUE(log.Events().empty());
    EXPECT_FALSE(c.Running());
}

} // namespace

// A custom hook needs decoded pictures: a task with one cannot copy its video.
TEST_F(ConverterTest, CustomHookRefusesVideoStreamCopy) {
    // A 2x2 picture: one video stream, read by the image demuxer.
    const QString picture = dir.filePath(QStringLiteral("frame.ppm"));
    QFile file(picture);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QByteArray("P6\n2 2\n255\n") + QByteArray(12, '\x40'));
    file.close();
    for (const bool hooked : {false, true}) {
        SCOPED_TRACE(hooked ? "hooked" : "not hooked");
        TFFmpeg task;
        ASSERT_TRUE(task.OpenInput(picture)) << task.LastError();
        if (hooked)
            task.OnCustomHook = [](TCustomFFmpeg*, TBitmap&, int, int64_t, bool&, bool&) {};
        task.SetOption("vcodec", "copy");
        const int outputs = task.AddOutput(dir.filePath(QStringLiteral("out.nut")), false);
        if (hooked) {
            EXPECT_EQ(outputs, -1);
            EXPECT_EQ(task.LastError(), "new_video_stream fail: -vcodec copy and CustomHook "
                                        "are incompatible (frames are not decoded)");
        } else {
            EXPECT_EQ(outputs, 1) << task.LastError();
        }
    }
}
