// The run of the transcoding engine: start and stop, the worker thread, the
// initialisation of the working tables, the transcode loop, packet output and
// progress reports.
#include "FFmpegPrivate.h"
#include "FFmpegVideo.h"

#include "FFUtils.h"
#include "FFmpegLoader.h"
#include "FFmpegLogger.h"

#include <QCoreApplication>
#include <QThread>

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>

namespace {

constexpr AVRational MicrosecondBase{1, AV_TIME_BASE};

const char* TypeName(AVMediaType type) {
    return MediaTypeName(static_cast<unsigned>(type));
}

// A failed write: a full disc, a quota or a closed pipe is said with the name of the
// output (the user's name, not the hidden file it is written under); anything else
// with the operation that failed.
std::string WriteErrorText(const TOutputFileSetup& out, const char* operation, int ret) {
    return OpenErrorText(IsSystemError(ret) ? DisplayName(out.path) : operation, ret);
}

} // namespace

// --- TConvertThread ---------------------------------------------------------

TConvertThread::TConvertThread(TCustomFFmpeg* engine, TConvertPriority priority)
    : engine_(engine), priority_(priority) {}

TConvertThread::~TConvertThread() {
    std::lock_guard lock(startLock_);
    if (thread_.joinable())
        thread_.join();
}

void TConvertThread::Resume() {
    std::lock_guard lock(startLock_);
    if (started_.load())
        return;
    started_ = true;
    thread_ = std::thread([this] { Body(); });
}

void TConvertThread::Body() {
    switch (priority_) {
    case tpIdle: {
        sched_param param{};
        pthread_setschedparam(pthread_self(), SCHED_IDLE, &param);
        break;
    }
    case tpLowest:
        setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 10);
        break;
    case tpLower:
        setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 5);
        break;
    case tpNormal:
        break;
    }
    if (!engine_)
        return;
    TCustomFFmpeg* engine = engine_;
    engine->worker_ = std::this_thread::get_id();
    engine->RunTranscode();
    engine->bodyActive_ = false; // last touch of the engine
    NotifyEngineWaiters();
}

// --- start, run, stop ---------------------------------------------------------

TConvertThread* TCustomFFmpeg::StartConvert(bool InThread, TConvertPriority Priority) {
    if (running_.load() || terminated_.load())
        return nullptr;
    const char* missing = nullptr;
    if (OutputCount() == 0)
        missing = "At least one output file must be specified";
    else if (InputCount() == 0)
        missing = "At least one input file must be specified";
    if (missing) {
        CloseFiles();
        FFLogger().Log(this, llQuiet, missing);
        {
            std::lock_guard lock(errorLock_);
            errorMessage_ = missing;
        }
        error_ = true;
        EndOfRun();
        return nullptr;
    }
    running_ = true;
    stopRequested_ = false;
    finished_ = false;
    terminated_ = false;
    if (!InThread) {
        RunTranscode();
        return nullptr;
    }
    ownedThread_ = std::make_unique<TConvertThread>(this, Priority);
    bodyActive_ = true;
    thread_ = ownedThread_.get();
    return ownedThread_.get();
}

void TCustomFFmpeg::RunTranscode() {
    finished_ = false;
    resamplersCreated_ = 0;
    convertersCreated_ = 0;
    dupFrames_ = 0;
    dropFrames_ = 0;
    try {
        Transcode();
    } catch (const std::exception& e) {
        FFLogger().Log(this, llQuiet, e.what());
        {
            std::lock_guard lock(errorLock_);
            errorMessage_ = e.what();
        }
        error_ = true;
    }
    FreeFrameHooks();
    // A file whose last bytes could not be written is not a success.
    std::string failedName;
    const int closeError = CloseFiles(&failedName);
    if (closeError < 0 && !error_.load()) {
        const std::string text = OpenErrorText(failedName, closeError);
        FFLogger().Log(this, llQuiet, text);
        {
            std::lock_guard lock(errorLock_);
            errorMessage_ = text;
        }
        error_ = true;
        finished_ = false;
    }
    EndOfRun();
}

void TCustomFFmpeg::EndOfRun() {
    running_ = false;
    terminated_ = true;
    thread_ = nullptr;
    NotifyEngineWaiters();
    if (OnTerminate)
        OnTerminate(this);
}

void TCustomFFmpeg::StopConvert(bool Wait) {
    stopRequested_ = true;
    TConvertThread* thread = thread_.load();
    if (!thread)
        return;
    if (!thread->Started())
        thread->Resume();
    // The worker itself (its OnTerminate included) cannot wait for its own end.
    if (!Wait || worker_.load() == std::this_thread::get_id())
        return;
    // The end of the run, OnTerminate included; the main thread keeps serving
    // events (the logger hands lines to it) while it waits.
    WaitServingEvents([this] { return !bodyActive_.load(); });
}

int LinkFilterChain(AVFilterGraph* graph, AVFilterContext* source, AVFilterContext* sink,
                    const std::string& chain) {
    AVFilterInOut* outputs = AVFilterStubs.avfilter_inout_alloc();
    AVFilterInOut* inputs = AVFilterStubs.avfilter_inout_alloc();
    struct Free {
        AVFilterInOut** a;
        AVFilterInOut** b;
        ~Free() {
            AVFilterStubs.avfilter_inout_free(a);
            AVFilterStubs.avfilter_inout_free(b);
        }
    } release{&outputs, &inputs};
    if (!outputs || !inputs)
        return AVERROR(ENOMEM);
    outputs->name = AVUtilStubs.av_strdup("in");
    outputs->filter_ctx = source;
    inputs->name = AVUtilStubs.av_strdup("out");
    inputs->filter_ctx = sink;
    int ret =
        AVFilterStubs.avfilter_graph_parse_ptr(graph, chain.c_str(), &inputs, &outputs, nullptr);
    if (ret >= 0)
        ret = AVFilterStubs.avfilter_graph_config(graph, nullptr);
    return ret;
}

std::string TCustomFFmpeg::ErrorMessage() const {
    std::lock_guard lock(errorLock_);
    return errorMessage_;
}

void TCustomFFmpeg::Transcode() {
    TTranscodeRun run(*this);
    run.Init();
    run.Loop();
    run.Finish();
    finished_ = !stopRequested_.load();
}

// --- TTranscodeRun: initialisation -----------------------------------------------

