#include "RipVerify.h"

#include "RipChecks.h"
#include "RipDriveOffset.h"

#include <QJsonArray>

#include <algorithm>

namespace rip {
namespace {

QString H8(uint32_t v) {
    return QString::fromStdString(Hex8(v));
}

QString ChunksText(int chunks) {
    return chunks == 1 ? QStringLiteral("1 chunk") : QStringLiteral("%1 chunks").arg(chunks);
}

// "found online: 2 chunks for this disc", "not in database", "not checked".
QString ArLookupText(const TRipReport& r) {
    if (!r.AccurateRipFile.isEmpty())
        return QStringLiteral("%1 for this disc in %2")
            .arg(ChunksText(r.AccurateRipChunks), r.AccurateRipFile);
    switch (r.AccurateRipLookup) {
    case TArLookup::alFound:
        return QStringLiteral("found online: %1 for this disc")
            .arg(ChunksText(r.AccurateRipChunks));
    case TArLookup::alNotInDatabase:
        return QStringLiteral("not in database");
    default:
        break;
    }
    return QStringLiteral("not checked");
}

} // namespace

TRipVerifier::TRipVerifier(const meta::TLimits& limits, bool offline, QString cacheFolder)
    : Limits_(limits), Offline_(offline), CacheFolder_(std::move(cacheFolder)) {}

TRipVerifier::~TRipVerifier() = default;

meta::TMetaHttp& TRipVerifier::Http() {
    if (!Http_)
        Http_ = std::make_unique<meta::TMetaHttp>(
            Limits_,
            QStringLiteral("Tonvale/%1 ( http://www.brisklane.com/tonvale/ )")
                .arg(QStringLiteral(TONVALE_META_VERSION)),
            meta::TMetaCache(CacheFolder_), Offline_);
    return *Http_;
}

void TRipVerifier::Note(TRipReport& report, TRipObserver& observer, const QString& text) {
    report.VerifyNotes << text;
    observer.Note(text);
}

void TRipVerifier::ChooseOffset(const TRipSettings& settings, TRipReport& report,
                                TRipObserver& observer) {
    if (settings.OffsetGiven) {
        report.OffsetSource = QStringLiteral("--offset");
        return;
    }
    const bool virtualDrive = !ImageFiles(report.DrivePath).empty();
    TOffsetChoice choice = ChooseReadOffset(Http(), AccurateRipBase(), virtualDrive,
                                            report.DriveVendor, report.DriveProduct);
    if (std::abs(choice.Offset) > kMaxOffset) {
        choice.Source = QStringLiteral("the drive list's %1 is out of range").arg(choice.Offset);
        choice.Offset = 0;
        choice.Warning = QString::fromLatin1(kOffsetUnknown);
    }
    report.Offset = choice.Offset;
    report.OffsetSource = choice.Source;
    if (!choice.Note.isEmpty())
        Note(report, observer, choice.Note);
    if (!choice.Warning.isEmpty())
        Note(report, observer, choice.Warning);
}

std::vector<TDbarEntry> TRipVerifier::LookUp(const TRipSettings& settings, TRipReport& report,
                                             TRipObserver& observer,
                                             std::vector<TDbarEntry> fileEntries) {
    if (!settings.AccurateRipDb.isEmpty()) {
        ArChecked_ = !fileEntries.empty();
        Chunks_ = std::move(fileEntries);
    } else {
        TArLookup ar = LookUpAccurateRip(Http(), AccurateRipBase(), report.Ids);
        report.AccurateRipLookup = ar.Kind;
        ArChecked_ = ar.Kind != TArLookup::alFailed;
        Chunks_ = std::move(ar.Chunks);
        if (!ar.Note.isEmpty())
            Note(report, observer, ar.Note);
    }
    report.AccurateRipChunks = static_cast<int>(Chunks_.size());

    report.CtdbTocId = meta::CtdbTocId(report.Toc);
    const meta::THttpAnswer a =
        Http().Get(meta::CtdbLookupUrl(meta::CtdbBase(), report.Toc, QStringLiteral("none")), {});
    meta::TCtdbAnswer answer;
    QString error;
    if (a.Kind == meta::THttpAnswer::akHttp && a.Status == 404) {
        CtdbAnswered_ = true;
    } else if (!a.Ok()) {
        Note(report, observer, QStringLiteral("CTDB: ") + a.Describe());
    } else if (!meta::ParseCtdbAnswer(a.Body, report.Toc, answer, error)) {
        Note(report, observer, QStringLiteral("CTDB: the answer was refused: ") + error);
    } else {
        CtdbAnswered_ = true;
        Ctdb_ = std::move(answer.Entries);
    }
    return Chunks_;
}

int AudioPosition(const TRipReport& report, const TTrackResult& track) {
    int position = 0;
    for (const TTrackResult& t : report.Tracks) {
        if (&t == &track)
            return position;
        position += t.Audio ? 1 : 0;
    }
    return -1;
}

void TRipVerifier::Verify(TRipReport& report) const {
    std::vector<TCtdbTrack> tracks;
    std::vector<TTrackResult*> ripped;
    std::vector<std::pair<uint32_t, int64_t>> parts;
    bool wholeDisc = true;
    for (TTrackResult& t : report.Tracks) {
        if (!t.Audio)
            continue;
        const bool ok = t.Selected && t.HaveSums;
        wholeDisc = wholeDisc && ok && t.Status == tsOk;
        if (!ok)
            continue;
        const int position = AudioPosition(report, t);
        if (ArChecked_)
            t.Ar = VerifyTrack(Chunks_, position, t.Sums);
        tracks.push_back({position, t.Sums.CtdbCrc});
        ripped.push_back(&t);
        parts.emplace_back(t.Sums.CtdbCrc, t.Sums.CtdbBytes);
    }
    if (!CtdbAnswered_)
        return;
    std::vector<int> confidence;
    report.Ctdb = VerifyCtdb(Ctdb_, wholeDisc && !parts.empty(), wholeDisc ? CombineCrcs(parts) : 0,
                             tracks, confidence);
    for (size_t i = 0; i < ripped.size(); ++i)
        ripped[i]->CtdbConfidence = Ctdb_.empty() ? -1 : confidence[i];
}

// ---- what the log and the record say ---------------------------------------------------

QString OffsetLogText(const TRipReport& r) {
    QString text = QStringLiteral("Read offset correction: %1%2")
                       .arg(r.Offset > 0 ? QStringLiteral("+") : QString())
                       .arg(r.Offset);
    if (!r.OffsetSource.isEmpty())
        text += QStringLiteral(" (from %1)").arg(r.OffsetSource);
    return text;
}

void VerifyDiscLines(const TRipReport& r, QStringList& l) {
    if (!r.CtdbTocId.isEmpty())
        l << QStringLiteral("  CTDB TOC id: %1").arg(r.CtdbTocId);
    l << QString() << QStringLiteral("Verification");
    l << QStringLiteral("  AccurateRip: %1").arg(ArLookupText(r));
    const QString ctdb = CtdbResultText(r.Ctdb);
    l << (ctdb.isEmpty() ? QStringLiteral("  CTDB: not checked") : QStringLiteral("  ") + ctdb);
    if (r.Ctdb.Kind == TCtdbResult::ckVerified)
        l << QStringLiteral("  CTDB entry: %1 (%2 entries for this disc)")
                 .arg(r.Ctdb.Entry)
                 .arg(r.Ctdb.Entries);
    if (r.Ctdb.WholeDisc)
        l << QStringLiteral("  CTDB CRC of the disc: %1").arg(H8(r.Ctdb.DiscCrc));
    for (const QString& note : r.VerifyNotes)
        l << QStringLiteral("  Note: %1").arg(note);
}

void VerifyTrackLines(const TTrackResult& t, QStringList& l) {
    if (!t.HaveSums)
        return;
    if (t.Ar.Kind != TArVerdict::avUnchecked) {
        const QString chunks = MatchedChunksText(t.Ar);
        l << QStringLiteral("  AccurateRip: %1%2")
                 .arg(VerdictText(t.Ar),
                      chunks.isEmpty() ? QString() : QStringLiteral("; matching ") + chunks);
    }
    QString ctdb = QStringLiteral("  CTDB CRC: %1").arg(H8(t.Sums.CtdbCrc));
    if (t.CtdbConfidence > 0)
        ctdb += QStringLiteral(", verified (confidence %1)").arg(t.CtdbConfidence);
    else if (t.CtdbConfidence == 0)
        ctdb += QStringLiteral(", differs");
    l << ctdb;
}

void VerifySummaryLines(const TRipReport& r, QStringList& l) {
    // Out of the tracks of the TOC ripped: the hidden track one audio is in no database.
    int accurate = 0, checked = 0, verifiable = 0;
    uint32_t lowest = 0;
    for (const TTrackResult& t : r.Tracks) {
        verifiable += t.Selected && t.Audio ? 1 : 0;
        if (!t.Selected || t.Ar.Kind == TArVerdict::avUnchecked)
            continue;
        ++checked;
        if (t.Ar.Kind == TArVerdict::avAccurate) {
            lowest = accurate == 0 ? t.Ar.Confidence : std::min(lowest, t.Ar.Confidence);
            ++accurate;
        }
    }
    if (checked > 0)
        l << QStringLiteral("  AccurateRip: %1 of %2 tracks accurately ripped%3")
                 .arg(accurate)
                 .arg(verifiable)
                 .arg(accurate > 0 ? QStringLiteral(" (lowest confidence %1)").arg(lowest)
                                   : QString());
    const QString ctdb = CtdbResultText(r.Ctdb);
    if (!ctdb.isEmpty())
        l << QStringLiteral("  ") + ctdb;
}

void AddVerifyJson(const TTrackResult& t, QJsonObject& o) {
    if (!t.HaveSums)
        return;
    if (t.Ar.Kind != TArVerdict::avUnchecked)
        o[QStringLiteral("accurateRip")] = VerdictJson(t.Ar);
    o[QStringLiteral("ctdbCrc")] = H8(t.Sums.CtdbCrc);
    if (t.CtdbConfidence >= 0)
        o[QStringLiteral("ctdbConfidence")] = t.CtdbConfidence;
}

void AddVerifyJson(const TRipReport& r, QJsonObject& record) {
    record[QStringLiteral("offsetSource")] = r.OffsetSource;
    QJsonObject ar{{QStringLiteral("source"), r.AccurateRipFile.isEmpty() ? QStringLiteral("online")
                                                                          : QStringLiteral("file")},
                   {QStringLiteral("result"), ArLookupText(r)},
                   {QStringLiteral("chunks"), r.AccurateRipChunks}};
    int accurate = 0;
    for (const TTrackResult& t : r.Tracks)
        accurate += t.Selected && t.Ar.Kind == TArVerdict::avAccurate ? 1 : 0;
    ar[QStringLiteral("accurateTracks")] = accurate;
    record[QStringLiteral("accurateRip")] = ar;
    record[QStringLiteral("ctdb")] = CtdbResultJson(r.Ctdb, r.CtdbTocId);
    record[QStringLiteral("notes")] = QJsonArray::fromStringList(r.VerifyNotes);
}

} // namespace rip
