#include "RipNames.h"

#include "FileNames.h"

namespace rip {

bool ParseTrackSelection(const QString& text, std::set<int>& tracks, QString& error) {
    tracks.clear();
    if (text.trimmed().isEmpty())
        return true;
    auto number = [&](const QString& part, int& value) {
        bool ok = false;
        value = part.trimmed().toInt(&ok);
        if (!ok || value < 1 || value > 99) {
            error = QStringLiteral("'%1' is not a track number from 1 to 99").arg(part.trimmed());
            return false;
        }
        return true;
    };
    for (const QString& item : text.split(QLatin1Char(','))) {
        const QString entry = item.trimmed();
        if (entry.isEmpty()) {
            error = QStringLiteral("'%1' has an empty entry; list tracks as in 1,3-5")
                        .arg(text.trimmed());
            return false;
        }
        const qsizetype dash = entry.indexOf(QLatin1Char('-'));
        int from = 0, to = 0;
        if (dash < 0) {
            if (!number(entry, from))
                return false;
            to = from;
        } else if (entry.left(dash).trimmed().isEmpty() ||
                   entry.mid(dash + 1).trimmed().isEmpty()) {
            error = QStringLiteral("the range '%1' needs a first and a last track, as in 3-5")
                        .arg(entry);
            return false;
        } else if (!number(entry.left(dash), from) || !number(entry.mid(dash + 1), to)) {
            return false;
        }
        if (to < from) {
            error = QStringLiteral("the range '%1' runs backwards").arg(entry);
            return false;
        }
        for (int n = from; n <= to; ++n)
            tracks.insert(n);
    }
    return true;
}

bool CheckTemplate(const QString& tmpl, QString& error) {
    for (qsizetype i = 0; i < tmpl.size(); ++i) {
        if (tmpl[i] != QLatin1Char('%'))
            continue;
        if (i + 1 >= tmpl.size()) {
            error = QStringLiteral("the template ends in a lone '%'");
            return false;
        }
        const QChar field = tmpl[++i];
        if (!QStringLiteral("AdtnaygD%").contains(field)) {
            error = QStringLiteral("the template has an unknown field '%%1' (known: %A album "
                                   "performer, %d album title, %t track number, %n track "
                                   "title, %a track performer, %y year, %g genre, %D disc "
                                   "number and '-' on a release of several discs, %% a "
                                   "percent sign)")
                        .arg(field);
            return false;
        }
    }
    if (tmpl.endsWith(QLatin1Char('/')) || tmpl.trimmed().isEmpty()) {
        error = QStringLiteral("the template names no file");
        return false;
    }
    return true;
}

namespace {

bool IsControl(QChar c) {
    return c.unicode() < 0x20 || (c.unicode() >= 0x7F && c.unicode() <= 0x9F);
}

// One character of a name part: controls dropped (null), the characters other systems
// refuse in names replaced.
QChar NameChar(QChar c) {
    if (IsControl(c))
        return {};
    return QStringLiteral("/\\:*?\"<>|").contains(c) ? QLatin1Char('_') : c;
}

} // namespace

QString NameCollisionText(const QString& tmpl, const QString& fileName) {
    bool number = false;
    for (qsizetype i = 0; i + 1 < tmpl.size(); ++i)
        if (tmpl[i] == QLatin1Char('%'))
            number = number || tmpl[++i] == QLatin1Char('t');
    const QString text = QStringLiteral("The template gives two tracks the file name '%1'; ");
    return (number ? text + QStringLiteral("the track number (%t) was cut off a name too long "
                                           "for a file: put %t before the titles.")
                   : text + QStringLiteral("add %t to it."))
        .arg(fileName);
}

QString SafeNameText(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (const QChar c : text)
        if (const QChar n = NameChar(c); !n.isNull())
            out += n;
    return out.trimmed();
}

namespace {

// Cuts a name part to at most maxBytes bytes of its file-name encoding, at a
// character boundary.
QString CutToBytes(QString part, int maxBytes) {
    while (!part.isEmpty() && FileNameBytes(part).size() > maxBytes) {
        part.chop(1);
        if (!part.isEmpty() && part.back().isHighSurrogate())
            part.chop(1);
    }
    return part.trimmed();
}

QString Or(const QString& text, const QString& fallback) {
    const QString safe = SafeNameText(text);
    return safe.isEmpty() ? fallback : safe;
}

} // namespace

QString ExpandTemplate(const QString& tmpl, const TNameFields& fields, const QString& extension) {
    const QString unknown = QStringLiteral("Unknown");
    QString path;
    for (qsizetype i = 0; i < tmpl.size(); ++i) {
        if (tmpl[i] != QLatin1Char('%') || i + 1 >= tmpl.size()) {
            // The template's own text follows the rules of the fields; "/" still
            // separates folders.
            const QChar c = tmpl[i] == QLatin1Char('/') ? tmpl[i] : NameChar(tmpl[i]);
            if (!c.isNull())
                path += c;
            continue;
        }
        switch (tmpl[++i].unicode()) {
        case 'A':
            path += Or(fields.AlbumPerformer, unknown);
            break;
        case 'd':
            path += Or(fields.AlbumTitle, unknown);
            break;
        case 'a':
            path += Or(fields.TrackPerformer, Or(fields.AlbumPerformer, unknown));
            break;
        case 'n':
            path += Or(fields.TrackTitle, QStringLiteral("Track%1").arg(fields.Number));
            break;
        case 't':
            path += QStringLiteral("%1").arg(fields.Number, 2, 10, QLatin1Char('0'));
            break;
        case 'y':
            path += Or(fields.Year, unknown);
            break;
        case 'g':
            path += Or(fields.Genre, unknown);
            break;
        case 'D':
            path += SafeNameText(fields.DiscPrefix);
            break;
        case '%':
            path += QLatin1Char('%');
            break;
        default:
            break;
        }
    }
    QStringList parts;
    const QStringList pieces = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (qsizetype k = 0; k < pieces.size(); ++k) {
        const bool file = k + 1 == pieces.size();
        const int room =
            kMaxNameBytes - (file ? static_cast<int>(FileNameBytes(extension).size()) : 0);
        QString part = CutToBytes(pieces[k].trimmed(), room);
        if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String(".."))
            part = QStringLiteral("_");
        parts << part;
    }
    return parts.join(QLatin1Char('/'));
}

} // namespace rip
