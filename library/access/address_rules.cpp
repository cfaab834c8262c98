#include "access/address_rules.h"

#include <string>

#include "foundation/exception.h"

namespace {

std::string_view Trimmed(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    return text;
}

}  // namespace

void KoAddressRules::allow(std::string_view network) { rules_.push_back({true, KoNetwork::parse(network)}); }

void KoAddressRules::deny(std::string_view network) { rules_.push_back({false, KoNetwork::parse(network)}); }

void KoAddressRules::addLines(std::string_view lines) {
    while (!lines.empty()) {
        const std::size_t end = lines.find('\n');
        const std::string_view line = Trimmed(lines.substr(0, end));
        lines = end == std::string_view::npos ? std::string_view{} : lines.substr(end + 1);
        if (line.empty() || line.front() == '#') continue;
        const std::size_t space = line.find_first_of(" \t");
        const std::string_view verb = line.substr(0, space);
        const std::string_view network = space == std::string_view::npos ? std::string_view{} : Trimmed(line.substr(space));
        if (network.empty()) {
            throw KoException("not an address rule: " + std::string(line), __LINE__, "src");
        } else if (verb == "allow") {
            allow(network);
        } else if (verb == "deny") {
            deny(network);
        } else {
            throw KoException("not an address rule: " + std::string(line), __LINE__, "src");
        }
    }
}

bool KoAddressRules::allows(const KoAddress& address) const {
    for (const Rule& rule : rules_) {
        if (rule.network.contains(address)) return rule.allow;
    }
    return rules_.empty() || !rules_.back().allow;
}

bool KoAddressRules::allows(std::string_view peerAddress) const {
    if (rules_.empty()) return true;
    const auto address = KoAddress::parse(peerAddress);
    return address && allows(*address);
}
