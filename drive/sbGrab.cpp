#include "sbGrab.h"
#include "FileNames.h"

#include "sbLogger.h"

#include <QDir>
#include <QFile>
#include <QTemporaryFile>

#include <array>

#include <unistd.h>

int32_t CompressionLevelFor(int index) {
    static constexpr std::array<int32_t, 18> levels = {
        0,     1,     10,    25,    50,     75,     90,     98,     32000,
        48000, 64000, 80000, 96000, 128000, 160000, 192000, 256000, 320000};
    if (index < 0 || index >= static_cast<int>(levels.size()))
        return 0;
    return levels[static_cast<size_t>(index)];
}

namespace {
int32_t CompressCallback(void* context, int32_t code, int32_t value) {
    if (code == 1)
        CallBackEventer().OnBuffer.Fire(context, value);
    return 0;
}
} // namespace

void TsbGrabAction::Execute(TsbActionItem* item) {
    TsbStagedAction::Execute(item);
    TsbBurner* burner = Burner();
    TsbCallBackEventer& events = CallBackEventer();

    Success = true;
    events.GrabActive.store(true);
    Vantrell_SetFastReadTOC(1);
    static_cast<void>(Vantrell_GetFastReadTOC());

    for (int i = 0; i < Tracks.Count(); ++i) {
        const TsbGrabTrack& track = Tracks.Items(i);
        // The stub file reserves the unique name and is removed with the object;
        // the copy goes to that name + ".wav".
        QTemporaryFile stub(QDir::tempPath() + QStringLiteral("/sbXXXXXX"));
        const QByteArray fileName = FileNameBytes(track.FileName);
        QByteArray target = fileName;
        if (track.TrackType == ttAudio) {
            if (!stub.open())
                throw EsbError(
                    QStringLiteral("Cannot create a temporary file in %1").arg(QDir::tempPath()));
            target = FileNameBytes(stub.fileName() + QStringLiteral(".wav"));
        }
        if (burner->CancelRequested.load()) {
            DoMessage(QStringLiteral("Grabbing canceled!"), litWarning);
            break;
        }
        DoMessage(QStringLiteral("Grabbing Track # %1").arg(track.TrackNumber), litInfo);
        const char* operation = "Vantrell_CdvdBurnerGrabber_GrabTrack";
        if (track.Sink) {
            operation = "Vantrell_CdvdBurnerGrabber_GrabTrackRange";
            SbLog(QStringLiteral("%1: Track #%2, sectors %3 to %4")
                      .arg(QLatin1String(operation), QString::number(track.TrackNumber),
                           QString::number(track.FirstSector),
                           QString::number(track.FirstSector + track.Sectors - 1)));
            const auto sink = [](void* context, const uint8_t* data, uint32_t size) -> int32_t {
                return (*static_cast<const TsbGrabTrack*>(context)).Sink(data, size);
            };
            burner->Store(Vantrell_CdvdBurnerGrabber_GrabTrackRange(
                burner->DeviceObject, SB_ERROR_BLOCK(burner),
                static_cast<uint8_t>(track.TrackNumber & 0xFF), track.FirstSector, track.Sectors,
                sink, const_cast<TsbGrabTrack*>(&track), 1, 0, 1));
        } else {
            SbLog(QStringLiteral("%1: Track #%2, Output file: %3")
                      .arg(QLatin1String(operation), QString::number(track.TrackNumber),
                           track.FileName));
            burner->Store(Vantrell_CdvdBurnerGrabber_GrabTrack(
                burner->DeviceObject, SB_ERROR_BLOCK(burner),
                static_cast<uint8_t>(track.TrackNumber & 0xFF), target.constData(), 1, 1, 0, 1));
        }
        if (burner->LastExceptionCode != 0) {
            burner->StoreFailure(operation);
            Success = false;
        } else {
            events.OnProgress.Fire(this, 100);
        }
        if (track.TrackType == ttAudio) {
            events.OnBuffer.Fire(this, 0);
            SbLog(QStringLiteral("Vantrell_Wave_UncompressedFileCompress: %1 -> %2 with "
                                 "compression: %3")
                      .arg(FileNameFromBytes(target), track.FileName,
                           QString::number(burner->CompressionLevel)));
            const uint8_t result = burner->Store(Vantrell_Wave_UncompressedFileCompress(
                target.constData(), fileName.constData(), 176400, &CompressCallback, this,
                burner->CompressionLevel));
            ::unlink(target.constData()); // the copy is not needed any more, whatever happened
            if (result != 0) {
                burner->LastMessage = FailureText("Vantrell_Wave_UncompressedFileCompress", result);
                SbLog(burner->LastMessage);
                Success = false;
                throw EsbError(burner->LastMessage);
            }
        }
    }
    DoMessage(sbres::GrabbingComplete, litInfo);
}
