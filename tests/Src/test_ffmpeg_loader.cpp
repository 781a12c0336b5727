// The loader: binding failures leave nothing half bound, messages name what
// failed, and loading twice binds nothing twice.
#include "FFmpegLoader.h"
#include "FFmpegStubs.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

class LoaderTest : public ::testing::Test {
protected:
    void TearDown() override {
        TFFmpegLoader& loader = FFmpegLoader();
        loader.UnloadLibs(TMediaLibraries{LibAVCodec, LibAVDevice, LibAVFilter, LibAVFormat,
                                          LibAVUtil, LibSwScale, LibMyUtil, LibSwResample});
        for (int i = 0; i < LibraryCount; ++i)
            loader.SetFileNameOverride(static_cast<TLibraryId>(i), {});
        loader.SetLibraryPath({});
    }
    static void ExpectAllTablesNull() {
        EXPECT_EQ(AVUtilStubs.av_log, nullptr);
        EXPECT_EQ(AVUtilStubs.avutil_version, nullptr);
        EXPECT_EQ(SwResampleStubs.swr_alloc, nullptr);
        EXPECT_EQ(SwScaleStubs.swscale_version, nullptr);
        EXPECT_EQ(SwScaleStubs.sws_getContext, nullptr);
        EXPECT_EQ(AVCodecStubs.avcodec_open2, nullptr);
        EXPECT_EQ(AVFormatStubs.avformat_open_input, nullptr);
        EXPECT_EQ(MyUtilStubs.my_fopen, nullptr);
    }
};

TEST_F(LoaderTest, FileNamesComeFromTheHeadersMajorVersions) {
    TFFmpegLoader& loader = FFmpegLoader();
    EXPECT_EQ(loader.LibraryFileName(LibAVCodec), QStringLiteral("libavcodec.so.59"));
    EXPECT_EQ(loader.LibraryFileName(LibAVUtil), QStringLiteral("libavutil.so.57"));
    EXPECT_EQ(loader.LibraryFileName(LibSwResample), QStringLiteral("libswresample.so.4"));
    EXPECT_EQ(loader.LibraryFileName(LibMyUtil), QStringLiteral("libc.so.6"));
    EXPECT_EQ(loader.LibraryFileName(LibSDL), QStringLiteral("libSDL2-2.0.so.0"));
    loader.SetFileNameOverride(LibAVCodec, QStringLiteral("/opt/x/libother.so"));
    EXPECT_EQ(loader.LibraryFileName(LibAVCodec), QStringLiteral("/opt/x/libother.so"));
}

TEST_F(LoaderTest, SystemLibrariesLoadOnceAndBindOnce) {
    TFFmpegLoader& loader = FFmpegLoader();
    loader.SetLibraryPath(QStringLiteral("/nonexistent/Dll"));
    ASSERT_TRUE(loader.LoadLibs(DefaultLibraries)) << loader.LastError();
    EXPECT_TRUE(loader.Loaded(DefaultLibraries));
    EXPECT_FALSE(loader.LibLoaded(LibAVDevice));
    EXPECT_FALSE(loader.LibLoaded(LibSDL));
    const auto openBefore = AVCodecStubs.avcodec_open2;
    ASSERT_NE(openBefore, nullptr);
    ASSERT_TRUE(loader.LoadLibs(DefaultLibraries));
    EXPECT_EQ(AVCodecStubs.avcodec_open2, openBefore);
    EXPECT_EQ(loader.LibraryVersion(LibAVCodec).substr(0, 3), "59.");
    loader.UnloadLibs(DefaultLibraries);
    EXPECT_FALSE(loader.Loaded(DefaultLibraries));
    ExpectAllTablesNull();
}

TEST_F(LoaderTest, LibraryInFolderIsLoadedByPathAndFolderJoinsSearchPathOnce) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    // The folder holds a copy of the system's libavutil; everything else comes
    // from the system's search.
    ASSERT_TRUE(QFile::link(QStringLiteral("/lib/x86_64-linux-gnu/libavutil.so.57"),
                            dir.filePath(QStringLiteral("libavutil.so.57"))));
    TFFmpegLoader& loader = FFmpegLoader();
    loader.SetLibraryPath(dir.path()); // no trailing "/": one is added
    EXPECT_EQ(loader.LibraryPath(), dir.path() + QLatin1Char('/'));
    ASSERT_TRUE(loader.LoadLibs(DefaultLibraries)) << loader.LastError();
    EXPECT_EQ(loader.LoadedPath(LibAVUtil), dir.filePath(QStringLiteral("libavutil.so.57")));
    ASSERT_TRUE(loader.LoadLibs(DefaultLibraries));
    const QStringList entries =
        QString::fromLocal8Bit(qgetenv("LD_LIBRARY_PATH")).split(QLatin1Char(':'));
    EXPECT_EQ(entries.count(dir.path() + QLatin1Char('/')), 1)
        << entries.join(QLatin1Char(':')).toStdString();
}

TEST_F(LoaderTest, MissingExportFailsWithLoadFunctionTextAndLeavesEveryTableNull) {
    TFFmpegLoader& loader = FFmpegLoader();
    loader.SetLibraryPath(QStringLiteral(TONVALE_FAKE_DLL_DIR));
    EXPECT_FALSE(loader.LoadLibs(DefaultLibraries));
    const std::string error = loader.LastError();
    EXPECT_EQ(error.rfind("Load function sws_scale@libswscale.so.6 error: ", 0), 0u) << error;
    EXPECT_NE(error.find("sws_scale"), std::string::npos);
    EXPECT_FALSE(loader.Loaded(DefaultLibraries));
    EXPECT_FALSE(loader.LibLoaded(LibAVUtil));
    ExpectAllTablesNull();
}

TEST_F(LoaderTest, MissingLibraryNamesFolderAndFile) {
    TFFmpegLoader& loader = FFmpegLoader();
    loader.SetLibraryPath(QStringLiteral("/nonexistent/Dll/"));
    loader.SetFileNameOverride(LibAVFilter, QStringLiteral("libtonvale-missing.so.1"));
    EXPECT_FALSE(loader.LoadLibs(DefaultLibraries));
    const std::string error = loader.LastError();
    EXPECT_EQ(error.rfind("Load library /nonexistent/Dll/libtonvale-missing.so.1 error: ", 0), 0u)
        << error;
    EXPECT_FALSE(loader.Loaded(DefaultLibraries));
    ExpectAllTablesNull();
    // The text of a failure stays until the next failure.
    loader.SetFileNameOverride(LibAVFilter, {});
    ASSERT_TRUE(loader.LoadLibs(DefaultLibraries));
    EXPECT_EQ(loader.LastError(), error);
}

} // namespace
