// What the rip command reads from its arguments and how it names its files:
// the track selection ("1,3-5"), the file-name template ("%A - %d/%D%t - %n") and
// the characters a name taken from the disc may not bring into a file name.
//
// Pure functions, any thread.
#pragma once

#include <QString>
#include <QStringList>

#include <set>

namespace rip {

inline const QString kDefaultTemplate = QStringLiteral("%A - %d/%D%t - %n");

// "1,3-5" -> {1, 3, 4, 5}. Empty text: an empty set (every audio track). False
// with a reason for anything else than numbers 1..99 and ranges.
bool ParseTrackSelection(const QString& text, std::set<int>& tracks, QString& error);

// What a template can say about one track. Empty texts stand for what the disc
// does not tell.
struct TNameFields {
    QString AlbumPerformer; // %A
    QString AlbumTitle;     // %d
    QString TrackPerformer; // %a (the album performer when the track has none)
    QString TrackTitle;     // %n
    int Number = 0;         // %t, two digits
    QString Year;           // %y
    QString Genre;          // %g
    QString DiscPrefix;     // %D: "2-" on the second disc of a release of several, else ""
};

// False with a reason when the template uses a field it does not know, ends in
// a lone "%", or names no file.
bool CheckTemplate(const QString& tmpl, QString& error);

// The template filled in for one track: a path relative to the output folder,
// without extension, "/" separating folders. Missing texts become "Unknown"
// (%A, %d, %a, %y, %g) and "TrackN" (%n); every filled-in text is made safe by
// SafeNameText, and the template's own text by the same rules (but for "/"), so
// that no name holds a control character (a line break) or a quote; path parts
// "." and ".." become "_", empty parts are dropped, and each part is cut to fit a
// file name with its extension and a temporary suffix.
QString ExpandTemplate(const QString& tmpl, const TNameFields& fields, const QString& extension);

// What to say when the template gives two tracks one file name: add %t, or, when %t is
// there but was cut off with a long name part, put it before the titles.
QString NameCollisionText(const QString& tmpl, const QString& fileName);

// A text from the disc made fit for one part of a file name: "/" and the
// characters other systems refuse (\ : * ? " < > |) become "_", control
// characters (C0, DEL, C1) are dropped, blanks at both ends are trimmed.
QString SafeNameText(const QString& text);

// The longest file name part (in bytes) the rip command writes: room is kept
// for the hidden temporary name its outputs are written under.
inline constexpr int kMaxNameBytes = 240;

} // namespace rip
