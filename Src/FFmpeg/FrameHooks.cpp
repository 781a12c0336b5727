// Frame-hook libraries: the process-wide registry of loaded libraries and the
// per-engine list of hook entries.
#include "FrameHooks.h"

#include "FFmpegStubs.h"

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <mutex>
#include <new>
#include <string>
#include <vector>

namespace {

struct TLoadedHookLibrary {
    std::string Name;
    void* Handle = nullptr;
};

// Libraries stay loaded until the process ends: their entries may still be
// called by an engine that is being torn down.
struct THookRegistry {
    std::mutex Lock;
    std::vector<TLoadedHookLibrary> Libraries; // guarded by Lock
};

THookRegistry& Registry() {
    static auto* registry = new THookRegistry; // never destroyed: handles stay valid
    return *registry;
}

void LogError(const std::string& text) {
    if (AVUtilStubs.av_log)
        AVUtilStubs.av_log(nullptr, AV_LOG_ERROR, "%s", text.c_str());
}

std::string Upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

// The library's folder becomes the current directory while it loads (its own
// dependencies beside it are found) and joins PATH, like a program's folder.
class TFolderScope {
public:
    explicit TFolderScope(const std::string& name) {
        const size_t slash = name.rfind('/');
        if (slash == std::string::npos)
            return;
        const std::string folder = slash == 0 ? "/" : name.substr(0, slash);
        char current[PATH_MAX];
        if (::getcwd(current, sizeof current))
            saved_ = current;
        if (!saved_.empty() && ::chdir(folder.c_str()) != 0)
            saved_.clear();
        const char* path = std::getenv("PATH");
        const std::string value = path ? path : "";
        if (Upper(value).find(Upper(folder)) == std::string::npos)
            ::setenv("PATH", (value + ":" + folder).c_str(), 1);
    }
    ~TFolderScope() {
        if (!saved_.empty() && ::chdir(saved_.c_str()) != 0)
            LogError("Cannot return to the folder " + saved_ + "\n");
    }
    TFolderScope(const TFolderScope&) = delete;
    TFolderScope& operator=(const TFolderScope&) = delete;

private:
    std::string saved_;
};

} // namespace

int LoadHook(TFrameHookEntry** head, int argc, char* argv[]) {
    if (argc <= 0 || !argv || !argv[0])
        return -2;
    const std::string name = argv[0];
    void* handle = nullptr;
    {
        THookRegistry& registry = Registry();
        std::lock_guard lock(registry.Lock);
        for (const TLoadedHookLibrary& library : registry.Libraries)
            if (library.Name == name)
                handle = library.Handle;
        if (!handle) {
            TFolderScope folder(name);
            handle = ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
            if (!handle) {
                const char* why = ::dlerror();
                LogError(std::string(why ? why : "cannot load " + name) + "\n");
                return -1;
            }
            registry.Libraries.push_back({name, handle});
        }
    }

    auto* entry = new (std::nothrow) TFrameHookEntry;
    if (!entry)
        return -12;
    entry->Configure = reinterpret_cast<TFrameHookConfigure>(::dlsym(handle, "Configure"));
    entry->Process = reinterpret_cast<TFrameHookProcess>(::dlsym(handle, "Process"));
    entry->Release = reinterpret_cast<TFrameHookRelease>(::dlsym(handle, "Release"));
    if (!entry->Process) {
        LogError("Failed to find Process entrypoint in " + name + "\n");
        delete entry;
        return -2;
    }
    if (!entry->Configure && argc > 1) {
        LogError("Failed to find Configure entrypoint in " + name + "\n");
        delete entry;
        return -2;
    }
    if (entry->Configure && entry->Configure(&entry->Context, argc, argv) != 0) {
        LogError("Failed to Configure " + name + "\n");
        delete entry;
        return -22;
    }
    TFrameHookEntry** tail = head;
    while (*tail)
        tail = &(*tail)->Next;
    *tail = entry;
    return 0;
}

void CallHooks(TFrameHookEntry* head, TFrameHookPicture* picture, int pixFmt, int width, int height,
               int64_t pts) {
    for (TFrameHookEntry* entry = head; entry; entry = entry->Next)
        entry->Process(entry->Context, picture, pixFmt, width, height, pts);
}

void ReleaseHooks(TFrameHookEntry** head) {
    TFrameHookEntry* entry = *head;
    *head = nullptr;
    while (entry) {
        TFrameHookEntry* next = entry->Next;
        if (entry->Release)
            entry->Release(entry->Context);
        delete entry;
        entry = next;
    }
}

int HookCount(const TFrameHookEntry* head) {
    int count = 0;
    for (; head; head = head->Next)
        ++count;
    return count;
}

int LoadedHookLibraryCount() {
    THookRegistry& registry = Registry();
    std::lock_guard lock(registry.Lock);
    return static_cast<int>(registry.Libraries.size());
}
