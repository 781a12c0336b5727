// The generic option store (default contexts of the media libraries that take
// every option name the vocabulary does not know), presets, bitstream-filter
// chains and targets.
#include "FFmpegOptions.h"
#include "FFUtils.h"

#include "FFmpegLogger.h"
#include "FFmpegStubs.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cmath>
#include <strings.h>

namespace {

// Option-flag mask per media type: video, audio, data, subtitle, attachment.
constexpr int TypeMasks[OptionMediaTypeCount] = {OPT_FLAG_VIDEO, OPT_FLAG_AUDIO, 0,
                                                 OPT_FLAG_SUBTITLE, 0};

const char* FindBuiltinPreset(const std::string& name) {
    for (const auto& [presetName, text] : TFFmpegOptions::BuiltinPresets())
        if (strcasecmp(presetName, name.c_str()) == 0)
            return text;
    return nullptr;
}

// Settings of the 2010 libx264 presets that the libraries now keep, under
// other names, in libx264's own option table: the equivalent settings of a
// preset line, or nothing when the line needs no translation.
std::vector<std::pair<std::string, std::string>> LegacyX264Option(const std::string& key,
                                                                  const std::string& value) {
    if (key == "directpred")
        return {{"direct-pred", value}};
    if (key == "cqp")
        return {{"qp", value}};
    if (key != "flags2" && key != "partitions")
        return {};
    // "+a-b+c": each flag with its sign.
    std::vector<std::pair<bool, std::string>> flags;
    for (size_t pos = 0; pos < value.size();) {
        const bool on = value[pos] != '-';
        if (value[pos] == '+' || value[pos] == '-')
            ++pos;
        const size_t end = value.find_first_of("+-", pos);
        flags.emplace_back(on, value.substr(pos, end - pos));
        pos = end == std::string::npos ? value.size() : end;
    }
    std::vector<std::pair<std::string, std::string>> result;
    if (key == "partitions") {
        static const std::pair<const char*, const char*> parts[] = {{"parti4x4", "i4x4"},
                                                                    {"parti8x8", "i8x8"},
                                                                    {"partp4x4", "p4x4"},
                                                                    {"partp8x8", "p8x8"},
                                                                    {"partb8x8", "b8x8"}};
        std::string list;
        for (const auto& [on, flag] : flags) {
            const auto* part = std::find_if(std::begin(parts), std::end(parts),
                                            [&](const auto& p) { return flag == p.first; });
            if (part == std::end(parts))
                return {};
            if (on)
                list += (list.empty() ? "" : ",") + std::string(part->second);
        }
        return {{"partitions", list.empty() ? "none" : list}};
    }
    static const std::pair<const char*, const char*> moved[] = {{"wpred", "weightb"},
                                                                {"dct8x8", "8x8dct"},
                                                                {"mixed_refs", "mixed-refs"},
                                                                {"fastpskip", "fast-pskip"},
                                                                {"bpyramid", "b-pyramid"}};
    std::string rest;
    for (const auto& [on, flag] : flags) {
        const auto* m = std::find_if(std::begin(moved), std::end(moved),
                                     [&](const auto& p) { return flag == p.first; });
        if (m == std::end(moved))
            rest += (on ? "+" : "-") + flag;
        else if (flag == "bpyramid")
            result.emplace_back(m->second, on ? "normal" : "none");
        else
            result.emplace_back(m->second, on ? "1" : "0");
    }
    if (result.empty())
        return {};
    if (!rest.empty())
        result.emplace_back("flags2", rest);
    return result;
}

} // namespace

// ---- Deleters ------------------------------------------------------------------

