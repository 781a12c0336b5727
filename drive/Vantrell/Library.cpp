// The library's shared state, drive list, device objects and the describing operations.
#include "Internal.h"

#include <cdio/cdtext.h>
#include <cdio/logging.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <thread>

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vantrell {
namespace {

std::mutex g_logMutex;            // guards the sink
VantrellLogSink g_sink = nullptr; // guarded by g_logMutex
void* g_sinkContext = nullptr;    // guarded by g_logMutex
std::atomic<uint8_t> g_fastReadToc{1};
std::atomic<int> g_started{0};
// Read once when the library loads, on the loading thread: getenv is not safe on worker
// threads while another thread may change the environment.
const bool g_driveDebug = std::getenv("TONVALE_DRIVE_DEBUG") != nullptr;

// TONVALE_VIRTUAL_DRIVES, read when the library loads and again only on that thread (the
// main thread, which alone changes the environment); workers use the list as last read.
const std::thread::id g_loadingThread = std::this_thread::get_id();
std::mutex g_virtualMutex;
std::string g_virtualDrives; // guarded by g_virtualMutex
// TONVALE_VIRTUAL_SPEED: virtual drives read at this many times real time; 0: unthrottled.
std::atomic<double> g_virtualSpeed{0};

double ParseSpeed(const char* text) {
    if (!text || !*text)
        return 0;
    char* end = nullptr;
    const double speed = std::strtod(text, &end);
    return end && *end == '\0' && speed > 0 && speed < 1e6 ? speed : 0;
}

void ReadVirtualDrives() {
    const char* list = std::getenv("TONVALE_VIRTUAL_DRIVES");
    g_virtualSpeed.store(ParseSpeed(std::getenv("TONVALE_VIRTUAL_SPEED")));
    std::lock_guard lock(g_virtualMutex);
    g_virtualDrives = list ? list : "";
}
const bool g_virtualDrivesRead = (ReadVirtualDrives(), true);

void CopyText(char* out, size_t size, const char* text) {
    if (!out || size == 0)
        return;
    std::snprintf(out, size, "%s", text ? text : "");
}

// True when bytes are well-formed UTF-8 (no overlong forms, surrogates or values past
// U+10FFFF).
bool IsUtf8(const std::string& bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* end = p + bytes.size();
    while (p < end) {
        const unsigned c = *p++;
        if (c < 0x80)
            continue;
        int more = 0;
        unsigned low = 0x80, high = 0xBF; // range of the first continuation byte
        if (c >= 0xC2 && c <= 0xDF) {
            more = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            more = 2;
            low = c == 0xE0 ? 0xA0 : 0x80;
            high = c == 0xED ? 0x9F : 0xBF;
        } else if (c >= 0xF0 && c <= 0xF4) {
            more = 3;
            low = c == 0xF0 ? 0x90 : 0x80;
            high = c == 0xF4 ? 0x8F : 0xBF;
        } else {
            return false;
        }
        if (end - p < more || *p < low || *p > high)
            return false;
        for (int k = 1; k < more; ++k)
            if ((p[k] & 0xC0) != 0x80)
                return false;
        p += more;
    }
    return true;
}

// A CD-Text field of an image as UTF-8. A CUE or TOC file's text is read by libcdio as
// ISO 8859-1 and re-encoded; such files are mostly written in UTF-8, so when the original
// bytes are valid UTF-8 they are the text as written, and otherwise the ISO 8859-1 reading
// stands. (A real disc's CD-Text is decoded by the character code its text block names.)
std::string CdTextField(CdIo_t* cdio, cdtext_field_t field, track_t track) {
    cdtext_t* text = cdio_get_cdtext(cdio);
    const char* value = text ? cdtext_get_const(text, field, track) : nullptr;
    if (!value)
        return {};
    const std::string decoded = value;
    std::string original; // the file's bytes: each code point of the reading is one byte
    for (size_t i = 0; i < decoded.size(); ++i) {
        const auto c = static_cast<unsigned char>(decoded[i]);
        if (c < 0x80) {
            original += static_cast<char>(c);
        } else if ((c == 0xC2 || c == 0xC3) && i + 1 < decoded.size()) {
            original += static_cast<char>(((c & 0x03) << 6) | (decoded[++i] & 0x3F));
        } else {
            return decoded; // not an ISO 8859-1 reading
        }
    }
    return IsUtf8(original) ? original : decoded;
}

void EmitLog(int32_t level, const char* message) {
    std::lock_guard lock(g_logMutex);
    if (g_sink)
        g_sink(g_sinkContext, level, message);
    if (g_driveDebug) // also beside a sink: what a test or a user watching stderr sees
        std::fprintf(stderr, "Vantrell: %s\n", message);
}

// While this thread opens an image for a diagnosis, libcdio's messages are kept here as
// well: they are the only place where its image parsers say what they refused.
thread_local std::vector<std::string>* t_cdioCapture = nullptr;

void CdioLogHandler(cdio_log_level_t level, const char message[]) {
    std::string text = message ? message : "";
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    if (t_cdioCapture && level >= CDIO_LOG_INFO && !text.empty())
        t_cdioCapture->push_back(text);
    if (level < CDIO_LOG_WARN)
        return;
    EmitLog(static_cast<int32_t>(level), ("libcdio: " + text).c_str());
}

std::mutex& OpenMutex() {
    static std::mutex mutex;
    return mutex;
}

// libcdio's parser messages, as a reason: "line 5: after word INDEX: Invalid MSF string
// 99:99:99". They name the image by the path it was opened with, which the caller's text
// already shows.
std::string ParserReason(const std::string& path, const std::vector<std::string>& messages) {
    std::string reason;
    for (std::string text : messages) {
        if (text == "init failed") // the driver's own summary, says nothing new
            continue;
        if (text.compare(0, path.size() + 1, path + " ") == 0)
            text.erase(0, path.size() + 1);
        const size_t warning = text.find(": warning: ");
        if (warning != std::string::npos && text.compare(0, 5, "line ") == 0)
            text.erase(warning + 2, 9);
        if (!reason.empty())
            reason += ' ';
        reason += text;
    }
    return reason;
}

// A text from a disc or an image file without its control characters: C0, DEL, and C1
// (U+0080..U+009F, two bytes in UTF-8), which a terminal would take as commands.
std::string WithoutControls(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7F)
            continue;
        if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
            static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            ++i;
            continue;
        }
        out += text[i];
    }
    return out;
}

