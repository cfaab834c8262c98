// Server stack: KoOpenFileCache, the files a loop sends kept open with
// their status, so that a file answered again and again costs neither an
// open nor a status query per answer.
//
// open() gives the file a path names as a shared KoOpenFile (answers in
// flight keep theirs while the cache moves on). An entry younger than the
// validity is taken as it is; an older one is checked against the path
// (device, inode, size, modification time) and opened anew when the name
// now stands for another file or the file changed, so a changed file is
// served new within the validity. A file that cannot be opened is not
// kept: the Error says why (notFound() for a missing one). At most
// `capacity` files are kept; the one used longest ago goes first.
//
// forThisThread() is the cache of the calling thread, each loop's own;
// nothing is shared between threads. Failures: std::bad_alloc only.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

#include "platform/descriptor.h"
#include "platform/error.h"
#include "platform/open_file.h"

struct KoOpenFile {
    platform::Descriptor descriptor;
    platform::FileIdentity identity;
};

class KoOpenFileCache {
public:
    using Clock = std::chrono::steady_clock;

    explicit KoOpenFileCache(std::size_t capacity = 64,
                             Clock::duration validity = std::chrono::milliseconds(500));
    KoOpenFileCache(const KoOpenFileCache&) = delete;
    KoOpenFileCache& operator=(const KoOpenFileCache&) = delete;

    platform::Result<std::shared_ptr<const KoOpenFile>> open(const std::string& path, Clock::time_point now);

    std::size_t size() const { return entries.size(); }
    void setValidity(Clock::duration value) { validity = value; }

    static KoOpenFileCache& forThisThread();

private:
    struct Entry {
        std::shared_ptr<const KoOpenFile> file;
        Clock::time_point checked;
        Clock::time_point used;
    };
    void evictOne();

    const std::size_t capacity;
    Clock::duration validity;
    std::unordered_map<std::string, Entry> entries;
};
