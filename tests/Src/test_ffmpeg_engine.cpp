// The transcoding engine end to end: real encodes of generated WAV files,
// decoded back and compared; the set-up failures and their texts; stop
// requests, the run's flags and callbacks, joined inputs.
#include "MediaTestUtil.h"
#include "test_ffmpeg_decode.h"

#include "FFUtils.h"
#include "AVProbe.h"
#include "FFmpegLogger.h"
#include "FFmpeg/FFmpeg.h"
#include "UnicodeProtocol.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <clocale>
#include <cstring>
#include <cstdlib>

using enginetest::Convert;
using enginetest::Decode;
using enginetest::TonePower;

namespace {

// 44100 Hz 16-bit stereo: 440 Hz on the left, 1000 Hz on the right.
std::vector<int16_t> TwoTones(double seconds, double amplitude = 0.5) {
    const auto left = testutil::SineTone(440, 44100, 1, seconds, amplitude);
    const auto right = testutil::SineTone(1000, 44100, 1, seconds, amplitude);
    std::vector<int16_t> out(left.size() * 2);
    for (size_t i = 0; i < left.size(); ++i) {
        out[2 * i] = left[i];
        out[2 * i + 1] = right[i];
    }
    return out;
}

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        testutil::LoadMediaLibraries();
        ASSERT_TRUE(dir.isValid());
    }
    QString Path(const QString& name) const { return dir.filePath(name); }
    QString MakeWav(const QString& name, double seconds) {
        const QString path = Path(name);
        EXPECT_TRUE(testutil::WriteWav(path, TwoTones(seconds), 44100, 2));
        return path;
    }
    QTemporaryDir dir;
};

struct TFormatCase {
    const char* ext;
    const char* encoder;
    const char* decoder;
    int frameSize;
};

// How many descriptors of this process are open on the file at path.
int OpenDescriptors(const QString& path) {
    const QString target = QFileInfo(path).canonicalFilePath();
    int count = 0;
    QDirIterator it(QStringLiteral("/proc/self/fd"), QDir::System | QDir::Files);
    while (it.hasNext())
        if (QFileInfo(it.next()).symLinkTarget() == target)
            ++count;
    return count;
}

// The application's encoder for AAC: "libfaac" when the library has it.
std::string AacEncoder() {
    return AVCodecStubs.avcodec_find_encoder_by_name("libfaac") ? "libfaac" : "aac";
}

// Swaps one entry of the loader's tables for a fake for the guard's lifetime.
template <typename F> class TStubSwap {
public:
    TStubSwap(F& entry, F fake) : entry_(entry), saved_(entry) { entry_ = fake; }
    ~TStubSwap() { entry_ = saved_; }
    TStubSwap(const TStubSwap&) = delete;
    TStubSwap& operator=(const TStubSwap&) = delete;

private:
    F& entry_;
    F saved_;
};

// Fakes of library calls: each fails (or asks to be called again) where a
// library may, so that the engine's handling of it shows.
decltype(AVCodecStubs.avcodec_send_packet) realSendPacket = nullptr;
int sendCalls = 0;
int SendPacketWithEagain(AVCodecContext* context, const AVPacket* packet) {
    // Every other packet is refused once, as a decoder with output pending does.
    if (packet && ++sendCalls % 2 == 0)
        return AVERROR(EAGAIN);
    return realSendPacket(context, packet);
}
int FailingFifoRead(AVAudioFifo*, void**, int) {
    return AVERROR(ENOMEM);
}
decltype(AVUtilStubs.av_opt_set_int) realOptSetInt = nullptr;
int OptSetIntFailingForFilterSize(void* object, const char* name, int64_t value, int flags) {
    if (std::strcmp(name, "filter_size") == 0)
        return AVERROR(EINVAL);
    return realOptSetInt(object, name, value, flags);
}
int FailingSilence(uint8_t**, int, int, int, AVSampleFormat) {
    return AVERROR(EINVAL);
}
decltype(AVUtilStubs.av_dict_set) realDictSet = nullptr;
int DictSetFailingForComment(AVDictionary** dict, const char* key, const char* value, int flags) {
    if (std::strcmp(key, "comment") == 0)
        return AVERROR(ENOMEM);
    return realDictSet(dict, key, value, flags);
}
int FailingDictCopy(AVDictionary**, const AVDictionary*, int) {
    return AVERROR(ENOMEM);
}

} // namespace

