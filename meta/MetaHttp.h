// The one HTTP client of the metadata lookup, over Qt Network, and its cache.
//
// TMetaHttp runs GET requests one at a time on the calling thread (a local event loop
// waits for each answer, so the thread needs no event loop of its own, but a
// QCoreApplication must exist). Redirects are followed. Two time limits hold: the
// connection must be made within ConnectMs, and every request of one lookup must be
// answered before LookupMs have passed since the client was made; a request that would
// start later is not sent. Answers kept by the cache are reused for 30 days; offline,
// only the cache answers.
//
// One client per lookup; not shared between threads.
#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QString>
#include <QUrl>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

class QEventLoop;
class QNetworkAccessManager;

namespace meta {

// Ends a lookup early, from any thread (a stop signal's watcher): the request under way
// ends at once and no other is sent; its answer says "stopped".
class TCancel {
public:
    void Cancel();
    bool Cancelled() const;

private:
    friend class TMetaHttp;
    // The request under way waits in loop; false when the lookup is cancelled already.
    bool Enter(QEventLoop* loop);
    void Leave();
    // Sleeps ms unless cancelled meanwhile; false when cancelled.
    bool Sleep(int ms);

    mutable std::mutex Lock_;
    std::condition_variable Woken_;
    bool Cancelled_ = false;     // guarded by Lock_
    QEventLoop* Loop_ = nullptr; // guarded by Lock_
};

// The time limits of a lookup. The defaults are the program's; tests shorten them.
struct TLimits {
    int ConnectMs = 5000;
    int LookupMs = 20000;
    int MusicBrainzIntervalMs = 1000; // at most one request a second to MusicBrainz
    int RetryDelayMs = 1000;          // before a 503 is asked again
    std::shared_ptr<TCancel> Cancel;  // empty: the lookup runs to its end
};

struct THttpAnswer {
    enum TKind { akHttp, akTimedOut, akFailed, akOffline };
    TKind Kind = akFailed;
    int Status = 0; // akHttp: the HTTP status
    QByteArray Body;
    QString Error;       // akFailed: the network's reason
    int LimitMs = 0;     // akTimedOut: the limit that ran out
    bool Cached = false; // the answer came from the cache

    bool Ok() const { return Kind == akHttp && Status == 200; }
    // "no answer within 20 s", "the server answered 503", "connection refused", ...
    QString Describe() const;
};

// Files under a folder, one per answer, named by a hash of the key.
class TMetaCache {
public:
    // folder empty: $XDG_CACHE_HOME/tonvale (default ~/.cache/tonvale).
    explicit TMetaCache(QString folder = {});
    static QString DefaultFolder();
    const QString& Folder() const { return Folder_; }

    // The answer kept for key when it is younger than 30 days.
    bool Get(const QString& key, int& status, QByteArray& body) const;
    // Keeps an answer; a cache that cannot be written is only not written.
    void Put(const QString& key, int status, const QByteArray& body) const;

private:
    QString FileFor(const QString& key) const;
    QString Folder_;
};

class TMetaHttp {
public:
    TMetaHttp(const TLimits& limits, QString userAgent, TMetaCache cache, bool offline);
    ~TMetaHttp();
    TMetaHttp(const TMetaHttp&) = delete;
    TMetaHttp& operator=(const TMetaHttp&) = delete;

    // GET url. cacheKey: where the cache keeps the answer (empty: never cached); keep
    // says which answers are kept (default: 200 and 404).
    THttpAnswer Get(const QUrl& url, const QString& cacheKey,
                    const std::function<bool(const THttpAnswer&)>& keep = {});
    // Waits ms, within the lookup's time; false when the lookup's time ran out first.
    bool Wait(int ms);
    bool Offline() const { return Offline_; }
    const TLimits& Limits() const { return Limits_; }
    int RemainingMs() const;

private:
    THttpAnswer Fetch(const QUrl& url);

    TLimits Limits_;
    QString UserAgent_;
    TMetaCache Cache_;
    bool Offline_ = false;
    QDeadlineTimer Deadline_;
    std::unique_ptr<QNetworkAccessManager> Network_;
};

// The base address of a service: the environment variable's value when set (a mirror,
// a test's server), else the public service's. No trailing "/".
QString ServiceBase(const char* variable, const char* fallback);

} // namespace meta
