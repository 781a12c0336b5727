// Real drives: the machine's optical drives opened through libcdio, and everything the
// library asks of a real drive, as MMC commands through the device object's transport.
#include "Internal.h"

#include <cdio/cdtext.h>
#include <cdio/memory.h>
#include <cdio/mmc.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <set>
#include <thread>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vantrell {

MmcTransport::~MmcTransport() = default;
CdIo_t* MmcTransport::NewAudioHandle() {
    return nullptr;
}
std::chrono::steady_clock::time_point MmcTransport::Now() {
    return std::chrono::steady_clock::now();
}
void MmcTransport::Pause(std::chrono::milliseconds duration) {
    std::this_thread::sleep_for(duration);
}

DriveProvider::~DriveProvider() = default;

namespace {

// ---- the machine's drives ---------------------------------------------------------------

// A drive opened through libcdio: commands go through mmc_run_cmd_len, the sense data of a
// refused command comes from mmc_last_cmd_sense.
class CdioTransport final : public MmcTransport {
public:
    CdioTransport(CdIo_t* cdio, std::string path, const char* accessMode)
        : cdio_(cdio), path_(std::move(path)), accessMode_(accessMode) {}

    MmcResult Run(const uint8_t* cdb, size_t cdbLength, MmcDirection direction, void* buffer,
                  size_t length, unsigned timeoutMs) override {
        mmc_cdb_t block{};
        cdbLength = std::min(cdbLength, sizeof block.field);
        std::memcpy(block.field, cdb, cdbLength);
        const cdio_mmc_direction_t way = direction == MmcDirection::Read    ? SCSI_MMC_DATA_READ
                                         : direction == MmcDirection::Write ? SCSI_MMC_DATA_WRITE
                                                                            : SCSI_MMC_DATA_NONE;
        MmcResult result;
        result.driverStatus =
            mmc_run_cmd_len(cdio_.get(), timeoutMs, &block, static_cast<unsigned>(cdbLength), way,
                            static_cast<unsigned>(length), buffer);
        if (result.driverStatus != DRIVER_OP_SUCCESS) {
            cdio_mmc_request_sense_t* sense = nullptr;
            const int n = mmc_last_cmd_sense(cdio_.get(), &sense);
            const auto* s = reinterpret_cast<const uint8_t*>(sense);
            if (s && n >= 14 && (s[0] & 0x7E) == 0x70) { // fixed format
                result.senseKey = s[2] & 0x0F;
                result.asc = s[12];
                result.ascq = s[13];
            } else if (s && n >= 4 && (s[0] & 0x7E) == 0x72) { // descriptor format
                result.senseKey = s[1] & 0x0F;
                result.asc = s[2];
                result.ascq = s[3];
            }
            cdio_free(sense);
        }
        return result;
    }

    CdIo_t* NewAudioHandle() override {
        return cdio_open_am(path_.c_str(), DRIVER_DEVICE, accessMode_);
    }

private:
    CdioPtr cdio_;
    std::string path_;
    const char* accessMode_;
};

bool IsBlockOrCharDevice(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && (S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode));
}

// The SCSI address "host:channel:target:lun" of a block device, from sysfs.
bool ScsiAddress(const std::string& device, VantrellDeviceAddress& address) {
    char resolved[PATH_MAX];
    if (!realpath(device.c_str(), resolved))
        return false;
    const char* base = std::strrchr(resolved, '/');
    const std::string sys = std::string("/sys/block/") + (base ? base + 1 : resolved) + "/device";
    char link[PATH_MAX];
    if (!realpath(sys.c_str(), link))
        return false;
    const char* last = std::strrchr(link, '/');
    unsigned h = 0, c = 0, t = 0, l = 0;
    if (!last || std::sscanf(last + 1, "%u:%u:%u:%u", &h, &c, &t, &l) != 4)
        return false;
    // The address has one byte a part: a larger number (hosts are numbered on with every
    // hot-plug) would be cut to the address of another drive. Such a drive takes a listing
    // address instead.
    if (h > UINT8_MAX || c > UINT8_MAX || t > UINT8_MAX || l > UINT8_MAX)
        return false;
    address = {1, static_cast<uint8_t>(h), static_cast<uint8_t>(c), static_cast<uint8_t>(t),
               static_cast<uint8_t>(l)};
    return true;
}

class MachineProvider final : public DriveProvider {
public:
    // The kernel's optical drives (sr0, sr1 ... in sysfs), whether or not this user may open
    // them, then any other drive libcdio finds. libcdio's own scan opens each device and
    // leaves out those it cannot open, so a user without rights would see no drive at all.
    std::vector<std::string> Devices() override {
        std::vector<std::string> paths;
        std::vector<std::pair<unsigned, std::string>> numbered;
        if (DIR* dir = ::opendir("/sys/class/block")) {
            while (const dirent* entry = ::readdir(dir)) {
                unsigned n = 0;
                char rest = 0;
                if (std::sscanf(entry->d_name, "sr%u%c", &n, &rest) == 1)
                    numbered.emplace_back(n, std::string("/dev/") + entry->d_name);
            }
            ::closedir(dir);
        }
        std::sort(numbered.begin(), numbered.end());
        for (const auto& [n, path] : numbered)
            if (IsBlockOrCharDevice(path))
                paths.push_back(path);
        {
            // One scan at a time keeps libcdio's probing of /dev quiet and ordered.
            static std::mutex scanMutex;
            std::lock_guard lock(scanMutex);
            char** devices = cdio_get_devices(DRIVER_DEVICE);
            for (char** d = devices; d && *d; ++d)
                paths.emplace_back(*d);
            if (devices)
                cdio_free_device_list(devices);
        }
        std::vector<std::string> unique;
        std::set<std::string> seen;
        for (const std::string& path : paths) {
            char resolved[PATH_MAX];
            if (seen.insert(realpath(path.c_str(), resolved) ? resolved : path).second)
                unique.push_back(path);
        }
        return unique;
    }

    // Read-write, so that the commands that change the drive's state (medium lock, speed)
    // pass the kernel's command filter; read-only when that is all the user may do.
    std::unique_ptr<MmcTransport> Open(const std::string& path, int& error) override {
        const char* mode = "MMC_RDWR";
        int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0 && (errno == EACCES || errno == EPERM || errno == EROFS)) {
            mode = "IOCTL";
            fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        }
        if (fd < 0) {
            error = errno;
            return nullptr;
        }
        ::close(fd);
        CdIo_t* cdio = cdio_open_am(path.c_str(), DRIVER_DEVICE, mode);
        if (!cdio) {
            error = ENODEV;
            return nullptr;
        }
        Log(VANTRELL_LOG_DEBUG, "%s opened with libcdio's access mode %s", path.c_str(), mode);
        return std::make_unique<CdioTransport>(cdio, path, mode);
    }

    bool Address(const std::string& path, VantrellDeviceAddress& address) override {
        return ScsiAddress(path, address);
    }
};