// Every format at every preset, with the options the application passes.
TEST_F(EngineTest, FormatsAndPresetsDecodeBackToTheInput) {
    const double seconds = 2.0;
    const QString input = MakeWav("in.wav", seconds);
    const TFormatCase formats[] = {{"mp3", "libmp3lame", "mp3float", 1152},
                                   {"aac", "", "aac", 1024},
                                   {"wma", "wmav2", "wmav2", 2048},
                                   {"ogg", "libvorbis", "vorbis", 2048}};
    struct TPreset {
        int bitrate, rate, channels;
    } presets[] = {{256000, 48000, 2}, {192000, 48000, 2}, {128000, 44100, 2}, {64000, 22050, 1}};
    TCustomFFmpeg engine;
    for (const TFormatCase& format : formats) {
        for (const TPreset& preset : presets) {
            SCOPED_TRACE(std::string(format.ext) + " " + std::to_string(preset.bitrate));
            const std::string encoder = *format.encoder ? format.encoder : AacEncoder();
            const std::string ext = format.ext;
            std::vector<std::pair<std::string, std::string>> in;
            if (ext != "ogg")
                in.push_back({"vn", "1"});
            std::vector<std::pair<std::string, std::string>> out = {
                {"acodec", encoder},
                {"ab", std::to_string(preset.bitrate)},
                {"ac", std::to_string(preset.channels)},
                {"ar", std::to_string(preset.rate)},
                {"vn", "1"},
                {"sn", "1"}};
            if (ext == "wma")
                out.push_back({"metadata", "comment=tonvale.example.org"});
            if (ext == "ogg")
                out.push_back({"vcodec", "libtheora"});
            const QString output =
                Path(QStringLiteral("out_%1.%2").arg(preset.bitrate).arg(format.ext));
            const auto r = Convert(engine, input, in, output, out);
            ASSERT_TRUE(r.opened) << r.message;
            ASSERT_EQ(r.outputs, 1) << r.message;
            ASSERT_FALSE(r.error) << r.message;
            EXPECT_TRUE(r.finished);

            const auto d = Decode(output);
            ASSERT_TRUE(d.ok);
            EXPECT_EQ(d.codec, format.decoder);
            EXPECT_EQ(d.rate, preset.rate);
            EXPECT_EQ(d.channels, preset.channels);
            // Encoder priming and the padded last frame: within one frame for
            // containers that record them; ADTS AAC keeps its 1024 priming samples.
            const double slack =
                static_cast<double>(format.frameSize) * (ext == "aac" ? 2 : 1) / preset.rate;
            EXPECT_NEAR(d.Seconds(), seconds, slack);
            if (preset.channels == 2) {
                EXPECT_GT(TonePower(d, 0, 440), 0.3);
                EXPECT_GT(TonePower(d, 1, 1000), 0.3);
                EXPECT_LT(TonePower(d, 0, 1000), 0.05);
            } else {
                // The economy preset mixes both channels into one.
                EXPECT_GT(TonePower(d, 0, 440), 0.1);
                EXPECT_GT(TonePower(d, 0, 1000), 0.1);
                EXPECT_LT(TonePower(d, 0, 700), 0.02);
            }
            if (ext == "wma") {
                EXPECT_EQ(d.comment, "tonvale.example.org");
            }
        }
    }
}

// A video bit rate given after the audio one leaves the audio encoder alone.
TEST_F(EngineTest, VideoBitrateDoesNotChangeTheAudioBitrate) {
    const double seconds = 2.0;
    const QString input = MakeWav("in.wav", seconds);
    const QString output = Path(QStringLiteral("out.mp3"));
    TCustomFFmpeg engine;
    const auto r =
        Convert(engine, input, {{"vn", "1"}}, output,
                {{"acodec", "libmp3lame"}, {"ab", "192000"}, {"b", "64000"}, {"vn", "1"}});
    ASSERT_FALSE(r.error) << r.message;
    ASSERT_TRUE(Decode(output).ok);
    // Constant bit rate: the size gives the rate (192 kbit/s, not 64).
    const double kbits = static_cast<double>(QFileInfo(output).size()) * 8 / seconds / 1000;
    EXPECT_NEAR(kbits, 192, 20);
}

