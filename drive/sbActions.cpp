#include "sbActions.h"
#include "FileNames.h"

#include "sbLogger.h"

#include <QFile>

#include <vector>

namespace {
const char* YN(bool value) {
    return value ? "Yes" : "No";
}
} // namespace

TsbActionItem* TsbActionList::Add() {
    items_.push_back(std::make_unique<TsbActionItem>());
    items_.back()->Collection = this;
    return items_.back().get();
}

void TsbActionList::TruncateActions(int32_t owner) {
    int first = -1;
    for (int i = 0; i < Count(); ++i) {
        if (Items(i)->Owner == owner) {
            first = i;
            break;
        }
    }
    if (first < 0)
        return;
    for (int i = Count() - 1; i >= first; --i)
        Delete(i);
}

void TsbActionList::AssignMessageHandler() {
    for (const auto& item : items_)
        if (item->Action)
            item->Action->OnMessage = OnMessage;
}

void TsbAction::Execute(TsbActionItem* item) {
    if (!item)
        throw EsbError(QStringLiteral("Invalid action"));
    List = item->Collection;
    CallBackEventer().OnProgress.Fire(this, 0);
}

void TsbAction::DoMessage(const QString& text, TsbLogItemType kind) {
    if (OnMessage)
        OnMessage(this, text, kind);
}

void TsbAction::ForwardMessage(const QString& text, TsbLogItemType kind) {
    DoMessage(text, kind);
}

TsbBurner* TsbAction::Burner() const {
    if (!List || !List->Burner)
        throw EsbError(QStringLiteral("Invalid action"));
    return List->Burner;
}

void TsbAction::StageMessage(const QString& text) {
    TsbBurner* burner = Burner();
    burner->LastMessage = text;
    if (List->ReportStages)
        DoMessage(text, litInfo);
}

void TsbAction::Eject() {
    TsbBurner* burner = Burner();
    burner->Release();
    SbLog(QStringLiteral("Vantrell_CdvdBurnerGrabber_Eject"));
    if (burner->Store(
            Vantrell_CdvdBurnerGrabber_Eject(burner->DeviceObject, SB_ERROR_BLOCK(burner))) != 0) {
        DoMessage(burner->StoreFailure("Vantrell_CdvdBurnerGrabber_Eject"), litError);
        return;
    }
    burner->LastMessage = sbres::EjectDisc;
    DoMessage(burner->LastMessage, litInfo);
}

void TsbAction::CloseDiscSession() {
    TsbBurner* burner = Burner();
    CallBackEventer().OnProgress.Fire(this, 100);
    burner->LastMessage = sbres::ClosingSession;
    DoMessage(burner->LastMessage, litInfo);
    SbLog(QStringLiteral("Vantrell_CdvdBurnerGrabber_CloseSession"));
    if (burner->Store(Vantrell_CdvdBurnerGrabber_CloseSession(burner->DeviceObject,
                                                              SB_ERROR_BLOCK(burner))) != 0)
        burner->StoreFailure("Vantrell_CdvdBurnerGrabber_CloseSession", true);
}

