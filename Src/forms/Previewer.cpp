// The preview window: a frameless-caption tool window painted on the main
// thread from the frames the conversion thread hands over.
#include "Previewer.h"

#include "FFUtils.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QThread>
#include <QWidget>
#include <QWindow>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

class TPreviewForm : public QWidget {
public:
    explicit TPreviewForm(TPreviewer* owner)
        : QWidget(nullptr, Qt::Tool | Qt::WindowStaysOnTopHint | Qt::CustomizeWindowHint |
                               Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                               Qt::WindowCloseButtonHint),
          owner_(owner) {
        setAttribute(Qt::WA_DeleteOnClose, false);
        setAttribute(Qt::WA_OpaquePaintEvent);
    }
    QImage Picture;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.drawImage(0, 0, Picture);
    }
    void closeEvent(QCloseEvent* event) override {
        owner_->closed_ = true;
        event->accept();
    }
    // A press anywhere moves the window as if its caption had been grabbed.
    void mousePressEvent(QMouseEvent* event) override {
        if (event->button() != Qt::LeftButton) {
            QWidget::mousePressEvent(event);
            return;
        }
        if (QWindow* window = windowHandle(); !window || !window->startSystemMove())
            dragOffset_ = event->globalPosition().toPoint() - frameGeometry().topLeft();
        event->accept();
    }
    void mouseMoveEvent(QMouseEvent* event) override {
        if ((event->buttons() & Qt::LeftButton) && !dragOffset_.isNull())
            move(event->globalPosition().toPoint() - dragOffset_);
        event->accept();
    }
    void mouseReleaseEvent(QMouseEvent* event) override {
        dragOffset_ = QPoint();
        event->accept();
    }

private:
    TPreviewer* owner_;
    QPoint dragOffset_;
};

namespace {
// The same pixels as the toolkit's image (TBitmap's formats are numbered alike), copied.
QImage ToImage(const TBitmap& bitmap) {
    if (bitmap.isNull())
        return QImage();
    return QImage(bitmap.constBits(), bitmap.width(), bitmap.height(), bitmap.bytesPerLine(),
                  static_cast<QImage::Format>(bitmap.format()))
        .copy();
}
} // namespace

namespace {

// Runs f on the main thread and waits for it (directly when already there).
// The wait is a condition variable of our own rather than a blocking queued
// call, so that the hand-over is visible to the thread checkers.
void OnMainThread(std::function<void()> f) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || QThread::currentThread() == app->thread()) {
        f();
        return;
    }
    struct TCall {
        std::function<void()> Run;
        std::mutex Lock;
        std::condition_variable Done;
        bool Finished = false; // guarded by Lock
    };
    auto call = std::make_shared<TCall>();
    call->Run = std::move(f);
    QMetaObject::invokeMethod(
        app,
        [call] {
            call->Run();
            {
                std::lock_guard lock(call->Lock);
                call->Finished = true;
            }
            call->Done.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock lock(call->Lock);
    call->Done.wait(lock, [&] { return call->Finished; });
}

std::unique_ptr<TCustomPreviewer> NewPreviewer() {
    return std::make_unique<TPreviewer>();
}

} // namespace

TPreviewer::TPreviewer() = default;

TPreviewer::~TPreviewer() {
    OnMainThread([this] { delete form_.data(); });
}

QWidget* TPreviewer::Window() const {
    return closed_.load() ? nullptr : form_.data();
}

bool TPreviewer::ShowFrame(const TBitmap& ABitmap, int AFrameNumber, int64_t APTS) {
    if (closed_.load())
        return false;
    {
        std::lock_guard lock(frameLock_);
        frame_ = ToImage(ABitmap); // a copy: the engine reuses its bitmap
        frameNumber_ = AFrameNumber;
        timestamp_ = APTS;
    }
    OnMainThread([this] { PaintFrame(); });
    return !closed_.load();
}

void TPreviewer::PaintFrame() {
    if (closed_.load())
        return;
    QImage picture;
    int64_t timestamp = 0;
    {
        std::lock_guard lock(frameLock_);
        picture = frame_;
        timestamp = timestamp_;
    }
    if (!form_) {
        form_ = new TPreviewForm(this);
        form_->setFixedSize(picture.size());
        if (const QScreen* screen = QGuiApplication::primaryScreen()) {
            const QRect area = screen->availableGeometry();
            form_->move(area.center() - QPoint(picture.width() / 2, picture.height() / 2));
        }
        form_->show();
    }
    form_->setWindowTitle(QString::fromStdString(FormatTimestamp(timestamp)));
    form_->Picture = picture;
    if (form_->size() != picture.size())
        form_->setFixedSize(picture.size());
    form_->update();
}

void RegisterPreviewer() {
    SetPreviewerFactory(&NewPreviewer);
}
