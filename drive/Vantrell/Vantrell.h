/*
 * Vantrell: the CD/DVD drive library, a C interface over libcdio and libcdio-paranoia.
 *
 * The drive layer (the classes in drive/: TsbBurner, TsbDeviceFinder, TsbTrackListReader,
 * TsbGrabAction ...) is its only caller. It finds drives, describes them and their medium
 * (TOC, track and disc information), locks and ejects them, copies audio tracks into WAV
 * files and copies WAV files into their targets. It never writes media: every burning
 * operation fails with VANTRELL_EXCEPTION_NOT_SUPPORTED.
 *
 * Drives: the machine's optical drives (the kernel's sr devices, listed also when this user
 * may not open them, and any other drive libcdio finds) followed by virtual drives, one per
 * path in the environment variable TONVALE_VIRTUAL_DRIVES (":"-separated CUE/BIN or other
 * images libcdio opens). Every operation that enumerates or addresses drives looks at the
 * machine's drives again. The variable is read when the library loads and again whenever
 * the thread that loaded it (the main thread) enumerates drives, starts the library or calls
 * Vantrell_RefreshVirtualDrives; other threads use the list as last read there (getenv is
 * not safe while another thread may change the environment). A listed path that does not
 * exist is a drive with no medium. Opening the tray of a virtual drive makes it report no
 * medium until its tray is closed again (the tray state belongs to the drive, not to one
 * device object). TONVALE_VIRTUAL_SPEED=N (read with TONVALE_VIRTUAL_DRIVES) makes virtual
 * drives deliver audio at N times real time (N x 176,400 bytes a second), as a real drive
 * would; unset, they read as fast as the disk allows.
 *
 * Real drives are opened read-write when the user may (a member of the "cdrom" group), so
 * that the medium lock and the speed reach the drive, else read-only (those two then fail
 * with VANTRELL_EXCEPTION_NO_RIGHTS). A drive the user may not open at all is still listed;
 * creating its device object fails with VANTRELL_EXCEPTION_NO_RIGHTS and the text "No rights
 * to use the drive <path>: add your user to the cdrom group". Every command to a real drive
 * goes through the MMC transport of MmcTransport.h; a refused command's sense key, ASC and
 * ASCQ go into the failure record.
 *
 * Names and addresses: a drive's name is "dev:" followed by its device path (a virtual
 * drive: its image path). "CdRom" followed by n (decimal, from 0) also names the n-th drive
 * of the ordered list. Address record: a real drive's SCSI address from sysfs; virtual
 * drive k (from 0) has PortID 200 + k and BusID = TargetID = LUN = 0.
 *
 * Error block: device operations take, after the device object, a text buffer for the
 * exception text (VANTRELL_EXCEPTION_TEXT_SIZE bytes), its size, an out 32-bit status and
 * an out 54-byte failure record. Every pointer of the error block may be NULL. On success
 * the text is emptied, the status and the record zeroed. On failure the text holds a
 * complete sentence (zero-terminated, cut to the size), the status an errno value or a
 * libcdio driver code (0 when there is none), and the record the details.
 * Results are a one-byte exception code: 0 = success (VANTRELL_EXCEPTION_* below).
 *
 * Texts are UTF-8 (exception texts, labels). File and device names are the file system's
 * bytes, passed through unchanged (a name need not be valid UTF-8).
 *
 * Threads: every operation is thread-safe with respect to the library's shared state
 * (drive list, tray and lock state of virtual drives, log sink). A device object is used by
 * one thread at a time, except Vantrell_CdvdBurnerGrabber_CancelGrab, which any thread may
 * call while another thread grabs. Callbacks run on the thread that called the operation,
 * with no library lock held: a callback may call any operation of the library (discovery
 * opens device objects from its reason-10 callback).
 */
#ifndef VANTRELL_VANTRELL_H
#define VANTRELL_VANTRELL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define VANTRELL_API __attribute__((visibility("default")))
#else
#define VANTRELL_API
#endif

/* ------------------------------------------------------------------------------------ */
/* Constants                                                                            */
/* ------------------------------------------------------------------------------------ */

#define VANTRELL_VERSION 0x20081220u
#define VANTRELL_EXCEPTION_TEXT_SIZE 1024 /* error block text, device information texts */

/* Exception codes (the one-byte result of every operation). */
enum {
    VANTRELL_EXCEPTION_SUCCESS = 0,
    VANTRELL_EXCEPTION_INVALID_ARGUMENT = 1, /* NULL object, bad track number, bad path */
    VANTRELL_EXCEPTION_NO_DEVICE = 2,        /* no drive at that address or name */
    VANTRELL_EXCEPTION_DEVICE_OPEN = 3,      /* the drive or its image cannot be opened */
    VANTRELL_EXCEPTION_NO_MEDIUM = 4,        /* no medium (or the tray is open) */
    VANTRELL_EXCEPTION_READ_ERROR = 5,       /* a sector could not be read after retries */
    VANTRELL_EXCEPTION_CANCELLED = 6,        /* the grab was cancelled */
    VANTRELL_EXCEPTION_FILE_ERROR = 7,       /* an output or input file could not be used */
    VANTRELL_EXCEPTION_NO_TOC = 8,           /* the disc has no table of contents */
    VANTRELL_EXCEPTION_NOT_SUPPORTED = 9,    /* writing media, other compression levels ... */
    VANTRELL_EXCEPTION_NOT_AUDIO = 10,       /* the track to grab is not an audio track */
    VANTRELL_EXCEPTION_DEVICE_ERROR = 11,    /* a command to the drive failed */
    VANTRELL_EXCEPTION_LOCKED = 12,          /* medium removal is prevented (locked) */
    VANTRELL_EXCEPTION_BAD_WAVE = 13,        /* the source is not a 16-bit PCM WAV as asked */
    VANTRELL_EXCEPTION_INTERNAL = 14,        /* out of memory or an unexpected library state */
    VANTRELL_EXCEPTION_NO_RIGHTS = 15        /* the user may not open or command the drive */
};

