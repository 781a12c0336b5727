// Copying an audio track into a WAV file through cdio-paranoia.
#include "Internal.h"
#include "ParanoiaEvents.h"

#include "SafeOutput.h"

#include <cdio/paranoia/cdda.h>
#include <cdio/paranoia/paranoia.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cerrno>
#include <climits>
#include <cstring>
#include <thread>
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

// The sectors a grab reads, and the audio it may reach into: the run of audio tracks
// that holds the track, within the disc's data.
struct GrabRange {
    uint8_t track = 0;
    lsn_t first = 0;
    int64_t sectors = 0;
    lsn_t audioFrom = 0, audioTo = 0; // [from, to)
};

struct ReadOptions {
    uint8_t errorCorrection, readSpeed, reportProgress;
};

// Finds track in the disc's TOC: its sectors, and the audio sectors next to it.
uint8_t TrackRange(VantrellObject* object, ErrorBlock& eb, uint8_t track, GrabRange& range) {
    // The TOC with the session layout: the last audio track of a CD-Extra disc ends at its
    // session's lead-out.
    VantrellTocRecord toc;
    if (const uint8_t rc = DiscToc(object, eb, toc))
        return rc;
    int at = -1;
    for (int i = 0; i < toc.EntryCount; ++i) {
        if (toc.Entries[i].TrackNumber == track)
            at = i;
    }
    if (at < 0)
        return eb.Fail(VANTRELL_EXCEPTION_INVALID_ARGUMENT, 0, 0, -1, "The disc has no track %u",
                       track);
    const VantrellTocEntry& entry = toc.Entries[at];
    if (!entry.AudioTrack)
        return eb.Fail(VANTRELL_EXCEPTION_NOT_AUDIO, 0, 0, -1,
                       "Track %u is a data track, not an audio track", track);
    // A damaged image can place a track's end beyond the data there is (the lead-out
    // comes from the BIN's size). The verified reader pads such sectors with silence
    // instead of failing, so they are refused here.
    if (entry.EndLba > toc.LeadOutLba)
        return eb.Fail(VANTRELL_EXCEPTION_READ_ERROR, 0, 0, toc.LeadOutLba,
                       "Track %u could not be read: sector %d is unreadable (beyond the end "
                       "of the disc at sector %d)",
                       track, std::max(lsn_t{toc.LeadOutLba}, lsn_t{entry.StartLba}),
                       toc.LeadOutLba);
    range.track = track;
    range.first = entry.StartLba;
    range.sectors = int64_t{entry.EndLba} - entry.StartLba;
    int from = at, to = at;
    while (from > 0 && toc.Entries[from - 1].AudioTrack &&
           toc.Entries[from - 1].EndLba == toc.Entries[from].StartLba)
        --from;
    while (to + 1 < toc.EntryCount && toc.Entries[to + 1].AudioTrack &&
           toc.Entries[to + 1].StartLba == toc.Entries[to].EndLba &&
           toc.Entries[to + 1].EndLba <= toc.LeadOutLba)
        ++to;
    // The record is packed: its fields are copied, never bound to references.
    range.audioFrom = std::max(lsn_t{0}, lsn_t{toc.Entries[from].StartLba});
    range.audioTo = toc.Entries[to].EndLba;
    return VANTRELL_EXCEPTION_SUCCESS;
}

// What every grab does first: a cancel asked for before it is used up by it, and the
// track is found.
uint8_t StartGrab(VantrellObject* object, ErrorBlock& eb, uint8_t track, GrabRange& range) {
    if (object->cancel.exchange(false))
        return eb.Fail(VANTRELL_EXCEPTION_CANCELLED, 0, 0, -1, "Grabbing track %u was cancelled",
                       track);
    return TrackRange(object, eb, track, range);
}

