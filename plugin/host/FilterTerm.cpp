#include "plugin/host/FilterTerm.h"

#include <cctype>
#include <vector>

CFilterTerm::CFilterTerm(const std::string& pattern, int caseState)
    : m_pattern(pattern), m_ignoreCase(caseState == 1) {}

CFilterTerm::CFilterTerm(const BFilterTermOptions& options) : m_ignoreCase(options.CaseState() == 1) {}

int CFilterTerm::LoadRaw(const std::string& pattern) {
    m_pattern = pattern;
    return pattern.empty() ? -1 : 0;
}

namespace {
char Fold(char c, bool ignoreCase) {
    return ignoreCase ? static_cast<char>(tolower(static_cast<unsigned char>(c))) : c;
}

// Matches one bracket class starting at p[i] == '['. Sets `next` to the index
// after the class; returns false in `valid` when the class is not closed.
bool ClassMatch(const std::string& p, size_t i, char c, bool ic, size_t& next, bool& valid) {
    size_t j = i + 1;
    bool negate = false;
    if (j < p.size() && (p[j] == '!' || p[j] == '^')) {
        negate = true;
        ++j;
    }
    bool matched = false;
    bool first = true;
    while (j < p.size() && (p[j] != ']' || first)) {
        first = false;
        char lo = Fold(p[j], ic);
        char hi = lo;
        if (j + 2 < p.size() && p[j + 1] == '-' && p[j + 2] != ']') {
            hi = Fold(p[j + 2], ic);
            j += 3;
        } else {
            j += 1;
        }
        if (lo <= c && c <= hi) matched = true;
    }
    if (j >= p.size()) {
        valid = false;
        return false;
    }
    valid = true;
    next = j + 1;
    return matched != negate;
}
}  // namespace

bool CFilterTerm::Match(const std::string& text) const {
    const std::string& p = m_pattern;
    // Iterative matcher with one backtrack point for the last '*': linear in
    // practice, no recursion on hostile patterns.
    size_t pi = 0, ti = 0;
    size_t starP = std::string::npos, starT = 0;
    while (ti < text.size()) {
        char c = Fold(text[ti], m_ignoreCase);
        if (pi < p.size()) {
            char pc = p[pi];
            if (pc == '*') {
                starP = pi++;
                starT = ti;
                continue;
            }
            if (pc == '?') {
                ++pi;
                ++ti;
                continue;
            }
            if (pc == '[') {
                size_t next = 0;
                bool valid = false;
                bool m = ClassMatch(p, pi, c, m_ignoreCase, next, valid);
                if (valid) {
                    if (m) {
                        pi = next;
                        ++ti;
                        continue;
                    }
                } else if (c == '[') {
                    ++pi;
                    ++ti;
                    continue;
                }
            } else if (Fold(pc, m_ignoreCase) == c) {
                ++pi;
                ++ti;
                continue;
            }
        }
        if (starP == std::string::npos) return false;
        pi = starP + 1;
        ti = ++starT;
    }
    while (pi < p.size() && p[pi] == '*') ++pi;
    return pi == p.size();
}
