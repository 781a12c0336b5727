// tonvale-cli convert and probe run as the user runs them, in a child process,
// on WAV files made here: whatever fails, is refused, runs out of disc space or
// is stopped by a signal, every old output is left as it was and no partial or
// hidden temporary file remains; names that are links, FIFOs, not UTF-8 or hold
// ":" work; a failure is printed once; options that the conversion's settings
// always apply hold wherever they are given, checked on the decoded output.
#include "MediaTestUtil.h"
#include "VideoTestUtil.h"
#include "test_ffmpeg_decode.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

struct TResult {
    int exitCode = -1; // 128 + n when the child died of signal n
    std::string err;   // its stderr
};

struct TRunOptions {
    rlim_t fileSizeLimit = RLIM_INFINITY;
    int signalOnProgress = 0;     // sent once the first progress line appeared
    uid_t user = 0;               // run as this user (0: as the test; needs root otherwise)
    bool closeOnProgress = false; // stderr closed once the first progress line appeared
};

// Runs tonvale-cli with `args` in `folder`.
TResult RunCli(const QByteArray& folder, const std::vector<QByteArray>& args,
               TRunOptions options = {}) {
    std::vector<QByteArray> all{QByteArray(TONVALE_CLI_PATH)};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (QByteArray& a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        return {};
    const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(pipeFds[1], 2);
        ::dup2(devNull, 1);
        if (options.fileSizeLimit != RLIM_INFINITY) {
            ::signal(SIGXFSZ, SIG_IGN); // writes then fail with EFBIG, as on a full disc
            const rlimit limit{options.fileSizeLimit, options.fileSizeLimit};
            ::setrlimit(RLIMIT_FSIZE, &limit);
        }
        if (options.user != 0 && (::setgid(options.user) != 0 || ::setuid(options.user) != 0))
            ::_exit(126);
        if (::chdir(folder.constData()) == 0)
            ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    ::close(devNull);
    TResult result;
    bool signalled = false;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        result.err.append(buffer, static_cast<size_t>(n));
        if (result.err.find("convert ") == std::string::npos)
            continue;
        if (options.closeOnProgress)
            break; // as "| head -1" does
        if (options.signalOnProgress && !signalled) {
            ::kill(pid, options.signalOnProgress);
            signalled = true;
        }
    }
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

int Count(const std::string& text, const std::string& part) {
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

// Writes a Matroska file that starts at 2 s: a 64x48 ffv1 video at 10 frames
// per second with a gap (2.0-2.4 s, then 3.0-3.4 s), 8 kHz mono PCM audio with
// the same gap (2.0-2.5 s, 3.0-3.5 s) and one SubRip cue at 2.2 s.
bool WriteGappedAVS(const QString& path) {
    using videotest::TYuv;
    const std::string name = path.toStdString();
    AVFormatContext* oc = nullptr;
    if (AVFormatStubs.avformat_alloc_output_context2(&oc, nullptr, "matroska", name.c_str()) < 0)
        return false;
    const AVCodec* codec = AVCodecStubs.avcodec_find_encoder_by_name("ffv1");
    AVCodecContext* enc = AVCodecStubs.avcodec_alloc_context3(codec);
    AVStream* video = AVFormatStubs.avformat_new_stream(oc, nullptr);
    AVStream* audio = AVFormatStubs.avformat_new_stream(oc, nullptr);
    AVStream* text = AVFormatStubs.avformat_new_stream(oc, nullptr);
    AVFrame* frame = AVUtilStubs.av_frame_alloc();
    AVPacket* pkt = AVCodecStubs.av_packet_alloc();
    bool ok = codec && enc && video && audio && text && frame && pkt;
    if (ok) {
        enc->width = 64;
        enc->height = 48;
        enc->pix_fmt = AV_PIX_FMT_YUV420P;
        enc->time_base = AVRational{1, 10};
        enc->framerate = AVRational{10, 1};
        enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        ok = AVCodecStubs.avcodec_open2(enc, codec, nullptr) >= 0 &&
             AVCodecStubs.avcodec_parameters_from_context(video->codecpar, enc) >= 0;
        video->time_base = enc->time_base;
        video->avg_frame_rate = enc->framerate;
        AVCodecParameters* a = audio->codecpar;
        a->codec_type = AVMEDIA_TYPE_AUDIO;
        a->codec_id = AV_CODEC_ID_PCM_S16LE;
        a->sample_rate = 8000;
        a->format = AV_SAMPLE_FMT_S16;
        a->bits_per_coded_sample = 16;
        a->block_align = 2;
        AVUtilStubs.av_channel_layout_default(&a->ch_layout, 1);
        audio->time_base = AVRational{1, 8000};
        text->codecpar->codec_type = AVMEDIA_TYPE_SUBTITLE;
        text->codecpar->codec_id = AV_CODEC_ID_SUBRIP;
        text->time_base = AVRational{1, 1000};
    }
    ok = ok && AVFormatStubs.avio_open(&oc->pb, name.c_str(), AVIO_FLAG_WRITE) >= 0 &&
         AVFormatStubs.avformat_write_header(oc, nullptr) >= 0;
    // A packet of `data` for stream `st`, time stamps in units of `from`.
    auto write = [&](AVStream* st, const void* data, int size, int64_t pts, int64_t duration,
                     AVRational from) {
        if (!ok || AVCodecStubs.av_new_packet(pkt, size) < 0)
            return ok = false;
        std::memcpy(pkt->data, data, static_cast<size_t>(size));
        pkt->pts = pkt->dts = pts;
        pkt->duration = duration;
        pkt->flags |= AV_PKT_FLAG_KEY;
        pkt->stream_index = st->index;
        AVCodecStubs.av_packet_rescale_ts(pkt, from, st->time_base);
        return ok = AVFormatStubs.av_interleaved_write_frame(oc, pkt) >= 0;
    };
    if (ok) {
        frame->width = 64;
        frame->height = 48;
        frame->format = AV_PIX_FMT_YUV420P;
        ok = AVUtilStubs.av_frame_get_buffer(frame, 0) >= 0;
    }
    AVPacket* coded = AVCodecStubs.av_packet_alloc();
    ok = ok && coded;
    std::vector<int16_t> tone(800); // 0.1 s
    for (size_t i = 0; i < tone.size(); ++i)
        tone[i] = static_cast<int16_t>(8000 * std::sin(2 * 3.14159265358979 * 440 * i / 8000.0));
    for (const int64_t start : {20, 30}) { // in tenths of a second
        for (int64_t n = start; ok && n < start + 5; ++n) {
            ok = AVUtilStubs.av_frame_make_writable(frame) >= 0;
            videotest::FillYuv(frame, 0, 0, 64, 48, TYuv{16, 128, 128});
            videotest::FillYuv(frame, 0, 0, 16, 48, TYuv{235, 128, 128});
            frame->pts = n;
            ok = ok && AVCodecStubs.avcodec_send_frame(enc, frame) >= 0;
            while (ok && AVCodecStubs.avcodec_receive_packet(enc, coded) >= 0) {
                write(video, coded->data, coded->size, coded->pts, 1, enc->time_base);
                AVCodecStubs.av_packet_unref(coded);
            }
            write(audio, tone.data(), static_cast<int>(tone.size() * 2), n * 800, 800,
                  AVRational{1, 8000});
        }
    }
    const char cue[] = "Hello";
    write(text, cue, 5, 2200, 1000, AVRational{1, 1000});
    ok = ok && AVFormatStubs.av_write_trailer(oc) >= 0;
    if (oc && oc->pb)
        AVFormatStubs.avio_closep(&oc->pb);
    AVCodecStubs.av_packet_free(&coded);
    AVCodecStubs.av_packet_free(&pkt);
    AVUtilStubs.av_frame_free(&frame);
    AVCodecStubs.avcodec_free_context(&enc);
    AVFormatStubs.avformat_free_context(oc);
    return ok;
}

// The media types of a file's streams in order ("v", "a", "s"); "?" when it
// cannot be read.
std::string StreamKinds(const QString& path) {
    AVFormatContext* ic = nullptr;
    if (AVFormatStubs.avformat_open_input(&ic, path.toStdString().c_str(), nullptr, nullptr) < 0)
        return "?";
    std::string kinds;
    for (unsigned i = 0; i < ic->nb_streams; ++i)
        switch (ic->streams[i]->codecpar->codec_type) {
        case AVMEDIA_TYPE_VIDEO:
            kinds += 'v';
            break;
        case AVMEDIA_TYPE_AUDIO:
            kinds += 'a';
            break;
        case AVMEDIA_TYPE_SUBTITLE:
            kinds += 's';
            break;
        default:
            kinds += '-';
        }
    AVFormatStubs.avformat_close_input(&ic);
    return kinds;
}

class CliConvertTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        folder = QFile::encodeName(dir.path());
        ASSERT_TRUE(testutil::WriteWav(dir.filePath(QStringLiteral("in.wav")),
                                       testutil::SineTone(440, 44100, 2, 2), 44100, 2));
    }
    QByteArray File(const QByteArray& name) const { return folder + "/" + name; }
    void Write(const QByteArray& name, const QByteArray& data) const {
        QFile file(QFile::decodeName(File(name)));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(data);
    }
    QByteArray Read(const QByteArray& name) const {
        const int fd = ::open(File(name).constData(), O_RDONLY | O_CLOEXEC);
        QByteArray data;
        if (fd < 0)
            return "<missing>";
        char buffer[65536];
        ssize_t n;
        while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
            data.append(buffer, static_cast<qsizetype>(n));
        ::close(fd);
        return data;
    }
    bool Exists(const QByteArray& name) const {
        struct stat st {};
        return ::lstat(File(name).constData(), &st) == 0;
    }
    // Names in the folder that begin with ".": left-over temporary files.
    std::vector<std::string> HiddenFiles() const {
        std::vector<std::string> names;
        if (DIR* d = ::opendir(folder.constData())) {
            while (const dirent* e = ::readdir(d))
                if (e->d_name[0] == '.' && std::strcmp(e->d_name, ".") != 0 &&
                    std::strcmp(e->d_name, "..") != 0)
                    names.emplace_back(e->d_name);
            ::closedir(d);
        }
        return names;
    }

    QTemporaryDir dir;
    QByteArray folder;
};

