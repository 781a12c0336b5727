// The subtitle path of a run: subtitle stream creation, decoding into
// subtitle records and re-encoding them (a DVB subtitle as two packets, one
// showing and one clearing). Stream copy goes through the common copy path.
#include "FFmpegPrivate.h"

#include "FFUtils.h"
#include "FFmpegLogger.h"

#include <cstring>

namespace {

constexpr AVRational MicrosecondBase{1, AV_TIME_BASE};
constexpr AVRational MillisecondBase{1, 1000};
constexpr size_t SubtitleBufferSize = 1048576;

} // namespace

void TCustomFFmpeg::NewSubtitleStream(TOutputFileSetup& out) {
    AVFormatContext* oc = out.ctx;
    AVStream* st = AVFormatStubs.avformat_new_stream(oc, nullptr);
    if (!st) {
        SubtitleCodecName.clear();
        SubtitleLanguage.clear();
        throw FFmpegException("Could not alloc stream");
    }
    TOutputStreamSetup setup;
    setup.st = st;
    setup.type = AVMEDIA_TYPE_SUBTITLE;
    setup.bsfs = std::move(SubtitleBitstreamFilters);
    SubtitleBitstreamFilters.clear();
    st->codecpar->codec_type = AVMEDIA_TYPE_SUBTITLE;
    if (SubtitleCodecTag)
        st->codecpar->codec_tag = SubtitleCodecTag;
    if (SubtitleStreamCopy) {
        setup.copy = true;
    } else {
        // The encoder is taken by name only: the container does not choose one.
        const AVCodec* codec = FindCodecByName(SubtitleCodecName, AVMEDIA_TYPE_SUBTITLE, true);
        setup.forcedEncoder = codec;
        setup.enc.reset(AVCodecStubs.avcodec_alloc_context3(codec));
        if (!setup.enc)
            throw FFmpegException("avcodec_alloc_context3 failed");
        AVCodecContext* enc = setup.enc.get();
        ApplyGenericOptions(enc, OPT_FLAG_SUBTITLE | OPT_FLAG_ENCODING);
        ApplyPrivateOptions(enc);
        enc->codec_type = AVMEDIA_TYPE_SUBTITLE;
        enc->codec_id = codec ? codec->id : AV_CODEC_ID_NONE;
        if (SubtitleCodecTag)
            enc->codec_tag = SubtitleCodecTag;
    }
    if (!SubtitleLanguage.empty()) {
        SetDictEntry(&st->metadata, "language", SubtitleLanguage.c_str());
        SubtitleLanguage.clear();
    }
    SubtitleDisable = false;
    SubtitleCodecName.clear();
    SubtitleStreamCopy = false;
    out.streams.push_back(std::move(setup));
}

int TTranscodeRun::DecodeSubtitle(TInputStream& ist, const AVPacket* packet) {
    if (!packet) {
        // The last DVB subtitle's clearing packet is still held back.
        for (auto& ost : osts)
            if (ost.pendingClear && &ists[static_cast<size_t>(ost.sourceIndex)] == &ist) {
                const TPacketPtr clear = std::move(ost.pendingClear);
                WritePacket(ost, clear.get());
            }
        return 0;
    }
    if (packet->duration > 0)
        ist.nextPts +=
            AVUtilStubs.av_rescale_q(packet->duration, ist.st->time_base, MicrosecondBase);
    AVSubtitle sub{};
    int got = 0;
    const int ret = AVCodecStubs.avcodec_decode_subtitle2(ist.dec.get(), &sub, &got,
                                                          const_cast<AVPacket*>(packet));
    if (ret < 0)
        return ret;
    if (!got)
        return 0;
    struct Free {
        AVSubtitle* s;
        unsigned rects;
        ~Free() {
            s->num_rects = rects;
            AVCodecStubs.avsubtitle_free(s);
        }
    } release{&sub, sub.num_rects};
    if (e.StartTime != 0 && ist.pts < e.StartTime)
        return 0;
    for (auto& ost : osts) {
        if (!ost.encodingNeeded || &ists[static_cast<size_t>(ost.sourceIndex)] != &ist)
            continue;
        if (e.joined_ && ost.block != joinedInput)
            continue;
        AVSubtitle copy = sub; // each output times its own packets
        SubtitleOutputStep(ost, ist, packet->pts, copy);
    }
    return 0;
}

