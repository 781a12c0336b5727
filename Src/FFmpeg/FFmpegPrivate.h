// Private tables of the transcoding engine (FFmpeg.h): the opened input and
// output files (owned between OpenInput/AddOutput and CloseFiles) and the
// working tables of one run (owned by the run). Included only by the engine's
// own .cpp files.
//
// Threads: TEngineFiles is built on the owner thread and then used by the run
// thread while the owner waits; TTranscodeRun lives on the run thread only.
#pragma once

#include "FFmpeg.h"
#include "FFmpegStubs.h"
#include "SafeOutput.h"

#include <array>
#include <memory>
#include <string>
#include <vector>

// Deleters through the loader's tables.
struct TEngCodecContextDeleter {
    void operator()(AVCodecContext* c) const { AVCodecStubs.avcodec_free_context(&c); }
};
struct TEngPacketDeleter {
    void operator()(AVPacket* p) const { AVCodecStubs.av_packet_free(&p); }
};
struct TEngFrameDeleter {
    void operator()(AVFrame* f) const { AVUtilStubs.av_frame_free(&f); }
};
struct TEngSwrDeleter {
    void operator()(SwrContext* s) const { SwrResampleFree(s); }
    static void SwrResampleFree(SwrContext* s) { SwResampleStubs.swr_free(&s); }
};
struct TEngAudioFifoDeleter {
    void operator()(AVAudioFifo* f) const { AVUtilStubs.av_audio_fifo_free(f); }
};
using TCodecContextPtr = std::unique_ptr<AVCodecContext, TEngCodecContextDeleter>;
using TPacketPtr = std::unique_ptr<AVPacket, TEngPacketDeleter>;
using TFramePtr = std::unique_ptr<AVFrame, TEngFrameDeleter>;
using TSwrPtr = std::unique_ptr<SwrContext, TEngSwrDeleter>;
using TAudioFifoPtr = std::unique_ptr<AVAudioFifo, TEngAudioFifoDeleter>;
struct TEngSwsDeleter {
    void operator()(SwsContext* s) const { SwScaleStubs.sws_freeContext(s); }
};
struct TEngFilterGraphDeleter {
    void operator()(AVFilterGraph* g) const { AVFilterStubs.avfilter_graph_free(&g); }
};
struct TEngFileDeleter {
    void operator()(FILE* f) const { std::fclose(f); }
};
using TSwsPtr = std::unique_ptr<SwsContext, TEngSwsDeleter>;
using TFilterGraphPtr = std::unique_ptr<AVFilterGraph, TEngFilterGraphDeleter>;
using TFilePtr = std::unique_ptr<FILE, TEngFileDeleter>;

// Joins source -> chain -> sink in graph (the chain's "in" and "out" ends) and configures
// the graph; the libraries' error code (< 0) on failure.
int LinkFilterChain(AVFilterGraph* graph, AVFilterContext* source, AVFilterContext* sink,
                    const std::string& chain);

// One input file: its context and what OpenInput computed for it.
struct TInputFileSetup {
    AVFormatContext* ctx = nullptr;            // owned; closed by CloseFiles
    AVIOContext* unicodePb = nullptr;          // owned when the name was encoded
    int64_t tsOffset = 0;                      // start-time offset, microseconds
    std::array<double, MAX_STREAMS> tsScale{}; // "itsscale" per stream, 0 = none
};

// One output stream as AddOutput created it.
struct TOutputStreamSetup {
    AVStream* st = nullptr; // owned by the output context
    TCodecContextPtr enc;   // encoder settings (opened by the run)
    const AVCodec* forcedEncoder = nullptr;
    bool copy = false; // stream copy
    AVMediaType type = AVMEDIA_TYPE_UNKNOWN;
    TBitstreamFilterChain bsfs; // initialised by the run (par_in from the codec)
    // video encoding: the picture settings current when the stream was made
    int crop[4] = {0, 0, 0, 0}; // top, bottom, left, right
    int pad[4] = {0, 0, 0, 0};  // top, bottom, left, right
    int padColor[3] = {16, 128, 128};
    std::string filters; // the filter graph: "vfilters" or "afilters" by the type
};

