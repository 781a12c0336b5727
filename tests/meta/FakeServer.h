// A web server for the metadata tests: listens on 127.0.0.1 on a port of the system's
// choosing, on a thread of its own, and answers each GET with what the test's route
// returns for its path and query: a status, headers and a body, or no answer at all
// (the connection stays open until the server stops). It records every request.
// Header-only.
#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QString>
#include <QTcpServer>
#include <QTcpSocket>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace fakeserver {

struct TReply {
    int Status = 200;
    QByteArray Body;
    QList<QPair<QByteArray, QByteArray>> Headers;
    bool Hang = false; // never answer
};

struct TRequest {
    QString Target; // path and query as sent
    QByteArray UserAgent;
    std::chrono::steady_clock::time_point At;
};

inline TReply Json(const QByteArray& body, int status = 200) {
    return {status, body, {{"Content-Type", "application/json"}}, false};
}

class TServer {
public:
    using TRoute = std::function<TReply(const QString& target)>;

    explicit TServer(TRoute route) : Route_(std::move(route)) {
        std::promise<quint16> port;
        auto ready = port.get_future();
        Thread_ = std::thread([this, &port] { Serve(port); });
        Port_ = ready.get();
    }
    ~TServer() {
        Stop_ = true;
        Thread_.join();
    }

    QString Base() const { return QStringLiteral("http://127.0.0.1:%1").arg(Port_); }
    quint16 Port() const { return Port_; }
    std::vector<TRequest> Requests() const {
        std::lock_guard lock(Lock_);
        return Requests_;
    }

private:
    void Serve(std::promise<quint16>& port) {
        QTcpServer server;
        server.listen(QHostAddress::LocalHost, 0);
        port.set_value(server.serverPort());
        std::vector<std::unique_ptr<QTcpSocket>> open; // connections kept (hanging, keep-alive)
        std::vector<QByteArray> pending;
        while (!Stop_) {
            if (server.waitForNewConnection(10)) {
                while (QTcpSocket* s = server.nextPendingConnection()) {
                    open.emplace_back(s);
                    pending.emplace_back();
                }
            }
            for (size_t i = 0; i < open.size(); ++i) {
                QTcpSocket& s = *open[i];
                if (s.state() != QAbstractSocket::ConnectedState)
                    continue;
                s.waitForReadyRead(1);
                pending[i] += s.readAll();
                const qsizetype end = pending[i].indexOf("\r\n\r\n");
                if (end < 0)
                    continue;
                const QByteArray head = pending[i].left(end);
                pending[i].remove(0, end + 4);
                Answer(s, head);
            }
        }
    }

    void Answer(QTcpSocket& s, const QByteArray& head) {
        const QList<QByteArray> lines = head.split('\n');
        const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
        TRequest request{QString::fromLatin1(first.value(1)), {}, std::chrono::steady_clock::now()};
        for (const QByteArray& line : lines)
            if (line.toLower().startsWith("user-agent:"))
                request.UserAgent = line.mid(11).trimmed();
        {
            std::lock_guard lock(Lock_);
            Requests_.push_back(request);
        }
        const TReply reply = Route_(request.Target);
        if (reply.Hang)
            return;
        QByteArray out = "HTTP/1.1 " + QByteArray::number(reply.Status) + " Status\r\n";
        for (const auto& [name, value] : reply.Headers)
            out += name + ": " + value + "\r\n";
        out += "Content-Length: " + QByteArray::number(reply.Body.size()) + "\r\n";
        out += "Connection: close\r\n\r\n" + reply.Body;
        s.write(out);
        while (s.bytesToWrite() > 0 && s.waitForBytesWritten(1000)) {
        }
        s.disconnectFromHost();
    }

    TRoute Route_;
    std::thread Thread_;
    quint16 Port_ = 0;
    std::atomic<bool> Stop_{false};
    mutable std::mutex Lock_;
    std::vector<TRequest> Requests_; // guarded by Lock_
};

} // namespace fakeserver
