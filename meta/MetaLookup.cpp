#include "MetaLookup.h"

#include "Ctdb.h"
#include "Gnudb.h"
#include "MetaJson.h"
#include "MusicBrainz.h"

#include <chrono>
#include <mutex>

namespace meta {

namespace {

const char* const kMusicBrainz = "https://musicbrainz.org";
const char* const kCoverArt = "https://coverartarchive.org";
const char* const kGnudb = "https://gnudb.gnudb.org";
constexpr int kRetries503 = 2;

// MusicBrainz allows one request a second from a client: the whole process keeps to it.
std::mutex RateLock;
std::chrono::steady_clock::time_point LastMusicBrainz; // guarded by RateLock

bool WaitForMusicBrainz(TMetaHttp& http) {
    std::lock_guard lock(RateLock);
    const auto now = std::chrono::steady_clock::now();
    const auto due =
        LastMusicBrainz + std::chrono::milliseconds(http.Limits().MusicBrainzIntervalMs);
    if (LastMusicBrainz.time_since_epoch().count() != 0 && due > now &&
        !http.Wait(static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(due - now).count() + 1)))
        return false;
    LastMusicBrainz = std::chrono::steady_clock::now();
    return true;
}

// A MusicBrainz request: the rate kept, a 503 asked again after a second, twice at most.
THttpAnswer AskMusicBrainz(TMetaHttp& http, const QUrl& url, const QString& key) {
    THttpAnswer answer;
    for (int attempt = 0; attempt <= kRetries503; ++attempt) {
        if (attempt > 0 && !http.Wait(http.Limits().RetryDelayMs))
            break;
        if (!WaitForMusicBrainz(http)) {
            answer = {};
            answer.Kind = THttpAnswer::akTimedOut;
            answer.LimitMs = http.Limits().LookupMs;
            return answer;
        }
        answer = http.Get(url, key);
        if (answer.Kind != THttpAnswer::akHttp || answer.Status != 503)
            break;
    }
    return answer;
}

QString PathKey(const char* service, const QUrl& url) {
    return QLatin1String(service) + QLatin1Char(' ') + url.path() + QLatin1Char('?') +
           url.query(QUrl::FullyEncoded);
}

// The file's tracks without numbers take the disc's audio tracks in order.
void NumberTracks(TDiscMeta& meta, const TMetaToc& toc) {
    std::vector<int> numbers;
    for (const TMetaTocTrack& t : toc.Tracks)
        if (t.Audio)
            numbers.push_back(t.Number);
    size_t next = 0;
    for (TTrackMeta& t : meta.Tracks) {
        if (t.Number == 0)
            t.Number = next < numbers.size() ? numbers[next] : 0;
        for (size_t i = 0; i < numbers.size(); ++i)
            if (numbers[i] == t.Number)
                next = i + 1;
    }
    std::erase_if(meta.Tracks, [](const TTrackMeta& t) { return t.Number == 0; });
}

class TLookup {
public:
    explicit TLookup(const TLookupRequest& r)
        : R_(r),
          Http_(r.Limits,
                QStringLiteral("Tonvale/%1 ( http://www.brisklane.com/tonvale/ )").arg(r.Version),
                TMetaCache(r.CacheFolder), r.Offline) {}

    TLookupResult Run() {
        FromFile();
        FromMusicBrainz();
        FromCtdb();
        FromGnudb();
        Merge();
        FetchCover();
        return std::move(Result_);
    }

private:
    void Note(const QString& text, bool names = true) { Failed_.push_back({text, names}); }

    void FromFile() {
        if (R_.MetadataFile.isEmpty())
            return;
        QString error;
        if (!ReadMetadataFile(R_.MetadataFile, File_, error)) {
            Note(QStringLiteral("metadata file: ") + error);
            File_ = {};
            return;
        }
        NumberTracks(File_, R_.Toc);
    }