// Keeps a virtual drive to the pace a real drive of TONVALE_VIRTUAL_SPEED would read at.
class Pace {
public:
    Pace(bool isVirtual, double speed)
        : BytesPerSecond_(isVirtual && speed > 0 ? speed * 176400.0 : 0),
          Start_(std::chrono::steady_clock::now()) {}
    void After(uint64_t bytes) {
        if (BytesPerSecond_ <= 0)
            return;
        const auto due =
            Start_ +
            std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                std::chrono::duration<double>(static_cast<double>(bytes) / BytesPerSecond_));
        std::this_thread::sleep_until(due);
    }

private:
    double BytesPerSecond_;
    std::chrono::steady_clock::time_point Start_;
};

} // namespace

// The verified reader of a device object: a libcdio paranoia instance over the object's
// medium, kept from one grab to the next as long as the medium cannot have changed (an
// image's handle that is still the object's; a real drive whose tray the object has
// locked), as one reader of the whole disc would be. Its buffers (some 30 MB) are then
// made once, and a read that starts where the last one ended finds its samples there.
struct AudioReader {
    CdioPtr handle;         // real drives: a handle of its own
    CdIo_t* cdio = nullptr; // what it reads through
    std::unique_ptr<cdrom_drive_t, DriveCloser> drive;
    std::unique_ptr<cdrom_paranoia_t, ParanoiaCloser> paranoia; // destroyed first
    long (*read)(cdrom_drive_t*, void*, lsn_t, long) = nullptr; // the drive's own reader
    uint8_t errorCorrection = 0, readSpeed = 0;
};

