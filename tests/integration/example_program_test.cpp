// The example host program driven as a user would: started in a directory
// with a certificate, a key and the sample site, its port read from its
// output, a page fetched over HTTPS, then a number typed to stop it.
#include <gtest/gtest.h>

#include <string>

#include "tls_site.h"

namespace {

#ifdef VELKO_EXAMPLE_PROGRAM
constexpr const char* kExample = VELKO_EXAMPLE_PROGRAM;
#else
constexpr const char* kExample = "";
#endif

// Runs the program in dir with its input on a pipe that the script keeps
// open until it has fetched the start page; then types `typed`.
std::string DriveScript(const std::string& dir, const std::string& typed) {
    const std::string q = tls_site::Quoted(dir);
    return "cd " + q + " || exit 90\n"
           "mkfifo input || exit 91\n" +
           tls_site::Quoted(kExample) + " < input > out.txt 2> err.txt &\n"
           "pid=$!\n"
           "exec 4> input\n"
           "i=0\n"
           "while ! grep -q 'connected at port: ' out.txt && kill -0 $pid 2>/dev/null && [ $i -lt 300 ]; do\n"
           "  sleep 0.05; i=$((i+1))\n"
           "done\n"
           "port=$(sed -n 's/^connected at port: \\([0-9][0-9]*\\)$/\\1/p' out.txt)\n"
           "[ -n \"$port\" ] && curl -s --http1.1 --max-time 20 --cacert cacert.pem -o page.html https://localhost:$port/\n"
           "printf '%s\\n' " + tls_site::Quoted(typed) + " >&4\n"
           "exec 4>&-\n"
           "wait $pid\n"
           "echo $? > status.txt\n";
}

class ExampleProgram : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::string(kExample).empty()) GTEST_SKIP() << "the example program is not part of this build";
        if (!site.ok) GTEST_SKIP() << "no certificate (openssl command) or no sample site";
    }
    std::string File(const std::string& name) { return tls_test::readFile(site.directory + "/" + name); }

    tls_site::Site site;
};

}  // namespace

TEST_F(ExampleProgram, PrintsItsPortServesTheSiteAndStopsOnANumber) {
    const auto run = tls_site::Shell(DriveScript(site.directory, "42"));
    ASSERT_TRUE(run.ok) << run.output;
    const std::string out = File("out.txt");
    ASSERT_EQ(out.rfind("connected at port: ", 0), 0u) << out;
    const auto lineEnd = out.find('\n');
    const std::string port = out.substr(19, lineEnd - 19);
    EXPECT_GT(std::stoi(port), 0);
    EXPECT_NE(out.find("\nenter an integer (+<CR>) to terminate the example program: "), std::string::npos);
    // The access log of the fetch shares the output.
    EXPECT_NE(out.find(" - HTTPS - "), std::string::npos) << out;
    EXPECT_NE(out.find("\"GET /\" --> 200"), std::string::npos) << out;
    EXPECT_EQ(File("page.html"), tls_test::readFile(site.htmlroot + "index.html"));
    EXPECT_EQ(File("status.txt"), "0\n");
}

TEST_F(ExampleProgram, ANonNumberStopsItToo) {
    const auto run = tls_site::Shell(DriveScript(site.directory, "stop"));
    ASSERT_TRUE(run.ok) << run.output;
    EXPECT_EQ(File("status.txt"), "0\n");
}

// Started without its key files the program aborted on the uncaught
// KoException_SSL ("terminate called ...", status 134).
TEST_F(ExampleProgram, WithoutTheKeyFilesItEndsWithTheTlsError) {
    platform::removeTree(site.key);
    const auto run = tls_site::Shell("cd " + tls_site::Quoted(site.directory) + " && " + tls_site::Quoted(kExample) +
                                     " < /dev/null > out.txt 2> err.txt; echo $? > status.txt");
    ASSERT_TRUE(run.ok) << run.output;
    EXPECT_EQ(File("status.txt"), "1\n");
    const std::string err = File("err.txt");
    EXPECT_NE(err.find("velkotwodll_ssl_example: cannot start the server: (SSL) problem with SSL key pair\n"),
              std::string::npos)
        << err;
    // The cause, for whoever reads standard error.
    EXPECT_NE(err.find("cannot read the private key file ./privkey.pem: No such file or directory"),
              std::string::npos)
        << err;
    EXPECT_EQ(err.find("terminate called"), std::string::npos) << err;
    EXPECT_EQ(File("out.txt").find("connected at port: "), std::string::npos);
}
