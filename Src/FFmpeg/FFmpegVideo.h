// Run state of the video path (FFmpegVideo.cpp): the task's hook and preview
// handlers copied at the start of a run, the hook time ranges, the reusable
// hook and preview buffers, the preview window and the video statistics file.
// Lives on the run thread only.
#pragma once

#include "FFmpegPrivate.h"

#include "FFUtils.h"
#include "FFmpegConverter.h"
#include "Previewer.h"

#include <climits>
#include <memory>
#include <vector>

struct TVideoRunState {
    TEngineBeforeHookEvent beforeHook;
    TEngineCustomHookEvent customHook;
    TEnginePreviewBitmapEvent previewBitmap;
    std::vector<THookRange> ranges; // sorted by start
    size_t rangeIndex = 0;
    bool hooksOn = true; // cleared for good by a stop, an error or the last range
    int displayFlags = 0;
    int64_t decodedFrames = 0;
    TFramePtr hookBuf;
    TBitmapState hookBitmap;
    TSwsPtr fromRGB;
    TBitmapState previewState;
    int64_t lastPreview = INT64_MIN;
    std::unique_ptr<TCustomPreviewer> previewer;
    TFilePtr vstats;
};
