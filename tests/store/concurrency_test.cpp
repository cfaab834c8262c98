#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "store/persistent_app_storage.h"
#include "store/xml_database.h"

TEST(KoXMLDatabase, LockedOperationsFromSeveralThreads) {
    KoXMLDatabase db("velko");
    constexpr int kThreads = 4;
    constexpr int kRounds = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&db, t] {
            const std::string own = "t" + std::to_string(t) + ".v";
            for (int i = 0; i < kRounds; ++i) {
                db.setValueLocked(own, std::to_string(i));
                db.getOrInitValue("shared.first", "t" + std::to_string(t));
                KoXMLGenericElementList list;
                db.findAllNamed("shared", list);
                EXPECT_EQ(list.size(), 1u);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(db.getValueLocked("t" + std::to_string(t) + ".v", ""),
                  std::to_string(kRounds - 1));
    }
    // Exactly one thread's default won, and it stayed.
    const std::string first = db.getValueLocked("shared.first", "");
    EXPECT_EQ(first.size(), 2u);
    EXPECT_EQ(first[0], 't');
}

TEST(KoPersistentAppStorage, TemplatesAndVariablesFromSeveralThreads) {
    KoPersistentAppStorage store;
    store.selectApplication("app");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&store, t] {
            const std::string name = "v" + std::to_string(t);
            for (int i = 0; i < 300; ++i) {
                store.setTemplateValue(name, std::to_string(i));
                store.setVariables({{name, std::to_string(i)}});
                std::string text = "[[" + name + "]]";
                store.expandTemplate(text, "");
                EXPECT_EQ(text, std::to_string(i));
                (void)store.variableNumber(name);
                (void)store.variableMap();
            }
            store.removeTemplateValue(name);
        });
    }
    for (auto& thread : threads) thread.join();
    std::string text = "[[v0]][[v3]]";
    store.expandTemplate(text, "");
    EXPECT_EQ(text, "");
}
