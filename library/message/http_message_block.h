// Message blocks: one block is one form field or one multipart part of a
// message. The header owns its blocks (in arrival order); the name and
// position indexes hold plain pointers into that list and own nothing.
// A block is used by the thread that serves its message; nothing throws.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "foundation/string_buf.h"

struct KoHTTPMessageBlock {
    KoHTTPMessageBlock();

    // The field's value or the part's body; null when the part had no bytes.
    std::unique_ptr<KoStringBuf> content;
    // Header lines of a multipart part, lower-cased name to values.
    std::map<std::string, std::vector<std::string>> partHeaders;
    // "name" (empty at first), "mimetype" ("application/octet-stream").
    std::map<std::string, std::string> attributes;

    // The value as text, empty without content.
    std::string Text() const;
    const std::string& Name() const;
};

// An index over a header's blocks; the pointers are not owned.
class KoHTTPMessageBlockDisposition : public std::map<std::string, KoHTTPMessageBlock*> {
public:
    virtual ~KoHTTPMessageBlockDisposition();
};
