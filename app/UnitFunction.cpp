#include "UnitFunction.h"

#include "UnitMain.h"
#include "UnitPlatform.h"

#include <QCoreApplication>
#include <QEvent>

TAppWorker::TAppWorker(TfrmMain* form) : Form(form) {
    OnTerminate = [this] {
        ended_.store(true);
        Form->Wake();
    };
}

void TRunGrabber::Execute() {
    Form->GrabTracks();
}

void TEjectCloseDevice::Execute() {
    Form->SetEjectEnabled(false);
    if (!CloseTray) {
        SendMciString(QStringLiteral("Set cdaudio door open wait"));
        Form->SetEjectState(QStringLiteral("Close Drive"), 1);
    } else {
        SendMciString(QStringLiteral("Set cdaudio door closed wait"));
        Form->SetEjectState(QStringLiteral("Eject Drive"), 0);
        Form->ShowStatus(QStringLiteral("Loading disc information... "));
        if (!AnyCDVolume())
            Form->ShowStatus(QString());
    }
    Form->SetEjectEnabled(true);
}

void TFindCDRDevice::Execute() {
    // One search and its evaluation at a time: both use the window's finder.
    std::lock_guard guard(Form->ScanLock);
    Form->ShowStatus(QStringLiteral("Loading disc information... "));
    Form->SetEjectEnabled(false);
    Form->ScanDrives();
    Form->SetEjectEnabled(true);
    Form->ShowStatus(QString());
    // DiscMessage, handled on the main thread before this worker goes on.
    Form->PostAndWait([form = Form] {
        QEvent message(static_cast<QEvent::Type>(form->DiscMessage));
        QCoreApplication::sendEvent(form, &message);
    });
}
