// Input and output file setup of the transcoding engine: OpenInput, AddOutput,
// the audio and subtitle stream creation, ResetEngine and CloseFiles.
#include "FFmpegPrivate.h"

#include "FFUtils.h"
#include "FFmpegLoader.h"
#include "FFmpegLogger.h"
#include "UnicodeProtocol.h"

#include <QCoreApplication>
#include <QThread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdarg>
#include <cstring>

std::string FormatText(const char* format, ...) {
    char buffer[4096];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return buffer;
}

void SetDictEntry(AVDictionary** dict, const char* key, const char* value) {
    if (AVUtilStubs.av_dict_set(dict, key, value, 0) < 0)
        throw FFmpegException(FormatText("Could not set \"%s\" to \"%s\"", key, value));
}

void CopyDict(AVDictionary** target, const AVDictionary* source) {
    if (AVUtilStubs.av_dict_copy(target, source, 0) < 0)
        throw FFmpegException("Could not copy metadata");
}

const AVCodec* FindCodecByName(const std::string& name, AVMediaType type, bool encoder) {
    if (name.empty())
        return nullptr;
    const char* kind = encoder ? "encoder" : "decoder";
    const AVCodec* codec = encoder ? AVCodecStubs.avcodec_find_encoder_by_name(name.c_str())
                                   : AVCodecStubs.avcodec_find_decoder_by_name(name.c_str());
    if (!codec)
        throw FFmpegException(FormatText("Unknown %s '%s'", kind, name.c_str()));
    if (codec->type != type)
        throw FFmpegException(FormatText("Invalid %s type '%s'", kind, name.c_str()));
    return codec;
}

