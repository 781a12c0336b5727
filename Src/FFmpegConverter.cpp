// The conversion component: settings records, the task list, preparing tasks
// (AddTask, SetOutputFile). Runs and threads are in FFmpegConverterRun.cpp.
#include "FFmpegConverter.h"
#include "FFUtils.h"

#include "FFmpegException.h"
#include "FFmpegLoader.h"

#include <QDate>
#include <QDateTime>
#include <QTime>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <stdexcept>

std::mutex DisplayFlagsLock;

// --- settings records ---------------------------------------------------------

void InitInputOptions(TInputOptions& Options) {
    Options = TInputOptions{};
}

void InitOutputOptions(TOutputOptions& Options) {
    Options = TOutputOptions{};
}

TExtOptionKind ExtOptionKindOf(const std::string& Name) {
    if (Name == "newvideo" || Name == "newaudio" || Name == "newsubtitle")
        return eokNewStreams;
    if (Name == "apre" || Name == "vpre" || Name == "spre")
        return eokPresets;
    return eokGeneral;
}

namespace {

// A whole decimal 64-bit integer (optional sign), or -1 for anything else.
int64_t IntegerOrMinusOne(const std::string& text) {
    const char* begin = text.data();
    const char* end = begin + text.size();
    if (begin != end && *begin == '+')
        ++begin;
    int64_t value = 0;
    const auto [ptr, ec] = std::from_chars(begin, end, value);
    if (ec != std::errc() || ptr != end || begin == end)
        return -1;
    return value;
}

// Milliseconds to microseconds; a value whose product does not fit counts as
// no integer (-1 ms).
int64_t MillisToMicros(int64_t ms) {
    constexpr int64_t limit = std::numeric_limits<int64_t>::max() / 1000;
    if (ms > limit || ms < -limit)
        return -1000;
    return ms * 1000;
}

} // namespace

std::vector<std::pair<std::string, std::string>> SplitExtOptions(const std::string& Text) {
    const std::string normal = NormaliseLineBreaks(TrimText(Text));
    std::vector<std::pair<std::string, std::string>> lines;
    size_t pos = 0;
    while (pos < normal.size()) {
        size_t eol = normal.find('\n', pos);
        if (eol == std::string::npos)
            eol = normal.size();
        const std::string line = normal.substr(pos, eol - pos);
        pos = eol + 1;
        const size_t eq = line.find('=');
        if (eq == std::string::npos)
            lines.emplace_back(line, std::string());
        else
            lines.emplace_back(line.substr(0, eq), line.substr(eq + 1));
    }
    return lines;
}

std::vector<THookRange> ParseHookRanges(const std::string& Text) {
    std::vector<THookRange> ranges;
    const std::string text = TrimText(Text);
    if (text.empty())
        return ranges;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t comma = text.find(',', pos);
        if (comma == std::string::npos)
            comma = text.size();
        const std::string item = TrimText(text.substr(pos, comma - pos));
        pos = comma + 1;
        const size_t dash = item.find('-');
        const std::string startText = dash == std::string::npos ? item : item.substr(0, dash);
        const std::string endText =
            dash == std::string::npos ? std::string() : item.substr(dash + 1);
        const int64_t start = MillisToMicros(IntegerOrMinusOne(TrimText(startText)));
        const int64_t end = MillisToMicros(IntegerOrMinusOne(TrimText(endText)));
        if (end >= start && end >= 0)
            ranges.push_back({start, end});
    }
    return ranges;
}

int64_t DateTimeToUnixSeconds(double ADateTime, int ABiasMinutes) {
    // Days since 1899-12-30 to seconds since 1970-01-01 (day 25569), UTC.
    const double seconds = (ADateTime - 25569.0 + ABiasMinutes / 1440.0) * 86400.0;
    return static_cast<int64_t>(std::nearbyint(seconds)); // default mode: half to even
}

int StandardTimeZoneBias() {
    tzset();
    // POSIX timezone: seconds west of UTC for standard time (UTC = local + timezone).
    return static_cast<int>(timezone / 60);
}

double LocalDateTimeNow() {
    const QDateTime now = QDateTime::currentDateTime();
    const qint64 days = QDate(1899, 12, 30).daysTo(now.date());
    return static_cast<double>(days) + now.time().msecsSinceStartOfDay() / 86400000.0;
}

