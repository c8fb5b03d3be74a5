#include <gtest/gtest.h>

#include "plugin/host/FilterTerm.h"

TEST(FilterTerm, WildcardsClassesAndCase) {
    struct Case {
        const char* pattern;
        const char* text;
        int caseState;
        bool match;
    } cases[] = {
        {"web-*", "web-1-data", 0, true},
        {"web-*", "db-1", 0, false},
        {"*-data", "web-1-data", 0, true},
        {"*", "", 0, true},
        {"d?sk", "disk", 0, true},
        {"d?sk", "dsk", 0, false},
        {"disk[0-9]", "disk7", 0, true},
        {"disk[!0-9]", "disk7", 0, false},
        {"disk[^0-9]", "diskx", 0, true},
        {"[abc]*", "b-disk", 0, true},
        {"WEB-*", "web-1", 0, false},
        {"WEB-*", "web-1", 1, true},
        {"[A-C]x", "bx", 1, true},
        {"disk[", "disk[", 0, true},
        {"a*b*c", "aXbYc", 0, true},
        {"a*b*c", "aXbY", 0, false},
        {"", "", 0, true},
        {"", "x", 0, false},
    };
    for (const auto& c : cases) {
        CFilterTerm t(c.pattern, c.caseState);
        EXPECT_EQ(t.Match(c.text), c.match) << c.pattern << " vs " << c.text;
    }
}

TEST(FilterTerm, OptionsAndHostileInput) {
    CFilterTerm t{BFilterTermOptions(BFilterTermOptions::FILTER_CASE_STATE)};
    EXPECT_EQ(t.LoadRaw("Boot-*"), 0);
    EXPECT_TRUE(t.Matches("BOOT-disk"));
    // Many stars against a long non-matching text must finish quickly.
    CFilterTerm stars(std::string(64, '*') + "x", 0);
    EXPECT_FALSE(stars.Match(std::string(20000, 'a')));
}
