#include "RipConsole.h"

#include "FileNames.h"

#include <algorithm>
#include <cmath>

namespace rip {

namespace {
// Texts go out as bytes: a name that is not UTF-8 (the working folder's, a template's)
// is shown as the file system has it, not with "?" in its place.
std::string Out(const QString& text) {
    return FileNameBytes(text).toStdString();
}
} // namespace

std::string Clock(double seconds) {
    const auto s = static_cast<long>(std::lround(std::max(seconds, 0.0)));
    char text[32];
    if (s >= 3600)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(text, sizeof text, "%02ld:%02ld", s / 60, s % 60);
    return text;
}

std::string StatusLine(const TRipProgress& progress, int width) {
    const int percent = static_cast<int>(std::clamp(progress.Fraction, 0.0, 1.0) * 100);
    constexpr int bar = 20;
    const int filled = percent * bar / 100;
    std::string line = "[" + std::string(static_cast<size_t>(filled), '#') +
                       std::string(static_cast<size_t>(bar - filled), '-') + "] ";
    char text[64];
    std::snprintf(text, sizeof text, "%3d%%  ", percent);
    line += text;
    line += progress.SecondsLeft >= 0 ? Clock(progress.SecondsLeft) + " left" : "--:-- left";
    std::string reading, encoding;
    int done = 0, failed = 0;
    for (const TTrackProgress& t : progress.Tracks) {
        switch (t.State) {
        case TTrackProgress::psGrabbing:
            std::snprintf(text, sizeof text, " %02d %d%%", t.Number, t.Percent);
            reading += text;
            if (t.Read > 1) {
                std::snprintf(text, sizeof text, " (read %d)", t.Read);
                reading += text;
            }
            break;
        case TTrackProgress::psEncoding:
            std::snprintf(text, sizeof text, " %02d %d%%", t.Number, t.Percent);
            encoding += text;
            break;
        case TTrackProgress::psDone:
            ++done;
            break;
        case TTrackProgress::psFailed:
            ++failed;
            break;
        default:
            break;
        }
    }
    std::snprintf(text, sizeof text, "  done %d/%zu", done, progress.Tracks.size());
    line += text;
    if (failed > 0) {
        std::snprintf(text, sizeof text, ", failed %d", failed);
        line += text;
    }
    if (!reading.empty())
        line += "  reading" + reading;
    if (!encoding.empty())
        line += "  encoding" + encoding;
    if (width > 0 && static_cast<int>(line.size()) > width)
        line.resize(static_cast<size_t>(width));
    return line;
}

TRipConsole::TRipConsole(bool printData, bool terminal)
    : PrintData_(printData), Terminal_(terminal) {}

TRipConsole::~TRipConsole() {
    Finish();
}

void TRipConsole::ClearStatus() {
    if (Terminal_ && !Status_.empty()) {
        std::fputs("\r\033[K", stderr);
        Status_.clear();
    }
}

void TRipConsole::Finish() {
    if (Terminal_ && !Status_.empty()) {
        std::fputs("\n", stderr);
        Status_.clear();
        std::fflush(stderr);
    }
}

void TRipConsole::Error(const QString& text) {
    ClearStatus();
    std::fprintf(stderr, "tonvale-cli: %s\n", Out(text).c_str());
    std::fflush(stderr);
}

void TRipConsole::Note(const QString& text) {
    // Not an error: no program prefix, so that a failure is still said once.
    ClearStatus();
    std::fprintf(stderr, "%s\n", Out(text).c_str());
    std::fflush(stderr);
}

void TRipConsole::Started(const TRipReport& r) {
    if (!PrintData_)
        return;
    std::printf("Disc: %d audio tracks, %s%s%s\n", r.Toc.AudioCount(),
                r.AlbumPerformer.isEmpty() ? "" : r.AlbumPerformer.toUtf8().constData(),
                r.AlbumPerformer.isEmpty() || r.AlbumTitle.isEmpty() ? "" : " - ",
                r.AlbumTitle.toUtf8().constData());
    if (!r.Meta.Source.isEmpty())
        std::printf("Names: %s%s%s\n", r.Meta.Source.toUtf8().constData(),
                    r.Meta.ReleaseId.isEmpty() ? "" : ", release ",
                    r.Meta.ReleaseId.toUtf8().constData());
    std::printf("AccurateRip: %s\nCDDB: %s\nMusicBrainz: %s\n", r.Ids.DbarName.toUtf8().constData(),
                Hex8(r.Ids.Cddb).c_str(), r.Ids.MusicBrainz.toUtf8().constData());
    std::fflush(stdout);
}

void TRipConsole::TrackEvent(int number, const QString& text) {
    ClearStatus();
    std::fprintf(stderr, "Track %d: %s\n", number, Out(text).c_str());
    std::fflush(stderr);
}

void TRipConsole::Progress(const TRipProgress& progress) {
    if (Terminal_) {
        const std::string line = StatusLine(progress, 150);
        if (line == Status_)
            return;
        std::fprintf(stderr, "\r\033[K%s", line.c_str());
        Status_ = line;
        std::fflush(stderr);
        return;
    }
    const int tenth = static_cast<int>(std::clamp(progress.Fraction, 0.0, 1.0) * 10);
    if (tenth == LastTenth_)
        return;
    LastTenth_ = tenth;
    if (progress.SecondsLeft >= 0)
        std::fprintf(stderr, "Rip %d%%, %s left\n", tenth * 10,
                     Clock(progress.SecondsLeft).c_str());
    else
        std::fprintf(stderr, "Rip %d%%\n", tenth * 10);
    std::fflush(stderr);
}

void TRipConsole::Summary(const TRipReport& r, const QString& logFile) {
    Finish();
    if (!PrintData_)
        return;
    for (const TTrackResult& t : r.Tracks) {
        if (!t.Selected)
            continue;
        std::string line = (t.Number < 10 ? "0" : "") + std::to_string(t.Number) + "  ";
        switch (t.Status) {
        case tsOk:
            line += "ok      ";
            break;
        case tsFailed:
            line += "failed  ";
            break;
        case tsNotRipped:
            line += "-       ";
            break;
        }
        if (t.HaveSums) {
            line += "CRC " + Hex8Upper(t.Sums.Crc32) + "  AR v1 " + Hex8(t.Sums.ArV1) + "  v2 " +
                    Hex8(t.Sums.ArV2);
            if (t.Ar.Kind != TArVerdict::avUnchecked)
                line += "  AccurateRip: " + VerdictText(t.Ar).toStdString();
            else if (t.ArChecked)
                line += "  " + ((t.ArV1.Matched || !t.ArV2.Matched ? ArResultText(t.ArV1)
                                                                   : ArResultText(t.ArV2))
                                    .toStdString());
            line += "  ";
        }
        line += Out(t.Status == tsFailed ? t.Error : t.FileName);
        std::printf("%s\n", line.c_str());
    }
    if (!logFile.isEmpty())
        std::printf("Log: %s\n", Out(logFile).c_str());
    std::fflush(stdout);
}

} // namespace rip
