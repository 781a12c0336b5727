// The engine's option vocabulary against the real media libraries: settings each
// option changes, the failure texts, the generic option store, presets,
// bitstream filters and targets.
#include "FFmpeg/FFmpegOptions.h"

#include "FFmpegLogger.h"
#include "FFmpegStubs.h"
#include "MediaTestUtil.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

namespace {

struct TLogLine {
    TLogLevel level;
    std::string text;
};

// An engine stand-in: supplies opened inputs for the hooks of the option layer.
class TOptionsWithInputs : public TFFmpegOptions {
public:
    std::vector<TFrameRate> TimeBases;
    int Inputs = 0;
    std::vector<std::string> HookArgs;
    bool HookResult = true;

protected:
    int OpenedInputCount() const override { return Inputs; }
    std::vector<TFrameRate> InputVideoTimeBases() const override { return TimeBases; }
    bool AddFrameHook(const std::vector<std::string>& args) override {
        HookArgs = args;
        return HookResult;
    }
};

class OptionsTest : public ::testing::Test {
protected:
    void SetUp() override {
        testutil::LoadMediaLibraries();
        savedLevel_ = FFLogger().LogLevel();
        FFLogger().SetLogLevel(llVerbose);
        FFLogger().OnLog = [this](const void*, uint32_t, TLogLevel level, const std::string& text) {
            log_.push_back({level, text});
        };
    }
    void TearDown() override {
        FFLogger().OnLog = nullptr;
        FFLogger().SetLogLevel(savedLevel_);
    }

    bool Logged(const std::string& text, TLogLevel level) const {
        for (const TLogLine& line : log_)
            if (line.text == text && line.level == level)
                return true;
        return false;
    }
    bool LoggedContaining(const std::string& part) const {
        for (const TLogLine& line : log_)
            if (line.text.find(part) != std::string::npos)
                return true;
        return false;
    }

    static std::string FailureOf(const std::function<void()>& action) {
        try {
            action();
        } catch (const FFmpegException& e) {
            return e.what();
        }
        return "(no failure)";
    }

    static int64_t IntOption(void* context, const char* name) {
        int64_t value = -12345;
        EXPECT_GE(AVUtilStubs.av_opt_get_int(context, name, 0, &value), 0) << name;
        return value;
    }