// A decoder that refuses a packet until its output is read loses no packet.
TEST_F(EngineTest, RefusedPacketIsSentAgainAfterTheOutputIsRead) {
    const QString input = MakeWav("in.wav", 1.0);
    const QString output = Path(QStringLiteral("out.wav"));
    realSendPacket = AVCodecStubs.avcodec_send_packet;
    sendCalls = 0;
    TStubSwap swap(AVCodecStubs.avcodec_send_packet, &SendPacketWithEagain);
    TCustomFFmpeg engine;
    const auto r = Convert(engine, input, {}, output, {{"acodec", "pcm_s16le"}});
    ASSERT_FALSE(r.error) << r.message;
    EXPECT_GT(sendCalls, 4);
    const auto in = Decode(input);
    const auto out = Decode(output);
    ASSERT_TRUE(out.ok);
    EXPECT_EQ(out.samples, in.samples);
}

// Failing library calls end the run (or the set-up) with a clear text.
TEST_F(EngineTest, FailingLibraryCallsGiveErrorTexts) {
    const QString input = MakeWav("in.wav", 1.0);
    realDictSet = AVUtilStubs.av_dict_set;
    realOptSetInt = AVUtilStubs.av_opt_set_int;
    using TOptions = std::vector<std::pair<std::string, std::string>>;
    struct {
        std::function<std::shared_ptr<void>()> swap;
        const char* ext;
        TOptions options;
        std::string message;
    } const cases[] = {
        {[] {
             return std::make_shared<TStubSwap<decltype(AVUtilStubs.av_audio_fifo_read)>>(
                 AVUtilStubs.av_audio_fifo_read, &FailingFifoRead);
         },
         "mp3",
         {{"acodec", "libmp3lame"}},
         "Could not read audio samples from the FIFO"},
        {[] {
             return std::make_shared<TStubSwap<decltype(AVUtilStubs.av_opt_set_int)>>(
                 AVUtilStubs.av_opt_set_int, &OptSetIntFailingForFilterSize);
         },
         "wav",
         {{"acodec", "pcm_s16le"}, {"ar", "22050"}},
         "Can not resample 2 channels @ 44100 Hz to 2 channels @ 22050 Hz"},
        {[] {
             return std::make_shared<TStubSwap<decltype(AVUtilStubs.av_samples_set_silence)>>(
                 AVUtilStubs.av_samples_set_silence, &FailingSilence);
         },
         "wma",
         {{"acodec", "wmav2"}},
         "Could not pad the last audio frame with silence"},
        {[] {
             return std::make_shared<TStubSwap<decltype(AVUtilStubs.av_dict_set)>>(
                 AVUtilStubs.av_dict_set, &DictSetFailingForComment);
         },
         "wav",
         {{"acodec", "pcm_s16le"}, {"metadata", "comment=x"}},
         "Could not set \"comment\" to \"x\""},
        {[] {
             return std::make_shared<TStubSwap<decltype(AVUtilStubs.av_dict_copy)>>(
                 AVUtilStubs.av_dict_copy, &FailingDictCopy);
         },
         "wav",
         {{"acodec", "pcm_s16le"}, {"map_meta_data", "0:0"}},
         "Could not copy metadata"},
    };
    TCustomFFmpeg engine;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        const auto swap = c.swap();
        const auto r = Convert(engine, input, {}, Path(QStringLiteral("out.") + c.ext), c.options);
        EXPECT_TRUE(r.error || r.outputs < 0);
        EXPECT_EQ(r.message, c.message);
    }
}

// A run that encodes nothing reports no overhead rather than "nan" or "inf".
TEST_F(EngineTest, EmptyRunReportsNoInvalidOverhead) {
    const QString input = Path("empty.wav");
    ASSERT_TRUE(testutil::WriteWav(input, {}, 44100, 2));
    std::vector<std::string> lines;
    const TLogLevel savedLevel = FFLogger().LogLevel();
    FFLogger().SetLogLevel(llVerbose);
    FFLogger().OnLog = [&](const void*, uint32_t, TLogLevel, const std::string& text) {
        lines.push_back(text);
    };
    TCustomFFmpeg engine;
    const auto r = Convert(engine, input, {}, Path("out.wav"), {{"acodec", "pcm_s16le"}});
    FFLogger().OnLog = nullptr;
    FFLogger().SetLogLevel(savedLevel);
    ASSERT_FALSE(r.error) << r.message;
    bool reported = false;
    for (const std::string& line : lines)
        if (line.find("muxing overhead") != std::string::npos) {
            reported = true;
            EXPECT_EQ(line.find("nan"), std::string::npos) << line;
            EXPECT_EQ(line.find("inf"), std::string::npos) << line;
        }
    EXPECT_TRUE(reported);
}

