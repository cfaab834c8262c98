#include "message/field_list.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

using Entries = std::vector<std::pair<std::string, std::vector<std::string>>>;

struct Step {
    enum Kind { set, append, appendLower, assign, erase, clear } kind;
    std::string name;
    std::string value;
};

std::string Lowered(std::string text) {
    for (char& c : text) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    return text;
}

// Each step on the list and on the map it replaces: both must agree at
// every step, erase's count included.
void Apply(const std::vector<Step>& steps, KoFieldList& list, std::map<std::string, std::vector<std::string>>& map) {
    for (const Step& step : steps) {
        switch (step.kind) {
        case Step::set:
            list[step.name] = {step.value};
            map[step.name] = {step.value};
            break;
        case Step::append:
            list.append(step.name, step.value);
            map[step.name].push_back(step.value);
            break;
        case Step::appendLower:
            list.append(step.name, step.value, KoFieldList::NameCase::lower);
            map[Lowered(step.name)].push_back(step.value);
            break;
        case Step::assign:
            list.assign(step.name, step.value);
            map[step.name] = {step.value};
            break;
        case Step::erase:
            EXPECT_EQ(list.erase(step.name), map.erase(step.name)) << step.name;
            break;
        case Step::clear:
            list.clear();
            map.clear();
            break;
        }
        EXPECT_EQ(Entries(list.begin(), list.end()), Entries(map.begin(), map.end())) << "after " << step.name;
    }
}

TEST(KoFieldList, ReadsAsTheMapItReplaces) {
    const std::string agent(60, 'u');
    const std::string cookie(300, 'c');
    struct Row {
        const char* what;
        std::vector<Step> steps;
        Entries expected;
        std::vector<std::string> absent;
    };
    const std::vector<Row> table = {
        {"entries come in name order, whatever the order they were made in",
         {{Step::append, "user-agent", agent}, {Step::set, "host", "h"}, {Step::append, ":first:", "GET"},
          {Step::set, "accept", "*/*"}, {Step::append, "content-length", "0"}},
         {{":first:", {"GET"}}, {"accept", {"*/*"}}, {"content-length", {"0"}}, {"host", {"h"}}, {"user-agent", {agent}}},
         {"Host", "hos", "hosts", ""}},
        {"a name given again appends its value; received names are lowered",
         {{Step::appendLower, "Accept", "a"}, {Step::appendLower, "ACCEPT", "b"}, {Step::append, "accept", "c"},
          {Step::appendLower, "X-Long-Field-Name-Here", cookie}},
         {{"accept", {"a", "b", "c"}}, {"x-long-field-name-here", {cookie}}},
         {"Accept", "X-Long-Field-Name-Here"}},
        {"erase takes one entry, and nothing for a name not there",
         {{Step::set, "a", "1"}, {Step::set, "b", "2"}, {Step::set, "c", "3"}, {Step::erase, "b", ""},
          {Step::erase, "b", ""}, {Step::erase, "z", ""}, {Step::erase, "a", ""}, {Step::set, "b", "again"}},
         {{"b", {"again"}}, {"c", {"3"}}},
         {"a"}},
        {"names of one length and first byte are told apart",
         {{Step::set, "if-range", "r"}, {Step::set, "if-match", "m"}, {Step::set, "if-mbtch", "x"},
          {Step::erase, "if-mbtch", ""}, {Step::set, "x-a", "1"}, {Step::set, "x-b", "2"}},
         {{"if-match", {"m"}}, {"if-range", {"r"}}, {"x-a", {"1"}}, {"x-b", {"2"}}},
         {"if-mbtch", "if-rang", "if-rangf", "x-c", "y-a"}},
        {"names that share their first eight bytes, or begin one another, keep byte order",
         {{Step::set, "content-type", "t"}, {Step::set, "content-length", "1"}, {Step::set, "content", "c"},
          {Step::set, "content-", "d"}, {Step::assign, "content-coding", "gzip"}, {Step::set, "content-\xe9", "e"},
          {Step::set, std::string("content\0", 8), "n"}, {Step::set, "contenu", "u"}},
         {{"content", {"c"}}, {std::string("content\0", 8), {"n"}}, {"content-", {"d"}},
          {"content-coding", {"gzip"}}, {"content-length", {"1"}}, {"content-type", {"t"}},
          {"content-\xe9", {"e"}}, {"contenu", {"u"}}},
         {"conten", "content-typ", "content-types", "content-lengtH", std::string("content\0\0", 9), "content-\xe8"}},
        {"assign leaves one value, whatever the name held",
         {{Step::append, "etag", cookie}, {Step::append, "etag", "b"}, {Step::assign, "etag", agent},
          {Step::assign, "vary", "Accept-Encoding"}, {Step::assign, "vary", cookie}},
         {{"etag", {agent}}, {"vary", {cookie}}},
         {"e", "var"}},
        {"a list cleared holds nothing of what it held",
         {{Step::append, "cookie", cookie}, {Step::append, "user-agent", agent}, {Step::set, "host", "old"},
          {Step::clear, "", ""}, {Step::set, "host", "new"}, {Step::append, "etag", "\"e\""}},
         {{"etag", {"\"e\""}}, {"host", {"new"}}},
         {"cookie", "user-agent"}},
    };
    for (const Row& row : table) {
        SCOPED_TRACE(row.what);
        KoFieldList list;
        std::map<std::string, std::vector<std::string>> map;
        Apply(row.steps, list, map);
        EXPECT_EQ(Entries(list.begin(), list.end()), row.expected);
        EXPECT_EQ(list.size(), row.expected.size());
        for (const auto& [name, values] : row.expected) {
            const auto found = std::as_const(list).find(name);
            ASSERT_NE(found, list.cend()) << name;
            EXPECT_EQ(found->second, values) << name;
            EXPECT_EQ(list.count(name), 1u) << name;
        }
        for (const std::string& name : row.absent) {
            EXPECT_EQ(list.find(name), list.end()) << name;
            EXPECT_EQ(list.count(name), 0u) << name;
        }

        // An entry made in front of the others moves none of them.
        std::vector<const std::vector<std::string>*> places;
        for (const auto& [name, values] : row.expected) places.push_back(&list.find(name)->second);
        list["0-first"].push_back("x");
        for (std::size_t i = 0; i < places.size(); ++i) {
            EXPECT_EQ(places[i], &list.find(row.expected[i].first)->second) << row.expected[i].first;
        }
        EXPECT_EQ(list.erase("0-first"), 1u);

        // Cleared and made again, the list gives the same fields; from the
        // second time on it needs no more nodes or room: the nodes and
        // value strings it kept serve.
        std::size_t nodes = 0;
        std::size_t room = 0;
        for (int again = 0; again < 2; ++again) {
            list.clear();
            EXPECT_TRUE(list.empty());
            map.clear();
            Apply(row.steps, list, map);
            EXPECT_EQ(Entries(list.begin(), list.end()), row.expected);
            if (again == 1) {
                EXPECT_EQ(list.nodes(), nodes);
                EXPECT_EQ(list.room(), room);
            }
            nodes = list.nodes();
            room = list.room();
        }

        // A copy holds the live entries alone, and equals the list.
        const KoFieldList copy = list;
        EXPECT_EQ(copy, list);
        EXPECT_EQ(copy.nodes(), list.size());
    }
}

}  // namespace
