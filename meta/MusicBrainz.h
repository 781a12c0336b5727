// MusicBrainz web service v2: the addresses the lookup asks and the parsers of its JSON
// answers (a disc id lookup: releases, a TOC match or a CD stub; a release by its id),
// and the rule that picks one candidate among several.
//
// Pure functions on plain values, any thread; the requests themselves are MetaLookup's.
#pragma once

#include "MetaTypes.h"

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <vector>

namespace meta {

// "first+last+leadout+offset1+...": sectors counted from the disc's start (+150); the
// lead-out of an enhanced CD is the data track's start less the session gap.
QString MusicBrainzToc(const TMetaToc& toc);
// {base}/ws/2/discid/{discId}?toc=...&inc=...&fmt=json
QUrl DiscIdUrl(const QString& base, const QString& discId, const TMetaToc& toc);
// {base}/ws/2/release/{mbid}?inc=...&fmt=json
QUrl ReleaseUrl(const QString& base, const QString& releaseId);
// {base}/release/{mbid}/front-500 at the cover archive.
QUrl CoverUrl(const QString& base, const QString& releaseId);
// A release id as MusicBrainz writes them (36 characters, lower-case hex and dashes).
bool ValidMbid(const QString& text);

// The candidates of a disc id answer: each release (the medium of the disc chosen in
// it), or the CD stub. False with a reason when the answer is not such JSON.
bool ParseDiscIdAnswer(const QByteArray& json, const QString& discId, const TMetaToc& toc,
                       std::vector<TCandidate>& candidates, QString& error);
// The candidate of a release answer (rank mrChosen): the medium carrying the disc id, else
// the first with as many tracks as the disc's audio tracks, else the first.
bool ParseReleaseAnswer(const QByteArray& json, const QString& discId, const TMetaToc& toc,
                        TCandidate& candidate, QString& error);

// The best candidate: the lowest rank; among equals the one whose album is the CD-Text
// album title (letter case aside), then the earliest date (a release without a date
// last), then the first. -1 when there is none.
int ChooseCandidate(const std::vector<TCandidate>& candidates, const QString& cdTextAlbum);

} // namespace meta
