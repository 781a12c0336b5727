// Output formats and quality presets of the rip command, and the settings a
// track's conversion gets from them: encoder, bit rate, sample rate, channels
// and the tags taken from the disc's CD-Text.
//
// The four presets are the window's (high, optimal, standard, economy: its
// preset table) and so are the encoders of its five formats; WAV is the grabbed
// audio itself; FLAC and Opus exist for the rip command only. AAC is written into an MP4 file
// (.m4a), the container that carries tags.
//
// Pure functions, any thread; EncoderFor needs the media libraries loaded. The
// conversion settings themselves are in RipEncode.h.
#pragma once

#include "UnitPresets.h"

#include <QString>

#include <cstdint>
#include <string>

namespace rip {

enum TRipFormat : int { rfWAV, rfMP3, rfAAC, rfWMA, rfOGG, rfFLAC, rfOpus };

// "wav", "mp3", "aac", "wma", "ogg", "flac", "opus" (any case).
bool ParseFormat(const QString& text, TRipFormat& format);
// "high", "optimal", "standard", "economy" (any case) -> 0..3.
bool ParsePreset(const QString& text, int& preset);
// The default preset: 2 ("standard": 128 kbit/s, 44100 Hz, stereo).
inline constexpr int kDefaultPreset = 2;
// The window's numbers of a preset (the default one for a preset out of range).
const TPresetRow& PresetRow(int preset);

QString FormatName(TRipFormat format);      // "MP3"
QString FormatExtension(TRipFormat format); // ".mp3"
// The audio encoder: "libmp3lame", "libfaac" or the libraries' own "aac", "wmav2",
// "libvorbis", "flac", "libopus"; empty for WAV.
std::string EncoderFor(TRipFormat format);
// "Standard Quality (MP3, 128KBit, 44100Hz, STEREO)"; "WAV" for WAV.
QString PresetText(TRipFormat format, int preset);

// MP3, AAC, WMA, Ogg Vorbis and Opus: files made for listening. WAV and FLAC keep the
// disc's samples as they are.
bool IsLossy(TRipFormat format);
// The media libraries' filter that undoes a CD's pre-emphasis (the 50/15 us curve of
// the tracks with FLAGS PRE): --deemphasis passes such a track's audio through it on
// the way into its lossy files.
inline constexpr const char* kDeemphasisFilter = "aemphasis=mode=reproduction:type=cd";

} // namespace rip
