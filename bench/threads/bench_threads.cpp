// Conversion-run benchmark: converts a set of WAV files to MP3 128k through
// the conversion component exactly as the application drives it (clear, one
// task per file, set output, StartConvert(N), wait for the -1 event) and
// prints how long the run took. Built and driven by bench/threads/run.sh.
//
//   bench_threads generate DIR COUNT SECONDS      writes DIR/in01.wav ...
//   bench_threads convert THREADS OUTDIR WAV...   prints "threads=N seconds=S"
#include "FFmpegConverter.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <numbers>

namespace {

// A stereo 44.1 kHz 16-bit WAV: two drifting tones and a little noise, so that
// the encoder has real work to do.
bool WriteTestWav(const QString& path, double seconds, int seed) {
    constexpr int rate = 44100;
    const auto frames = static_cast<uint32_t>(seconds * rate);
    const uint32_t dataBytes = frames * 4;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    auto le = [](QByteArray& out, uint32_t value, int bytes) {
        for (int i = 0; i < bytes; ++i)
            out.append(static_cast<char>((value >> (8 * i)) & 0xFF));
    };
    QByteArray header;
    header.append("RIFF");
    le(header, 36 + dataBytes, 4);
    header.append("WAVEfmt ");
    le(header, 16, 4);
    le(header, 1, 2);
    le(header, 2, 2);
    le(header, rate, 4);
    le(header, rate * 4, 4);
    le(header, 4, 2);
    le(header, 16, 2);
    header.append("data");
    le(header, dataBytes, 4);
    file.write(header);

    uint32_t noise = 12345u + static_cast<uint32_t>(seed);
    QByteArray block;
    block.reserve(rate * 4);
    for (uint32_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / rate;
        const double f1 = 220.0 + 40.0 * seed + 30.0 * std::sin(t * 0.5);
        const double v = 0.3 * std::sin(2 * std::numbers::pi * f1 * t) +
                         0.2 * std::sin(2 * std::numbers::pi * 1.5 * f1 * t + 1.0);
        noise = noise * 1664525u + 1013904223u;
        const double n = (static_cast<double>(noise >> 8) / 16777216.0 - 0.5) * 0.05;
        const auto left = static_cast<int16_t>(std::lround((v + n) * 32767.0));
        const auto right = static_cast<int16_t>(std::lround((v - n) * 32767.0));
        le(block, static_cast<uint16_t>(left), 2);
        le(block, static_cast<uint16_t>(right), 2);
        if (block.size() >= rate * 4) {
            file.write(block);
            block.clear();
        }
    }
    file.write(block);
    return file.error() == QFile::NoError;
}

int Generate(const QStringList& args) {
    if (args.size() != 3)
        return 2;
    QDir().mkpath(args[0]);
    const int count = args[1].toInt();
    const double seconds = args[2].toDouble();
    for (int i = 1; i <= count; ++i) {
        const QString path =
            QDir(args[0]).filePath(QStringLiteral("in%1.wav").arg(i, 2, 10, QLatin1Char('0')));
        if (!WriteTestWav(path, seconds, i)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            return 1;
        }
    }
    return 0;
}

int Convert(const QStringList& args) {
    if (args.size() < 3)
        return 2;
    const int threads = args[0].toInt();
    const QString outDir = args[1];
    QDir().mkpath(outDir);

    TFFmpegConverter converter;
    if (!converter.IsLoaded() &&
        !converter.LoadAVLib(QCoreApplication::applicationDirPath() + QStringLiteral("/Dll/"))) {
        std::fprintf(stderr, "%s\n", converter.LastErrMsg().c_str());
        return 1;
    }
    converter.ClearTasks();
    for (const QString& wav : args.mid(2)) {
        TInputOptions in;
        InitInputOptions(in);
        in.FileName = wav;
        in.ExtOptions = "vn=1";
        const int index = converter.AddTask(wav, &in);
        if (index < 0) {
            std::fprintf(stderr, "%s\n", converter.LastErrMsg().c_str());
            return 1;
        }
        TOutputOptions out;
        InitOutputOptions(out);
        out.FileExt = ".mp3";
        out.AudioCodec = "libmp3lame";
        out.AudioBitrate = 128000;
        out.AudioSampleRate = 44100;
        out.AudioChannels = 2;
        out.DisableVideo = true;
        out.DisableSubtitle = true;
        const QString mp3 = QDir(outDir).filePath(QFileInfo(wav).completeBaseName() + ".mp3");
        if (!converter.SetOutputFile(index, mp3, &out)) {
            std::fprintf(stderr, "%s\n", converter.LastErrMsg().c_str());
            return 1;
        }
    }

    std::atomic<bool> done{false};
    std::atomic<int> failures{0};
    converter.OnTerminate = [&](int index, bool, bool exception, const std::string& message) {
        if (exception) {
            ++failures;
            std::fprintf(stderr, "task %d: %s\n", index, message.c_str());
        }
        if (index == -1)
            done = true;
    };
    QElapsedTimer timer;
    timer.start();
    converter.StartConvert(threads);
    while (!done.load()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(2);
    }
    const double seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
    TDoTerminateThread::WaitForAll(10000);
    std::printf("threads=%d seconds=%.3f\n", threads, seconds);
    return failures.load() ? 1 : 0;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QStringList args = QCoreApplication::arguments().mid(1);
    if (args.isEmpty()) {
        std::fprintf(stderr, "usage: bench_threads generate DIR COUNT SECONDS | "
                             "convert THREADS OUTDIR WAV...\n");
        return 2;
    }
    const QString mode = args.takeFirst();
    if (mode == QLatin1String("generate"))
        return Generate(args);
    if (mode == QLatin1String("convert"))
        return Convert(args);
    return 2;
}
