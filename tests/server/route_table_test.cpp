#include "server/routing/route_table.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "foundation/exception.h"

namespace {

class Named : public KoApplicationHandler {
public:
    explicit Named(std::string name_) : name(std::move(name_)) {}
    std::string handlerName() const override { return name; }
    void message(KoXHeader&, KoXResponseHeader&, const std::string&) override {}
    std::string name;
};

struct Route {
    const char* method;
    const char* pattern;
};

struct Lookup {
    const char* method;
    const char* path;
    const char* expected;  // the route's "method pattern", or "" for none
};

KoRouteTable Table(const std::vector<Route>& routes) {
    KoRouteTable table;
    for (const Route& route : routes) {
        table.add(route.method, route.pattern, std::make_shared<Named>(std::string(route.method) + " " + route.pattern));
    }
    return table;
}

void Check(const KoRouteTable& table, const std::vector<Lookup>& lookups) {
    for (const Lookup& lookup : lookups) {
        auto found = table.find(lookup.method, lookup.path);
        const std::string name = found ? found->handlerName() : "";
        EXPECT_EQ(name, lookup.expected) << lookup.method << " " << lookup.path;
    }
}

TEST(KoRouteTable, ExactPathsAndPrefixes) {
    const KoRouteTable table = Table({{"GET", "/status"}, {"GET", "/api/*"}, {"GET", "/api/v2/*"}, {"GET", "/api/v2/ping"}});
    Check(table, {
        {"GET", "/status", "GET /status"},
        {"GET", "/status/", ""},           // an exact path is not a prefix
        {"GET", "/statusx", ""},
        {"GET", "/api/", "GET /api/*"},
        {"GET", "/api/x/y", "GET /api/*"},
        {"GET", "/api", ""},               // the prefix is "/api/"
        {"GET", "/api/v2/x", "GET /api/v2/*"},  // longest prefix first
        {"GET", "/api/v2/ping", "GET /api/v2/ping"},  // exact before any prefix
        {"GET", "/api/v2/ping/more", "GET /api/v2/*"},
        {"GET", "/other", ""},
    });
}

TEST(KoRouteTable, MethodsMatchExactlyThenAnyThenGetForHead) {
    const KoRouteTable table = Table({{"GET", "/a"}, {"post", "/a"}, {"*", "/b"}, {"POST", "/b"}, {"GET", "/c/*"},
                                      {"*", "/d/*"}, {"POST", "/d/e/*"}});
    Check(table, {
        {"GET", "/a", "GET /a"},
        {"POST", "/a", "post /a"},   // methods compare without regard to case
        {"post", "/a", "post /a"},
        {"HEAD", "/a", "GET /a"},    // HEAD takes the GET route
        {"PUT", "/a", ""},
        {"GET", "/b", "* /b"},
        {"POST", "/b", "POST /b"},   // the own method before "*"
        {"HEAD", "/c/x", "GET /c/*"},
        {"POST", "/c/x", ""},
        // A shorter prefix whose method matches wins over a longer one whose
        // method does not.
        {"GET", "/d/e/f", "* /d/*"},
        {"POST", "/d/e/f", "POST /d/e/*"},
    });
}

TEST(KoRouteTable, ReplacingAndRemoving) {
    KoRouteTable table;
    EXPECT_TRUE(table.empty());
    table.add("GET", "/x", std::make_shared<Named>("first"));
    table.add("GET", "/x", std::make_shared<Named>("second"));
    EXPECT_EQ(table.find("GET", "/x")->handlerName(), "second");
    table.add("get", "/x", nullptr);
    EXPECT_EQ(table.find("GET", "/x"), nullptr);
    EXPECT_TRUE(table.empty());
    table.add("GET", "/p/*", std::make_shared<Named>("p"));
    table.add("GET", "/nothing/*", nullptr);  // removing what is not there
    EXPECT_EQ(table.find("GET", "/p/q")->handlerName(), "p");
}

TEST(KoRouteTable, RefusesPatternsWithoutLeadingSlashOrMethod) {
    KoRouteTable table;
    for (const char* pattern : {"", "status", "*", "api/*"}) {
        EXPECT_THROW(table.add("GET", pattern, std::make_shared<Named>("x")), KoException) << pattern;
    }
    EXPECT_THROW(table.add("", "/x", std::make_shared<Named>("x")), KoException);
    EXPECT_TRUE(table.empty());
}

}  // namespace

