// The audio path of a run: decoding with timestamp tracking, volume, the
// filter graph ("afilters"), audio sync (silence, dropping, drift
// compensation), resampling and sample-format conversion, frame assembly in a
// FIFO, encoding and flushing.
//
// All buffers are reused: the decoder frame, one encoder frame per stream, the
// sample buffers of the run. Nothing is allocated per encoded frame.
#include "FFmpegPrivate.h"

#include "FFUtils.h"
#include "FFmpegLogger.h"

#include <QThread>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

namespace {

constexpr int MaxInsertBytes = 131072; // inserted silence plus the block
constexpr AVRational MicrosecondBase{1, AV_TIME_BASE};

// The planes, format and size of a decoded (or filtered) frame.
TAudioBlock FrameBlock(const AVFrame* frame) {
    TAudioBlock block;
    block.samples = frame->nb_samples;
    block.format = static_cast<AVSampleFormat>(frame->format);
    block.channels = frame->ch_layout.nb_channels;
    block.rate = frame->sample_rate;
    block.layout = &frame->ch_layout;
    const int planes = AVUtilStubs.av_sample_fmt_is_planar(block.format) ? block.channels : 1;
    if (planes > static_cast<int>(block.planes.size()))
        throw FFmpegException("invalid channel count");
    for (int p = 0; p < planes; ++p)
        block.planes[static_cast<size_t>(p)] = frame->extended_data[p];
    block.data = block.planes.data();
    return block;
}

// A layout that names its channels: one of unknown order (a channel count only) becomes
// the usual layout of that count, which the filters' buffers take.
void NameChannels(AVChannelLayout& layout) {
    if (layout.order != AV_CHANNEL_ORDER_UNSPEC)
        return;
    const int channels = layout.nb_channels;
    AVUtilStubs.av_channel_layout_uninit(&layout);
    AVUtilStubs.av_channel_layout_default(&layout, channels);
}

std::string LayoutText(const AVChannelLayout& layout) {
    char text[256] = {};
    if (AVUtilStubs.av_channel_layout_describe(&layout, text, sizeof text) < 0)
        return {};
    return text;
}

std::string FilterErrorText(const char* what, int code) {
    return std::string(what) + ": " + LibraryErrorText(code);
}

template <typename T, typename Wide> void ScaleSamples(uint8_t* data, size_t count, int volume) {
    T* p = reinterpret_cast<T*>(data);
    for (size_t i = 0; i < count; ++i) {
        const Wide v = (static_cast<Wide>(p[i]) * volume + 128) >> 8;
        p[i] = static_cast<T>(
            std::clamp<Wide>(v, std::numeric_limits<T>::min(), std::numeric_limits<T>::max()));
    }
}

template <typename T> void ScaleFloat(uint8_t* data, size_t count, int volume) {
    T* p = reinterpret_cast<T*>(data);
    const T factor = static_cast<T>(volume) / 256;
    for (size_t i = 0; i < count; ++i)
        p[i] *= factor;
}

} // namespace

void TTranscodeRun::ApplyVolume(AVFrame* frame) const {
    const int volume = e.AudioVolume;
    if (volume == 256)
        return;
    const auto format = static_cast<AVSampleFormat>(frame->format);
    const bool planar = AVUtilStubs.av_sample_fmt_is_planar(format) != 0;
    const int channels = frame->ch_layout.nb_channels;
    const int planes = planar ? channels : 1;
    const size_t count =
        static_cast<size_t>(frame->nb_samples) * static_cast<size_t>(planar ? 1 : channels);
    for (int p = 0; p < planes; ++p) {
        uint8_t* data = frame->extended_data[p];
        switch (AVUtilStubs.av_get_packed_sample_fmt(format)) {
        case AV_SAMPLE_FMT_S16:
            ScaleSamples<int16_t, int32_t>(data, count, volume);
            break;
        case AV_SAMPLE_FMT_S32:
            ScaleSamples<int32_t, int64_t>(data, count, volume);
            break;
        case AV_SAMPLE_FMT_FLT:
            ScaleFloat<float>(data, count, volume);
            break;
        case AV_SAMPLE_FMT_DBL:
            ScaleFloat<double>(data, count, volume);
            break;
        case AV_SAMPLE_FMT_U8:
            for (size_t i = 0; i < count; ++i) {
                const int v = ((static_cast<int>(data[i]) - 128) * volume + 128) >> 8;
                data[i] = static_cast<uint8_t>(std::clamp(v, -128, 127) + 128);
            }
            break;
        default:
            break; // 64-bit integers: left as they are
        }
    }
}

