#include "AppTestUtil.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

namespace apptest {

void BoxRecorder::Install() {
    sbdlg::SetMessageBoxHandler([this](const sbdlg::MessageBoxRequest& box) {
        std::lock_guard guard(lock_);
        shown_.push_back(box);
        for (const auto& [text, button] : answers_)
            if (text == box.Text)
                return button;
        for (QMessageBox::StandardButton b : {QMessageBox::Ok, QMessageBox::Yes})
            if (box.Buttons.testFlag(b))
                return b;
        return QMessageBox::NoButton;
    });
    sbdlg::SetFolderDialogHandler([this](const QString&, const QString& shown) {
        std::lock_guard guard(lock_);
        ++folderDialogs_;
        folderShown_ = shown;
        return folder_;
    });
}

std::vector<sbdlg::MessageBoxRequest> BoxRecorder::Shown() const {
    std::lock_guard guard(lock_);
    return shown_;
}

std::vector<QString> BoxRecorder::Texts() const {
    std::vector<QString> texts;
    for (const auto& box : Shown())
        texts.push_back(box.Text);
    return texts;
}

void BoxRecorder::Clear() {
    std::lock_guard guard(lock_);
    shown_.clear();
    answers_.clear();
    folder_.reset();
    folderDialogs_ = 0;
    folderShown_.clear();
}

void BoxRecorder::Answer(const QString& text, QMessageBox::StandardButton button) {
    std::lock_guard guard(lock_);
    std::erase_if(answers_, [&text](const auto& answer) { return answer.first == text; });
    answers_.emplace_back(text, button);
}

void BoxRecorder::SetFolderAnswer(std::optional<QString> folder) {
    std::lock_guard guard(lock_);
    folder_ = std::move(folder);
}

int BoxRecorder::FolderDialogs() const {
    std::lock_guard guard(lock_);
    return folderDialogs_;
}

QString BoxRecorder::FolderShown() const {
    std::lock_guard guard(lock_);
    return folderShown_;
}

BoxRecorder& Boxes() {
    static BoxRecorder recorder;
    return recorder;
}

bool WaitUntil(const std::function<bool()>& done, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs)
            return done();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return true;
}

} // namespace apptest
