#include "MetaHttp.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSaveFile>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>

namespace meta {

namespace {

constexpr qint64 kCacheSeconds = 30 * 24 * 3600;
// A release with hundreds of tracks is a few hundred kilobytes, a cover a few megabytes.
constexpr qint64 kMaxAnswerBytes = 32 << 20;

QString Seconds(int ms) {
    return ms % 1000 == 0 ? QString::number(ms / 1000) : QString::number(ms / 1000.0, 'f', 1);
}

QString NetworkReason(const QNetworkReply& reply) {
    switch (reply.error()) {
    case QNetworkReply::ConnectionRefusedError:
        return QStringLiteral("connection refused");
    case QNetworkReply::HostNotFoundError:
        return QStringLiteral("host %1 not found").arg(reply.url().host());
    case QNetworkReply::RemoteHostClosedError:
        return QStringLiteral("the server closed the connection");
    case QNetworkReply::TooManyRedirectsError:
        return QStringLiteral("too many redirects");
    default:
        return reply.errorString();
    }
}

} // namespace

QString THttpAnswer::Describe() const {
    switch (Kind) {
    case akHttp:
        return QStringLiteral("the server answered %1").arg(Status);
    case akTimedOut:
        return QStringLiteral("no answer within %1 s").arg(Seconds(LimitMs));
    case akOffline:
        return QStringLiteral("offline and nothing in the cache");
    case akFailed:
        break;
    }
    return Error;
}

// ---- cache --------------------------------------------------------------------------------

TMetaCache::TMetaCache(QString folder)
    : Folder_(folder.isEmpty() ? DefaultFolder() : std::move(folder)) {}

QString TMetaCache::DefaultFolder() {
    QString base = qEnvironmentVariable("XDG_CACHE_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = QDir::homePath() + QStringLiteral("/.cache");
    return base + QStringLiteral("/tonvale");
}

QString TMetaCache::FileFor(const QString& key) const {
    const QByteArray hash = QCryptographicHash::hash(key.toUtf8(), QCryptographicHash::Sha1);
    return Folder_ + QLatin1Char('/') + QString::fromLatin1(hash.toHex());
}

bool TMetaCache::Get(const QString& key, int& status, QByteArray& body) const {
    QFile file(FileFor(key));
    const QFileInfo info(file);
    if (!info.isFile() ||
        info.lastModified().secsTo(QDateTime::currentDateTimeUtc()) > kCacheSeconds ||
        !file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray bytes = file.readAll();
    // "<status> <key>\n" and the body.
    const qsizetype eol = bytes.indexOf('\n');
    if (eol < 0)
        return false;
    const QByteArray head = bytes.left(eol);
    const qsizetype space = head.indexOf(' ');
    bool ok = false;
    status = head.left(space).toInt(&ok);
    if (!ok || space < 0 || QString::fromUtf8(head.mid(space + 1)) != key)
        return false;
    body = bytes.mid(eol + 1);
    return true;
}

void TMetaCache::Put(const QString& key, int status, const QByteArray& body) const {
    if (!QDir().mkpath(Folder_))
        return;
    QSaveFile file(FileFor(key));
    if (!file.open(QIODevice::WriteOnly))
        return;
    QByteArray head = QByteArray::number(status) + ' ' + key.toUtf8();
    head.replace('\n', ' ');
    file.write(head + '\n');
    file.write(body);
    file.commit();
}

// ---- cancel ---------------------------------------------------------------------------------

void TCancel::Cancel() {
    std::lock_guard lock(Lock_);
    Cancelled_ = true;
    if (Loop_) // quit is queued to the loop's own thread
        QMetaObject::invokeMethod(Loop_, &QEventLoop::quit, Qt::QueuedConnection);
    Woken_.notify_all();
}

bool TCancel::Cancelled() const {
    std::lock_guard lock(Lock_);
    return Cancelled_;
}

bool TCancel::Enter(QEventLoop* loop) {
    std::lock_guard lock(Lock_);
    Loop_ = Cancelled_ ? nullptr : loop;
    return !Cancelled_;
}

void TCancel::Leave() {
    std::lock_guard lock(Lock_);
    Loop_ = nullptr;
}

bool TCancel::Sleep(int ms) {
    std::unique_lock lock(Lock_);
    return !Woken_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return Cancelled_; });
}

// ---- client -------------------------------------------------------------------------------

TMetaHttp::TMetaHttp(const TLimits& limits, QString userAgent, TMetaCache cache, bool offline)
    : Limits_(limits), UserAgent_(std::move(userAgent)), Cache_(std::move(cache)),
      Offline_(offline), Deadline_(limits.LookupMs) {}

TMetaHttp::~TMetaHttp() = default;

int TMetaHttp::RemainingMs() const {
    return static_cast<int>(std::max<qint64>(0, Deadline_.remainingTime()));
}

bool TMetaHttp::Wait(int ms) {
    if (ms <= 0)
        return true;
    if (RemainingMs() <= ms)
        return false;
    if (Limits_.Cancel)
        return Limits_.Cancel->Sleep(ms);
    QThread::msleep(static_cast<unsigned long>(ms));
    return true;
}

THttpAnswer TMetaHttp::Get(const QUrl& url, const QString& cacheKey,
                           const std::function<bool(const THttpAnswer&)>& keep) {
    THttpAnswer answer;
    if (Limits_.Cancel && Limits_.Cancel->Cancelled()) {
        answer.Error = QStringLiteral("stopped");
        return answer;
    }
    if (!cacheKey.isEmpty() && Cache_.Get(cacheKey, answer.Status, answer.Body)) {
        answer.Kind = THttpAnswer::akHttp;
        answer.Cached = true;
        return answer;
    }
    if (Offline_) {
        answer.Kind = THttpAnswer::akOffline;
        return answer;
    }
    answer = Fetch(url);
    const bool kept =
        keep ? keep(answer)
             : answer.Kind == THttpAnswer::akHttp && (answer.Status == 200 || answer.Status == 404);
    if (!cacheKey.isEmpty() && answer.Kind == THttpAnswer::akHttp && kept)
        Cache_.Put(cacheKey, answer.Status, answer.Body);
    return answer;
}

THttpAnswer TMetaHttp::Fetch(const QUrl& url) {
    THttpAnswer answer;
    const int remaining = RemainingMs();
    if (remaining <= 0) {
        answer.Kind = THttpAnswer::akTimedOut;
        answer.LimitMs = Limits_.LookupMs;
        return answer;
    }
    if (!Network_)
        Network_ = std::make_unique<QNetworkAccessManager>();
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::UserAgentHeader, UserAgent_);
    request.setRawHeader("Accept", "application/json, text/plain, image/*;q=0.9, */*;q=0.5");
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setMaximumRedirectsAllowed(5);
    QNetworkReply* reply = Network_->get(request);

