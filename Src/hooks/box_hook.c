/* tonvale_boxhook: a frame-hook library ("vhook") that draws a filled box or
 * inverts a region of every picture it is given.
 *
 *   vhook "libtonvale_boxhook.so X Y W H [Y U V]"     a box of that colour
 *                                                       (default white)
 *   vhook "libtonvale_boxhook.so invert X Y W H"       inverted luma
 *
 * Coordinates are in luma pixels and clipped to the picture. 8-bit planar
 * YUV and gray pictures are drawn; other formats pass unchanged. */
#include "FrameHookApi.h"

#include <libavutil/pixfmt.h>

#include <stddef.h>
#include <stdlib.h>
#include <string.h>

typedef struct TBoxHook {
    int invert;
    int x, y, w, h;
    int colour[3];
} TBoxHook;

static int ReadInt(const char* text, int* value) {
    char* end = NULL;
    const long v = strtol(text, &end, 10);
    if (!text[0] || *end || v < -1000000 || v > 1000000)
        return 0;
    *value = (int)v;
    return 1;
}

int Configure(void** ctxp, int argc, char* argv[]) {
    TBoxHook* hook = (TBoxHook*)calloc(1, sizeof(TBoxHook));
    int first = 1;
    int i;
    if (!hook)
        return -1;
    hook->colour[0] = 235;
    hook->colour[1] = 128;
    hook->colour[2] = 128;
    if (argc > 1 && strcmp(argv[1], "invert") == 0) {
        hook->invert = 1;
        first = 2;
    }
    if (argc < first + 4 || !ReadInt(argv[first], &hook->x) ||
        !ReadInt(argv[first + 1], &hook->y) || !ReadInt(argv[first + 2], &hook->w) ||
        !ReadInt(argv[first + 3], &hook->h)) {
        free(hook);
        return -1;
    }
    for (i = 0; i < 3 && first + 4 + i < argc; ++i)
        if (!ReadInt(argv[first + 4 + i], &hook->colour[i]) || hook->colour[i] < 0 ||
            hook->colour[i] > 255) {
            free(hook);
            return -1;
        }
    *ctxp = hook;
    return 0;
}

static void Plane(const TBoxHook* hook, uint8_t* data, int linesize, int width, int height, int sx,
                  int sy, int value) {
    int x0 = hook->x >> sx, y0 = hook->y >> sy;
    int x1 = (hook->x + hook->w) >> sx, y1 = (hook->y + hook->h) >> sy;
    const int pw = (width + (1 << sx) - 1) >> sx, ph = (height + (1 << sy) - 1) >> sy;
    int row, col;
    if (x0 < 0)
        x0 = 0;
    if (y0 < 0)
        y0 = 0;
    if (x1 > pw)
        x1 = pw;
    if (y1 > ph)
        y1 = ph;
    for (row = y0; row < y1; ++row) {
        uint8_t* line = data + (ptrdiff_t)row * linesize;
        for (col = x0; col < x1; ++col)
            line[col] = (uint8_t)(value < 0 ? 255 - line[col] : value);
    }
}

void Process(void* ctx, TFrameHookPicture* picture, int pix_fmt, int width, int height,
             int64_t pts) {
    const TBoxHook* hook = (const TBoxHook*)ctx;
    int sx, sy, planes;
    (void)pts;
    switch (pix_fmt) {
    case AV_PIX_FMT_YUV420P:
    case AV_PIX_FMT_YUVJ420P:
        sx = 1, sy = 1, planes = 3;
        break;
    case AV_PIX_FMT_YUV422P:
    case AV_PIX_FMT_YUVJ422P:
        sx = 1, sy = 0, planes = 3;
        break;
    case AV_PIX_FMT_YUV444P:
    case AV_PIX_FMT_YUVJ444P:
        sx = 0, sy = 0, planes = 3;
        break;
    case AV_PIX_FMT_GRAY8:
        sx = 0, sy = 0, planes = 1;
        break;
    default:
        return;
    }
    Plane(hook, picture->data[0], picture->linesize[0], width, height, 0, 0,
          hook->invert ? -1 : hook->colour[0]);
    if (hook->invert || planes == 1)
        return;
    Plane(hook, picture->data[1], picture->linesize[1], width, height, sx, sy, hook->colour[1]);
    Plane(hook, picture->data[2], picture->linesize[2], width, height, sx, sy, hook->colour[2]);
}

void Release(void* ctx) {
    free(ctx);
}
