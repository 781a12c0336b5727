// The format and preset table: item texts, the numbers each preset gives a
// converted file, and the options that differ by format.
#include "UnitPresets.h"

#include <gtest/gtest.h>

namespace {

TEST(Presets, EachFormatListsItsItemsWithTheStandardOneChosen) {
    EXPECT_EQ(PresetItems(ofWAV), QStringList{QStringLiteral("WAV - Normal Quality Audio")});
    EXPECT_EQ(DefaultPresetIndex(ofWAV), 0);
    EXPECT_EQ(OutputExtFor(ofWAV), QStringLiteral(".wav"));
    const QStringList ogg = PresetItems(ofOGG);
    EXPECT_EQ(ogg, (QStringList{QStringLiteral("High Quality  (OGG, 256KBit, 48000Hz, STEREO)"),
                                QStringLiteral("Optimal Quality  (OGG, 192KBit, 48000Hz, STEREO)"),
                                QStringLiteral("Standard Quality  (OGG, 128KBit, 44100Hz, STEREO)"),
                                QStringLiteral("Economy Quality  (OGG, 64KBit, 22050Hz, MONO)")}));
    for (int format : {ofMP3, ofAAC, ofWMA, ofOGG}) {
        EXPECT_EQ(DefaultPresetIndex(format), 2);
        EXPECT_EQ(OutputExtFor(format), QLatin1Char('.') + FormatTexts()[format].toLower());
        EXPECT_EQ(PresetItems(format)[2],
                  QStringLiteral("Standard Quality  (%1, 128KBit, 44100Hz, STEREO)")
                      .arg(FormatTexts()[format]));
    }
}

TEST(Presets, ConvertedFilesGetTheRowsNumbersAndTheFormatsEncoder) {
    struct Case {
        int format, preset;
        std::string codec;
        int32_t bitrate, rate, channels;
        std::string inputExt, comment, videoCodec;
    };
    // "aac" stands in for "libfaac" where the libraries have none (Debian's).
    const std::string aac = AudioEncoderFor(ofAAC);
    EXPECT_TRUE(aac == "libfaac" || aac == "aac") << aac;
    const Case cases[] = {
        {ofMP3, 2, "libmp3lame", 128000, 44100, 2, "vn=1", "", ""},
        {ofMP3, 0, "libmp3lame", 256000, 48000, 2, "vn=1", "", ""},
        {ofAAC, 1, aac, 192000, 48000, 2, "vn=1", "", ""},
        {ofWMA, 3, "wmav2", 64000, 22050, 1, "vn=1", MakerWebAddress, ""},
        {ofOGG, 3, "libvorbis", 64000, 22050, 1, "", "", "libtheora"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.codec + " preset " + std::to_string(c.preset));
        const QString ext = OutputExtFor(c.format);
        TInputOptions in;
        InitInputOptions(in);
        ApplyInputPreset(in, QStringLiteral("/t/Track1.wav"), ext);
        EXPECT_EQ(in.FileName, QStringLiteral("/t/Track1.wav"));
        EXPECT_EQ(in.ExtOptions, c.inputExt);
        TOutputOptions out;
        InitOutputOptions(out);
        ApplyOutputPreset(out, c.format, c.preset, ext);
        EXPECT_EQ(out.FileExt, ext.toStdString());
        EXPECT_EQ(out.AudioCodec, c.codec);
        EXPECT_EQ(out.AudioBitrate, c.bitrate);
        EXPECT_EQ(out.AudioSampleRate, c.rate);
        EXPECT_EQ(out.AudioChannels, c.channels);
        EXPECT_TRUE(out.DisableVideo);
        EXPECT_TRUE(out.DisableSubtitle);
        EXPECT_EQ(out.Info.Comment, c.comment);
        EXPECT_EQ(out.VideoCodec, c.videoCodec);
        EXPECT_EQ(out.FileFormat, ""); // everything else keeps its default
        EXPECT_EQ(out.AudioVolume, -1);
    }
}

} // namespace