// The file a CUE sheet's first FILE line names, from the sheet's folder; empty when it
// has none.
std::string CueFileLine(const std::string& cuePath) {
    FILE* cue = std::fopen(cuePath.c_str(), "re");
    if (!cue)
        return {};
    std::string name;
    char line[4096];
    while (name.empty() && std::fgets(line, sizeof line, cue)) {
        const char* p = line + std::strspn(line, " \t");
        if (strncasecmp(p, "FILE", 4) != 0 || (p[4] != ' ' && p[4] != '\t'))
            continue;
        p += 4 + std::strspn(p + 4, " \t");
        const char* end = nullptr;
        if (*p == '"') {
            end = std::strchr(++p, '"');
        } else {
            end = p + std::strcspn(p, " \t\r\n");
        }
        if (end && end > p)
            name.assign(p, end);
    }
    std::fclose(cue);
    if (name.empty() || name[0] == '/')
        return name;
    const size_t slash = cuePath.rfind('/');
    return slash == std::string::npos ? name : cuePath.substr(0, slash + 1) + name;
}

bool EndsWithNoCase(const std::string& text, const char* suffix) {
    const size_t n = std::strlen(suffix);
    return text.size() >= n && strcasecmp(text.c_str() + text.size() - n, suffix) == 0;
}

// Why an image that libcdio would not open cannot be read. The caller holds OpenMutex();
// cdio, when the driver of its kind opens it after all, receives that handle.
std::string ImageProblem(const std::string& path, CdIo_t*& cdio) {
    if (::access(path.c_str(), R_OK) != 0)
        return std::strerror(errno);
    driver_id_t driver = DRIVER_UNKNOWN;
    if (EndsWithNoCase(path, ".cue")) {
        driver = DRIVER_BINCUE;
        // Answers the BIN's name only for a CUE sheet that parses. The BIN/CUE driver reads
        // the BIN beside the CUE, named like it, whatever its FILE line says; the user
        // knows the name in the FILE line.
        if (char* bin = cdio_is_cuefile(path.c_str())) {
            const std::string binPath = bin;
            std::free(bin);
            const std::string named = WithoutControls(CueFileLine(path));
            struct stat st {};
            if (::stat(binPath.c_str(), &st) != 0 && errno == ENOENT) {
                if (named.empty() || named == binPath || ::stat(named.c_str(), &st) != 0)
                    return "BIN file " + (named.empty() ? binPath : named) + " not found";
                return "BIN file " + binPath + " not found: the image is read from the BIN " +
                       "file named like its CUE sheet, not from " + named;
            }
            if (::stat(binPath.c_str(), &st) != 0)
                return "BIN file " + binPath + ": " + std::strerror(errno);
            if (!S_ISREG(st.st_mode))
                return "BIN file " + binPath + " is not a regular file";
            if (::access(binPath.c_str(), R_OK) != 0)
                return "BIN file " + binPath + " cannot be read: " + std::strerror(errno);
        }
    } else if (EndsWithNoCase(path, ".toc")) {
        driver = DRIVER_CDRDAO;
    } else if (EndsWithNoCase(path, ".nrg")) {
        driver = DRIVER_NRG;
    } else {
        return "not a disc image (CUE/BIN, TOC or NRG)";
    }
    // Once more with only the driver of its kind, so that the messages are that parser's.
    std::vector<std::string> messages;
    t_cdioCapture = &messages;
    cdio = cdio_open(path.c_str(), driver);
    t_cdioCapture = nullptr;
    if (cdio)
        return {};
    const std::string reason = WithoutControls(ParserReason(path, messages));
    return reason.empty() ? "its contents are not a valid disc image" : reason;
}

bool SameAddress(const VantrellDeviceAddress& a, uint8_t port, uint8_t bus, uint8_t target,
                 uint8_t lun) {
    return a.PortID == port && a.BusID == bus && a.TargetID == target && a.LUN == lun;
}

const char* const kExceptionTexts[] = {
    "Success",
    "Invalid argument",
    "No such device",
    "The device cannot be opened",
    "No medium in the drive",
    "A sector could not be read",
    "Cancelled",
    "File error",
    "The disc has no table of contents",
    "Not supported by this library",
    "The track is not an audio track",
    "The drive rejected a command",
    "Medium removal is prevented",
    "The file is not a 16-bit PCM WAV file of the expected format",
    "Internal error",
    "No rights to use the drive",
};

bool IsImageStale(VantrellObject* object, const struct stat& st) {
    return object->imageInode != st.st_ino || object->imageMtime != st.st_mtime;
}

// Fills a track information record of a TOC track (images; drives that do not answer).
void TrackInfoFromToc(const VantrellTocEntry& e, VantrellTrackInformation& info) {
    info.Present = 1;
    info.TrackNumber = e.TrackNumber;
    info.SessionNumber = e.SessionNumber ? e.SessionNumber : 1;
    info.TrackMode = e.Control;
    info.DataMode = e.AudioTrack ? 0x0F : e.TrackMode;
    info.Copy = e.CopyProhibited ? 0 : 1;
    info.Blank = 0;
    info.NextWritableValid = 0;
    info.StartLba = e.StartLba;
    info.NextWritableAddress = 0;
    info.FreeBlocks = 0;
    info.TrackSize = e.EndLba - e.StartLba;
}

uint8_t RequireObject(VantrellObject* object, ErrorBlock& eb) {
    if (!object)
        return eb.Fail(VANTRELL_EXCEPTION_INVALID_ARGUMENT, 0, 0, -1, "No device object");
    return VANTRELL_EXCEPTION_SUCCESS;
}

uint8_t CreateFor(const Drive& drive, VantrellObject** object, ErrorBlock& eb,
                  VantrellCallback callback, void* context) {
    InstallCdioLogHandler();
    auto created = std::make_unique<VantrellObject>();
    created->drive = drive;
    created->callback = callback;
    created->context = context;
    if (!drive.isVirtual) {
        if (uint8_t rc = OpenRealDrive(drive, created->transport, eb))
            return rc;
    }
    *object = created.release();
    Log(VANTRELL_LOG_DEBUG, "device object opened for %s", drive.path.c_str());
    return eb.Ok();
}

} // namespace

// ---- error block, log -------------------------------------------------------------------