TTranscodeRun::TTranscodeRun(TCustomFFmpeg& engine) : e(engine), f(*engine.files_) {
    pkt.reset(AVCodecStubs.av_packet_alloc());
    encPkt.reset(AVCodecStubs.av_packet_alloc());
    bsfPkt.reset(AVCodecStubs.av_packet_alloc());
    copyPkt.reset(AVCodecStubs.av_packet_alloc());
    decFrame.reset(AVUtilStubs.av_frame_alloc());
    if (!pkt || !encPkt || !bsfPkt || !copyPkt || !decFrame)
        throw FFmpegException("av_malloc failed");
    video = std::make_unique<TVideoRunState>();
    // The task's hook and preview handlers, read once for the whole run.
    if (const auto* task = dynamic_cast<const TFFmpeg*>(&engine)) {
        video->customHook = task->OnCustomHook;
        video->beforeHook = task->OnBeforeHook;
        video->previewBitmap = task->OnPreviewBitmap;
        video->ranges = task->HookTimeRanges();
        video->displayFlags = task->DisplayFlags();
    }
}

TTranscodeRun::~TTranscodeRun() {
    CloseCodecs();
    ReleaseVideo();
    e.dupFrames_ = dupFrames;
    e.dropFrames_ = dropFrames;
}

void TTranscodeRun::CloseCodecs() {
    std::lock_guard lock(LibraryLock);
    for (auto& ost : osts)
        if (ost.block == 0 && ost.setup && ost.encodingNeeded)
            ost.setup->enc.reset();
    for (auto& ost : osts)
        ost.enc = nullptr;
    for (auto& ist : ists)
        ist.dec.reset();
}

void TTranscodeRun::FailWithDump(const std::string& message) {
    DumpMapping();
    FFLogger().Log(&e, llError, message);
    throw FFmpegException(message);
}

void TTranscodeRun::Init() {
    // Step 1: input stream table.
    for (size_t i = 0; i < f.inputs.size(); ++i) {
        AVFormatContext* ic = f.inputs[i].ctx;
        TInputFileRun file;
        file.istIndex = static_cast<int>(ists.size());
        file.nbStreams = static_cast<int>(ic->nb_streams);
        ifiles.push_back(file);
        for (unsigned s = 0; s < ic->nb_streams; ++s) {
            TInputStream ist;
            ist.fileIndex = static_cast<int>(i);
            ist.index = static_cast<int>(s);
            ist.st = ic->streams[s];
            if (e.RateEmu)
                ist.startWall = AVUtilStubs.av_gettime_relative();
            ists.push_back(std::move(ist));
        }
    }

    // Step 2: output stream table, binding and preparation.
    for (size_t i = 0; i < f.outputs.size(); ++i) {
        TOutputFileSetup* out = f.outputs[i].get();
        if (out->streams.empty()) {
            AVFormatStubs.av_dump_format(out->ctx, static_cast<int>(i), out->name.c_str(), 1);
            throw FFmpegException(
                FormatText("Output file #%d does not contain any stream", static_cast<int>(i)));
        }
        if (std::find(uniqueOutputs.begin(), uniqueOutputs.end(), out) == uniqueOutputs.end())
            uniqueOutputs.push_back(out);
        for (size_t s = 0; s < out->streams.size(); ++s) {
            TOutputStream ost;
            ost.fileIndex = static_cast<int>(i);
            ost.index = static_cast<int>(s);
            ost.block = e.joined_ ? static_cast<int>(i) : 0;
            ost.file = out;
            ost.setup = &out->streams[s];
            ost.st = out->streams[s].st;
            ost.enc = out->streams[s].enc.get();
            osts.push_back(std::move(ost));
        }
    }
    blockSize = f.outputs.empty() ? 0 : f.outputs[0]->streams.size();

    if (!e.StreamMaps.empty()) {
        if (e.StreamMaps.size() != osts.size())
            throw FFmpegException("Number of stream maps must match number of output streams");
        for (const TStreamMap& map : e.StreamMaps) {
            if (map.FileIndex < 0 || map.FileIndex >= static_cast<int>(ifiles.size()) ||
                map.StreamIndex < 0 ||
                map.StreamIndex >= ifiles[static_cast<size_t>(map.FileIndex)].nbStreams)
                throw FFmpegException(FormatText("Could not find input stream #%d.%d",
                                                 map.FileIndex, map.StreamIndex));
            if (map.SyncFileIndex < 0 || map.SyncFileIndex >= static_cast<int>(ifiles.size()) ||
                map.SyncStreamIndex < 0 ||
                map.SyncStreamIndex >= ifiles[static_cast<size_t>(map.SyncFileIndex)].nbStreams)
                throw FFmpegException(FormatText("Could not find sync stream #%d.%d",
                                                 map.SyncFileIndex, map.SyncStreamIndex));
        }
    }
    BindStreams();
    for (auto& ost : osts)
        PrepareStream(ost);

    OpenEncoders();
    OpenDecoders();

    // Step 5.
    for (auto& ist : ists) {
        ist.pts = 0;
        ist.nextPts = AV_NOPTS_VALUE;
        ist.isStart = true;
    }

    // Step 6: metadata maps.
    for (const TMetaDataMap& map : e.MetaDataMaps) {
        if (map.OutFile < 0 || map.OutFile >= static_cast<int>(f.outputs.size()))
            FailWithDump(FormatText("Invalid output file index %d map_meta_data(%d,%d)",
                                    map.OutFile, map.OutFile, map.InFile));
        if (map.InFile < 0 || map.InFile >= static_cast<int>(f.inputs.size()))
            FailWithDump(FormatText("Invalid input file index %d map_meta_data(%d,%d)", map.InFile,
                                    map.OutFile, map.InFile));
        AVFormatContext* oc = f.outputs[static_cast<size_t>(map.OutFile)]->ctx;
        const AVFormatContext* ic = f.inputs[static_cast<size_t>(map.InFile)].ctx;
        CopyDict(&oc->metadata, ic->metadata);
    }

    InitBitstreamFilters();
    WriteHeaders();
    DumpMapping();

    timerStart = AVUtilStubs.av_gettime_relative();
    lastReport = timerStart;
    for (auto& file : ifiles)
        file.noPacket = false;
}

