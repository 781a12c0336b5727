// The option vocabulary of the transcoding engine.
//
// TFFmpegOptions holds the engine's current settings (with their defaults), the
// dispatcher SetOption that maps a command-line-style option name and its text
// value onto those settings, presets, targets, bitstream-filter chains,
// metadata pairs, stream and metadata maps, and the generic option store that
// passes every other name through to the media libraries' option tables.
//
// The transcoding engine TCustomFFmpeg derives from this class and adds files,
// streams and the transcode loop; it overrides the protected hooks below for the
// options that need open files. The class is also usable on its own (the CLI's
// "options" command and the tests), in which case the hooks keep their defaults.
//
// Threads: an object is configured on one thread at a time (the component's
// main thread); the transcode thread only reads the settings afterwards.
// Requires the media libraries to be loaded (FFmpegLoader) before construction:
// the constructor creates the generic option store when they are bound.
//
// Errors: every failure raises FFmpegException with its complete message; a
// value that is not a number where one is required raises EConvertError (also an
// FFmpegException, so callers that catch FFmpegException treat both alike).
// Settings applied before a failure stay in place.
#pragma once

#include "FFmpegException.h"

#include <climits>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

struct AVBSFContext;
struct AVCodecContext;
struct AVFormatContext;
struct AVInputFormat;
struct AVOutputFormat;
struct SwsContext;

// A text that is no number where a number is required ("'x' is not a valid
// integer value", "'x' is not a valid floating point value").
class EConvertError : public FFmpegException {
public:
    explicit EConvertError(const std::string& message) : FFmpegException(message) {}
};

// Media types in the order of the library's AVMediaType (video 0 ... attachment 4).
enum TOptionMediaType : int {
    omtVideo = 0,
    omtAudio = 1,
    omtData = 2,
    omtSubtitle = 3,
    omtAttachment = 4,
};
inline constexpr int OptionMediaTypeCount = 5;

// Option-flag masks of the library (AV_OPT_FLAG_*).
inline constexpr int OPT_FLAG_ENCODING = 1;
inline constexpr int OPT_FLAG_DECODING = 2;
inline constexpr int OPT_FLAG_AUDIO = 8;
inline constexpr int OPT_FLAG_VIDEO = 16;
inline constexpr int OPT_FLAG_SUBTITLE = 32;

// Limits of the engine's tables.
inline constexpr int MAX_FILES = 20;
inline constexpr int MAX_STREAMS = 20;
inline constexpr int MAX_STREAM_MAPS = MAX_FILES * MAX_STREAMS; // 400
inline constexpr int MAX_META_DATA_MAPS = 20;

// Norms of SetTarget.
enum TTargetNorm : int { tnPAL = 0, tnNTSC = 1, tnFILM = 2 };

// A rational number with the library's field names (AVRational{num, den}).
struct TFrameRate {
    int num = 0;
    int den = 0;
};

// One "map" option: input file F, stream S; synchronised with file SF, stream SS.
struct TStreamMap {
    int FileIndex = 0;
    int StreamIndex = 0;
    int SyncFileIndex = 0;
    int SyncStreamIndex = 0;
};

// One "map_meta_data" option: output file O takes its metadata from input file I.
struct TMetaDataMap {
    int OutFile = 0;
    int InFile = 0;
};

// One "metadata" option, both texts copied; consumed by the next output file.
struct TMetaDataPair {
    std::string Key;
    std::string Value;
};

// Owner of a bitstream-filter context (frees it with av_bsf_free).
struct TBSFContextDeleter {
    void operator()(AVBSFContext* context) const;
};
using TBSFContextPtr = std::unique_ptr<AVBSFContext, TBSFContextDeleter>;

// One filter of a bitstream-filter chain. Context is allocated for the filter
// named Name but not initialised: whoever attaches the chain to a stream fills
// par_in / time_base_in and calls av_bsf_init before the first packet. Args is
// the text after the first "=" of the option value (kept, not interpreted).
struct TBitstreamFilter {
    std::string Name;
    std::string Args;
    TBSFContextPtr Context;
};
// A chain in order of application; AddBitstreamFilter appends at the tail.
// Moving a chain to an output stream empties the current chain.
using TBitstreamFilterChain = std::vector<TBitstreamFilter>;

