#include "Listing.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
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

ApiError badFilter(const std::string& filter, const std::string& why) {
    return invalid("Invalid value for field 'filter': '" + filter +
                   "'. Invalid list filter expression: " + why);
}

// The values a dotted field path reaches in item. A repeated field on the way
// fans out, so "disks.deviceName" yields the device name of every disk.
void collect(const nlohmann::json& node, const std::vector<std::string>& path, size_t at,
             std::vector<const nlohmann::json*>& out) {
    if (node.is_array()) {
        for (const auto& e : node) collect(e, path, at, out);
        return;
    }
    if (at == path.size()) {
        out.push_back(&node);
        return;
    }
    if (!node.is_object()) return;
    auto it = node.find(path[at]);
    if (it != node.end()) collect(*it, path, at + 1, out);
}

std::vector<std::string> splitPath(const std::string& field) {
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos <= field.size()) {
        auto dot = field.find('.', pos);
        if (dot == std::string::npos) dot = field.size();
        out.push_back(field.substr(pos, dot - pos));
        pos = dot + 1;
    }
    return out;
}

// Number of a JSON number or a decimal string (int64 fields travel as
// strings); false when it is neither.
bool numberOf(const nlohmann::json& v, long double& out) {
    if (v.is_number()) {
        out = v.get<long double>();
        return true;
    }
    if (!v.is_string()) return false;
    static const std::regex number(R"([-+]?([0-9]+\.?[0-9]*|\.[0-9]+)([eE][-+]?[0-9]+)?)");
    const std::string& s = v.get_ref<const std::string&>();
    if (!std::regex_match(s, number)) return false;
    out = std::stold(s);
    return true;
}

// Text of a scalar as a filter literal compares with it.
std::string scalarText(const nlohmann::json& v) {
    if (v.is_string()) return v.get<std::string>();
    return v.dump();
}

// Glob match where '*' stands for any run of characters.
bool globMatch(const std::string& text, const std::string& pattern) {
    size_t t = 0, p = 0, star = std::string::npos, mark = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            mark = t;
        } else if (p < pattern.size() && pattern[p] == text[t]) {
            ++p;
            ++t;
        } else if (star != std::string::npos) {
            p = star + 1;
            t = ++mark;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

bool scalarEquals(const nlohmann::json& v, const std::string& want) {
    if (v.is_boolean()) {
        std::string w = want;
        std::transform(w.begin(), w.end(), w.begin(), ::tolower);
        return (w == "true") == v.get<bool>() && (w == "true" || w == "false");
    }
    if (v.is_number()) {
        long double a = 0, b = 0;
        return numberOf(nlohmann::json(want), b) && numberOf(v, a) && a == b;
    }
    if (!v.is_string()) return false;
    const std::string& s = v.get_ref<const std::string&>();
    return want.find('*') != std::string::npos ? globMatch(s, want) : s == want;
}

// Ordering of v against the literal: numeric when both are numbers, else by
// text (RFC 3339 timestamps order correctly as text).
int scalarCompare(const nlohmann::json& v, const std::string& want) {
    long double a = 0, b = 0;
    if (numberOf(v, a) && numberOf(nlohmann::json(want), b)) return a < b ? -1 : a > b ? 1 : 0;
    std::string s = scalarText(v);
    return s < want ? -1 : s > want ? 1 : 0;
}

bool restrictionHolds(const nlohmann::json& item, const std::vector<std::string>& path, const std::string& op,
                      const std::string& want) {
    std::vector<const nlohmann::json*> values;
    collect(item, path, 0, values);
    if (op == "!=") return !restrictionHolds(item, path, "=", want);
    for (const nlohmann::json* v : values) {
        if (op == ":") {
            if (want == "*") return true;
            if (v->is_object()) {
                if (v->contains(want)) return true;
            } else if (v->is_string()) {
                if (v->get_ref<const std::string&>().find(want) != std::string::npos) return true;
            } else if (scalarEquals(*v, want)) {
                return true;
            }
            continue;
        }
        if (v->is_object() || v->is_null()) continue;
        if (op == "=") {
            if (scalarEquals(*v, want)) return true;
            continue;
        }
        int c = scalarCompare(*v, want);
        if ((op == "<" && c < 0) || (op == "<=" && c <= 0) || (op == ">" && c > 0) || (op == ">=" && c >= 0))
            return true;
    }
    return false;
}

std::regex fullRegex(const std::string& filter, const std::string& pattern) {
    try {
        return std::regex(pattern, std::regex::ECMAScript | std::regex::optimize);
    } catch (const std::regex_error&) {
        throw badFilter(filter, "bad regular expression '" + pattern + "'");
    }
}

bool validField(const std::string& f) {
    static const std::regex field(R"([A-Za-z_][A-Za-z0-9_\-]*(\.[A-Za-z0-9_\-]+)*)");
    return std::regex_match(f, field);
}

}  // namespace

