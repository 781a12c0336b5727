// The one seam through which the drive layer shows modal message boxes (an
// error dialog with an OK button for lock and release failures, a warning for a
// wrong library version). Tests and the headless CLI install their own handler.
//
// Threads: may be called from any thread. The default handler shows the box on
// the main thread (a blocking queued call from a worker) when a QApplication
// exists, and writes the text to stderr otherwise.
#pragma once

#include <QMessageBox>
#include <QString>

#include <functional>

namespace sbdlg {

// (icon, caption, text). Called on the thread that asked for the box.
using MessageBoxHandler = std::function<void(QMessageBox::Icon, const QString&, const QString&)>;

// Installs a handler; an empty handler restores the default.
void SetMessageBoxHandler(MessageBoxHandler handler);

// Modal error dialog with an OK button.
void ShowError(const QString& text);
// Modal warning box with no caption and no owner window.
void ShowWarning(const QString& text);

} // namespace sbdlg
