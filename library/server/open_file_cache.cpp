#include "server/open_file_cache.h"

#include <utility>

KoOpenFileCache::KoOpenFileCache(std::size_t capacity_, Clock::duration validity_)
    : capacity(capacity_ == 0 ? 1 : capacity_), validity(validity_) {}

KoOpenFileCache& KoOpenFileCache::forThisThread() {
    thread_local KoOpenFileCache cache;
    return cache;
}

void KoOpenFileCache::evictOne() {
    auto oldest = entries.begin();
    for (auto it = entries.begin(); it != entries.end(); ++it)
        if (it->second.used < oldest->second.used) oldest = it;
    if (oldest != entries.end()) entries.erase(oldest);
}

platform::Result<std::shared_ptr<const KoOpenFile>> KoOpenFileCache::open(const std::string& path,
                                                                          Clock::time_point now) {
    auto found = entries.find(path);
    if (found != entries.end()) {
        Entry& entry = found->second;
        if (now - entry.checked < validity) {
            entry.used = now;
            return entry.file;
        }
        const auto current = platform::fileIdentity(path);
        if (current.ok() && current.value() == entry.file->identity) {
            entry.checked = now;
            entry.used = now;
            return entry.file;
        }
        entries.erase(found);
        if (!current.ok()) return current.error();
    }
    auto opened = platform::openForReading(path);
    if (!opened.ok()) return opened.error();
    auto file = std::make_shared<KoOpenFile>();
    file->descriptor = std::move(opened.value());
    const auto identity = platform::fileIdentity(file->descriptor.get());
    if (!identity.ok()) return identity.error();
    file->identity = identity.value();
    // Only regular files are kept and sent; a directory or device is not a
    // document.
    if (!file->identity.regular) return std::shared_ptr<const KoOpenFile>(std::move(file));
    if (entries.size() >= capacity) evictOne();
    entries[path] = Entry{file, now, now};
    return std::shared_ptr<const KoOpenFile>(std::move(file));
}
