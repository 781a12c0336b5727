// Helpers of the video tests: write generated pictures into a video file
// through the libraries (any encoder and container, chosen time stamps), and
// decode a video file back into 8-bit YUV 4:2:0 pictures with their time
// stamps, size, rate and pixel format.
#pragma once

#include "FFmpegStubs.h"

#include <QString>

#include <cmath>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace videotest {

// Y, U, V of a picture point.
struct TYuv {
    int y = 0, u = 0, v = 0;
};

// Paints picture number n (frame->data, yuv420p) of the given size.
using TPainter = std::function<void(AVFrame* frame, int n)>;

// Fills a rectangle of a yuv420p picture with one colour (luma coordinates).
inline void FillYuv(AVFrame* f, int x, int y, int w, int h, TYuv c) {
    for (int r = y; r < y + h && r < f->height; ++r)
        for (int k = x; k < x + w && k < f->width; ++k)
            f->data[0][r * f->linesize[0] + k] = static_cast<uint8_t>(c.y);
    for (int r = y / 2; r < (y + h + 1) / 2 && r < (f->height + 1) / 2; ++r)
        for (int k = x / 2; k < (x + w + 1) / 2 && k < (f->width + 1) / 2; ++k) {
            f->data[1][r * f->linesize[1] + k] = static_cast<uint8_t>(c.u);
            f->data[2][r * f->linesize[2] + k] = static_cast<uint8_t>(c.v);
        }
}

struct TWriteSpec {
    std::string format;  // container (muxer name), e.g. "nut", "matroska", "mpeg1video"
    std::string encoder; // e.g. "ffv1", "mpeg1video"
    int width = 64, height = 48;
    int rate = 10;            // frames per second; the stream time base is 1/rate
    std::vector<int64_t> pts; // time stamps in frames, one per picture
    int qscale = 0;           // fixed quantiser when > 0
};

// Writes the pictures; false on any failure.
inline bool WriteVideo(const QString& path, const TWriteSpec& spec, const TPainter& paint) {
    const std::string name = path.toStdString();
    AVFormatContext* oc = nullptr;
    if (AVFormatStubs.avformat_alloc_output_context2(&oc, nullptr, spec.format.c_str(),
                                                     name.c_str()) < 0)
        return false;
    const AVCodec* codec = AVCodecStubs.avcodec_find_encoder_by_name(spec.encoder.c_str());
    AVCodecContext* enc = AVCodecStubs.avcodec_alloc_context3(codec);
    AVStream* st = AVFormatStubs.avformat_new_stream(oc, nullptr);
    AVFrame* frame = AVUtilStubs.av_frame_alloc();
    AVPacket* pkt = AVCodecStubs.av_packet_alloc();
    bool ok = codec && enc && st && frame && pkt;
    if (ok) {
        enc->width = spec.width;
        enc->height = spec.height;
        enc->pix_fmt = AV_PIX_FMT_YUV420P;
        enc->time_base = AVRational{1, spec.rate};
        enc->framerate = AVRational{spec.rate, 1};
        enc->gop_size = 1;
        enc->max_b_frames = 0;
        if (spec.qscale > 0) {
            enc->flags |= AV_CODEC_FLAG_QSCALE;
            enc->global_quality = FF_QP2LAMBDA * spec.qscale;
        }
        if (oc->oformat->flags & AVFMT_GLOBALHEADER)
            enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        ok = AVCodecStubs.avcodec_open2(enc, codec, nullptr) >= 0 &&
             AVCodecStubs.avcodec_parameters_from_context(st->codecpar, enc) >= 0;
        st->time_base = enc->time_base;
        st->avg_frame_rate = enc->framerate;
    }
    ok = ok && AVFormatStubs.avio_open(&oc->pb, name.c_str(), AVIO_FLAG_WRITE) >= 0 &&
         AVFormatStubs.avformat_write_header(oc, nullptr) >= 0;
    auto drain = [&] {
        while (ok && AVCodecStubs.avcodec_receive_packet(enc, pkt) >= 0) {
            AVCodecStubs.av_packet_rescale_ts(pkt, enc->time_base, st->time_base);
            pkt->stream_index = 0;
            ok = AVFormatStubs.av_interleaved_write_frame(oc, pkt) >= 0;
        }
    };
    if (ok) {
        frame->width = spec.width;
        frame->height = spec.height;
        frame->format = AV_PIX_FMT_YUV420P;
        ok = AVUtilStubs.av_frame_get_buffer(frame, 0) >= 0;
    }
    for (size_t i = 0; ok && i < spec.pts.size(); ++i) {
        ok = AVUtilStubs.av_frame_make_writable(frame) >= 0;
        paint(frame, static_cast<int>(i));
        frame->pts = spec.pts[i];
        ok = ok && AVCodecStubs.avcodec_send_frame(enc, frame) >= 0;
        drain();
    }
    if (ok) {
        AVCodecStubs.avcodec_send_frame(enc, nullptr);
        drain();
        ok = AVFormatStubs.av_write_trailer(oc) >= 0;
    }
    if (oc && oc->pb)
        AVFormatStubs.avio_closep(&oc->pb);
    AVCodecStubs.av_packet_free(&pkt);
    AVUtilStubs.av_frame_free(&frame);
    AVCodecStubs.avcodec_free_context(&enc);
    AVFormatStubs.avformat_free_context(oc);
    return ok;
}