/* Callback reasons (first argument of VantrellCallback). */
enum {
    VANTRELL_REASON_NAME_ADDED = 0, /* file tree notices (burning; never sent) */
    VANTRELL_REASON_NAME_REMOVED = 1,
    VANTRELL_REASON_NAME_NOTICE = 2,
    VANTRELL_REASON_NAME_COLLISION = 3,
    VANTRELL_REASON_DEVICE_FOUND = 10,  /* first: VantrellDeviceAddress*, second: const char* */
    VANTRELL_REASON_GRAB_PROGRESS = 11, /* first: const uint64_t* total, second: done bytes */
    VANTRELL_REASON_BURN_PROGRESS = 12, /* same arguments (burning; never sent) */
    VANTRELL_REASON_BUFFER = 13         /* first: const uint32_t* size, second: free */
};

/* Disc types: 32-bit values, in this order from 0. */
typedef enum DISC_TYPE {
    DISC_TYPE_UNKNOWN = 0,
    DISC_TYPE_CDROM = 1,
    DISC_TYPE_CDR = 2,
    DISC_TYPE_CDRW = 3,
    DISC_TYPE_DVDROM = 4,
    DISC_TYPE_DVDR = 5,
    DISC_TYPE_DVDRAM = 6,
    DISC_TYPE_DVDRWRO = 7,
    DISC_TYPE_DVDRWSR = 8,
    DISC_TYPE_DVDPLUSRW = 9,
    DISC_TYPE_DDCDROM = 10,
    DISC_TYPE_DDCDR = 11,
    DISC_TYPE_DDCDRW = 12,
    DISC_TYPE_DVDPLUSR = 13,
    DISC_TYPE_NO_MEDIA = 14,
    DISC_TYPE_DVDPLUSR_DL = 15,
    DISC_TYPE_BDROM = 16,
    DISC_TYPE_DVDR_DL = 17,
    DISC_TYPE_BDR = 18,
    DISC_TYPE_BDRE = 19,
    DISC_TYPE_HDDVDROM = 20,
    DISC_TYPE_HDDVDR = 21,
    DISC_TYPE_HDDVDRW = 22
} DISC_TYPE;

/* Levels of the log sink (the same numbers as libcdio's log levels). */
enum {
    VANTRELL_LOG_DEBUG = 1,
    VANTRELL_LOG_INFO = 2,
    VANTRELL_LOG_WARN = 3,
    VANTRELL_LOG_ERROR = 4
};

/* ------------------------------------------------------------------------------------ */
/* Records (packed, little-endian integers)                                             */
/* ------------------------------------------------------------------------------------ */

#pragma pack(push, 1)

/* Device address record, 5 bytes. */
typedef struct VantrellDeviceAddress {
    uint8_t Present; /* non-zero: the address is valid */
    uint8_t PortID;
    uint8_t BusID;
    uint8_t TargetID;
    uint8_t LUN;
} VantrellDeviceAddress;

/* Failure record of the error block, 54 bytes. */
typedef struct VantrellFailureRecord {
    uint8_t ExceptionCode; /* the operation's result */
    uint8_t SenseKey;      /* SCSI sense of a failed MMC command, else 0 */
    uint8_t Asc;
    uint8_t Ascq;
    int32_t Lba;         /* the sector a read failed at, else -1 */
    int32_t SystemError; /* errno of a failed file or device call, else 0 */
    int32_t DriverCode;  /* libcdio driver_return_code_t, else 0 */
    char Operation[38];  /* operation name without the "Vantrell_" prefix, cut */
} VantrellFailureRecord;

/* One TOC entry, 34 bytes. LBAs are absolute logical block addresses; EndLba is the first
 * block after the track (the next track's start, or the lead-out), so EndLba - StartLba is
 * the track's length in blocks. MSF values are those of the LBAs plus 150 blocks. */
typedef struct VantrellTocEntry {
    uint8_t EntryValid;       /*  0 */
    uint8_t TrackNumber;      /*  1 */
    uint8_t SessionNumber;    /*  2 */
    int32_t StartLba;         /*  3 */
    uint8_t StartMsf[3];      /*  7: minute, second, frame */
    int32_t EndLba;           /* 10 */
    uint8_t EndMsf[3];        /* 14 */
    uint8_t McnAvailable;     /* 17 */
    uint8_t IsrcAvailable;    /* 18 */
    uint8_t FourChannelAudio; /* 19 */
    uint8_t PreEmphasis;      /* 20 */
    uint8_t DataTrack;        /* 21 */
    uint8_t AudioTrack;       /* 22 */
    uint8_t CopyProhibited;   /* 23: digital copy prohibited */
    uint8_t TrackMode;        /* 24: 0 audio, 1 mode 1, 2 mode 2 */
    uint8_t Mode2Form;        /* 25: 1 or 2 for mode 2 XA tracks, else 0 */
    uint32_t BlockSize;       /* 26: 2352 audio, 2048 mode 1 / mode 2 form 1, 2324, 2336 */
    uint8_t Control;          /* 30: Q sub-channel control nibble */
    uint8_t Adr;              /* 31 */
    uint8_t Reserved[2];      /* 32 */
} VantrellTocEntry;

