// Server stack: KoTransceiverServerL1_SSLAddon, the TLS part of a protocol
// layer. It owns one TLS context and makes the TLS connections of the layer
// (KoTransceiverConnection_SSLAddon).
//
// Server role: the context is made from the server description's
// "cacertificate" (a PEM certificate, optionally followed by its chain) and
// "privatekey" (PEM) file names. Client role: no certificate; used for
// outgoing exchanges.
//
// Failures: the constructors throw KoException_SSL, whose what() reads
// "(SSL) " and then "can't find ca certificate and/or private key" (a file
// name missing or empty), "problem with SSL method initialization" (no
// server context), "problem with SSL key pair" (a file unreadable, not PEM,
// or certificate and key not matching) or "problem with SSL method
// initialization (client)", or "problem with SSL trust store" (the client
// CA file cannot be loaded). A failed set-up always raises, whatever other
// add-ons the process holds, so a layer is never built without a context.
// CreateConnection throws KoException "Error getting SSL context" when no
// session can be made; in the client role it also passes on the handshake's
// exceptions.
//
// Ownership: the add-on owns the context; connections keep what they need
// of it, so they may outlive the add-on. Threads: CreateConnection may run
// on any thread (the listener's).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "message/transceiver_connection.h"
#include "net/tls_context.h"
#include "net/tls_session.h"
#include "server/connection/http_connection.h"

class KoSocketIPvx;
class KoXServerHeader;

class KoTransceiverServerL1_SSLAddon {
public:
    // Server role, from the description's key entries ("privatekeypassphrase"
    // opens an encrypted key).
    explicit KoTransceiverServerL1_SSLAddon(KoXServerHeader& description, KoTlsSettings settings = {});
    // Server role, from the two file names; passphrase opens an encrypted
    // key (empty: it must not be encrypted; nobody is asked on a terminal).
    KoTransceiverServerL1_SSLAddon(std::string certificateFile, std::string privateKeyFile,
                                   KoTlsSettings settings = {}, const std::string& passphrase = {});
    // Client role.
    explicit KoTransceiverServerL1_SSLAddon(KoTlsSettings settings = {});
    KoTransceiverServerL1_SSLAddon(const KoTransceiverServerL1_SSLAddon&) = delete;
    KoTransceiverServerL1_SSLAddon& operator=(const KoTransceiverServerL1_SSLAddon&) = delete;
    virtual ~KoTransceiverServerL1_SSLAddon();

    // A TLS connection on the socket's descriptor (fd, else fd4). Client
    // role: the handshake is done before it returns, with remoteHost named
    // to the server.
    // server and pacing: the layer that serves the connection on its loop
    // (KoHTTPConnection), null for one whose input goes by code 8.
    virtual void CreateConnection(std::shared_ptr<KoTransceiverConnection>& out, KoTransceiver& transceiver,
                                  const std::string& owner, const std::string& peer,
                                  const KoServerCallback_t& record, KoConnectionHandler handler,
                                  KoSocketIPvx& socket, const std::string& remoteHost = {},
                                  KoHTTPConnection::Server* server = nullptr,
                                  const KoHTTPConnection::Pacing* pacing = nullptr);

    // Add-ons built in the process, less those whose server set-up failed.
    static std::int64_t addOnCount() { return KoTlsContext::addOnCount(); }

    bool serverRole() const { return role; }
    const std::string& certificateFile() const { return certificate; }
    const std::string& privateKeyFile() const { return privateKey; }
    const KoTlsSettings& tlsSettings() const { return settings; }
    // Bytes of a file read per step by the connections made (HTTP layers
    // set their own).
    std::size_t connectionFileChunk = 64 * 1024;

protected:
    const KoTlsContext& context() const { return *tlsContext; }
    KoTlsContext& context() { return *tlsContext; }

private:
    std::unique_ptr<KoTlsContext> tlsContext;
    std::string certificate;
    std::string privateKey;
    bool role = false;
    const KoTlsSettings settings;
};
