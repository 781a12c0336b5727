// The media probe: counts and indexes of real files, the failure texts, and
// that no failure leaves a file open.
#include "AVProbe.h"
#include "FFmpegException.h"
#include "FFmpegLoader.h"
#include "FFmpegStubs.h"
#include "MediaTestUtil.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

class ProbeTest : public ::testing::Test {
protected:
    void SetUp() override {
        testutil::LoadMediaLibraries();
        ASSERT_TRUE(dir.isValid());
        wav = dir.filePath(QStringLiteral("tone.wav"));
        ASSERT_TRUE(testutil::WriteWav(wav, testutil::SineTone(440, 44100, 2, 0.5), 44100, 2));
    }
    static void ExpectClosed(const TCustomAVProbe& probe) {
        EXPECT_EQ(probe.FormatContext(), nullptr);
        for (int value :
             {probe.StreamCount(), probe.ProgramCount(), probe.AudioStreamCount(),
              probe.VideoStreamCount(), probe.SubtitleStreamCount(), probe.FirstAudioStreamIndex(),
              probe.FirstVideoStreamIndex(), probe.FirstSubtitleStreamIndex()})
            EXPECT_EQ(value, -1);
    }
    QTemporaryDir dir;
    QString wav;
};

TEST_F(ProbeTest, WavFileHasOneAudioStream) {
    TAVProbe probe;
    ExpectClosed(probe);
    ASSERT_TRUE(probe.LoadFile(wav)) << probe.LastErrMsg();
    EXPECT_EQ(probe.StreamCount(), 1);
    EXPECT_EQ(probe.ProgramCount(), 0);
    EXPECT_EQ(probe.AudioStreamCount(), 1);
    EXPECT_EQ(probe.FirstAudioStreamIndex(), 0);
    EXPECT_EQ(probe.VideoStreamCount(), 0);
    EXPECT_EQ(probe.FirstVideoStreamIndex(), -1);
    EXPECT_EQ(probe.SubtitleStreamCount(), 0);
    EXPECT_EQ(probe.FirstSubtitleStreamIndex(), -1);
    EXPECT_TRUE(probe.Owned());
    EXPECT_EQ(probe.FormatName(), "");

    ASSERT_TRUE(probe.LoadFile(wav, "wav")) << probe.LastErrMsg();
    EXPECT_EQ(probe.FormatName(), "wav");
    probe.Close();
    ExpectClosed(probe);
    EXPECT_EQ(probe.FormatName(), "");
}

TEST_F(ProbeTest, FailuresExplainAndLeaveNothingOpen) {
    const QString missing = dir.filePath(QStringLiteral("missing.wav"));
    const QString text = dir.filePath(QStringLiteral("notes.wav"));
    {
        QFile file(text);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("these are not samples\n");
    }
    const struct {
        QString file;
        std::string format;
        std::string message;
    } cases[] = {
        {missing, "", missing.toStdString() + ": no such file or directory"},
        {wav, "nosuchformat", "Unknown input format: nosuchformat"},
        {text, "", text.toStdString() + ": Unknown format"},
    };
    for (const auto& c : cases) {
        TAVProbe probe;
        // A file open before is closed first, whatever the outcome.
        ASSERT_TRUE(probe.LoadFile(wav));
        EXPECT_FALSE(probe.LoadFile(c.file, c.format)) << c.message;
        EXPECT_EQ(probe.LastErrMsg(), c.message);
        ExpectClosed(probe);
        EXPECT_EQ(probe.FormatName(), "");
    }
}

TEST_F(ProbeTest, AttachedContextStaysOpenAfterClose) {
    AVFormatContext* context = nullptr;
    ASSERT_EQ(
        AVFormatStubs.avformat_open_input(&context, wav.toUtf8().constData(), nullptr, nullptr), 0);
    ASSERT_GE(AVFormatStubs.avformat_find_stream_info(context, nullptr), 0);
    {
        TAVProbe probe;
        probe.Attach(context);
        EXPECT_FALSE(probe.Owned());
        EXPECT_EQ(probe.StreamCount(), 1);
        EXPECT_EQ(probe.FirstAudioStreamIndex(), 0);
        probe.Close();
        ExpectClosed(probe);
        probe.Attach(context); // freed with the probe: still not closed
    }
    // Still usable: the probe never closed what it did not open.
    EXPECT_EQ(context->nb_streams, 1u);
    AVPacket* packet = AVCodecStubs.av_packet_alloc();
    EXPECT_EQ(AVFormatStubs.av_read_frame(context, packet), 0);
    AVCodecStubs.av_packet_free(&packet);
    AVFormatStubs.avformat_close_input(&context);
}

TEST_F(ProbeTest, MissingLibraryIsRaisedByName) {
    TFFmpegLoader& loader = FFmpegLoader();
    loader.UnloadLib(LibSwScale);
    TAVProbe probe;
    try {
        probe.LoadFile(wav);
        ADD_FAILURE() << "no exception";
    } catch (const FFmpegException& e) {
        EXPECT_STREQ(e.what(), "LibSwScale not loaded.");
    }
    EXPECT_THROW(probe.Attach(nullptr), FFmpegException);
    ExpectClosed(probe);
    ASSERT_TRUE(loader.LoadLib(LibSwScale));
}

} // namespace
