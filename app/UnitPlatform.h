// The operating-system check that picks the drive layer's transport type, the
// test whether any drive holds a readable disc, and the two tray command
// strings the eject worker sends.
//
// Callers: the main window at start (NeedsAspi) and its eject/close worker
// (SendMciString, AnyCDVolume).
//
// Threads: any thread. AnyCDVolume and SendMciString talk to the drives through
// the drive library and may take seconds on a real drive; call them from a
// worker. They expect the caller to have started the drive library
// (Vantrell_UpStartEx; the main window starts it when it is shown), so that the
// library's messages reach the drive log. Each call opens and releases its own
// device objects.
#pragma once

#include <QString>

#include <cstdint>

// The platform family of a system identifier: 1 -> 0, 2 -> 1, anything else -1.
int PlatformKindOf(long platformId);

// The platform family of this system: -1 (no POSIX system belongs to either
// family), also when the system cannot describe itself.
int PlatformKind();

// True when PlatformKind() is not 1: the session then addresses drives by
// their address records (ttAspi) rather than by name (ttSpti).
bool NeedsAspi();

// True when at least one drive of the drive library's list (real drives, then
// virtual drives) reports a medium that is present and ready.
bool AnyCDVolume();

// Error codes of SendMciString.
inline constexpr uint32_t MciErrorUnknownCommand = 1; // not one of the two tray strings
inline constexpr uint32_t MciErrorNoDrive = 2;        // the system has no CD drive
// The drive cannot be opened or its tray command failed: this base plus the drive
// library's exception code.
inline constexpr uint32_t MciErrorDriveBase = 0x100;

// The system's default CD drive, which the tray strings act on: the drive's path as the
// drive library lists it (a device path, or a virtual drive's image path as listed), or
// empty for the first drive of the drive library's list (the default). The main window
// points it at the drive whose disc it lists. Any thread.
void SetDefaultCdDrive(const QString& drive);
QString DefaultCdDrive();

// Carries out a tray command string on the system's default CD drive:
// "Set cdaudio door open wait" opens its tray, "Set cdaudio door closed wait"
// closes it (compared without regard to case, surrounding blanks ignored).
// Returns when the drive has done it: 0 on success, else one of the codes above
// (MciErrorNoDrive also when the default drive is not in the list).
uint32_t SendMciString(const QString& command);
