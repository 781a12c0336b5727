// One window per user and display. The first start of tonvale holds a lock file and
// listens on a local socket beside it (in the user's runtime folder); a later start on the
// same display connects, hands over the drive it was given and ends, and the running
// window comes to the front and selects that drive. Two windows would otherwise fight over
// the same drive.
//
//     later start --Claim()--> socket --> first start's TSingleInstance --Activated-->
//                                                                  the window (main.cpp)
//
// Main thread only. Requests come from the same user only (the socket is the user's).
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <memory>

class QLocalServer;
class QLocalSocket;
class QLockFile;
class QWidget;

class TSingleInstance : public QObject {
    Q_OBJECT
public:
    // `folder` holds the lock and the socket, named `name` + ".lock" / ".socket".
    explicit TSingleInstance(QString folder = DefaultFolder(), QString name = DefaultName(),
                             QObject* parent = nullptr);
    ~TSingleInstance() override;

    enum class TClaim {
        First,      // this process runs the window: Activated is emitted for later starts
        HandedOver, // a running window took the request: this start ends
        Failed,     // a window runs but did not answer within the time: Error() says so
    };
    // Becomes the first start, or hands `device` (may be empty: only come to the front)
    // to the running one, waiting up to `timeoutMs` for it to answer. First may come
    // with a warning in Error() (no socket could be made: later starts open windows).
    TClaim Claim(const QString& device, int timeoutMs = 5000);
    QString Error() const { return error_; }

    // $XDG_RUNTIME_DIR (Qt's runtime location), where per-session sockets belong.
    static QString DefaultFolder();
    // "tonvale-" and the display ($WAYLAND_DISPLAY, else $DISPLAY), "tonvale" without one.
    static QString DefaultName();
    QString SocketPath() const;

signals:
    // A later start asked for the window, naming `device` (empty: none).
    void Activated(const QString& device);

private:
    void Accept();
    void Read(QLocalSocket* socket);
    TClaim HandOver(const QString& device, int timeoutMs);
    bool Listen();

    QString folder_;
    QString name_;
    QString error_;
    std::unique_ptr<QLockFile> lock_;
    QLocalServer* server_ = nullptr;
};

// Shows the window unminimised, raised and asking for the focus (the desktop decides
// whether it gets it).
void BringToFront(QWidget* window);
