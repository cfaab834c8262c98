#include "host/host_handler.h"

#include <cctype>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <utility>

#include "message/http_tables.h"
#include "message/response_header.h"
#include "platform/file_system.h"
#include "server/cgi_output.h"
#include "server/client_certificate_values.h"
#include "server/http_answer.h"
#include "server/mime_types.h"
#include "server/request_guard.h"
#include "server/request_path.h"

namespace {

std::string Value(const KoStringMap& map, const std::string& key) {
    auto it = map.find(key);
    return it == map.end() ? std::string() : it->second;
}

bool IsContentType(const std::string& name) {
    if (name.size() != 12) return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(name[i])) != "content-type"[i]) return false;
    }
    return true;
}

void Write(KoXResponseHeader& response, const std::string& text) {
    response.Input().sputn(text.data(), static_cast<std::streamsize>(text.size()));
}

// The answer's file opened, or a status that says why not.
void AttachFile(const velko::Answer& answer, KoXResponseHeader& response) {
    const auto info = platform::fileInfo(answer.file);
    auto stream = std::make_unique<std::ifstream>(answer.file, std::ios::binary);
    if (!info || !info->regular || !*stream) {
        const bool missing = !info || platform::openError(answer.file).notFound();
        response.statusCode = missing ? 404 : 500;
        response.fields.erase(kCgiLinesField);
        response.fields["content-type"] = {"text/plain"};
        Write(response, missing ? "404 Not Found\n" : "500 Internal Error\n");
        return;
    }
    response.bodyFile = answer.file;
    response.bodyStream = std::move(stream);
    response.bodyFileSize = static_cast<std::int64_t>(info->size);
}

}  // namespace

KoHostHandler::KoHostHandler(std::string name_, velko::Handler handler_)
    : name(std::move(name_)), handler(std::move(handler_)) {}

void KoHostHandler::message(KoXHeader& request, KoXResponseHeader& response, const std::string& command) {
    if (!handler) throw std::runtime_error("no handler for " + name);
    KoFillAnswer(handler(KoHostRequestOf(request, command)), response);
}

velko::Request KoHostRequestOf(const KoXHeader& request, const std::string& command) {
    velko::Request host;
    host.method = MethodTokenOf(request.methodCode.load());
    auto first = request.fields.find(":first:");
    host.target = first != request.fields.end() && first->second.size() >= 2 ? first->second[1] : request.path;
    host.path = KoNormaliseRequestPath(request.path).value_or(request.path);
    const std::size_t mark = host.target.find('?');
    host.query = mark == std::string::npos ? std::string() : host.target.substr(mark + 1);
    for (const auto& [field, values] : request.fields) {
        if (!field.empty() && field.front() != ':') host.fields[field] = values;
    }
    for (const auto& [field, block] : request.fieldsByName) {
        if (block != nullptr) host.form[field] = block->Text();
    }
    host.body = request.Body();
    host.bodyFile = request.BodyFile();
    host.command = command;
    host.remoteAddress = Value(request.description, "remoteaddress");
    host.user = Value(request.description, kRemoteUserKey);
    host.clientCertificate.verify = Value(request.description, client_certificate_key::verify);
    host.clientCertificate.subject = Value(request.description, client_certificate_key::subject);
    host.clientCertificate.issuer = Value(request.description, client_certificate_key::issuer);
    host.clientCertificate.serial = Value(request.description, client_certificate_key::serial);
    host.clientCertificate.fingerprint = Value(request.description, client_certificate_key::fingerprint);
    return host;
}

void KoFillAnswer(const velko::Answer& answer, KoXResponseHeader& response) {
    if (answer.status < 200 || answer.status > 599) {
        throw std::runtime_error("status " + std::to_string(answer.status) + " is no final status");
    }
    // The host's fields are checked and filtered as a script's are: the
    // server frames the answer.
    std::string block;
    bool typed = false;
    for (const auto& [field, value] : answer.headers) {
        // A line end would start a field of its own past the checks.
        if ((field + value).find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
            throw std::runtime_error("answer header: a line end in the field " + field);
        }
        typed = typed || IsContentType(field);
        block += field + ": " + value + "\n";
    }
    std::string type = answer.contentType;
    if (type.empty() && !answer.file.empty()) type = KoMimeTypeFor(answer.file);
    if (!typed && !type.empty()) block = "Content-Type: " + type + "\n" + block;
    response.statusCode = answer.status;
    if (!block.empty()) {
        KoCgiOutputParser parser;
        std::size_t used = 0;
        if (parser.feed(block + "\n", used) != KoCgiOutputParser::Status::complete) {
            throw std::runtime_error("answer header: " + parser.reason());
        }
        response.location = parser.head().location;
        response.fields[kCgiLinesField] = parser.head().headerLines;
    }
    if (answer.file.empty()) {
        Write(response, answer.body);
    } else {
        AttachFile(answer, response);
    }
}
