#include "server/files/file_encoding.h"

#include <memory>
#include <utility>
#include <vector>

#include "message/response_header.h"
#include "platform/file_system.h"
#include "server/files/file_cache.h"

namespace {

// Whether compressed bytes were made from the version the facts describe.
bool MadeFrom(const platform::FileIdentity& source, const KoFileFacts& facts) {
    constexpr std::int64_t kBillion = 1'000'000'000;
    return source.inode == facts.fileId && source.size == facts.size &&
           source.modifiedNanos == facts.modifiedSeconds * kBillion + facts.modifiedNanoseconds;
}

}  // namespace

KoContentCoding KoChooseFileCoding(const KoXHeader& request, KoFileCodings offered) {
    if (request.fields.count("range") != 0) return KoContentCoding::identity;
    const auto found = request.fields.find("accept-encoding");
    if (found == request.fields.end()) return KoContentCoding::identity;
    // Mostly one line: read where it lies.
    if (found->second.size() == 1) return KoChooseCoding(found->second.front(), offered.brotli, offered.gzip);
    std::string accepted;
    for (const std::string& line : found->second) {
        accepted += line;
        accepted += ',';
    }
    return KoChooseCoding(accepted, offered.brotli, offered.gzip);
}

KoFileBody KoPrepareFileVariant(const KoXHeader& request, std::string file, const KoFileFacts& facts,
                                KoFileAnswerOptions options, const KoStaticCompression& compression,
                                KoFileCache& cache, const KoSiblingLookup& lookup, KoXResponseHeader& response) {
    if (!compression.enabled) {
        if (!KoPrepareFileAnswer(request, facts, options, response)) return {};
        return {std::move(file), facts.size};
    }
    static const std::string kNoDirectory;
    const KoFileCache::Found found = lookup.found != nullptr ? *lookup.found : cache.lookup(file, lookup.checkNow);
    // Probed when the file's entry was last checked, not per answer.
    const KoFileSiblings& siblings = cache.siblings(file, found, facts.modifiedSeconds, facts.modifiedNanoseconds,
                                                    lookup.cgiDirectory != nullptr ? *lookup.cgiDirectory : kNoDirectory);
    const KoFileSibling& brotli = siblings.brotli;
    const KoFileSibling& gzip = siblings.gzip;
    const bool compressible =
        lookup.compressibleType != nullptr ? *lookup.compressibleType : KoIsCompressibleType(facts.type);
    const bool compressed = compressible && facts.size >= compression.minimumSize && facts.size <= compression.maximumSize;
    options.varies = compressible || brotli.usable || gzip.usable;

    KoFileCodings offered{brotli.usable || compressed, gzip.usable || compressed};
    const KoFileSibling* sibling = nullptr;
    std::shared_ptr<const KoOpenFile> bytes;
    KoContentCoding coding = KoChooseFileCoding(request, offered);
    // At most once per coding: one that cannot be made is no longer offered.
    while (coding != KoContentCoding::identity) {
        const KoFileSibling& candidate = coding == KoContentCoding::brotli ? brotli : gzip;
        if (candidate.usable) {
            sibling = &candidate;
            break;
        }
        const KoFileCache::Encoded made = cache.encoded(file, coding, compression.budget, compression.level);
        if (made.file && MadeFrom(made.source, facts)) {
            bytes = made.file;
            break;
        }
        (coding == KoContentCoding::brotli ? offered.brotli : offered.gzip) = false;
        coding = KoChooseFileCoding(request, offered);
    }

    options.coding = coding;
    KoFileFacts sent = facts;
    if (sibling != nullptr) {
        // The sibling's own version: rewriting it alone changes the tag too.
        sent.size = sibling->info.size;
        sent.modifiedSeconds = sibling->info.modifiedSeconds;
        sent.modifiedNanoseconds = sibling->info.modifiedNanoseconds;
        sent.fileId = sibling->info.fileId;
    }
    if (!KoPrepareFileAnswer(request, sent, options, response)) return {};
    if (sibling != nullptr) return {sibling->path, sibling->info.size};
    if (bytes) {
        // Shared with the cache, never copied per answer.
        response.bodyOpenFile = std::move(bytes);
        response.bodyFileSize = static_cast<std::int64_t>(response.bodyOpenFile->identity.size);
        return {};
    }
    return {std::move(file), facts.size};
}
