#include "server/files/file_cache.h"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "compress/compressor.h"
#include "compress/content_coding.h"
#include "platform/thread_slot.h"
#include "server/files/mime_types.h"

KoFileCache::KoFileCache(std::size_t capacity_, Clock::duration validity_)
    : capacity(capacity_ == 0 ? 1 : capacity_), validity(validity_) {}

KoFileCache& KoFileCache::forThisThread() {
    return platform::perThread<KoFileCache>();
}

void KoFileCache::dropFile(Entry& entry) {
    if (entry.file && entry.file->content) contentBytes_ -= entry.file->content->size();
    entry.file.reset();
    dropEncoded(entry);
}

void KoFileCache::dropEncoded(Entry& entry) {
    for (Entry::Coded& coded : entry.coded) {
        if (coded.bytes) encodedBytes_ -= coded.bytes->size();
        coded = {};
    }
}

bool KoFileCache::makeRoom(const Entry& keep, std::size_t bytes, std::size_t budget) {
    if (bytes > budget) return false;
    while (encodedBytes_ + bytes > budget) {
        Entry* oldest = nullptr;
        for (auto& [path, entry] : entries) {
            if (&entry == &keep) continue;
            const bool holds = std::any_of(entry.coded.begin(), entry.coded.end(),
                                           [](const Entry::Coded& coded) { return coded.bytes != nullptr; });
            if (holds && (oldest == nullptr || entry.used < oldest->used)) oldest = &entry;
        }
        if (oldest == nullptr) return false;
        dropEncoded(*oldest);
    }
    return true;
}

void KoFileCache::evictOne() {
    auto oldest = entries.begin();
    for (auto it = entries.begin(); it != entries.end(); ++it)
        if (it->second.used < oldest->second.used) oldest = it;
    if (oldest == entries.end()) return;
    dropFile(oldest->second);
    entries.erase(oldest);
    ++generation_;
}

namespace {

// The whole file, or nothing when it is not what its status said (changed
// while read).
std::shared_ptr<const std::string> ReadWhole(int fd, std::size_t size) {
    auto content = std::make_shared<std::string>(size, '\0');
    std::size_t got = 0;
    while (got < size) {
        const auto read = platform::readAt(fd, content->data() + got, size - got, got);
        if (!read.error.ok() || read.bytes == 0) return nullptr;
        got += read.bytes;
    }
    char beyond;
    if (platform::readAt(fd, &beyond, 1, size).bytes != 0) return nullptr;
    return content;
}

}  // namespace

KoFileCache::Entry& KoFileCache::current(const std::string& path, bool checkNow) {
    const auto now = Clock::now();
    auto found = entries.find(path);
    if (found != entries.end() && !checkNow && now - found->second.checked < validity) {
        found->second.used = now;
        return found->second;
    }
    if (found == entries.end()) {
        if (entries.size() >= capacity) evictOne();
        found = entries.emplace(path, Entry{}).first;
        found->second.path = &found->first;
    }
    Entry& entry = found->second;
    const auto identity = platform::fileIdentity(path);
    const bool same = identity.ok() && entry.error.ok() && entry.checked != Clock::time_point{} &&
                      identity.value() == entry.identity;
    if (!same) {
        // Another file now, or none: nothing known of the old one holds.
        dropFile(entry);
        entry.insideOf.clear();
        entry.error = identity.ok() ? platform::Error() : identity.error();
        entry.identity = identity.ok() ? identity.value() : platform::FileIdentity{};
    }
    // Siblings are checked whenever the file is: one added, removed or
    // rewritten is seen as soon as a change of the file would be.
    entry.probed = false;
    entry.checked = now;
    entry.used = now;
    return entry;
}

KoFileCache::Found KoFileCache::lookup(const std::string& path, bool checkNow) {
    Found found;
    if (path.empty()) return found;
    found.cache = this;
    found.entry = &current(path, checkNow);
    found.key = found.entry->path;
    found.generation = generation_;
    return found;
}

KoFileCache::Entry& KoFileCache::entryOf(const std::string& path, const Found& found) {
    if (found.cache == this && found.generation == generation_ && *found.key == path) return *found.entry;
    return current(path);
}