#define VANTRELL_TOC_MAX_ENTRIES 406

/* TOC record, 13838 bytes. Entries 0 .. EntryCount-1 are the disc's tracks in order (no
 * lead-out entry); the lead-out is LeadOutLba. */
typedef struct VantrellTocRecord {
    uint8_t Valid;                                      /*  0: non-zero when filled */
    uint8_t FirstTrack;                                 /*  1 */
    uint8_t LastTrack;                                  /*  2 */
    uint8_t SessionCount;                               /*  3 */
    int32_t LeadOutLba;                                 /*  4 */
    uint8_t DiscMode;                                   /*  8: libcdio discmode_t */
    uint8_t Reserved1;                                  /*  9 */
    uint8_t EntryCount;                                 /* 10: N */
    uint8_t Reserved2;                                  /* 11 */
    VantrellTocEntry Entries[VANTRELL_TOC_MAX_ENTRIES]; /* 12 */
    char Mcn[14];         /* 13816: media catalogue number, zero-terminated, or empty */
    uint8_t Reserved3[8]; /* 13830 */
} VantrellTocRecord;

/* Track information record, 28 bytes. */
typedef struct VantrellTrackInformation {
    uint8_t Present;             /*  0: non-zero when the track exists */
    uint8_t TrackNumber;         /*  1 */
    uint8_t SessionNumber;       /*  2 */
    uint8_t TrackMode;           /*  3: Q control nibble */
    uint8_t DataMode;            /*  4: 1 mode 1, 2 mode 2, 0x0F unknown (audio) */
    uint8_t Damage;              /*  5 */
    uint8_t Copy;                /*  6 */
    uint8_t ReservedTrack;       /*  7 */
    uint8_t Packet;              /*  8 */
    uint8_t Blank;               /*  9 */
    uint8_t FixedPacket;         /* 10 */
    uint8_t NextWritableValid;   /* 11 */
    int32_t StartLba;            /* 12 */
    int32_t NextWritableAddress; /* 16 */
    int32_t FreeBlocks;          /* 20 */
    int32_t TrackSize;           /* 24: blocks */
} VantrellTrackInformation;

/* Disc information, 33 bytes. */
typedef struct VantrellDiscInformation {
    uint8_t Erasable;              /*  0 */
    uint8_t DiscStatus;            /*  1: 0 empty, 1 incomplete, 2 complete */
    uint8_t LastSessionStatus;     /*  2: 0 empty, 1 incomplete, 3 complete */
    uint8_t DiscType;              /*  3: 0x00 CD-DA/CD-ROM, 0x10 CD-I, 0x20 CD-ROM XA */
    uint8_t FirstTrack;            /*  4 */
    uint8_t SessionCount;          /*  5 */
    uint8_t FirstTrackLastSession; /*  6 */
    uint8_t LastTrackLastSession;  /*  7 */
    uint8_t DiscIdValid;           /*  8 */
    uint8_t BarCodeValid;          /*  9 */
    uint8_t UnrestrictedUse;       /* 10 */
    uint32_t DiscId;               /* 11 */
    int32_t LastSessionLeadIn;     /* 15 */
    int32_t LastPossibleLeadOut;   /* 19 */
    uint8_t BarCode[8];            /* 23 */
    uint8_t Reserved[2];           /* 31 */
} VantrellDiscInformation;

/* Supported media formats: ten Booleans (what the drive can read or write). */
typedef struct VantrellMediaFormats {
    uint8_t CdRom;     /* 1: reads CD-ROM / CD-DA */
    uint8_t CdR;       /* 2: reads CD-R */
    uint8_t DvdRom;    /* 3: reads DVD-ROM (region data is then available) */
    uint8_t CdRw;      /* 4: reads CD-RW */
    uint8_t DvdR;      /* 5 */
    uint8_t DvdRam;    /* 6 */
    uint8_t DvdRw;     /* 7 */
    uint8_t DvdPlusRw; /* 8 */
    uint8_t DvdPlusR;  /* 9 */
    uint8_t Ddcd;      /* 10 */
} VantrellMediaFormats;

/* Extended supported media formats: six Booleans. */
typedef struct VantrellMediaFormatsEx {
    uint8_t DvdPlusRDl;
    uint8_t DvdRDl;
    uint8_t BdRom;
    uint8_t BdR;
    uint8_t BdRe;
    uint8_t HdDvd;
} VantrellMediaFormatsEx;

/* Write modes: four Booleans (all false: this library never writes). */
typedef struct VantrellWriteModes {
    uint8_t TrackAtOnce;
    uint8_t SessionAtOnce;
    uint8_t DiscAtOncePQ;
    uint8_t DiscAtOnceRawPW;
} VantrellWriteModes;

/* Read modes: six Booleans. */
typedef struct VantrellReadModes {
    uint8_t CdDa; /* digital audio extraction */
    uint8_t AccurateStream;
    uint8_t C2Pointers;
    uint8_t CdText;
    uint8_t Isrc;
    uint8_t Mcn;
} VantrellReadModes;

