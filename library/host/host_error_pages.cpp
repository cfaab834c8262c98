#include "host/host_error_pages.h"

#include <fstream>
#include <iterator>
#include <stdexcept>

#include "foundation/diagnostics.h"
#include "foundation/exception.h"
#include "foundation/text_utils.h"
#include "host/host_handler.h"
#include "message/response_header.h"
#include "server/files/mime_types.h"

KoHostErrorPages::KoHostErrorPages(const std::map<int, velko::ErrorPage>& given) {
    for (const auto& [status, page] : given) {
        Page entry;
        if (page.answer) {
            entry.answer = page.answer;
        } else if (!page.file.empty()) {
            std::ifstream in(page.file, std::ios::binary);
            if (!in) throw KoException("could not read the error page " + page.file, __LINE__, "src");
            entry.content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
            if (in.bad()) throw KoException("could not read the error page " + page.file, __LINE__, "src");
            entry.type = KoMimeTypeFor(page.file);
        } else {
            continue;
        }
        pages[status] = std::move(entry);
    }
}

void KoHostErrorPages::fill(const KoXHeader& request, KoXResponseHeader& response) {
    auto found = pages.find(response.statusCode);
    if (found == pages.end()) return;
    const Page& page = found->second;
    const std::int32_t status = response.statusCode;
    if (!page.answer) {
        // Fields such as Allow or Retry-After stay; the body and its type go.
        response.Input().str(page.content);
        response.fields["content-type"] = {page.type};
        return;
    }
    velko::Answer answer;
    try {
        answer = page.answer(KoHostRequestOf(request, std::string()), status);
    } catch (const std::exception& error) {
        diagnostic("the error page for " + std::to_string(status) + " failed: " + escapeForLog(error.what()));
        return;
    } catch (...) {
        diagnostic("the error page for " + std::to_string(status) + " failed");
        return;
    }
    answer.status = status;
    // Kept until the host's answer proves sendable.
    auto scratch = request.MakeAnswer();
    try {
        KoFillAnswer(answer, *scratch);
    } catch (const std::exception& error) {
        diagnostic("the error page for " + std::to_string(status) + " failed: " + escapeForLog(error.what()));
        return;
    }
    KoClearAnswer(response);
    response.statusCode = scratch->statusCode;  // a missing file's 404
    response.fields = std::move(scratch->fields);
    response.location = std::move(scratch->location);
    response.Input().str(scratch->Body());
    response.bodyFile = std::move(scratch->bodyFile);
    response.bodyStream = std::move(scratch->bodyStream);
    response.bodyFileSize = scratch->bodyFileSize;
}

std::shared_ptr<KoErrorPages> KoErrorPagesFor(const std::map<int, velko::ErrorPage>& pages) {
    if (pages.empty()) return nullptr;
    return std::make_shared<KoHostErrorPages>(pages);
}