// --- TFFmpeg ------------------------------------------------------------------

TFFmpeg::TFFmpeg() : Probe_(std::make_unique<TAVProbe>()) {}

void TFFmpeg::ApplyExtOptions(const std::string& Text, TExtOptionKind Kind) {
    for (const auto& [name, value] : SplitExtOptions(Text))
        if (ExtOptionKindOf(name) == Kind)
            ApplyExtOption(name, value);
}

void TFFmpeg::ApplyExtOption(const std::string& Name, const std::string& Value) {
    SetOption(Name, Value);
}

int TFFmpeg::DisplayFlags() const {
    std::lock_guard lock(DisplayFlagsLock);
    return DisplayFlags_;
}

void TFFmpeg::SetDisplayFlag(int Mask, bool On) {
    std::lock_guard lock(DisplayFlagsLock);
    DisplayFlags_ = On ? (DisplayFlags_ | Mask) : (DisplayFlags_ & ~Mask);
}

void TFFmpeg::SetHookTimeRanges(std::vector<THookRange> Ranges) {
    std::stable_sort(Ranges.begin(), Ranges.end(),
                     [](const THookRange& a, const THookRange& b) { return a.Start < b.Start; });
    HookTimeRanges_ = std::move(Ranges);
}

// --- TFFmpegList --------------------------------------------------------------

TFFmpegList::~TFFmpegList() {
    Clear();
}

TFFmpeg* TFFmpegList::Items(int Index) const {
    std::lock_guard lock(ListLock);
    if (Index < 0 || static_cast<size_t>(Index) >= Items_.size())
        throw std::out_of_range("List index out of bounds (" + std::to_string(Index) + ")");
    return Items_[static_cast<size_t>(Index)].get();
}

int TFFmpegList::Add(std::unique_ptr<TFFmpeg> Task) {
    std::lock_guard lock(ListLock);
    const int index = static_cast<int>(Items_.size());
    Task->TaskIndex_ = index;
    Items_.push_back(std::move(Task));
    Count_ = static_cast<int>(Items_.size());
    return index;
}

void TFFmpegList::Clear() {
    std::vector<std::unique_ptr<TFFmpeg>> items;
    {
        std::lock_guard lock(ListLock);
        items.swap(Items_);
    }
    // Freeing a task waits for its run; that wait must not hold the list lock.
    for (auto& item : items)
        item.reset();
    Count_ = 0;
}

void TFFmpegList::SetDisplayFlag(int Mask, bool On) {
    std::lock_guard lock(ListLock);
    for (const auto& item : Items_)
        item->SetDisplayFlag(Mask, On);
}

void TFFmpegList::SetPreview(bool On) {
    SetDisplayFlag(DisplayFlagPreview, On);
}

void TFFmpegList::SetPreviewBitmap(bool On) {
    SetDisplayFlag(DisplayFlagPreviewBitmap, On);
}

// --- the component: set-up ------------------------------------------------------

