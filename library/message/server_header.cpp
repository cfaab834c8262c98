#include "message/server_header.h"

#include <mutex>

#include "message/http_tables.h"

KoXServerHeader::KoXServerHeader(std::int32_t protocolCode_, bool active_)
    : KoXHeader(method_code::POST, false, protocolCode_), active(active_) {}

std::string KoXServerHeader::Lookup(const std::string& key, const std::string& fallback) {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = entries.find(key);
    return it == entries.end() ? fallback : it->second;
}