int TTranscodeRun::DecodeAudio(TInputStream& ist, const AVPacket* packet) {
    AVCodecContext* dec = ist.dec.get();
    int emptyDrains = 0; // refusals in a row with nothing to read in between
    for (;;) {
        int ret = AVCodecStubs.avcodec_send_packet(dec, packet);
        if (ret == AVERROR_EOF && !packet)
            ret = 0; // already drained
        if (ret != AVERROR(EAGAIN)) {
            if (ret < 0)
                return ret;
            return ReceiveAudioFrames(ist);
        }
        // The decoder wants its output read first; the packet is still ours.
        int frames = 0;
        ret = ReceiveAudioFrames(ist, &frames);
        if (ret < 0)
            return ret;
        emptyDrains = frames == 0 ? emptyDrains + 1 : 0;
        if (emptyDrains > 1)
            throw FFmpegException(FormatText("Decoder of input stream #%d.%d takes no more data",
                                             ist.fileIndex, ist.index));
    }
}

int TTranscodeRun::ReceiveAudioFrames(TInputStream& ist, int* received) {
    AVCodecContext* dec = ist.dec.get();
    AVFrame* frame = decFrame.get();
    for (;;) {
        const int ret = AVCodecStubs.avcodec_receive_frame(dec, frame);
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF)
            return 0;
        if (ret < 0)
            return ret;
        if (received)
            ++*received;
        struct Unref {
            AVFrame* f;
            ~Unref() { AVUtilStubs.av_frame_unref(f); }
        } unref{frame};
        if (frame->nb_samples <= 0 || frame->sample_rate <= 0)
            continue;
        ist.pts = ist.nextPts;
        ist.nextPts += static_cast<int64_t>(frame->nb_samples) * 1000000 / frame->sample_rate;

        if (e.AudioVolume != 256) {
            if (AVUtilStubs.av_frame_make_writable(frame) < 0)
                throw FFmpegException("av_malloc failed");
            ApplyVolume(frame);
        }
        if (e.RateEmu) {
            const int64_t elapsed = AVUtilStubs.av_gettime_relative() - ist.startWall;
            if (ist.pts > elapsed + 1000)
                QThread::msleep(static_cast<unsigned long>((ist.pts - elapsed) / 1000));
        }
        if (e.StartTime != 0 && ist.pts < e.StartTime)
            continue;

        const TAudioBlock block = FrameBlock(frame);
        for (auto& ost : osts) {
            if (!ost.encodingNeeded || &ists[static_cast<size_t>(ost.sourceIndex)] != &ist)
                continue;
            if (e.joined_ && ost.block != joinedInput)
                continue;
            if (!ost.setup->filters.empty())
                FilterAudio(ost, ist, frame);
            else
                AudioOutputStep(ost, ist, block, ists[static_cast<size_t>(ost.syncIst)].pts);
        }
    }
}

void TTranscodeRun::OpenAudioFilters(TOutputStream& ost, int format, int rate,
                                     const AVChannelLayout& layout) {
    ost.graph.reset();
    ost.bufferSrc = ost.bufferSink = nullptr;
    auto fail = [](int code) {
        throw FFmpegException(FilterErrorText("Error opening audio filters", code));
    };
    const char* formatName =
        AVUtilStubs.av_get_sample_fmt_name(static_cast<AVSampleFormat>(format));
    AVChannelLayout named{};
    if (AVUtilStubs.av_channel_layout_copy(&named, &layout) < 0)
        fail(AVERROR(ENOMEM));
    NameChannels(named);
    const std::string layoutText = LayoutText(named);
    AVUtilStubs.av_channel_layout_uninit(&named);
    if (!formatName || rate <= 0 || layoutText.empty())
        fail(AVERROR(EINVAL));
    ost.graph.reset(AVFilterStubs.avfilter_graph_alloc());
    if (!ost.graph)
        fail(AVERROR(ENOMEM));
    AVFilterGraph* graph = ost.graph.get();
    // Time in microseconds, as the run counts it.
    const std::string srcArgs =
        FormatText("time_base=1/%d:sample_rate=%d:sample_fmt=%s:channel_layout=%s", AV_TIME_BASE,
                   rate, formatName, layoutText.c_str());
    int ret = AVFilterStubs.avfilter_graph_create_filter(
        &ost.bufferSrc, AVFilterStubs.avfilter_get_by_name("abuffer"), "src", srcArgs.c_str(),
        nullptr, graph);
    if (ret >= 0)
        ret = AVFilterStubs.avfilter_graph_create_filter(
            &ost.bufferSink, AVFilterStubs.avfilter_get_by_name("abuffersink"), "out", nullptr,
            nullptr, graph);
    if (ret < 0)
        fail(ret);

    ret = LinkFilterChain(graph, ost.bufferSrc, ost.bufferSink, ost.setup->filters);
    if (ret < 0)
        fail(ret);
    ost.filterFormat = format;
    ost.filterRate = rate;
    ost.filterLayout = layoutText;
    ost.filterEnded = false;
}

