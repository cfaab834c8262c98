#include "app/document_opener.h"

#include <utility>

#include "jobs/kessa_scheduler.h"
#include "platform/browser.h"

KoDocumentOpener::KoDocumentOpener(KoKessaScheduler2& scheduler_, KoBrowserLauncher launcher_)
    : scheduler(scheduler_), launcher(std::move(launcher_)) {
    if (!launcher) {
        launcher = [](const std::vector<std::string>& browsers, const std::string& url) {
            platform::openInBrowser(browsers, url);
        };
    }
}

KoDocumentOpener::~KoDocumentOpener() {
    std::set<std::uint64_t> submitted;
    {
        std::lock_guard<std::mutex> guard(lock);
        submitted.swap(jobs);
    }
    for (std::uint64_t job : submitted) scheduler.cancelAndWait(job);
}

const std::vector<std::string>& KoDocumentOpener::BrowserNames() {
    static const std::vector<std::string> names = {"opera",   "chromium",  "chromium-browser", "google-chrome",
                                                   "firefox", "konqueror", "epiphany"};
    return names;
}

bool KoDocumentOpener::open(const std::string& url, const std::string& mimeType) {
    if (mimeType != "text/html") return false;
    KoKessaJobOptions options;
    options.name = "intention";
    KoBrowserLauncher launch = launcher;
    const std::uint64_t job = scheduler.submit(
        [launch, url](KoKessaJobParametersAndResult* p) {
            launch(BrowserNames(), url);
            return p;
        },
        nullptr, options);
    std::lock_guard<std::mutex> guard(lock);
    jobs.insert(job);
    return true;
}