namespace {

// True when both names lead to the same existing file (links included).
bool SameFile(const std::string& a, const std::string& b) {
    struct stat sa {
    }, sb{};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

// Whether an output file can be written, without touching it: a device or
// FIFO must be writable (opening a FIFO would wait for its reader); anything
// else must allow its temporary file, which is made and removed again.
// readOnly: it failed because the file itself may not be written.
bool OutputWritable(const std::string& path, bool& readOnly) {
    readOnly = false;
    struct stat st {};
    const std::string target = safeio::ResolveLinks(path);
    if (::stat(target.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
        if (::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) == 0)
            return true;
        readOnly = errno == EACCES;
        return false;
    }
    safeio::TSafeOutput probe;
    if (probe.Open(path))
        return true;
    readOnly = probe.ReadOnly();
    return false;
}

} // namespace

std::string DisplayName(const QString& name) {
    return FileNameBytes(name).toStdString();
}

std::string OutputRefusedText(const QString& name, bool readOnly) {
    const std::string display = DisplayName(name);
    return readOnly ? display + " is read-only"
                    : FormatText("Could not open '%s'", display.c_str());
}

int OpenOutputFile(TOutputFileSetup& out, bool* readOnly) {
    if (readOnly)
        *readOnly = false;
    if (out.filePath.empty() || out.safe)
        return 0;
    auto safe = std::make_unique<safeio::TSafeOutput>();
    if (!safe->Open(out.filePath)) {
        const int error = errno;
        if (readOnly)
            *readOnly = safe->ReadOnly();
        return AVERROR(error);
    }
    const int ret = OpenDescriptorIO(safe->Fd(), &out.ctx->pb);
    if (ret < 0)
        return ret;
    out.ownIO = true;
    out.safe = std::move(safe);
    return 0;
}

namespace {

void LogText(const void* sender, TLogLevel level, const std::string& text) {
    FFLogger().Log(sender, level, text);
}

// Closes an output's destination; returns 0 or the library's error.
int CloseOutputIO(TOutputFileSetup& out) {
    if (!out.ctx || !out.ctx->pb || (out.ctx->oformat->flags & AVFMT_NOFILE))
        return 0;
    if (out.ownIO)
        return CloseUnicodeIO(&out.ctx->pb);
    return AVFormatStubs.avio_closep(&out.ctx->pb);
}

void CloseInput(TInputFileSetup& in) {
    if (in.ctx)
        AVFormatStubs.avformat_close_input(&in.ctx);
    if (in.unicodePb)
        CloseUnicodeIO(&in.unicodePb);
}

} // namespace

// --- TSampleBuffer ----------------------------------------------------------

TSampleBuffer::~TSampleBuffer() {
    Free();
}

void TSampleBuffer::Free() {
    if (!planes_.empty() && planes_[0])
        AVUtilStubs.av_freep(static_cast<void*>(&planes_[0]));
    planes_.clear();
    capacity_ = 0;
}

bool TSampleBuffer::Ensure(AVSampleFormat format, int channels, int samples) {
    if (format == format_ && channels == channels_ && samples <= capacity_)
        return true;
    Free();
    format_ = format;
    channels_ = channels;
    planes_.assign(static_cast<size_t>(std::max(channels, 1)), nullptr);
    int lineSize = 0;
    // Some headroom so that slightly larger blocks do not reallocate again.
    const int want = std::max(samples, 1) + std::max(samples, 1) / 4;
    if (AVUtilStubs.av_samples_alloc(planes_.data(), &lineSize, channels, want, format, 0) < 0) {
        planes_.clear();
        return false;
    }
    capacity_ = want;
    return true;
}

// --- life cycle -----------------------------------------------------------------

TCustomFFmpeg::TCustomFFmpeg() : files_(std::make_unique<TEngineFiles>()) {}

TCustomFFmpeg::~TCustomFFmpeg() {
    if (thread_.load())
        StopConvert(true);
    JoinWorker();
    CloseFiles();
}

void TCustomFFmpeg::JoinWorker() {
    if (!ownedThread_)
        return;
    // The worker may still be calling OnTerminate, which may log through the
    // main thread: WaitServingEvents keeps serving its events until the body is
    // done, then the thread is joined.
    if (ownedThread_->Started())
        WaitServingEvents([this] { return !bodyActive_.load(); });
    ownedThread_.reset();
}

void TCustomFFmpeg::ResetEngine() {
    if (!running_.load())
        JoinWorker(); // the last run's worker
    CloseFiles();
    ResetOptions();
    joined_ = false;
    stopRequested_ = false;
    finished_ = false;
    error_ = false;
    terminated_ = false;
    {
        std::lock_guard lock(errorLock_);
        errorMessage_.clear();
    }
    ExpectedTotalDuration = -1;
    CreateOptionStore();
}

int TCustomFFmpeg::CloseFiles(std::string* failedName) {
    FreeOptionStore();
    FreeFrameHooks();
    int firstError = 0;
    std::vector<TOutputFileSetup*> done;
    for (auto& slot : files_->outputs) {
        TOutputFileSetup* out = slot.get();
        if (!out || std::find(done.begin(), done.end(), out) != done.end())
            continue; // joined slots share one context
        done.push_back(out);
        int rc = CloseOutputIO(*out);
        if (out->safe) {
            // Only a whole file replaces the old one: the run finished, the
            // trailer and the last bytes were written, and there is something.
            struct stat st {};
            const bool empty =
                !out->safe->Direct() && ::fstat(out->safe->Fd(), &st) == 0 && st.st_size == 0;
            std::string hookError;
            if (rc == 0 && out->complete && finished_.load() && !empty) {
                if (OnOutputComplete && !out->safe->Direct() &&
                    !OnOutputComplete(this, out->safe->WritePath(), hookError)) {
                    out->safe->Abandon();
                    const std::string text = DisplayName(out->path) + ": " + hookError;
                    FFLogger().Log(this, llError, text);
                    {
                        std::lock_guard lock(errorLock_);
                        if (errorMessage_.empty())
                            errorMessage_ = text;
                    }
                    error_ = true;
                    finished_ = false;
                } else if (!out->safe->Commit()) {
                    rc = AVERROR(errno);
                }
            } else {
                out->safe->Abandon();
            }
            out->safe.reset();
        }
        if (rc < 0 && firstError == 0) {
            firstError = rc;
            if (failedName)
                *failedName = DisplayName(out->path);
        }
        for (auto& st : out->streams)
            st.enc.reset();
        if (out->ctx)
            AVFormatStubs.avformat_free_context(out->ctx); // streams, metadata, chapters
        out->ctx = nullptr;
    }
    files_->outputs.clear();
    for (auto& in : files_->inputs)
        CloseInput(in);
    files_->inputs.clear();
    files_->forcedDecoders.clear();
    StreamMaps.clear();
    VStatsFilename.clear();
    VideoCodecName.clear();
    AudioCodecName.clear();
    SubtitleCodecName.clear();
    VideoStandard.clear();
    return firstError;
}

int TCustomFFmpeg::InputCount() const {
    return static_cast<int>(files_->inputs.size());
}
AVFormatContext* TCustomFFmpeg::InputContext(int index) const {
    if (!files_ || index < 0 || index >= static_cast<int>(files_->inputs.size()))
        return nullptr;
    return files_->inputs[static_cast<size_t>(index)].ctx;
}
int TCustomFFmpeg::OutputCount() const {
    return static_cast<int>(files_->outputs.size());
}
int TCustomFFmpeg::OpenedInputCount() const {
    return InputCount();
}

std::vector<TFrameRate> TCustomFFmpeg::InputVideoTimeBases() const {
    std::vector<TFrameRate> result;
    for (const auto& in : files_->inputs)
        for (unsigned i = 0; in.ctx && i < in.ctx->nb_streams; ++i) {
            const AVStream* st = in.ctx->streams[i];
            if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && st->r_frame_rate.num > 0)
                result.push_back({st->r_frame_rate.den, st->r_frame_rate.num});
        }
    return result;
}