// One output file. In joined mode several slots share one of these.
//
// A file output is opened only when the run writes its header, under a
// temporary name (TSafeOutput), and CloseFiles gives it its name only when the
// run finished and the trailer and the last bytes were written; otherwise the
// old file stays as it was. A library URL (pipe:, http:) is opened by AddOutput.
struct TOutputFileSetup {
    AVFormatContext* ctx = nullptr;            // owned; freed by CloseFiles
    bool ownIO = false;                        // pb made by OpenDescriptorIO on safe
    std::string name;                          // the name handed to the library
    QString path;                              // the wide path, for messages
    std::string filePath;                      // the file written (bytes); empty for a URL
    std::unique_ptr<safeio::TSafeOutput> safe; // open from the header to CloseFiles
    bool complete = false;                     // the trailer was written
    std::vector<TOutputStreamSetup> streams;
};

// Opens a file output for writing (see TOutputFileSetup): 0, or the library's
// error code for why it could not be; *readOnly (when given) tells whether the file
// itself may not be written.
int OpenOutputFile(TOutputFileSetup& out, bool* readOnly = nullptr);
// Why an output cannot be written: "NAME is read-only", or "Could not open 'NAME'".
std::string OutputRefusedText(const QString& name, bool readOnly);
// The display form of a file name in messages: its bytes.
std::string DisplayName(const QString& name);

struct TEngineFiles {
    ~TEngineFiles() = default;
    std::vector<TInputFileSetup> inputs;
    std::vector<const AVCodec*> forcedDecoders; // one per input stream, in opening order
    std::vector<std::shared_ptr<TOutputFileSetup>> outputs; // joined slots share
};

// printf-style formatting of the engine's messages.
std::string FormatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

// av_dict_set / av_dict_copy that raise FFmpegException when the library fails.
void SetDictEntry(AVDictionary** dict, const char* key, const char* value);
void CopyDict(AVDictionary** target, const AVDictionary* source);

// The codec of a codec name for a media type: null for an empty name; raises
// "Unknown %s '%s'" / "Invalid %s type '%s'" (kind "decoder" or "encoder").
const AVCodec* FindCodecByName(const std::string& name, AVMediaType type, bool encoder);

// Interleaved or planar sample storage of one format and channel count,
// grown only when a larger block must fit. Owned by the run.
class TSampleBuffer {
public:
    TSampleBuffer() = default;
    ~TSampleBuffer();
    TSampleBuffer(const TSampleBuffer&) = delete;
    TSampleBuffer& operator=(const TSampleBuffer&) = delete;
    // False when the memory cannot be had.
    bool Ensure(AVSampleFormat format, int channels, int samples);
    uint8_t** Data() { return planes_.data(); }
    int Capacity() const { return capacity_; }

private:
    void Free();
    std::vector<uint8_t*> planes_;
    AVSampleFormat format_ = AV_SAMPLE_FMT_NONE;
    int channels_ = 0;
    int capacity_ = 0;
};

// A block of decoded audio: plane pointers into some frame or buffer.
struct TAudioBlock {
    std::array<const uint8_t*, 64> planes{}; // SWR_CH_MAX
    const uint8_t* const* data = nullptr;    // planes.data() or a frame's extended_data
    int samples = 0;
    AVSampleFormat format = AV_SAMPLE_FMT_NONE;
    int channels = 0;
    int rate = 0;
    const AVChannelLayout* layout = nullptr;
};

// --- working tables of one run -------------------------------------------

struct TInputFileRun {
    int istIndex = 0;  // first input stream in the table
    int nbStreams = 0; // streams known at start
    bool eof = false;
    bool noPacket = false;
};

struct TInputStream {
    int fileIndex = 0;
    int index = 0;          // stream index within the file
    AVStream* st = nullptr; // owned by the input context
    TCodecContextPtr dec;   // opened decoder
    bool discard = true;    // no output stream uses it
    bool decodingNeeded = false;
    int64_t nextPts = 0; // microseconds
    int64_t pts = 0;     // microseconds
    bool isStart = true;
    bool flushed = false;
    int64_t startWall = 0; // rate emulation
};

