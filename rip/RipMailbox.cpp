#include "RipMailbox.h"

#include <QCoreApplication>
#include <QThread>

#include <algorithm>

namespace rip {
namespace {

bool OnApplicationThread() {
    const QCoreApplication* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

} // namespace

TRipMailbox::TRipMailbox(std::vector<TTrackProgress> progress)
    : Progress_(std::move(progress)),
      Dispatcher_(OnApplicationThread() ? QCoreApplication::eventDispatcher() : nullptr) {}

void TRipMailbox::NotifyLocked() {
    Pending_ = true;
    Signal_.notify_all();
    // Wakes the application thread's event loop (any thread may call it); a wake-up that
    // comes before the loop sleeps is kept.
    if (Dispatcher_)
        Dispatcher_->wakeUp();
}

void TRipMailbox::PostRead(size_t job) {
    std::lock_guard lock(Lock_);
    News_.Read.push_back(job);
    NotifyLocked();
}

void TRipMailbox::PostEncoded(size_t job) {
    std::lock_guard lock(Lock_);
    News_.Encoded.push_back(job);
    NotifyLocked();
}

void TRipMailbox::PostEvent(int number, const QString& text) {
    std::lock_guard lock(Lock_);
    News_.Events.emplace_back(number, text);
    NotifyLocked();
}

void TRipMailbox::PostReaderEnded() {
    std::lock_guard lock(Lock_);
    News_.ReaderEnded = true;
    NotifyLocked();
}

void TRipMailbox::SetState(size_t job, TTrackProgress::TState state, int percent, int read) {
    std::lock_guard lock(Lock_);
    TTrackProgress& p = Progress_.at(job);
    p.State = state;
    p.Percent = std::clamp(percent, 0, 100);
    if (read > 0)
        p.Read = read;
    NotifyLocked();
}

void TRipMailbox::SetPercent(size_t job, int percent) {
    std::lock_guard lock(Lock_);
    TTrackProgress& p = Progress_.at(job);
    percent = std::clamp(percent, 0, 100);
    if (p.Percent == percent)
        return;
    p.Percent = percent;
    NotifyLocked();
}

void TRipMailbox::Wake() {
    std::lock_guard lock(Lock_);
    NotifyLocked();
}

TRipMailbox::TNews TRipMailbox::Wait() {
    const bool serveEvents = Dispatcher_ && OnApplicationThread();
    std::unique_lock lock(Lock_);
    while (!Pending_) {
        if (serveEvents) {
            lock.unlock();
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
            lock.lock();
        } else {
            Signal_.wait(lock);
        }
    }
    Pending_ = false;
    TNews news;
    std::swap(news, News_);
    return news;
}

std::vector<TTrackProgress> TRipMailbox::Progress() const {
    std::lock_guard lock(Lock_);
    return Progress_;
}

} // namespace rip
