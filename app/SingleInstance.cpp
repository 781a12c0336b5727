#include "SingleInstance.h"

#include "FileNames.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>
#include <QWidget>
#include <QtEndian>

#include <utility>

namespace {

// A request: the magic, the length of the device's name (big-endian), the name's bytes.
const QByteArray Magic = QByteArrayLiteral("TONVALE1");
constexpr int HeaderSize = 12;
constexpr quint32 MaxName = 64 * 1024;
const QByteArray Answer = QByteArrayLiteral("OK\n");
// A connection that says nothing (or not enough) is dropped after this long.
constexpr int IdleMs = 5000;

QByteArray Request(const QString& device) {
    const QByteArray name = FileNameBytes(device);
    QByteArray request = Magic;
    char length[4];
    qToBigEndian(static_cast<quint32>(name.size()), length);
    request.append(length, 4);
    request.append(name);
    return request;
}

} // namespace

TSingleInstance::TSingleInstance(QString folder, QString name, QObject* parent)
    : QObject(parent), folder_(std::move(folder)), name_(std::move(name)) {}

TSingleInstance::~TSingleInstance() {
    if (server_)
        server_->close(); // removes the socket file
}

QString TSingleInstance::DefaultFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
}

QString TSingleInstance::DefaultName() {
    QString display = qEnvironmentVariable("WAYLAND_DISPLAY");
    if (display.isEmpty())
        display = qEnvironmentVariable("DISPLAY");
    if (display.isEmpty())
        return QStringLiteral("tonvale");
    for (QChar& c : display)
        if (!c.isLetterOrNumber() && c != QLatin1Char('.') && c != QLatin1Char('-'))
            c = QLatin1Char('_');
    return QStringLiteral("tonvale-") + display;
}

QString TSingleInstance::SocketPath() const {
    return folder_ + QLatin1Char('/') + name_ + QStringLiteral(".socket");
}

TSingleInstance::TClaim TSingleInstance::Claim(const QString& device, int timeoutMs) {
    error_.clear();
    if (folder_.isEmpty() || !QDir().mkpath(folder_)) {
        error_ = QStringLiteral("no folder for the instance lock; another start opens another "
                                "window");
        return TClaim::First;
    }
    lock_ =
        std::make_unique<QLockFile>(folder_ + QLatin1Char('/') + name_ + QStringLiteral(".lock"));
    // Held for the whole life of the window: never stale while its process lives (Qt
    // takes over the lock of a process that has died).
    lock_->setStaleLockTime(0);
    if (lock_->tryLock(0)) {
        Listen();
        return TClaim::First;
    }
    if (lock_->error() != QLockFile::LockFailedError) {
        error_ = QStringLiteral("cannot make the instance lock in %1; another start opens "
                                "another window")
                     .arg(folder_);
        lock_.reset();
        return TClaim::First;
    }
    return HandOver(device, timeoutMs);
}

bool TSingleInstance::Listen() {
    const QString path = SocketPath();
    // The lock is ours: a socket file there is a dead window's.
    QLocalServer::removeServer(path);
    server_ = new QLocalServer(this);
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_->listen(path)) {
        error_ = QStringLiteral("cannot listen on %1: %2; another start opens another window")
                     .arg(path, server_->errorString());
        delete server_;
        server_ = nullptr;
        return false;
    }
    connect(server_, &QLocalServer::newConnection, this, &TSingleInstance::Accept);
    return true;
}

TSingleInstance::TClaim TSingleInstance::HandOver(const QString& device, int timeoutMs) {
    const QByteArray request = Request(device);
    const QDeadlineTimer deadline(timeoutMs);
    // The running window may still be starting (its lock taken, its socket not yet made).
    while (!deadline.hasExpired()) {
        QLocalSocket socket;
        socket.connectToServer(SocketPath());
        if (socket.waitForConnected(static_cast<int>(deadline.remainingTime()))) {
            socket.write(request);
            QByteArray answer;
            while (answer.size() < Answer.size()) {
                const bool more =
                    socket.waitForReadyRead(static_cast<int>(deadline.remainingTime()));
                answer += socket.readAll(); // also what came before the window hung up
                if (!more)
                    break;
            }
            if (answer.startsWith(Answer))
                return TClaim::HandedOver;
            break;
        }
        // The window that held the lock may have ended meanwhile: then this start is first.
        if (lock_->tryLock(0)) {
            Listen();
            return TClaim::First;
        }
        QThread::msleep(50);
    }
    qint64 pid = 0;
    QString host, app;
    lock_->getLockInfo(&pid, &host, &app);
    lock_.reset();
    error_ = QStringLiteral("Tonvale is running (process %1) but does not answer; end it or "
                            "use that window")
                 .arg(pid);
    return TClaim::Failed;
}

void TSingleInstance::Accept() {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { Read(socket); });
        QTimer::singleShot(IdleMs, socket, [socket] { socket->abort(); });
        Read(socket);
    }
}

void TSingleInstance::Read(QLocalSocket* socket) {
    if (socket->bytesAvailable() < HeaderSize)
        return;
    const QByteArray header = socket->peek(HeaderSize);
    const quint32 length = qFromBigEndian<quint32>(header.constData() + Magic.size());
    if (!header.startsWith(Magic) || length > MaxName) {
        socket->abort(); // not one of ours
        return;
    }
    if (socket->bytesAvailable() < HeaderSize + static_cast<qint64>(length))
        return;
    socket->read(HeaderSize);
    const QString device = FileNameFromBytes(socket->read(length));
    socket->write(Answer);
    socket->flush();
    socket->disconnectFromServer();
    emit Activated(device);
}

void BringToFront(QWidget* window) {
    if (!window)
        return;
    window->setWindowState((window->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    window->show();
    window->raise();
    window->activateWindow();
}