// Owners of the generic option store's default contexts.
struct TCodecContextDeleter {
    void operator()(AVCodecContext* context) const;
};
struct TFormatContextDeleter {
    void operator()(AVFormatContext* context) const;
};
struct TSwsContextDeleter {
    void operator()(SwsContext* context) const;
};

class TFFmpegOptions {
public:
    // Restores the defaults and, when the libraries are bound, creates the
    // generic option store.
    TFFmpegOptions();
    virtual ~TFFmpegOptions();
    TFFmpegOptions(const TFFmpegOptions&) = delete;
    TFFmpegOptions& operator=(const TFFmpegOptions&) = delete;

    // ---- Options ---------------------------------------------------------

    // Restores every setting below to its default (does not touch the generic
    // option store nor ExpectedTotalDuration).
    void ResetOptions();

    // The dispatcher: applies one option (exact, case-sensitive name). Unknown
    // names go to SetGenericOption and are dropped silently when it refuses
    // them. Raises FFmpegException / EConvertError on failure.
    void SetOption(const std::string& name, const std::string& value);
    // True when SetOption has a meaning for the name: a name of the dispatcher
    // or one that SetGenericOption finds (with the option store created).
    bool KnowsOption(const std::string& name) const;

    // Stores a codec, format or scaler option in the generic option store.
    // False when the name is unknown, either text is empty (after trimming),
    // the value is invalid (logs "Invalid value ..." through the library's
    // logger) or the store does not exist.
    bool SetGenericOption(const std::string& name, const std::string& value);

    // Force the container format; empty does nothing; "pgmyuv" stands for
    // "image2" and sets PgmyuvRequested. Raise "Unknown input format: %s" /
    // "Unknown output format: %s".
    void SetInputFormat(const std::string& name);
    void SetOutputFormat(const std::string& name);

    // kind "apre", "vpre" or "spre". Search order: built-in table (any case),
    // then "<name>-<codec name of the kind>" in the table, then a file named
    // name. Raises "Preset \"%s\" not found" with the last table name looked
    // up ("<name>-<codec>" when a codec name was set, else name), and the
    // syntax errors "%s: Invalid syntax: ..." / "%s: Invalid option or
    // argument: ..." with name. Lines before a failing line stay applied.
    void ApplyPreset(const std::string& kind, const std::string& name);

    // type "vcd", "svcd", "dvd", "dv", "dv50"; norm "pal", "ntsc", "film" or
    // anything else for detection; fallback decides an undetected norm.
    void SetTarget(const std::string& type, const std::string& norm,
                   const std::string& fallbackNorm);

    // kind's first letter picks the chain: "v" video, "a" audio, else subtitle.
    void AddBitstreamFilter(const std::string& kind, const std::string& text);
    // Appends a metadata pair for the next output file.
    void AddMetadata(const std::string& key, const std::string& value);

    // ---- Typed setters (the component's structured settings) -------------
    void SetAudioChannels(int channels); // ignored unless > 0
    void SetAudioSampleRate(int rate);   // ignored unless > 0
    void SetAudioVolume(int volume);     // ignored if < 0
    void SetAudioSyncMethod(int method);
    void SetVideoSyncMethod(int method);
    void SetMuxDelay(double seconds);   // ignored unless > 0
    void SetMuxPreload(double seconds); // ignored unless > 0
    void SetCropTop(int value);         // ignored if < 0; checked as "croptop"
    void SetCropBottom(int value);
    void SetCropLeft(int value);
    void SetCropRight(int value);
    void SetPadTop(int value); // ignored if < 0
    void SetPadBottom(int value);
    void SetPadLeft(int value);
    void SetPadRight(int value);
    void SetPadColor(uint32_t rgb);                // red in the low byte
    void SetStartTimeMS(int64_t milliseconds);     // ignored unless > 0
    void SetStartTimeUS(int64_t microseconds);     // ignored unless > 0
    void SetRecordingTimeMS(int64_t milliseconds); // ignored unless > 0
    void SetRecordingTimeUS(int64_t microseconds); // ignored unless > 0
    void SetRecordingTimestamp(int64_t unixSeconds);
    void SetProgramID(int id); // ignored if < 0
    void SetVerbosity(int verbosity);
    void SetCopyTimestamps(bool on);