    void FromMusicBrainz() {
        const QString base = ServiceBase("TONVALE_MUSICBRAINZ_URL", kMusicBrainz);
        QString error;
        if (!R_.ReleaseId.isEmpty() && !ValidMbid(R_.ReleaseId)) {
            Note(QStringLiteral("MusicBrainz: \"%1\" is not a release id").arg(R_.ReleaseId));
        } else if (!R_.ReleaseId.isEmpty()) {
            const QUrl url = ReleaseUrl(base, R_.ReleaseId);
            const THttpAnswer a = AskMusicBrainz(Http_, url, PathKey("musicbrainz", url));
            TCandidate c;
            if (a.Kind == THttpAnswer::akHttp && a.Status == 404)
                Note(QStringLiteral("MusicBrainz: release %1 not found").arg(R_.ReleaseId));
            else if (!a.Ok())
                Note(QStringLiteral("MusicBrainz: ") + a.Describe());
            else if (!ParseReleaseAnswer(a.Body, R_.MusicBrainzDiscId, R_.Toc, c, error))
                Note(QStringLiteral("MusicBrainz: ") + error);
            else
                Result_.Candidates.push_back(std::move(c));
        } else {
            const QUrl url = DiscIdUrl(base, R_.MusicBrainzDiscId, R_.Toc);
            const THttpAnswer a = AskMusicBrainz(Http_, url, PathKey("musicbrainz", url));
            std::vector<TCandidate> found;
            if (a.Kind == THttpAnswer::akHttp && a.Status == 404)
                Note(QStringLiteral("MusicBrainz: disc not found"));
            else if (!a.Ok())
                Note(QStringLiteral("MusicBrainz: ") + a.Describe());
            else if (!ParseDiscIdAnswer(a.Body, R_.MusicBrainzDiscId, R_.Toc, found, error))
                Note(QStringLiteral("MusicBrainz: ") + error);
            else if (found.empty())
                Note(QStringLiteral("MusicBrainz: disc not found"));
            for (TCandidate& c : found)
                Result_.Candidates.push_back(std::move(c));
        }
        const int best = ChooseCandidate(Result_.Candidates, R_.CdText.Album);
        if (best >= 0) {
            Result_.Chosen = best;
            MusicBrainz_ = Result_.Candidates[static_cast<size_t>(best)].Meta;
        }
    }

    // The CTDB's metadata (its own sources' names) when the file and MusicBrainz gave none.
    // Offline, or once the lookup's time has run out (MusicBrainz said so), it is not asked.
    void FromCtdb() {
        if (!File_.Empty() || !MusicBrainz_.Empty() || R_.Offline || Http_.RemainingMs() <= 0)
            return;
        QString note;
        if (!LookUpCtdbMetadata(Http_, R_.Toc, Ctdb_, note)) {
            if (!note.isEmpty())
                Note(note);
            return;
        }
        Result_.Candidates.push_back({Ctdb_, mrToc, static_cast<int>(Ctdb_.Tracks.size())});
        if (Result_.Chosen < 0)
            Result_.Chosen = static_cast<int>(Result_.Candidates.size()) - 1;
    }

    void FromGnudb() {
        if (R_.GnudbEmail.isEmpty())
            return;
        const QString base = ServiceBase("TONVALE_GNUDB_URL", kGnudb);
        const QUrl queryUrl =
            GnudbUrl(base, CddbQueryCommand(R_.Toc, R_.CddbId), R_.GnudbEmail, R_.Version);
        auto keep = [](const THttpAnswer& a) {
            // Answers of the protocol, not its errors (a refused handshake, a busy server).
            const QByteArray code = a.Body.left(3);
            return a.Ok() && (code == "200" || code == "210" || code == "211" || code == "202");
        };
        const THttpAnswer a = Http_.Get(
            queryUrl, PathKey("gnudb", GnudbUrl({}, CddbQueryCommand(R_.Toc, R_.CddbId), {}, {})),
            keep);
        TCddbQuery query;
        QString error;
        if (!a.Ok()) {
            Note(QStringLiteral("gnudb: ") + a.Describe());
            return;
        }
        if (!ParseCddbQuery(a.Body, query, error)) {
            Note(QStringLiteral("gnudb: ") + error);
            return;
        }
        if (query.Code == 202) {
            Note(QStringLiteral("gnudb: no match"), false);
            return;
        }
        // A close match only when nothing better answered.
        if (!query.Exact() && (!File_.Empty() || !MusicBrainz_.Empty() || !Ctdb_.Empty()))
            return;
        const TCddbMatch& match = query.Matches.front();
        const QString read = CddbReadCommand(match.Category, match.DiscId);
        const THttpAnswer r = Http_.Get(GnudbUrl(base, read, R_.GnudbEmail, R_.Version),
                                        PathKey("gnudb", GnudbUrl({}, read, {}, {})), keep);
        TDiscMeta meta;
        if (!r.Ok()) {
            Note(QStringLiteral("gnudb: ") + r.Describe());
            return;
        }
        if (!ParseCddbRead(r.Body, R_.Toc, match.Category, meta, error)) {
            Note(QStringLiteral("gnudb: ") + error);
            return;
        }
        TCandidate c;
        c.Meta = meta;
        c.Rank = query.Exact() ? mrExact : mrInexact;
        c.TrackCount = static_cast<int>(meta.Tracks.size());
        Result_.Candidates.push_back(c);
        if (Result_.Chosen < 0)
            Result_.Chosen = static_cast<int>(Result_.Candidates.size()) - 1;
        Gnudb_ = std::move(meta);
    }

