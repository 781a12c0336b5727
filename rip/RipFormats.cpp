#include "RipEncode.h"

#include "FFUtils.h"

#include <array>

namespace rip {
namespace {

// The window's presets, by index, as the command line names them.
constexpr std::array<const char*, 4> kPresetNames{"high", "optimal", "standard", "economy"};

struct TFormatRow {
    TRipFormat Format;
    const char* Name;
    const char* Extension;
    int WindowFormat; // the window's format index, -1 for the command's own
};

constexpr std::array<TFormatRow, 7> kFormats{{
    {rfWAV, "WAV", ".wav", ofWAV},
    {rfMP3, "MP3", ".mp3", ofMP3},
    {rfAAC, "AAC", ".m4a", ofAAC},
    {rfWMA, "WMA", ".wma", ofWMA},
    {rfOGG, "OGG", ".ogg", ofOGG},
    {rfFLAC, "FLAC", ".flac", -1},
    {rfOpus, "Opus", ".opus", -1},
}};

const TFormatRow& Row(TRipFormat format) {
    for (const TFormatRow& row : kFormats)
        if (row.Format == format)
            return row;
    return kFormats[0];
}

// One "metadata=key=value" line; line breaks would end the option early.
void AddTag(std::string& lines, const char* key, const QString& value) {
    QString text = value;
    text.replace(QLatin1Char('\r'), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' '));
    text = text.trimmed();
    if (text.isEmpty())
        return;
    lines += std::string("metadata=") + key + "=" + text.toStdString() + "\n";
}

} // namespace

bool ParseFormat(const QString& text, TRipFormat& format) {
    for (const TFormatRow& row : kFormats)
        if (text.compare(QLatin1String(row.Name), Qt::CaseInsensitive) == 0) {
            format = row.Format;
            return true;
        }
    return false;
}

bool ParsePreset(const QString& text, int& preset) {
    for (size_t i = 0; i < kPresetNames.size(); ++i)
        if (text.compare(QLatin1String(kPresetNames[i]), Qt::CaseInsensitive) == 0) {
            preset = static_cast<int>(i);
            return true;
        }
    return false;
}

const TPresetRow& PresetRow(int preset) {
    return ::PresetRow(
        preset >= 0 && preset < static_cast<int>(kPresetNames.size()) ? preset : kDefaultPreset);
}

QString FormatName(TRipFormat format) {
    return QLatin1String(Row(format).Name);
}

QString FormatExtension(TRipFormat format) {
    return QLatin1String(Row(format).Extension);
}

std::string EncoderFor(TRipFormat format) {
    switch (format) {
    case rfFLAC:
        return "flac";
    case rfOpus:
        return "libopus";
    default:
        return AudioEncoderFor(Row(format).WindowFormat);
    }
}

QString PresetText(TRipFormat format, int preset) {
    if (format == rfWAV)
        return QStringLiteral("WAV");
    const TPresetRow& row = PresetRow(preset);
    return QStringLiteral("%1 Quality (%2, %3KBit, %4Hz, %5)")
        .arg(QLatin1String(row.Quality), FormatName(format))
        .arg(row.Bitrate / 1000)
        .arg(row.SampleRate)
        .arg(row.Channels == 1 ? QStringLiteral("MONO") : QStringLiteral("STEREO"));
}

bool IsLossy(TRipFormat format) {
    switch (format) {
    case rfMP3:
    case rfAAC:
    case rfWMA:
    case rfOGG:
    case rfOpus:
        return true;
    case rfWAV:
    case rfFLAC:
        break;
    }
    return false;
}

void ApplyRipSettings(TInputOptions& in, TOutputOptions& out, TRipFormat format, int preset,
                      const TTrackTags& tags, bool deemphasis) {
    const TPresetRow& row = PresetRow(preset);
    in.ExtOptions = "vn=1"; // the input is a WAV file: nothing but audio
    out.FileExt = FormatExtension(format).toStdString();
    out.AudioCodec = EncoderFor(format);
    if (format != rfFLAC)
        out.AudioBitrate = row.Bitrate;
    // Opus is coded at 48 kHz (or lower rates that are no CD rate): the encoder
    // takes the preset's rate only where it can.
    out.AudioSampleRate = format == rfOpus ? 48000 : row.SampleRate;
    out.AudioChannels = row.Channels;
    out.DisableVideo = true;
    out.DisableSubtitle = true;
    if (format == rfWMA)
        out.Info.Comment = MakerWebAddress; // as the window's WMA files

    if (deemphasis && IsLossy(format)) // at the disc's rate, before any resampling
        out.ExtOptions += std::string("afilters=") + kDeemphasisFilter + "\n";

    const QString number = QString::number(tags.Number);
    const QString numberOfTotal =
        tags.Total > 0 ? number + QLatin1Char('/') + QString::number(tags.Total) : number;
    const QString artist = tags.Performer.isEmpty() ? tags.AlbumPerformer : tags.Performer;
    std::string& lines = out.ExtOptions;
    switch (format) {
    case rfMP3: // ID3v2.4 frames
        AddTag(lines, "title", tags.Title);
        AddTag(lines, "artist", artist);
        AddTag(lines, "album", tags.AlbumTitle);
        AddTag(lines, "album_artist", tags.AlbumPerformer);
        AddTag(lines, "composer", tags.Composer);
        AddTag(lines, "TEXT", tags.Songwriter); // lyricist/text writer
        AddTag(lines, "TSRC", tags.Isrc);
        AddTag(lines, "track", numberOfTotal);
        AddTag(lines, "BARCODE", tags.Mcn);
        break;
    case rfOGG:
    case rfFLAC:
    case rfOpus: // Vorbis comments
        AddTag(lines, "TITLE", tags.Title);
        AddTag(lines, "ARTIST", artist);
        AddTag(lines, "ALBUM", tags.AlbumTitle);
        AddTag(lines, "ALBUMARTIST", tags.AlbumPerformer);
        AddTag(lines, "COMPOSER", tags.Composer);
        AddTag(lines, "LYRICIST", tags.Songwriter);
        AddTag(lines, "ISRC", tags.Isrc);
        AddTag(lines, "TRACKNUMBER", number);
        if (tags.Total > 0)
            AddTag(lines, "TRACKTOTAL", QString::number(tags.Total));
        AddTag(lines, "BARCODE", tags.Mcn);
        break;
    case rfAAC: // MP4 atoms, as far as the muxer writes them
        AddTag(lines, "title", tags.Title);
        AddTag(lines, "artist", artist);
        AddTag(lines, "album", tags.AlbumTitle);
        AddTag(lines, "album_artist", tags.AlbumPerformer);
        AddTag(lines, "composer", tags.Composer);
        AddTag(lines, "track", numberOfTotal);
        break;
    case rfWMA: // ASF attributes
        AddTag(lines, "title", tags.Title);
        AddTag(lines, "artist", artist);
        AddTag(lines, "album", tags.AlbumTitle);
        AddTag(lines, "album_artist", tags.AlbumPerformer);
        AddTag(lines, "composer", tags.Composer);
        AddTag(lines, "WM/Writer", tags.Songwriter);
        AddTag(lines, "WM/ISRC", tags.Isrc);
        AddTag(lines, "track", number);
        AddTag(lines, "WM/UPC", tags.Mcn);
        break;
    case rfWAV:
        break;
    }
}

} // namespace rip
