// Helpers of the engine tests: decode a media file back into 16-bit samples
// (through the loader's tables) and measure what it holds; run one engine
// conversion the way the application does.
#pragma once

#include "FFmpeg/FFmpeg.h"
#include "FFmpegStubs.h"

#include <QString>

#include <cmath>
#include <numbers>
#include <string>
#include <vector>

namespace enginetest {

struct TDecoded {
    bool ok = false;
    std::string codec;
    int rate = 0;
    int channels = 0;
    std::vector<int16_t> samples; // interleaved
    std::string comment;          // "comment" metadata of the container or stream
    size_t Frames() const { return channels ? samples.size() / static_cast<size_t>(channels) : 0; }
    double Seconds() const { return rate ? static_cast<double>(Frames()) / rate : 0; }
};

inline TDecoded Decode(const QString& path) {
    TDecoded out;
    const std::string name = path.toStdString();
    AVFormatContext* ic = nullptr;
    if (AVFormatStubs.avformat_open_input(&ic, name.c_str(), nullptr, nullptr) < 0)
        return out;
    AVCodecContext* dec = nullptr;
    SwrContext* swr = nullptr;
    AVPacket* pkt = AVCodecStubs.av_packet_alloc();
    AVFrame* frame = AVUtilStubs.av_frame_alloc();
    int index = -1;
    if (AVFormatStubs.avformat_find_stream_info(ic, nullptr) >= 0) {
        for (unsigned i = 0; i < ic->nb_streams; ++i)
            if (ic->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO)
                index = static_cast<int>(i);
    }
    if (const AVDictionaryEntry* c = AVUtilStubs.av_dict_get(ic->metadata, "comment", nullptr, 0))
        out.comment = c->value;
    if (index >= 0) {
        AVStream* st = ic->streams[index];
        if (const AVDictionaryEntry* c =
                AVUtilStubs.av_dict_get(st->metadata, "comment", nullptr, 0))
            out.comment = c->value;
        const AVCodec* codec = AVCodecStubs.avcodec_find_decoder(st->codecpar->codec_id);
        dec = AVCodecStubs.avcodec_alloc_context3(codec);
        AVCodecStubs.avcodec_parameters_to_context(dec, st->codecpar);
        dec->pkt_timebase = st->time_base;
        if (codec && AVCodecStubs.avcodec_open2(dec, codec, nullptr) >= 0) {
            out.codec = codec->name;
            out.rate = dec->sample_rate;
            out.channels = dec->ch_layout.nb_channels;
            AVChannelLayout layout{};
            AVUtilStubs.av_channel_layout_copy(&layout, &dec->ch_layout);
            SwResampleStubs.swr_alloc_set_opts2(&swr, &layout, AV_SAMPLE_FMT_S16, dec->sample_rate,
                                                &layout, dec->sample_fmt, dec->sample_rate, 0,
                                                nullptr);
            AVUtilStubs.av_channel_layout_uninit(&layout);
            out.ok = swr && SwResampleStubs.swr_init(swr) >= 0;
            auto drain = [&] {
                while (AVCodecStubs.avcodec_receive_frame(dec, frame) >= 0) {
                    const size_t at = out.samples.size();
                    out.samples.resize(at + static_cast<size_t>(frame->nb_samples * out.channels));
                    uint8_t* dst[1] = {reinterpret_cast<uint8_t*>(out.samples.data() + at)};
                    const int n = SwResampleStubs.swr_convert(
                        swr, dst, frame->nb_samples,
                        const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples);
                    out.samples.resize(at + static_cast<size_t>(std::max(n, 0) * out.channels));
                    AVUtilStubs.av_frame_unref(frame);
                }
            };
            while (out.ok && AVFormatStubs.av_read_frame(ic, pkt) >= 0) {
                if (pkt->stream_index == index && AVCodecStubs.avcodec_send_packet(dec, pkt) >= 0)
                    drain();
                AVCodecStubs.av_packet_unref(pkt);
            }
            AVCodecStubs.avcodec_send_packet(dec, nullptr);
            drain();
        }
    }
    SwResampleStubs.swr_free(&swr);
    AVUtilStubs.av_frame_free(&frame);
    AVCodecStubs.av_packet_free(&pkt);
    AVCodecStubs.avcodec_free_context(&dec);
    AVFormatStubs.avformat_close_input(&ic);
    return out;
}

// Relative power of a frequency in one channel (Goertzel), normalised by the
// channel's total power: about 0.5 for a pure tone at that frequency.
inline double TonePower(const TDecoded& d, int channel, double frequency) {
    const size_t frames = d.Frames();
    if (frames == 0)
        return 0;
    const double w = 2 * std::numbers::pi * frequency / d.rate;
    const double coeff = 2 * std::cos(w);
    double s1 = 0, s2 = 0, total = 0;
    for (size_t i = 0; i < frames; ++i) {
        const double x =
            d.samples[i * static_cast<size_t>(d.channels) + static_cast<size_t>(channel)] / 32768.0;
        const double s0 = x + coeff * s1 - s2;
        s2 = s1;
        s1 = s0;
        total += x * x;
    }
    const double power = s1 * s1 + s2 * s2 - coeff * s1 * s2;
    return total > 0 ? power / (total * static_cast<double>(frames) / 2) : 0;
}

struct TRunResult {
    bool opened = false;
    int outputs = -1;
    bool error = false;
    bool finished = false;
    std::string message;
};

// Runs one conversion in the calling thread: input options, OpenInput,
// output options, AddOutput, StartConvert(false).
inline TRunResult Convert(TCustomFFmpeg& engine, const QString& input,
                          const std::vector<std::pair<std::string, std::string>>& inputOptions,
                          const QString& output,
                          const std::vector<std::pair<std::string, std::string>>& outputOptions) {
    TRunResult r;
    engine.ResetEngine();
    for (const auto& [name, value] : inputOptions)
        engine.SetOption(name, value);
    r.opened = engine.OpenInput(input);
    if (!r.opened) {
        r.message = engine.LastError();
        return r;
    }
    for (const auto& [name, value] : outputOptions)
        engine.SetOption(name, value);
    r.outputs = engine.AddOutput(output, false);
    if (r.outputs < 0) {
        r.message = engine.LastError();
        return r;
    }
    engine.StartConvert(false);
    r.error = engine.ErrorOccurred();
    r.finished = engine.Finished();
    r.message = engine.ErrorMessage();
    return r;
}

} // namespace enginetest