void TTranscodeRun::BindStreams() {
    for (size_t n = 0; n < osts.size(); ++n) {
        TOutputStream& ost = osts[n];
        const AVMediaType type = ost.setup->type;
        int found = -1;
        if (!e.StreamMaps.empty()) {
            const TStreamMap& map = e.StreamMaps[n];
            found = ifiles[static_cast<size_t>(map.FileIndex)].istIndex + map.StreamIndex;
            const AVMediaType inType = ists[static_cast<size_t>(found)].st->codecpar->codec_type;
            if (inType != type)
                FailWithDump(FormatText(
                    "Codec type mismatch for mapping #%d.%d (%s) -> #%d.%d (%s)", map.FileIndex,
                    map.StreamIndex, TypeName(inType), ost.fileIndex, ost.index, TypeName(type)));
            ost.syncIst =
                ifiles[static_cast<size_t>(map.SyncFileIndex)].istIndex + map.SyncStreamIndex;
        } else {
            auto candidate = [&](const TInputStream& ist, bool unusedOnly) {
                if (unusedOnly && !ist.discard)
                    return false;
                if (ist.st->codecpar->codec_type != type)
                    return false;
                if (e.joined_ && ist.fileIndex != ost.fileIndex)
                    return false;
                if (e.OptProgramID != 0) {
                    const AVFormatContext* ic = f.inputs[static_cast<size_t>(ist.fileIndex)].ctx;
                    bool inProgram = false;
                    for (unsigned p = 0; p < ic->nb_programs && !inProgram; ++p)
                        if (ic->programs[p]->id == e.OptProgramID)
                            for (unsigned k = 0; k < ic->programs[p]->nb_stream_indexes; ++k)
                                inProgram = inProgram || ic->programs[p]->stream_index[k] ==
                                                             static_cast<unsigned>(ist.index);
                    return inProgram;
                }
                return true;
            };
            for (size_t j = 0; j < ists.size() && found < 0; ++j)
                if (candidate(ists[j], true))
                    found = static_cast<int>(j);
            if (found < 0 && !e.joined_ && e.OptProgramID == 0)
                for (size_t j = ists.size(); j-- > 0 && found < 0;)
                    if (ists[j].st->codecpar->codec_type == type)
                        found = static_cast<int>(j);
            if (found < 0)
                FailWithDump(
                    FormatText("Could not find input stream matching output stream #%d.%d (%s)",
                               ost.fileIndex, ost.index, TypeName(type)));
            ost.syncIst = found;
        }
        ost.sourceIndex = found;
        ists[static_cast<size_t>(found)].discard = false;
    }
}

void TTranscodeRun::PrepareStream(TOutputStream& ost) {
    TInputStream& ist = ists[static_cast<size_t>(ost.sourceIndex)];
    const AVCodecParameters* in = ist.st->codecpar;
    AVStream* st = ost.st;
    if (ost.block == 0) {
        if (!AVUtilStubs.av_dict_get(st->metadata, "language", nullptr, 0))
            if (const AVDictionaryEntry* lang =
                    AVUtilStubs.av_dict_get(ist.st->metadata, "language", nullptr, 0))
                SetDictEntry(&st->metadata, "language", lang->value);
        st->disposition = ist.st->disposition;
    }
    if (ost.setup->copy) {
        ost.encodingNeeded = false;
        if (ost.block == 0) {
            const uint32_t tag = st->codecpar->codec_tag;
            if (AVCodecStubs.avcodec_parameters_copy(st->codecpar, in) < 0)
                throw FFmpegException("av_malloc failed");
            const AVCodecTag* const* tags = ost.file->ctx->oformat->codec_tag;
            if (tag) {
                st->codecpar->codec_tag = tag;
            } else if (!tags ||
                       AVFormatStubs.av_codec_get_id(tags, in->codec_tag) == in->codec_id ||
                       AVFormatStubs.av_codec_get_tag(tags, in->codec_id) == 0) {
                st->codecpar->codec_tag = in->codec_tag;
            } else {
                st->codecpar->codec_tag = 0;
            }
            st->time_base = ist.st->time_base;
        }
        ost.srcTimeBase = ist.st->time_base;
        switch (in->codec_type) {
        case AVMEDIA_TYPE_AUDIO:
            if (e.AudioVolume != 256)
                throw FFmpegException(
                    "-acodec copy and -vol are incompatible (frames are not decoded)");
            if ((st->codecpar->block_align == 1 && in->codec_id == AV_CODEC_ID_MP3) ||
                in->codec_id == AV_CODEC_ID_AC3)
                st->codecpar->block_align = 0;
            break;
        case AVMEDIA_TYPE_VIDEO:
            if (e.UsingVHook)
                throw FFmpegException(
                    "-vcodec copy and -vhook are incompatible (frames are not decoded)");
            if (e.FramesHooked())
                throw FFmpegException(
                    "-vcodec copy and CustomHook are incompatible (frames are not decoded)");
            if (ost.block == 0 && st->sample_aspect_ratio.num > 0)
                st->codecpar->sample_aspect_ratio = st->sample_aspect_ratio;
            else if (ost.block == 0)
                st->sample_aspect_ratio = ist.st->sample_aspect_ratio;
            break;
        case AVMEDIA_TYPE_SUBTITLE:
            break;
        default:
            throw FFmpegException("invalid codec_type of output stream");
        }
        return;
    }

    if (!ost.enc)
        throw FFmpegException("invalid codec_type of output stream");
    if (ost.setup->type == AVMEDIA_TYPE_VIDEO) {
        PrepareVideo(ost, ist);
        return;
    }
    if (ost.setup->type == AVMEDIA_TYPE_SUBTITLE) {
        AVCodecContext* enc = ost.enc;
        if (enc->time_base.num <= 0 || enc->time_base.den <= 0)
            enc->time_base = AVRational{1, 1000};
        if (enc->width == 0 && enc->height == 0) {
            enc->width = in->width;
            enc->height = in->height;
        }
        ist.decodingNeeded = true;
        ost.encodingNeeded = true;
        ost.srcTimeBase = enc->time_base;
        return;
    }
    if (ost.setup->type != AVMEDIA_TYPE_AUDIO)
        throw FFmpegException("invalid codec_type of output stream");
    AVCodecContext* enc = ost.enc;
    ost.fifo.reset(
        AVUtilStubs.av_audio_fifo_alloc(enc->sample_fmt, enc->ch_layout.nb_channels, 1024));
    if (!ost.fifo)
        throw FFmpegException("av_fifo_alloc fail");
    ost.formatPair = -1;
    ost.resampleNeeded = enc->sample_rate != in->sample_rate || e.AudioSyncMethod > 1;
    ist.decodingNeeded = true;
    ost.encodingNeeded = true;
    ost.srcTimeBase = enc->time_base;
    if (!ost.setup->filters.empty()) {
        ost.filtered.reset(AVUtilStubs.av_frame_alloc());
        if (!ost.filtered)
            throw FFmpegException("av_malloc failed");
        // Made now when the stream tells what its decoder gives, so that filters that
        // cannot take it fail before anything is written; remade when the audio differs.
        if (in->format >= 0 && in->sample_rate > 0 && in->ch_layout.nb_channels > 0)
            OpenAudioFilters(ost, in->format, in->sample_rate, in->ch_layout);
    }
}

