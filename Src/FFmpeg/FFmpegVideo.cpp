// The video path of a run: video stream creation, set-up for encoding (crop,
// pad, resize, filter graph, two-pass log files), decoding, pre-processing
// (deinterlacing, the custom hook, frame hooks, hook ranges, before-hook),
// frame-rate sync, crop, scale and pad, encoding, preview, statistics and
// flushing.
//
// Pictures are reused: the decoder frame, the hook buffer, the cropped view,
// the padded/scaled picture and the encoder frame of each stream.
#include "FFmpegVideo.h"

#include "FFmpegLoader.h"
#include "FFmpegLogger.h"
#include "FrameHooks.h"

#include <QThread>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

constexpr AVRational MicrosecondBase{1, AV_TIME_BASE};
constexpr int64_t PreviewInterval = 100000; // microseconds

// Sample aspect ratio of a display aspect ratio for a picture size.
AVRational SampleAspect(double aspect, int width, int height) {
    const double sar = width * height != 0 ? aspect * height / width : aspect * 3 / 4;
    if (sar <= 0)
        return AVRational{0, 1};
    return AVUtilStubs.av_d2q(sar, 255);
}

// Chroma shifts of component c of a format.
void Shifts(const AVPixFmtDescriptor* d, int c, int& sx, int& sy) {
    const bool chroma = (c == 1 || c == 2) && !(d->flags & AV_PIX_FMT_FLAG_RGB);
    sx = chroma ? d->log2_chroma_w : 0;
    sy = chroma ? d->log2_chroma_h : 0;
}

// Plane pointers of the point (x, y) of a picture.
void OffsetPlanes(const AVPixFmtDescriptor* d, uint8_t* const src[], const int linesize[], int x,
                  int y, uint8_t* dst[4]) {
    for (int p = 0; p < 4; ++p)
        dst[p] = src[p];
    for (int c = 0; c < d->nb_components; ++c) {
        const AVComponentDescriptor& comp = d->comp[c];
        int sx = 0, sy = 0;
        Shifts(d, c, sx, sy);
        if (src[comp.plane])
            dst[comp.plane] = src[comp.plane] +
                              static_cast<ptrdiff_t>(y >> sy) * linesize[comp.plane] +
                              static_cast<ptrdiff_t>(x >> sx) * comp.step;
    }
}

// 8-bit planar formats with one component per plane (YUV, gray).
bool PlanarBytes(const AVPixFmtDescriptor* d) {
    if (!d || (d->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_BITSTREAM |
                           AV_PIX_FMT_FLAG_HWACCEL)))
        return false;
    for (int c = 0; c < d->nb_components; ++c)
        if (d->comp[c].step != 1 || d->comp[c].depth > 8 || d->comp[c].plane != c)
            return false;
    return true;
}

// Fills a rectangle with the pad colour (Y, U, V; alpha opaque).
void FillRect(AVFrame* f, int x, int y, int w, int h, const int yuv[3]) {
    const AVPixFmtDescriptor* d =
        AVUtilStubs.av_pix_fmt_desc_get(static_cast<AVPixelFormat>(f->format));
    if (w <= 0 || h <= 0 || !PlanarBytes(d))
        return;
    for (int c = 0; c < d->nb_components; ++c) {
        int sx = 0, sy = 0;
        Shifts(d, c, sx, sy);
        const int value = c < 3 ? yuv[c] : 255;
        const int x0 = x >> sx, y0 = y >> sy;
        const int cw = -((-w) >> sx), ch = -((-h) >> sy);
        for (int row = 0; row < ch; ++row)
            std::memset(f->data[c] + static_cast<ptrdiff_t>(y0 + row) * f->linesize[c] + x0, value,
                        static_cast<size_t>(cw));
    }
}

// A new picture of that size and format, pads filled, the rest black.
TFramePtr NewPicture(int width, int height, int format, const int pad[4], const int yuv[3]) {
    TFramePtr frame(AVUtilStubs.av_frame_alloc());
    if (!frame)
        return nullptr;
    frame->width = width;
    frame->height = height;
    frame->format = format;
    if (AVUtilStubs.av_frame_get_buffer(frame.get(), 0) < 0)
        return nullptr;
    for (int p = 0; p < 4 && frame->buf[p]; ++p)
        std::memset(frame->buf[p]->data, 0, frame->buf[p]->size);
    const int black[3] = {16, 128, 128};
    FillRect(frame.get(), 0, 0, width, height, black);
    FillRect(frame.get(), 0, 0, width, pad[0], yuv);
    FillRect(frame.get(), 0, height - pad[1], width, pad[1], yuv);
    FillRect(frame.get(), 0, pad[0], pad[2], height - pad[0] - pad[1], yuv);
    FillRect(frame.get(), width - pad[3], pad[0], pad[3], height - pad[0] - pad[1], yuv);
    return frame;
}

// Blends the lines of an interlaced picture into a progressive one
// (vertical -1 4 2 4 -1 filter on the lines of the second field).
bool Deinterlace(AVFrame* dst, const AVFrame* src) {
    const AVPixFmtDescriptor* d =
        AVUtilStubs.av_pix_fmt_desc_get(static_cast<AVPixelFormat>(src->format));
    if (!PlanarBytes(d) || src->width != dst->width || src->height != dst->height)
        return false;
    for (int c = 0; c < d->nb_components; ++c) {
        int sx = 0, sy = 0;
        Shifts(d, c, sx, sy);
        const int w = -((-src->width) >> sx), h = -((-src->height) >> sy);
        auto line = [&](int y) {
            return src->data[c] +
                   static_cast<ptrdiff_t>(std::clamp(y, 0, h - 1)) * src->linesize[c];
        };
        for (int y = 0; y < h; ++y) {
            uint8_t* out = dst->data[c] + static_cast<ptrdiff_t>(y) * dst->linesize[c];
            if ((y & 1) == 0) {
                std::memcpy(out, line(y), static_cast<size_t>(w));
                continue;
            }
            const uint8_t *a = line(y - 2), *b = line(y - 1), *m = line(y), *n = line(y + 1),
                          *o = line(y + 2);
            for (int x = 0; x < w; ++x) {
                const int v = (-a[x] + 4 * b[x] + 2 * m[x] + 4 * n[x] - o[x] + 4) >> 3;
                out[x] = static_cast<uint8_t>(std::clamp(v, 0, 255));
            }
        }
    }
    return true;
}

