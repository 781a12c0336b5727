// The disc's metadata as the lookup finds it and the tags writer writes it: the album
// (title, artist, date, genre, label, catalogue number, barcode, disc N of M, the
// MusicBrainz ids) and its tracks (title, artist, ISRC, ids); the table of contents
// the lookup starts from; the candidates each source offered and the lookup's result.
//
// Plain values, any thread. The metadata library knows nothing of the drive or the
// rip: the rip's disc ids and its callers use its TMetaToc.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <vector>

namespace meta {

// The sectors between the sessions of a multi-session disc (an enhanced CD).
inline constexpr int32_t kSessionGap = 11400;

// The disc's table of contents: the tracks in disc order (data tracks included) and the
// lead-out, sectors counted from 0 (without the two seconds before it).
struct TMetaTocTrack {
    int Number = 0;
    int32_t Lba = 0;
    bool Audio = true;
};

struct TMetaToc {
    std::vector<TMetaTocTrack> Tracks;
    int32_t LeadOut = 0;

    int FirstAudio() const;
    int LastAudio() const;
    int AudioCount() const;
    std::vector<int> AudioNumbers() const; // of the audio tracks, in disc order
    // The end of the audio: the lead-out, or on an enhanced CD (a data track after the
    // last audio track) the data track's start less the 11400 sectors between sessions.
    int32_t AudioLeadOut() const;
};

struct TTrackMeta {
    int Number = 0; // the track's number on the disc
    QString Title, Artist, Isrc;
    QString RecordingId;          // MUSICBRAINZ_TRACKID
    QString ReleaseTrackId;       // MUSICBRAINZ_RELEASETRACKID
    QString ArtistId;             // MUSICBRAINZ_ARTISTID (the first credited artist)
    QString Songwriter, Composer; // the disc's CD-Text names them; the databases here do not
};

struct TDiscMeta {
    QString Source; // "file", "MusicBrainz", "gnudb", "CD-Text", "none": who gave the names
    QString Album, Artist, Date, Genre, Label, CatalogNumber, Barcode;
    int DiscNumber = 0, DiscTotal = 0; // 0: not known
    QString ReleaseId, ReleaseGroupId, AlbumArtistId, DiscId;
    std::vector<TTrackMeta> Tracks; // the disc's audio tracks in order

    // The year of Date ("1997-03-01" -> "1997"), or empty.
    QString Year() const;
    // What names put before a track of a release of several discs: "2-" on its second
    // disc; empty for a single disc or when the discs are not known.
    QString DiscPrefix() const;
    // The track with this number, or null.
    const TTrackMeta* Track(int number) const;
    TTrackMeta* Track(int number);
    // No album, no artist and no track title.
    bool Empty() const;
};

// How well a candidate fits the disc: a lower rank is the better match.
enum TMatchRank : int {
    mrChosen = 0,  // the user chose the release (--release)
    mrDiscId = 1,  // the release's medium carries the disc id
    mrToc = 2,     // found by the table of contents only
    mrStub = 3,    // a CD stub (names entered for a disc id, no release)
    mrExact = 4,   // gnudb: an exact match (200, 210)
    mrInexact = 5, // gnudb: a close match (211)
};

struct TCandidate {
    TDiscMeta Meta;
    TMatchRank Rank = mrDiscId;
    int TrackCount = 0; // the tracks of the medium (or record)
};

struct TLookupResult {
    TDiscMeta Meta;                     // the merged result: never empty of track names
    std::vector<TCandidate> Candidates; // every candidate of every source that answered
    int Chosen = -1;                    // index into Candidates of the one used, or -1
    QStringList Notes;                  // one line each: what went wrong, what was used
    QByteArray Cover;                   // the front cover's bytes (JPEG/PNG), or empty
    QString CoverMime;
};

} // namespace meta
