// The preview window as the engine sees it: TPreviewer (Src/forms) shows the
// converted pictures of a run whose preview flag is set. The engine core needs
// Qt Core only, so it reaches the window through a factory that the forms
// library registers (RegisterPreviewer in Src/forms/Previewer.h); without one a
// run with the preview flag shows nothing.
//
// Threads: the engine creates, calls and destroys a previewer on its
// conversion thread; the implementation does every window operation on the
// main thread (the conversion thread waits for it).
#pragma once

#include "Bitmap.h"

#include <cstdint>
#include <memory>

class TCustomPreviewer {
public:
    virtual ~TCustomPreviewer() = default;
    // Shows one picture; false once the user has closed the window (for good).
    virtual bool ShowFrame(const TBitmap& ABitmap, int AFrameNumber, int64_t APTS) = 0;
};

using TPreviewerFactory = std::unique_ptr<TCustomPreviewer> (*)();

// Registers the window's factory (null unregisters). Any thread.
void SetPreviewerFactory(TPreviewerFactory factory);
// A new previewer, or null when no window library is registered.
std::unique_ptr<TCustomPreviewer> CreatePreviewer();
