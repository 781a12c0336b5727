// The one seam through which the program shows modal message boxes and asks
// its questions: the drive layer's error dialogs (lock and release failures)
// and wrong-library warning (reported through sbUserInterface.h and shown here
// once InstallDriveForms ran), and every box, question and folder dialog of
// the application. Tests and the headless CLI install their own handlers, answer
// the questions and see every text shown.
//
// Threads: may be called from any thread. The default handler shows the box on
// the main thread (a blocking queued call from a worker) when a QApplication
// exists, and writes the text to stderr (answering with the default button)
// otherwise.
#pragma once

#include "sbUserInterface.h"

#include <QMessageBox>
#include <QString>

#include <functional>
#include <optional>

class QUrl;
class QWidget;

namespace sbdlg {

// One box: icon, caption, text and the buttons offered.
struct MessageBoxRequest {
    QMessageBox::Icon Icon = QMessageBox::NoIcon;
    QString Caption;
    QString Text;
    QMessageBox::StandardButtons Buttons = QMessageBox::Ok;
    // The button Enter presses; NoButton leaves the choice to the box.
    QMessageBox::StandardButton Default = QMessageBox::NoButton;
};

// Answers a box with the button pressed. Called on the thread that asked.
using MessageBoxHandler = std::function<QMessageBox::StandardButton(const MessageBoxRequest&)>;

// Installs a handler; an empty handler restores the default.
void SetMessageBoxHandler(MessageBoxHandler handler);

// Shows a modal box and returns the button pressed (the default handler owns
// the box by the application's active window).
QMessageBox::StandardButton ShowBox(const MessageBoxRequest& request);

// The drive layer's reports (sbUserInterface.h) as boxes, and its progress
// dialog as TfrmOperationProgress. Called by TsbMainForm's constructor; a
// program or test without a main form calls it itself. Idempotent.
void InstallDriveForms();

// Folder selection: (title, folder shown first or empty) -> the chosen folder,
// or nothing when cancelled. Installed by tests in place of the real dialog.
using FolderDialogHandler =
    std::function<std::optional<QString>(const QString& title, const QString& folder)>;
void SetFolderDialogHandler(FolderDialogHandler handler);
// The installed folder handler, empty when the real dialog is to be shown.
FolderDialogHandler FolderDialogOverride();

// Asking the desktop to open a folder, a web address or a mail link. Tests
// install a handler that records the address instead. Any thread: the default
// hands the address to the main thread.
using ShellOpenHandler = std::function<void(const QUrl& target)>;
void SetShellOpenHandler(ShellOpenHandler handler);
void ShellOpen(const QUrl& target);

} // namespace sbdlg
