#include "Bitmap.h"

#include <algorithm>

TBitmap::TBitmap(int width, int height, Format format) {
    if (width < 1 || height < 1 || format == Format_Invalid)
        return;
    width_ = width;
    height_ = height;
    format_ = format;
    pixels_ = std::make_shared<std::vector<uint32_t>>(
        static_cast<size_t>(width) * static_cast<size_t>(height), Stored(0));
}

void TBitmap::Detach() {
    if (pixels_ && pixels_.use_count() > 1)
        pixels_ = std::make_shared<std::vector<uint32_t>>(*pixels_);
}

uint8_t* TBitmap::bits() {
    Detach();
    return pixels_ ? reinterpret_cast<uint8_t*>(pixels_->data()) : nullptr;
}

const uint8_t* TBitmap::constBits() const {
    return pixels_ ? reinterpret_cast<const uint8_t*>(pixels_->data()) : nullptr;
}

uint8_t* TBitmap::scanLine(int y) {
    if (y < 0 || y >= height_)
        return nullptr;
    return bits() + static_cast<ptrdiff_t>(y) * bytesPerLine();
}

const uint8_t* TBitmap::scanLine(int y) const {
    if (y < 0 || y >= height_)
        return nullptr;
    return constBits() + static_cast<ptrdiff_t>(y) * bytesPerLine();
}

uint32_t TBitmap::pixel(int x, int y) const {
    if (x < 0 || y < 0 || x >= width_ || y >= height_)
        return 0;
    return (
        *pixels_)[static_cast<size_t>(y) * static_cast<size_t>(width_) + static_cast<size_t>(x)];
}

void TBitmap::setPixel(int x, int y, uint32_t argb) {
    if (x < 0 || y < 0 || x >= width_ || y >= height_)
        return;
    Detach();
    (*pixels_)[static_cast<size_t>(y) * static_cast<size_t>(width_) + static_cast<size_t>(x)] =
        Stored(argb);
}

void TBitmap::fill(uint32_t argb) {
    if (!pixels_)
        return;
    Detach();
    std::fill(pixels_->begin(), pixels_->end(), Stored(argb));
}
