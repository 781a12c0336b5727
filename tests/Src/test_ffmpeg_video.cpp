// The engine's video path end to end: generated pictures written into files by
// the test, converted by the engine, decoded back and measured (size, rate,
// frame count, pixel format, colours where a pad or a crop put them), the
// frame-rate sync's drops and duplicates, a mid-stream size change, a filter
// chain, two-pass encoding and the statistics file.
#include "MediaTestUtil.h"
#include "VideoTestUtil.h"
#include "test_ffmpeg_decode.h"

#include "FFUtils.h"
#include "FFmpeg/FFmpeg.h"
#include "FFmpegLogger.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using enginetest::Convert;
using videotest::DecodeVideo;
using videotest::FillYuv;
using videotest::TWriteSpec;
using videotest::TYuv;
using Options = std::vector<std::pair<std::string, std::string>>;

namespace {

constexpr TYuv Black{16, 128, 128};
constexpr TYuv White{235, 128, 128};
constexpr TYuv Grey{128, 128, 128};

// Black pictures with a white band on the left, a quarter of the width.
void Bands(AVFrame* f, int) {
    FillYuv(f, 0, 0, f->width, f->height, Black);
    FillYuv(f, 0, 0, f->width / 4, f->height, White);
}

// Black with a white band of an eighth of the width, then a grey one as wide.
void WhiteGrey(AVFrame* f, int) {
    FillYuv(f, 0, 0, f->width, f->height, Black);
    FillYuv(f, 0, 0, f->width / 8, f->height, White);
    FillYuv(f, f->width / 8, 0, f->width / 8, f->height, Grey);
}

bool Near(TYuv a, TYuv b, int tolerance) {
    return std::abs(a.y - b.y) <= tolerance && std::abs(a.u - b.u) <= tolerance &&
           std::abs(a.v - b.v) <= tolerance;
}

class VideoTest : public ::testing::Test {
protected:
    void SetUp() override {
        testutil::LoadMediaLibraries();
        ASSERT_TRUE(dir.isValid());
    }
    QString Path(const QString& name) const { return dir.filePath(name); }
    // 64x48, 10 frames per second, lossless.
    QString Source(const QString& name, std::vector<int64_t> pts,
                   const videotest::TPainter& paint = Bands) {
        TWriteSpec spec;
        spec.format = "nut";
        spec.encoder = "ffv1";
        spec.pts = std::move(pts);
        const QString path = Path(name);
        EXPECT_TRUE(videotest::WriteVideo(path, spec, paint));
        return path;
    }
    QTemporaryDir dir;
};

struct TShapeCase {
    const char* name;
    const char* output;
    Options options;
    const char* codec;
    int width, height;
    double rate; // 0: not checked (the container keeps no rate)
    int frames;
    const char* pixFmt;
};

TEST_F(VideoTest, OutputsTakeTheAskedSizeRateFrameCountAndPixelFormat) {
    const QString input = Source("in.nut", videotest::Frames(20));
    const std::vector<TShapeCase> cases = {
        {"as the input", "same.avi", {{"vcodec", "mpeg4"}}, "mpeg4", 64, 48, 10, 20, "yuv420p"},
        {"smaller and slower",
         "small.avi",
         {{"vcodec", "mpeg4"}, {"s", "32x24"}, {"r", "5"}},
         "mpeg4",
         32,
         24,
         5,
         10,
         "yuv420p"},
        // Each input picture but the last is shown twice; nothing extends the last one.
        {"faster",
         "fast.avi",
         {{"vcodec", "mpeg4"}, {"r", "20"}},
         "mpeg4",
         64,
         48,
         20,
         38,
         "yuv420p"},
        {"other pixel format",
         "444.mkv",
         {{"vcodec", "ffv1"}, {"pix_fmt", "yuv444p"}},
         "ffv1",
         64,
         48,
         0,
         20,
         "yuv444p"},
        {"container's own codec", "own.avi", {}, "mpeg4", 64, 48, 10, 20, "yuv420p"},
    };
    for (const TShapeCase& c : cases) {
        SCOPED_TRACE(c.name);
        TCustomFFmpeg engine;
        const auto r = Convert(engine, input, {}, Path(c.output), c.options);
        ASSERT_TRUE(r.opened && r.outputs == 1 && !r.error) << r.message;
        const auto out = DecodeVideo(Path(c.output));
        ASSERT_TRUE(out.ok);
        EXPECT_EQ(out.codec, c.codec);
        EXPECT_EQ(out.width, c.width);
        EXPECT_EQ(out.height, c.height);
        EXPECT_EQ(out.pixFmt, c.pixFmt);
        if (c.rate > 0) {
            EXPECT_NEAR(out.rate, c.rate, 0.01);
        }
        EXPECT_NEAR(static_cast<double>(out.pictures.size()), c.frames, 1.0);
    }
}

TEST_F(VideoTest, PadsTakeThePadColourAndCropsRemoveTheirBands) {
    const QString input = Source("in.nut", videotest::Frames(5));
    int red[3];
    TFFmpegOptions::RGBToYUV(0x0000FF, red); // red in the low byte
    {
        TCustomFFmpeg engine;
        const auto r = Convert(engine, input, {}, Path("pad.mkv"),
                               {{"vcodec", "ffv1"},
                                {"padtop", "8"},
                                {"padbottom", "4"},
                                {"padleft", "8"},
                                {"padright", "12"},
                                {"padcolor", "255"}});
        ASSERT_FALSE(r.error) << r.message;
        const auto out = DecodeVideo(Path("pad.mkv"));
        ASSERT_TRUE(out.ok);
        EXPECT_EQ(out.width, 64 + 20);
        EXPECT_EQ(out.height, 48 + 12);
        ASSERT_EQ(out.pictures.size(), 5u);
        const auto& p = out.pictures.back();
        const TYuv padColour{red[0], red[1], red[2]};
        for (const auto& [x, y] : {std::pair{2, 2}, {80, 30}, {40, 58}, {2, 40}})
            EXPECT_TRUE(Near(p.At(x, y), padColour, 2)) << x << "," << y;
        EXPECT_TRUE(Near(p.At(8 + 4, 8 + 10), White, 2));  // the band, moved by the pads
        EXPECT_TRUE(Near(p.At(8 + 40, 8 + 20), Black, 2)); // the picture itself
    }
    {
        TCustomFFmpeg engine;
        const auto r = Convert(
            engine, input, {}, Path("crop.mkv"),
            {{"vcodec", "ffv1"}, {"cropleft", "16"}, {"croptop", "8"}, {"cropbottom", "8"}});
        ASSERT_FALSE(r.error) << r.message;
        const auto out = DecodeVideo(Path("crop.mkv"));
        ASSERT_TRUE(out.ok);
        EXPECT_EQ(out.width, 48);
        EXPECT_EQ(out.height, 32);
        ASSERT_FALSE(out.pictures.empty());
        EXPECT_LT(out.pictures[0].MeanY(0, 0, 48, 32), 20) << "the white band was cropped";
    }
    {
        // Crop, then scale, then pad: every step in one output.
        TCustomFFmpeg engine;
        const auto r = Convert(engine, input, {}, Path("all.mkv"),
                               {{"vcodec", "ffv1"},
                                {"cropright", "32"},
                                {"s", "64x48"},
                                {"padleft", "16"},
                                {"padcolor", "255"}});
        ASSERT_FALSE(r.error) << r.message;
        const auto out = DecodeVideo(Path("all.mkv"));
        ASSERT_TRUE(out.ok);
        EXPECT_EQ(out.width, 80);
        EXPECT_EQ(out.height, 48);
        ASSERT_FALSE(out.pictures.empty());
        const auto& p = out.pictures[0];
        EXPECT_TRUE(Near(p.At(4, 20), TYuv{red[0], red[1], red[2]}, 2));
        // 32 columns scaled to 64: the 16-column band is now 32 wide.
        EXPECT_GT(p.MeanY(16 + 4, 0, 24, 48), 225);
        EXPECT_LT(p.MeanY(16 + 36, 0, 28, 48), 30);
    }
}

TEST_F(VideoTest, FilterChainRunsInOrderAndSetsTheEncoderSize) {
    const QString input = Source("in.nut", videotest::Frames(5));
    TCustomFFmpeg engine;
    const auto r = Convert(engine, input, {}, Path("filtered.mkv"),
                           {{"vcodec", "ffv1"}, {"vfilters", "scale=32:24,hflip"}});
    ASSERT_FALSE(r.error) << r.message;
    const auto out = DecodeVideo(Path("filtered.mkv"));
    ASSERT_TRUE(out.ok);
    EXPECT_EQ(out.width, 32);
    EXPECT_EQ(out.height, 24);
    ASSERT_EQ(out.pictures.size(), 5u);
    EXPECT_GT(out.pictures[0].MeanY(26, 0, 6, 24), 220) << "the band is on the right now";
    EXPECT_LT(out.pictures[0].MeanY(0, 0, 20, 24), 25);
}

TEST_F(VideoTest, FilterErrorsAreReported) {
    const QString input = Source("in.nut", videotest::Frames(2));
    struct TCase {
        Options options;
        std::string message;
    };
    const std::vector<TCase> cases = {
        {{{"vcodec", "ffv1"}, {"vfilters", "nosuchfilter"}}, "Error opening filters: "},
        {{{"vcodec", "ffv1"}, {"padtop", "8"}, {"vfilters", "Scale=32:24"}},
         "Cannot enable pad options and the filters which resize frame at the same time. (crop, "
         "rotate, scale, transpose, etc.)"},
        {{{"vcodec", "ffv1"}, {"croptop", "8"}, {"vfilters", "hflip"}},
         "Cannot enable crop options and filters at the same time."},
    };
    for (const TCase& c : cases) {
        TCustomFFmpeg engine;
        const auto r = Convert(engine, input, {}, Path("bad.mkv"), c.options);
        EXPECT_TRUE(r.outputs < 0 || r.error);
        EXPECT_EQ(r.message.rfind(c.message, 0), 0u) << r.message;
        EXPECT_FALSE(QFileInfo::exists(Path("bad.mkv")));
    }
}

struct TSyncCase {
    const char* name;
    std::vector<int64_t> pts; // input time stamps at 10 fps
    const char* output;
    Options options;
    int frames, dups, drops;
};

TEST_F(VideoTest, FrameRateSyncDropsAndDuplicates) {
    const std::vector<TSyncCase> cases = {
        // vdelta 3 at the fourth picture: three copies of it, two of them duplicates.
        {"gap in a constant-rate output",
         {0, 1, 2, 6, 7},
         "gap.avi",
         {{"vcodec", "mpeg4"}},
         7,
         2,
         0},
        // Half the rate: vdelta reaches -1.5 on every other picture after the third
        // (-0.5, -1.0 are kept).
        {"half the rate",
         videotest::Frames(10),
         "half.avi",
         {{"vcodec", "mpeg4"}, {"r", "5"}},
         6,
         0,
         4},
        // A variable-rate container takes the gap as it is.
        {"gap in a variable-rate output",
         {0, 1, 2, 6, 7},
         "gap.mkv",
         {{"vcodec", "ffv1"}},
         5,
         0,
         0},
        // No sync: the input's time stamps, gaps included.
        {"sync off", {0, 1, 2, 6, 7}, "nosync.avi", {{"vcodec", "mpeg4"}, {"vsync", "0"}}, 5, 0, 0},
        // No sync at half the rate: a picture whose time stamp would not advance goes.
        {"sync off, half the rate",
         videotest::Frames(10),
         "nosync_half.avi",
         {{"vcodec", "mpeg4"}, {"r", "5"}, {"vsync", "0"}},
         6,
         0,
         4},
    };
    for (const TSyncCase& c : cases) {
        SCOPED_TRACE(c.name);
        const QString input = Source(QString("in_%1.nut").arg(c.output), c.pts);
        TCustomFFmpeg engine;
        const auto r = Convert(engine, input, {}, Path(c.output), c.options);
        ASSERT_FALSE(r.error) << r.message;
        EXPECT_EQ(engine.DupFrames(), c.dups);
        EXPECT_EQ(engine.DropFrames(), c.drops);
        const auto out = DecodeVideo(Path(c.output));
        ASSERT_TRUE(out.ok);
        EXPECT_EQ(static_cast<int>(out.pictures.size()), c.frames);
    }
}

TEST_F(VideoTest, MidStreamSizeChangeIsLoggedAndRescalesTheCropBands) {
    // Two MPEG-1 streams one after the other: 128x96, then 64x48.
    TWriteSpec big;
    big.format = "mpeg1video";
    big.encoder = "mpeg1video";
    big.width = 128;
    big.height = 96;
    big.rate = 25;
    big.qscale = 2;
    big.pts = videotest::Frames(6);
    TWriteSpec small = big;
    small.width = 64;
    small.height = 48;
    ASSERT_TRUE(videotest::WriteVideo(Path("a.m1v"), big, WhiteGrey));
    ASSERT_TRUE(videotest::WriteVideo(Path("b.m1v"), small, WhiteGrey));
    QFile a(Path("a.m1v")), b(Path("b.m1v")), joined(Path("in.m1v"));
    ASSERT_TRUE(a.open(QIODevice::ReadOnly) && b.open(QIODevice::ReadOnly) &&
                joined.open(QIODevice::WriteOnly));
    joined.write(a.readAll());
    joined.write(b.readAll());
    joined.close();

    std::vector<std::string> lines;
    FFLogger().OnLog = [&](const void*, uint32_t, TLogLevel level, const std::string& text) {
        if (level == llQuiet)
            lines.push_back(text);
    };
    TCustomFFmpeg engine;
    // The left 16 columns (the white band) go; at 64x48 that is 8 columns.
    const auto r = Convert(engine, Path("in.m1v"), {}, Path("out.mkv"),
                           {{"vcodec", "ffv1"}, {"cropleft", "16"}});
    FFLogger().OnLog = nullptr;
    ASSERT_FALSE(r.error) << r.message;
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "Input Stream #0.0 frame size changed to 64x48, yuv420p"),
              lines.end());
    const auto out = DecodeVideo(Path("out.mkv"));
    ASSERT_TRUE(out.ok);
    EXPECT_EQ(out.width, 112);
    EXPECT_EQ(out.height, 96);
    EXPECT_NEAR(static_cast<double>(out.pictures.size()), 12, 1);
    ASSERT_FALSE(out.pictures.empty());
    // Both halves start with the grey band: the band was cropped in proportion.
    EXPECT_NEAR(out.pictures.front().MeanY(1, 0, 12, 96), 128, 12);
    EXPECT_NEAR(out.pictures.back().MeanY(1, 0, 12, 96), 128, 12);
}

