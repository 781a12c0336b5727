// gnudb: the CDDB protocol (level 6) over HTTP. The commands the lookup sends, the
// parsers of the answers to "cddb query" and "cddb read", and the xmcd record a read
// returns.
//
// Pure functions on plain values, any thread; the requests themselves are MetaLookup's.
#pragma once

#include "MetaTypes.h"

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <cstdint>
#include <vector>

namespace meta {

// "cddb query 940aac0d 13 150 ... 3016": every track of the disc (data tracks too), each
// start counted from the disc's start (+150), then the disc's length in seconds.
QString CddbQueryCommand(const TMetaToc& toc, uint32_t cddbId);
QString CddbReadCommand(const QString& category, const QString& discId);
// {base}/~cddb/cddb.cgi?cmd=...&hello=USER+HOST+Tonvale+VERSION&proto=6, the e-mail
// address giving USER (before the "@") and HOST (after it).
QUrl GnudbUrl(const QString& base, const QString& command, const QString& email,
              const QString& version);
// An address gnudb accepts: one "@" with text on both sides, no blanks.
bool ValidEmail(const QString& email);

struct TCddbMatch {
    QString Category, DiscId, Title;
};

struct TCddbQuery {
    int Code = 0;                    // 200, 210, 211 or 202
    std::vector<TCddbMatch> Matches; // 200: one; 210 and 211: the list; 202: none
    bool Exact() const { return Code == 200 || Code == 210; }
};

// The answer to "cddb query". False with a reason for any other code (gnudb's own text)
// or an answer that is not the protocol's.
bool ParseCddbQuery(const QByteArray& answer, TCddbQuery& query, QString& error);

// The answer to "cddb read" (210 and the xmcd record) into meta, tracks numbered as
// toc's (TTITLE0 is its first track; data tracks get no entry).
bool ParseCddbRead(const QByteArray& answer, const TMetaToc& toc, const QString& category,
                   TDiscMeta& meta, QString& error);

// An xmcd record: DTITLE "Artist / Title", DYEAR, DGENRE, TTITLEn (on a sampler
// "Artist / Title"). A key given on several lines is joined; \n, \t and \\ are decoded.
TDiscMeta ParseXmcd(const QString& record, const TMetaToc& toc, const QString& category);

} // namespace meta
