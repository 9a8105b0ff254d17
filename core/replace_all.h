// Bounded in-place text replacement, free of Win32 so that it also builds on the host.
#ifndef MENDSMITH_CORE_REPLACE_ALL_H
#define MENDSMITH_CORE_REPLACE_ALL_H

// Replaces every occurrence of pattern in a NUL-terminated text held in size bytes, searching
// from the start after each replacement; replacement must not contain pattern. Returns 1 when
// all were replaced, 0 when it stopped because the next result would not fit.
int ReplaceAll(char* text, int size, const char* pattern, const char* replacement);

// Puts name in place of every "%p" of text (size bytes). Searches on after each inserted name,
// so a name that holds "%p" is left as it is. Returns 1, or 0 when the next name would not fit.
int SubstituteName(char* text, int size, const char* name);

#endif
