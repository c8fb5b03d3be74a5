// The list filter grammar and the partial-response selector, called directly
// (no HTTP): one table per operator family.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "ApiError.h"
#include "Listing.h"

namespace {

using gce::emu::ApiError;
using gce::emu::matchesFilter;
using gce::emu::selectFields;
using nlohmann::json;

// A disk as Compute returns it: int64 values as strings, labels, a list of
// users and a boolean.
const json& disk() {
    static const json d = json::parse(R"({
        "name": "web-1-data", "id": "1734503000000039595", "sizeGb": "50", "status": "READY",
        "type": "https://www.googleapis.com/compute/v1/projects/p/zones/z/diskTypes/pd-ssd",
        "creationTimestamp": "2024-05-01T10:00:00.000-07:00",
        "labels": {"tier": "data", "env": "prod"},
        "users": ["https://www.googleapis.com/compute/v1/projects/p/zones/z/instances/web-1"],
        "guestOsFeatures": [{"type": "UEFI_COMPATIBLE"}, {"type": "GVNIC"}],
        "physicalBlockSizeBytes": 4096, "satisfiesPzs": false})");
    return d;
}

struct Case {
    const char* filter;
    bool match;
};

void expectTable(const std::vector<Case>& table) {
    for (const auto& c : table) {
        EXPECT_EQ(matchesFilter(disk(), c.filter), c.match) << c.filter;
    }
}

TEST(FilterGrammar, EqualityAndInequality) {
    expectTable({
        {"name = web-1-data", true},
        {"name = \"web-1-data\"", true},
        {"name = 'web-1'", false},
        {"name = web-*", true},  // '*' is a wildcard in '='
        {"name = *-logs", false},
        {"name != web-1-data", false},
        {"name != spare-1", true},
        {"sizeGb = 50", true},  // int64 as a string
        {"physicalBlockSizeBytes = 4096", true},
        {"physicalBlockSizeBytes = 4096.0", true},
        {"satisfiesPzs = false", true},
        {"satisfiesPzs = FALSE", true},
        {"satisfiesPzs = true", false},
        {"labels.tier = data", true},
        {"labels.owner = x", false},             // absent field: no match ...
        {"labels.owner != x", true},             // ... so '!=' holds
        {"guestOsFeatures.type = GVNIC", true},  // any element of a list
        {"guestOsFeatures.type = SEV_CAPABLE", false},
    });
}

TEST(FilterGrammar, Ordering) {
    expectTable({
        {"sizeGb > 20", true},
        {"sizeGb > 100", false},
        {"sizeGb >= 50", true},
        {"sizeGb <= 50", true},
        {"sizeGb < 50", false},
        {"sizeGb > 9", true},  // numeric, not text ("50" < "9" as text)
        {"id > 1734503000000039594", true},
        {"physicalBlockSizeBytes < 8192", true},
        {"creationTimestamp > \"2024-01-01T00:00:00Z\"", true},  // RFC 3339 orders as text
        {"creationTimestamp < \"2024-01-01T00:00:00Z\"", false},
        {"name >= web", true},
        {"name < a", false},
        {"labels.owner > a", false},
    });
}

TEST(FilterGrammar, Has) {
    expectTable({
        {"name:data", true},  // substring of a string
        {"name:logs", false},
        {"labels.tier:*", true},  // presence
        {"labels.owner:*", false},
        {"labels:env", true},  // key of a map
        {"labels:owner", false},
        {"users:instances/web-1", true},  // element of a list
        {"sizeGb:50", true},
        {"physicalBlockSizeBytes:4096", true},  // non-strings: as '='
        {"physicalBlockSizeBytes:409", false},
    });
}

TEST(FilterGrammar, BooleanOperators) {
    expectTable({
        {"(name = web-1-data) OR (name = spare-1)", true},
        {"(name = web-1) OR (name = spare-1)", false},
        {"name = spare-1 OR name = web-1-data", true},
        {"(name = web-1-data) AND (status = READY)", true},
        {"(name = web-1-data) AND (status = FAILED)", false},
        {"(name = web-1-data) (status = FAILED)", false},  // blank: AND
        {"name = web-1-data status = READY", true},
        {"NOT name = spare-1", true},
        {"NOT (name = web-1-data)", false},
        {"-name = web-1-data", false},
        {"-labels.owner:*", true},
        // OR binds tighter than AND: (spare OR web-1-data) AND READY
        {"name = spare-1 OR name = web-1-data AND status = READY", true},
        {"name = web-1-data OR name = spare-1 AND status = FAILED", false},
        {"((name = x) OR ((labels.env = prod) AND NOT (sizeGb < 10)))", true},
    });
}

TEST(FilterGrammar, RegularExpressionForm) {
    expectTable({
        {"name eq web-1.*", true},
        {"name eq 'web-1-.*'", true},
        {"name eq \"web\"", false},  // the whole value must match
        {"name eq '(web-1|web-1-data)'", true},
        {"name ne .*data", false},
        {"name ne .*logs", true},
        {"(name eq web-1.*) (name ne .*logs)", true},
        {"(name eq web-1.*) (name ne .*data)", false},
        {"(labels.tier eq d.t.) (status eq READY)", true},
        {"labels.owner ne x", true},
        {"sizeGb eq 5[0-9]", true},
    });
}

TEST(FilterGrammar, Refusals) {
    for (const char* bad : {
             "name = (",  // unbalanced
             "(name = x",
             "name =",  // no value
             "= x",
             "name ! x",
             "name = x AND",
             "name = x OR OR name = y",
             "(name eq x) (status = READY)",  // the two forms mixed
             "name eq (",                     // bad regular expression
             "na#me = x",
             "\"name = x",
         }) {
        try {
            matchesFilter(disk(), bad);
            ADD_FAILURE() << "accepted: " << bad;
        } catch (const ApiError& e) {
            EXPECT_EQ(e.code(), 400) << bad;
        }
    }
    std::string deep(100, '(');
    deep += "name = x" + std::string(100, ')');
    EXPECT_THROW(matchesFilter(disk(), deep), ApiError);
    EXPECT_TRUE(matchesFilter(disk(), "  "));
}

TEST(PartialResponse, SelectorsKeepOnlyWhatIsNamed) {
    json list = {
        {"kind", "compute#diskList"},
        {"nextPageToken", "t"},
        {"items", {{{"name", "a"}, {"id", "1"}, {"labels", {{"k", "v"}, {"x", "y"}}}}, {{"name", "b"}}}}};
    EXPECT_EQ(selectFields(list, "items(name,id),nextPageToken"),
              json::parse(R"({"items":[{"name":"a","id":"1"},{"name":"b"}],"nextPageToken":"t"})"));
    EXPECT_EQ(selectFields(list, "items/labels/k"), json::parse(R"({"items":[{"labels":{"k":"v"}},{}]})"));
    EXPECT_EQ(selectFields(list, "kind, items/name"),
              json::parse(R"({"kind":"compute#diskList","items":[{"name":"a"},{"name":"b"}]})"));
    EXPECT_EQ(selectFields(list, "*"), list);
    json aggregated = {{"items", {{"zones/a", {{"disks", {{{"name", "d"}, {"id", "2"}}}}}}}}};
    EXPECT_EQ(selectFields(aggregated, "items/*/disks/name"),
              json::parse(R"({"items":{"zones/a":{"disks":[{"name":"d"}]}}})"));
    for (const char* bad : {"items(name", "items()", ",", "items/", "a)b"}) {
        EXPECT_THROW(selectFields(list, bad), ApiError) << bad;
    }
}

}  // namespace