std::mutex g_providerMutex;
std::shared_ptr<DriveProvider> g_provider; // guarded by g_providerMutex; null: the machine's

// ---- commands ---------------------------------------------------------------------------

constexpr unsigned kTimeoutMs = 10000;
constexpr unsigned kTrayTimeoutMs = 30000;
// A spinning-up drive is given this long to become ready before it counts as empty.
constexpr auto kReadyWait = std::chrono::seconds(30);
constexpr auto kReadyPoll = std::chrono::milliseconds(250);
// A unit attention is reported once per event; a command is sent again after a few.
constexpr int kAttentionRetries = 4;
// Lead-out (90 s), next lead-in (60 s) and the pregap (2 s) between the last track of a
// session and the first track of the next, in sectors.
constexpr int32_t kSessionGap = (90 + 60 + 2) * 75;

uint16_t Be16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
int32_t Be32(const uint8_t* p) {
    return static_cast<int32_t>((uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) |
                                (uint32_t{p[2]} << 8) | p[3]);
}
int32_t MsfToLba(uint8_t m, uint8_t s, uint8_t f) {
    return (m * 60 + s) * 75 + f - 150;
}

bool UnitAttention(const MmcResult& r) {
    return !r.Ok() && r.senseKey == 6;
}
bool BecomingReady(const MmcResult& r) {
    return !r.Ok() && r.senseKey == 2 && r.asc == 0x04 &&
           (r.ascq == 0x01 || r.ascq == 0x07 || r.ascq == 0x08);
}

// " (sense 5/24/00)" for a refused command with sense data, else empty.
std::string SenseText(const MmcResult& r) {
    if (r.senseKey == 0 && r.asc == 0 && r.ascq == 0)
        return {};
    char text[32];
    std::snprintf(text, sizeof text, " (sense %X/%02X/%02X)", r.senseKey, r.asc, r.ascq);
    return text;
}

// Sends a command; a unit attention (the medium changed, the drive was reset) is reported in
// place of the answer once per event, so the command is sent again after one.
MmcResult Command(VantrellObject* object, std::initializer_list<uint8_t> cdb, MmcDirection way,
                  void* buffer, size_t length, unsigned timeoutMs = kTimeoutMs) {
    MmcResult result;
    for (int attempt = 0; attempt <= kAttentionRetries; ++attempt) {
        if (buffer && length)
            std::memset(buffer, 0, length);
        result = object->transport->Run(cdb.begin(), cdb.size(), way, buffer, length, timeoutMs);
        if (!UnitAttention(result))
            break;
    }
    return result;
}

uint8_t Hi(size_t n) {
    return static_cast<uint8_t>((n >> 8) & 0xFF);
}
uint8_t Lo(size_t n) {
    return static_cast<uint8_t>(n & 0xFF);
}

// READ TOC/PMA/ATIP of format (1 session info, 2 full TOC, 5 CD-Text): the 4-byte header
// first, then the whole answer. The answer's own length bounds it.
bool ReadTocFormat(VantrellObject* object, uint8_t format, bool msf, std::vector<uint8_t>& out) {
    const uint8_t time = msf ? 0x02 : 0x00;
    uint8_t header[4];
    if (!Command(object, {0x43, time, format, 0, 0, 0, 0, 0, 4, 0}, MmcDirection::Read, header,
                 sizeof header)
             .Ok())
        return false;
    const size_t length = std::min<size_t>(size_t{Be16(header)} + 2, 0xFFFE);
    if (length <= 4)
        return false;
    out.assign(length, 0);
    if (!Command(object, {0x43, time, format, 0, 0, 0, 0, Hi(length), Lo(length), 0},
                 MmcDirection::Read, out.data(), out.size())
             .Ok())
        return false;
    out.resize(std::min<size_t>(out.size(), size_t{Be16(out.data())} + 2));
    return true;
}

// The drive's profiles (GET CONFIGURATION, the profile list feature) and the current one
// (0 when there is no medium); false when the drive does not answer.
bool Profiles(VantrellObject* object, std::vector<uint16_t>* all, uint16_t& current) {
    uint8_t buf[264];
    if (!Command(object, {0x46, 0x02, 0, 0, 0, 0, 0, Hi(sizeof buf), Lo(sizeof buf), 0},
                 MmcDirection::Read, buf, sizeof buf)
             .Ok())
        return false;
    current = Be16(buf + 6);
    if (all) {
        all->clear();
        const size_t end =
            std::min<size_t>(sizeof buf, size_t{static_cast<uint32_t>(Be32(buf))} + 4);
        if (end >= 12 && Be16(buf + 8) == 0x0000) {
            const size_t last = std::min<size_t>(end, 12 + size_t{buf[11]});
            for (size_t p = 12; p + 4 <= last; p += 4)
                all->push_back(Be16(buf + p));
        }
    }
    return true;
}

// MODE SENSE (10) of the capabilities page 2Ah; page points at the page's first byte.
bool CapabilitiesPage(VantrellObject* object, uint8_t (&buf)[128], const uint8_t*& page,
                      MmcResult* failure = nullptr) {
    const MmcResult r = Command(object, {0x5A, 0x08, 0x2A, 0, 0, 0, 0, 0, sizeof buf, 0},
                                MmcDirection::Read, buf, sizeof buf);
    if (failure)
        *failure = r;
    if (!r.Ok())
        return false;
    const size_t offset = 8 + size_t{Be16(buf + 6)};
    if (offset + 22 > sizeof buf || (buf[offset] & 0x3F) != 0x2A)
        return false;
    page = buf + offset;
    return true;
}

bool IsCdProfile(uint16_t profile) {
    return profile >= 0x08 && profile <= 0x0A;
}

DISC_TYPE ProfileDiscType(uint16_t profile) {
    switch (profile) {
    case 0x10:
        return DISC_TYPE_DVDROM;
    case 0x11:
        return DISC_TYPE_DVDR;
    case 0x12:
        return DISC_TYPE_DVDRAM;
    case 0x13:
        return DISC_TYPE_DVDRWRO;
    case 0x14:
        return DISC_TYPE_DVDRWSR;
    case 0x15:
    case 0x16:
        return DISC_TYPE_DVDR_DL;
    case 0x1A:
    case 0x2A:
        return DISC_TYPE_DVDPLUSRW;
    case 0x1B:
        return DISC_TYPE_DVDPLUSR;
    case 0x2B:
        return DISC_TYPE_DVDPLUSR_DL;
    case 0x40:
        return DISC_TYPE_BDROM;
    case 0x41:
    case 0x42:
        return DISC_TYPE_BDR;
    case 0x43:
        return DISC_TYPE_BDRE;
    case 0x50:
        return DISC_TYPE_HDDVDROM;
    case 0x51:
        return DISC_TYPE_HDDVDR;
    case 0x52:
        return DISC_TYPE_HDDVDRW;
    default:
        return DISC_TYPE_UNKNOWN; // a CD, or no medium: the TOC decides
    }
}