    std::vector<TLogLine> log_;
    TLogLevel savedLevel_ = llInfo;
};

using TCheck = std::function<void(const TFFmpegOptions&)>;
struct TSettingCase {
    std::vector<std::pair<std::string, std::string>> options;
    TCheck check;
};
struct TFailureCase {
    std::vector<std::pair<std::string, std::string>> before; // applied first, must succeed
    std::string name;
    std::string value;
    std::string message;
};

void RunSettingCases(const std::vector<TSettingCase>& cases) {
    for (size_t i = 0; i < cases.size(); ++i) {
        TFFmpegOptions options;
        std::string applied;
        for (const auto& [name, value] : cases[i].options) {
            applied += name + "=" + value + " ";
            ASSERT_NO_THROW(options.SetOption(name, value)) << applied;
        }
        SCOPED_TRACE("case " + std::to_string(i) + ": " + applied);
        cases[i].check(options);
    }
}

void RunFailureCases(const std::vector<TFailureCase>& cases) {
    for (const TFailureCase& c : cases) {
        TFFmpegOptions options;
        for (const auto& [name, value] : c.before)
            ASSERT_NO_THROW(options.SetOption(name, value)) << name << "=" << value;
        std::string message = "(no failure)";
        try {
            options.SetOption(c.name, c.value);
        } catch (const FFmpegException& e) {
            message = e.what();
        }
        EXPECT_EQ(message, c.message) << c.name << "=" << c.value;
    }
}

TEST_F(OptionsTest, ResetRestoresEveryDefault) {
    TFFmpegOptions fresh;
    TFFmpegOptions changed;
    for (const auto& [name, value] :
         std::vector<std::pair<std::string, std::string>>{{"s", "320x240"},
                                                          {"ar", "8000"},
                                                          {"vcodec", "copy"},
                                                          {"acodec", "mp2"},
                                                          {"map", "0.1"},
                                                          {"metadata", "a=b"},
                                                          {"vbsf", "null"},
                                                          {"vn", "1"},
                                                          {"padcolor", "255"},
                                                          {"af", "volume=2"},
                                                          {"intra_matrix", std::string(63, ',')},
                                                          {"t", "5"}})
        changed.SetOption(name, value);
    changed.ResetOptions();
    auto a = fresh.DescribeSettings();
    auto b = changed.DescribeSettings();
    // ExpectedTotalDuration belongs to the engine's reset, not to ResetOptions.
    std::erase_if(a, [](const auto& p) { return p.first == "ExpectedTotalDuration"; });
    std::erase_if(b, [](const auto& p) { return p.first == "ExpectedTotalDuration"; });
    std::erase_if(b, [](const auto& p) { return p.first.rfind("generic ", 0) == 0; });
    EXPECT_EQ(a, b);
    EXPECT_EQ(fresh.AudioSampleRate, 44100);
    EXPECT_EQ(fresh.AudioChannels, 2);
    EXPECT_EQ(fresh.AudioVolume, 256);
    EXPECT_EQ(fresh.AudioQScale, -99999);
    EXPECT_EQ(fresh.RecordingTime, INT64_MAX);
    EXPECT_EQ(fresh.MaxFrames[omtSubtitle], INT_MAX);
    EXPECT_EQ(fresh.IntraDcPrecision, 8);
    EXPECT_EQ(fresh.VideoSyncMethod, -1);
    EXPECT_EQ(fresh.SwsFlags, 4);
    EXPECT_EQ(fresh.BitBufferSize, 262144);
    EXPECT_EQ(fresh.PadColor[0], 16);
    EXPECT_EQ(fresh.PadColor[1], 128);
    EXPECT_EQ(fresh.PadColor[2], 128);
}

TEST_F(OptionsTest, GeneralAndTimingOptions) {
    RunSettingCases({
        {{{"vn", "0"}}, [](auto& o) { EXPECT_FALSE(o.VideoDisable); }},
        {{{"vn", ""}}, [](auto& o) { EXPECT_TRUE(o.VideoDisable); }},
        {{{"copyts", "0"}, {"xerror", "0"}},
         [](auto& o) {
             EXPECT_TRUE(o.CopyTs);
             EXPECT_TRUE(o.ExitOnError);
         }},
        {{{"shortest", "1"}, {"isync", "x"}, {"dump", "1"}, {"hex", "1"}, {"re", "1"}},
         [](auto& o) {
             EXPECT_TRUE(o.OptShortest && o.InputSync && o.DoPktDump && o.DoHexDump && o.RateEmu);
         }},
        {{{"t", "1.5"}},
         [](auto& o) {
             EXPECT_EQ(o.RecordingTime, 1500000);
             EXPECT_EQ(o.ExpectedTotalDuration, 1500);
         }},
        {{{"t", "0"}}, [](auto& o) { EXPECT_EQ(o.RecordingTime, INT64_MAX); }},
        {{{"ss", "00:01:02.5"}, {"itsoffset", "-2"}, {"fs", "5000000000"}},
         [](auto& o) {
             EXPECT_EQ(o.StartTime, 62500000);
             EXPECT_EQ(o.InputTsOffset, -2000000);
             EXPECT_EQ(o.LimitFileSize, 5000000000LL);
         }},
        {{{"timestamp", "1970-01-01T00:00:10.6Z"}},
         [](auto& o) { EXPECT_EQ(o.RecordingTimestamp, 11); }},
        {{{"map", "0.1"}, {"map", "0:2:1.3"}, {"map", "0x1.010"}},
         [](auto& o) {
             ASSERT_EQ(o.StreamMaps.size(), 3u);
             const TStreamMap& a = o.StreamMaps[0];
             EXPECT_EQ(
                 std::vector<int>({a.FileIndex, a.StreamIndex, a.SyncFileIndex, a.SyncStreamIndex}),
                 std::vector<int>({0, 1, 0, 1}));
             const TStreamMap& b = o.StreamMaps[1];
             EXPECT_EQ(
                 std::vector<int>({b.FileIndex, b.StreamIndex, b.SyncFileIndex, b.SyncStreamIndex}),
                 std::vector<int>({0, 2, 1, 3}));
             EXPECT_EQ(o.StreamMaps[2].FileIndex, 1);
             EXPECT_EQ(o.StreamMaps[2].StreamIndex, 8); // C integer: octal "010"
         }},
        {{{"map_meta_data", "1.0"}},
         [](auto& o) {
             ASSERT_EQ(o.MetaDataMaps.size(), 1u);
             EXPECT_EQ(o.MetaDataMaps[0].OutFile, 1);
             EXPECT_EQ(o.MetaDataMaps[0].InFile, 0);
         }},
        {{{"itsscale", "3:1.5"}}, [](auto& o) { EXPECT_EQ(o.InputTsScale[0][3], 1.5); }},
        {{{"metadata", "title=a=b"}, {"metadata", "empty="}},
         [](auto& o) {
             ASSERT_EQ(o.MetaDataPairs.size(), 2u);
             EXPECT_EQ(o.MetaDataPairs[0].Key, "title");
             EXPECT_EQ(o.MetaDataPairs[0].Value, "a=b");
             EXPECT_EQ(o.MetaDataPairs[1].Value, "");
         }},
        {{{"dframes", "7"}, {"loop_input", "1"}, {"loop_output", "3"}, {"v", "-1"}},
         [](auto& o) {
             EXPECT_EQ(o.MaxFrames[omtData], 7);
             EXPECT_TRUE(o.LoopInput);
             EXPECT_EQ(o.LoopOutput, 3);
             EXPECT_EQ(o.Verbose, -1);
         }},
        {{{"vsync", "2"},
          {"async", "100"},
          {"adrift_threshold", "0.25"},
          {"vglobal", "3"},
          {"dts_delta_threshold", "4.5"},
          {"programid", "7"},
          {"copyinkf", "1"},
          {"muxdelay", "1.25"},
          {"muxpreload", "0.125"}},
         [](auto& o) {
             EXPECT_EQ(o.VideoSyncMethod, 2);
             EXPECT_EQ(o.AudioSyncMethod, 100);
             EXPECT_EQ(o.AudioDriftThreshold, 0.25);
             EXPECT_EQ(o.VideoGlobalHeader, 3);
             EXPECT_EQ(o.DtsDeltaThreshold, 4.5);
             EXPECT_EQ(o.OptProgramID, 7);
             EXPECT_EQ(o.CopyInitialNonKeyframes, 1);
             EXPECT_EQ(o.MuxMaxDelay, 1.25);
             EXPECT_EQ(o.MuxPreload, 0.125);
         }},
        {{{"f", "wav"}},
         [](auto& o) {
             ASSERT_NE(o.ForcedInputFormat, nullptr);
             ASSERT_NE(o.ForcedOutputFormat, nullptr);
             EXPECT_STREQ(o.ForcedOutputFormat->name, "wav");
         }},
        {{{"f", "pgmyuv"}},
         [](auto& o) {
             EXPECT_TRUE(o.PgmyuvRequested);
             ASSERT_NE(o.ForcedOutputFormat, nullptr);
             EXPECT_STREQ(o.ForcedOutputFormat->name, "image2");
         }},
        {{{"nosuchoption", "1"}, {"y", "1"}}, [](auto& o) { EXPECT_EQ(o.Verbose, 1); }},
        {{{"loglevel", "warning"}}, [](auto&) { EXPECT_EQ(FFLogger().LogLevel(), llWarning); }},
    });

    RunFailureCases({
        {{}, "itsscale", "20:2", "stream index over MAX_STREAMS(20)"},
        {{}, "metadata", "title", "Missing ="},
        {{}, "t", "soon", "Invalid duration specification for t: soon"},
        {{}, "ss", "x1", "Invalid duration specification for ss: x1"},
        {{}, "timestamp", "tomorrow-ish", "Invalid date specification for timestamp: tomorrow-ish"},
        {{}, "f", "nosuchformat", "Unknown input or output format: nosuchformat"},
        {{}, "threads", "2", "TODO: option - threads"},
        {{}, "loglevel", "chatty", "'chatty' is not a valid integer value"},
        {{}, "fs", "big", "'big' is not a valid integer value"},
        {{}, "adrift_threshold", "1,5", "'1,5' is not a valid floating point value"},
    });
}

TEST_F(OptionsTest, FailedOptionsLeaveSettingsAlone) {
    TFFmpegOptions options;
    EXPECT_THROW(options.SetOption("itsscale", "20:2"), FFmpegException);
    EXPECT_THROW(options.SetOption("metadata", "novalue"), FFmpegException);
    EXPECT_THROW(options.SetOption("fs", "12abc"), EConvertError);
    EXPECT_THROW(options.SetOption("itsscale", "-1:2"), FFmpegException);
    EXPECT_TRUE(options.MetaDataPairs.empty());
    EXPECT_EQ(options.LimitFileSize, 0);
    for (const auto& file : options.InputTsScale)
        for (double scale : file)
            EXPECT_EQ(scale, 0);
}

TEST_F(OptionsTest, TablesRejectEntriesBeyondTheirLimits) {
    TFFmpegOptions options;
    for (int i = 0; i < MAX_STREAM_MAPS; ++i)
        options.SetOption("map", "0." + std::to_string(i % MAX_STREAMS));
    EXPECT_EQ(FailureOf([&] { options.SetOption("map", "0.0"); }),
              "Too many stream maps (at most 400)");
    EXPECT_EQ(options.StreamMaps.size(), 400u);
    for (int i = 0; i < MAX_META_DATA_MAPS; ++i)
        options.SetOption("map_meta_data", "0.0");
    EXPECT_EQ(FailureOf([&] { options.SetOption("map_meta_data", "0.0"); }),
              "Too many metadata maps (at most 20)");
    EXPECT_EQ(options.MetaDataMaps.size(), 20u);

    // "itsscale" addresses the next input: none left after MAX_FILES inputs.
    TOptionsWithInputs engine;
    engine.Inputs = 2;
    engine.SetOption("itsscale", "1:0.5");
    EXPECT_EQ(engine.InputTsScale[2][1], 0.5);
    engine.Inputs = MAX_FILES;
    EXPECT_EQ(FailureOf([&] { engine.SetOption("itsscale", "1:0.5"); }),
              "Too many input files (at most 20)");
}

TEST_F(OptionsTest, VideoOptions) {
    std::string matrix;
    for (int i = 1; i <= 64; ++i)
        matrix += std::to_string(i) + (i < 64 ? "," : ",99,junk");
    RunSettingCases({
        {{{"s", "640x480"}},
         [](auto& o) {
             EXPECT_EQ(o.FrameWidth, 640);
             EXPECT_EQ(o.FrameHeight, 480);
         }},
        {{{"s", "vga"}, {"r", "ntsc"}},
         [](auto& o) {
             EXPECT_EQ(o.FrameWidth, 640);
             EXPECT_EQ(o.FrameRate.num, 30000);
             EXPECT_EQ(o.FrameRate.den, 1001);
         }},
        {{{"r", "25"}},
         [](auto& o) {
             EXPECT_EQ(o.FrameRate.num, 25);
             EXPECT_EQ(o.FrameRate.den, 1);
         }},
        {{{"aspect", "4:3"}}, [](auto& o) { EXPECT_DOUBLE_EQ(o.FrameAspectRatio, 4.0 / 3.0); }},
        {{{"aspect", "1.85"}}, [](auto& o) { EXPECT_DOUBLE_EQ(o.FrameAspectRatio, 1.85); }},
        {{{"pix_fmt", "yuv422p"}}, [](auto& o) { EXPECT_EQ(o.FramePixFmt, AV_PIX_FMT_YUV422P); }},
        {{{"s", "640x12"}, {"croptop", "2"}, {"cropbottom", "9"}, {"cropleft", "-5"}},
         [](auto& o) {
             EXPECT_EQ(o.CropTop, 2);
             EXPECT_EQ(o.CropBottom, 9);
             EXPECT_EQ(o.FrameHeight, 1);
             EXPECT_EQ(o.CropLeft, 0);
             EXPECT_EQ(o.FrameWidth, 640);
         }},
        {{{"s", "20x20"}, {"cropleft", "4"}, {"cropright", "15"}},
         [](auto& o) {
             EXPECT_EQ(o.FrameWidth, 1);
             EXPECT_EQ(o.CropRight, 15);
         }},
        {{{"padtop", "4"}, {"padbottom", "6"}, {"padleft", "-1"}, {"padright", "8"}},
         [](auto& o) {
             EXPECT_EQ(o.PadTop, 4);
             EXPECT_EQ(o.PadBottom, 6);
             EXPECT_EQ(o.PadLeft, 0);
             EXPECT_EQ(o.PadRight, 8);
         }},
        {{{"qscale", "255"}}, [](auto& o) { EXPECT_EQ(o.VideoQScale, 255); }},
        {{{"pass", "2"}, {"passlogfile", "stats"}},
         [](auto& o) {
             EXPECT_EQ(o.DoPass, 2);
             EXPECT_EQ(o.PassLogFilename, "stats");
         }},
        {{{"vtag", "XVID"}},
         [](auto& o) { EXPECT_EQ(o.VideoCodecTag, 'X' | 'V' << 8 | 'I' << 16 | 'D' << 24); }},
        {{{"vcodec", "copy"}, {"vcodec", "mpeg4"}},
         [](auto& o) {
             EXPECT_TRUE(o.VideoStreamCopy); // stays on until the next reset
             EXPECT_EQ(o.VideoCodecName, "mpeg4");
         }},
        {{{"intra_matrix", matrix}},
         [](auto& o) {
             ASSERT_EQ(o.IntraMatrix.size(), 64u);
             EXPECT_EQ(o.IntraMatrix[0], 1);
             EXPECT_EQ(o.IntraMatrix[63], 64);
             EXPECT_TRUE(o.InterMatrix.empty());
         }},
        {{{"intra", "1"},
          {"vdt", "16"},
          {"rc_override", "0,100,2"},
          {"me_threshold", "3"},
          {"sameq", "1"},
          {"deinterlace", "1"},
          {"psnr", "1"},
          {"vfilters", "scale=320:240"},
          {"top", "1"},
          {"dc", "10"},
          {"qphist", "1"},
          {"force_fps", "1"},
          {"vc", "2"},
          {"tvstd", "pal"},
          {"vframes", "100"},
          {"vstats_file", "v.log"}},
         [](auto& o) {
             EXPECT_TRUE(o.IntraOnly && o.SameQuality && o.DoDeinterlace && o.DoPSNR &&
                         o.QpHistogram && o.ForceFps);
             EXPECT_EQ(o.VideoDiscard, 16);
             EXPECT_EQ(o.VideoRcOverride, "0,100,2");
             EXPECT_EQ(o.MeThreshold, 3);
             EXPECT_EQ(o.VideoFilters, "scale=320:240");
             EXPECT_EQ(o.TopFieldFirst, 1);
             EXPECT_EQ(o.IntraDcPrecision, 10);
             EXPECT_EQ(o.VideoChannel, 2);
             EXPECT_EQ(o.VideoStandard, "pal");
             EXPECT_EQ(o.MaxFrames[omtVideo], 100);
             EXPECT_EQ(o.VStatsFilename, "v.log");
         }},
        {{{"vstats", ""}},
         [](auto& o) {
             const std::string& name = o.VStatsFilename;
             ASSERT_GE(name.size(), 17u);
             EXPECT_NE(name.find("vstats_"), std::string::npos);
             EXPECT_EQ(name.substr(name.size() - 4), ".log");
             EXPECT_EQ(name.size() - name.rfind("vstats_"), 17u); // vstats_hhnnss.log
         }},
    });

    const std::string shortMatrix = "8,16,,32";
    RunFailureCases({
        {{}, "s", "641x480", "Frame size must be a multiple of 2"},
        {{}, "s", "big", "Incorrect frame size"},
        {{}, "r", "fast", "Incorrect frame rate"},
        {{}, "aspect", "4:0", "Incorrect aspect ratio specification."},
        {{}, "aspect", "0", "Incorrect aspect ratio specification."},
        {{}, "pix_fmt", "rgb999", "Unknown pixel format requested: rgb999"},
        {{{"s", "640x10"}},
         "croptop",
         "10",
         "Vertical crop dimensions are outside the range of the original image.\nRemember to "
         "crop first and scale second."},
        {{{"s", "640x10"}},
         "cropright",
         "640",
         "Horizontal crop dimensions are outside the range of the original image.\nRemember to "
         "crop first and scale second."},
        {{}, "qscale", "0", "qscale must be > 0.0 and <= 255"},
        {{}, "qscale", "255.5", "qscale must be > 0.0 and <= 255"},
        {{}, "pass", "3", "pass number can be only 1 or 2"},
        {{}, "vtag", "XVI", "video tag parameter must be 4 chars"},
        {{}, "vtag", "XVIDX", "video tag parameter must be 4 chars"},
        {{}, "intra_matrix", shortMatrix, "Syntax error in matrix \"8,16,,32\" at coeff 3"},
        {{}, "inter_matrix", "1", "Syntax error in matrix \"1\" at coeff 0"},
        {{}, "newvideo", "", "At least one output file must be specified"},
        {{}, "vhook", "libhook.so -x", "Failed to add video hook function: libhook.so -x"},
    });

    // A height of 11 cropped by 10 leaves 1.
    TFFmpegOptions options;
    options.FrameHeight = 11;
    options.SetOption("croptop", "10");
    EXPECT_EQ(options.FrameHeight, 1);
    // A failed matrix keeps the one set before.
    options.SetOption("inter_matrix", matrix);
    EXPECT_THROW(options.SetOption("inter_matrix", "1,2"), FFmpegException);
    ASSERT_EQ(options.InterMatrix.size(), 64u);
    EXPECT_EQ(options.InterMatrix[1], 2);
}

TEST_F(OptionsTest, AudioAndSubtitleOptions) {
    RunSettingCases({
        {{{"ar", "22050"}, {"ac", "1"}},
         [](auto& o) {
             EXPECT_EQ(o.AudioSampleRate, 22050);
             EXPECT_EQ(o.AudioChannels, 1);
         }},
        {{{"ar", "0"}, {"ac", "-1"}},
         [](auto& o) {
             EXPECT_EQ(o.AudioSampleRate, 44100);
             EXPECT_EQ(o.AudioChannels, 2);
         }},
        {{{"an", ""}, {"sn", "1"}, {"aframes", "9"}, {"aq", "4.5"}, {"vol", "512"}},
         [](auto& o) {
             EXPECT_TRUE(o.AudioDisable);
             EXPECT_TRUE(o.SubtitleDisable);
             EXPECT_EQ(o.MaxFrames[omtAudio], 9);
             EXPECT_EQ(o.AudioQScale, 4.5);
             EXPECT_EQ(o.AudioVolume, 512);
         }},
        {{{"acodec", "libmp3lame"}, {"scodec", "copy"}, {"alang", "eng"}, {"slang", "deu"}},
         [](auto& o) {
             EXPECT_EQ(o.AudioCodecName, "libmp3lame");
             EXPECT_FALSE(o.AudioStreamCopy);
             EXPECT_TRUE(o.SubtitleStreamCopy);
             EXPECT_EQ(o.SubtitleCodecName, "");
             EXPECT_EQ(o.AudioLanguage, "eng");
             EXPECT_EQ(o.SubtitleLanguage, "deu");
         }},
        {{{"atag", "mp4a"}, {"stag", "tx3g"}},
         [](auto& o) {
             EXPECT_EQ(o.AudioCodecTag, 'm' | 'p' << 8 | '4' << 16 | 'a' << 24);
             EXPECT_EQ(o.SubtitleCodecTag, 't' | 'x' << 8 | '3' << 16 | 'g' << 24);
         }},
        {{{"af", " volume=0.5, highpass=f=30 "}},
         [](auto& o) { EXPECT_EQ(o.AudioFilters, "volume=0.5, highpass=f=30"); }},
        {{{"afilters", "[in]aecho=0.8:0.9:'1000|1800':'0.3|0.25'[out]"}, {"af", "volume=2"}},
         [](auto& o) { EXPECT_EQ(o.AudioFilters, "volume=2"); }},
        {{{"af", "volume=2"}, {"afilters", ""}}, [](auto& o) { EXPECT_EQ(o.AudioFilters, ""); }},
        {{{"sample_fmt", "s16"}}, [](auto& o) { EXPECT_EQ(o.AudioSampleFmt, AV_SAMPLE_FMT_S16); }},
        {{{"sample_fmt", "s16"}, {"sample_fmt", "nonsense"}},
         [](auto& o) { EXPECT_EQ(o.AudioSampleFmt, AV_SAMPLE_FMT_NONE); }},
    });
    RunFailureCases({
        {{}, "atag", "mp4", "audio tag parameter must be 4 chars"},
        {{}, "stag", "", "subtitle tag parameter must be 4 chars"},
        {{}, "newaudio", "", "At least one output file must be specified"},
        {{}, "newsubtitle", "", "At least one output file must be specified"},
        {{}, "ar", "44.1k", "'44.1k' is not a valid integer value"},
        // Audio filters: the first that cannot work is named; the setting stays as it was.
        {{}, "af", "volume=2,nosuch=1", "Unknown audio filter 'nosuch'"},
        {{{"af", "volume=2"}},
         "afilters",
         "volume=abc",
         "Invalid audio filter 'volume=abc': Invalid argument"},
        {{}, "af", "volume=2;[a]hflip", "'hflip' is not an audio filter"},
        {{},
         "af",
         "asplit",
         "The audio filters 'asplit' must make one chain (one input, one "
         "output)"},
        {{}, "af", "volume=2,", "Invalid audio filters 'volume=2,': Invalid argument"},
    });
    TFFmpegOptions kept;
    kept.SetOption("af", "volume=2");
    EXPECT_THROW(kept.SetOption("af", "nosuch"), FFmpegException);
    EXPECT_EQ(kept.AudioFilters, "volume=2");
}

TEST_F(OptionsTest, DoNothingOptionsAndFormatListsOnlyLog) {
    TFFmpegOptions options;
    const auto before = options.DescribeSettings();
    for (const char* name : {"L", "h", "version", "formats", "i", "y", "benchmark"}) {
        options.SetOption(name, "x");
        EXPECT_TRUE(Logged(std::string("Do nothing: option - ") + name, llInfo)) << name;
    }
    log_.clear();
    options.SetOption("pix_fmt", "list");
    ASSERT_GT(log_.size(), 60u);
    EXPECT_EQ(log_[0].level, llInfo);
    EXPECT_EQ(log_[0].text.rfind("name", 0), 0u) << log_[0].text; // the table's header line
    EXPECT_EQ(log_[1].text.rfind("yuv420p", 0), 0u) << log_[1].text;
    log_.clear();
    options.SetOption("sample_fmt", "list");
    ASSERT_EQ(log_.size(), static_cast<size_t>(AV_SAMPLE_FMT_NB) + 1);
    EXPECT_EQ(log_[1].text.rfind("u8", 0), 0u);
    EXPECT_EQ(log_[1].text, std::string(log_[1].text.c_str())); // no trailing blanks kept
    EXPECT_NE(log_[1].text.back(), ' ');
    EXPECT_EQ(options.DescribeSettings(), before);
}

TEST_F(OptionsTest, PadColorIsConvertedToYUV) {
    struct {
        uint32_t rgb;
        int y, u, v;
    } const cases[] = {
        {0x000000, 0, 128, 128}, {0xFFFFFF, 255, 128, 128}, {0x0000FF, 76, 85, 255},
        {0x00FF00, 150, 44, 21}, {0xFF0000, 29, 255, 107},  {0x808080, 128, 128, 128},
    };
    for (const auto& c : cases) {
        TFFmpegOptions options;
        options.SetOption("padcolor", std::to_string(c.rgb));
        EXPECT_EQ(options.PadColor[0], c.y) << std::hex << c.rgb;
        EXPECT_EQ(options.PadColor[1], c.u) << std::hex << c.rgb;
        EXPECT_EQ(options.PadColor[2], c.v) << std::hex << c.rgb;
        TFFmpegOptions typed;
        typed.SetPadColor(c.rgb);
        EXPECT_EQ(std::vector<int>(typed.PadColor, typed.PadColor + 3),
                  std::vector<int>(options.PadColor, options.PadColor + 3));
    }
}

TEST_F(OptionsTest, BitrateCheckWarnsForKilobitValues) {
    const std::string warning = "WARNING: The bitrate parameter is set too low. It takes bits/s "
                                "as argument, not kbits/s";
    struct {
        const char* name;
        const char* value;
        bool warns;
    } const cases[] = {
        {"b", "128", true}, {"vb", "999", true},  {"ab", "128000", false},
        {"ab", "64", true}, {"b", "1000", false}, {"b", "fast", false}, // failed store
    };
    for (const auto& c : cases) {
        log_.clear();
        TFFmpegOptions options;
        options.SetOption(c.name, c.value);
        EXPECT_EQ(Logged(warning, llWarning), c.warns) << c.name << "=" << c.value;
    }

    TFFmpegOptions options;
    options.SetOption("ab", "128000");
    options.SetOption("vb", "800000");
    EXPECT_EQ(IntOption(options.DefaultCodecContext(omtAudio), "b"), 128000);
    EXPECT_EQ(IntOption(options.DefaultCodecContext(omtVideo), "b"), 800000);
    // "ab" is still an audio option of the library; "vb" falls back to "b".
    EXPECT_EQ(options.GenericOptionNames(), (std::vector<std::string>{"ab", "b"}));

    // "b" is the video bit rate only, whatever the order: the audio one stays.
    for (const char* video : {"b", "vb"}) {
        TFFmpegOptions ordered;
        ordered.SetOption("ab", "192000");
        ordered.SetOption(video, "64000");
        EXPECT_EQ(IntOption(ordered.DefaultCodecContext(omtAudio), "b"), 192000) << video;
        EXPECT_EQ(IntOption(ordered.DefaultCodecContext(omtVideo), "b"), 64000) << video;
        AVCodecContext* audio = AVCodecStubs.avcodec_alloc_context3(nullptr);
        ASSERT_NE(audio, nullptr);
        ordered.ApplyGenericOptions(audio, OPT_FLAG_AUDIO | OPT_FLAG_ENCODING);
        EXPECT_EQ(audio->bit_rate, 192000) << video;
        AVCodecStubs.avcodec_free_context(&audio);
    }
}

TEST_F(OptionsTest, GenericOptionStore) {
    TFFmpegOptions options;
    ASSERT_TRUE(options.OptionStoreCreated());
    // Codec options by type mask, format and scaler options, the type prefix.
    EXPECT_TRUE(options.SetGenericOption(" g ", " 30 "));
    EXPECT_EQ(IntOption(options.DefaultCodecContext(omtVideo), "g"), 30);
    EXPECT_TRUE(options.SetGenericOption("packetsize", "2324"));
    EXPECT_EQ(IntOption(options.DefaultFormatContext(), "packetsize"), 2324);
    EXPECT_TRUE(options.SetGenericOption("sws_flags", "bilinear"));
    EXPECT_TRUE(options.SetGenericOption("ar", "22050")); // a codec option of its own
    EXPECT_TRUE(options.SetGenericOption("abt", "4000")); // "bt" on the audio context
    EXPECT_EQ(IntOption(options.DefaultCodecContext(omtAudio), "bt"), 4000);
    EXPECT_EQ(options.GenericOptionNames(),
              (std::vector<std::string>{"g", "packetsize", "sws_flags", "ar", "bt"}));

    // Refusals: unknown, empty, invalid (logged by the library's logger).
    EXPECT_FALSE(options.SetGenericOption("nosuchoption", "1"));
    EXPECT_FALSE(options.SetGenericOption("g", " "));
    EXPECT_FALSE(options.SetGenericOption("", "1"));
    log_.clear();
    EXPECT_FALSE(options.SetGenericOption("g", "lots"));
    EXPECT_TRUE(LoggedContaining("Invalid value \"lots\" for option \"g\""));
    EXPECT_EQ(options.GenericOptionNames().size(), 5u);

    // Applying to real contexts honours the mask.
    AVCodecContext* audio = AVCodecStubs.avcodec_alloc_context3(nullptr);
    ASSERT_NE(audio, nullptr);
    options.ApplyGenericOptions(audio, OPT_FLAG_AUDIO | OPT_FLAG_ENCODING);
    EXPECT_EQ(audio->sample_rate, 22050);
    EXPECT_NE(audio->gop_size, 30); // "g" and "bt" are video options
    EXPECT_NE(audio->bit_rate_tolerance, 4000);
    AVCodecStubs.avcodec_free_context(&audio);

    AVCodecContext* video = AVCodecStubs.avcodec_alloc_context3(nullptr);
    options.ApplyGenericOptions(video, OPT_FLAG_VIDEO | OPT_FLAG_ENCODING);
    EXPECT_EQ(video->gop_size, 30);
    AVCodecStubs.avcodec_free_context(&video);

    AVFormatContext* format = AVFormatStubs.avformat_alloc_context();
    options.ApplyGenericOptions(format, OPT_FLAG_ENCODING);
    EXPECT_EQ(format->packet_size, 2324u);
    AVFormatStubs.avformat_free_context(format);

    // Without a store every generic option is refused; recreating clears the names.
    options.FreeOptionStore();
    EXPECT_FALSE(options.SetGenericOption("g", "12"));
    EXPECT_NO_THROW(options.SetOption("b", "128"));
    options.CreateOptionStore();
    EXPECT_TRUE(options.GenericOptionNames().empty());
}

TEST_F(OptionsTest, DebugOptionSwitchesTheLoggerToDebug) {
    TFFmpegOptions options;
    FFLogger().SetLogLevel(llInfo);
    ASSERT_TRUE(options.SetGenericOption("debug", "pict"));
    EXPECT_EQ(FFLogger().LogLevel(), llDebug);
}

TEST_F(OptionsTest, PresetSearchOrderAndSyntax) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    auto writeFile = [&](const QString& name, const QByteArray& text) {
        QFile file(dir.filePath(name));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text);
        return dir.filePath(name).toStdString();
    };

    // 1. the table, ignoring case; "libx264-main" sets flags2, unknown to the
    // loaded library's codec contexts, which proves the text was found.
    TFFmpegOptions options;
    EXPECT_EQ(FailureOf([&] { options.ApplyPreset("vpre", "LIBX264-MAIN"); }),
              "LIBX264-MAIN: Invalid option or argument: \"flags2=-dct8x8\", parsed as "
              "\"flags2\" = \"-dct8x8\"");
    // 2. "<name>-<codec of the kind>"; apre falls back to the subtitle codec name.
    options.SetOption("vcodec", "main");
    EXPECT_EQ(FailureOf([&] { options.ApplyPreset("vpre", "libx264"); }).substr(0, 37),
              "libx264: Invalid option or argument: ");
    EXPECT_EQ(FailureOf([&] { options.ApplyPreset("apre", "libx264"); }),
              "Preset \"libx264\" not found");
    options.SetOption("scodec", "hq");
    EXPECT_EQ(FailureOf([&] { options.ApplyPreset("apre", "libx264"); }).substr(0, 9), "libx264: ");
    // 3. a file of the given name: blank lines skipped, CR LF accepted, codec keys.
    const std::string good = writeFile("good", "\r\n g = 25 \r\n\r\nVCODEC=copy\rbt=3000\n\n");
    TFFmpegOptions fromFile;
    fromFile.SetOption("vcodec", "libx264");
    ASSERT_NO_THROW(fromFile.ApplyPreset("vpre", good));
    EXPECT_EQ(IntOption(fromFile.DefaultCodecContext(omtVideo), "g"), 25);
    EXPECT_EQ(IntOption(fromFile.DefaultCodecContext(omtVideo), "bt"), 3000);
    EXPECT_TRUE(fromFile.VideoStreamCopy);
    // 4. nothing: the last name tried.
    EXPECT_EQ(FailureOf([&] { fromFile.ApplyPreset("vpre", "fast"); }),
              "Preset \"fast\" not found");
    fromFile.SetOption("vcodec", "libx264");
    EXPECT_EQ(FailureOf([&] { fromFile.ApplyPreset("vpre", "fast"); }),
              "Preset \"fast-libx264\" not found");

    const std::string noKey = writeFile("nokey", "g=5\n=25\n");
    const std::string noValue = writeFile("novalue", "g=\n");
    const std::string noEq = writeFile("noeq", "g\n");
    const std::string unknown = writeFile("unknown", "g=5\nnosuch=1\n");
    const std::string badValue = writeFile("badvalue", "g=many\n");
    struct {
        std::string file;
        std::string message;
    } const failures[] = {
        {noKey, noKey + ": Invalid syntax: \"=25\""},
        {noValue, noValue + ": Invalid syntax: \"g=\""},
        {noEq, noEq + ": Invalid syntax: \"g\""},
        {unknown, unknown + ": Invalid option or argument: \"nosuch=1\", parsed as \"nosuch\" = "
                            "\"1\""},
        {badValue, badValue + ": Invalid option or argument: \"g=many\", parsed as \"g\" = "
                              "\"many\""},
    };
    for (const auto& f : failures) {
        TFFmpegOptions o;
        EXPECT_EQ(FailureOf([&] { o.SetOption("vpre", f.file); }), f.message);
    }
    // Lines before the failing one stay applied.
    TFFmpegOptions partial;
    EXPECT_THROW(partial.ApplyPreset("vpre", unknown), FFmpegException);
    EXPECT_EQ(IntOption(partial.DefaultCodecContext(omtVideo), "g"), 5);
}