void TBSFContextDeleter::operator()(AVBSFContext* context) const {
    if (context && AVCodecStubs.av_bsf_free)
        AVCodecStubs.av_bsf_free(&context);
}
void TCodecContextDeleter::operator()(AVCodecContext* context) const {
    if (context && AVCodecStubs.avcodec_free_context)
        AVCodecStubs.avcodec_free_context(&context);
}
void TFormatContextDeleter::operator()(AVFormatContext* context) const {
    if (context && AVFormatStubs.avformat_free_context)
        AVFormatStubs.avformat_free_context(context);
}
void TSwsContextDeleter::operator()(SwsContext* context) const {
    if (context && SwScaleStubs.sws_freeContext)
        SwScaleStubs.sws_freeContext(context);
}

// ---- Generic option store --------------------------------------------------------

void TFFmpegOptions::CreateOptionStore() {
    FreeOptionStore();
    if (!AVCodecStubs.avcodec_alloc_context3 || !AVFormatStubs.avformat_alloc_context ||
        !SwScaleStubs.sws_getContext || !AVUtilStubs.av_opt_set)
        throw FFmpegException("The media libraries are not loaded");
    for (int type = 0; type < OptionMediaTypeCount; ++type) {
        AVCodecContext* context = AVCodecStubs.avcodec_alloc_context3(nullptr);
        if (!context) {
            FreeOptionStore();
            throw FFmpegException("avcodec_alloc_context3 failed");
        }
        context->codec_type = static_cast<AVMediaType>(type);
        CodecDefaults_[type].reset(context);
    }
    FormatDefaults_.reset(AVFormatStubs.avformat_alloc_context());
    ScalerDefaults_.reset(SwScaleStubs.sws_getContext(16, 16, static_cast<AVPixelFormat>(0), 16, 16,
                                                      static_cast<AVPixelFormat>(0), SwsFlags,
                                                      nullptr, nullptr, nullptr));
    if (!FormatDefaults_ || !ScalerDefaults_) {
        const bool formatFailed = !FormatDefaults_;
        FreeOptionStore();
        throw FFmpegException(formatFailed ? "avformat_alloc_context failed"
                                           : "sws_getContext failed");
    }
}

void TFFmpegOptions::FreeOptionStore() {
    for (auto& context : CodecDefaults_)
        context.reset();
    FormatDefaults_.reset();
    ScalerDefaults_.reset();
    GenericNames_.clear();
    PrivateDefaults_.clear();
    PrivateNames_.clear();
}

AVCodecContext* TFFmpegOptions::PrivateDefaults(const std::string& encoderName) const {
    for (const auto& [name, context] : PrivateDefaults_)
        if (name == encoderName)
            return context.get();
    const AVCodec* codec = AVCodecStubs.avcodec_find_encoder_by_name(encoderName.c_str());
    if (!codec || !codec->priv_class)
        return nullptr;
    std::unique_ptr<AVCodecContext, TCodecContextDeleter> context(
        AVCodecStubs.avcodec_alloc_context3(codec));
    if (!context || !context->priv_data)
        return nullptr;
    PrivateDefaults_.emplace_back(encoderName, std::move(context));
    return PrivateDefaults_.back().second.get();
}

std::vector<std::string> TFFmpegOptions::ChosenEncoders() const {
    std::vector<std::string> names;
    for (const std::string* name : {&VideoCodecName, &AudioCodecName, &SubtitleCodecName})
        if (!name->empty())
            names.push_back(*name);
    return names;
}

void TFFmpegOptions::ApplyPrivateOptions(AVCodecContext* target) const {
    if (!target || !target->codec || !target->priv_data || !OptionStoreCreated())
        return;
    const std::string encoder = target->codec->name;
    for (const auto& [name, context] : PrivateDefaults_) {
        if (name != encoder)
            continue;
        for (const auto& [owner, option] : PrivateNames_) {
            if (owner != encoder)
                continue;
            uint8_t* text = nullptr;
            if (AVUtilStubs.av_opt_get(context->priv_data, option.c_str(), 0, &text) >= 0 && text)
                AVUtilStubs.av_opt_set(target->priv_data, option.c_str(),
                                       reinterpret_cast<const char*>(text), 0);
            AVUtilStubs.av_free(text);
        }
    }
}

