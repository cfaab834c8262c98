// Platform: opening a URL in the user's browser. The browser programs are
// tried in the given order (the first that can be started wins); the
// browser runs detached in a session of its own, is reaped by the system,
// and the call returns at once without waiting for it. Any thread.
#pragma once

#include <string>
#include <vector>

namespace platform {

// False when no process could be started at all; whether one of the names
// existed is not known to the caller.
bool openInBrowser(const std::vector<std::string>& browsers, const std::string& url);

}  // namespace platform
