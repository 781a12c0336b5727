#include "sbDialogs.h"

#include "OperationProgress.h"

#include <QApplication>
#include <QDesktopServices>
#include <QUrl>
#include <QThread>

#include <cstdio>
#include <mutex>

namespace sbdlg {
namespace {
std::mutex handlerLock;
MessageBoxHandler& Handler() { // guarded by handlerLock
    static MessageBoxHandler handler;
    return handler;
}
FolderDialogHandler& FolderHandler() { // guarded by handlerLock
    static FolderDialogHandler handler;
    return handler;
}
ShellOpenHandler& ShellHandler() { // guarded by handlerLock
    static ShellOpenHandler handler;
    return handler;
}

QMessageBox::StandardButton DefaultButton(QMessageBox::StandardButtons buttons) {
    for (QMessageBox::StandardButton b : {QMessageBox::Ok, QMessageBox::Yes, QMessageBox::Cancel})
        if (buttons.testFlag(b))
            return b;
    return QMessageBox::NoButton;
}

QMessageBox::StandardButton DefaultBox(const MessageBoxRequest& request) {
    auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
    if (!app) {
        std::fprintf(stderr, "%s\n", request.Text.toUtf8().constData());
        return DefaultButton(request.Buttons);
    }
    QMessageBox::StandardButton answer = QMessageBox::NoButton;
    auto show = [&request, &answer] {
        QMessageBox box(request.Icon, request.Caption, request.Text, request.Buttons,
                        QApplication::activeWindow());
        if (request.Default != QMessageBox::NoButton)
            box.setDefaultButton(request.Default);
        answer = static_cast<QMessageBox::StandardButton>(box.exec());
    };
    if (QThread::currentThread() == app->thread())
        show();
    else
        QMetaObject::invokeMethod(app, show, Qt::BlockingQueuedConnection);
    return answer;
}
} // namespace

void SetMessageBoxHandler(MessageBoxHandler handler) {
    std::lock_guard guard(handlerLock);
    Handler() = std::move(handler);
}

QMessageBox::StandardButton ShowBox(const MessageBoxRequest& request) {
    MessageBoxHandler handler;
    {
        std::lock_guard guard(handlerLock);
        handler = Handler();
    }
    return handler ? handler(request) : DefaultBox(request);
}

void InstallDriveForms() {
    static std::once_flag once;
    std::call_once(once, [] {
        SetReportHandler([](TReportKind kind, const QString& text) {
            if (kind == TReportKind::Error)
                ShowBox({QMessageBox::Critical, QStringLiteral("Error"), text, QMessageBox::Ok});
            else
                ShowBox({QMessageBox::Warning, QString(), text, QMessageBox::Ok});
        });
        SetOperationProgressFactory(
            []() -> std::unique_ptr<IOperationProgress> { return MakeOperationProgressDialog(); });
    });
}

void SetFolderDialogHandler(FolderDialogHandler handler) {
    std::lock_guard guard(handlerLock);
    FolderHandler() = std::move(handler);
}

FolderDialogHandler FolderDialogOverride() {
    std::lock_guard guard(handlerLock);
    return FolderHandler();
}

void SetShellOpenHandler(ShellOpenHandler handler) {
    std::lock_guard guard(handlerLock);
    ShellHandler() = std::move(handler);
}

void ShellOpen(const QUrl& target) {
    ShellOpenHandler handler;
    {
        std::lock_guard guard(handlerLock);
        handler = ShellHandler();
    }
    if (handler) {
        handler(target);
        return;
    }
    // The result of the desktop's launcher is not looked at.
    if (auto* app = QCoreApplication::instance())
        QMetaObject::invokeMethod(app, [target] { QDesktopServices::openUrl(target); });
}

} // namespace sbdlg