TEST_F(OptionsTest, BuiltinPresetTable) {
    const auto& presets = TFFmpegOptions::BuiltinPresets();
    ASSERT_EQ(presets.size(), 16u);
    const char* const names[] = {"libx264-baseline",
                                 "libx264-default",
                                 "libx264-fastfirstpass",
                                 "libx264-hq",
                                 "libx264-ipod320",
                                 "libx264-ipod640",
                                 "libx264-lossless_fast",
                                 "libx264-lossless_max",
                                 "libx264-lossless_medium",
                                 "libx264-lossless_slow",
                                 "libx264-lossless_slower",
                                 "libx264-lossless_ultrafast",
                                 "libx264-main",
                                 "libx264-max",
                                 "libx264-normal",
                                 "libx264-slowfirstpass"};
    for (size_t i = 0; i < presets.size(); ++i)
        EXPECT_STREQ(presets[i].first, names[i]);
    EXPECT_STREQ(presets[12].second, "flags2=-dct8x8\n");
}

TEST_F(OptionsTest, BitstreamFilters) {
    TFFmpegOptions options;
    options.SetOption("vbsf", "h264_mp4toannexb");
    options.SetOption("vbsf", " dump_extra=freq=all ");
    options.SetOption("absf", "aac_adtstoasc");
    options.SetOption("sbsf", "null");
    options.SetOption("vbsf", "");
    options.SetOption("absf", "=null");
    ASSERT_EQ(options.VideoBitstreamFilters.size(), 2u);
    EXPECT_EQ(options.VideoBitstreamFilters[0].Name, "h264_mp4toannexb");
    EXPECT_EQ(options.VideoBitstreamFilters[1].Name, "dump_extra");
    EXPECT_EQ(options.VideoBitstreamFilters[1].Args, "freq=all");
    ASSERT_NE(options.VideoBitstreamFilters[1].Context, nullptr);
    ASSERT_EQ(options.AudioBitstreamFilters.size(), 1u);
    EXPECT_EQ(options.SubtitleBitstreamFilters.size(), 1u);

    // The arguments reach the filter: "freq" differs from a filter without them.
    TFFmpegOptions plain;
    plain.SetOption("vbsf", "dump_extra");
    ASSERT_EQ(plain.VideoBitstreamFilters.size(), 1u);
    EXPECT_NE(IntOption(options.VideoBitstreamFilters[1].Context->priv_data, "freq"),
              IntOption(plain.VideoBitstreamFilters[0].Context->priv_data, "freq"));

    EXPECT_EQ(FailureOf([&] { options.SetOption("vbsf", " nosuchfilter=1 "); }),
              "Unknown bitstream filter nosuchfilter=1");
    EXPECT_EQ(FailureOf([&] { options.SetOption("vbsf", "dump_extra=nosuch=1"); }),
              "Invalid options for bitstream filter dump_extra: nosuch=1");
    EXPECT_EQ(FailureOf([&] { options.SetOption("absf", "null=opt"); }),
              "Invalid options for bitstream filter null: opt");
    EXPECT_EQ(options.VideoBitstreamFilters.size(), 2u);
    EXPECT_EQ(options.AudioBitstreamFilters.size(), 1u);
    options.ResetOptions();
    EXPECT_TRUE(options.VideoBitstreamFilters.empty());
}

