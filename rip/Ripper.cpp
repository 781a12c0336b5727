#include "Ripper.h"

#include "RipDiscText.h"
#include "RipEncode.h"

#include "FFUtils.h"
#include "FFmpegConverter.h"
#include "FileNames.h"
#include "SafeOutput.h"

#include "sbBurner.h"
#include "sbDeviceFinder.h"
#include "sbGrab.h"
#include "sbLogger.h"
#include "sbTrackList.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace rip {
namespace {

using Clock = std::chrono::steady_clock;

QString ErrnoText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

// ---- files --------------------------------------------------------------------------

class TFd {
public:
    explicit TFd(int fd = -1) : Fd_(fd) {}
    ~TFd() {
        if (Fd_ >= 0)
            ::close(Fd_);
    }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    int Get() const { return Fd_; }

private:
    int Fd_;
};

ssize_t ReadSome(int fd, void* data, size_t size) {
    for (;;) {
        const ssize_t n = ::read(fd, data, size);
        if (n >= 0 || errno != EINTR)
            return n;
    }
}

bool ReadExactly(int fd, void* data, size_t size) {
    auto* p = static_cast<char*>(data);
    while (size > 0) {
        const ssize_t n = ReadSome(fd, p, size);
        if (n <= 0)
            return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

uint32_t Le32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

void PutLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// The canonical header of a CD-audio WAV file holding dataBytes of PCM.
std::vector<uint8_t> WavHeader(uint32_t dataBytes) {
    std::vector<uint8_t> h(44, 0);
    std::memcpy(h.data(), "RIFF", 4);
    PutLe32(h.data() + 4, 36 + dataBytes);
    std::memcpy(h.data() + 8, "WAVEfmt ", 8);
    PutLe32(h.data() + 16, 16);
    h[20] = 1; // PCM
    h[22] = 2; // channels
    PutLe32(h.data() + 24, 44100);
    PutLe32(h.data() + 28, 176400);
    h[32] = 4;  // block align
    h[34] = 16; // bits
    std::memcpy(h.data() + 36, "data", 4);
    PutLe32(h.data() + 40, dataBytes);
    return h;
}

// Positions fd at the PCM of a 16-bit stereo 44100 Hz WAV file; its size in dataBytes.
bool OpenWavData(int fd, int64_t& dataBytes, QString& error) {
    uint8_t riff[12];
    if (!ReadExactly(fd, riff, sizeof riff) || std::memcmp(riff, "RIFF", 4) != 0 ||
        std::memcmp(riff + 8, "WAVE", 4) != 0) {
        error = QStringLiteral("the copy is not a WAV file");
        return false;
    }
    bool haveFormat = false;
    for (;;) {
        uint8_t chunk[8];
        if (!ReadExactly(fd, chunk, sizeof chunk)) {
            error = QStringLiteral("the copy has no audio data");
            return false;
        }
        const uint32_t size = Le32(chunk + 4);
        if (std::memcmp(chunk, "fmt ", 4) == 0) {
            uint8_t fmt[16];
            if (size < 16 || !ReadExactly(fd, fmt, sizeof fmt) ||
                ::lseek(fd, size - 16 + (size & 1), SEEK_CUR) < 0) {
                error = QStringLiteral("the copy's WAV header is damaged");
                return false;
            }
            if (fmt[0] != 1 || fmt[2] != 2 || Le32(fmt + 4) != 44100 || fmt[14] != 16) {
                error = QStringLiteral("the copy is not 16-bit stereo PCM at 44100 Hz");
                return false;
            }
            haveFormat = true;
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            if (!haveFormat) {
                error = QStringLiteral("the copy's WAV header is damaged");
                return false;
            }
            dataBytes = size;
            return true;
        } else if (::lseek(fd, size + (size & 1), SEEK_CUR) < 0) {
            error = QStringLiteral("the copy's WAV header is damaged");
            return false;
        }
    }
}

// Creates every missing folder of path (bytes); false with errno.
bool MakeFolders(const QByteArray& path, std::vector<QByteArray>& created) {
    for (qsizetype at = 1; at <= path.size(); ++at) {
        if (at < path.size() && path[at] != '/')
            continue;
        const QByteArray part = path.left(at);
        if (::mkdir(part.constData(), 0777) == 0) {
            created.push_back(part);
        } else if (errno != EEXIST) {
            return false;
        } else {
            struct stat st {};
            if (::stat(part.constData(), &st) != 0)
                return false;
            if (!S_ISDIR(st.st_mode)) {
                errno = ENOTDIR;
                return false;
            }
        }
    }
    return true;
}

// The hidden folder the grabbed WAV files wait in; removed with everything in it.
class TWorkFolder {
public:
    ~TWorkFolder() { Remove(); }
    bool Create(const QByteArray& parent) {
        QByteArray pattern = parent + "/.tonvale-rip-XXXXXX";
        if (!::mkdtemp(pattern.data()))
            return false;
        Path_ = pattern;
        return true;
    }
    QString File(const QString& name) const {
        return FileNameFromBytes(Path_) + QLatin1Char('/') + name;
    }
    void Remove() {
        if (Path_.isEmpty())
            return;
        if (DIR* dir = ::opendir(Path_.constData())) {
            while (const dirent* entry = ::readdir(dir)) {
                if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                    ::unlink((Path_ + '/' + entry->d_name).constData());
            }
            ::closedir(dir);
        }
        ::rmdir(Path_.constData());
        Path_.clear();
    }

private:
    QByteArray Path_;
};

void RemoveFile(const QString& name) {
    if (!name.isEmpty())
        ::unlink(FileNameBytes(name).constData());
}

// A small file (a dBAR file holds a few kilobytes); false with errno.
bool ReadWholeFile(const QString& name, QByteArray& bytes) {
    const TFd fd(::open(FileNameBytes(name).constData(), O_RDONLY | O_CLOEXEC));
    if (fd.Get() < 0)
        return false;
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0)
        return false;
    if (!S_ISREG(st.st_mode) || st.st_size > (1 << 24)) {
        errno = S_ISREG(st.st_mode) ? EFBIG : S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return false;
    }
    bytes.resize(static_cast<qsizetype>(st.st_size));
    return ReadExactly(fd.Get(), bytes.data(), static_cast<size_t>(bytes.size()));
}

bool WriteSafe(const QString& name, const QByteArray& data, QString& error) {
    safeio::TSafeOutput out;
    if (!out.Open(FileNameBytes(name).toStdString()) ||
        !out.Write(data.constData(), static_cast<size_t>(data.size())) || !out.Commit()) {
        error = QStringLiteral("Cannot write %1: %2").arg(name, ErrnoText(errno));
        return false;
    }
    return true;
}

// ---- the drive ------------------------------------------------------------------------

class TLibraryScope {
public:
    explicit TLibraryScope(TRipObserver& observer) {
        bool ok = false;
        const QString check = VersionCheckText(Vantrell_GetVersion(), ok);
        if (!ok)
            observer.Error(check);
        StartVantrellLibrary();
    }
    ~TLibraryScope() { StopVantrellLibrary(); }
    TLibraryScope(const TLibraryScope&) = delete;
    TLibraryScope& operator=(const TLibraryScope&) = delete;
};

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

// ---- one track's work -----------------------------------------------------------------

struct TJob {
    size_t Track = 0; // index in the report's tracks
    int Number = 0;
    int64_t Samples = 0;
    bool FirstAudio = false, LastAudio = false;
    std::vector<uint8_t> Edge; // the samples the offset correction takes from beside the track
    QString EdgeError;
    QString Output; // the final file
    TTrackTags Tags;
    // Written by the grab worker, read by the main thread once the job is handed over.
    bool Ok = false;
    bool Stopped = false;
    QString Error;
    TTrackSums Sums;
    bool HaveTestCrc = false;
    uint32_t TestCrc = 0;
    int Reads = 0;
    QString EncodeWav; // the WAV file a conversion reads
};

// What the grab worker and the main thread share.
struct TShared {
    std::mutex Lock;
    std::deque<size_t> Ready;                   // jobs the worker is done with; guarded by Lock
    std::deque<std::pair<int, QString>> Events; // guarded by Lock
    std::vector<TTrackProgress> Progress;       // guarded by Lock
    bool GrabEnded = false;                     // guarded by Lock
    std::atomic<bool> Stop{false};
    std::atomic<int> Grabbing{-1}; // progress index of the read under way
};

void SetProgress(TShared& shared, size_t index, TTrackProgress::TState state, int percent,
                 int read = 0) {
    std::lock_guard lock(shared.Lock);
    TTrackProgress& p = shared.Progress.at(index);
    p.State = state;
    p.Percent = percent;
    if (read > 0)
        p.Read = read;
}

void PostEvent(TShared& shared, int number, const QString& text) {
    std::lock_guard lock(shared.Lock);
    shared.Events.emplace_back(number, text);
}

class TGrabber {
public:
    TGrabber(TsbBurner& burner, std::vector<TJob>& jobs, TShared& shared,
             const TRipSettings& settings, const TWorkFolder& work)
        : Burner_(burner), Jobs_(jobs), Shared_(shared), Settings_(settings), Work_(work) {}

    // The worker's body: every job in order.
    void Run() {
        TsbCallBackEventer& events = CallBackEventer();
        events.OnProgress.Set([this](void*, int64_t percent) {
            const int index = Shared_.Grabbing.load();
            if (index < 0)
                return;
            std::lock_guard lock(Shared_.Lock);
            Shared_.Progress.at(static_cast<size_t>(index)).Percent =
                static_cast<int>(std::clamp<int64_t>(percent, 0, 100));
        });
        for (size_t i = 0; i < Jobs_.size(); ++i) {
            TJob& job = Jobs_[i];
            if (Shared_.Stop.load()) {
                job.Stopped = true;
            } else {
                Shared_.Grabbing.store(static_cast<int>(i));
                RipTrack(job, i);
                Shared_.Grabbing.store(-1);
            }
            std::lock_guard lock(Shared_.Lock);
            Shared_.Ready.push_back(i);
        }
        events.GrabActive.store(false);
        events.OnProgress.Clear();
        std::lock_guard lock(Shared_.Lock);
        Shared_.GrabEnded = true;
    }

private:
    // One read of the track into path through the drive layer.
    bool Read(const TJob& job, const QString& path, QString& error) {
        TsbGrabAction action;
        TsbGrabTrack& track = action.Tracks.Add();
        track.TrackNumber = job.Number;
        track.FileName = path;
        track.TrackType = ttData;
        TsbActionList actions;
        actions.Burner = &Burner_;
        actions.Add()->Action = &action;
        try {
            action.Execute(actions.Items(0));
        } catch (const std::exception& e) {
            action.Success = false;
            Burner_.LastMessage = QString::fromUtf8(e.what());
        }
        CallBackEventer().GrabActive.store(false);
        if (action.Success)
            return true;
        const QString text = QString::fromUtf8(Burner_.ExceptionText);
        error = text.isEmpty() ? Burner_.LastMessage : text;
        return false;
    }

    // Feeds the offset-corrected PCM of the copy at path to sink.
    bool Corrected(const TJob& job, const QString& path, const TOffsetShifter::TSink& sink,
                   QString& error) {
        const TFd fd(::open(FileNameBytes(path).constData(), O_RDONLY | O_CLOEXEC));
        int64_t dataBytes = 0;
        if (fd.Get() < 0) {
            error = QStringLiteral("Cannot read %1: %2").arg(path, ErrnoText(errno));
            return false;
        }
        if (!OpenWavData(fd.Get(), dataBytes, error))
            return false;
        if (dataBytes != job.Samples * kBytesPerSample) {
            error = QStringLiteral("the copy holds %1 samples, the track has %2")
                        .arg(dataBytes / kBytesPerSample)
                        .arg(job.Samples);
            return false;
        }
        TOffsetShifter shifter(Settings_.Offset, job.Samples, job.Edge, sink);
        std::vector<uint8_t> buffer(1 << 20);
        for (int64_t left = dataBytes; left > 0;) {
            const ssize_t n = ReadSome(
                fd.Get(), buffer.data(),
                static_cast<size_t>(std::min<int64_t>(left, static_cast<int64_t>(buffer.size()))));
            if (n <= 0) {
                error =
                    QStringLiteral("Cannot read %1: %2")
                        .arg(path, n == 0 ? QStringLiteral("it is cut short") : ErrnoText(errno));
                return false;
            }
            shifter.Add(buffer.data(), static_cast<size_t>(n));
            left -= n;
        }
        shifter.Finish();
        return true;
    }

    bool Sum(const TJob& job, const QString& path, TTrackSums& sums, QString& error) {
        TTrackSummer summer(job.Samples, job.FirstAudio, job.LastAudio);
        if (!Corrected(
                job, path, [&summer](const uint8_t* d, size_t n) { summer.Add(d, n); }, error))
            return false;
        sums = summer.Finish();
        return true;
    }

    // Writes the corrected PCM of the copy at from as a WAV file named to.
    bool WriteWav(const TJob& job, const QString& from, const QString& to, QString& error) {
        safeio::TSafeOutput out;
        bool ok = out.Open(FileNameBytes(to).toStdString());
        if (ok) {
            const std::vector<uint8_t> header =
                WavHeader(static_cast<uint32_t>(job.Samples * kBytesPerSample));
            ok = out.Write(header.data(), header.size());
        }
        QString readError;
        if (ok && !Corrected(
                      job, from, [&](const uint8_t* d, size_t n) { ok = ok && out.Write(d, n); },
                      readError)) {
            error = readError;
            return false;
        }
        if (!ok || Shared_.Stop.load() || !out.Commit()) {
            error = QStringLiteral("Cannot write %1: %2").arg(to, ErrnoText(errno));
            return false;
        }
        return true;
    }

    // Reads the track (twice or more in secure mode until two reads agree) and
    // leaves the sums and the file to convert in job.
    void RipTrack(TJob& job, size_t index) {
        auto fail = [&](const QString& error) {
            if (Shared_.Stop.load()) {
                job.Stopped = true;
                return;
            }
            job.Error = error;
            SetProgress(Shared_, index, TTrackProgress::psFailed, 0);
            PostEvent(Shared_, job.Number, QStringLiteral("failed: ") + error);
        };
        if (!job.EdgeError.isEmpty())
            return fail(job.EdgeError);
        // The reads: files in the work folder, the sums of the one kept.
        QString kept, error;
        TTrackSums sums;
        auto read = [&](int n, uint32_t& crc) {
            if (Shared_.Stop.load())
                return false;
            const QString path =
                Work_.File(QStringLiteral("track%1-read%2.wav").arg(job.Number).arg(n));
            SetProgress(Shared_, index, TTrackProgress::psGrabbing, 0, n);
            TTrackSums readSums;
            if (!Read(job, path, error) || !Sum(job, path, readSums, error)) {
                RemoveFile(path);
                return false;
            }
            kept = path;
            sums = readSums;
            crc = readSums.Crc32;
            return true;
        };
        auto discard = [&](int n) {
            RemoveFile(Work_.File(QStringLiteral("track%1-read%2.wav").arg(job.Number).arg(n)));
        };
        const TAgreement agreement =
            Settings_.Secure ? ReadUntilAgreed(read, discard) : ReadOnce(read);
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
        QString crcText =
            QStringLiteral("Copy CRC %1").arg(QString::fromStdString(Hex8Upper(sums.Crc32)));
        if (job.HaveTestCrc)
            crcText = QStringLiteral("Test CRC %1, ")
                          .arg(QString::fromStdString(Hex8Upper(job.TestCrc))) +
                      crcText;
        if (Settings_.Format == rfWAV) {
            SetProgress(Shared_, index, TTrackProgress::psEncoding, 0);
            const bool written = WriteWav(job, kept, job.Output, error);
            RemoveFile(kept);
            if (!written)
                return fail(error);
        } else if (Settings_.Offset != 0) {
            const QString corrected = Work_.File(QStringLiteral("track%1.wav").arg(job.Number));
            const bool written = WriteWav(job, kept, corrected, error);
            RemoveFile(kept);
            if (!written)
                return fail(error);
            job.EncodeWav = corrected;
        } else {
            job.EncodeWav = kept;
        }
        job.Ok = true;
        SetProgress(Shared_, index, TTrackProgress::psGrabbed, 100);
        PostEvent(Shared_, job.Number, QStringLiteral("grabbed (%1)").arg(crcText));
    }

    TsbBurner& Burner_;
    std::vector<TJob>& Jobs_;
    TShared& Shared_;
    const TRipSettings& Settings_;
    const TWorkFolder& Work_;
};

// ---- one conversion -------------------------------------------------------------------

// The end of a conversion as its events tell it (they come on the component's threads).
struct TEncodeState {
    std::atomic<bool> Done{false};
    std::atomic<int> CurrentMs{0};
    std::mutex Lock;
    bool Failed = false;  // guarded by Lock
    bool Stopped = false; // guarded by Lock
    std::string Message;  // guarded by Lock
};

struct TEncode {
    size_t Job = 0;
    std::shared_ptr<TEncodeState> State = std::make_shared<TEncodeState>();
    std::unique_ptr<TFFmpegConverter> Converter;
};

// ---- names ----------------------------------------------------------------------------

TNameFields NameFields(const TRipReport& report, const TTrackResult& t) {
    TNameFields f;
    f.AlbumPerformer = report.AlbumPerformer;
    f.AlbumTitle = report.AlbumTitle;
    f.TrackPerformer = t.Performer;
    f.TrackTitle = t.Title;
    f.Number = t.Number;
    return f;
}

// How far the read of one track is, from 0 to 1 (a verified copy needs two reads).
double ReadFraction(const TTrackProgress& p, bool secure) {
    const double step = p.Percent / 100.0;
    switch (p.State) {
    case TTrackProgress::psWaiting:
        return 0;
    case TTrackProgress::psGrabbing:
        return secure ? std::min(1.0, (std::max(p.Read, 1) - 1 + step) / 2) : step;
    default:
        return 1;
    }
}

// How far the encode (for WAV: the write) of one track is, from 0 to 1.
double EncodeFraction(const TTrackProgress& p) {
    switch (p.State) {
    case TTrackProgress::psEncoding:
        return p.Percent / 100.0;
    case TTrackProgress::psDone:
    case TTrackProgress::psFailed:
        return 1;
    default:
        return 0;
    }
}

} // namespace

TRipEstimate::TRipEstimate(std::vector<int64_t> samples, bool encoded, bool secure)
    : Samples_(std::move(samples)), Encoded_(encoded), Secure_(secure) {}

void TRipEstimate::Update(TRipProgress& progress, double elapsedSeconds) {
    double all = 0, read = 0, encoded = 0;
    bool encoding = false;
    for (size_t i = 0; i < Samples_.size() && i < progress.Tracks.size(); ++i) {
        const TTrackProgress& p = progress.Tracks[i];
        const auto weight = static_cast<double>(Samples_[i]);
        all += weight;
        read += weight * ReadFraction(p, Secure_);
        encoded += weight * EncodeFraction(p);
        encoding = encoding || p.State >= TTrackProgress::psEncoding;
    }
    const double r = all > 0 ? read / all : 1;
    const double e = all > 0 ? encoded / all : 1;
    if (encoding && EncodeStart_ < 0)
        EncodeStart_ = elapsedSeconds;
    progress.ElapsedSeconds = elapsedSeconds;
    // Each stage's time left from its own rate; -1 while too little is done to tell.
    const auto left = [](double fraction, double seconds) {
        if (fraction >= 1)
            return 0.0;
        return fraction > 0.02 && seconds > 0 ? seconds * (1 - fraction) / fraction : -1.0;
    };
    const double readLeft = left(r, elapsedSeconds);
    const double encodeLeft =
        Encoded_ ? left(e, EncodeStart_ < 0 ? 0 : elapsedSeconds - EncodeStart_) : 0;
    double fraction = 0;
    if (r >= 1 && e >= 1) {
        progress.SecondsLeft = 0;
        fraction = 1;
    } else if (readLeft >= 0 && encodeLeft >= 0) {
        progress.SecondsLeft = std::max(readLeft, encodeLeft);
        fraction = elapsedSeconds / (elapsedSeconds + progress.SecondsLeft);
    } else {
        progress.SecondsLeft = -1;
        fraction = Encoded_ ? std::min(r, e) : r;
    }
    Shown_ = std::max(Shown_, std::min(fraction, r >= 1 && e >= 1 ? 1.0 : 0.99));
    progress.Fraction = Shown_;
}

QString CommonFolder(const std::vector<QString>& files) {
    QStringList common;
    bool first = true;
    for (const QString& file : files) {
        QStringList parts = file.split(QLatin1Char('/'));
        parts.removeLast();
        if (first) {
            common = parts;
            first = false;
            continue;
        }
        qsizetype n = 0;
        while (n < common.size() && n < parts.size() && common[n] == parts[n])
            ++n;
        common = common.mid(0, n);
    }
    return common.join(QLatin1Char('/'));
}

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

namespace {

TRipResult Rip(const TRipSettings& settings, TRipObserver& observer, TRipReport& report) {
    auto stopRequested = [&] { return settings.StopRequested && settings.StopRequested(); };
    report = TRipReport{};
    report.Program = settings.Program;
    report.Date = QDateTime::currentDateTime().toString(Qt::ISODate);
    report.Offset = settings.Offset;
    report.Secure = settings.Secure;
    report.Format = FormatName(settings.Format);
    report.Preset = PresetText(settings.Format, settings.Preset);
    report.AccurateRipFile = settings.AccurateRipDb;

    QString error;
    if (!CheckTemplate(settings.Template, error) || settings.OutDir.isEmpty() ||
        std::abs(settings.Offset) > kMaxOffset) {
        observer.Error(!error.isEmpty()            ? error
                       : settings.OutDir.isEmpty() ? QStringLiteral("rip needs an output folder")
                                                   : QStringLiteral("--offset must lie within "
                                                                    "-%1 and %1 samples")
                                                         .arg(kMaxOffset));
        return rrUsage;
    }
    std::vector<TDbarEntry> dbar;
    if (!settings.AccurateRipDb.isEmpty()) {
        QByteArray bytes;
        if (!ReadWholeFile(settings.AccurateRipDb, bytes)) {
            observer.Error(
                QStringLiteral("Cannot read %1: %2").arg(settings.AccurateRipDb, ErrnoText(errno)));
            return rrUsage;
        }
        if (!ParseDbar(bytes, dbar, error)) {
            observer.Error(QStringLiteral("%1 is not an AccurateRip file: %2")
                               .arg(settings.AccurateRipDb, error));
            return rrUsage;
        }
    }

    // The media libraries, loaded once for the process by the first component.
    std::unique_ptr<TFFmpegConverter> loader;
    if (settings.Format != rfWAV) {
        loader = std::make_unique<TFFmpegConverter>();
        if (!loader->IsLoaded() && !loader->LoadAVLib(settings.LibraryFolder)) {
            observer.Error(QString::fromStdString(loader->LastErrMsg()));
            return rrFailed;
        }
        const std::string encoder = EncoderFor(settings.Format);
        if (!EncoderAvailable(encoder)) {
            observer.Error(QStringLiteral("The media libraries have no encoder '%1' for %2.")
                               .arg(QString::fromStdString(encoder), FormatName(settings.Format)));
            return rrFailed;
        }
    }

    // The drive and its disc.
    TLibraryScope library(observer);
    TsbDeviceFinder finder;
    finder.TransportType = ttAspi;
    finder.InfoText = sbres::ScanningDevices;
    finder.Find(false);
    if (stopRequested())
        return rrStopped;
    TRipResult chooseResult = rrFailed;
    const TsbDeviceItem* item = ChooseDrive(finder.Devices, settings.Drive, observer, chooseResult);
    if (!item)
        return chooseResult;
    TsbBurner burner;
    burner.TransportType = item->TransportType;
    burner.Address = item->Address;
    burner.DeviceName = item->DeviceName;
    burner.DiscType = item->DiscType;
    burner.DeviceInformation = item->DeviceInformation;
    burner.OpenDevice();
    report.DriveVendor = item->Vendor;
    report.DriveProduct = item->Product;
    report.DriveRevision = item->ProductRevisionLevel;
    report.DrivePath = item->DriveLetter;

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
        return rrFailed;
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
        return rrFailed;
    }
    for (int n : settings.Tracks) {
        const auto it = std::find_if(report.Tracks.begin(), report.Tracks.end(),
                                     [n](const TTrackResult& t) { return t.Number == n; });
        if (it == report.Tracks.end() || !it->Audio) {
            observer.Error(QStringLiteral("Track %1 is not an audio track of the disc (audio "
                                          "tracks %2 to %3).")
                               .arg(n)
                               .arg(report.Toc.FirstAudio())
                               .arg(report.Toc.LastAudio()));
            return rrUsage;
        }
    }
    for (TTrackResult& t : report.Tracks)
        t.Selected = t.Audio && (settings.Tracks.empty() || settings.Tracks.count(t.Number) > 0);