void TTranscodeRun::OpenEncoders() {
    for (auto& ost : osts) {
        if (!ost.encodingNeeded || ost.block != 0)
            continue;
        const AVCodec* codec = ost.setup->forcedEncoder;
        if (!codec)
            codec = AVCodecStubs.avcodec_find_encoder(ost.enc->codec_id);
        if (!codec)
            FailWithDump(FormatText("Encoder (codec id %d) not found for output stream #%d.%d (%s)",
                                    static_cast<int>(ost.enc->codec_id), ost.fileIndex, ost.index,
                                    TypeName(ost.setup->type)));
        if (ost.setup->type == AVMEDIA_TYPE_SUBTITLE && !ost.enc->subtitle_header) {
            // A text subtitle encoder writes the style header its decoder made.
            TInputStream& ist = ists[static_cast<size_t>(ost.sourceIndex)];
            OpenDecoder(ist, static_cast<size_t>(ost.sourceIndex));
            const AVCodecContext* dec = ist.dec.get();
            if (dec->subtitle_header && dec->subtitle_header_size > 0) {
                ost.enc->subtitle_header = static_cast<uint8_t*>(
                    AVUtilStubs.av_mallocz(static_cast<size_t>(dec->subtitle_header_size) + 1));
                if (!ost.enc->subtitle_header)
                    throw FFmpegException("av_malloc failed");
                std::memcpy(ost.enc->subtitle_header, dec->subtitle_header,
                            static_cast<size_t>(dec->subtitle_header_size));
                ost.enc->subtitle_header_size = dec->subtitle_header_size;
            }
        }
        int ret;
        {
            std::lock_guard lock(LibraryLock);
            ret = AVCodecStubs.avcodec_open2(ost.enc, codec, nullptr);
        }
        if (ret < 0)
            FailWithDump(FormatText("Error while opening encoder for output stream #%d.%d (%s) - "
                                    "maybe incorrect parameters such as bit_rate, rate, width or "
                                    "height",
                                    ost.fileIndex, ost.index, TypeName(ost.setup->type)));
        if (AVCodecStubs.avcodec_parameters_from_context(ost.st->codecpar, ost.enc) < 0)
            throw FFmpegException("av_malloc failed");
        ost.st->time_base = ost.enc->time_base;
        if (ost.setup->type == AVMEDIA_TYPE_VIDEO && ost.enc->framerate.num > 0)
            ost.st->avg_frame_rate = ost.enc->framerate;
        extraSize += ost.enc->extradata_size;
    }
    // Encoder input frames, one per stream, reused for every frame.
    for (auto& ost : osts) {
        if (!ost.encodingNeeded)
            continue;
        ost.frame.reset(AVUtilStubs.av_frame_alloc());
        if (!ost.frame)
            throw FFmpegException("av_malloc failed");
    }
}

void TTranscodeRun::OpenDecoders() {
    for (size_t i = 0; i < ists.size(); ++i)
        if (ists[i].decodingNeeded)
            OpenDecoder(ists[i], i);
}

void TTranscodeRun::OpenDecoder(TInputStream& ist, size_t i) {
    if (ist.dec)
        return;
    {
        const AVCodec* codec = i < f.forcedDecoders.size() ? f.forcedDecoders[i] : nullptr;
        if (!codec)
            codec = AVCodecStubs.avcodec_find_decoder(ist.st->codecpar->codec_id);
        const AVMediaType type = ist.st->codecpar->codec_type;
        if (!codec)
            FailWithDump(FormatText("Decoder (codec id %d) not found for input stream #%d.%d (%s)",
                                    static_cast<int>(ist.st->codecpar->codec_id), ist.fileIndex,
                                    ist.index, TypeName(type)));
        ist.dec.reset(AVCodecStubs.avcodec_alloc_context3(codec));
        if (!ist.dec ||
            AVCodecStubs.avcodec_parameters_to_context(ist.dec.get(), ist.st->codecpar) < 0)
            throw FFmpegException("av_malloc failed");
        ist.dec->pkt_timebase = ist.st->time_base;
        ist.dec->thread_count = 1;
        const int typeFlag = type == AVMEDIA_TYPE_AUDIO   ? OPT_FLAG_AUDIO
                             : type == AVMEDIA_TYPE_VIDEO ? OPT_FLAG_VIDEO
                                                          : OPT_FLAG_SUBTITLE;
        e.ApplyGenericOptions(ist.dec.get(), typeFlag | OPT_FLAG_DECODING);
        int ret;
        {
            std::lock_guard lock(LibraryLock);
            ret = AVCodecStubs.avcodec_open2(ist.dec.get(), codec, nullptr);
        }
        if (ret < 0)
            FailWithDump(FormatText("Error while opening decoder for input stream #%d.%d (%s)",
                                    ist.fileIndex, ist.index, TypeName(type)));
    }
}

void TTranscodeRun::InitBitstreamFilters() {
    for (auto& ost : osts) {
        if (ost.block != 0 || ost.setup->bsfs.empty())
            continue;
        AVCodecParameters* par = ost.st->codecpar;
        AVRational tb = ost.srcTimeBase;
        for (TBitstreamFilter& filter : ost.setup->bsfs) {
            AVBSFContext* bsf = filter.Context.get();
            if (!bsf)
                continue;
            if (AVCodecStubs.avcodec_parameters_copy(bsf->par_in, par) < 0)
                throw FFmpegException("av_malloc failed");
            bsf->time_base_in = tb;
            const int ret = AVCodecStubs.av_bsf_init(bsf);
            if (ret < 0)
                throw FFmpegException(OpenErrorText(
                    FormatText("%s failed for stream %d, codec %s", filter.Name.c_str(), ost.index,
                               ost.enc ? ost.enc->codec->name : "copy"),
                    ret));
            par = bsf->par_out;
            tb = bsf->time_base_out;
        }
        if (AVCodecStubs.avcodec_parameters_copy(ost.st->codecpar, par) < 0)
            throw FFmpegException("av_malloc failed");
    }
    // Joined blocks write through the first block's chain and time base.
    for (auto& ost : osts)
        if (ost.block != 0)
            ost.srcTimeBase = osts[static_cast<size_t>(ost.index)].srcTimeBase;
}

