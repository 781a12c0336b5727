// The option dispatcher of the transcoding engine, its value conversions, the
// typed setters and the settings dump.
#include "FFmpegOptions.h"
#include "FFUtils.h"

#include "FFmpegLogger.h"
#include "FFmpegPrivate.h"
#include "FFmpegStubs.h"

#include <QCoreApplication>
#include <QTime>

#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <unordered_map>

namespace {

template <typename T> bool ParseNumber(const std::string& raw, T& value) {
    const std::string text = TrimText(raw);
    const char* begin = text.data();
    const char* end = begin + text.size();
    if (begin < end && *begin == '+') {
        ++begin;
        if (begin < end && *begin == '-')
            return false;
    }
    if (begin == end)
        return false;
    const auto [ptr, ec] = std::from_chars(begin, end, value);
    return ec == std::errc{} && ptr == end;
}

// A C-style leading number ("strtod"): what can be read, 0 when nothing.
double LeadingReal(const char* text, const char** end) {
    while (*text == ' ' || *text == '\t')
        ++text;
    const char* begin = text;
    if (*begin == '+')
        ++begin;
    double value = 0;
    const auto [ptr, ec] = std::from_chars(begin, begin + std::strlen(begin), value);
    if (ec != std::errc{}) {
        *end = text;
        return 0;
    }
    *end = ptr;
    return value;
}

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

std::string IntText(int64_t value) {
    return std::to_string(value);
}

std::string RealText(double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof(buffer), "%g", value);
    return buffer;
}

std::string BoolText(bool value) {
    return value ? "1" : "0";
}

std::string TagText(uint32_t tag) {
    if (tag == 0)
        return "0";
    std::string text;
    for (int i = 0; i < 4; ++i)
        text += static_cast<char>((tag >> (8 * i)) & 0xff);
    return text;
}

std::string MatrixText(const std::vector<uint16_t>& matrix) {
    std::string text;
    for (size_t i = 0; i < matrix.size(); ++i)
        text += (i ? "," : "") + std::to_string(matrix[i]);
    return text;
}

std::string ChainText(const TBitstreamFilterChain& chain) {
    std::string text;
    for (const TBitstreamFilter& filter : chain)
        text += (text.empty() ? "" : ",") + filter.Name +
                (filter.Args.empty() ? "" : "=" + filter.Args);
    return text;
}

// The open ends of a parsed graph, freed with it.
struct TParsedGraph {
    TFilterGraphPtr graph{AVFilterStubs.avfilter_graph_alloc()};
    AVFilterInOut* inputs = nullptr;
    AVFilterInOut* outputs = nullptr;
    TParsedGraph() = default;
    TParsedGraph(const TParsedGraph&) = delete;
    TParsedGraph& operator=(const TParsedGraph&) = delete;
    ~TParsedGraph() {
        AVFilterStubs.avfilter_inout_free(&inputs);
        AVFilterStubs.avfilter_inout_free(&outputs);
    }
    // 0, or the library's error: the filters are made and initialised with their
    // arguments, not linked to anything.
    int Parse(const std::string& text) {
        if (!graph)
            throw FFmpegException("av_malloc failed");
        return AVFilterStubs.avfilter_graph_parse2(graph.get(), text.c_str(), &inputs, &outputs);
    }
};

int Count(const AVFilterInOut* list) {
    int n = 0;
    for (; list; list = list->next)
        ++n;
    return n;
}

// A filter of a graph text without its link labels ("[a]volume=2[b]" -> "volume=2").
std::string WithoutLabels(std::string text) {
    text = TrimText(text);
    while (!text.empty() && text.front() == '[') {
        const size_t close = text.find(']');
        text = TrimText(close == std::string::npos ? std::string() : text.substr(close + 1));
    }
    while (!text.empty() && text.back() == ']') {
        const size_t open = text.rfind('[');
        text = TrimText(open == std::string::npos ? std::string() : text.substr(0, open));
    }
    return text;
}

// The filters of a graph text in order, each without its labels: the text split at
// the "," and ";" that are neither quoted, escaped nor inside a label.
std::vector<std::string> FilterTexts(const std::string& text) {
    std::vector<std::string> filters;
    std::string current;
    bool quoted = false;
    bool label = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\\' && i + 1 < text.size()) {
            current += c;
            current += text[++i];
            continue;
        }
        if (c == '\'')
            quoted = !quoted;
        else if (!quoted && c == '[')
            label = true;
        else if (!quoted && c == ']')
            label = false;
        else if (!quoted && !label && (c == ',' || c == ';')) {
            filters.push_back(WithoutLabels(current));
            current.clear();
            continue;
        }
        current += c;
    }
    filters.push_back(WithoutLabels(current));
    return filters;
}

bool AllAudio(const AVFilterPad* pads, unsigned count) {
    for (unsigned i = 0; i < count; ++i)
        if (AVFilterStubs.avfilter_pad_get_type(pads, static_cast<int>(i)) != AVMEDIA_TYPE_AUDIO)
            return false;
    return true;
}

