// Output formats and quality presets of the main window: the two drop-down
// lists' texts, the default preset of each format, the output extension, and
// the options a converted file gets for a format and preset.
//
// Used by TfrmMain (the lists and ConvertGrabbedTracks). Pure functions, any
// thread; AudioEncoderFor needs the media libraries loaded (AAC only).
#pragma once

#include "FFmpegConverter.h"

#include <QString>
#include <QStringList>

#include <cstdint>

enum TOutputFormat : int { ofWAV = 0, ofMP3 = 1, ofAAC = 2, ofWMA = 3, ofOGG = 4 };

struct TPresetRow {
    const char* Quality; // "High", ...
    int32_t Bitrate;     // bit/s
    int32_t SampleRate;  // Hz
    int32_t Channels;
};

// "WAV", "MP3", "AAC", "WMA", "OGG" in list order.
const QStringList& FormatTexts();
// The four rows of every compressed format, by preset index.
const TPresetRow& PresetRow(int presetIndex);
// The items of cbPresets for a format: "WAV - Normal Quality Audio" for WAV,
// else the four "... Quality  (FMT, ...)" items.
QStringList PresetItems(int formatIndex);
// The preset selected when a format is chosen: 0 for WAV, 2 ("Standard") otherwise.
int DefaultPresetIndex(int formatIndex);
// "." + the format's text in lower case.
QString OutputExtFor(int formatIndex);
// The audio encoder of a format: "libmp3lame", "libfaac" (or the native "aac"
// when the loaded library has no "libfaac"), "wmav2", "libvorbis"; empty for WAV.
std::string AudioEncoderFor(int formatIndex);
// The web address the WMA files carry as their comment.
inline constexpr const char* MakerWebAddress = "www.brisklane.com";

// The input settings of one grabbed WAV file (after InitInputOptions).
void ApplyInputPreset(TInputOptions& options, const QString& wav, const QString& outputExt);
// The output settings of a format and preset (after InitOutputOptions).
void ApplyOutputPreset(TOutputOptions& options, int formatIndex, int presetIndex,
                       const QString& outputExt);
