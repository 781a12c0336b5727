// Helpers shared by the media tests: temporary folders, PCM/WAV fixtures and
// running the Qt event loop until a condition holds.
#pragma once

#include <QString>
#include <QTemporaryDir>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace testutil {

// Loads the default media libraries once per process (fails the test when not).
void LoadMediaLibraries();

// Interleaved 16-bit PCM of a sine tone.
std::vector<int16_t> SineTone(double frequency, int sampleRate, int channels, double seconds,
                              double amplitude = 0.5);
// Writes a canonical 44-byte-header PCM WAV file.
bool WriteWav(const QString& path, const std::vector<int16_t>& samples, int sampleRate,
              int channels);

// Processes Qt events until pred() holds or timeoutMs passes; true when it holds.
bool WaitFor(const std::function<bool()>& pred, int timeoutMs = 10000);

} // namespace testutil
