#include "FFUtils.h"

#include "FFmpegStubs.h"

#include <QCoreApplication>
#include <QThread>

#include <algorithm>
#include <cstring>

namespace {
// QImage::Format_RGB32 is 0xffRRGGBB per pixel: B, G, R, A bytes in memory.
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

std::string OpenErrorText(const std::string& fileName, int code) {
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

QImage CreateBitmap(int width, int height, QImage::Format format) {
    QImage image(std::max(width, 1), std::max(height, 1), format);
    image.fill(Qt::white);
    return image;
}

TBitmapState::~TBitmapState() {
    Release();
}

void TBitmapState::Release() {
    Bitmap = QImage();
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
        static_cast<size_t>(std::min<qsizetype>(std::abs(stride), state.Bitmap.bytesPerLine()));
    for (int row = 0; row < height; ++row)
        std::memcpy(state.Bitmap.scanLine(row), plane + static_cast<ptrdiff_t>(row) * stride,
                    rowBytes);
    return true;
}