char PictureTypeChar(int type) {
    static const char types[] = "?IPBSipb";
    return type >= 0 && type < 8 ? types[type] : '?';
}

double Psnr(double d) {
    return -10.0 * std::log10(d);
}

} // namespace

// --- stream creation ------------------------------------------------------------

void TCustomFFmpeg::NewVideoStream(TOutputFileSetup& out) {
    AVFormatContext* oc = out.ctx;
    if (VideoStreamCopy) {
        if (UsingVHook)
            throw FFmpegException(
                "-vcodec copy and -vhook are incompatible (frames are not decoded)");
        if (FramesHooked())
            throw FFmpegException(
                "-vcodec copy and CustomHook are incompatible (frames are not decoded)");
    }
    AVStream* st = AVFormatStubs.avformat_new_stream(oc, nullptr);
    if (!st) {
        VideoCodecName.clear();
        throw FFmpegException("Could not alloc stream");
    }
    TOutputStreamSetup setup;
    setup.st = st;
    setup.type = AVMEDIA_TYPE_VIDEO;
    setup.bsfs = std::move(VideoBitstreamFilters);
    VideoBitstreamFilters.clear();
    st->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
    if (VideoCodecTag)
        st->codecpar->codec_tag = VideoCodecTag;
    const bool globalHeader = (VideoGlobalHeader & 1) ||
                              (VideoGlobalHeader == 0 && (oc->oformat->flags & AVFMT_GLOBALHEADER));
    AVCodecContext* defaults = DefaultCodecContext(omtVideo);
    if (globalHeader && defaults)
        defaults->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if ((VideoGlobalHeader & 2) && defaults)
        defaults->flags2 |= AV_CODEC_FLAG2_LOCAL_HEADER;

    if (VideoStreamCopy) {
        setup.copy = true;
        const AVRational sar = SampleAspect(FrameAspectRatio, FrameWidth, FrameHeight);
        st->sample_aspect_ratio = sar;
        st->codecpar->sample_aspect_ratio = sar;
    } else {
        const TFrameRate rate =
            FrameRate.num > 0 && FrameRate.den > 0 ? FrameRate : TFrameRate{25, 1};
        const AVCodec* codec = FindCodecByName(VideoCodecName, AVMEDIA_TYPE_VIDEO, true);
        AVCodecID id = codec ? codec->id : AV_CODEC_ID_NONE;
        if (!codec) {
            id = AVFormatStubs.av_guess_codec(oc->oformat, nullptr, out.name.c_str(), nullptr,
                                              AVMEDIA_TYPE_VIDEO);
            codec = AVCodecStubs.avcodec_find_encoder(id);
        } else {
            setup.forcedEncoder = codec;
        }
        setup.enc.reset(AVCodecStubs.avcodec_alloc_context3(codec));
        if (!setup.enc)
            throw FFmpegException("avcodec_alloc_context3 failed");
        AVCodecContext* enc = setup.enc.get();
        ApplyGenericOptions(enc, OPT_FLAG_VIDEO | OPT_FLAG_ENCODING);
        ApplyPrivateOptions(enc);
        enc->codec_type = AVMEDIA_TYPE_VIDEO;
        enc->codec_id = id;
        if (VideoCodecTag)
            enc->codec_tag = VideoCodecTag;
        if (globalHeader)
            enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        if (VideoGlobalHeader & 2)
            enc->flags2 |= AV_CODEC_FLAG2_LOCAL_HEADER;
        AVRational frameRate{rate.num, rate.den};
        if (codec && codec->supported_framerates && !ForceFps) {
            const int best =
                AVUtilStubs.av_find_nearest_q_idx(frameRate, codec->supported_framerates);
            frameRate = codec->supported_framerates[best];
        }
        enc->time_base = AVRational{frameRate.den, frameRate.num};
        enc->framerate = frameRate;
        enc->width = FrameWidth + PadLeft + PadRight;
        enc->height = FrameHeight + PadTop + PadBottom;
        const AVRational sar = SampleAspect(FrameAspectRatio, enc->width, enc->height);
        enc->sample_aspect_ratio = sar;
        st->sample_aspect_ratio = sar;
        enc->pix_fmt = static_cast<AVPixelFormat>(FramePixFmt);
        if (codec && codec->pix_fmts) {
            bool listed = false;
            for (const AVPixelFormat* p = codec->pix_fmts; *p != AV_PIX_FMT_NONE; ++p)
                listed = listed || *p == enc->pix_fmt;
            if (!listed)
                enc->pix_fmt = codec->pix_fmts[0];
        }
        if (enc->pix_fmt == AV_PIX_FMT_NONE)
            enc->pix_fmt = AV_PIX_FMT_YUV420P;
        if (IntraOnly)
            enc->gop_size = 0;
        if (VideoQScale != 0 || SameQuality) {
            enc->flags |= AV_CODEC_FLAG_QSCALE;
            enc->global_quality = static_cast<int>(FF_QP2LAMBDA * VideoQScale);
        }
        auto matrix = [](const std::vector<uint16_t>& values) -> uint16_t* {
            if (values.size() != 64)
                return nullptr;
            auto* m = static_cast<uint16_t*>(AVUtilStubs.av_malloc(64 * sizeof(uint16_t)));
            if (!m)
                throw FFmpegException("av_malloc failed");
            std::copy(values.begin(), values.end(), m);
            return m;
        };
        enc->intra_matrix = matrix(IntraMatrix);
        enc->inter_matrix = matrix(InterMatrix);
        enc->thread_count = 1;
        // "start,end,q/start,end,q": q > 0 a fixed quantiser, else a quality factor.
        const std::string& rc = VideoRcOverride;
        int count = 0;
        for (size_t pos = 0; !rc.empty() && pos != std::string::npos; ++count) {
            const size_t slash = rc.find('/', pos);
            pos = slash == std::string::npos ? slash : slash + 1;
        }
        if (count > 0) {
            enc->rc_override = static_cast<RcOverride*>(
                AVUtilStubs.av_mallocz(sizeof(RcOverride) * static_cast<size_t>(count)));
            if (!enc->rc_override)
                throw FFmpegException("av_malloc failed");
            enc->rc_override_count = count;
            const char* p = rc.c_str();
            for (int i = 0; i < count; ++i) {
                int start = 0, end = 0, q = 0;
                if (std::sscanf(p, "%d,%d,%d", &start, &end, &q) != 3)
                    throw FFmpegException("error parsing rc_override");
                RcOverride& o = enc->rc_override[i];
                o.start_frame = start;
                o.end_frame = end;
                if (q > 0) {
                    o.qscale = q;
                    o.quality_factor = 1.0f;
                } else {
                    o.qscale = 0;
                    o.quality_factor = -q / 100.0f;
                }
                p = std::strchr(p, '/');
                if (p)
                    ++p;
                else
                    break;
            }
        }
        if (enc->rc_initial_buffer_occupancy == 0)
            enc->rc_initial_buffer_occupancy = enc->rc_buffer_size * 3 / 4;
        enc->intra_dc_precision = IntraDcPrecision - 8;
        if (DoPSNR)
            enc->flags |= AV_CODEC_FLAG_PSNR;
        if (DoPass == 1)
            enc->flags |= AV_CODEC_FLAG_PASS1;
        else if (DoPass == 2)
            enc->flags |= AV_CODEC_FLAG_PASS2;
        setup.crop[0] = CropTop;
        setup.crop[1] = CropBottom;
        setup.crop[2] = CropLeft;
        setup.crop[3] = CropRight;
        setup.pad[0] = PadTop;
        setup.pad[1] = PadBottom;
        setup.pad[2] = PadLeft;
        setup.pad[3] = PadRight;
        std::copy(PadColor, PadColor + 3, setup.padColor);
        setup.filters = VideoFilters;
    }
    VideoDisable = false;
    VideoCodecName.clear();
    VideoStreamCopy = false;
    out.streams.push_back(std::move(setup));
}