void TTranscodeRun::WriteHeaders() {
    for (size_t i = 0; i < uniqueOutputs.size(); ++i) {
        bool readOnly = false;
        if (OpenOutputFile(*uniqueOutputs[i], &readOnly) < 0)
            FailWithDump(OutputRefusedText(uniqueOutputs[i]->path, readOnly));
        if (AVFormatStubs.avformat_write_header(uniqueOutputs[i]->ctx, nullptr) < 0)
            FailWithDump(FormatText(
                "Could not write header for output file #%d (incorrect codec parameters ?)",
                static_cast<int>(i)));
    }
    bool allRtp = !uniqueOutputs.empty();
    for (const TOutputFileSetup* out : uniqueOutputs)
        allRtp = allRtp && std::strcmp(out->ctx->oformat->name, "rtp") == 0;
    if (allRtp) {
        std::vector<AVFormatContext*> contexts;
        for (TOutputFileSetup* out : uniqueOutputs)
            contexts.push_back(out->ctx);
        char sdp[2048] = {};
        const int ret = AVFormatStubs.av_sdp_create(
            contexts.data(), static_cast<int>(contexts.size()), sdp, sizeof sdp);
        if (ret < 0)
            throw FFmpegException(FormatText("Could not create the SDP (error %d)", ret));
        std::string text = sdp;
        while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ')
            text.pop_back();
        FFLogger().Log(&e, llInfo, "SDP:\r\n" + text);
    }
}

void TTranscodeRun::DumpMapping() {
    for (size_t i = 0; i < uniqueOutputs.size(); ++i)
        AVFormatStubs.av_dump_format(uniqueOutputs[i]->ctx, static_cast<int>(i),
                                     uniqueOutputs[i]->name.c_str(), 1);
    if (e.Verbose < 0)
        return;
    FFLogger().Log(&e, llVerbose, "Stream mapping:");
    for (const auto& ost : osts) {
        const TInputStream& ist = ists[static_cast<size_t>(ost.sourceIndex)];
        FFLogger().Log(&e, llVerbose,
                       FormatText("  Stream #%d.%d -> #%d.%d (%s)", ist.fileIndex, ist.index,
                                  e.joined_ ? 0 : ost.fileIndex, ost.index,
                                  TypeName(ost.setup->type)));
        if (ost.syncIst != ost.sourceIndex) {
            const TInputStream& sync = ists[static_cast<size_t>(ost.syncIst)];
            FFLogger().Log(&e, llVerbose,
                           FormatText(" [sync #%d.%d (%s)]", sync.fileIndex, sync.index,
                                      TypeName(sync.st->codecpar->codec_type)));
        }
    }
}

// --- the loop ---------------------------------------------------------------------

double TTranscodeRun::OutputTime(const TOutputStream& ost) const {
    if (ost.setup->type == AVMEDIA_TYPE_VIDEO && ost.enc)
        return static_cast<double>(ost.syncOpts) * av_q2d(ost.enc->time_base);
    return static_cast<double>(ost.curPts) * av_q2d(ost.st->time_base);
}

int TTranscodeRun::ChooseInput(double& optsMin) {
    optsMin = 1e100;
    double iptsMin = 1e100;
    int chosen = -1;
    const size_t first = e.joined_ ? static_cast<size_t>(joinedInput) * blockSize : 0;
    const size_t last = e.joined_ ? first + blockSize : osts.size();
    for (size_t n = first; n < last && n < osts.size(); ++n) {
        const TOutputStream& ost = osts[n];
        const TInputStream& ist = ists[static_cast<size_t>(ost.sourceIndex)];
        const TInputFileRun& file = ifiles[static_cast<size_t>(ist.fileIndex)];
        if (file.noPacket)
            continue;
        const double opts = OutputTime(ost);
        const double ipts = static_cast<double>(ist.pts);
        if (!file.eof) {
            if (e.InputSync ? ipts < iptsMin : opts < optsMin) {
                iptsMin = ipts;
                optsMin = opts;
                chosen = ist.fileIndex;
            }
        }
        const int typeIndex = ost.setup->type;
        if (typeIndex >= 0 && typeIndex < 4 && ost.frameNumber >= e.MaxFrames[typeIndex]) {
            chosen = -1;
            break;
        }
    }
    if (e.joined_ && chosen >= 0)
        chosen = joinedInput;
    return chosen;
}

void TTranscodeRun::Loop() {
    while (!e.stopRequested_.load()) {
        double optsMin = 0;
        const int fileIndex = ChooseInput(optsMin);
        if (fileIndex < 0) {
            if (e.joined_ || noPacketCount == 0)
                break;
            for (auto& file : ifiles)
                file.noPacket = false;
            noPacketCount = 0;
            QThread::msleep(10);
            continue;
        }
        if (optsMin >= static_cast<double>(e.RecordingTime) / 1000000.0)
            break;
        if (e.LimitFileSize) {
            AVIOContext* pb = f.outputs[0]->ctx->pb;
            if (pb && e.LimitFileSize < AVFormatStubs.avio_seek(pb, 0, SEEK_CUR))
                break;
        }
        if (!ReadOne(fileIndex))
            break;
    }
}

