#include "sbLogger.h"

#include "sbUserInterface.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTime>

#include <cstdio>
#include <cstring>
#include <memory>

namespace {
// One lock for the process-wide logger and its file: open, append and close
// form one unit, and Reload cannot swap the logger under a writer.
std::mutex& LogLock() {
    static std::mutex lock;
    return lock;
}
std::unique_ptr<TsbLogger>& LoggerSlot() {
    static std::unique_ptr<TsbLogger> logger;
    return logger;
}
TsbLogger& InstanceLocked() {
    auto& slot = LoggerSlot();
    if (!slot)
        slot = std::make_unique<TsbLogger>();
    return *slot;
}
} // namespace

QString DiscTypeName(int discType) {
    static const char* const names[DiscTypeCount] = {
        "DISC_TYPE_UNKNOWN",  "DISC_TYPE_CDROM",     "DISC_TYPE_CDR",      "DISC_TYPE_CDRW",
        "DISC_TYPE_DVDROM",   "DISC_TYPE_DVDR",      "DISC_TYPE_DVDRAM",   "DISC_TYPE_DVDRWRO",
        "DISC_TYPE_DVDRWSR",  "DISC_TYPE_DVDPLUSRW", "DISC_TYPE_DDCDROM",  "DISC_TYPE_DDCDR",
        "DISC_TYPE_DDCDRW",   "DISC_TYPE_DVDPLUSR",  "DISC_TYPE_NO_MEDIA", "DISC_TYPE_DVDPLUSR_DL",
        "DISC_TYPE_BDROM",    "DISC_TYPE_DVDR_DL",   "DISC_TYPE_BDR",      "DISC_TYPE_BDRE",
        "DISC_TYPE_HDDVDROM", "DISC_TYPE_HDDVDR",    "DISC_TYPE_HDDVDRW"};
    if (discType < 0 || discType >= DiscTypeCount)
        return QStringLiteral("DISC_TYPE_%1").arg(discType);
    return QString::fromLatin1(names[discType]);
}

QString TsbLogger::SettingsFileName() {
    QString dirs = qEnvironmentVariable("XDG_CONFIG_DIRS");
    QString first = dirs.split(QLatin1Char(':'), Qt::SkipEmptyParts).value(0);
    if (first.isEmpty())
        first = QStringLiteral("/etc/xdg");
    return first + QStringLiteral("/Harrowgate Software.ini");
}

TsbLogger::TsbLogger() {
    // A missing file, group or value yields the defaults.
    QSettings settings(SettingsFileName(), QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("Vantrell"));
    logEnabled_ = settings.value(QStringLiteral("LogEnabled"), false).toBool();
    logLevel_ = settings.value(QStringLiteral("LogLevel"), 0).toInt();
    settings.endGroup();
}

TsbLogger& TsbLogger::Instance() {
    std::lock_guard guard(LogLock());
    return InstanceLocked();
}

void TsbLogger::Reload() {
    std::lock_guard guard(LogLock());
    LoggerSlot() = std::make_unique<TsbLogger>();
}

QString TsbLogger::LogFileName() {
    if (logFileName_.isEmpty()) {
        const QFileInfo exe(QStringLiteral("/proc/self/exe"));
        const QFileInfo program(exe.symLinkTarget().isEmpty() ? exe.absoluteFilePath()
                                                              : exe.symLinkTarget());
        logFileName_ = program.absolutePath() + QLatin1Char('/') + program.completeBaseName() +
                       QStringLiteral(".log");
    }
    return logFileName_;
}

void TsbLogger::Log(const QString& message, int /*level*/) {
    if (!logEnabled_)
        return;
    const QByteArray line = (QTime::currentTime().toString(QStringLiteral("hh:mm:ss.zzz")) +
                             QStringLiteral(": ") + message + QLatin1Char('\n'))
                                .toUtf8();
    QFile file(LogFileName());
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append) || file.write(line) != line.size() ||
        !file.flush()) {
        throw EsbError(QStringLiteral("I/O error: cannot write the log file %1: %2")
                           .arg(file.fileName(), file.errorString()));
    }
    file.close();
}

void SbLog(const QString& message) {
    std::lock_guard guard(LogLock());
    InstanceLocked().Log(message);
}

QString FailureText(const char* operation, int code, int32_t status, const char* exceptionText,
                    bool trailingBackslashN) {
    const size_t length = exceptionText ? strnlen(exceptionText, VANTRELL_EXCEPTION_TEXT_SIZE) : 0;
    QString text = QString::fromLatin1(operation) + QStringLiteral("() failed, exception ") +
                   QString::number(code) + QStringLiteral(", status ") + QString::number(status) +
                   QStringLiteral(", text \"") +
                   QString::fromUtf8(exceptionText, static_cast<qsizetype>(length)) +
                   QLatin1Char('"');
    if (trailingBackslashN)
        text += QStringLiteral("\\n");
    return text;
}

QString FailureText(const char* operation, int code) {
    return QString::fromLatin1(operation) + QStringLiteral("() failed, exception ") +
           QString::number(code);
}

QString VersionCheckText(uint32_t found, bool& ok) {
    ok = found == ExpectedVantrellVersion;
    if (ok)
        return QStringLiteral("Vantrell : Vantrell.dll version : 0x") + QStringLiteral("20081220");
    return QStringLiteral("Vantrell : Invalid Vantrell.dll version : 0x") +
           QStringLiteral("%1").arg(found, 8, 16, QLatin1Char('0')).toUpper() +
           QStringLiteral(". Expected : 0x") + QStringLiteral("20081220");
}

bool CheckLibraryVersion() {
    bool ok = false;
    const QString text = VersionCheckText(Vantrell_GetVersion(), ok);
    std::fprintf(stderr, "%s\n", text.toUtf8().constData());
    if (!ok)
        sbdlg::ShowWarning(text);
    return ok;
}
