// The drive's read offset from AccurateRip's list of drives (DriveOffsets.bin), which the
// rip uses when the user gives no --offset.
//
// The list is a run of 69-byte records: the offset in samples (little-endian, signed 16
// bits), the drive's name in 33 bytes padded with NULs ("VENDOR   - PRODUCT", the INQUIRY
// vendor padded to 8 characters), then 34 bytes the rip does not use. It is fetched once and
// kept by the cache for 30 days.
//
// Pure functions, any thread; ChooseReadOffset blocks on the network.
#pragma once

#include "MetaHttp.h"

#include <QByteArray>
#include <QString>

#include <vector>

namespace rip {

inline constexpr int kDriveOffsetRecord = 69;

struct TDriveOffset {
    QString Name; // as the list writes it
    int Offset = 0;
};

// False with the reason when bytes are not such a list.
bool ParseDriveOffsets(const QByteArray& bytes, std::vector<TDriveOffset>& drives, QString& error);
// The bytes of a list (what tests and tools write).
QByteArray WriteDriveOffsets(const std::vector<TDriveOffset>& drives);
// The drive whose name is "vendor - product" (spaces and case aside), or null.
const TDriveOffset* FindDriveOffset(const std::vector<TDriveOffset>& drives, const QString& vendor,
                                    const QString& product);

inline constexpr const char* kOffsetUnknown = "read offset unknown: run tonvale-cli offset find";

// Where the rip's read offset came from.
struct TOffsetChoice {
    int Offset = 0;
    QString Source;  // "AccurateRip drive list (PLEXTOR - DVDR PX-716A)", "virtual drive", ...
    QString Warning; // kOffsetUnknown for an unknown drive
    QString Note;    // why the list could not be read, or empty
};
// The offset of a drive without --offset: 0 for a virtual drive (an image has none), else
// the list's entry for the drive; an unknown drive, or a list that cannot be had, reads at 0
// with the warning.
TOffsetChoice ChooseReadOffset(meta::TMetaHttp& http, const QString& base, bool virtualDrive,
                               const QString& vendor, const QString& product);

} // namespace rip
