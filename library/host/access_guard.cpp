#include "host/access_guard.h"

#include <chrono>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include "access/address_rules.h"
#include "access/attempt_limiter.h"
#include "access/basic_credentials.h"
#include "access/password_file.h"
#include "foundation/exception.h"
#include "message/protocols.h"
#include "message/response_header.h"
#include "message/x_header.h"
#include "net/digest.h"
#include "server/http/http_answer.h"
#include "server/http/request_path.h"

namespace {

struct Entry {
    std::string prefix;
    KoAddressRules addresses;
    std::optional<KoPasswordFile> passwords;
    std::string realm;
};

// Credentials that passed, by a digest keyed with a secret of this process.
class VerifiedLogins {
public:
    VerifiedLogins() {
        std::random_device random;
        for (int i = 0; i < 32; ++i) key.push_back(static_cast<char>(random()));
    }
    bool holds(const std::string& realm, const std::string& authorization) const {
        std::lock_guard<std::mutex> guard(lock);
        return known.count(digestOf(realm, authorization)) != 0;
    }
    void add(const std::string& realm, const std::string& authorization) {
        std::lock_guard<std::mutex> guard(lock);
        if (known.size() >= kLimit) known.clear();
        known.insert(digestOf(realm, authorization));
    }

private:
    static constexpr std::size_t kLimit = 256;
    std::string digestOf(const std::string& realm, const std::string& authorization) const {
        return sha1Digest(key + sha1Digest(key + realm + '\n' + authorization));
    }
    std::string key;
    mutable std::mutex lock;
    std::set<std::string> known;
};

class AccessGuard : public KoRequestGuard {
public:
    AccessGuard(std::vector<Entry> entries_, KoAttemptLimits limits)
        : entries(std::move(entries_)), limiter(limits), blockSeconds(limits.blockFor.count()) {}

    bool refuse(KoXHeader& request, KoXResponseHeader& response) override {
        const std::string path = KoNormaliseRequestPath(request.path).value_or(request.path);
        const std::string remote = request.description[description_key::remoteaddress];
        const Entry* password = nullptr;
        for (const Entry& entry : entries) {
            if (!KoPrefixCovers(entry.prefix, path)) continue;
            if (!entry.addresses.empty() && !entry.addresses.allows(remote)) return answer(response, 403);
            if (entry.passwords && (password == nullptr || entry.prefix.size() > password->prefix.size())) {
                password = &entry;
            }
        }
        if (password == nullptr) return false;
        const auto now = KoAttemptLimiter::Clock::now();
        if (limiter.blocked(remote, now)) {
            response.fields["retry-after"] = {std::to_string(blockSeconds)};
            return answer(response, 429);
        }
        const std::string authorization = request.FirstValue("authorization");
        const auto credentials = parseBasicAuthorization(authorization);
        if (credentials) {
            if (logins.holds(password->realm, authorization) ||
                password->passwords->verify(credentials->user, credentials->password)) {
                logins.add(password->realm, authorization);
                limiter.succeeded(remote);
                request.description[kRemoteUserKey] = credentials->user;
                request.description[kAuthTypeKey] = "Basic";
                return false;
            }
            limiter.failed(remote, now);
        }
        response.fields["www-authenticate"] = {basicChallenge(password->realm)};
        return answer(response, 401);
    }

    bool mayAdmit(const KoXHeader& request) const override {
        const std::string path = KoNormaliseRequestPath(request.path).value_or(request.path);
        const auto found = request.description.find(description_key::remoteaddress);
        const std::string remote = found == request.description.end() ? std::string() : found->second;
        bool needsPassword = false;
        for (const Entry& entry : entries) {
            if (!KoPrefixCovers(entry.prefix, path)) continue;
            if (!entry.addresses.empty() && !entry.addresses.allows(remote)) return false;
            needsPassword = needsPassword || entry.passwords.has_value();
        }
        if (!needsPassword) return true;
        if (limiter.blocked(remote, KoAttemptLimiter::Clock::now())) return false;
        // Whether the password is right is left to refuse(), which counts.
        return parseBasicAuthorization(request.FirstValue("authorization")).has_value();
    }

private:
    static bool answer(KoXResponseHeader& response, std::int32_t status) {
        response.statusCode = status;
        KoSetTextBody(response);
        return true;
    }

    const std::vector<Entry> entries;
    KoAttemptLimiter limiter;
    VerifiedLogins logins;
    const long long blockSeconds;
};

}  // namespace

bool KoPrefixCovers(const std::string& pathPrefix, const std::string& path) {
    if (pathPrefix.empty() || path.compare(0, pathPrefix.size(), pathPrefix) != 0) return false;
    return path.size() == pathPrefix.size() || pathPrefix.back() == '/' || path[pathPrefix.size()] == '/';
}

std::shared_ptr<KoRequestGuard> KoAccessGuardFor(const velko::ServerOptions& options) {
    if (options.access.empty()) return nullptr;
    std::vector<Entry> entries;
    for (const velko::AccessRule& rule : options.access) {
        if (rule.pathPrefix.empty() || rule.pathPrefix.front() != '/') {
            throw KoException("an access rule's path prefix must begin with '/': " + rule.pathPrefix, __LINE__, "src");
        }
        Entry entry;
        entry.prefix = rule.pathPrefix;
        entry.addresses.addLines(rule.addresses);
        if (!rule.passwordFile.empty()) {
            if (!options.https && !options.passwordsOverHttp) {
                throw KoException("the password file " + rule.passwordFile +
                                      " needs HTTPS: passwords over plain HTTP can be read on the way "
                                      "(passwordsOverHttp allows it behind an HTTPS proxy)",
                                  __LINE__, "src");
            }
            entry.passwords = KoPasswordFile::load(rule.passwordFile);
        }
        entry.realm = rule.realm;
        entries.push_back(std::move(entry));
    }
    KoAttemptLimits limits;
    limits.maxFailures = options.maxLoginFailures;
    return std::make_shared<AccessGuard>(std::move(entries), limits);
}

KoHostFilter KoAdmitFor(const std::string& rules) {
    auto parsed = std::make_shared<KoAddressRules>();
    parsed->addLines(rules);
    if (parsed->empty()) return nullptr;
    return [parsed](KoHostInfo_t& peer) { return parsed->allows(peer.address); };
}
