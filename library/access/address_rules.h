// Access: KoAddressRules, an ordered list of allow and deny rules over
// client addresses, as a whole server or a path prefix applies them.
//
// The first rule whose network holds the address decides; when none does,
// the address is allowed if the list is empty or its last rule is a deny,
// and refused otherwise - so "allow 192.168.0.0/16" alone admits only that
// network and "deny 10.0.0.0/8" alone refuses only that one, as a reader of
// either list would expect. A peer address that cannot be read is refused
// by any non-empty list.
//
// Threads: built by one thread, then read by any number at once.
// May use: foundation.
#pragma once

#include <string_view>
#include <vector>

#include "access/address.h"

class KoAddressRules {
public:
    // Throws KoException naming the network text that cannot be read.
    void allow(std::string_view network);
    void deny(std::string_view network);
    // One rule per line: "allow NETWORK" or "deny NETWORK"; blank lines and
    // lines starting with '#' are skipped. Throws KoException naming the line.
    void addLines(std::string_view lines);

    bool empty() const { return rules_.empty(); }
    bool allows(const KoAddress& address) const;
    // For a peer address as the transport reports it ("::ffff:10.0.0.1").
    bool allows(std::string_view peerAddress) const;

private:
    struct Rule {
        bool allow;
        KoNetwork network;
    };
    std::vector<Rule> rules_;
};