int TCustomFFmpeg::FrameHookCount() const {
    return HookCount(frameHooks_);
}

bool TCustomFFmpeg::AddFrameHook(const std::vector<std::string>& args) {
    std::vector<std::string> copies = args;
    std::vector<char*> argv;
    for (std::string& arg : copies)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    return LoadHook(&frameHooks_, static_cast<int>(copies.size()), argv.data()) == 0;
}

void TCustomFFmpeg::FreeFrameHooks() {
    ReleaseHooks(&frameHooks_);
}

// --- set-up ---------------------------------------------------------------------

void TTranscodeRun::PrepareVideo(TOutputStream& ost, TInputStream& ist) {
    const AVCodecParameters* in = ist.st->codecpar;
    if (in->format == AV_PIX_FMT_NONE)
        throw FFmpegException("Video pixel format is unknown, stream cannot be decoded");
    AVCodecContext* enc = ost.enc;
    const TOutputStreamSetup& setup = *ost.setup;
    ost.cropTop = ost.setupCropTop = setup.crop[0];
    ost.cropBottom = ost.setupCropBottom = setup.crop[1];
    ost.cropLeft = ost.setupCropLeft = setup.crop[2];
    ost.cropRight = ost.setupCropRight = setup.crop[3];
    ost.cropOn = ost.cropTop || ost.cropBottom || ost.cropLeft || ost.cropRight;
    ost.padTop = setup.pad[0];
    ost.padBottom = setup.pad[1];
    ost.padLeft = setup.pad[2];
    ost.padRight = setup.pad[3];
    ost.padOn = ost.padTop || ost.padBottom || ost.padLeft || ost.padRight;
    ost.setupWidth = ost.srcWidth = in->width;
    ost.setupHeight = ost.srcHeight = in->height;
    ost.srcFormat = in->format;
    ist.decodingNeeded = true;
    ost.encodingNeeded = true;
    ost.srcTimeBase = enc->time_base;

    if (!setup.filters.empty()) {
        OpenVideoFilters(ost, ist);
        ost.cropOn = false;
        ost.resizeOn = false;
    } else {
        ost.resizeOn =
            enc->width != in->width - ost.cropLeft - ost.cropRight + ost.padLeft + ost.padRight ||
            enc->height != in->height - ost.cropTop - ost.cropBottom + ost.padTop + ost.padBottom ||
            enc->pix_fmt != in->format;
    }
    if (ost.padOn || ost.resizeOn) {
        ost.tempPicture =
            NewPicture(enc->width, enc->height, enc->pix_fmt, setup.pad, setup.padColor);
        if (!ost.tempPicture)
            throw FFmpegException(ost.resizeOn ? "Cannot allocate temp picture, check pix fmt"
                                               : "avpicture_alloc fail");
    }
    if (ost.resizeOn) {
        int64_t flags = e.SwsFlags;
        if (SwsContext* defaults = e.DefaultScalerContext())
            AVUtilStubs.av_opt_get_int(defaults, "sws_flags", 0, &flags);
        ost.scaler.reset(SwScaleStubs.sws_getContext(
            in->width - ost.cropLeft - ost.cropRight, in->height - ost.cropTop - ost.cropBottom,
            static_cast<AVPixelFormat>(in->format), enc->width - ost.padLeft - ost.padRight,
            enc->height - ost.padTop - ost.padBottom, enc->pix_fmt, static_cast<int>(flags),
            nullptr, nullptr, nullptr));
        if (!ost.scaler)
            throw FFmpegException("Cannot get resampling context");
    }
    ost.cropped.reset(AVUtilStubs.av_frame_alloc());
    ost.filtered.reset(AVUtilStubs.av_frame_alloc());
    if (!ost.cropped || !ost.filtered)
        throw FFmpegException("av_malloc failed");
    OpenPassLog(ost, static_cast<size_t>(&ost - osts.data()));
}

