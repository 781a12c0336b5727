// RunRip wires the rip's stages together: the drive session and the reader
// (RipReader.h), the sample sinks (RipSinks.h), the encoder pool (RipEncoderPool.h)
// and the outputs (RipOutputs.h), with the mailbox (RipMailbox.h) between the
// stages' threads and this one.
#include "Ripper.h"

#include "RipChecks.h"
#include "RipDiscText.h"
#include "RipEncoderPool.h"
#include "RipFormatSets.h"
#include "RipGaps.h"
#include "RipImage.h"
#include "RipMailbox.h"
#include "RipMetadata.h"
#include "RipOutputs.h"
#include "RipPlan.h"
#include "RipReader.h"
#include "RipVerify.h"

#include "FFUtils.h"
#include "FFmpegConverter.h"
#include "FileNames.h"

#include <QDateTime>
#include <QThread>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>

#include <sys/stat.h>

namespace rip {
namespace {

using Clock = std::chrono::steady_clock;

// What can be checked before the drive is touched; the dBAR file's entries into dbar.
bool CheckSettings(const TRipSettings& settings, TRipObserver& observer,
                   std::vector<TDbarEntry>& dbar) {
    QString error;
    if (!CheckTemplate(settings.Template, error) || settings.OutDir.isEmpty() ||
        std::abs(settings.Offset) > kMaxOffset) {
        observer.Error(!error.isEmpty()            ? error
                       : settings.OutDir.isEmpty() ? QStringLiteral("rip needs an output folder")
                                                   : QStringLiteral("--offset must lie within "
                                                                    "-%1 and %1 samples")
                                                         .arg(kMaxOffset));
        return false;
    }
    if (settings.AccurateRipDb.isEmpty())
        return true;
    struct stat st {};
    if (::stat(FileNameBytes(settings.AccurateRipDb).constData(), &st) == 0 &&
        !S_ISREG(st.st_mode)) {
        observer.Error(QStringLiteral("--accuraterip-db: %1 is not a regular file")
                           .arg(settings.AccurateRipDb));
        return false;
    }
    QByteArray bytes;
    if (!ReadSmallFile(settings.AccurateRipDb, bytes)) {
        observer.Error(
            QStringLiteral("Cannot read %1: %2").arg(settings.AccurateRipDb, ErrnoText(errno)));
        return false;
    }
    if (!ParseDbar(bytes, dbar, error)) {
        observer.Error(
            QStringLiteral("%1 is not an AccurateRip file: %2").arg(settings.AccurateRipDb, error));
        return false;
    }
    return true;
}

// The media libraries, loaded once for the process by the first component.
bool LoadMedia(const TRipSettings& settings, TRipObserver& observer) {
    const std::vector<TRipFormat> formats = RipFormatsOf(settings);
    if (std::all_of(formats.begin(), formats.end(), [](TRipFormat f) { return f == rfWAV; }))
        return true;
    TFFmpegConverter loader;
    if (!loader.IsLoaded() && !loader.LoadAVLib(settings.LibraryFolder)) {
        observer.Error(QString::fromStdString(loader.LastErrMsg()));
        return false;
    }
    for (TRipFormat format : formats) {
        const std::string encoder = EncoderFor(format);
        if (format != rfWAV && !EncoderAvailable(encoder)) {
            observer.Error(QStringLiteral("The media libraries have no encoder '%1' for %2.")
                               .arg(QString::fromStdString(encoder), FormatName(format)));
            return false;
        }
    }
    const std::string filter = kDeemphasisFilter;
    const std::string filterName = filter.substr(0, filter.find('='));
    if (settings.Deemphasis && std::any_of(formats.begin(), formats.end(), IsLossy) &&
        !FilterAvailable(filterName)) {
        observer.Error(QStringLiteral("The media libraries have no filter '%1' for --deemphasis.")
                           .arg(QString::fromStdString(filterName)));
        return false;
    }
    return true;
}

// Marks the tracks to rip; false when one asked for is no audio track of the disc.
bool SelectTracks(const std::set<int>& tracks, TRipReport& report, TRipObserver& observer) {
    for (int n : tracks) {
        if (n == 0 && HasHiddenAudio(report))
            continue; // the hidden track one audio, added after the lookup
        const auto it = std::find_if(report.Tracks.begin(), report.Tracks.end(),
                                     [n](const TTrackResult& t) { return t.Number == n; });
        if (it == report.Tracks.end() || !it->Audio) {
            observer.Error(QStringLiteral("Track %1 is not an audio track of the disc (audio "
                                          "tracks %2 to %3).")
                               .arg(n)
                               .arg(report.Toc.FirstAudio())
                               .arg(report.Toc.LastAudio()));
            return false;
        }
    }
    for (TTrackResult& t : report.Tracks)
        t.Selected = t.Audio && (tracks.empty() || tracks.count(t.Number) > 0);
    return true;
}

// What the drive library does not read: CD-Text, ISRCs and the MCN, through libcdio; a real
// drive's pregaps from its Q sub-channel (an image's come with its text).
TDiscText ReadDiscText(const QString& path, TRipReport& report, TRipObserver& observer) {
    TDiscReader disc;
    if (!disc.Open(path))
        return {};
    TDiscText text = disc.ReadText(report.Tracks.front().Number, report.Tracks.back().Number);
    if (!disc.IsImage()) {
        report.PregapNote = ReadDrivePregaps(path, text);
        if (!report.PregapNote.isEmpty())
            observer.Note(report.PregapNote);
    }
    report.AlbumTitle = text.AlbumTitle;
    report.AlbumPerformer = text.AlbumPerformer;
    report.Mcn = text.Mcn;
    for (TTrackResult& t : report.Tracks) {
        const auto it = text.Tracks.find(t.Number);
        if (it == text.Tracks.end())
            continue;
        t.Title = it->second.Title;
        t.Performer = it->second.Performer;
        t.Songwriter = it->second.Songwriter;
        t.Composer = it->second.Composer;
        t.Isrc = it->second.Isrc;
        t.Index00 = it->second.Index00;
        t.PregapSilence = it->second.PregapSilence;
        t.PreEmphasis = it->second.PreEmphasis;
    }
    return text;
}

// One rip from the first read to the last file: the reader and the encoder pool run while
// this thread sleeps in the mailbox, and acts on what they post.
class TRipRun {
public:
    TRipRun(const TRipSettings& settings, TRipObserver& observer, TRipReport& report,
            std::vector<TRipJob>& jobs, TDriveSession& session, const TWorkFolder& work,
            std::vector<TDbarEntry> discEntries, std::shared_ptr<TWavSink> image);
    ~TRipRun();
    TRipRun(const TRipRun&) = delete;
    TRipRun& operator=(const TRipRun&) = delete;

