// Shared types of the drive layer: the device address record, the transport
// and log-item kinds, the disc types the drive library reports, the layer's
// exception and the resource strings its messages are built from.
//
// Everything in drive/ and the application include this; it has no Qt widget
// dependencies.
#pragma once

#include "Vantrell/Vantrell.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

// Kind of a message of the drive layer (log items and action messages).
enum TsbLogItemType : uint8_t { litInfo = 0, litError = 1, litWarning = 2 };

// How a session opens its drive: by address record or by device name.
enum TsbTransportType : uint8_t { ttSpti = 0, ttAspi = 1 };

// DISC_TYPE (the disc types, in the library's numbering) comes from Vantrell.h.
inline constexpr int DiscTypeCount = 23;

// "DISC_TYPE_CDR" for DISC_TYPE_CDR; "DISC_TYPE_<n>" for a value outside the list.
QString DiscTypeName(int discType);

// Device address record: five bytes (present flag, PortID, BusID, TargetID, LUN).
using TsbDeviceAddress = VantrellDeviceAddress;

// The exception the drive layer raises; what() is the complete failure text (UTF-8).
class EsbError : public std::runtime_error {
public:
    explicit EsbError(const QString& text) : std::runtime_error(text.toStdString()) {}
    QString Text() const { return QString::fromUtf8(what()); }
};

// Message event of sessions, actions and threads: (sender, text, kind).
using TsbMessageEvent = std::function<void(void* sender, const QString& text, TsbLogItemType kind)>;

// Resource strings the layer's messages use, by their numbers.
namespace sbres {
inline const QString Yes = QStringLiteral("Yes");                                           // 15131
inline const QString No = QStringLiteral("No");                                             // 15132
inline const QString BurningStarted = QStringLiteral("Burning started");                    // 15140
inline const QString TestingUnitReady = QStringLiteral("Testing unit ready");               // 15141
inline const QString GettingTrackInformation = QStringLiteral("Getting track information"); // 15143
inline const QString GettingDiscInformation = QStringLiteral("Getting disc information");   // 15144
inline const QString BuildingIsoImage = QStringLiteral("Building ISO image");               // 15145
inline const QString ClosingSession = QStringLiteral("Closing session");                    // 15147
inline const QString CurrentReadSpeed = QStringLiteral("Current read speed %1 KBps (%2 maximum)");
inline const QString CurrentWriteSpeed = QStringLiteral("Current write speed %1 KBps (%2 maximum)");
inline const QString GettingSpeeds = QStringLiteral("Getting current CD/DVD speeds"); // 15151
inline const QString EnablingBup = QStringLiteral("Enabling BUP (Buffer Underrun Protection)");
inline const QString GettingBup =
    QStringLiteral("Getting BUP (Buffer Underrun Protection) support"); // 15153
inline const QString CacheUsed =
    QStringLiteral("%1 MBs of cache will be used during burn process");       // 15154
inline const QString EjectDisc = QStringLiteral("Eject disc");                // 15157
inline const QString GrabbingComplete = QStringLiteral("Grabbing complete");  // 15166
inline const QString SettingSpeeds = QStringLiteral("Setting CD/DVD speeds"); // 15167
inline const QString SendingOpc = QStringLiteral("Sending OPC (Optimum Power Calibration)");
inline const QString BurningMode = QStringLiteral("Burning mode");     // 15169
inline const QString ReadingTracks = QStringLiteral("Reading tracks"); // 15111
inline const QString ScanningDevices =
    QStringLiteral("Tonvale is scanning your system for CD and DVD devices."); // 15605
} // namespace sbres

inline const QString& YesNo(bool value) {
    return value ? sbres::Yes : sbres::No;
}
