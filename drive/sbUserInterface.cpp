#include "sbUserInterface.h"

#include <cstdio>
#include <mutex>

namespace {
std::mutex handlerLock;
sbdlg::ReportHandler& Reports() { // guarded by handlerLock
    static sbdlg::ReportHandler handler;
    return handler;
}
OperationProgressFactory& ProgressFactory() { // guarded by handlerLock
    static OperationProgressFactory factory;
    return factory;
}

void Report(sbdlg::TReportKind kind, const QString& text) {
    sbdlg::ReportHandler handler;
    {
        std::lock_guard guard(handlerLock);
        handler = Reports();
    }
    if (handler)
        handler(kind, text);
    else
        std::fprintf(stderr, "%s\n", text.toUtf8().constData());
}
} // namespace

namespace sbdlg {

void SetReportHandler(ReportHandler handler) {
    std::lock_guard guard(handlerLock);
    Reports() = std::move(handler);
}

void ShowError(const QString& text) {
    Report(TReportKind::Error, text);
}

void ShowWarning(const QString& text) {
    Report(TReportKind::Warning, text);
}

} // namespace sbdlg

void SetOperationProgressFactory(OperationProgressFactory factory) {
    std::lock_guard guard(handlerLock);
    ProgressFactory() = std::move(factory);
}

TOperationProgressHolder::~TOperationProgressHolder() {
    field_ = nullptr;
    dialog_.reset();
}

void TOperationProgressHolder::Show(const QString& caption, const QString& info, bool cancelEnabled,
                                    std::function<void()> onCancel) {
    OperationProgressFactory factory;
    {
        std::lock_guard guard(handlerLock);
        factory = ProgressFactory();
    }
    if (!factory)
        return;
    dialog_ = factory();
    field_ = dialog_.get();
    if (dialog_)
        dialog_->Show(caption, info, cancelEnabled, std::move(onCancel));
}
