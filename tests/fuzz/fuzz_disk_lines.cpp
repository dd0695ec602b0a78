// The partition table's and df's lines, as korvalt and disk_ports read and parse them, and disk_ports' list: lines
// put in one at a time must come out as the longest run of the whole sorted list that fits, whole and in order.

#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fuzz.h"

#include "disks.cpp"

// A port line made of fuzz bytes: usb or sata, a connector of numbers or "-", a disk name.
static std::string port_line(const uint8_t *&p, const uint8_t *end)
{
    auto take = [&]() { return p < end ? *p++ : 0; };
    std::string line = take() & 1 ? "sata " : "usb ";
    unsigned numbers = take() % 5;
    if (numbers == 0)
        line += "-";
    for (unsigned i = 0; i < numbers; i++)
        line += (i ? "." : "") + std::to_string(take() % 13);
    line += " sd" + std::string(1 + take() % 3, char('a' + take() % 3)) + " 480 -";
    line += std::string(take() % 90, 'x') + "\n";
    return line;
}

static void check_port_list(const uint8_t *data, size_t size)
{
    std::vector<std::string> lines;
    for (const uint8_t *p = data, *end = data + size; p < end && lines.size() < 64;)
        lines.push_back(port_line(p, end));

    char text[256];
    PortList list = {text, sizeof text, 0, ""};
    text[0] = '\0';
    for (const std::string &line : lines)
        insert_line(list, line.c_str());

    std::vector<std::string> sorted = lines;
    std::stable_sort(sorted.begin(), sorted.end(), [](const std::string &a, const std::string &b) {
        return comes_before(first_line(a.c_str()), first_line(b.c_str()));
    });
    std::string fits;
    for (const std::string &line : sorted) {
        if (fits.size() + line.size() >= sizeof text)
            break;
        fits += line;
    }
    CHECK(list.used == strlen(text));
    CHECK(fits == text);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    check_port_list(data, size);

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