namespace {

platform::FileInfo InfoOf(const platform::FileIdentity& identity) {
    platform::FileInfo info;
    info.size = identity.size;
    info.directory = identity.directory;
    info.regular = identity.regular;
    constexpr std::int64_t kBillion = 1'000'000'000;
    info.modifiedSeconds = identity.modifiedNanos / kBillion;
    info.modifiedNanoseconds = identity.modifiedNanos % kBillion;
    if (info.modifiedNanoseconds < 0) {
        // Before 1970: the second before, and the part of it after.
        info.modifiedNanoseconds += kBillion;
        --info.modifiedSeconds;
    }
    info.fileId = identity.inode;
    return info;
}

bool NotOlder(const platform::FileInfo& sibling, std::int64_t seconds, std::int64_t nanoseconds) {
    if (sibling.modifiedSeconds != seconds) return sibling.modifiedSeconds > seconds;
    return sibling.modifiedNanoseconds >= nanoseconds;
}

}  // namespace

// An older sibling was made from an earlier version of the file: its bytes
// would decode to something else. A program is only ever run, never shown,
// whatever name leads to it.
KoFileSibling KoFileCache::probe(std::string name, std::int64_t seconds, std::int64_t nanoseconds,
                                 const std::string& cgiDirectory) {
    KoFileSibling sibling;
    // Its own entry checked now too: the answer that sends it opens it
    // there, and must find the version probed.
    const auto status = this->status(name, true);
    if (!status.ok() || !status.value().regular || !NotOlder(status.value(), seconds, nanoseconds)) return sibling;
    if (!cgiDirectory.empty() && locatedIn(name, cgiDirectory)) return sibling;
    sibling.info = status.value();
    sibling.path = std::move(name);
    sibling.usable = true;
    return sibling;
}

const KoFileSiblings& KoFileCache::siblings(const std::string& path, const Found& found, std::int64_t modifiedSeconds,
                                            std::int64_t modifiedNanoseconds, const std::string& cgiDirectory) {
    Entry& entry = entryOf(path, found);
    const std::uint64_t generation = generation_;
    if (entry.probed && entry.probedSeconds == modifiedSeconds && entry.probedNanoseconds == modifiedNanoseconds &&
        entry.probedOutsideOf == cgiDirectory) {
        return entry.siblings;
    }
    ++siblingProbes_;
    KoFileSiblings probed;
    probed.brotli = probe(std::string(path).append(KoCodingSuffix(KoContentCoding::brotli)), modifiedSeconds,
                          modifiedNanoseconds, cgiDirectory);
    probed.gzip = probe(std::string(path).append(KoCodingSuffix(KoContentCoding::gzip)), modifiedSeconds,
                        modifiedNanoseconds, cgiDirectory);
    // The siblings' entries may have taken the room of the file's.
    Entry& kept = generation == generation_ ? entry : current(path);
    kept.siblings = std::move(probed);
    kept.probedSeconds = modifiedSeconds;
    kept.probedNanoseconds = modifiedNanoseconds;
    kept.probedOutsideOf = cgiDirectory;
    kept.probed = true;
    return kept.siblings;
}

std::string_view KoFileCache::mediaType(const std::string& path, const Found& found) {
    if (path.empty()) return KoMimeTypeFor(path);
    Entry& entry = entryOf(path, found);
    if (entry.type.empty()) {
        entry.type = KoMimeTypeFor(path);
        entry.compressible = KoIsCompressibleType(entry.type);
    }
    return entry.type;
}

bool KoFileCache::compressibleType(const std::string& path, const Found& found) {
    if (path.empty()) return KoIsCompressibleType(KoMimeTypeFor(path));
    Entry& entry = entryOf(path, found);
    if (entry.type.empty()) {
        entry.type = KoMimeTypeFor(path);
        entry.compressible = KoIsCompressibleType(entry.type);
    }
    return entry.compressible;
}

platform::Result<platform::FileInfo> KoFileCache::status(const std::string& path, bool checkNow) {
    if (path.empty()) return platform::fileStatus(path);
    return status(path, lookup(path, checkNow));
}