TEST_F(VideoTest, TwoPassWritesAndReadsItsLogFile) {
    const QString input = Source("in.nut", videotest::Frames(20));
    const std::string prefix = Path("passlog").toStdString();
    const QString log = Path("passlog-0.log");
    {
        TCustomFFmpeg engine;
        const auto r =
            Convert(engine, input, {}, Path("pass1.avi"),
                    {{"vcodec", "mpeg4"}, {"b", "200000"}, {"pass", "1"}, {"passlogfile", prefix}});
        ASSERT_FALSE(r.error) << r.message;
    }
    ASSERT_TRUE(QFileInfo::exists(log));
    QFile logFile(log);
    ASSERT_TRUE(logFile.open(QIODevice::ReadOnly));
    const QByteArray stats = logFile.readAll();
    EXPECT_GE(stats.count("in:"), 20) << "one line per picture";
    {
        TCustomFFmpeg engine;
        const auto r =
            Convert(engine, input, {}, Path("pass2.avi"),
                    {{"vcodec", "mpeg4"}, {"b", "200000"}, {"pass", "2"}, {"passlogfile", prefix}});
        ASSERT_FALSE(r.error) << r.message;
        const auto out = DecodeVideo(Path("pass2.avi"));
        ASSERT_TRUE(out.ok);
        EXPECT_EQ(out.pictures.size(), 20u);
    }
    {
        TCustomFFmpeg engine;
        const std::string missing = Path("none").toStdString();
        const auto r = Convert(engine, input, {}, Path("pass2b.avi"),
                               {{"vcodec", "mpeg4"}, {"pass", "2"}, {"passlogfile", missing}});
        EXPECT_TRUE(r.error);
        EXPECT_EQ(r.message, "Cannot read log file " + missing + "-0.log for pass-2 encoding");
        EXPECT_FALSE(QFileInfo::exists(Path("pass2b.avi")));
    }
}

