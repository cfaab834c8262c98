#include "host/server_settings_for.h"

#include <chrono>

#include "foundation/exception.h"
#include "host/access_guard.h"
#include "host/host_error_pages.h"
#include "host/host_request_hook.h"

KoApplicationSettings KoSettingsFor(const velko::ServerOptions& options) {
    KoApplicationSettings settings;
    KoHTTPSettings& http = settings.http;
    http.handlerConcurrency = options.handlerConcurrency;
    http.cgiConcurrency = options.cgiConcurrency;
    http.cgiTimeout = options.cgiTimeout;
    http.cgiOutputLimit = static_cast<std::size_t>(options.cgiOutputLimit);
    http.limits.maxLineLength = options.maxHeaderLine;
    http.limits.maxHeaderSize = options.maxHeaderBytes;
    http.limits.maxFieldCount = options.maxHeaderFields;
    http.limits.maxBodySize = options.maxBody;
    http.headerDeadline = options.headerTimeout;
    http.bodyProgressDeadline = options.bodyTimeout;
    http.server.maxConnections = options.maxConnections;
    http.server.backlog = options.backlog;
    http.compression.enabled = options.compression;
    http.answerCompression.enabled = options.compression;
    http.answerCompression.hostOverTls = options.compressHostAnswersOverTls;
    http.answerCompression.scriptsOverTls = options.compressScriptsOverTls;
    http.http2.enabled = options.http2;
    http.http2.maxStreams = static_cast<std::uint32_t>(options.http2MaxStreams);
    http.http2.idleTimeout = options.idleTimeout;
    settings.tls.serverHandshakeTimeout = options.handshakeTimeout;
    settings.keyPassphrase = options.keyPassphrase;
    settings.transceiver.loops = options.loops;
    settings.transceiver.connectionTimeout = std::chrono::duration_cast<std::chrono::microseconds>(options.idleTimeout);
    KoSiteRules& site = http.site;
    site.commandsOnGet = options.commandsOnGet;
    site.allowedOrigins = options.allowedOrigins;
    site.allowedHosts = options.allowedHosts;
    site.fields.strictTransportSecurity = options.securityHeaders.strictTransportSecurity;
    site.fields.frameOptions = options.securityHeaders.frameOptions;
    site.fields.referrerPolicy = options.securityHeaders.referrerPolicy;
    site.fields.noSniff = options.securityHeaders.noSniff;
    http.guard = KoAccessGuardFor(options);
    http.server.admit = KoAdmitFor(options.serverAddresses);
    http.hook = KoHostRequestHookFor(options.requestHook);
    http.errorPages = KoErrorPagesFor(options.errorPages);
    if (options.hideServerHeader) {
        site.fields.server = std::string();
    } else if (!options.serverHeader.empty()) {
        // It goes into every answer's head: one line, nothing more.
        if (options.serverHeader.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
            throw KoException("the Server header holds a line end", __LINE__, "src");
        }
        site.fields.server = options.serverHeader;
    }
    if (options.clientCertificates != velko::ServerOptions::ClientCertificates::off) {
        // Asked for on plain HTTP, they would guard nothing.
        if (!options.https) throw KoException("client certificates need HTTPS", __LINE__, "src");
        settings.tls.clientCertificates = options.clientCertificates == velko::ServerOptions::ClientCertificates::required
                                              ? KoClientCertificateCheck::required
                                              : KoClientCertificateCheck::optional;
        settings.tls.clientCaFile = options.clientCaFile;
        settings.tls.clientVerifyDepth = options.clientCertificateDepth;
    }
    return settings;
}