// Frames counted in time-stamp units 0, 1, 2, ... n-1.
inline std::vector<int64_t> Frames(int n) {
    std::vector<int64_t> pts;
    for (int i = 0; i < n; ++i)
        pts.push_back(i);
    return pts;
}

struct TPicture {
    int width = 0, height = 0;
    std::vector<uint8_t> y, u, v; // 4:2:0
    int64_t ptsMs = 0;
    TYuv At(int x, int yy) const {
        return {y[static_cast<size_t>(yy * width + x)],
                u[static_cast<size_t>((yy / 2) * ((width + 1) / 2) + x / 2)],
                v[static_cast<size_t>((yy / 2) * ((width + 1) / 2) + x / 2)]};
    }
    // Mean luma of a rectangle.
    double MeanY(int x, int yy, int w, int h) const {
        double sum = 0;
        for (int r = yy; r < yy + h; ++r)
            for (int k = x; k < x + w; ++k)
                sum += y[static_cast<size_t>(r * width + k)];
        return sum / (w * h);
    }
};

struct TDecodedVideo {
    bool ok = false;
    std::string codec;
    std::string pixFmt;
    int width = 0, height = 0;
    double rate = 0; // the stream's average frame rate
    std::vector<TPicture> pictures;
};

inline TDecodedVideo DecodeVideo(const QString& path) {
    TDecodedVideo out;
    const std::string name = path.toStdString();
    AVFormatContext* ic = nullptr;
    if (AVFormatStubs.avformat_open_input(&ic, name.c_str(), nullptr, nullptr) < 0)
        return out;
    AVCodecContext* dec = nullptr;
    SwsContext* sws = nullptr;
    AVPacket* pkt = AVCodecStubs.av_packet_alloc();
    AVFrame* frame = AVUtilStubs.av_frame_alloc();
    int index = -1;
    if (AVFormatStubs.avformat_find_stream_info(ic, nullptr) >= 0)
        for (unsigned i = 0; i < ic->nb_streams; ++i)
            if (ic->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && index < 0)
                index = static_cast<int>(i);
    if (index >= 0) {
        AVStream* st = ic->streams[index];
        out.rate = st->avg_frame_rate.den ? av_q2d(st->avg_frame_rate) : 0;
        const AVCodec* codec = AVCodecStubs.avcodec_find_decoder(st->codecpar->codec_id);
        dec = AVCodecStubs.avcodec_alloc_context3(codec);
        AVCodecStubs.avcodec_parameters_to_context(dec, st->codecpar);
        dec->pkt_timebase = st->time_base;
        if (codec && AVCodecStubs.avcodec_open2(dec, codec, nullptr) >= 0) {
            out.ok = true;
            out.codec = codec->name;
            out.width = dec->width;
            out.height = dec->height;
            if (const char* n = AVUtilStubs.av_get_pix_fmt_name(dec->pix_fmt))
                out.pixFmt = n;
            auto drain = [&] {
                while (AVCodecStubs.avcodec_receive_frame(dec, frame) >= 0) {
                    TPicture p;
                    p.width = frame->width;
                    p.height = frame->height;
                    const int cw = (p.width + 1) / 2, ch = (p.height + 1) / 2;
                    p.y.resize(static_cast<size_t>(p.width * p.height));
                    p.u.resize(static_cast<size_t>(cw * ch));
                    p.v.resize(static_cast<size_t>(cw * ch));
                    sws = SwScaleStubs.sws_getCachedContext(
                        sws, frame->width, frame->height, static_cast<AVPixelFormat>(frame->format),
                        p.width, p.height, AV_PIX_FMT_YUV420P, SWS_POINT, nullptr, nullptr,
                        nullptr);
                    uint8_t* dst[4] = {p.y.data(), p.u.data(), p.v.data(), nullptr};
                    int lines[4] = {p.width, cw, cw, 0};
                    if (sws)
                        SwScaleStubs.sws_scale(sws, frame->data, frame->linesize, 0, frame->height,
                                               dst, lines);
                    const int64_t ts = frame->best_effort_timestamp;
                    p.ptsMs = ts == AV_NOPTS_VALUE ? -1
                                                   : AVUtilStubs.av_rescale_q(ts, st->time_base,
                                                                              AVRational{1, 1000});
                    out.pictures.push_back(std::move(p));
                    AVUtilStubs.av_frame_unref(frame);
                }
            };
            while (AVFormatStubs.av_read_frame(ic, pkt) >= 0) {
                if (pkt->stream_index == index && AVCodecStubs.avcodec_send_packet(dec, pkt) >= 0)
                    drain();
                AVCodecStubs.av_packet_unref(pkt);
            }
            AVCodecStubs.avcodec_send_packet(dec, nullptr);
            drain();
        }
    }
    SwScaleStubs.sws_freeContext(sws);
    AVUtilStubs.av_frame_free(&frame);
    AVCodecStubs.av_packet_free(&pkt);
    AVCodecStubs.avcodec_free_context(&dec);
    AVFormatStubs.avformat_close_input(&ic);
    return out;
}

