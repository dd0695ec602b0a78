// The factory query library.

#include "util.h"

#include <stdio.h>
#include <string.h>

#include "config.h"

const char *cat_file(const char *name)
{
    static char buf[512];

    buf[0] = '\0';
    FILE *fp = fopen(name, "r");
    if (!fp)
        return buf;
    if (!fgets(buf, sizeof buf, fp))
        buf[0] = '\0';
    fclose(fp);
    buf[strcspn(buf, "\r\n")] = '\0';
    return buf;
}

// Single quotes keep every character literal, so the only one to take care of is the quote itself, written as
// '\'' (close, escaped quote, reopen). The word is always quoted, even when harmless, so that it stays one word
// whatever it holds, the empty word included.
int shell_quote(char *out, size_t size, const char *word)
{
    size_t n = 0;
    auto put = [&](char c) {
        if (n + 1 < size)
            out[n] = c;
        n++;
    };

    put('\'');
    for (const char *p = word; *p; p++) {
        if (*p == '\'') {
            put('\'');
            put('\\');
            put('\'');
        }
        put(*p);
    }
    put('\'');
    if (n + 1 > size) {
        if (size)
            out[0] = '\0';
        return -1;
    }
    out[n] = '\0';
    return (int)n;
}
