#include "AVProbe.h"

#include "FFUtils.h"
#include "FFmpegException.h"
#include "FFmpegLoader.h"
#include "FFmpegStubs.h"
#include "UnicodeProtocol.h"

#include <mutex>

TCustomAVProbe::TCustomAVProbe() = default;

TCustomAVProbe::~TCustomAVProbe() {
    // A virtual call from a destructor reaches this class's Close only, which
    // is what is wanted: derived state is gone by now.
    TCustomAVProbe::Close();
}

void TCustomAVProbe::CheckLibraries() {
    const TFFmpegLoader& loader = FFmpegLoader();
    if (!loader.LibLoaded(LibAVCodec))
        throw FFmpegException("LibAVCodec not loaded.");
    if (!loader.LibLoaded(LibAVFormat))
        throw FFmpegException("LibAVFormat not loaded.");
    if (!loader.LibLoaded(LibAVUtil))
        throw FFmpegException("LibAVUtil not loaded.");
    if (!loader.LibLoaded(LibSwScale))
        throw FFmpegException("LibSwScale not loaded.");
}

bool TCustomAVProbe::LoadFile(const QString& FileName, const std::string& ForcedFormat) {
    CheckLibraries();
    Close();

    const AVInputFormat* format = nullptr;
    if (!ForcedFormat.empty()) {
        format = AVFormatStubs.av_find_input_format(ForcedFormat.c_str());
        if (!format) {
            LastErrMsg_ = "Unknown input format: " + ForcedFormat;
            return false;
        }
    }

    const std::string name8 = FileNameBytes(FileName).toStdString();
    std::string libName;
    try {
        libName = FileNameForLib(FileName);
    } catch (const FFmpegException& e) {
        LastErrMsg_ = e.Message();
        return false;
    }

    AVFormatContext* ctx = AVFormatStubs.avformat_alloc_context();
    if (!ctx) {
        LastErrMsg_ = OpenErrorText(name8, -12);
        return false;
    }
    Context_ = ctx;
    Owned_ = true;

    const int result = OpenInputFile(&Context_, &UnicodeIO_, libName, format, nullptr);
    if (result != 0) {
        LastErrMsg_ = OpenErrorText(name8, result);
        Close();
        return false;
    }

    int infoResult;
    {
        std::lock_guard lock(LibraryLock);
        infoResult = AVFormatStubs.avformat_find_stream_info(Context_, nullptr);
    }
    if (infoResult < 0) {
        LastErrMsg_ = name8 + ": could not find codec parameters";
        Close();
        return false;
    }

    FillCounts();
    FormatName_ = ForcedFormat;
    return true;
}

void TCustomAVProbe::Attach(AVFormatContext* Context) {
    CheckLibraries();
    Close();
    Owned_ = false;
    Context_ = Context;
    if (Context_)
        FillCounts();
}

void TCustomAVProbe::Close() {
    FormatName_.clear();
    if (Context_ && Owned_) {
        if (AVFormatStubs.avformat_close_input)
            AVFormatStubs.avformat_close_input(&Context_);
    }
    if (UnicodeIO_ && AVFormatStubs.avio_context_free)
        CloseUnicodeIO(&UnicodeIO_);
    UnicodeIO_ = nullptr;
    Context_ = nullptr;
    Owned_ = false;
    ResetCounts();
}

void TCustomAVProbe::FillCounts() {
    StreamCount_ = static_cast<int>(Context_->nb_streams);
    ProgramCount_ = static_cast<int>(Context_->nb_programs);
    AudioStreamCount_ = 0;
    VideoStreamCount_ = 0;
    SubtitleStreamCount_ = 0;
    for (unsigned i = 0; i < Context_->nb_streams; ++i) {
        const AVStream* stream = Context_->streams[i];
        if (!stream || !stream->codecpar)
            continue;
        const int index = static_cast<int>(i);
        switch (stream->codecpar->codec_type) {
        case AVMEDIA_TYPE_VIDEO:
            ++VideoStreamCount_;
            if (FirstVideoStreamIndex_ < 0)
                FirstVideoStreamIndex_ = index;
            break;
        case AVMEDIA_TYPE_AUDIO:
            ++AudioStreamCount_;
            if (FirstAudioStreamIndex_ < 0)
                FirstAudioStreamIndex_ = index;
            break;
        case AVMEDIA_TYPE_SUBTITLE:
            ++SubtitleStreamCount_;
            if (FirstSubtitleStreamIndex_ < 0)
                FirstSubtitleStreamIndex_ = index;
            break;
        default:
            break;
        }
    }
}

int64_t TCustomAVProbe::Duration() const {
    if (!Context_ || Context_->duration == AV_NOPTS_VALUE || Context_->duration < 0)
        return -1;
    return Context_->duration;
}

void TCustomAVProbe::ResetCounts() {
    StreamCount_ = -1;
    ProgramCount_ = -1;
    AudioStreamCount_ = -1;
    VideoStreamCount_ = -1;
    SubtitleStreamCount_ = -1;
    FirstAudioStreamIndex_ = -1;
    FirstVideoStreamIndex_ = -1;
    FirstSubtitleStreamIndex_ = -1;
}

TAVProbe::~TAVProbe() {
    TAVProbe::Close();
}

void TAVProbe::Close() {
    // No picture-decoding state is ever created in this program; had it been,
    // its decoder would be closed here under LibraryLock.
    TCustomAVProbe::Close();
}
