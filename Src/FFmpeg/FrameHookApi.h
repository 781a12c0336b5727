/* The interface between the engine and a frame-hook library ("vhook").
 *
 * A hook library is a shared object that exports, with C linkage:
 *   int  Configure(void** ctxp, int argc, char* argv[]);   optional
 *   void Process(void* ctx, TFrameHookPicture* picture, int pix_fmt,
 *                int width, int height, int64_t pts);        required
 *   void Release(void* ctx);                                 optional
 * argv[0] is the library's file name, the rest are the words of the "vhook"
 * option. Configure stores its context in *ctxp and returns 0 on success.
 * Process may change the picture in place; pix_fmt is FFmpeg's AVPixelFormat
 * value, pts the picture's time stamp in microseconds. Process and Release run
 * on the conversion thread; each entry of the option has its own context. */
#ifndef TONVALE_FRAME_HOOK_API_H
#define TONVALE_FRAME_HOOK_API_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Plane pointers and line sizes of one picture (at most four planes). */
typedef struct TFrameHookPicture {
    uint8_t* data[4];
    int linesize[4];
} TFrameHookPicture;

typedef int (*TFrameHookConfigure)(void** ctxp, int argc, char* argv[]);
typedef void (*TFrameHookProcess)(void* ctx, TFrameHookPicture* picture, int pix_fmt, int width,
                                  int height, int64_t pts);
typedef void (*TFrameHookRelease)(void* ctx);

#ifdef __cplusplus
}
#endif

#endif
