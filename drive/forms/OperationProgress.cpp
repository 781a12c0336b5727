#include "OperationProgress.h"

#include <QEvent>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QTimer>

#include <cmath>
#include <numbers>

TAnimate::TAnimate(QWidget* parent) : QWidget(parent), timer_(new QTimer(this)) {
    timer_->setInterval(125);
    connect(timer_, &QTimer::timeout, this, [this] {
        frame_ = (frame_ + 1) % 12;
        update();
    });
}

void TAnimate::Play() {
    timer_->start();
}

void TAnimate::Stop() {
    timer_->stop();
    frame_ = 4;
    update();
}

bool TAnimate::Active() const {
    return timer_->isActive();
}

void TAnimate::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const int side = std::min(width(), height()) - 8;
    const QRectF face((width() - side) / 2.0, (height() - side) / 2.0, side, side);
    painter.setPen(QPen(palette().windowText().color(), 2));
    painter.setBrush(palette().base());
    painter.drawEllipse(face);
    const QPointF centre = face.center();
    const double angle = frame_ * 2 * std::numbers::pi / 12 - std::numbers::pi / 2;
    const double length = side * 0.4;
    painter.drawLine(centre, centre + QPointF(std::cos(angle) * length, std::sin(angle) * length));
}

TfrmOperationProgress::TfrmOperationProgress(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      lblInfo(new QLabel(this)), labCancelling(new QLabel(QStringLiteral("Cancelling..."), this)),
      btnCancel(new QPushButton(QStringLiteral("Cancel"), this)), Animate(new TAnimate(this)) {
    setObjectName(QStringLiteral("frmOperationProgress"));
    setModal(false);
    setFont(QFont(QStringLiteral("MS Sans Serif")));
    setFixedSize(344, 127);
    lblInfo->setGeometry(96, 10, 232, 63);
    lblInfo->setWordWrap(true);
    lblInfo->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    labCancelling->move(96, 96);
    labCancelling->adjustSize();
    labCancelling->hide();
    btnCancel->setGeometry(252, 96, 75, 23);
    connect(btnCancel, &QPushButton::clicked, this, [this] { btnCancelClick(); });
    Animate->setGeometry(8, 16, 72, 96);
    FormCreate();
}

void TfrmOperationProgress::FormCreate() {
    lblInfo->clear();
    IsShown = false;
    Animate->resize(72, 96);
}

void TfrmOperationProgress::SetCancelEnabled(bool value) {
    btnCancel->setVisible(value);
    btnCancel->setEnabled(value);
    labCancelling->hide();
}

void TfrmOperationProgress::btnCancelClick() {
    if (!OnCancel)
        return;
    labCancelling->show();
    btnCancel->setEnabled(false);
    OnCancel(this);
}

void TfrmOperationProgress::FormDeactivate() {
    if (IsShown)
        raise();
}

void TfrmOperationProgress::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    Animate->Play();
    IsShown = true;
}

void TfrmOperationProgress::hideEvent(QHideEvent* event) {
    Animate->Stop();
    IsShown = false;
    QDialog::hideEvent(event);
}

void TfrmOperationProgress::changeEvent(QEvent* event) {
    QDialog::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && !isActiveWindow())
        FormDeactivate();
}

namespace {
class TOperationProgressDialog : public IOperationProgress {
public:
    ~TOperationProgressDialog() override { form_.hide(); }
    void Show(const QString& caption, const QString& info, bool cancelEnabled,
              std::function<void()> onCancel) override {
        form_.setWindowTitle(caption);
        form_.SetCancelEnabled(cancelEnabled);
        form_.lblInfo->setText(info);
        if (onCancel)
            form_.OnCancel = [onCancel = std::move(onCancel)](TfrmOperationProgress*) {
                onCancel();
            };
        form_.show();
    }

private:
    TfrmOperationProgress form_;
};
} // namespace

std::unique_ptr<IOperationProgress> MakeOperationProgressDialog() {
    return std::make_unique<TOperationProgressDialog>();
}