// "muxpreload" reaches the muxers that have a preload: an MPEG program
// stream starts its first packet that late.
TEST_F(EngineTest, MuxPreloadSetsTheStartOfAnMpegStream) {
    const QString input = MakeWav("in.wav", 1.0);
    TCustomFFmpeg engine;
    for (const double preload : {0.2, 0.9}) {
        SCOPED_TRACE(preload);
        const QString output = Path(QStringLiteral("out_%1.mpg").arg(preload));
        const auto r =
            Convert(engine, input, {{"vn", "1"}}, output,
                    {{"acodec", "mp2"}, {"muxpreload", std::to_string(preload)}, {"vn", "1"}});
        ASSERT_FALSE(r.error) << r.message;
        AVFormatContext* ic = nullptr;
        ASSERT_GE(
            AVFormatStubs.avformat_open_input(&ic, output.toStdString().c_str(), nullptr, nullptr),
            0);
        EXPECT_GE(AVFormatStubs.avformat_find_stream_info(ic, nullptr), 0);
        EXPECT_NEAR(static_cast<double>(ic->start_time) / AV_TIME_BASE, preload, 0.05);
        AVFormatStubs.avformat_close_input(&ic);
    }
}

TEST_F(EngineTest, VolumeScalesSixteenBitSamplesAndClips) {
    const QString input = Path("loud.wav");
    ASSERT_TRUE(testutil::WriteWav(input, testutil::SineTone(440, 44100, 2, 0.5, 0.75), 44100, 2));
    const auto original = Decode(input);
    TCustomFFmpeg engine;
    for (const int volume : {256, 512}) {
        SCOPED_TRACE(volume);
        const QString output = Path(QStringLiteral("vol%1.wav").arg(volume));
        const auto r = Convert(engine, input, {}, output,
                               {{"acodec", "pcm_s16le"}, {"vol", std::to_string(volume)}});
        ASSERT_FALSE(r.error) << r.message;
        const auto d = Decode(output);
        ASSERT_EQ(d.samples.size(), original.samples.size());
        if (volume == 256) {
            EXPECT_EQ(d.samples, original.samples);
            continue;
        }
        const auto [lo, hi] = std::minmax_element(d.samples.begin(), d.samples.end());
        EXPECT_EQ(*hi, 32767);
        EXPECT_EQ(*lo, -32768);
        for (size_t i = 0; i < d.samples.size(); ++i)
            if (std::abs(original.samples[i]) < 16000) {
                ASSERT_EQ(d.samples[i], original.samples[i] * 2) << i;
            }
    }
}

TEST_F(EngineTest, ResamplerAndConverterAreMadeOnlyWhenNeeded) {
    const QString stereo = MakeWav("stereo.wav", 0.5);
    const QString mono = Path("mono.wav");
    ASSERT_TRUE(testutil::WriteWav(mono, testutil::SineTone(440, 44100, 1, 0.5), 44100, 1));
    struct TCase {
        const char* name;
        QString input;
        std::vector<std::pair<std::string, std::string>> options;
        const char* output;
        int resamplers, converters;
    } cases[] = {
        {"same format", stereo, {{"acodec", "pcm_s16le"}}, "same.wav", 0, 0},
        {"rate", stereo, {{"acodec", "pcm_s16le"}, {"ar", "22050"}}, "rate.wav", 1, 0},
        {"channels only", mono, {{"acodec", "pcm_s16le"}, {"ac", "2"}}, "up.wav", 1, 0},
        {"sample format", stereo, {{"acodec", "pcm_f32le"}}, "float.wav", 0, 1},
        {"mp3 same rate", stereo, {{"acodec", "libmp3lame"}}, "same.mp3", 0, 1},
    };
    TCustomFFmpeg engine;
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        const auto r = Convert(engine, c.input, {}, Path(c.output), c.options);
        ASSERT_FALSE(r.error) << r.message;
        EXPECT_EQ(engine.ResamplersCreated(), c.resamplers);
        EXPECT_EQ(engine.ConvertersCreated(), c.converters);
        EXPECT_GT(TonePower(Decode(Path(c.output)), 0, 440), 0.3);
    }
    // The mono input reaches both channels of the stereo output.
    const auto up = Decode(Path("up.wav"));
    EXPECT_EQ(up.channels, 2);
    EXPECT_GT(TonePower(up, 1, 440), 0.3);
}

