// The router's answers for a path that the host's routes take only for
// other methods, and the test for the server's own error answers.
#include <algorithm>
#include <string>
#include <vector>

#include "message/http_tables.h"
#include "message/response_header.h"
#include "server/http/http_answer.h"
#include "server/routing/error_pages.h"
#include "server/routing/router.h"

bool KoIsOwnErrorAnswer(const KoXResponseHeader& response) {
    const bool error = response.statusCode == 404 || (response.statusCode >= 500 && response.statusCode <= 599);
    return error && response.fields.count(kCgiLinesField) == 0 && response.bodyFile.empty() &&
           !response.lengthUnknown;
}

int KoRequestRouter::sendRouteMethods(const KoXHeader& request, const std::string& path) {
    const std::int32_t method = request.methodCode.load();
    std::vector<std::string> allowed = services.routeMethods(MethodTokenOf(method), path);
    if (allowed.empty()) return 0;
    if (std::find(allowed.begin(), allowed.end(), "OPTIONS") == allowed.end()) allowed.push_back("OPTIONS");
    std::string allow;
    for (const std::string& token : allowed) allow += (allow.empty() ? "" : ", ") + token;
    auto response = answerFor(request, method == method_code::OPTIONS ? 204 : 405);
    response->fields["allow"] = {allow};
    if (response->statusCode != 204) KoSetTextBody(*response);
    return send(request, response);
}
