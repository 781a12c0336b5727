#include "MediaTestUtil.h"

#include "FFmpegLoader.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

namespace testutil {

void LoadMediaLibraries() {
    TFFmpegLoader& loader = FFmpegLoader();
    if (loader.Loaded(DefaultLibraries))
        return;
    loader.SetLibraryPath(QCoreApplication::applicationDirPath() + QStringLiteral("/Dll/"));
    ASSERT_TRUE(loader.LoadLibs(DefaultLibraries)) << loader.LastError();
}

std::vector<int16_t> SineTone(double frequency, int sampleRate, int channels, double seconds,
                              double amplitude) {
    const auto frames = static_cast<size_t>(std::llround(seconds * sampleRate));
    std::vector<int16_t> samples(frames * static_cast<size_t>(channels));
    for (size_t i = 0; i < frames; ++i) {
        const double v = amplitude * std::sin(2.0 * std::numbers::pi * frequency *
                                              static_cast<double>(i) / sampleRate);
        for (int c = 0; c < channels; ++c)
            samples[i * static_cast<size_t>(channels) + static_cast<size_t>(c)] =
                static_cast<int16_t>(std::lround(v * 32767.0));
    }
    return samples;
}

namespace {
void PutLE(QByteArray& out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out.append(static_cast<char>((value >> (8 * i)) & 0xFF));
}
} // namespace

bool WriteWav(const QString& path, const std::vector<int16_t>& samples, int sampleRate,
              int channels) {
    const auto dataBytes = static_cast<uint32_t>(samples.size() * sizeof(int16_t));
    QByteArray out;
    out.append("RIFF");
    PutLE(out, 36 + dataBytes, 4);
    out.append("WAVEfmt ");
    PutLE(out, 16, 4);
    PutLE(out, 1, 2);
    PutLE(out, static_cast<uint32_t>(channels), 2);
    PutLE(out, static_cast<uint32_t>(sampleRate), 4);
    PutLE(out, static_cast<uint32_t>(sampleRate * channels * 2), 4);
    PutLE(out, static_cast<uint32_t>(channels * 2), 2);
    PutLE(out, 16, 2);
    out.append("data");
    PutLE(out, dataBytes, 4);
    for (int16_t s : samples)
        PutLE(out, static_cast<uint16_t>(s), 2);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write(out) == out.size();
}

bool WaitFor(const std::function<bool()>& pred, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (!pred()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    return true;
}

} // namespace testutil