    QEventLoop loop;
    QTimer connectTimer, lookupTimer;
    connectTimer.setSingleShot(true);
    lookupTimer.setSingleShot(true);
    // A coarse timer may fire up to 5 % early: the lookup's time would seem to be left
    // over, and the next source would be asked after the limit was said to have run out.
    connectTimer.setTimerType(Qt::PreciseTimer);
    lookupTimer.setTimerType(Qt::PreciseTimer);
    int timedOut = 0;
    bool tooLarge = false;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    // Once the request went out the connection stands; from then on only the lookup's
    // limit holds (a busy server may take its time to answer).
    QObject::connect(reply, &QNetworkReply::requestSent, &connectTimer, &QTimer::stop);
    QObject::connect(reply, &QNetworkReply::metaDataChanged, &connectTimer, &QTimer::stop);
    QObject::connect(reply, &QNetworkReply::redirected, &connectTimer,
                     [&] { connectTimer.start(Limits_.ConnectMs); });
    QObject::connect(&connectTimer, &QTimer::timeout, reply, [&] {
        timedOut = Limits_.ConnectMs;
        reply->abort();
    });
    QObject::connect(reply, &QNetworkReply::downloadProgress, reply, [&](qint64 received, qint64) {
        if (received > kMaxAnswerBytes && !tooLarge) {
            tooLarge = true;
            reply->abort();
        }
    });
    QObject::connect(&lookupTimer, &QTimer::timeout, reply, [&] {
        timedOut = Limits_.LookupMs;
        reply->abort();
    });
    connectTimer.start(std::min(Limits_.ConnectMs, remaining));
    lookupTimer.start(remaining);
    bool stopped = false;
    if (!reply->isFinished()) {
        if (!Limits_.Cancel || Limits_.Cancel->Enter(&loop)) {
            loop.exec();
            if (Limits_.Cancel)
                Limits_.Cancel->Leave();
        }
        if (!reply->isFinished()) { // quit by a cancel, not by the reply
            stopped = true;
            reply->abort();
        }
    }
    connectTimer.stop();
    lookupTimer.stop();

    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (stopped) {
        answer.Kind = THttpAnswer::akFailed;
        answer.Error = QStringLiteral("stopped");
    } else if (tooLarge) {
        answer.Kind = THttpAnswer::akFailed;
        answer.Error = QStringLiteral("the answer is larger than %1 MB").arg(kMaxAnswerBytes >> 20);
    } else if (timedOut != 0) {
        answer.Kind = THttpAnswer::akTimedOut;
        answer.LimitMs = timedOut;
    } else if (status.isValid() && status.toInt() > 0) {
        answer.Kind = THttpAnswer::akHttp;
        answer.Status = status.toInt();
        answer.Body = reply->readAll();
    } else {
        answer.Kind = THttpAnswer::akFailed;
        answer.Error = NetworkReason(*reply);
    }
    delete reply;
    return answer;
}

QString ServiceBase(const char* variable, const char* fallback) {
    QString base = qEnvironmentVariable(variable);
    if (base.isEmpty())
        base = QString::fromLatin1(fallback);
    while (base.endsWith(QLatin1Char('/')))
        base.chop(1);
    return base;
}

} // namespace meta
