// Server stack: KoFileCache, what one event loop knows of the files it
// serves: their status, whether they lie inside a directory (the CGI
// directory, which is never served as files), and the files themselves
// kept open. A page answered again and again then costs no status query,
// no path resolution and no open per answer.
//
// Everything known of a path is taken as it is for `validity`; after that
// one status query checks that the path still names the same file
// (device, inode, size, modification time) and what was known of it is
// dropped when it does not, so a changed or replaced file is served new
// within the validity; status() asked to check now (for a client that asks
// whether its copy is still current) queries the file system whatever the
// age of what is known. A small file's bytes are read once, when it is
// opened, and kept instead of its descriptor (up to a budget of bytes per
// cache): its answers cost no read and no descriptor, and a file rewritten
// in place is answered as it was until
// the validity passes, never half old and half new. An open file is shared:
// answers in flight keep theirs while the cache moves on. A file that cannot be opened is not
// kept: the Error says why (notFound() for a missing one). At most
// `capacity` paths are kept; the one used longest ago goes first.
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
#include "platform/file_system.h"
#include "platform/open_file.h"

struct KoOpenFile {
    // Open for reading, unless the content is kept instead.
    platform::Descriptor descriptor;
    platform::FileIdentity identity;
    // The whole file as read when opened (small files only), else null.
    std::shared_ptr<const std::string> content;
};

class KoFileCache {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr Clock::duration defaultValidity = std::chrono::milliseconds(500);
    // Files up to this size are kept in memory, up to contentBudget bytes.
    static constexpr std::size_t smallFile = 16 * 1024;
    static constexpr std::size_t contentBudget = 1024 * 1024;

    explicit KoFileCache(std::size_t capacity = 256, Clock::duration validity = defaultValidity);
    KoFileCache(const KoFileCache&) = delete;
    KoFileCache& operator=(const KoFileCache&) = delete;

    // As platform::fileStatus; with checkNow, what is known of path is
    // checked against the file system first, however young it is.
    platform::Result<platform::FileInfo> status(const std::string& path, bool checkNow = false);
    // As platform::locatedIn.
    bool locatedIn(const std::string& path, const std::string& directory);
    // The file path names, open for reading.
    platform::Result<std::shared_ptr<const KoOpenFile>> open(const std::string& path);

    std::size_t size() const { return entries.size(); }
    std::size_t contentBytes() const { return contentBytes_; }

    static KoFileCache& forThisThread();

private:
    struct Entry {
        Clock::time_point checked;
        Clock::time_point used;
        platform::Error error;  // the status query failed
        platform::FileIdentity identity;
        std::shared_ptr<const KoOpenFile> file;
        std::string insideOf;  // the directory `inside` was found for
        bool inside = false;
    };
    // The entry of path, checked against the file system when it is older
    // than the validity (or checkNow).
    Entry& current(const std::string& path, bool checkNow = false);
    void evictOne();
    // Forgets the open file of an entry (and the bytes it kept).
    void dropFile(Entry& entry);

    const std::size_t capacity;
    const Clock::duration validity;
    std::unordered_map<std::string, Entry> entries;
    std::size_t contentBytes_ = 0;
};