/* Region data (DVD RPC), 5 bytes. */
typedef struct VantrellRegionData {
    uint8_t TypeCode;
    uint8_t VendorResetsLeft;
    uint8_t UserChangesLeft;
    uint8_t RegionMask;
    uint8_t RpcScheme;
} VantrellRegionData;

/* One track's indexes, 12 bytes. Index01Lba is the track's start (the TOC's); Index00Lba the
 * first sector of its INDEX 00 (its pregap: the sectors before INDEX 01 whose Q sub-channel
 * already names this track), Index01Lba when it has none, -1 when unknown. */
typedef struct VantrellTrackIndexes {
    uint8_t TrackNumber; /*  0 */
    uint8_t AudioTrack;  /*  1: only audio tracks are searched */
    uint8_t Reserved[2]; /*  2 */
    int32_t Index01Lba;  /*  4 */
    int32_t Index00Lba;  /*  8 */
} VantrellTrackIndexes;

/* Index record, 1192 bytes. Entries 0 .. EntryCount-1 are the TOC's tracks in order. */
typedef struct VantrellIndexRecord {
    uint8_t Valid;                    /*  0: non-zero when filled */
    uint8_t EntryCount;               /*  1 */
    uint8_t SubChannel;               /*  2: 1 when the drive's Q sub-channel was read */
    uint8_t Reserved;                 /*  3 */
    VantrellTrackIndexes Entries[99]; /*  4 */
} VantrellIndexRecord;

#pragma pack(pop)

#ifdef __cplusplus
static_assert(sizeof(VantrellDeviceAddress) == 5, "address record");
static_assert(sizeof(VantrellFailureRecord) == 54, "failure record");
static_assert(sizeof(VantrellTocEntry) == 34, "TOC entry");
static_assert(sizeof(VantrellTocRecord) == 13838, "TOC record");
static_assert(sizeof(VantrellTrackInformation) == 28, "track information record");
static_assert(sizeof(VantrellDiscInformation) == 33, "disc information");
static_assert(sizeof(VantrellMediaFormats) == 10, "media formats");
static_assert(sizeof(VantrellMediaFormatsEx) == 6, "extended media formats");
static_assert(sizeof(VantrellWriteModes) == 4, "write modes");
static_assert(sizeof(VantrellReadModes) == 6, "read modes");
static_assert(sizeof(VantrellRegionData) == 5, "region data");
static_assert(sizeof(VantrellTrackIndexes) == 12, "track indexes");
static_assert(sizeof(VantrellIndexRecord) == 1192, "index record");
#else
_Static_assert(sizeof(VantrellDeviceAddress) == 5, "address record");
_Static_assert(sizeof(VantrellFailureRecord) == 54, "failure record");
_Static_assert(sizeof(VantrellTocEntry) == 34, "TOC entry");
_Static_assert(sizeof(VantrellTocRecord) == 13838, "TOC record");
_Static_assert(sizeof(VantrellTrackInformation) == 28, "track information record");
_Static_assert(sizeof(VantrellDiscInformation) == 33, "disc information");
_Static_assert(sizeof(VantrellTrackIndexes) == 12, "track indexes");
_Static_assert(sizeof(VantrellIndexRecord) == 1192, "index record");
#endif

/* ------------------------------------------------------------------------------------ */
/* Callbacks, objects                                                                   */
/* ------------------------------------------------------------------------------------ */

/* Library callback: reason, the context given to the operation, two reason-specific
 * pointers valid only during the call. No result. */
typedef void (*VantrellCallback)(uint8_t reason, void* context, void* first, void* second);

/* Compression callback: code 1 = progress with value = percentage (0..100). A non-zero
 * result asks the copy to stop (it then fails with VANTRELL_EXCEPTION_CANCELLED). */
typedef int32_t (*VantrellCompressCallback)(void* context, int32_t code, int32_t value);

/* Log sink: one message per call, without a line break; called from any thread, one call
 * at a time. */
typedef void (*VantrellLogSink)(void* context, int32_t level, const char* message);

/* A device object (or a file tree object): created by the library, released with
 * Vantrell_Destroy. */
typedef struct VantrellObject VantrellObject;

/* Shorthand for the error block in the declarations below. */
#define VANTRELL_ERROR_BLOCK                                                                       \
    char *exceptionText, uint32_t exceptionTextSize, int32_t *status,                              \
        VantrellFailureRecord *failureRecord

/* ------------------------------------------------------------------------------------ */
/* Library                                                                              */
/* ------------------------------------------------------------------------------------ */

/* Returns VANTRELL_VERSION (0x20081220). Any time, any thread. */
VANTRELL_API uint32_t Vantrell_GetVersion(void);

/* Starts the library: makes sure libcdio's messages are routed to the log sink (the handler
 * is installed once per process, also by the first operation that uses libcdio, and stays).
 * flags: pass 0. Counted: each call is undone by one Vantrell_DownShut. Returns 0. Every
 * other operation also works before it. */
VANTRELL_API uint8_t Vantrell_UpStartEx(uint32_t flags);

/* Undoes one Vantrell_UpStartEx. Device objects still alive stay usable and must still be
 * destroyed. Returns 0. */
VANTRELL_API uint8_t Vantrell_DownShut(void);

/* Reads TONVALE_VIRTUAL_DRIVES again when called on the thread that loaded the library (the
 * main thread); on any other thread it does nothing. */
VANTRELL_API void Vantrell_RefreshVirtualDrives(void);

