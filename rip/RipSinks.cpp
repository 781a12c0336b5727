#include "RipSinks.h"

#include "FileNames.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace rip {
namespace {

void PutLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

} // namespace

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

// ---- TWavSink ---------------------------------------------------------------------------

TWavSink::~TWavSink() {
    Drop();
}

void TWavSink::Drop() {
    if (WorkFd_ >= 0) {
        ::close(WorkFd_);
        WorkFd_ = -1;
    }
    if (OwnsWork_)
        ::unlink(FileNameBytes(Name_).constData());
    OwnsWork_ = false;
    Pending_.reset();
    Final_.Abandon();
}

bool TWavSink::Fail(int error) {
    Error_ =
        QStringLiteral("Cannot write %1: %2")
            .arg(Shown_.isEmpty() ? Name_ : Shown_, QString::fromLocal8Bit(std::strerror(error)));
    Drop();
    return false;
}

bool TWavSink::Open(const QString& name, TKind kind, int64_t trackSamples, const QString& shown) {
    Drop();
    Name_ = name;
    Shown_ = shown;
    Kind_ = kind;
    const QByteArray bytes = FileNameBytes(name);
    if (kind == wkFinal) {
        if (!Final_.Open(bytes.toStdString())) {
            if (!Final_.ReadOnly())
                return Fail(errno);
            Error_ = QStringLiteral("%1 is read-only").arg(Name_);
            return false;
        }
    } else {
        // Named for a second stop signal before the file exists: one that comes between the
        // two leaves nothing behind.
        Pending_ = std::make_unique<safeio::TPendingPath>(bytes.toStdString(),
                                                          safeio::TPendingPath::kFile);
        WorkFd_ = ::open(bytes.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (WorkFd_ < 0)
            return Fail(errno);
        OwnsWork_ = true;
    }
    const std::vector<uint8_t> header =
        WavHeader(static_cast<uint32_t>(trackSamples * kBytesPerSample));
    return Add(header.data(), header.size());
}

bool TWavSink::Add(const uint8_t* data, size_t size) {
    const bool ok = Kind_ == wkFinal ? Final_.IsOpen() && Final_.Write(data, size)
                                     : WorkFd_ >= 0 && safeio::WriteAll(WorkFd_, data, size);
    return ok || Fail(errno != 0 ? errno : EIO);
}

bool TWavSink::Commit() {
    if (Kind_ == wkFinal) {
        if (!Final_.IsOpen() || !Final_.Commit())
            return Fail(errno != 0 ? errno : EIO);
    } else {
        if (WorkFd_ < 0)
            return Fail(EBADF);
        const int fd = WorkFd_;
        WorkFd_ = -1;
        if (::close(fd) != 0)
            return Fail(errno);
    }
    return true;
}

bool TWavSink::Seek(int64_t offset) {
    const int fd = Kind_ == wkFinal ? Final_.Fd() : WorkFd_;
    if (fd < 0)
        return Fail(EBADF);
    const auto at = static_cast<off_t>(44 + offset * kBytesPerSample);
    return ::lseek(fd, at, SEEK_SET) == at || Fail(errno);
}

// ---- reading with an offset -------------------------------------------------------------

TReadPlan PlanRead(int32_t trackFrom, int32_t trackTo, int offset, int32_t audioFrom,
                   int32_t audioTo) {
    const int64_t lo = int64_t{audioFrom} * kSamplesPerSector;
    const int64_t hi = std::max(lo, int64_t{audioTo} * kSamplesPerSector);
    const int64_t wantFrom = int64_t{trackFrom} * kSamplesPerSector + offset;
    const int64_t wantTo = int64_t{trackTo} * kSamplesPerSector + offset;
    TReadPlan plan;
    if (wantFrom >= hi || wantTo <= lo) { // nothing of it is audio
        plan.LeadSilence = wantTo - wantFrom;
        return plan;
    }
    const int64_t readFrom = std::max(wantFrom, lo);
    const int64_t readTo = std::min(wantTo, hi);
    plan.LeadSilence = readFrom - wantFrom;
    plan.Take = readTo - readFrom;
    plan.TailSilence = wantTo - readTo;
    {
        const int64_t first = readFrom / kSamplesPerSector;
        const int64_t end = (readTo + kSamplesPerSector - 1) / kSamplesPerSector;
        plan.FirstSector = static_cast<int32_t>(first);
        plan.Sectors = static_cast<int32_t>(end - first);
        plan.Skip = readFrom - first * kSamplesPerSector;
    }
    return plan;
}

TReadWindow::TReadWindow(const TReadPlan& plan, std::vector<TSampleSink*> sinks)
    : Sinks_(std::move(sinks)), Plan_(plan), SkipBytes_(plan.Skip * kBytesPerSample),
      TakeBytes_(plan.Take * kBytesPerSample) {}

bool TReadWindow::Pass(const uint8_t* data, size_t size) {
    for (TSampleSink* sink : Sinks_) {
        if (!sink->Add(data, size)) {
            Error_ = sink->Error();
            return false;
        }
    }
    return true;
}

bool TReadWindow::Silence(int64_t samples) {
    static const std::vector<uint8_t> zeros(64 * 1024, 0);
    for (int64_t left = samples * kBytesPerSample; left > 0;) {
        const auto n = static_cast<size_t>(std::min<int64_t>(left, std::ssize(zeros)));
        if (!Pass(zeros.data(), n))
            return false;
        left -= static_cast<int64_t>(n);
    }
    return true;
}

bool TReadWindow::Add(const uint8_t* data, size_t size) {
    if (!Started_) {
        Started_ = true;
        if (!Silence(Plan_.LeadSilence))
            return false;
    }
    if (SkipBytes_ > 0) {
        const auto skip =
            static_cast<size_t>(std::min<int64_t>(SkipBytes_, static_cast<int64_t>(size)));
        SkipBytes_ -= static_cast<int64_t>(skip);
        data += skip;
        size -= skip;
    }
    const auto take =
        static_cast<size_t>(std::min<int64_t>(TakeBytes_, static_cast<int64_t>(size)));
    if (take == 0)
        return true;
    TakeBytes_ -= static_cast<int64_t>(take);
    return Pass(data, take);
}

bool TReadWindow::Finish() {
    if (!Started_) {
        Started_ = true;
        if (!Silence(Plan_.LeadSilence))
            return false;
    }
    if (TakeBytes_ > 0) {
        Error_ = QStringLiteral("the drive delivered %1 samples fewer than asked for")
                     .arg(TakeBytes_ / kBytesPerSample);
        return false;
    }
    return Silence(Plan_.TailSilence);
}

} // namespace rip
