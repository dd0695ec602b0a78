// The first lines of the radio tool's channel answer and of the platform tool's language answer.

#include <stdint.h>
#include <string.h>

#include <string>

#include "fuzz.h"

#include "util.cpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size < 255 ? size : 255);
    const char *line = text.c_str();

    int channel = channel_from_line(line);
    CHECK(channel >= 0);
    const char *digits = line + strspn(line, " ");
    if (channel > 0)
        CHECK(strtoll(digits, nullptr, 10) == channel);

    static char list[128];
    std::string before = list;
    take_language(line, list, sizeof list);
    CHECK(strlen(list) < sizeof list);
    if (strncmp(line, "LANGUAGE", 8) != 0 || strlen(line) <= 10)
        CHECK(before == list);
    else
        CHECK(std::string(line + 10).compare(0, 127, list) == 0);
    return 0;
}