    // What the drive library does not read: CD-Text, ISRCs, MCN, the offset's edges.
    TDiscReader disc;
    const bool discOpen = disc.Open(item->DriveLetter);
    if (discOpen) {
        const TDiscText text =
            disc.ReadText(report.Tracks.front().Number, report.Tracks.back().Number);
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
        }
    }
    std::vector<TDbarEntry> discEntries = EntriesForDisc(dbar, report.Ids);
    report.AccurateRipKnown = !discEntries.empty();
    if (!dbar.empty() && discEntries.empty())
        observer.Error(QStringLiteral("%1 holds no entry for this disc (its AccurateRip file is "
                                      "%2): no track can be verified.")
                           .arg(settings.AccurateRipDb, report.Ids.DbarName));

    // The jobs, their file names and folders.
    const QByteArray outDir = AbsoluteNameBytes(FileNameBytes(settings.OutDir));
    const QString outDirName = FileNameFromBytes(outDir);
    const QString extension = FormatExtension(settings.Format);
    std::vector<TJob> jobs;
    std::vector<QString> files;
    const int firstAudio = report.Toc.FirstAudio(), lastAudio = report.Toc.LastAudio();
    for (size_t i = 0; i < report.Tracks.size(); ++i) {
        TTrackResult& t = report.Tracks[i];
        if (!t.Selected)
            continue;
        t.FileName =
            ExpandTemplate(settings.Template, NameFields(report, t), extension) + extension;
        if (std::find(files.begin(), files.end(), t.FileName) != files.end()) {
            observer.Error(QStringLiteral("The template gives two tracks the file name '%1'; "
                                          "add %t to it.")
                               .arg(t.FileName));
            return rrUsage;
        }
        files.push_back(t.FileName);
        TJob job;
        job.Track = i;
        job.Number = t.Number;
        job.Samples = t.Sectors() * kSamplesPerSector;
        job.FirstAudio = t.Number == firstAudio;
        job.LastAudio = t.Number == lastAudio;
        job.Output = outDirName + QLatin1Char('/') + t.FileName;
        job.Tags = {t.Title,
                    t.Performer,
                    report.AlbumTitle,
                    report.AlbumPerformer,
                    t.Songwriter,
                    t.Composer,
                    t.Isrc,
                    report.Mcn,
                    t.Number,
                    report.Toc.AudioCount()};
        if (settings.Offset != 0) {
            // Samples beside the track: from the neighbouring track when it is audio,
            // silence beyond the disc's audio.
            const bool after = settings.Offset > 0;
            const size_t neighbour = after ? i + 1 : i - 1;
            const bool audible =
                (after ? i + 1 < report.Tracks.size() : i > 0) && report.Tracks[neighbour].Audio;
            const int64_t from = after ? int64_t{t.EndLba} * kSamplesPerSector
                                       : int64_t{t.StartLba} * kSamplesPerSector + settings.Offset;
            const int64_t audioFrom =
                audible ? int64_t{report.Tracks[neighbour].StartLba} * kSamplesPerSector : 0;
            const int64_t audioTo =
                audible ? int64_t{report.Tracks[neighbour].EndLba} * kSamplesPerSector : 0;
            if (!disc.ReadSamples(from, std::abs(settings.Offset), audioFrom, audioTo, job.Edge))
                job.EdgeError = discOpen ? QStringLiteral("the samples beside the track that "
                                                          "the offset correction needs cannot "
                                                          "be read")
                                         : QStringLiteral("the disc cannot be opened to read "
                                                          "the samples the offset correction "
                                                          "needs");
        }
        jobs.push_back(std::move(job));
    }
    disc.Close(); // the drive library reads the disc from here on
    std::vector<QByteArray> createdFolders;
    auto removeEmptyFolders = [&createdFolders] {
        for (auto it = createdFolders.rbegin(); it != createdFolders.rend(); ++it)
            ::rmdir(it->constData()); // only when empty
    };
    for (const TJob& job : jobs) {
        const QByteArray path = FileNameBytes(job.Output);
        if (!MakeFolders(path.left(path.lastIndexOf('/')), createdFolders)) {
            observer.Error(QStringLiteral("Cannot create the folder of %1: %2")
                               .arg(job.Output, ErrnoText(errno)));
            removeEmptyFolders();
            return rrFailed;
        }
    }
    TWorkFolder work;
    if (!work.Create(outDir)) {
        observer.Error(QStringLiteral("Cannot create a work folder in %1: %2")
                           .arg(outDirName, ErrnoText(errno)));
        removeEmptyFolders();
        return rrFailed;
    }
    observer.Started(report);

