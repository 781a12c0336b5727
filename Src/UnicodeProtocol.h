// File names for the media libraries.
//
// The container library takes file names as 8-bit text. A name that survives the
// conversion to the locale's character set is passed unchanged; any other name
// is passed as "unicode:utf8:" + the name in UTF-8, and the engine opens such a
// name itself through a custom AVIOContext (OpenUnicodeIO) that does the file
// I/O on the decoded name. Names that begin with a known protocol prefix
// ("http:", "pipe:", ...) are never rewritten.
//
// File names cross between QString and bytes through FileNameBytes /
// FileNameFromBytes (FileNames.h), which keep every byte.
//
// Used by the probe, by the engine when it opens inputs and outputs, and by the
// command line for its file arguments. All functions are thread-safe; the AVIO
// callbacks keep no state besides their own file descriptor.
#pragma once

#include "FileNames.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <string>

struct AVIOContext;

// The largest name, in bytes with its terminating zero, that is handed to the
// libraries. Longer names are refused with an FFmpegException.
inline constexpr size_t NameBufferSize = 2048;

// True when the name has to be encoded to reach the libraries intact: it does
// not survive the locale's character set, or the library would take its
// beginning for a protocol it does not have ("a:b.wav").
bool NeedsUnicodeName(const QString& name);
// "unicode:utf8:" followed by the name's bytes (UTF-8 for a well-formed name).
std::string EncodeName(const QString& name);
// True for texts longer than the prefix that begin with "unicode:utf8:".
bool IsEncodedName(const std::string& text);
// The wide name inside an encoded name (everything after the second ":").
QString DecodeName(const std::string& text);

// The file-system name (bytes) that a name for the libraries stands for: the
// name inside an encoded name, a plain name without a "file:" prefix. False
// for a name the library opens through a protocol of its own (pipe:, http:).
bool LocalFilePath(const std::string& libName, std::string& path);

// The 8-bit name to pass to the libraries. Throws FFmpegException when the
// result does not fit NameBufferSize.
std::string FileNameForLib(const QString& name);
// The inverse of FileNameForLib.
QString NameFromLib(const std::string& text);

// Opens an encoded name ("unicode:utf8:...") as an AVIOContext. flags are the
// library's AVIO_FLAG_READ (read an existing file), AVIO_FLAG_WRITE (create or
// truncate, write) or AVIO_FLAG_READ_WRITE (create or truncate, read and write).
// Returns 0 and sets *pb, or -2 (no such file or directory) on any failure.
int OpenUnicodeIO(const std::string& url, int flags, AVIOContext** pb);
// A writable, seekable (for a regular file) context on a descriptor that the
// caller keeps owning and closes after CloseUnicodeIO. Returns 0 and sets *pb,
// or AVERROR(ENOMEM).
int OpenDescriptorIO(int fd, AVIOContext** pb);
// Flushes and closes a context made by OpenUnicodeIO or OpenDescriptorIO and
// sets *pb to null.
// Returns 0, or a negative error when the final flush or close failed.
int CloseUnicodeIO(AVIOContext** pb);