// An output gets its name only when its run finished: a stopped run or one
// whose encoder cannot open leaves the old file as it was and nothing beside it.
TEST_F(EngineTest, StoppedOrFailedRunLeavesTheOldFileAsItWas) {
    const QString input = MakeWav("long.wav", 120);
    const struct {
        const char* what;
        const char* sampleRate;
        bool stop;
    } cases[] = {{"stopped mid-run", "44100", true}, {"encoder cannot open", "1000000000", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const QString output = Path("kept.mp3");
        {
            QFile old(output);
            ASSERT_TRUE(old.open(QIODevice::WriteOnly));
            old.write("old content");
        }
        TCustomFFmpeg engine;
        engine.ResetEngine();
        engine.SetOption("vn", "1");
        ASSERT_TRUE(engine.OpenInput(input)) << engine.LastError();
        engine.SetOption("acodec", "libmp3lame");
        engine.SetOption("ar", c.sampleRate);
        ASSERT_EQ(engine.AddOutput(output, false), 1) << engine.LastError();
        engine.ProgressInterval = 1000;
        std::atomic<int> terminated{0};
        engine.OnProgress = [](TCustomFFmpeg* sender, int, int, int currentMs, float, float,
                               int64_t, int) {
            if (currentMs > 2000)
                sender->StopConvert(false); // from the run's own thread
        };
        if (!c.stop)
            engine.OnProgress = nullptr;
        engine.OnTerminate = [&](TCustomFFmpeg*) { ++terminated; };
        engine.StartConvert(false);
        EXPECT_EQ(terminated.load(), 1);
        EXPECT_EQ(engine.ErrorOccurred(), !c.stop) << engine.ErrorMessage();
        EXPECT_FALSE(engine.Finished());
        EXPECT_TRUE(engine.Terminated());
        QFile kept(output);
        ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
        EXPECT_EQ(kept.readAll(), "old content");
        EXPECT_EQ(QDir(dir.path()).entryList(QDir::Hidden | QDir::Files).filter("kept"),
                  QStringList{"kept.mp3"});

        // A terminated engine does not run again until ResetEngine.
        EXPECT_EQ(engine.StartConvert(false), nullptr);
        EXPECT_EQ(terminated.load(), 1);
    }
}

// Until its run writes it, an output is not touched: set-up and a run that
// never starts leave no file, not even a temporary one.
TEST_F(EngineTest, SetUpAloneTouchesNoOutput) {
    const QString input = MakeWav("in.wav", 1);
    {
        TCustomFFmpeg engine;
        engine.ResetEngine();
        ASSERT_TRUE(engine.OpenInput(input)) << engine.LastError();
        ASSERT_EQ(engine.AddOutput(Path("never.mp3"), false), 1) << engine.LastError();
        EXPECT_EQ(QDir(dir.path()).entryList(QDir::Hidden | QDir::Files), QStringList{"in.wav"});
    }
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Hidden | QDir::Files), QStringList{"in.wav"});
    // An output that cannot be written is still refused at set-up.
    TCustomFFmpeg engine;
    engine.ResetEngine();
    ASSERT_TRUE(engine.OpenInput(input)) << engine.LastError();
    EXPECT_LT(engine.AddOutput(Path("no/such/folder/x.mp3"), false), 0);
    EXPECT_NE(engine.LastError().find("Could not open"), std::string::npos) << engine.LastError();
}