    // Runs the rip to its end; true when it was stopped.
    bool Run();

private:
    void OnRead(size_t index);
    void HandOn(size_t index);
    void OutputEnded(size_t index, bool ok, const QString& error);
    void OnReaderEnded();
    void FinishImage();
    void ImageEnded(bool ok, const QString& error);
    void OnEncoded(const TEncoderPool::TEnd& end);
    void FinishTrack(size_t index, bool ok, const QString& error);
    void ReportProgress(bool now);
    void StopAll();
    bool StopRequested() const { return Settings_.StopRequested && Settings_.StopRequested(); }

    const TRipSettings& Settings_;
    TRipObserver& Observer_;
    TRipReport& Report_;
    std::vector<TRipJob>& Jobs_;
    TDriveSession& Session_;
    std::vector<TDbarEntry> DiscEntries_;
    // The mailbox outlives the stages that post to it.
    TRipMailbox Mailbox_;
    std::shared_ptr<TAlbumGate> AlbumGate_; // null without ReplayGain
    std::map<TRipFormat, std::shared_ptr<const TDiscTagging>> Taggings_;
    std::shared_ptr<TWavSink> Image_; // --image: the disc's WAV file
    int ImagePending_ = 0;            // its formats not yet finished
    QString ImageFailure;
    TEncoderPool Pool_;
    TRipReader Reader_;
    TRipEstimate Estimate_;
    bool Stopping_ = false;
    bool ReaderEnded_ = false;
    Clock::time_point Started_ = Clock::now();
    Clock::time_point LastProgress_ = Started_ - std::chrono::seconds(1);
};

std::vector<TTrackProgress> Waiting(const std::vector<TRipJob>& jobs) {
    std::vector<TTrackProgress> progress;
    for (const TRipJob& job : jobs)
        progress.push_back({job.Number, TTrackProgress::psWaiting, 0, 0});
    return progress;
}

std::vector<int64_t> Lengths(const std::vector<TRipJob>& jobs) {
    std::vector<int64_t> lengths;
    for (const TRipJob& job : jobs)
        lengths.push_back(job.Samples);
    return lengths;
}

TRipRun::TRipRun(const TRipSettings& settings, TRipObserver& observer, TRipReport& report,
                 std::vector<TRipJob>& jobs, TDriveSession& session, const TWorkFolder& work,
                 std::vector<TDbarEntry> discEntries, std::shared_ptr<TWavSink> image)
    : Settings_(settings), Observer_(observer), Report_(report), Jobs_(jobs), Session_(session),
      DiscEntries_(std::move(discEntries)), Mailbox_(Waiting(jobs)),
      AlbumGate_(settings.ReplayGain ? std::make_shared<TAlbumGate>() : nullptr),
      Image_(std::move(image)),
      Pool_(settings.Jobs > 0 ? settings.Jobs : std::max(1, QThread::idealThreadCount()),
            settings.Preset, Mailbox_, AlbumGate_),
      Reader_(session, jobs, Mailbox_, settings, work),
      Estimate_(Lengths(jobs), RipFormatsOf(settings) != std::vector<TRipFormat>{rfWAV},
                settings.Secure) {
    for (TRipFormat format : RipFormatsOf(settings))
        Taggings_[format] = DiscTagging(report, format);
    Reader_.SetImage(Image_.get());
    if (Settings_.WatchStop)
        Settings_.WatchStop([this] { Mailbox_.Wake(); });
}

TRipRun::~TRipRun() {
    if (Settings_.WatchStop)
        Settings_.WatchStop({});
}

bool TRipRun::Run() {
    Session_.Lock();
    Reader_.Start();
    for (;;) {
        if (!Stopping_ && StopRequested())
            StopAll();
        TRipMailbox::TNews news = Mailbox_.Wait();
        if (!Stopping_ && StopRequested())
            StopAll();
        for (const auto& [number, text] : news.Events)
            Observer_.TrackEvent(number, text);
        for (size_t index : news.Read)
            OnRead(index);
        if (news.ReaderEnded && !ReaderEnded_)
            OnReaderEnded(); // before Fill: the image's conversions start from here
        ReaderEnded_ = ReaderEnded_ || news.ReaderEnded;
        if (!Stopping_)
            Pool_.Fill([this](size_t index, const QString& error) {
                if (!error.isEmpty())
                    return OutputEnded(index, false, error);
                Mailbox_.SetState(index, TTrackProgress::psEncoding, 0);
                Observer_.TrackEvent(Jobs_[index].Number, QStringLiteral("encoding"));
            });
        for (const TEncoderPool::TEnd& end : Pool_.Collect())
            OnEncoded(end);
        const bool done = ReaderEnded_ && Pool_.Idle();
        ReportProgress(done);
        if (done)
            break;
    }
    Reader_.Join();
    // The conversions' last events run on threads of their own: they post to the mailbox.
    TDoTerminateThread::WaitForAll(10000);
    Session_.Release();
    return Stopping_;
}

void TRipRun::StopAll() {
    Stopping_ = true;
    Reader_.Stop();
    Pool_.Stop();
}

void TRipRun::OnRead(size_t index) {
    TRipJob& job = Jobs_[index];
    TTrackResult& t = Report_.Tracks[job.Track];
    t.Reads = job.Reads;
    t.HaveSums = job.Ok;
    t.Sums = job.Sums;
    t.HaveTestCrc = job.HaveTestCrc;
    t.TestCrc = job.TestCrc;
    if (job.Ok && job.Loudness)
        t.Gain = GainOf(*job.Loudness);
    if (job.Ok && t.Hidden && job.Sums.Peak == 0 && !Image_) { // silence: nothing to keep
        job.Wav.reset();
        job.WavCopy.reset();
        DropSilentHiddenTrack(Report_, t);
        Mailbox_.SetState(index, TTrackProgress::psDone, 100);
        Observer_.TrackEvent(job.Number, QStringLiteral("silent: not kept"));
        return;
    }
    if (job.Ok && Report_.AccurateRipKnown && !t.Hidden) {
        const int position = static_cast<int>(std::count_if(
            Report_.Tracks.begin(), Report_.Tracks.begin() + static_cast<std::ptrdiff_t>(job.Track),
            [](const TTrackResult& r) { return r.Audio; }));
        t.ArChecked = true;
        t.ArV1 = MatchTrack(DiscEntries_, position, job.Sums.ArV1);
        t.ArV2 = MatchTrack(DiscEntries_, position, job.Sums.ArV2);
    }
    if (job.Stopped)
        return;
    if (!job.Ok) {
        t.Status = tsFailed;
        t.Error = job.Error;
    } else if (Image_) {
        // In the image, which is finished once every track is read.
    } else if (RipFormatsOf(Settings_) == std::vector<TRipFormat>{rfWAV}) {
        // Read whole: kept also when a stop came since.
        const bool committed = job.Wav->Commit();
        FinishTrack(index, committed, committed ? QString() : job.Wav->Error());
    } else if (Stopping_) {
        job.Wav.reset();
        job.WavCopy.reset();
    } else {
        HandOn(index);
    }
}

// A track read once goes to each of its formats: the WAV file is complete, the others are
// encoded from the one work file.
void TRipRun::HandOn(size_t index) {
    TRipJob& job = Jobs_[index];
    const TTrackResult& t = Report_.Tracks[job.Track];
    const std::shared_ptr<TWavSink> wav(std::move(job.Wav));
    job.Pending = static_cast<int>(job.Outputs.size());
    for (const TRipJob::TOutput& o : job.Outputs) {
        if (o.Format != rfWAV) {
            Pool_.Add({index, job.Number, job.Samples, wav, o.Format, o.File, job.Tags, t.Gain,
                       Taggings_[o.Format], DeemphasisWanted(Report_, t)});
        } else {
            const bool committed = job.WavCopy && job.WavCopy->Commit();
            OutputEnded(index, committed,
                        committed     ? QString()
                        : job.WavCopy ? job.WavCopy->Error()
                                      : QStringLiteral("the WAV file was lost"));
        }
    }
}

// One format of a track is done; the track when all are.
void TRipRun::OutputEnded(size_t index, bool ok, const QString& error) {
    if (Image_)
        return ImageEnded(ok, error);
    TRipJob& job = Jobs_[index];
    if (!ok && job.Failure.isEmpty())
        job.Failure = error;
    if (--job.Pending <= 0)
        FinishTrack(index, job.Failure.isEmpty(), job.Failure);
}

// Every track has been read: the album's ReplayGain covers those read whole, and the
// conversions waiting for it tag their files.
void TRipRun::OnReaderEnded() {
    if (Settings_.ReplayGain) {
        std::vector<const TLoudness*> read;
        for (const TRipJob& job : Jobs_)
            if (job.Ok && !job.Stopped)
                read.push_back(job.Loudness.get());
        Report_.AlbumGain = AlbumGain(read);
        AlbumGate_->Open(Report_.AlbumGain);
    }
    if (Image_)
        FinishImage();
}

// Every track is in the disc image: it is complete as WAV, and encoded once per format,
// tagged as the whole disc with its cue sheet. A track that could not be read leaves no
// image.
void TRipRun::FinishImage() {
    const auto unread = std::find_if(Jobs_.begin(), Jobs_.end(),
                                     [](const TRipJob& job) { return !job.Ok || job.Stopped; });
    if (Stopping_ || unread != Jobs_.end()) {
        Image_.reset();
        if (!Stopping_)
            for (size_t i = 0; i < Jobs_.size(); ++i)
                if (Jobs_[i].Ok)
                    FinishTrack(
                        i, false,
                        QStringLiteral("the disc image lacks track %1").arg(unread->Number));
        return;
    }
    const TRipJob& first = Jobs_.front();
    ImagePending_ = static_cast<int>(first.Outputs.size());
    const int64_t samples = int64_t{Report_.ImageEnd - Report_.ImageStart} * kSamplesPerSector;
    TTrackTags tags = first.Tags;
    tags.Title = Report_.AlbumTitle;
    tags.Performer = Report_.AlbumPerformer;
    tags.Number = 0;
    const std::vector<TRipReport> sets = FormatSetReports(Report_, Settings_);
    for (size_t i = 0; i < first.Outputs.size(); ++i) {
        const TRipJob::TOutput& o = first.Outputs[i];
        if (o.Format == rfWAV) {
            const bool committed = Image_->Commit();
            ImageEnded(committed, committed ? QString() : Image_->Error());
            continue;
        }
        std::shared_ptr<const TDiscTagging> tagging = Taggings_[o.Format];
        if (tagging) { // with the set's cue sheet, which names this file
            auto withCue = std::make_shared<TDiscTagging>(*tagging);
            withCue->CueSheet =
                QString::fromUtf8(CueSheet(sets[i], DiscFileNames(sets[i], QString()).Folder));
            tagging = withCue;
        }
        Pool_.Add({0, meta::kWholeDisc, samples, Image_, o.Format, o.File, tags, Report_.AlbumGain,
                   tagging, DeemphasisWanted(Report_, Report_.Tracks[first.Track])});
    }
}

void TRipRun::ImageEnded(bool ok, const QString& error) {
    if (!ok && ImageFailure.isEmpty())
        ImageFailure = error;
    if (--ImagePending_ > 0)
        return;
    for (size_t i = 0; i < Jobs_.size(); ++i)
        FinishTrack(i, ImageFailure.isEmpty(), ImageFailure);
}

void TRipRun::OnEncoded(const TEncoderPool::TEnd& end) {
    if (!end.Ok && !end.Stopped)
        OutputEnded(end.Job, false, end.Error);
    else if (end.Ok && !Stopping_)
        OutputEnded(end.Job, true, {});
}

void TRipRun::FinishTrack(size_t index, bool ok, const QString& error) {
    const TRipJob& job = Jobs_[index];
    TTrackResult& t = Report_.Tracks[job.Track];
    t.Status = ok ? tsOk : tsFailed;
    t.Error = error;
    Mailbox_.SetState(index, ok ? TTrackProgress::psDone : TTrackProgress::psFailed, 100);
    Observer_.TrackEvent(job.Number, ok ? QStringLiteral("done: ") + t.FileName
                                        : QStringLiteral("failed: ") + error);
}

// At most ten times a second, and at the end.
void TRipRun::ReportProgress(bool now) {
    const auto at = Clock::now();
    if (!now && at - LastProgress_ < std::chrono::milliseconds(100))
        return;
    LastProgress_ = at;
    TRipProgress progress;
    progress.Tracks = Mailbox_.Progress();
    Pool_.Progress([&progress](size_t index, int percent) {
        TTrackProgress& p = progress.Tracks.at(index);
        if (p.State == TTrackProgress::psEncoding)
            p.Percent = percent;
    });
    Estimate_.Update(progress, std::chrono::duration<double>(at - Started_).count());
    Observer_.Progress(progress);
}

// While it lives, a stop signal cancels the lookups' requests at once (through the
// settings' WatchStop; the rip's own stages install their wake-up when they run).
class TStopCancels {
public:
    TStopCancels(const TRipSettings& settings, const std::shared_ptr<meta::TCancel>& cancel)
        : Settings_(settings) {
        if (Settings_.WatchStop)
            Settings_.WatchStop([cancel] { cancel->Cancel(); });
        if (Settings_.StopRequested && Settings_.StopRequested())
            cancel->Cancel();
    }
    ~TStopCancels() {
        if (Settings_.WatchStop)
            Settings_.WatchStop({});
    }
    TStopCancels(const TStopCancels&) = delete;
    TStopCancels& operator=(const TStopCancels&) = delete;

private:
    const TRipSettings& Settings_;
};

// The disc, its tracks and the jobs; false with result when the rip cannot start.
bool PrepareDisc(const TRipSettings& settings, TRipObserver& observer, TRipReport& report,
                 TDriveSession& session, TRipVerifier& verifier,
                 const std::shared_ptr<meta::TCancel>& cancel, std::vector<TRipJob>& jobs,
                 TRipResult& result) {
    auto stopRequested = [&] { return settings.StopRequested && settings.StopRequested(); };
    if (!session.Open(settings.Drive, stopRequested, report, observer, result))
        return false;
    verifier.ChooseOffset(settings, report, observer);
    if (!SelectTracks(settings.Tracks, report, observer)) {
        result = rrUsage;
        return false;
    }
    LookUpNames(settings, ReadDiscText(session.Path(), report, observer), cancel, report, observer);
    AddHiddenTrack(report, settings.Htoa, settings.Tracks);
    if (stopRequested()) {
        report.Stopped = true;
        result = rrStopped;
        return false;
    }
    const QString outDirName = FileNameFromBytes(AbsoluteNameBytes(FileNameBytes(settings.OutDir)));
    QString error;
    if (!PlanJobs(settings, report, outDirName, jobs, error) ||
        (settings.Image && !PlanImage(settings, report, jobs, outDirName, error))) {
        observer.Error(error);
        result = rrUsage;
        return false;
    }
    return true;
}

// The names the rip will write, checked before it reads (RipChecks.h); work folders of
// killed rips in the output folder are removed first.
bool CheckOutputs(const TRipSettings& settings, const TRipReport& report,
                  const std::vector<TRipJob>& jobs, const QByteArray& outDir,
                  TRipObserver& observer) {
    RemoveStaleWorkFolders(outDir);
    std::vector<QString> names, logs;
    for (const TRipReport& set : FormatSetReports(report, settings)) {
        const TDiscFiles disc = DiscFileNames(set, FileNameFromBytes(outDir));
        names.insert(names.end(), {disc.Cue, disc.Playlist, disc.Log});
        if (!disc.Cover.isEmpty())
            names.push_back(disc.Cover);
        logs.push_back(disc.Log);
    }
    for (const TRipJob& job : jobs)
        for (const TRipJob::TOutput& o : job.Outputs)
            if (std::find(names.begin(), names.end(), o.File) == names.end()) // an image: once
                names.push_back(o.File);
    QString error;
    bool ok = CheckOutputNames(outDir, names, ImageFiles(report.DrivePath), error);
    for (size_t i = 0; ok && !settings.Overwrite && i < logs.size(); ++i)
        ok = CheckEarlierRip(logs[i], report.Ids, error);
    if (!ok)
        observer.Error(error);
    return ok;
}

// The disc image's WAV file: the WAV image itself, else the work file its formats are
// encoded from.
bool OpenImage(const TRipReport& report, const std::vector<TRipJob>& jobs, const TWorkFolder& work,
               std::shared_ptr<TWavSink>& image, TRipObserver& observer) {
    const std::vector<TRipJob::TOutput>& outputs = jobs.front().Outputs;
    const auto wav = std::find_if(outputs.begin(), outputs.end(),
                                  [](const TRipJob::TOutput& o) { return o.Format == rfWAV; });
    const int64_t samples = int64_t{report.ImageEnd - report.ImageStart} * kSamplesPerSector;
    image = std::make_shared<TWavSink>();
    const bool opened =
        wav != outputs.end()
            ? image->Open(wav->File, TWavSink::wkFinal, samples)
            : image->Open(work.File(QStringLiteral("image.wav")), TWavSink::wkWork, samples,
                          QStringLiteral("the disc image for %1").arg(outputs.front().File));
    if (!opened)
        observer.Error(image->Error());
    return opened;
}

TRipResult Rip(const TRipSettings& settings, TRipObserver& observer, TRipReport& report) {
    report = TRipReport{};
    report.Program = settings.Program;
    report.Date = QDateTime::currentDateTime().toString(Qt::ISODate);
    report.Offset = settings.Offset;
    report.Secure = settings.Secure;
    report.Format = FormatName(settings.Format);
    report.Preset = PresetText(settings.Format, settings.Preset);
    report.AccurateRipFile = settings.AccurateRipDb;
    report.ReplayGain = settings.ReplayGain;
    report.Deemphasis = settings.Deemphasis;
    std::vector<TDbarEntry> dbar;
    if (!CheckSettings(settings, observer, dbar))
        return rrUsage;
    if (!LoadMedia(settings, observer))
        return rrFailed;

    TDriveSession session(observer);
    auto cancel = std::make_shared<meta::TCancel>();
    meta::TLimits limits;
    limits.Cancel = cancel;
    TRipVerifier verifier(limits, settings.Lookup.Offline, settings.Lookup.CacheFolder);
    std::vector<TRipJob> jobs;
    TRipResult result = rrFailed;
    auto stopCancels = std::make_unique<TStopCancels>(settings, cancel);
    if (!PrepareDisc(settings, observer, report, session, verifier, cancel, jobs, result))
        return result;
    MarkDeemphasis(report, settings);
    std::vector<TDbarEntry> discEntries = EntriesForDisc(dbar, report.Ids);
    report.AccurateRipKnown = !discEntries.empty();
    if (!dbar.empty() && discEntries.empty())
        observer.Error(QStringLiteral("%1 holds no entry for this disc (its AccurateRip file is "
                                      "%2): no track can be verified.")
                           .arg(settings.AccurateRipDb, report.Ids.DbarName));

    const QByteArray outDir = AbsoluteNameBytes(FileNameBytes(settings.OutDir));
    if (!CheckOutputs(settings, report, jobs, outDir, observer))
        return rrUsage;
    discEntries = verifier.LookUp(settings, report, observer, std::move(discEntries));
    report.AccurateRipKnown = !discEntries.empty();
    stopCancels.reset(); // the rip's stages watch the stop from here
    if (settings.StopRequested && settings.StopRequested()) {
        report.Stopped = true;
        return rrStopped;
    }
    TOutputFolders folders;
    std::vector<QString> outputs;
    for (const TRipJob& job : jobs)
        for (const TRipJob::TOutput& o : job.Outputs)
            outputs.push_back(o.File);
    QString error;
    if (!folders.Make(outputs, error)) {
        observer.Error(error);
        folders.RemoveEmpty();
        return rrFailed;
    }
    TWorkFolder work;
    if (!work.Create(outDir)) {
        observer.Error(QStringLiteral("Cannot create a work folder in %1: %2")
                           .arg(FileNameFromBytes(outDir), ErrnoText(errno)));
        folders.RemoveEmpty();
        return rrFailed;
    }
    std::shared_ptr<TWavSink> image;
    if (report.Image && !OpenImage(report, jobs, work, image, observer)) {
        folders.RemoveEmpty();
        return rrFailed;
    }
    observer.Started(report);
    const bool stopped = TRipRun(settings, observer, report, jobs, session, work,
                                 std::move(discEntries), std::move(image))
                             .Run();
    work.Remove();
    if (!stopped) {
        TStopCancels verifying(settings, cancel);
        verifier.Verify(report);
    }
    // A rip that ran keeps its log, failed tracks and all; a stopped one leaves no log.
    const bool written =
        stopped || WriteFormatSets(report, settings, FileNameFromBytes(outDir), observer);
    folders.RemoveEmpty();
    if (stopped) {
        report.Stopped = true;
        return rrStopped;
    }
    if (!written)
        return rrFailed;
    return report.Count(tsOk) == report.SelectedCount() ? rrOk : rrTracksFailed;
}

} // namespace

TRipResult RunRip(const TRipSettings& settings, TRipObserver& observer, TRipReport& report) {
    try {
        return Rip(settings, observer, report);
    } catch (const std::exception& e) { // the drive layer's failures (opening the drive ...)
        observer.Error(QString::fromUtf8(e.what()));
        return settings.StopRequested && settings.StopRequested() ? rrStopped : rrFailed;
    }
}

} // namespace rip
