// What the drive layer asks of a user interface, without depending on one: its
// error and warning reports (lock and release failures, the wrong-library
// warning) and the small progress dialog shown while drives are searched or a
// disc is read. The forms of the drive layer (drive/forms, target driveforms)
// install the real boxes and dialog; a program without them (the command line)
// gets the reports on stderr and no dialog.
//
// Threads: the reports may be made from any thread; the progress dialog is
// created and used on the main thread only.
#pragma once

#include <QString>

#include <functional>
#include <memory>

namespace sbdlg {

enum class TReportKind { Error, Warning };

// Receives every report; installed by the forms, the command line and tests.
using ReportHandler = std::function<void(TReportKind kind, const QString& text)>;
// Installs a handler; an empty handler restores the default (stderr).
void SetReportHandler(ReportHandler handler);

// Modal error dialog with an OK button ("Error" caption) where the forms are in.
void ShowError(const QString& text);
// Modal warning box with no caption and no owner window where the forms are in.
void ShowWarning(const QString& text);

} // namespace sbdlg

// The progress dialog of one operation, as the drive layer sees it.
class IOperationProgress {
public:
    virtual ~IOperationProgress() = default;
    // Shows the dialog with its caption and text; onCancel (may be empty) is
    // called when Cancel is pressed, which cancelEnabled allows.
    virtual void Show(const QString& caption, const QString& info, bool cancelEnabled,
                      std::function<void()> onCancel) = 0;
};

using OperationProgressFactory = std::function<std::unique_ptr<IOperationProgress>()>;
// Installed by the forms; empty: no dialog is shown.
void SetOperationProgressFactory(OperationProgressFactory factory);

// Owns the progress dialog of one operation and keeps the owner's pointer to it
// valid: set by Show, cleared (the dialog hidden and freed) when the operation
// ends. Main thread only.
class TOperationProgressHolder {
public:
    explicit TOperationProgressHolder(IOperationProgress*& field) : field_(field) {}
    ~TOperationProgressHolder();
    TOperationProgressHolder(const TOperationProgressHolder&) = delete;
    TOperationProgressHolder& operator=(const TOperationProgressHolder&) = delete;

    // Makes and shows the dialog, when the forms are in.
    void Show(const QString& caption, const QString& info, bool cancelEnabled,
              std::function<void()> onCancel);

private:
    std::unique_ptr<IOperationProgress> dialog_;
    IOperationProgress*& field_;
};
