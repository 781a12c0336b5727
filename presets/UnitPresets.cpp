#include "UnitPresets.h"

#include "FFUtils.h"

#include <array>

namespace {
constexpr std::array<TPresetRow, 4> Rows{{
    {"High", 256000, 48000, 2},
    {"Optimal", 192000, 48000, 2},
    {"Standard", 128000, 44100, 2},
    {"Economy", 64000, 22050, 1},
}};

bool Compressed(int formatIndex) {
    return formatIndex >= ofMP3 && formatIndex <= ofOGG;
}
} // namespace

const QStringList& FormatTexts() {
    static const QStringList texts{QStringLiteral("WAV"), QStringLiteral("MP3"),
                                   QStringLiteral("AAC"), QStringLiteral("WMA"),
                                   QStringLiteral("OGG")};
    return texts;
}

const TPresetRow& PresetRow(int presetIndex) {
    return Rows.at(static_cast<size_t>(presetIndex));
}

QStringList PresetItems(int formatIndex) {
    if (!Compressed(formatIndex))
        return {QStringLiteral("WAV - Normal Quality Audio")};
    const QString format = FormatTexts().at(formatIndex);
    QStringList items;
    for (const TPresetRow& row : Rows)
        items << QStringLiteral("%1 Quality  (%2, %3KBit, %4Hz, %5)")
                     .arg(QLatin1String(row.Quality), format)
                     .arg(row.Bitrate / 1000)
                     .arg(row.SampleRate)
                     .arg(row.Channels == 1 ? QStringLiteral("MONO") : QStringLiteral("STEREO"));
    return items;
}

int DefaultPresetIndex(int formatIndex) {
    return Compressed(formatIndex) ? 2 : 0;
}

QString OutputExtFor(int formatIndex) {
    const int index = formatIndex >= 0 && formatIndex < FormatTexts().size() ? formatIndex : 0;
    return QLatin1Char('.') + FormatTexts().at(index).toLower();
}

std::string AudioEncoderFor(int formatIndex) {
    switch (formatIndex) {
    case ofMP3:
        return "libmp3lame";
    case ofAAC:
        // Debian's libraries come without libfaac; their own AAC encoder stands in.
        return EncoderAvailable("libfaac") ? "libfaac" : "aac";
    case ofWMA:
        return "wmav2";
    case ofOGG:
        return "libvorbis";
    default:
        return {};
    }
}

void ApplyInputPreset(TInputOptions& options, const QString& wav, const QString& outputExt) {
    options.FileName = wav;
    // A plain substring search: MP3, AAC and WMA outputs drop video, OGG does not.
    if (!outputExt.isEmpty() && QStringLiteral(".aac.ac3.mp2.mp3.wav.wma").contains(outputExt))
        options.ExtOptions = "vn=1";
}

void ApplyOutputPreset(TOutputOptions& options, int formatIndex, int presetIndex,
                       const QString& outputExt) {
    const TPresetRow& row = PresetRow(presetIndex >= 0 && presetIndex < 4 ? presetIndex : 2);
    options.FileExt = outputExt.toStdString();
    options.AudioCodec = AudioEncoderFor(formatIndex);
    options.AudioBitrate = row.Bitrate;
    options.AudioSampleRate = row.SampleRate;
    options.AudioChannels = row.Channels;
    options.DisableVideo = true;
    options.DisableSubtitle = true;
    if (formatIndex == ofWMA)
        options.Info.Comment = MakerWebAddress;
    if (formatIndex == ofOGG)
        options.VideoCodec = "libtheora";
}