// Raises the reason why text cannot filter the decoded audio: a filter that does not
// exist, refuses its arguments or handles no audio (named by itself, the first one), or
// a graph that is not one chain from one input to one output.
void CheckAudioFilters(const std::string& text) {
    if (text.empty())
        return;
    for (const std::string& filter : FilterTexts(text)) {
        const std::string name = TrimText(filter.substr(0, filter.find_first_of("=@")));
        if (name.empty())
            continue; // the whole graph's parse below says what is wrong
        if (!AVFilterStubs.avfilter_get_by_name(name.c_str()))
            throw FFmpegException("Unknown audio filter '" + name + "'");
        TParsedGraph one;
        const int ret = one.Parse(filter);
        if (ret < 0)
            throw FFmpegException("Invalid audio filter '" + filter +
                                  "': " + LibraryErrorText(ret));
        for (unsigned i = 0; i < one.graph->nb_filters; ++i) {
            const AVFilterContext* context = one.graph->filters[i];
            if (!AllAudio(context->input_pads, context->nb_inputs) ||
                !AllAudio(context->output_pads, context->nb_outputs))
                throw FFmpegException("'" + name + "' is not an audio filter");
        }
    }
    TParsedGraph whole;
    const int ret = whole.Parse(text);
    if (ret < 0)
        throw FFmpegException("Invalid audio filters '" + text + "': " + LibraryErrorText(ret));
    if (Count(whole.inputs) != 1 || Count(whole.outputs) != 1)
        throw FFmpegException("The audio filters '" + text +
                              "' must make one chain (one input, one output)");
}

} // namespace

int StrToInt(const std::string& text) {
    int value = 0;
    if (!ParseNumber(text, value))
        throw EConvertError("'" + text + "' is not a valid integer value");
    return value;
}

int64_t StrToInt64(const std::string& text) {
    int64_t value = 0;
    if (!ParseNumber(text, value))
        throw EConvertError("'" + text + "' is not a valid integer value");
    return value;
}

double StrToFloat(const std::string& text) {
    double value = 0;
    if (!ParseNumber(text, value) || !std::isfinite(value))
        throw EConvertError("'" + text + "' is not a valid floating point value");
    return value;
}

TFFmpegOptions::TFFmpegOptions() {
    ResetOptions();
    if (AVCodecStubs.avcodec_alloc_context3 && AVFormatStubs.avformat_alloc_context &&
        SwScaleStubs.sws_getContext && AVUtilStubs.av_opt_set)
        CreateOptionStore();
}

TFFmpegOptions::~TFFmpegOptions() {
    FreeBitstreamFilters();
    FreeOptionStore();
}

void TFFmpegOptions::FreeBitstreamFilters() {
    VideoBitstreamFilters.clear();
    AudioBitstreamFilters.clear();
    SubtitleBitstreamFilters.clear();
}

void TFFmpegOptions::ResetOptions() {
    ForcedInputFormat = nullptr;
    ForcedOutputFormat = nullptr;
    PgmyuvRequested = false;

    FrameWidth = 0;
    FrameHeight = 0;
    FrameAspectRatio = 0;
    FramePixFmt = -1;
    CropTop = CropBottom = CropLeft = CropRight = 0;
    PadTop = PadBottom = PadLeft = PadRight = 0;
    PadColor[0] = 16;
    PadColor[1] = 128;
    PadColor[2] = 128;
    FrameRate = TFrameRate{};

    for (int& frames : MaxFrames)
        frames = INT_MAX;
    RecordingTime = INT64_MAX;
    StartTime = 0;
    InputTsOffset = 0;
    RecordingTimestamp = 0;
    LimitFileSize = 0;

    VideoDisable = false;
    VideoDiscard = 0;
    VideoCodecName.clear();
    VideoStreamCopy = false;
    VideoCodecTag = 0;
    SameQuality = false;
    DoDeinterlace = false;
    TopFieldFirst = -1;
    MeThreshold = 0;
    IntraDcPrecision = 8;
    IntraOnly = false;
    VideoQScale = 0;
    IntraMatrix.clear();
    InterMatrix.clear();
    VideoRcOverride.clear();
    VideoFilters.clear();
    ForceFps = false;
    QpHistogram = false;
    VideoChannel = 0;
    VideoStandard.clear();
    VideoGlobalHeader = 0;
    DoPass = 0;
    PassLogFilename.clear();

    AudioDisable = false;
    AudioCodecName.clear();
    AudioStreamCopy = false;
    AudioCodecTag = 0;
    AudioSampleRate = 44100;
    AudioChannels = 2;
    ChannelLayout = 0;
    AudioSampleFmt = -1;
    AudioQScale = -99999;
    AudioVolume = 256;
    AudioLanguage.clear();
    AudioFilters.clear();

    SubtitleDisable = false;
    SubtitleCodecName.clear();
    SubtitleStreamCopy = false;
    SubtitleCodecTag = 0;
    SubtitleLanguage.clear();

    VideoSyncMethod = -1;
    AudioSyncMethod = 0;
    AudioDriftThreshold = 0.1;
    CopyTs = false;
    OptShortest = false;
    InputSync = false;
    DtsDeltaThreshold = 10.0;
    MuxPreload = 0.5;
    MuxMaxDelay = 0.7;
    OptProgramID = 0;
    CopyInitialNonKeyframes = 0;

    Verbose = 1;
    DoHexDump = false;
    DoPktDump = false;
    DoPSNR = false;
    RateEmu = false;
    ExitOnError = false;
    VStatsFilename.clear();
    LoopInput = false;
    LoopOutput = -1;
    UsingVHook = false;

    StreamMaps.clear();
    MetaDataMaps.clear();
    for (auto& file : InputTsScale)
        for (double& scale : file)
            scale = 0;
    MetaDataPairs.clear();

    FreeBitstreamFilters();
    SwsFlags = 4;
    BitBufferSize = 262144;
}

// ---- Helpers of the dispatcher ---------------------------------------------

void TFFmpegOptions::SetCodecName(int type, const std::string& value) {
    std::string& name = type == omtVideo   ? VideoCodecName
                        : type == omtAudio ? AudioCodecName
                                           : SubtitleCodecName;
    bool& copy = type == omtVideo   ? VideoStreamCopy
                 : type == omtAudio ? AudioStreamCopy
                                    : SubtitleStreamCopy;
    name.clear();
    if (value == "copy")
        copy = true;
    else
        name = value;
}