platform::Result<platform::FileInfo> KoFileCache::status(const std::string& path, const Found& found) {
    if (path.empty()) return platform::fileStatus(path);
    const Entry& entry = entryOf(path, found);
    if (!entry.error.ok()) return entry.error;
    return InfoOf(entry.identity);
}

bool KoFileCache::locatedIn(const std::string& path, const std::string& directory) {
    if (path.empty() || directory.empty()) return platform::locatedIn(path, directory);
    return locatedIn(path, lookup(path), directory);
}

bool KoFileCache::locatedIn(const std::string& path, const Found& found, const std::string& directory) {
    if (path.empty() || directory.empty()) return platform::locatedIn(path, directory);
    Entry& entry = entryOf(path, found);
    if (!entry.error.ok()) return false;
    if (entry.insideOf != directory) {
        entry.inside = platform::locatedIn(path, directory);
        entry.insideOf = directory;
    }
    return entry.inside;
}

platform::Result<std::shared_ptr<const KoOpenFile>> KoFileCache::open(const std::string& path) {
    return open(path, lookup(path));
}

platform::Result<std::shared_ptr<const KoOpenFile>> KoFileCache::open(const std::string& path, const Found& found) {
    Entry& entry = entryOf(path, found);
    if (!entry.error.ok()) return entry.error;
    if (entry.file) return entry.file;
    auto opened = platform::openForReading(path);
    if (!opened.ok()) return opened.error();
    auto file = std::make_shared<KoOpenFile>();
    file->descriptor = std::move(opened.value());
    const auto identity = platform::fileIdentity(file->descriptor.get());
    if (!identity.ok()) return identity.error();
    file->identity = identity.value();
    // Changed between the status query and the open: what was found of the
    // old one no longer holds.
    if (!(file->identity == entry.identity)) {
        entry.identity = file->identity;
        entry.insideOf.clear();
        entry.probed = false;
        dropEncoded(entry);
    }
    // Only regular files are kept and sent; a directory or device is not a
    // document.
    if (!file->identity.regular) return std::shared_ptr<const KoOpenFile>(std::move(file));
    const auto size = static_cast<std::size_t>(file->identity.size);
    if (size <= smallFile && contentBytes_ + size <= contentBudget) {
        file->content = ReadWhole(file->descriptor.get(), size);
        if (file->content) {
            contentBytes_ += size;
            // Its bytes are here: no descriptor is held for it.
            file->descriptor.reset();
        }
    }
    entry.file = file;
    return std::shared_ptr<const KoOpenFile>(std::move(file));
}

KoFileCache::Encoded KoFileCache::encoded(const std::string& path, KoContentCoding coding, std::size_t budget,
                                          int level) {
    if (coding == KoContentCoding::identity) return {};
    const auto opened = open(path);
    if (!opened.ok() || !opened.value()->identity.regular) return {};
    const std::shared_ptr<const KoOpenFile> file = opened.value();
    Entry& entry = current(path);
    // Changed since opened: these bytes are not the entry's version.
    if (entry.file != file) return {};
    Entry::Coded& coded = entry.coded[static_cast<std::size_t>(coding)];
    if (coded.tried) return {coded.bytes, file->identity, coded.file};
    const auto size = static_cast<std::size_t>(file->identity.size);
    const std::shared_ptr<const std::string> whole =
        file->content ? file->content : ReadWhole(file->descriptor.get(), size);
    // Changed while read: nothing is remembered, the next answer tries again.
    if (!whole) return {};
    ++compressions_;
    auto bytes = std::make_shared<const std::string>(KoCompress(coding, *whole, level));
    coded.tried = true;
    // Bytes that do not shrink go out as they are.
    if (bytes->size() >= whole->size() || !makeRoom(entry, bytes->size(), budget)) return {nullptr, file->identity, nullptr};
    encodedBytes_ += bytes->size();
    auto sent = std::make_shared<KoOpenFile>();
    sent->identity = file->identity;
    sent->identity.size = bytes->size();
    sent->content = bytes;
    coded.file = std::move(sent);
    coded.bytes = std::move(bytes);
    return {coded.bytes, file->identity, coded.file};
}