// One packet of one input; false when the loop has to end.
bool TTranscodeRun::ReadOne(int fileIndex) {
    TInputFileRun& file = ifiles[static_cast<size_t>(fileIndex)];
    AVFormatContext* ic = f.inputs[static_cast<size_t>(fileIndex)].ctx;
    AVPacket* packet = pkt.get();
    const int ret = AVFormatStubs.av_read_frame(ic, packet);
    if (ret == AVERROR(EAGAIN)) {
        file.noPacket = true;
        ++noPacketCount;
        return true;
    }
    if (ret < 0) {
        // A failing read of the file itself is an error, not a shorter input.
        if (ret != AVERROR_EOF && ic->pb && ic->pb->error < 0)
            throw FFmpegException(OpenErrorText(ic->url ? ic->url : "", ic->pb->error));
        file.eof = true;
        if (!e.joined_)
            return !e.OptShortest;
        EndOfInput(fileIndex);
        return joinedInput < static_cast<int>(ifiles.size());
    }
    for (auto& other : ifiles)
        other.noPacket = false;
    noPacketCount = 0;
    if (e.DoPktDump)
        AVFormatStubs.av_pkt_dump_log2(nullptr, AV_LOG_DEBUG, packet, e.DoHexDump,
                                       ic->streams[packet->stream_index]);

    struct Unref {
        AVPacket* p;
        ~Unref() { AVCodecStubs.av_packet_unref(p); }
    } unref{packet};

    if (packet->stream_index >= file.nbStreams)
        return true;
    TInputStream& ist = ists[static_cast<size_t>(file.istIndex + packet->stream_index)];
    if (ist.discard)
        return true;

    TInputFileSetup& in = f.inputs[static_cast<size_t>(fileIndex)];
    const AVRational tb = ist.st->time_base;
    const int64_t offset = AVUtilStubs.av_rescale_q(in.tsOffset, MicrosecondBase, tb);
    if (packet->dts != AV_NOPTS_VALUE)
        packet->dts += offset;
    if (packet->pts != AV_NOPTS_VALUE)
        packet->pts += offset;
    const double scale = ist.index < MAX_STREAMS ? in.tsScale[static_cast<size_t>(ist.index)] : 0;
    if (scale != 0) {
        if (packet->dts != AV_NOPTS_VALUE)
            packet->dts = std::llround(static_cast<double>(packet->dts) * scale);
        if (packet->pts != AV_NOPTS_VALUE)
            packet->pts = std::llround(static_cast<double>(packet->pts) * scale);
    }

    if (packet->dts != AV_NOPTS_VALUE && ist.nextPts != AV_NOPTS_VALUE &&
        (ic->iformat->flags & AVFMT_TS_DISCONT)) {
        const int64_t pktDts = AVUtilStubs.av_rescale_q(packet->dts, tb, MicrosecondBase);
        const int64_t delta = pktDts - ist.nextPts;
        if ((std::llabs(delta) > static_cast<int64_t>(e.DtsDeltaThreshold * AV_TIME_BASE) ||
             pktDts + 1 < ist.pts) &&
            !e.CopyTs) {
            in.tsOffset -= delta;
            if (e.Verbose > 2)
                FFLogger().Log(&e, llVerbose,
                               FormatText("timestamp discontinuity %lld, new offset= %lld",
                                          static_cast<long long>(delta),
                                          static_cast<long long>(in.tsOffset)));
            const int64_t d = AVUtilStubs.av_rescale_q(delta, MicrosecondBase, tb);
            packet->dts -= d;
            if (packet->pts != AV_NOPTS_VALUE)
                packet->pts -= d;
        }
    }

    if (OutputPacket(ist, packet) < 0) {
        const std::string text =
            FormatText("Error while decoding stream #%d.%d (%s)", ist.fileIndex, ist.index,
                       TypeName(ist.st->codecpar->codec_type));
        if (e.ExitOnError)
            throw FFmpegException(text);
        if (e.Verbose >= 0)
            FFLogger().Log(&e, llVerbose, text);
        return true;
    }

    const int64_t now = AVUtilStubs.av_gettime_relative();
    if (now - lastReport > e.ProgressInterval) {
        lastReport = now;
        Report(false);
    }
    return true;
}

void TTranscodeRun::EndOfInput(int fileIndex) {
    const TInputFileRun& file = ifiles[static_cast<size_t>(fileIndex)];
    for (int s = 0; s < file.nbStreams; ++s) {
        TInputStream& ist = ists[static_cast<size_t>(file.istIndex + s)];
        if (!ist.decodingNeeded)
            continue;
        OutputPacket(ist, nullptr);
        AVCodecStubs.avcodec_flush_buffers(ist.dec.get());
        ist.flushed = true;
    }
    const bool lastInput = joinedInput + 1 >= static_cast<int>(ifiles.size());
    if (!lastInput)
        ReopenJoinedEncoders();
    // Carry the positions over to the next block.
    double maxTime = 0;
    const size_t first = static_cast<size_t>(joinedInput) * blockSize;
    for (size_t n = first; n < first + blockSize && n < osts.size(); ++n) {
        maxTime = std::max(maxTime, OutputTime(osts[n]));
        if (!lastInput && n + blockSize < osts.size()) {
            osts[n + blockSize].syncOpts = osts[n].syncOpts;
            osts[n + blockSize].frameNumber = osts[n].frameNumber;
            osts[n + blockSize].curPts = osts[n].curPts;
        }
    }
    ++joinedInput;
    if (!lastInput)
        f.inputs[static_cast<size_t>(joinedInput)].tsOffset += std::llround(maxTime * 1000000);
}

void TTranscodeRun::ReopenJoinedEncoders() {
    for (size_t n = 0; n < blockSize && n < osts.size(); ++n) {
        TOutputStream& ost = osts[n];
        if (!ost.encodingNeeded)
            continue;
        // A drained encoder takes no more input: open a fresh one with the same settings.
        const AVCodec* codec = ost.enc->codec;
        TCodecContextPtr fresh(AVCodecStubs.avcodec_alloc_context3(codec));
        if (!fresh)
            throw FFmpegException("av_malloc failed");
        if (!codec)
            throw FFmpegException(FormatText("Unsupported codec for output stream #%d.%d (%s)",
                                             ost.fileIndex, ost.index, TypeName(ost.setup->type)));
        AVCodecContext* old = ost.enc;
        fresh->bit_rate = old->bit_rate;
        fresh->sample_rate = old->sample_rate;
        fresh->sample_fmt = old->sample_fmt;
        fresh->time_base = old->time_base;
        fresh->flags = old->flags;
        fresh->global_quality = old->global_quality;
        fresh->compression_level = old->compression_level;
        fresh->codec_tag = old->codec_tag;
        fresh->width = old->width;
        fresh->height = old->height;
        fresh->pix_fmt = old->pix_fmt;
        fresh->sample_aspect_ratio = old->sample_aspect_ratio;
        fresh->framerate = old->framerate;
        fresh->gop_size = old->gop_size;
        fresh->max_b_frames = old->max_b_frames;
        AVUtilStubs.av_channel_layout_copy(&fresh->ch_layout, &old->ch_layout);
        int ret;
        {
            std::lock_guard lock(LibraryLock);
            ret = AVCodecStubs.avcodec_open2(fresh.get(), codec, nullptr);
            if (ret >= 0)
                ost.setup->enc = std::move(fresh);
        }
        if (ret < 0)
            throw FFmpegException(FormatText(
                "Error while opening codec for output stream #%d.%d (%s) - maybe incorrect "
                "parameters such as bit_rate, rate, width or height",
                ost.fileIndex, ost.index, TypeName(ost.setup->type)));
        for (size_t m = n; m < osts.size(); m += blockSize)
            osts[m].enc = ost.setup->enc.get();
    }
}