void TsbStagedAction::Execute(TsbActionItem* item) {
    TsbAction::Execute(item);
    TsbBurner* burner = Burner();
    burner->OnMessage = [this](void*, const QString& text, TsbLogItemType kind) {
        ForwardMessage(text, kind);
    };
    auto selected = [this](int bit) { return (Options >> bit) & 1u; };
    auto ok = [burner](uint8_t result) { return burner->Store(result) == 0; };
    auto raise = [burner](const char* operation) {
        throw EsbError(burner->StoreFailure(operation));
    };
    VantrellObject* device = burner->DeviceObject;

    if (selected(0))
        StageMessage(sbres::CacheUsed.arg(160));
    if (selected(1)) {
        StageMessage(sbres::TestingUnitReady);
        SbLog(QStringLiteral("Vantrell_CdvdBurnerGrabber_TestUnitReady"));
        burner->Store(Vantrell_CdvdBurnerGrabber_TestUnitReady(device, SB_ERROR_BLOCK(burner)));
    }
    if (selected(2)) {
        VantrellWriteModes modes{};
        SbLog(QStringLiteral("Vantrell_CdvdBurnerGrabber_ProbeSupportedWriteModes"));
        if (!ok(Vantrell_CdvdBurnerGrabber_ProbeSupportedWriteModes(device, SB_ERROR_BLOCK(burner),
                                                                    &modes)))
            raise("Vantrell_CdvdBurnerGrabber_ProbeSupportedWriteModes");
        StageMessage(QString::asprintf("Track-At-Once: %s, Session-At-Once: %s, Disc-At-Once PQ: "
                                       "%s, Disc-At-Once raw P-W: %s",
                                       YN(modes.TrackAtOnce), YN(modes.SessionAtOnce),
                                       YN(modes.DiscAtOncePQ), YN(modes.DiscAtOnceRawPW)));
    }
    uint8_t bupEnabled = 0;
    uint8_t bupSupported = 0;
    if (selected(3)) {
        StageMessage(sbres::GettingBup);
        SbLog(QStringLiteral("Vantrell_CdvdBurnerGrabber_GetBUP"));
        if (!ok(Vantrell_CdvdBurnerGrabber_GetBUP(device, SB_ERROR_BLOCK(burner), &bupEnabled,
                                                  &bupSupported)))
            raise("Vantrell_CdvdBurnerGrabber_GetBUP");
        StageMessage(
            QString::asprintf("BUP (Buffer Underrun Protection) Enabled: %s, Supported: %s",
                              YN(bupEnabled), YN(bupSupported)));
    }
    if (selected(4) && bupSupported) {
        StageMessage(sbres::EnablingBup);
        SbLog(QStringLiteral("Vantrell_CdvdBurnerGrabber_EnableBUP"));
        if (!ok(Vantrell_CdvdBurnerGrabber_EnableBUP(device, SB_ERROR_BLOCK(burner), 1)))
            raise("Vantrell_CdvdBurnerGrabber_EnableBUP");
    }
    if (selected(5)) {
        StageMessage(sbres::SettingSpeeds);
        SbLog(QStringLiteral("Vantrell_CdvdBurnerGrabber_SetSpeeds"));
        if (!ok(Vantrell_CdvdBurnerGrabber_SetSpeeds(device, SB_ERROR_BLOCK(burner), 0xFFFF,
                                                     burner->WriteSpeed)))
            DoMessage(burner->StoreFailure("Vantrell_CdvdBurnerGrabber_SetSpeeds"), litWarning);
    }
    if (selected(6)) {
        StageMessage(sbres::GettingSpeeds);
        int32_t currentRead = 0, maximumRead = 0, currentWrite = 0, maximumWrite = 0;
        SbLog(QStringLiteral("Vantrell_CdvdBurnerGrabber_GetSpeeds"));
        if (!ok(Vantrell_CdvdBurnerGrabber_GetSpeeds(device, SB_ERROR_BLOCK(burner), &currentRead,
                                                     &maximumRead, &currentWrite, &maximumWrite)))
            raise("Vantrell_CdvdBurnerGrabber_GetSpeeds");
        SbLog(QStringLiteral("Vantrell_CdvdBurnerGrabber_GetSpeeds: CurrentReadSpeed: %1,"
                             "MaximumReadSpeed: %2,CurrentWriteSpeed: %3,MaximumWriteSpeed: %4")
                  .arg(currentRead)
                  .arg(maximumRead)
                  .arg(currentWrite)
                  .arg(maximumWrite));
        StageMessage(sbres::CurrentReadSpeed.arg(currentRead).arg(maximumRead));
        StageMessage(sbres::CurrentWriteSpeed.arg(currentWrite).arg(maximumWrite));
    }
    if (selected(7)) {
        StageMessage(sbres::GettingTrackInformation);
        VantrellTrackInformation info{};
        SbLog(QStringLiteral("Vantrell_CdvdBurnerGrabber_GetTrackInformation"));
        if (!ok(Vantrell_CdvdBurnerGrabber_GetTrackInformation(device, SB_ERROR_BLOCK(burner), 255,
                                                               &info)))
            DoMessage(burner->StoreFailure("Vantrell_CdvdBurnerGrabber_GetTrackInformation"),
                      litWarning);
        else
            StageMessage(QString::asprintf("Track Blank: %s, NWA valid: %s, free LBs %d, track "
                                           "number %d",
                                           YN(info.Blank), YN(info.NextWritableValid),
                                           info.FreeBlocks, info.TrackNumber));
    }
    if (selected(8)) {
        StageMessage(sbres::GettingDiscInformation);
        VantrellDiscInformation info{};
        SbLog(QStringLiteral("Vantrell_CdvdBurnerGrabber_GetDiscInformation"));
        burner->Store(
            Vantrell_CdvdBurnerGrabber_GetDiscInformation(device, SB_ERROR_BLOCK(burner), &info));
        StageMessage(QString::asprintf(
            "Disc erasable: %s, Disc status: 0x%02X, Last session status: 0x%02X, Disc type: %d",
            YN(info.Erasable), info.DiscStatus, info.LastSessionStatus, info.DiscType));
    }
    if (selected(9) && burner->FileTree) {
        StageMessage(sbres::BuildingIsoImage);
        if (!burner->BootImageFile.isEmpty()) {
            SbLog(QStringLiteral("Vantrell_ISO9660JolietFileTree_SetBootImage"));
            if (!ok(Vantrell_ISO9660JolietFileTree_SetBootImage(
                    burner->FileTree, SB_ERROR_BLOCK(burner),
                    FileNameBytes(burner->BootImageFile).constData())))
                throw EsbError(
                    burner->StoreFailure("Vantrell_ISO9660JolietFileTree_SetBootImage", true));
        }
        uint64_t size = 0;
        SbLog(QStringLiteral("Vantrell_ISO9660JolietFileTree_BuildImage"));
        if (!ok(Vantrell_ISO9660JolietFileTree_BuildImage(burner->FileTree, SB_ERROR_BLOCK(burner),
                                                          &size)))
            raise("Vantrell_ISO9660JolietFileTree_BuildImage");
        StageMessage(QStringLiteral("Need to save %1 MB").arg(size / 1048576));
    }
    if (selected(10) && burner->SendOPC) {
        StageMessage(sbres::SendingOpc);
        SbLog(QStringLiteral("Vantrell_CdvdBurnerGrabber_SendOPC"));
        if (!ok(Vantrell_CdvdBurnerGrabber_SendOPC(device, SB_ERROR_BLOCK(burner))))
            raise("Vantrell_CdvdBurnerGrabber_SendOPC");
    }
}

