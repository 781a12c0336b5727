#include "RipReader.h"

#include "RipCtdbSink.h"

#include "sbGrab.h"
#include "sbLogger.h"
#include "sbTrackList.h"

#include <algorithm>
#include <cerrno>
#include <map>
#include <memory>

namespace rip {
namespace {

// The drive named by index text, else the first drive holding an audio CD.
const TsbDeviceItem* ChooseDrive(const TsbDeviceList& devices, const QString& driveArg,
                                 TRipObserver& observer, TRipResult& result) {
    result = rrFailed;
    if (devices.Count() == 0) {
        observer.Error(QStringLiteral("No DVD-RW drive found."));
        return nullptr;
    }
    if (!driveArg.isEmpty()) {
        bool ok = false;
        const int index = driveArg.toInt(&ok);
        if (!ok || index < 0 || index >= devices.Count()) {
            observer.Error(QStringLiteral("--drive must be a drive index from 0 to %1 (see "
                                          "'tonvale-cli drives')")
                               .arg(devices.Count() - 1));
            result = rrUsage;
            return nullptr;
        }
        const TsbDeviceItem& item = devices.Items(index);
        if (item.DiscType == DISC_TYPE_NO_MEDIA) {
            const QString problem = ImageProblem(item);
            observer.Error(problem.isEmpty() ? QStringLiteral("Drive %1 holds no disc.").arg(index)
                                             : problem);
            return nullptr;
        }
        return &item;
    }
    for (int i = 0; i < devices.Count(); ++i)
        if (devices.Items(i).DiscType == DISC_TYPE_CDR)
            return &devices.Items(i);
    bool told = false;
    for (int i = 0; i < devices.Count(); ++i) {
        const QString problem = ImageProblem(devices.Items(i));
        if (!problem.isEmpty()) {
            observer.Error(problem);
            told = true;
        }
    }
    if (!told)
        observer.Error(QStringLiteral("No audio CD found in any drive."));
    return nullptr;
}

// The tracks of the disc into the record.
bool ReadTracks(TsbBurner& burner, TRipReport& report, TRipObserver& observer) {
    TsbTrackList trackList;
    {
        TsbTrackListReader reader;
        reader.Read(&burner, &trackList, false);
    }
    if (trackList.Count() == 0) {
        observer.Error(burner.LastExceptionCode != 0 &&
                               burner.LastExceptionCode != VANTRELL_EXCEPTION_NO_TOC
                           ? burner.LastMessage
                           : QStringLiteral("The disc has no tracks."));
        return false;
    }
    for (int i = 0; i < trackList.Count(); ++i) {
        const VantrellTocEntry& e = trackList.Items(i).TocEntry;
        report.Toc.Tracks.push_back({e.TrackNumber, e.StartLba, e.AudioTrack != 0});
        TTrackResult t;
        t.Number = e.TrackNumber;
        t.StartLba = e.StartLba;
        t.EndLba = e.EndLba;
        t.Audio = e.AudioTrack != 0;
        report.Tracks.push_back(t);
    }
    report.Toc.LeadOut = trackList.Items(trackList.Count() - 1).TocEntry.EndLba;
    report.Ids = ComputeDiscIds(report.Toc);
    if (report.Toc.AudioCount() == 0) {
        observer.Error(QStringLiteral("The disc has no audio track."));
        return false;
    }
    return true;
}

} // namespace

// ---- verified copies --------------------------------------------------------------------

TAgreement ReadOnce(const std::function<bool(int, uint32_t&)>& read) {
    TAgreement result;
    uint32_t crc = 0;
    result.Reads = 1;
    result.ReadFailed = !read(1, crc);
    result.Agreed = !result.ReadFailed;
    if (result.Agreed)
        result.Crcs.push_back(crc);
    return result;
}

TAgreement ReadUntilAgreed(const std::function<bool(int, uint32_t&)>& read,
                           const std::function<void(int)>& discard) {
    TAgreement result;
    for (int n = 1; n <= 2 + kSecureRetries; ++n) {
        uint32_t crc = 0;
        result.Reads = n;
        if (!read(n, crc)) {
            result.ReadFailed = true;
            if (n > 1)
                discard(n - 1);
            return result;
        }
        if (n > 1)
            discard(n - 1); // only its CRC is needed from now on
        const bool seen =
            std::find(result.Crcs.begin(), result.Crcs.end(), crc) != result.Crcs.end();
        result.Crcs.push_back(crc);
        if (seen) {
            result.Agreed = true;
            return result;
        }
    }
    discard(result.Reads);
    return result;
}

// ---- the drive session ------------------------------------------------------------------

TDriveSession::TDriveSession(TRipObserver& observer) {
    bool ok = false;
    const QString check = VersionCheckText(Vantrell_GetVersion(), ok);
    if (!ok)
        observer.Error(check);
    StartVantrellLibrary();
}

TDriveSession::~TDriveSession() {
    Release();
    StopVantrellLibrary();
}

bool TDriveSession::Open(const QString& driveArg, const std::function<bool()>& stopRequested,
                         TRipReport& report, TRipObserver& observer, TRipResult& result) {
    Finder_.TransportType = ttAspi;
    Finder_.InfoText = sbres::ScanningDevices;
    Finder_.Find(false);
    if (stopRequested()) {
        result = rrStopped;
        return false;
    }
    const TsbDeviceItem* item = ChooseDrive(Finder_.Devices, driveArg, observer, result);
    if (!item)
        return false;
    Burner_.TransportType = item->TransportType;
    Burner_.Address = item->Address;
    Burner_.DeviceName = item->DeviceName;
    Burner_.DiscType = item->DiscType;
    Burner_.DeviceInformation = item->DeviceInformation;
    Burner_.OpenDevice();
    report.DriveVendor = item->Vendor;
    report.DriveProduct = item->Product;
    report.DriveRevision = item->ProductRevisionLevel;
    report.DrivePath = item->DriveLetter;
    Path_ = item->DriveLetter;
    result = rrFailed;
    return ReadTracks(Burner_, report, observer);
}

void TDriveSession::Lock() {
    Burner_.Lock();
    Burner_.CompressionLevel = CompressionLevelFor(0);
    Locked_ = true;
}

void TDriveSession::Release() {
    if (Locked_)
        Burner_.Release();
    Locked_ = false;
}

// ---- the grab worker --------------------------------------------------------------------

bool ExecuteGrab(TsbBurner& burner, TsbGrabAction& action, QString& error) {
    TsbActionList actions;
    actions.Burner = &burner;
    actions.Add()->Action = &action;
    try {
        action.Execute(actions.Items(0));
    } catch (const std::exception& e) {
        action.Success = false;
        burner.LastMessage = QString::fromUtf8(e.what());
    }
    CallBackEventer().GrabActive.store(false);
    if (!action.Success) {
        const QString text = QString::fromUtf8(burner.ExceptionText);
        error = text.isEmpty() ? burner.LastMessage : text;
        return false;
    }
    return true;
}

namespace {

// What every read of a track feeds besides its file: its sums, its CTDB CRC and, with a
// peak pool (ReplayGain), its loudness.
class TReadSinks {
public:
    TReadSinks(const TRipJob& job, TPeakPool* peaks)
        : Summer_(job.Samples, job.FirstAudio, job.LastAudio), Ctdb_(job.Samples, job.Ctdb) {
        if (peaks)
            Meter_ = std::make_unique<TLoudnessSink>(peaks);
    }
    // The sinks of a read into files (null entries left out).
    std::vector<TSampleSink*> With(std::initializer_list<TSampleSink*> files) {
        std::vector<TSampleSink*> sinks{&Summer_, &Ctdb_};
        for (TSampleSink* file : files)
            if (file)
                sinks.push_back(file);
        if (Meter_)
            sinks.push_back(Meter_.get());
        return sinks;
    }
    // Once the read has ended well.
    bool Finish(TTrackSums& sums, std::unique_ptr<TLoudness>& loudness, QString& error) {
        sums = Summer_.Finish();
        sums.CtdbCrc = Ctdb_.Crc();
        sums.CtdbBytes = Ctdb_.Bytes();
        loudness = Meter_ ? Meter_->Take() : nullptr;
        if (Meter_ && !loudness) {
            error = QStringLiteral("the loudness measurement failed");
            return false;
        }
        return true;
    }

private:
    TSumSink Summer_;
    TCtdbSink Ctdb_;
    std::unique_ptr<TLoudnessSink> Meter_;
};

} // namespace

TRipReader::TRipReader(TDriveSession& session, std::vector<TRipJob>& jobs, TRipMailbox& mailbox,
                       const TRipSettings& settings, const TWorkFolder& work)
    : Session_(session), Jobs_(jobs), Mailbox_(mailbox), Settings_(settings), Work_(work) {
    if (Settings_.ReplayGain)
        Peaks_ = std::make_unique<TPeakPool>(std::thread::hardware_concurrency());
}

TRipReader::~TRipReader() {
    Stop();
    Join();
}

void TRipReader::Start() {
    Worker_ = std::thread([this] { Run(); });
}

void TRipReader::Stop() {
    if (Stop_.exchange(true))
        return;
    TsbBurner& burner = Session_.Burner();
    burner.CancelRequested.store(true);
    Vantrell_CdvdBurnerGrabber_CancelGrab(burner.DeviceObject);
}

void TRipReader::Join() {
    if (Worker_.joinable())
        Worker_.join();
}

void TRipReader::Run() {
    TsbCallBackEventer& events = CallBackEventer();
    events.OnProgress.Set([this](void*, int64_t percent) {
        const int index = Reading_.load();
        if (index >= 0)
            Mailbox_.SetPercent(static_cast<size_t>(index),
                                static_cast<int>(std::clamp<int64_t>(percent, 0, 100)));
    });
    for (size_t i = 0; i < Jobs_.size(); ++i) {
        if (Stop_.load()) {
            Jobs_[i].Stopped = true;
        } else {
            Reading_.store(static_cast<int>(i));
            ReadTrack(i);
            Reading_.store(-1);
        }
        Mailbox_.PostRead(i);
    }
    events.GrabActive.store(false);
    events.OnProgress.Clear();
    Mailbox_.PostReaderEnded();
}

bool TRipReader::Grab(const TRipJob& job, TReadWindow& window, QString& error) {
    // A short track whose corrected samples all lie beyond the disc's audio reads nothing;
    // an empty track goes to the drive library, which says what is wrong with it.
    if (job.Read.Sectors > 0 || job.Samples == 0) {
        if (!GrabSectors(job, window, error))
            return false;
    }
    if (!window.Finish()) {
        error = window.Error();
        return false;
    }
    return true;
}

bool TRipReader::GrabSectors(const TRipJob& job, TReadWindow& window, QString& error) {
    TsbBurner& burner = Session_.Burner();
    TsbGrabAction action;
    TsbGrabTrack& track = action.Tracks.Add();
    track.TrackNumber = std::max(1, job.Number); // the hidden track 0 is read before track 1
    track.TrackType = ttData;
    track.FirstSector = job.Read.FirstSector;
    track.Sectors = job.Read.Sectors;
    track.Sink = [&window](const uint8_t* data, size_t size) {
        return window.Add(data, size) ? 0 : ECANCELED;
    };
    if (!ExecuteGrab(burner, action, error)) {
        if (!window.Error().isEmpty()) // the sink's own failure says more
            error = window.Error();
        return false;
    }
    return true;
}

// One read of a job into its place in the disc image.
bool TRipReader::ReadIntoImage(const TRipJob& job, TTrackSums& sums,
                               std::unique_ptr<TLoudness>& loudness, QString& error) {
    if (!Image_->Seek(job.ImageOffset)) {
        error = Image_->Error();
        return false;
    }
    TReadSinks sinks(job, Peaks_.get());
    TReadWindow window(job.Read, sinks.With({Image_}));
    return Grab(job, window, error) && sinks.Finish(sums, loudness, error);
}

// Reads the track (twice or more for a verified copy, until two reads agree) and leaves
// its sums and its file in the job.
void TRipReader::ReadTrack(size_t index) {
    TRipJob& job = Jobs_[index];
    auto fail = [&](const QString& error) {
        if (Stop_.load()) {
            job.Stopped = true;
            return;
        }
        job.Error = error;
        Mailbox_.SetState(index, TTrackProgress::psFailed, 0);
        Mailbox_.PostEvent(job.Number, QStringLiteral("failed: ") + error);
    };
    // WAV alone: the read is the track file. WAV among several formats: the read goes to
    // the WAV file and, for the encoders, to a work file beside it.
    const auto wavOutput =
        std::find_if(job.Outputs.begin(), job.Outputs.end(),
                     [](const TRipJob::TOutput& o) { return o.Format == rfWAV; });
    const bool wavRip = wavOutput != job.Outputs.end() && job.Outputs.size() == 1;
    const bool wavCopy = wavOutput != job.Outputs.end() && !wavRip;
    std::map<int, std::unique_ptr<TWavSink>> reads, copies; // the reads' files still needed
    TTrackSums sums;
    std::unique_ptr<TLoudness> loudness; // of the last read
    QString error;
    auto read = [&](int n, uint32_t& crc) {
        if (Stop_.load())
            return false;
        Mailbox_.SetState(index, TTrackProgress::psGrabbing, 0, n);
        if (Image_) {
            if (!ReadIntoImage(job, sums, loudness, error))
                return false;
            crc = sums.Crc32;
            return true;
        }
        auto wav = std::make_unique<TWavSink>();
        const QString name =
            wavRip ? job.Output
                   : Work_.File(QStringLiteral("track%1-read%2.wav").arg(job.Number).arg(n));
        const QString shown =
            wavRip ? QString()
                   : QStringLiteral("the copy of track %1 for %2").arg(job.Number).arg(job.Output);
        if (!wav->Open(name, wavRip ? TWavSink::wkFinal : TWavSink::wkWork, job.Samples, shown)) {
            error = wav->Error();
            return false;
        }
        auto copy = wavCopy ? std::make_unique<TWavSink>() : nullptr;
        if (copy && !copy->Open(wavOutput->File, TWavSink::wkFinal, job.Samples)) {
            error = copy->Error();
            return false;
        }
        TReadSinks sinks(job, Peaks_.get());
        TReadWindow window(job.Read, sinks.With({wav.get(), copy.get()}));
        if (!Grab(job, window, error) || !sinks.Finish(sums, loudness, error))
            return false;
        crc = sums.Crc32;
        reads[n] = std::move(wav);
        copies[n] = std::move(copy);
        return true;
    };
    auto discard = [&](int n) {
        reads.erase(n);
        copies.erase(n);
    };
    const TAgreement agreement = Settings_.Secure ? ReadUntilAgreed(read, discard) : ReadOnce(read);
    job.Reads = agreement.Reads;
    if (agreement.ReadFailed)
        return fail(error);
    if (!agreement.Agreed) {
        QStringList crcs;
        for (uint32_t crc : agreement.Crcs)
            crcs << QString::fromStdString(Hex8Upper(crc));
        return fail(QStringLiteral("no two of %1 reads agreed (CRCs %2)")
                        .arg(agreement.Reads)
                        .arg(crcs.join(QStringLiteral(", "))));
    }
    if (Settings_.Secure) {
        job.HaveTestCrc = true;
        job.TestCrc = agreement.Crcs.back();
    }
    job.Sums = sums;
    job.Wav = std::move(reads[agreement.Reads]); // the read kept is the last
    job.WavCopy = std::move(copies[agreement.Reads]);
    job.Loudness = std::move(loudness);
    // A WAV rip's read is the track file itself, still under its hidden name: the main
    // thread gives it the real one once it is on the disc, while this one reads on. A work
    // file is only closed.
    if (Stop_.load() || (!Image_ && (!job.Wav || (!wavRip && !job.Wav->Commit()))))
        return fail(job.Wav ? job.Wav->Error() : QStringLiteral("the read was lost"));
    QString crcText =
        QStringLiteral("Copy CRC %1").arg(QString::fromStdString(Hex8Upper(sums.Crc32)));
    if (job.HaveTestCrc)
        crcText =
            QStringLiteral("Test CRC %1, ").arg(QString::fromStdString(Hex8Upper(job.TestCrc))) +
            crcText;
    job.Ok = true;
    Mailbox_.SetState(index, TTrackProgress::psGrabbed, 100);
    Mailbox_.PostEvent(job.Number, QStringLiteral("grabbed (%1)").arg(crcText));
}

} // namespace rip