void TTranscodeRun::FilterAudio(TOutputStream& ost, TInputStream& ist, AVFrame* frame) {
    if (ost.filterEnded)
        return;
    NameChannels(frame->ch_layout);
    const std::string layout = LayoutText(frame->ch_layout);
    if (!ost.graph || frame->format != ost.filterFormat || frame->sample_rate != ost.filterRate ||
        layout != ost.filterLayout) {
        // The audio changed its kind: what the old graph holds goes out first.
        if (ost.graph)
            FlushAudioFilters(ost, ist);
        OpenAudioFilters(ost, frame->format, frame->sample_rate, frame->ch_layout);
    }
    frame->pts = ist.pts;
    const int ret = AVFilterStubs.av_buffersrc_add_frame_flags(ost.bufferSrc, frame,
                                                               AV_BUFFERSRC_FLAG_KEEP_REF);
    if (ret < 0)
        throw FFmpegException(FilterErrorText("Error while filtering audio", ret));
    OutputFilteredAudio(ost, ist);
}

void TTranscodeRun::OutputFilteredAudio(TOutputStream& ost, TInputStream& ist) {
    AVFrame* out = ost.filtered.get();
    const AVRational tb = AVFilterStubs.av_buffersink_get_time_base(ost.bufferSink);
    int ret = 0;
    while ((ret = AVFilterStubs.av_buffersink_get_frame(ost.bufferSink, out)) >= 0) {
        struct Unref {
            AVFrame* f;
            ~Unref() { AVUtilStubs.av_frame_unref(f); }
        } unref{out};
        if (out->nb_samples <= 0 || out->sample_rate <= 0)
            continue;
        const int64_t pts = out->pts != AV_NOPTS_VALUE
                                ? AVUtilStubs.av_rescale_q(out->pts, tb, MicrosecondBase)
                                : ist.pts;
        AudioOutputStep(ost, ist, FrameBlock(out), pts);
    }
    if (ret == AVERROR_EOF)
        ost.filterEnded = true;
    else if (ret != AVERROR(EAGAIN))
        throw FFmpegException(FilterErrorText("Error while filtering audio", ret));
}

void TTranscodeRun::FlushAudioFilters(TOutputStream& ost, TInputStream& ist) {
    if (!ost.filterEnded &&
        AVFilterStubs.av_buffersrc_add_frame_flags(ost.bufferSrc, nullptr, 0) >= 0)
        OutputFilteredAudio(ost, ist);
}

void TTranscodeRun::PrepareResampler(TOutputStream& ost, const TAudioBlock& in) {
    AVCodecContext* enc = ost.enc;
    if (in.format != AV_SAMPLE_FMT_S16 && e.Verbose > 0)
        FFLogger().Log(&e, llVerbose,
                       "Warning, using s16 intermediate sample format for resampling");
    SwrContext* swr = nullptr;
    int ret = SwResampleStubs.swr_alloc_set_opts2(
        &swr, &enc->ch_layout, enc->sample_fmt, enc->sample_rate,
        const_cast<AVChannelLayout*>(in.layout), in.format, in.rate, 0, nullptr);
    ost.resampler.reset(swr);
    if (ret >= 0) {
        for (const auto& [name, value] : {std::pair<const char*, int64_t>{"filter_size", 16},
                                          {"phase_shift", 10},
                                          {"linear_interp", 0}})
            if (ret >= 0)
                ret = AVUtilStubs.av_opt_set_int(swr, name, value, 0);
        if (ret >= 0)
            ret = AVUtilStubs.av_opt_set(swr, "cutoff", "0.8", 0);
        if (ret >= 0)
            ret = SwResampleStubs.swr_init(swr);
    }
    if (ret < 0) {
        ost.resampler.reset();
        throw FFmpegException(
            FormatText("Can not resample %d channels @ %d Hz to %d channels @ %d Hz", in.channels,
                       in.rate, enc->ch_layout.nb_channels, enc->sample_rate));
    }
    ++e.resamplersCreated_;
}