void TTranscodeRun::OpenVideoFilters(TOutputStream& ost, TInputStream& ist) {
    const AVCodecParameters* in = ist.st->codecpar;
    AVCodecContext* enc = ost.enc;
    auto fail = [](const std::string& why) {
        throw FFmpegException(why.empty() ? std::string("Error opening filters!")
                                          : "Error opening filters: " + why);
    };
    ost.graph.reset(AVFilterStubs.avfilter_graph_alloc());
    if (!ost.graph)
        fail("");
    AVFilterGraph* graph = ost.graph.get();
    const AVRational sar =
        in->sample_aspect_ratio.num > 0 ? in->sample_aspect_ratio : AVRational{1, 1};
    const std::string srcArgs =
        FormatText("video_size=%dx%d:pix_fmt=%d:time_base=1/%d:pixel_aspect=%d/%d", in->width,
                   in->height, in->format, AV_TIME_BASE, sar.num, sar.den);
    int ret = AVFilterStubs.avfilter_graph_create_filter(
        &ost.bufferSrc, AVFilterStubs.avfilter_get_by_name("buffer"), "src", srcArgs.c_str(),
        nullptr, graph);
    if (ret >= 0)
        ret = AVFilterStubs.avfilter_graph_create_filter(
            &ost.bufferSink, AVFilterStubs.avfilter_get_by_name("buffersink"), "out", nullptr,
            nullptr, graph);
    if (ret >= 0) {
        const AVPixelFormat formats[] = {enc->pix_fmt};
        ret = AVUtilStubs.av_opt_set_bin(ost.bufferSink, "pix_fmts",
                                         reinterpret_cast<const uint8_t*>(formats), sizeof formats,
                                         AV_OPT_SEARCH_CHILDREN);
    }
    if (ret < 0)
        fail(LibraryErrorText(ret));

    std::string chain;
    auto add = [&chain](const std::string& part) { chain += (chain.empty() ? "" : ",") + part; };
    const int croppedW = in->width - ost.cropLeft - ost.cropRight;
    const int croppedH = in->height - ost.cropTop - ost.cropBottom;
    if (ost.cropOn)
        add(FormatText("crop=x=%d:y=%d:w=%d:h=%d", ost.cropLeft, ost.cropTop, croppedW, croppedH));
    const int targetW = enc->width - ost.padLeft - ost.padRight;
    const int targetH = enc->height - ost.padTop - ost.padBottom;
    if (targetW != croppedW || targetH != croppedH)
        add(FormatText("scale=%d:%d:flags=%d", targetW, targetH, e.SwsFlags));
    add(ost.setup->filters);

    graph->scale_sws_opts = AVUtilStubs.av_strdup(FormatText("flags=%d", e.SwsFlags).c_str());
    ret = LinkFilterChain(graph, ost.bufferSrc, ost.bufferSink, chain);
    if (ret < 0)
        fail(LibraryErrorText(ret));
    const int w = AVFilterStubs.av_buffersink_get_w(ost.bufferSink);
    const int h = AVFilterStubs.av_buffersink_get_h(ost.bufferSink);
    if (ost.padOn && (w != targetW || h != targetH))
        throw FFmpegException("Cannot enable pad options and the filters which resize frame at "
                              "the same time. (crop, rotate, scale, transpose, etc.)");
    enc->width = w + ost.padLeft + ost.padRight;
    enc->height = h + ost.padTop + ost.padBottom;
    const AVRational outSar = ost.st->sample_aspect_ratio;
    enc->sample_aspect_ratio = outSar;
}

void TTranscodeRun::OpenPassLog(TOutputStream& ost, size_t index) {
    AVCodecContext* enc = ost.enc;
    if (!(enc->flags & (AV_CODEC_FLAG_PASS1 | AV_CODEC_FLAG_PASS2)))
        return;
    std::string name =
        (e.PassLogFilename.empty() ? std::string("ffmpeg2pass") : e.PassLogFilename) + "-" +
        std::to_string(index) + ".log";
    if (name.size() > 1023)
        name.resize(1023);
    if (enc->flags & AV_CODEC_FLAG_PASS1) {
        ost.passLog.reset(std::fopen(name.c_str(), "wb"));
        if (!ost.passLog)
            throw FFmpegException(
                FormatText("Cannot write log file %s for pass-1 encoding", name.c_str()));
        return;
    }
    TFilePtr file(std::fopen(name.c_str(), "rb"));
    long size = -1;
    if (file && std::fseek(file.get(), 0, SEEK_END) == 0)
        size = std::ftell(file.get());
    if (!file || size < 0 || std::fseek(file.get(), 0, SEEK_SET) != 0)
        throw FFmpegException(
            FormatText("Cannot read log file %s for pass-2 encoding", name.c_str()));
    ost.statsIn = static_cast<char*>(AVUtilStubs.av_malloc(static_cast<size_t>(size) + 1));
    if (!ost.statsIn)
        throw FFmpegException("Could not allocate log buffer");
    if (std::fread(ost.statsIn, 1, static_cast<size_t>(size), file.get()) !=
        static_cast<size_t>(size))
        throw FFmpegException(
            FormatText("Cannot read log file %s for pass-2 encoding", name.c_str()));
    ost.statsIn[size] = '\0';
    enc->stats_in = ost.statsIn;
}