namespace {

// Opens a reader of the object's medium into reader; the error block filled on failure.
uint8_t OpenReader(VantrellObject* object, ErrorBlock& eb, ReadOptions options,
                   std::shared_ptr<AudioReader>& opened) {
    auto reader = std::make_shared<AudioReader>();
    // The audio comes through libcdio: the image's handle, or a new handle of the real drive,
    // which knows the medium inside now (a handle keeps the TOC it read first).
    reader->cdio = object->cdio.get();
    if (!object->drive.isVirtual) {
        reader->handle.reset(object->transport->NewAudioHandle());
        reader->cdio = reader->handle.get();
    }
    const auto cannot = [&] {
        return eb.Fail(VANTRELL_EXCEPTION_DEVICE_ERROR, 0, 0, -1,
                       "The drive %s cannot read digital audio", object->drive.path.c_str());
    };
    if (!reader->cdio)
        return cannot();
    reader->drive.reset(cdio_cddap_identify_cdio(reader->cdio, CDDA_MESSAGE_FORGETIT, nullptr));
    if (!reader->drive)
        return cannot();
    cdrom_drive_t* drive = reader->drive.get();
    // CD audio is little-endian on every drive and in every image. Set before the open: left
    // unknown, the open probes the byte order by reading the start of several tracks, and
    // guesses it from the samples (swapping noise-like audio).
    drive->bigendianp = 0;
    if (cdio_cddap_open(drive) != 0)
        return cannot();
    drive->bigendianp = 0; // whatever the open concluded
    if (options.readSpeed && !object->drive.isVirtual)
        cdio_cddap_speed_set(drive, options.readSpeed);
    reader->read = drive->read_audio;
    drive->read_audio = GuardedRead;
    reader->paranoia.reset(cdio_paranoia_init(drive));
    if (!reader->paranoia)
        return eb.Fail(VANTRELL_EXCEPTION_INTERNAL, 0, 0, -1, "Cannot start the verified reader");
    // Full paranoia as the reference reader uses it by default: a sector that cannot be
    // verified after the retries is reported as a skip, which fails the grab here.
    cdio_paranoia_modeset(reader->paranoia.get(), options.errorCorrection
                                                      ? PARANOIA_MODE_FULL ^ PARANOIA_MODE_NEVERSKIP
                                                      : PARANOIA_MODE_VERIFY);
    // The verified reader models a drive's read cache (1200 sectors by default) so that a
    // second read comes from the disc, not the cache. Its size stays the default for an
    // image too: a model of 150 sectors made tracks longer than some 500 sectors end in
    // the next track's first sectors.
    reader->errorCorrection = options.errorCorrection;
    reader->readSpeed = options.readSpeed;
    opened = std::move(reader);
    return VANTRELL_EXCEPTION_SUCCESS;
}

// The object's kept reader when it still reads the medium inside, else a new one.
uint8_t TakeReader(VantrellObject* object, ErrorBlock& eb, ReadOptions options,
                   std::shared_ptr<AudioReader>& reader) {
    reader = std::move(object->audioReader);
    object->audioReader.reset();
    const bool same =
        reader && reader->errorCorrection == options.errorCorrection &&
        reader->readSpeed == options.readSpeed &&
        (object->drive.isVirtual ? reader->cdio == object->cdio.get() : object->holdsLock);
    if (same)
        return VANTRELL_EXCEPTION_SUCCESS;
    reader.reset(); // the old one goes before a new one is made
    return OpenReader(object, eb, options, reader);
}

// Reads range through the verified reader and hands its audio to sink in parts of up to
// kWriteBufferBytes. outputFile names the file in texts of write failures (null: the sink).
// A read that ends well leaves the reader with the object for the next one.
uint8_t ReadAudio(VantrellObject* object, ErrorBlock& eb, const GrabRange& range,
                  VantrellAudioSink sink, void* context, ReadOptions options,
                  const char* outputFile) {
    const uint8_t track = range.track;
    std::shared_ptr<AudioReader> reader;
    if (const uint8_t rc = TakeReader(object, eb, options, reader))
        return rc;
    GrabState state;
    state.read = reader->read;
    state.cancel = &object->cancel;
    ThreadGrab scope(&state);
    cdrom_paranoia_t* paranoia = reader->paranoia.get();
    cdio_paranoia_seek(paranoia, range.first, SEEK_SET);

    const int64_t sectors = range.sectors;
    const uint64_t total = static_cast<uint64_t>(sectors) * CDIO_CD_FRAMESIZE_RAW;
    const int64_t step = std::max<int64_t>(25, sectors / 200);
    if (options.reportProgress)
        Report(object, total, 0);
    Pace pace(object->drive.isVirtual, VirtualSpeed());
    std::vector<uint8_t> buffer;
    buffer.reserve(kWriteBufferBytes);
    for (int64_t i = 0; i < sectors; ++i) {
        const int16_t* samples =
            cdio_paranoia_read_limited(paranoia, ParanoiaCallback, kParanoiaRetries);
        if (!state.cancelled && object->cancel.load())
            state.cancelled = true;
        if (state.cancelled) {
            object->cancel.store(false);
            return eb.Fail(VANTRELL_EXCEPTION_CANCELLED, 0, 0, -1,
                           "Grabbing track %u was cancelled", track);
        }
        if (state.readFailed || state.skipped || !samples) {
            const lsn_t lsn =
                state.failedLsn >= 0 ? state.failedLsn : range.first + static_cast<lsn_t>(i);
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
            pace.After(static_cast<uint64_t>(i + 1) * CDIO_CD_FRAMESIZE_RAW);
            if (const int32_t error =
                    sink(context, buffer.data(), static_cast<uint32_t>(buffer.size()))) {
                if (outputFile)
                    return eb.Fail(VANTRELL_EXCEPTION_FILE_ERROR, error, 0, -1,
                                   "Cannot write %s: %s", outputFile, std::strerror(error));
                return eb.Fail(VANTRELL_EXCEPTION_FILE_ERROR, error, 0, -1,
                               "The audio of track %u could not be passed on: %s", track,
                               std::strerror(error));
            }
            buffer.clear();
        }
        if (options.reportProgress && (i + 1) % step == 0 && i + 1 < sectors)
            Report(object, total, static_cast<uint64_t>(i + 1) * CDIO_CD_FRAMESIZE_RAW);
    }
    if (object->drive.isVirtual || object->holdsLock)
        object->audioReader = reader;
    return VANTRELL_EXCEPTION_SUCCESS;
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
    GrabRange range;
    if (const uint8_t rc = StartGrab(object, eb, track, range))
        return rc;
    const uint64_t dataBytes = static_cast<uint64_t>(range.sectors) * CDIO_CD_FRAMESIZE_RAW;
    if (dataBytes > UINT32_MAX - 36)
        return eb.Fail(VANTRELL_EXCEPTION_INVALID_ARGUMENT, 0, 0, -1,
                       "Track %u is too long for a WAV file", track);

    // A regular file (or a new name) is written under a temporary name, locked, and renamed
    // when complete; a link is written through, a device or FIFO in place.
    safeio::TSafeOutput out;
    if (!out.Open(outputFile, safeio::TSafeOutput::kLockExclusive)) {
        if (out.ReadOnly()) // its own permission, not the folder's
            return eb.Fail(VANTRELL_EXCEPTION_FILE_ERROR, errno, 0, -1, "%s is read-only",
                           outputFile);
        return eb.Fail(VANTRELL_EXCEPTION_FILE_ERROR, errno, 0, -1,
                       "The output file %s cannot be created: %s", outputFile,
                       std::strerror(errno));
    }
    if (waveHeader) {
        uint8_t header[44];
        CanonicalWaveHeader(header, static_cast<uint32_t>(dataBytes));
        if (!out.Write(header, sizeof header))
            return eb.Fail(VANTRELL_EXCEPTION_FILE_ERROR, errno, 0, -1, "Cannot write %s: %s",
                           outputFile, std::strerror(errno));
    }
    const auto write = [](void* context, const uint8_t* data, uint32_t size) -> int32_t {
        return static_cast<safeio::TSafeOutput*>(context)->Write(data, size) ? 0
               : errno != 0                                                  ? errno
                                                                             : EIO;
    };
    if (const uint8_t rc = ReadAudio(object, eb, range, write, &out,
                                     {errorCorrection, readSpeed, reportProgress}, outputFile))
        return rc;
    if (!out.Commit())
        return eb.Fail(VANTRELL_EXCEPTION_FILE_ERROR, errno, 0, -1, "Cannot complete %s: %s",
                       outputFile, std::strerror(errno));
    if (reportProgress)
        Report(object, dataBytes, dataBytes);
    return eb.Ok();
}

uint8_t Vantrell_CdvdBurnerGrabber_GrabTrackRange(VantrellObject* object, VANTRELL_ERROR_BLOCK,
                                                  uint8_t track, int32_t firstLsn, int32_t sectors,
                                                  VantrellAudioSink sink, void* context,
                                                  uint8_t errorCorrection, uint8_t readSpeed,
                                                  uint8_t reportProgress) {
    VANTRELL_EB("Vantrell_CdvdBurnerGrabber_GrabTrackRange");
    if (!object)
        return eb.Fail(VANTRELL_EXCEPTION_INVALID_ARGUMENT, 0, 0, -1, "No device object");
    if (!sink)
        return eb.Fail(VANTRELL_EXCEPTION_INVALID_ARGUMENT, 0, 0, -1, "No audio sink");
    GrabRange range;
    if (const uint8_t rc = StartGrab(object, eb, track, range))
        return rc;
    if (sectors <= 0 || firstLsn < range.audioFrom || firstLsn > range.audioTo - sectors)
        return eb.Fail(VANTRELL_EXCEPTION_INVALID_ARGUMENT, 0, 0, -1,
                       "Sectors %d to %d are not audio sectors beside track %u (%d to %d)",
                       firstLsn, firstLsn + sectors - 1, track, range.audioFrom, range.audioTo - 1);
    range.first = firstLsn;
    range.sectors = sectors;
    if (const uint8_t rc = ReadAudio(object, eb, range, sink, context,
                                     {errorCorrection, readSpeed, reportProgress}, nullptr))
        return rc;
    if (reportProgress) {
        const uint64_t total = static_cast<uint64_t>(sectors) * CDIO_CD_FRAMESIZE_RAW;
        Report(object, total, total);
    }
    return eb.Ok();
}

void Vantrell_CdvdBurnerGrabber_CancelGrab(VantrellObject* object) {
    if (object)
        object->cancel.store(true);
}

} // extern "C"