TEST_F(VideoTest, StatisticsFileHasALinePerPicture) {
    const QString input = Source("in.nut", videotest::Frames(8));
    TCustomFFmpeg engine;
    const auto r =
        Convert(engine, input, {}, Path("stats.avi"),
                {{"vcodec", "mpeg4"}, {"vstats_file", Path("vstats.log").toStdString()}});
    ASSERT_FALSE(r.error) << r.message;
    QFile stats(Path("vstats.log"));
    ASSERT_TRUE(stats.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = stats.readAll().trimmed().split('\n');
    ASSERT_EQ(lines.size(), 8);
    for (const QByteArray& line : lines) {
        EXPECT_TRUE(line.startsWith("frame= ")) << line.constData();
        EXPECT_TRUE(line.contains(" f_size= ") && line.contains(" avg_br= ") &&
                    line.contains(" type= "))
            << line.constData();
    }
}

// With "qphist" and "psnr" the last progress line carries the histogram of the coded
// qualities (32 bins, log2 of the count + 1) and the PSNR over all pictures.
TEST_F(VideoTest, ProgressLineCarriesTheQpHistogramAndThePsnr) {
    // Noise, which a quantiser cannot code without loss (flat bands it can).
    const QString input = Source("in.nut", videotest::Frames(8), [](AVFrame* f, int n) {
        uint32_t seed = 12345u + static_cast<uint32_t>(n);
        for (int plane = 0; plane < 3; ++plane)
            for (int row = 0; row < (plane ? f->height / 2 : f->height); ++row)
                for (int x = 0; x < (plane ? f->width / 2 : f->width); ++x) {
                    seed = seed * 1664525u + 1013904223u;
                    f->data[plane][row * f->linesize[plane] + x] = static_cast<uint8_t>(seed >> 24);
                }
    });
    std::vector<std::string> lines;
    FFLogger().OnLog = [&](const void*, uint32_t, TLogLevel, const std::string& text) {
        if (text.rfind("frame=", 0) == 0)
            lines.push_back(text);
    };
    TCustomFFmpeg engine;
    const auto r = Convert(engine, input, {}, Path("q.avi"),
                           {{"vcodec", "mpeg4"}, {"qscale", "4"}, {"qphist", "1"}, {"psnr", "1"}});
    FFLogger().OnLog = nullptr;
    ASSERT_FALSE(r.error) << r.message;
    ASSERT_FALSE(lines.empty());
    const std::string& last = lines.back();
    const size_t mark = last.find(" L");
    ASSERT_NE(mark, std::string::npos) << last;
    const std::string histogram = last.substr(mark + 2, 32);
    ASSERT_EQ(histogram.find_first_not_of("0123456789ABCDEF"), std::string::npos) << last;
    // Every picture is coded at quality 4: only that bin counts.
    for (size_t bin = 0; bin < histogram.size(); ++bin)
        EXPECT_EQ(histogram[bin] != '0', bin == 4) << last;
    double y = 0, u = 0, v = 0, all = 0;
    const size_t psnr = last.find("PSNR=");
    ASSERT_NE(psnr, std::string::npos) << last;
    ASSERT_EQ(std::sscanf(last.c_str() + psnr, "PSNR=Y:%lf U:%lf V:%lf *:%lf", &y, &u, &v, &all), 4)
        << last;
    for (double value : {y, u, v, all})
        EXPECT_TRUE(value > 20 && value < 99) << last;
    EXPECT_TRUE(all >= std::min({y, u, v}) && all <= std::max({y, u, v})) << last;
}

// Deinterlacing keeps the first field's lines and blends each line of the second field
// with its neighbours (-1 4 2 4 -1 over eight).
TEST_F(VideoTest, DeinterlaceBlendsTheSecondField) {
    // A ramp with the fields 80 apart: the blend is far from both fields' values.
    const auto level = [](int row) { return 100 + row + (row % 2 ? -40 : 40); };
    const QString input = Source("in.nut", videotest::Frames(3), [&](AVFrame* f, int) {
        for (int row = 0; row < f->height; ++row)
            std::memset(f->data[0] + row * f->linesize[0], level(row),
                        static_cast<size_t>(f->width));
        for (int plane = 1; plane < 3; ++plane)
            for (int row = 0; row < f->height / 2; ++row)
                std::memset(f->data[plane] + row * f->linesize[plane], 128,
                            static_cast<size_t>(f->width / 2));
    });
    TCustomFFmpeg engine;
    const auto r =
        Convert(engine, input, {}, Path("di.mkv"), {{"vcodec", "ffv1"}, {"deinterlace", "1"}});
    ASSERT_FALSE(r.error) << r.message;
    const auto out = DecodeVideo(Path("di.mkv"));
    ASSERT_TRUE(out.ok);
    ASSERT_EQ(out.pictures.size(), 3u);
    for (const auto& p : out.pictures) {
        EXPECT_EQ(p.At(10, 10).y, level(10));
        EXPECT_EQ(p.At(10, 11).y,
                  (-level(9) + 4 * level(10) + 2 * level(11) + 4 * level(12) - level(13) + 4) >> 3);
    }
}

TEST_F(VideoTest, VideoStreamCopyKeepsThePackets) {
    const QString input = Source("in.nut", videotest::Frames(6));
    TCustomFFmpeg engine;
    const auto r = Convert(engine, input, {}, Path("copy.mkv"), {{"vcodec", "copy"}});
    ASSERT_FALSE(r.error) << r.message;
    const auto out = DecodeVideo(Path("copy.mkv"));
    ASSERT_TRUE(out.ok);
    EXPECT_EQ(out.codec, "ffv1");
    EXPECT_EQ(out.pictures.size(), 6u);
}

TEST_F(VideoTest, BuiltInX264PresetAppliesToTheEncodersOwnOptions) {
    if (!EncoderAvailable("libx264"))
        GTEST_SKIP() << "this FFmpeg has no libx264";
    const QString input = Source("in.nut", videotest::Frames(10));
    TCustomFFmpeg engine;
    const auto r = Convert(engine, input, {}, Path("x264.mp4"),
                           {{"vcodec", "libx264"}, {"vpre", "libx264-normal"}});
    ASSERT_FALSE(r.error) << r.message;
    const auto out = DecodeVideo(Path("x264.mp4"));
    ASSERT_TRUE(out.ok);
    EXPECT_EQ(out.codec, "h264");
    EXPECT_EQ(out.pictures.size(), 10u);

    // Every built-in preset reaches the encoder and the encoder takes it.
    const QString shortInput = Source("short.nut", videotest::Frames(3));
    for (const auto& [name, text] : TFFmpegOptions::BuiltinPresets()) {
        SCOPED_TRACE(name);
        TCustomFFmpeg preset;
        const auto run = Convert(preset, shortInput, {}, Path("preset.mkv"),
                                 {{"vcodec", "libx264"}, {"vpre", name}});
        EXPECT_FALSE(run.error) << run.message;
        EXPECT_EQ(DecodeVideo(Path("preset.mkv")).pictures.size(), 3u);
    }

    // "coder" and "wpredp" live in libx264's own table only.
    TCustomFFmpeg options;
    options.ResetEngine();
    EXPECT_FALSE(options.KnowsOption("wpredp"));
    options.SetOption("vcodec", "libx264");
    EXPECT_TRUE(options.KnowsOption("wpredp"));
    EXPECT_TRUE(options.SetGenericOption("coder", "0"));
    EXPECT_FALSE(options.SetGenericOption("nosuchoption", "1"));
}

} // namespace