AVCodecContext* TFFmpegOptions::DefaultCodecContext(int type) const {
    if (type < 0 || type >= OptionMediaTypeCount)
        return nullptr;
    return CodecDefaults_[type].get();
}

bool TFFmpegOptions::FindsGenericOption(const std::string& rawName) const {
    const std::string name = TrimText(rawName);
    if (name.empty() || !OptionStoreCreated())
        return false;
    auto has = [](void* context, const char* optionName, int flags) {
        return context && AVUtilStubs.av_opt_find(context, optionName, nullptr, flags, 0);
    };
    for (int type = 0; type < OptionMediaTypeCount; ++type)
        if (has(CodecDefaults_[type].get(), name.c_str(), TypeMasks[type]))
            return true;
    for (const std::string& encoder : ChosenEncoders()) {
        const AVCodecContext* context = PrivateDefaults(encoder);
        if (context && has(context->priv_data, name.c_str(), 0))
            return true;
    }
    if (has(FormatDefaults_.get(), name.c_str(), 0) || has(ScalerDefaults_.get(), name.c_str(), 0))
        return true;
    // "ab", "vb", "sfoo": the option without its type letter on that type's context.
    const int type = name.size() < 2  ? -1
                     : name[0] == 'a' ? omtAudio
                     : name[0] == 'v' ? omtVideo
                     : name[0] == 's' ? omtSubtitle
                                      : -1;
    return type >= 0 && has(CodecDefaults_[type].get(), name.c_str() + 1, 0);
}

bool TFFmpegOptions::SetGenericOption(const std::string& rawName, const std::string& rawValue) {
    const std::string name = TrimText(rawName);
    const std::string value = TrimText(rawValue);
    if (name.empty() || value.empty() || !OptionStoreCreated())
        return false;

    const AVOption* found = nullptr;
    int result = 0;
    // The libraries take "b" for every media type; here it is the video bit rate
    // only ("ab" sets the audio one), so it must not reach the audio defaults.
    const bool videoOnly = name == "b";
    for (int type = 0; type < OptionMediaTypeCount && result >= 0; ++type) {
        if (videoOnly && type != omtVideo)
            continue;
        AVCodecContext* context = CodecDefaults_[type].get();
        const AVOption* option =
            AVUtilStubs.av_opt_find(context, name.c_str(), nullptr, TypeMasks[type], 0);
        if (option) {
            found = option;
            result = AVUtilStubs.av_opt_set(context, name.c_str(), value.c_str(), 0);
        }
    }
    // Options that moved into the chosen encoder's own table.
    std::string privateOwner;
    for (const std::string& encoder : ChosenEncoders()) {
        if (found)
            break;
        AVCodecContext* context = PrivateDefaults(encoder);
        const AVOption* option =
            context ? AVUtilStubs.av_opt_find(context->priv_data, name.c_str(), nullptr, 0, 0)
                    : nullptr;
        if (option) {
            found = option;
            privateOwner = encoder;
            result = AVUtilStubs.av_opt_set(context->priv_data, name.c_str(), value.c_str(), 0);
        }
    }
    auto trySet = [&](void* context, const char* optionName) {
        const AVOption* option = AVUtilStubs.av_opt_find(context, optionName, nullptr, 0, 0);
        if (option) {
            found = option;
            result = AVUtilStubs.av_opt_set(context, optionName, value.c_str(), 0);
        }
    };
    if (!found)
        trySet(FormatDefaults_.get(), name.c_str());
    if (!found)
        trySet(ScalerDefaults_.get(), name.c_str());
    if (!found && name.size() > 1) {
        // "ab", "vb", "sfoo": the option without its type letter on that type's context.
        const int type = name[0] == 'a'   ? omtAudio
                         : name[0] == 'v' ? omtVideo
                         : name[0] == 's' ? omtSubtitle
                                          : -1;
        if (type >= 0)
            trySet(CodecDefaults_[type].get(), name.c_str() + 1);
    }
    if (found && result < 0) {
        AVUtilStubs.av_log(nullptr, AV_LOG_ERROR, "Invalid value \"%s\" for option \"%s\"\n",
                           value.c_str(), name.c_str());
        return false;
    }
    if (!found)
        return false;

    const std::string setName = found->name;
    if (!privateOwner.empty()) {
        const std::pair<std::string, std::string> entry{privateOwner, setName};
        if (std::find(PrivateNames_.begin(), PrivateNames_.end(), entry) == PrivateNames_.end())
            PrivateNames_.push_back(entry);
        return true;
    }
    if (std::find(GenericNames_.begin(), GenericNames_.end(), setName) == GenericNames_.end())
        GenericNames_.push_back(setName);
    if (CodecDefaults_[omtVideo]->debug != 0 || FormatDefaults_->debug != 0)
        FFLogger().SetLogLevel(llDebug);
    return true;
}

