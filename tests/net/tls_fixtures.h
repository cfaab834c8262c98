// Test helpers for the TLS tests: certificates made with the openssl command
// in a temporary directory, loopback connections, a plaintext side that
// records what passes through it, and bounded drive loops.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "net/socket_ipvx.h"
#include "net/tls_session.h"
#include "platform/child_process.h"
#include "platform/file_system.h"
#include "platform/poller.h"

namespace tls_test {

struct CommandResult {
    bool ok = false;
    int exitCode = -1;
    std::string output;
};

inline CommandResult run(const std::string& program, const std::vector<std::string>& arguments,
                         const std::string& input = "", int timeoutMs = 30000) {
    platform::ChildOptions options;
    options.program = program;
    options.arguments = arguments;
    options.environment = platform::currentEnvironment();
    const auto done = platform::runChild(options, input, 1 << 20, timeoutMs);
    CommandResult result;
    result.exitCode = done.exitCode;
    result.output = done.output;
    result.ok = done.outcome == platform::ChildRun::Outcome::completed && done.exitCode == 0;
    return result;
}

inline void writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Keys and certificates for one test binary, removed at exit.
struct Pki {
    bool ok = false;
    std::string directory;
    std::string selfCertificate;  // self-signed, CN=localhost
    std::string selfKey;
    std::string otherKey;         // matches nothing
    std::string caCertificate;
    std::string chainCertificate; // leaf signed by the CA, then the CA
    std::string leafKey;
    std::string garbage;          // no PEM at all
    // selfKey under the pass phrase encryptedKeyPassphrase: PKCS#8, and the
    // traditional form with its Proc-Type header.
    std::string encryptedKey;
    std::string legacyEncryptedKey;
    std::string encryptedKeyPassphrase = "velko pass";

    ~Pki() {
        if (!directory.empty()) platform::removeTree(directory);
    }
};

inline bool makePki(Pki& pki) {
    auto made = platform::makeTemporaryDirectory("velko-tls-");
    if (!made.ok()) return false;
    pki.directory = made.value();
    const std::string d = pki.directory + "/";
    pki.selfCertificate = d + "self.pem";
    pki.selfKey = d + "self.key";
    pki.otherKey = d + "other.key";
    pki.caCertificate = d + "ca.pem";
    pki.chainCertificate = d + "chain.pem";
    pki.leafKey = d + "leaf.key";
    pki.garbage = d + "garbage.pem";
    pki.encryptedKey = d + "encrypted.key";
    pki.legacyEncryptedKey = d + "legacy-encrypted.key";
    const std::vector<std::string> ec = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};
    auto with = [&](std::vector<std::string> head, const std::vector<std::string>& tail) {
        head.insert(head.end(), tail.begin(), tail.end());
        return head;
    };
    writeFile(d + "leaf.ext", "subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1\n");
    writeFile(pki.garbage, "-----BEGIN CERTIFICATE-----\nnot base64 at all !!\n-----END CERTIFICATE-----\n");
    const bool steps =
        run("openssl", with({"req", "-x509"}, with(ec, {"-keyout", pki.selfKey, "-out", pki.selfCertificate,
                                                        "-days", "2", "-subj", "/CN=localhost"})))
            .ok &&
        run("openssl", {"genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-out",
                        pki.otherKey})
            .ok &&
        run("openssl", with({"req", "-x509"}, with(ec, {"-keyout", d + "ca.key", "-out", pki.caCertificate,
                                                        "-days", "2", "-subj", "/CN=Velko Test CA"})))
            .ok &&
        run("openssl", with({"req", "-new"}, with(ec, {"-keyout", pki.leafKey, "-out", d + "leaf.csr", "-subj",
                                                       "/CN=localhost"})))
            .ok &&
        run("openssl", {"x509", "-req", "-in", d + "leaf.csr", "-CA", pki.caCertificate, "-CAkey", d + "ca.key",
                        "-CAcreateserial", "-days", "2", "-extfile", d + "leaf.ext", "-out", d + "leaf.pem"})
            .ok &&
        run("openssl", {"pkey", "-in", pki.selfKey, "-aes256", "-passout", "pass:" + pki.encryptedKeyPassphrase,
                        "-out", pki.encryptedKey})
            .ok &&
        run("openssl", {"ec", "-in", pki.selfKey, "-aes256", "-passout", "pass:" + pki.encryptedKeyPassphrase,
                        "-out", pki.legacyEncryptedKey})
            .ok;
    if (!steps) return false;
    writeFile(pki.chainCertificate, readFile(d + "leaf.pem") + readFile(pki.caCertificate));
    return true;
}