void TTranscodeRun::PrepareConverter(TOutputStream& ost, const TAudioBlock& in) {
    AVCodecContext* enc = ost.enc;
    ost.converter.reset();
    SwrContext* swr = nullptr;
    auto* layout = const_cast<AVChannelLayout*>(in.layout);
    // Same layout and rate on both sides: a pure sample-format conversion.
    int ret = SwResampleStubs.swr_alloc_set_opts2(&swr, layout, enc->sample_fmt, in.rate, layout,
                                                  in.format, in.rate, 0, nullptr);
    ost.converter.reset(swr);
    if (ret >= 0)
        ret = SwResampleStubs.swr_init(swr);
    if (ret < 0) {
        ost.converter.reset();
        throw FFmpegException(FormatText("Cannot convert %s sample format to %s sample format",
                                         AVUtilStubs.av_get_sample_fmt_name(in.format),
                                         AVUtilStubs.av_get_sample_fmt_name(enc->sample_fmt)));
    }
    ost.formatPair = enc->sample_fmt + 5 * in.format;
    ++e.convertersCreated_;
}

void TTranscodeRun::AudioOutputStep(TOutputStream& ost, TInputStream& ist, TAudioBlock block,
                                    int64_t ptsUs) {
    AVCodecContext* enc = ost.enc;
    const int encChannels = enc->ch_layout.nb_channels;
    const int encRate = enc->sample_rate;
    // The decoder or the filters may give another rate than the stream announced.
    if (encChannels != block.channels || encRate != block.rate)
        ost.resampleNeeded = true;
    if (ost.resampleNeeded && !ost.resampler)
        PrepareResampler(ost, block);
    const bool convert = !ost.resampleNeeded && enc->sample_fmt != block.format;
    if (convert && ost.formatPair != enc->sample_fmt + 5 * block.format)
        PrepareConverter(ost, block);

    const int decBytes = AVUtilStubs.av_get_bytes_per_sample(block.format);
    const bool decPlanar = AVUtilStubs.av_sample_fmt_is_planar(block.format) != 0;
    const int fifoSamples = AVUtilStubs.av_audio_fifo_size(ost.fifo.get());
    const double ipts = static_cast<double>(ptsUs - e.StartTime) / 1000000.0;
    if (e.AudioSyncMethod != 0) {
        const double delta = ipts * encRate - static_cast<double>(ost.syncOpts) - fifoSamples;
        const double idelta = delta * block.rate / encRate;
        int64_t sampleDelta = static_cast<int64_t>(idelta);
        if (std::fabs(delta) > 50) {
            if (ist.isStart || std::fabs(delta) > e.AudioDriftThreshold * encRate) {
                if (sampleDelta < 0) {
                    const int drop =
                        static_cast<int>(std::min<int64_t>(-sampleDelta, block.samples));
                    const int planes = decPlanar ? block.channels : 1;
                    const int step = drop * decBytes * (decPlanar ? 1 : block.channels);
                    for (int p = 0; p < planes; ++p)
                        block.planes[static_cast<size_t>(p)] = block.data[p] + step;
                    block.data = block.planes.data();
                    block.samples -= drop;
                    if (e.Verbose > 2)
                        FFLogger().Log(
                            &e, llVerbose,
                            FormatText("discarding %d audio samples", static_cast<int>(-delta)));
                    if (block.samples <= 0)
                        return;
                    ist.isStart = false;
                } else {
                    const int frameBytes = decBytes * block.channels;
                    if ((block.samples + sampleDelta) * frameBytes <= MaxInsertBytes)
                        ist.isStart = false;
                    else
                        sampleDelta =
                            std::max<int64_t>(0, MaxInsertBytes / frameBytes - block.samples);
                    const int total = block.samples + static_cast<int>(sampleDelta);
                    if (!silenceBuf.Ensure(block.format, block.channels, total))
                        throw FFmpegException("av_malloc failed");
                    if (AVUtilStubs.av_samples_set_silence(silenceBuf.Data(), 0,
                                                           static_cast<int>(sampleDelta),
                                                           block.channels, block.format) < 0 ||
                        AVUtilStubs.av_samples_copy(silenceBuf.Data(),
                                                    const_cast<uint8_t* const*>(block.data),
                                                    static_cast<int>(sampleDelta), 0, block.samples,
                                                    block.channels, block.format) < 0)
                        throw FFmpegException("Could not insert audio samples of silence");
                    const int planes = decPlanar ? block.channels : 1;
                    for (int p = 0; p < planes; ++p)
                        block.planes[static_cast<size_t>(p)] = silenceBuf.Data()[p];
                    block.data = block.planes.data();
                    block.samples = total;
                    if (e.Verbose > 2)
                        FFLogger().Log(&e, llVerbose,
                                       FormatText("adding %d audio samples of silence",
                                                  static_cast<int>(delta)));
                }
            } else if (e.AudioSyncMethod > 1 && ost.resampler) {
                const int limit = e.AudioSyncMethod;
                const int comp = std::clamp(static_cast<int>(delta), -limit, limit);
                if (e.Verbose > 2)
                    FFLogger().Log(&e, llVerbose,
                                   FormatText("compensating audio timestamp drift:%f "
                                              "compensation:%d in:%d",
                                              delta, comp, encRate));
                SwResampleStubs.swr_set_compensation(ost.resampler.get(), comp, encRate);
            }
        }
    } else {
        ost.syncOpts = std::llround(ipts * encRate) - fifoSamples;
    }

    const uint8_t* const* data = block.data;
    int samples = block.samples;
    if (ost.resampleNeeded) {
        const int capacity = SwResampleStubs.swr_get_out_samples(ost.resampler.get(), samples);
        if (capacity < 0 || !resampleBuf.Ensure(enc->sample_fmt, encChannels, capacity))
            throw FFmpegException("av_malloc failed");
        samples = SwResampleStubs.swr_convert(ost.resampler.get(), resampleBuf.Data(),
                                              resampleBuf.Capacity(),
                                              const_cast<const uint8_t**>(block.data), samples);
        if (samples < 0)
            throw FFmpegException(
                FormatText("Can not resample %d channels @ %d Hz to %d channels @ %d Hz",
                           block.channels, block.rate, encChannels, encRate));
        data = resampleBuf.Data();
    } else if (convert) {
        if (!convertBuf.Ensure(enc->sample_fmt, encChannels, samples))
            throw FFmpegException("av_malloc failed");
        const int done = SwResampleStubs.swr_convert(
            ost.converter.get(), convertBuf.Data(), convertBuf.Capacity(),
            const_cast<const uint8_t**>(block.data), samples);
        if (done < 0) {
            if (e.ExitOnError)
                throw FFmpegException("av_audio_convert() failed");
            FFLogger().Log(&e, llError, "av_audio_convert() failed");
            return;
        }
        samples = done;
        data = convertBuf.Data();
    }
    FeedFifo(ost, data, samples);
    EncodeFifo(ost, false);
}

