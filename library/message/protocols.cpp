#include "message/protocols.h"

#include <array>

namespace protocol {
namespace {

constexpr std::array<Row, 5> kRows{{
    {HTTP, "http", "HTTP", "HTTP/HTTPS"},
    {HTTPS, "https", "HTTPS", "HTTP/HTTPS"},
    {VELKO, "velko", "VELKO", "VELKO/VELKOS"},
    {VELKOS, "velkos", "", ""},
    {DirectSocket, "socket", "DirectSocket", "DirectSocket"},
}};

}  // namespace

const Row* Find(std::int32_t code) {
    for (const Row& row : kRows) {
        if (row.code == code) return &row;
    }
    return nullptr;
}

std::string SchemeNameOf(std::int32_t code) {
    const Row* row = Find(code);
    return row ? std::string(row->scheme) : std::string("unknown");
}

std::string TypeNameOf(std::int32_t code) {
    const Row* row = Find(code);
    return row ? std::string(row->type) : std::string();
}

std::string LabelOf(std::int32_t code) {
    const Row* row = Find(code);
    return row ? std::string(row->label) : std::string();
}

}  // namespace protocol

bool IsKnownType(const KoStringMap& description) {
    auto it = description.find(description_key::type);
    const std::string type = it == description.end() ? "none" : it->second;
    return type == "HTTP" || type == "HTTPS" || type == "DirectSocket" || type == "VELKO";
}

std::string HostString(const std::string& address, std::int64_t port) {
    return "income_tcp://" + address + ":" + std::to_string(port);
}

KoStringMap ServerRegistrationRecord(std::int32_t code, const std::string& id) {
    return {{"protocol", protocol::LabelOf(code)}, {"ID", id}, {"roll", "server"}};
}