struct TOutputStream {
    int fileIndex = 0;   // output slot
    int index = 0;       // stream index within the file
    int sourceIndex = 0; // input stream table index
    int syncIst = 0;     // input stream table index
    int block = 0;       // joined-mode block
    AVStream* st = nullptr;
    TOutputFileSetup* file = nullptr;
    TOutputStreamSetup* setup = nullptr;
    AVCodecContext* enc = nullptr; // setup->enc (shared by all joined blocks)
    bool encodingNeeded = false;
    int64_t frameNumber = 0;
    int64_t syncOpts = 0;         // encoder time base units (samples for audio)
    int64_t curPts = 0;           // end of the last packet written, stream time base
    AVRational srcTimeBase{0, 1}; // time base of packets handed to WritePacket
    TPacketPtr pendingClear;      // DVB subtitles: the last one's clearing packet, not yet written
    // audio
    bool resampleNeeded = false;
    TSwrPtr resampler;
    TSwrPtr converter;
    int formatPair = -1; // enc format + 5 * dec format of the converter, -1 none
    TAudioFifoPtr fifo;
    TFramePtr frame;       // encoder input, reused
    int frameCapacity = 0; // samples the frame's buffers hold
    // "afilters": the decoded audio the graph (below) was made for; a change remakes it
    int filterFormat = -1;
    int filterRate = 0;
    std::string filterLayout;
    bool filterEnded = false; // the graph gave its last frame (atrim ...): the rest goes
    // video
    bool cropOn = false, padOn = false, resizeOn = false;
    int cropTop = 0, cropBottom = 0, cropLeft = 0, cropRight = 0; // current bands
    int setupCropTop = 0, setupCropBottom = 0, setupCropLeft = 0, setupCropRight = 0;
    int padTop = 0, padBottom = 0, padLeft = 0, padRight = 0;
    TSwsPtr scaler;
    int srcWidth = 0, srcHeight = 0, srcFormat = -1; // decoded pictures the scaler expects
    int setupWidth = 0, setupHeight = 0;             // input size at set-up
    TFramePtr tempPicture;                           // encoder size and format
    TFramePtr cropped;                               // cropped view, reused
    TFilterGraphPtr graph;                           // "vfilters" / "afilters"
    AVFilterContext* bufferSrc = nullptr;
    AVFilterContext* bufferSink = nullptr;
    TFramePtr filtered;      // filter output, reused
    TFilePtr passLog;        // pass-1 statistics
    char* statsIn = nullptr; // pass-2 statistics (av_malloc), freed after the encoder
    int quality = 0;         // lambda of the last coded picture
    int pictType = 0;        // type of the last coded picture
    uint64_t psnrError[3] = {0, 0, 0};
    uint64_t psnrTotal[3] = {0, 0, 0};
    int64_t psnrFrames = 0;
};

// Hooks, preview and statistics of one run's video path (FFmpegVideo.h).
struct TVideoRunState;

// One run: built by Init, driven by Loop, freed when the run ends.
struct TTranscodeRun {
    explicit TTranscodeRun(TCustomFFmpeg& engine);
    ~TTranscodeRun();

    void Init();
    void Loop();
    void Finish();

    // Init helpers
    void BindStreams();
    void PrepareStream(TOutputStream& ost);
    void OpenEncoders();
    void OpenDecoders();
    void InitBitstreamFilters();
    void WriteHeaders();
    void DumpMapping();
    [[noreturn]] void FailWithDump(const std::string& message);

    // Loop helpers
    int ChooseInput(double& optsMin);
    bool ReadOne(int fileIndex);
    void EndOfInput(int fileIndex);
    int OutputPacket(TInputStream& ist, const AVPacket* pkt);
    void CopyPacket(TOutputStream& ost, TInputStream& ist, const AVPacket* pkt);
    void WritePacket(TOutputStream& ost, AVPacket* pkt);
    void WriteFiltered(TOutputStream& ost, AVPacket* pkt, size_t level);
    void Report(bool final);
    double OutputTime(const TOutputStream& ost) const;
    void CloseCodecs();
    void ReopenJoinedEncoders();

