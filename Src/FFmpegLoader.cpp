#include "FFmpegLoader.h"
#include "FileNames.h"

#include "FFmpegException.h"
#include "FFmpegLogger.h"
#include "FFmpegStubs.h"

#include <QFile>
#include <QFileInfo>
#include <QtGlobal>

#include <dlfcn.h>
#include <link.h>

#include <cstring>
#include <span>

TAVCodecStubs AVCodecStubs;
TAVDeviceStubs AVDeviceStubs;
TAVFilterStubs AVFilterStubs;
TAVFormatStubs AVFormatStubs;
TAVUtilStubs AVUtilStubs;
TSwScaleStubs SwScaleStubs;
TSwResampleStubs SwResampleStubs;
TMyUtilStubs MyUtilStubs;
TSDLStubs libsdl;

std::mutex LibraryLock;

namespace {

struct StubEntry {
    const char* symbol;
    void* slot; // address of the table field
};

#define TONVALE_E(tbl, name) StubEntry{#name, &tbl.name},
#define TONVALE_E_AS(tbl, name, symbol) StubEntry{#symbol, &tbl.name},

#define TONVALE_E_AVCODEC(name) TONVALE_E(AVCodecStubs, name)
#define TONVALE_E_AVDEVICE(name) TONVALE_E(AVDeviceStubs, name)
#define TONVALE_E_AVFILTER(name) TONVALE_E(AVFilterStubs, name)
#define TONVALE_E_AVFORMAT(name) TONVALE_E(AVFormatStubs, name)
#define TONVALE_E_AVUTIL(name) TONVALE_E(AVUtilStubs, name)
#define TONVALE_E_SWSCALE(name) TONVALE_E(SwScaleStubs, name)
#define TONVALE_E_SWRESAMPLE(name) TONVALE_E(SwResampleStubs, name)
#define TONVALE_E_MYUTIL(name, symbol) TONVALE_E_AS(MyUtilStubs, name, symbol)
#define TONVALE_E_SDL(name) TONVALE_E(libsdl, name)

const StubEntry kAVCodec[] = {TONVALE_AVCODEC_FUNCTIONS(TONVALE_E_AVCODEC)};
const StubEntry kAVDevice[] = {TONVALE_AVDEVICE_FUNCTIONS(TONVALE_E_AVDEVICE)};
const StubEntry kAVFilter[] = {TONVALE_AVFILTER_FUNCTIONS(TONVALE_E_AVFILTER)};
const StubEntry kAVFormat[] = {TONVALE_AVFORMAT_FUNCTIONS(TONVALE_E_AVFORMAT)};
const StubEntry kAVUtil[] = {TONVALE_AVUTIL_FUNCTIONS(TONVALE_E_AVUTIL)};
const StubEntry kSwScale[] = {TONVALE_SWSCALE_FUNCTIONS(TONVALE_E_SWSCALE)};
const StubEntry kSwResample[] = {TONVALE_SWRESAMPLE_FUNCTIONS(TONVALE_E_SWRESAMPLE)};
const StubEntry kMyUtil[] = {TONVALE_MYUTIL_FUNCTIONS(TONVALE_E_MYUTIL)};
const StubEntry kSDL[] = {TONVALE_SDL_FUNCTIONS(TONVALE_E_SDL)};

struct TLibraryItem {
    TLibraryId id;
    const char* identifier;
    const char* baseName; // file name without "lib" and ".so.N"
    int version;          // major version from the headers; -1 = a fixed file name
    const char* fixedFileName;
    std::span<const StubEntry> entries;
};

const TLibraryItem kLibraries[LibraryCount] = {
    {LibAVCodec, "LibAVCodec", "avcodec", LIBAVCODEC_VERSION_MAJOR, nullptr, kAVCodec},
    {LibAVDevice, "LibAVDevice", "avdevice", LIBAVDEVICE_VERSION_MAJOR, nullptr, kAVDevice},
    {LibAVFilter, "LibAVFilter", "avfilter", LIBAVFILTER_VERSION_MAJOR, nullptr, kAVFilter},
    {LibAVFormat, "LibAVFormat", "avformat", LIBAVFORMAT_VERSION_MAJOR, nullptr, kAVFormat},
    {LibAVUtil, "LibAVUtil", "avutil", LIBAVUTIL_VERSION_MAJOR, nullptr, kAVUtil},
    {LibSwScale, "LibSwScale", "swscale", LIBSWSCALE_VERSION_MAJOR, nullptr, kSwScale},
    {LibMyUtil, "LibMyUtil", "c", -1, "libc.so.6", kMyUtil},
    {LibSDL, "LibSDL", "SDL2", -1, "libSDL2-2.0.so.0", kSDL},
    {LibSwResample, "LibSwResample", "swresample", LIBSWRESAMPLE_VERSION_MAJOR, nullptr,
     kSwResample},
};

// A library loaded by path finds its dependencies only when they are already
// loaded (the dynamic linker matches them by soname), so a set is loaded
// dependencies first.
const TLibraryId kLoadOrder[LibraryCount] = {LibAVUtil,   LibSwResample, LibSwScale,
                                             LibAVCodec,  LibAVFormat,   LibAVFilter,
                                             LibAVDevice, LibMyUtil,     LibSDL};

void ClearTable(TLibraryId id) {
    for (const StubEntry& e : kLibraries[id].entries)
        std::memset(e.slot, 0, sizeof(void*));
}

std::string DlErrorText() {
    const char* text = dlerror();
    return text ? text : "unknown error";
}

std::string Format(const char* format, const std::string& a, const std::string& b,
                   const std::string& c = {}) {
    const int size = std::snprintf(nullptr, 0, format, a.c_str(), b.c_str(), c.c_str());
    std::string out(static_cast<size_t>(size), '\0');
    std::snprintf(out.data(), out.size() + 1, format, a.c_str(), b.c_str(), c.c_str());
    return out;
}

bool FolderInSearchPath(const QByteArray& searchPath, const QByteArray& folder) {
    auto trimmed = [](QByteArray p) {
        while (p.size() > 1 && p.endsWith('/'))
            p.chop(1);
        return p;
    };
    const QByteArray wanted = trimmed(folder);
    for (const QByteArray& entry : searchPath.split(':'))
        if (!entry.isEmpty() && trimmed(entry) == wanted)
            return true;
    return false;
}

} // namespace

