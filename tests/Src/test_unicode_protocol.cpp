// File names for the media libraries and the custom I/O for encoded names.
#include "FFmpegException.h"
#include "FFmpegStubs.h"
#include "MediaTestUtil.h"
#include "UnicodeProtocol.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <clocale>

namespace {

class UnicodeNames : public ::testing::Test {
protected:
    void SetUp() override { testutil::LoadMediaLibraries(); }
};

TEST_F(UnicodeNames, EncodingRules) {
    const QString music = QStringLiteral("/home/ann/Music/Track01.wav");
    const QString umlaut = QStringLiteral("/home/ann/Grüße ♫.wav");
    EXPECT_FALSE(NeedsUnicodeName(music));
    EXPECT_EQ(FileNameForLib(music), music.toStdString());
    // Under a UTF-8 locale every well-formed name survives unchanged.
    EXPECT_FALSE(NeedsUnicodeName(umlaut));
    EXPECT_EQ(FileNameForLib(umlaut), umlaut.toUtf8().toStdString());
    // A lone surrogate does not survive any 8-bit conversion.
    const QString broken = QStringLiteral("/tmp/a") + QChar(0xD800) + QStringLiteral(".wav");
    EXPECT_TRUE(NeedsUnicodeName(broken));
    EXPECT_TRUE(IsEncodedName(FileNameForLib(broken)));
    // Known protocol prefixes are never rewritten.
    EXPECT_FALSE(NeedsUnicodeName(QStringLiteral("http:") + QChar(0xD800)));

    EXPECT_EQ(EncodeName(umlaut), "unicode:utf8:" + umlaut.toUtf8().toStdString());
    EXPECT_FALSE(IsEncodedName("unicode:utf8:"));
    EXPECT_TRUE(IsEncodedName("unicode:utf8:a"));
    EXPECT_FALSE(IsEncodedName("/unicode:utf8:a"));
    EXPECT_EQ(DecodeName(EncodeName(umlaut)), umlaut);
    EXPECT_EQ(NameFromLib(EncodeName(umlaut)), umlaut);
    EXPECT_EQ(NameFromLib(music.toStdString()), music);
}

TEST_F(UnicodeNames, NonAsciiNamesAreEncodedUnderAnAsciiLocale) {
    const std::string saved = std::setlocale(LC_CTYPE, nullptr);
    ASSERT_NE(std::setlocale(LC_CTYPE, "C"), nullptr);
    const QString umlaut = QStringLiteral("/home/ann/Grüße.wav");
    EXPECT_TRUE(NeedsUnicodeName(umlaut));
    EXPECT_EQ(FileNameForLib(umlaut), EncodeName(umlaut));
    EXPECT_FALSE(NeedsUnicodeName(QStringLiteral("C:/Music/Track01.wav")));
    std::setlocale(LC_CTYPE, saved.c_str());
}

TEST_F(UnicodeNames, OverlongNameIsRefused) {
    const QString longName = QStringLiteral("/tmp/") + QString(3000, QLatin1Char('a'));
    try {
        FileNameForLib(longName);
        FAIL() << "no error for a 3005-byte name";
    } catch (const FFmpegException& e) {
        EXPECT_NE(std::string(e.what()).find("File name too long"), std::string::npos);
    }
    EXPECT_NO_THROW(FileNameForLib(QStringLiteral("/") + QString(2046, QLatin1Char('b'))));
    EXPECT_THROW(FileNameForLib(QStringLiteral("/") + QString(2047, QLatin1Char('b'))),
                 FFmpegException);
}

TEST_F(UnicodeNames, EncodedNameRoundTripThroughCustomIO) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("Grüße ♫ 音楽.bin"));
    const std::string url = EncodeName(path);
    const QByteArray payload = QByteArray(100000, 'x') + QByteArray("tail");

    AVIOContext* pb = nullptr;
    ASSERT_EQ(OpenUnicodeIO(url, AVIO_FLAG_WRITE, &pb), 0);
    AVFormatStubs.avio_write(pb, reinterpret_cast<const unsigned char*>(payload.constData()),
                             static_cast<int>(payload.size()));
    EXPECT_EQ(CloseUnicodeIO(&pb), 0);
    EXPECT_EQ(pb, nullptr);
    ASSERT_TRUE(QFile::exists(path)); // the real name is on disk

    ASSERT_EQ(OpenUnicodeIO(url, AVIO_FLAG_READ, &pb), 0);
    std::vector<unsigned char> head(10);
    ASSERT_EQ(AVFormatStubs.avio_read(pb, head.data(), 10), 10);
    EXPECT_EQ(AVFormatStubs.avio_size(pb), payload.size()); // size query...
    std::vector<unsigned char> rest(static_cast<size_t>(payload.size()));
    const int got = AVFormatStubs.avio_read(pb, rest.data(), static_cast<int>(rest.size()));
    EXPECT_EQ(got, payload.size() - 10); // ...leaves the position where it was
    EXPECT_EQ(std::string(reinterpret_cast<char*>(rest.data()) + got - 4, 4), "tail");
    EXPECT_EQ(CloseUnicodeIO(&pb), 0);

    // Writing an existing file truncates it.
    ASSERT_EQ(OpenUnicodeIO(url, AVIO_FLAG_WRITE, &pb), 0);
    AVFormatStubs.avio_write(pb, reinterpret_cast<const unsigned char*>("new"), 3);
    EXPECT_EQ(CloseUnicodeIO(&pb), 0);
    EXPECT_EQ(QFileInfo(path).size(), 3);
}

TEST_F(UnicodeNames, MissingFileForReadingIsMinusTwo) {
    AVIOContext* pb = nullptr;
    EXPECT_EQ(OpenUnicodeIO(EncodeName(QStringLiteral("/nonexistent/dir/Grüße.wav")),
                            AVIO_FLAG_READ, &pb),
              -2);
    EXPECT_EQ(pb, nullptr);
    EXPECT_EQ(
        OpenUnicodeIO(EncodeName(QStringLiteral("/nonexistent/dir/x.wav")), AVIO_FLAG_WRITE, &pb),
        -2);
}

} // namespace
