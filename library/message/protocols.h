// Message layer: the message objects of the system and the vocabulary they
// share. Protocol codes and names, server descriptions (KoXServerHeader), the
// message header (KoXHeader) that parses and writes HTTP and VELKO headers,
// the answer header (KoXResponseHeader), and the body model (message blocks,
// form fields, ParseBody). The exchange engine builds on these.
// May use: jobs, net, foundation, platform.
//
// This header: protocol codes with their scheme, type and layer names, the
// host string of a listening endpoint and the keys of the description
// records. Plain tables and pure functions; any thread may call them, none
// throws.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace protocol {

inline constexpr std::int32_t HTTP = 3;
inline constexpr std::int32_t HTTPS = 4;
inline constexpr std::int32_t VELKO = 6;
inline constexpr std::int32_t VELKOS = 7;
inline constexpr std::int32_t DirectSocket = 9;

// One row of the protocol table; empty texts stand for "none".
struct Row {
    std::int32_t code;
    std::string_view scheme;
    std::string_view type;
    std::string_view label;
};

// The row for a code, or nullptr for a code not in the table.
const Row* Find(std::int32_t code);

// "http", "https", "velko", "velkos", "socket", else "unknown".
std::string SchemeNameOf(std::int32_t code);
// "HTTP", "HTTPS", "VELKO", "DirectSocket"; empty when the code has none.
std::string TypeNameOf(std::int32_t code);
// "HTTP/HTTPS", "VELKO/VELKOS", "DirectSocket"; empty when the code has none.
std::string LabelOf(std::int32_t code);

}  // namespace protocol

using KoStringMap = std::map<std::string, std::string>;

// True when the map's "type" (default "none") is exactly one of the type
// names that a protocol layer serves; the comparison is byte-wise.
bool IsKnownType(const KoStringMap& description);

// "income_tcp://" address ":" port.
std::string HostString(const std::string& address, std::int64_t port);

// Keys of the listener record and of each connection description.
namespace description_key {
inline constexpr const char* address = "address";
inline constexpr const char* port = "port";
inline constexpr const char* hoststring = "hoststring";
inline constexpr const char* type = "type";
inline constexpr const char* protocolstring = "protocolstring";
inline constexpr const char* ID = "ID";
inline constexpr const char* remoteaddress = "remoteaddress";
inline constexpr const char* remoteport = "remoteport";
inline constexpr const char* localaddress = "localaddress";
inline constexpr const char* localport = "localport";
inline constexpr const char* localprotocolstring = "localprotocolstring";
}  // namespace description_key

// The registration record of a server: "protocol" (the layer's label), "ID"
// and "roll" = "server" (the key is spelled that way on purpose).
KoStringMap ServerRegistrationRecord(std::int32_t code, const std::string& id);