void TTranscodeRun::ReleaseVideo() {
    for (auto& ost : osts) {
        if (ost.statsIn) {
            if (ost.enc && ost.enc->stats_in == ost.statsIn)
                ost.enc->stats_in = nullptr;
            AVUtilStubs.av_free(ost.statsIn);
            ost.statsIn = nullptr;
        }
        ost.graph.reset();
        ost.scaler.reset();
        ost.passLog.reset();
    }
    video.reset(); // the preview window closes here
}

// --- decoding ---------------------------------------------------------------------

int TTranscodeRun::DecodeVideo(TInputStream& ist, const AVPacket* packet) {
    AVCodecContext* dec = ist.dec.get();
    int emptyDrains = 0;
    for (;;) {
        int ret = AVCodecStubs.avcodec_send_packet(dec, packet);
        if (ret == AVERROR_EOF && !packet)
            ret = 0;
        if (ret != AVERROR(EAGAIN)) {
            if (ret < 0)
                return ret;
            return ReceiveVideoFrames(ist);
        }
        int frames = 0;
        ret = ReceiveVideoFrames(ist, &frames);
        if (ret < 0)
            return ret;
        emptyDrains = frames == 0 ? emptyDrains + 1 : 0;
        if (emptyDrains > 1)
            throw FFmpegException(FormatText("Decoder of input stream #%d.%d takes no more data",
                                             ist.fileIndex, ist.index));
    }
}

int TTranscodeRun::ReceiveVideoFrames(TInputStream& ist, int* received) {
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
        const int64_t ts = frame->best_effort_timestamp;
        ist.pts = ts != AV_NOPTS_VALUE
                      ? AVUtilStubs.av_rescale_q(ts, ist.st->time_base, MicrosecondBase)
                      : ist.nextPts;
        int64_t duration = 0;
        if (frame->pkt_duration > 0)
            duration =
                AVUtilStubs.av_rescale_q(frame->pkt_duration, ist.st->time_base, MicrosecondBase);
        else if (dec->framerate.num > 0)
            duration = AVUtilStubs.av_rescale_q(
                1, AVRational{dec->framerate.den, dec->framerate.num}, MicrosecondBase);
        else if (ist.st->r_frame_rate.num > 0)
            duration = AVUtilStubs.av_rescale_q(
                1, AVRational{ist.st->r_frame_rate.den, ist.st->r_frame_rate.num}, MicrosecondBase);
        ist.nextPts = ist.pts + duration;

        if (e.RateEmu) {
            const int64_t elapsed = AVUtilStubs.av_gettime_relative() - ist.startWall;
            if (ist.pts > elapsed + 1000)
                QThread::msleep(static_cast<unsigned long>((ist.pts - elapsed) / 1000));
        }
        if (e.StartTime != 0 && ist.pts < e.StartTime)
            continue;
        ++video->decodedFrames;
        AVFrame* picture = PreProcess(ist, frame);
        for (auto& ost : osts) {
            if (!ost.encodingNeeded || &ists[static_cast<size_t>(ost.sourceIndex)] != &ist)
                continue;
            if (e.joined_ && ost.block != joinedInput)
                continue;
            FilterAndOutput(ost, ist, picture);
        }
    }
}

// --- pre-processing -------------------------------------------------------------------

AVFrame* TTranscodeRun::PreProcess(TInputStream& ist, AVFrame* picture) {
    TVideoRunState& v = *video;
    bool apply = false;
    if ((v.customHook || e.frameHooks_) && v.hooksOn) {
        apply = true;
        if (v.beforeHook) {
            THookAction action = haContinue;
            try {
                v.beforeHook(&e, ist.pts, action);
            } catch (const std::exception& ex) {
                FFLogger().Log(&e, llError, std::string("Error occurs OnBeforeHook: ") + ex.what());
                v.hooksOn = false;
                apply = false;
            }
            if (action == haIgnore) {
                apply = false;
            } else if (action == haStop) {
                v.hooksOn = false;
                apply = false;
            }
        } else if (!v.ranges.empty()) {
            while (v.rangeIndex < v.ranges.size() && v.ranges[v.rangeIndex].End < ist.pts)
                ++v.rangeIndex;
            if (v.rangeIndex >= v.ranges.size()) {
                v.hooksOn = false;
                apply = false;
            } else {
                apply = ist.pts >= v.ranges[v.rangeIndex].Start;
            }
        }
    }
    if (!e.DoDeinterlace && !apply)
        return picture;

    AVFrame* buf = v.hookBuf.get();
    if (!buf || buf->width != picture->width || buf->height != picture->height ||
        buf->format != picture->format) {
        const int none[4] = {0, 0, 0, 0};
        v.hookBuf = NewPicture(picture->width, picture->height, picture->format, none, none);
        buf = v.hookBuf.get();
        if (!buf) {
            FFLogger().Log(&e, llError, "hook buf malloc error.");
            return picture;
        }
    } else if (AVUtilStubs.av_frame_make_writable(buf) < 0) {
        FFLogger().Log(&e, llError, "hook buf malloc error.");
        return picture;
    }
    if (!e.DoDeinterlace || !Deinterlace(buf, picture)) {
        if (e.DoDeinterlace)
            FFLogger().Log(&e, llError, "Deinterlacing failed.");
        if (AVUtilStubs.av_frame_copy(buf, picture) < 0) {
            FFLogger().Log(&e, llError, "hook buf malloc error.");
            return picture;
        }
    }
    AVUtilStubs.av_frame_copy_props(buf, picture);
    if (!apply)
        return buf;

    if (!v.customHook) {
        TFrameHookPicture hookPicture{};
        for (int p = 0; p < 4; ++p) {
            hookPicture.data[p] = buf->data[p];
            hookPicture.linesize[p] = buf->linesize[p];
        }
        CallHooks(e.frameHooks_, &hookPicture, buf->format, buf->width, buf->height, ist.pts);
        return buf;
    }

    TBitmapState& state = v.hookBitmap;
    if (!PictureToBitmap(state, buf->data, buf->linesize, buf->format, buf->height, buf->width)) {
        FFLogger().Log(&e, llError, "Cannot initialize the toRGB conversion context");
        v.hooksOn = false;
        return buf;
    }
    bool update = true;
    bool stop = false;
    try {
        v.customHook(&e, state.Bitmap, static_cast<int>(v.decodedFrames), ist.pts, update, stop);
    } catch (const std::exception& ex) {
        FFLogger().Log(&e, llError, std::string("Error occurs OnCustomHook: ") + ex.what());
        v.hooksOn = false;
        return buf;
    }
    if (stop)
        v.hooksOn = false;
    if (!update)
        return buf;
    const TBitmap& bitmap = state.Bitmap;
    if (bitmap.width() != buf->width || bitmap.height() != buf->height) {
        FFLogger().Log(&e, llError, "Error occurs OnCustomHook: the bitmap changed its size");
        v.hooksOn = false;
        return buf;
    }
    v.fromRGB.reset(SwScaleStubs.sws_getCachedContext(
        v.fromRGB.release(), buf->width, buf->height, AV_PIX_FMT_BGRA, buf->width, buf->height,
        static_cast<AVPixelFormat>(buf->format), SWS_BICUBIC, nullptr, nullptr, nullptr));
    if (!v.fromRGB) {
        FFLogger().Log(&e, llError, "Cannot initialize the fromRGB conversion context");
        v.hooksOn = false;
        return buf;
    }
    const uint8_t* src[4] = {bitmap.constBits(), nullptr, nullptr, nullptr};
    const int srcStride[4] = {static_cast<int>(bitmap.bytesPerLine()), 0, 0, 0};
    SwScaleStubs.sws_scale(v.fromRGB.get(), src, srcStride, 0, buf->height, buf->data,
                           buf->linesize);
    return buf;
}