namespace {

std::string NormName(int normType) {
    switch (normType) {
    case 1:
        return "pal";
    case 2:
        return "ntsc";
    default:
        return "auto";
    }
}

// The structured output settings, in field order.
void ApplyStructuredOutput(TFFmpeg& e, const TOutputOptions& o) {
    auto generic = [&e](const char* name, int64_t value) {
        if (value > 0)
            e.SetGenericOption(name, std::to_string(value));
    };
    auto text = [&e](const char* name, const std::string& value) {
        if (!value.empty())
            e.SetOption(name, value);
    };
    auto preset = [&e](const char* kind, const std::string& name) {
        if (!name.empty())
            e.ApplyPreset(kind, name);
    };

    e.SetOutputFormat(o.FileFormat);
    generic("packetsize", o.PacketSize);
    generic("muxrate", o.MuxRate);
    e.SetMuxDelay(o.MuxDelay);
    e.SetMuxPreload(o.MuxPreload);
    text("acodec", o.AudioCodec);
    preset("apre", o.AudioPreset);
    e.AudioDisable = o.DisableAudio;
    e.SetAudioVolume(o.AudioVolume);
    e.SetAudioChannels(o.AudioChannels);
    e.SetAudioSampleRate(o.AudioSampleRate);
    generic("ab", o.AudioBitrate);
    generic("abt", o.AudioBitrateTolerance);
    text("alang", o.AudioLanguage);
    e.SetAudioSyncMethod(o.AudioSyncMethod);
    text("atag", o.AudioTag);
    text("vcodec", o.VideoCodec);
    preset("vpre", o.VideoPreset);
    e.VideoDisable = o.DisableVideo;
    text("r", o.FrameRate);
    text("s", o.FrameSize);
    text("aspect", o.FrameAspectRatio);
    e.SetCropTop(o.CropTop);
    e.SetCropBottom(o.CropBottom);
    e.SetCropLeft(o.CropLeft);
    e.SetCropRight(o.CropRight);
    e.SetPadTop(o.PadTop);
    e.SetPadBottom(o.PadBottom);
    e.SetPadLeft(o.PadLeft);
    e.SetPadRight(o.PadRight);
    e.SetPadColor(o.PadColor & 0xFFFFFFu);
    // The libraries name the GOP size "g".
    generic("g", o.GOPSize);
    generic("vb", o.VideoBitrate);
    generic("maxrate", o.VideoMaxRate);
    generic("minrate", o.VideoMinRate);
    generic("bt", o.VideoBitrateTolerance);
    generic("bufsize", o.VideoBufSize);
    e.SetVideoSyncMethod(o.VideoSyncMethod);
    text("vtag", o.VideoTag);
    text("vfilters", o.VideoFilters);
    text("scodec", o.SubtitleCodec);
    preset("spre", o.SubtitlePreset);
    e.SubtitleDisable = o.DisableSubtitle;
    text("slang", o.SubtitleLanguage);
    e.SetCopyTimestamps(o.CopyTimestamps);
    e.SetStartTimeMS(o.StartTime);
    e.SetStartTimeUS(o.StartTimeUS);
    e.SetRecordingTimeMS(o.RecordingTime);
    e.SetRecordingTimeUS(o.RecordingTimeUS);

    const TStreamInfo& info = o.Info;
    if (info.Timestamp == 0)
        e.SetRecordingTimestamp(DateTimeToUnixSeconds(LocalDateTimeNow(), StandardTimeZoneBias()));
    else if (info.Timestamp > 0)
        e.SetRecordingTimestamp(DateTimeToUnixSeconds(info.Timestamp, StandardTimeZoneBias()));
    if (info.Year > 0)
        e.AddMetadata("year", std::to_string(info.Year));
    if (info.Track > 0)
        e.AddMetadata("track", std::to_string(info.Track));
    const std::pair<const char*, const std::string*> texts[] = {
        {"title", &info.Title},     {"author", &info.Author}, {"copyright", &info.Copyright},
        {"comment", &info.Comment}, {"album", &info.Album},   {"genre", &info.Genre}};
    for (const auto& [key, value] : texts)
        if (!value->empty())
            e.AddMetadata(key, *value);
}

} // namespace

TCustomFFmpegConverter::TCustomFFmpegConverter(QObject* parent)
    : QObject(parent), AVProbe_(std::make_unique<TAVProbe>()),
      Tasks_(std::make_unique<TFFmpegList>()) {}

TCustomFFmpegConverter::~TCustomFFmpegConverter() {
    WindDown();
    Tasks_.reset();
    AVProbe_.reset();
}

bool TCustomFFmpegConverter::IsLoaded() const {
    return FFmpegLoader().Loaded(DefaultLibraries);
}

bool TCustomFFmpegConverter::LoadAVLib(const QString& Folder) {
    TFFmpegLoader& loader = FFmpegLoader();
    loader.SetLibraryPath(Folder);
    if (loader.LoadLibs(DefaultLibraries))
        return true;
    LastErrMsg_ = loader.LastError();
    return false;
}

void TCustomFFmpegConverter::SetProgressInterval(int Milliseconds) {
    ProgressInterval_ = Milliseconds <= 100 ? 100 : Milliseconds;
}

void TCustomFFmpegConverter::SetPreview(bool On) {
    Preview_ = On;
    Tasks_->SetPreview(On);
}

void TCustomFFmpegConverter::SetPreviewBitmap(bool On) {
    PreviewBitmap_ = On;
    Tasks_->SetPreviewBitmap(On);
}

std::unique_ptr<TFFmpeg> TCustomFFmpegConverter::CreateTask() {
    return std::make_unique<TFFmpeg>();
}