    void Merge() {
        TDiscMeta& m = Result_.Meta;
        TDiscMeta text = R_.CdText;
        text.Source = QStringLiteral("CD-Text");
        for (const TDiscMeta* source : {&File_, &MusicBrainz_, &Ctdb_, &Gnudb_, &text})
            if (!source->Empty()) {
                if (m.Source.isEmpty())
                    m.Source = source->Source;
                FillMissing(m, *source);
            }
        TDiscMeta fallback;
        if (R_.Placeholders)
            fallback.Album = fallback.Artist = QStringLiteral("Unknown");
        for (const TMetaTocTrack& t : R_.Toc.Tracks)
            if (t.Audio)
                fallback.Tracks.push_back({t.Number, R_.Placeholders
                                                         ? QStringLiteral("Track%1").arg(t.Number)
                                                         : QString()});
        if (m.Source.isEmpty())
            m.Source = QStringLiteral("none");
        FillMissing(m, fallback);
        if (m.DiscId.isEmpty())
            m.DiscId = R_.MusicBrainzDiscId;
        const QString used = m.Source == QLatin1String("none")
                                 ? QStringLiteral("no names found")
                                 : QStringLiteral("names from %1").arg(m.Source);
        for (const auto& [text, names] : Failed_)
            Result_.Notes << (names ? text + QStringLiteral("; ") + used : text);
    }

    void FetchCover() {
        const QString id = Result_.Meta.ReleaseId;
        if (!R_.Cover || id.isEmpty() || !ValidMbid(id))
            return;
        const QUrl url = CoverUrl(ServiceBase("TONVALE_COVERART_URL", kCoverArt), id);
        const THttpAnswer a = Http_.Get(url, PathKey("coverart", url));
        if (a.Kind == THttpAnswer::akHttp && a.Status == 404)
            return; // the release has no front cover
        if (!a.Ok()) {
            Result_.Notes << QStringLiteral("Cover Art Archive: %1; no cover").arg(a.Describe());
            return;
        }
        if (a.Body.startsWith("\xFF\xD8\xFF"))
            Result_.CoverMime = QStringLiteral("image/jpeg");
        else if (a.Body.startsWith("\x89PNG\r\n\x1A\n"))
            Result_.CoverMime = QStringLiteral("image/png");
        else {
            Result_.Notes << QStringLiteral("Cover Art Archive: the answer is not a JPEG or "
                                            "PNG picture; no cover");
            return;
        }
        Result_.Cover = a.Body;
    }

    const TLookupRequest& R_;
    TMetaHttp Http_;
    TDiscMeta File_, MusicBrainz_, Ctdb_, Gnudb_;
    std::vector<std::pair<QString, bool>> Failed_; // a note, and whether names were missed
    TLookupResult Result_;
};

void Fill(QString& target, const QString& from) {
    if (target.isEmpty())
        target = from;
}

} // namespace

void FillMissing(TDiscMeta& t, const TDiscMeta& f) {
    for (auto field :
         {&TDiscMeta::Album, &TDiscMeta::Artist, &TDiscMeta::Date, &TDiscMeta::Genre,
          &TDiscMeta::Label, &TDiscMeta::CatalogNumber, &TDiscMeta::Barcode, &TDiscMeta::ReleaseId,
          &TDiscMeta::ReleaseGroupId, &TDiscMeta::AlbumArtistId, &TDiscMeta::DiscId})
        Fill(t.*field, f.*field);
    if (t.DiscNumber == 0 && f.DiscNumber > 0) {
        t.DiscNumber = f.DiscNumber;
        t.DiscTotal = f.DiscTotal;
    }
    for (const TTrackMeta& ft : f.Tracks) {
        TTrackMeta* tt = t.Track(ft.Number);
        if (!tt) {
            t.Tracks.push_back(ft);
            continue;
        }
        for (auto field : {&TTrackMeta::Title, &TTrackMeta::Artist, &TTrackMeta::Isrc,
                           &TTrackMeta::Songwriter, &TTrackMeta::Composer, &TTrackMeta::RecordingId,
                           &TTrackMeta::ReleaseTrackId, &TTrackMeta::ArtistId})
            Fill(tt->*field, ft.*field);
    }
    std::sort(t.Tracks.begin(), t.Tracks.end(),
              [](const TTrackMeta& a, const TTrackMeta& b) { return a.Number < b.Number; });
}

TLookupResult LookupDisc(const TLookupRequest& request) {
    return TLookup(request).Run();
}

} // namespace meta
