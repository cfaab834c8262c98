#include "message/http_message_block.h"

KoHTTPMessageBlock::KoHTTPMessageBlock()
    : attributes{{"mimetype", "application/octet-stream"}, {"name", ""}} {}

std::string KoHTTPMessageBlock::Text() const {
    return content ? std::string(content->view()) : std::string();
}

const std::string& KoHTTPMessageBlock::Name() const {
    static const std::string kNone;
    auto it = attributes.find("name");
    return it == attributes.end() ? kNone : it->second;
}

KoHTTPMessageBlockDisposition::~KoHTTPMessageBlockDisposition() = default;
