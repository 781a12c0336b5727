// What the rip command shows while it works and when it is done.
//
// On stderr: failures ("tonvale-cli: " + text), each track's steps and the
// progress of the whole rip. When stderr is a terminal one status line is drawn
// again and again (overall bar, percent, time left, the track being read and
// the tracks being converted); otherwise each step is one line ("Track 2:
// grabbed (Copy CRC ...)") and the progress a line per tenth ("Rip 40%, 00:12
// left"). On stdout (unless the caller prints JSON there): the disc ids when
// the disc has been read, a line per track at the end.
//
// Used on the thread that runs RunRip.
#pragma once

#include "Ripper.h"

#include <cstdio>
#include <string>

namespace rip {

class TRipConsole : public TRipObserver {
public:
    // printData: the disc ids and the track lines go to stdout.
    TRipConsole(bool printData, bool terminal);
    ~TRipConsole() override;

    void Error(const QString& text) override;
    void Note(const QString& text) override;
    void Started(const TRipReport& report) override;
    void TrackEvent(int number, const QString& text) override;
    void Progress(const TRipProgress& progress) override;
    // The track lines and the summary of a finished rip (stdout).
    void Summary(const TRipReport& report, const QString& logFile);
    // Ends the status line.
    void Finish();

private:
    void ClearStatus();

    bool PrintData_;
    bool Terminal_;
    std::string Status_; // the status line drawn last (terminal)
    int LastTenth_ = -1;
};

// The status line of a terminal: "[#####-----]  45%  01:23 left  reading 03 62%  encoding 01 80%".
std::string StatusLine(const TRipProgress& progress, int width);
// "mm:ss" or "h:mm:ss".
std::string Clock(double seconds);

} // namespace rip