void TFFmpegOptions::SetCrop(int& side, int value, bool vertical) {
    if (value < 0)
        return;
    int& size = vertical ? FrameHeight : FrameWidth;
    if (value >= size)
        throw FFmpegException(
            vertical ? "Vertical crop dimensions are outside the range of the original "
                       "image.\nRemember to crop first and scale second."
                     : "Horizontal crop dimensions are outside the range of the original "
                       "image.\nRemember to crop first and scale second.");
    side = value;
    size -= value;
}

void TFFmpegOptions::SetMatrix(std::vector<uint16_t>& matrix, const std::string& text) {
    // Parsed into a scratch copy so that a syntax error leaves the previous
    // matrix (or none) in place instead of a half-filled one.
    std::vector<uint16_t> values(64, 0);
    const char* p = text.c_str();
    for (int i = 0; i < 64; ++i) {
        values[static_cast<size_t>(i)] = static_cast<uint16_t>(std::strtol(p, nullptr, 10));
        if (i == 63)
            break;
        p = std::strchr(p, ',');
        if (!p)
            throw FFmpegException("Syntax error in matrix \"" + text + "\" at coeff " +
                                  std::to_string(i));
        ++p;
    }
    matrix = std::move(values);
}

void TFFmpegOptions::SetTag(uint32_t& tag, const std::string& value, const char* message) {
    if (value.size() != 4)
        throw FFmpegException(message);
    const auto* bytes = reinterpret_cast<const unsigned char*>(value.data());
    tag = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
          static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

void TFFmpegOptions::SetBitrate(const std::string& name, const std::string& value) {
    if (!SetGenericOption(name, value))
        return;
    AVCodecContext* context = DefaultCodecContext(name == "ab" ? omtAudio : omtVideo);
    int64_t bitrate = 0;
    if (context && AVUtilStubs.av_opt_get_int(context, "b", 0, &bitrate) >= 0 && bitrate < 1000)
        FFLogger().Log(this, llWarning,
                       "WARNING: The bitrate parameter is set too low. It takes bits/s as "
                       "argument, not kbits/s");
}

std::string TFFmpegOptions::FormatNameOf(const std::string& value) {
    if (value != "pgmyuv")
        return value;
    PgmyuvRequested = true;
    FFLogger().Log(this, llInfo, "pgmyuv format is deprecated, use image2");
    return "image2";
}

void TFFmpegOptions::SetFormat(const std::string& value) {
    if (value.empty())
        return;
    const std::string name = FormatNameOf(value);
    const AVInputFormat* input = AVFormatStubs.av_find_input_format(name.c_str());
    const AVOutputFormat* output = AVFormatStubs.av_guess_format(name.c_str(), nullptr, nullptr);
    if (!input && !output)
        throw FFmpegException("Unknown input or output format: " + value);
    ForcedInputFormat = input;
    ForcedOutputFormat = output;
}

void TFFmpegOptions::SetInputFormat(const std::string& value) {
    if (value.empty())
        return;
    const std::string name = FormatNameOf(value);
    const AVInputFormat* input = AVFormatStubs.av_find_input_format(name.c_str());
    if (!input)
        throw FFmpegException("Unknown input format: " + value);
    ForcedInputFormat = input;
}

void TFFmpegOptions::SetOutputFormat(const std::string& value) {
    if (value.empty())
        return;
    const std::string name = FormatNameOf(value);
    const AVOutputFormat* output = AVFormatStubs.av_guess_format(name.c_str(), nullptr, nullptr);
    if (!output)
        throw FFmpegException("Unknown output format: " + value);
    ForcedOutputFormat = output;
}

void TFFmpegOptions::ListFormats(bool pixel) const {
    const int count = pixel ? static_cast<int>(AV_PIX_FMT_NB) : static_cast<int>(AV_SAMPLE_FMT_NB);
    for (int i = -1; i < count; ++i) {
        char buffer[128] = {};
        if (pixel) {
            // The descriptor table of the loaded library may be shorter than
            // the headers': stop where it ends.
            if (i >= 0 && !AVUtilStubs.av_pix_fmt_desc_get(static_cast<AVPixelFormat>(i)))
                break;
            AVUtilStubs.av_get_pix_fmt_string(buffer, sizeof(buffer),
                                              static_cast<AVPixelFormat>(i));
        } else {
            AVUtilStubs.av_get_sample_fmt_string(buffer, sizeof(buffer),
                                                 static_cast<AVSampleFormat>(i));
        }
        FFLogger().Log(this, llInfo, TrimText(buffer));
    }
}

int64_t TFFmpegOptions::ParseTime(const std::string& optionName, const std::string& value,
                                  bool duration) const {
    int64_t result = 0;
    if (AVUtilStubs.av_parse_time(&result, value.c_str(), duration ? 1 : 0) < 0)
        throw FFmpegException("Invalid " + std::string(duration ? "duration" : "date") +
                              " specification for " + optionName + ": " + value);
    return result;
}

void TFFmpegOptions::SetVHook(const std::string& value) {
    // Split at "|" when there is one, else at blanks; empty parts are skipped.
    const char* separators = value.find('|') != std::string::npos ? "|" : " \t";
    std::vector<std::string> args;
    size_t pos = 0;
    while (pos < value.size() && args.size() < 254) {
        const size_t begin = value.find_first_not_of(separators, pos);
        if (begin == std::string::npos)
            break;
        size_t end = value.find_first_of(separators, begin);
        if (end == std::string::npos)
            end = value.size();
        args.push_back(value.substr(begin, end - begin));
        pos = end;
    }
    if (!AddFrameHook(args))
        throw FFmpegException("Failed to add video hook function: " + value);
    UsingVHook = true;
}

void TFFmpegOptions::SetAudioFilters(const std::string& value) {
    const std::string text = TrimText(value);
    CheckAudioFilters(text);
    AudioFilters = text;
}

void TFFmpegOptions::NewStreamOnLastOutput(int) {
    throw FFmpegException("At least one output file must be specified");
}

bool TFFmpegOptions::AddFrameHook(const std::vector<std::string>&) {
    return false;
}

void TFFmpegOptions::AddMetadata(const std::string& key, const std::string& value) {
    MetaDataPairs.push_back(TMetaDataPair{key, value});
}

// ---- The dispatcher ----------------------------------------------------------

const std::unordered_map<std::string, TFFmpegOptions::THandler>& TFFmpegOptions::Vocabulary() {
    using Handler = THandler;
    // Every name of the vocabulary is distinct, so a lookup gives the same
    // result as comparing them in order.
    static const std::unordered_map<std::string, Handler> vocabulary = [] {
        std::unordered_map<std::string, Handler> table;
        const Handler doNothing = [](TFFmpegOptions& self, const std::string& n,
                                     const std::string&) {
            FFLogger().Log(&self, llInfo, "Do nothing: option - " + n);
        };
        for (const char* n : {"L", "h", "version", "formats", "i", "y", "benchmark"})
            table[n] = doNothing;
        table["threads"] = [](TFFmpegOptions&, const std::string& n, const std::string&) {
            throw FFmpegException("TODO: option - " + n);
        };

        // General and timing options.
        table["f"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            s.SetFormat(v);
        };
        table["map"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            if (s.StreamMaps.size() >= static_cast<size_t>(MAX_STREAM_MAPS))
                throw FFmpegException("Too many stream maps (at most " +
                                      std::to_string(MAX_STREAM_MAPS) + ")");
            TStreamMap map;
            char* p = nullptr;
            map.FileIndex = static_cast<int>(std::strtol(v.c_str(), &p, 0));
            if (*p)
                ++p;
            map.StreamIndex = static_cast<int>(std::strtol(p, &p, 0));
            if (*p) {
                ++p;
                map.SyncFileIndex = static_cast<int>(std::strtol(p, &p, 0));
                if (*p)
                    ++p;
                map.SyncStreamIndex = static_cast<int>(std::strtol(p, &p, 0));
            } else {
                map.SyncFileIndex = map.FileIndex;
                map.SyncStreamIndex = map.StreamIndex;
            }
            s.StreamMaps.push_back(map);
        };
        table["map_meta_data"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            if (s.MetaDataMaps.size() >= static_cast<size_t>(MAX_META_DATA_MAPS))
                throw FFmpegException("Too many metadata maps (at most " +
                                      std::to_string(MAX_META_DATA_MAPS) + ")");
            TMetaDataMap map;
            char* p = nullptr;
            map.OutFile = static_cast<int>(std::strtol(v.c_str(), &p, 0));
            if (*p)
                ++p;
            map.InFile = static_cast<int>(std::strtol(p, &p, 0));
            s.MetaDataMaps.push_back(map);
        };
        table["t"] = [](TFFmpegOptions& s, const std::string& n, const std::string& v) {
            const int64_t time = s.ParseTime(n, v, true);
            if (time > 0) {
                s.RecordingTime = time;
                s.ExpectedTotalDuration = time / 1000;
            }
        };
        table["fs"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            s.LimitFileSize = StrToInt64(v);
        };
        table["ss"] = [](TFFmpegOptions& s, const std::string& n, const std::string& v) {
            s.StartTime = s.ParseTime(n, v, true);
        };
        table["itsoffset"] = [](TFFmpegOptions& s, const std::string& n, const std::string& v) {
            s.InputTsOffset = s.ParseTime(n, v, true);
        };
        table["itsscale"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            char* p = nullptr;
            const long stream = std::strtol(v.c_str(), &p, 0);
            if (stream >= MAX_STREAMS)
                throw FFmpegException("stream index over MAX_STREAMS(" +
                                      std::to_string(MAX_STREAMS) + ")");
            if (stream < 0)
                throw FFmpegException("Invalid stream index: " + std::to_string(stream));
            const int file = s.OpenedInputCount();
            if (file < 0 || file >= MAX_FILES)
                throw FFmpegException("Too many input files (at most " + std::to_string(MAX_FILES) +
                                      ")");
            if (*p)
                ++p;
            const char* end = nullptr;
            s.InputTsScale[file][stream] = LeadingReal(p, &end);
        };
        table["timestamp"] = [](TFFmpegOptions& s, const std::string& n, const std::string& v) {
            s.RecordingTimestamp =
                std::llround(static_cast<double>(s.ParseTime(n, v, false)) / 1000000.0);
        };
        table["metadata"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            const size_t eq = v.find('=');
            if (eq == std::string::npos)
                throw FFmpegException("Missing =");
            s.AddMetadata(v.substr(0, eq), v.substr(eq + 1));
        };
        table["dframes"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            s.MaxFrames[omtData] = StrToInt(v);
        };
        table["dump"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            s.DoPktDump = StrToFlag(v);
        };
        table["hex"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            s.DoHexDump = StrToFlag(v);
        };
        table["re"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            s.RateEmu = StrToFlag(v);
        };
        table["loop_input"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            s.LoopInput = StrToFlag(v);
        };
        table["loop_output"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            s.LoopOutput = StrToInt(v);
        };
        table["v"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            s.Verbose = StrToInt(v);
        };
        table["loglevel"] = [](TFFmpegOptions&, const std::string&, const std::string& v) {
            try {
                FFLogger().SetLogLevelByName(v);
            } catch (const std::invalid_argument& e) {
                throw FFmpegException(e.what());
            }
        };
        table["target"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            std::string norm = "auto";
            std::string type = v;
            for (const char* prefix : {"pal", "ntsc", "film"}) {
                const std::string p = std::string(prefix) + "-";
                if (v.compare(0, p.size(), p) == 0) {
                    norm = prefix;
                    type = v.substr(p.size());
                    break;
                }
            }
            s.SetTarget(type, norm, "ntsc");
        };
        table["vsync"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            s.VideoSyncMethod = StrToInt(v);
        };
        table["async"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            s.AudioSyncMethod = StrToInt(v);
        };
        table["adrift_threshold"] = [](TFFmpegOptions& s, const std::string&,
                                       const std::string& v) {
            s.AudioDriftThreshold = StrToFloat(v);
        };
        table["vglobal"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            s.VideoGlobalHeader = StrToInt(v);
        };
        table["copyts"] = [](TFFmpegOptions& s, const std::string&, const std::string&) {
            s.CopyTs = true;
        };
        table["shortest"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            s.OptShortest = StrToFlag(v);
        };
        table["dts_delta_threshold"] = [](TFFmpegOptions& s, const std::string&,
                                          const std::string& v) {
            s.DtsDeltaThreshold = StrToFloat(v);
        };
        table["programid"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            s.OptProgramID = StrToInt(v);
        };
        table["xerror"] = [](TFFmpegOptions& s, const std::string&, const std::string&) {
            s.ExitOnError = true;
        };
        table["copyinkf"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            s.CopyInitialNonKeyframes = StrToInt(v);
        };
        table["isync"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            s.InputSync = StrToFlag(v);
        };
        table["muxdelay"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            s.MuxMaxDelay = StrToFloat(v);
        };
        table["muxpreload"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            s.MuxPreload = StrToFloat(v);
        };
        for (const char* n : {"absf", "vbsf", "sbsf"})
            table[n] = [](TFFmpegOptions& s, const std::string& kind, const std::string& v) {
                s.AddBitstreamFilter(kind, v);
            };
        for (const char* n : {"apre", "vpre", "spre"})
            table[n] = [](TFFmpegOptions& s, const std::string& kind, const std::string& v) {
                s.ApplyPreset(kind, v);
            };

        // Video options.
        for (const char* n : {"b", "vb"})
            table[n] = [](TFFmpegOptions& s, const std::string& n2, const std::string& v) {
                s.SetBitrate(n2, v);
            };
        table["vframes"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            s.MaxFrames[omtVideo] = StrToInt(v);
        };
        table["r"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            AVRational rate{0, 0};
            if (AVUtilStubs.av_parse_video_rate(&rate, v.c_str()) < 0)
                throw FFmpegException("Incorrect frame rate");
            s.FrameRate = TFrameRate{rate.num, rate.den};
        };
        table["s"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            int width = 0;
            int height = 0;
            if (AVUtilStubs.av_parse_video_size(&width, &height, v.c_str()) < 0)
                throw FFmpegException("Incorrect frame size");
            if (width % 2 != 0 || height % 2 != 0)
                throw FFmpegException("Frame size must be a multiple of 2");
            s.FrameWidth = width;
            s.FrameHeight = height;
        };
        table["aspect"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            double ratio = 0;
            const size_t colon = v.find(':');
            if (colon != std::string::npos) {
                const int x = StrToInt(v.substr(0, colon));
                const int y = StrToInt(v.substr(colon + 1));
                ratio = y > 0 ? static_cast<double>(x) / y : 0;
            } else {
                ratio = StrToFloat(v);
            }
            if (ratio == 0)
                throw FFmpegException("Incorrect aspect ratio specification.");
            s.FrameAspectRatio = ratio;
        };
        table["pix_fmt"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            if (v == "list") {
                s.ListFormats(true);
                return;
            }
            const AVPixelFormat format = AVUtilStubs.av_get_pix_fmt(v.c_str());
            if (format == AV_PIX_FMT_NONE)
                throw FFmpegException("Unknown pixel format requested: " + v);
            s.FramePixFmt = format;
        };
        table["croptop"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            s.SetCrop(s.CropTop, StrToInt(v), true);
        };
        table["cropbottom"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            s.SetCrop(s.CropBottom, StrToInt(v), true);
        };
        table["cropleft"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            s.SetCrop(s.CropLeft, StrToInt(v), false);
        };
        table["cropright"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            s.SetCrop(s.CropRight, StrToInt(v), false);
        };
        table["padtop"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            s.SetPadTop(StrToInt(v));
        };
        table["padbottom"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            s.SetPadBottom(StrToInt(v));
        };
        table["padleft"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            s.SetPadLeft(StrToInt(v));
        };
        table["padright"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            s.SetPadRight(StrToInt(v));
        };
        table["padcolor"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            s.SetPadColor(static_cast<uint32_t>(StrToInt(v)));
        };
        table["intra"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            s.IntraOnly = StrToFlag(v);
        };
        table["vn"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            s.VideoDisable = StrToFlag(v);
        };
        table["vdt"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            s.VideoDiscard = StrToInt(v);
        };
        table["qscale"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            const double q = StrToFloat(v);
            if (!(q > 0 && q <= 255))
                throw FFmpegException("qscale must be > 0.0 and <= 255");
            s.VideoQScale = q;
        };
        table["rc_override"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            s.VideoRcOverride = v;
        };
        table["vcodec"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            s.SetCodecName(omtVideo, v);
        };
        table["me_threshold"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            s.MeThreshold = StrToInt(v);
        };
        table["sameq"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            s.SameQuality = StrToFlag(v);
        };
        table["pass"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            const int pass = StrToInt(v);
            if (pass != 1 && pass != 2)
                throw FFmpegException("pass number can be only 1 or 2");
            s.DoPass = pass;
        };
        table["passlogfile"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            s.PassLogFilename = v;
        };
        table["deinterlace"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            s.DoDeinterlace = StrToFlag(v);
        };
        table["psnr"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            s.DoPSNR = StrToFlag(v);
        };
        table["vstats"] = [](TFFmpegOptions& s, const std::string&, const std::string&) {
            std::string folder;
            if (QCoreApplication::instance()) {
                folder = QCoreApplication::applicationDirPath().toStdString();
                if (!folder.empty() && folder.back() != '/')
                    folder += '/';
            }
            s.VStatsFilename =
                folder + "vstats_" +
                QTime::currentTime().toString(QStringLiteral("hhmmss")).toStdString() + ".log";
        };
        table["vstats_file"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            s.VStatsFilename = v;
        };
        table["vhook"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            s.SetVHook(v);
        };
        table["vfilters"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            s.VideoFilters = v;
        };
        table["intra_matrix"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            s.SetMatrix(s.IntraMatrix, v);
        };
        table["inter_matrix"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            s.SetMatrix(s.InterMatrix, v);
        };
        table["top"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            s.TopFieldFirst = StrToInt(v);
        };
        table["dc"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            s.IntraDcPrecision = StrToInt(v);
        };
        table["vtag"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            s.SetTag(s.VideoCodecTag, v, "video tag parameter must be 4 chars");
        };
        table["newvideo"] = [](TFFmpegOptions& s, const std::string&, const std::string&) {
            s.NewStreamOnLastOutput(omtVideo);
        };
        table["qphist"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            s.QpHistogram = StrToFlag(v);
        };
        table["force_fps"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            s.ForceFps = StrToFlag(v);
        };
        table["vc"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            s.VideoChannel = StrToInt(v);
        };
        table["tvstd"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            s.VideoStandard = v;
        };

        // Audio and subtitle options.
        table["ab"] = [](TFFmpegOptions& s, const std::string& n, const std::string& v) {
            s.SetBitrate(n, v);
        };
        table["aframes"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            s.MaxFrames[omtAudio] = StrToInt(v);
        };
        table["aq"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            s.AudioQScale = StrToFloat(v);
        };
        table["ar"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            s.SetAudioSampleRate(StrToInt(v));
        };
        table["ac"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            s.SetAudioChannels(StrToInt(v));
        };
        table["an"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            s.AudioDisable = StrToFlag(v);
        };
        table["acodec"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            s.SetCodecName(omtAudio, v);
        };
        table["atag"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            s.SetTag(s.AudioCodecTag, v, "audio tag parameter must be 4 chars");
        };
        table["vol"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            s.AudioVolume = StrToInt(v);
        };
        table["newaudio"] = [](TFFmpegOptions& s, const std::string&, const std::string&) {
            s.NewStreamOnLastOutput(omtAudio);
        };
        table["alang"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            s.AudioLanguage = v;
        };
        for (const char* n : {"afilters", "af"})
            table[n] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
                s.SetAudioFilters(v);
            };
        table["sample_fmt"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            if (v == "list") {
                s.ListFormats(false);
                return;
            }
            s.AudioSampleFmt = AVUtilStubs.av_get_sample_fmt(v.c_str());
        };
        table["sn"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            s.SubtitleDisable = StrToFlag(v);
        };
        table["scodec"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            s.SetCodecName(omtSubtitle, v);
        };
        table["newsubtitle"] = [](TFFmpegOptions& s, const std::string&, const std::string&) {
            s.NewStreamOnLastOutput(omtSubtitle);
        };
        table["slang"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            s.SubtitleLanguage = v;
        };
        table["stag"] = [](TFFmpegOptions& s, const std::string&, const std::string& v) {
            s.SetTag(s.SubtitleCodecTag, v, "subtitle tag parameter must be 4 chars");
        };
        return table;
    }();
    return vocabulary;
}