/* Sets where the library's log messages go (libcdio warnings included). NULL restores the
 * default: messages are dropped, or written to stderr when TONVALE_DRIVE_DEBUG is set. */
VANTRELL_API void Vantrell_SetLogSink(VantrellLogSink sink, void* context);

/* The fixed sentence for an exception code ("Unknown exception" for others); static. */
VANTRELL_API const char* Vantrell_GetExceptionText(uint8_t code);

/* Fast TOC reading, a process-wide switch (1 on, 0 off; default on). The TOC comes from
 * libcdio either way; the switch is kept and read back. */
VANTRELL_API void Vantrell_SetFastReadTOC(uint8_t enabled);
VANTRELL_API uint8_t Vantrell_GetFastReadTOC(void);

/* Enumerates the drives in order (real, then virtual) and calls callback with reason 10
 * once per drive on the calling thread: first = VantrellDeviceAddress* (Present = 1),
 * second = the device name ("dev:" + path). deviceKinds: pass 5 (CD and DVD drives);
 * options: pass 0. Returns 0 (also when there is no drive), 1 when callback is NULL. */
VANTRELL_API uint8_t Vantrell_FindDevice(uint32_t deviceKinds, uint32_t options,
                                         VantrellCallback callback, void* context);

/* Writes the device name of an address ("dev:" + path, zero-terminated, cut to nameSize)
 * into name. Returns 0 when the address names a drive, VANTRELL_EXCEPTION_NO_DEVICE else. */
VANTRELL_API uint8_t Vantrell_GetDeviceNameByDeviceAddress(uint8_t portId, uint8_t busId,
                                                           uint8_t targetId, uint8_t lun,
                                                           char* name, uint32_t nameSize);

/* ------------------------------------------------------------------------------------ */
/* Device objects                                                                       */
/* ------------------------------------------------------------------------------------ */

/* Opens a device object for the drive at an address. *object receives the object (NULL on
 * failure). callback/context (may be NULL) receive the object's reports (grab progress).
 * flag: 0 for a working session, 1 for a short probe during discovery; both behave alike.
 * Opening succeeds for a drive without a medium (and for a virtual drive whose image is
 * missing); the medium is examined by the operations below. */
VANTRELL_API uint8_t Vantrell_CdvdBurnerGrabber_Create(VantrellObject** object,
                                                       VANTRELL_ERROR_BLOCK,
                                                       VantrellCallback callback, void* context,
                                                       uint8_t portId, uint8_t busId,
                                                       uint8_t targetId, uint8_t lun, uint8_t flag);

/* The same for a device name: "dev:" + path, a bare device or image path of the list, or
 * "CdRom" + n (the n-th drive, from 0). */
VANTRELL_API uint8_t Vantrell_CdvdBurnerGrabber_CreateEx(VantrellObject** object,
                                                         VANTRELL_ERROR_BLOCK,
                                                         VantrellCallback callback, void* context,
                                                         const char* deviceName, uint8_t flag);

/* Releases the object *object points to (a lock it holds is released first) and sets
 * *object to NULL. NULL or *object NULL: nothing. Must not run while another thread uses
 * the object. Returns 0. */
VANTRELL_API uint8_t Vantrell_Destroy(VantrellObject** object);

/* Vendor, product and revision (each zero-terminated in a buffer of
 * VANTRELL_EXCEPTION_TEXT_SIZE bytes; any may be NULL) and the drive's buffer size in KB.
 * A virtual drive answers "Tonvale", "Virtual CD-ROM", "1.0" and 0. */
VANTRELL_API uint8_t Vantrell_CdvdBurnerGrabber_GetDeviceInformation(VantrellObject* object,
                                                                     char* vendor, char* product,
                                                                     char* revision,
                                                                     uint32_t* bufferSize);

/* 0 when a medium is present and ready; VANTRELL_EXCEPTION_NO_MEDIUM when not (empty
 * drive, missing image, open tray). A real drive that reports it is becoming ready (a disc
 * spinning up) or a unit attention (a medium change) is asked again for up to 30 seconds. */
VANTRELL_API uint8_t Vantrell_CdvdBurnerGrabber_TestUnitReady(VantrellObject* object,
                                                              VANTRELL_ERROR_BLOCK);

/* The medium's type: a CD with at least one audio track DISC_TYPE_CDR, a CD with data
 * tracks only DISC_TYPE_CDROM, DVD/BD kinds as the drive reports them, no medium
 * DISC_TYPE_NO_MEDIA, NULL object DISC_TYPE_UNKNOWN. */
VANTRELL_API DISC_TYPE Vantrell_CdvdBurnerGrabber_GetInsertedDiscType(VantrellObject* object);

/* Fills the TOC record (zeroed first). 0 on success; VANTRELL_EXCEPTION_NO_TOC (8) when
 * there is no medium or the medium has no track. A real drive's TOC is read from the drive
 * on every call (never a copy from before a medium change), with its sessions: the last
 * track of a session ends at that session's lead-out, so on a CD-Extra disc the last audio
 * track does not take in the gap before the data session. */
VANTRELL_API uint8_t Vantrell_CdvdBurnerGrabber_GetTOCInformation(VantrellObject* object,
                                                                  VANTRELL_ERROR_BLOCK,
                                                                  VantrellTocRecord* toc);

