// Engine utilities: open-error texts, type names, time stamps, bitmaps.
#include "FFUtils.h"
#include "FFmpegStubs.h"
#include "MediaTestUtil.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace {

TEST(OpenErrorText, TemplatesByCode) {
    const struct {
        int code;
        const char* text;
    } cases[] = {
        {-2, "a.wav: no such file or directory"},
        {AVERROR(ENOENT), "a.wav: no such file or directory"},
        {-1, "a.wav: Error while opening file"},
        {-22, "a.wav: Error while parsing header"},
        {AVERROR_INVALIDDATA, "a.wav: Error while parsing header"},
        {-12, "a.wav: memory allocation error occurred"},
        {-5, "a.wav: I/O error occurred\r\nUsually that means that input file is truncated "
             "and/or corrupted."},
        {-42, "a.wav: Unknown format"},
        {AVERROR_DEMUXER_NOT_FOUND, "a.wav: Unknown format"},
        // What a file system says, in its own words.
        {AVERROR(ENOSPC), "a.wav: No space left on device"},
        {AVERROR(EDQUOT), "a.wav: Disk quota exceeded"},
        {AVERROR(EFBIG), "a.wav: File too large"},
        {AVERROR(EACCES), "a.wav: Permission denied"},
        {AVERROR(EROFS), "a.wav: Read-only file system"},
        {AVERROR(EPIPE), "a.wav: Broken pipe"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(OpenErrorText("a.wav", c.code), c.text) << c.code;
    const std::string image = OpenErrorText("img.jpg", -33);
    EXPECT_NE(image.find("use 'img%d.jpg';"), std::string::npos) << image;
    EXPECT_NE(image.find("use 'img%03d.jpg'."), std::string::npos);
    EXPECT_EQ(image.rfind("img.jpg: Incorrect image filename syntax.\r\nUse '%d'", 0), 0u);
    // A name holding "%" is never read as a format.
    EXPECT_EQ(OpenErrorText("100%s.wav", -2), "100%s.wav: no such file or directory");
}

TEST(EngineUtils, MediaTypeNamesAndTimestamps) {
    EXPECT_STREQ(MediaTypeName(0), "Video");
    EXPECT_STREQ(MediaTypeName(1), "Audio");
    EXPECT_STREQ(MediaTypeName(4), "Attachment");
    EXPECT_STREQ(MediaTypeName(5), "Unknown");
    const struct {
        int64_t t;
        const char* text;
    } cases[] = {{0, "00:00:00.000"},
                 {((1 * 60 + 2) * 60 + 3) * 1000000LL + 4000, "01:02:03.004"},
                 {100LL * 3600 * 1000000, "100:00:00.000"},
                 {999, "00:00:00.000"},
                 {AV_NOPTS_VALUE, "N/A"}};
    for (const auto& c : cases)
        EXPECT_EQ(FormatTimestamp(c.t), c.text) << c.t;
}

TEST(PictureToBitmap, ConvertsYuvAndCopiesMatchingFormat) {
    testutil::LoadMediaLibraries();
    constexpr int w = 34, h = 18;
    // A pure red picture in YUV 4:2:0 (BT.601 limited range).
    std::vector<uint8_t> y(w * h, 81), u((w / 2) * (h / 2), 90), v((w / 2) * (h / 2), 240);
    const uint8_t* planes[4] = {y.data(), u.data(), v.data(), nullptr};
    const int lines[4] = {w, w / 2, w / 2, 0};
    TBitmapState state;
    ASSERT_TRUE(PictureToBitmap(state, planes, lines, AV_PIX_FMT_YUV420P, h, w));
    ASSERT_EQ(state.Bitmap.width(), w);
    ASSERT_EQ(state.Bitmap.height(), h);
    const uint32_t c = state.Bitmap.pixel(w / 2, h / 2);
    EXPECT_GT((c >> 16) & 0xFF, 230u); // red
    EXPECT_LT((c >> 8) & 0xFF, 25u);   // green
    EXPECT_LT(c & 0xFF, 25u);          // blue

    // A picture already in the bitmap's format is copied row by row.
    std::vector<uint8_t> bgra(static_cast<size_t>(w * h * 4));
    for (size_t i = 0; i < bgra.size(); i += 4) {
        bgra[i] = 200; // blue
        bgra[i + 1] = 10;
        bgra[i + 2] = 20;
        bgra[i + 3] = 255;
    }
    const uint8_t* packed[4] = {bgra.data(), nullptr, nullptr, nullptr};
    const int packedLines[4] = {w * 4, 0, 0, 0};
    ASSERT_TRUE(PictureToBitmap(state, packed, packedLines, AV_PIX_FMT_BGRA, h, w));
    EXPECT_EQ(state.Bitmap.pixel(3, 3), 0xFF140AC8u); // red 20, green 10, blue 200
    state.Release();
    EXPECT_TRUE(state.Bitmap.isNull());
}

} // namespace
