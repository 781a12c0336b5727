#include "sbTrackList.h"

#include "sbUserInterface.h"
#include "sbLogger.h"

#include <QLocale>

#include <cmath>
#include <memory>

namespace {
const char* YN(bool value) {
    return value ? "Yes" : "No";
}

uint64_t Magnitude(int64_t value) {
    // Safe for INT64_MIN as well.
    return value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
}

void LogAndStore(TsbBurner* burner, const QString& line) {
    burner->LastMessage = line;
    SbLog(line);
}
} // namespace

QString SizeInKB(int64_t bytes, bool noSuffix) {
    QString text = QString::number(Magnitude(bytes) / 1024);
    if (!noSuffix)
        text += QStringLiteral(" KB");
    return text;
}

QString SizeInMB(int64_t bytes, bool noSuffix) {
    const double megabytes = static_cast<double>(Magnitude(bytes)) / 1048576.0;
    QString text;
    if (megabytes >= 1e6) {
        text = QString::number(megabytes, 'E', 5);
    } else {
        // Six significant digits first, then two decimals.
        const double rounded = QString::number(megabytes, 'g', 6).toDouble();
        text = QString::number(rounded, 'f', 2);
    }
    text.replace(QLatin1Char('.'), QLocale().decimalPoint());
    if (!noSuffix)
        text += QStringLiteral(" MB");
    return text;
}

namespace {
struct TimeParts {
    int64_t hours, minutes, seconds, milliseconds;
};
TimeParts SplitTime(double time) {
    const double fraction = time - std::floor(time); // the time of day
    auto ms = static_cast<int64_t>(std::llround(fraction * 86400000.0)) % 86400000;
    return {ms / 3600000, ms / 60000 % 60, ms / 1000 % 60, ms % 1000};
}
} // namespace

QString TimeFormatFor(double time) {
    return SplitTime(time).hours > 0 ? QStringLiteral("h:nn:ss") : QStringLiteral("nn:ss");
}

QString FormatTime(const QString& pattern, double time) {
    const TimeParts parts = SplitTime(time);
    QString out;
    for (qsizetype i = 0; i < pattern.size();) {
        const QChar c = pattern[i].toLower();
        int64_t value = -1;
        if (c == QLatin1Char('h'))
            value = parts.hours;
        else if (c == QLatin1Char('n'))
            value = parts.minutes;
        else if (c == QLatin1Char('s'))
            value = parts.seconds;
        if (value < 0) {
            out += pattern[i++];
            continue;
        }
        const bool twoDigits = i + 1 < pattern.size() && pattern[i + 1].toLower() == c;
        out += twoDigits ? QStringLiteral("%1").arg(value, 2, 10, QLatin1Char('0'))
                         : QString::number(value);
        i += twoDigits ? 2 : 1;
    }
    return out;
}

