#include "Listing.h"

#include <algorithm>
#include <regex>

#include "ApiError.h"
#include "Crypto.h"
#include "Emulator.h"

namespace gce::emu {
namespace {

std::string trim(const std::string& s) {
    size_t a = s.find_first_not_of(" \t");
    if (a == std::string::npos) return "";
    size_t b = s.find_last_not_of(" \t");
    return s.substr(a, b - a + 1);
}

std::string unquote(std::string v) {
    v = trim(v);
    if (v.size() >= 2 && ((v.front() == '"' && v.back() == '"') || (v.front() == '\'' && v.back() == '\''))) {
        return v.substr(1, v.size() - 2);
    }
    return v;
}

// Value of a dotted field path as text; found=false if absent.
std::string fieldText(const nlohmann::json& item, const std::string& path, bool& found) {
    const nlohmann::json* cur = &item;
    size_t pos = 0;
    while (pos <= path.size()) {
        auto dot = path.find('.', pos);
        if (dot == std::string::npos) dot = path.size();
        std::string part = path.substr(pos, dot - pos);
        if (!cur->is_object() || !cur->contains(part)) {
            found = false;
            return "";
        }
        cur = &(*cur)[part];
        pos = dot + 1;
    }
    found = true;
    if (cur->is_string()) return cur->get<std::string>();
    return cur->dump();
}

std::regex fullRegex(const std::string& pattern) {
    try {
        return std::regex(pattern);
    } catch (const std::regex_error&) {
        throw invalid("Invalid value for field 'filter': bad regular expression '" + pattern + "'");
    }
}

bool matchTerm(const nlohmann::json& item, std::string term) {
    term = trim(term);
    while (term.size() >= 2 && term.front() == '(' && term.back() == ')')
        term = trim(term.substr(1, term.size() - 2));
    static const std::regex cmp(R"(^([A-Za-z0-9_.\-]+)\s*(!=|=|:)\s*(.*)$)");
    std::smatch m;
    if (!std::regex_match(term, m, cmp)) throw invalid("Invalid value for field 'filter': '" + term + "'");
    bool found = false;
    std::string actual = fieldText(item, m[1], found);
    std::string op = m[2];
    std::string want = unquote(m[3]);
    if (op == ":") {
        if (want == "*") return found;
        return found && actual.find(want) != std::string::npos;
    }
    bool eq = found && actual == want;
    return op == "=" ? eq : !eq;
}

}  // namespace

bool matchesFilter(const nlohmann::json& item, const std::string& filterText) {
    std::string filter = trim(filterText);
    if (filter.empty()) return true;
    static const std::regex regexForm(R"(^([A-Za-z0-9_.\-]+)\s+(eq|ne)\s+(.+)$)");
    std::smatch m;
    if (std::regex_match(filter, m, regexForm)) {
        bool found = false;
        std::string actual = fieldText(item, m[1], found);
        bool hit = found && std::regex_match(actual, fullRegex(unquote(m[3])));
        return m[2] == "eq" ? hit : !hit;
    }
    // AIP-160: terms joined by AND (case-insensitive), or by blanks between
    // parenthesised terms.
    std::string upper = filter;
    std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
    std::vector<std::string> terms;
    size_t start = 0;
    int depth = 0;
    bool quoted = false;
    for (size_t i = 0; i < filter.size(); ++i) {
        char c = filter[i];
        if (c == '"') quoted = !quoted;
        if (quoted) continue;
        if (c == '(') ++depth;
        if (c == ')') --depth;
        if (depth == 0 && upper.compare(i, 5, " AND ") == 0) {
            terms.push_back(filter.substr(start, i - start));
            start = i + 5;
            i += 4;
        } else if (depth == 0 && c == ')' && i + 1 < filter.size()) {
            size_t next = filter.find_first_not_of(' ', i + 1);
            if (next != std::string::npos && filter[next] == '(') {
                terms.push_back(filter.substr(start, i + 1 - start));
                start = next;
                i = next - 1;
            }
        }
    }
    terms.push_back(filter.substr(start));
    for (const auto& t : terms) {
        if (!matchTerm(item, t)) return false;
    }
    return true;
}

size_t decodePageToken(const std::string& token) {
    std::string text;
    try {
        text = base64Decode(token);
    } catch (const std::exception&) {
        throw invalid("Invalid value for field 'pageToken': '" + token + "'");
    }
    static const std::regex re("offset:([0-9]{1,9})");
    std::smatch m;
    if (!std::regex_match(text, m, re)) throw invalid("Invalid value for field 'pageToken': '" + token + "'");
    return static_cast<size_t>(std::stoul(m[1]));
}

std::string encodePageToken(size_t offset) {
    return base64UrlEncode("offset:" + std::to_string(offset));
}

size_t maxResults(const Call& call) {
    std::string v = call.query("maxResults");
    if (v.empty()) return 500;
    static const std::regex digits("[0-9]{1,9}");
    if (!std::regex_match(v, digits) || std::stoul(v) > 500) {
        throw invalid("Invalid value for field 'maxResults': '" + v + "'. Must be in the range [0, 500].");
    }
    size_t n = std::stoul(v);
    return n == 0 ? 500 : n;
}

nlohmann::json listPage(const Call& call, std::vector<nlohmann::json> items, const std::string& kind,
                        const std::string& id, const std::string& selfLink) {
    std::string filter = call.query("filter");
    std::vector<nlohmann::json> kept;
    for (auto& it : items) {
        if (matchesFilter(it, filter)) kept.push_back(std::move(it));
    }
    std::string order = call.query("orderBy");
    if (order == "creationTimestamp desc") {
        std::stable_sort(kept.begin(), kept.end(), [](const nlohmann::json& a, const nlohmann::json& b) {
            return a.value("creationTimestamp", "") > b.value("creationTimestamp", "");
        });
    } else if (!order.empty() && order != "name") {
        throw invalid("Invalid value for field 'orderBy': '" + order + "'");
    }
    size_t limit = maxResults(call);
    size_t offset = call.hasQuery("pageToken") ? decodePageToken(call.query("pageToken")) : 0;
    nlohmann::json out = {
        {"kind", kind}, {"id", id}, {"selfLink", selfLink}, {"items", nlohmann::json::array()}};
    for (size_t i = offset; i < kept.size() && i < offset + limit; ++i) out["items"].push_back(kept[i]);
    if (offset + limit < kept.size()) out["nextPageToken"] = encodePageToken(offset + limit);
    if (out["items"].empty()) out.erase("items");
    return out;
}

}  // namespace gce::emu