TEST_F(EngineTest, ProgressReportsTimeSizeAndExpectedDuration) {
    const QString input = MakeWav("p.wav", 3);
    TCustomFFmpeg engine;
    engine.ResetEngine();
    ASSERT_TRUE(engine.OpenInput(input));
    engine.SetOption("acodec", "libvorbis");
    ASSERT_EQ(engine.AddOutput(Path("p.ogg"), false), 1);
    engine.ProgressInterval = 1;
    struct TReport {
        int frame, fps, ms;
        float quality;
        int64_t size;
        int total;
    };
    std::vector<TReport> reports;
    engine.OnProgress = [&](TCustomFFmpeg*, int frame, int fps, int ms, float q, float,
                            int64_t size, int total) {
        reports.push_back({frame, fps, ms, q, size, total});
    };
    engine.StartConvert(false);
    ASSERT_FALSE(engine.ErrorOccurred()) << engine.ErrorMessage();
    ASSERT_GE(reports.size(), 2u);
    for (const TReport& r : reports) {
        EXPECT_EQ(r.frame, -1);
        EXPECT_EQ(r.fps, -1);
        EXPECT_EQ(r.quality, -1.0f);
        EXPECT_EQ(r.total, 3000);
    }
    EXPECT_NEAR(reports.back().ms, 3000, 60);
    EXPECT_EQ(reports.back().size, QFileInfo(Path("p.ogg")).size());
    for (size_t i = 1; i < reports.size(); ++i)
        EXPECT_GE(reports[i].ms, reports[i - 1].ms);
}

TEST_F(EngineTest, BrokenInputsGiveTheOpenErrorTexts) {
    const QString good = MakeWav("good.wav", 0.2);
    QFile goodFile(good);
    ASSERT_TRUE(goodFile.open(QIODevice::ReadOnly));
    const QByteArray wav = goodFile.readAll();
    auto write = [&](const char* name, const QByteArray& bytes) {
        QFile file(Path(name));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
        return Path(name);
    };
    struct TCase {
        QString path;
        const char* suffix;
    } cases[] = {
        {write("garbage.wav", QByteArray(4096, '\x5a')), ": Unknown format"},
        {write("empty.wav", QByteArray()), ": Unknown format"},
        {write("cut.wav", wav.left(40)), ": Error while parsing header"},
        {Path("missing.wav"), ": no such file or directory"},
    };
    TCustomFFmpeg engine;
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.path.toStdString());
        const QString output = c.path + QStringLiteral(".mp3");
        const auto r = Convert(engine, c.path, {{"vn", "1"}}, output, {{"acodec", "libmp3lame"}});
        EXPECT_FALSE(r.opened);
        EXPECT_EQ(r.message, c.path.toStdString() + c.suffix);
        // The probe opens files the same way and says the same.
        TAVProbe probe;
        EXPECT_FALSE(probe.LoadFile(c.path));
        EXPECT_EQ(probe.LastErrMsg(), r.message);
        EXPECT_EQ(engine.InputCount(), 0);
        EXPECT_FALSE(QFileInfo::exists(output));
    }

    // Audio data cut short (odd byte count included): what is there is converted.
    const QString shortData = write("short.wav", wav.left(44 + 8000 + 1));
    const auto r = Convert(engine, shortData, {}, Path("short.wav.flac"), {});
    ASSERT_FALSE(r.error) << r.message;
    EXPECT_EQ(Decode(Path("short.wav.flac")).Frames(), 2000u);
}

TEST_F(EngineTest, OutputSetupFailuresRegisterNothing) {
    const QString input = MakeWav("in.wav", 0.2);
    TCustomFFmpeg engine;
    engine.ResetEngine();
    ASSERT_TRUE(engine.OpenInput(input));

    const QString unknown = Path("out.notaformat");
    EXPECT_EQ(engine.AddOutput(unknown, false), -1);
    EXPECT_EQ(engine.LastError(),
              "Unable to find a suitable output format for '" + unknown.toStdString() + "'");

    const QString unwritable = Path("no/such/folder/out.mp3");
    EXPECT_EQ(engine.AddOutput(unwritable, false), -1);
    EXPECT_EQ(engine.LastError(), "Could not open '" + unwritable.toStdString() + "'");

    engine.SetOption("acodec", "nosuchencoder");
    EXPECT_EQ(engine.AddOutput(Path("x.mp3"), false), -1);
    EXPECT_EQ(engine.LastError(), "new_audio_stream fail: Unknown encoder 'nosuchencoder'");
    EXPECT_EQ(engine.OutputCount(), 0);
    EXPECT_FALSE(QFileInfo::exists(Path("x.mp3")));

    // A video encoding path is refused up front, not half-way through a run.
    EXPECT_EQ(engine.AddOutput(Path("x.avi"), false), -1);
    EXPECT_EQ(engine.OutputCount(), 0);

    // Writing over the input, by its name or through a link, would destroy it.
    engine.SetOption("acodec", "pcm_s16le");
    const qint64 size = QFileInfo(input).size();
    ASSERT_TRUE(QFile::link(input, Path("link.wav")));
    for (const QString& same : {input, Path("link.wav")}) {
        EXPECT_EQ(engine.AddOutput(same, false), -1);
        EXPECT_EQ(engine.LastError(),
                  same.toStdString() + ": the output file is also an input file");
    }
    EXPECT_EQ(QFileInfo(input).size(), size);
    EXPECT_EQ(engine.OutputCount(), 0);
}

