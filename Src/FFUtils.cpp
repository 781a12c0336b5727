#include "FFUtils.h"

#include "FFmpegLoader.h"
#include "FFmpegStubs.h"
#include "UnicodeProtocol.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cstring>

namespace {
// TBitmap::Format_RGB32 is 0xffRRGGBB per pixel: B, G, R, A bytes in memory.
constexpr AVPixelFormat kDefaultTarget = AV_PIX_FMT_BGRA;

std::string FormatWithName(const char* templ, const std::string& name) {
    const int size = std::snprintf(nullptr, 0, templ, name.c_str());
    std::string out(static_cast<size_t>(std::max(size, 0)), '\0');
    std::snprintf(out.data(), out.size() + 1, templ, name.c_str());
    return out;
}
} // namespace

int OpenErrorCode(int ffmpegError) {
    switch (ffmpegError) {
    case AVERROR_INVALIDDATA:
        return -22;
    case AVERROR_DEMUXER_NOT_FOUND:
    case AVERROR_MUXER_NOT_FOUND:
    case AVERROR_PROTOCOL_NOT_FOUND:
        return -42;
    default:
        return ffmpegError; // AVERROR(e) is -e here: the numbers already match
    }
}

namespace {
// Why the system refused to read or write a file: the error numbers that a file, a
// folder or a disc gives, with the system's own words. The operation's name stays out
// of these texts; the caller names the file.
struct TSystemError {
    int code; // negated error number
    const char* text;
};
constexpr TSystemError SystemErrors[] = {
    {-EACCES, "Permission denied"},
    {-EBADF, "Bad file descriptor"},
    {-EDQUOT, "Disk quota exceeded"},
    {-EEXIST, "File exists"},
    {-EFBIG, "File too large"},
    {-EISDIR, "Is a directory"},
    {-ELOOP, "Too many levels of symbolic links"},
    {-EMFILE, "Too many open files"},
    {-ENAMETOOLONG, "File name too long"},
    {-ENFILE, "Too many open files in system"},
    {-ENODEV, "No such device"},
    {-ENOSPC, "No space left on device"},
    {-ENOTDIR, "Not a directory"},
    {-ENXIO, "No such device or address"},
    {-EPIPE, "Broken pipe"},
    {-EROFS, "Read-only file system"},
    {-ESPIPE, "Illegal seek"},
    {-ESTALE, "Stale file handle"},
    {-ETXTBSY, "Text file busy"},
    {-ECONNREFUSED, "Connection refused"},
    {-ECONNRESET, "Connection reset by peer"},
    {-EHOSTUNREACH, "No route to host"},
    {-ENETUNREACH, "Network is unreachable"},
    {-ETIMEDOUT, "Connection timed out"},
};

const char* SystemErrorText(int code) {
    for (const TSystemError& e : SystemErrors)
        if (e.code == code)
            return e.text;
    return nullptr;
}
} // namespace

bool IsSystemError(int code) {
    return SystemErrorText(code) != nullptr;
}

std::string OpenErrorText(const std::string& fileName, int code) {
    if (const char* text = SystemErrorText(code))
        return fileName + ": " + text;
    const char* templ;
    switch (OpenErrorCode(code)) {
    case -42:
        templ = "%s: Unknown format";
        break;
    case -33:
        templ = "%s: Incorrect image filename syntax.\r\n"
                "Use '%%d' to specify the image number:\r\n"
                "  for img1.jpg, img2.jpg, ..., use 'img%%d.jpg';\r\n"
                "  for img001.jpg, img002.jpg, ..., use 'img%%03d.jpg'.";
        break;
    case -22:
        templ = "%s: Error while parsing header";
        break;
    case -12:
        templ = "%s: memory allocation error occurred";
        break;
    case -5:
        templ = "%s: I/O error occurred\r\n"
                "Usually that means that input file is truncated and/or corrupted.";
        break;
    case -2:
        templ = "%s: no such file or directory";
        break;
    default:
        templ = "%s: Error while opening file";
        break;
    }
    return FormatWithName(templ, fileName);
}

std::string NormaliseLineBreaks(const std::string& text) {
    std::string normal;
    normal.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            normal += '\n';
            if (i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
        } else {
            normal += text[i];
        }
    }
    return normal;
}