void TCustomFFmpeg::ClearFileNames() {
    ForcedInputFormat = nullptr;
    ForcedOutputFormat = nullptr;
    VideoChannel = 0;
    VideoCodecName.clear();
    AudioCodecName.clear();
    SubtitleCodecName.clear();
}

// --- inputs -----------------------------------------------------------------------

bool TCustomFFmpeg::OpenInput(const QString& FileName) {
    const std::string display = DisplayName(FileName);
    if (InputCount() >= MAX_FILES) {
        SetLastError(
            FormatText("%s: too many input files (at most %d)", display.c_str(), MAX_FILES));
        ClearFileNames();
        return false;
    }
    const std::string name = FileNameForLib(FileName);
    TInputFileSetup in;
    in.ctx = AVFormatStubs.avformat_alloc_context();
    if (!in.ctx)
        throw FFmpegException("avformat_alloc_context failed");

    AVDictionary* params = nullptr;
    struct Cleanup {
        TCustomFFmpeg* self;
        TInputFileSetup* in;
        AVDictionary** params;
        bool armed = true;
        ~Cleanup() {
            AVUtilStubs.av_dict_free(params);
            if (armed) {
                // Closes what avformat_open_input opened (demuxer, its own I/O)
                // as well as a context that was never opened.
                if (in->ctx)
                    AVFormatStubs.avformat_close_input(&in->ctx);
                in->ctx = nullptr;
                if (in->unicodePb)
                    CloseUnicodeIO(&in->unicodePb);
                self->ClearFileNames();
            }
        }
    } cleanup{this, &in, &params};
    auto fail = [&](const std::string& text) {
        SetLastError(text);
        return false;
    };

    // Format parameters: what a raw or capture demuxer needs to know.
    const AVCodec* videoDecoder = nullptr;
    const AVCodec* audioDecoder = nullptr;
    const AVCodec* subtitleDecoder = nullptr;
    try {
        SetDictEntry(&params, "sample_rate", std::to_string(AudioSampleRate).c_str());
        SetDictEntry(&params, "channels", std::to_string(AudioChannels).c_str());
        if (FrameRate.num > 0 && FrameRate.den > 0)
            SetDictEntry(&params, "framerate",
                         FormatText("%d/%d", FrameRate.num, FrameRate.den).c_str());
        const int width = FrameWidth + PadLeft + PadRight;
        const int height = FrameHeight + PadTop + PadBottom;
        if (width > 0 && height > 0)
            SetDictEntry(&params, "video_size", FormatText("%dx%d", width, height).c_str());
        if (FramePixFmt >= 0)
            if (const char* pixName =
                    AVUtilStubs.av_get_pix_fmt_name(static_cast<AVPixelFormat>(FramePixFmt)))
                SetDictEntry(&params, "pixel_format", pixName);
        if (VideoChannel != 0)
            SetDictEntry(&params, "channel", std::to_string(VideoChannel).c_str());
        if (!VideoStandard.empty())
            SetDictEntry(&params, "standard", VideoStandard.c_str());

        videoDecoder = FindCodecByName(VideoCodecName, AVMEDIA_TYPE_VIDEO, false);
        audioDecoder = FindCodecByName(AudioCodecName, AVMEDIA_TYPE_AUDIO, false);
        subtitleDecoder = FindCodecByName(SubtitleCodecName, AVMEDIA_TYPE_SUBTITLE, false);
    } catch (const FFmpegException& e) {
        return fail(e.Message());
    }

    ApplyGenericOptions(in.ctx, OPT_FLAG_DECODING);
    in.ctx->video_codec_id =
        PgmyuvRequested ? AV_CODEC_ID_PGMYUV : (videoDecoder ? videoDecoder->id : AV_CODEC_ID_NONE);
    in.ctx->audio_codec_id = audioDecoder ? audioDecoder->id : AV_CODEC_ID_NONE;
    in.ctx->subtitle_codec_id = subtitleDecoder ? subtitleDecoder->id : AV_CODEC_ID_NONE;
    in.ctx->flags |= AVFMT_FLAG_NONBLOCK;

    int ret = OpenInputFile(&in.ctx, &in.unicodePb, name, ForcedInputFormat, &params);
    if (ret != 0)
        return fail(OpenErrorText(display, ret));

    if (OptProgramID != 0)
        for (unsigned i = 0; i < in.ctx->nb_programs; ++i)
            if (in.ctx->programs[i]->id != OptProgramID)
                in.ctx->programs[i]->discard = AVDISCARD_ALL;

    {
        std::lock_guard lock(LibraryLock);
        ret = AVFormatStubs.avformat_find_stream_info(in.ctx, nullptr);
    }
    if (ret < 0 && Verbose >= 0) {
        const std::string text = FormatText("%s: could not find codec parameters", display.c_str());
        LogText(this, llVerbose, text);
        return fail(text);
    }

    int64_t timestamp = StartTime;
    if (in.ctx->start_time != AV_NOPTS_VALUE)
        timestamp += in.ctx->start_time;
    if (StartTime != 0) {
        if (AVFormatStubs.av_seek_frame(in.ctx, -1, timestamp, AVSEEK_FLAG_BACKWARD) < 0)
            LogText(this, llWarning,
                    FormatText("%s: could not seek to position %0.3f", display.c_str(),
                               static_cast<double>(timestamp) / AV_TIME_BASE));
        StartTime = 0;
    }

    for (unsigned i = 0; i < in.ctx->nb_streams; ++i) {
        AVStream* st = in.ctx->streams[i];
        AVCodecParameters* par = st->codecpar;
        switch (par->codec_type) {
        case AVMEDIA_TYPE_VIDEO: {
            FrameWidth = par->width;
            FrameHeight = par->height;
            double aspect = st->sample_aspect_ratio.num ? av_q2d(st->sample_aspect_ratio)
                                                        : av_q2d(par->sample_aspect_ratio);
            if (FrameWidth * FrameHeight != 0)
                aspect = (aspect != 0 ? aspect : 1.0) * FrameWidth / FrameHeight;
            else if (aspect == 0)
                aspect = 4.0 / 3.0;
            FrameAspectRatio = aspect;
            FramePixFmt = par->format < 0 ? 0 : par->format;
            const AVRational rate = st->r_frame_rate;
            const AVRational avg = st->avg_frame_rate;
            if (avg.num > 0 && (avg.num != rate.num || avg.den != rate.den) && Verbose >= 0)
                LogText(this, llInfo,
                        FormatText("Seems stream %d codec frame rate differs from container frame "
                                   "rate: %2.2f (%d/%d) -> %2.2f (%d/%d)",
                                   static_cast<int>(i), av_q2d(avg), avg.num, avg.den, av_q2d(rate),
                                   rate.num, rate.den));
            FrameRate = {rate.num, rate.den};
            files_->forcedDecoders.push_back(videoDecoder);
            if (VideoDisable)
                st->discard = AVDISCARD_ALL;
            else if (VideoDiscard)
                st->discard = static_cast<AVDiscard>(VideoDiscard);
            break;
        }
        case AVMEDIA_TYPE_AUDIO:
            ChannelLayout = par->ch_layout.order == AV_CHANNEL_ORDER_NATIVE
                                ? static_cast<int64_t>(par->ch_layout.u.mask)
                                : 0;
            AudioChannels = par->ch_layout.nb_channels;
            AudioSampleRate = par->sample_rate;
            AudioSampleFmt = par->format;
            files_->forcedDecoders.push_back(audioDecoder);
            if (AudioDisable)
                st->discard = AVDISCARD_ALL;
            break;
        case AVMEDIA_TYPE_SUBTITLE:
            files_->forcedDecoders.push_back(subtitleDecoder);
            if (SubtitleDisable)
                st->discard = AVDISCARD_ALL;
            break;
        case AVMEDIA_TYPE_DATA:
        case AVMEDIA_TYPE_ATTACHMENT:
        case AVMEDIA_TYPE_UNKNOWN:
            files_->forcedDecoders.push_back(nullptr);
            break;
        default:
            files_->forcedDecoders.resize(files_->forcedDecoders.size() - i);
            return fail("invalid codec_type");
        }
    }

    if (in.ctx->duration != AV_NOPTS_VALUE && in.ctx->duration > 0) {
        const int64_t ms = in.ctx->duration / 1000;
        if (ExpectedTotalDuration < ms)
            ExpectedTotalDuration = ms;
    }

    const int index = InputCount();
    in.tsOffset = CopyTs ? InputTsOffset : InputTsOffset - timestamp;
    for (int s = 0; s < MAX_STREAMS; ++s)
        in.tsScale[static_cast<size_t>(s)] = InputTsScale[index][s];
    if (Verbose >= 0)
        AVFormatStubs.av_dump_format(in.ctx, index, name.c_str(), 0);

    files_->inputs.push_back(in);
    cleanup.armed = false;
    ClearFileNames();
    return true;
}