inline const Pki& pki() {
    static Pki made;
    static const bool once = [] {
        made.ok = makePki(made);
        return true;
    }();
    (void)once;
    return made;
}

// A listener on 127.0.0.1 with one accepted connection and its client, both
// non-blocking.
struct Link {
    KoSocketIPvx listener;
    KoSocketIPvx server;
    std::unique_ptr<KoSocketIPvx> client = std::make_unique<KoSocketIPvx>();
    int port = 0;
};

inline std::unique_ptr<Link> makeLink() {
    auto link = std::make_unique<Link>();
    EXPECT_EQ(link->listener.Listen("127.0.0.1", link->port, 16), KoSocketIPvx::statusOk);
    EXPECT_EQ(link->client->Connect("127.0.0.1", link->port), KoSocketIPvx::statusOk);
    EXPECT_GE(link->listener.Accept(link->server, 5000, [](KoHostInfo_t&) { return true; }), 0);
    return link;
}

// The plaintext side of a session: collects input, offers queued output.
class Plain : public KoTlsPlaintext {
public:
    void tlsInput(const char* data, std::size_t length) override {
        std::lock_guard<std::mutex> lock(mutex_);
        input_.append(data, length);
        maxInputChunk_ = std::max(maxInputChunk_, length);
    }
    void tlsPendingOutput(std::string& out, std::size_t limit) override {
        std::lock_guard<std::mutex> lock(mutex_);
        maxOutputLimit_ = std::max(maxOutputLimit_, limit);
        out.append(output_, sent_, std::min(limit, output_.size() - sent_));
    }
    void tlsOutputSent(std::size_t count) override {
        std::lock_guard<std::mutex> lock(mutex_);
        sent_ = std::min(output_.size(), sent_ + count);
    }

    void queue(const std::string& bytes) {
        std::lock_guard<std::mutex> lock(mutex_);
        output_ += bytes;
    }
    std::string input() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return input_;
    }
    std::size_t inputSize() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return input_.size();
    }
    bool outputPending() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return sent_ < output_.size();
    }
    std::size_t maxInputChunk() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return maxInputChunk_;
    }
    std::size_t maxOutputLimit() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return maxOutputLimit_;
    }

private:
    mutable std::mutex mutex_;
    std::string input_;
    std::string output_;
    std::size_t sent_ = 0;
    std::size_t maxInputChunk_ = 0;
    std::size_t maxOutputLimit_ = 0;
};

struct Side {
    KoTlsSession& session;
    Plain& plain;
    int fd;
};

inline unsigned interestOf(const Side& side) {
    unsigned interest = platform::readable;
    if (side.session.wantsWrite() || (side.session.handshakeDone() && side.plain.outputPending())) {
        interest |= platform::writable;
    }
    return interest;
}

// Steps every side on readiness until done() holds or the time runs out.
inline bool drive(std::vector<Side> sides, const std::function<bool()>& done,
                  std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    platform::Poller poller;
    for (std::size_t i = 0; i < sides.size(); ++i) poller.add(sides[i].fd, platform::readable, i);
    std::vector<platform::Poller::Event> events;
    // First pass without waiting: a client must speak first.
    for (auto& side : sides) {
        side.session.sendStep(side.plain);
        side.session.receiveStep(side.plain);
    }
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        for (auto& side : sides) poller.modify(side.fd, interestOf(side));
        poller.wait(20, events);
        for (const auto& event : events) {
            Side& side = sides[event.tag];
            if (event.ready & (platform::readable | platform::hangup | platform::failed)) {
                side.session.receiveStep(side.plain);
            }
            if (event.ready & platform::writable) side.session.sendStep(side.plain);
        }
        for (auto& side : sides) {
            if (side.session.hasBufferedInput()) side.session.receiveStep(side.plain);
        }
    }
    return true;
}

}  // namespace tls_test
