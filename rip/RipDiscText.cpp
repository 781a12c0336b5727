#include "RipDiscText.h"

#include "FileNames.h"
#include "RipChecksums.h"
#include "Vantrell.h"

#include <cdio/cdio.h>
#include <cdio/cdtext.h>
#include <cdio/disc.h>
#include <cdio/track.h>

#include <QFile>
#include <QStringDecoder>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace rip {

struct TDiscReader::TImpl {
    CdIo_t* Cdio = nullptr;
    bool Image = false;
    QByteArray Path;
    ~TImpl() {
        if (Cdio)
            cdio_destroy(Cdio);
    }
};

TDiscReader::TDiscReader() : Impl_(std::make_unique<TImpl>()) {}
TDiscReader::~TDiscReader() = default;

namespace {

struct TFreeText {
    void operator()(char* p) const { std::free(p); }
};

} // namespace

QString ImageText(const char* decoded) {
    if (!decoded)
        return {};
    QByteArray original; // one byte per code point of libcdio's ISO 8859-1 reading
    const auto* p = reinterpret_cast<const unsigned char*>(decoded);
    for (; *p; ++p) {
        if (*p < 0x80) {
            original += static_cast<char>(*p);
        } else if ((*p == 0xC2 || *p == 0xC3) && (p[1] & 0xC0) == 0x80) {
            original += static_cast<char>(((*p & 0x03) << 6) | (p[1] & 0x3F));
            ++p;
        } else {
            return QString::fromUtf8(decoded); // not an ISO 8859-1 reading
        }
    }
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = utf8.decode(original);
    return utf8.hasError() ? QString::fromUtf8(decoded) : text;
}

QString DiscText(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u < 0x20 || (u >= 0x7F && u <= 0x9F))
            continue;
        out += c;
    }
    return out.trimmed();
}

