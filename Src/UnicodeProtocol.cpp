#include "UnicodeProtocol.h"

#include "FFmpegException.h"
#include "FFmpegStubs.h"

#include <QFile>

#include <fcntl.h>
#include <iconv.h>
#include <langinfo.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace {

constexpr char kEncodedPrefix[] = "unicode:utf8:";
constexpr size_t kEncodedPrefixLength = sizeof kEncodedPrefix - 1;
constexpr char kKnownProtocols[] = ":unicode:stream:gopher:http:pipe:rtp:tcp:udp:";
constexpr int kIOBufferSize = 64 * 1024;

// Converts UTF-8 text into the locale's character set and back; false when
// some character does not survive.
bool SurvivesLocaleCharset(const QByteArray& utf8) {
    const char* codeset = nl_langinfo(CODESET);
    if (!codeset || strcasecmp(codeset, "UTF-8") == 0 || strcasecmp(codeset, "utf8") == 0)
        return true;
    auto convert = [](const char* to, const char* from, const QByteArray& in, QByteArray& out) {
        iconv_t cd = iconv_open(to, from);
        if (cd == reinterpret_cast<iconv_t>(-1))
            return false;
        out.resize(in.size() * 4 + 16);
        char* src = const_cast<char*>(in.constData());
        size_t srcLeft = static_cast<size_t>(in.size());
        char* dst = out.data();
        size_t dstLeft = static_cast<size_t>(out.size());
        const size_t rc = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
        iconv_close(cd);
        if (rc == static_cast<size_t>(-1) || srcLeft != 0)
            return false;
        out.resize(out.size() - static_cast<qsizetype>(dstLeft));
        return true;
    };
    QByteArray local, back;
    return convert(codeset, "UTF-8", utf8, local) && convert("UTF-8", codeset, local, back) &&
           back == utf8;
}

struct UnicodeFile {
    int fd = -1;
};

int ReadPacket(void* opaque, uint8_t* buffer, int size) {
    auto* file = static_cast<UnicodeFile*>(opaque);
    ssize_t n;
    do {
        n = ::read(file->fd, buffer, static_cast<size_t>(size));
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return -1;
    return n == 0 ? AVERROR_EOF : static_cast<int>(n);
}

int WritePacket(void* opaque, uint8_t* buffer, int size) {
    auto* file = static_cast<UnicodeFile*>(opaque);
    size_t done = 0;
    while (done < static_cast<size_t>(size)) {
        const ssize_t n = ::write(file->fd, buffer + done, static_cast<size_t>(size) - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        done += static_cast<size_t>(n);
    }
    return size;
}

int64_t Seek(void* opaque, int64_t offset, int whence) {
    auto* file = static_cast<UnicodeFile*>(opaque);
    if (whence & AVSEEK_SIZE) {
        struct stat st {};
        return fstat(file->fd, &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
    }
    const off_t pos = lseek(file->fd, static_cast<off_t>(offset), whence & ~AVSEEK_FORCE);
    return pos < 0 ? -1 : static_cast<int64_t>(pos);
}

} // namespace

bool NeedsUnicodeName(const QString& name) {
    const qsizetype colon = name.indexOf(QLatin1Char(':'));
    if (colon >= 0) {
        const std::string token = ":" + name.left(colon).toStdString() + ":";
        if (std::strstr(kKnownProtocols, token.c_str()))
            return false;
    }
    const QByteArray utf8 = name.toUtf8();
    // Lone surrogates do not survive the UTF-8 round trip either.
    if (QString::fromUtf8(utf8) != name)
        return true;
    return !SurvivesLocaleCharset(utf8);
}

std::string EncodeName(const QString& name) {
    return std::string(kEncodedPrefix) + name.toUtf8().toStdString();
}

bool IsEncodedName(const std::string& text) {
    return text.size() > kEncodedPrefixLength &&
           text.compare(0, kEncodedPrefixLength, kEncodedPrefix) == 0;
}

QString DecodeName(const std::string& text) {
    QString name = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    for (int i = 0; i < 2; ++i) {
        const qsizetype colon = name.indexOf(QLatin1Char(':'));
        name = colon >= 0 ? name.mid(colon + 1) : name;
    }
    return name;
}

std::string FileNameForLib(const QString& name) {
    std::string result = NeedsUnicodeName(name) ? EncodeName(name) : name.toUtf8().toStdString();
    if (result.size() + 1 > NameBufferSize)
        throw FFmpegException("File name too long (" + std::to_string(result.size()) +
                              " bytes, at most " + std::to_string(NameBufferSize - 1) +
                              "): " + result.substr(0, 64) + "...");
    return result;
}

QString NameFromLib(const std::string& text) {
    if (IsEncodedName(text))
        return DecodeName(text);
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

int OpenUnicodeIO(const std::string& url, int flags, AVIOContext** pb) {
    *pb = nullptr;
    const QByteArray path = QFile::encodeName(DecodeName(url));
    int mode;
    if ((flags & AVIO_FLAG_READ_WRITE) == AVIO_FLAG_READ_WRITE)
        mode = O_RDWR | O_CREAT | O_TRUNC;
    else if (flags & AVIO_FLAG_WRITE)
        mode = O_WRONLY | O_CREAT | O_TRUNC;
    else
        mode = O_RDONLY;
    auto file = std::make_unique<UnicodeFile>();
    file->fd = ::open(path.constData(), mode | O_CLOEXEC, 0644);
    if (file->fd < 0)
        return -2;
    auto* buffer = static_cast<unsigned char*>(AVUtilStubs.av_malloc(kIOBufferSize));
    if (!buffer) {
        ::close(file->fd);
        return -2;
    }
    const bool writable = (flags & AVIO_FLAG_WRITE) != 0;
    AVIOContext* ctx = AVFormatStubs.avio_alloc_context(
        buffer, kIOBufferSize, writable ? 1 : 0, file.get(),
        (flags & AVIO_FLAG_READ) ? ReadPacket : nullptr, writable ? WritePacket : nullptr, Seek);
    if (!ctx) {
        AVUtilStubs.av_free(buffer);
        ::close(file->fd);
        return -2;
    }
    ctx->seekable = AVIO_SEEKABLE_NORMAL;
    file.release();
    *pb = ctx;
    return 0;
}

int CloseUnicodeIO(AVIOContext** pb) {
    if (!pb || !*pb)
        return 0;
    AVIOContext* ctx = *pb;
    int result = 0;
    if (ctx->write_flag) {
        AVFormatStubs.avio_flush(ctx);
        if (ctx->error < 0)
            result = ctx->error;
    }
    auto* file = static_cast<UnicodeFile*>(ctx->opaque);
    AVUtilStubs.av_freep(&ctx->buffer);
    AVFormatStubs.avio_context_free(pb);
    if (file) {
        if (::close(file->fd) != 0 && result == 0)
            result = AVERROR(errno);
        delete file;
    }
    return result;
}
