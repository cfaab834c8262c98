#include "host/host_handler.h"

#include <cctype>
#include <fstream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <vector>

#include "foundation/diagnostics.h"
#include "foundation/text_utils.h"
#include "host/spooled_multipart.h"
#include "host/streamed_answer.h"
#include "host/upload_body_reader.h"
#include "message/http_tables.h"
#include "message/message_body.h"
#include "message/response_header.h"
#include "platform/file_system.h"
#include "server/scripts/cgi_output.h"
#include "server/http/client_certificate_values.h"
#include "server/http/cookies.h"
#include "server/files/file_cache.h"
#include "server/files/file_answer.h"
#include "server/http/http_answer.h"
#include "server/http/http_date.h"
#include "server/files/mime_types.h"
#include "server/routing/request_guard.h"
#include "server/http/request_path.h"
#include "server/routing/route_table.h"

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

void AddValue(velko::Request& host, const std::string& name, std::string value) {
    // The last of a name wins, as the message's form index has it.
    host.form[name] = value;
    host.formLists[name].push_back(std::move(value));
}

// The query's name=value pieces, for the methods whose query the parser
// leaves to the handler (all but GET and HEAD). False when an escape is
// malformed; the pieces before it are kept.
bool AddQueryValues(const std::string& query, velko::Request& host) {
    for (std::size_t start = 0; start <= query.size();) {
        const std::size_t amp = query.find('&', start);
        const std::size_t end = amp == std::string::npos ? query.size() : amp;
        const std::string_view piece = std::string_view(query).substr(start, end - start);
        start = end + 1;
        const std::size_t eq = piece.find('=');
        if (eq == std::string_view::npos) continue;
        std::optional<std::string> name = percentDecodeStrict(piece.substr(0, eq));
        std::optional<std::string> value = percentDecodeStrict(piece.substr(eq + 1));
        if (!name || !value) return false;
        AddValue(host, *name, std::move(*value));
    }
    return true;
}

// A multipart body that lies in a file: its parts read from there. Fields
// join the form, files become uploads whose temporary files files keeps.
std::int32_t AddSpooledParts(const KoXHeader& request, velko::Request& host,
                             std::vector<std::shared_ptr<platform::TemporaryFile>>& files) {
    if (request.BodyFile().empty()) return 0;
    const KoMediaType type = KoReadMediaType(request.FirstValue("content-type"));
    if (type.type != "multipart/form-data") return 0;
    auto boundary = type.parameters.find("boundary");
    std::vector<KoSpooledPart> parts;
    const std::int32_t status = KoReadSpooledMultipart(
        request.BodyFile(), boundary == type.parameters.end() ? std::string() : boundary->second, request.Limits(),
        parts);
    if (status != 0) return status;
    for (KoSpooledPart& part : parts) {
        if (!part.isFile) {
            AddValue(host, part.name, std::move(part.text));
            continue;
        }
        velko::Upload upload;
        upload.name = part.name;
        upload.fileName = part.fileName;
        upload.contentType = part.contentType;
        upload.size = part.file->size();
        upload.file = part.file->path();
        host.uploads.push_back(std::move(upload));
        files.push_back(std::move(part.file));
    }
    return 0;
}

