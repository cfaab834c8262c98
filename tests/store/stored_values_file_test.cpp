#include "store/stored_values_file.h"

#include <gtest/gtest.h>

#include <string>

#include "foundation/exception.h"
#include "test_files.h"

namespace {

using velko::store::loadStoredValues;
using velko::store::saveStoredValues;
using velko::store::StoredValues;

TEST(StoredValuesFile, RoundTripKeepsEveryText) {
    ScratchDirectory dir;
    ASSERT_TRUE(dir.ok());
    const std::string path = dir.file("values.xml");
    const StoredValues values = {{"counter", "3"},
                                 {"markup", "<b class=\"x\">'a' & b</b>"},
                                 {"lines", "one\r\ntwo\tthree"},
                                 {"empty", ""},
                                 {"name with \"quotes\"", "\xc3\xa4 [[x]]"}};
    {
        KoPersistentAppStorage store;
        store.selectApplication("velkotwodll");
        saveStoredValues(store, path, "velkotwodll", values);
    }
    const std::string text = readWholeFile(path);
    EXPECT_EQ(text.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<velko>\n<velkotwodll>\n<options>\n", 0), 0u)
        << text;
    EXPECT_NE(text.find("<option name=\"counter\" value=\"3\" />"), std::string::npos) << text;
    EXPECT_NE(text.find("value=\"&lt;b class=&quot;x&quot;&gt;&#39;a&#39; &amp; b&lt;/b&gt;\""), std::string::npos)
        << text;

    KoPersistentAppStorage store;
    StoredValues loaded;
    ASSERT_TRUE(loadStoredValues(store, path, "velkotwodll", loaded));
    EXPECT_EQ(loaded, values);
}

TEST(StoredValuesFile, AHandWrittenFileKeepsWhatIsNotAValue) {
    ScratchDirectory dir;
    ASSERT_TRUE(dir.ok());
    const std::string path = dir.write("app.xml",
                                       "<?xml version=\"1.0\"?>\n<velko>\n  <velkotwodll>\n    <options>\n"
                                       "      <option name=\"title\" value=\"Velko &amp; co\"/>\n"
                                       "      <option value=\"nameless\"/>\n    </options>\n"
                                       "    <projects>\n      <project name=\"demo\" projectpath=\"/x\"/>\n"
                                       "    </projects>\n  </velkotwodll>\n  <other a=\"b\"/>\n</velko>\n");
    KoPersistentAppStorage store;
    StoredValues values;
    ASSERT_TRUE(loadStoredValues(store, path, "velkotwodll", values));
    EXPECT_EQ(values, (StoredValues{{"title", "Velko & co"}}));
    values["added"] = "1";
    saveStoredValues(store, path, "velkotwodll", values);
    const std::string text = readWholeFile(path);
    EXPECT_NE(text.find("<project name=\"demo\" projectpath=\"/x\""), std::string::npos) << text;
    EXPECT_NE(text.find("<other a=\"b\""), std::string::npos) << text;
    EXPECT_EQ(text.find("nameless"), std::string::npos) << text;

    KoPersistentAppStorage again;
    StoredValues reread;
    ASSERT_TRUE(loadStoredValues(again, path, "velkotwodll", reread));
    EXPECT_EQ(reread, (StoredValues{{"added", "1"}, {"title", "Velko & co"}}));
}

TEST(StoredValuesFile, MissingFileLoadsNothingAndBadFilesThrow) {
    ScratchDirectory dir;
    ASSERT_TRUE(dir.ok());
    KoPersistentAppStorage store;
    StoredValues values{{"kept", "1"}};
    EXPECT_FALSE(loadStoredValues(store, dir.file("none.xml"), "velkotwodll", values));
    EXPECT_EQ(values.size(), 1u);

    const std::string broken = dir.write("broken.xml", "<velko><velkotwodll>");
    EXPECT_THROW(loadStoredValues(store, broken, "velkotwodll", values), KoException);
    const std::string noBase = dir.write("nobase.xml", "<settings/>");
    try {
        KoPersistentAppStorage other;
        loadStoredValues(other, noBase, "velkotwodll", values);
        ADD_FAILURE() << "no exception";
    } catch (const KoException& error) {
        EXPECT_STREQ(error.what(), "could not read the application config base 'velko'");
    }
}

// A save that cannot write leaves the previous file as it was.
TEST(StoredValuesFile, FailedSaveKeepsThePreviousFile) {
    ScratchDirectory dir;
    ASSERT_TRUE(dir.ok());
    KoPersistentAppStorage store;
    store.selectApplication("velkotwodll");
    EXPECT_THROW(saveStoredValues(store, dir.file("missing/values.xml"), "velkotwodll", {{"a", "1"}}), KoException);
    const std::string path = dir.file("values.xml");
    saveStoredValues(store, path, "velkotwodll", {{"a", "1"}});
    const std::string before = readWholeFile(path);
    platform::createDirectory(path + ".new");  // the temporary file cannot be made
    platform::createDirectory(path + ".new/x");
    EXPECT_THROW(saveStoredValues(store, path, "velkotwodll", {{"a", "2"}}), KoException);
    EXPECT_EQ(readWholeFile(path), before);
}

}  // namespace
