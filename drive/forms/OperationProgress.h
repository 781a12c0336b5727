// TfrmOperationProgress: the small modeless progress dialog the drive layer may
// show while it searches drives (TsbDeviceFinder::Find) or reads a disc
// (TsbTrackListReader::Read): a clock animation, the operation's text and a
// Cancel button. The layer reaches it through IOperationProgress
// (sbUserInterface.h): its holder creates it, sets the caption and lblInfo,
// shows it, then hides and frees it.
//
// Threads: main thread only (it is a widget).
#pragma once

#include "sbUserInterface.h"

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

// The drive layer's progress dialog (IOperationProgress) as a
// TfrmOperationProgress.
std::unique_ptr<IOperationProgress> MakeOperationProgressDialog();