void TsbBurnToFileAction::Execute(TsbActionItem* item) {
    TsbStagedAction::Execute(item);
    TsbBurner* burner = Burner();
    burner->BurnMode = 4;
    burner->StartBurnThread();
    Success = !burner->LastBurnFailed;
}

void TsbBurnAtOnceToCDDVDAction::Execute(TsbActionItem* item) {
    TsbStagedAction::Execute(item);
    TsbBurner* burner = Burner();
    burner->StartBurnThread();
    Success = !burner->LastBurnFailed;
    if (Success)
        CloseDiscSession();
}

bool TsbBurnThread::Call(const char* operation, uint8_t result) {
    if (Burner->Store(result) == 0)
        return true;
    Burner->LastBurnFailed = true;
    DoMessage(Burner->StoreFailure(operation), litError);
    return false;
}

void TsbBurnThread::WriteImageFile() {
    CallBackEventer().OnImageStart.Fire(this);
    if (!Burner->FileTree)
        throw EsbError(QStringLiteral("No image to write: the session has no file tree"));
    uint64_t size = 0;
    if (!Call("Vantrell_ISO9660JolietFileTree_BuildImage",
              Vantrell_ISO9660JolietFileTree_BuildImage(Burner->FileTree, SB_ERROR_BLOCK(Burner),
                                                        &size)))
        return;
    // Written under a temporary name: a cancelled or failed write leaves nothing
    // that looks like a complete image.
    const QString partName = Burner->ImageFileName + QStringLiteral(".part");
    QFile out(partName);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        throw EsbError(QStringLiteral("Cannot create the image file %1: %2")
                           .arg(Burner->ImageFileName, out.errorString()));
    std::vector<char> piece(65536);
    uint64_t written = 0;
    int lastPercent = -1;
    while (written < size) {
        if (Burner->CancelRequested.load()) {
            out.remove();
            return;
        }
        uint32_t got = 0;
        if (!Call("Vantrell_ISO9660JolietFileTree_ReadImage",
                  Vantrell_ISO9660JolietFileTree_ReadImage(
                      Burner->FileTree, SB_ERROR_BLOCK(Burner), piece.data(),
                      static_cast<uint32_t>(piece.size()), &got)) ||
            got == 0 || out.write(piece.data(), got) != static_cast<qint64>(got)) {
            out.remove();
            Burner->LastBurnFailed = true;
            return;
        }
        written += got;
        const int percent = static_cast<int>(written * 100 / size);
        if (percent != lastPercent && percent != 100) {
            lastPercent = percent;
            CallBackEventer().OnProgress.Fire(this, percent);
        }
    }
    out.close();
    QFile::remove(Burner->ImageFileName);
    if (!QFile::rename(partName, Burner->ImageFileName)) {
        QFile::remove(partName);
        throw EsbError(
            QStringLiteral("Cannot create the image file %1").arg(Burner->ImageFileName));
    }
}

