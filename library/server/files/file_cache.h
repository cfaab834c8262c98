// Server stack, files/: static files - the loop's file cache (this header),
// the answer to a file request (file_answer.h), the variant it sends
// (file_encoding.h) and media types (mime_types.h).
// May use: http, message, compress, platform.
//
// This header: KoFileCache, what one event loop knows of the files it
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
// A text file may also be kept compressed (encoded()): compressed once per
// version, the first time a client takes that coding, and kept within a
// byte budget (the bytes used longest ago go first); a changed file is
// compressed anew when next asked. Answers share the kept bytes.
//
// lookup() finds a path's entry once for the calls of one request: status,
// locatedIn, open and siblings given what it found cost no hashing and no
// clock; after an entry was dropped to make room (or for another path) they
// look the path up again, so what was found is a hint and never stale data.
// The precompressed siblings beside a file ("x.br", "x.gz") are probed once
// each time the file's own entry is checked against the file system, and
// their result kept with it.
//
// forThisThread() is the cache of the calling thread, each loop's own;
// nothing is shared between threads. Failures: std::bad_alloc only.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "compress/content_coding.h"

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

// A precompressed file beside another, as last probed.
struct KoFileSibling {
    bool usable = false;  // a regular file, not older than the one beside it
    std::string path;
    platform::FileInfo info;
};

struct KoFileSiblings {
    KoFileSibling brotli;
    KoFileSibling gzip;
};

class KoFileCache {
    struct Entry;

public:
    using Clock = std::chrono::steady_clock;
    static constexpr Clock::duration defaultValidity = std::chrono::milliseconds(500);
    // Files up to this size are kept in memory, up to contentBudget bytes.
    // Larger ones go from the open file: sent from memory a 64 KiB file cost
    // more per answer than by sendfile (the copy outweighs the call saved).
    static constexpr std::size_t smallFile = 16 * 1024;
    static constexpr std::size_t contentBudget = 1024 * 1024;
    // KoCompress's level for kept compressed bytes: gzip 6 and brotli
    // quality 5. A 200 KiB script takes about 7 ms to 27% (br) and 10 ms to
    // 28% (gzip), once per version; brotli's top quality takes 60 times as
    // long for 24%.
    static constexpr int compressionLevel = 6;

    explicit KoFileCache(std::size_t capacity = 256, Clock::duration validity = defaultValidity);
    KoFileCache(const KoFileCache&) = delete;
    KoFileCache& operator=(const KoFileCache&) = delete;

    // A path's entry as lookup() found it, for the calls of one request.
    class Found {
        friend class KoFileCache;
        const KoFileCache* cache = nullptr;  // the one that found it
        Entry* entry = nullptr;
        const std::string* key = nullptr;  // the entry's path, in the map
        std::uint64_t generation = 0;
    };
    // What is known of path (checked as status() checks it), to be handed to
    // the calls below with the same path.
    Found lookup(const std::string& path, bool checkNow = false);
    platform::Result<platform::FileInfo> status(const std::string& path, const Found& found);
    bool locatedIn(const std::string& path, const Found& found, const std::string& directory);
    platform::Result<std::shared_ptr<const KoOpenFile>> open(const std::string& path, const Found& found);
    // The siblings of path (whose version is facts' modification time),
    // probed when its entry was last checked; one in cgiDirectory (when not
    // empty) is never usable.
    const KoFileSiblings& siblings(const std::string& path, const Found& found, std::int64_t modifiedSeconds,
                                   std::int64_t modifiedNanoseconds, const std::string& cgiDirectory);
    // As KoMimeTypeFor(path), found once per entry (a name keeps its type).
    std::string_view mediaType(const std::string& path, const Found& found);
    // Whether that type is one compression gains on (KoIsCompressibleType),
    // found with it.
    bool compressibleType(const std::string& path, const Found& found);
    // How many times siblings were probed, for as long as the cache lives.
    std::size_t siblingProbes() const { return siblingProbes_; }

    // As platform::fileStatus; with checkNow, what is known of path is
    // checked against the file system first, however young it is.
    platform::Result<platform::FileInfo> status(const std::string& path, bool checkNow = false);
    // As platform::locatedIn.
    bool locatedIn(const std::string& path, const std::string& directory);
    // The file path names, open for reading.
    platform::Result<std::shared_ptr<const KoOpenFile>> open(const std::string& path);

    // The file's bytes in coding (gzip or brotli) and the version they were
    // made from; no bytes when the file is no regular one, cannot be read
    // whole, does not shrink, or its compressed bytes do not fit in budget.
    // `file` holds the same bytes as its content (no descriptor; its
    // identity the source's with the compressed size), made once, so that
    // answers send them shared.
    struct Encoded {
        std::shared_ptr<const std::string> bytes{};
        platform::FileIdentity source{};
        std::shared_ptr<const KoOpenFile> file{};
    };
    // level: KoCompress's, for the first answer of a version (later ones
    // get what that made).
    Encoded encoded(const std::string& path, KoContentCoding coding, std::size_t budget,
                    int level = compressionLevel);

    std::size_t size() const { return entries.size(); }
    std::size_t contentBytes() const { return contentBytes_; }
    std::size_t encodedBytes() const { return encodedBytes_; }
    // How many times a file was compressed, for as long as the cache lives.
    std::size_t compressions() const { return compressions_; }

    static KoFileCache& forThisThread();

private:
    struct Entry {
        const std::string* path = nullptr;  // its key in entries
        std::string_view type;  // its media type, once asked (static text)
        bool compressible = false;  // of that type
        Clock::time_point checked;
        Clock::time_point used;
        platform::Error error;  // the status query failed
        platform::FileIdentity identity;
        std::shared_ptr<const KoOpenFile> file;
        std::string insideOf;  // the directory `inside` was found for
        bool inside = false;
        // By coding: tried once this version (bytes null: no gain, or no room).
        struct Coded {
            bool tried = false;
            std::shared_ptr<const std::string> bytes;
            std::shared_ptr<const KoOpenFile> file;  // bytes as its content
        };
        std::array<Coded, 3> coded;
        // The siblings as probed since the last check (none yet when false),
        // for the directory and version they were probed for.
        bool probed = false;
        std::string probedOutsideOf;
        std::int64_t probedSeconds = 0;
        std::int64_t probedNanoseconds = 0;
        KoFileSiblings siblings;
    };
    // The entry found, when it still is the one of path; else the path's
    // entry looked up anew.
    Entry& entryOf(const std::string& path, const Found& found);
    KoFileSibling probe(std::string name, std::int64_t seconds, std::int64_t nanoseconds,
                        const std::string& cgiDirectory);
    // The entry of path, checked against the file system when it is older
    // than the validity (or checkNow).
    Entry& current(const std::string& path, bool checkNow = false);
    void evictOne();
    // Forgets the open file of an entry (and the bytes it kept).
    void dropFile(Entry& entry);
    // Forgets the compressed bytes of an entry (another version now).
    void dropEncoded(Entry& entry);
    // Drops compressed bytes of other entries, used longest ago first, until
    // `bytes` more fit in budget; false when they cannot.
    bool makeRoom(const Entry& keep, std::size_t bytes, std::size_t budget);

    const std::size_t capacity;
    const Clock::duration validity;
    std::unordered_map<std::string, Entry> entries;
    std::size_t contentBytes_ = 0;
    std::size_t encodedBytes_ = 0;
    std::size_t compressions_ = 0;
    std::size_t siblingProbes_ = 0;
    // Counts entries dropped: a Found made before another drop is not used.
    std::uint64_t generation_ = 0;
};
