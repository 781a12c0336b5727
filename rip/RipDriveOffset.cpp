#include "RipDriveOffset.h"

#include <QUrl>

namespace rip {
namespace {

constexpr int kNameBytes = 33;

QString Key(const QString& name) {
    return name.simplified().toUpper();
}

} // namespace

bool ParseDriveOffsets(const QByteArray& bytes, std::vector<TDriveOffset>& drives, QString& error) {
    drives.clear();
    if (bytes.isEmpty() || bytes.size() % kDriveOffsetRecord != 0) {
        error = QStringLiteral("%1 bytes are not a whole number of %2-byte records")
                    .arg(bytes.size())
                    .arg(kDriveOffsetRecord);
        return false;
    }
    for (qsizetype at = 0; at < bytes.size(); at += kDriveOffsetRecord) {
        const auto* p = reinterpret_cast<const unsigned char*>(bytes.constData() + at);
        TDriveOffset d;
        d.Offset = static_cast<int16_t>(static_cast<uint16_t>(p[0] | p[1] << 8));
        const QByteArray name(bytes.constData() + at + 2, kNameBytes);
        const qsizetype end = name.indexOf('\0');
        d.Name = QString::fromLatin1(end < 0 ? name : name.left(end)).trimmed();
        if (d.Name.isEmpty() || d.Name.contains(QLatin1Char('<'))) {
            error =
                QStringLiteral("record %1 holds no drive name").arg(at / kDriveOffsetRecord + 1);
            drives.clear();
            return false;
        }
        drives.push_back(std::move(d));
    }
    return true;
}

QByteArray WriteDriveOffsets(const std::vector<TDriveOffset>& drives) {
    QByteArray out;
    for (const TDriveOffset& d : drives) {
        const auto offset = static_cast<uint16_t>(static_cast<int16_t>(d.Offset));
        out.append(static_cast<char>(offset & 0xFF));
        out.append(static_cast<char>(offset >> 8));
        out.append(d.Name.toLatin1().left(kNameBytes).leftJustified(kNameBytes, '\0'));
        out.append(QByteArray(kDriveOffsetRecord - 2 - kNameBytes, '\0'));
    }
    return out;
}

const TDriveOffset* FindDriveOffset(const std::vector<TDriveOffset>& drives, const QString& vendor,
                                    const QString& product) {
    if (product.trimmed().isEmpty())
        return nullptr;
    const QString key = Key(vendor.trimmed().leftJustified(8) + QStringLiteral(" - ") + product);
    for (const TDriveOffset& d : drives)
        if (Key(d.Name) == key)
            return &d;
    return nullptr;
}

TOffsetChoice ChooseReadOffset(meta::TMetaHttp& http, const QString& base, bool virtualDrive,
                               const QString& vendor, const QString& product) {
    TOffsetChoice choice;
    if (virtualDrive) {
        choice.Source = QStringLiteral("virtual drive");
        return choice;
    }
    const QUrl url(base + QStringLiteral("/accuraterip/DriveOffsets.bin"));
    auto keep = [](const meta::THttpAnswer& a) {
        std::vector<TDriveOffset> drives;
        QString error;
        return a.Ok() && ParseDriveOffsets(a.Body, drives, error);
    };
    const meta::THttpAnswer a = http.Get(url, QStringLiteral("accuraterip ") + url.path(), keep);
    std::vector<TDriveOffset> drives;
    QString error;
    if (!a.Ok())
        choice.Note = QStringLiteral("AccurateRip drive list: ") + a.Describe();
    else if (!ParseDriveOffsets(a.Body, drives, error))
        choice.Note = QStringLiteral("AccurateRip drive list: the answer was refused: ") + error;
    if (const TDriveOffset* d = FindDriveOffset(drives, vendor, product)) {
        choice.Offset = d->Offset;
        choice.Source = QStringLiteral("AccurateRip drive list (%1)").arg(d->Name.simplified());
        return choice;
    }
    choice.Source = QStringLiteral("unknown drive");
    choice.Warning = QString::fromLatin1(kOffsetUnknown);
    return choice;
}

} // namespace rip
