// The factory query library: short display texts about the device for factory tests.
//
// Every text result points into a static buffer of the library, a constant, or the store's own text; it stays valid
// until the operation that filled it runs again. Callers never free or modify it.
#ifndef KORVALT_UTIL_H
#define KORVALT_UTIL_H

#include <stddef.h>

typedef unsigned char uint8;

#ifdef __cplusplus
extern "C" {
#endif

// The first line of a small text file without its line end; "" when the file is missing, unreadable or empty.
// One buffer serves every caller: the next call overwrites the text.
const char *cat_file(const char *name);

// Writes word into out as one single-quoted shell word that the shell passes on untouched. Returns the length
// written, or -1 (and "" in out) when it does not fit in size bytes.
int shell_quote(char *out, size_t size, const char *word);

#ifdef __cplusplus
}
#endif

// Room that shell_quote needs for a word of len characters: every quote may become four characters, plus the two
// enclosing quotes and the terminator.
#define SHELL_QUOTED_SIZE(len) (4 * (len) + 3)

#endif
