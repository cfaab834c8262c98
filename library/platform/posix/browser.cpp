#include "platform/browser.h"

#include <cerrno>
#include <cstdlib>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace platform {

bool openInBrowser(const std::vector<std::string>& browsers, const std::string& url) {
    // Everything the grandchild needs is built before fork: after it only
    // async-signal-safe calls are made.
    std::vector<std::string> candidates;
    const char* path = std::getenv("PATH");
    const std::string search = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    for (const std::string& browser : browsers) {
        if (browser.find('/') != std::string::npos) {
            candidates.push_back(browser);
            continue;
        }
        std::size_t start = 0;
        while (start <= search.size()) {
            const std::size_t colon = search.find(':', start);
            const std::string dir = search.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
            candidates.push_back((dir.empty() ? "." : dir) + "/" + browser);
            if (colon == std::string::npos) break;
            start = colon + 1;
        }
    }
    if (candidates.empty()) return false;
    std::vector<const char*> programs;
    for (const std::string& candidate : candidates) programs.push_back(candidate.c_str());

    const pid_t child = fork();
    if (child < 0) return false;
    if (child == 0) {
        // The middle process ends at once, so the browser is nobody's child
        // here and the system reaps it.
        if (fork() == 0) {
            setsid();
            for (const char* program : programs) {
                char* const argv[] = {const_cast<char*>(program), const_cast<char*>(url.c_str()), nullptr};
                execve(program, argv, environ);
            }
            _exit(127);
        }
        _exit(0);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return true;
}

}  // namespace platform
