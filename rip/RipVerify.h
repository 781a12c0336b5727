// The rip checked against the world: the drive's read offset from AccurateRip's drive list
// (before the jobs are planned), the disc's AccurateRip and CTDB entries (looked up before the
// read) and the verdicts of the tracks and the disc (after it); and what the log and the JSON
// record say of them.
//
//     RunRip:  open drive -> ChooseOffset -> plan -> checks -> LookUp -> read -> Verify -> log
//
// A lookup never fails a rip: what went wrong is a note in the record (and on the console).
// TRipVerifier runs on RunRip's thread (it needs the QCoreApplication there) and blocks on
// the network within the lookup's time limits (MetaHttp.h). TONVALE_ACCURATERIP_URL and
// TONVALE_CTDB_URL replace the services' addresses.
#pragma once

#include "RipReport.h"
#include "Ripper.h"

#include "Ctdb.h"
#include "MetaHttp.h"

#include <QJsonObject>
#include <QStringList>

#include <memory>
#include <vector>

namespace rip {

class TRipVerifier {
public:
    // offline: only the cache answers (the drive list); cacheFolder empty: the default.
    explicit TRipVerifier(const meta::TLimits& limits = {}, bool offline = false,
                          QString cacheFolder = {});
    ~TRipVerifier();
    TRipVerifier(const TRipVerifier&) = delete;
    TRipVerifier& operator=(const TRipVerifier&) = delete;

    // Without --offset: the drive's read offset into report.Offset and where it came from;
    // the warning for an unknown drive to observer.
    void ChooseOffset(const TRipSettings& settings, TRipReport& report, TRipObserver& observer);
    // The disc's AccurateRip chunks (online, unless an AccurateRip file gave fileEntries) and
    // its CTDB entries. Returns the chunks the read matches each track against.
    std::vector<TDbarEntry> LookUp(const TRipSettings& settings, TRipReport& report,
                                   TRipObserver& observer, std::vector<TDbarEntry> fileEntries);
    // After the read: each ripped track's AccurateRip verdict and CTDB match, and the disc's
    // CTDB result.
    void Verify(TRipReport& report) const;

private:
    void Note(TRipReport& report, TRipObserver& observer, const QString& text);
    meta::TMetaHttp& Http(); // made at its first use: the lookups' time runs from there

    meta::TLimits Limits_;
    bool Offline_ = false;
    QString CacheFolder_;
    std::unique_ptr<meta::TMetaHttp> Http_;
    bool ArChecked_ = false; // the chunks below are the database's word on the disc
    std::vector<TDbarEntry> Chunks_;
    bool CtdbAnswered_ = false;
    std::vector<meta::TCtdbEntry> Ctdb_;
};

// The track's place among the disc's audio tracks, from 0.
int AudioPosition(const TRipReport& report, const TTrackResult& track);

// What rip.log and the JSON record say of the checks (RipReport.cpp calls them).
QString OffsetLogText(const TRipReport& report);
void VerifyDiscLines(const TRipReport& report, QStringList& lines);
void VerifyTrackLines(const TTrackResult& track, QStringList& lines);
void VerifySummaryLines(const TRipReport& report, QStringList& lines);
void AddVerifyJson(const TTrackResult& track, QJsonObject& object);
void AddVerifyJson(const TRipReport& report, QJsonObject& record);

} // namespace rip
