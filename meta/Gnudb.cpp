#include "Gnudb.h"

#include <QMap>
#include <QStringList>
#include <QUrlQuery>

namespace meta {

namespace {

constexpr int32_t kLeadIn = 150;

QString Unescape(const QString& value) {
    QString out;
    out.reserve(value.size());
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar c = value[i];
        if (c != QLatin1Char('\\') || i + 1 == value.size()) {
            out += c;
            continue;
        }
        const QChar next = value[++i];
        if (next == QLatin1Char('n'))
            out += QLatin1Char('\n');
        else if (next == QLatin1Char('t'))
            out += QLatin1Char('\t');
        else if (next == QLatin1Char('\\'))
            out += QLatin1Char('\\');
        else
            out += c, out += next; // not an escape of the format: kept as written
    }
    return out;
}

// "Artist / Title" split at the first " / "; no separator: the whole is the title.
void SplitArtistTitle(const QString& text, QString& artist, QString& title) {
    const qsizetype at = text.indexOf(QLatin1String(" / "));
    if (at < 0) {
        artist.clear();
        title = text.trimmed();
        return;
    }
    artist = text.left(at).trimmed();
    title = text.mid(at + 3).trimmed();
}

// The protocol's text answers are UTF-8 at level 6.
QStringList Lines(const QByteArray& answer) {
    QStringList lines = QString::fromUtf8(answer).split(QLatin1Char('\n'));
    for (QString& line : lines)
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
    return lines;
}

int Code(const QString& line) {
    bool ok = false;
    const int code = line.left(3).toInt(&ok);
    return ok && (line.size() == 3 || line[3] == QLatin1Char(' ')) ? code : 0;
}

TCddbMatch MatchOf(const QString& text) {
    const QStringList parts = text.trimmed().split(QLatin1Char(' '));
    TCddbMatch m;
    if (parts.size() >= 2) {
        m.Category = parts[0];
        m.DiscId = parts[1];
        m.Title = parts.mid(2).join(QLatin1Char(' '));
    }
    return m;
}

bool SafeWord(const QString& word) {
    if (word.isEmpty())
        return false;
    for (const QChar c : word)
        if (!c.isLetterOrNumber())
            return false;
    return true;
}

} // namespace

QString CddbQueryCommand(const TMetaToc& toc, uint32_t cddbId) {
    QStringList parts{QStringLiteral("cddb query"),
                      QStringLiteral("%1").arg(cddbId, 8, 16, QLatin1Char('0')),
                      QString::number(toc.Tracks.size())};
    for (const TMetaTocTrack& t : toc.Tracks)
        parts << QString::number(t.Lba + kLeadIn);
    parts << QString::number((toc.LeadOut + kLeadIn) / 75);
    return parts.join(QLatin1Char(' '));
}

QString CddbReadCommand(const QString& category, const QString& discId) {
    return QStringLiteral("cddb read %1 %2").arg(category, discId);
}

bool ValidEmail(const QString& email) {
    const qsizetype at = email.indexOf(QLatin1Char('@'));
    if (at <= 0 || at != email.lastIndexOf(QLatin1Char('@')) || at + 1 == email.size())
        return false;
    for (const QChar c : email)
        if (c.isSpace() || c == QLatin1Char('+') || c == QLatin1Char('&') || c.unicode() < 0x21)
            return false;
    return true;
}

QUrl GnudbUrl(const QString& base, const QString& command, const QString& email,
              const QString& version) {
    const qsizetype at = email.indexOf(QLatin1Char('@'));
    QUrl url(base + QStringLiteral("/~cddb/cddb.cgi"));
    QUrlQuery query;
    // The protocol separates words by "+", which the query leaves as it stands.
    QString cmd = command;
    cmd.replace(QLatin1Char(' '), QLatin1Char('+'));
    query.addQueryItem(QStringLiteral("cmd"), cmd);
    query.addQueryItem(
        QStringLiteral("hello"),
        QStringLiteral("%1+%2+Tonvale+%3").arg(email.left(at), email.mid(at + 1), version));
    query.addQueryItem(QStringLiteral("proto"), QStringLiteral("6"));
    url.setQuery(query);
    return url;
}

