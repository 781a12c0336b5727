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

// Any name the file system holds survives the way through a QString and back;
// valid UTF-8 decodes exactly as QFile::decodeName does.
TEST_F(UnicodeNames, FileNamesKeepTheirBytes) {
    const QByteArray names[] = {
        "/music/Track01.wav",
        "/music/Gr\xc3\xbc\xc3\x9f\xc3\xa9 \xe2\x99\xab \xf0\x9f\x8e\xb5.wav", // UTF-8
        "/music/caf\xe9.wav",                                                  // Latin-1
        "/music/\xff\xfe\x80.wav",                                             // no UTF-8 at all
        "/music/\xc3.wav",                                                     // a cut sequence
        "/music/\xed\xb2\x80.wav",                 // an encoded surrogate
        "/music/\xc0\xaf.wav",                     // an overlong "/"
        "/music/\xf0\x9f\x8e\xb5\xe9\xf0\x9f.wav", // valid, invalid, cut
    };
    for (const QByteArray& bytes : names) {
        SCOPED_TRACE(bytes.toHex().toStdString());
        const QString name = FileNameFromBytes(bytes);
        EXPECT_EQ(FileNameBytes(name), bytes);
        if (QByteArrayView(bytes).isValidUtf8()) {
            EXPECT_EQ(name, QFile::decodeName(bytes));
        }
        EXPECT_FALSE(NeedsUnicodeName(name)); // the library takes the bytes as they are
        EXPECT_EQ(FileNameForLib(name), bytes.toStdString());
        EXPECT_EQ(NameFromLib(FileNameForLib(name)), name);
        EXPECT_EQ(DecodeName(EncodeName(name)), name);
    }
    // Two names that differ only in bytes outside UTF-8 stay two names.
    EXPECT_NE(FileNameFromBytes("a\xe9.wav"), FileNameFromBytes("a\xe8.wav"));
}

// What a name means to the libraries: a file of ours or a protocol of theirs.
TEST_F(UnicodeNames, ColonsInNamesAndLocalPaths) {
    const struct {
        const char* name;
        bool encoded;     // opened by our own I/O
        const char* path; // the file written, nullptr for a library URL
    } cases[] = {
        {"a:b.wav", true, "a:b.wav"},
        {"/music/a:b.wav", false, "/music/a:b.wav"},
        {"Track 1: Intro.wav", false, "Track 1: Intro.wav"},
        {"file:x.wav", false, "x.wav"},
        {"pipe:1", false, nullptr},
        {"http://example.invalid/x.mp3", false, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string lib = FileNameForLib(QString::fromUtf8(c.name));
        EXPECT_EQ(IsEncodedName(lib), c.encoded);
        std::string path;
        EXPECT_EQ(LocalFilePath(lib, path), c.path != nullptr);
        if (c.path) {
            EXPECT_EQ(path, c.path);
        }
    }
}

TEST_F(UnicodeNames, NonAsciiNamesAreEncodedUnderAnAsciiLocale) {
    const std::string saved = std::setlocale(LC_CTYPE, nullptr);
    ASSERT_NE(std::setlocale(LC_CTYPE, "C"), nullptr);
    const QString umlaut = QStringLiteral("/home/ann/Grüße.wav");
    EXPECT_TRUE(NeedsUnicodeName(umlaut));
    EXPECT_EQ(FileNameForLib(umlaut), EncodeName(umlaut));
    EXPECT_FALSE(NeedsUnicodeName(QStringLiteral("/home/ann/Track01.wav")));
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
