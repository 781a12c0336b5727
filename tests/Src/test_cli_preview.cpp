// "tonvale-cli convert --preview" through the real program: the preview module
// is loaded only for it, the conversion runs with the window under the
// offscreen platform, and without any display the program says so.
#include "MediaTestUtil.h"
#include "VideoTestUtil.h"

#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

struct TResult {
    int code = -1;
    QString err;
};

TResult RunCli(const QStringList& args, const QProcessEnvironment& env) {
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(TONVALE_CLI_PATH), args);
    TResult r;
    if (!process.waitForFinished(60000))
        return r;
    r.code = process.exitCode();
    r.err = QString::fromLocal8Bit(process.readAllStandardError());
    return r;
}

TEST(CliPreviewTest, PreviewRunsWithADisplayAndIsRefusedWithout) {
    testutil::LoadMediaLibraries();
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    videotest::TWriteSpec spec;
    spec.format = "nut";
    spec.encoder = "ffv1";
    spec.pts = videotest::Frames(5);
    const QString input = dir.filePath("in.nut");
    ASSERT_TRUE(videotest::WriteVideo(input, spec, [](AVFrame* f, int) {
        videotest::FillYuv(f, 0, 0, f->width, f->height, {81, 90, 240});
    }));

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    const QString output = dir.filePath("out.mkv");
    const TResult shown = RunCli({QStringLiteral("convert"), QStringLiteral("--preview"),
                                  QStringLiteral("--quiet"), QStringLiteral("-i"), input,
                                  QStringLiteral("-vcodec"), QStringLiteral("ffv1"), output},
                                 env);
    EXPECT_EQ(shown.code, 0) << shown.err.toStdString();
    EXPECT_EQ(videotest::DecodeVideo(output).pictures.size(), 5u);

    for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
        env.remove(QString::fromLatin1(name));
    const TResult refused =
        RunCli({QStringLiteral("convert"), QStringLiteral("--preview"), QStringLiteral("-i"), input,
                QStringLiteral("-vcodec"), QStringLiteral("ffv1"), dir.filePath("none.mkv")},
               env);
    EXPECT_EQ(refused.code, 1);
    EXPECT_TRUE(refused.err.contains(QStringLiteral("--preview needs a display")))
        << refused.err.toStdString();
    EXPECT_FALSE(QFile::exists(dir.filePath("none.mkv")));
}

} // namespace