// The answer's file opened, or a status that says why not; with the
// request, the validators, preconditions and ranges of a static file.
void AttachFile(const velko::Answer& answer, const std::string& type, const KoXHeader* request,
                const KoStaticCompression* compression, KoXResponseHeader& response) {
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
    if (request != nullptr) {
        const KoFileFacts facts{type, info->size, info->modifiedSeconds, info->modifiedNanoseconds, info->fileId};
        KoFileAnswerOptions options;
        options.now = KoSecondsNow();
        if (compression != nullptr) {
            // As a static file: a sibling, or the bytes compressed once in
            // this thread's cache (then already in the answer).
            KoFileBody body = KoPrepareFileVariant(*request, answer.file, facts, options, *compression,
                                                   KoFileCache::forThisThread(), {}, response);
            if (body.file.empty()) return;
            if (body.file != answer.file) {
                stream = std::make_unique<std::ifstream>(body.file, std::ios::binary);
                if (!*stream) {
                    KoClearAnswer(response);
                    response.statusCode = 500;
                    response.fields[kCgiLinesField] = {"Content-Type: text/plain"};
                    Write(response, "500 Internal Error\n");
                    return;
                }
            }
            response.bodyFile = std::move(body.file);
            response.bodyStream = std::move(stream);
            response.bodyFileSize = static_cast<std::int64_t>(body.size);
            return;
        }
        // A 304, 412 or 416 sends none of the file.
        if (!KoPrepareFileAnswer(*request, facts, options, response)) return;
    }
    response.bodyFile = answer.file;
    response.bodyStream = std::move(stream);
    response.bodyFileSize = static_cast<std::int64_t>(info->size);
}

// Whether the answer is a static file's: the host's 200 with a file, to a
// GET or HEAD.
bool AnswersAsFile(const velko::Answer& answer, const KoXHeader* request) {
    if (request == nullptr || answer.file.empty() || answer.status != 200) return false;
    const std::int32_t method = request->methodCode.load();
    return method == method_code::GET || method == method_code::HEAD;
}

}  // namespace

KoHostHandler::KoHostHandler(std::string name_, velko::Handler handler_, std::string pattern_,
                             std::shared_ptr<const KoHostPolicy> policy_)
    : name(std::move(name_)),
      handler(std::move(handler_)),
      pattern(std::move(pattern_)),
      policy(policy_ ? std::move(policy_) : std::make_shared<const KoHostPolicy>()) {}

KoHostHandler::KoHostHandler(std::string name_, velko::UploadHandler upload_, std::string pattern_,
                             std::shared_ptr<const KoHostPolicy> policy_)
    : name(std::move(name_)),
      upload(std::move(upload_)),
      pattern(std::move(pattern_)),
      policy(policy_ ? std::move(policy_) : std::make_shared<const KoHostPolicy>()) {}

void KoHostHandler::message(KoXHeader& request, KoXResponseHeader& response, const std::string& command) {
    bool malformedQuery = false;
    velko::Request host = KoHostRequestOf(request, command, &malformedQuery);
    for (auto& [parameter, value] : KoRouteTable::parametersOf(pattern, host.path)) {
        host.params[parameter] = std::move(value);
    }
    // The uploads' files, removed when the handler is done with them.
    std::vector<std::shared_ptr<platform::TemporaryFile>> files;
    std::int32_t refused = malformedQuery ? 400 : 0;
    if (refused == 0 && !upload) refused = AddSpooledParts(request, host, files);
    if (refused != 0) {
        KoClearAnswer(response);
        response.statusCode = refused;
        KoSetTextBody(response);
        return;
    }
    try {
        if (!handler && !upload) throw std::runtime_error("no handler for " + name);
        velko::Answer answer;
        if (upload) {
            KoUploadBodyReader body(request.BodyPipe(), policy->live);
            answer = upload(host, body);
        } else {
            answer = handler(host);
        }
        KoFillAnswer(answer, response, &request, &policy->fileCompression);
        KoCompressAnswerBody(response, policy->compression, answer.compress || policy->compression.hostOverTls);
        KoAttachProducer(answer, request, response, policy->live);
    } catch (const std::exception& error) {
        fail(host, error.what(), response);
    } catch (...) {
        fail(host, "an exception that is no std::exception", response);
    }
}

