// A real browser on the host example's live page: headless Chromium loads a
// page of the test's own that frames /live, types a greeting into the live
// page's form and presses its button; the command sets the stored value,
// the server sends the browser back to /live, and the regenerated page must
// show the new value and the counter its script fetched.
#include <gtest/gtest.h>

#include <velkotwo/server.h>

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "host_shell.h"

namespace {

using host_shell::Directory;
using host_shell::Quoted;

constexpr const char* kChromium = "/usr/bin/chromium";

// Frames /live; presses the button once the page has loaded, and reports
// what the reloaded page shows in its own attributes.
constexpr const char* kDriver = R"(<!DOCTYPE html>
<html><head><title>driver</title></head>
<body data-state="loading">
<iframe id="live" src="/live"></iframe>
<script>
var frame = document.getElementById('live');
var pressed = false;
frame.addEventListener('load', function () {
  var page = frame.contentDocument;
  if (!pressed) {
    pressed = true;
    document.body.setAttribute('data-first', page.getElementById('greeting').textContent);
    page.querySelector('input[name=text]').value = 'Set by Chromium & co';
    page.querySelector('button[type=submit]').click();
    return;
  }
  // Driven by the page's changes, not by timers: the browser's virtual
  // time stands still while the page's live channels are open.
  var report = function () {
    var counter = page.getElementById('counter').textContent;
    if (counter === '?') return false;
    document.body.setAttribute('data-greeting', page.getElementById('greeting').textContent);
    document.body.setAttribute('data-counter', counter);
    document.body.setAttribute('data-state', 'done');
    // Without them, the virtual time runs out.
    frame.remove();
    return true;
  };
  if (report()) return;
  var observer = new MutationObserver(function () { if (report()) observer.disconnect(); });
  observer.observe(page.body, {subtree: true, childList: true, characterData: true});
});
</script>
</body></html>
)";

// Frames /live and reports, once they have come, the echo of the page's
// WebSocket message, the counter broadcast to it, and two times of the
// event stream. Each value is reported as it arrives, by a request for
// /seen/<what>/<value> that the access log shows (a 404), and /seen/done
// follows the last, so a page that never gets done shows which channel
// stayed silent.
constexpr const char* kLiveDriver = R"(<!DOCTYPE html>
<html><head><title>live driver</title></head>
<body>
<iframe id="live" src="/live"></iframe>
<script>
var frame = document.getElementById('live');
var times = [];
var seen = {};
var tell = function (what, value) {
  if (seen[what]) return;
  seen[what] = true;
  fetch('/seen/' + what + '/' + encodeURIComponent(value));
};
frame.addEventListener('load', function () {
  var page = frame.contentDocument;
  var text = function (id) { return page.getElementById(id).textContent; };
  var report = function () {
    var time = text('time');
    if (time !== '?' && times.indexOf(time) < 0) times.push(time);
    if (text('echo') !== '?') tell('echo', text('echo'));
    if (text('counter') !== '?') tell('counter', text('counter'));
    if (times.length > 0) tell('time', String(times.length));
    if (times.length > 1) tell('times', String(times.length));
    if (text('echo') === '?' || text('counter') === '?' || times.length < 2) return false;
    fetch('/seen/done');
    return true;
  };
  if (report()) return;
  var observer = new MutationObserver(function () { if (report()) observer.disconnect(); });
  observer.observe(page.body, {subtree: true, childList: true, characterData: true});
});
</script>
</body></html>
)";

// Starts the host example in dir, lets headless Chromium load url ($port:
// the example's port) and dump the final page into dom.html, then stops the
// example. With enough, the page reports through the access log instead:
// the browser runs in real time (its virtual time, which stands still while
// channels are open, at times kept a WebSocket from opening at all) and is
// ended once the example's output shows that text, or after a minute and a
// half without it. The shell's output.
host_shell::Result ChromiumOnTheExample(const Directory& dir, const std::string& url,
                                        const std::string& enough = std::string()) {
    const std::string waitForEnough =
        enough.empty() ? std::string("wait $browser; ")
                       : "i=0; while kill -0 $browser 2> /dev/null && ! grep -qF " + Quoted(enough) +
                             " out.txt && [ $i -lt 900 ]; do sleep 0.1; i=$((i+1)); done; "
                             "kill $browser 2> /dev/null; wait $browser; ";
    const std::string script =
        "cd " + Quoted(dir.path) + " && mkfifo input && (" + Quoted(VELKO_HOST_EXAMPLE) +
        " < input > out.txt 2> err.txt & echo $! > example.pid) && exec 4> input && "
        "i=0; while ! grep -q 'localhost:' out.txt && [ $i -lt 200 ]; do sleep 0.05; i=$((i+1)); done; "
        "port=$(grep -o 'localhost:[0-9]*' out.txt | head -n 1 | cut -d: -f2); "
        "mkdir profile && timeout 120 " + std::string(kChromium) +
        " --headless --no-sandbox --disable-gpu --ignore-certificate-errors --disable-background-networking "
        "--disable-component-update --disable-sync --no-first-run --user-data-dir=profile " +
        std::string(enough.empty() ? "--virtual-time-budget=20000 --dump-dom " : "") + url +
        " > dom.html 2> chromium.txt & browser=$!; " +
        waitForEnough +
        "echo >&4; exec 4>&-; i=0; while kill -0 $(cat example.pid) 2> /dev/null && [ $i -lt 100 ]; do "
        "sleep 0.1; i=$((i+1)); done; true";
    return Directory::Capture(script, 180);
}

