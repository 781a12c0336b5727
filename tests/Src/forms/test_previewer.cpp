// The preview window under the offscreen platform: frames handed over from a
// conversion thread are painted on the main thread in a tool window of the
// picture's size that stays on top; closing it makes ShowFrame return false
// for good; an engine run with the preview flag shows its pictures through the
// registered window.
#include "MediaTestUtil.h"
#include "VideoTestUtil.h"
#include "test_ffmpeg_decode.h"

#include "FFmpegConverter.h"
#include "Previewer.h"

#include <QApplication>
#include <QColor>
#include <QMouseEvent>
#include <QSize>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

namespace {

TBitmap Picture(int width, int height) {
    TBitmap image(width, height, TBitmap::Format_RGB32);
    image.fill(0xFFC81E1Eu); // red 200, green 30, blue 30
    return image;
}

TEST(PreviewerTest, ShowsFramesFromAWorkerUntilClosed) {
    TPreviewer previewer;
    std::atomic<int> step{0};
    std::atomic<bool> first{false}, afterClose{true};
    std::thread worker([&] {
        first = previewer.ShowFrame(Picture(64, 48), 1, 1500000);
        step = 1;
        while (step.load() != 2)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        afterClose = previewer.ShowFrame(Picture(64, 48), 2, 1600000);
        step = 3;
    });
    ASSERT_TRUE(testutil::WaitFor([&] { return step.load() == 1; }));
    EXPECT_TRUE(first.load());
    QWidget* window = previewer.Window();
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->size(), QSize(64, 48)) << "client size = picture size";
    EXPECT_TRUE(window->windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_EQ(window->windowFlags() & Qt::Tool, Qt::Tool);
    EXPECT_EQ(window->windowTitle(), QStringLiteral("00:00:01.500"));
    EXPECT_EQ(window->grab().toImage().pixelColor(10, 10), QColor(200, 30, 30));

    // A press inside moves the window instead of reaching it as a click.
    const QPoint before = window->pos();
    QTest::mousePress(window, Qt::LeftButton, {}, QPoint(10, 10));
    QTest::mouseMove(window, QPoint(30, 25));
    QTest::mouseRelease(window, Qt::LeftButton, {}, QPoint(30, 25));
    EXPECT_NE(window->pos(), before);

    window->close();
    EXPECT_TRUE(previewer.Closed());
    step = 2;
    ASSERT_TRUE(testutil::WaitFor([&] { return step.load() == 3; }));
    worker.join();
    EXPECT_FALSE(afterClose.load());
    EXPECT_EQ(previewer.Window(), nullptr) << "not reopened";
}

// A window stand-in that remembers what it was shown (from the run's thread).
struct TSpy : TCustomPreviewer {
    bool ShowFrame(const TBitmap& bitmap, int, int64_t) override {
        std::lock_guard lock(Lock);
        Size = QSize(bitmap.width(), bitmap.height());
        Colour = QColor::fromRgba(bitmap.pixel(5, 5));
        ++Count;
        return true;
    }
    static inline std::mutex Lock;
    static inline QSize Size;    // guarded by Lock
    static inline QColor Colour; // guarded by Lock
    static inline int Count = 0; // guarded by Lock
};

TEST(PreviewerTest, EngineRunShowsItsPicturesInTheRegisteredWindow) {
    testutil::LoadMediaLibraries();
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    videotest::TWriteSpec spec;
    spec.format = "nut";
    spec.encoder = "ffv1";
    spec.pts = videotest::Frames(5);
    ASSERT_TRUE(videotest::WriteVideo(dir.filePath("in.nut"), spec, [](AVFrame* f, int) {
        videotest::FillYuv(f, 0, 0, f->width, f->height, {81, 90, 240});
    }));
    SetPreviewerFactory(
        []() -> std::unique_ptr<TCustomPreviewer> { return std::make_unique<TSpy>(); });
    TFFmpeg task;
    task.SetDisplayFlag(DisplayFlagPreview, true);
    task.ResetEngine();
    ASSERT_TRUE(task.OpenInput(dir.filePath("in.nut")));
    task.SetOption("vcodec", "ffv1");
    ASSERT_EQ(task.AddOutput(dir.filePath("out.mkv"), false), 1);
    TConvertThread* thread = task.StartConvert(true);
    ASSERT_NE(thread, nullptr);
    thread->Resume();
    ASSERT_TRUE(testutil::WaitFor([&] { return task.Terminated(); }));
    RegisterPreviewer();
    EXPECT_FALSE(task.ErrorOccurred()) << task.ErrorMessage();
    std::lock_guard lock(TSpy::Lock);
    EXPECT_GE(TSpy::Count, 1) << "at most one picture per 100 ms";
    EXPECT_EQ(TSpy::Size, QSize(64, 48));
    EXPECT_GT(TSpy::Colour.red(), 200) << "the picture as RGB";
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    RegisterPreviewer();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