void TsbTrackListReader::ReadTrackList(TsbTrackList* list, TsbBurner* burner) {
    list->Clear();
    Vantrell_SetFastReadTOC(1);
    auto toc = std::make_unique<VantrellTocRecord>();
    SbLog(QStringLiteral("Vantrell_CdvdBurnerGrabber_GetTOCInformation"));
    burner->Store(Vantrell_CdvdBurnerGrabber_GetTOCInformation(burner->DeviceObject,
                                                               SB_ERROR_BLOCK(burner), toc.get()));
    if (burner->LastExceptionCode == VANTRELL_EXCEPTION_NO_TOC)
        return;
    if (burner->LastExceptionCode != 0)
        throw EsbError(burner->StoreFailure("Vantrell_CdvdBurnerGrabber_GetTOCInformation"));

    const int count = std::min<int>(toc->EntryCount, VANTRELL_TOC_MAX_ENTRIES);
    for (int i = 1; i <= count; ++i) {
        const VantrellTocEntry& entry = toc->Entries[i - 1];
        if (i == count &&
            (burner->DiscType == DISC_TYPE_DVDPLUSR || burner->DiscType == DISC_TYPE_DVDR))
            break;
        VantrellTrackInformation info{};
        SbLog(QStringLiteral("Vantrell_CdvdBurnerGrabber_GetTrackInformation"));
        // Asked by the track's number: a disc's first track need not be 1.
        burner->Store(Vantrell_CdvdBurnerGrabber_GetTrackInformation(
            burner->DeviceObject, SB_ERROR_BLOCK(burner), entry.TrackNumber, &info));
        if (burner->LastExceptionCode != 0)
            continue;
        if (info.Present) {
            TsbTrack& track = list->Add();
            track.TrackInfo = info;
            track.TocEntry = entry;
            burner->LastMessage = QString::asprintf(
                "Track Blank: %s, NWA valid: %s, free LBs %d, NWA %d, track number %d",
                YN(info.Blank), YN(info.NextWritableValid), info.FreeBlocks,
                info.NextWritableAddress, info.TrackNumber);
            // 32-bit difference, sign-extended.
            track.TrackSizeInLB = static_cast<int32_t>(static_cast<uint32_t>(entry.EndLba) -
                                                       static_cast<uint32_t>(entry.StartLba));
            track.TrackSizeInBytes = track.TrackSizeInLB * static_cast<int64_t>(entry.BlockSize);
            if (entry.AudioTrack)
                track.TrackSizeInTime =
                    static_cast<uint32_t>(track.TrackSizeInBytes) / 176400.0 * 1000.0 / 86400000.0;
            const QString size =
                QStringLiteral("Size: ") + SizeInKB(track.TrackSizeInBytes) + QStringLiteral(", ");
            track.ShortStrInfo =
                size + QString::asprintf("Track Blank: %s, free LBs %d, track number %d",
                                         YN(info.Blank), info.FreeBlocks, info.TrackNumber);
            track.StrInfo = size + burner->LastMessage;
        }
        LogAndStore(burner, QString::asprintf("TOC Index %d, Track Number: 0x%02X, Entry Valid: %s",
                                              i, entry.TrackNumber, YN(entry.EntryValid)));
        LogAndStore(burner,
                    QString::asprintf("Starting LBA %d, Starting MSF %d:%d:%d, Ending LBA %d, "
                                      "Ending MSF %d:%d:%d",
                                      entry.StartLba, entry.StartMsf[0], entry.StartMsf[1],
                                      entry.StartMsf[2], entry.EndLba, entry.EndMsf[0],
                                      entry.EndMsf[1], entry.EndMsf[2]));
        LogAndStore(burner, QString::asprintf("MCN Available: %s, ISRC Available: %s, Four "
                                              "Channels Audio: %s, Pre-Emphasis Audio: %s",
                                              YN(entry.McnAvailable), YN(entry.IsrcAvailable),
                                              YN(entry.FourChannelAudio), YN(entry.PreEmphasis)));
        LogAndStore(burner, QString::asprintf("Data: %s, Audio: %s, Digital Copy Prohibited: %s",
                                              YN(entry.DataTrack), YN(entry.AudioTrack),
                                              YN(entry.CopyProhibited)));
        LogAndStore(burner, QString::asprintf("Track Mode: 0x%02X, MODE2 Form: 0x%02X (if Track "
                                              "Mode = 0x02), LB (logical block) Size In UCHARs: %d",
                                              entry.TrackMode, entry.Mode2Form,
                                              static_cast<int>(entry.BlockSize)));
    }
}

void TsbTrackListThread::Execute() {
    TsbTrackListReader::ReadTrackList(List, Burner);
}

TsbTrackListReader::~TsbTrackListReader() {
    try {
        WaitForWorker();
    } catch (...) {
    }
}

void TsbTrackListReader::WaitForWorker() {
    WaitForWorkerSteps(Worker, WorkerHandle);
}
void TsbTrackListReader::WorkerEnded() {
    Worker.store(nullptr);
}

void TsbTrackListReader::Read(TsbBurner* burner, TsbTrackList* list, bool showProgress) {
    TOperationProgressHolder dialog(ProgressDialog);
    if (showProgress) {
        dialog.Show(sbres::ReadingTracks, InfoText, false, {});
        ProcessPendingEvents();
    }
    WaitForWorker();
    StartWorker(std::make_unique<TsbTrackListThread>(list, burner), Worker, WorkerHandle,
                [this] { WorkerEnded(); });
    WaitForWorker();
}