void TFFmpegOptions::ApplyGenericOptionsFrom(void* target, void* defaults, int mask) const {
    if (!target || !defaults)
        return;
    for (const std::string& name : GenericNames_) {
        const AVOption* option = AVUtilStubs.av_opt_find(defaults, name.c_str(), nullptr, 0, 0);
        uint8_t* text = nullptr;
        if (option && (option->flags & mask) == mask &&
            AVUtilStubs.av_opt_get(defaults, name.c_str(), 0, &text) >= 0 && text)
            AVUtilStubs.av_opt_set(target, name.c_str(), reinterpret_cast<const char*>(text), 0);
        AVUtilStubs.av_free(text);
    }
}

void TFFmpegOptions::ApplyGenericOptions(AVCodecContext* target, int mask) const {
    if (!target)
        return;
    int type = mask & OPT_FLAG_VIDEO      ? omtVideo
               : mask & OPT_FLAG_AUDIO    ? omtAudio
               : mask & OPT_FLAG_SUBTITLE ? omtSubtitle
                                          : static_cast<int>(target->codec_type);
    if (type < 0 || type >= OptionMediaTypeCount)
        type = omtData;
    ApplyGenericOptionsFrom(target, CodecDefaults_[type].get(), mask);
}

void TFFmpegOptions::ApplyGenericOptions(AVFormatContext* target, int mask) const {
    ApplyGenericOptionsFrom(target, FormatDefaults_.get(), mask);
}

void TFFmpegOptions::ApplyGenericOptions(SwsContext* target, int mask) const {
    ApplyGenericOptionsFrom(target, ScalerDefaults_.get(), mask);
}

// ---- Presets -----------------------------------------------------------------------

void TFFmpegOptions::ApplyPreset(const std::string& kind, const std::string& name) {
    std::string text;
    std::string tried = name;
    const char* builtin = FindBuiltinPreset(name);
    if (!builtin) {
        const std::string& codec = kind == "vpre" && !VideoCodecName.empty()   ? VideoCodecName
                                   : kind == "apre" && !AudioCodecName.empty() ? AudioCodecName
                                                                               : SubtitleCodecName;
        if (!codec.empty()) {
            tried = name + "-" + codec;
            builtin = FindBuiltinPreset(tried);
        }
    }
    if (builtin) {
        text = builtin;
    } else {
        const QString path = QString::fromStdString(name);
        QFile file(path);
        if (name.empty() || !QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly))
            throw FFmpegException("Preset \"" + tried + "\" not found");
        text = file.readAll().toStdString();
    }

    const std::string normalised = NormaliseLineBreaks(TrimText(text));

    size_t pos = 0;
    while (pos <= normalised.size()) {
        size_t end = normalised.find('\n', pos);
        if (end == std::string::npos)
            end = normalised.size();
        const std::string line = TrimText(normalised.substr(pos, end - pos));
        pos = end + 1;
        if (line.empty())
            continue;
        const size_t eq = line.find('=');
        const std::string key = eq == std::string::npos ? line : TrimText(line.substr(0, eq));
        const std::string value = eq == std::string::npos ? "" : TrimText(line.substr(eq + 1));
        if (key.empty() || value.empty())
            throw FFmpegException(name + ": Invalid syntax: \"" + line + "\"");
        if (strcasecmp(key.c_str(), "acodec") == 0)
            SetCodecName(omtAudio, value);
        else if (strcasecmp(key.c_str(), "vcodec") == 0)
            SetCodecName(omtVideo, value);
        else if (strcasecmp(key.c_str(), "scodec") == 0)
            SetCodecName(omtSubtitle, value);
        else if (const auto legacy = LegacyX264Option(key, value);
                 !legacy.empty() &&
                 std::all_of(legacy.begin(), legacy.end(), [this](const auto& option) {
                     return FindsGenericOption(option.first);
                 })) {
            for (const auto& [legacyKey, legacyValue] : legacy)
                if (!SetGenericOption(legacyKey, legacyValue))
                    throw FFmpegException(name + ": Invalid option or argument: \"" + line +
                                          "\", parsed as \"" + key + "\" = \"" + value + "\"");
        } else if (!SetGenericOption(key, value))
            throw FFmpegException(name + ": Invalid option or argument: \"" + line +
                                  "\", parsed as \"" + key + "\" = \"" + value + "\"");
    }
}