TEST_F(EngineTest, JoinedInputsMakeOneOutputAndRefuseASecond) {
    const QString a = MakeWav("a.wav", 1.0);
    const QString b = MakeWav("b.wav", 1.5);
    TCustomFFmpeg engine;
    engine.ResetEngine();
    ASSERT_TRUE(engine.OpenInput(a));
    ASSERT_TRUE(engine.OpenInput(b));
    engine.SetOption("acodec", "pcm_s16le");
    EXPECT_EQ(engine.AddOutput(Path("joined.wav"), true), 2); // one slot per input
    EXPECT_EQ(engine.AddOutput(Path("second.wav"), false), -1);
    EXPECT_EQ(engine.LastError(), "Cannot join more than one output file.");
    engine.StartConvert(false);
    ASSERT_FALSE(engine.ErrorOccurred()) << engine.ErrorMessage();
    const auto d = Decode(Path("joined.wav"));
    EXPECT_NEAR(d.Seconds(), 2.5, 0.01);
    EXPECT_GT(TonePower(d, 0, 440), 0.3);
}

namespace {

// The largest magnitude of one channel.
int Peak(const enginetest::TDecoded& d, int channel) {
    int peak = 0;
    for (size_t i = static_cast<size_t>(channel); i < d.samples.size();
         i += static_cast<size_t>(d.channels))
        peak = std::max(peak, std::abs(static_cast<int>(d.samples[i])));
    return peak;
}

} // namespace

// A chain of audio filters ("af" / "afilters") shapes what is encoded: the level, the
// length, another rate (resampled to the output's), each input of a joined output alike.
TEST_F(EngineTest, AudioFiltersShapeWhatIsEncoded) {
    const QString input = MakeWav("in.wav", 1.0);
    const QString second = MakeWav("second.wav", 0.5);
    const auto original = Decode(input);
    const struct {
        const char* name;
        const char* filters;
        bool joined;
        double seconds, gain;
    } cases[] = {
        {"af", "volume=0.5", false, 1.0, 0.5},
        {"afilters", "aresample=22050", false, 1.0, 1.0},
        {"af", "atrim=end=0.25", false, 0.25, 1.0},
        {"af", "[in]volume='0.5'[out]", true, 1.5, 0.5},
    };
    TCustomFFmpeg engine;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.filters);
        const QString output = Path("filtered.wav");
        engine.ResetEngine();
        ASSERT_TRUE(engine.OpenInput(input));
        if (c.joined) {
            ASSERT_TRUE(engine.OpenInput(second));
        }
        engine.SetOption("acodec", "pcm_s16le");
        engine.SetOption(c.name, c.filters);
        ASSERT_GE(engine.AddOutput(output, c.joined), 1) << engine.LastError();
        engine.StartConvert(false);
        ASSERT_FALSE(engine.ErrorOccurred()) << engine.ErrorMessage();
        const auto d = Decode(output);
        EXPECT_EQ(d.rate, 44100);
        EXPECT_NEAR(d.Seconds(), c.seconds, 0.01);
        EXPECT_GT(TonePower(d, 0, 440), 0.3);
        EXPECT_GT(TonePower(d, 1, 1000), 0.3);
        for (int channel = 0; channel < 2; ++channel)
            EXPECT_NEAR(static_cast<double>(Peak(d, channel)) / Peak(original, channel), c.gain,
                        0.02 * c.gain);
    }
}

