// Paging and filtering of Compute Engine list calls.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace gce::emu {

struct Call;

// True if item satisfies filter. Supports the regex form ("name eq 'web-.*'",
// "labels.env ne prod") and AIP-160 terms joined by AND ('labels.env = "prod"',
// "labels.owner:*", "status != RUNNING", parenthesised terms). An empty filter
// matches everything. Throws ApiError 400 on a filter it cannot parse.
bool matchesFilter(const nlohmann::json& item, const std::string& filter);

// Offset encoded in a page token; throws ApiError 400 if the token is not one
// this emulator issued.
size_t decodePageToken(const std::string& token);
std::string encodePageToken(size_t offset);

// maxResults of a Compute list call (default 500, allowed 0..500; 0 means 500).
size_t maxResults(const Call& call);

// Builds a Compute list answer for the items (already sorted by name):
// applies filter and orderBy from the query, then the page window.
nlohmann::json listPage(const Call& call, std::vector<nlohmann::json> items, const std::string& kind,
                        const std::string& id, const std::string& selfLink);

}  // namespace gce::emu