// ---- Bitstream filters ---------------------------------------------------------------

void TFFmpegOptions::AddBitstreamFilter(const std::string& kind, const std::string& rawText) {
    const std::string text = TrimText(rawText);
    if (text.empty() || text[0] == '=')
        return;
    const size_t eq = text.find('=');
    const std::string name = eq == std::string::npos ? text : text.substr(0, eq);
    const std::string args = eq == std::string::npos ? "" : text.substr(eq + 1);
    const AVBitStreamFilter* filter = AVCodecStubs.av_bsf_get_by_name(name.c_str());
    AVBSFContext* context = nullptr;
    if (!filter || AVCodecStubs.av_bsf_alloc(filter, &context) < 0)
        throw FFmpegException("Unknown bitstream filter " + text);
    TBSFContextPtr owned(context);
    // "name=key=value:key=value": the filter's own options, set before it is initialised.
    if (!args.empty() &&
        (!filter->priv_class || !context->priv_data ||
         AVUtilStubs.av_set_options_string(context->priv_data, args.c_str(), "=", ":") < 0))
        throw FFmpegException("Invalid options for bitstream filter " + name + ": " + args);
    TBitstreamFilterChain& chain = !kind.empty() && kind[0] == 'v'   ? VideoBitstreamFilters
                                   : !kind.empty() && kind[0] == 'a' ? AudioBitstreamFilters
                                                                     : SubtitleBitstreamFilters;
    chain.push_back(TBitstreamFilter{name, args, std::move(owned)});
}

// ---- Targets ---------------------------------------------------------------------------

