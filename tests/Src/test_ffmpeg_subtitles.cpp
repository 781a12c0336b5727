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
#include <memory>
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

// Owners of the FFmpeg objects the tests make themselves.
struct TOutputContextFree {
    void operator()(AVFormatContext* oc) const {
        if (oc->pb)
            AVFormatStubs.avio_closep(&oc->pb);
        AVFormatStubs.avformat_free_context(oc);
    }
};
struct TInputContextFree {
    void operator()(AVFormatContext* ic) const { AVFormatStubs.avformat_close_input(&ic); }
};
struct TCodecContextFree {
    void operator()(AVCodecContext* c) const { AVCodecStubs.avcodec_free_context(&c); }
};
struct TPacketFree {
    void operator()(AVPacket* p) const { AVCodecStubs.av_packet_free(&p); }
};
using TOutputContext = std::unique_ptr<AVFormatContext, TOutputContextFree>;
using TInputContext = std::unique_ptr<AVFormatContext, TInputContextFree>;
using TCodecContext = std::unique_ptr<AVCodecContext, TCodecContextFree>;
using TPacket = std::unique_ptr<AVPacket, TPacketFree>;
struct TSubtitleRecord {
    AVSubtitle sub{};
    TSubtitleRecord() = default;
    TSubtitleRecord(const TSubtitleRecord&) = delete;
    TSubtitleRecord& operator=(const TSubtitleRecord&) = delete;
    ~TSubtitleRecord() { AVCodecStubs.avsubtitle_free(&sub); }
};

// Writes DVD (picture) subtitles into Matroska, one small box per cue.
bool WriteBitmapSubtitles(const QString& path, const std::vector<TBitmapCue>& cues) {
    const std::string name = path.toStdString();
    AVFormatContext* allocated = nullptr;
    if (AVFormatStubs.avformat_alloc_output_context2(&allocated, nullptr, "matroska",
                                                     name.c_str()) < 0)
        return false;
    const TOutputContext oc(allocated);
    const AVCodec* codec = AVCodecStubs.avcodec_find_encoder_by_name("dvdsub");
    const TCodecContext encoder(AVCodecStubs.avcodec_alloc_context3(codec));
    AVCodecContext* enc = encoder.get();
    AVStream* st = AVFormatStubs.avformat_new_stream(oc.get(), nullptr);
    const TPacket packet(AVCodecStubs.av_packet_alloc());
    AVPacket* pkt = packet.get();
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
         AVFormatStubs.avformat_write_header(oc.get(), nullptr) >= 0;
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
        ok = AVFormatStubs.av_interleaved_write_frame(oc.get(), pkt) >= 0;
    }
    return ok && AVFormatStubs.av_write_trailer(oc.get()) >= 0;
}

// The packets of a file's first subtitle stream, in its own time base, and what a
// decoder makes of them.
struct TCodedPacket {
    int64_t pts;
    int size;
};
struct TDecodedPicture {
    int64_t showUs; // record time plus its start delay
    unsigned rects;
    int x, y, w, h; // of the first rectangle
};
struct TPictureSubtitles {
    bool ok = false;
    std::string codec;
    AVRational timeBase{0, 1};
    std::vector<TCodedPacket> packets;
    std::vector<TDecodedPicture> decoded;
};