    // ---- Introspection ---------------------------------------------------

    // Every setting as (name, value text) in a fixed order, followed by the
    // generic options set so far ("generic <context>.<name>" = current value).
    std::vector<std::pair<std::string, std::string>> DescribeSettings() const;

    // ---- Generic option store --------------------------------------------

    // (Re)creates the store: five default codec contexts (video, audio, data,
    // subtitle, attachment), a default format context and a default scaler
    // context (16x16 -> 16x16, pixel format 0, flags SwsFlags); clears the
    // list of names set. Raises FFmpegException when an allocation fails or the
    // libraries are not bound. Called by the constructor and ResetEngine.
    void CreateOptionStore();
    // Frees the store (CloseFiles); SetGenericOption then returns false.
    void FreeOptionStore();
    bool OptionStoreCreated() const { return FormatDefaults_ != nullptr; }

    // Default contexts of the store (null when there is no store); owned by
    // this object. type is a TOptionMediaType.
    AVCodecContext* DefaultCodecContext(int type) const;
    AVFormatContext* DefaultFormatContext() const { return FormatDefaults_.get(); }
    SwsContext* DefaultScalerContext() const { return ScalerDefaults_.get(); }
    // Names of the options set successfully, in the order first set (the
    // library's option names: "ab" is recorded as "b").
    const std::vector<std::string>& GenericOptionNames() const { return GenericNames_; }

    // Applies the stored options to a real context: for each name set, reads
    // its value as text from the matching default context and sets it on
    // target when the option's flags contain every bit of mask. Masks: decoding
    // 2 / encoding 1 plus the type flag (video 16, audio 8, subtitle 32).
    // The codec overload takes its defaults from the context of the mask's type
    // flag (else of target's codec_type). Failures to set are ignored.
    void ApplyGenericOptions(AVCodecContext* target, int mask) const;
    void ApplyGenericOptions(AVFormatContext* target, int mask) const;
    void ApplyGenericOptions(SwsContext* target, int mask) const;
    // Applies the private options stored for target's encoder (target made
    // with avcodec_alloc_context3(encoder)); nothing for another encoder.
    void ApplyPrivateOptions(AVCodecContext* target) const;
    // (encoder name, option name) of the private options set, in order set.
    const std::vector<std::pair<std::string, std::string>>& PrivateOptionNames() const {
        return PrivateNames_;
    }

    // ---- Current settings (defaults as restored by ResetOptions) ---------

    // Formats
    const AVInputFormat* ForcedInputFormat = nullptr;
    const AVOutputFormat* ForcedOutputFormat = nullptr;
    bool PgmyuvRequested = false;

    // Picture
    int FrameWidth = 0; // 0 = take from input
    int FrameHeight = 0;
    double FrameAspectRatio = 0; // 0 = unset
    int FramePixFmt = -1;        // AVPixelFormat, -1 = unset
    int CropTop = 0, CropBottom = 0, CropLeft = 0, CropRight = 0;
    int PadTop = 0, PadBottom = 0, PadLeft = 0, PadRight = 0;
    int PadColor[3] = {16, 128, 128}; // Y, U, V
    TFrameRate FrameRate;             // 0/0 = unset