ErrorBlock::ErrorBlock(const char* operation, char* text, uint32_t textSize, int32_t* status,
                       VantrellFailureRecord* record)
    : operation_(operation), text_(text), textSize_(textSize), status_(status), record_(record) {
    Ok();
}

uint8_t ErrorBlock::Ok() {
    sense_ = {};
    if (text_ && textSize_ > 0)
        text_[0] = '\0';
    if (status_)
        *status_ = 0;
    if (record_)
        std::memset(record_, 0, sizeof *record_);
    return VANTRELL_EXCEPTION_SUCCESS;
}

uint8_t ErrorBlock::Fail(uint8_t code, int32_t systemError, int32_t driverCode, int32_t lba,
                         const char* format, ...) {
    char message[VANTRELL_EXCEPTION_TEXT_SIZE];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    return Fill(code, systemError, driverCode, lba, message);
}

uint8_t ErrorBlock::FailMmc(uint8_t code, const MmcResult& result, const char* format, ...) {
    char message[VANTRELL_EXCEPTION_TEXT_SIZE];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    sense_ = result;
    return Fill(code, result.driverStatus == kMmcNotPermitted ? EPERM : 0, result.driverStatus, -1,
                message);
}

uint8_t ErrorBlock::Fill(uint8_t code, int32_t systemError, int32_t driverCode, int32_t lba,
                         const char* message) {
    CopyText(text_, textSize_, message);
    if (status_)
        *status_ = systemError ? systemError : driverCode;
    if (record_) {
        std::memset(record_, 0, sizeof *record_);
        record_->ExceptionCode = code;
        record_->Lba = lba;
        record_->SystemError = systemError;
        record_->DriverCode = driverCode;
        record_->SenseKey = sense_.senseKey;
        record_->Asc = sense_.asc;
        record_->Ascq = sense_.ascq;
        const char* name = operation_;
        if (std::strncmp(name, "Vantrell_", 9) == 0)
            name += 9;
        std::snprintf(record_->Operation, sizeof record_->Operation, "%s", name);
    }
    Log(VANTRELL_LOG_WARN, "%s failed, exception %d: %s", operation_, code, message);
    return code;
}

void Log(int32_t level, const char* format, ...) {
    {
        std::lock_guard lock(g_logMutex);
        if (!g_sink && !g_driveDebug)
            return;
    }
    char message[2048];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    EmitLog(level, message);
}

void InstallCdioLogHandler() {
    static std::once_flag once;
    std::call_once(once, [] {
        // The image parsers say what they refuse at the info level; the handler passes on
        // warnings and errors only, and keeps the rest for a diagnosis under way.
        cdio_loglevel_default = CDIO_LOG_INFO;
        cdio_log_set_handler(CdioLogHandler);
    });
}

// ---- drives -----------------------------------------------------------------------------

void ToMsf(int32_t lba, uint8_t msf[3]) {
    const int32_t a = std::max(0, lba + 150);
    msf[0] = static_cast<uint8_t>(std::min(255, a / (60 * 75)));
    msf[1] = static_cast<uint8_t>((a / 75) % 60);
    msf[2] = static_cast<uint8_t>(a % 75);
}

// libcdio's image parsers keep their tokenizer state in strtok's hidden global: two images
// opened at once on different threads corrupt each other's parse.
CdIo_t* OpenImage(const std::string& path, std::string& reason) {
    InstallCdioLogHandler();
    std::lock_guard lock(OpenMutex());
    CdIo_t* cdio = cdio_open(path.c_str(), DRIVER_UNKNOWN);
    if (!cdio)
        reason = ImageProblem(path, cdio);
    return cdio;
}

std::mutex& StateMutex() {
    static std::mutex mutex;
    return mutex;
}

VirtualState& VirtualStateLocked(const std::string& path) {
    static std::map<std::string, VirtualState> states;
    return states[path];
}

double VirtualSpeed() {
    return g_virtualSpeed.load();
}

void RefreshVirtualDrives() {
    if (std::this_thread::get_id() == g_loadingThread)
        ReadVirtualDrives();
}

std::vector<Drive> ListDrives() {
    InstallCdioLogHandler();
    std::vector<Drive> drives;
    const std::shared_ptr<DriveProvider> provider = CurrentProvider();
    for (const std::string& path : provider->Devices()) {
        Drive drive;
        drive.path = path;
        if (!provider->Address(path, drive.address))
            drive.address = {1, static_cast<uint8_t>(100 + drives.size()), 0, 0, 0};
        drives.push_back(drive);
    }
    RefreshVirtualDrives();
    std::string all;
    {
        std::lock_guard lock(g_virtualMutex);
        all = g_virtualDrives;
    }
    size_t k = 0;
    for (size_t start = 0; start <= all.size() && k <= 55;) { // PortID is one byte
        size_t end = all.find(':', start);
        if (end == std::string::npos)
            end = all.size();
        const std::string path = all.substr(start, end - start);
        start = end + 1;
        if (path.empty())
            continue;
        Drive drive;
        drive.path = path;
        drive.isVirtual = true;
        drive.address = {1, static_cast<uint8_t>(200 + k), 0, 0, 0};
        drives.push_back(drive);
        ++k;
    }
    return drives;
}

void DropMedium(VantrellObject* object) {
    object->audioReader.reset();
    object->cdio.reset();
}