TEST_F(OptionsTest, Targets) {
    RunSettingCases({
        {{{"target", "pal-vcd"}},
         [](auto& o) {
             EXPECT_EQ(o.VideoCodecName, "mpeg1video");
             EXPECT_EQ(o.AudioCodecName, "mp2");
             ASSERT_NE(o.ForcedOutputFormat, nullptr);
             EXPECT_STREQ(o.ForcedOutputFormat->name, "vcd");
             EXPECT_EQ(o.FrameWidth, 352);
             EXPECT_EQ(o.FrameHeight, 288);
             EXPECT_EQ(o.FrameRate.num, 25);
             EXPECT_EQ(o.FrameRate.den, 1);
             EXPECT_DOUBLE_EQ(o.FrameAspectRatio, 4.0 / 3.0);
             EXPECT_EQ(o.MuxPreload, 0.44);
             EXPECT_EQ(o.AudioSampleRate, 44100);
             AVCodecContext* video = o.DefaultCodecContext(omtVideo);
             EXPECT_EQ(IntOption(video, "g"), 15);
             EXPECT_EQ(IntOption(video, "maxrate"), 1150000);
             EXPECT_EQ(IntOption(video, "bufsize"), 327680);
             EXPECT_EQ(IntOption(o.DefaultCodecContext(omtAudio), "b"), 224000);
             EXPECT_EQ(IntOption(o.DefaultFormatContext(), "packetsize"), 2324);
         }},
        {{{"ac", "1"}, {"aspect", "2"}, {"target", "ntsc-svcd"}},
         [](auto& o) {
             EXPECT_EQ(o.VideoCodecName, "mpeg2video");
             EXPECT_EQ(o.FrameWidth, 480);
             EXPECT_EQ(o.FrameHeight, 480);
             EXPECT_EQ(o.FrameRate.num, 30000);
             EXPECT_EQ(o.FrameRate.den, 1001);
             EXPECT_EQ(o.AudioChannels, 2);
             EXPECT_EQ(o.FrameAspectRatio, 2); // already set: kept
             EXPECT_EQ(IntOption(o.DefaultCodecContext(omtVideo), "g"), 18);
         }},
        {{{"target", "film-dvd"}},
         [](auto& o) {
             EXPECT_EQ(o.AudioCodecName, "ac3");
             EXPECT_EQ(o.FrameWidth, 720);
             EXPECT_EQ(o.FrameHeight, 480);
             EXPECT_EQ(o.FrameRate.num, 24000);
             EXPECT_EQ(o.FrameRate.den, 1001);
             EXPECT_EQ(o.AudioSampleRate, 48000);
             EXPECT_DOUBLE_EQ(o.FrameAspectRatio, 16.0 / 9.0);
         }},
        // Detection from the frame rate set before.
        {{{"r", "25"}, {"target", "dvd"}}, [](auto& o) { EXPECT_EQ(o.FrameHeight, 576); }},
        {{{"r", "24000/1001"}, {"target", "dv"}},
         [](auto& o) {
             EXPECT_EQ(o.FrameHeight, 480);
             EXPECT_EQ(o.FramePixFmt, AV_PIX_FMT_YUV411P);
             EXPECT_EQ(o.FrameRate.num, 30000);
         }},
        // Undetected: the option's fallback is NTSC.
        {{{"r", "10"}, {"target", "dv50"}},
         [](auto& o) {
             EXPECT_EQ(o.FrameHeight, 480);
             EXPECT_EQ(o.FramePixFmt, AV_PIX_FMT_YUV422P);
         }},
        {{{"target", "pal-dv"}},
         [](auto& o) {
             EXPECT_EQ(o.FramePixFmt, AV_PIX_FMT_YUV420P);
             EXPECT_EQ(o.AudioSampleRate, 48000);
         }},
    });
    RunFailureCases({
        {{}, "target", "vcd", "frame_rate is invalid."},
        {{}, "target", "pal-laserdisc", "Unknown target type"},
        {{{"r", "25"}}, "target", "vhs", "Unknown target type"},
    });

    log_.clear();
    TFFmpegOptions options;
    options.SetOption("r", "25");
    options.SetOption("target", "vcd");
    EXPECT_TRUE(Logged("Assuming PAL for target.", llVerbose));
    EXPECT_TRUE(Logged("Assuming 4:3 for aspect ratio", llInfo));

    // Fallbacks of SetTarget and detection from the inputs' video time bases.
    struct {
        std::vector<TFrameRate> timeBases;
        const char* fallback;
        int height;
        TFrameRate rate;
    } const detections[] = {
        {{}, "pal", 576, {25, 1}},
        {{}, "film", 480, {24000, 1001}},
        {{}, "ntsc", 480, {30000, 1001}},
        {{{1, 30}, {1001, 30000}}, "pal", 480, {30000, 1001}},
        {{{0, 0}, {1, 25}}, "ntsc", 576, {25, 1}},
    };
    for (const auto& d : detections) {
        TOptionsWithInputs engine;
        engine.TimeBases = d.timeBases;
        engine.SetOption("r", "10");
        engine.SetTarget("dvd", "auto", d.fallback);
        EXPECT_EQ(engine.FrameHeight, d.height) << d.fallback;
        EXPECT_EQ(engine.FrameRate.num, d.rate.num) << d.fallback;
        EXPECT_EQ(engine.FrameRate.den, d.rate.den) << d.fallback;
    }
}

