// Shared pieces of the application tests: a recorder behind the message-box
// seam that answers every box and keeps what was shown, and small waits.
#pragma once

#include "sbDialogs.h"

#include <QFile>
#include <QString>

#include <functional>
#include <mutex>
#include <optional>
#include <vector>

namespace apptest {

// Records every box shown through the seam. A question is answered by the
// answer set for its text (default: the box's first offered of OK/Yes).
class BoxRecorder {
public:
    void Install();
    std::vector<sbdlg::MessageBoxRequest> Shown() const;
    std::vector<QString> Texts() const;
    void Clear();
    void Answer(const QString& text, QMessageBox::StandardButton button);
    // The folder the next folder dialogs return (nothing: cancelled).
    void SetFolderAnswer(std::optional<QString> folder);
    int FolderDialogs() const;
    // The folder the last folder dialog was to show first (empty: none).
    QString FolderShown() const;

private:
    mutable std::mutex lock_;
    std::vector<sbdlg::MessageBoxRequest> shown_;
    std::vector<std::pair<QString, QMessageBox::StandardButton>> answers_;
    std::optional<QString> folder_;
    int folderDialogs_ = 0;
    QString folderShown_;
};

BoxRecorder& Boxes();

// Processes events until `done` is true or `timeoutMs` has passed; the result of done().
bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 30000);

} // namespace apptest