int TCustomFFmpegConverter::AddTask(const QString& FileName, const TInputOptions* Options) {
    try {
        // A clear message instead of an engine without its libraries.
        TCustomAVProbe::CheckLibraries();
        std::unique_ptr<TFFmpeg> task = CreateTask();
        task->ResetEngine();
        task->SetVerbosity(Verbosity_);
        task->SetDisplayFlag(DisplayFlagPreview, Preview());
        task->SetDisplayFlag(DisplayFlagPreviewBitmap, PreviewBitmap());
        task->OnPreviewBitmap = [this](TCustomFFmpeg* sender, const TBitmap& bitmap, int frame,
                                       int64_t pts) {
            DoPreviewBitmap(sender, bitmap, frame, pts);
        };
        if (Options) {
            TInputOptions in = *Options;
            if (in.FileName.isEmpty())
                in.FileName = FileName;
            task->SetInputOptions(in);
            task->ApplyExtOptions(in.ExtOptions, eokGeneral);
            task->SetInputFormat(in.FileFormat);
            task->SetStartTimeMS(in.StartTime);
            task->SetStartTimeUS(in.StartTimeUS);
            task->SetProgramID(in.ProgramID);
        } else {
            task->ResetInputOptions();
        }
        if (!task->OpenInput(FileName)) {
            LastErrMsg_ = task->LastError();
            return -1;
        }
        if (AVFormatContext* context = task->InputContext(0))
            task->Probe().Attach(context);
        task->OnProgress = [this](TCustomFFmpeg* sender, int frame, int fps, int current,
                                  float quality, float bitrate, int64_t size, int total) {
            DoProgress(sender, frame, fps, current, quality, bitrate, size, total);
        };
        task->OnTerminate = [this](TCustomFFmpeg* sender) { DoTerminate(sender); };
        task->OnOutputComplete = [this](TCustomFFmpeg* sender, const std::string& path,
                                        std::string& error) {
            if (!OnOutputComplete)
                return true;
            const auto* t = dynamic_cast<const TFFmpeg*>(sender);
            return OnOutputComplete(t ? t->TaskIndex() : -1, path, error);
        };
        return Tasks_->Add(std::move(task));
    } catch (const std::exception& e) {
        LastErrMsg_ = e.what();
        return -1;
    }
}

bool TCustomFFmpegConverter::SetOutputFile(int TaskIndex, const QString& FileName,
                                           const TOutputOptions* Options) {
    TFFmpeg* task = Tasks_->Items(TaskIndex); // an unknown index raises to the caller
    try {
        bool join = false;
        if (Options) {
            TOutputOptions out = *Options;
            if (out.FileName.isEmpty())
                out.FileName = FileName;
            task->SetOutputOptions(out);
            static const char* const targets[] = {"vcd", "svcd", "dvd"};
            if (out.TargetType >= 1 && out.TargetType <= 3)
                task->SetTarget(targets[out.TargetType - 1], NormName(out.NormType),
                                out.FallbackNorm == 1 ? "pal" : "ntsc");
            task->ApplyExtOptions(out.ExtOptions, eokGeneral);
            ApplyStructuredOutput(*task, out);
            task->ApplyExtOptions(out.ExtOptions, eokPresets);
            if (out.CustomHook)
                task->OnCustomHook = [this](TCustomFFmpeg* sender, TBitmap& bitmap, int frame,
                                            int64_t pts, bool& update, bool& stopHook) {
                    DoCustomHook(sender, bitmap, frame, pts, update, stopHook);
                };
            else if (out.BeforeHook)
                task->OnBeforeHook = [this](TCustomFFmpeg* sender, int64_t pts,
                                            THookAction& action) {
                    DoBeforeHook(sender, pts, action);
                };
            else
                task->SetHookTimeRanges(ParseHookRanges(out.HookRanges));
            join = out.Join;
        } else {
            task->ResetOutputOptions();
        }
        if (task->AddOutput(FileName, join) >= 0) {
            if (Options)
                task->ApplyExtOptions(task->OutputOptions().ExtOptions, eokNewStreams);
            return true;
        }
        LastErrMsg_ = task->LastError();
        return false;
    } catch (const std::exception& e) {
        LastErrMsg_ = e.what();
        return false;
    }
}

void TFFmpegConverter::SetThreadPriorityValue(int Priority) {
    SetThreadPriority(static_cast<TConvertPriority>(std::clamp(Priority, 0, 3)));
}