// --- outputs ----------------------------------------------------------------------

namespace {

bool UsesResizingFilter(const std::string& filters) {
    std::string lower = filters;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    size_t start = 0;
    while (start <= lower.size()) {
        size_t end = lower.find(',', start);
        if (end == std::string::npos)
            end = lower.size();
        std::string part = lower.substr(start, end - start);
        part = part.substr(0, part.find('='));
        if (std::string(",crop,rotate,scale,transpose,").find("," + part + ",") !=
            std::string::npos)
            return true;
        start = end + 1;
    }
    return false;
}

} // namespace

void TCustomFFmpeg::NewAudioStream(TOutputFileSetup& out) {
    AVFormatContext* oc = out.ctx;
    AVStream* st = AVFormatStubs.avformat_new_stream(oc, nullptr);
    if (!st) {
        AudioCodecName.clear();
        AudioLanguage.clear();
        throw FFmpegException("Could not alloc stream");
    }
    TOutputStreamSetup setup;
    setup.st = st;
    setup.type = AVMEDIA_TYPE_AUDIO;
    setup.bsfs = std::move(AudioBitstreamFilters);
    AudioBitstreamFilters.clear();
    st->codecpar->codec_type = AVMEDIA_TYPE_AUDIO;
    const bool globalHeader = (oc->oformat->flags & AVFMT_GLOBALHEADER) != 0;
    if (globalHeader)
        if (AVCodecContext* defaults = DefaultCodecContext(omtAudio))
            defaults->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;

    if (AudioStreamCopy) {
        if (!AudioFilters.empty()) {
            AudioCodecName.clear();
            AudioLanguage.clear();
            throw FFmpegException(
                "-acodec copy and -afilters are incompatible (frames are not decoded)");
        }
        setup.copy = true;
        st->codecpar->ch_layout.nb_channels = AudioChannels;
    } else {
        const AVCodec* codec = FindCodecByName(AudioCodecName, AVMEDIA_TYPE_AUDIO, true);
        AVCodecID id = codec ? codec->id : AV_CODEC_ID_NONE;
        if (!codec) {
            id = AVFormatStubs.av_guess_codec(oc->oformat, nullptr, out.name.c_str(), nullptr,
                                              AVMEDIA_TYPE_AUDIO);
            codec = AVCodecStubs.avcodec_find_encoder(id);
        } else {
            setup.forcedEncoder = codec;
        }
        setup.enc.reset(AVCodecStubs.avcodec_alloc_context3(codec));
        if (!setup.enc)
            throw FFmpegException("avcodec_alloc_context3 failed");
        AVCodecContext* enc = setup.enc.get();
        ApplyGenericOptions(enc, OPT_FLAG_AUDIO | OPT_FLAG_ENCODING);
        enc->codec_type = AVMEDIA_TYPE_AUDIO;
        enc->codec_id = id;
        if (AudioCodecTag)
            enc->codec_tag = AudioCodecTag;
        if (globalHeader)
            enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        if (AudioQScale > -99999) {
            enc->flags |= AV_CODEC_FLAG_QSCALE;
            enc->global_quality = static_cast<int>(FF_QP2LAMBDA * AudioQScale);
        }
        AVUtilStubs.av_channel_layout_uninit(&enc->ch_layout);
        if (ChannelLayout != 0 &&
            std::popcount(static_cast<uint64_t>(ChannelLayout)) == AudioChannels)
            AVUtilStubs.av_channel_layout_from_mask(&enc->ch_layout,
                                                    static_cast<uint64_t>(ChannelLayout));
        else
            AVUtilStubs.av_channel_layout_default(&enc->ch_layout, AudioChannels);
        enc->sample_fmt = static_cast<AVSampleFormat>(AudioSampleFmt);
        if (codec && codec->sample_fmts) {
            bool listed = false;
            for (const AVSampleFormat* p = codec->sample_fmts; *p != AV_SAMPLE_FMT_NONE; ++p)
                listed = listed || *p == enc->sample_fmt;
            if (!listed)
                enc->sample_fmt = codec->sample_fmts[0];
        }
        if (enc->sample_fmt == AV_SAMPLE_FMT_NONE)
            enc->sample_fmt = AV_SAMPLE_FMT_S16;
        enc->sample_rate = AudioSampleRate;
        enc->time_base = AVRational{1, AudioSampleRate};
        setup.filters = AudioFilters;
    }
    if (!AudioLanguage.empty()) {
        SetDictEntry(&st->metadata, "language", AudioLanguage.c_str());
        AudioLanguage.clear();
    }
    AudioDisable = false;
    AudioCodecName.clear();
    AudioStreamCopy = false;
    out.streams.push_back(std::move(setup));
}

