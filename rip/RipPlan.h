// The plan of a rip: one job per selected track, with its file name, its tags and
// how it is read (the sectors asked of the drive for the read offset), made from the
// disc's record before anything is read; and the checks of the names it will write.
//
// A job's results are written by the reader's worker and read by the main thread only
// after the reader has posted the job's end (see RipMailbox.h).
#pragma once

#include "RipCtdb.h"
#include "RipEncode.h"
#include "RipLoudness.h"
#include "RipNames.h"
#include "RipReport.h"
#include "RipSinks.h"
#include "Ripper.h"

#include <QString>

#include <cstdint>
#include <memory>
#include <vector>

namespace rip {

struct TRipJob {
    size_t Track = 0; // index in the report's tracks
    int Number = 0;
    int64_t Samples = 0;
    bool FirstAudio = false, LastAudio = false;
    TReadPlan Read;
    TCtdbSkip Ctdb; // what the track's CTDB CRC leaves out
    QString Output; // the final file (of the first format)
    struct TOutput {
        TRipFormat Format = rfWAV;
        QString File;
    };
    std::vector<TOutput> Outputs; // every format's final file, Output's first
    int64_t ImageOffset = -1;     // --image: the sample of the image where the track starts
    TTrackTags Tags;

    // Written by the reader before it posts the job's end.
    bool Ok = false;
    bool Stopped = false;
    QString Error;
    TTrackSums Sums;
    bool HaveTestCrc = false;
    uint32_t TestCrc = 0;
    int Reads = 0;
    std::unique_ptr<TWavSink> Wav; // the file the read left: the final WAV, or the one to encode
    std::unique_ptr<TLoudness> Loudness; // of the read kept, when ReplayGain is on
    std::unique_ptr<TWavSink> WavCopy;   // the final WAV file when WAV is one of several formats

    // The main thread's: the outputs not yet finished, and the first failure.
    int Pending = 0;
    QString Failure;
};

// The template's fields for one track of the record.
TNameFields NameFields(const TRipReport& report, const TTrackResult& t);

// Fills the file names of the selected tracks in report and makes their jobs. False (with
// the reason) when the template gives two tracks one name.
bool PlanJobs(const TRipSettings& settings, TRipReport& report, const QString& outDirName,
              std::vector<TRipJob>& jobs, QString& error);

} // namespace rip