discmode_t ProfileDiscMode(uint16_t profile) {
    switch (profile) {
    case 0x10:
        return CDIO_DISC_MODE_DVD_ROM;
    case 0x11:
    case 0x15:
    case 0x16:
        return CDIO_DISC_MODE_DVD_R;
    case 0x12:
        return CDIO_DISC_MODE_DVD_RAM;
    case 0x13:
    case 0x14:
        return CDIO_DISC_MODE_DVD_RW;
    case 0x1A:
        return CDIO_DISC_MODE_DVD_PRW;
    case 0x2A:
        return CDIO_DISC_MODE_DVD_PRW_DL;
    case 0x1B:
        return CDIO_DISC_MODE_DVD_PR;
    case 0x2B:
        return CDIO_DISC_MODE_DVD_PR_DL;
    default:
        return CDIO_DISC_MODE_NO_INFO;
    }
}

struct TocTrack {
    uint8_t number = 0;
    uint8_t control = 0;
    int32_t start = 0;
    uint8_t session = 1;
};
struct TocSession {
    int32_t leadOut = -1;
    uint8_t discType = 0; // of the session's A0 entry: 0x00 CD-DA/CD-ROM, 0x10 CD-I, 0x20 XA
};

// The sessions of the full TOC (format 2): each track's session, each session's lead-out.
bool FullTocSessions(VantrellObject* object, std::vector<TocTrack>& tracks,
                     std::map<uint8_t, TocSession>& sessions) {
    std::vector<uint8_t> buf;
    if (!ReadTocFormat(object, 2, true, buf))
        return false;
    std::map<uint8_t, uint8_t> sessionOf;
    for (size_t p = 4; p + 11 <= buf.size(); p += 11) {
        const uint8_t* d = buf.data() + p;
        if ((d[1] >> 4) != 1) // ADR 1: the positions; ADR 5 entries point at the next session
            continue;
        const uint8_t session = d[0], point = d[3];
        if (point >= 1 && point <= 99)
            sessionOf[point] = session;
        else if (point == 0xA0)
            sessions[session].discType = d[9];
        else if (point == 0xA2)
            sessions[session].leadOut = MsfToLba(d[8], d[9], d[10]);
    }
    if (sessions.empty())
        return false;
    for (TocTrack& t : tracks)
        if (auto s = sessionOf.find(t.number); s != sessionOf.end() && s->second > 0)
            t.session = s->second;
    return true;
}

// Without a full TOC: the start of the last session (format 1). The track before it ends
// where the session before it was closed, the gap before the last session earlier.
void LastSessionLayout(VantrellObject* object, std::vector<TocTrack>& tracks,
                       std::map<uint8_t, TocSession>& sessions) {
    uint8_t buf[12];
    if (!Command(object, {0x43, 0, 0x01, 0, 0, 0, 0, 0, sizeof buf, 0}, MmcDirection::Read, buf,
                 sizeof buf)
             .Ok())
        return;
    const uint8_t firstSession = buf[2], lastSession = buf[3], firstTrackOfLast = buf[6];
    const int32_t lastStart = Be32(buf + 8);
    if (lastSession <= firstSession || lastSession < 2)
        return;
    for (size_t i = 0; i < tracks.size(); ++i) {
        if (tracks[i].number < firstTrackOfLast)
            continue;
        for (size_t k = i; k < tracks.size(); ++k)
            tracks[k].session = lastSession;
        // The track before it closes the session before; the sessions of earlier tracks
        // stay unknown (1).
        if (i > 0) {
            const auto before = static_cast<uint8_t>(lastSession - 1);
            tracks[i - 1].session = before;
            sessions[before].leadOut = lastStart - kSessionGap;
        }
        break;
    }
}

} // namespace

void SetDriveProvider(std::shared_ptr<DriveProvider> provider) {
    std::lock_guard lock(g_providerMutex);
    g_provider = std::move(provider);
}

std::shared_ptr<DriveProvider> CurrentProvider() {
    std::lock_guard lock(g_providerMutex);
    if (!g_provider)
        g_provider = std::make_shared<MachineProvider>();
    return g_provider;
}

bool DriveProvider::Address(const std::string&, VantrellDeviceAddress&) {
    return false;
}

uint8_t OpenRealDrive(const Drive& drive, std::unique_ptr<MmcTransport>& transport,
                      ErrorBlock& eb) {
    int error = 0;
    transport = CurrentProvider()->Open(drive.path, error);
    if (transport)
        return VANTRELL_EXCEPTION_SUCCESS;
    if (error == EACCES || error == EPERM)
        return eb.Fail(VANTRELL_EXCEPTION_NO_RIGHTS, error, 0, -1,
                       "No rights to use the drive %s: add your user to the cdrom group",
                       drive.path.c_str());
    return eb.Fail(VANTRELL_EXCEPTION_DEVICE_OPEN, error, 0, -1,
                   "The drive %s cannot be opened: %s", drive.path.c_str(),
                   std::strerror(error ? error : EIO));
}

uint8_t RealReady(VantrellObject* object, ErrorBlock& eb) {
    MmcTransport& transport = *object->transport;
    const auto deadline = transport.Now() + kReadyWait;
    int attentions = 0;
    for (;;) {
        const uint8_t cdb[6] = {0x00, 0, 0, 0, 0, 0};
        const MmcResult r =
            transport.Run(cdb, sizeof cdb, MmcDirection::None, nullptr, 0, kTimeoutMs);
        if (r.Ok())
            return VANTRELL_EXCEPTION_SUCCESS;
        const bool attention = UnitAttention(r);
        if ((attention || BecomingReady(r)) && transport.Now() < deadline) {
            // A unit attention is answered at once, one after the other after a pause.
            if (!attention || ++attentions > kAttentionRetries)
                transport.Pause(kReadyPoll);
            continue;
        }
        const char* path = object->drive.path.c_str();
        if (BecomingReady(r))
            return eb.FailMmc(VANTRELL_EXCEPTION_NO_MEDIUM, r,
                              "No medium ready in the drive %s: it was still becoming ready "
                              "after %d seconds",
                              path, static_cast<int>(kReadyWait.count()));
        if (r.driverStatus == kMmcNotPermitted)
            return eb.FailMmc(VANTRELL_EXCEPTION_NO_RIGHTS, r,
                              "No rights to use the drive %s: add your user to the cdrom group",
                              path);
        return eb.FailMmc(VANTRELL_EXCEPTION_NO_MEDIUM, r, "No medium in the drive %s%s", path,
                          SenseText(r).c_str());
    }
}