    // Limits (MaxFrames indexed by TOptionMediaType video/audio/data/subtitle)
    int MaxFrames[4] = {INT_MAX, INT_MAX, INT_MAX, INT_MAX};
    int64_t RecordingTime = INT64_MAX; // microseconds; INT64_MAX = none
    int64_t StartTime = 0;             // microseconds
    int64_t InputTsOffset = 0;         // microseconds, next opened input
    int64_t RecordingTimestamp = 0;    // seconds since 1970
    int64_t LimitFileSize = 0;         // bytes; 0 = none

    // Video
    bool VideoDisable = false;
    int VideoDiscard = 0;
    std::string VideoCodecName; // empty = none
    bool VideoStreamCopy = false;
    uint32_t VideoCodecTag = 0;
    bool SameQuality = false;
    bool DoDeinterlace = false;
    int TopFieldFirst = -1;
    int MeThreshold = 0;
    int IntraDcPrecision = 8;
    bool IntraOnly = false;
    double VideoQScale = 0;            // 0 = off
    std::vector<uint16_t> IntraMatrix; // 64 values, empty = none
    std::vector<uint16_t> InterMatrix;
    std::string VideoRcOverride; // empty = none
    std::string VideoFilters;
    bool ForceFps = false;
    bool QpHistogram = false;
    int VideoChannel = 0;
    std::string VideoStandard; // TV standard, empty = none
    int VideoGlobalHeader = 0;
    int DoPass = 0; // 0 = single pass
    std::string PassLogFilename;

    // Audio
    bool AudioDisable = false;
    std::string AudioCodecName;
    bool AudioStreamCopy = false;
    uint32_t AudioCodecTag = 0;
    int AudioSampleRate = 44100;
    int AudioChannels = 2;
    int64_t ChannelLayout = 0;
    int AudioSampleFmt = -1;     // AVSampleFormat, -1 = unset
    double AudioQScale = -99999; // -99999 = unset
    int AudioVolume = 256;       // 256 = unity
    std::string AudioLanguage;
    // "afilters" / "af": a filter chain (the libraries' filter-graph text, "volume=0.5,
    // highpass=f=20") through which the decoded audio of the next outputs' audio streams
    // passes before it is resampled and encoded; empty = none. Checked when given: every
    // filter must exist, take its arguments and handle audio, and the chain must have one
    // input and one output.
    std::string AudioFilters;

    // Subtitle
    bool SubtitleDisable = false;
    std::string SubtitleCodecName;
    bool SubtitleStreamCopy = false;
    uint32_t SubtitleCodecTag = 0;
    std::string SubtitleLanguage;

    // Sync and muxing
    int VideoSyncMethod = -1; // -1 = automatic
    int AudioSyncMethod = 0;
    double AudioDriftThreshold = 0.1;
    bool CopyTs = false;
    bool OptShortest = false;
    bool InputSync = false;
    double DtsDeltaThreshold = 10.0;
    double MuxPreload = 0.5;
    double MuxMaxDelay = 0.7;
    int OptProgramID = 0; // 0 = all
    int CopyInitialNonKeyframes = 0;

    // Diagnostics
    int Verbose = 1;
    bool DoHexDump = false;
    bool DoPktDump = false;
    bool DoPSNR = false;
    bool RateEmu = false;
    bool ExitOnError = false;
    std::string VStatsFilename; // empty = none
    bool LoopInput = false;
    int LoopOutput = -1;     // -1 = format default
    bool UsingVHook = false; // a "vhook" was added

    // Maps (StreamMaps up to MAX_STREAM_MAPS, MetaDataMaps up to
    // MAX_META_DATA_MAPS; further entries are rejected)
    std::vector<TStreamMap> StreamMaps;
    std::vector<TMetaDataMap> MetaDataMaps;
    // Per input file and stream ("itsscale"); 0 = none.
    double InputTsScale[MAX_FILES][MAX_STREAMS] = {};
    std::vector<TMetaDataPair> MetaDataPairs;

    // Filters
    TBitstreamFilterChain VideoBitstreamFilters;
    TBitstreamFilterChain AudioBitstreamFilters;
    TBitstreamFilterChain SubtitleBitstreamFilters;
    int SwsFlags = 4; // bicubic
    int BitBufferSize = 262144;

