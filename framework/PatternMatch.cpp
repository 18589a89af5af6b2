#include "PatternMatch.h"

#include <cwchar>
#include <string>

namespace {

// Folds only a to z, as the C locale does, so matching is the same on every platform.
wchar_t Upper(wchar_t c) { return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - 32) : c; }

bool MatchWildcardRange(const wchar_t* text, const wchar_t* text_end, const wchar_t* pattern,
                        const wchar_t* pattern_end) {
    bool star = false;
    for (const wchar_t* p = pattern; p < pattern_end; ++p) {
        const wchar_t pc = Upper(*p);
        if (pc == L'*') {
            star = true;
            continue;
        }
        if (text >= text_end) return false;
        if (pc == L'?') {
            if (!star) ++text;  // while a star is pending, "?" consumes nothing
            continue;
        }
        if (star) {
            while (text < text_end && Upper(*text) != pc) ++text;
            if (text >= text_end) return false;
            ++text;
            star = false;
            continue;
        }
        if (Upper(*text) != pc) return false;
        ++text;
    }
    return text >= text_end || star;
}

struct Split {
    const wchar_t* base;
    const wchar_t* base_end;
    const wchar_t* ext;
    const wchar_t* ext_end;
    bool has_dot;
};

Split SplitAtLastDot(const wchar_t* s, const wchar_t* missing_ext) {
    const wchar_t* end = s + std::wcslen(s);
    const wchar_t* dot = std::wcsrchr(s, L'.');
    if (!dot) return {s, end, missing_ext, missing_ext + std::wcslen(missing_ext), false};
    return {s, dot, dot + 1, end, true};
}

}  // namespace

bool MatchWildcard(const wchar_t* text, const wchar_t* pattern) {
    if (!text || !pattern) return false;
    return MatchWildcardRange(text, text + std::wcslen(text), pattern,
                              pattern + std::wcslen(pattern));
}

bool MatchFilePattern(const wchar_t* name, const wchar_t* pattern) {
    if (!name || !pattern) return false;
    const Split n = SplitAtLastDot(name, L"");
    const Split p = SplitAtLastDot(pattern, L"*");
    if (p.has_dot && !n.has_dot) return false;
    return MatchWildcardRange(n.base, n.base_end, p.base, p.base_end) &&
           MatchWildcardRange(n.ext, n.ext_end, p.ext, p.ext_end);
}

bool MatchPatternList(const wchar_t* name, const wchar_t* list, wchar_t separator) {
    if (!name || !list) return false;
    std::wstring work;
    const wchar_t* entry = list;
    if (separator != 0) {
        work.assign(list);
        for (wchar_t& c : work) {
            if (c == separator) c = 0;
        }
        work.push_back(0);  // the extra terminator ends the walk after the last entry
        entry = work.c_str();
    }
    while (*entry) {
        if (MatchFilePattern(name, entry)) return true;
        entry += std::wcslen(entry) + 1;
    }
    return false;
}