// --- output ----------------------------------------------------------------------------

void TTranscodeRun::FilterAndOutput(TOutputStream& ost, TInputStream& ist, AVFrame* picture) {
    if (!ost.graph) {
        if (picture)
            VideoOutputStep(ost, ist, picture, ist.pts);
        return;
    }
    if (picture)
        picture->pts = ist.pts;
    int ret = AVFilterStubs.av_buffersrc_add_frame_flags(ost.bufferSrc, picture,
                                                         AV_BUFFERSRC_FLAG_KEEP_REF);
    if (ret < 0)
        throw FFmpegException(OpenErrorText("Error while filtering", ret));
    AVFrame* out = ost.filtered.get();
    const AVRational tb = AVFilterStubs.av_buffersink_get_time_base(ost.bufferSink);
    while ((ret = AVFilterStubs.av_buffersink_get_frame(ost.bufferSink, out)) >= 0) {
        struct Unref {
            AVFrame* f;
            ~Unref() { AVUtilStubs.av_frame_unref(f); }
        } unref{out};
        const int64_t pts = out->pts != AV_NOPTS_VALUE
                                ? AVUtilStubs.av_rescale_q(out->pts, tb, MicrosecondBase)
                                : ist.pts;
        VideoOutputStep(ost, ist, out, pts);
    }
    if (ret != AVERROR(EAGAIN) && ret != AVERROR_EOF)
        throw FFmpegException(OpenErrorText("Error while filtering", ret));
}

void TTranscodeRun::VideoOutputStep(TOutputStream& ost, TInputStream&, AVFrame* picture,
                                    int64_t ptsUs) {
    AVCodecContext* enc = ost.enc;
    const double tb = av_q2d(enc->time_base);
    const TInputStream& sync = ists[static_cast<size_t>(ost.syncIst)];
    const int64_t base = ost.graph ? ptsUs : sync.pts;
    const double ipts = static_cast<double>(base - e.StartTime) / 1000000.0;
    int frames = 1;
    if (e.VideoSyncMethod > 0 || (e.VideoSyncMethod < 0 && tb > 0.001)) {
        const double vdelta = ipts / tb - static_cast<double>(ost.syncOpts);
        const bool variable =
            e.VideoSyncMethod == 2 ||
            (e.VideoSyncMethod < 0 && (ost.file->ctx->oformat->flags & AVFMT_VARIABLE_FPS));
        if (vdelta < -1.1) {
            frames = 0;
        } else if (variable) {
            if (vdelta <= -0.6)
                frames = 0;
            else if (vdelta > 0.6)
                ost.syncOpts = std::llround(ipts / tb);
        } else if (vdelta > 1.1) {
            frames = static_cast<int>(std::lrint(vdelta));
        }
        if (frames == 0) {
            ++dropFrames;
            if (e.Verbose > 2)
                FFLogger().Log(&e, llVerbose, "*** drop!");
        } else if (frames > 1) {
            dupFrames += frames - 1;
            if (e.Verbose > 2)
                FFLogger().Log(&e, llVerbose, FormatText("*** %d dup!", frames - 1));
        }
    } else {
        // Time stamps of the input as they are; a picture that would not come
        // after the last one (a lower output rate) cannot be encoded: it goes.
        const int64_t wanted = std::llround(ipts / tb);
        if (ost.frameNumber > 0 && wanted < ost.syncOpts) {
            frames = 0;
            ++dropFrames;
        } else {
            ost.syncOpts = wanted;
        }
    }
    frames = static_cast<int>(std::min<int64_t>(frames, e.MaxFrames[omtVideo] - ost.frameNumber));
    if (frames <= 0)
        return;
    AVFrame* final = ShapePicture(ost, ists[static_cast<size_t>(ost.sourceIndex)], picture);
    if (!final)
        return;
    for (int i = 0; i < frames && !e.stopRequested_.load(); ++i) {
        EncodeVideoFrame(ost, final);
        OfferPreview(final, ptsUs);
        ++ost.syncOpts;
        ++ost.frameNumber;
    }
}