TEST(KoRouteTable, ParametersTakeOneSegmentAndLiteralsComeFirst) {
    const KoRouteTable table = Table({{"GET", "/api/items/:id"}, {"GET", "/api/items/new"}, {"PUT", "/api/items/:id"},
                                      {"GET", "/api/:kind/:id/photo"}, {"GET", "/files/:owner/*"}, {"GET", "/api/*"},
                                      {"DELETE", "/api/items/:id"}});
    struct Case {
        const char* method;
        const char* path;
        const char* expected;
        const char* parameters;  // name=value;...
    };
    const Case cases[] = {
        {"GET", "/api/items/7", "GET /api/items/:id", "id=7;"},
        {"PUT", "/api/items/7", "PUT /api/items/:id", "id=7;"},
        {"GET", "/api/items/new", "GET /api/items/new", ""},  // a literal before a parameter
        {"GET", "/api/items/", "GET /api/*", ""},            // a parameter is never empty
        {"GET", "/api/items/7/x", "GET /api/*", ""},
        {"GET", "/api/users/9/photo", "GET /api/:kind/:id/photo", "kind=users;id=9;"},
        {"GET", "/files/ann/a/b.txt", "GET /files/:owner/*", "owner=ann;*=a/b.txt;"},
        {"GET", "/files/ann/", "GET /files/:owner/*", "owner=ann;*=;"},
        {"GET", "/files/ann", "", ""},
        {"HEAD", "/api/items/7", "GET /api/items/:id", "id=7;"},
    };
    for (const Case& c : cases) {
        const auto match = table.match(c.method, c.path);
        EXPECT_EQ(match.handler ? match.handler->handlerName() : "", c.expected) << c.method << " " << c.path;
        std::string parameters;
        for (const auto& [name, value] : match.parameters) parameters += name + "=" + value + ";";
        EXPECT_EQ(parameters, c.parameters) << c.method << " " << c.path;
    }
    EXPECT_THROW(Table({{"GET", "/a/:id*"}}), KoException);
    EXPECT_THROW(Table({{"GET", "/a/:/b"}}), KoException);
}

TEST(KoRouteTable, APathWithRoutesButNotForTheMethodSaysWhichItAllows) {
    const KoRouteTable table = Table({{"GET", "/a"}, {"POST", "/a"}, {"PUT", "/items/:id"}, {"*", "/any"},
                                      {"POST", "/form/*"}});
    const std::pair<const char*, const char*> cases[] = {
        {"/a", "GET HEAD POST "}, {"/items/3", "PUT "}, {"/form/x", "POST "}, {"/nothing", ""},
    };
    for (const auto& [path, allowed] : cases) {
        const auto match = table.match("DELETE", path);
        EXPECT_FALSE(match.handler) << path;
        std::string methods;
        for (const std::string& method : match.allowed) methods += method + " ";
        EXPECT_EQ(methods, allowed) << path;
    }
    EXPECT_TRUE(table.match("DELETE", "/any").handler);
    KoRouteTable removing = Table({{"GET", "/items/:id"}});
    removing.add("GET", "/items/:id", nullptr);
    EXPECT_TRUE(removing.empty());
}

namespace {

TEST(KoRouteTable, ParametersOfAPatternForAPath) {
    const struct {
        const char* pattern;
        const char* path;
        const char* parameters;  // "name=value " each
    } rows[] = {
        {"/items/:id", "/items/7", "id=7 "},
        {"/items/:id/parts/:part", "/items/7/parts/x y", "id=7 part=x y "},
        {"/files/:dir/*", "/files/d/a/b", "dir=d *=a/b "},
        {"/api/*", "/api/x/y", "*=x/y "},
        {"/api/*", "/api/", "*= "},
        {"/pre*", "/prefix", "*=fix "},
        {"/items/:id", "/items/", ""},
        {"/items/:id", "/other/7", ""},
        {"/exact", "/exact", ""},
        {"", "/x", ""},
    };
    for (const auto& row : rows) {
        std::string parameters;
        for (const auto& [name, value] : KoRouteTable::parametersOf(row.pattern, row.path)) {
            parameters += name + "=" + value + " ";
        }
        EXPECT_EQ(parameters, row.parameters) << row.pattern << " " << row.path;
    }
}

}  // namespace
