#include "json.h"

#include <string.h>

// The bytes of the well-formed UTF-8 character at u, 0 when none starts there. The lead byte gives the length and
// the range of the byte after it, which rules out overlong forms, surrogates and code points past U+10FFFF. A
// string's terminating zero is no continuation byte: nothing past it is read.
static size_t utf8_length(const unsigned char *u)
{
    if (u[0] < 0x80)
        return 1;
    size_t n = u[0] >= 0xf0 ? 4 : u[0] >= 0xe0 ? 3 : 2;
    unsigned char low = u[0] == 0xe0 ? 0xa0 : u[0] == 0xf0 ? 0x90 : 0x80;
    unsigned char high = u[0] == 0xed ? 0x9f : u[0] == 0xf4 ? 0x8f : 0xbf;
    if (u[0] < 0xc2 || u[0] > 0xf4 || u[1] < low || u[1] > high)
        return 0;
    for (size_t i = 2; i < n; i++)
        if ((u[i] & 0xc0) != 0x80)
            return 0;
    return n;
}

const char *json_string(char *out, size_t size, const char *text, size_t most)
{
    if (!text)
        return strcpy(out, "null");
    char *o = out;
    *o++ = '"';
    auto *u = (const unsigned char *)text;
    // a character takes at most 6 bytes ("\u001f"), and the closing quote and the end 2 more
    for (size_t used = 0; *u && (size_t)(o - out) + 8 <= size;) {
        size_t n = utf8_length(u);
        if ((used += n ? n : 3) > most)
            break;
        if (!n) {
            memcpy(o, "\xef\xbf\xbd", 3);
            o += 3;
        } else if (*u < 0x20) {
            memcpy(o, "\\u00", 4);
            o[4] = "0123456789abcdef"[*u >> 4];
            o[5] = "0123456789abcdef"[*u & 15];
            o += 6;
        } else {
            if (*u == '"' || *u == '\\')
                *o++ = '\\';
            memcpy(o, u, n);
            o += n;
        }
        u += n ? n : 1;
    }
    strcpy(o, "\"");
    return out;
}
