// Paging and filtering of Compute Engine list calls.
#pragma once

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace gce::emu {

struct Call;

// A parsed list filter, in either of the two forms Compute accepts:
// - the regular-expression form: "field eq literal" or "field ne literal"
//   (the literal quoted or not, a regular expression that must match the
//   whole value), alone or as several parenthesised terms that must all hold:
//   "(name eq web-1.*) (name ne .*logs)";
// - AIP-160: restrictions "field OP value" with OP one of = != < <= > >= :,
//   combined with AND, OR (binds tighter than AND), NOT or a leading '-',
//   blanks (AND) and parentheses. ':' matches substrings of strings, keys of
//   maps and elements of lists; "field:*" tests presence; '*' in an '='
//   value is a wildcard; < > <= >= compare numbers (int64 strings included)
//   numerically and everything else as text.
// Dotted field paths reach into objects; a list on the way matches when any
// element does. The two forms cannot be mixed. An empty filter matches
// everything.
class Filter {
  public:
    Filter();
    ~Filter();
    Filter(Filter&&) noexcept;
    Filter& operator=(Filter&&) noexcept;

    // Throws ApiError 400 on a filter it cannot parse.
    static Filter parse(const std::string& text);
    bool matches(const nlohmann::json& item) const;

    struct Node;

  private:
    static bool eval(const Node& n, const nlohmann::json& item);
    std::unique_ptr<Node> root_;
};

// True if item satisfies filter (parses it each time; see Filter).
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

// The partial response a `fields` selector asks for: "items(name,id),nextPageToken",
// "items/name", "*" (FieldMask-like syntax: ',' between selections, '/' into a
// sub-field, '(...)' for several sub-fields, '*' for every field). Selections
// apply to each element of a list. Throws ApiError 400 on a malformed selector.
nlohmann::json selectFields(const nlohmann::json& value, const std::string& selector);

}  // namespace gce::emu
