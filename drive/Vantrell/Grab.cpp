// Copying an audio track into a WAV file through cdio-paranoia.
#include "Internal.h"
#include "ParanoiaEvents.h"

#include "SafeOutput.h"

#include <cdio/paranoia/cdda.h>
#include <cdio/paranoia/paranoia.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

#include <sys/stat.h>

namespace vantrell {
namespace {

// Hard read errors tolerated in a row (paranoia re-reads around a failing sector) and in
// all before the grab gives up. A damaged area fails within a few hundred reads, never
// loops: paranoia alone would retry an unreadable sector for ever.
constexpr int kMaxConsecutiveReadErrors = 20;
constexpr int kMaxReadErrors = 400;
// Paranoia's own retries of a sector it cannot verify, before it reports a skip.
constexpr int kParanoiaRetries = 20;
constexpr size_t kWriteBufferBytes = 256 * 1024;

// The state of the grab running on this thread: paranoia's callback and the drive's read
// function carry no context pointer.
struct GrabState {
    long (*read)(cdrom_drive_t*, void*, lsn_t, long) = nullptr; // the drive's own reader
    std::atomic<bool>* cancel = nullptr;
    int consecutiveErrors = 0;
    int errors = 0;
    bool aborted = false; // set once: no more real reads, the caller stops after this call
    bool cancelled = false;
    bool readFailed = false;
    bool skipped = false; // paranoia gave up verifying a sector
    lsn_t failedLsn = -1;
};
thread_local GrabState* t_grab = nullptr;

void Silence(void* buffer, long sectors) {
    if (buffer) // the reader also issues reads without a buffer (to move the head)
        std::memset(buffer, 0, static_cast<size_t>(sectors) * CDIO_CD_FRAMESIZE_RAW);
}

// Once a grab is aborted its reads are answered with silence at once, so that paranoia
// returns quickly; the caller throws that data away and fails the grab.
long GuardedRead(cdrom_drive_t* d, void* buffer, lsn_t begin, long sectors) {
    GrabState* g = t_grab;
    if (!g->aborted && g->cancel->load()) {
        g->cancelled = true;
        g->aborted = true;
    }
    if (g->aborted) {
        Silence(buffer, sectors);
        return sectors;
    }
    const long n = g->read(d, buffer, begin, sectors);
    if (n > 0) {
        g->consecutiveErrors = 0;
        return n;
    }
    ++g->errors;
    if (++g->consecutiveErrors > kMaxConsecutiveReadErrors || g->errors > kMaxReadErrors) {
        g->readFailed = true;
        g->aborted = true;
        g->failedLsn = begin;
        Silence(buffer, sectors);
        return sectors;
    }
    if (g->failedLsn < 0)
        g->failedLsn = begin;
    return n;
}

void ParanoiaCallback(long int position, paranoia_cb_mode_t mode) {
    GrabState* g = t_grab;
    if (!g || g->aborted)
        return;
    if (ParanoiaEventFails(mode)) {
        g->skipped = true;
        g->aborted = true;
        g->failedLsn = static_cast<lsn_t>(position / (CDIO_CD_FRAMESIZE_RAW / 2));
    }
}

struct DriveCloser {
    void operator()(cdrom_drive_t* d) const { cdio_cddap_close_no_free_cdio(d); }
};
struct ParanoiaCloser {
    void operator()(cdrom_paranoia_t* p) const { cdio_paranoia_free(p); }
};

class ThreadGrab {
public:
    explicit ThreadGrab(GrabState* state) { t_grab = state; }
    ~ThreadGrab() { t_grab = nullptr; }
    ThreadGrab(const ThreadGrab&) = delete;
    ThreadGrab& operator=(const ThreadGrab&) = delete;
};

void Report(VantrellObject* object, uint64_t total, uint64_t done) {
    if (object->callback)
        object->callback(VANTRELL_REASON_GRAB_PROGRESS, object->context, &total, &done);
}

} // namespace
} // namespace vantrell

using namespace vantrell;