    // The rip: the grab worker and the conversions.
    TShared shared;
    for (const TJob& job : jobs)
        shared.Progress.push_back({job.Number, TTrackProgress::psWaiting, 0, 0});
    burner.Lock();
    burner.CompressionLevel = CompressionLevelFor(0);
    TGrabber grabber(burner, jobs, shared, settings, work);
    std::thread worker([&grabber] { grabber.Run(); });

    const int jobsAtOnce =
        settings.Jobs > 0 ? settings.Jobs : std::max(1, QThread::idealThreadCount());
    std::deque<size_t> toEncode;
    std::vector<std::unique_ptr<TEncode>> running;
    bool stopping = false;
    const auto started = Clock::now();
    std::vector<int64_t> lengths;
    for (const TJob& job : jobs)
        lengths.push_back(job.Samples);
    TRipEstimate estimate(std::move(lengths), settings.Format != rfWAV, settings.Secure);
    auto lastProgress = started - std::chrono::seconds(1);
    auto finishTrack = [&](TJob& job, bool ok, const QString& error) {
        TTrackResult& t = report.Tracks[job.Track];
        const size_t index = static_cast<size_t>(&job - jobs.data());
        t.Status = ok ? tsOk : tsFailed;
        t.Error = error;
        SetProgress(shared, index, ok ? TTrackProgress::psDone : TTrackProgress::psFailed, 100);
        observer.TrackEvent(job.Number, ok ? QStringLiteral("done: ") + t.FileName
                                           : QStringLiteral("failed: ") + error);
    };
    auto startEncode = [&](size_t index) {
        TJob& job = jobs[index];
        auto encode = std::make_unique<TEncode>();
        encode->Job = index;
        encode->Converter = std::make_unique<TFFmpegConverter>();
        TFFmpegConverter& converter = *encode->Converter;
        converter.SetProgressInterval(250);
        std::shared_ptr<TEncodeState> state = encode->State;
        converter.OnProgress = [state](int, int, int, int currentMs, float, float, int64_t, int) {
            state->CurrentMs.store(currentMs);
        };
        converter.OnTerminate = [state](int taskIndex, bool finished, bool exception,
                                        const std::string& message) {
            if (taskIndex < 0) {
                state->Done.store(true);
                return;
            }
            std::lock_guard lock(state->Lock);
            if (exception) {
                state->Failed = true;
                state->Message = message;
            } else if (!finished) {
                state->Stopped = true;
            }
        };
        TInputOptions in;
        TOutputOptions out;
        InitInputOptions(in);
        InitOutputOptions(out);
        ApplyRipSettings(in, out, settings.Format, settings.Preset, job.Tags);
        const int task = converter.AddTask(job.EncodeWav, &in);
        if (task < 0 || !converter.SetOutputFile(task, job.Output, &out)) {
            RemoveFile(job.EncodeWav);
            finishTrack(job, false, QString::fromStdString(converter.LastErrMsg()));
            return;
        }
        SetProgress(shared, index, TTrackProgress::psEncoding, 0);
        observer.TrackEvent(job.Number, QStringLiteral("encoding"));
        converter.StartConvert(1);
        running.push_back(std::move(encode));
    };