bool IsMainThread() {
    QCoreApplication* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

namespace {
struct TEngineWaiters {
    std::mutex Lock;
    std::condition_variable Changed;
    std::atomic<int> Count{0}; // threads inside WaitServingEvents
};
TEngineWaiters& Waiters() {
    // Never destroyed: detached notifier threads may still wake waiters while
    // the process ends.
    static TEngineWaiters* waiters = new TEngineWaiters;
    return *waiters;
}
} // namespace

void WaitServingEvents(const std::function<bool()>& ready) {
    TEngineWaiters& w = Waiters();
    w.Count.fetch_add(1);
    if (IsMainThread()) {
        QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
        while (!ready()) {
            if (dispatcher) {
                // A wake-up given before we get here is kept by the dispatcher,
                // so none is lost between the test and the sleep.
                QCoreApplication::processEvents(QEventLoop::AllEvents |
                                                QEventLoop::WaitForMoreEvents);
            } else {
                std::unique_lock lock(w.Lock);
                w.Changed.wait_for(lock, std::chrono::milliseconds(5));
            }
        }
    } else {
        std::unique_lock lock(w.Lock);
        w.Changed.wait(lock, ready);
    }
    w.Count.fetch_sub(1);
}

void NotifyEngineWaiters() {
    TEngineWaiters& w = Waiters();
    // A read-modify-write, not a plain load: it is ordered with the waiters'
    // increments, so a waiter counted after it sees the caller's state change
    // when it tests, and one counted before it is woken.
    if (w.Count.fetch_add(0) == 0)
        return;
    {
        std::lock_guard lock(w.Lock); // no waiter is between its test and its sleep
    }
    w.Changed.notify_all();
    if (QCoreApplication* app = QCoreApplication::instance())
        if (QAbstractEventDispatcher* dispatcher =
                QAbstractEventDispatcher::instance(app->thread()))
            dispatcher->wakeUp();
}

namespace {
// True when no demuxer claims the file's first bytes.
bool NoDemuxerRecognises(const std::string& libName) {
    AVIOContext* pb = nullptr;
    const bool own = IsEncodedName(libName);
    if (own ? OpenUnicodeIO(libName, AVIO_FLAG_READ, &pb) != 0
            : AVFormatStubs.avio_open(&pb, libName.c_str(), AVIO_FLAG_READ) < 0)
        return false; // cannot tell: keep the demuxer's own answer
    const AVInputFormat* probed = nullptr;
    const bool none =
        AVFormatStubs.av_probe_input_buffer2(pb, &probed, libName.c_str(), nullptr, 0, 0) < 0 ||
        !probed;
    if (own)
        CloseUnicodeIO(&pb);
    else
        AVFormatStubs.avio_closep(&pb);
    return none;
}
} // namespace

int OpenInputFile(AVFormatContext** ctx, AVIOContext** ownIO, const std::string& libName,
                  const AVInputFormat* format, AVDictionary** params) {
    int ret = 0;
    {
        std::lock_guard lock(LibraryLock);
        if (IsEncodedName(libName)) {
            ret = OpenUnicodeIO(libName, AVIO_FLAG_READ, ownIO);
            if (ret == 0) {
                (*ctx)->pb = *ownIO;
                (*ctx)->flags |= AVFMT_FLAG_CUSTOM_IO;
            }
        }
        // A failing avformat_open_input frees the context and nulls it.
        if (ret == 0)
            ret = AVFormatStubs.avformat_open_input(ctx, libName.c_str(), format, params);
    }
    if (ret >= 0)
        return 0;
    if (*ctx)
        AVFormatStubs.avformat_free_context(*ctx); // our own I/O failed before the open
    *ctx = nullptr;
    if (*ownIO)
        CloseUnicodeIO(ownIO);
    *ownIO = nullptr;
    if (ret == AVERROR_EOF)
        return -5; // the header ended early: a truncated file
    // Tell a file no demuxer recognises from a recognised one with a bad header.
    if (ret == AVERROR_INVALIDDATA && !format && NoDemuxerRecognises(libName))
        return -42;
    return OpenErrorCode(ret);
}

std::string TrimText(const std::string& text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && static_cast<unsigned char>(text[begin]) <= ' ')
        ++begin;
    while (end > begin && static_cast<unsigned char>(text[end - 1]) <= ' ')
        --end;
    return text.substr(begin, end - begin);
}

bool EncoderAvailable(const std::string& name) {
    if (!AVCodecStubs.avcodec_find_encoder_by_name)
        return false;
    const AVCodec* codec = AVCodecStubs.avcodec_find_encoder_by_name(name.c_str());
    return codec && AVCodecStubs.av_codec_is_encoder && AVCodecStubs.av_codec_is_encoder(codec);
}