TPictureSubtitles ReadPictureSubtitles(const QString& path) {
    TPictureSubtitles out;
    const std::string name = path.toStdString();
    AVFormatContext* opened = nullptr;
    if (AVFormatStubs.avformat_open_input(&opened, name.c_str(), nullptr, nullptr) < 0)
        return out;
    const TInputContext ic(opened);
    if (AVFormatStubs.avformat_find_stream_info(ic.get(), nullptr) < 0)
        return out;
    const AVStream* st = nullptr;
    for (unsigned i = 0; i < ic->nb_streams && !st; ++i)
        if (ic->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_SUBTITLE)
            st = ic->streams[i];
    if (!st)
        return out;
    const AVCodec* codec = AVCodecStubs.avcodec_find_decoder(st->codecpar->codec_id);
    const TCodecContext dec(AVCodecStubs.avcodec_alloc_context3(codec));
    const TPacket pkt(AVCodecStubs.av_packet_alloc());
    if (!codec || !dec || !pkt ||
        AVCodecStubs.avcodec_parameters_to_context(dec.get(), st->codecpar) < 0)
        return out;
    dec->pkt_timebase = st->time_base;
    if (AVCodecStubs.avcodec_open2(dec.get(), codec, nullptr) < 0)
        return out;
    out.ok = true;
    out.codec = AVCodecStubs.avcodec_get_name(st->codecpar->codec_id);
    out.timeBase = st->time_base;
    while (AVFormatStubs.av_read_frame(ic.get(), pkt.get()) >= 0) {
        if (pkt->stream_index == st->index) {
            out.packets.push_back({pkt->pts, pkt->size});
            TSubtitleRecord record;
            int got = 0;
            if (AVCodecStubs.avcodec_decode_subtitle2(dec.get(), &record.sub, &got, pkt.get()) < 0)
                out.ok = false;
            const AVSubtitle& sub = record.sub;
            if (got) {
                TDecodedPicture d{
                    sub.pts + int64_t{sub.start_display_time} * 1000, sub.num_rects, 0, 0, 0, 0};
                if (sub.num_rects > 0)
                    d = {d.showUs,        d.rects,         sub.rects[0]->x,
                         sub.rects[0]->y, sub.rects[0]->w, sub.rects[0]->h};
                out.decoded.push_back(d);
            }
        }
        AVCodecStubs.av_packet_unref(pkt.get());
    }
    return out;
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

// On the 90 kHz clock of MPEG-TS: each subtitle is shown by one packet when its display
// starts and cleared by an empty one when it ends, to the tick, and decodes back to its
// picture at its start and to an empty screen at its end.
TEST_F(SubtitleTest, DvbSubtitlesInMpegTsAreShownAndClearedOnTime) {
    if (!AVCodecStubs.avcodec_find_encoder_by_name("dvbsub") ||
        !AVCodecStubs.avcodec_find_encoder_by_name("dvdsub"))
        GTEST_SKIP() << "this FFmpeg cannot encode DVB or DVD subtitles";
    // Packet time, start and end of display (ms): no delay, a delay of 1024 ms, and a
    // delay longer than the time shown.
    ASSERT_TRUE(WriteBitmapSubtitles(Path("in.mkv"),
                                     {{1000, 0, 2048}, {4000, 1024, 3072}, {9000, 2048, 2560}}));
    struct TDue {
        int64_t shownMs, clearedMs;
    };
    constexpr TDue Due[] = {{1000, 3048}, {5024, 7072}, {11048, 11560}};
    TCustomFFmpeg engine;
    // No mux delay: MPEG-TS would move every time stamp by twice that delay.
    const auto r = Convert(engine, Path("in.mkv"), {}, Path("dvb.ts"),
                           {{"scodec", "dvbsub"}, {"muxdelay", "0"}});
    ASSERT_FALSE(r.error) << r.message;
    const TPictureSubtitles out = ReadPictureSubtitles(Path("dvb.ts"));
    ASSERT_TRUE(out.ok);
    EXPECT_EQ(out.codec, "dvb_subtitle");
    ASSERT_EQ(out.packets.size(), 6u);
    ASSERT_EQ(out.decoded.size(), 6u);
    const AVRational ms{1, 1000};
    const int64_t tickUs =
        AVUtilStubs.av_rescale_q_rnd(1, out.timeBase, AVRational{1, AV_TIME_BASE}, AV_ROUND_UP);
    for (size_t i = 0; i < 3; ++i) {
        const TCodedPacket& show = out.packets[2 * i];
        const TCodedPacket& clear = out.packets[2 * i + 1];
        EXPECT_NEAR(show.pts, AVUtilStubs.av_rescale_q(Due[i].shownMs, ms, out.timeBase), 1) << i;
        EXPECT_NEAR(clear.pts, AVUtilStubs.av_rescale_q(Due[i].clearedMs, ms, out.timeBase), 1)
            << i;
        EXPECT_LT(clear.size, show.size) << i; // no picture
        const TDecodedPicture& shown = out.decoded[2 * i];
        EXPECT_NEAR(shown.showUs, Due[i].shownMs * 1000, tickUs) << i;
        EXPECT_EQ(shown.rects, 1u) << i;
        EXPECT_EQ((std::vector<int>{shown.x, shown.y, shown.w, shown.h}),
                  (std::vector<int>{40, 40, 16, 8}))
            << i;
        EXPECT_NEAR(out.decoded[2 * i + 1].showUs, Due[i].clearedMs * 1000, tickUs) << i;
        EXPECT_EQ(out.decoded[2 * i + 1].rects, 0u) << i;
    }
}

// A DVB subtitle still shown when the next one comes is replaced by it, not cleared
// afterwards (which the muxer refuses, going back in time). So a DVB input, each subtitle
// shown until its page times out and cleared by an empty one, can be re-encoded.
TEST_F(SubtitleTest, OverlappingDvbSubtitlesAreReplaced) {
    if (!AVCodecStubs.avcodec_find_encoder_by_name("dvbsub") ||
        !AVCodecStubs.avcodec_find_encoder_by_name("dvdsub"))
        GTEST_SKIP() << "this FFmpeg cannot encode DVB or DVD subtitles";
    ASSERT_TRUE(WriteBitmapSubtitles(Path("in.mkv"), {{1000, 0, 4096}, {3000, 0, 1024}}));
    TCustomFFmpeg engine;
    auto r = Convert(engine, Path("in.mkv"), {}, Path("dvb.ts"),
                     {{"scodec", "dvbsub"}, {"muxdelay", "0"}});
    ASSERT_FALSE(r.error) << r.message;
    TPictureSubtitles out = ReadPictureSubtitles(Path("dvb.ts"));
    ASSERT_TRUE(out.ok);
    std::vector<std::pair<int64_t, unsigned>> shown; // ms, pictures
    for (const TDecodedPicture& d : out.decoded)
        shown.emplace_back(d.showUs / 1000, d.rects);
    EXPECT_EQ(shown, (std::vector<std::pair<int64_t, unsigned>>{{1000, 1}, {3000, 1}, {4024, 0}}));

    r = Convert(engine, Path("dvb.ts"), {}, Path("again.ts"), {{"scodec", "dvbsub"}});
    ASSERT_FALSE(r.error) << r.message;
    out = ReadPictureSubtitles(Path("again.ts"));
    ASSERT_TRUE(out.ok);
    // Two pictures, the empty page that cleared them, and that page's own clearing.
    ASSERT_EQ(out.decoded.size(), 4u);
    EXPECT_EQ(out.decoded[1].showUs - out.decoded[0].showUs, 2000000);
    EXPECT_EQ(out.decoded[2].showUs - out.decoded[0].showUs, 3024000);
    EXPECT_EQ((std::vector<unsigned>{out.decoded[0].rects, out.decoded[1].rects,
                                     out.decoded[2].rects, out.decoded[3].rects}),
              (std::vector<unsigned>{1, 1, 0, 0}));
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
