// Case-insensitive matching of file names against wildcard patterns such as "*.JPG;*.JPEG".
#pragma once

// True when `name` matches an entry of `list`, entries separated by `separator`. A separator of 0
// means the list is a sequence of NUL-terminated entries ending with an empty one. An empty entry
// ends the list.
bool MatchPatternList(const wchar_t* name, const wchar_t* list, wchar_t separator);

// Base names and extensions (split at the last dot) are matched separately.
bool MatchFilePattern(const wchar_t* name, const wchar_t* pattern);

// "*" and "?" wildcards; a star takes the first occurrence of what follows it (no backtracking).
bool MatchWildcard(const wchar_t* text, const wchar_t* pattern);