    for (;;) {
        if (!stopping && stopRequested()) {
            stopping = true;
            shared.Stop.store(true);
            burner.CancelRequested.store(true);
            Vantrell_CdvdBurnerGrabber_CancelGrab(burner.DeviceObject);
            for (auto& encode : running)
                encode->Converter->ClearTasks();
        }
        std::deque<size_t> ready;
        std::deque<std::pair<int, QString>> events;
        bool grabEnded = false;
        {
            std::lock_guard lock(shared.Lock);
            ready.swap(shared.Ready);
            events.swap(shared.Events);
            grabEnded = shared.GrabEnded;
        }
        for (const auto& [number, text] : events)
            observer.TrackEvent(number, text);
        for (size_t index : ready) {
            TJob& job = jobs[index];
            TTrackResult& t = report.Tracks[job.Track];
            t.Reads = job.Reads;
            t.HaveSums = job.Ok;
            t.Sums = job.Sums;
            t.HaveTestCrc = job.HaveTestCrc;
            t.TestCrc = job.TestCrc;
            if (job.Ok && !dbar.empty()) {
                const int position = static_cast<int>(
                    std::count_if(report.Tracks.begin(),
                                  report.Tracks.begin() + static_cast<std::ptrdiff_t>(job.Track),
                                  [](const TTrackResult& r) { return r.Audio; }));
                t.ArChecked = true;
                t.ArV1 = MatchTrack(discEntries, position, job.Sums.ArV1);
                t.ArV2 = MatchTrack(discEntries, position, job.Sums.ArV2);
            }
            if (job.Stopped)
                continue;
            if (!job.Ok) {
                t.Status = tsFailed;
                t.Error = job.Error;
            } else if (settings.Format == rfWAV) {
                finishTrack(job, true, {});
            } else if (stopping) {
                RemoveFile(job.EncodeWav);
            } else {
                toEncode.push_back(index);
            }
        }
        // Of the tracks waiting, the longest first: the last conversions to end are
        // then short ones, and the cores stay busy to the end.
        while (!stopping && !toEncode.empty() && static_cast<int>(running.size()) < jobsAtOnce) {
            const auto longest =
                std::max_element(toEncode.begin(), toEncode.end(), [&jobs](size_t a, size_t b) {
                    return jobs[a].Samples < jobs[b].Samples;
                });
            const size_t index = *longest;
            toEncode.erase(longest);
            startEncode(index);
        }
        for (auto it = running.begin(); it != running.end();) {
            TEncode& encode = **it;
            if (!encode.State->Done.load()) {
                const TJob& job = jobs[encode.Job];
                const int64_t totalMs = job.Samples * 10 / 441;
                SetProgress(
                    shared, encode.Job, TTrackProgress::psEncoding,
                    static_cast<int>(std::clamp<int64_t>(
                        totalMs > 0 ? encode.State->CurrentMs.load() * 100 / totalMs : 0, 0, 99)));
                ++it;
                continue;
            }
            encode.Converter.reset();
            TJob& job = jobs[encode.Job];
            RemoveFile(job.EncodeWav);
            bool failed = false, stopped = false;
            std::string message;
            {
                std::lock_guard lock(encode.State->Lock);
                failed = encode.State->Failed;
                stopped = encode.State->Stopped;
                message = encode.State->Message;
            }
            if (failed)
                finishTrack(job, false, QString::fromStdString(message));
            else if (!stopped && !stopping)
                finishTrack(job, true, {});
            it = running.erase(it);
        }
        if (stopping) {
            for (size_t index : toEncode)
                RemoveFile(jobs[index].EncodeWav);
            toEncode.clear();
        }
        const auto now = Clock::now();
        const bool done = grabEnded && toEncode.empty() && running.empty();
        if (done || now - lastProgress >= std::chrono::milliseconds(100)) {
            lastProgress = now;
            TRipProgress progress;
            {
                std::lock_guard lock(shared.Lock);
                progress.Tracks = shared.Progress;
            }
            estimate.Update(progress, std::chrono::duration<double>(now - started).count());
            observer.Progress(progress);
        }
        if (done)
            break;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    worker.join();
    TDoTerminateThread::WaitForAll(10000);
    burner.Release();
    work.Remove();
    removeEmptyFolders();

    if (stopping) {
        report.Stopped = true;
        return rrStopped;
    }
    QStringList ripped;
    const QString folder = CommonFolder(files);
    const QString folderName =
        folder.isEmpty() ? outDirName : outDirName + QLatin1Char('/') + folder;
    const QString stem =
        ExpandTemplate(QStringLiteral("%A - %d"), NameFields(report, report.Tracks.front()),
                       QStringLiteral(".m3u"));
    bool written = true;
    for (const auto& [name, data] :
         {std::pair{stem + QStringLiteral(".cue"), CueSheet(report, folder)},
          std::pair{stem + QStringLiteral(".m3u"), M3uPlaylist(report, folder)},
          std::pair{QStringLiteral("rip.log"), RipLogText(report)}}) {
        const QString file = folderName + QLatin1Char('/') + name;
        if (!WriteSafe(file, data, error)) {
            observer.Error(error);
            written = false;
        } else if (name == QLatin1String("rip.log")) {
            report.LogFile = file;
        }
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