uint8_t RealToc(VantrellObject* object, ErrorBlock& eb, VantrellTocRecord& toc) {
    std::memset(&toc, 0, sizeof toc);
    const char* path = object->drive.path.c_str();
    uint8_t buf[4 + 101 * 8];
    const MmcResult r = Command(object, {0x43, 0, 0, 0, 0, 0, 0, Hi(sizeof buf), Lo(sizeof buf), 0},
                                MmcDirection::Read, buf, sizeof buf);
    if (!r.Ok())
        return eb.FailMmc(VANTRELL_EXCEPTION_NO_TOC, r,
                          "The disc in the drive %s has no table of contents%s", path,
                          SenseText(r).c_str());
    std::vector<TocTrack> tracks;
    int32_t leadOut = -1;
    const size_t end = std::min<size_t>(sizeof buf, size_t{Be16(buf)} + 2);
    for (size_t p = 4; p + 8 <= end; p += 8) {
        const uint8_t number = buf[p + 2];
        const int32_t lba = Be32(buf + p + 4);
        if (number == 0xAA)
            leadOut = lba;
        else if (number >= 1 && number <= 99 &&
                 (tracks.empty() || (number > tracks.back().number && lba >= tracks.back().start)))
            tracks.push_back({number, static_cast<uint8_t>(buf[p + 1] & 0x0F), lba, 1});
    }
    if (tracks.empty() || leadOut < tracks.back().start)
        return eb.Fail(VANTRELL_EXCEPTION_NO_TOC, 0, 0, -1,
                       "The disc in the drive %s has no table of contents", path);

    // The session layout: a track that ends its session ends at the session's lead-out, not
    // at the next track's start (on a CD-Extra disc the data session follows the audio
    // session after a gap of some 11,400 sectors).
    std::map<uint8_t, TocSession> sessions;
    uint16_t profile = 0;
    const bool cd = !Profiles(object, nullptr, profile) || profile == 0 || IsCdProfile(profile);
    if (!cd || !FullTocSessions(object, tracks, sessions))
        LastSessionLayout(object, tracks, sessions);

    const int n = static_cast<int>(std::min<size_t>(tracks.size(), 99));
    bool anyAudio = false, anyData = false, xa = false, cdi = false;
    uint8_t sessionCount = 1;
    toc.Valid = 1;
    toc.FirstTrack = tracks[0].number;
    toc.LastTrack = tracks[static_cast<size_t>(n - 1)].number;
    toc.LeadOutLba = leadOut;
    toc.EntryCount = static_cast<uint8_t>(n);
    for (int i = 0; i < n; ++i) {
        const TocTrack& t = tracks[static_cast<size_t>(i)];
        const TocTrack* next = i + 1 < n ? &tracks[static_cast<size_t>(i + 1)] : nullptr;
        const int32_t limit = next ? next->start : leadOut;
        int32_t endLba = limit;
        if (!next || next->session != t.session) {
            const auto s = sessions.find(t.session);
            if (s != sessions.end() && s->second.leadOut > t.start && s->second.leadOut <= limit)
                endLba = s->second.leadOut;
        }
        const bool audio = (t.control & 0x04) == 0;
        const uint8_t discType = sessions.count(t.session) ? sessions[t.session].discType : 0;
        VantrellTocEntry& e = toc.Entries[i];
        e.EntryValid = 1;
        e.TrackNumber = t.number;
        e.SessionNumber = t.session;
        e.StartLba = t.start;
        ToMsf(t.start, e.StartMsf);
        e.EndLba = std::max(endLba, t.start);
        ToMsf(e.EndLba, e.EndMsf);
        e.FourChannelAudio = Bool(audio && (t.control & 0x08));
        e.PreEmphasis = Bool(audio && (t.control & 0x01));
        e.DataTrack = Bool(!audio);
        e.AudioTrack = Bool(audio);
        e.CopyProhibited = Bool((t.control & 0x02) == 0);
        if (audio) {
            e.TrackMode = 0;
            e.BlockSize = CDIO_CD_FRAMESIZE_RAW;
        } else if (discType == 0x20) {
            e.TrackMode = 2;
            e.Mode2Form = 1;
            e.BlockSize = CDIO_CD_FRAMESIZE;
        } else if (discType == 0x10) {
            e.TrackMode = 2;
            e.BlockSize = 2336;
        } else {
            e.TrackMode = 1;
            e.BlockSize = CDIO_CD_FRAMESIZE;
        }
        e.Control = t.control;
        e.Adr = 1;
        anyAudio |= audio;
        anyData |= !audio;
        xa |= !audio && discType == 0x20;
        cdi |= !audio && discType == 0x10;
        sessionCount = std::max(sessionCount, t.session);
    }
    toc.SessionCount = sessionCount;
    discmode_t mode = ProfileDiscMode(profile);
    if (mode == CDIO_DISC_MODE_NO_INFO)
        mode = anyAudio && anyData ? CDIO_DISC_MODE_CD_MIXED
               : anyAudio          ? CDIO_DISC_MODE_CD_DA
               : xa                ? CDIO_DISC_MODE_CD_XA
               : cdi               ? CDIO_DISC_MODE_CD_I
                                   : CDIO_DISC_MODE_CD_DATA;
    toc.DiscMode = static_cast<uint8_t>(mode);
    return VANTRELL_EXCEPTION_SUCCESS;
}

DISC_TYPE RealDiscType(VantrellObject* object, const VantrellTocRecord& toc) {
    uint16_t profile = 0;
    if (Profiles(object, nullptr, profile)) {
        const DISC_TYPE type = ProfileDiscType(profile);
        if (type != DISC_TYPE_UNKNOWN)
            return type;
    }
    if (!toc.Valid)
        return DISC_TYPE_UNKNOWN;
    for (int i = 0; i < toc.EntryCount; ++i)
        if (toc.Entries[i].AudioTrack)
            return DISC_TYPE_CDR;
    return DISC_TYPE_CDROM;
}

