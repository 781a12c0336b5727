// The engine's subtitle path: SubRip text subtitles re-encoded as ASS into
// Matroska and copied as they are, read back with their times.
#include "MediaTestUtil.h"
#include "VideoTestUtil.h"
#include "test_ffmpeg_decode.h"

#include "FFmpeg/FFmpeg.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using enginetest::Convert;
using videotest::ReadSubtitles;

namespace {

class SubtitleTest : public ::testing::Test {
protected:
    void SetUp() override {
        testutil::LoadMediaLibraries();
        ASSERT_TRUE(dir.isValid());
        QFile srt(Path("in.srt"));
        ASSERT_TRUE(srt.open(QIODevice::WriteOnly));
        srt.write("1\n00:00:01,000 --> 00:00:03,000\nFirst line\n\n"
                  "2\n00:00:04,500 --> 00:00:05,250\nSecond line\n\n"
                  "3\n00:01:02,000 --> 00:01:03,500\nThird line\n\n");
    }
    QString Path(const QString& name) const { return dir.filePath(name); }
    QTemporaryDir dir;
};

struct TExpected {
    int64_t startMs, durationMs;
    const char* text;
};
constexpr TExpected Expected[] = {
    {1000, 2000, "First line"}, {4500, 750, "Second line"}, {62000, 1500, "Third line"}};

TEST_F(SubtitleTest, SubRipReencodedAsAssKeepsTimesAndText) {
    TCustomFFmpeg engine;
    const auto r = Convert(engine, Path("in.srt"), {}, Path("out.mkv"), {{"scodec", "ass"}});
    ASSERT_TRUE(r.opened && r.outputs == 1 && !r.error) << r.message;
    const auto out = ReadSubtitles(Path("out.mkv"));
    ASSERT_TRUE(out.ok);
    EXPECT_EQ(out.codec, "ass");
    ASSERT_EQ(out.packets.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(out.packets[i].startMs, Expected[i].startMs) << i;
        EXPECT_EQ(out.packets[i].durationMs, Expected[i].durationMs) << i;
        EXPECT_NE(out.packets[i].text.find(Expected[i].text), std::string::npos)
            << out.packets[i].text;
    }
}

TEST_F(SubtitleTest, StreamCopyKeepsThePackets) {
    TCustomFFmpeg engine;
    const auto r = Convert(engine, Path("in.srt"), {}, Path("copy.mkv"), {{"scodec", "copy"}});
    ASSERT_FALSE(r.error) << r.message;
    const auto out = ReadSubtitles(Path("copy.mkv"));
    ASSERT_TRUE(out.ok);
    EXPECT_EQ(out.codec, "subrip");
    ASSERT_EQ(out.packets.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(out.packets[i].startMs, Expected[i].startMs);
        EXPECT_EQ(out.packets[i].durationMs, Expected[i].durationMs);
        EXPECT_EQ(out.packets[i].text, Expected[i].text);
    }
}

TEST_F(SubtitleTest, SubtitlesOffOrUnknownEncoder) {
    {
        // Nothing left to write: the output has no stream.
        TCustomFFmpeg engine;
        const auto r = Convert(engine, Path("in.srt"), {}, Path("none.mkv"), {{"sn", "1"}});
        EXPECT_TRUE(r.error);
        EXPECT_EQ(r.message, "Output file #0 does not contain any stream");
    }
    {
        TCustomFFmpeg engine;
        const auto r =
            Convert(engine, Path("in.srt"), {}, Path("bad.mkv"), {{"scodec", "nosuchcodec"}});
        EXPECT_EQ(r.outputs, -1);
        EXPECT_EQ(r.message, "new_subtitle_stream fail: Unknown encoder 'nosuchcodec'");
    }
}

} // namespace
