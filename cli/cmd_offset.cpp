// tonvale-cli offset find: the drive's read offset from a disc that AccurateRip knows. The
// disc's first audio tracks are read once and every offset from -2940 to +2940 samples is
// checked against the disc's AccurateRip chunks (online, or from a saved dBAR file) in one
// pass (rip/RipOffsetFind.h). Exit 0 when an offset matched, 1 when none did, the disc is
// not in the database or the drive cannot be read, 2 bad usage.
#include "Cli.h"

#include "RipAccurateRip.h"
#include "RipOffsetFind.h"
#include "RipOutputs.h"
#include "RipReader.h"

#include "sbUserInterface.h"

#include <QJsonArray>
#include <QJsonObject>

#include <chrono>

namespace {

class TErrors : public rip::TRipObserver {
public:
    void Error(const QString& text) override { cli::PrintError(text); }
};

QString Signed(int offset) {
    return (offset > 0 ? QStringLiteral("+") : QString()) + QString::number(offset);
}

QString Numbers(const std::vector<int>& numbers) {
    QStringList parts;
    for (int n : numbers)
        parts << QString::number(n);
    return parts.join(QStringLiteral(", "));
}

QJsonArray JsonNumbers(const std::vector<int>& numbers) {
    QJsonArray array;
    for (int n : numbers)
        array.append(n);
    return array;
}

// The disc's chunks from the file or the database; false (said) when there are none.
bool Chunks(const QString& file, const rip::TDiscIds& ids, std::vector<rip::TDbarEntry>& chunks) {
    if (!file.isEmpty()) {
        QByteArray bytes;
        std::vector<rip::TDbarEntry> entries;
        QString error;
        if (!rip::ReadSmallFile(file, bytes)) {
            cli::PrintError(QStringLiteral("Cannot read %1: %2").arg(file, rip::ErrnoText(errno)));
            return false;
        }
        if (!rip::ParseDbar(bytes, entries, error)) {
            cli::PrintError(QStringLiteral("%1 is not an AccurateRip file: %2").arg(file, error));
            return false;
        }
        chunks = rip::EntriesForDisc(entries, ids);
    } else {
        meta::TMetaHttp http({},
                             QStringLiteral("Tonvale/%1 ( http://www.brisklane.com/tonvale/ )")
                                 .arg(QStringLiteral(TONVALE_VERSION)),
                             meta::TMetaCache(), false);
        rip::TArLookup lookup = rip::LookUpAccurateRip(http, rip::AccurateRipBase(), ids);
        if (lookup.Kind == rip::TArLookup::alFailed) {
            cli::PrintError(lookup.Note);
            return false;
        }
        chunks = std::move(lookup.Chunks);
    }
    if (chunks.empty())
        cli::PrintError(QStringLiteral("the disc is not in AccurateRip (%1): offset find needs a "
                                       "disc the database knows; use another disc")
                            .arg(ids.DbarName));
    return !chunks.empty();
}

int FindOffset(QStringList args) {
    if (args.value(0) != QLatin1String("find"))
        return cli::UsageError(QStringLiteral("offset needs the action find"));
    args.removeFirst();
    const bool json = cli::TakeFlag(args, QStringLiteral("--json"));
    bool ok = true;
    const QString drive = cli::TakeValue(args, QStringLiteral("--drive"), QString(), ok);
    const QString file = cli::TakeValue(args, QStringLiteral("--accuraterip-db"), QString(), ok);
    if (!ok)
        return 2;
    if (!args.isEmpty())
        return cli::UsageError(args[0].startsWith(QLatin1String("--"))
                                   ? QStringLiteral("unknown option '%1'").arg(args[0])
                                   : QStringLiteral("unexpected argument '%1'").arg(args[0]));

    sbdlg::SetReportHandler([](sbdlg::TReportKind, const QString& text) { cli::PrintError(text); });
    TErrors errors;
    rip::TDriveSession session(errors);
    rip::TRipReport report;
    rip::TRipResult result = rip::rrFailed;
    if (!session.Open(
            drive, [] { return cli::StopRequested(); }, report, errors, result))
        return cli::StopRequested() ? cli::StopExitCode() : result == rip::rrUsage ? 2 : 1;
    std::vector<rip::TDbarEntry> chunks;
    if (!Chunks(file, report.Ids, chunks))
        return 1;

    using Clock = std::chrono::steady_clock;
    const std::vector<rip::TOffsetTrack> tracks = rip::OffsetTracks(report);
    rip::TOffsetRegion region;
    QString error;
    const auto readStart = Clock::now();
    bool read = false;
    {
        cli::ProgressBar bar("Reading");
        session.Lock();
        read = rip::ReadOffsetRegion(
            session, report, tracks, region,
            [&bar](int64_t done, int64_t total) {
                bar.Update(done, total);
                return !cli::StopRequested();
            },
            error);
        session.Release();
        bar.Finish();
    }
    if (cli::StopRequested())
        return cli::StopExitCode();
    if (!read) {
        cli::PrintError(QStringLiteral("Cannot read the disc: ") + error);
        return 1;
    }
    const auto searchStart = Clock::now();
    const std::vector<rip::TOffsetMatch> matches = rip::FindOffsets(region, tracks, chunks);
    const auto searchEnd = Clock::now();
    const double readSeconds = std::chrono::duration<double>(searchStart - readStart).count();
    const double searchSeconds = std::chrono::duration<double>(searchEnd - searchStart).count();

    std::vector<int> numbers;
    for (const rip::TOffsetTrack& t : tracks)
        numbers.push_back(t.Number);
    if (json) {
        QJsonArray offsets;
        for (const rip::TOffsetMatch& m : matches)
            offsets.append(
                QJsonObject{{QStringLiteral("offset"), m.Offset},
                            {QStringLiteral("tracks"), JsonNumbers(m.Tracks)},
                            {QStringLiteral("confidence"), static_cast<qint64>(m.Confidence)},
                            {QStringLiteral("chunks"), JsonNumbers(m.Chunks)}});
        cli::PrintJson(QJsonDocument(QJsonObject{
            {QStringLiteral("drive"),
             QStringLiteral("%1 %2").arg(report.DriveVendor, report.DriveProduct).simplified()},
            {QStringLiteral("accurateRip"), report.Ids.DbarName},
            {QStringLiteral("chunks"), static_cast<int>(chunks.size())},
            {QStringLiteral("tracksRead"), JsonNumbers(numbers)},
            {QStringLiteral("offsetsChecked"), 2 * rip::kOffsetRange + 1},
            {QStringLiteral("offsets"), offsets},
            {QStringLiteral("readSeconds"), readSeconds},
            {QStringLiteral("searchSeconds"), searchSeconds}}));
    } else {
        std::printf("Drive: %s\nTracks read: %s\nOffsets checked: %d (-%d to +%d samples)\n",
                    QStringLiteral("%1 %2")
                        .arg(report.DriveVendor, report.DriveProduct)
                        .simplified()
                        .toUtf8()
                        .constData(),
                    Numbers(numbers).toUtf8().constData(), 2 * rip::kOffsetRange + 1,
                    rip::kOffsetRange, rip::kOffsetRange);
        for (const rip::TOffsetMatch& m : matches)
            std::printf("Offset %s: tracks %s agree (confidence %u, chunks %s)\n",
                        Signed(m.Offset).toUtf8().constData(),
                        Numbers(m.Tracks).toUtf8().constData(), m.Confidence,
                        Numbers(m.Chunks).toUtf8().constData());
        if (!matches.empty())
            std::printf("Rip with: tonvale-cli rip --offset %s ...\n",
                        Signed(matches.front().Offset).toUtf8().constData());
        std::fflush(stdout);
    }
    if (matches.empty())
        cli::PrintError(QStringLiteral("no offset from -%1 to +%1 samples matches the disc's "
                                       "AccurateRip entry: try another disc")
                            .arg(rip::kOffsetRange));
    return matches.empty() ? 1 : 0;
}

} // namespace

TONVALE_CLI_COMMAND("offset", "offset find [--drive N] [--accuraterip-db FILE] [--json]",
                    "find the drive's read offset from a disc that AccurateRip knows", FindOffset);
