#include "platform/browser.h"

#include "platform/win32/wide_text.h"

#include <shellapi.h>

namespace platform {

// The shell's "open" verb starts the user's chosen browser; the names of
// browser programs are not needed.
bool openInBrowser(const std::vector<std::string>&, const std::string& url) {
    const HINSTANCE result =
        ::ShellExecuteW(nullptr, L"open", win32::toWide(url).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    // Values above 32 mean success.
    return reinterpret_cast<INT_PTR>(result) > 32;
}

}  // namespace platform
