// The first-line reader, on any file content.

#include <stdint.h>
#include <string.h>

#include <string>

#include "fuzz.h"
#include "util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FILE *fp = fopen("cat_file.input", "wb");
    CHECK(fp);
    fwrite(data, 1, size, fp);
    fclose(fp);

    std::string content(reinterpret_cast<const char *>(data), size);
    std::string expected = content.substr(0, content.find_first_of(std::string("\r\n\0", 3)));
    if (expected.size() > 511)
        expected.resize(511);

    const char *line = cat_file("cat_file.input");
    CHECK(line != nullptr);
    CHECK(expected == line);
    return 0;
}