// ---- Filter ----

struct Filter::Node {
    enum Kind { kAnd, kOr, kNot, kRestriction, kRegex } kind = kAnd;
    std::vector<std::unique_ptr<Node>> kids;
    std::vector<std::string> path;
    std::string op, value;
    std::regex re;
    bool negate = false;  // regex form: ne
};

namespace {

constexpr int kMaxFilterDepth = 32;

struct Token {
    enum Kind { kWord, kString, kComparator, kOpen, kClose, kEnd } kind;
    std::string text;
};

// Lexer and recursive-descent parser of the AIP-160 form:
//   expression := sequence { "AND" sequence }
//   sequence   := factor { factor }              (blank between: AND)
//   factor     := term { "OR" term }
//   term       := [ "NOT" | "-" ] simple
//   simple     := restriction | "(" expression ")"
//   restriction:= field comparator value        (= != < <= > >= :)
// OR binds tighter than AND, as AIP-160 defines.
class AipParser {
  public:
    AipParser(const std::string& text) : text_(text) { lex(); }

    std::unique_ptr<Filter::Node> parse() {
        auto e = expression(0);
        if (peek().kind != Token::kEnd) throw badFilter(text_, "unexpected '" + peek().text + "'");
        return e;
    }

  private:
    using NodeP = std::unique_ptr<Filter::Node>;

    void lex() {
        size_t i = 0;
        const std::string& s = text_;
        while (i < s.size()) {
            char c = s[i];
            if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
                ++i;
            } else if (c == '(' || c == ')') {
                tokens_.push_back({c == '(' ? Token::kOpen : Token::kClose, std::string(1, c)});
                ++i;
            } else if (c == '"' || c == '\'') {
                std::string v;
                size_t j = i + 1;
                for (; j < s.size() && s[j] != c; ++j) {
                    if (s[j] == '\\' && j + 1 < s.size()) ++j;
                    v.push_back(s[j]);
                }
                if (j >= s.size()) throw badFilter(text_, "unterminated string");
                tokens_.push_back({Token::kString, v});
                i = j + 1;
            } else if (c == '=' || c == ':' || c == '<' || c == '>' || c == '!') {
                std::string op(1, c);
                if ((c == '<' || c == '>' || c == '!') && i + 1 < s.size() && s[i + 1] == '=')
                    op.push_back('=');
                if (op == "!") throw badFilter(text_, "'!' must be followed by '='");
                tokens_.push_back({Token::kComparator, op});
                i += op.size();
            } else {
                size_t j = i;
                while (j < s.size() && !std::strchr(" \t\n\r()=:<>!\"'", s[j])) ++j;
                tokens_.push_back({Token::kWord, s.substr(i, j - i)});
                i = j;
            }
        }
        tokens_.push_back({Token::kEnd, ""});
    }

    const Token& peek() const { return tokens_[pos_]; }
    Token next() { return tokens_[pos_ < tokens_.size() - 1 ? pos_++ : pos_]; }
    bool isWord(const char* w) const { return peek().kind == Token::kWord && peek().text == w; }
    // A token that can start a term.
    bool startsTerm() const {
        const Token& t = peek();
        return t.kind == Token::kOpen || (t.kind == Token::kWord && t.text != "AND" && t.text != "OR");
    }

    static NodeP combine(Filter::Node::Kind kind, std::vector<NodeP> parts) {
        if (parts.size() == 1) return std::move(parts.front());
        auto n = std::make_unique<Filter::Node>();
        n->kind = kind;
        n->kids = std::move(parts);
        return n;
    }

    NodeP expression(int depth) {
        if (depth > kMaxFilterDepth) throw badFilter(text_, "nested too deeply");
        std::vector<NodeP> parts;
        parts.push_back(sequence(depth));
        while (isWord("AND")) {
            next();
            parts.push_back(sequence(depth));
        }
        return combine(Filter::Node::kAnd, std::move(parts));
    }

    NodeP sequence(int depth) {
        std::vector<NodeP> parts;
        parts.push_back(factor(depth));
        while (startsTerm()) parts.push_back(factor(depth));
        return combine(Filter::Node::kAnd, std::move(parts));
    }

    NodeP factor(int depth) {
        std::vector<NodeP> parts;
        parts.push_back(term(depth));
        while (isWord("OR")) {
            next();
            parts.push_back(term(depth));
        }
        return combine(Filter::Node::kOr, std::move(parts));
    }

