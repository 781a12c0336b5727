#include "UnicodeProtocol.h"

#include "FileNames.h"

#include "FFmpegException.h"
#include "FFmpegStubs.h"

#include <QByteArrayView>
#include <QFile>

#include <fcntl.h>
#include <iconv.h>
#include <langinfo.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>

namespace {

constexpr char kEncodedPrefix[] = "unicode:utf8:";
constexpr size_t kEncodedPrefixLength = sizeof kEncodedPrefix - 1;
constexpr char kKnownProtocols[] = ":unicode:stream:gopher:http:pipe:rtp:tcp:udp:";
constexpr int kIOBufferSize = 64 * 1024;

// "name:" at the start of a text, where name has only the characters the
// library allows in a protocol name; empty when there is none.
std::string ProtocolPrefix(const QByteArray& bytes) {
    qsizetype i = 0;
    while (i < bytes.size() && (std::isalnum(static_cast<unsigned char>(bytes[i])) ||
                                bytes[i] == '+' || bytes[i] == '-' || bytes[i] == '.'))
        ++i;
    if (i == 0 || i >= bytes.size() || bytes[i] != ':')
        return {};
    return bytes.left(i).toStdString();
}

bool KnownProtocol(const std::string& prefix) {
    return !prefix.empty() && std::strstr(kKnownProtocols, (":" + prefix + ":").c_str());
}

// False when the library would read the beginning of the name as the name of
// a protocol it does not have ("a:b.wav", "Track 1:2.wav" is fine).
bool LibraryTakesName(const QByteArray& bytes) {
    if (ProtocolPrefix(bytes).empty() || !AVFormatStubs.avio_find_protocol_name)
        return true;
    return AVFormatStubs.avio_find_protocol_name(bytes.constData()) != nullptr;
}

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
    bool ownsFd = true;
};

int ReadPacket(void* opaque, uint8_t* buffer, int size) {
    auto* file = static_cast<UnicodeFile*>(opaque);
    ssize_t n;
    do {
        n = ::read(file->fd, buffer, static_cast<size_t>(size));
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return AVERROR(errno);
    return n == 0 ? AVERROR_EOF : static_cast<int>(n);
}

int WritePacket(void* opaque, uint8_t* buffer, int size) {
    auto* file = static_cast<UnicodeFile*>(opaque);
    size_t done = 0;
    while (done < static_cast<size_t>(size)) {
        const ssize_t n = ::write(file->fd, buffer + done, static_cast<size_t>(size) - done);
        if (n < 0 && errno == EINTR)
            continue;
        // The reason (a full disc, a file-size limit) reaches the run's error text.
        if (n < 0)
            return AVERROR(errno);
        if (n == 0)
            return AVERROR(EIO);
        done += static_cast<size_t>(n);
    }
    return size;
}

int64_t Seek(void* opaque, int64_t offset, int whence) {
    auto* file = static_cast<UnicodeFile*>(opaque);
    if (whence & AVSEEK_SIZE) {
        struct stat st {};
        return fstat(file->fd, &st) == 0 ? static_cast<int64_t>(st.st_size) : AVERROR(errno);
    }
    const off_t pos = lseek(file->fd, static_cast<off_t>(offset), whence & ~AVSEEK_FORCE);
    return pos < 0 ? AVERROR(errno) : static_cast<int64_t>(pos);
}

} // namespace

bool NeedsUnicodeName(const QString& name) {
    const qsizetype colon = name.indexOf(QLatin1Char(':'));
    if (colon >= 0 && KnownProtocol(name.left(colon).toStdString()))
        return false;
    const QByteArray bytes = FileNameBytes(name);
    // A lone surrogate that stands for no byte has no file-system form at all.
    if (FileNameFromBytes(bytes) != name)
        return true;
    if (!LibraryTakesName(bytes))
        return true;
    return !SurvivesLocaleCharset(bytes);
}

std::string EncodeName(const QString& name) {
    return std::string(kEncodedPrefix) + FileNameBytes(name).toStdString();
}

bool IsEncodedName(const std::string& text) {
    return text.size() > kEncodedPrefixLength &&
           text.compare(0, kEncodedPrefixLength, kEncodedPrefix) == 0;
}

QString DecodeName(const std::string& text) {
    // "unicode:" + the character set + ":" + the name's bytes.
    size_t at = 0;
    for (int i = 0; i < 2; ++i) {
        const size_t colon = text.find(':', at);
        if (colon != std::string::npos)
            at = colon + 1;
    }
    return FileNameFromBytes(QByteArray::fromStdString(text.substr(at)));
}

std::string FileNameForLib(const QString& name) {
    std::string result =
        NeedsUnicodeName(name) ? EncodeName(name) : FileNameBytes(name).toStdString();
    if (result.size() + 1 > NameBufferSize)
        throw FFmpegException("File name too long (" + std::to_string(result.size()) +
                              " bytes, at most " + std::to_string(NameBufferSize - 1) +
                              "): " + result.substr(0, 64) + "...");
    return result;
}

QString NameFromLib(const std::string& text) {
    if (IsEncodedName(text))
        return DecodeName(text);
    return FileNameFromBytes(QByteArray::fromStdString(text));
}

bool LocalFilePath(const std::string& libName, std::string& path) {
    if (IsEncodedName(libName)) {
        path = libName.substr(kEncodedPrefixLength);
        return true;
    }
    const std::string prefix = ProtocolPrefix(QByteArray::fromStdString(libName));
    if (KnownProtocol(prefix))
        return false;
    const char* protocol = AVFormatStubs.avio_find_protocol_name
                               ? AVFormatStubs.avio_find_protocol_name(libName.c_str())
                               : nullptr;
    if (protocol && std::strcmp(protocol, "file") != 0)
        return false;
    path = prefix == "file" ? libName.substr(5) : libName;
    return !path.empty();
}

int OpenUnicodeIO(const std::string& url, int flags, AVIOContext** pb) {
    *pb = nullptr;
    const QByteArray path = FileNameBytes(DecodeName(url));
    int mode;
    if ((flags & AVIO_FLAG_READ_WRITE) == AVIO_FLAG_READ_WRITE)
        mode = O_RDWR | O_CREAT | O_TRUNC;
    else if (flags & AVIO_FLAG_WRITE)
        mode = O_WRONLY | O_CREAT | O_TRUNC;
    else
        mode = O_RDONLY;
    auto file = std::make_unique<UnicodeFile>();
    file->fd = ::open(path.constData(), mode | O_CLOEXEC, 0666); // the umask decides
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

int OpenDescriptorIO(int fd, AVIOContext** pb) {
    *pb = nullptr;
    auto file = std::make_unique<UnicodeFile>();
    file->fd = fd;
    file->ownsFd = false;
    auto* buffer = static_cast<unsigned char*>(AVUtilStubs.av_malloc(kIOBufferSize));
    if (!buffer)
        return AVERROR(ENOMEM);
    AVIOContext* ctx = AVFormatStubs.avio_alloc_context(buffer, kIOBufferSize, 1, file.get(),
                                                        nullptr, WritePacket, Seek);
    if (!ctx) {
        AVUtilStubs.av_free(buffer);
        return AVERROR(ENOMEM);
    }
    // A device or FIFO cannot go back: the muxer then leaves its header as first written.
    struct stat st {};
    ctx->seekable = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? AVIO_SEEKABLE_NORMAL : 0;
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
        if (file->ownsFd && ::close(file->fd) != 0 && result == 0)
            result = AVERROR(errno);
        delete file;
    }
    return result;
}