void TFFmpegOptions::SetTarget(const std::string& type, const std::string& norm,
                               const std::string& fallbackNorm) {
    // 25 fps is PAL; 29.97 and 23.976 are NTSC; -1 undecided.
    auto normOfRate = [](double millihertz) {
        const long rate = std::lround(millihertz);
        if (rate == 25000)
            return static_cast<int>(tnPAL);
        if (rate == 29970 || rate == 23976)
            return static_cast<int>(tnNTSC);
        return -1;
    };

    int detected = -1;
    if (norm == "pal") {
        detected = tnPAL;
    } else if (norm == "ntsc") {
        detected = tnNTSC;
    } else if (norm == "film") {
        detected = tnFILM;
    } else {
        if (FrameRate.den == 0)
            throw FFmpegException("frame_rate is invalid.");
        detected = normOfRate(FrameRate.num * 1000.0 / FrameRate.den);
        if (detected < 0) {
            for (const TFrameRate& timeBase : InputVideoTimeBases()) {
                if (timeBase.num == 0)
                    continue;
                detected = normOfRate(timeBase.den * 1000.0 / timeBase.num);
                if (detected >= 0)
                    break;
            }
        }
        if (detected < 0)
            detected = fallbackNorm == "film" ? tnFILM : fallbackNorm == "ntsc" ? tnNTSC : tnPAL;
        if (Verbose > 0)
            FFLogger().Log(this, llVerbose,
                           std::string("Assuming ") + (detected == tnPAL ? "PAL" : "NTSC") +
                               " for target.");
    }

    const bool pal = detected == tnPAL;
    const char* rate = pal ? "25" : detected == tnNTSC ? "30000/1001" : "24000/1001";
    const char* gop = pal ? "15" : "18";
    auto aspectIfUnset = [this](const char* aspect, bool log) {
        if (FrameAspectRatio == 0) {
            SetOption("aspect", aspect);
            if (log)
                FFLogger().Log(this, llInfo,
                               std::string("Assuming ") + aspect + " for aspect ratio");
        }
    };

    // The results of the generic options are not checked: names that the
    // loaded libraries no longer have ("muxrate", "flags=+scan_offset") are
    // skipped like any unknown option.
    if (type == "vcd") {
        SetCodecName(omtVideo, "mpeg1video");
        SetCodecName(omtAudio, "mp2");
        SetOutputFormat("vcd");
        SetOption("s", pal ? "352x288" : "352x240");
        SetOption("r", rate);
        SetGenericOption("g", gop);
        SetGenericOption("b", "1150000");
        SetGenericOption("maxrate", "1150000");
        SetGenericOption("minrate", "1150000");
        SetGenericOption("bufsize", "327680");
        SetGenericOption("ab", "224000");
        AudioSampleRate = 44100;
        AudioChannels = 2;
        SetGenericOption("packetsize", "2324");
        SetGenericOption("muxrate", "1411200");
        MuxPreload = 0.44;
        aspectIfUnset("4:3", true);
    } else if (type == "svcd") {
        SetCodecName(omtVideo, "mpeg2video");
        SetCodecName(omtAudio, "mp2");
        SetOutputFormat("svcd");
        SetOption("s", pal ? "480x576" : "480x480");
        SetOption("r", rate);
        SetGenericOption("g", gop);
        SetGenericOption("b", "2040000");
        SetGenericOption("maxrate", "2516000");
        SetGenericOption("minrate", "0");
        SetGenericOption("bufsize", "1835008");
        SetGenericOption("flags", "+scan_offset");
        SetGenericOption("ab", "224000");
        AudioSampleRate = 44100;
        SetGenericOption("packetsize", "2324");
        if (AudioChannels == 1)
            AudioChannels = 2;
        aspectIfUnset("4:3", false);
    } else if (type == "dvd") {
        SetCodecName(omtVideo, "mpeg2video");
        SetCodecName(omtAudio, "ac3");
        SetOutputFormat("dvd");
        SetOption("s", pal ? "720x576" : "720x480");
        SetOption("r", rate);
        SetGenericOption("g", gop);
        SetGenericOption("b", "6000000");
        SetGenericOption("maxrate", "9000000");
        SetGenericOption("minrate", "0");
        SetGenericOption("bufsize", "1835008");
        SetGenericOption("packetsize", "2048");
        SetGenericOption("muxrate", "10080000");
        SetGenericOption("ab", "448000");
        AudioSampleRate = 48000;
        if (AudioChannels == 1)
            AudioChannels = 2;
        aspectIfUnset("16:9", true);
    } else if (type == "dv" || type == "dv50") {
        SetOutputFormat("dv");
        SetOption("s", pal ? "720x576" : "720x480");
        SetOption("pix_fmt", type == "dv50" ? "yuv422p" : pal ? "yuv420p" : "yuv411p");
        SetOption("r", rate);
        AudioSampleRate = 48000;
        AudioChannels = 2;
    } else {
        throw FFmpegException("Unknown target type");
    }
}