void RealDiscInformation(VantrellObject* object, const VantrellTocRecord& toc,
                         VantrellDiscInformation& info) {
    std::memset(&info, 0, sizeof info);
    uint8_t buf[34];
    const MmcResult r = Command(object, {0x51, 0, 0, 0, 0, 0, 0, 0, sizeof buf, 0},
                                MmcDirection::Read, buf, sizeof buf);
    if (r.Ok() && Be16(buf) + 2 >= 24) {
        uint16_t profile = 0;
        const bool cd = !Profiles(object, nullptr, profile) || profile == 0 || IsCdProfile(profile);
        // On a CD the two addresses are MSF (0, M, S, F); all ones when there is none.
        auto address = [cd](const uint8_t* p) {
            if (Be32(p) == -1)
                return -1;
            return cd ? MsfToLba(p[1], p[2], p[3]) : Be32(p);
        };
        info.Erasable = Bool(buf[2] & 0x10);
        info.DiscStatus = buf[2] & 0x03;
        info.LastSessionStatus = (buf[2] >> 2) & 0x03;
        info.FirstTrack = buf[3];
        info.SessionCount = buf[4];
        info.FirstTrackLastSession = buf[5];
        info.LastTrackLastSession = buf[6];
        info.DiscIdValid = Bool(buf[7] & 0x80);
        info.BarCodeValid = Bool(buf[7] & 0x40);
        info.UnrestrictedUse = Bool(buf[7] & 0x20);
        info.DiscType = buf[8];
        info.DiscId = static_cast<uint32_t>(Be32(buf + 12));
        info.LastSessionLeadIn = address(buf + 16);
        info.LastPossibleLeadOut = address(buf + 20);
        std::memcpy(info.BarCode, buf + 24, sizeof info.BarCode);
        return;
    }
    // A drive that does not know the command (older CD-ROM drives): a read-only drive holds
    // a complete disc, described by its TOC.
    Log(VANTRELL_LOG_DEBUG, "%s: no READ DISC INFORMATION%s, described from the TOC",
        object->drive.path.c_str(), SenseText(r).c_str());
    info.DiscStatus = 2;
    info.LastSessionStatus = 3;
    info.DiscType = toc.DiscMode == CDIO_DISC_MODE_CD_XA  ? 0x20
                    : toc.DiscMode == CDIO_DISC_MODE_CD_I ? 0x10
                                                          : 0x00;
    info.FirstTrack = toc.FirstTrack;
    info.SessionCount = toc.SessionCount;
    info.FirstTrackLastSession = toc.FirstTrack;
    for (int i = 0; i < toc.EntryCount; ++i)
        if (toc.Entries[i].SessionNumber == toc.SessionCount) {
            info.FirstTrackLastSession = toc.Entries[i].TrackNumber;
            break;
        }
    info.LastTrackLastSession = toc.LastTrack;
    info.UnrestrictedUse = 1;
    info.LastSessionLeadIn = -1;
    info.LastPossibleLeadOut = -1;
}

bool RealTrackInformation(VantrellObject* object, uint8_t track, VantrellTrackInformation& info) {
    uint8_t buf[36];
    // Address type 1: the address is a track number (FFh: the invisible track).
    if (!Command(object, {0x52, 0x01, 0, 0, 0, track, 0, 0, sizeof buf, 0}, MmcDirection::Read, buf,
                 sizeof buf)
             .Ok() ||
        Be16(buf) + 2 < 28)
        return false;
    info.Present = 1;
    info.TrackNumber = buf[2];
    info.SessionNumber = buf[3];
    info.TrackMode = buf[5] & 0x0F;
    info.Damage = Bool(buf[5] & 0x20);
    info.Copy = Bool(buf[5] & 0x10);
    info.ReservedTrack = Bool(buf[6] & 0x80);
    info.Blank = Bool(buf[6] & 0x40);
    info.Packet = Bool(buf[6] & 0x20);
    info.FixedPacket = Bool(buf[6] & 0x10);
    info.DataMode = buf[6] & 0x0F;
    info.NextWritableValid = Bool(buf[7] & 0x01);
    info.StartLba = Be32(buf + 8);
    info.NextWritableAddress = Be32(buf + 12);
    info.FreeBlocks = Be32(buf + 16);
    info.TrackSize = Be32(buf + 24);
    return true;
}

std::string RealVolumeLabel(VantrellObject* object, const VantrellTocRecord& toc) {
    // CD-Text from the lead-in, decoded by libcdio by the character code of its block
    // (ISO 8859-1, ASCII or MS-JIS) into UTF-8. Read afresh: a handle's cached copy would
    // outlive a medium change.
    std::vector<uint8_t> packs;
    if (ReadTocFormat(object, 5, false, packs) && packs.size() > 4) {
        std::unique_ptr<cdtext_t, decltype(&cdtext_destroy)> text(cdtext_init(), &cdtext_destroy);
        if (text && cdtext_data_init(text.get(), packs.data() + 4, packs.size() - 4) == 0) {
            const char* title = cdtext_get_const(text.get(), CDTEXT_FIELD_TITLE, 0);
            if (title && *title)
                return title;
        }
    }
    for (int i = 0; i < toc.EntryCount; ++i) {
        const VantrellTocEntry& e = toc.Entries[i];
        if (!e.DataTrack || e.EndLba - e.StartLba <= 16)
            continue;
        // READ (10) of the primary volume descriptor: 2048 bytes of user data.
        const int32_t lba = e.StartLba + 16;
        uint8_t block[CDIO_CD_FRAMESIZE];
        if (Command(object,
                    {0x28, 0, static_cast<uint8_t>(lba >> 24), static_cast<uint8_t>(lba >> 16),
                     static_cast<uint8_t>(lba >> 8), static_cast<uint8_t>(lba), 0, 0, 1, 0},
                    MmcDirection::Read, block, sizeof block)
                .Ok() &&
            block[0] == 1 && std::memcmp(block + 1, "CD001", 5) == 0) {
            std::string id(reinterpret_cast<const char*>(block + 40), 32);
            while (!id.empty() && (id.back() == ' ' || id.back() == '\0'))
                id.pop_back();
            return id;
        }
        break;
    }
    return {};
}

uint8_t RealDeviceInformation(VantrellObject* object, char* vendor, char* product, char* revision,
                              uint32_t* bufferSize) {
    uint8_t buf[96];
    if (!Command(object, {0x12, 0, 0, 0, sizeof buf, 0}, MmcDirection::Read, buf, sizeof buf).Ok())
        return VANTRELL_EXCEPTION_DEVICE_ERROR;
    auto field = [&buf](char* out, size_t from, size_t to) {
        if (!out)
            return;
        std::string text(reinterpret_cast<const char*>(buf + from), to - from);
        text = text.substr(0, text.find('\0'));
        while (!text.empty() && text.back() == ' ')
            text.pop_back();
        std::snprintf(out, VANTRELL_EXCEPTION_TEXT_SIZE, "%s", text.c_str());
    };
    field(vendor, 8, 16);
    field(product, 16, 32);
    field(revision, 32, 36);
    uint8_t page2A[128];
    const uint8_t* page = nullptr;
    if (bufferSize && CapabilitiesPage(object, page2A, page))
        *bufferSize = Be16(page + 12);
    return VANTRELL_EXCEPTION_SUCCESS;
}

