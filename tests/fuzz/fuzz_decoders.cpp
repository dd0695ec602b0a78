// The two decoders of stored network names and pass phrases, on any text.

#include <stdint.h>
#include <string.h>

#include <initializer_list>
#include <memory>

#include "fuzz.h"
#include "util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // an allocation of the exact size, so that a read past the text's end is caught; a NUL ends the text, as in
    // the store
    std::unique_ptr<char[]> stored(new char[size + 1]);
    memcpy(stored.get(), data, size);
    stored[size] = '\0';
    const char *in = stored.get();
    size_t len = strlen(in);
    bool escapes = strchr(in, '\\') != nullptr;

    for (const char *out : {sed_ssid_abg_items(in), sed_passphrase_abg_items(in)}) {
        size_t n = strlen(out);
        CHECK(n <= len && n <= 32767);
        if (!escapes)
            CHECK(strncmp(out, in, n) == 0 && n == (len < 32767 ? len : 32767));
    }
    // every pass phrase escape is two characters that become one; a backslash cut off at the end goes
    size_t pairs = 0, cut = 0;
    for (const char *p = in; *p; p++) {
        if (*p != '\\')
            continue;
        if (p[1]) {
            pairs++;
            p++;
        } else {
            cut = 1;
        }
    }
    if (len < 32767)
        CHECK(strlen(sed_passphrase_abg_items(in)) == len - pairs - cut);
    return 0;
}
