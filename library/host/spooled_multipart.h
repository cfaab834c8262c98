// Host interface: a multipart/form-data body that lies in a file (a body
// past the memory bound), read in bounded steps: its fields as text within
// the form limits, each file's bytes copied into a temporary file of its
// own, so that no part is ever held whole in memory.
// May use: message, platform, foundation.
//
// Ownership: the parts own their temporary files (removed with them).
// Threads: a plain function. Failures: a status, never an exception beyond
// std::bad_alloc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "message/message_limits.h"
#include "platform/temporary_file.h"

struct KoSpooledPart {
    std::string name;
    bool isFile = false;  // the part named a file name (maybe empty)
    std::string fileName;
    std::string contentType = "application/octet-stream";
    std::string text;                                // a field's value
    std::shared_ptr<platform::TemporaryFile> file;   // a file's bytes
};

// 0 with the parts in order; 400 for a body that is no such form (no
// delimiter, a part cut short, a part header past its bound), 413 past
// maxFormFields or maxFormFieldSize, 500 when the body cannot be read or a
// temporary file cannot be written. step: bytes read at a time.
std::int32_t KoReadSpooledMultipart(const std::string& bodyFile, const std::string& boundary,
                                    const KoMessageLimits& limits, std::vector<KoSpooledPart>& parts,
                                    std::size_t step = 64 * 1024);