// NewVideoStream: FFmpegVideo.cpp; NewSubtitleStream: FFmpegSubtitle.cpp.

void TCustomFFmpeg::NewStreamOnLastOutput(int type) {
    if (files_->outputs.empty())
        throw FFmpegException("At least one output file must be specified");
    TOutputFileSetup& out = *files_->outputs.back();
    if (type == omtAudio)
        NewAudioStream(out);
    else if (type == omtSubtitle)
        NewSubtitleStream(out);
    else
        NewVideoStream(out);
}

int TCustomFFmpeg::AddOutput(const QString& FileName, bool Join) {
    const std::string display = DisplayName(FileName);
    auto fail = [&](const std::string& text) {
        SetLastError(text);
        return -1;
    };
    if (joined_)
        return fail("Cannot join more than one output file.");
    if (!VideoFilters.empty() && (CropTop || CropBottom || CropLeft || CropRight))
        return fail("Cannot enable crop options and filters at the same time.");
    if ((PadTop || PadBottom || PadLeft || PadRight) && UsesResizingFilter(VideoFilters))
        return fail("Cannot enable pad options and the filters which resize frame at the same "
                    "time. (crop, rotate, scale, transpose, etc.)");
    if (OutputCount() >= MAX_FILES)
        return fail(
            FormatText("%s: too many output files (at most %d)", display.c_str(), MAX_FILES));

    // Opening the output truncates it: an output that is one of the inputs would
    // be destroyed while it is read.
    const std::string name = FileNameForLib(FileName);
    std::string filePath;
    const bool isFile = LocalFilePath(name, filePath);
    for (const TInputFileSetup& input : files_->inputs) {
        std::string inputPath;
        if (isFile && input.ctx && input.ctx->url && LocalFilePath(input.ctx->url, inputPath) &&
            SameFile(filePath, inputPath))
            return fail(FormatText("%s: the output file is also an input file", display.c_str()));
    }

    const AVOutputFormat* format = ForcedOutputFormat;
    if (!format)
        format = AVFormatStubs.av_guess_format(nullptr, name.c_str(), nullptr);
    if (!format)
        return fail(
            FormatText("Unable to find a suitable output format for '%s'", display.c_str()));

    auto out = std::make_shared<TOutputFileSetup>();
    if (AVFormatStubs.avformat_alloc_output_context2(&out->ctx, format, nullptr, name.c_str()) <
            0 ||
        !out->ctx)
        throw FFmpegException("avformat_alloc_context failed");
    out->name = name;
    out->path = FileName;
    // Anything that fails from here on leaves nothing registered.
    struct Cleanup {
        TCustomFFmpeg* self;
        std::shared_ptr<TOutputFileSetup> out;
        bool armed = true;
        ~Cleanup() {
            if (!armed)
                return;
            auto& outputs = self->files_->outputs;
            outputs.erase(std::remove(outputs.begin(), outputs.end(), out), outputs.end());
            CloseOutputIO(*out);
            for (auto& st : out->streams)
                st.enc.reset();
            AVFormatStubs.avformat_free_context(out->ctx);
            out->ctx = nullptr;
            self->ForcedOutputFormat = nullptr;
            self->ForcedInputFormat = nullptr;
        }
    } cleanup{this, out};

    bool useVideo =
        VideoStreamCopy || format->video_codec != AV_CODEC_ID_NONE || !VideoCodecName.empty();
    bool useAudio =
        AudioStreamCopy || format->audio_codec != AV_CODEC_ID_NONE || !AudioCodecName.empty();
    bool useSubtitle = SubtitleStreamCopy || format->subtitle_codec != AV_CODEC_ID_NONE ||
                       !SubtitleCodecName.empty();
    if (!files_->inputs.empty()) {
        bool hasVideo = false, hasAudio = false, hasSubtitle = false;
        const size_t scan = Join ? 1 : files_->inputs.size();
        for (size_t j = 0; j < scan; ++j) {
            const AVFormatContext* ic = files_->inputs[j].ctx;
            for (unsigned i = 0; i < ic->nb_streams; ++i) {
                switch (ic->streams[i]->codecpar->codec_type) {
                case AVMEDIA_TYPE_VIDEO:
                    hasVideo = true;
                    break;
                case AVMEDIA_TYPE_AUDIO:
                    hasAudio = true;
                    break;
                case AVMEDIA_TYPE_SUBTITLE:
                    hasSubtitle = true;
                    break;
                case AVMEDIA_TYPE_DATA:
                case AVMEDIA_TYPE_ATTACHMENT:
                case AVMEDIA_TYPE_UNKNOWN:
                    break;
                default:
                    return fail(
                        "check_audio_video_sub_inputs fail: invalid codec_type of input file");
                }
            }
        }
        useVideo = useVideo && hasVideo;
        useAudio = useAudio && hasAudio;
        useSubtitle = useSubtitle && hasSubtitle;
    }
    useVideo = useVideo && !VideoDisable;
    useAudio = useAudio && !AudioDisable;
    useSubtitle = useSubtitle && !SubtitleDisable;

    files_->outputs.push_back(out); // registered now; the guard removes it on failure
    if (useVideo) {
        try {
            NewVideoStream(*out);
        } catch (const FFmpegException& e) {
            return fail("new_video_stream fail: " + e.Message());
        }
    }
    if (useAudio) {
        try {
            NewAudioStream(*out);
        } catch (const FFmpegException& e) {
            return fail("new_audio_stream fail: " + e.Message());
        }
    }
    if (useSubtitle) {
        try {
            NewSubtitleStream(*out);
        } catch (const FFmpegException& e) {
            return fail("new_subtitle_stream fail: " + e.Message());
        }
    }

    AVFormatContext* oc = out->ctx;
    try {
        if (RecordingTimestamp != 0) {
            const time_t when = static_cast<time_t>(RecordingTimestamp);
            struct tm utc {};
            gmtime_r(&when, &utc);
            char text[32];
            std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S.000000Z", &utc);
            SetDictEntry(&oc->metadata, "creation_time", text);
        }
        // Last pair first: of two pairs with one key, the first given wins.
        for (auto it = MetaDataPairs.rbegin(); it != MetaDataPairs.rend(); ++it)
            SetDictEntry(&oc->metadata, it->Key.c_str(), it->Value.c_str());
    } catch (const FFmpegException& e) {
        return fail(e.Message());
    }
    MetaDataPairs.clear();

    if ((format->flags & AVFMT_NEEDNUMBER) && !AVFormatStubs.av_filename_number_test(name.c_str()))
        return fail(OpenErrorText(display, -33));

    if (!(format->flags & AVFMT_NOFILE)) {
        // A file is opened when the run writes to it (OpenOutputFile); here it
        // is only checked, so that a run that never starts leaves it alone.
        if (isFile) {
            bool readOnly = false;
            if (!OutputWritable(filePath, readOnly))
                return fail(OutputRefusedText(FileName, readOnly));
            out->filePath = filePath;
        } else if (AVFormatStubs.avio_open(&oc->pb, name.c_str(), AVIO_FLAG_WRITE) < 0) {
            oc->pb = nullptr;
            return fail(FormatText("Could not open '%s'", display.c_str()));
        }
    }

    oc->max_delay = static_cast<int>(MuxMaxDelay * 1000000);
    // The initial demux-decode delay, for the muxers that have one.
    const int preloadResult = AVUtilStubs.av_opt_set_int(
        oc, "preload", static_cast<int64_t>(MuxPreload * 1000000), AV_OPT_SEARCH_CHILDREN);
    if (preloadResult < 0 && preloadResult != AVERROR_OPTION_NOT_FOUND)
        return fail(FormatText("Invalid mux preload %g", MuxPreload));
    if (LoopOutput >= 0)
        AVUtilStubs.av_opt_set_int(oc, "loop", LoopOutput, AV_OPT_SEARCH_CHILDREN);
    oc->flags |= AVFMT_FLAG_NONBLOCK;
    ApplyGenericOptions(oc, OPT_FLAG_ENCODING);

    if (Join && InputCount() > 1) {
        joined_ = true;
        int64_t total = -1;
        for (const auto& in : files_->inputs)
            if (in.ctx->duration != AV_NOPTS_VALUE && in.ctx->duration > 0)
                total = (total < 0 ? 0 : total) + in.ctx->duration / 1000;
        ExpectedTotalDuration = total;
        for (int i = 1; i < InputCount(); ++i)
            files_->outputs.push_back(out);
    }
    cleanup.armed = false;
    ForcedOutputFormat = nullptr;
    ForcedInputFormat = nullptr;
    return OutputCount();
}