std::string LibraryErrorText(int code) {
    char text[256] = {};
    AVUtilStubs.av_strerror(code, text, sizeof text);
    return text;
}

bool FilterAvailable(const std::string& name) {
    return AVFilterStubs.avfilter_get_by_name &&
           AVFilterStubs.avfilter_get_by_name(name.c_str()) != nullptr;
}

const char* MediaTypeName(unsigned mediaType) {
    static const char* const names[] = {"Video", "Audio", "Data", "Subtitle", "Attachment"};
    return mediaType < 5 ? names[mediaType] : "Unknown";
}

std::string FormatTimestamp(int64_t t) {
    if (t == AV_NOPTS_VALUE)
        return "N/A";
    const int64_t hours = t / 1000000 / 60 / 60;
    const int64_t minutes = (t / 1000000 / 60) % 60;
    const int64_t seconds = (t / 1000000) % 60;
    const int64_t millis = (t % 1000000) * 1000 / 1000000;
    char text[64];
    std::snprintf(text, sizeof text, "%.2lld:%.2lld:%.2lld.%.3lld", static_cast<long long>(hours),
                  static_cast<long long>(minutes), static_cast<long long>(seconds),
                  static_cast<long long>(millis));
    return text;
}

TBitmap CreateBitmap(int width, int height, TBitmap::Format format) {
    TBitmap image(std::max(width, 1), std::max(height, 1), format);
    image.fill(0xFFFFFFFFu);
    return image;
}

TBitmapState::~TBitmapState() {
    Release();
}

void TBitmapState::Release() {
    Bitmap = TBitmap();
    if (buffer_ && AVUtilStubs.av_free)
        AVUtilStubs.av_free(buffer_);
    buffer_ = nullptr;
    bufferSize_ = 0;
    if (scaler_ && SwScaleStubs.sws_freeContext)
        SwScaleStubs.sws_freeContext(scaler_);
    scaler_ = nullptr;
    TargetFormat = kDefaultTarget;
}

bool PictureToBitmap(TBitmapState& state, const uint8_t* const data[], const int linesize[],
                     int pixFmt, int height, int width) {
    if (width <= 0 || height <= 0)
        return false;
    if (state.TargetFormat < 0)
        state.TargetFormat = kDefaultTarget;
    if (state.Bitmap.isNull() || state.Bitmap.width() != width || state.Bitmap.height() != height)
        state.Bitmap = CreateBitmap(width, height, state.BitmapFormat);

    const uint8_t* plane = data[0];
    int stride = linesize[0];
    uint8_t* targetData[4] = {};
    int targetLinesize[4] = {};
    if (pixFmt != state.TargetFormat) {
        const auto target = static_cast<AVPixelFormat>(state.TargetFormat);
        const int size = AVUtilStubs.av_image_get_buffer_size(target, width, height, 1);
        if (size <= 0)
            return false;
        if (!state.buffer_ || state.bufferSize_ < size) {
            AVUtilStubs.av_free(state.buffer_);
            state.buffer_ = static_cast<uint8_t*>(AVUtilStubs.av_malloc(static_cast<size_t>(size)));
            state.bufferSize_ = state.buffer_ ? size : 0;
            if (!state.buffer_)
                return false;
        }
        AVUtilStubs.av_image_fill_arrays(targetData, targetLinesize, state.buffer_, target, width,
                                         height, 1);
        state.scaler_ = SwScaleStubs.sws_getCachedContext(
            state.scaler_, width, height, static_cast<AVPixelFormat>(pixFmt), width, height, target,
            SWS_BICUBIC, nullptr, nullptr, nullptr);
        if (!state.scaler_)
            return false;
        SwScaleStubs.sws_scale(state.scaler_, data, linesize, 0, height, targetData,
                               targetLinesize);
        plane = targetData[0];
        stride = targetLinesize[0];
    }
    // Never copy more than a scan line holds, whatever the source's padding.
    const auto rowBytes =
        static_cast<size_t>(std::min(std::abs(stride), state.Bitmap.bytesPerLine()));
    for (int row = 0; row < height; ++row)
        std::memcpy(state.Bitmap.scanLine(row), plane + static_cast<ptrdiff_t>(row) * stride,
                    rowBytes);
    return true;
}
