// Bounded in-place text replacement (see replace_all.h).
#include <string.h>

#include "core/replace_all.h"

// Puts replacement in place of the patternLength bytes at `at`; 0, changing nothing, when the
// text with its NUL would no longer fit in size bytes.
static int ReplaceAt(char* text, int size, char* at, int patternLength, const char* replacement)
{
    int length = (int)strlen(text);
    int replacementLength = (int)strlen(replacement);
    if (length - patternLength + replacementLength >= size)
        return 0;
    memmove(at + replacementLength, at + patternLength, length - (at - text) - patternLength + 1);
    memcpy(at, replacement, replacementLength);
    return 1;
}

int ReplaceAll(char* text, int size, const char* pattern, const char* replacement)
{
    char* found;
    while ((found = strstr(text, pattern)) != NULL)
        if (!ReplaceAt(text, size, found, (int)strlen(pattern), replacement))
            return 0;
    return 1;
}

int SubstituteName(char* text, int size, const char* name)
{
    char* from = text;
    char* found;
    while ((found = strstr(from, "%p")) != NULL) {
        if (!ReplaceAt(text, size, found, 2, name))
            return 0;
        // The next "%p" may straddle either end of the name: a '%' before a name that begins
        // with 'p', or a name ending in '%' before a 'p'. Ones wholly inside the name are left.
        from = found + strlen(name);
        if (from > text)
            from--;
        if (found > text && found[-1] == '%' && found[0] == 'p')
            from = found - 1;
    }
    return 1;
}