void TTranscodeRun::SubtitleOutputStep(TOutputStream& ost, TInputStream& ist, int64_t pts,
                                       AVSubtitle& sub) {
    if (pts == AV_NOPTS_VALUE) {
        if (e.ExitOnError)
            throw FFmpegException("Subtitle packets must have a pts");
        FFLogger().Log(&e, llError, "Subtitle packets must have a pts");
        return;
    }
    if (subtitleBuf.empty())
        subtitleBuf.resize(SubtitleBufferSize);
    AVCodecContext* enc = ost.enc;
    const bool dvb = enc->codec_id == AV_CODEC_ID_DVB_SUBTITLE;
    const int count = dvb ? 2 : 1;
    const AVRational tb = ost.st->time_base;
    const unsigned rects = sub.num_rects;
    // Encoders take no start delay: it moves into the time stamp, once for both packets
    // of a DVB subtitle (the clearing one is due when the display ends, measured from
    // the same start).
    const int64_t subPts =
        AVUtilStubs.av_rescale_q(pts, ist.st->time_base, MicrosecondBase) +
        AVUtilStubs.av_rescale_q(sub.start_display_time, MillisecondBase, MicrosecondBase);
    sub.end_display_time -= sub.start_display_time;
    sub.start_display_time = 0;
    for (int i = 0; i < count; ++i) {
        sub.pts = subPts;
        sub.num_rects = i == 1 ? 0 : rects; // the second packet clears the screen
        const int size = AVCodecStubs.avcodec_encode_subtitle(
            enc, subtitleBuf.data(), static_cast<int>(subtitleBuf.size()), &sub);
        sub.num_rects = rects;
        if (size < 0)
            throw FFmpegException("Subtitle encoding failed");
        AVPacket* packet = encPkt.get();
        AVCodecStubs.av_packet_unref(packet);
        if (AVCodecStubs.av_new_packet(packet, size) < 0)
            throw FFmpegException("av_malloc failed");
        std::memcpy(packet->data, subtitleBuf.data(), static_cast<size_t>(size));
        packet->pts = AVUtilStubs.av_rescale_q(subPts, MicrosecondBase, tb);
        if (dvb) {
            const uint32_t shown = i == 0 ? sub.start_display_time : sub.end_display_time;
            packet->pts += AVUtilStubs.av_rescale_q(shown, MillisecondBase, tb);
        } else {
            // The display time travels as the packet's duration (its end time).
            packet->duration = AVUtilStubs.av_rescale_q(sub.end_display_time, MillisecondBase, tb);
        }
        packet->dts = packet->pts;
        packet->flags |= AV_PKT_FLAG_KEY;
        ost.srcTimeBase = tb;
        if (dvb && i == 0 && ost.pendingClear) {
            // The previous subtitle's clearing packet is written only if it is due before
            // this one shows; a later one would clear this subtitle (and go back in time),
            // and is not needed: showing this subtitle replaces the previous one.
            const TPacketPtr clear = std::move(ost.pendingClear);
            if (clear->pts <= packet->pts)
                WritePacket(ost, clear.get());
        }
        if (dvb && i == 1) {
            // Held back until the next subtitle shows or the stream ends.
            ost.pendingClear.reset(AVCodecStubs.av_packet_alloc());
            if (!ost.pendingClear)
                throw FFmpegException("av_malloc failed");
            AVCodecStubs.av_packet_move_ref(ost.pendingClear.get(), packet);
        } else {
            WritePacket(ost, packet);
        }
        AVCodecStubs.av_packet_unref(packet);
        ++ost.frameNumber;
    }
}