void TTranscodeRun::FeedFifo(TOutputStream& ost, const uint8_t* const* data, int samples) {
    if (samples <= 0)
        return;
    void* const* planes = reinterpret_cast<void* const*>(const_cast<uint8_t* const*>(data));
    if (AVUtilStubs.av_audio_fifo_write(ost.fifo.get(), const_cast<void**>(planes), samples) <
        samples)
        throw FFmpegException("av_fifo_realloc2() failed");
}

AVFrame* TTranscodeRun::EncoderFrame(TOutputStream& ost, int samples) {
    AVFrame* frame = ost.frame.get();
    AVCodecContext* enc = ost.enc;
    if (frame->buf[0] && samples <= ost.frameCapacity) {
        // Normally a no-op: the encoder has let go of the previous frame.
        if (AVUtilStubs.av_frame_make_writable(frame) < 0)
            throw FFmpegException("av_malloc failed");
    } else {
        AVUtilStubs.av_frame_unref(frame);
        frame->format = enc->sample_fmt;
        frame->sample_rate = enc->sample_rate;
        if (AVUtilStubs.av_channel_layout_copy(&frame->ch_layout, &enc->ch_layout) < 0)
            throw FFmpegException("av_malloc failed");
        frame->nb_samples = samples;
        if (AVUtilStubs.av_frame_get_buffer(frame, 0) < 0)
            throw FFmpegException("av_malloc failed");
        ost.frameCapacity = samples;
    }
    frame->nb_samples = samples;
    return frame;
}

