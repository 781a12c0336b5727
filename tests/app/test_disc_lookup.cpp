// The window's files get the disc's names as tags from a lookup that runs in the
// background once the disc is listed (MusicBrainz as a server inside the test plays it),
// and nothing is asked when the configuration turns lookups off. The list, its captions
// and the file names stay as they are.
#include "AppTestUtil.h"
#include "DiscImage.h"
#include "FakeServer.h"
#include "UnitMain.h"

#include <QComboBox>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPushButton>
#include <QSettings>
#include <QTableWidget>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>

#include <memory>

namespace {

using apptest::Boxes;
using apptest::WaitUntil;

// A release of two tracks for whatever disc id is asked about; nothing else is there.
fakeserver::TReply Release(const QString& target) {
    if (!target.startsWith(QLatin1String("/ws/2/discid/")))
        return {404, "not here", {}, false};
    const QString discId = target.section(QLatin1Char('/'), 4, 4).section(QLatin1Char('?'), 0, 0);
    QJsonArray tracks;
    for (int i = 1; i <= 2; ++i)
        tracks.append(
            QJsonObject{{"id", QStringLiteral("rt%1").arg(i)},
                        {"position", i},
                        {"title", QStringLiteral("Looked Up %1").arg(i)},
                        {"recording", QJsonObject{{"id", QStringLiteral("rec%1").arg(i)}}}});
    const QJsonObject medium{{"position", 1},
                             {"track-count", 2},
                             {"tracks", tracks},
                             {"discs", QJsonArray{QJsonObject{{"id", discId}}}}};
    QJsonObject release{{"id", "33333333-3333-3333-3333-333333333333"},
                        {"title", "Window Album"},
                        {"date", "2005"},
                        {"media", QJsonArray{medium}}};
    release["artist-credit"] = QJsonArray{QJsonObject{{"name", "Window Artist"}}};
    return fakeserver::Json(QJsonDocument(QJsonObject{{"releases", QJsonArray{release}}}).toJson());
}

class DiscLookupTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        Boxes().Clear();
        Boxes().Answer(QStringLiteral("Would you like to open the output folder?"),
                       QMessageBox::Cancel);
        qputenv("XDG_CACHE_HOME", QFile::encodeName(dir_.filePath(QStringLiteral("cache"))));
        for (const char* service :
             {"TONVALE_MUSICBRAINZ_URL", "TONVALE_COVERART_URL", "TONVALE_CTDB_URL"})
            qputenv(service, server_.Base().toUtf8());
        discimage::Disc disc;
        disc.tracks = {discimage::ToneTrack(2.0, 440), discimage::ToneTrack(2.5, 660)};
        qputenv("TONVALE_VIRTUAL_DRIVES",
                discimage::WriteCueBin(disc, dir_.path().toStdString(), "disc").cuePath.c_str());
    }
    void TearDown() override {
        window_.reset();
        QSettings settings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("Brisklane"),
                           QStringLiteral("Tonvale"));
        settings.remove(QStringLiteral("Configuration/Lookup"));
        qunsetenv("TONVALE_VIRTUAL_DRIVES");
        for (const char* service :
             {"TONVALE_MUSICBRAINZ_URL", "TONVALE_COVERART_URL", "TONVALE_CTDB_URL"})
            qputenv(service, "http://127.0.0.1:1");
    }

    // Starts the window, waits for its list and runs an MP3 conversion of both tracks.
    void RunMp3(bool waitForLookup) {
        window_ = std::make_unique<TfrmMain>();
        window_->setAttribute(Qt::WA_DontShowOnScreen);
        window_->show();
        ASSERT_TRUE(WaitUntil([this] {
            return window_->lvInput->rowCount() == 2 && window_->RunningWorkers() == 0;
        }));
        if (waitForLookup) {
            ASSERT_TRUE(window_->DiscLookup().WaitForResult(20000));
        }
        const QString out = dir_.filePath(QStringLiteral("out"));
        QDir().mkpath(out);
        Boxes().SetFolderAnswer(out + QLatin1Char('/'));
        window_->actBrowse->trigger();
        window_->cbFormats->setCurrentIndex(1); // MP3
        window_->bbConvert->click();
        ASSERT_TRUE(WaitUntil([this] { return window_->RunningWorkers() == 0; }));
    }
    std::string Title(int track) const {
        const QByteArray name =
            QFile::encodeName(dir_.filePath(QStringLiteral("out/Track%1.mp3").arg(track)));
        TagLib::MPEG::File file(name.constData());
        return file.isValid() && file.ID3v2Tag() ? file.ID3v2Tag()->title().to8Bit(true) : "?";
    }

    QTemporaryDir dir_;
    fakeserver::TServer server_{Release};
    std::unique_ptr<TfrmMain> window_;
};

TEST_F(DiscLookupTest, TheRunsFilesCarryTheLookedUpNamesUnderTheirDesignedNames) {
    RunMp3(true);
    EXPECT_EQ(server_.Requests().size(), 2u); // the disc, and the release's cover (none)
    for (int t = 1; t <= 2; ++t) {
        EXPECT_EQ(Title(t), "Looked Up " + std::to_string(t)) << t;
        TagLib::MPEG::File file(
            QFile::encodeName(dir_.filePath(QStringLiteral("out/Track%1.mp3").arg(t))).constData());
        ASSERT_TRUE(file.ID3v2Tag());
        EXPECT_EQ(file.ID3v2Tag()->album().to8Bit(true), "Window Album");
        EXPECT_EQ(file.ID3v2Tag()->artist().to8Bit(true), "Window Artist");
    }
    EXPECT_EQ(window_->lvInput->item(0, 0)->text(), QStringLiteral("Track1"));
}

TEST_F(DiscLookupTest, LookupFalseInTheConfigurationAsksNothing) {
    QSettings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("Brisklane"),
              QStringLiteral("Tonvale"))
        .setValue(QStringLiteral("Configuration/Lookup"), false);
    RunMp3(false);
    EXPECT_TRUE(server_.Requests().empty());
    EXPECT_EQ(window_->DiscLookup().Result(), nullptr);
    EXPECT_NE(Title(1), "Looked Up 1");
}

} // namespace