uint8_t RealMediaFormats(VantrellObject* object, ErrorBlock& eb, VantrellMediaFormats* formats,
                         VantrellMediaFormatsEx* formatsEx) {
    std::vector<uint16_t> profiles;
    uint16_t current = 0;
    if (Profiles(object, &profiles, current) && !profiles.empty()) {
        auto has = [&profiles](uint16_t low, uint16_t high) {
            return Bool(std::any_of(profiles.begin(), profiles.end(),
                                    [=](uint16_t p) { return p >= low && p <= high; }));
        };
        if (formats) {
            formats->CdRom = has(0x08, 0x0A);
            formats->CdR = has(0x09, 0x09);
            formats->DvdRom = has(0x10, 0x10);
            formats->CdRw = has(0x0A, 0x0A);
            formats->DvdR = has(0x11, 0x11);
            formats->DvdRam = has(0x12, 0x12);
            formats->DvdRw = has(0x13, 0x14);
            formats->DvdPlusRw = has(0x1A, 0x1A);
            formats->DvdPlusR = has(0x1B, 0x1B);
            formats->Ddcd = has(0x20, 0x22);
        }
        if (formatsEx) {
            formatsEx->DvdPlusRDl = has(0x2B, 0x2B);
            formatsEx->DvdRDl = has(0x15, 0x16);
            formatsEx->BdRom = has(0x40, 0x40);
            formatsEx->BdR = has(0x41, 0x42);
            formatsEx->BdRe = has(0x43, 0x43);
            formatsEx->HdDvd = has(0x50, 0x5F);
        }
        return eb.Ok();
    }
    // Drives older than the profile list: the read capabilities of page 2Ah.
    uint8_t buf[128];
    const uint8_t* page = nullptr;
    MmcResult r;
    if (!CapabilitiesPage(object, buf, page, &r))
        return eb.FailMmc(VANTRELL_EXCEPTION_DEVICE_ERROR, r,
                          "The drive %s does not report the media it reads%s",
                          object->drive.path.c_str(), SenseText(r).c_str());
    if (formats) {
        formats->CdRom = 1;
        formats->CdR = Bool(page[2] & 0x01);
        formats->CdRw = Bool(page[2] & 0x02);
        formats->DvdRom = Bool(page[2] & 0x08);
        formats->DvdR = Bool(page[2] & 0x10);
        formats->DvdRam = Bool(page[2] & 0x20);
    }
    return eb.Ok();
}

uint8_t RealReadModes(VantrellObject* object, ErrorBlock& eb, VantrellReadModes& modes) {
    uint8_t buf[128];
    const uint8_t* page = nullptr;
    MmcResult r;
    if (!CapabilitiesPage(object, buf, page, &r))
        return eb.FailMmc(VANTRELL_EXCEPTION_DEVICE_ERROR, r,
                          "The drive %s does not report its read modes%s",
                          object->drive.path.c_str(), SenseText(r).c_str());
    modes.CdDa = Bool(page[5] & 0x01);
    modes.AccurateStream = Bool(page[5] & 0x02);
    modes.C2Pointers = Bool(page[5] & 0x10);
    modes.Isrc = Bool(page[5] & 0x20);
    modes.Mcn = Bool(page[5] & 0x40);
    return eb.Ok();
}

uint8_t RealRegion(VantrellObject* object, ErrorBlock& eb, VantrellRegionData& region) {
    // REPORT KEY, key format 8: the drive's region playback control state.
    uint8_t buf[8];
    const MmcResult r = Command(object, {0xA4, 0, 0, 0, 0, 0, 0, 0, 0, sizeof buf, 0x08, 0},
                                MmcDirection::Read, buf, sizeof buf);
    if (!r.Ok())
        return eb.FailMmc(VANTRELL_EXCEPTION_DEVICE_ERROR, r,
                          "The drive does not report its region settings%s", SenseText(r).c_str());
    region.TypeCode = static_cast<uint8_t>(buf[4] >> 6);
    region.VendorResetsLeft = static_cast<uint8_t>((buf[4] >> 3) & 7);
    region.UserChangesLeft = static_cast<uint8_t>(buf[4] & 7);
    region.RegionMask = buf[5];
    region.RpcScheme = buf[6];
    return eb.Ok();
}

uint8_t RealSetSpeed(VantrellObject* object, ErrorBlock& eb, int32_t readSpeed) {
    const auto speed = static_cast<uint16_t>(std::clamp<int32_t>(readSpeed, 0, 0xFFFF));
    // SET CD SPEED; the write speed as fast as the drive goes (nothing is written).
    const MmcResult r =
        Command(object, {0xBB, 0, Hi(speed), Lo(speed), 0xFF, 0xFF, 0, 0, 0, 0, 0, 0},
                MmcDirection::None, nullptr, 0);
    if (r.Ok())
        return eb.Ok();
    const char* path = object->drive.path.c_str();
    if (r.driverStatus == kMmcNotPermitted)
        return eb.FailMmc(VANTRELL_EXCEPTION_NO_RIGHTS, r,
                          "No rights to set the speed of the drive %s: add your user to the "
                          "cdrom group",
                          path);
    return eb.FailMmc(VANTRELL_EXCEPTION_DEVICE_ERROR, r,
                      "The drive %s did not accept the read speed %d KB/s%s", path, readSpeed,
                      SenseText(r).c_str());
}

uint8_t RealGetSpeeds(VantrellObject* object, ErrorBlock& eb, int32_t speeds[4]) {
    uint8_t buf[128];
    const uint8_t* page = nullptr;
    MmcResult r;
    if (!CapabilitiesPage(object, buf, page, &r))
        return eb.FailMmc(VANTRELL_EXCEPTION_DEVICE_ERROR, r,
                          "The drive does not report its speeds%s", SenseText(r).c_str());
    // Current read, maximum read, current write, maximum write (KB/s).
    speeds[0] = Be16(page + 14);
    speeds[1] = Be16(page + 8);
    speeds[2] = Be16(page + 20);
    speeds[3] = Be16(page + 18);
    return eb.Ok();
}

uint8_t RealLock(VantrellObject* object, ErrorBlock& eb, bool prevent) {
    // PREVENT ALLOW MEDIUM REMOVAL
    const MmcResult r = Command(object, {0x1E, 0, 0, 0, static_cast<uint8_t>(prevent ? 1 : 0), 0},
                                MmcDirection::None, nullptr, 0);
    if (r.Ok())
        return eb.Ok();
    const char* path = object->drive.path.c_str();
    const char* what = prevent ? "lock" : "unlock";
    if (r.driverStatus == kMmcNotPermitted)
        return eb.FailMmc(VANTRELL_EXCEPTION_NO_RIGHTS, r,
                          "No rights to %s the drive %s: add your user to the cdrom group", what,
                          path);
    return eb.FailMmc(VANTRELL_EXCEPTION_DEVICE_ERROR, r, "The drive %s could not be %sed%s", path,
                      what, SenseText(r).c_str());
}

uint8_t RealTray(VantrellObject* object, ErrorBlock& eb, bool open) {
    // START STOP UNIT with LoEj: open (Start 0) or close (Start 1) the tray.
    const MmcResult r =
        Command(object, {0x1B, 0, 0, 0, static_cast<uint8_t>(open ? 0x02 : 0x03), 0},
                MmcDirection::None, nullptr, 0, kTrayTimeoutMs);
    if (r.Ok())
        return eb.Ok();
    const char* path = object->drive.path.c_str();
    const char* what = open ? "opened" : "closed";
    if (r.driverStatus == kMmcNotPermitted)
        return eb.FailMmc(VANTRELL_EXCEPTION_NO_RIGHTS, r,
                          "No rights to move the tray of the drive %s: add your user to the "
                          "cdrom group",
                          path);
    // 5/53/02: medium removal prevented.
    if (open && r.senseKey == 5 && r.asc == 0x53 && r.ascq == 0x02)
        return eb.FailMmc(VANTRELL_EXCEPTION_LOCKED, r,
                          "The tray of the drive %s cannot be opened: it is locked", path);
    return eb.FailMmc(VANTRELL_EXCEPTION_DEVICE_ERROR, r,
                      "The tray of the drive %s could not be %s%s", path, what,
                      SenseText(r).c_str());
}