/* Fills the track information record of track (1..99; 255 = the invisible track) (zeroed
 * first). A track of the TOC: present, not blank, no free blocks, next writable address not
 * valid. Track 255 on a complete disc: success with Present = 0. A track number the disc
 * does not have: VANTRELL_EXCEPTION_INVALID_ARGUMENT. No medium: VANTRELL_EXCEPTION_NO_MEDIUM.
 * On real drives READ TRACK INFORMATION is sent when the drive answers it. */
VANTRELL_API uint8_t Vantrell_CdvdBurnerGrabber_GetTrackInformation(VantrellObject* object,
                                                                    VANTRELL_ERROR_BLOCK,
                                                                    uint8_t track,
                                                                    VantrellTrackInformation* info);

/* The medium's volume label (zero-terminated, cut to labelSize): the CD-Text album title
 * when the disc has one, else the ISO 9660 volume id of its first data track, else empty
 * (still a success). No medium: VANTRELL_EXCEPTION_NO_MEDIUM with an empty label. CD-Text
 * of a real disc is read from the drive on every call and decoded by the character code its
 * text block names (ISO 8859-1, ASCII, MS-JIS); a CUE file's text that is valid UTF-8 is
 * taken as written. */
VANTRELL_API uint8_t Vantrell_CdvdBurnerGrabber_GetVolumeLabel(VantrellObject* object,
                                                               VANTRELL_ERROR_BLOCK, char* label,
                                                               uint32_t labelSize);

/* Where each audio track's INDEX 00 and INDEX 01 start (the record is zeroed first, then
 * every Index00Lba is -1 until found). Real drives: the Q sub-channel of the sectors before
 * each audio track's start, read with READ CD (formatted Q, with or without the main data);
 * a Q whose CRC fails, that is no position (ADR 1) or that names another place is passed
 * over and a neighbour read instead. The search goes back to the start of the track before
 * (at most 10 minutes) and costs a few dozen short reads a track at most; a track whose Q
 * does not settle it stays unknown. Track 1's INDEX 00 is sector 0 when the track starts
 * later (the audio before it), else none. Virtual drives: the INDEX 00 of the image as
 * libcdio reads it. Errors: NO_MEDIUM, NO_TOC; NOT_SUPPORTED when the drive reads no Q
 * sub-channel with READ CD (the record is then filled with every pregap unknown and
 * SubChannel 0; the failure record holds the drive's sense). */
VANTRELL_API uint8_t Vantrell_CdvdBurnerGrabber_GetTrackIndexes(VantrellObject* object,
                                                                VANTRELL_ERROR_BLOCK,
                                                                VantrellIndexRecord* indexes);

/* Disc information (zeroed first). Real drives: READ DISC INFORMATION, or, for a drive that
 * does not know it, the TOC's view (complete, not erasable). Images: complete, not
 * erasable, one session. */
VANTRELL_API uint8_t Vantrell_CdvdBurnerGrabber_GetDiscInformation(VantrellObject* object,
                                                                   VANTRELL_ERROR_BLOCK,
                                                                   VantrellDiscInformation* info);

/* Capabilities of the drive. A virtual drive reads CD-ROM/CD-R/CD-RW only. */
VANTRELL_API uint8_t Vantrell_CdvdBurnerGrabber_GetSupportedMediaFormats(
    VantrellObject* object, VANTRELL_ERROR_BLOCK, VantrellMediaFormats* formats);
VANTRELL_API uint8_t Vantrell_CdvdBurnerGrabber_GetSupportedMediaFormatsExEx(
    VantrellObject* object, VANTRELL_ERROR_BLOCK, VantrellMediaFormatsEx* formats);
VANTRELL_API uint8_t Vantrell_CdvdBurnerGrabber_ProbeSupportedWriteModes(VantrellObject* object,
                                                                         VANTRELL_ERROR_BLOCK,
                                                                         VantrellWriteModes* modes);
VANTRELL_API uint8_t Vantrell_CdvdBurnerGrabber_ProbeSupportedReadModes(VantrellObject* object,
                                                                        VANTRELL_ERROR_BLOCK,
                                                                        VantrellReadModes* modes);

/* Region data of a DVD drive; VANTRELL_EXCEPTION_NOT_SUPPORTED for drives that do not
 * answer it (virtual drives). */
VANTRELL_API uint8_t Vantrell_CdvdBurnerGrabber_GetRPC(VantrellObject* object, VANTRELL_ERROR_BLOCK,
                                                       VantrellRegionData* region);

/* Speeds in KB per second (176 = 1x CD). Set: 65535 (0xFFFF) = the fastest; virtual drives
 * accept any value. Get: any out pointer may be NULL. */
VANTRELL_API uint8_t Vantrell_CdvdBurnerGrabber_SetSpeeds(VantrellObject* object,
                                                          VANTRELL_ERROR_BLOCK, int32_t readSpeed,
                                                          int32_t writeSpeed);
VANTRELL_API uint8_t Vantrell_CdvdBurnerGrabber_GetSpeeds(
    VantrellObject* object, VANTRELL_ERROR_BLOCK, int32_t* currentReadSpeed,
    int32_t* maximumReadSpeed, int32_t* currentWriteSpeed, int32_t* maximumWriteSpeed);

/* Lock prevents medium removal, Release allows it again (a lock is held by the object;
 * Release without a lock is a success). Eject opens the tray (fails with
 * VANTRELL_EXCEPTION_LOCKED while another object holds a lock); CloseTray closes it.
 * Real drives: MMC commands; virtual drives: simulated state shared by all objects of the
 * drive. */