void TTranscodeRun::ReadFifo(AVAudioFifo* fifo, AVFrame* frame, int samples) {
    if (AVUtilStubs.av_audio_fifo_read(fifo, reinterpret_cast<void**>(frame->extended_data),
                                       samples) < samples)
        throw FFmpegException("Could not read audio samples from the FIFO");
}

void TTranscodeRun::EncodeFifo(TOutputStream& ost, bool flushing) {
    AVAudioFifo* fifo = ost.fifo.get();
    const int frameSize = ost.enc->frame_size;
    if (frameSize > 1) {
        while (AVUtilStubs.av_audio_fifo_size(fifo) >= frameSize) {
            AVFrame* frame = EncoderFrame(ost, frameSize);
            ReadFifo(fifo, frame, frameSize);
            EncodeAudioFrame(ost, frame);
        }
        if (!flushing)
            return;
        const int left = AVUtilStubs.av_audio_fifo_size(fifo);
        if (left <= 0)
            return;
        const bool shortOk =
            (ost.enc->codec->capabilities &
             (AV_CODEC_CAP_SMALL_LAST_FRAME | AV_CODEC_CAP_VARIABLE_FRAME_SIZE)) != 0;
        AVFrame* frame = EncoderFrame(ost, frameSize);
        ReadFifo(fifo, frame, left);
        if (shortOk) {
            frame->nb_samples = left;
        } else if (AVUtilStubs.av_samples_set_silence(frame->extended_data, left, frameSize - left,
                                                      ost.enc->ch_layout.nb_channels,
                                                      ost.enc->sample_fmt) < 0) {
            throw FFmpegException("Could not pad the last audio frame with silence");
        }
        EncodeAudioFrame(ost, frame);
        return;
    }
    // Sample-based (PCM) encoders take whatever there is.
    const int samples = AVUtilStubs.av_audio_fifo_size(fifo);
    if (samples <= 0)
        return;
    AVFrame* frame = EncoderFrame(ost, samples);
    ReadFifo(fifo, frame, samples);
    EncodeAudioFrame(ost, frame);
}

void TTranscodeRun::EncodeAudioFrame(TOutputStream& ost, AVFrame* frame) {
    AVCodecContext* enc = ost.enc;
    if (frame) {
        frame->pts = ost.syncOpts;
        ost.syncOpts += frame->nb_samples;
    }
    AVPacket* packet = encPkt.get();
    // Writes every packet the encoder has ready; returns how many.
    auto receive = [&] {
        int count = 0;
        for (;;) {
            const int ret = AVCodecStubs.avcodec_receive_packet(enc, packet);
            if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF)
                return count;
            if (ret < 0)
                throw FFmpegException("Audio encoding failed");
            audioSize += packet->size;
            packet->flags |= AV_PKT_FLAG_KEY;
            WritePacket(ost, packet);
            AVCodecStubs.av_packet_unref(packet);
            ++ost.frameNumber;
            ++count;
        }
    };
    int emptyDrains = 0; // refusals in a row with nothing to read in between
    for (;;) {
        int ret = AVCodecStubs.avcodec_send_frame(enc, frame);
        if (ret == AVERROR_EOF && !frame)
            ret = 0; // already drained
        if (ret != AVERROR(EAGAIN)) {
            if (ret < 0)
                throw FFmpegException("Audio encoding failed");
            receive();
            return;
        }
        // The encoder wants its output read first; then the frame goes again.
        emptyDrains = receive() == 0 ? emptyDrains + 1 : 0;
        if (emptyDrains > 1)
            throw FFmpegException("Audio encoding failed");
    }
}

void TTranscodeRun::FlushAudio(TOutputStream& ost, TInputStream& ist) {
    if (ost.graph)
        FlushAudioFilters(ost, ist);
    // Samples still inside the resampler's filter belong to the output too.
    if (ost.resampler) {
        const int capacity = SwResampleStubs.swr_get_out_samples(ost.resampler.get(), 0);
        if (capacity > 0 &&
            resampleBuf.Ensure(ost.enc->sample_fmt, ost.enc->ch_layout.nb_channels, capacity)) {
            const int got = SwResampleStubs.swr_convert(ost.resampler.get(), resampleBuf.Data(),
                                                        resampleBuf.Capacity(), nullptr, 0);
            if (got > 0)
                FeedFifo(ost, resampleBuf.Data(), got);
        }
    }
    EncodeFifo(ost, true);
    EncodeAudioFrame(ost, nullptr); // drain the encoder
}