void TsbBurnThread::Execute() {
    Burner->LastMessage.clear();
    Burner->LastBurnFailed = false;
    const uint8_t mode = Burner->BurnMode;
    if (mode != 4)
        CallBackEventer().OnBurnState.Fire(this, 1);
    Burner->Burning.store(true);
    try {
        VantrellObject* device = Burner->DeviceObject;
        VantrellObject* tree = Burner->FileTree;
        const uint8_t test = Burner->TestWrite;
        const uint8_t multi = Burner->MultiSession;
        auto announce = [this](const char* text) {
            DoMessage(sbres::BurningMode + QStringLiteral(": ") + QString::fromLatin1(text),
                      litInfo);
        };
        const QByteArray image = FileNameBytes(Burner->ImageFileName);
        switch (mode) {
        case 0:
            announce("Track-At-Once (from tree)");
            Call("Vantrell_CdvdBurnerGrabber_TrackAtOnceFromTree",
                 Vantrell_CdvdBurnerGrabber_TrackAtOnceFromTree(device, SB_ERROR_BLOCK(Burner),
                                                                tree, test, multi));
            break;
        case 1:
            announce("Session-At-Once (from tree)");
            Call("Vantrell_CdvdBurnerGrabber_SessionAtOnceFromTree",
                 Vantrell_CdvdBurnerGrabber_SessionAtOnceFromTree(device, SB_ERROR_BLOCK(Burner),
                                                                  tree, test, multi));
            break;
        case 2:
            announce("Disc-At-Once PQ (from tree)");
            Call("Vantrell_CdvdBurnerGrabber_DiscAtOncePQFromTree",
                 Vantrell_CdvdBurnerGrabber_DiscAtOncePQFromTree(device, SB_ERROR_BLOCK(Burner),
                                                                 tree, test, multi));
            break;
        case 3:
            announce("Disc-At-Once raw P-W (from tree)");
            Call("Vantrell_CdvdBurnerGrabber_DiscAtOnceRawPWFromTree",
                 Vantrell_CdvdBurnerGrabber_DiscAtOnceRawPWFromTree(device, SB_ERROR_BLOCK(Burner),
                                                                    tree, test, multi));
            break;
        case 4:
            WriteImageFile();
            break;
        case 5:
            announce("Disc-At-Once PQ (from file)");
            Call("Vantrell_CdvdBurnerGrabber_DiscAtOncePQFromFile",
                 Vantrell_CdvdBurnerGrabber_DiscAtOncePQFromFile(device, SB_ERROR_BLOCK(Burner),
                                                                 image.constData(), test));
            break;
        case 6:
            announce("Disc-At-Once raw P-W (from file)");
            Call("Vantrell_CdvdBurnerGrabber_DiscAtOnceRawPWFromFile",
                 Vantrell_CdvdBurnerGrabber_DiscAtOnceRawPWFromFile(device, SB_ERROR_BLOCK(Burner),
                                                                    image.constData(), test));
            break;
        case 7:
            for (const QString& file : Burner->SourceFiles) {
                announce("Track-At-Once (from file)");
                if (!Call("Vantrell_CdvdBurnerGrabber_TrackAtOnceFromFile",
                          Vantrell_CdvdBurnerGrabber_TrackAtOnceFromFile(
                              device, SB_ERROR_BLOCK(Burner), FileNameBytes(file).constData(), test,
                              multi)))
                    break;
            }
            break;
        case 8: {
            announce("Session-At-Once (from file)");
            DoMessage(sbres::BurningStarted, litInfo);
            std::vector<QByteArray> names;
            std::vector<const char*> pointers;
            for (const QString& file : Burner->SourceFiles)
                names.push_back(FileNameBytes(file));
            for (const QByteArray& name : names)
                pointers.push_back(name.constData());
            Call("Vantrell_CdvdBurnerGrabber_SessionAtOnceFromFile",
                 Vantrell_CdvdBurnerGrabber_SessionAtOnceFromFile(
                     device, SB_ERROR_BLOCK(Burner), pointers.data(),
                     static_cast<uint32_t>(pointers.size()), test, multi));
            break;
        }
        default:
            Burner->LastBurnFailed = true;
            DoMessage(QStringLiteral("Unknown burn mode %1").arg(mode), litError);
            break;
        }
    } catch (const std::exception& error) {
        Burner->LastMessage = QString::fromUtf8(error.what());
        Burner->LastBurnFailed = true;
        Burner->Burning.store(false);
    }
    CallBackEventer().OnBurnState.Fire(this, 0);
    Burner = nullptr;
}
