// The media probe: opens a media file with the container library and reports
// how many streams of each kind it holds and where the first of each kind is,
// or a readable reason why the file cannot be read.
//
// Callers: the application probes every grabbed WAV file through the
// conversion component's own probe (TCustomFFmpegConverter::AVProbe) before
// converting it; each conversion task owns a probe attached to the task's own
// opened input (Attach) instead of opening the file a second time; the CLI's
// "probe" command.
//
//     TCustomAVProbe --LoadFile--> avformat_open_input + find_stream_info
//                    --Attach----> a context someone else opened (not closed here)
//
// Threads: a probe is used by one thread at a time (in this program the main
// thread). The libraries must stay loaded while a file is open.
//
// Errors: missing libraries raise FFmpegException ("LibAVCodec not loaded."
// ...); every other failure of LoadFile returns false with the reason in
// LastErrMsg() and leaves nothing open.
#pragma once

#include <QString>

#include <cstdint>
#include <string>

struct AVFormatContext;
struct AVIOContext;

class TCustomAVProbe {
public:
    TCustomAVProbe();
    // Calls Close.
    virtual ~TCustomAVProbe();
    TCustomAVProbe(const TCustomAVProbe&) = delete;
    TCustomAVProbe& operator=(const TCustomAVProbe&) = delete;

    // Raises FFmpegException naming the first of LibAVCodec, LibAVFormat,
    // LibAVUtil, LibSwScale that is not bound.
    static void CheckLibraries();

    // Opens FileName (optionally with a forced container format, empty =
    // detect) and reads its stream parameters. Closes any file open before.
    // False with LastErrMsg set on failure; nothing stays open then.
    bool LoadFile(const QString& FileName, const std::string& ForcedFormat = std::string());
    // Describes a context that someone else opened and will close. A null
    // context leaves the probe closed.
    virtual void Attach(AVFormatContext* Context);
    // Forgets the file; closes it only when the probe opened it itself.
    virtual void Close();

    const std::string& LastErrMsg() const { return LastErrMsg_; }
    // The forced input format of the last successful LoadFile (may be empty).
    const std::string& FormatName() const { return FormatName_; }
    // All counts and indexes are -1 while no file is open.
    int StreamCount() const { return StreamCount_; }
    int ProgramCount() const { return ProgramCount_; }
    int AudioStreamCount() const { return AudioStreamCount_; }
    int VideoStreamCount() const { return VideoStreamCount_; }
    int SubtitleStreamCount() const { return SubtitleStreamCount_; }
    int FirstAudioStreamIndex() const { return FirstAudioStreamIndex_; }
    int FirstVideoStreamIndex() const { return FirstVideoStreamIndex_; }
    int FirstSubtitleStreamIndex() const { return FirstSubtitleStreamIndex_; }

    // The file's duration in microseconds as the container gives it; -1 when it
    // is unknown or no file is open.
    int64_t Duration() const;

    // The described context, null when none; owned only when Owned().
    AVFormatContext* FormatContext() const { return Context_; }
    bool Owned() const { return Owned_; }

private:
    void FillCounts();
    void ResetCounts();

    AVFormatContext* Context_ = nullptr;
    AVIOContext* UnicodeIO_ = nullptr; // our own I/O for encoded names, when owned
    bool Owned_ = false;
    std::string LastErrMsg_;
    std::string FormatName_;
    int StreamCount_ = -1;
    int ProgramCount_ = -1;
    int AudioStreamCount_ = -1;
    int VideoStreamCount_ = -1;
    int SubtitleStreamCount_ = -1;
    int FirstAudioStreamIndex_ = -1;
    int FirstVideoStreamIndex_ = -1;
    int FirstSubtitleStreamIndex_ = -1;
};

// The probe the component and the tasks create. Its picture-decoding state
// (for thumbnails) is never created in this program, so Close only forgets the
// file like the base class does.
class TAVProbe : public TCustomAVProbe {
public:
    TAVProbe() = default;
    ~TAVProbe() override;
    void Close() override;
};