// The packets of the first subtitle stream: start and duration in milliseconds.
struct TSubtitlePacket {
    int64_t startMs = 0;
    int64_t durationMs = 0;
    std::string text;
};
struct TDecodedSubtitles {
    bool ok = false;
    std::string codec;
    std::vector<TSubtitlePacket> packets;
};

inline TDecodedSubtitles ReadSubtitles(const QString& path) {
    TDecodedSubtitles out;
    const std::string name = path.toStdString();
    AVFormatContext* ic = nullptr;
    if (AVFormatStubs.avformat_open_input(&ic, name.c_str(), nullptr, nullptr) < 0)
        return out;
    AVPacket* pkt = AVCodecStubs.av_packet_alloc();
    int index = -1;
    if (AVFormatStubs.avformat_find_stream_info(ic, nullptr) >= 0)
        for (unsigned i = 0; i < ic->nb_streams; ++i)
            if (ic->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_SUBTITLE && index < 0)
                index = static_cast<int>(i);
    if (index >= 0) {
        const AVStream* st = ic->streams[index];
        out.ok = true;
        out.codec = AVCodecStubs.avcodec_get_name(st->codecpar->codec_id);
        const AVRational ms{1, 1000};
        while (AVFormatStubs.av_read_frame(ic, pkt) >= 0) {
            if (pkt->stream_index == index) {
                TSubtitlePacket p;
                p.startMs = AVUtilStubs.av_rescale_q(pkt->pts, st->time_base, ms);
                p.durationMs = AVUtilStubs.av_rescale_q(pkt->duration, st->time_base, ms);
                p.text.assign(reinterpret_cast<const char*>(pkt->data),
                              static_cast<size_t>(pkt->size));
                out.packets.push_back(p);
            }
            AVCodecStubs.av_packet_unref(pkt);
        }
    }
    AVCodecStubs.av_packet_free(&pkt);
    AVFormatStubs.avformat_close_input(&ic);
    return out;
}

} // namespace videotest
