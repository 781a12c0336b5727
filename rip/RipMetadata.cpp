#include "RipMetadata.h"

#include "FileNames.h"

#include <QByteArray>

namespace rip {
namespace {

// The text's value where it has one, else what was there.
void Take(QString& target, const QString& value) {
    if (!value.isEmpty())
        target = value;
}

// The releases the lookup did not choose, so that the user can choose another.
QStringList OtherReleases(const meta::TLookupResult& result) {
    QStringList lines;
    for (size_t i = 0; i < result.Candidates.size(); ++i) {
        const meta::TDiscMeta& m = result.Candidates[i].Meta;
        if (static_cast<int>(i) == result.Chosen || m.ReleaseId.isEmpty())
            continue;
        lines << QStringLiteral("%1: also release %2: %3 - %4%5; --release %2 uses it")
                     .arg(m.Source, m.ReleaseId, m.Artist, m.Album,
                          m.Date.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(m.Date));
    }
    return lines;
}

} // namespace

meta::TDiscMeta CdTextMeta(const TDiscText& text, const TDiscToc& toc) {
    meta::TDiscMeta m;
    m.Album = text.AlbumTitle;
    m.Artist = text.AlbumPerformer;
    m.Barcode = text.Mcn;
    for (const TTocTrack& track : toc.Tracks) {
        const auto it = text.Tracks.find(track.Number);
        if (!track.Audio || it == text.Tracks.end())
            continue;
        meta::TTrackMeta& t = m.Tracks.emplace_back();
        t.Number = track.Number;
        t.Title = it->second.Title;
        t.Artist = it->second.Performer;
        t.Isrc = it->second.Isrc;
        t.Songwriter = it->second.Songwriter;
        t.Composer = it->second.Composer;
    }
    return m;
}

meta::TLookupRequest DiscLookupRequest(const TRipReport& report, const TDiscText& text,
                                       const TRipLookup& lookup) {
    meta::TLookupRequest request;
    request.Toc = report.Toc;
    request.MusicBrainzDiscId = report.Ids.MusicBrainz;
    request.CddbId = report.Ids.Cddb;
    request.CdText = CdTextMeta(text, report.Toc);
    request.MetadataFile = lookup.MetadataFile;
    request.ReleaseId = lookup.ReleaseId;
    request.GnudbEmail = lookup.GnudbEmail;
    request.Offline = lookup.Offline;
    request.Cover = lookup.Cover;
    request.CacheFolder = lookup.CacheFolder;
    return request;
}

void LookUpNames(const TRipSettings& settings, const TDiscText& text,
                 const std::shared_ptr<meta::TCancel>& cancel, TRipReport& report,
                 TRipObserver& observer) {
    meta::TLookupRequest request = DiscLookupRequest(report, text, settings.Lookup);
    request.Placeholders = false; // the template names what nobody named
    request.Limits.Cancel = cancel;
    meta::TLookupResult result = meta::LookupDisc(request);

    report.LookupNotes = result.Notes + OtherReleases(result);
    for (const QString& note : report.LookupNotes)
        observer.Note(note);
    report.Meta = std::move(result.Meta);
    report.Cover = std::move(result.Cover);
    report.CoverMime = result.CoverMime;
    const meta::TDiscMeta& m = report.Meta;
    Take(report.AlbumTitle, m.Album);
    Take(report.AlbumPerformer, m.Artist);
    for (TTrackResult& t : report.Tracks)
        if (const meta::TTrackMeta* found = m.Track(t.Number)) {
            Take(t.Title, found->Title);
            Take(t.Performer, found->Artist);
            Take(t.Isrc, found->Isrc);
        }
    // The disc's own codes (sub-channel, CUE sheet) stand in the tags where the names
    // found say nothing of them.
    meta::TDiscMeta& tags = report.Meta;
    if (tags.Barcode.isEmpty())
        tags.Barcode = report.Mcn;
    for (meta::TTrackMeta& track : tags.Tracks)
        for (const TTrackResult& t : report.Tracks)
            if (t.Number == track.Number && track.Isrc.isEmpty())
                track.Isrc = t.Isrc;
    TrackArtistsFromAlbum(report.Meta);
}

void TrackArtistsFromAlbum(meta::TDiscMeta& disc) {
    for (meta::TTrackMeta& t : disc.Tracks)
        if (t.Artist.isEmpty())
            t.Artist = disc.Artist;
}

std::shared_ptr<const TDiscTagging> DiscTagging(const TRipReport& report, TRipFormat format) {
    const meta::TTagKind kind = meta::TagKindForSuffix(FormatExtension(format).mid(1));
    if (kind == meta::TTagKind::None)
        return nullptr;
    auto tagging = std::make_shared<TDiscTagging>();
    tagging->Meta = report.Meta;
    tagging->Cover = {report.Cover, report.CoverMime};
    tagging->Kind = kind;
    return tagging;
}

bool TagTrackFile(const meta::TDiscMeta& disc, const meta::TCover& cover, meta::TTagKind kind,
                  int number, const std::string& path, std::string& error,
                  const meta::TReplayGain& gain, const QString& cueSheet) {
    QString text;
    if (meta::WriteTags(FileNameFromBytes(QByteArray::fromStdString(path)), kind, disc, number,
                        cover, text, gain, cueSheet))
        return true;
    error = "the tags could not be written";
    return false;
}

} // namespace rip