// A chain that cannot take the input fails the run before anything is written; a copied
// stream is never decoded, so it cannot be filtered.
TEST_F(EngineTest, AudioFiltersThatCannotWorkFailWithTheirReason) {
    const QString input = MakeWav("in.wav", 0.2);
    TCustomFFmpeg engine;
    const auto r = Convert(engine, input, {}, Path("mapped.wav"),
                           {{"acodec", "pcm_s16le"}, {"af", "channelmap=map=FC-FL"}});
    EXPECT_TRUE(r.error);
    EXPECT_EQ(r.message, "Error opening audio filters: Invalid argument");
    EXPECT_FALSE(QFileInfo::exists(Path("mapped.wav")));

    engine.ResetEngine();
    ASSERT_TRUE(engine.OpenInput(input));
    engine.SetOption("acodec", "copy");
    engine.SetOption("af", "volume=0.5");
    EXPECT_EQ(engine.AddOutput(Path("copy.wav"), false), -1);
    EXPECT_EQ(engine.LastError(), "new_audio_stream fail: -acodec copy and -afilters are "
                                  "incompatible (frames are not decoded)");
    EXPECT_EQ(engine.OutputCount(), 0);
}

TEST_F(EngineTest, RunWithoutOutputEndsAtOnceAndEmptyOutputsAreRemoved) {
    const QString input = MakeWav("in.wav", 0.2);
    TCustomFFmpeg engine;
    engine.ResetEngine();
    ASSERT_TRUE(engine.OpenInput(input));
    int ends = 0;
    engine.OnTerminate = [&](TCustomFFmpeg*) { ++ends; };
    EXPECT_EQ(engine.StartConvert(true), nullptr);
    EXPECT_EQ(ends, 1);
    EXPECT_TRUE(engine.ErrorOccurred());
    EXPECT_EQ(engine.ErrorMessage(), "At least one output file must be specified");

    // A run that fails before writing anything leaves no file behind.
    engine.ResetEngine();
    ASSERT_TRUE(engine.OpenInput(input));
    engine.SetOption("map", "0.0");
    engine.SetOption("map", "0.0");
    ASSERT_EQ(engine.AddOutput(Path("empty.mp3"), false), 1);
    EXPECT_FALSE(QFileInfo::exists(Path("empty.mp3")));
    engine.StartConvert(false);
    EXPECT_TRUE(engine.ErrorOccurred());
    EXPECT_EQ(engine.ErrorMessage(), "Number of stream maps must match number of output streams");
    EXPECT_FALSE(QFileInfo::exists(Path("empty.mp3")));
}

// An input whose stream parameters cannot be read is closed again, file
// included, whether the library or the engine's own I/O opened it.
TEST_F(EngineTest, InputFailingAfterItWasOpenedLeavesNoFileOpen) {
    // In the "C" locale the second name can only be reached through the
    // engine's own I/O.
    const std::string savedLocale = std::setlocale(LC_CTYPE, nullptr);
    ASSERT_NE(std::setlocale(LC_CTYPE, "C"), nullptr);
    const struct {
        QString name;
        bool encoded;
    } cases[] = {{QStringLiteral("plain.wav"), false},
                 {QStringLiteral("n\u00e4me \u03c9.wav"), true}};
    auto* const realFindStreamInfo = AVFormatStubs.avformat_find_stream_info;
    for (const auto& [name, encoded] : cases) {
        SCOPED_TRACE(name.toStdString());
        const QString input = MakeWav(name, 0.2);
        EXPECT_EQ(NeedsUnicodeName(input), encoded);
        TCustomFFmpeg engine;
        engine.ResetEngine();
        AVFormatStubs.avformat_find_stream_info = [](AVFormatContext*, AVDictionary**) {
            return AVERROR_INVALIDDATA;
        };
        const bool opened = engine.OpenInput(input);
        AVFormatStubs.avformat_find_stream_info = realFindStreamInfo;
        EXPECT_FALSE(opened);
        EXPECT_EQ(engine.LastError(), input.toStdString() + ": could not find codec parameters");
        EXPECT_EQ(engine.InputCount(), 0);
        EXPECT_EQ(OpenDescriptors(input), 0);
        // The same engine still opens a good input afterwards.
        EXPECT_TRUE(engine.OpenInput(input)) << engine.LastError();
        EXPECT_EQ(OpenDescriptors(input), 1);
        engine.CloseFiles();
        EXPECT_EQ(OpenDescriptors(input), 0);
    }
    std::setlocale(LC_CTYPE, savedLocale.c_str());
}
