// Server stack: what a script run (CGI program or PHP script, a child per
// request or a pooled interpreter) gives the router to answer with.
#pragma once

#include <cstdint>
#include <string>

struct KoScriptResult {
    // 0: `output` is what the script wrote (a CGI header block and body);
    // otherwise the status that answers instead (502, 503 or 504).
    std::int32_t failureStatus = 0;
    std::string output;
};
