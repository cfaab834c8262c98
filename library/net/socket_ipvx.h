// Net: the network transport. KoSocketIPvx is the one class through which the
// system touches TCP; TLS connections build on the descriptors it holds.
// May use: foundation, platform.
//
// A KoSocketIPvx is one of: a listening endpoint (up to two listening
// sockets, IPv6 in fd() and IPv4 in fd4()), a connection filled in by
// Accept() on a listening endpoint, or an outgoing connection made by
// Connect(). It owns its descriptors and shuts down and closes them when
// destroyed. Connection descriptors are non-blocking, so Receive() and Send()
// never stall; a receive that would block gives 0 bytes and is no error.
//
// Failures are status codes, never exceptions (see Status); the low-level
// ones are also written as one line through diagnostic() (standard error). The one exception:
// Accept() with an empty filter throws std::bad_function_call.
//
// Threads: a listening endpoint belongs to the listener's thread. On a
// connection one thread may receive while another sends; nothing else may
// change the endpoint while both run.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "net/host_info.h"
#include "platform/descriptor.h"
#include "platform/error.h"

// How long ReceiveIfReady() waits for input.
inline constexpr std::chrono::milliseconds kReceiveIfReadyWait{1};
// How long Connect() waits for each address to answer.
inline constexpr std::chrono::milliseconds kConnectTimeout{20000};

struct KoSocketSettings {
    std::chrono::milliseconds receiveIfReadyWait = kReceiveIfReadyWait;
    std::chrono::milliseconds connectTimeout = kConnectTimeout;
};

class KoSocketIPvx {
public:
    enum Status : int {
        statusOk = 0,
        statusListenFailed = 1,   // nothing bound and listening, or no resolution
        statusConnectFailed = 2,  // no resolution, or no address answered
        statusShortSend = 3,      // fewer bytes sent than asked, or no socket
    };

    KoSocketIPvx();
    explicit KoSocketIPvx(const KoSocketSettings& settings);
    KoSocketIPvx(const KoSocketIPvx&) = delete;
    KoSocketIPvx& operator=(const KoSocketIPvx&) = delete;
    virtual ~KoSocketIPvx();

    // One send of up to length bytes; sent tells how many went out (0 when
    // the send failed). statusOk when all went, else statusShortSend; no
    // retry, no SIGPIPE. Without a socket: writes "no socket", sets sent to 0
    // and returns statusShortSend.
    virtual int Send(const char* buffer, std::size_t length, std::size_t& sent);

    // One receive into buffer; received tells how many bytes arrived. 0 bytes
    // because the peer closed sets closed(); 0 because nothing is there yet
    // is silent; a failure writes a line, sets lastError() and gives 0 bytes
    // without touching closed(). Always statusOk.
    virtual int Receive(char* buffer, std::size_t capacity, std::size_t& received);

    // Receive() only when input arrives within the settings' short wait.
    virtual int ReceiveIfReady(char* buffer, std::size_t capacity, std::size_t& received);

    // The peer's numeric address and port of an accepted connection while
    // it is open (asked of the system: connections are many, and their
    // record keeps the names already), else empty.
    virtual std::string HostName() const;
    virtual std::string ServiceName() const;

    // Listens on address and port. "", "0.0.0.0" and "::" mean every local
    // interface: an IPv6 socket that also takes IPv4 peers, then an IPv4 one
    // where the first could not cover IPv4. Any other address (a literal or
    // a name) is bound as it is, so a server on 127.0.0.1 is reachable only
    // through loopback. Port 0 lets the system choose; the chosen port is
    // written back to port (both families share it). statusOk or
    // statusListenFailed, with a line that names the address and port and
    // why: "getaddrinfo: <text> (<address> port <port>)" or "Could not bind
    // <address> port <port>: <system text>" ("*" for every interface).
    int Listen(const std::string& address, int& port, int backlog);
    // Why the last Listen failed ("Address already in use", "getaddrinfo:
    // ..."); empty after one that succeeded.
    const std::string& listenFailure() const;

    // Waits up to waitMs for a peer on the listening sockets, accepts one into
    // connection and asks filter whether to keep it. Returns the connection's
    // new descriptor, or -1 (nobody came, the peer could not be named, or the
    // filter refused it; a refused peer's socket is closed at once).
    int Accept(KoSocketIPvx& connection, int waitMs, const KoHostFilter& filter);

    // Accepts one waiting peer from the listening descriptor listener (fd()
    // or fd4()) into connection without waiting, and asks filter whether to
    // keep it. Returns the new descriptor; acceptNobody when no peer was
    // waiting; -1 when the peer was refused or gone, or accept failed
    // (failure then holds why, e.g. out of descriptors). An admitted peer's
    // names (those its filter saw) go to named when given.
    static constexpr int acceptNobody = -2;
    int AcceptWaiting(int listener, KoSocketIPvx& connection, const KoHostFilter& filter,
                      platform::Error* failure = nullptr, KoHostInfo_t* named = nullptr);

    // Connects to host and port, trying each resolved address in turn.
    // statusOk or statusConnectFailed ("getaddrinfo: ..." or
    // "Could not connect, fd: N").
    int Connect(const std::string& host, int port);

    // Waits up to ms for descriptor to become readable (or to report an end
    // or an error) and records the outcome in ready().
    bool WaitReadable(int ms, int descriptor);

    int port() const { return port_; }  // -1 until a Listen succeeds
    bool listening() const { return listening_; }
    bool closed() const { return closed_.load(); }
    bool ready() const { return ready_.load(); }
    int lastError() const { return lastError_.load(); }
    bool named() const { return named_; }
    int fd() const { return fd_.get(); }
    int fd4() const { return fd4_.get(); }
    // Closing will reset the connection instead of ending it in order: the
    // peer sees an abort (a body cut short must not look whole).
    void ResetOnClose();

    // Endpoints alive in the process.
    static int instanceCount();

private:
    // The accepted descriptor; -1 when the peer was refused or went away,
    // nobodyWaiting when no peer was waiting.
    static constexpr int nobodyWaiting = acceptNobody;
    int acceptFrom(int listener, KoSocketIPvx& connection, const KoHostFilter& filter,
                   platform::Error* failure = nullptr, KoHostInfo_t* named = nullptr);
    // The peer's numeric names, asked of the system; empty when not open.
    KoHostInfo_t peerName() const;

    KoSocketSettings settings_;
    int port_ = -1;
    bool listening_ = false;
    std::atomic<bool> closed_{true};
    std::atomic<bool> ready_{false};
    std::atomic<int> lastError_{0};
    bool named_ = false;
    bool resetOnClose_ = false;
    platform::Descriptor fd_;
    platform::Descriptor fd4_;
    // Held apart: only a listener that failed has one, and connections are many.
    std::unique_ptr<std::string> listenFailure_;
};
