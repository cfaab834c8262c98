// End to end over loopback: what passes between a client and a CGI program
// or a PHP page. The server frames every answer itself, refuses script
// output it cannot pass on soundly, and hands header values to scripts and
// the log as the client sent them.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <tuple>

#include "site_fixture.h"

namespace {

using namespace site_fixture;

class ScriptExchange : public SiteServer {};

// Counts the header lines of an answer's head that start with name.
int CountFields(const std::string& head, const std::string& name) {
    int count = 0;
    for (std::size_t at = head.find("\r\n" + name + ":"); at != std::string::npos;
         at = head.find("\r\n" + name + ":", at + 1)) {
        ++count;
    }
    return count;
}

// A script that printed "Transfer-Encoding: chunked" got it on the wire
// beside the server's Content-Length: two framings of one answer.
TEST_F(ScriptExchange, ServerOwnsTheFramingOfScriptAnswers) {
    WriteFile(root + "cgi-bin/framing.sh",
              PrintingScript("Content-Type: text/plain\r\nTransfer-Encoding: chunked\r\nContent-Length: 1000\r\n"
                             "Connection: close\r\nKeep-Alive: timeout=5\r\nUpgrade: h2c\r\nTrailer: X-T\r\n"
                             "TE: trailers\r\nProxy-Connection: keep-alive\r\nX-Kept: yes\r\n\r\n4\r\nbody\r\n0\r\n\r\n"),
              true);
    Start();
    RawHttpClient client(port);
    ASSERT_TRUE(client.connected());
    client.send("GET /cgi-bin/framing.sh HTTP/1.1\r\nHost: localhost\r\n\r\n");
    const std::string answer = client.takeAnswer(milliseconds(5000));
    const std::string head = HeadOf(answer);
    EXPECT_EQ(StatusLineOf(answer), "HTTP/1.1 200 OK") << answer;
    EXPECT_EQ(CountFields(head, "Content-Length"), 1) << head;
    for (const char* dropped : {"Transfer-Encoding", "Connection", "Keep-Alive", "Upgrade", "Trailer", "TE",
                                "Proxy-Connection"}) {
        EXPECT_EQ(CountFields(head, dropped), 0) << dropped << " in\n" << head;
    }
    EXPECT_EQ(CountFields(head, "X-Kept"), 1) << head;
    EXPECT_EQ(BodyOf(answer), "4\r\nbody\r\n0\r\n\r\n");
    // The script's "Connection: close" does not end the connection.
    client.send("GET /cgi-bin/framing.sh HTTP/1.1\r\nHost: localhost\r\n\r\n");
    EXPECT_EQ(StatusLineOf(client.takeAnswer(milliseconds(5000))), "HTTP/1.1 200 OK");
    EXPECT_FALSE(client.closed());

    const auto curl = Curl({"-o", "/dev/null", "-w", "%{http_code}", base + "/cgi-bin/framing.sh"});
    EXPECT_EQ(curl.exitCode, 0);
    EXPECT_EQ(curl.output, "200");
}

// Output without the blank line that ends the header block was sent as a
// 200 whose body was the script's header lines; header lines that are no
// "name: value" went to the client as they were.
TEST_F(ScriptExchange, MalformedScriptOutputIsABadGateway) {
    const struct {
        const char* name;
        std::string output;
    } rows[] = {
        {"no_blank_line.sh", "Content-Type: text/plain\r\nX-A: b\r\n"},
        {"no_header.sh", "just some text\n"},
        {"nothing.sh", ""},
        {"blank_in_name.sh", "Content Type: text/plain\r\n\r\nbody"},
        {"no_colon.sh", "Content-Type: text/plain\r\nnot a field\r\n\r\nbody"},
        {"cr_in_value.sh", "Content-Type: text/plain\r\nX-A: a\rSet-Cookie: b\r\n\r\nbody"},
        {"folded.sh", "Content-Type: text/plain\r\n  folded\r\n\r\nbody"},
        {"bad_status.sh", "Status: abc\r\nContent-Type: text/plain\r\n\r\nbody"},
    };
    for (const auto& row : rows) WriteFile(root + "cgi-bin/" + row.name, PrintingScript(row.output), true);
    Start();
    for (const auto& row : rows) {
        testing::internal::CaptureStderr();
        const std::string answer = Get(std::string("/cgi-bin/") + row.name);
        const std::string errors = testing::internal::GetCapturedStderr();
        EXPECT_EQ(StatusLineOf(answer), "HTTP/1.1 502 Server Error") << row.name << ":\n" << answer;
        EXPECT_EQ(answer.find("Content-Type: text/plain"), std::string::npos) << row.name;
        EXPECT_NE(errors.find(row.name), std::string::npos) << row.name << ": " << errors;
    }
}

// The header parser dropped every blank inside a field value: Basic
// authentication no longer decoded, cookies and user agents were changed,
// and the log showed them so.
TEST_F(ScriptExchange, HeaderValuesReachScriptsAndTheLogAsSent) {
    WriteFile(root + "cgi-bin/env.sh",
              "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\n'\n"
              "printf '%s|%s|%s|%s\\n' \"$HTTP_AUTHORIZATION\" \"$HTTP_COOKIE\" \"$HTTP_USER_AGENT\" "
              "\"$HTTP_IF_MODIFIED_SINCE\"\n",
              true);
    WriteFile(root + "auth.php",
              "<?php echo ($_SERVER['PHP_AUTH_USER'] ?? '-'), '|', ($_SERVER['PHP_AUTH_PW'] ?? '-'), '|',"
              " ($_COOKIE['b'] ?? '-'), '|', ($_SERVER['HTTP_USER_AGENT'] ?? '-');");
    Start();
    const std::string fields =
        "Authorization: Basic dXNlcjpwYXNz\r\n"
        "Cookie: a=1; b=two words\r\n"
        "User-Agent:   Mozilla/5.0 (X11; Linux)\t \r\n"
        "If-Modified-Since: Wed, 21 Oct 2015 07:28:00 GMT\r\n";

    testing::internal::CaptureStdout();
    RawHttpClient client(port);
    ASSERT_TRUE(client.connected());
    client.send("GET /cgi-bin/env.sh HTTP/1.1\r\nHost: localhost\r\n" + fields + "\r\n");
    const std::string cgi = client.takeAnswer(milliseconds(5000));
    client.send("GET /auth.php HTTP/1.1\r\nHost: localhost\r\n" + fields + "\r\n");
    const std::string php = client.takeAnswer(milliseconds(8000));
    // The second answer is written after the first one's log line.
    const std::string log = testing::internal::GetCapturedStdout();

    EXPECT_EQ(BodyOf(cgi),
              "Basic dXNlcjpwYXNz|a=1; b=two words|Mozilla/5.0 (X11; Linux)|Wed, 21 Oct 2015 07:28:00 GMT\n");
    EXPECT_EQ(BodyOf(php), "user|pass|two words|Mozilla/5.0 (X11; Linux)");
    EXPECT_NE(log.find("\"GET /cgi-bin/env.sh\" --> 200 "), std::string::npos) << log;
    EXPECT_NE(log.find("\"Mozilla/5.0 (X11; Linux)\""), std::string::npos) << log;
}

// HEAD of a PHP script said "Content-Length: 0" while its GET sent ten bytes
// (php-cgi writes no body for HEAD): the HEAD names no length at all.
TEST_F(ScriptExchange, HeadOfAPhpScriptNamesNoLength) {
    WriteFile(root + "ten.php", "<?php echo '0123456789';");
    Start();
    const std::string get = Get("/ten.php");
    EXPECT_NE(HeadOf(get).find("Content-Length: 10\r\n"), std::string::npos) << get;
    const std::string head = Exchange("HEAD /ten.php HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(StatusLineOf(head), "HTTP/1.1 200 OK");
    EXPECT_EQ(HeadOf(head).find("Content-Length"), std::string::npos) << head;
}

// A client that closed right after asking for a slow script left its run
// going: with one place for CGI runs (one php-cgi), the next request waited
// for the abandoned run to end by itself or by its time limit. The run is
// ended (its process killed) once its client is seen gone.
TEST_F(ScriptExchange, RunOfAClientThatClosedIsEndedAndTheNextIsServed) {
    WriteFile(root + "cgi-bin/slow.sh", "#!/bin/sh\necho $$ > " + top + "slow.pid\nexec sleep 30\n", true);
    WriteFile(root + "cgi-bin/hello.sh", "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\nhello'\n", true);
    WriteFile(root + "slow.php", "<?php file_put_contents('" + top + "php.pid', getmypid()); sleep(30);");
    WriteFile(root + "hello.php", "<?php echo 'hello';");
    Start([](KoApplicationSettings& settings) {
        settings.http.cgiConcurrency = 1;
        settings.http.php.processes = 1;
        settings.http.clientCheck = milliseconds(50);
        settings.http.cgiTimeout = milliseconds(20000);
    });
    for (const auto& [slow, pidFile, next] : {std::tuple{"/cgi-bin/slow.sh", "slow.pid", "/cgi-bin/hello.sh"},
                                              std::tuple{"/slow.php", "php.pid", "/hello.php"}}) {
        std::string pid;
        {
            RawHttpClient gone(port);
            ASSERT_TRUE(gone.send(std::string("GET ") + slow + " HTTP/1.1\r\nHost: localhost\r\n\r\n"));
            for (int i = 0; i < 500 && pid.empty(); ++i) {
                std::this_thread::sleep_for(milliseconds(10));
                std::ifstream(top + pidFile) >> pid;
            }
            ASSERT_FALSE(pid.empty()) << slow;
        }
        EXPECT_EQ(BodyOf(Get(next)), "hello") << slow;
        EXPECT_FALSE(std::filesystem::exists("/proc/" + pid)) << slow;
    }
}


}  // namespace
