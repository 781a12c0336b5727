#include "FileNames.h"

#include <QByteArrayView>
#include <QFile>

#include <cerrno>
#include <string>

#include <unistd.h>

namespace {

constexpr char16_t kEscapeBase = 0xDC00; // a byte b outside UTF-8 is U+DC00 + b

// The length of the well-formed UTF-8 sequence at bytes[at], 0 when there is none.
qsizetype Utf8SequenceLength(const QByteArray& bytes, qsizetype at) {
    const auto lead = static_cast<unsigned char>(bytes[at]);
    if (lead < 0x80)
        return 1;
    const qsizetype length = lead >= 0xC2 && lead <= 0xDF   ? 2
                             : lead >= 0xE0 && lead <= 0xEF ? 3
                             : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                            : 0;
    if (length == 0 || at + length > bytes.size())
        return 0;
    return QByteArrayView(bytes.constData() + at, length).isValidUtf8() ? length : 0;
}

bool IsEscapedByte(const QString& name, qsizetype at) {
    const char16_t c = name[at].unicode();
    return c >= kEscapeBase + 0x80 && c <= kEscapeBase + 0xFF &&
           (at == 0 || !QChar::isHighSurrogate(name[at - 1].unicode()));
}

} // namespace

QByteArray FileNameBytes(const QString& name) {
    bool escaped = false;
    for (qsizetype i = 0; i < name.size() && !escaped; ++i)
        escaped = IsEscapedByte(name, i);
    if (!escaped)
        return QFile::encodeName(name);
    QByteArray bytes;
    qsizetype runStart = 0;
    for (qsizetype i = 0; i < name.size(); ++i) {
        if (!IsEscapedByte(name, i))
            continue;
        bytes += QFile::encodeName(name.mid(runStart, i - runStart));
        bytes += static_cast<char>(name[i].unicode() - kEscapeBase);
        runStart = i + 1;
    }
    bytes += QFile::encodeName(name.mid(runStart));
    return bytes;
}

QString FileNameFromBytes(const QByteArray& bytes) {
    if (QByteArrayView(bytes).isValidUtf8())
        return QFile::decodeName(bytes);
    QString name;
    qsizetype runStart = 0;
    for (qsizetype i = 0; i < bytes.size();) {
        const qsizetype length = Utf8SequenceLength(bytes, i);
        if (length > 0) {
            i += length;
            continue;
        }
        name += QFile::decodeName(bytes.mid(runStart, i - runStart));
        name += QChar(static_cast<char16_t>(kEscapeBase + static_cast<unsigned char>(bytes[i])));
        runStart = ++i;
    }
    name += QFile::decodeName(bytes.mid(runStart));
    return name;
}

QByteArray AbsoluteNameBytes(const QByteArray& name) {
    if (name.startsWith('/'))
        return name;
    std::string folder(4096, '\0');
    while (!::getcwd(folder.data(), folder.size())) {
        if (errno != ERANGE)
            return name; // relative to a folder we cannot name: still the right file
        folder.resize(folder.size() * 2);
    }
    folder.resize(std::char_traits<char>::length(folder.c_str()));
    return QByteArray::fromStdString(folder) + (folder == "/" ? "" : "/") + name;
}