void KoHostHandler::fail(const velko::Request& host, const std::string& error, KoXResponseHeader& response) const {
    diagnostic("handler for " + escapeForLog(host.path) + " failed: " + escapeForLog(error));
    if (policy->handlerError) {
        try {
            policy->handlerError(host, error);
        } catch (const std::exception& hookError) {
            diagnostic("the handler error hook failed: " + escapeForLog(hookError.what()));
        } catch (...) {
            diagnostic("the handler error hook failed");
        }
    }
    KoClearAnswer(response);
    response.statusCode = 500;
    if (!policy->showErrors) {
        KoSetTextBody(response);
        return;
    }
    // The host's own text: its error page, if any, does not replace it.
    response.fields[kCgiLinesField] = {std::string("Content-Type: ") + kPlainTextType};
    Write(response, error + "\n");
}

velko::Request KoHostRequestOf(const KoXHeader& request, const std::string& command, bool* malformedQuery) {
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
    // In the order they came: the query's, then the body's.
    if (request.query.empty() && !host.query.empty() && !AddQueryValues(host.query, host) && malformedQuery) {
        *malformedQuery = true;
    }
    for (const auto& block : request.blocks) {
        if (block == nullptr || block->Name().empty()) continue;
        auto file = block->attributes.find("filename");
        if (file == block->attributes.end()) {
            AddValue(host, block->Name(), block->Text());
            continue;
        }
        velko::Upload upload;
        upload.name = block->Name();
        upload.fileName = file->second;
        upload.contentType = Value(block->attributes, "mimetype");
        upload.content = block->Text();
        upload.size = upload.content.size();
        host.uploads.push_back(std::move(upload));
    }
    auto cookies = request.fields.find("cookie");
    if (cookies != request.fields.end()) {
        for (const std::string& line : cookies->second) {
            for (auto& [name, value] : KoParseCookies(line)) host.cookies.emplace(std::move(name), std::move(value));
        }
    }
    // A streamed body is still being read on the loop: none of it is here.
    if (request.BodyKeeping() != KoBodyKeeping::stream) {
        host.body = request.Body();
        host.bodyFile = request.BodyFile();
    }
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

void KoFillAnswer(const velko::Answer& answer, KoXResponseHeader& response, const KoXHeader* request,
                  const KoStaticCompression* fileCompression) {
    if (answer.status < 200 || answer.status > 599) {
        throw std::runtime_error("status " + std::to_string(answer.status) + " is no final status");
    }
    const bool asFile = AnswersAsFile(answer, request);
    std::string type = answer.contentType;
    if (type.empty() && !answer.file.empty()) type = KoMimeTypeFor(answer.file);
    // The host's fields are checked and filtered as a script's are: the
    // server frames the answer.
    std::string block;
    bool typed = false;
    for (const auto& [field, value] : answer.headers) {
        // A line end would start a field of its own past the checks.
        if ((field + value).find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
            throw std::runtime_error("answer header: a line end in the field " + field);
        }
        if (IsContentType(field)) {
            typed = true;
            // A static file's type goes where ranges can change it.
            if (asFile) {
                type = value;
                continue;
            }
        }
        block += field + ": " + value + "\n";
    }
    if (!typed && !type.empty() && !asFile) block = "Content-Type: " + type + "\n" + block;
    std::vector<std::string> lines;
    if (!block.empty()) {
        KoCgiOutputParser parser;
        std::size_t used = 0;
        if (parser.feed(block + "\n", used) != KoCgiOutputParser::Status::complete) {
            throw std::runtime_error("answer header: " + parser.reason());
        }
        response.location = parser.head().location;
        lines = parser.head().headerLines;
    }
    // Present even when empty: the answer is the host's own, which no
    // error page replaces.
    response.fields[kCgiLinesField] = std::move(lines);
    response.statusCode = answer.status;
    if (answer.file.empty()) {
        Write(response, answer.body);
    } else {
        AttachFile(answer, type, asFile ? request : nullptr, fileCompression, response);
    }
}

void KoClearAnswer(KoXResponseHeader& response) {
    response.fields.clear();
    response.location.clear();
    response.Input().str(std::string());
    response.bodyFile.clear();
    response.bodyStream.reset();
    response.bodyFileSize = 0;
    response.bodySpans.clear();
    response.bodyAfter.clear();
}