    NodeP term(int depth) {
        bool negate = false;
        if (isWord("NOT") || isWord("-")) {
            next();
            negate = true;
        } else if (peek().kind == Token::kWord && peek().text.size() > 1 && peek().text[0] == '-') {
            tokens_[pos_].text.erase(0, 1);
            negate = true;
        }
        NodeP inner;
        if (peek().kind == Token::kOpen) {
            next();
            inner = expression(depth + 1);
            if (next().kind != Token::kClose) throw badFilter(text_, "missing ')'");
        } else {
            inner = restriction();
        }
        if (!negate) return inner;
        auto n = std::make_unique<Filter::Node>();
        n->kind = Filter::Node::kNot;
        n->kids.push_back(std::move(inner));
        return n;
    }

    NodeP restriction() {
        Token field = next();
        if (field.kind != Token::kWord || !validField(field.text))
            throw badFilter(text_, "expected a field name, found '" + field.text + "'");
        Token op = next();
        if (op.kind != Token::kComparator) {
            throw badFilter(text_, "expected one of = != < <= > >= : after '" + field.text + "'");
        }
        Token value = next();
        if (value.kind != Token::kWord && value.kind != Token::kString)
            throw badFilter(text_, "expected a value after '" + field.text + " " + op.text + "'");
        auto n = std::make_unique<Filter::Node>();
        n->kind = Filter::Node::kRestriction;
        n->path = splitPath(field.text);
        n->op = op.text;
        n->value = value.text;
        return n;
    }

    const std::string& text_;
    std::vector<Token> tokens_;
    size_t pos_ = 0;
};

// One term of the regular-expression form: "field eq literal" or
// "field ne literal", the literal quoted or not.
bool regexTerm(const std::string& text, std::string& field, bool& negate, std::string& literal) {
    static const std::regex form(R"(^\s*([A-Za-z_][A-Za-z0-9_.\-]*)\s+(eq|ne)\s+(.*\S)\s*$)");
    std::smatch m;
    if (!std::regex_match(text, m, form)) return false;
    field = m[1];
    negate = m[2] == "ne";
    literal = unquote(m[3]);
    return true;
}

// Splits "(a) (b) (c)" into its top-level parenthesised groups; false when
// the text is not only such groups. Quotes protect parentheses.
bool parenthesisedGroups(const std::string& text, std::vector<std::string>& groups) {
    size_t i = 0;
    while (true) {
        while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
        if (i == text.size()) return !groups.empty();
        if (text[i] != '(') return false;
        int depth = 0;
        char quote = 0;
        size_t start = i;
        for (; i < text.size(); ++i) {
            char c = text[i];
            if (quote) {
                if (c == quote) quote = 0;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '(') {
                ++depth;
            } else if (c == ')' && --depth == 0) {
                break;
            }
        }
        if (i == text.size()) return false;
        groups.push_back(text.substr(start + 1, i - start - 1));
        ++i;
    }
}

}  // namespace

Filter::Filter() = default;
Filter::~Filter() = default;
Filter::Filter(Filter&&) noexcept = default;
Filter& Filter::operator=(Filter&&) noexcept = default;

Filter Filter::parse(const std::string& text) {
    Filter f;
    std::string trimmed = trim(text);
    if (trimmed.empty()) return f;
    auto regexNode = [&](const std::string& field, bool negate, const std::string& literal) {
        auto n = std::make_unique<Node>();
        n->kind = Node::kRegex;
        n->path = splitPath(field);
        n->negate = negate;
        n->re = fullRegex(text, literal);
        return n;
    };
    // The regular-expression form: one bare term, or only parenthesised
    // terms. It cannot be mixed with AIP-160 terms.
    std::string field, literal;
    bool negate = false;
    if (trimmed.front() != '(' && regexTerm(trimmed, field, negate, literal)) {
        f.root_ = regexNode(field, negate, literal);
        return f;
    }
    std::vector<std::string> groups;
    if (parenthesisedGroups(trimmed, groups)) {
        size_t regexCount = 0;
        for (const auto& g : groups) regexCount += regexTerm(g, field, negate, literal) ? 1 : 0;
        if (regexCount == groups.size()) {
            auto all = std::make_unique<Node>();
            all->kind = Node::kAnd;
            for (const auto& g : groups) {
                regexTerm(g, field, negate, literal);
                all->kids.push_back(regexNode(field, negate, literal));
            }
            f.root_ = std::move(all);
            return f;
        }
        if (regexCount > 0) {
            throw badFilter(text, "regular-expression terms (eq, ne) cannot be mixed with other terms");
        }
    }
    f.root_ = AipParser(trimmed).parse();
    return f;
}