    // Video path (FFmpegVideo.cpp)
    void PrepareVideo(TOutputStream& ost, TInputStream& ist);
    void OpenVideoFilters(TOutputStream& ost, TInputStream& ist);
    void OpenPassLog(TOutputStream& ost, size_t index);
    int DecodeVideo(TInputStream& ist, const AVPacket* pkt);
    int ReceiveVideoFrames(TInputStream& ist, int* received = nullptr);
    AVFrame* PreProcess(TInputStream& ist, AVFrame* picture);
    void FilterAndOutput(TOutputStream& ost, TInputStream& ist, AVFrame* picture);
    void VideoOutputStep(TOutputStream& ost, TInputStream& ist, AVFrame* picture, int64_t ptsUs);
    AVFrame* ShapePicture(TOutputStream& ost, TInputStream& ist, AVFrame* picture);
    void EncodeVideoFrame(TOutputStream& ost, AVFrame* frame);
    void FlushVideo(TOutputStream& ost);
    void WriteVideoStats(TOutputStream& ost, int frameSize);
    void OfferPreview(AVFrame* picture, int64_t ptsUs);
    void ReleaseVideo();

    // Subtitle path (FFmpegSubtitle.cpp)
    int DecodeSubtitle(TInputStream& ist, const AVPacket* pkt);
    void SubtitleOutputStep(TOutputStream& ost, TInputStream& ist, int64_t pts, AVSubtitle& sub);
    void OpenDecoder(TInputStream& ist, size_t index);

    // Audio path (FFmpegAudio.cpp)
    int DecodeAudio(TInputStream& ist, const AVPacket* pkt);
    int ReceiveAudioFrames(TInputStream& ist, int* received = nullptr);
    void ReadFifo(AVAudioFifo* fifo, AVFrame* frame, int samples);
    void ApplyVolume(AVFrame* frame) const;
    // ptsUs: when the block starts (the filter graph's time, else the sync stream's).
    void AudioOutputStep(TOutputStream& ost, TInputStream& ist, TAudioBlock block, int64_t ptsUs);
    // Makes the stream's "afilters" graph for decoded audio of that kind (a layout of
    // unknown order counts as the usual one of its channel count).
    void OpenAudioFilters(TOutputStream& ost, int format, int rate, const AVChannelLayout& layout);
    void FilterAudio(TOutputStream& ost, TInputStream& ist, AVFrame* frame);
    void OutputFilteredAudio(TOutputStream& ost, TInputStream& ist);
    void FlushAudioFilters(TOutputStream& ost, TInputStream& ist);
    void PrepareResampler(TOutputStream& ost, const TAudioBlock& in);
    void PrepareConverter(TOutputStream& ost, const TAudioBlock& in);
    void FeedFifo(TOutputStream& ost, const uint8_t* const* data, int samples);
    void EncodeFifo(TOutputStream& ost, bool flushing);
    AVFrame* EncoderFrame(TOutputStream& ost, int samples);
    void EncodeAudioFrame(TOutputStream& ost, AVFrame* frame);
    void FlushAudio(TOutputStream& ost, TInputStream& ist);

    TCustomFFmpeg& e;
    TEngineFiles& f;
    std::vector<TInputFileRun> ifiles;
    std::vector<TInputStream> ists;
    std::vector<TOutputStream> osts;
    std::vector<TOutputFileSetup*> uniqueOutputs; // each context once
    size_t blockSize = 0;                         // streams of output file 0
    int joinedInput = 0;
    int noPacketCount = 0;

    int64_t videoSize = 0, audioSize = 0, extraSize = 0;
    int dupFrames = 0, dropFrames = 0;
    int qpHistogram[52] = {}; // qualities of the first video stream, one per report
    int64_t timerStart = 0, lastReport = 0;

    TPacketPtr pkt;            // demuxed packet, reused
    TPacketPtr encPkt;         // encoder output, reused
    TPacketPtr bsfPkt;         // bitstream-filter output, reused
    TPacketPtr copyPkt;        // stream copy, reused
    TFramePtr decFrame;        // decoder output, reused
    TSampleBuffer silenceBuf;  // input copy buffer (silence insertion)
    TSampleBuffer resampleBuf; // audio frame buffer (resampler output)
    TSampleBuffer convertBuf;  // conversion output buffer

    // video: hooks, preview and statistics of the run (FFmpegVideo.cpp)
    std::unique_ptr<TVideoRunState> video;
    std::vector<uint8_t> subtitleBuf; // 1 MiB encode buffer, made on first use
};
