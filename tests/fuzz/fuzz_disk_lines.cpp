// The partition table's and df's lines, as korvalt reads and parses them.

#include <stdint.h>
#include <string.h>

#include "fuzz.h"

#define main korvalt_main
#include "usb.cpp"
#undef main

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FILE *fp = open_input(data, size);
    if (!fp)
        return 0;
    char line[256];
    char part_name[128];
    while (read_line(fp, line, sizeof line)) {
        CHECK(strlen(line) < sizeof line);
        if (parse_partition_line(line, part_name)) {
            CHECK(strlen(part_name) < sizeof part_name && part_name[0]);
            CHECK(!strpbrk(part_name, " \n"));
            df_line_names_disk(line, part_name);
        }
        bool named = df_line_names_disk(line, "sda");
        if (named)
            CHECK(strstr(line, "sda") != nullptr);
    }
    fclose(fp);
    return 0;
}