TEST(HostExampleInChromium, AButtonPostsACommandAndThePageShowsTheNewValue) {
    if (Directory::Run(std::string("test -x ") + kChromium) != 0) {
        GTEST_SKIP() << "chromium is not installed (apt-get install -y chromium)";
    }
    Directory dir;
    ASSERT_TRUE(dir.ok);
    host_shell::WriteFile(dir.file("htmlroot/driver.html"), kDriver);
    const auto run = ChromiumOnTheExample(dir, "https://localhost:$port/driver.html");
    const std::string dom = host_shell::ReadFile(dir.file("dom.html"));
    const std::string out = host_shell::ReadFile(dir.file("out.txt"));
    ASSERT_NE(dom.find("data-state=\"done\""), std::string::npos)
        << dom << "\n--- program:\n" << out << host_shell::ReadFile(dir.file("err.txt")) << "\n--- chromium:\n"
        << host_shell::ReadFile(dir.file("chromium.txt")) << run.output;
    EXPECT_NE(dom.find("data-first=\"Hello from the host\""), std::string::npos) << dom;
    EXPECT_NE(dom.find("data-greeting=\"Set by Chromium &amp; co\""), std::string::npos) << dom;
    EXPECT_NE(dom.find("data-counter=\"2\""), std::string::npos) << dom;
    // The command was posted by the browser, and the value kept.
    EXPECT_NE(out.find("\"POST /live\" --> 303 "), std::string::npos) << out;
    const std::string kept = host_shell::ReadFile(dir.file("host_example.xml"));
    EXPECT_NE(kept.find("value=\"Set by Chromium &amp; co\""), std::string::npos) << kept;
}

// A page of another site posting the live page's form ran the command (a
// forged request); the server must refuse it and keep the value.
TEST(HostExampleInChromium, AFormOnAnotherSitesPageIsRefused) {
    if (Directory::Run(std::string("test -x ") + kChromium) != 0) {
        GTEST_SKIP() << "chromium is not installed (apt-get install -y chromium)";
    }
    Directory dir;
    ASSERT_TRUE(dir.ok);
    ASSERT_EQ(Directory::Run("mkdir " + Quoted(dir.file("other"))), 0);
    host_shell::WriteFile(dir.file("other/forge.html"),
                          "<!DOCTYPE html><html><body><form method=\"POST\" action=\"\">"
                          "<input name=\"velkoid\" value=\"greeting\"><input name=\"velkocommand\" value=\"set\">"
                          "<input name=\"text\" value=\"forged\"></form><script>\n"
                          "var form = document.forms[0];\n"
                          "form.action = 'https://localhost:' + location.hash.slice(1) + '/live';\n"
                          "form.submit();\n</script></body></html>");
    // The other site: another origin (another port) on the same machine.
    velko::ServerOptions options;
    options.certificate = dir.file("cacert.pem");
    options.key = dir.file("privkey.pem");
    options.documentRoot = dir.file("other");
    options.accessLog = velko::AccessLog::nowhere();
    velko::Server other(options);
    const auto run =
        ChromiumOnTheExample(dir, "https://localhost:" + std::to_string(other.port()) + "/forge.html#$port");
    const std::string dom = host_shell::ReadFile(dir.file("dom.html"));
    const std::string out = host_shell::ReadFile(dir.file("out.txt"));
    EXPECT_NE(out.find("\"POST /live\" --> 403 "), std::string::npos)
        << out << host_shell::ReadFile(dir.file("err.txt")) << "\n--- chromium:\n"
        << host_shell::ReadFile(dir.file("chromium.txt")) << run.output;
    EXPECT_NE(dom.find("403 Forbidden"), std::string::npos) << dom;
    const std::string kept = host_shell::ReadFile(dir.file("host_example.xml"));
    EXPECT_EQ(kept.find("forged"), std::string::npos) << kept;
    EXPECT_NE(kept.find("Hello from the host"), std::string::npos) << kept;
}

