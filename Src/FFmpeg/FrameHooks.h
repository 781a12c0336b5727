// Frame-hook libraries: loading ("vhook" option), calling and releasing them.
//
// Each engine owns one list of hook entries (a TFrameHookEntry* head, null
// when empty). LoadHook loads the library named by args[0] through a
// process-wide registry (a library named twice is loaded once and stays
// loaded until the process ends) and appends one entry with its own context.
// CallHooks runs every entry's Process in list order on one picture;
// ReleaseHooks calls Release and frees the entries.
//
// Threads: LoadHook runs on the thread that sets the engine's options;
// CallHooks and ReleaseHooks on the conversion thread (or that same thread
// afterwards). The registry is guarded by its own lock.
#pragma once

#include "FrameHookApi.h"

#include <cstdint>

struct TFrameHookEntry {
    TFrameHookEntry* Next = nullptr;
    TFrameHookConfigure Configure = nullptr;
    TFrameHookProcess Process = nullptr;
    TFrameHookRelease Release = nullptr;
    void* Context = nullptr; // filled by Configure
};

// 0 on success; -2 without arguments or without a usable "Process" (or a
// "Configure" when arguments follow the name), -1 when the library cannot be
// loaded, -12 out of memory, -22 when Configure refuses. Failures are logged
// at the library's error level and add no entry.
int LoadHook(TFrameHookEntry** head, int argc, char* argv[]);
void CallHooks(TFrameHookEntry* head, TFrameHookPicture* picture, int pixFmt, int width, int height,
               int64_t pts);
void ReleaseHooks(TFrameHookEntry** head);
// Number of entries of a list (diagnostics and tests).
int HookCount(const TFrameHookEntry* head);
// Number of distinct hook libraries loaded by this process so far.
int LoadedHookLibraryCount();