VANTRELL_API uint8_t Vantrell_CdvdBurnerGrabber_Lock(VantrellObject* object, VANTRELL_ERROR_BLOCK);
VANTRELL_API uint8_t Vantrell_CdvdBurnerGrabber_Release(VantrellObject* object,
                                                        VANTRELL_ERROR_BLOCK);
VANTRELL_API uint8_t Vantrell_CdvdBurnerGrabber_Eject(VantrellObject* object, VANTRELL_ERROR_BLOCK);
VANTRELL_API uint8_t Vantrell_CdvdBurnerGrabber_CloseTray(VantrellObject* object,
                                                          VANTRELL_ERROR_BLOCK);

/* 1 when the simulated tray of the virtual drive of imagePath (the path exactly as listed in
 * TONVALE_VIRTUAL_DRIVES) is open, else 0 (also for NULL and for a path whose tray was never
 * touched). openings (may be NULL) receives how often the tray has been opened, so that an
 * open and close between two looks is not missed. Any thread; lets a device monitor see tray
 * changes, which touch no file. */
VANTRELL_API uint8_t Vantrell_IsVirtualTrayOpen(const char* imagePath, uint64_t* openings);

/* Copies audio track `track` into outputFile (its folder must exist) and
 * returns when done. Fixed arguments (the drive layer passes 1, 1, 0, 1):
 *   errorCorrection  1: full paranoia (overlapped, verified reads; a sector that cannot be
 *                    verified after 20 attempts fails the grab); 0: verify only;
 *   waveHeader       1: a canonical 44-byte-header WAV (PCM 16-bit, 2 channels, 44100 Hz);
 *                    0: raw little-endian PCM;
 *   readSpeed        drive speed multiplier, 0 = the drive's own choice;
 *   reportProgress   1: callback reason 11 with total and done bytes (uint64_t*), at least
 *                    once at the start (done 0), during the copy and at the end.
 * The output is written to a hidden temporary file in the folder of the file outputFile
 * leads to (symbolic links followed) under an exclusive flock, flushed to the disc and given
 * the final name only when complete, keeping the mode and owner of a file it replaces (a new
 * file follows the umask; a file with several hard links is filled in place at the end so
 * that every link sees it); a device or a FIFO is written to directly. A failure or a
 * cancel removes the temporary file and leaves an existing outputFile untouched. A sector that
 * cannot be read is retried a bounded number of times, then the grab fails with
 * VANTRELL_EXCEPTION_READ_ERROR (the failure record's Lba names it): output is never
 * zero-filled. Errors: NOT_AUDIO (a data track), INVALID_ARGUMENT (no such track),
 * NO_MEDIUM, FILE_ERROR, CANCELLED. */
VANTRELL_API uint8_t Vantrell_CdvdBurnerGrabber_GrabTrack(
    VantrellObject* object, VANTRELL_ERROR_BLOCK, uint8_t track, const char* outputFile,
    uint8_t errorCorrection, uint8_t waveHeader, uint8_t readSpeed, uint8_t reportProgress);

/* Receives the audio of a grab as it is read: little-endian 16-bit stereo PCM, in order, in
 * parts of any size (whole sectors, up to 256 KB). Returns 0 to go on; any other value (an
 * errno) ends the grab with VANTRELL_EXCEPTION_FILE_ERROR. Called on the grabbing thread. */
typedef int32_t (*VantrellAudioSink)(void* context, const uint8_t* data, uint32_t size);

/* Reads `sectors` sectors from firstLsn for audio track `track` and hands their audio to sink
 * as it is read; nothing is written to a file. The range may reach beyond the track into the
 * audio tracks right beside it (a read offset takes samples from there), never into a data
 * track, a gap between sessions or past the disc's end: such a range fails with
 * INVALID_ARGUMENT. errorCorrection, readSpeed and reportProgress (total and done count the
 * range's bytes) as for GrabTrack; so are the errors and texts, which name `track`. */
VANTRELL_API uint8_t Vantrell_CdvdBurnerGrabber_GrabTrackRange(
    VantrellObject* object, VANTRELL_ERROR_BLOCK, uint8_t track, int32_t firstLsn, int32_t sectors,
    VantrellAudioSink sink, void* context, uint8_t errorCorrection, uint8_t readSpeed,
    uint8_t reportProgress);

/* Asks the grab of this object to stop: the grab running now, or else the next grab to
 * start, fails with VANTRELL_EXCEPTION_CANCELLED (the request is used up by that grab).
 * Any thread; returns at once. NULL: nothing. */
VANTRELL_API void Vantrell_CdvdBurnerGrabber_CancelGrab(VantrellObject* object);

/* ------------------------------------------------------------------------------------ */
/* Compression                                                                          */
/* ------------------------------------------------------------------------------------ */

/* Copies the WAV file source into target. bytesPerSecond must match the source's header
 * (176400 for CD audio). level 0: the PCM WAV is checked (RIFF/WAVE, PCM 16-bit, the
 * byte rate, a data chunk that fits the file) and copied unchanged; other levels:
 * VANTRELL_EXCEPTION_NOT_SUPPORTED. callback (may be NULL) gets code 1 with the percentage
 * whenever it changes. target is written as GrabTrack writes its output (temporary name,
 * renamed when complete; links, devices and FIFOs as there);
 * on failure no target is left (an existing target stays as it was). Errors: FILE_ERROR,
 * BAD_WAVE, NOT_SUPPORTED, CANCELLED, INVALID_ARGUMENT. */
