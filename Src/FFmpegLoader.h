// Run-time loader of the FFmpeg libraries.
//
// The media engine never links FFmpeg: the single TFFmpegLoader (FFmpegLoader())
// loads the libraries with dlopen from a folder the application names (falling
// back to the system's search) and binds every function the engine uses into a
// per-library function table (FFmpegStubs.h). From then on all calls into FFmpeg
// go through those tables.
//
// Threads: loading and unloading happen on the main thread while no conversion
// runs. LibraryLock serialises codec open/close and input opening across the
// conversion threads; it is never held while calling out to the application.
//
// This header is free of FFmpeg types so that the application and the CLI can
// include it.
#pragma once

#include <QString>

#include <bitset>
#include <cfenv>
#include <initializer_list>
#include <mutex>
#include <string>

// Library identifiers. The numbering is the historical one; the order in which
// a set is loaded is the dependency order (see LoadLibs).
enum TLibraryId : int {
    LibAVCodec = 0,
    LibAVDevice = 1,
    LibAVFilter = 2,
    LibAVFormat = 3,
    LibAVUtil = 4,
    LibSwScale = 5,
    LibMyUtil = 6,
    LibSDL = 7,
    LibSwResample = 8,
};
inline constexpr int LibraryCount = 9;

// A set of libraries (bit set over TLibraryId).
class TMediaLibraries {
public:
    constexpr TMediaLibraries() = default;
    constexpr TMediaLibraries(std::initializer_list<TLibraryId> ids) {
        for (TLibraryId id : ids)
            bits_ |= 1u << id;
    }
    constexpr bool Contains(TLibraryId id) const { return (bits_ >> id) & 1u; }
    constexpr bool Empty() const { return bits_ == 0; }
    constexpr unsigned Bits() const { return bits_; }

private:
    unsigned bits_ = 0;
};

// The set the conversion component and the engine require. libavdevice and SDL
// have tables but are not loaded by the application.
inline constexpr TMediaLibraries DefaultLibraries{LibAVCodec, LibAVFilter, LibAVFormat,  LibAVUtil,
                                                  LibSwScale, LibMyUtil,   LibSwResample};

// Identifier text ("LibAVCodec", ...).
const char* LibraryIdentifier(TLibraryId id);

class TFFmpegLoader {
public:
    TFFmpegLoader();
    ~TFFmpegLoader();
    TFFmpegLoader(const TFFmpegLoader&) = delete;
    TFFmpegLoader& operator=(const TFFmpegLoader&) = delete;

    // The folder searched first ("<program folder>/Dll/"); a trailing "/" is
    // added when missing.
    void SetLibraryPath(const QString& folder);
    QString LibraryPath() const { return libraryPath_; }

    // Text of the most recent load failure; never cleared by a success.
    void LastError(std::string& text) const { text = lastError_; }
    std::string LastError() const { return lastError_; }

    // The file to load: the override when set, else "lib<base>.so.<major>".
    QString LibraryFileName(TLibraryId id) const;
    // Replaces the built file name (a bare name or a path); empty restores it.
    void SetFileNameOverride(TLibraryId id, const QString& name);

    // Loads and binds one library; true when it is bound. A bind failure
    // releases the library again and leaves its table null.
    bool LoadLib(TLibraryId id);
    void UnloadLib(TLibraryId id);
    bool LibLoaded(TLibraryId id) const;

    // Loads every library of a non-empty set in dependency order; on the first
    // failure unloads the whole set and returns false. Already bound libraries
    // are not bound again.
    bool LoadLibs(TMediaLibraries set);
    bool Loaded(TMediaLibraries set) const;
    void UnloadLibs(TMediaLibraries set);

    // Where the library was actually loaded from (full path), empty if not loaded.
    QString LoadedPath(TLibraryId id) const;
    // The library's own version text ("59.37.100"), empty if not bound.
    std::string LibraryVersion(TLibraryId id) const;

    // When true, binding libavutil installs the engine logger's callback.
    bool HookLogCallback = true;

private:
    struct Status {
        QString fileNameOverride;
        void* handle = nullptr;
        bool bound = false;
    };
    void* LoadLibraryInFolder(const QString& folder, const QString& file, std::string& error);
    void Bind(TLibraryId id, const QString& fileName, void* handle);

    Status status_[LibraryCount];
    QString libraryPath_;
    std::string lastError_;
    std::fenv_t savedFenv_{};
};

// The process-wide loader.
TFFmpegLoader& FFmpegLoader();

// Serialises codec open/close and input opening across threads.
extern std::mutex LibraryLock;
