#include "server/http/request_rules.h"

#include <algorithm>
#include <array>
#include <initializer_list>
#include <string_view>

#include "message/http_tables.h"
#include "message/response_header.h"
#include "server/http/http_answer.h"

namespace {

struct Served {
    KoResourceKind kind;
    std::initializer_list<std::int32_t> methods;  // in the order "Allow" names them
};

const std::array<Served, 3> kServed{{
    {KoResourceKind::file, {method_code::GET, method_code::HEAD, method_code::OPTIONS}},
    {KoResourceKind::script, {method_code::GET, method_code::HEAD, method_code::POST, method_code::OPTIONS}},
    {KoResourceKind::store, {method_code::GET, method_code::HEAD, method_code::POST, method_code::OPTIONS}},
}};

const Served& ServedBy(KoResourceKind kind) {
    return *std::find_if(kServed.begin(), kServed.end(), [&](const Served& row) { return row.kind == kind; });
}

// uri-host [":" port]: unreserved, percent, sub-delims, ':' and the
// brackets of an IP literal. Every request's Host is checked byte by
// byte: one table look-up each.
constexpr std::array<bool, 256> kHostValueBytes = [] {
    std::array<bool, 256> bytes{};
    for (char c = '0'; c <= '9'; ++c) bytes[static_cast<unsigned char>(c)] = true;
    for (char c = 'a'; c <= 'z'; ++c) bytes[static_cast<unsigned char>(c)] = true;
    for (char c = 'A'; c <= 'Z'; ++c) bytes[static_cast<unsigned char>(c)] = true;
    for (char c : std::string_view("-._~%!$&'()*+,;=:[]")) bytes[static_cast<unsigned char>(c)] = true;
    return bytes;
}();

bool HostValueByte(char c) { return kHostValueBytes[static_cast<unsigned char>(c)]; }

}  // namespace

std::int32_t KoHostRuleStatus(const KoXHeader& request) {
    const std::size_t lines = request.HostFieldLines();
    if (lines > 1) return 400;
    // Asked of every request: names made once, the value read where it lies.
    static const std::string kFirstLine = ":first:";
    static const std::string kHost = "host";
    auto first = request.fields.find(kFirstLine);
    const bool http11 = first != request.fields.end() && first->second.size() >= 3 && first->second[2] == "HTTP/1.1";
    if (http11 && lines == 0) return 400;
    const auto host = request.fields.find(kHost);
    if (host == request.fields.end() || host->second.empty()) return 0;
    const std::string& value = host->second.front();
    if (!std::all_of(value.begin(), value.end(), HostValueByte)) return 400;
    return 0;
}

std::string KoAllowedMethods(KoResourceKind kind) {
    std::string allow;
    for (std::int32_t method : ServedBy(kind).methods) {
        if (!allow.empty()) allow += ", ";
        allow += MethodTokenOf(method);
    }
    return allow;
}

std::int32_t KoMethodStatus(std::int32_t method, KoResourceKind kind) {
    if (method == method_code::OPTIONS) return 204;
    const auto& methods = ServedBy(kind).methods;
    return std::find(methods.begin(), methods.end(), method) != methods.end() ? 0 : 405;
}

void KoMethodAnswer(std::int32_t status, KoResourceKind kind, KoXResponseHeader& response) {
    response.statusCode = status;
    response.fields["allow"] = {KoAllowedMethods(kind)};
    if (status != 204) KoSetTextBody(response);
}