const char* LibraryIdentifier(TLibraryId id) {
    return kLibraries[id].identifier;
}

TFFmpegLoader::TFFmpegLoader() {
    // The libraries run with floating-point exceptions masked; the caller's
    // environment comes back when the loader goes.
    std::fegetenv(&savedFenv_);
    fedisableexcept(FE_ALL_EXCEPT);
}

TFFmpegLoader::~TFFmpegLoader() {
    // Libraries still loaded go with the process; only the settings are restored.
    std::fesetenv(&savedFenv_);
}

void TFFmpegLoader::SetLibraryPath(const QString& folder) {
    libraryPath_ = folder;
    if (!libraryPath_.isEmpty() && !libraryPath_.endsWith(QLatin1Char('/')))
        libraryPath_ += QLatin1Char('/');
}

QString TFFmpegLoader::LibraryFileName(TLibraryId id) const {
    if (!status_[id].fileNameOverride.isEmpty())
        return status_[id].fileNameOverride;
    const TLibraryItem& item = kLibraries[id];
    if (item.version < 0)
        return QString::fromLatin1(item.fixedFileName);
    return QStringLiteral("lib%1.so.%2").arg(QLatin1String(item.baseName)).arg(item.version);
}

void TFFmpegLoader::SetFileNameOverride(TLibraryId id, const QString& name) {
    status_[id].fileNameOverride = name;
}

void* TFFmpegLoader::LoadLibraryInFolder(const QString& folder, const QString& file,
                                         std::string& error) {
    void* handle = nullptr;
    QString path;
    if (!folder.isEmpty()) {
        path = folder.endsWith(QLatin1Char('/')) ? folder + file : folder + QLatin1Char('/') + file;
        const QFileInfo info(path);
        if (!info.exists() || info.isDir())
            path.clear();
    }
    if (!path.isEmpty()) {
        // Keep the folder on the search path so that programs started from here
        // (and a later dlopen by bare name) see the same libraries.
        const QByteArray dir = FileNameBytes(folder);
        const QByteArray current = qgetenv("LD_LIBRARY_PATH");
        if (!FolderInSearchPath(current, dir))
            qputenv("LD_LIBRARY_PATH", current.isEmpty() ? dir : dir + ':' + current);
        handle = dlopen(FileNameBytes(path).constData(), RTLD_NOW | RTLD_LOCAL);
    } else {
        handle = dlopen(FileNameBytes(file).constData(), RTLD_NOW | RTLD_LOCAL);
    }
    if (!handle)
        error = DlErrorText();
    return handle;
}

void TFFmpegLoader::Bind(TLibraryId id, const QString& fileName, void* handle) {
    const std::string fileText = fileName.toStdString();
    for (const StubEntry& e : kLibraries[id].entries) {
        dlerror();
        void* address = dlsym(handle, e.symbol);
        if (!address)
            throw FFmpegException(
                Format("Load function %s@%s error: %s", e.symbol, fileText, DlErrorText()));
        std::memcpy(e.slot, &address, sizeof(void*));
    }
}