bool ParseCddbQuery(const QByteArray& answer, TCddbQuery& query, QString& error) {
    query = {};
    const QStringList lines = Lines(answer);
    const QString first = lines.value(0).trimmed();
    query.Code = Code(first);
    switch (query.Code) {
    case 200:
        query.Matches.push_back(MatchOf(first.mid(4)));
        break;
    case 210:
    case 211:
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QString line = lines[i].trimmed();
            if (line == QLatin1String("."))
                break;
            if (!line.isEmpty())
                query.Matches.push_back(MatchOf(line));
        }
        break;
    case 202:
        return true;
    default:
        error = first.isEmpty() ? QStringLiteral("an empty answer")
                : query.Code == 0
                    ? QStringLiteral("an answer that is not the CDDB protocol")
                    : QStringLiteral("the server answered \"%1\"").arg(first.left(120));
        return false;
    }
    for (const TCddbMatch& m : query.Matches)
        if (!SafeWord(m.Category) || !SafeWord(m.DiscId)) {
            error = QStringLiteral("a match line that is not \"category discid title\"");
            return false;
        }
    if (query.Matches.empty()) {
        error = QStringLiteral("a match list without matches");
        return false;
    }
    return true;
}

bool ParseCddbRead(const QByteArray& answer, const TMetaToc& toc, const QString& category,
                   TDiscMeta& meta, QString& error) {
    const QStringList lines = Lines(answer);
    const QString first = lines.value(0).trimmed();
    if (Code(first) != 210) {
        error = first.isEmpty() ? QStringLiteral("an empty answer")
                                : QStringLiteral("the server answered \"%1\"").arg(first.left(120));
        return false;
    }
    QStringList record;
    for (qsizetype i = 1; i < lines.size() && lines[i] != QLatin1String("."); ++i)
        record << lines[i];
    meta = ParseXmcd(record.join(QLatin1Char('\n')), toc, category);
    return true;
}

TDiscMeta ParseXmcd(const QString& record, const TMetaToc& toc, const QString& category) {
    QMap<QString, QString> keys; // repeated keys joined, in the order given
    for (const QString& line : record.split(QLatin1Char('\n'))) {
        if (line.startsWith(QLatin1Char('#')))
            continue;
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (eq <= 0)
            continue;
        keys[line.left(eq).trimmed().toUpper()] += line.mid(eq + 1);
    }
    TDiscMeta meta;
    meta.Source = QStringLiteral("gnudb");
    SplitArtistTitle(Unescape(keys.value(QStringLiteral("DTITLE"))), meta.Artist, meta.Album);
    if (meta.Artist.isEmpty())
        meta.Artist = meta.Album; // "DTITLE=Name" alone: artist and title are the same
    const QString year = Unescape(keys.value(QStringLiteral("DYEAR"))).trimmed();
    if (year.size() == 4 && year.toInt() > 0)
        meta.Date = year;
    meta.Genre = Unescape(keys.value(QStringLiteral("DGENRE"))).trimmed();
    if (meta.Genre.isEmpty() && !category.isEmpty() && category != QLatin1String("misc") &&
        category != QLatin1String("data"))
        meta.Genre = category.left(1).toUpper() + category.mid(1);

    // A sampler writes "Artist / Title" in every track title.
    const bool sampler = meta.Artist.startsWith(QLatin1String("Various"), Qt::CaseInsensitive);
    for (size_t i = 0; i < toc.Tracks.size(); ++i) {
        if (!toc.Tracks[i].Audio)
            continue;
        TTrackMeta track;
        track.Number = toc.Tracks[i].Number;
        const QString title = Unescape(keys.value(QStringLiteral("TTITLE%1").arg(i))).trimmed();
        if (sampler)
            SplitArtistTitle(title, track.Artist, track.Title);
        else
            track.Title = title;
        if (track.Artist.isEmpty())
            track.Artist = meta.Artist;
        meta.Tracks.push_back(track);
    }
    return meta;
}

} // namespace meta