AVFrame* TTranscodeRun::ShapePicture(TOutputStream& ost, TInputStream& ist, AVFrame* picture) {
    AVCodecContext* enc = ost.enc;
    auto failed = [&](const char* text) -> AVFrame* {
        if (e.ExitOnError)
            throw FFmpegException(text);
        FFLogger().Log(&e, llError, text);
        return nullptr;
    };
    if (!ost.graph && (picture->width != ost.srcWidth || picture->height != ost.srcHeight ||
                       picture->format != ost.srcFormat)) {
        const char* formatName =
            AVUtilStubs.av_get_pix_fmt_name(static_cast<AVPixelFormat>(picture->format));
        FFLogger().Log(&e, llQuiet,
                       FormatText("Input Stream #%d.%d frame size changed to %dx%d, %s",
                                  ist.fileIndex, ist.index, picture->width, picture->height,
                                  formatName ? formatName : "none"));
        auto band = [](int value, int size, int setupSize) {
            return setupSize > 0
                       ? static_cast<int>(static_cast<int64_t>(value) * size / setupSize) & ~1
                       : 0;
        };
        ost.cropTop = band(ost.setupCropTop, picture->height, ost.setupHeight);
        ost.cropBottom = band(ost.setupCropBottom, picture->height, ost.setupHeight);
        ost.cropLeft = band(ost.setupCropLeft, picture->width, ost.setupWidth);
        ost.cropRight = band(ost.setupCropRight, picture->width, ost.setupWidth);
        ost.srcWidth = picture->width;
        ost.srcHeight = picture->height;
        ost.srcFormat = picture->format;
        // The encoder keeps its size: every later picture goes through the scaler.
        ost.resizeOn = true;
        if (!ost.tempPicture) {
            const int pads[4] = {ost.padTop, ost.padBottom, ost.padLeft, ost.padRight};
            ost.tempPicture =
                NewPicture(enc->width, enc->height, enc->pix_fmt, pads, ost.setup->padColor);
            if (!ost.tempPicture)
                throw FFmpegException("Cannot allocate temp picture, check pix fmt");
        }
        int64_t flags = e.SwsFlags;
        if (SwsContext* defaults = e.DefaultScalerContext())
            AVUtilStubs.av_opt_get_int(defaults, "sws_flags", 0, &flags);
        ost.scaler.reset(SwScaleStubs.sws_getContext(
            picture->width - ost.cropLeft - ost.cropRight,
            picture->height - ost.cropTop - ost.cropBottom,
            static_cast<AVPixelFormat>(picture->format), enc->width - ost.padLeft - ost.padRight,
            enc->height - ost.padTop - ost.padBottom, enc->pix_fmt, static_cast<int>(flags),
            nullptr, nullptr, nullptr));
        if (!ost.scaler)
            throw FFmpegException("Cannot get resampling context");
        ost.cropOn = ost.cropTop || ost.cropBottom || ost.cropLeft || ost.cropRight;
    }
    AVFrame* pic = picture;
    if (!ost.graph && ost.cropOn) {
        AVFrame* view = ost.cropped.get();
        AVUtilStubs.av_frame_unref(view);
        if (AVUtilStubs.av_frame_ref(view, picture) < 0)
            throw FFmpegException("av_malloc failed");
        view->crop_top = static_cast<size_t>(ost.cropTop);
        view->crop_bottom = static_cast<size_t>(ost.cropBottom);
        view->crop_left = static_cast<size_t>(ost.cropLeft);
        view->crop_right = static_cast<size_t>(ost.cropRight);
        if (AVUtilStubs.av_frame_apply_cropping(view, AV_FRAME_CROP_UNALIGNED) < 0)
            return failed("error cropping picture");
        pic = view;
    }
    if (!ost.tempPicture)
        return pic;
    AVFrame* temp = ost.tempPicture.get();
    if (AVUtilStubs.av_frame_make_writable(temp) < 0)
        throw FFmpegException("av_malloc failed");
    const int innerW = enc->width - ost.padLeft - ost.padRight;
    const int innerH = enc->height - ost.padTop - ost.padBottom;
    const AVPixFmtDescriptor* desc = AVUtilStubs.av_pix_fmt_desc_get(enc->pix_fmt);
    uint8_t* inner[4];
    OffsetPlanes(desc, temp->data, temp->linesize, ost.padLeft, ost.padTop, inner);
    if (ost.resizeOn && !ost.graph) {
        SwScaleStubs.sws_scale(ost.scaler.get(), pic->data, pic->linesize, 0, pic->height, inner,
                               temp->linesize);
    } else {
        if (pic->width != innerW || pic->height != innerH || pic->format != enc->pix_fmt)
            return failed("error padding picture");
        AVUtilStubs.av_image_copy(inner, temp->linesize, const_cast<const uint8_t**>(pic->data),
                                  pic->linesize, enc->pix_fmt, innerW, innerH);
    }
    temp->interlaced_frame = pic->interlaced_frame;
    temp->top_field_first = pic->top_field_first;
    temp->quality = pic->quality;
    temp->sample_aspect_ratio = enc->sample_aspect_ratio;
    return temp;
}