bool TFFmpegLoader::LoadLib(TLibraryId id) {
    Status& st = status_[id];
    if (!st.handle) {
        const QString name = LibraryFileName(id);
        const qsizetype slash = name.lastIndexOf(QLatin1Char('/'));
        QString folder = slash >= 0 ? name.left(slash + 1) : QString();
        if (folder.isEmpty() && !libraryPath_.isEmpty())
            folder = libraryPath_;
        const QString file = slash >= 0 ? name.mid(slash + 1) : name;
        std::string error;
        void* handle = LoadLibraryInFolder(folder, file, error);
        if (!handle) {
            lastError_ = Format("Load library %s error: %s", (folder + file).toStdString(), error);
            return false;
        }
        st.handle = handle;
    }
    if (!st.bound) {
        try {
            Bind(id, LibraryFileName(id), st.handle);
            st.bound = true;
        } catch (const FFmpegException& e) {
            lastError_ = e.what();
            ClearTable(id);
        }
    }
    if (!st.bound) {
        UnloadLib(id);
        return false;
    }
    if (id == LibAVUtil && HookLogCallback)
        FFLogger().InstallLogCallback();
    return true;
}

void TFFmpegLoader::UnloadLib(TLibraryId id) {
    Status& st = status_[id];
    if (st.bound) {
        if (id == LibAVUtil)
            TFFLogger::LibraryUnbound();
        ClearTable(id);
        st.bound = false;
    }
    if (st.handle) {
        dlclose(st.handle);
        st.handle = nullptr;
    }
}

bool TFFmpegLoader::LibLoaded(TLibraryId id) const {
    return status_[id].handle != nullptr && status_[id].bound;
}

bool TFFmpegLoader::LoadLibs(TMediaLibraries set) {
    Q_ASSERT_X(!set.Empty(), "LoadLibs", "empty library set");
    if (set.Empty())
        return false;
    for (TLibraryId id : kLoadOrder) {
        if (set.Contains(id) && !LoadLib(id)) {
            UnloadLibs(set);
            return false;
        }
    }
    return true;
}

bool TFFmpegLoader::Loaded(TMediaLibraries set) const {
    Q_ASSERT_X(!set.Empty(), "Loaded", "empty library set");
    if (set.Empty())
        return false;
    for (int i = 0; i < LibraryCount; ++i) {
        const auto id = static_cast<TLibraryId>(i);
        if (set.Contains(id) && !LibLoaded(id))
            return false;
    }
    return true;
}

void TFFmpegLoader::UnloadLibs(TMediaLibraries set) {
    Q_ASSERT_X(!set.Empty(), "UnloadLibs", "empty library set");
    // Dependents go before what they depend on.
    for (int i = LibraryCount - 1; i >= 0; --i)
        if (set.Contains(kLoadOrder[i]))
            UnloadLib(kLoadOrder[i]);
}

QString TFFmpegLoader::LoadedPath(TLibraryId id) const {
    if (!status_[id].handle)
        return {};
    link_map* map = nullptr;
    if (dlinfo(status_[id].handle, RTLD_DI_LINKMAP, &map) != 0 || !map || !map->l_name)
        return {};
    return FileNameFromBytes(map->l_name);
}

std::string TFFmpegLoader::LibraryVersion(TLibraryId id) const {
    if (!LibLoaded(id))
        return {};
    unsigned v = 0;
    switch (id) {
    case LibAVCodec:
        v = AVCodecStubs.avcodec_version();
        break;
    case LibAVDevice:
        v = AVDeviceStubs.avdevice_version();
        break;
    case LibAVFilter:
        v = AVFilterStubs.avfilter_version();
        break;
    case LibAVFormat:
        v = AVFormatStubs.avformat_version();
        break;
    case LibAVUtil:
        v = AVUtilStubs.avutil_version();
        break;
    case LibSwScale:
        v = SwScaleStubs.swscale_version();
        break;
    case LibSwResample:
        v = SwResampleStubs.swresample_version();
        break;
    case LibMyUtil: {
        using VersionFn = const char* (*)();
        void* fn = dlsym(status_[id].handle, "gnu_get_libc_version");
        if (!fn)
            return {};
        VersionFn call = nullptr;
        std::memcpy(&call, &fn, sizeof fn);
        return call();
    }
    case LibSDL:
        return {};
    }
    return std::to_string(AV_VERSION_MAJOR(v)) + '.' + std::to_string(AV_VERSION_MINOR(v)) + '.' +
           std::to_string(AV_VERSION_MICRO(v));
}

TFFmpegLoader& FFmpegLoader() {
    static TFFmpegLoader loader;
    return loader;
}