VANTRELL_API uint8_t Vantrell_Wave_UncompressedFileCompress(const char* source, const char* target,
                                                            uint32_t bytesPerSecond,
                                                            VantrellCompressCallback callback,
                                                            void* context, int32_t level);

/* ------------------------------------------------------------------------------------ */
/* Burning: this library never writes media. Each operation below fails with             */
/* VANTRELL_EXCEPTION_NOT_SUPPORTED and a text saying so (invalid objects: 1).           */
/* ------------------------------------------------------------------------------------ */

VANTRELL_API uint8_t Vantrell_CdvdBurnerGrabber_GetBUP(VantrellObject* object, VANTRELL_ERROR_BLOCK,
                                                       uint8_t* enabled,
                                                       uint8_t* supported); /* succeeds: 0, 0 */
VANTRELL_API uint8_t Vantrell_CdvdBurnerGrabber_EnableBUP(VantrellObject* object,
                                                          VANTRELL_ERROR_BLOCK, uint8_t enable);
VANTRELL_API uint8_t Vantrell_CdvdBurnerGrabber_SendOPC(VantrellObject* object,
                                                        VANTRELL_ERROR_BLOCK);
VANTRELL_API uint8_t Vantrell_CdvdBurnerGrabber_CloseSession(VantrellObject* object,
                                                             VANTRELL_ERROR_BLOCK);

/* From a file tree: testWrite and multiSession are Booleans. */
VANTRELL_API uint8_t Vantrell_CdvdBurnerGrabber_TrackAtOnceFromTree(VantrellObject* object,
                                                                    VANTRELL_ERROR_BLOCK,
                                                                    VantrellObject* fileTree,
                                                                    uint8_t testWrite,
                                                                    uint8_t multiSession);
VANTRELL_API uint8_t Vantrell_CdvdBurnerGrabber_SessionAtOnceFromTree(VantrellObject* object,
                                                                      VANTRELL_ERROR_BLOCK,
                                                                      VantrellObject* fileTree,
                                                                      uint8_t testWrite,
                                                                      uint8_t multiSession);
VANTRELL_API uint8_t Vantrell_CdvdBurnerGrabber_DiscAtOncePQFromTree(VantrellObject* object,
                                                                     VANTRELL_ERROR_BLOCK,
                                                                     VantrellObject* fileTree,
                                                                     uint8_t testWrite,
                                                                     uint8_t multiSession);
VANTRELL_API uint8_t Vantrell_CdvdBurnerGrabber_DiscAtOnceRawPWFromTree(VantrellObject* object,
                                                                        VANTRELL_ERROR_BLOCK,
                                                                        VantrellObject* fileTree,
                                                                        uint8_t testWrite,
                                                                        uint8_t multiSession);

/* From image or track files. */
VANTRELL_API uint8_t Vantrell_CdvdBurnerGrabber_DiscAtOncePQFromFile(VantrellObject* object,
                                                                     VANTRELL_ERROR_BLOCK,
                                                                     const char* imageFile,
                                                                     uint8_t testWrite);
VANTRELL_API uint8_t Vantrell_CdvdBurnerGrabber_DiscAtOnceRawPWFromFile(VantrellObject* object,
                                                                        VANTRELL_ERROR_BLOCK,
                                                                        const char* imageFile,
                                                                        uint8_t testWrite);
VANTRELL_API uint8_t Vantrell_CdvdBurnerGrabber_TrackAtOnceFromFile(VantrellObject* object,
                                                                    VANTRELL_ERROR_BLOCK,
                                                                    const char* trackFile,
                                                                    uint8_t testWrite,
                                                                    uint8_t multiSession);
VANTRELL_API uint8_t Vantrell_CdvdBurnerGrabber_SessionAtOnceFromFile(
    VantrellObject* object, VANTRELL_ERROR_BLOCK, const char* const* trackFiles,
    uint32_t trackFileCount, uint8_t testWrite, uint8_t multiSession);

/* ISO 9660 / Joliet file trees (image building). Create fails (NOT_SUPPORTED) and sets
 * *fileTree to NULL; the others fail for any tree. */
VANTRELL_API uint8_t Vantrell_ISO9660JolietFileTree_Create(VantrellObject** fileTree,
                                                           VANTRELL_ERROR_BLOCK,
                                                           VantrellCallback callback,
                                                           void* context);
VANTRELL_API uint8_t Vantrell_ISO9660JolietFileTree_AddFile(VantrellObject* fileTree,
                                                            VANTRELL_ERROR_BLOCK,
                                                            const char* sourcePath,
                                                            const char* nameInImage);
VANTRELL_API uint8_t Vantrell_ISO9660JolietFileTree_SetBootImage(VantrellObject* fileTree,
                                                                 VANTRELL_ERROR_BLOCK,
                                                                 const char* bootImageFile);
VANTRELL_API uint8_t Vantrell_ISO9660JolietFileTree_BuildImage(VantrellObject* fileTree,
                                                               VANTRELL_ERROR_BLOCK,
                                                               uint64_t* imageSizeBytes);
VANTRELL_API uint8_t Vantrell_ISO9660JolietFileTree_ReadImage(VantrellObject* fileTree,
                                                              VANTRELL_ERROR_BLOCK, void* buffer,
                                                              uint32_t size, uint32_t* bytesRead);

#ifdef __cplusplus
}
#endif

#endif /* VANTRELL_VANTRELL_H */
