// The registration seam between the engine and the preview window.
#include "Previewer.h"

#include <atomic>

namespace {
std::atomic<TPreviewerFactory> Factory{nullptr};
}

void SetPreviewerFactory(TPreviewerFactory factory) {
    Factory.store(factory);
}

std::unique_ptr<TCustomPreviewer> CreatePreviewer() {
    const TPreviewerFactory factory = Factory.load();
    return factory ? factory() : nullptr;
}