bool TFFmpegOptions::KnowsOption(const std::string& name) const {
    return Vocabulary().count(name) != 0 || FindsGenericOption(name);
}

void TFFmpegOptions::SetOption(const std::string& name, const std::string& value) {
    const auto& vocabulary = Vocabulary();
    const auto it = vocabulary.find(name);
    if (it != vocabulary.end())
        it->second(*this, name, value);
    else
        SetGenericOption(name, value); // unknown names are dropped
}

// ---- Typed setters -------------------------------------------------------------

void TFFmpegOptions::SetAudioChannels(int channels) {
    if (channels > 0)
        AudioChannels = channels;
}
void TFFmpegOptions::SetAudioSampleRate(int rate) {
    if (rate > 0)
        AudioSampleRate = rate;
}
void TFFmpegOptions::SetAudioVolume(int volume) {
    if (volume >= 0)
        AudioVolume = volume;
}
void TFFmpegOptions::SetAudioSyncMethod(int method) {
    AudioSyncMethod = method;
}
void TFFmpegOptions::SetVideoSyncMethod(int method) {
    VideoSyncMethod = method;
}
void TFFmpegOptions::SetMuxDelay(double seconds) {
    if (seconds > 0)
        MuxMaxDelay = seconds;
}
void TFFmpegOptions::SetMuxPreload(double seconds) {
    if (seconds > 0)
        MuxPreload = seconds;
}
void TFFmpegOptions::SetCropTop(int value) {
    SetCrop(CropTop, value, true);
}
void TFFmpegOptions::SetCropBottom(int value) {
    SetCrop(CropBottom, value, true);
}
void TFFmpegOptions::SetCropLeft(int value) {
    SetCrop(CropLeft, value, false);
}
void TFFmpegOptions::SetCropRight(int value) {
    SetCrop(CropRight, value, false);
}
void TFFmpegOptions::SetPadTop(int value) {
    if (value >= 0)
        PadTop = value;
}
void TFFmpegOptions::SetPadBottom(int value) {
    if (value >= 0)
        PadBottom = value;
}
void TFFmpegOptions::SetPadLeft(int value) {
    if (value >= 0)
        PadLeft = value;
}
void TFFmpegOptions::SetPadRight(int value) {
    if (value >= 0)
        PadRight = value;
}
void TFFmpegOptions::SetPadColor(uint32_t rgb) {
    RGBToYUV(rgb, PadColor);
}
void TFFmpegOptions::SetStartTimeMS(int64_t milliseconds) {
    if (milliseconds > 0)
        StartTime = milliseconds > INT64_MAX / 1000 ? INT64_MAX : milliseconds * 1000;
}
void TFFmpegOptions::SetStartTimeUS(int64_t microseconds) {
    if (microseconds > 0)
        StartTime = microseconds;
}
void TFFmpegOptions::SetRecordingTimeMS(int64_t milliseconds) {
    if (milliseconds > 0)
        RecordingTime = milliseconds > INT64_MAX / 1000 ? INT64_MAX : milliseconds * 1000;
}
void TFFmpegOptions::SetRecordingTimeUS(int64_t microseconds) {
    if (microseconds > 0)
        RecordingTime = microseconds;
}
void TFFmpegOptions::SetRecordingTimestamp(int64_t unixSeconds) {
    RecordingTimestamp = unixSeconds;
}
void TFFmpegOptions::SetProgramID(int id) {
    if (id >= 0)
        OptProgramID = id;
}
void TFFmpegOptions::SetVerbosity(int verbosity) {
    Verbose = verbosity;
}
void TFFmpegOptions::SetCopyTimestamps(bool on) {
    CopyTs = on;
}