namespace {

bool AllOf(const QString& text, bool (*fits)(char16_t)) {
    return std::all_of(text.begin(), text.end(), [fits](QChar c) { return fits(c.unicode()); });
}

bool IsDigit(char16_t c) {
    return c >= u'0' && c <= u'9';
}

bool IsLetterOrDigit(char16_t c) {
    return IsDigit(c) || (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}

} // namespace

QString ValidIsrc(const QString& text) {
    const QString isrc = text.trimmed().toUpper();
    return isrc.size() == 12 && AllOf(isrc, IsLetterOrDigit) ? isrc : QString();
}

QString ValidMcn(const QString& text) {
    const QString mcn = text.trimmed();
    const bool zeros = mcn.count(QLatin1Char('0')) == mcn.size();
    return mcn.size() == 13 && AllOf(mcn, IsDigit) && !zeros ? mcn : QString();
}

void TDiscReader::Close() {
    if (Impl_->Cdio)
        cdio_destroy(Impl_->Cdio);
    Impl_->Cdio = nullptr;
}

bool TDiscReader::Open(const QString& path) {
    Close();
    if (path.isEmpty()) // libcdio would open the machine's default drive
        return false;
    const QByteArray bytes = FileNameBytes(path);
    Impl_->Cdio = cdio_open(bytes.constData(), DRIVER_UNKNOWN);
    Impl_->Path = bytes;
    if (!Impl_->Cdio)
        return false;
    const char* driver = cdio_get_driver_name(Impl_->Cdio);
    Impl_->Image =
        driver && (std::strcmp(driver, "BIN/CUE") == 0 || std::strcmp(driver, "CDRDAO") == 0 ||
                   std::strcmp(driver, "NRG") == 0);
    return true;
}

TDiscText TDiscReader::ReadText(int firstTrack, int lastTrack) const {
    TDiscText text;
    CdIo_t* cdio = Impl_->Cdio;
    if (!cdio)
        return text;
    const bool image = Impl_->Image;
    auto decode = [image](const char* value) {
        return image ? ImageText(value) : QString::fromUtf8(value ? value : "");
    };
    cdtext_t* cdtext = cdio_get_cdtext(cdio);
    auto field = [&](cdtext_field_t key, int track) {
        return cdtext ? DiscText(decode(cdtext_get_const(cdtext, key, static_cast<track_t>(track))))
                      : QString();
    };
    text.AlbumTitle = field(CDTEXT_FIELD_TITLE, 0);
    text.AlbumPerformer = field(CDTEXT_FIELD_PERFORMER, 0);
    if (std::unique_ptr<char, TFreeText> mcn{cdio_get_mcn(cdio)})
        text.Mcn = ValidMcn(QString::fromLatin1(mcn.get()));
    if (text.Mcn.isEmpty())
        text.Mcn = ValidMcn(field(CDTEXT_FIELD_UPC_EAN, 0));
    for (int n = firstTrack; n <= lastTrack; ++n) {
        TCdTextTrack& t = text.Tracks[n];
        t.Title = field(CDTEXT_FIELD_TITLE, n);
        t.Performer = field(CDTEXT_FIELD_PERFORMER, n);
        t.Songwriter = field(CDTEXT_FIELD_SONGWRITER, n);
        t.Composer = field(CDTEXT_FIELD_COMPOSER, n);
        if (std::unique_ptr<char, TFreeText> isrc{
                cdio_get_track_isrc(cdio, static_cast<track_t>(n))})
            t.Isrc = ValidIsrc(QString::fromLatin1(isrc.get()));
        if (t.Isrc.isEmpty())
            t.Isrc = ValidIsrc(field(CDTEXT_FIELD_ISRC, n));
        // libcdio's INDEX 00 of an image; of a drive, what its driver reads of the Q
        // sub-channel.
        const auto track = static_cast<track_t>(n);
        const lsn_t pregap = cdio_get_track_pregap_lsn(cdio, track);
        const lsn_t start = cdio_get_track_lsn(cdio, track);
        if (pregap != CDIO_INVALID_LSN && start != CDIO_INVALID_LSN && pregap < start)
            t.Index00 = pregap;
        t.PreEmphasis = cdio_get_track_preemphasis(cdio, track) == CDIO_TRACK_FLAG_TRUE;
    }
    // libcdio passes over a CUE sheet's PREGAP (silence the image does not hold).
    const char* driver = cdio_get_driver_name(cdio);
    QFile cue(FileNameFromBytes(Impl_->Path));
    if (driver && std::strcmp(driver, "BIN/CUE") == 0 && cue.size() < (1 << 20) &&
        cue.open(QIODevice::ReadOnly))
        for (const auto& [n, sectors] : CuePregaps(cue.readAll()))
            if (text.Tracks.count(n) > 0)
                text.Tracks[n].PregapSilence = sectors;
    return text;
}

bool TDiscReader::IsImage() const {
    return Impl_->Image;
}

QString ReadDrivePregaps(const QString& devicePath, TDiscText& text) {
    char why[VANTRELL_EXCEPTION_TEXT_SIZE] = {};
    auto note = [&why] {
        QString reason = QString::fromUtf8(why);
        if (!reason.isEmpty())
            reason[0] = reason[0].toLower();
        return QStringLiteral("Pregaps unknown: %1").arg(reason);
    };
    VantrellObject* object = nullptr;
    const QByteArray name = "dev:" + FileNameBytes(devicePath);
    if (Vantrell_CdvdBurnerGrabber_CreateEx(&object, why, sizeof why, nullptr, nullptr, nullptr,
                                            nullptr, name.constData(), 0) != 0)
        return note();
    auto indexes = std::make_unique<VantrellIndexRecord>();
    const uint8_t rc = Vantrell_CdvdBurnerGrabber_GetTrackIndexes(object, why, sizeof why, nullptr,
                                                                  nullptr, indexes.get());
    Vantrell_Destroy(&object);
    if (rc != 0)
        return note();
    QStringList unknown;
    for (int i = 0; i < indexes->EntryCount; ++i) {
        const VantrellTrackIndexes& x = indexes->Entries[i];
        if (!x.AudioTrack)
            continue;
        if (x.Index00Lba < 0) {
            unknown << QString::number(x.TrackNumber);
            continue;
        }
        text.Tracks[x.TrackNumber].Index00 = x.Index00Lba < x.Index01Lba ? x.Index00Lba : -1;
    }
    if (unknown.isEmpty())
        return {};
    return QStringLiteral("Pregaps unknown for track%1 %2: the drive's Q sub-channel did not "
                          "settle them")
        .arg(unknown.size() > 1 ? QStringLiteral("s") : QString(),
             unknown.join(QStringLiteral(", ")));
}

std::map<int, int32_t> CuePregaps(const QByteArray& cue) {
    std::map<int, int32_t> pregaps;
    int track = 0;
    for (const QByteArray& raw : cue.split('\n')) {
        const QList<QByteArray> words = raw.simplified().split(' ');
        if (words.size() < 2)
            continue;
        const QByteArray word = words[0].toUpper();
        if (word == "TRACK") {
            track = words[1].toInt();
        } else if (word == "PREGAP" && track > 0) {
            const QList<QByteArray> msf = words[1].split(':');
            bool ok[3] = {false, false, false};
            if (msf.size() != 3)
                continue;
            const int m = msf[0].toInt(&ok[0]), s = msf[1].toInt(&ok[1]), f = msf[2].toInt(&ok[2]);
            if (ok[0] && ok[1] && ok[2] && m >= 0 && m < 100 && s >= 0 && s < 60 && f >= 0 &&
                f < 75)
                pregaps[track] = (m * 60 + s) * 75 + f;
        }
    }
    return pregaps;
}

} // namespace rip
