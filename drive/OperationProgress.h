// TfrmOperationProgress: the small modeless progress dialog the drive layer may
// show while it searches drives (TsbDeviceFinder::Find) or reads a disc
// (TsbTrackListReader::Read): a clock animation, the operation's text and a
// Cancel button. Its user creates it, sets the caption and lblInfo, shows it,
// then hides and frees it.
//
// Threads: main thread only (it is a widget).
#pragma once

#include <QDialog>

#include <functional>
#include <memory>

class QLabel;
class QPushButton;
class QTimer;

// The "CLOCK.AVI" animation: a clock face whose hand steps round.
class TAnimate : public QWidget {
public:
    explicit TAnimate(QWidget* parent);
    void Play();
    void Stop(); // shows the stop frame (4)
    bool Active() const;
    int Frame() const { return frame_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QTimer* timer_;
    int frame_ = 4;
};

class TfrmOperationProgress : public QDialog {
public:
    explicit TfrmOperationProgress(QWidget* parent = nullptr);

    QLabel* lblInfo;
    QLabel* labCancelling;
    QPushButton* btnCancel;
    TAnimate* Animate;

    // Called with the dialog when Cancel is pressed; may be unassigned.
    std::function<void(TfrmOperationProgress* sender)> OnCancel;
    bool IsShown = false;

    void SetCancelEnabled(bool value);
    void btnCancelClick();

protected:
    void FormCreate();
    void FormDeactivate();
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void changeEvent(QEvent* event) override;
};

// Owns the progress dialog of one operation and keeps the owner's pointer to it
// (the field a worker reports through) valid: set by Create, cleared, with the
// dialog hidden and freed, when the operation ends. Main thread only.
class TOperationProgressHolder {
public:
    explicit TOperationProgressHolder(TfrmOperationProgress*& field) : field_(field) {}
    ~TOperationProgressHolder() {
        if (dialog_)
            dialog_->hide();
        field_ = nullptr;
    }
    TOperationProgressHolder(const TOperationProgressHolder&) = delete;
    TOperationProgressHolder& operator=(const TOperationProgressHolder&) = delete;

    TfrmOperationProgress* Create() {
        dialog_ = std::make_unique<TfrmOperationProgress>();
        field_ = dialog_.get();
        return field_;
    }
    TfrmOperationProgress* operator->() const { return dialog_.get(); }
    explicit operator bool() const { return dialog_ != nullptr; }

private:
    std::unique_ptr<TfrmOperationProgress> dialog_;
    TfrmOperationProgress*& field_;
};