    // Expected total duration in milliseconds for progress (-1 = unknown).
    // Set by "t"; not touched by ResetOptions (ResetEngine resets it).
    int64_t ExpectedTotalDuration = -1;

    // Built-in presets (name, text), 16 entries.
    static const std::vector<std::pair<const char*, const char*>>& BuiltinPresets();

    // The pad colour's Y, U, V of an RGB value (red in the low byte).
    static void RGBToYUV(uint32_t rgb, int yuv[3]);

protected:
    // ---- Hooks for the engine (defaults are safe for a stand-alone object) ----

    // "newvideo"/"newaudio"/"newsubtitle": adds a stream of type (omtVideo,
    // omtAudio, omtSubtitle) to the last output file. Default: raises "At least
    // one output file must be specified" (there are no output files).
    virtual void NewStreamOnLastOutput(int type);
    // Number of input files opened so far ("itsscale" addresses the next one).
    virtual int OpenedInputCount() const { return 0; }
    // Codec time bases of the opened inputs' video streams, in file and stream
    // order (norm detection of SetTarget tests den*1000/num of each).
    virtual std::vector<TFrameRate> InputVideoTimeBases() const { return {}; }
    // "vhook": hands the split command line to the frame-hook loader; true
    // when the hook was added. Default: false (no frame-hook support).
    virtual bool AddFrameHook(const std::vector<std::string>& args);

private:
    using THandler = void (*)(TFFmpegOptions&, const std::string&, const std::string&);
    // The dispatcher's names and what each one does.
    static const std::unordered_map<std::string, THandler>& Vocabulary();
    // True when SetGenericOption would find the name in the option store.
    bool FindsGenericOption(const std::string& name) const;
    void ApplyGenericOptionsFrom(void* target, void* defaults, int mask) const;
    void SetCodecName(int type, const std::string& value);
    void SetCrop(int& side, int value, bool vertical);
    void SetMatrix(std::vector<uint16_t>& matrix, const std::string& text);
    void SetTag(uint32_t& tag, const std::string& value, const char* message);
    void SetBitrate(const std::string& name, const std::string& value);
    void SetFormat(const std::string& name);
    // The library's name of a format name ("pgmyuv" is "image2" and notes the request).
    std::string FormatNameOf(const std::string& value);
    void ListFormats(bool pixel) const;
    int64_t ParseTime(const std::string& optionName, const std::string& value, bool duration) const;
    void SetVHook(const std::string& value);
    void SetAudioFilters(const std::string& value);
    void FreeBitstreamFilters();

    std::unique_ptr<AVCodecContext, TCodecContextDeleter> CodecDefaults_[OptionMediaTypeCount];
    std::unique_ptr<AVFormatContext, TFormatContextDeleter> FormatDefaults_;
    std::unique_ptr<SwsContext, TSwsContextDeleter> ScalerDefaults_;
    std::vector<std::string> GenericNames_;
    // Options of the chosen encoders' own tables ("coder", "wpredp", ...):
    // one default context per encoder name, made on the first look-up.
    AVCodecContext* PrivateDefaults(const std::string& encoderName) const;
    // The encoders named by the current codec names, video first.
    std::vector<std::string> ChosenEncoders() const;
    mutable std::vector<
        std::pair<std::string, std::unique_ptr<AVCodecContext, TCodecContextDeleter>>>
        PrivateDefaults_;
    std::vector<std::pair<std::string, std::string>> PrivateNames_;
};

// Value conversions of the vocabulary (exposed for the engine and tests).
// Integer: optional sign and decimal digits, nothing else; out of range and
// other texts raise EConvertError.
int StrToInt(const std::string& text);
int64_t StrToInt64(const std::string& text);
// Real: a decimal number ("1.5", "1e3"), independent of the locale.
double StrToFloat(const std::string& text);
// Flag: on for any text other than "0".
inline bool StrToFlag(const std::string& text) {
    return text != "0";
}
