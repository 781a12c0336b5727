// The window's disc lookup: once a disc is listed, its names are looked up on a thread of
// its own (the user's sources as the command line's rip sees them: MusicBrainz, gnudb
// with an address from the configuration, the disc's CD-Text), so that the files of the
// window's runs get tags and the front cover. It never delays the listing or a run and
// never shows anything; a file that is finished before the lookup has ended keeps the
// tags the conversion gave it.
//
// Threads. Start, Clear and the destructor belong to the main thread; Tag is called on
// the conversions' threads. The lookup's thread only hands its result over under the lock.
#pragma once

#include "MetaLookup.h"
#include "MetaTags.h"

#include <QString>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class TDiscLookup {
public:
    TDiscLookup() = default;
    ~TDiscLookup();
    TDiscLookup(const TDiscLookup&) = delete;
    TDiscLookup& operator=(const TDiscLookup&) = delete;

    // Looks up the disc with this table of contents; devicePath (a drive's device or a
    // virtual drive's image) gives its CD-Text. A lookup still running is cancelled.
    void Start(const meta::TMetaToc& toc, const QString& devicePath);
    // The disc has gone: what was found is forgotten, a lookup running is cancelled.
    void Clear();

    // Writes the tags and cover of track number into the finished file at path (its
    // temporary name) when the lookup has ended; true when there was nothing to write.
    // Any thread.
    bool Tag(const std::string& path, meta::TTagKind kind, int number, std::string& error) const;

    // What was found, or null while the lookup runs (any thread).
    std::shared_ptr<const meta::TLookupResult> Result() const;
    // Waits up to ms for the lookup to end (tests); true when a result is there.
    bool WaitForResult(int ms) const;

    // The configuration's switch (Lookup=false turns the lookup off).
    static bool Enabled();

private:
    void Stop();

    mutable std::mutex Lock_;
    mutable std::condition_variable Ended_;
    std::shared_ptr<const meta::TLookupResult> Result_; // guarded by Lock_
    std::shared_ptr<meta::TCancel> Cancel_;
    std::thread Thread_;
};
