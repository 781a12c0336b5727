#include "sbDialogs.h"

#include <QApplication>
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

void DefaultBox(QMessageBox::Icon icon, const QString& caption, const QString& text) {
    auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
    if (!app) {
        std::fprintf(stderr, "%s\n", text.toUtf8().constData());
        return;
    }
    auto show = [icon, caption, text] {
        QMessageBox box(icon, caption, text, QMessageBox::Ok);
        box.exec();
    };
    if (QThread::currentThread() == app->thread())
        show();
    else
        QMetaObject::invokeMethod(app, show, Qt::BlockingQueuedConnection);
}

void Show(QMessageBox::Icon icon, const QString& caption, const QString& text) {
    MessageBoxHandler handler;
    {
        std::lock_guard guard(handlerLock);
        handler = Handler();
    }
    if (handler)
        handler(icon, caption, text);
    else
        DefaultBox(icon, caption, text);
}
} // namespace

void SetMessageBoxHandler(MessageBoxHandler handler) {
    std::lock_guard guard(handlerLock);
    Handler() = std::move(handler);
}

void ShowError(const QString& text) {
    Show(QMessageBox::Critical, QStringLiteral("Error"), text);
}

void ShowWarning(const QString& text) {
    Show(QMessageBox::Warning, QString(), text);
}

} // namespace sbdlg
