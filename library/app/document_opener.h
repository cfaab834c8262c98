// Application: KoDocumentOpener, which opens a start page in the user's
// browser as a work item ("intention") of the scheduler, so the caller
// never waits for the browser. Threads: any; the launch runs on a scheduler
// task. Failures: none reported; a browser that cannot start is ignored.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

class KoKessaScheduler2;

// Given the browser names in order and the URL; tries them.
using KoBrowserLauncher = std::function<void(const std::vector<std::string>& browsers, const std::string& url)>;

class KoDocumentOpener {
public:
    // An empty launcher uses the platform's.
    KoDocumentOpener(KoKessaScheduler2& scheduler, KoBrowserLauncher launcher);
    ~KoDocumentOpener();
    KoDocumentOpener(const KoDocumentOpener&) = delete;
    KoDocumentOpener& operator=(const KoDocumentOpener&) = delete;

    // False (declined) for any MIME type but "text/html"; else submits the
    // launch and returns true at once.
    bool open(const std::string& url, const std::string& mimeType);
    static const std::vector<std::string>& BrowserNames();

private:
    KoKessaScheduler2& scheduler;
    KoBrowserLauncher launcher;
    std::mutex lock;
    std::set<std::uint64_t> jobs;
};