TEST(HostExampleInChromium, TheLivePageShowsTheEchoTheCounterAndTheTimeArriving) {
    if (Directory::Run(std::string("test -x ") + kChromium) != 0) {
        GTEST_SKIP() << "chromium is not installed (apt-get install -y chromium)";
    }
    Directory dir;
    ASSERT_TRUE(dir.ok);
    host_shell::WriteFile(dir.file("htmlroot/live-driver.html"), kLiveDriver);
    const auto run = ChromiumOnTheExample(dir, "https://localhost:$port/live-driver.html", "\"GET /seen/done\"");
    const std::string out = host_shell::ReadFile(dir.file("out.txt"));
    ASSERT_NE(out.find("\"GET /seen/done\""), std::string::npos)
        << out << host_shell::ReadFile(dir.file("err.txt")) << "\n--- chromium:\n"
        << host_shell::ReadFile(dir.file("chromium.txt")) << run.output;
    EXPECT_NE(out.find("\"GET /seen/echo/echo%20from%20Mozilla%2F5.0\""), std::string::npos) << out;
    EXPECT_NE(out.find("\"GET /seen/counter/1\""), std::string::npos) << out;
    EXPECT_NE(out.find("\"GET /seen/times/2\""), std::string::npos) << out;
    EXPECT_NE(out.find("\"GET /ws/echo\" --> 101 "), std::string::npos) << out;
}

// Opens an EventSource on /events/resume and lists the events' data as they
// come; the page's own changes drive it, and closing the source at the end
// lets the virtual time run out.
constexpr const char* kResumeDriver = R"(<!DOCTYPE html>
<html><head><title>resume driver</title></head>
<body data-state="loading" data-errors="0">
<script>
var source = new EventSource('/events/resume');
var got = [];
var errors = 0;
source.onmessage = function (event) {
  got.push(event.data);
  document.body.setAttribute('data-events', got.join(','));
  if (got.length < 9) return;
  source.close();
  document.body.setAttribute('data-state', 'done');
};
source.onerror = function () { document.body.setAttribute('data-errors', String(++errors)); };
</script>
</body></html>
)";

// The test's server ends the stream after every third event; the browser
// reconnects by itself with the last id it saw, and the host resumes after
// it: nine events in order, none missing or repeated, over three streams.
TEST(EventSourceInChromium, AClosedStreamIsResumedFromTheLastEventId) {
    if (Directory::Run(std::string("test -x ") + kChromium) != 0) {
        GTEST_SKIP() << "chromium is not installed (apt-get install -y chromium)";
    }
    Directory dir;
    ASSERT_TRUE(dir.ok);
    host_shell::WriteFile(dir.file("htmlroot/resume.html"), kResumeDriver);
    velko::ServerOptions options;
    options.certificate = dir.file("cacert.pem");
    options.key = dir.file("privkey.pem");
    options.documentRoot = dir.file("htmlroot");
    options.accessLog = velko::AccessLog::nowhere();
    velko::Server server(options);

    std::mutex lock;
    std::vector<std::string> resumedFrom;  // each stream's Last-Event-ID
    velko::EventStreamHandlers handlers;
    handlers.onOpen = [&](const velko::EventStreamPtr& stream) {
        const std::string last = stream->lastEventId();
        {
            std::lock_guard<std::mutex> guard(lock);
            resumedFrom.push_back(last);
        }
        int next = 1;
        if (!last.empty() && last.size() < 4 && last.find_first_not_of("0123456789") == std::string::npos) {
            next = std::stoi(last) + 1;
        }
        const int end = next + 3;
        for (; next < end && next <= 9; ++next) stream->send(std::to_string(next), "", std::to_string(next));
        // The last stream stays open: the page closes it.
        if (next <= 9) stream->close();
    };
    velko::EventStreamOptions streamOptions;
    streamOptions.retry = std::chrono::milliseconds(100);
    server.events("/events/resume", handlers, streamOptions);

    const auto run = Directory::Capture(
        "cd " + Quoted(dir.path) + " && mkdir profile && " + std::string(kChromium) +
            " --headless --no-sandbox --disable-gpu --ignore-certificate-errors --disable-background-networking "
            "--disable-component-update --disable-sync --no-first-run --user-data-dir=profile "
            "--virtual-time-budget=20000 --dump-dom https://localhost:" + std::to_string(server.port()) +
            "/resume.html > dom.html 2> chromium.txt",
        180);
    const std::string dom = host_shell::ReadFile(dir.file("dom.html"));
    ASSERT_NE(dom.find("data-state=\"done\""), std::string::npos)
        << dom << "\n--- chromium:\n" << host_shell::ReadFile(dir.file("chromium.txt")) << run.output;
    EXPECT_NE(dom.find("data-events=\"1,2,3,4,5,6,7,8,9\""), std::string::npos) << dom;
    // Each end of a stream was an error event the browser recovered from.
    EXPECT_NE(dom.find("data-errors=\"2\""), std::string::npos) << dom;
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(resumedFrom, (std::vector<std::string>{"", "3", "6"}));
}

}  // namespace
