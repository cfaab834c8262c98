// Server stack: the settings of the outgoing side, one record handed to the
// hook factories, every URL hook service and every connecting worker. The
// defaults are the system's; tests shorten the times.
//
// Peer verification: an outgoing HTTPS exchange checks the server's
// certificate chain (against caFile, or the system's trust store when it is
// empty) and that the certificate names the host. An authority listed in
// unverifiedAuthorities ("https://host:port", as KoXHeader::Authority forms
// it) is exchanged with without these checks, for local development with a
// self-signed certificate.
#pragma once

#include <chrono>
#include <cstddef>
#include <set>
#include <string>

#include "message/message_limits.h"

struct KoURLHookSettings {
    static constexpr std::chrono::milliseconds kConnectTimeout{20000};
    static constexpr std::chrono::milliseconds kHandshakeTimeout{60000};
    static constexpr std::chrono::milliseconds kAnswerTimeout{120000};
    static constexpr std::chrono::milliseconds kWatchInterval{100};
    static constexpr std::chrono::milliseconds kTeardownPoll{50};

    // Longest wait for each resolved address to take the connection.
    std::chrono::milliseconds connectTimeout = kConnectTimeout;
    // Longest TLS handshake of an outgoing HTTPS connection.
    std::chrono::milliseconds handshakeTimeout = kHandshakeTimeout;
    // Longest silence of the remote server while an answer is awaited: from
    // the request's hand-over, and again from every byte of the answer.
    std::chrono::milliseconds answerTimeout = kAnswerTimeout;
    // How often a busy worker looks at its answer deadline.
    std::chrono::milliseconds watchInterval = kWatchInterval;
    // How often teardown asks the scheduler whether a job has ended.
    std::chrono::milliseconds teardownPoll = kTeardownPoll;
    // A worker (a connecting server) idle this long is expired and its
    // connection closed.
    std::chrono::microseconds workerIdleTimeout{120'000'000};

    // PEM file of the certificates to trust; empty: the system's store.
    std::string caFile;
    // Authorities whose certificates are not checked.
    std::set<std::string> unverifiedAuthorities;

    // Bounds on one answer.
    KoMessageLimits limits;
};