void TTranscodeRun::Finish() {
    for (auto& ist : ists)
        if (ist.decodingNeeded && !ist.flushed) {
            OutputPacket(ist, nullptr);
            ist.flushed = true;
        }
    for (TOutputFileSetup* out : uniqueOutputs) {
        const int ret = AVFormatStubs.av_write_trailer(out->ctx);
        if (ret < 0)
            throw FFmpegException(WriteErrorText(*out, "av_write_trailer()", ret));
        out->complete = true;
    }
    Report(true);
    CloseCodecs();
}

// --- packet step ------------------------------------------------------------------

int TTranscodeRun::OutputPacket(TInputStream& ist, const AVPacket* packet) {
    if (ist.nextPts == AV_NOPTS_VALUE)
        ist.nextPts = ist.pts;
    if (packet && packet->dts != AV_NOPTS_VALUE)
        ist.nextPts = ist.pts =
            AVUtilStubs.av_rescale_q(packet->dts, ist.st->time_base, MicrosecondBase);
    ist.pts = ist.nextPts;

    const AVMediaType type = ist.st->codecpar->codec_type;
    if (ist.decodingNeeded) {
        int ret = 0;
        switch (type) {
        case AVMEDIA_TYPE_AUDIO:
            ret = DecodeAudio(ist, packet);
            break;
        case AVMEDIA_TYPE_VIDEO:
            ret = DecodeVideo(ist, packet);
            break;
        case AVMEDIA_TYPE_SUBTITLE:
            ret = DecodeSubtitle(ist, packet);
            break;
        default:
            throw FFmpegException("invalid codec_type");
        }
        if (ret < 0)
            return ret;
        if (!packet) {
            for (auto& ost : osts) {
                if (!ost.encodingNeeded || &ists[static_cast<size_t>(ost.sourceIndex)] != &ist ||
                    ost.block != (e.joined_ ? joinedInput : 0))
                    continue;
                if (ost.setup->type == AVMEDIA_TYPE_AUDIO)
                    FlushAudio(ost, ist);
                else if (ost.setup->type == AVMEDIA_TYPE_VIDEO)
                    FlushVideo(ost);
            }
        }
    }
    if (!packet)
        return 0;

    // Stream copy of the same packet to the outputs that copy this stream.
    const AVCodecParameters* par = ist.st->codecpar;
    if (ist.decodingNeeded) {
        // the decoder keeps the stream's position
    } else if (type == AVMEDIA_TYPE_AUDIO && par->sample_rate > 0) {
        if (par->frame_size > 0)
            ist.nextPts += static_cast<int64_t>(par->frame_size) * AV_TIME_BASE / par->sample_rate;
        else if (packet->duration > 0)
            ist.nextPts +=
                AVUtilStubs.av_rescale_q(packet->duration, ist.st->time_base, MicrosecondBase);
    } else if (packet->duration > 0) {
        ist.nextPts +=
            AVUtilStubs.av_rescale_q(packet->duration, ist.st->time_base, MicrosecondBase);
    }
    if (e.StartTime != 0 && ist.pts < e.StartTime)
        return 0;
    for (auto& ost : osts) {
        if (ost.encodingNeeded || &ists[static_cast<size_t>(ost.sourceIndex)] != &ist)
            continue;
        if (e.joined_ && ost.block != joinedInput)
            continue;
        CopyPacket(ost, ist, packet);
    }
    return 0;
}

void TTranscodeRun::CopyPacket(TOutputStream& ost, TInputStream& ist, const AVPacket* packet) {
    if (!(ost.frameNumber > 0 || (packet->flags & AV_PKT_FLAG_KEY) || e.CopyInitialNonKeyframes))
        return;
    AVPacket* out = copyPkt.get();
    if (AVCodecStubs.av_packet_ref(out, packet) < 0)
        throw FFmpegException("av_malloc failed");
    const AVRational tb = ist.st->time_base;
    const int64_t start = AVUtilStubs.av_rescale_q(e.StartTime, MicrosecondBase, tb);
    out->pts = packet->pts != AV_NOPTS_VALUE ? packet->pts - start : AV_NOPTS_VALUE;
    out->dts =
        (packet->dts != AV_NOPTS_VALUE ? packet->dts
                                       : AVUtilStubs.av_rescale_q(ist.pts, MicrosecondBase, tb)) -
        start;
    const AVMediaType type = ost.setup->type;
    if (type == AVMEDIA_TYPE_AUDIO)
        audioSize += out->size;
    else if (type == AVMEDIA_TYPE_VIDEO) {
        videoSize += out->size;
        ++ost.syncOpts;
    }
    WritePacket(ost, out);
    ++ost.frameNumber;
}

// --- packet output ------------------------------------------------------------------

void TTranscodeRun::WritePacket(TOutputStream& ost, AVPacket* packet) {
    packet->stream_index = ost.st->index;
    WriteFiltered(ost, packet, 0);
}