// ---- pregaps from the Q sub-channel -------------------------------------------------------

namespace {

// The sectors a Q search reads at a time; the reads it makes for one track at most; the
// reads in a row that may tell it nothing new before it gives the track up.
constexpr int kQRun = 4;
constexpr int kQReadsPerTrack = 40;
constexpr int kQMisses = 6;
// A drive that has given no intact Q after this many reads gives none.
constexpr int kQReadsToGiveUp = 8;
// The longest pregap looked for: 10 minutes.
constexpr int32_t kLongestPregap = 10 * 60 * 75;
// How far from the sector read a Q's own address may be: drives return the Q of a sector or
// two beside the one asked for.
constexpr int32_t kQSlip = 10;
constexpr size_t kQBytes = 16;

// Where one sector's Q sub-channel says it is.
struct QPosition {
    int32_t lba = 0; // its absolute time, as a sector address
    int track = 0;
    int index = 0;
};

// The CRC of a Q sub-channel: CRC-16 with the polynomial x^16 + x^12 + x^5 + 1 over its first
// ten bytes, inverted, stored high byte first in the next two.
uint16_t QCrc(const uint8_t* q) {
    uint16_t crc = 0;
    for (int i = 0; i < 10; ++i) {
        crc = static_cast<uint16_t>(crc ^ (q[i] << 8));
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return static_cast<uint16_t>(~crc);
}

bool FromBcd(uint8_t value, int& out) {
    if ((value >> 4) > 9 || (value & 0x0F) > 9)
        return false;
    out = (value >> 4) * 10 + (value & 0x0F);
    return true;
}

enum class QKind {
    Bad,      // its CRC fails, or it is no position it could be
    Position, // ADR 1: track, index and times
    Other     // intact, but the media catalogue number or an ISRC (ADR 2, 3 ...)
};

// What the formatted Q (16 bytes) of the sector `read` holds. A position must match its CRC
// (a drive that returns no CRC leaves both bytes zero), be BCD and name a sector near the
// one read.
QKind DecodeQ(const uint8_t* q, int32_t read, QPosition& out) {
    const uint16_t crc = Be16(q + 10);
    const bool intact = crc == QCrc(q);
    if (!intact && crc != 0)
        return QKind::Bad;
    if ((q[0] & 0x0F) != 1)
        return intact ? QKind::Other : QKind::Bad;
    int track = 0, index = 0, m = 0, s = 0, f = 0, am = 0, as = 0, af = 0;
    if (!FromBcd(q[1], track) || !FromBcd(q[2], index) || !FromBcd(q[3], m) || !FromBcd(q[4], s) ||
        !FromBcd(q[5], f) || !FromBcd(q[7], am) || !FromBcd(q[8], as) || !FromBcd(q[9], af))
        return QKind::Bad;
    if (track < 1 || s >= 60 || f >= 75 || as >= 60 || af >= 75)
        return QKind::Bad;
    const int32_t lba =
        MsfToLba(static_cast<uint8_t>(am), static_cast<uint8_t>(as), static_cast<uint8_t>(af));
    if (lba < read - kQSlip || lba > read + kQSlip)
        return QKind::Bad;
    out = {lba, track, index};
    return QKind::Position;
}

// Reads the Q sub-channel of runs of sectors with READ CD: formatted Q alone, or after the
// whole raw sector (2352 bytes) for drives that give sub-channel data only with main data.
// A drive that returns the Q of the sector beside the one asked for is asked that much
// earlier, so that a read returns the Qs of the sectors wanted.
class QReader {
public:
    explicit QReader(VantrellObject* object) : object_(object) {}

    // The Qs of count sectors from first: the positions, and the sectors whose intact Q holds
    // none. False when the read failed (a miss) or the drive refused it (then Refused()).
    bool Read(int32_t first, int count, std::vector<QPosition>& positions,
              std::vector<int32_t>& others) {
        positions.clear();
        others.clear();
        const int32_t ask = std::max<int32_t>(0, first - slip_);
        for (;;) {
            ++reads_;
            const bool alone = !afterMain_;
            const size_t block = alone ? kQBytes : CDIO_CD_FRAMESIZE_RAW + kQBytes;
            std::vector<uint8_t> buf(block * static_cast<size_t>(count));
            // Any sector type; main data none or all of it (sync, headers, user data, EDC/ECC);
            // sub-channel: formatted Q.
            const MmcResult r = Command(
                object_,
                {0xBE, 0x00, static_cast<uint8_t>(ask >> 24), static_cast<uint8_t>(ask >> 16),
                 static_cast<uint8_t>(ask >> 8), static_cast<uint8_t>(ask), 0, 0,
                 static_cast<uint8_t>(count), static_cast<uint8_t>(alone ? 0x00 : 0xF8), 0x02, 0},
                MmcDirection::Read, buf.data(), buf.size());
            if (!r.Ok()) {
                // ILLEGAL REQUEST before any Q was read: the drive does not take this form.
                const bool refused = r.senseKey == 5 || r.driverStatus == kMmcNotPermitted;
                if (refused && !settled_) {
                    failure_ = r;
                    if (alone) {
                        aloneRefused_ = afterMain_ = true;
                        continue;
                    }
                    if (aloneRefused_)
                        refused_ = true; // neither form
                    else
                        afterMain_ = false;
                }
                return false;
            }
            bool agree = true;
            int32_t slip = 0;
            for (int i = 0; i < count; ++i) {
                QPosition p;
                const int32_t sector = ask + i;
                const QKind kind = DecodeQ(
                    buf.data() + block * static_cast<size_t>(i) + block - kQBytes, sector, p);
                if (kind == QKind::Position) {
                    agree = agree && (positions.empty() || p.lba - sector == slip);
                    slip = p.lba - sector;
                    positions.push_back(p);
                } else if (kind == QKind::Other) {
                    others.push_back(sector + slip_);
                }
            }
            if (!positions.empty() && agree)
                slip_ = slip; // every position of the run is this far from its sector
            if (!positions.empty()) {
                settled_ = true;
                return true;
            }
            // Nothing intact before the form is settled: the drive may give Q only after the
            // main data.
            if (!settled_ && alone && !triedAfterMain_) {
                triedAfterMain_ = afterMain_ = true;
                continue;
            }
            if (!settled_ && !aloneRefused_)
                afterMain_ = false;
            return true;
        }
    }

    bool Refused() const { return refused_; }
    // No intact Q after kQReadsToGiveUp reads: the drive gives none.
    bool GivesNone() const { return !settled_ && reads_ >= kQReadsToGiveUp; }
    bool Settled() const { return settled_; }
    int Reads() const { return reads_; }
    const MmcResult& Failure() const { return failure_; }

private:
    VantrellObject* object_;
    bool afterMain_ = false, aloneRefused_ = false, triedAfterMain_ = false;
    bool settled_ = false, refused_ = false;
    int32_t slip_ = 0; // the Q returned for sector x is that of x + slip_
    int reads_ = 0;
    MmcResult failure_;
};

enum class Search { Found, Unknown, Stop };

// The first sector of track `number`'s INDEX 00: the first sector before start whose Q names
// the track. floor is a sector of the track before: its start (floorKnown), or the earliest
// sector looked at. The search keeps lo (a sector of the track before) and hi (the first
// sector of this track seen) and reads runs of sectors between them: just before start, just
// before a pregap of 2 seconds (the usual one), then halves. A read that tells nothing new
// (every Q bad) is made again, then beside it; the last few sectors are read all at once.
// Sectors whose intact Q holds no position (the media catalogue number, an ISRC) are taken
// as the track before's when nothing else is left between the two.
Search FindIndex00(QReader& reader, int number, int previous, int32_t start, int32_t floor,
                   bool floorKnown, int32_t& index00) {
    int32_t lo = floor, hi = start;
    bool loSeen = floorKnown;
    bool otherIndex = false; // a sector before start names this track with an index other than 0
    const int budget = reader.Reads() + kQReadsPerTrack;
    // The runs [from, to) read first.
    std::deque<std::pair<int32_t, int32_t>> first = {{start - 2, start},
                                                     {start - 152, start - 152 + kQRun}};
    bool again = false; // the first of them told nothing and is read once more
    int misses = 0;
    std::set<int32_t> noPosition;
    std::vector<QPosition> positions;
    std::vector<int32_t> others;
    while (hi - lo > 1) {
        if (reader.GivesNone())
            return Search::Stop;
        if (reader.Reads() >= budget || misses > kQMisses)
            return Search::Unknown;
        // The sectors [from, to) to read, inside (lo, hi).
        int32_t from = 0, to = 0;
        bool planned = false;
        while (!first.empty() && !planned) {
            from = std::max(first.front().first, lo + 1);
            to = std::min(first.front().second, hi);
            planned = to > from;
            if (!planned)
                first.pop_front();
        }
        if (!planned && hi - lo - 1 <= kQRun) {
            from = lo + 1; // the last few sectors at once
            to = hi;
        } else if (!planned) {
            // The middle; after a miss again, then a run to the right, to the left, further.
            const int32_t shift = misses < 2 ? 0 : (misses / 2) * kQRun * (misses % 2 ? -1 : 1);
            from = std::clamp<int32_t>(lo + (hi - lo) / 2 + shift - kQRun / 2, lo + 1, hi - kQRun);
            to = from + kQRun;
        }
        const bool read = reader.Read(from, static_cast<int>(to - from), positions, others);
        if (!read && reader.Refused())
            return Search::Stop;
        noPosition.insert(others.begin(), others.end());
        int32_t newLo = lo, newHi = hi;
        for (const QPosition& p : positions) {
            const bool mine = p.track == number;
            if (!mine && p.track != previous)
                continue; // a Q of no track here: passed over
            if (mine && p.lba < start && p.index != 0)
                otherIndex = true;
            if (mine && p.lba < newHi && p.lba > lo)
                newHi = p.lba;
            else if (!mine && p.lba > newLo && p.lba < hi)
                newLo = p.lba;
            // The track before after this one, or this one before the track before: the Q
            // does not agree with itself or with the TOC.
            if ((!mine && p.lba >= hi) || (mine && loSeen && p.lba <= lo))
                return Search::Unknown;
        }
        if (newLo >= newHi)
            return Search::Unknown;
        if (planned) {
            const bool told = newLo != lo || newHi != hi;
            if (told || std::exchange(again, true)) {
                first.pop_front();
                again = false;
            }
        }
        if (newLo != lo || newHi != hi) {
            loSeen = loSeen || newLo != lo;
            lo = newLo;
            hi = newHi;
            misses = 0;
            continue;
        }
        if (!planned)
            ++misses;
        bool onlyOthers = loSeen;
        for (int32_t sector = lo + 1; sector < hi && onlyOthers; ++sector)
            onlyOthers = noPosition.count(sector) > 0;
        if (onlyOthers)
            break;
    }
    // A pregap reaching the earliest sector looked at is longer than that: not settled.
    if (!loSeen || otherIndex)
        return Search::Unknown;
    index00 = hi;
    return Search::Found;
}

} // namespace

uint8_t RealTrackIndexes(VantrellObject* object, ErrorBlock& eb, const VantrellTocRecord& toc,
                         VantrellIndexRecord& record) {
    const char* path = object->drive.path.c_str();
    QReader reader(object);
    bool stopped = false;
    for (int i = 0; i < toc.EntryCount; ++i) {
        const VantrellTocEntry& e = toc.Entries[i];
        VantrellTrackIndexes& x = record.Entries[i];
        if (!e.AudioTrack)
            continue;
        if (i == 0) { // the audio before the first track is its pregap
            x.Index00Lba = e.StartLba > 0 ? 0 : e.StartLba;
            continue;
        }
        const VantrellTocEntry& before = toc.Entries[i - 1];
        if (before.EndLba != e.StartLba || e.SessionNumber != before.SessionNumber)
            continue; // the first track of a session: its pregap follows the lead-in
        // Packed fields: copied, never bound to a reference.
        const int32_t start = e.StartLba, beforeStart = before.StartLba;
        const int32_t floor = std::max(beforeStart, start - kLongestPregap);
        int32_t index00 = -1;
        const int readsBefore = reader.Reads();
        const Search found = FindIndex00(reader, e.TrackNumber, before.TrackNumber, start, floor,
                                         floor == beforeStart, index00);
        if (found == Search::Stop) {
            stopped = true;
            break;
        }
        if (found == Search::Found)
            x.Index00Lba = index00;
        Log(VANTRELL_LOG_DEBUG, "%s: track %u INDEX 00 %s%d (%d reads of the Q sub-channel)", path,
            e.TrackNumber, found == Search::Found ? "at " : "unknown ",
            found == Search::Found ? index00 : -1, reader.Reads() - readsBefore);
    }
    record.SubChannel = Bool(reader.Settled());
    if (!stopped)
        return eb.Ok();
    if (reader.Refused())
        return eb.FailMmc(VANTRELL_EXCEPTION_NOT_SUPPORTED, reader.Failure(),
                          "The drive %s does not read the Q sub-channel%s", path,
                          SenseText(reader.Failure()).c_str());
    return eb.Fail(VANTRELL_EXCEPTION_NOT_SUPPORTED, 0, 0, -1,
                   "The drive %s gives no readable Q sub-channel", path);
}

} // namespace vantrell
