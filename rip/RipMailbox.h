// What the rip's stages tell its main thread, and how the main thread waits for
// it: a mailbox under one mutex. The reader posts the end of each track's read,
// track events and its progress; the conversions post their ends and progress; a
// stop request wakes it too.
//
// Threads: Post*, Set* and Wake from any thread; Wait, Progress and TakeNews on the
// rip's main thread (the one that makes the mailbox). Wait sleeps until something is
// posted: on the thread of the QCoreApplication it serves that thread's events meanwhile
// (the engine's logger and the conversions hand work to it) and is woken through its event
// dispatcher, which allocates nothing for it; elsewhere it waits on a condition variable.
// Never a timer, never a poll.
#pragma once

#include "Ripper.h"

#include <QAbstractEventDispatcher>
#include <QString>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <utility>
#include <vector>

namespace rip {

class TRipMailbox {
public:
    struct TNews {
        std::deque<size_t> Read;                    // jobs the reader is done with
        std::deque<size_t> Encoded;                 // jobs whose conversion ended
        std::deque<std::pair<int, QString>> Events; // track number, text
        bool ReaderEnded = false;                   // the reader is done with every job
    };

    explicit TRipMailbox(std::vector<TTrackProgress> progress);

    void PostRead(size_t job);
    void PostEncoded(size_t job);
    void PostEvent(int number, const QString& text);
    void PostReaderEnded();
    // The state of a job's track (read > 0: the read under way of a verified copy).
    void SetState(size_t job, TTrackProgress::TState state, int percent, int read = 0);
    // How far the step under way is, 0..100.
    void SetPercent(size_t job, int percent);
    // Wakes Wait without news (a stop was asked for, a conversion moved on).
    void Wake();

    // Sleeps until anything was posted or woken since the last Wait; returns the news.
    TNews Wait();
    std::vector<TTrackProgress> Progress() const;

private:
    void NotifyLocked();

    mutable std::mutex Lock_;
    std::condition_variable Signal_;
    TNews News_;                           // guarded by Lock_
    std::vector<TTrackProgress> Progress_; // guarded by Lock_
    bool Pending_ = false;                 // guarded by Lock_: something since the last Wait
    // The application thread's dispatcher when the mailbox is made on that thread.
    QAbstractEventDispatcher* Dispatcher_ = nullptr;
};

} // namespace rip