bool Filter::matches(const nlohmann::json& item) const {
    return !root_ || eval(*root_, item);
}

bool Filter::eval(const Node& n, const nlohmann::json& item) {
    switch (n.kind) {
        case Node::kAnd:
            for (const auto& k : n.kids)
                if (!eval(*k, item)) return false;
            return true;
        case Node::kOr:
            for (const auto& k : n.kids)
                if (eval(*k, item)) return true;
            return false;
        case Node::kNot:
            return !eval(*n.kids.front(), item);
        case Node::kRestriction:
            return restrictionHolds(item, n.path, n.op, n.value);
        case Node::kRegex: {
            std::vector<const nlohmann::json*> values;
            collect(item, n.path, 0, values);
            bool hit = false;
            for (const nlohmann::json* v : values) {
                if (!v->is_object() && !v->is_null() && std::regex_match(scalarText(*v), n.re)) hit = true;
            }
            return n.negate ? !hit : hit;
        }
    }
    return false;
}

bool matchesFilter(const nlohmann::json& item, const std::string& filter) {
    return Filter::parse(filter).matches(item);
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
    Filter filter = Filter::parse(call.query("filter"));
    std::vector<nlohmann::json> kept;
    for (auto& it : items) {
        if (filter.matches(it)) kept.push_back(std::move(it));
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

// ---- partial responses ----

namespace {

struct Selection {
    std::map<std::string, Selection> fields;  // empty: the whole value
};

class SelectorParser {
  public:
    explicit SelectorParser(const std::string& text) : text_(text) {}

    Selection parse() {
        Selection root;
        list(root, 0);
        if (pos_ != text_.size()) fail();
        return root;
    }

  private:
    [[noreturn]] void fail() const {
        throw ApiError(400, "invalidParameter", "Invalid field selection " + text_);
    }

    void list(Selection& into, int depth) {
        if (depth > 16) fail();
        do {
            skipBlanks();
            item(into, depth);
            skipBlanks();
        } while (pos_ < text_.size() && text_[pos_] == ',' && ++pos_);
    }

    void item(Selection& into, int depth) {
        Selection* at = &into;
        while (true) {
            std::string name = word();
            if (name.empty()) fail();
            auto& next = at->fields[name];
            at = &next;
            if (pos_ < text_.size() && text_[pos_] == '/') {
                ++pos_;
                continue;
            }
            break;
        }
        if (pos_ < text_.size() && text_[pos_] == '(') {
            ++pos_;
            list(*at, depth + 1);
            if (pos_ >= text_.size() || text_[pos_] != ')') fail();
            ++pos_;
        }
    }

    std::string word() {
        size_t start = pos_;
        while (pos_ < text_.size() &&
               (std::isalnum(static_cast<unsigned char>(text_[pos_])) || text_[pos_] == '_' ||
                text_[pos_] == '*' || text_[pos_] == '-' || text_[pos_] == '.' || text_[pos_] == '@')) {
            ++pos_;
        }
        return text_.substr(start, pos_ - start);
    }

    void skipBlanks() {
        while (pos_ < text_.size() && text_[pos_] == ' ') ++pos_;
    }

    const std::string& text_;
    size_t pos_ = 0;
};

nlohmann::json applySelection(const nlohmann::json& value, const Selection& sel) {
    if (sel.fields.empty()) return value;
    if (value.is_array()) {
        nlohmann::json out = nlohmann::json::array();
        for (const auto& e : value) out.push_back(applySelection(e, sel));
        return out;
    }
    if (!value.is_object()) return value;
    nlohmann::json out = nlohmann::json::object();
    for (const auto& [name, sub] : sel.fields) {
        if (name == "*") {
            for (auto it = value.begin(); it != value.end(); ++it) {
                nlohmann::json part = applySelection(it.value(), sub);
                if (out.contains(it.key()) && out[it.key()].is_object() && part.is_object())
                    out[it.key()].update(part);
                else
                    out[it.key()] = std::move(part);
            }
        } else if (value.contains(name)) {
            nlohmann::json part = applySelection(value.at(name), sub);
            if (out.contains(name) && out[name].is_object() && part.is_object())
                out[name].update(part);
            else
                out[name] = std::move(part);
        }
    }
    return out;
}

}  // namespace

nlohmann::json selectFields(const nlohmann::json& value, const std::string& selector) {
    if (trim(selector).empty()) return value;
    return applySelection(value, SelectorParser(selector).parse());
}

}  // namespace gce::emu
