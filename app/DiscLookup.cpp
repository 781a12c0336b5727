#include "DiscLookup.h"

#include "RipDiscIds.h"
#include "RipDiscText.h"
#include "RipMetadata.h"

#include <QSettings>

#include <chrono>
#include <cstdio>

namespace {

QSettings Configuration() {
    return QSettings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("Brisklane"),
                     QStringLiteral("Tonvale"));
}

} // namespace

TDiscLookup::~TDiscLookup() {
    Stop();
}

bool TDiscLookup::Enabled() {
    return Configuration().value(QStringLiteral("Configuration/Lookup"), true).toBool();
}

void TDiscLookup::Stop() {
    if (Cancel_)
        Cancel_->Cancel();
    if (Thread_.joinable())
        Thread_.join();
    Cancel_.reset();
}

void TDiscLookup::Clear() {
    Stop();
    std::lock_guard lock(Lock_);
    Result_.reset();
}

void TDiscLookup::Start(const meta::TMetaToc& toc, const QString& devicePath) {
    Clear();
    if (toc.AudioCount() == 0)
        return;
    rip::TRipReport report;
    report.Toc = toc;
    report.Ids = rip::ComputeDiscIds(toc);
    rip::TRipLookup lookup;
    lookup.GnudbEmail =
        Configuration().value(QStringLiteral("Configuration/GnudbEmail")).toString();
    Cancel_ = std::make_shared<meta::TCancel>();
    Thread_ = std::thread([this, report, lookup, devicePath, cancel = Cancel_] {
        rip::TDiscText text;
        {
            rip::TDiscReader disc;
            if (disc.Open(devicePath))
                text = disc.ReadText(report.Toc.Tracks.front().Number,
                                     report.Toc.Tracks.back().Number);
        }
        meta::TLookupRequest request = rip::DiscLookupRequest(report, text, lookup);
        request.Placeholders = false; // no made-up names in the tags
        request.Limits.Cancel = cancel;
        auto result = std::make_shared<meta::TLookupResult>(meta::LookupDisc(request));
        rip::TrackArtistsFromAlbum(result->Meta);
        if (cancel->Cancelled())
            return;
        for (const QString& note : result->Notes)
            std::fprintf(stderr, "tonvale: %s\n", qUtf8Printable(note));
        std::lock_guard lock(Lock_);
        Result_ = std::move(result);
        Ended_.notify_all();
    });
}

std::shared_ptr<const meta::TLookupResult> TDiscLookup::Result() const {
    std::lock_guard lock(Lock_);
    return Result_;
}

bool TDiscLookup::WaitForResult(int ms) const {
    std::unique_lock lock(Lock_);
    return Ended_.wait_for(lock, std::chrono::milliseconds(ms),
                           [this] { return Result_ != nullptr; });
}

bool TDiscLookup::Tag(const std::string& path, meta::TTagKind kind, int number,
                      std::string& error) const {
    const std::shared_ptr<const meta::TLookupResult> result = Result();
    if (!result || kind == meta::TTagKind::None || result->Meta.Source == QLatin1String("none"))
        return true;
    return rip::TagTrackFile(result->Meta, {result->Cover, result->CoverMime}, kind, number, path,
                             error);
}