void TTranscodeRun::EncodeVideoFrame(TOutputStream& ost, AVFrame* picture) {
    AVCodecContext* enc = ost.enc;
    AVFrame* frame = nullptr;
    if (picture) {
        frame = ost.frame.get();
        AVUtilStubs.av_frame_unref(frame);
        if (AVUtilStubs.av_frame_ref(frame, picture) < 0)
            throw FFmpegException("av_malloc failed");
        frame->pts = ost.syncOpts;
        frame->pict_type = AV_PICTURE_TYPE_NONE;
        frame->sample_aspect_ratio = enc->sample_aspect_ratio;
        if ((enc->flags & (AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME)) &&
            e.TopFieldFirst != -1)
            frame->top_field_first = e.TopFieldFirst;
        frame->quality = e.SameQuality ? picture->quality : enc->global_quality;
    }
    AVPacket* packet = encPkt.get();
    auto receive = [&] {
        int count = 0;
        for (;;) {
            const int ret = AVCodecStubs.avcodec_receive_packet(enc, packet);
            if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF)
                return count;
            if (ret < 0)
                throw FFmpegException("Video encoding failed");
            ++count;
            videoSize += packet->size;
            size_t sideSize = 0;
            if (const uint8_t* stats = AVCodecStubs.av_packet_get_side_data(
                    packet, AV_PKT_DATA_QUALITY_STATS, &sideSize);
                stats && sideSize >= 6) {
                std::memcpy(&ost.quality, stats, sizeof(int32_t));
                ost.pictType = stats[4];
                const int errors = stats[5];
                for (int i = 0;
                     i < 3 && i < errors && sideSize >= 8 + 8 * static_cast<size_t>(i + 1); ++i) {
                    uint64_t value = 0;
                    std::memcpy(&value, stats + 8 + 8 * i, sizeof value);
                    ost.psnrError[i] = value;
                    ost.psnrTotal[i] += value;
                }
                ++ost.psnrFrames;
            }
            if (ost.passLog && enc->stats_out)
                std::fputs(enc->stats_out, ost.passLog.get());
            WriteVideoStats(ost, packet->size);
            WritePacket(ost, packet);
            AVCodecStubs.av_packet_unref(packet);
        }
    };
    int emptyDrains = 0;
    for (;;) {
        int ret = AVCodecStubs.avcodec_send_frame(enc, frame);
        if (ret == AVERROR_EOF && !frame)
            ret = 0;
        if (ret != AVERROR(EAGAIN)) {
            if (frame)
                AVUtilStubs.av_frame_unref(frame);
            if (ret < 0)
                throw FFmpegException("Video encoding failed");
            receive();
            break;
        }
        emptyDrains = receive() == 0 ? emptyDrains + 1 : 0;
        if (emptyDrains > 1)
            throw FFmpegException("Video encoding failed");
    }
    // The last statistics of a first pass come with the end of the stream.
    if (!picture && ost.passLog && enc->stats_out)
        std::fputs(enc->stats_out, ost.passLog.get());
}

void TTranscodeRun::FlushVideo(TOutputStream& ost) {
    if (ost.graph) {
        const int ret = AVFilterStubs.av_buffersrc_add_frame_flags(ost.bufferSrc, nullptr, 0);
        if (ret >= 0)
            FilterAndOutput(ost, ists[static_cast<size_t>(ost.sourceIndex)], nullptr);
    }
    EncodeVideoFrame(ost, nullptr);
}

void TTranscodeRun::WriteVideoStats(TOutputStream& ost, int frameSize) {
    if (e.VStatsFilename.empty())
        return;
    TVideoRunState& v = *video;
    if (!v.vstats) {
        v.vstats.reset(std::fopen(e.VStatsFilename.c_str(), "w"));
        if (!v.vstats)
            throw FFmpegException("fopen fail: " + e.VStatsFilename);
    }
    FILE* out = v.vstats.get();
    AVCodecContext* enc = ost.enc;
    std::fprintf(out, "frame= %5d q= %2.1f ", static_cast<int>(ost.frameNumber),
                 static_cast<double>(ost.quality) / FF_QP2LAMBDA);
    if (enc->flags & AV_CODEC_FLAG_PSNR)
        std::fprintf(out, "PSNR= %6.2f ",
                     Psnr(static_cast<double>(ost.psnrError[0]) /
                          (static_cast<double>(enc->width) * enc->height * 255.0 * 255.0)));
    std::fprintf(out, "f_size= %6d ", frameSize);
    double ti1 = static_cast<double>(ost.syncOpts) * av_q2d(enc->time_base);
    if (ti1 < 0.01)
        ti1 = 0.01;
    const double bitrate = frameSize * 8 / av_q2d(enc->time_base) / 1000.0;
    const double avgBitrate = static_cast<double>(videoSize) * 8 / ti1 / 1000.0;
    std::fprintf(out, "s_size= %8.0fkB time= %0.3f br= %7.1fkbits/s avg_br= %7.1fkbits/s ",
                 static_cast<double>(videoSize) / 1024, ti1, bitrate, avgBitrate);
    std::fprintf(out, "type= %c\n", PictureTypeChar(ost.pictType));
}

void TTranscodeRun::OfferPreview(AVFrame* picture, int64_t ptsUs) {
    TVideoRunState& v = *video;
    const int flags = v.displayFlags;
    const bool bitmapWanted = (flags & DisplayFlagPreviewBitmap) && v.previewBitmap;
    if (!bitmapWanted && !(flags & DisplayFlagPreview))
        return;
    const int64_t now = AVUtilStubs.av_gettime_relative();
    if (v.lastPreview != INT64_MIN && now - v.lastPreview < PreviewInterval)
        return;
    v.lastPreview = now;
    if (!PictureToBitmap(v.previewState, picture->data, picture->linesize, picture->format,
                         picture->height, picture->width)) {
        FFLogger().Log(&e, llError, "Cannot initialize the toRGB conversion context");
        v.displayFlags &= bitmapWanted ? ~DisplayFlagPreviewBitmap : ~DisplayFlagPreview;
        return;
    }
    const int frameNumber = static_cast<int>(v.decodedFrames);
    if (bitmapWanted) {
        v.previewBitmap(&e, v.previewState.Bitmap, frameNumber, ptsUs);
        return;
    }
    if (!v.previewer) {
        v.previewer = CreatePreviewer();
        if (!v.previewer) {
            v.displayFlags &= ~DisplayFlagPreview;
            return;
        }
    }
    if (!v.previewer->ShowFrame(v.previewState.Bitmap, frameNumber, ptsUs))
        v.displayFlags &= ~DisplayFlagPreview; // closed for good
}