TEST_F(OptionsTest, EngineHooks) {
    TOptionsWithInputs engine;
    engine.SetOption("vhook", "hook.so|-a b|x");
    EXPECT_EQ(engine.HookArgs, (std::vector<std::string>{"hook.so", "-a b", "x"}));
    EXPECT_TRUE(engine.UsingVHook);
    engine.SetOption("vhook", "hook.so  -a   b");
    EXPECT_EQ(engine.HookArgs, (std::vector<std::string>{"hook.so", "-a", "b"}));
    engine.HookResult = false;
    EXPECT_EQ(FailureOf([&] { engine.SetOption("vhook", "bad.so"); }),
              "Failed to add video hook function: bad.so");
}

TEST_F(OptionsTest, TypedSetters) {
    TFFmpegOptions o;
    o.SetAudioChannels(0);
    o.SetAudioSampleRate(-1);
    o.SetAudioVolume(-1);
    o.SetMuxDelay(0);
    o.SetMuxPreload(-1);
    o.SetPadTop(-1);
    o.SetCropTop(-1);
    o.SetStartTimeMS(0);
    o.SetRecordingTimeUS(0);
    o.SetProgramID(-1);
    EXPECT_EQ(o.AudioChannels, 2);
    EXPECT_EQ(o.AudioSampleRate, 44100);
    EXPECT_EQ(o.AudioVolume, 256);
    EXPECT_EQ(o.MuxMaxDelay, 0.7);
    EXPECT_EQ(o.MuxPreload, 0.5);
    EXPECT_EQ(o.PadTop, 0);
    EXPECT_EQ(o.StartTime, 0);
    EXPECT_EQ(o.RecordingTime, INT64_MAX);
    EXPECT_EQ(o.OptProgramID, 0);

    o.SetAudioChannels(1);
    o.SetAudioSampleRate(8000);
    o.SetAudioVolume(0);
    o.SetAudioSyncMethod(1);
    o.SetVideoSyncMethod(0);
    o.SetMuxDelay(2);
    o.SetMuxPreload(1);
    o.SetPadLeft(2);
    o.SetStartTimeMS(1500);
    o.SetRecordingTimeMS(2000);
    o.SetProgramID(3);
    o.SetVerbosity(0);
    EXPECT_EQ(o.AudioChannels, 1);
    EXPECT_EQ(o.AudioSampleRate, 8000);
    EXPECT_EQ(o.AudioVolume, 0);
    EXPECT_EQ(o.AudioSyncMethod, 1);
    EXPECT_EQ(o.VideoSyncMethod, 0);
    EXPECT_EQ(o.MuxMaxDelay, 2);
    EXPECT_EQ(o.MuxPreload, 1);
    EXPECT_EQ(o.PadLeft, 2);
    EXPECT_EQ(o.StartTime, 1500000);
    EXPECT_EQ(o.RecordingTime, 2000000);
    EXPECT_EQ(o.OptProgramID, 3);
    EXPECT_EQ(o.Verbose, 0);
    o.SetStartTimeUS(7);
    o.SetRecordingTimeUS(9);
    EXPECT_EQ(o.StartTime, 7);
    EXPECT_EQ(o.RecordingTime, 9);
    EXPECT_EQ(FailureOf([&] { o.SetCropTop(0); }).substr(0, 19), "Vertical crop dimen");
}

TEST_F(OptionsTest, FormatSetters) {
    TFFmpegOptions o;
    o.SetInputFormat("");
    o.SetOutputFormat("");
    EXPECT_EQ(o.ForcedInputFormat, nullptr);
    EXPECT_EQ(o.ForcedOutputFormat, nullptr);
    o.SetInputFormat("wav");
    o.SetOutputFormat("mp3");
    ASSERT_NE(o.ForcedInputFormat, nullptr);
    EXPECT_STREQ(o.ForcedOutputFormat->name, "mp3");
    EXPECT_EQ(FailureOf([&] { o.SetInputFormat("nosuch"); }), "Unknown input format: nosuch");
    EXPECT_EQ(FailureOf([&] { o.SetOutputFormat("nosuch"); }), "Unknown output format: nosuch");
    log_.clear();
    o.SetInputFormat("pgmyuv");
    EXPECT_TRUE(o.PgmyuvRequested);
    EXPECT_STREQ(o.ForcedInputFormat->name, "image2");
    EXPECT_TRUE(Logged("pgmyuv format is deprecated, use image2", llInfo));
}

} // namespace
