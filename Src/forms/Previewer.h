// TPreviewer: the preview window of a conversion (a small tool window that
// shows the converted pictures). The engine reaches it through the factory
// seam of FFmpeg/Previewer.h; RegisterPreviewer installs this window there.
//
// The window is always on top, its client area is the picture's size, a left
// button press anywhere moves it, and closing it makes ShowFrame return false
// for good (the engine then stops offering pictures). ShowFrame is called on
// the conversion thread, which waits while the main thread paints; the window
// is created, painted and destroyed on the main thread only. Needs a
// QApplication.
#pragma once

#include "FFmpeg/Previewer.h"

#include <QImage>
#include <QPointer>

#include <atomic>
#include <cstdint>
#include <mutex>

class QWidget;
class TPreviewForm;

class TPreviewer : public TCustomPreviewer {
public:
    TPreviewer();
    // Closes the window (on the main thread; the caller waits).
    ~TPreviewer() override;
    TPreviewer(const TPreviewer&) = delete;
    TPreviewer& operator=(const TPreviewer&) = delete;

    // Any thread. Stores the frame, has the main thread paint it and returns
    // true unless the window was closed (before or meanwhile).
    bool ShowFrame(const TBitmap& ABitmap, int AFrameNumber, int64_t APTS) override;

    // The window, null before the first frame and after it was closed (main thread).
    QWidget* Window() const;
    bool Closed() const { return closed_.load(); }

private:
    friend class TPreviewForm;
    void PaintFrame(); // main thread

    std::atomic<bool> closed_{false};
    QPointer<TPreviewForm> form_; // main thread only
    std::mutex frameLock_;
    QImage frame_;          // guarded by frameLock_
    int frameNumber_ = 0;   // guarded by frameLock_
    int64_t timestamp_ = 0; // guarded by frameLock_
};

// Installs TPreviewer as the engine's previewer factory.
void RegisterPreviewer();
