// Small helpers shared by the probe and the engine: why a media file could not
// be opened, media type names, time stamp texts, and decoded pictures turned
// into bitmaps (TBitmap) for the preview and the frame hooks.
#pragma once

#include "Bitmap.h"

#include <cstdint>
#include <functional>
#include <string>

struct SwsContext;
struct AVFormatContext;
struct AVIOContext;
struct AVInputFormat;
struct AVDictionary;

// The engine's open-error codes are negated error numbers (-2 no such file, -5
// I/O error, -12 out of memory, -22 invalid data, -33 number expected, -42
// unknown format). FFmpeg's own codes are mapped onto them by meaning.
int OpenErrorCode(int ffmpegError);
// The explanation for a file that could not be opened; code is an engine code or
// an FFmpeg error code. The errors a file system or a connection gives (a full disc,
// a quota, a read-only file, a closed pipe, ...) read as the system says them:
// "out.mp3: No space left on device".
std::string OpenErrorText(const std::string& fileName, int code);
// Whether code is one of those system errors: a failed write of that kind is said with
// the name of the file written, not of the operation that wrote it.
bool IsSystemError(int code);
// The media libraries' text for one of their error codes.
std::string LibraryErrorText(int code);

// Opens a media file for reading, as the probe and the engine both do: through
// our own I/O for an encoded name (UnicodeProtocol.h), under LibraryLock, with
// the forced format (null: probe the file) and the demuxer parameters (may be
// null). *ctx is a context made by avformat_alloc_context with the caller's
// settings. Returns 0 when open; otherwise the engine's open-error code for
// OpenErrorText, with *ctx freed and *ownIO closed (both null). A file that
// no demuxer recognises gives -42 (unknown format), one whose demuxer found a
// bad header -22, a header cut short -5.
int OpenInputFile(AVFormatContext** ctx, AVIOContext** ownIO, const std::string& libName,
                  const AVInputFormat* format, AVDictionary** params);

// The text without leading and trailing blanks and control characters.
std::string TrimText(const std::string& text);

// The text with every "\r\n" and lone "\r" turned into "\n".
std::string NormaliseLineBreaks(const std::string& text);

// True on the thread of the Qt application (false when there is none).
bool IsMainThread();

// Waits until ready() holds. On the main thread the wait keeps serving the event
// loop (workers hand it log lines and preview frames) and sleeps in it until an
// event arrives or NotifyEngineWaiters wakes it; on other threads it is a plain
// condition wait. ready() must not block or notify: it runs under the waiters'
// mutex off the main thread.
void WaitServingEvents(const std::function<bool()>& ready);
// Wakes every WaitServingEvents so that it tests its condition again. Call it
// after changing what a waiter may be waiting for; cheap when nobody waits.
void NotifyEngineWaiters();

// True when the loaded codec library has an encoder of that name (false while
// the libraries are not loaded).
bool EncoderAvailable(const std::string& name);

// True when the loaded filter library has a filter of that name (false while the
// libraries are not loaded).
bool FilterAvailable(const std::string& name);

// "Video", "Audio", "Data", "Subtitle", "Attachment", else "Unknown".
const char* MediaTypeName(unsigned mediaType);

// "hh:mm:ss.mmm" of a time stamp in microseconds; "N/A" for a missing one.
std::string FormatTimestamp(int64_t timestamp);

// A new bitmap of that size and format, cleared.
TBitmap CreateBitmap(int width, int height, TBitmap::Format format);

// Reused state of PictureToBitmap: the bitmap, the converted picture and the
// scaler. One state per caller thread; Release frees everything.
class TBitmapState {
public:
    TBitmapState() = default;
    ~TBitmapState();
    TBitmapState(const TBitmapState&) = delete;
    TBitmapState& operator=(const TBitmapState&) = delete;

    void Release();

    TBitmap Bitmap;
    TBitmap::Format BitmapFormat = TBitmap::Format_RGB32;
    int TargetFormat = -1; // AVPixelFormat matching BitmapFormat; -1 = the default (BGRA)

private:
    friend bool PictureToBitmap(TBitmapState&, const uint8_t* const[], const int[], int, int, int);
    uint8_t* buffer_ = nullptr;
    int bufferSize_ = 0;
    SwsContext* scaler_ = nullptr;
};

// Converts a decoded picture (planes and line sizes in pixel format pixFmt) into
// state.Bitmap (width x height). False when no scaler can convert the format.
bool PictureToBitmap(TBitmapState& state, const uint8_t* const data[], const int linesize[],
                     int pixFmt, int height, int width);