CdIo_t* Medium(VantrellObject* object, ErrorBlock& eb) {
    uint64_t generation = 0;
    {
        std::lock_guard lock(StateMutex());
        const VirtualState& state = VirtualStateLocked(object->drive.path);
        if (state.trayOpen) {
            DropMedium(object);
            eb.Fail(VANTRELL_EXCEPTION_NO_MEDIUM, 0, 0, -1,
                    "No medium in the drive %s: its tray is open", object->drive.path.c_str());
            return nullptr;
        }
        generation = state.generation;
    }
    struct stat st {};
    if (::stat(object->drive.path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        DropMedium(object);
        eb.Fail(VANTRELL_EXCEPTION_NO_MEDIUM, errno, 0, -1,
                "No medium in the drive %s: the disc image does not exist",
                object->drive.path.c_str());
        return nullptr;
    }
    if (object->cdio && (object->generation != generation || IsImageStale(object, st)))
        DropMedium(object);
    if (!object->cdio) {
        std::string reason;
        object->cdio.reset(OpenImage(object->drive.path, reason));
        if (!object->cdio) {
            eb.Fail(VANTRELL_EXCEPTION_NO_MEDIUM, 0, DRIVER_OP_ERROR, -1,
                    "The disc image %s cannot be read: %s", object->drive.path.c_str(),
                    reason.c_str());
            return nullptr;
        }
        object->generation = generation;
        object->imageInode = st.st_ino;
        object->imageMtime = st.st_mtime;
    }
    return object->cdio.get();
}

bool ReadToc(CdIo_t* cdio, VantrellTocRecord& toc) {
    std::memset(&toc, 0, sizeof toc);
    const track_t first = cdio_get_first_track_num(cdio);
    const track_t count = cdio_get_num_tracks(cdio);
    if (first == CDIO_INVALID_TRACK || count == CDIO_INVALID_TRACK || count == 0)
        return false;
    const lsn_t leadOut = cdio_get_track_lsn(cdio, CDIO_CDROM_LEADOUT_TRACK);
    if (leadOut == CDIO_INVALID_LSN)
        return false;
    const int n = std::min<int>(count, 99);
    toc.Valid = 1;
    toc.FirstTrack = first;
    toc.LastTrack = static_cast<uint8_t>(first + n - 1);
    toc.SessionCount = 1;
    toc.LeadOutLba = leadOut;
    toc.DiscMode = static_cast<uint8_t>(cdio_get_discmode(cdio));
    toc.EntryCount = static_cast<uint8_t>(n);
    for (int i = 0; i < n; ++i) {
        const track_t t = static_cast<track_t>(first + i);
        VantrellTocEntry& e = toc.Entries[i];
        const lsn_t start = cdio_get_track_lsn(cdio, t);
        lsn_t end = i + 1 < n ? cdio_get_track_lsn(cdio, static_cast<track_t>(t + 1)) : leadOut;
        // A damaged image can report a track beyond the lead-out: never a negative length.
        if (end == CDIO_INVALID_LSN || end < start)
            end = start;
        const track_format_t format = cdio_get_track_format(cdio, t);
        const bool audio = format == TRACK_FORMAT_AUDIO;
        e.EntryValid = Bool(start != CDIO_INVALID_LSN);
        e.TrackNumber = t;
        e.SessionNumber = 1;
        e.StartLba = start;
        ToMsf(start, e.StartMsf);
        e.EndLba = end;
        ToMsf(end, e.EndMsf);
        e.McnAvailable = 0;
        e.IsrcAvailable = 0;
        e.FourChannelAudio = Bool(audio && cdio_get_track_channels(cdio, t) == 4);
        e.PreEmphasis = Bool(audio && cdio_get_track_preemphasis(cdio, t) == CDIO_TRACK_FLAG_TRUE);
        e.DataTrack = Bool(!audio);
        e.AudioTrack = Bool(audio);
        e.CopyProhibited = Bool(cdio_get_track_copy_permit(cdio, t) != CDIO_TRACK_FLAG_TRUE);
        switch (format) {
        case TRACK_FORMAT_AUDIO:
            e.TrackMode = 0;
            e.BlockSize = CDIO_CD_FRAMESIZE_RAW;
            break;
        case TRACK_FORMAT_XA:
            e.TrackMode = 2;
            e.Mode2Form = cdio_get_track_green(cdio, t) ? 2 : 1;
            e.BlockSize = e.Mode2Form == 2 ? 2324 : CDIO_CD_FRAMESIZE;
            break;
        case TRACK_FORMAT_CDI:
        case TRACK_FORMAT_PSX:
            e.TrackMode = 2;
            e.BlockSize = 2336;
            break;
        default:
            e.TrackMode = 1;
            e.BlockSize = CDIO_CD_FRAMESIZE;
            break;
        }
        e.Control = static_cast<uint8_t>((audio ? 0 : 4) | (e.CopyProhibited ? 0 : 2) |
                                         (e.PreEmphasis ? 1 : 0) | (e.FourChannelAudio ? 8 : 0));
        e.Adr = 1;
    }
    return true;
}

uint8_t DiscToc(VantrellObject* object, ErrorBlock& eb, VantrellTocRecord& toc) {
    std::memset(&toc, 0, sizeof toc);
    if (!object->drive.isVirtual) {
        if (RealReady(object, eb) != VANTRELL_EXCEPTION_SUCCESS)
            return VANTRELL_EXCEPTION_NO_MEDIUM;
        return RealToc(object, eb, toc);
    }
    CdIo_t* cdio = Medium(object, eb);
    if (!cdio)
        return VANTRELL_EXCEPTION_NO_MEDIUM;
    if (!ReadToc(cdio, toc))
        return eb.Fail(VANTRELL_EXCEPTION_NO_TOC, 0, 0, -1,
                       "The disc in the drive %s has no table of contents",
                       object->drive.path.c_str());
    return VANTRELL_EXCEPTION_SUCCESS;
}

bool WriteAll(int fd, const void* data, size_t size) {
    const auto* p = static_cast<const uint8_t*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

} // namespace vantrell

using namespace vantrell;

// ---- library ----------------------------------------------------------------------------

extern "C" {

uint32_t Vantrell_GetVersion(void) {
    return VANTRELL_VERSION;
}

uint8_t Vantrell_UpStartEx(uint32_t /*flags*/) {
    InstallCdioLogHandler();
    RefreshVirtualDrives();
    g_started.fetch_add(1);
    Log(VANTRELL_LOG_INFO, "library started");
    return VANTRELL_EXCEPTION_SUCCESS;
}

uint8_t Vantrell_DownShut(void) {
    int started = g_started.load();
    while (started > 0 && !g_started.compare_exchange_weak(started, started - 1)) {
    }
    Log(VANTRELL_LOG_INFO, "library stopped");
    return VANTRELL_EXCEPTION_SUCCESS;
}

void Vantrell_RefreshVirtualDrives(void) {
    RefreshVirtualDrives();
}

void Vantrell_SetLogSink(VantrellLogSink sink, void* context) {
    std::lock_guard lock(g_logMutex);
    g_sink = sink;
    g_sinkContext = context;
}

const char* Vantrell_GetExceptionText(uint8_t code) {
    if (code < sizeof kExceptionTexts / sizeof kExceptionTexts[0])
        return kExceptionTexts[code];
    return "Unknown exception";
}

void Vantrell_SetFastReadTOC(uint8_t enabled) {
    g_fastReadToc = enabled ? 1 : 0;
}
uint8_t Vantrell_GetFastReadTOC(void) {
    return g_fastReadToc;
}

uint8_t Vantrell_FindDevice(uint32_t /*deviceKinds*/, uint32_t /*options*/,
                            VantrellCallback callback, void* context) {
    if (!callback)
        return VANTRELL_EXCEPTION_INVALID_ARGUMENT;
    // The list is a copy: the callback may open device objects (which list drives again).
    for (const Drive& drive : ListDrives()) {
        VantrellDeviceAddress address = drive.address;
        const std::string name = "dev:" + drive.path;
        callback(VANTRELL_REASON_DEVICE_FOUND, context, &address, const_cast<char*>(name.c_str()));
    }
    return VANTRELL_EXCEPTION_SUCCESS;
}

uint8_t Vantrell_GetDeviceNameByDeviceAddress(uint8_t portId, uint8_t busId, uint8_t targetId,
                                              uint8_t lun, char* name, uint32_t nameSize) {
    CopyText(name, nameSize, "");
    for (const Drive& drive : ListDrives()) {
        if (SameAddress(drive.address, portId, busId, targetId, lun)) {
            CopyText(name, nameSize, ("dev:" + drive.path).c_str());
            return VANTRELL_EXCEPTION_SUCCESS;
        }
    }
    return VANTRELL_EXCEPTION_NO_DEVICE;
}

// ---- device objects ---------------------------------------------------------------------

uint8_t Vantrell_CdvdBurnerGrabber_Create(VantrellObject** object, VANTRELL_ERROR_BLOCK,
                                          VantrellCallback callback, void* context, uint8_t portId,
                                          uint8_t busId, uint8_t targetId, uint8_t lun,
                                          uint8_t /*flag*/) {
    VANTRELL_EB("Vantrell_CdvdBurnerGrabber_Create");
    if (!object)
        return eb.Fail(VANTRELL_EXCEPTION_INVALID_ARGUMENT, 0, 0, -1, "No place for the object");
    *object = nullptr;
    for (const Drive& drive : ListDrives()) {
        if (SameAddress(drive.address, portId, busId, targetId, lun))
            return CreateFor(drive, object, eb, callback, context);
    }
    return eb.Fail(VANTRELL_EXCEPTION_NO_DEVICE, 0, 0, -1,
                   "No drive at the address PortID %u, BusID %u, TargetID %u, LUN %u", portId,
                   busId, targetId, lun);
}

uint8_t Vantrell_CdvdBurnerGrabber_CreateEx(VantrellObject** object, VANTRELL_ERROR_BLOCK,
                                            VantrellCallback callback, void* context,
                                            const char* deviceName, uint8_t /*flag*/) {
    VANTRELL_EB("Vantrell_CdvdBurnerGrabber_CreateEx");
    if (!object || !deviceName)
        return eb.Fail(VANTRELL_EXCEPTION_INVALID_ARGUMENT, 0, 0, -1, "No device name");
    *object = nullptr;
    std::string name = deviceName;
    const std::vector<Drive> drives = ListDrives();
    if (name.rfind("CdRom", 0) == 0 && name.size() > 5 &&
        name.find_first_not_of("0123456789", 5) == std::string::npos && name.size() < 9) {
        const size_t n = std::stoul(name.substr(5));
        if (n < drives.size())
            return CreateFor(drives[n], object, eb, callback, context);
    } else {
        if (name.rfind("dev:", 0) == 0)
            name = name.substr(4);
        for (const Drive& drive : drives) {
            if (drive.path == name)
                return CreateFor(drive, object, eb, callback, context);
        }
    }
    return eb.Fail(VANTRELL_EXCEPTION_NO_DEVICE, 0, 0, -1, "No drive named %s", deviceName);
}

uint8_t Vantrell_Destroy(VantrellObject** object) {
    if (!object || !*object)
        return VANTRELL_EXCEPTION_SUCCESS;
    VantrellObject* o = *object;
    *object = nullptr;
    if (o->holdsLock) {
        char text[VANTRELL_EXCEPTION_TEXT_SIZE];
        Vantrell_CdvdBurnerGrabber_Release(o, text, sizeof text, nullptr, nullptr);
    }
    delete o;
    return VANTRELL_EXCEPTION_SUCCESS;
}

uint8_t Vantrell_CdvdBurnerGrabber_GetDeviceInformation(VantrellObject* object, char* vendor,
                                                        char* product, char* revision,
                                                        uint32_t* bufferSize) {
    if (!object)
        return VANTRELL_EXCEPTION_INVALID_ARGUMENT;
    if (bufferSize)
        *bufferSize = 0;
    if (object->drive.isVirtual) {
        CopyText(vendor, VANTRELL_EXCEPTION_TEXT_SIZE, "Tonvale");
        CopyText(product, VANTRELL_EXCEPTION_TEXT_SIZE, "Virtual CD-ROM");
        CopyText(revision, VANTRELL_EXCEPTION_TEXT_SIZE, "1.0");
        return VANTRELL_EXCEPTION_SUCCESS;
    }
    return RealDeviceInformation(object, vendor, product, revision, bufferSize);
}

uint8_t Vantrell_CdvdBurnerGrabber_TestUnitReady(VantrellObject* object, VANTRELL_ERROR_BLOCK) {
    VANTRELL_EB("Vantrell_CdvdBurnerGrabber_TestUnitReady");
    if (uint8_t rc = RequireObject(object, eb))
        return rc;
    if (!object->drive.isVirtual)
        return RealReady(object, eb);
    if (!Medium(object, eb))
        return VANTRELL_EXCEPTION_NO_MEDIUM;
    return eb.Ok();
}

DISC_TYPE Vantrell_CdvdBurnerGrabber_GetInsertedDiscType(VantrellObject* object) {
    if (!object)
        return DISC_TYPE_UNKNOWN;
    ErrorBlock eb("Vantrell_CdvdBurnerGrabber_GetInsertedDiscType", nullptr, 0, nullptr, nullptr);
    if (!object->drive.isVirtual) {
        if (RealReady(object, eb) != VANTRELL_EXCEPTION_SUCCESS)
            return DISC_TYPE_NO_MEDIA;
        VantrellTocRecord toc;
        if (RealToc(object, eb, toc) != VANTRELL_EXCEPTION_SUCCESS)
            std::memset(&toc, 0, sizeof toc);
        return RealDiscType(object, toc);
    }
    CdIo_t* cdio = Medium(object, eb);
    if (!cdio)
        return DISC_TYPE_NO_MEDIA;
    switch (cdio_get_discmode(cdio)) {
    case CDIO_DISC_MODE_DVD_ROM:
    case CDIO_DISC_MODE_DVD_OTHER:
        return DISC_TYPE_DVDROM;
    case CDIO_DISC_MODE_DVD_RAM:
        return DISC_TYPE_DVDRAM;
    case CDIO_DISC_MODE_DVD_R:
        return DISC_TYPE_DVDR;
    case CDIO_DISC_MODE_DVD_RW:
        return DISC_TYPE_DVDRWRO;
    case CDIO_DISC_MODE_DVD_PR:
        return DISC_TYPE_DVDPLUSR;
    case CDIO_DISC_MODE_DVD_PRW:
    case CDIO_DISC_MODE_DVD_PRW_DL:
        return DISC_TYPE_DVDPLUSRW;
    case CDIO_DISC_MODE_DVD_PR_DL:
        return DISC_TYPE_DVDPLUSR_DL;
    case CDIO_DISC_MODE_HD_DVD_ROM:
        return DISC_TYPE_HDDVDROM;
    case CDIO_DISC_MODE_HD_DVD_R:
        return DISC_TYPE_HDDVDR;
    case CDIO_DISC_MODE_HD_DVD_RAM:
        return DISC_TYPE_HDDVDRW;
    default:
        break;
    }
    VantrellTocRecord toc;
    if (!ReadToc(cdio, toc))
        return DISC_TYPE_UNKNOWN;
    for (int i = 0; i < toc.EntryCount; ++i) {
        if (toc.Entries[i].AudioTrack)
            return DISC_TYPE_CDR;
    }
    return DISC_TYPE_CDROM;
}

uint8_t Vantrell_CdvdBurnerGrabber_GetTOCInformation(VantrellObject* object, VANTRELL_ERROR_BLOCK,
                                                     VantrellTocRecord* toc) {
    VANTRELL_EB("Vantrell_CdvdBurnerGrabber_GetTOCInformation");
    if (uint8_t rc = RequireObject(object, eb))
        return rc;
    if (!toc)
        return eb.Fail(VANTRELL_EXCEPTION_INVALID_ARGUMENT, 0, 0, -1, "No TOC record");
    const uint8_t rc = DiscToc(object, eb, *toc);
    if (rc == VANTRELL_EXCEPTION_NO_MEDIUM)
        return eb.Fail(VANTRELL_EXCEPTION_NO_TOC, 0, 0, -1,
                       "No table of contents: no medium in the drive %s",
                       object->drive.path.c_str());
    return rc ? rc : eb.Ok();
}

uint8_t Vantrell_CdvdBurnerGrabber_GetTrackInformation(VantrellObject* object, VANTRELL_ERROR_BLOCK,
                                                       uint8_t track,
                                                       VantrellTrackInformation* info) {
    VANTRELL_EB("Vantrell_CdvdBurnerGrabber_GetTrackInformation");
    if (uint8_t rc = RequireObject(object, eb))
        return rc;
    if (!info)
        return eb.Fail(VANTRELL_EXCEPTION_INVALID_ARGUMENT, 0, 0, -1, "No track record");
    std::memset(info, 0, sizeof *info);
    if (!object->drive.isVirtual) {
        if (RealReady(object, eb) != VANTRELL_EXCEPTION_SUCCESS)
            return VANTRELL_EXCEPTION_NO_MEDIUM;
        if (RealTrackInformation(object, track, *info))
            return eb.Ok();
        std::memset(info, 0, sizeof *info);
    } else if (!Medium(object, eb)) {
        return VANTRELL_EXCEPTION_NO_MEDIUM;
    }
    if (track == 255)
        return eb.Ok(); // a complete disc has no invisible track
    VantrellTocRecord toc;
    if (DiscToc(object, eb, toc) == VANTRELL_EXCEPTION_SUCCESS) {
        for (int i = 0; i < toc.EntryCount; ++i) {
            if (toc.Entries[i].TrackNumber == track) {
                TrackInfoFromToc(toc.Entries[i], *info);
                return eb.Ok();
            }
        }
    }
    return eb.Fail(VANTRELL_EXCEPTION_INVALID_ARGUMENT, 0, 0, -1, "The disc has no track %u",
                   track);
}

uint8_t Vantrell_CdvdBurnerGrabber_GetVolumeLabel(VantrellObject* object, VANTRELL_ERROR_BLOCK,
                                                  char* label, uint32_t labelSize) {
    VANTRELL_EB("Vantrell_CdvdBurnerGrabber_GetVolumeLabel");
    CopyText(label, labelSize, "");
    if (uint8_t rc = RequireObject(object, eb))
        return rc;
    if (!object->drive.isVirtual) {
        VantrellTocRecord toc;
        const uint8_t rc = DiscToc(object, eb, toc);
        if (rc == VANTRELL_EXCEPTION_NO_MEDIUM)
            return rc;
        CopyText(label, labelSize, WithoutControls(RealVolumeLabel(object, toc)).c_str());
        return eb.Ok();
    }
    CdIo_t* cdio = Medium(object, eb);
    if (!cdio)
        return VANTRELL_EXCEPTION_NO_MEDIUM;
    const std::string title = WithoutControls(CdTextField(cdio, CDTEXT_FIELD_TITLE, 0));
    if (!title.empty()) {
        CopyText(label, labelSize, title.c_str());
        return eb.Ok();
    }
    VantrellTocRecord toc;
    if (!ReadToc(cdio, toc))
        return eb.Ok();
    for (int i = 0; i < toc.EntryCount; ++i) {
        const VantrellTocEntry& e = toc.Entries[i];
        if (!e.DataTrack || e.EndLba - e.StartLba <= 16)
            continue;
        uint8_t block[CDIO_CD_FRAMESIZE];
        const driver_return_code_t rc =
            e.TrackMode == 2 ? cdio_read_mode2_sector(cdio, block, e.StartLba + 16, false)
                             : cdio_read_mode1_sector(cdio, block, e.StartLba + 16, false);
        if (rc == DRIVER_OP_SUCCESS && block[0] == 1 && std::memcmp(block + 1, "CD001", 5) == 0) {
            std::string id(reinterpret_cast<const char*>(block + 40), 32);
            while (!id.empty() && (id.back() == ' ' || id.back() == '\0'))
                id.pop_back();
            CopyText(label, labelSize, WithoutControls(id).c_str());
        }
        break;
    }
    return eb.Ok();
}

uint8_t Vantrell_CdvdBurnerGrabber_GetTrackIndexes(VantrellObject* object, VANTRELL_ERROR_BLOCK,
                                                   VantrellIndexRecord* indexes) {
    VANTRELL_EB("Vantrell_CdvdBurnerGrabber_GetTrackIndexes");
    if (uint8_t rc = RequireObject(object, eb))
        return rc;
    if (!indexes)
        return eb.Fail(VANTRELL_EXCEPTION_INVALID_ARGUMENT, 0, 0, -1, "No index record");
    std::memset(indexes, 0, sizeof *indexes);
    VantrellTocRecord toc;
    if (const uint8_t rc = DiscToc(object, eb, toc))
        return rc;
    indexes->Valid = 1;
    indexes->EntryCount = toc.EntryCount;
    for (int i = 0; i < toc.EntryCount; ++i) {
        VantrellTrackIndexes& x = indexes->Entries[i];
        x.TrackNumber = toc.Entries[i].TrackNumber;
        x.AudioTrack = toc.Entries[i].AudioTrack;
        x.Index01Lba = toc.Entries[i].StartLba;
        x.Index00Lba = -1;
    }
    if (!object->drive.isVirtual)
        return RealTrackIndexes(object, eb, toc, *indexes);
    // An image: its INDEX 00 as libcdio's parser read it (none: the track has no pregap).
    CdIo_t* cdio = Medium(object, eb);
    if (!cdio)
        return VANTRELL_EXCEPTION_NO_MEDIUM;
    for (int i = 0; i < toc.EntryCount; ++i) {
        VantrellTrackIndexes& x = indexes->Entries[i];
        if (!x.AudioTrack)
            continue;
        const lsn_t pregap = cdio_get_track_pregap_lsn(cdio, x.TrackNumber);
        x.Index00Lba = pregap != CDIO_INVALID_LSN && pregap >= 0 && pregap < x.Index01Lba
                           ? pregap
                           : x.Index01Lba;
    }
    return eb.Ok();
}

uint8_t Vantrell_CdvdBurnerGrabber_GetDiscInformation(VantrellObject* object, VANTRELL_ERROR_BLOCK,
                                                      VantrellDiscInformation* info) {
    VANTRELL_EB("Vantrell_CdvdBurnerGrabber_GetDiscInformation");
    if (uint8_t rc = RequireObject(object, eb))
        return rc;
    if (!info)
        return eb.Fail(VANTRELL_EXCEPTION_INVALID_ARGUMENT, 0, 0, -1, "No disc record");
    std::memset(info, 0, sizeof *info);
    VantrellTocRecord toc;
    if (const uint8_t rc = DiscToc(object, eb, toc))
        return rc;
    if (!object->drive.isVirtual) {
        RealDiscInformation(object, toc, *info);
        return eb.Ok();
    }
    // A disc image is a pressed disc: complete, one session, read-only.
    info->DiscStatus = 2;
    info->LastSessionStatus = 3;
    info->DiscType = toc.DiscMode == CDIO_DISC_MODE_CD_XA  ? 0x20
                     : toc.DiscMode == CDIO_DISC_MODE_CD_I ? 0x10
                                                           : 0x00;
    info->FirstTrack = toc.FirstTrack;
    info->SessionCount = 1;
    info->FirstTrackLastSession = toc.FirstTrack;
    info->LastTrackLastSession = toc.LastTrack;
    info->UnrestrictedUse = 1;
    info->LastSessionLeadIn = -1;
    info->LastPossibleLeadOut = -1;
    return eb.Ok();
}

uint8_t Vantrell_CdvdBurnerGrabber_GetSupportedMediaFormats(VantrellObject* object,
                                                            VANTRELL_ERROR_BLOCK,
                                                            VantrellMediaFormats* formats) {
    VANTRELL_EB("Vantrell_CdvdBurnerGrabber_GetSupportedMediaFormats");
    if (uint8_t rc = RequireObject(object, eb))
        return rc;
    if (!formats)
        return eb.Fail(VANTRELL_EXCEPTION_INVALID_ARGUMENT, 0, 0, -1, "No formats record");
    std::memset(formats, 0, sizeof *formats);
    if (object->drive.isVirtual) {
        formats->CdRom = formats->CdR = formats->CdRw = 1;
        return eb.Ok();
    }
    return RealMediaFormats(object, eb, formats, nullptr);
}

uint8_t Vantrell_CdvdBurnerGrabber_GetSupportedMediaFormatsExEx(VantrellObject* object,
                                                                VANTRELL_ERROR_BLOCK,
                                                                VantrellMediaFormatsEx* formats) {
    VANTRELL_EB("Vantrell_CdvdBurnerGrabber_GetSupportedMediaFormatsExEx");
    if (uint8_t rc = RequireObject(object, eb))
        return rc;
    if (!formats)
        return eb.Fail(VANTRELL_EXCEPTION_INVALID_ARGUMENT, 0, 0, -1, "No formats record");
    std::memset(formats, 0, sizeof *formats);
    if (object->drive.isVirtual)
        return eb.Ok();
    return RealMediaFormats(object, eb, nullptr, formats);
}

uint8_t Vantrell_CdvdBurnerGrabber_ProbeSupportedWriteModes(VantrellObject* object,
                                                            VANTRELL_ERROR_BLOCK,
                                                            VantrellWriteModes* modes) {
    VANTRELL_EB("Vantrell_CdvdBurnerGrabber_ProbeSupportedWriteModes");
    if (uint8_t rc = RequireObject(object, eb))
        return rc;
    if (!modes)
        return eb.Fail(VANTRELL_EXCEPTION_INVALID_ARGUMENT, 0, 0, -1, "No modes record");
    std::memset(modes, 0, sizeof *modes);
    return eb.Ok();
}

uint8_t Vantrell_CdvdBurnerGrabber_ProbeSupportedReadModes(VantrellObject* object,
                                                           VANTRELL_ERROR_BLOCK,
                                                           VantrellReadModes* modes) {
    VANTRELL_EB("Vantrell_CdvdBurnerGrabber_ProbeSupportedReadModes");
    if (uint8_t rc = RequireObject(object, eb))
        return rc;
    if (!modes)
        return eb.Fail(VANTRELL_EXCEPTION_INVALID_ARGUMENT, 0, 0, -1, "No modes record");
    std::memset(modes, 0, sizeof *modes);
    if (object->drive.isVirtual) {
        modes->CdDa = modes->AccurateStream = modes->CdText = modes->Mcn = 1;
        return eb.Ok();
    }
    return RealReadModes(object, eb, *modes);
}

uint8_t Vantrell_CdvdBurnerGrabber_GetRPC(VantrellObject* object, VANTRELL_ERROR_BLOCK,
                                          VantrellRegionData* region) {
    VANTRELL_EB("Vantrell_CdvdBurnerGrabber_GetRPC");
    if (uint8_t rc = RequireObject(object, eb))
        return rc;
    if (!region)
        return eb.Fail(VANTRELL_EXCEPTION_INVALID_ARGUMENT, 0, 0, -1, "No region record");
    std::memset(region, 0, sizeof *region);
    if (object->drive.isVirtual)
        return eb.Fail(VANTRELL_EXCEPTION_NOT_SUPPORTED, 0, 0, -1,
                       "A virtual drive has no region settings");
    return RealRegion(object, eb, *region);
}

uint8_t Vantrell_CdvdBurnerGrabber_SetSpeeds(VantrellObject* object, VANTRELL_ERROR_BLOCK,
                                             int32_t readSpeed, int32_t /*writeSpeed*/) {
    VANTRELL_EB("Vantrell_CdvdBurnerGrabber_SetSpeeds");
    if (uint8_t rc = RequireObject(object, eb))
        return rc;
    if (object->drive.isVirtual)
        return eb.Ok();
    return RealSetSpeed(object, eb, readSpeed);
}

uint8_t Vantrell_CdvdBurnerGrabber_GetSpeeds(VantrellObject* object, VANTRELL_ERROR_BLOCK,
                                             int32_t* currentReadSpeed, int32_t* maximumReadSpeed,
                                             int32_t* currentWriteSpeed,
                                             int32_t* maximumWriteSpeed) {
    VANTRELL_EB("Vantrell_CdvdBurnerGrabber_GetSpeeds");
    for (int32_t* p : {currentReadSpeed, maximumReadSpeed, currentWriteSpeed, maximumWriteSpeed}) {
        if (p)
            *p = 0;
    }
    if (uint8_t rc = RequireObject(object, eb))
        return rc;
    if (object->drive.isVirtual)
        return eb.Ok();
    int32_t speeds[4] = {};
    if (const uint8_t rc = RealGetSpeeds(object, eb, speeds))
        return rc;
    if (currentReadSpeed)
        *currentReadSpeed = speeds[0];
    if (maximumReadSpeed)
        *maximumReadSpeed = speeds[1];
    if (currentWriteSpeed)
        *currentWriteSpeed = speeds[2];
    if (maximumWriteSpeed)
        *maximumWriteSpeed = speeds[3];
    return eb.Ok();
}

// ---- lock and tray ----------------------------------------------------------------------

uint8_t Vantrell_CdvdBurnerGrabber_Lock(VantrellObject* object, VANTRELL_ERROR_BLOCK) {
    VANTRELL_EB("Vantrell_CdvdBurnerGrabber_Lock");
    if (uint8_t rc = RequireObject(object, eb))
        return rc;
    if (object->holdsLock)
        return eb.Ok();
    if (object->drive.isVirtual) {
        std::lock_guard lock(StateMutex());
        ++VirtualStateLocked(object->drive.path).locks;
    } else if (const uint8_t rc = RealLock(object, eb, true)) {
        return rc;
    }
    object->holdsLock = true;
    return eb.Ok();
}

uint8_t Vantrell_CdvdBurnerGrabber_Release(VantrellObject* object, VANTRELL_ERROR_BLOCK) {
    VANTRELL_EB("Vantrell_CdvdBurnerGrabber_Release");
    if (uint8_t rc = RequireObject(object, eb))
        return rc;
    if (!object->holdsLock)
        return eb.Ok();
    if (object->drive.isVirtual) {
        std::lock_guard lock(StateMutex());
        VirtualState& state = VirtualStateLocked(object->drive.path);
        state.locks = std::max(0, state.locks - 1);
    } else if (const uint8_t rc = RealLock(object, eb, false)) {
        return rc;
    }
    object->holdsLock = false;
    if (!object->drive.isVirtual)
        object->audioReader.reset(); // an unlocked tray may get another disc
    return eb.Ok();
}

uint8_t Vantrell_CdvdBurnerGrabber_Eject(VantrellObject* object, VANTRELL_ERROR_BLOCK) {
    VANTRELL_EB("Vantrell_CdvdBurnerGrabber_Eject");
    if (uint8_t rc = RequireObject(object, eb))
        return rc;
    if (object->drive.isVirtual) {
        std::lock_guard lock(StateMutex());
        VirtualState& state = VirtualStateLocked(object->drive.path);
        if (state.locks > (object->holdsLock ? 1 : 0))
            return eb.Fail(VANTRELL_EXCEPTION_LOCKED, 0, 0, -1,
                           "The tray of the drive %s cannot be opened: it is locked",
                           object->drive.path.c_str());
        if (!state.trayOpen) {
            state.trayOpen = true;
            ++state.generation;
        }
        // Never cdio_eject_media on an image: it leaves the handle unusable.
        DropMedium(object);
        return eb.Ok();
    }
    return RealTray(object, eb, true);
}

uint8_t Vantrell_CdvdBurnerGrabber_CloseTray(VantrellObject* object, VANTRELL_ERROR_BLOCK) {
    VANTRELL_EB("Vantrell_CdvdBurnerGrabber_CloseTray");
    if (uint8_t rc = RequireObject(object, eb))
        return rc;
    if (object->drive.isVirtual) {
        std::lock_guard lock(StateMutex());
        VirtualStateLocked(object->drive.path).trayOpen = false;
        return eb.Ok();
    }
    return RealTray(object, eb, false);
}

uint8_t Vantrell_IsVirtualTrayOpen(const char* imagePath, uint64_t* openings) {
    if (openings)
        *openings = 0;
    if (!imagePath)
        return 0;
    std::lock_guard lock(StateMutex());
    const VirtualState& state = VirtualStateLocked(imagePath);
    if (openings)
        *openings = state.generation;
    return state.trayOpen ? 1 : 0;
}

} // extern "C"
