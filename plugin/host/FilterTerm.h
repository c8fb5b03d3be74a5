// A wildcard pattern: '*' any run of characters, '?' one character, '[...]'
// a class ("[abc]", "[a-z]", "[!0-9]" or "[^0-9]" negated). A '[' without a
// closing ']' matches itself. Case state 1 ignores letter case.
// Immutable after construction; safe to share between threads.
#pragma once

#include <string>

// Options word of a filter term; the two low bits hold the case state.
struct BFilterTermOptions {
    static constexpr unsigned FILTER_CASE_STATE = 1;  // ignore letter case
    unsigned nOptions = 0;
    BFilterTermOptions() = default;
    explicit BFilterTermOptions(unsigned options) : nOptions(options) {}
    int CaseState() const { return static_cast<int>(nOptions & 3u); }
};

class CFilterTerm {
  public:
    explicit CFilterTerm(const std::string& pattern, int caseState = 0);
    explicit CFilterTerm(const BFilterTermOptions& options);
    // Replaces the pattern. Returns 0 on success, -1 for an empty pattern
    // (which then matches only the empty text).
    int LoadRaw(const std::string& pattern);
    bool Matches(const std::string& text) const { return Match(text); }
    // True when the whole of `text` matches the pattern.
    bool Match(const std::string& text) const;
    const std::string& Pattern() const { return m_pattern; }

  private:
    std::string m_pattern;
    bool m_ignoreCase;
};
