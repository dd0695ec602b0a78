// JSON text for a station's records: a string is escaped as JSON requires whatever bytes it is given, as a stick's
// serial number or a mount folder named after its label may be any.
#ifndef KORVALT_JSON_H
#define KORVALT_JSON_H

#include <stddef.h>

// text as a JSON string into out, size bytes: quoted; '"', '\' and control characters escaped; bytes that are not
// UTF-8 (a stray continuation byte, an overlong form, a surrogate, past U+10FFFF, a sequence cut short) as U+FFFD, a
// byte each; and cut before the first character that would take the string past most bytes of UTF-8 (U+FFFD counts
// 3), or out past size. "null" for a null text. Returns out.
const char *json_string(char *out, size_t size, const char *text, size_t most);

#endif
