// The engine's subtitle path: SubRip text subtitles re-encoded as ASS into
// Matroska and copied as they are, and picture subtitles re-encoded as DVB
// subtitles, read back with their times.
#include "MediaTestUtil.h"
#include "VideoTestUtil.h"
#include "test_ffmpeg_decode.h"

#include "FFmpeg/FFmpeg.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

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

// One picture subtitle: a box shown from ptsMs + startMs to ptsMs + endMs. A DVD
// subtitle's times count in units of 1024/90 ms: 512 and 1536 ms are exact.
struct TBitmapCue {
    int64_t ptsMs;
    uint32_t startMs, endMs;
};

// Writes DVD (picture) subtitles into Matroska, one small box per cue.
bool WriteBitmapSubtitles(const QString& path, const std::vector<TBitmapCue>& cues) {
    const std::string name = path.toStdString();
    AVFormatContext* oc = nullptr;
    if (AVFormatStubs.avformat_alloc_output_context2(&oc, nullptr, "matroska", name.c_str()) < 0)
        return false;
    const AVCodec* codec = AVCodecStubs.avcodec_find_encoder_by_name("dvdsub");
    AVCodecContext* enc = AVCodecStubs.avcodec_alloc_context3(codec);
    AVStream* st = AVFormatStubs.avformat_new_stream(oc, nullptr);
    AVPacket* pkt = AVCodecStubs.av_packet_alloc();
    bool ok = codec && enc && st && pkt;
    if (ok) {
        enc->time_base = AVRational{1, 1000};
        enc->width = 720;
        enc->height = 576;
        ok = AVCodecStubs.avcodec_open2(enc, codec, nullptr) >= 0 &&
             AVCodecStubs.avcodec_parameters_from_context(st->codecpar, enc) >= 0;
        st->time_base = AVRational{1, 1000};
    }
    ok = ok && AVFormatStubs.avio_open(&oc->pb, name.c_str(), AVIO_FLAG_WRITE) >= 0 &&
         AVFormatStubs.avformat_write_header(oc, nullptr) >= 0;
    std::vector<uint8_t> indices(16 * 8, 1);
    uint32_t palette[4] = {0x00000000u, 0xFFFFFFFFu, 0xFF000000u, 0xFF808080u};
    std::vector<uint8_t> buffer(1 << 16);
    for (const TBitmapCue& cue : cues) {
        if (!ok)
            break;
        AVSubtitleRect rect{};
        rect.x = 40;
        rect.y = 40;
        rect.w = 16;
        rect.h = 8;
        rect.nb_colors = 4;
        rect.type = SUBTITLE_BITMAP;
        rect.data[0] = indices.data();
        rect.linesize[0] = 16;
        rect.data[1] = reinterpret_cast<uint8_t*>(palette);
        rect.linesize[1] = 4 * 4;
        AVSubtitleRect* rects[1] = {&rect};
        // Encoders take no start delay: it is put into the packet afterwards.
        AVSubtitle sub{};
        sub.end_display_time = cue.endMs;
        sub.num_rects = 1;
        sub.rects = rects;
        sub.pts = cue.ptsMs * 1000;
        const int size = AVCodecStubs.avcodec_encode_subtitle(
            enc, buffer.data(), static_cast<int>(buffer.size()), &sub);
        ok = size > 0 && AVCodecStubs.av_new_packet(pkt, size) >= 0;
        if (!ok)
            break;
        // The first control sequence (its offset in bytes 2-3) begins with the date at
        // which the picture is shown.
        const size_t control = static_cast<size_t>(buffer[2] << 8 | buffer[3]);
        const uint32_t date = cue.startMs * 90 / 1024;
        ok = control + 1 < static_cast<size_t>(size) && date * 1024 / 90 == cue.startMs;
        if (!ok)
            break;
        buffer[control] = static_cast<uint8_t>(date >> 8);
        buffer[control + 1] = static_cast<uint8_t>(date & 0xFF);
        std::memcpy(pkt->data, buffer.data(), static_cast<size_t>(size));
        pkt->pts = pkt->dts = cue.ptsMs;
        pkt->duration = cue.endMs;
        pkt->stream_index = 0;
        ok = AVFormatStubs.av_interleaved_write_frame(oc, pkt) >= 0;
    }
    ok = ok && AVFormatStubs.av_write_trailer(oc) >= 0;
    if (oc && oc->pb)
        AVFormatStubs.avio_closep(&oc->pb);
    AVCodecStubs.av_packet_free(&pkt);
    AVCodecStubs.avcodec_free_context(&enc);
    AVFormatStubs.avformat_free_context(oc);
    return ok;
}

// A DVB subtitle goes out as two packets: one that shows it when its display starts and
// an empty one that clears it when its display ends.
TEST_F(SubtitleTest, DvbSubtitleIsShownAndClearedByTwoPackets) {
    if (!AVCodecStubs.avcodec_find_encoder_by_name("dvbsub") ||
        !AVCodecStubs.avcodec_find_encoder_by_name("dvdsub"))
        GTEST_SKIP() << "this FFmpeg cannot encode DVB or DVD subtitles";
    ASSERT_TRUE(WriteBitmapSubtitles(Path("in.mkv"), {{1000, 0, 2048}, {5000, 512, 1536}}));
    const auto in = ReadSubtitles(Path("in.mkv"));
    ASSERT_TRUE(in.ok && in.packets.size() == 2u);
    TCustomFFmpeg engine;
    const auto r = Convert(engine, Path("in.mkv"), {}, Path("dvb.mkv"), {{"scodec", "dvbsub"}});
    ASSERT_FALSE(r.error) << r.message;
    const auto out = ReadSubtitles(Path("dvb.mkv"));
    ASSERT_TRUE(out.ok);
    EXPECT_EQ(out.codec, "dvb_subtitle");
    std::vector<int64_t> times;
    for (const auto& p : out.packets)
        times.push_back(p.startMs);
    // The second cue is shown 512 ms into its packet and cleared 1536 ms into it.
    EXPECT_EQ(times, (std::vector<int64_t>{1000, 3048, 5512, 6536}));
    ASSERT_EQ(out.packets.size(), 4u);
    // The clearing packets are smaller: they carry no picture.
    EXPECT_LT(out.packets[1].text.size(), out.packets[0].text.size());
    EXPECT_LT(out.packets[3].text.size(), out.packets[2].text.size());
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