void TTranscodeRun::WriteFiltered(TOutputStream& ost, AVPacket* packet, size_t level) {
    TBitstreamFilterChain& chain = ost.setup->bsfs;
    if (level < chain.size() && chain[level].Context) {
        AVBSFContext* bsf = chain[level].Context.get();
        // A failing filter ends the run under "xerror", else it is logged.
        auto failed = [&](int ret) {
            const std::string text = OpenErrorText(
                FormatText("%s failed for stream %d, codec %s", chain[level].Name.c_str(),
                           ost.index, ost.enc && ost.enc->codec ? ost.enc->codec->name : "copy"),
                ret);
            if (e.ExitOnError)
                throw FFmpegException(text);
            FFLogger().Log(&e, llError, text);
        };
        int ret = AVCodecStubs.av_bsf_send_packet(bsf, packet);
        if (ret < 0) {
            failed(ret);
            WriteFiltered(ost, packet, level + 1); // unfiltered
            return;
        }
        // The filter holds the packet now; fetch whatever it gives back.
        AVPacket* outPkt = packet; // the sent packet is blank again and can take output
        while ((ret = AVCodecStubs.av_bsf_receive_packet(bsf, outPkt)) >= 0)
            WriteFiltered(ost, outPkt, level + 1);
        if (ret != AVERROR(EAGAIN) && ret != AVERROR_EOF)
            failed(ret);
        return;
    }
    if (level < chain.size()) {
        WriteFiltered(ost, packet, level + 1);
        return;
    }
    // Packets reach the muxer in the stream's own time base.
    AVRational tb = ost.srcTimeBase;
    if (!chain.empty() && chain.back().Context)
        tb = chain.back().Context->time_base_out;
    AVCodecStubs.av_packet_rescale_ts(packet, tb, ost.st->time_base);
    packet->stream_index = ost.st->index;
    if (packet->pts != AV_NOPTS_VALUE)
        ost.curPts = std::max(ost.curPts, packet->pts + packet->duration);
    else if (packet->dts != AV_NOPTS_VALUE)
        ost.curPts = std::max(ost.curPts, packet->dts + packet->duration);
    const int ret = AVFormatStubs.av_interleaved_write_frame(ost.file->ctx, packet);
    if (ret < 0)
        throw FFmpegException(WriteErrorText(*ost.file, "av_interleaved_write_frame()", ret));
}

// --- progress -----------------------------------------------------------------------

namespace {

// "PSNR=Y:.. U:.. V:.. *:.. " of the last coded picture, or over every picture when final.
// The chroma planes have a quarter of the luma's samples.
std::string PsnrText(const TOutputStream& ost, bool final) {
    static const char planes[] = {'Y', 'U', 'V'};
    std::string text = "PSNR=";
    double errorSum = 0, scaleSum = 0;
    for (int j = 0; j < 3; ++j) {
        const double error = static_cast<double>(final ? ost.psnrTotal[j] : ost.psnrError[j]);
        double scale = static_cast<double>(ost.enc->width) * ost.enc->height * 255.0 * 255.0;
        if (final)
            scale *= static_cast<double>(std::max<int64_t>(ost.psnrFrames, 1));
        if (j > 0)
            scale /= 4;
        errorSum += error;
        scaleSum += scale;
        text += FormatText("%c:%2.2f ", planes[j], -10.0 * std::log10(error / scale));
    }
    return text + FormatText("*:%2.2f ", -10.0 * std::log10(errorSum / scaleSum));
}

} // namespace

void TTranscodeRun::Report(bool final) {
    AVFormatContext* oc = f.outputs[0]->ctx;
    int64_t totalSize = 0;
    if (oc->pb) {
        totalSize = AVFormatStubs.avio_size(oc->pb);
        if (totalSize <= 0)
            totalSize = AVFormatStubs.avio_seek(oc->pb, 0, SEEK_CUR);
    }
    std::string line;
    int frameNumber = -1, fps = -1;
    float quality = -1;
    bool videoSeen = false;
    for (const auto& ost : osts) {
        if (ost.setup->type != AVMEDIA_TYPE_VIDEO)
            continue;
        quality = ost.encodingNeeded ? static_cast<float>(ost.quality) / FF_QP2LAMBDA : -1;
        if (!videoSeen) {
            videoSeen = true;
            const double elapsed =
                static_cast<double>(AVUtilStubs.av_gettime_relative() - timerStart) / 1000000.0;
            if (ost.frameNumber < 1)
                return;
            frameNumber = static_cast<int>(ost.frameNumber);
            fps = elapsed > 1 ? static_cast<int>(frameNumber / elapsed + 0.5) : 0;
            line += FormatText("frame=%5d fps=%3d q=%3.1f ", frameNumber, fps, quality);
            if (final)
                line += "L";
            if (e.QpHistogram) {
                const long qp = std::lrint(quality);
                if (qp >= 0 && qp < static_cast<long>(std::size(qpHistogram)))
                    ++qpHistogram[qp];
                for (int j = 0; j < 32; ++j)
                    line += FormatText("%X", static_cast<int>(std::lrint(std::log2(
                                                 static_cast<double>(qpHistogram[j]) + 1))));
            }
            if (ost.encodingNeeded && (ost.enc->flags & AV_CODEC_FLAG_PSNR))
                line += PsnrText(ost, final);
        } else {
            line += FormatText("q=%2.1f ", quality);
        }
    }
    double ti1 = 1e10;
    for (const auto& ost : osts) {
        const double t = static_cast<double>(ost.curPts) * av_q2d(ost.st->time_base);
        if (t > 0 && t < ti1)
            ti1 = t;
    }
    if (ti1 < 0.01)
        ti1 = 0.01;
    if (e.OnProgress || e.Verbose > 0 || final) {
        const double bitrate = static_cast<double>(totalSize) * 8 / ti1 / 1000.0;
        line += FormatText("size=%8.0fkB time=%0.2f bitrate=%6.1fkbits/s",
                           static_cast<double>(totalSize) / 1024, ti1, bitrate);
        if (e.Verbose > 1)
            line += FormatText(" dup=%d drop=%d", dupFrames, dropFrames);
        if (e.OnProgress) {
            // Nothing written yet: report 0 rather than the 1e10 s placeholder.
            const double ms = ti1 >= 1e10 ? 0 : std::min(ti1 * 1000, 2147483647.0);
            e.OnProgress(&e, frameNumber, fps, static_cast<int>(ms), quality,
                         static_cast<float>(bitrate), totalSize,
                         static_cast<int>(e.ExpectedTotalDuration));
        } else if (e.Verbose >= 0) {
            FFLogger().Log(&e, llVerbose, line);
        }
    }
    if (final && e.Verbose >= 0) {
        const double sum = static_cast<double>(videoSize + audioSize + extraSize);
        // Nothing encoded: no overhead to relate, not a division by zero.
        const std::string overhead =
            sum > 0 ? FormatText("%f%%", (static_cast<double>(totalSize) - sum) * 100 / sum)
                    : std::string("unknown");
        FFLogger().Log(&e, llVerbose,
                       FormatText("video:%1.0fkB audio:%1.0fkB global headers:%1.0fkB muxing "
                                  "overhead %s\r\n",
                                  static_cast<double>(videoSize) / 1024,
                                  static_cast<double>(audioSize) / 1024,
                                  static_cast<double>(extraSize) / 1024, overhead.c_str()));
    }
}
