// TBitmap: a picture in memory for the frame hooks and the preview window,
// without a GUI library. Pixels are 32-bit words 0xAARRGGBB (in memory B, G, R,
// A on this machine), rows bytesPerLine() bytes apart; Format_RGB32 keeps the
// alpha byte at 0xFF. The method names and format numbers are those of the
// toolkit's image class, so the window side wraps the same memory as a QImage
// of the same format without converting it.
//
// Copies share their pixels until one of them is written to (bits, scanLine,
// setPixel, fill), so a bitmap is cheap to hand to another thread.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

class TBitmap {
public:
    enum Format { Format_Invalid = 0, Format_RGB32 = 4, Format_ARGB32 = 5 };

    TBitmap() = default;
    // Cleared to 0 (transparent black; opaque black for Format_RGB32).
    // A size below 1 gives a null bitmap.
    TBitmap(int width, int height, Format format = Format_RGB32);

    bool isNull() const { return !pixels_; }
    int width() const { return width_; }
    int height() const { return height_; }
    Format format() const { return format_; }
    int bytesPerLine() const { return width_ * 4; }

    uint8_t* bits();
    const uint8_t* bits() const { return constBits(); }
    const uint8_t* constBits() const;
    uint8_t* scanLine(int y);
    const uint8_t* scanLine(int y) const;

    // 0xAARRGGBB; 0 outside the bitmap.
    uint32_t pixel(int x, int y) const;
    // Ignored outside the bitmap.
    void setPixel(int x, int y, uint32_t argb);
    void fill(uint32_t argb);

private:
    uint32_t Stored(uint32_t argb) const {
        return format_ == Format_RGB32 ? argb | 0xFF000000u : argb;
    }
    void Detach();

    int width_ = 0;
    int height_ = 0;
    Format format_ = Format_Invalid;
    std::shared_ptr<std::vector<uint32_t>> pixels_;
};