extern "C" {

uint8_t Vantrell_CdvdBurnerGrabber_GrabTrack(VantrellObject* object, VANTRELL_ERROR_BLOCK,
                                             uint8_t track, const char* outputFile,
                                             uint8_t errorCorrection, uint8_t waveHeader,
                                             uint8_t readSpeed, uint8_t reportProgress) {
    VANTRELL_EB("Vantrell_CdvdBurnerGrabber_GrabTrack");
    if (!object)
        return eb.Fail(VANTRELL_EXCEPTION_INVALID_ARGUMENT, 0, 0, -1, "No device object");
    if (!outputFile || !*outputFile)
        return eb.Fail(VANTRELL_EXCEPTION_INVALID_ARGUMENT, 0, 0, -1, "No output file");
    if (object->cancel.exchange(false))
        return eb.Fail(VANTRELL_EXCEPTION_CANCELLED, 0, 0, -1, "Grabbing track %u was cancelled",
                       track);

    // The TOC with the session layout: the last audio track of a CD-Extra disc ends at its
    // session's lead-out.
    VantrellTocRecord toc;
    if (const uint8_t rc = DiscToc(object, eb, toc))
        return rc;
    const VantrellTocEntry* entry = nullptr;
    for (int i = 0; i < toc.EntryCount; ++i) {
        if (toc.Entries[i].TrackNumber == track)
            entry = &toc.Entries[i];
    }
    if (!entry)
        return eb.Fail(VANTRELL_EXCEPTION_INVALID_ARGUMENT, 0, 0, -1, "The disc has no track %u",
                       track);
    if (!entry->AudioTrack)
        return eb.Fail(VANTRELL_EXCEPTION_NOT_AUDIO, 0, 0, -1,
                       "Track %u is a data track, not an audio track", track);
    const lsn_t first = entry->StartLba;
    const int64_t sectors = int64_t{entry->EndLba} - entry->StartLba;
    // A damaged image can place a track's end beyond the data there is (the lead-out
    // comes from the BIN's size). The verified reader pads such sectors with silence
    // instead of failing, so they are refused here.
    if (entry->EndLba > toc.LeadOutLba)
        return eb.Fail(VANTRELL_EXCEPTION_READ_ERROR, 0, 0, toc.LeadOutLba,
                       "Track %u could not be read: sector %d is unreadable (beyond the end "
                       "of the disc at sector %d)",
                       track, std::max<lsn_t>(toc.LeadOutLba, first), toc.LeadOutLba);
    const uint64_t dataBytes = static_cast<uint64_t>(sectors) * CDIO_CD_FRAMESIZE_RAW;
    if (dataBytes > UINT32_MAX - 36)
        return eb.Fail(VANTRELL_EXCEPTION_INVALID_ARGUMENT, 0, 0, -1,
                       "Track %u is too long for a WAV file", track);

    // The audio comes through libcdio: the image's handle, or a new handle of the real drive,
    // which knows the medium inside now (a handle keeps the TOC it read first).
    CdioPtr audioHandle;
    CdIo_t* cdio = object->cdio.get();
    if (!object->drive.isVirtual) {
        audioHandle.reset(object->transport->NewAudioHandle());
        cdio = audioHandle.get();
    }
    if (!cdio)
        return eb.Fail(VANTRELL_EXCEPTION_DEVICE_ERROR, 0, 0, -1,
                       "The drive %s cannot read digital audio", object->drive.path.c_str());

    // A regular file (or a new name) is written under a temporary name, locked, and renamed
    // when complete; a link is written through, a device or FIFO in place.
    safeio::TSafeOutput out;
    if (!out.Open(outputFile, safeio::TSafeOutput::kLockExclusive))
        return eb.Fail(VANTRELL_EXCEPTION_FILE_ERROR, errno, 0, -1,
                       "The output file %s cannot be created: %s", outputFile,
                       std::strerror(errno));
    if (waveHeader) {
        uint8_t header[44];
        CanonicalWaveHeader(header, static_cast<uint32_t>(dataBytes));
        if (!WriteAll(out.Fd(), header, sizeof header))
            return eb.Fail(VANTRELL_EXCEPTION_FILE_ERROR, errno, 0, -1, "Cannot write %s: %s",
                           outputFile, std::strerror(errno));
    }

    std::unique_ptr<cdrom_drive_t, DriveCloser> drive(
        cdio_cddap_identify_cdio(cdio, CDDA_MESSAGE_FORGETIT, nullptr));
    if (!drive)
        return eb.Fail(VANTRELL_EXCEPTION_DEVICE_ERROR, 0, 0, -1,
                       "The drive %s cannot read digital audio", object->drive.path.c_str());
    // CD audio is little-endian on every drive and in every image. Set before the open: left
    // unknown, the open probes the byte order by reading the start of several tracks, and
    // guesses it from the samples (swapping noise-like audio).
    drive->bigendianp = 0;
    if (cdio_cddap_open(drive.get()) != 0)
        return eb.Fail(VANTRELL_EXCEPTION_DEVICE_ERROR, 0, 0, -1,
                       "The drive %s cannot read digital audio", object->drive.path.c_str());
    drive->bigendianp = 0; // whatever the open concluded
    if (readSpeed && !object->drive.isVirtual)
        cdio_cddap_speed_set(drive.get(), readSpeed);

    GrabState state;
    state.read = drive->read_audio;
    state.cancel = &object->cancel;
    drive->read_audio = GuardedRead;
    ThreadGrab scope(&state);

    std::unique_ptr<cdrom_paranoia_t, ParanoiaCloser> paranoia(cdio_paranoia_init(drive.get()));
    if (!paranoia)
        return eb.Fail(VANTRELL_EXCEPTION_INTERNAL, 0, 0, -1, "Cannot start the verified reader");
    // Full paranoia as the reference reader uses it by default: a sector that cannot be
    // verified after the retries is reported as a skip, which fails the grab here.
    cdio_paranoia_modeset(paranoia.get(), errorCorrection
                                              ? PARANOIA_MODE_FULL ^ PARANOIA_MODE_NEVERSKIP
                                              : PARANOIA_MODE_VERIFY);
    cdio_paranoia_seek(paranoia.get(), first, SEEK_SET);

    const uint64_t total = dataBytes;
    const int64_t step = std::max<int64_t>(25, sectors / 200);
    if (reportProgress)
        Report(object, total, 0);
    std::vector<uint8_t> buffer;
    buffer.reserve(kWriteBufferBytes);
    for (int64_t i = 0; i < sectors; ++i) {
        const int16_t* samples =
            cdio_paranoia_read_limited(paranoia.get(), ParanoiaCallback, kParanoiaRetries);
        if (!state.cancelled && object->cancel.load())
            state.cancelled = true;
        if (state.cancelled) {
            object->cancel.store(false);
            return eb.Fail(VANTRELL_EXCEPTION_CANCELLED, 0, 0, -1,
                           "Grabbing track %u was cancelled", track);
        }
        if (state.readFailed || state.skipped || !samples) {
            const lsn_t lsn =
                state.failedLsn >= 0 ? state.failedLsn : first + static_cast<lsn_t>(i);
            return eb.Fail(VANTRELL_EXCEPTION_READ_ERROR, 0, 0, lsn,
                           "Track %u could not be read: sector %d is unreadable after %d "
                           "attempts",
                           track, lsn, state.errors > 0 ? state.errors : kParanoiaRetries);
        }
        const auto* bytes = reinterpret_cast<const uint8_t*>(samples);
        if constexpr (std::endian::native == std::endian::big) {
            for (size_t k = 0; k < CDIO_CD_FRAMESIZE_RAW; k += 2) {
                buffer.push_back(bytes[k + 1]);
                buffer.push_back(bytes[k]);
            }
        } else {
            buffer.insert(buffer.end(), bytes, bytes + CDIO_CD_FRAMESIZE_RAW);
        }
        if (buffer.size() + CDIO_CD_FRAMESIZE_RAW > kWriteBufferBytes || i + 1 == sectors) {
            if (!WriteAll(out.Fd(), buffer.data(), buffer.size()))
                return eb.Fail(VANTRELL_EXCEPTION_FILE_ERROR, errno, 0, -1, "Cannot write %s: %s",
                               outputFile, std::strerror(errno));
            buffer.clear();
        }
        if (reportProgress && (i + 1) % step == 0 && i + 1 < sectors)
            Report(object, total, static_cast<uint64_t>(i + 1) * CDIO_CD_FRAMESIZE_RAW);
    }
    if (!out.Commit())
        return eb.Fail(VANTRELL_EXCEPTION_FILE_ERROR, errno, 0, -1, "Cannot complete %s: %s",
                       outputFile, std::strerror(errno));
    if (reportProgress)
        Report(object, total, total);
    return eb.Ok();
}

void Vantrell_CdvdBurnerGrabber_CancelGrab(VantrellObject* object) {
    if (object)
        object->cancel.store(true);
}

} // extern "C"