void TFFmpegOptions::RGBToYUV(uint32_t rgb, int yuv[3]) {
    const int r = static_cast<int>(rgb & 0xff);
    const int g = static_cast<int>((rgb >> 8) & 0xff);
    const int b = static_cast<int>((rgb >> 16) & 0xff);
    yuv[0] = (306 * r + 601 * g + 117 * b + 512) >> 10;
    yuv[1] = ((-173 * r - 339 * g + 512 * b + 511) >> 10) + 128;
    yuv[2] = ((512 * r - 429 * g - 83 * b + 511) >> 10) + 128;
}

// ---- Settings dump -------------------------------------------------------------

std::vector<std::pair<std::string, std::string>> TFFmpegOptions::DescribeSettings() const {
    std::vector<std::pair<std::string, std::string>> out;
    auto add = [&out](const char* name, std::string value) {
        out.emplace_back(name, std::move(value));
    };
    const char* input = ForcedInputFormat ? ForcedInputFormat->name : "";
    const char* output = ForcedOutputFormat ? ForcedOutputFormat->name : "";
    add("ForcedInputFormat", input ? input : "");
    add("ForcedOutputFormat", output ? output : "");
    add("PgmyuvRequested", BoolText(PgmyuvRequested));
    add("FrameWidth", IntText(FrameWidth));
    add("FrameHeight", IntText(FrameHeight));
    add("FrameAspectRatio", RealText(FrameAspectRatio));
    add("FramePixFmt", IntText(FramePixFmt));
    add("CropTop", IntText(CropTop));
    add("CropBottom", IntText(CropBottom));
    add("CropLeft", IntText(CropLeft));
    add("CropRight", IntText(CropRight));
    add("PadTop", IntText(PadTop));
    add("PadBottom", IntText(PadBottom));
    add("PadLeft", IntText(PadLeft));
    add("PadRight", IntText(PadRight));
    add("PadColor", IntText(PadColor[0]) + "," + IntText(PadColor[1]) + "," + IntText(PadColor[2]));
    add("FrameRate", IntText(FrameRate.num) + "/" + IntText(FrameRate.den));
    add("MaxFrames.video", IntText(MaxFrames[omtVideo]));
    add("MaxFrames.audio", IntText(MaxFrames[omtAudio]));
    add("MaxFrames.data", IntText(MaxFrames[omtData]));
    add("MaxFrames.subtitle", IntText(MaxFrames[omtSubtitle]));
    add("RecordingTime", IntText(RecordingTime));
    add("StartTime", IntText(StartTime));
    add("InputTsOffset", IntText(InputTsOffset));
    add("RecordingTimestamp", IntText(RecordingTimestamp));
    add("LimitFileSize", IntText(LimitFileSize));
    add("VideoDisable", BoolText(VideoDisable));
    add("VideoDiscard", IntText(VideoDiscard));
    add("VideoCodecName", VideoCodecName);
    add("VideoStreamCopy", BoolText(VideoStreamCopy));
    add("VideoCodecTag", TagText(VideoCodecTag));
    add("SameQuality", BoolText(SameQuality));
    add("DoDeinterlace", BoolText(DoDeinterlace));
    add("TopFieldFirst", IntText(TopFieldFirst));
    add("MeThreshold", IntText(MeThreshold));
    add("IntraDcPrecision", IntText(IntraDcPrecision));
    add("IntraOnly", BoolText(IntraOnly));
    add("VideoQScale", RealText(VideoQScale));
    add("IntraMatrix", MatrixText(IntraMatrix));
    add("InterMatrix", MatrixText(InterMatrix));
    add("VideoRcOverride", VideoRcOverride);
    add("VideoFilters", VideoFilters);
    add("ForceFps", BoolText(ForceFps));
    add("QpHistogram", BoolText(QpHistogram));
    add("VideoChannel", IntText(VideoChannel));
    add("VideoStandard", VideoStandard);
    add("VideoGlobalHeader", IntText(VideoGlobalHeader));
    add("DoPass", IntText(DoPass));
    add("PassLogFilename", PassLogFilename);
    add("AudioDisable", BoolText(AudioDisable));
    add("AudioCodecName", AudioCodecName);
    add("AudioStreamCopy", BoolText(AudioStreamCopy));
    add("AudioCodecTag", TagText(AudioCodecTag));
    add("AudioSampleRate", IntText(AudioSampleRate));
    add("AudioChannels", IntText(AudioChannels));
    add("ChannelLayout", IntText(ChannelLayout));
    add("AudioSampleFmt", IntText(AudioSampleFmt));
    add("AudioQScale", RealText(AudioQScale));
    add("AudioVolume", IntText(AudioVolume));
    add("AudioLanguage", AudioLanguage);
    add("AudioFilters", AudioFilters);
    add("SubtitleDisable", BoolText(SubtitleDisable));
    add("SubtitleCodecName", SubtitleCodecName);
    add("SubtitleStreamCopy", BoolText(SubtitleStreamCopy));
    add("SubtitleCodecTag", TagText(SubtitleCodecTag));
    add("SubtitleLanguage", SubtitleLanguage);
    add("VideoSyncMethod", IntText(VideoSyncMethod));
    add("AudioSyncMethod", IntText(AudioSyncMethod));
    add("AudioDriftThreshold", RealText(AudioDriftThreshold));
    add("CopyTs", BoolText(CopyTs));
    add("OptShortest", BoolText(OptShortest));
    add("InputSync", BoolText(InputSync));
    add("DtsDeltaThreshold", RealText(DtsDeltaThreshold));
    add("MuxPreload", RealText(MuxPreload));
    add("MuxMaxDelay", RealText(MuxMaxDelay));
    add("OptProgramID", IntText(OptProgramID));
    add("CopyInitialNonKeyframes", IntText(CopyInitialNonKeyframes));
    add("Verbose", IntText(Verbose));
    add("DoHexDump", BoolText(DoHexDump));
    add("DoPktDump", BoolText(DoPktDump));
    add("DoPSNR", BoolText(DoPSNR));
    add("RateEmu", BoolText(RateEmu));
    add("ExitOnError", BoolText(ExitOnError));
    add("VStatsFilename", VStatsFilename);
    add("LoopInput", BoolText(LoopInput));
    add("LoopOutput", IntText(LoopOutput));
    add("UsingVHook", BoolText(UsingVHook));
    std::string maps;
    for (const TStreamMap& m : StreamMaps)
        maps += (maps.empty() ? "" : " ") + IntText(m.FileIndex) + "." + IntText(m.StreamIndex) +
                ":" + IntText(m.SyncFileIndex) + "." + IntText(m.SyncStreamIndex);
    add("StreamMaps", maps);
    std::string metaMaps;
    for (const TMetaDataMap& m : MetaDataMaps)
        metaMaps += (metaMaps.empty() ? "" : " ") + IntText(m.OutFile) + "." + IntText(m.InFile);
    add("MetaDataMaps", metaMaps);
    std::string scales;
    for (int f = 0; f < MAX_FILES; ++f)
        for (int st = 0; st < MAX_STREAMS; ++st)
            if (InputTsScale[f][st] != 0)
                scales += (scales.empty() ? "" : " ") + IntText(f) + "." + IntText(st) + "=" +
                          RealText(InputTsScale[f][st]);
    add("InputTsScale", scales);
    std::string pairs;
    for (const TMetaDataPair& p : MetaDataPairs)
        pairs += (pairs.empty() ? "" : " ") + Quoted(p.Key) + "=" + Quoted(p.Value);
    add("MetaDataPairs", pairs);
    add("VideoBitstreamFilters", ChainText(VideoBitstreamFilters));
    add("AudioBitstreamFilters", ChainText(AudioBitstreamFilters));
    add("SubtitleBitstreamFilters", ChainText(SubtitleBitstreamFilters));
    add("SwsFlags", IntText(SwsFlags));
    add("BitBufferSize", IntText(BitBufferSize));
    add("ExpectedTotalDuration", IntText(ExpectedTotalDuration));

    // Generic options: the current value in every default context that has it.
    static const char* const contextNames[] = {"video", "audio", "data", "subtitle", "attachment"};
    for (const std::string& name : GenericNames_) {
        auto describe = [&](const char* where, void* context) {
            if (!context || !AVUtilStubs.av_opt_find(context, name.c_str(), nullptr, 0, 0))
                return;
            uint8_t* text = nullptr;
            if (AVUtilStubs.av_opt_get(context, name.c_str(), 0, &text) >= 0 && text) {
                out.emplace_back("generic " + std::string(where) + "." + name,
                                 reinterpret_cast<const char*>(text));
            }
            AVUtilStubs.av_free(text);
        };
        for (int t = 0; t < OptionMediaTypeCount; ++t)
            describe(contextNames[t], CodecDefaults_[t].get());
        describe("format", FormatDefaults_.get());
        describe("scaler", ScalerDefaults_.get());
    }
    return out;
}