// Every failure before or during the run: the old outputs stay as they were.
TEST_F(CliConvertTest, FailuresAndRefusalsLeaveEveryOldOutputAsItWas) {
    const struct {
        const char* what;
        std::vector<QByteArray> args;
        int exitCode;
        const char* message; // printed exactly once
    } cases[] = {
        {"one input of several is missing",
         {"convert", "-i", "in.wav", "a.mp3", "-i", "missing.wav", "b.mp3", "-i", "in.wav",
          "c.mp3"},
         1,
         "missing.wav"},
        {"the encoder cannot open",
         {"convert", "-i", "in.wav", "-ar", "1000000000", "a.mp3"},
         1,
         "Error while opening encoder"},
        {"an output named twice",
         {"convert", "-i", "in.wav", "a.mp3", "-i", "in.wav", "b.mp3", "-i", "in.wav",
          "./sub/../a.mp3"},
         2,
         "named more than once"},
        {"an output named twice through a link",
         {"convert", "-i", "in.wav", "b.mp3", "-i", "in.wav", "link.mp3"},
         2,
         "named more than once"},
        {"an unknown option",
         {"convert", "-i", "in.wav", "a.mp3", "-i", "in.wav", "-nosuchoption", "1", "b.mp3"},
         2,
         "unknown option '-nosuchoption'"},
        {"a value the library refuses",
         {"convert", "-i", "in.wav", "a.mp3", "-i", "in.wav", "-ab", "abc", "b.mp3"},
         2,
         "Invalid value \"abc\" for option \"ab\""},
        {"a value the engine refuses for an option kept in a field",
         {"convert", "-i", "in.wav", "a.mp3", "-i", "in.wav", "-padcolor", "red", "b.mp3"},
         2,
         "'red' is not a valid integer value"},
        {"an option of the command given twice",
         {"convert", "--quiet", "-i", "in.wav", "a.mp3", "--quiet"},
         2,
         "option '--quiet' is given more than once"},
        {"a value the engine refuses",
         {"convert", "-i", "in.wav", "a.mp3", "-i", "in.wav", "-f", "nosuchformat", "b.mp3"},
         2,
         "Unknown input or output format: nosuchformat"},
        {"an audio filter that does not exist",
         {"convert", "-i", "in.wav", "a.mp3", "-i", "in.wav", "-af", "nosuch", "b.mp3"},
         2,
         "Unknown audio filter 'nosuch'"},
        {"audio filters that cannot take the input",
         {"convert", "-i", "in.wav", "-af", "channelmap=map=FC-FL", "a.mp3"},
         1,
         "Error opening audio filters: Invalid argument"},
    };
    ASSERT_TRUE(QDir(dir.path()).mkpath(QStringLiteral("sub")));
    ASSERT_EQ(::symlink("b.mp3", File("link.mp3").constData()), 0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        for (const char* name : {"a.mp3", "b.mp3", "c.mp3"})
            Write(name, QByteArray("old ") + name);
        const TResult r = RunCli(folder, c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
        EXPECT_EQ(Count(r.err, c.message), 1) << r.err;
        for (const char* name : {"a.mp3", "b.mp3", "c.mp3"})
            EXPECT_EQ(Read(name), QByteArray("old ") + name);
        EXPECT_TRUE(HiddenFiles().empty());
    }
}

// More pairs than threads: the longest input runs first, whatever the order given.
TEST_F(CliConvertTest, LongestInputsRunFirst) {
    const int seconds[] = {1, 4, 2};
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(testutil::WriteWav(dir.filePath(QStringLiteral("s%1.wav").arg(i)),
                                       testutil::SineTone(440, 44100, 2, seconds[i]), 44100, 2));
    const TResult r = RunCli(folder, {"convert", "--threads", "1", "-i", "s0.wav", "o0.mp3", "-i",
                                      "s1.wav", "o1.mp3", "-i", "s2.wav", "o2.mp3"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    auto finished = [&](const char* name) {
        struct stat st {};
        EXPECT_EQ(::stat(File(name).constData(), &st), 0) << name;
        return st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
    };
    EXPECT_LT(finished("o1.mp3"), finished("o2.mp3"));
    EXPECT_LT(finished("o2.mp3"), finished("o0.mp3"));
}

// A full disc, a file-size limit or a device that is always full: the failure names the
// output as the user gave it (not its hidden temporary file) with the system's reason,
// once; the old file stays and no partial one is left.
TEST_F(CliConvertTest, AFullDiscLeavesTheOldFileAndNoPartialOne) {
    ASSERT_TRUE(testutil::WriteWav(dir.filePath(QStringLiteral("long.wav")),
                                   testutil::SineTone(440, 44100, 2, 10), 44100, 2));
    // A small file system of its own where the test may mount one (as root).
    ASSERT_TRUE(QDir(dir.path()).mkpath(QStringLiteral("small")));
    const bool mounted = ::geteuid() == 0 &&
                         ::mount("tmpfs", File("small").constData(), "tmpfs", 0, "size=64k") == 0;
    struct TUnmount {
        bool mounted;
        QByteArray at;
        ~TUnmount() {
            if (mounted)
                ::umount(at.constData());
        }
    } unmount{mounted, File("small")};
    ASSERT_EQ(::symlink("/dev/full", File("full.mp3").constData()), 0);
    struct Case {
        const char* what;
        QByteArray output;
        rlim_t fileSizeLimit;
        const char* message; // printed once
    };
    std::vector<Case> cases = {
        {"a file-size limit", "out.wav", 256 * 1024, "tonvale-cli: out.wav: File too large"},
        {"a full device", "full.mp3", RLIM_INFINITY,
         "tonvale-cli: full.mp3: No space left on device"},
    };
    if (mounted)
        cases.push_back({"a full disc", "small/out.wav", RLIM_INFINITY,
                         "tonvale-cli: small/out.wav: No space left on device"});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const bool device = c.output == "full.mp3";
        if (!device)
            Write(c.output, "old content");
        TRunOptions options;
        options.fileSizeLimit = c.fileSizeLimit; // the 10 s input makes 1.7 MB
        const TResult r =
            RunCli(folder, {"convert", "--quiet", "-i", "long.wav", c.output}, options);
        EXPECT_EQ(r.exitCode, 1) << r.err;
        EXPECT_EQ(Count(r.err, c.message), 1) << r.err;
        EXPECT_EQ(Count(r.err, "tonvale-cli: "), 1) << r.err;
        if (!device) {
            EXPECT_EQ(Read(c.output), "old content");
        }
    }
    EXPECT_TRUE(HiddenFiles().empty());
    if (mounted) {
        EXPECT_EQ(QDir(QFile::decodeName(File("small")))
                      .entryList(QDir::Hidden | QDir::Files | QDir::NoDotAndDotDot),
                  QStringList{"out.wav"});
    }
}

// An existing output the user could not open for writing is refused before anything is
// converted, as cp refuses it: a read-only file, and (run as another user, where the test
// is root) someone else's file in a folder the user may write. A new name is written.
TEST_F(CliConvertTest, AFileTheUserMayNotWriteIsNotReplaced) {
    const bool root = ::geteuid() == 0;
    TRunOptions options;
    options.user = root ? 65534 : 0; // nobody
    ASSERT_EQ(::chmod(folder.constData(), 0777), 0);
    std::vector<std::pair<QByteArray, mode_t>> refused{{"ro.mp3", 0444}};
    if (root)
        refused.emplace_back("others.mp3", 0644); // stays root's
    for (const auto& [name, mode] : refused) {
        SCOPED_TRACE(name.toStdString());
        Write(name, "old");
        ASSERT_EQ(::chmod(File(name).constData(), mode), 0);
        if (root && name == "ro.mp3") {
            ASSERT_EQ(::chown(File(name).constData(), options.user, options.user), 0);
        }
        const TResult r =
            RunCli(folder, {"convert", "--quiet", "-i", "in.wav", "new.mp3", "-i", "in.wav", name},
                   options);
        EXPECT_EQ(r.exitCode, 1) << r.err;
        EXPECT_EQ(Count(r.err, "tonvale-cli: " + name.toStdString() + " is read-only"), 1) << r.err;
        EXPECT_EQ(Read(name), "old");
        EXPECT_FALSE(Exists("new.mp3")); // nothing ran
    }
    const TResult r = RunCli(folder, {"convert", "--quiet", "-i", "in.wav", "new.mp3"}, options);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(Exists("new.mp3"));
    EXPECT_TRUE(HiddenFiles().empty());
}

// Stopped during the first of three pairs (read at the input's own pace, so
// the run is surely still going): the first output keeps its old content, the
// third, which never started, is not created.
TEST_F(CliConvertTest, ASignalStopsTheRunAndLeavesEveryOutputAsItWas) {
    ASSERT_TRUE(testutil::WriteWav(dir.filePath(QStringLiteral("long.wav")),
                                   testutil::SineTone(440, 44100, 2, 20), 44100, 2));
    const struct {
        int signal;
        int exitCode;
    } cases[] = {{SIGINT, 130}, {SIGTERM, 143}, {SIGHUP, 129}};
    for (const auto& c : cases) {
        SCOPED_TRACE(strsignal(c.signal));
        Write("p1.mp3", "old 1");
        Write("p2.mp3", "old 2");
        QFile::remove(QFile::decodeName(File("p3.mp3")));
        TRunOptions options;
        options.signalOnProgress = c.signal;
        const TResult r = RunCli(folder,
                                 {"convert", "-re", "1", "-i", "long.wav", "p1.mp3", "-re", "1",
                                  "-i", "long.wav", "p2.mp3", "-i", "long.wav", "p3.mp3"},
                                 options);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
        EXPECT_EQ(Count(r.err, "stopped"), 1) << r.err;
        EXPECT_EQ(Read("p1.mp3"), "old 1");
        EXPECT_EQ(Read("p2.mp3"), "old 2");
        EXPECT_FALSE(Exists("p3.mp3"));
        EXPECT_TRUE(HiddenFiles().empty());
    }
}

// "convert ... 2>&1 | head -1": once the first progress line has been read the pipe is
// closed, and the next write on stderr fails. The run stops as a signal would stop it:
// every output as it was, no temporary file, exit code 141 (128 + SIGPIPE).
TEST_F(CliConvertTest, AClosedPipeStopsTheRunAndLeavesEveryOutputAsItWas) {
    ASSERT_TRUE(testutil::WriteWav(dir.filePath(QStringLiteral("long.wav")),
                                   testutil::SineTone(440, 44100, 2, 20), 44100, 2));
    Write("p1.mp3", "old 1");
    TRunOptions options;
    options.closeOnProgress = true;
    const TResult r = RunCli(
        folder, {"convert", "-re", "1", "-i", "long.wav", "p1.mp3", "-i", "long.wav", "p2.mp3"},
        options);
    EXPECT_EQ(r.exitCode, 141) << r.err;
    EXPECT_EQ(Read("p1.mp3"), "old 1");
    EXPECT_FALSE(Exists("p2.mp3"));
    EXPECT_TRUE(HiddenFiles().empty());
}

// Targets of every kind get the converted data; the name stays what it was.
TEST_F(CliConvertTest, LinksFifosAndAnyBytesWorkAsNames) {
    // A symbolic link: the file it leads to is replaced, the link stays, and
    // the replaced file keeps its mode.
    Write("target.wav", "old");
    ASSERT_EQ(::chmod(File("target.wav").constData(), 0640), 0);
    ASSERT_EQ(::symlink("target.wav", File("link.wav").constData()), 0);
    TResult r = RunCli(folder, {"convert", "--quiet", "-i", "in.wav", "link.wav"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    struct stat st {};
    ASSERT_EQ(::lstat(File("link.wav").constData(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_TRUE(Read("target.wav").startsWith("RIFF"));
    ASSERT_EQ(::stat(File("target.wav").constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);

    // A FIFO is written in place, never replaced.
    ASSERT_EQ(::mkfifo(File("fifo.wav").constData(), 0600), 0);
    QByteArray fromFifo;
    std::thread reader([&] { fromFifo = Read("fifo.wav"); });
    r = RunCli(folder, {"convert", "--quiet", "-i", "in.wav", "fifo.wav"});
    reader.join();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(fromFifo.startsWith("RIFF"));
    EXPECT_GT(fromFifo.size(), 44 * 1000);
    ASSERT_EQ(::lstat(File("fifo.wav").constData(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));

    // Names that are not UTF-8 and names holding ":" as input and as output.
    const QByteArray latin1 = "caf\xe9.wav", broken = "out\xff\xfe.wav", colon = "a:b.wav";
    ASSERT_EQ(::link(File("in.wav").constData(), File(latin1).constData()), 0);
    for (const auto& [input, output] : {std::pair{latin1, broken}, std::pair{broken, colon},
                                        std::pair{colon, QByteArray("back.wav")}}) {
        SCOPED_TRACE(input.toStdString() + " -> " + output.toStdString());
        r = RunCli(folder, {"convert", "--quiet", "-i", input, output});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_TRUE(Read(output).startsWith("RIFF"));
        r = RunCli(folder, {"probe", output});
        EXPECT_EQ(r.exitCode, 0) << r.err;
    }
    EXPECT_FALSE(Exists("out\xef\xbf\xbd\xef\xbf\xbd.wav")); // no U+FFFD stand-in
    EXPECT_TRUE(HiddenFiles().empty());
    // QTemporaryDir cannot reach these names to remove them.
    for (const QByteArray& name : {latin1, broken})
        ::unlink(File(name).constData());
}

// Options that the conversion's settings always apply (stream switches, sync
// methods, copying time stamps, the pad colour) hold whether given before or
// after -i: each shows in the decoded output.
TEST_F(CliConvertTest, EveryOptionTakesEffectInTheOutput) {
    testutil::LoadMediaLibraries();
    ASSERT_TRUE(WriteGappedAVS(dir.filePath(QStringLiteral("avs.mkv"))));
    // MPEG-TS at 25 pictures a second, 0-0.16 s then 32-32.16 s: a jump in the
    // time stamps that the conversion closes unless they are copied.
    std::vector<int64_t> jump{0, 1, 2, 3, 4, 800, 801, 802, 803, 804};
    ASSERT_TRUE(videotest::WriteVideo(dir.filePath(QStringLiteral("jump.ts")),
                                      {"mpegts", "mpeg4", 64, 48, 25, jump}, [](AVFrame* f, int) {
                                          videotest::FillYuv(f, 0, 0, 64, 48, {16, 128, 128});
                                      }));
    constexpr uint32_t Black = 0x000000, Red = 0x0000FF, Blue = 0xFF0000; // red in the low byte
    const struct {
        const char* input = "avs.mkv";
        std::vector<QByteArray> before, after; // options before and after -i
        std::string streams = "vas";           // media types of the output
        int pictures = 10;                     // decoded pictures (the gap kept as it is)
        int64_t firstPictureMs = 0;            // time stamps of the first and last picture
        int64_t lastPictureMs = 1400;
        double audioSeconds = 1.0; // decoded audio (the gap left out)
        uint32_t pad = Black;      // colour of the left pad
    } cases[] = {
        {},
        {.after = {"-padcolor", "255"}, .pad = Red},
        {.before = {"-padcolor", "16711680"}, .pad = Blue},
        {.after = {"-an"}, .streams = "vs"},
        {.before = {"-vn"}, .streams = "as"},
        {.after = {"-vn"}, .streams = "as"},
        {.after = {"-sn"}, .streams = "va"},
        // Before -i: the input's own time stamps from the start.
        {.before = {"-copyts"}, .firstPictureMs = 2000, .lastPictureMs = 3400},
        // After -i: a jump in them is kept (on whatever the value).
        {.input = "jump.ts", .streams = "v", .lastPictureMs = 360},
        {.input = "jump.ts", .after = {"-copyts"}, .streams = "v", .lastPictureMs = 32160},
        {.input = "jump.ts", .after = {"-copyts", "0"}, .streams = "v", .lastPictureMs = 32160},
        // A constant rate: the gap filled with copies.
        {.after = {"-vsync", "1"}, .pictures = 14, .lastPictureMs = 1300},
        {.before = {"-vsync", "1"}, .pictures = 14, .lastPictureMs = 1300},
        // The gap filled with silence.
        {.after = {"-async", "1"}, .audioSeconds = 1.5},
        // The audio through a filter that keeps its first half second.
        {.after = {"-af", "atrim=end=0.5"}, .audioSeconds = 0.5},
    };
    for (const auto& c : cases) {
        std::vector<QByteArray> args{"convert", "--quiet"};
        args.insert(args.end(), c.before.begin(), c.before.end());
        for (const char* arg : {"-i", c.input, "-vcodec", "ffv1", "-acodec", "pcm_s16le", "-scodec",
                                "copy", "-padleft", "8"})
            args.emplace_back(arg);
        args.insert(args.end(), c.after.begin(), c.after.end());
        args.emplace_back("out.mkv");
        std::string what;
        for (size_t i = 2; i < args.size(); ++i)
            what += args[i].toStdString() + " ";
        SCOPED_TRACE(what);
        QFile::remove(dir.filePath(QStringLiteral("out.mkv")));
        const TResult r = RunCli(folder, args);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        const QString out = dir.filePath(QStringLiteral("out.mkv"));
        EXPECT_EQ(StreamKinds(out), c.streams);
        if (c.streams.find('v') != std::string::npos) {
            const videotest::TDecodedVideo video = videotest::DecodeVideo(out);
            ASSERT_TRUE(video.ok && !video.pictures.empty());
            EXPECT_NEAR(static_cast<double>(video.pictures.size()), c.pictures, 1.0);
            EXPECT_NEAR(static_cast<double>(video.pictures.front().ptsMs), c.firstPictureMs, 150);
            EXPECT_NEAR(static_cast<double>(video.pictures.back().ptsMs), c.lastPictureMs, 150);
            int pad[3];
            TFFmpegOptions::RGBToYUV(c.pad, pad);
            const videotest::TYuv seen = video.pictures.front().At(2, 20);
            EXPECT_NEAR(seen.y, pad[0], 2);
            EXPECT_NEAR(seen.u, pad[1], 2);
            EXPECT_NEAR(seen.v, pad[2], 2);
        }
        if (c.streams.find('a') != std::string::npos) {
            EXPECT_NEAR(enginetest::Decode(out).Seconds(), c.audioSeconds, 0.05);
        }
    }
}

} // namespace
